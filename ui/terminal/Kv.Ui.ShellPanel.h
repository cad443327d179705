// The terminal half of the main window: the terminal control over a screen, one shell (SSH,
// Telnet or the local command line) and a one-line status under it. The rules, including the
// hybrid protocol of an SSH half, live in TKvShellPanelModel; this widget forwards the
// control's events to it, runs its timer and shows what it says.
#pragma once

#include <QWidget>
#include <functional>
#include <memory>
#include <string>

#include "Kv.Shell.Hybrid.h"
#include "Kv.Vt.Control.h"

class QLabel;
class QTimer;

namespace kv {

class TKvShellPanel : public QWidget {
    Q_OBJECT

public:
    using TNotify = std::function<void(TKvShellPanel* ASender)>;

    explicit TKvShellPanel(QWidget* AParent = nullptr, TKvShellClock AClock = ShellClockMs);
    ~TKvShellPanel() override;

    // An SSH or Telnet connection (a hybrid SSH one also opens its file connection).
    void Open(const TKvConnector& AConn, IKvConnectUiPtr AUi);
    // The local command line, started in ADir.
    void OpenLocal(const std::string& ADir);
    // Opens on a shell made by the caller (tests, or a shell the window already has).
    void OpenShell(const TKvConnector& AConn, IKvConnectUiPtr AUi, IKvSshShellPtr AShell);
    void Close();

    bool IsOpen() const { return FModel->IsOpen(); }
    bool IsLocal() const { return FModel->IsLocal(); }
    std::string LastStatus() const { return FModel->LastStatus(); }
    void TypeLine(const std::string& AText) { FModel->TypeLine(AText); }
    std::string Title() { return FModel->Title(); }
    std::string CurrentDir() { return FModel->CurrentDir(); }
    IKvFileSystemPtr FileSystem();
    void FocusTerminal();
    bool TerminalHasFocus() const;
    bool HasSelection() const;
    bool FullScreenApp();
    bool HasFiles() const { return FModel->HasFiles(); }
    bool FilesReady() { return FModel->FilesReady(); }
    std::string WorkSpinner() const { return FModel->WorkSpinner(); }
    void ApplyTheme(const TKvTermLook& ALook);
    void RefreshLinks();
    // Types a cd to a folder given by its SFTP path (only with a file connection).
    void ChangeDir(const std::string& APath);

    TKvTerminal* Terminal() const { return FTerminal; }
    TKvShellPanelModel& Model() { return *FModel; }
    // The status line's text as shown.
    QString StatusText() const;
    // Shows a status for ASeconds (0: until replaced).
    void SetStatus(const std::string& AText, int ASeconds);
    // Runs the 250 ms timer's work now (tests).
    void Tick();

    TNotify OnActivated, OnTitleChanged, OnWorkChanged, OnEnded;

private:
    void Start(const TKvConnector& AConn, IKvConnectUiPtr AUi, IKvSshShellPtr AShell,
               bool ALocal, const std::string& AName);
    void ShowStatus();

    std::unique_ptr<TKvShellPanelModel> FModel;
    TKvTerminal* FTerminal = nullptr;
    QLabel* FStatus = nullptr;
    QTimer* FTimer = nullptr;
};

} // namespace kv
