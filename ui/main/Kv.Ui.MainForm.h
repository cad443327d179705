// The main window: two halves with a file panel each, the function-key bar, the file
// commands through the transfer manager, and the window state kept across runs.
#pragma once

#include <QMainWindow>
#include <QTimer>
#include <array>
#include <functional>
#include <memory>
#include <string>

#include "Kv.Connectors.Store.h"
#include "Kv.Connectors.h"
#include "Kv.EditSession.h"
#include "Kv.Search.h"
#include "Kv.Ssh.Session.h"
#include "Kv.State.h"
#include "Kv.Transfer.Sessions.h"
#include "Kv.Ui.CommandLine.h"
#include "Kv.Ui.MainModel.h"
#include "Kv.Worker.h"

class QLabel;
class QSplitter;

namespace kv {

class TKvFilePanel;
class TKvHybridSwitch;
class TKvPathBar;
class TKvRestoreBox;
class TKvShellActions;
class TKvShellPanel;
class TKvTitleText;
class TKvKeyBar;
class TKvTransferStrip;
class TKvQueueForm;

// The "[ Disconnect ]" label of a half's title.
QLabel* NewDisconnectLabel(QWidget* AParent, std::function<void()> AClicked);

class TMainForm : public QMainWindow {
    Q_OBJECT

public:
    // AStateFile empty: the data folder's state.json. AStart: folders from the command line,
    // shown instead of the saved ones. AProblem: what went wrong before the window existed
    // (settings that could not be read), shown once in the status line.
    explicit TMainForm(const std::string& AStateFile = {}, const TKvStartFolders& AStart = {},
                       const std::string& AProblem = {});
    ~TMainForm() override;

    TKvFilePanel& Panel(TKvHalf AHalf) const { return *FHalves[AHalf].Panel; }
    // The terminal shown in a half instead of its file panel, or null.
    TKvShellPanel* Terminal(TKvHalf AHalf) const { return FHalves[AHalf].Shell; }
    // The box of a connection that was open when Kolvan last closed, or null.
    TKvRestoreBox* Placeholder(TKvHalf AHalf) const { return FHalves[AHalf].Restore; }
    TKvHybridSwitch* HybridSwitch(TKvHalf AHalf) const { return FHalves[AHalf].Switch; }
    // The full-window command line (Ctrl+O), null until first opened.
    TKvShellPanel* CommandLine() const { return FConsole; }
    TKvHalf ActiveHalf() const { return FActive; }
    void SetActiveHalf(TKvHalf AHalf);
    TKvTransferManager& Transfers() { return *FTransfers; }
    TKvEditSessions& Edits() { return *FEdits; }
    TKvKeyLayer KeyLayer() const { return FLayer; }

    // The commands, as keys and the key bar run them.
    void CopyOrMove(bool AMove);
    void MakeFolder();
    void DeleteSelection(bool APermanent);
    void SwapHalves();
    void ToggleHidden();
    // F9: the Options window; on OK the settings are saved and applied.
    void ShowOptions();
    void RunKey(int AKey, Qt::KeyboardModifiers AModifiers);
    // F2 and Shift+F2: the two halves' folders compared, or two files side by side.
    void CompareHalves();
    void SideBySide();
    // The tool commands of a file panel (Kv.Ui.MainTools.cpp): F3, F4, Shift+F4, Alt+F7.
    void ViewFocused();
    void EditFocused();
    void EditNewFile();
    void SearchFiles();
    void StartRequest(const TKvTransferRequest& ARequest);

    // Connections shown in the file panels (the connection picker calls these too).
    void ConnectHalf(TKvHalf AHalf, const TKvConnector& AConn, const std::string& AStartPath = {});
    void AttachHalf(TKvHalf AHalf, const std::string& AConnectorId);
    // The half's panel goes back to the disk, and so does every panel showing its connection,
    // which is then closed.
    void DisconnectHalf(TKvHalf AHalf);
    // What was typed into the connection picker: a saved connection's name, an open one's title
    // or an address (sftp://user@host:22/folder, also ftp, ftps, ftps-implicit, webdavs).
    void ConnectTyped(TKvHalf AHalf, const std::string& AText);
    // A saved connection in a half: a terminal kind as a terminal, any other in the file panel.
    // Unlocks the saved passwords first when they are locked.
    void OpenConnector(TKvHalf AHalf, const TKvConnector& AConn, const std::string& AStartPath = {});
    // F1, Ctrl+F: the connection picker for a half; Alt+F1, Alt+F2: the drive menu.
    void ShowConnectionPicker(TKvHalf AHalf);
    void ShowDriveMenu(TKvHalf AHalf);
    // The Connections window; ASelectId selects a connection, ANew starts a new one.
    void ManageConnections(TKvHalf AHalf, bool ANew, const std::string& ASelectId);
    // A placeholder's connection opened (its box clicked, or Enter on it).
    void Reconnect(TKvHalf AHalf);
    // A hybrid terminal's half between the terminal and its files.
    void ToggleHybrid(TKvHalf AHalf);
    // Ctrl+O: the local shell over the whole window, in the active panel's folder.
    void ToggleCommandLine();
    struct TKvOpenConnection {
        std::string ConnectorId;
        std::string Title;
        TKvConnectorKind Kind = ckSftp;
        IKvFileSystemPtr Fs;
        std::string LastPath;
    };
    const std::vector<TKvOpenConnection>& OpenConnections() const { return FOpen; }

    void SaveStateNow();
    double SplitRatio() const { return FState.SplitRatio; }
    static std::string WindowTitle();

protected:
    void keyPressEvent(QKeyEvent* AEvent) override;
    void changeEvent(QEvent* AEvent) override;
    void closeEvent(QCloseEvent* AEvent) override;
    void resizeEvent(QResizeEvent* AEvent) override;
    void moveEvent(QMoveEvent* AEvent) override;
    bool focusNextPrevChild(bool ANext) override;
    bool eventFilter(QObject* AWatched, QEvent* AEvent) override;

private:
    friend class TKvKeyBar;
    struct THalf {
        QWidget* Box = nullptr;
        QWidget* Title = nullptr;
        QLabel* Caption = nullptr;
        TKvPathBar* PathBar = nullptr;
        TKvTitleText* TermTitle = nullptr;
        TKvHybridSwitch* Switch = nullptr;
        TKvFilePanel* Panel = nullptr;
        QLabel* Disconnect = nullptr;
        // Shown instead of the file panel: a terminal, or a connection not restored yet.
        TKvShellPanel* Shell = nullptr;
        TKvRestoreBox* Restore = nullptr;
        TKvSessionState Stored;
        // The hybrid terminal whose files the panel shows (or is about to), the folder it was
        // in when switched and the folder last sent to it.
        TKvShellPanel* Hybrid = nullptr;
        bool HybridWait = false;
        std::string HybridDir, HybridSent;
    };
    // An open terminal, shown in a half or hidden behind its file panel.
    struct TTerminal {
        TKvShellPanel* Shell = nullptr;
        std::unique_ptr<TKvShellActions> Actions;
        TKvConnector Conn;
        std::string Title;
    };

    void BuildHalf(TKvHalf AHalf);
    void RefreshTitles();
    void LayoutHalves();
    void ScheduleSave();
    void CollectState();
    void RestoreBounds();
    void JobDone(const TKvTransferResult& AResult);
    // Lists a half again, keeping its status line, when it shows that folder of that file system.
    void RefreshShownFolder(const IKvFileSystemPtr& AFs, const std::string& AFolder);
    void SessionEnded(TKvTransferSession& ASession);
    void UpdateLayer(Qt::KeyboardModifiers AModifiers);
    void ShowRefusal(const std::string& AText);
    void Shutdown();
    // Edits a file: at once on the disk; a server file goes through an edit session.
    // ACreated (Shift+F4) makes the file first and is called once it exists.
    void EditFile(IKvFileSystemPtr AFs, const std::string& APath, int64_t ASize,
                  std::function<void()> ACreated);
    bool FocusedFile(TKvFileEntry& AEntry);
    void SearchGoTo(IKvFileSystemPtr AFs, const std::string& APath, bool AIsDir);
    void PanelConnected(const std::string& AConnectorId, IKvFileSystemPtr AFs, const std::string& APath);
    void PanelSecretLearned(const std::string& AConnectorId, const std::string& ASecret);
    void NoteOpenPath(const TKvFilePanel& APanel);
    // Whether a saved file connection wants the disk folder beside it remembered.
    bool RemembersOtherPath(const std::string& AConnectorId);
    // The folders open connections were left in, kept where a connection asks for it.
    void StoreStartFolders();
    // The saved connections, read at first use; false when they stay locked.
    TKvConnectorStore& Connectors();
    bool UnlockConnectors();
    TKvOpenConnection* FindOpen(const std::string& AConnectorId);
    TKvHalf Other(TKvHalf AHalf) const { return AHalf == rhLeft ? rhRight : rhLeft; }

    // Terminal halves (Kv.Ui.MainForm.Terminals.cpp).
    TKvShellPanel* OpenTerminal(TKvHalf AHalf, const TKvConnector& AConn);
    void PlaceTerminal(TKvHalf AHalf, TKvShellPanel* AShell);
    // The file panel shown again in a half (its terminal hidden, its placeholder gone).
    void ShowFilePanel(TKvHalf AHalf);
    void CloseTerminal(TKvShellPanel* AShell);
    TTerminal* FindTerminal(const TKvShellPanel* AShell);
    TKvHalf HalfOf(const TKvShellPanel* AShell) const;
    // The hybrid terminal that belongs to a half, shown or behind its files; null for none.
    TKvShellPanel* HybridOf(TKvHalf AHalf);
    void SendHybridFolder(TKvHalf AHalf);
    void BuildPlaceholders();
    void SetPlaceholder(TKvHalf AHalf, const TKvSessionState& ASession);
    void CollectSessions();
    // Where copies from the other half go: a terminal's folder, or the file panel's.
    bool TransferTarget(TKvHalf AHalf, IKvFileSystemPtr& AFs, std::string& AFolder, std::string& ARefusal);
    void TerminalTransfer(TKvShellPanel* AFrom, bool AMove, IKvFileSystemPtr AFs, const std::string& AFolder,
                          const TKvFileEntries& AItems);
    void TerminalEnded(TKvShellPanel* AShell);
    // F5, F6, Shift+F6 and Shift+F4 on a terminal: its selected names, or a new file.
    enum TTermCommand { tcCopy, tcMove, tcRename, tcNewFile };
    void TerminalCommand(TTerminal* ATerm, TTermCommand ACommand);
    // Keys that reach the window while a terminal (or the command line) has the focus.
    bool TerminalKey(QKeyEvent* AEvent);
    void ApplyTermLook(TKvShellPanel& AShell);
    void RefreshWindowTitle();
    // The halves, the transfer strip and the key bar; hidden while the command line shows.
    void ShowHalves(bool AOn);
    void CommandLineEnded();
    void GoToDrive(TKvHalf AHalf, const std::string& APath);
    void ShowOpenConnection(TKvHalf AHalf, int AIndex);

    std::string FStateFile;
    TKvAppState FState;
    bool FReady = false;
    bool FClosing = false;
    std::array<THalf, 2> FHalves;
    TKvHalf FActive = rhLeft;
    QSplitter* FSplitter = nullptr;
    TKvKeyBar* FKeyBar = nullptr;
    TKvTransferStrip* FStrip = nullptr;
    TKvQueueForm* FQueueForm = nullptr;
    std::unique_ptr<TKvTransferManager> FTransfers;
    std::unique_ptr<TKvWorker> FMiscWorker;
    // Server files edited from the file panels, polled every second.
    std::unique_ptr<TKvEditSessions> FEdits;
    QTimer FEditTimer;
    void StartEditSessions();
    IKvCancelTokenPtr FAlive;
    QTimer FSaveTimer;
    TKvKeyLayer FLayer = klPlain;
    bool FShutDown = false;
    // The last search request, and the panel it searched (for going to a hit).
    TKvSearchSpec FLastSearch = NewSearchSpec();
    TKvFilePanel* FSearchPanel = nullptr;
    IKvConnectUiPtr FPrompts;
    std::vector<TKvOpenConnection> FOpen;
    std::unique_ptr<TKvConnectorStore> FConnectors;
    std::vector<std::unique_ptr<TTerminal>> FTerminals;
    // The search's terminal, when it searched a terminal's folder.
    TKvShellPanel* FSearchShell = nullptr;
    TKvShellPanel* FConsole = nullptr;
    QWidget* FCentral = nullptr;

    // ---- Zip, clipboard pastes and drops (Kv.Ui.MainForm.Paste.cpp) ----
public:
    // Alt+F5: the active panel's selection into a new zip file in a folder of the disk.
    void ZipSelection();
    // Ctrl+V or the panel's menu: the files on the clipboard into the panel's folder, moved
    // when they were cut.
    void PasteInto(TKvFilePanel& APanel);

protected:
    void dragEnterEvent(QDragEnterEvent* AEvent) override;
    void dragMoveEvent(QDragMoveEvent* AEvent) override;
    void dropEvent(QDropEvent* AEvent) override;

private:
    // A cut pasted from the clipboard whose moves still run.
    struct TKvCutPaste {
        std::vector<std::string> Paths;
        int Running = 0;
        int Moved = 0;
    };
    // One copy or move per source folder into AFolder of ADestFs; messages go to APanel. ACut,
    // when given, counts the moves started and hears when each ends. The number started.
    int PasteFiles(TKvFilePanel& APanel, const IKvFileSystemPtr& ADestFs,
                   const std::string& AFolder, bool AMove, const std::vector<std::string>& APaths,
                   const std::shared_ptr<TKvCutPaste>& ACut = {});
    void CutPasteDone(const std::shared_ptr<TKvCutPaste>& ACut, const TKvTransferResult& AResult);
    // The file panel under a point of the window that can take a drop, and the effect shown.
    TKvFilePanel* DropPanelAt(const QPoint& APos) const;
    Qt::DropAction DropEffect(const QDropEvent& AEvent, TKvFilePanel** APanel = nullptr) const;
    std::vector<std::shared_ptr<TKvCutPaste>> FCutPastes;
};

} // namespace kv
