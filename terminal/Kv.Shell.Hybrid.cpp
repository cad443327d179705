#include "Kv.Shell.Hybrid.h"

#include <chrono>
#include <set>

#include "Kv.Log.h"
#include "Kv.Text.h"
#include "Kv.Shell.Local.h"
#include "Kv.Shell.Quote.h"
#include "Kv.Shell.Words.h"

namespace kv {

namespace {

constexpr int KMaxScanRows = 120;
constexpr size_t KMaxNames = 800;
// Enough to keep an ESC "]7;" that arrived split over two chunks.
constexpr size_t KMarkerCarry = 8;

// Time since AThen; 0 when AThen is later (a reader thread may stamp data after the timer read
// the clock).
uint64_t Since(uint64_t ANow, uint64_t AThen) {
    return ANow > AThen ? ANow - AThen : 0;
}

std::unique_ptr<TKvShellFiles> SftpFiles(const TKvConnector& AConn, IKvConnectUiPtr AUi) {
    return std::make_unique<TKvShellFiles>(AConn, std::move(AUi));
}

} // namespace

uint64_t ShellClockMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

std::string ShellSwitchCommand(const std::string& AShell) {
    const std::string name(TrimmedView(AShell));
    if (name.empty())
        return {};
    for (char c : name) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                        c == '+' || c == '-' || c == '.' || c == '/' || c == '_';
        if (!ok)
            return {};
    }
    std::string candidates;
    if (name.find('/') != std::string::npos) {
        candidates = name;
    } else {
        for (const char* dir : {"/usr/bin", "/bin", "/usr/local/bin", "/opt/freeware/bin",
                                "/usr/pkg/bin", "/opt/csw/bin", "/usr/sfw/bin", "/usr/xpg4/bin"})
            candidates += (candidates.empty() ? "" : " ") + std::string(dir) + "/" + name;
    }
    const std::string list = "ls -d " + candidates + " 2>/dev/null | head -1";
    return " test -n \"`" + list + "`\" && exec `" + list + "` || echo \"Kolvan: " + name +
           " was not found on this server.\"";
}

std::string StartDirCommand(const std::string& ADir) {
    const std::string dir(TrimmedView(ADir));
    std::string command;
    if (dir.empty())
        return {};
    if (dir == "~")
        command = "cd ~";
    else if (dir.compare(0, 2, "~/") == 0)
        command = "cd ~/" + ShellQuote(dir.substr(2));
    else
        command = "cd " + ShellQuote(dir);
    return command + " 2>/dev/null; ";
}

TKvShellPanelModel::TKvShellPanelModel(TKvShellClock AClock, TKvShellTiming ATiming)
    : FClock(std::move(AClock)), FTiming(ATiming), FFilesFactory(SftpFiles),
      FScreen(80, 24, 10000), FParser(FScreen), FAlive(NewCancelToken()) {}

TKvShellPanelModel::~TKvShellPanelModel() {
    FAlive->Cancel();
    try {
        Close();
    } catch (const std::exception& e) {
        Log(std::string("closing terminal panel: ") + e.what());
    }
}

void TKvShellPanelModel::Reset(const TKvConnector& AConn, IKvConnectUiPtr AUi, bool AKeepScreen) {
    Close();
    // Results of the last shell still queued for the UI thread must not reach this one.
    FAlive->Cancel();
    FAlive = NewCancelToken();
    FShellSent = true;
    FInjected = false;
    FInjectTick = FShellTick = 0;
    {
        std::lock_guard lock(FSwallowLock);
        FSwallow = false;
        FSwallowBuf.clear();
    }
    FLastDataTick = 0;
    FGotData = 0;
    FSeenVersion = FScannedVersion = FScannedFirst = -1;
    FChangeTick = 0;
    FScanBusy = false;
    FWorkSince = 0;
    FWorkFrame = -1;
    FForceRefresh = false;
    FListedSerial = 0;
    FLastNames.clear();
    FListTick = 0;
    FListTickSet = false;
    FCommandRunning = false;
    FEnterSerial = 0;
    FBaseHost.clear();
    FLocal = false;
    FConn = AConn;
    FUi = std::move(AUi);
    FDisplayName = FConn.Name.empty() ? FConn.Host : FConn.Name;
    FEnded = false;
    FLost = false;
    FScreen.Lock();
    if (!AKeepScreen) {
        FScreen.FullReset();
        FScreen.ClearScrollback();
    }
    FScreen.SetCwd("");
    FScreen.SetUser("");
    FScreen.Unlock();
    FStatus.clear();
    FStatusUntil = 0;
}

void TKvShellPanelModel::Open(const TKvConnector& AConn, IKvConnectUiPtr AUi,
                              IKvSshShellPtr AShell, int ACols, int ARows) {
    Reset(AConn, std::move(AUi));
    if (AConn.Kind == ckTelnet || !AConn.Hybrid) {
        FFilesState = 3;
        FInjected = true;
    }
    FShellSent = AConn.Kind == ckTelnet || TrimmedView(AConn.Shell).empty();
    Run(std::move(AShell), ACols, ARows);
}

TKvConnector TKvShellPanelModel::ReconnectTarget() {
    FScreen.Lock();
    const std::string url = FScreen.Cwd();
    FScreen.Unlock();
    TKvConnector conn = FConn;
    // The folder as the shell named it (not as SFTP maps it): the new shell goes there.
    std::string host, path;
    if (ParseFileUrl(url, host, path) && (FBaseHost.empty() || host == FBaseHost) && !path.empty())
        conn.StartDir = path;
    return conn;
}

void TKvShellPanelModel::Reconnect(IKvSshShellPtr AShell) {
    const TKvConnector conn = ReconnectTarget();
    FScreen.Lock();
    const int cols = FScreen.Cols(), rows = FScreen.Rows();
    FScreen.Unlock();
    const bool hybrid = FFilesState != 3;
    Reset(conn, FUi, true);
    // The old session's text goes up into the scrollback whole; the new one starts on an empty
    // screen, as a new connection does.
    FScreen.Lock();
    FParser.Feed("\x1b[0m\x1b[r\x1b[" + std::to_string(rows) + ";1H" + std::string(rows, '\n') +
                 "\x1b[H");
    FScreen.Unlock();
    if (!hybrid) {
        FFilesState = 3;
        FInjected = true;
    }
    FShellSent = conn.Kind == ckTelnet || TrimmedView(conn.Shell).empty();
    Log("shell: connecting again to " + FDisplayName + " in " +
        (conn.StartDir.empty() ? std::string("the login folder") : conn.StartDir));
    Run(std::move(AShell), cols, rows);
}

void TKvShellPanelModel::OpenLocal(IKvSshShellPtr AShell, const std::string& ADisplayName,
                                   int ACols, int ARows) {
    TKvConnector conn;
    conn.Id = "local";
    conn.Name = "cmd";
    Reset(conn, nullptr);
    FLocal = true;
    FDisplayName = ADisplayName.empty() ? "cmd" : ADisplayName;
    FFilesState = 3;
    FInjected = true;
    Run(std::move(AShell), ACols, ARows);
}

void TKvShellPanelModel::Run(IKvSshShellPtr AShell, int ACols, int ARows) {
    FShell = std::move(AShell);
    auto alive = FAlive;
    FShell->SetEvents(
        [this](const std::string& AData) { Data(AData); },
        [this, alive](const std::string& AReason) {
            KvDeliver(alive, [this, AReason] {
                FEnded = true;
                ClearLinks();
                FLost = !FLocal && !AReason.empty() && FGotData;
                if (FLost) {
                    // Said on the screen, where the user looks, below what the shell printed.
                    FScreen.Lock();
                    // Out of a full-screen program's screen first (only then: leaving it also
                    // puts the cursor back where it was saved).
                    if (FScreen.AltScreen())
                        FParser.Feed("\x1b[?1049l");
                    // The reason is the shell's own sentence ("The connection was lost: ...").
                    FParser.Feed("\x1b[0m\r\n\x1b[7m " + AReason +
                                 " \x1b[0m\r\nPress Enter to connect again.\r\n");
                    FScreen.Unlock();
                    if (FHooks.NotifyChanged)
                        FHooks.NotifyChanged();
                    SetStatus(FDisplayName + ": " + AReason +
                              (AReason.back() == '.' ? " " : ". ") + "Press Enter to connect again.");
                } else if (!AReason.empty())
                    SetStatus(FDisplayName + ": " + AReason);
                else if (FLocal)
                    SetStatus(FDisplayName + " has ended.");
                else
                    SetStatus("The session has ended. Press the Disconnect link to close this half.");
                if (FHooks.Ended)
                    FHooks.Ended();
            });
        },
        [this, alive](const std::string& AText) {
            KvDeliver(alive, [this, AText] { SetStatus(AText); });
        });
    FScreen.Lock();
    FScreen.Resize(ACols, ARows);
    FScreen.Unlock();
    FShell->Start(ACols, ARows);
    FLastTitle = Title();
    if (FHooks.TitleChanged)
        FHooks.TitleChanged();
}

void TKvShellPanelModel::Close() {
    if (FShell) {
        // After SetEvents with nothing returns, the reader thread no longer reaches this object.
        FShell->SetEvents(nullptr, nullptr, nullptr);
        try {
            FShell->Close();
        } catch (const std::exception& e) {
            Log(std::string("closing terminal: ") + e.what());
        }
        FShell.reset();
    }
    try {
        FFiles.reset();
    } catch (const std::exception& e) {
        Log(std::string("closing terminal files: ") + e.what());
    }
    FFilesState = 0;
    FFilesRetryAt = 0;
    FFilesTries = 0;
    ClearLinks();
}

void TKvShellPanelModel::Write(const std::string& ABytes) {
    if (FShell && !ABytes.empty())
        FShell->Write(ABytes);
}

void TKvShellPanelModel::Input(const std::string& ABytes) {
    if (ConnectionLost() && ABytes.find('\r') != std::string::npos && FHooks.Reconnect) {
        FHooks.Reconnect();
        return;
    }
    if (!IsOpen())
        return;
    if (FInjected && ABytes.find('\r') != std::string::npos) {
        FScreen.Lock();
        if (!FScreen.AltScreen()) {
            FCommandRunning = true;
            FEnterSerial = FScreen.CwdSerial();
        }
        FScreen.Unlock();
    }
    Write(ABytes);
}

void TKvShellPanelModel::TypeLine(const std::string& AText) {
    if (IsOpen())
        Write(AText + "\r");
}

bool TKvShellPanelModel::TypeCd(const std::string& AShellPath) {
    std::string command, error;
    if (!ShellCdCommand(AShellPath, command, error)) {
        SetStatus(error, 8);
        return false;
    }
    TypeLine(command);
    return true;
}

void TKvShellPanelModel::Resize(int ACols, int ARows) {
    if (FShell)
        FShell->Resize(ACols, ARows);
}

bool TKvShellPanelModel::Swallowing() {
    std::lock_guard lock(FSwallowLock);
    return FSwallow;
}

void TKvShellPanelModel::Data(const std::string& ABytes) {
    FLastDataTick = Now();
    FGotData = 1;
    std::string show = ABytes;
    {
        std::lock_guard lock(FSwallowLock);
        if (FSwallow) {
            FSwallowBuf += ABytes;
            const size_t at = FSwallowBuf.find("\x1b]7;");
            Log("hook: swallowing, buffer " + std::to_string(FSwallowBuf.size()) +
                " bytes, report found at " + std::to_string(at == std::string::npos ? 0 : at));
            if (at == std::string::npos) {
                if (FSwallowBuf.size() > KMarkerCarry)
                    FSwallowBuf.erase(0, FSwallowBuf.size() - KMarkerCarry);
                return;
            }
            // The prompt starts on a line of its own, without the echoed command.
            show = "\r\x1b[K" + FSwallowBuf.substr(at);
            FSwallowBuf.clear();
            FSwallow = false;
        }
    }
    std::string replies;
    FScreen.Lock();
    FParser.Feed(show);
    FScreen.Changed();
    replies = FScreen.TakeReplies();
    FScreen.Unlock();
    if (!replies.empty() && FShell)
        FShell->Write(replies);
    if (FHooks.NotifyChanged)
        FHooks.NotifyChanged();
}

void TKvShellPanelModel::SetStatus(const std::string& AText, int ASeconds) {
    FStatus = AText.empty() ? std::string() : " " + AText;
    FStatusUntil = ASeconds >= 1 ? Now() + uint64_t(ASeconds) * 1000 : 0;
}

std::string TKvShellPanelModel::LastStatus() const {
    return std::string(TrimmedView(FStatus));
}

bool TKvShellPanelModel::FilesReady() {
    return IsOpen() && FFilesState == 2 && FFiles && FFiles->Fs();
}

void TKvShellPanelModel::ClearLinks() {
    FLinks.clear();
    if (FHooks.SetLinks)
        FHooks.SetLinks(FLinks);
}

void TKvShellPanelModel::RefreshLinks() {
    if (!FFiles)
        return;
    FFiles->Forget();
    FForceRefresh = true;
}

void TKvShellPanelModel::StartFiles() {
    FFilesState = 1;
    Log("files: starting the second connection");
    TKvConnector conn = FConn;
    const std::string learned = FShell ? FShell->LearnedSecret() : std::string();
    if (!learned.empty())
        conn.Secret = learned;
    FFiles = FFilesFactory(conn, FUi);
    FFiles->Connect([this](const std::string& AError) {
        Log("files: connection result [" + AError + "]");
        if (AError.empty()) {
            FFilesState = 2;
            FFilesTries = 0;
            if (FHooks.TitleChanged)
                FHooks.TitleChanged();
            return;
        }
        FFilesState = 3;
        ++FFilesTries;
        if (FFilesTries > FTiming.MaxFileTries) {
            FFilesRetryAt = 0;
            SetStatus("Files cannot be shown as links: " + AError, 8);
        } else {
            FFilesRetryAt = Now() + FTiming.RetryMs;
        }
    });
}

void TKvShellPanelModel::SwitchShell() {
    FShellSent = true;
    FShellTick = Now();
    const std::string command = ShellSwitchCommand(FConn.Shell);
    if (command.empty()) {
        Log("shell: not a usable shell name: " + FConn.Shell);
        SetStatus("The shell \"" + FConn.Shell + "\" is not a usable name, so the server's own is used.",
                  10);
        return;
    }
    Log("shell: switching to " + FConn.Shell);
    Write(command + "\r");
}

void TKvShellPanelModel::SendReport() {
    Log("hook: sending the folder report command");
    FInjected = true;
    FInjectTick = Now();
    {
        std::lock_guard lock(FSwallowLock);
        FSwallowBuf.clear();
        FSwallow = true;
    }
    std::string command = FolderReportCommand();
    const std::string start = StartDirCommand(FConn.StartDir);
    if (!start.empty())
        command = " " + start + command.substr(1);
    Write(command + "\r");
}

void TKvShellPanelModel::Tick() {
    try {
        const uint64_t now = Now();
        if (FStatusUntil && now >= FStatusUntil) {
            FStatus.clear();
            FStatusUntil = 0;
        }
        const std::string title = Title();
        if (title != FLastTitle) {
            FLastTitle = title;
            if (FHooks.TitleChanged)
                FHooks.TitleChanged();
        }
        if (FFilesState == 3 && FFilesRetryAt && now >= FFilesRetryAt) {
            try {
                FFiles.reset();
            } catch (const std::exception& e) {
                Log(std::string("files: closing the failed connection: ") + e.what());
            }
            FFilesRetryAt = 0;
            FFilesState = 0;
        }
        if (IsOpen() && FGotData) {
            const uint64_t quiet = Since(now, FLastDataTick);
            if (FFilesState == 0)
                StartFiles();
            if (!FShellSent) {
                if (quiet >= uint64_t(FTiming.QuietMs))
                    SwitchShell();
            } else if (!FInjected && quiet >= uint64_t(FTiming.QuietMs) &&
                       Since(now, FShellTick) >= uint64_t(FTiming.QuietMs)) {
                SendReport();
            }
        }
        bool gaveUp = false;
        if (IsOpen()) {
            std::string held;
            {
                std::lock_guard lock(FSwallowLock);
                if (FSwallow && Since(now, FInjectTick) >= uint64_t(FTiming.ReportLimitMs)) {
                    held.swap(FSwallowBuf);
                    FSwallow = false;
                    gaveUp = true;
                }
            }
            if (gaveUp) {
                Log("hook: no report within the time limit. Buffer: " + held);
                Write("\r");
                SetStatus("The shell did not report its folder, so files are not underlined.", 10);
            }
        }
        FScreen.Lock();
        const int version = FScreen.Version();
        const int serial = FScreen.CwdSerial();
        FScreen.Unlock();
        if (version != FSeenVersion) {
            FSeenVersion = version;
            FChangeTick = now;
        }
        if (FCommandRunning &&
            (serial != FEnterSerial ||
             (Since(now, FLastDataTick) >= uint64_t(FTiming.CommandQuietMs) &&
              Since(now, FChangeTick) >= uint64_t(FTiming.CommandQuietMs))))
            FCommandRunning = false;
        if (FFilesState == 2 && !FScanBusy && !FCommandRunning &&
            Since(now, FChangeTick) >= uint64_t(FTiming.ScanQuietMs) && !Swallowing())
            ScanScreen();
        UpdateWork();
    } catch (const std::exception& e) {
        Log(std::string("timer: ") + e.what());
    }
}

void TKvShellPanelModel::ScanScreen() {
    if (!FFiles)
        return;
    int first = 0, last = -1;
    FScreen.Lock();
    if (FHooks.VisibleLines) {
        FScreen.Unlock();
        FHooks.VisibleLines(first, last);
        FScreen.Lock();
    } else {
        first = FScreen.BackCount();
        last = FScreen.LineCount() - 1;
    }
    const int rows = last - first + 1;
    const int version = FScreen.Version();
    if (rows <= 0 || rows >= KMaxScanRows ||
        (version == FScannedVersion && first == FScannedFirst && !FForceRefresh)) {
        FScreen.Unlock();
        return;
    }
    if (FScreen.AltScreen()) {
        FScreen.Unlock();
        ClearLinks();
        return;
    }
    const std::string url = FScreen.Cwd();
    const int serial = FScreen.CwdSerial();
    const int cwdId = FScreen.CwdId();
    std::vector<TKvWord> words;
    if (!url.empty()) {
        for (int i = first; i <= last && i < FScreen.LineCount(); ++i) {
            const TKvVtLine& line = FScreen.AbsLine(i);
            if (line.CwdId == 0 || line.CwdId != cwdId)
                continue;
            TKvLogicalWords logical = LogicalWords(FScreen, i);
            if (logical.FirstIndex != i && i != first)
                continue; // a wrapped name counts once
            words.insert(words.end(), logical.Words.begin(), logical.Words.end());
        }
    }
    FScreen.Unlock();
    if (url.empty())
        return;
    Log("scan: cwd report [" + url + "] rows " + std::to_string(rows));
    std::string host, path;
    if (!ParseFileUrl(url, host, path))
        return;
    if (FBaseHost.empty())
        FBaseHost = host;
    if (host != FBaseHost) {
        ClearLinks();
        return;
    }
    std::vector<std::string> names;
    std::set<std::string> seen;
    for (const auto& w : words) {
        if (names.size() >= KMaxNames)
            break;
        if (seen.insert(w.Text).second)
            names.push_back(w.Text);
    }
    Log("scan: " + std::to_string(names.size()) + " names");
    if (names.size() <= 12)
        for (const auto& n : names)
            Log("scan:   name [" + n + "]");
    bool anyNew = false;
    {
        std::set<std::string> last(FLastNames.begin(), FLastNames.end());
        for (const auto& n : names)
            if (!last.count(n))
                anyNew = true;
    }
    FLastNames = names;
    const uint64_t now = Now();
    bool refresh = FForceRefresh;
    if (!refresh && serial != FListedSerial) {
        if (anyNew && (!FListTickSet || Since(now, FListTick) >= uint64_t(FTiming.RelistMs)))
            refresh = true;
        else if (!anyNew)
            FListedSerial = serial;
    }
    if (refresh) {
        FListedSerial = serial;
        FListTick = now;
        FListTickSet = true;
    }
    FForceRefresh = false;
    FScannedVersion = version;
    FScannedFirst = first;
    FScanBusy = true;
    FFiles->Scan(path, names, refresh, [this, path, words] {
        FScanBusy = false;
        if (!FFiles)
            return;
        std::vector<TKvShellLink> links;
        std::set<std::string> linked;
        for (const auto& w : words) {
            std::string sftpPath;
            TKvFileEntry entry;
            if (linked.count(w.Text) || !FFiles->Lookup(path, w.Text, sftpPath, entry))
                continue;
            if (w.WantDir && !entry.IsDir)
                continue;
            linked.insert(w.Text);
            links.push_back({w.Text, sftpPath, entry.IsDir, entry.Size});
        }
        Log("scan: " + std::to_string(links.size()) + " links in " + path);
        FLinks = links;
        if (FHooks.SetLinks)
            FHooks.SetLinks(FLinks);
    });
}

void TKvShellPanelModel::UpdateWork() {
    const uint64_t now = Now();
    bool working = false;
    if (IsOpen()) {
        if (FFilesState == 1)
            working = true;
        else if (FFilesState == 0)
            working = FGotData != 0;
        else if (FFilesState == 2 && !FCommandRunning)
            working = !FInjected || FScanBusy || Swallowing() ||
                      (FSeenVersion != FScannedVersion && Since(now, FChangeTick) < 5000);
    }
    int frame = -1;
    if (working) {
        if (!FWorkSince)
            FWorkSince = now;
        if (Since(now, FWorkSince) >= 500)
            frame = int((Since(now, FWorkSince) / 250) % 4);
    } else {
        FWorkSince = 0;
    }
    if (frame != FWorkFrame) {
        FWorkFrame = frame;
        if (FHooks.WorkChanged)
            FHooks.WorkChanged();
    }
}

std::string TKvShellPanelModel::WorkSpinner() const {
    static const char* frames[] = {"-", "\\", "|", "/"};
    return FWorkFrame >= 0 ? frames[FWorkFrame] : "";
}

std::string TKvShellPanelModel::Title() {
    if (!FShell && FConn.Id.empty() && FConn.Host.empty())
        return {};
    if (FLocal) {
        const std::string dir = CurrentDir();
        return dir.empty() ? FDisplayName : FDisplayName + ": " + dir;
    }
    FScreen.Lock();
    const std::string url = FScreen.Cwd(), user = FScreen.User(), title = FScreen.Title();
    FScreen.Unlock();
    std::string host, path;
    if (ParseFileUrl(url, host, path))
        return (user.empty() ? FConn.User : user) + "@" + (host.empty() ? FConn.Host : host) +
               ":" + path;
    return title.empty() ? FDisplayName : FDisplayName + " - " + title;
}

bool TKvShellPanelModel::ServerFileLink(const std::string& AUri, std::string& AShellPath,
                                        std::string& ASftpPath) {
    std::string host, path;
    if (FLocal || !HasFiles() || FBaseHost.empty() || !ParseFileUrl(AUri, host, path) ||
        host != FBaseHost || path.find('\0') != std::string::npos)
        return false;
    AShellPath = path;
    ASftpPath = FFiles ? FFiles->ToSftp(path) : path;
    return true;
}

std::string TKvShellPanelModel::CurrentDir() {
    FScreen.Lock();
    const std::string url = FScreen.Cwd();
    FScreen.Unlock();
    if (FLocal)
        return FileUrlToLocalPath(url);
    std::string host, path;
    if (!ParseFileUrl(url, host, path) || (!FBaseHost.empty() && host != FBaseHost))
        return {};
    return FFiles ? FFiles->ToSftp(path) : path;
}

} // namespace kv
