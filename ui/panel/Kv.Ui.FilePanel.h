// The file-list half of the main window: a header, a list painted from TKvPanelModel, a
// quick-filter bar and a status line. Listing and changes run on the panel's own workers.
#pragma once

#include <QColor>
#include <QWidget>
#include <functional>
#include <memory>
#include <string>

#include "Kv.Connectors.h"
#include "Kv.FileSystem.h"
#include "Kv.Ssh.Session.h"
#include "Kv.State.h"
#include "Kv.Ui.PanelModel.h"
#include "Kv.Worker.h"

class QLabel;
class QMenu;
class QLineEdit;
class QTimer;
class QToolButton;

namespace kv {

class IKvPasswordArchive;
class TKvFolderWatch;
class TKvPanelHeader;
class TKvPanelList;
class TKvPanelStatus;

// What a listing job needs of the panel's settings, to filter and sort on its worker.
struct TKvListView {
    bool ShowHidden = false;
    bool ShowSystem = false;
    TKvSortColumn Sort = scName;
    bool Descending = false;
    // Leaves out names that cannot be files (the local disk's own names stay), and hidden or
    // system entries as set; then sorts.
    void Prepare(TKvFileEntries& AEntries, const IKvFileSystem& AFs) const;
};

class TKvFilePanel : public QWidget {
    Q_OBJECT

public:
    using TEvent = std::function<void(TKvFilePanel*)>;
    using TClock = std::function<uint64_t()>;

    explicit TKvFilePanel(QWidget* AParent = nullptr);
    ~TKvFilePanel() override;

    using TConnectedEvent =
        std::function<void(const std::string& AConnectorId, IKvFileSystemPtr AFs, const std::string& APath)>;
    using TSecretLearnedEvent = std::function<void(const std::string& AConnectorId, const std::string& ASecret)>;

    TEvent OnActivated, OnPathChanged, OnStateChanged, OnRenameRequest, OnPasteRequest;
    TConnectedEvent OnConnected;
    TSecretLearnedEvent OnSecretLearned;

    // Navigation.
    void LoadState(const TKvPanelState& AState, const std::string& ADefaultPath);
    void SaveState(TKvPanelState& AState) const;
    void Navigate(const std::string& APath);
    void NavigateWithin(const std::string& APath);
    void ShowItem(const std::string& APath);
    void Reload();
    // Reload without "Reading..." in the status line, which keeps what it says.
    void ReloadQuietly();
    // Lists APath of AFs (the disk, an archive or a server), optionally falling back to the
    // nearest folder that can be listed, and focuses AFocusName.
    // AQuiet: a reload of what is shown, which keeps the status line as it is.
    void BeginList(IKvFileSystemPtr AFs, const std::string& APath, bool AFallback,
                   const std::string& AFocusName, bool AQuiet = false);
    // Esc while listing: the job is dropped and its worker replaced, even if it is stuck.
    void CancelListing();

    // Places beyond the disk. An archive opens read-only, asking for its password when its
    // files are encrypted; ".." at its root goes back to the folder that holds it.
    void BeginOpenArchive(const std::string& AFile);
    // Connects to a server and shows AStartPath there (the server's start folder when it is
    // empty or cannot be listed). Questions go through the prompts on the window's thread.
    void ConnectTo(const TKvConnector& AConn, const std::string& AStartPath);
    // Shows APath of a connection that is already open.
    void AttachTo(IKvFileSystemPtr AFs, const std::string& AConnectorId, const std::string& APath);
    // Back to the last disk folder; the connection itself stays open.
    void Disconnect();
    void SetPrompts(IKvConnectUiPtr APrompts) { FPrompts = std::move(APrompts); }

    // The selection on the clipboard: files for the desktop's file manager from the disk, full
    // paths as text from anywhere else; with ANamesOnly the names alone, as text.
    void CopyToClipboard(bool ANamesOnly = false);
    // The run bar (Ctrl+E): a command line for the shown disk folder, prefilled with the
    // focused name; Enter runs it, Esc closes it.
    void ShowRunBar();
    void HideRunBar();
    bool RunBarShown() const;
    QLineEdit* RunBarEdit() const { return FRunEdit; }
    void RunTypedLine();
    // The context menu for the focused row, not yet shown; the caller owns it.
    QMenu* NewContextMenu();
    // "Run as..." for the focused file of a disk folder (Ctrl+Enter), and its properties.
    void RunAsFocused();
    void ShowFocusedProperties();
    // The shown folder is one of this computer's disk, which programs can run in.
    bool IsLocalDisk() const;
    const std::string& ConnectorId() const { return FConnectorId; }
    const std::string& ConnectingId() const { return FConnectingId; }
    const std::string& ArchiveFile() const { return FArchiveFile; }

    IKvFileSystemPtr FileSystem() const { return FFs; }
    const std::string& Path() const { return FPath; }
    std::string DisplayPath() const;
    bool IsRemote() const;
    bool IsPlainLocal() const;
    std::string LocalFolder(std::string& AFocus) const;
    bool Busy() const { return FBusy; }
    bool CanRecycle() const { return FCanRecycle; }

    // Rows and marks.
    bool FocusedEntry(TKvFileEntry& AEntry) const { return FModel.FocusedEntry(AEntry); }
    TKvFileEntries MarkedEntries() const { return FModel.MarkedEntries(); }
    TKvFileEntries SelectedEntries() const { return FModel.SelectedEntries(); }
    void ClearMarks();
    const TKvPanelModel& Model() const { return FModel; }

    // Changes, run on the operations worker; the result shows in the status line.
    void MakeDirectory(const std::string& AName);
    void RenameItem(const std::string& AOldName, const std::string& ANewName);
    void ShowResult(const std::string& AText, bool AIsError);
    // Marks or unmarks files by a mask list, as "+" and "-" do after asking.
    void SelectByMask(const std::string& AMask, bool ASelect);

    std::string StatusText() const;
    // The size text of a row as the list draws it in its current width, and a row's text colour.
    std::string ShownSizeText(int ARow) const;
    QColor RowTextColor(int ARow) const;
    std::string StatusRight() const;
    bool MessageIsError() const { return !FMessage.empty() && FMessageIsError; }

    void FocusList();
    bool ListHasFocus() const;
    void ApplyTheme();
    void Shutdown();
    // Milliseconds of a monotonic clock, for type-ahead; tests set their own.
    void SetClock(TClock AClock) { FClock = std::move(AClock); }

    // Key handling of the list, reachable without a widget event.
    bool HandleKey(int AKey, Qt::KeyboardModifiers AModifiers, const QString& AText);
    void OpenFocused();

    // Painting support for the child widgets.
    int RowHeight() const;
    double Scale() const;

private:
    friend class TKvPanelList;
    friend class TKvPanelHeader;

    void ApplyListing(IKvFileSystemPtr AFs, const std::string& AArchive, const std::string& APath,
                      TKvFileEntries AEntries, const std::string& AMessage, const std::string& AFocusName,
                      bool ACanRecycle, int64_t AFree);
    TKvListView ListView() const;
    // The status line says AText until the job's result lands; the last message goes.
    void ShowBusy(const std::string& AText);
    // Step one of every listing-type job: the running one is dropped.
    void DropRunningListing();
    // Asks until the archive opens or the user gives up; false when given up.
    bool AskArchivePassword(IKvPasswordArchive& AArchive, const std::string& AName);
    void GoUp();
    void SetFilter(const std::string& AFilter);
    void AskMask(bool ASelect);
    void SortBy(TKvSortColumn AColumn);
    void ModelChanged();
    void UpdateFilterBar();
    void RestartListWorker();
    // The shown local folder changed on the disk: listed again, marks, cursor and filter kept.
    void LiveReload();

    TKvPanelModel FModel;
    TKvPanelHeader* FHeader = nullptr;
    TKvPanelList* FList = nullptr;
    TKvPanelStatus* FStatus = nullptr;
    QWidget* FFilterBar = nullptr;
    QLineEdit* FFilterEdit = nullptr;
    QWidget* FRunBar = nullptr;
    QLineEdit* FRunEdit = nullptr;

    std::unique_ptr<TKvWorker> FListWorker;
    std::unique_ptr<TKvWorker> FOpsWorker;
    IKvCancelTokenPtr FListToken;
    IKvCancelTokenPtr FAlive;
    IKvFileSystemPtr FFs;
    std::string FPath;
    std::string FArchiveFile;
    bool FBusy = false;
    std::string FBusyText;
    std::string FMessage;
    bool FMessageIsError = false;
    int64_t FFreeSpace = -1;
    bool FCanRecycle = false;
    std::string FLastLocalPath;
    std::string FConnectingId;
    std::string FConnectorId;
    std::string FPendingConnectorId;
    IKvConnectUiPtr FPrompts;
    std::string FLastMask = "*.*";
    TClock FClock;
    QTimer* FLiveTimer = nullptr;
    std::unique_ptr<TKvFolderWatch> FWatch;
    bool FQuietList = false;
};

} // namespace kv
