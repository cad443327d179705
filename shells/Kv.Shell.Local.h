// The user's own shell on this computer in a pseudo terminal, behind the shell contract.
#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

#include "Kv.Shell.h"

namespace kv {

class TKvPtyWakeup;

// The command typed into a shell that reports its folder (OSC 7) and user (OSC 7701) before
// every prompt; begins with a blank so that shells keep it out of their history.
std::string FolderReportCommand();

// The file URL path of a folder as every reporter writes it: letters, digits and "/._~-" as they
// are, every other byte as %XX (upper-case hex), control bytes and non-ASCII ones included.
std::string FolderReportPath(const std::string& APath);

class TKvLocalShell final : public IKvSshShell, public std::enable_shared_from_this<TKvLocalShell> {
public:
    // AShell empty: the user's shell. ADir empty or gone: the home folder.
    static std::shared_ptr<TKvLocalShell> Create(const std::string& ADir,
                                                 const std::string& AShell = "");
    ~TKvLocalShell() override;

    void Start(int ACols, int ARows) override;
    void Write(const std::string& AData) override;
    void Resize(int ACols, int ARows) override;
    void SetEvents(TKvShellDataEvent AOnData, TKvShellEndedEvent AOnEnded,
                   TKvShellStatusEvent AOnStatus) override;
    void Close() override;
    std::string LearnedSecret() override { return ""; }

    // The shell's own name ("bash") for the texts that name it.
    std::string ShellName() const;
    // The shell's process id once started; 0 before.
    int ProcessId() const { return FPid.load(); }

private:
    TKvLocalShell(const std::string& ADir, const std::string& AShell);
    void Pump(std::shared_ptr<TKvLocalShell> ASelf);
    void Wait(std::shared_ptr<TKvLocalShell> ASelf);
    void HangUp();

    std::string FDir;
    std::string FShell;
    std::unique_ptr<TKvPtyWakeup> FWake;
    TKvShellEvents FEvents;
    std::mutex FLock; // FOutgoing, FCols, FRows, FResizePending
    std::string FOutgoing;
    int FCols = 80;
    int FRows = 24;
    bool FResizePending = false;
    std::atomic<bool> FStarted{false};
    std::atomic<bool> FClosed{false};
    std::atomic<int> FPid{0};
    int FMaster = -1; // the pump's alone
    std::mutex FExitLock;
    std::condition_variable FExitCv;
    bool FExited = false;
};

} // namespace kv
