// The rules of a terminal half without its window: it owns the screen and parser, drives one
// shell, and for a hybrid SSH shell runs the hybrid protocol. Once the login output settles it
// types the folder report command, hides that command's echo, opens the second (SFTP)
// connection, and whenever the screen settles it scans the visible names, asks the file
// connection which exist in the reported folder, and hands them on as links.
//
// The shell's reader thread calls Data; everything else runs on the UI thread, which calls Tick
// every 250 ms. Time comes from an injected clock, so tests drive the timing rules directly.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Kv.Connectors.h"
#include "Kv.Shell.Files.h"
#include "Kv.Shell.h"
#include "Kv.Vt.Parser.h"
#include "Kv.Vt.Screen.h"

namespace kv {

using TKvShellClock = std::function<uint64_t()>;
uint64_t ShellClockMs();

// A name on screen that exists on the server.
struct TKvShellLink {
    std::string Name; // as shown on screen
    std::string Path; // the SFTP path
    bool IsDir = false;
    int64_t Size = 0;
    bool operator==(const TKvShellLink&) const = default;
};

// The command typed to switch to the configured shell; empty when the name is not usable.
std::string ShellSwitchCommand(const std::string& AShell);
// "cd <folder> 2>/dev/null; " for the start folder; empty for none.
std::string StartDirCommand(const std::string& ADir);

struct TKvShellTiming {
    int QuietMs = 700;         // output this old counts as settled (report command, shell switch)
    int ReportLimitMs = 3000;  // how long the echo of the report command may be hidden
    int ScanQuietMs = 250;     // the screen must be this quiet before a scan
    int CommandQuietMs = 3000; // a running command counts as done after this much quiet
    int RelistMs = 1500;       // a folder is re-read at most this often unless forced
    int RetryMs = 4000;        // a failed file connection is tried again after this
    int MaxFileTries = 5;
};

class TKvShellPanelModel {
public:
    // What the window gives: all run on the UI thread except NotifyChanged (any thread).
    struct THooks {
        std::function<void()> NotifyChanged;
        std::function<void(const std::vector<TKvShellLink>&)> SetLinks;
        std::function<void()> TitleChanged, WorkChanged, Ended;
        // Enter after a lost connection: the window makes a new shell and calls Reconnect.
        std::function<void()> Reconnect;
        // The absolute indexes of the first and last line shown; by default the live rows.
        std::function<void(int&, int&)> VisibleLines;
    };
    // Makes the file connection of a hybrid half; by default an SFTP connection to AConn.
    using TFilesFactory =
        std::function<std::unique_ptr<TKvShellFiles>(const TKvConnector&, IKvConnectUiPtr)>;

    explicit TKvShellPanelModel(TKvShellClock AClock = ShellClockMs,
                                TKvShellTiming ATiming = {});
    ~TKvShellPanelModel();
    TKvShellPanelModel(const TKvShellPanelModel&) = delete;
    TKvShellPanelModel& operator=(const TKvShellPanelModel&) = delete;

    void SetHooks(THooks AHooks) { FHooks = std::move(AHooks); }
    void SetFilesFactory(TFilesFactory AFactory) { FFilesFactory = std::move(AFactory); }

    // An SSH or Telnet shell for the connection (AShell made for it by the caller), started.
    void Open(const TKvConnector& AConn, IKvConnectUiPtr AUi, IKvSshShellPtr AShell, int ACols,
              int ARows);
    // The local command line; ADisplayName names it in texts ("bash").
    void OpenLocal(IKvSshShellPtr AShell, const std::string& ADisplayName, int ACols, int ARows);
    void Close();

    // Bytes typed or pasted in the terminal.
    void Input(const std::string& ABytes);
    // Types a line (and CR) into the shell.
    void TypeLine(const std::string& AText);
    // Changes folder by typing cd; false with a status message when the folder cannot be typed.
    bool TypeCd(const std::string& AShellPath);
    void Resize(int ACols, int ARows);
    // The 250 ms timer.
    void Tick();
    // Forgets the file connection's caches and forces the next scan.
    void RefreshLinks();

    TKvVtScreen& Screen() { return FScreen; }
    bool IsOpen() const { return FShell && !FEnded; }
    bool IsLocal() const { return FLocal; }
    bool Ended() const { return FEnded; }
    // The connection died under the shell (as against an exit): Enter connects again.
    bool ConnectionLost() const { return FEnded && FLost; }
    // The connection to make again: the same, starting in the folder the shell last reported.
    TKvConnector ReconnectTarget();
    const IKvConnectUiPtr& Ui() const { return FUi; }
    // A new shell for the same connection; the screen and its scrollback stay as they were.
    void Reconnect(IKvSshShellPtr AShell);
    bool HasFiles() const { return FShell && !FLocal && FConn.Kind != ckTelnet; }
    bool FilesReady();
    TKvShellFiles* Files() { return FFiles.get(); }
    const TKvConnector& Connector() const { return FConn; }
    const std::vector<TKvShellLink>& Links() const { return FLinks; }
    // The status text without the leading blank; Status sets it for ASeconds (0: until replaced).
    std::string LastStatus() const;
    void SetStatus(const std::string& AText, int ASeconds = 0);
    std::string Title();
    std::string CurrentDir();
    // A hyperlink a program printed (OSC 8) that names a file on the server this half's
    // folder reports come from: its path as the shell and as SFTP see it. False for any other
    // link, and before the shell has reported a folder.
    bool ServerFileLink(const std::string& AUri, std::string& AShellPath, std::string& ASftpPath);
    // "-", "\", "|", "/" while the half works, empty otherwise.
    std::string WorkSpinner() const;
    bool Injected() const { return FInjected; }
    bool Swallowing();
    int FilesState() const { return FFilesState; }

    // The shell's reader thread.
    void Data(const std::string& ABytes);

private:
    // AKeepScreen: what the screen shows stays (a reconnect).
    void Reset(const TKvConnector& AConn, IKvConnectUiPtr AUi, bool AKeepScreen = false);
    void Run(IKvSshShellPtr AShell, int ACols, int ARows);
    void Write(const std::string& ABytes);
    void StartFiles();
    void SwitchShell();
    void SendReport();
    void ScanScreen();
    void ClearLinks();
    void UpdateWork();
    uint64_t Now() const { return FClock(); }

    TKvShellClock FClock;
    TKvShellTiming FTiming;
    THooks FHooks;
    TFilesFactory FFilesFactory;
    TKvVtScreen FScreen;
    TKvVtParser FParser;
    IKvSshShellPtr FShell;
    IKvCancelTokenPtr FAlive;
    TKvConnector FConn;
    IKvConnectUiPtr FUi;
    std::string FDisplayName;
    bool FEnded = false;
    bool FLost = false;
    bool FLocal = false;
    std::unique_ptr<TKvShellFiles> FFiles;
    std::vector<TKvShellLink> FLinks;

    std::string FStatus;
    uint64_t FStatusUntil = 0;
    std::string FLastTitle;

    std::atomic<uint64_t> FLastDataTick{0};
    std::atomic<int> FGotData{0};
    // The echo of the report command is hidden between the reader thread and the timer.
    std::mutex FSwallowLock;
    bool FSwallow = false;
    std::string FSwallowBuf;

    bool FInjected = false;
    uint64_t FInjectTick = 0;
    bool FShellSent = true;
    uint64_t FShellTick = 0;
    int FFilesState = 0; // 0 not started, 1 connecting, 2 ready, 3 failed or not wanted
    uint64_t FFilesRetryAt = 0;
    int FFilesTries = 0;
    int FSeenVersion = -1;
    int FScannedVersion = -1, FScannedFirst = -1;
    uint64_t FChangeTick = 0;
    bool FScanBusy = false;
    uint64_t FWorkSince = 0;
    int FWorkFrame = -1;
    bool FForceRefresh = false;
    int FListedSerial = 0;
    std::vector<std::string> FLastNames;
    uint64_t FListTick = 0;
    bool FListTickSet = false;
    bool FCommandRunning = false;
    int FEnterSerial = 0;
    std::string FBaseHost;
};

} // namespace kv
