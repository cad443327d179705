#include "Kv.Shell.Local.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string_view>
#include <thread>
#include <vector>

#include "Kv.Log.h"
#include "Kv.Platform.Folders.h"
#include "Kv.Platform.Pty.h"

namespace kv {

namespace {

constexpr size_t KReadSize = 65536;
// Writes go out in bounded steps so that reads keep flowing while a paste drains.
constexpr size_t KWriteStep = 16384;

std::string BaseName(const std::string& APath) {
    auto slash = APath.rfind('/');
    return slash == std::string::npos ? APath : APath.substr(slash + 1);
}

// Every reporter encodes the folder the same way (FolderReportPath): a byte other than a letter,
// a digit or one of "/._~-" goes out as %XX, so BEL, ESC or a newline in a folder's name cannot
// end the report early or start another one (fish's "string escape --style=url" writes the
// same). The loop runs byte by byte under LC_ALL=C, local or in a subshell (mksh counts
// characters in its UTF-8 mode until +U); it holds no "!", which an interactive bash or zsh
// would take for history.
constexpr const char* KReportEncoder =
    R"KV(__kve() { case ${KSH_VERSION-} in *MIRBSD*) set +U;; esac; __s=$1; __o=; while [ -n "$__s" ]; do __c=${__s%"${__s#?}"}; __s=${__s#?}; case $__c in [A-Za-z0-9/._~-]) __o=$__o$__c;; *) printf %s%%%02X "$__o" "\"$__c"; __o=;; esac; done; printf %s "$__o"; })KV";

const std::string KBashReporter =
    std::string(KReportEncoder) +
    "\n__kv_osc7() { local LC_ALL=C __s __o __c; printf '\\033]7;file://%s' \"$HOSTNAME\"; "
    "__kve \"$PWD\"; printf '\\007'; }\n"
    "PROMPT_COMMAND=\"__kv_osc7${PROMPT_COMMAND:+;$PROMPT_COMMAND}\"\n";

const std::string KZshReporter =
    std::string(KReportEncoder) +
    "\n__kv_osc7() { emulate -L zsh; local LC_ALL=C __s __o __c; "
    "printf '\\033]7;file://%s' \"$HOST\"; __kve \"$PWD\"; printf '\\007'; }\n"
    "precmd_functions+=(__kv_osc7)\n";

void WriteFileAtomically(const std::string& APath, const std::string& AText) {
    std::string tmp = APath + ".tmp";
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        out << AText;
        if (!out)
            throw std::runtime_error("could not write " + tmp);
    }
    std::filesystem::rename(tmp, APath);
}

struct TKvShellLaunch {
    std::vector<std::string> Argv;
    std::vector<std::string> Env;
    std::string Typed; // the report command for shells without a start-up hook
};

void SetEnv(std::vector<std::string>& AEnv, const std::string& AName, const std::string& AValue) {
    std::string prefix = AName + "=";
    for (auto& e : AEnv)
        if (e.compare(0, prefix.size(), prefix) == 0) {
            e = prefix + AValue;
            return;
        }
    AEnv.push_back(prefix + AValue);
}

std::string GetEnv(const std::vector<std::string>& AEnv, const std::string& AName) {
    std::string prefix = AName + "=";
    for (const auto& e : AEnv)
        if (e.compare(0, prefix.size(), prefix) == 0)
            return e.substr(prefix.size());
    return "";
}

TKvShellLaunch BuildLaunch(const std::string& AShell) {
    TKvShellLaunch l;
    l.Env = PtyEnvironment();
    SetEnv(l.Env, "TERM", "xterm-256color");
    SetEnv(l.Env, "COLORTERM", "truecolor");
    std::string name = BaseName(AShell);
    std::string temp = PrivateTempFolder();
    if (name == "bash") {
        // --rcfile replaces the usual start-up files, so the generated one reads them first.
        std::string rc = temp + "/kolvan-bashrc";
        WriteFileAtomically(rc, std::string("[ -f /etc/bash.bashrc ] && . /etc/bash.bashrc\n"
                                            "[ -f ~/.bashrc ] && . ~/.bashrc\n") +
                                    KBashReporter);
        l.Argv = {AShell, "--rcfile", rc, "-i"};
    } else if (name == "zsh") {
        // zsh reads its files from $ZDOTDIR: the wrapper reads the user's own, then adds the hook.
        std::string dir = temp + "/kolvan-zsh";
        std::filesystem::create_directories(dir);
        std::string user = GetEnv(l.Env, "ZDOTDIR");
        SetEnv(l.Env, "KV_ZDOTDIR", user.empty() ? GetEnv(l.Env, "HOME") : user);
        SetEnv(l.Env, "ZDOTDIR", dir);
        WriteFileAtomically(dir + "/.zshenv",
                            "__kv_wrap=$ZDOTDIR; ZDOTDIR=$KV_ZDOTDIR\n"
                            "[[ -f $ZDOTDIR/.zshenv ]] && source $ZDOTDIR/.zshenv\n"
                            "ZDOTDIR=$__kv_wrap; unset __kv_wrap\n");
        WriteFileAtomically(dir + "/.zshrc",
                            std::string("ZDOTDIR=$KV_ZDOTDIR; unset KV_ZDOTDIR\n"
                                        "[[ -f $ZDOTDIR/.zshrc ]] && source $ZDOTDIR/.zshrc\n") +
                                KZshReporter);
        l.Argv = {AShell, "-i"};
    } else if (name == "fish") {
        l.Argv = {AShell, "--interactive", "--init-command",
                  "function __kv_osc7 --on-event fish_prompt; printf '\\e]7;file://%s%s\\a' "
                  "(hostname) (string escape --style=url -- $PWD); end"};
    } else {
        l.Argv = {AShell, "-i"};
        l.Typed = FolderReportCommand() + "\r";
    }
    return l;
}

} // namespace

std::string FolderReportPath(const std::string& APath) {
    static const char KHex[] = "0123456789ABCDEF";
    std::string out;
    for (char c : APath) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') ||
            (byte >= '0' && byte <= '9') ||
            std::string_view("/._~-").find(c) != std::string_view::npos) {
            out += c;
        } else {
            out += '%';
            out += KHex[byte >> 4];
            out += KHex[byte & 15];
        }
    }
    return out;
}

std::string FolderReportCommand() {
    // bash and zsh syntax passes through eval, so that the other shells can parse the line.
    return R"KV( tput cuu1 >/dev/null 2>&1 || { TERM=xterm; export TERM; }; )KV" +
           std::string(KReportEncoder) +
           R"KV(; if [ -n "$BASH_VERSION" ]; then eval '__kv() { local LC_ALL=C __s __o __c; printf "\033]7;file://%s" "$HOSTNAME"; __kve "$PWD"; printf "\007\033]7701;%s\007" "$(id -un)"; }; PROMPT_COMMAND="__kv${PROMPT_COMMAND:+;$PROMPT_COMMAND}"'; elif [ -n "$ZSH_VERSION" ]; then eval '__kv() { emulate -L zsh; local LC_ALL=C __s __o __c; printf "\033]7;file://%s" "$HOST"; __kve "$PWD"; printf "\007\033]7701;%s\007" "$(id -un)"; }; precmd_functions+=(__kv)'; else stty erase '^?' 2>/dev/null; __e=$(printf '\033'); __b=$(printf '\007'); case "$0" in *ksh*) set -o | grep -E '^(emacs|gmacs|vi) +on' >/dev/null 2>&1 || set -o emacs; alias __A="$(printf '\020')" __B="$(printf '\016')" __C="$(printf '\006')" __D="$(printf '\002')" __H="$(printf '\001')" __F="$(printf '\005')"; __h=$(uname -n); __u=$(id -un); __kvp() { printf "%s]7;file://%s" "$__e" "$__h"; (LC_ALL=C; __kve "$PWD"); printf "%s%s]7701;%s%s" "$__b" "$__e" "$__u" "$__b"; }; __kvcd() { \cd "$@" && __kvp; }; alias cd=__kvcd; __kvw() { __c=$(stty -a 2>/dev/null | sed -n -e 's/.*columns[ =]*\([0-9][0-9]*\).*/\1/p' -e 's/.*[^0-9]\([0-9][0-9]*\) columns.*/\1/p'); [ -n "$__c" ] && COLUMNS=$__c; }; trap __kvw WINCH 2>/dev/null; __kvw; __kvp;; *) PS1="${__e}]7;file://$(uname -n)\$(LC_ALL=C; __kve \"\$PWD\")${__b}${__e}]7701;$(id -un)${__b}$PS1";; esac; fi)KV";
}

std::shared_ptr<TKvLocalShell> TKvLocalShell::Create(const std::string& ADir,
                                                     const std::string& AShell) {
    return std::shared_ptr<TKvLocalShell>(new TKvLocalShell(ADir, AShell));
}

TKvLocalShell::TKvLocalShell(const std::string& ADir, const std::string& AShell)
    : FDir(ADir), FShell(AShell.empty() ? UserShell() : AShell),
      FWake(std::make_unique<TKvPtyWakeup>()) {}

TKvLocalShell::~TKvLocalShell() {
    PtyClose(FMaster);
}

std::string TKvLocalShell::ShellName() const {
    return BaseName(FShell);
}

void TKvLocalShell::SetEvents(TKvShellDataEvent AOnData, TKvShellEndedEvent AOnEnded,
                              TKvShellStatusEvent AOnStatus) {
    FEvents.Set(std::move(AOnData), std::move(AOnEnded), std::move(AOnStatus));
}

void TKvLocalShell::Write(const std::string& AData) {
    if (AData.empty() || FClosed)
        return;
    {
        std::lock_guard lock(FLock);
        FOutgoing += AData;
    }
    FWake->Wake();
}

void TKvLocalShell::Resize(int ACols, int ARows) {
    {
        std::lock_guard lock(FLock);
        if (ACols == FCols && ARows == FRows)
            return;
        FCols = ACols;
        FRows = ARows;
        FResizePending = true;
    }
    FWake->Wake();
}

void TKvLocalShell::Close() {
    FClosed = true;
    FEvents.Clear();
    FWake->Wake();
}

void TKvLocalShell::Start(int ACols, int ARows) {
    if (FStarted.exchange(true) || FClosed)
        return;
    {
        std::lock_guard lock(FLock);
        FCols = ACols;
        FRows = ARows;
        FResizePending = false;
    }
    std::string dir = FDir;
    std::error_code ec;
    if (dir.empty() || !std::filesystem::is_directory(dir, ec))
        dir = HomeFolder();
    std::string name = ShellName();
    try {
        TKvShellLaunch launch = BuildLaunch(FShell);
        TKvPtyProcess p = PtyStart(launch.Argv, launch.Env, dir, ACols, ARows);
        FMaster = p.Master;
        FPid = p.Pid;
        if (!launch.Typed.empty()) {
            std::lock_guard lock(FLock);
            FOutgoing.insert(0, launch.Typed);
        }
    } catch (const EKvPtyUnavailable& e) {
        Log(std::string("local shell: ") + e.what());
        FEvents.Ended(std::string("The command line needs a pseudo terminal: ") + e.what());
        return;
    } catch (const std::exception& e) {
        Log(std::string("local shell: ") + e.what());
        FEvents.Ended(name + " could not be started: " + e.what());
        return;
    }
    Log("local shell: " + name + " started in " + dir);
    auto self = shared_from_this();
    std::thread([this, self] { Wait(self); }).detach();
    std::thread([this, self] { Pump(self); }).detach();
}

// Reaps the shell by its pid (no process-wide SIGCHLD handler) and tells the pump, which ends
// even when a background job still holds the terminal open.
void TKvLocalShell::Wait(std::shared_ptr<TKvLocalShell>) {
    PtyReap(FPid);
    {
        std::lock_guard lock(FExitLock);
        FExited = true;
    }
    FExitCv.notify_all();
    FWake->Wake();
}

void TKvLocalShell::HangUp() {
    PtyClose(FMaster);
    PtySignalGroup(FPid, false);
    std::unique_lock lock(FExitLock);
    if (!FExitCv.wait_for(lock, std::chrono::seconds(1), [this] { return FExited; }))
        PtySignalGroup(FPid, true);
}

void TKvLocalShell::Pump(std::shared_ptr<TKvLocalShell>) {
    std::string buffer(KReadSize, '\0');
    std::string pending; // taken from FOutgoing, not yet written
    bool exited = false;
    bool failed = false;
    try {
        while (!FClosed) {
            bool resize = false;
            int cols = 0, rows = 0;
            {
                std::lock_guard lock(FLock);
                pending += FOutgoing;
                FOutgoing.clear();
                resize = FResizePending;
                FResizePending = false;
                cols = FCols;
                rows = FRows;
            }
            if (resize)
                PtyResize(FMaster, cols, rows);
            {
                std::lock_guard lock(FExitLock);
                exited = FExited;
            }
            // After the shell has gone, output still waiting is delivered; then the end comes
            // after a short quiet, whoever else holds the terminal.
            TKvPtyReady ready = PtyWait(FMaster, !pending.empty(), FWake->Fd(), exited ? 100 : -1);
            if (ready.Woken)
                FWake->Drain();
            if (FClosed)
                break;
            if (ready.Writable && !pending.empty()) {
                long n = PtyWrite(FMaster, pending.data(), std::min(pending.size(), KWriteStep));
                if (n > 0)
                    pending.erase(0, static_cast<size_t>(n));
                else if (n == -2)
                    pending.clear(); // the terminal is gone; the read below sees the end
            }
            if (ready.Readable) {
                long n = PtyRead(FMaster, buffer.data(), buffer.size());
                if (n == 0)
                    break;
                if (n > 0)
                    FEvents.Data(buffer.substr(0, static_cast<size_t>(n)));
            } else if (exited && !ready.Woken && !ready.Writable) {
                break;
            }
        }
    } catch (const std::exception& e) {
        Log(std::string("local shell reader: ") + e.what());
        failed = true;
    }
    HangUp();
    if (!FClosed && !failed)
        FEvents.Ended("");
}

} // namespace kv
