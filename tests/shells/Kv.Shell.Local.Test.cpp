// The local shell runs real shells (bash, zsh, dash, fish) in a pseudo terminal.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <mutex>
#include <thread>

#include "Kv.Platform.Pty.h"
#include "Kv.Shell.Local.h"
#include "KvRealShell.h"
#include "KvTestSupport.h"

using namespace kv;
using kv::test::TShellScreen;
using namespace std::chrono_literals;

namespace {

std::string ShellQuote(const std::string& AText) {
    std::string out = "'";
    for (char c : AText)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

bool ProcessGone(int APid, std::chrono::milliseconds ALimit = 10s) {
    auto end = std::chrono::steady_clock::now() + ALimit;
    while (std::chrono::steady_clock::now() < end) {
        if (::kill(APid, 0) != 0)
            return true;
        std::this_thread::sleep_for(20ms);
    }
    return false;
}

class LocalShell : public test::TRealShellTest {
protected:
    void StartIn(const std::string& ADir, int ACols = 80, int ARows = 24) {
        FShell = TKvLocalShell::Create(ADir, GetParam());
        FScreen.Attach(*FShell);
        FShell->Start(ACols, ARows);
    }
    // Typed commands echo, so each test looks for what only the command's output holds.
    void Type(const std::string& ALine) { FShell->Write(ALine + "\r"); }
};

TEST_P(LocalShell, TypedInputReachesTheProgramAndItsOutputTheScreen) {
    test::TTempDir dir;
    FShell = TKvLocalShell::Create(dir.Path(), GetParam());
    FScreen.Attach(*FShell);
    const bool fish = Name() == "fish";
    // before Start: queued and sent in order
    FShell->Write(fish ? "echo ear''ly-(math 6 '*' 7)\r" : "echo ear''ly-$((6*7))\r");
    FShell->Start(80, 24);
    Type(fish ? "echo la''te-(pwd)" : "echo la''te-$(pwd)");
    ASSERT_TRUE(FScreen.WaitFor("early-42")) << FScreen.Output();
    ASSERT_TRUE(FScreen.WaitFor("late-" + dir.Path())) << FScreen.Output();
    EXPECT_LT(FScreen.Output().find("early-42"), FScreen.Output().find("late-"));
    EXPECT_EQ(FShell->ShellName(), Name());
}

TEST_P(LocalShell, ReportsTheFolderAfterCdWithAwkwardNames) {
    test::TTempDir dir;
    std::string shell = Name();
    // dash has no start-up hook: it reports through its prompt string, encoded all the same.
    StartIn(dir.Path());
    const char* names[] = {"plain", "a b%41", "it's \"quoted\"",
                           "\xc3\xbcnic\xc3\xb6"
                           "de ordner"};
    std::string host = HostName();
    for (const char* name : names) {
        SCOPED_TRACE(name);
        std::string path = dir / name;
        std::filesystem::create_directory(path);
        Type(" cd " + ShellQuote(path));
        std::string report =
            "\x1b]7;file://" + host + FolderReportPath(path) + "\x07";
        ASSERT_TRUE(FScreen.WaitFor(report)) << FScreen.Output();
        FScreen.SkipPast(report);
    }
    if (shell == "dash" || shell == "fish")
        return; // dash had the typed command already; fish cannot run a POSIX one
    // The command typed into remote shells encodes the same way (and adds the user report).
    FShell->Write(FolderReportCommand() + "\r");
    Type(" cd " + ShellQuote(dir / "a b%41"));
    std::string report =
        "\x1b]7;file://" + host + FolderReportPath(dir / "a b%41") + "\x07\x1b]7701;";
    EXPECT_TRUE(FScreen.WaitFor(report)) << FScreen.Output();
}

TEST_P(LocalShell, ResizeReachesTheProgram) {
    StartIn("", 80, 24);
    Type("stty size; echo SI''ZE1");
    ASSERT_TRUE(FScreen.WaitFor("24 80"));
    ASSERT_TRUE(FScreen.WaitFor("SIZE1"));
    FShell->Resize(133, 41);
    Type("stty size");
    EXPECT_TRUE(FScreen.WaitFor("41 133")) << FScreen.Output();
}

TEST_P(LocalShell, ExitEndsTheShellEvenWhenABackgroundJobHoldsTheTerminal) {
    StartIn("");
    // The job ignores the hang-up and keeps the terminal open after the shell has gone.
    if (Name() == "fish")
        Type("sh -c \"trap '' HUP; exec sleep 300\" & echo B''G=$last_pid");
    else
        Type("(trap '' HUP; exec sleep 300) & echo B''G=$!");
    int job = std::atoi(FScreen.WaitForLine("BG=").c_str());
    ASSERT_GT(job, 0);
    Type("exit");
    Type("exit"); // zsh and fish warn of running jobs at the first
    EXPECT_TRUE(FScreen.WaitEnded()) << FScreen.Output();
    EXPECT_EQ(FScreen.Reason(), "");
    ::kill(job, SIGKILL);
}

INSTANTIATE_TEST_SUITE_P(Shells, LocalShell,
                         ::testing::Values("/bin/bash", "/bin/zsh", "/bin/dash", "/usr/bin/fish"),
                         [](const auto& AInfo) {
                             return std::filesystem::path(AInfo.param).filename().string();
                         });

class LocalBash : public LocalShell {};

TEST_P(LocalBash, ChildStartsWithDefaultSignalsAndAnEmptyMask) {
    // This process ignores SIGPIPE; a blocked signal must not reach the shell either.
    sigset_t block, old;
    sigemptyset(&block);
    sigaddset(&block, SIGUSR2);
    pthread_sigmask(SIG_BLOCK, &block, &old);
    StartIn("");
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    Type("grep -E '^Sig(Blk|Ign)' /proc/self/status; yes | head -1 >/dev/null; "
         "echo PIPE=${PIPESTATUS[0]}");
    ASSERT_TRUE(FScreen.WaitFor("PIPE=")) << FScreen.Output();
    ASSERT_TRUE(FScreen.WaitFor("PIPE=141")) << FScreen.Output(); // yes died of SIGPIPE
    std::string out = FScreen.Output();
    EXPECT_NE(out.find("SigBlk:\t0000000000000000"), std::string::npos) << out;
    EXPECT_NE(out.find("SigIgn:\t0000000000000000"), std::string::npos) << out;
}

TEST_P(LocalBash, ALargePasteArrivesWholeWhileOutputKeepsFlowing) {
    test::TTempDir dir;
    StartIn(dir.Path());
    std::string paste;
    for (int i = 0; paste.size() < 4 * 1024 * 1024; ++i)
        paste += "line " + std::to_string(i) + " of the paste, with some words to fill it\n";
    // Raw and without echo the terminal passes the bytes unchanged; head stops at the end.
    Type("stty raw -echo; echo RE''ADY; head -c " + std::to_string(paste.size()) +
         " > pasted; stty sane; wc -c < pasted; echo DO''NE");
    ASSERT_TRUE(FScreen.WaitFor("READY"));
    auto before = std::chrono::steady_clock::now();
    FShell->Write(paste);
    EXPECT_LT(std::chrono::steady_clock::now() - before, 1s) << "Write must only queue";
    ASSERT_TRUE(FScreen.WaitFor("DONE", 60s)) << FScreen.Output().substr(0, 2000);
    EXPECT_EQ(test::ReadFile(dir / "pasted"), paste);
}

TEST_P(LocalBash, CloseEndsTheShellAndItsJobsWithoutAnEndedEvent) {
    StartIn("");
    Type("sleep 300 & echo PI''DS=$$:$!");
    std::string line = FScreen.WaitForLine("PIDS=");
    int shell = std::atoi(line.c_str());
    int job = std::atoi(line.c_str() + line.find(':') + 1);
    ASSERT_EQ(shell, FShell->ProcessId());
    ASSERT_GT(job, 0);
    // A hang-up that reaches the job between fork and exec meets bash's own handlers there.
    for (int i = 0;
         i < 200 && test::ReadFile("/proc/" + std::to_string(job) + "/comm") != "sleep\n"; ++i)
        std::this_thread::sleep_for(10ms);
    FShell->Close();
    EXPECT_TRUE(ProcessGone(shell));
    EXPECT_TRUE(ProcessGone(job));
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(FScreen.EndedCount(), 0);
    FShell->Write("echo after close\r"); // dropped quietly
}

INSTANTIATE_TEST_SUITE_P(Bash, LocalBash, ::testing::Values("/bin/bash"));

TEST(LocalShellStart, ShellsThatEndAtOnceOrCannotStartSayWhy) {
    struct TCase {
        const char* Shell;
        const char* Name;
        const char* Reason;
    } cases[] = {
        {"/bin/false", "false", ""},
        {"/nonexistent/mysh", "mysh", "mysh could not be started: No such file or directory"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Shell);
        auto shell = TKvLocalShell::Create("", c.Shell);
        TShellScreen screen;
        screen.Attach(*shell);
        shell->Start(80, 24);
        ASSERT_TRUE(screen.WaitEnded());
        EXPECT_EQ(screen.Reason(), c.Reason);
        EXPECT_EQ(shell->ShellName(), c.Name);
    }
}

TEST(LocalShellStart, TheUsersShellComesFromShellWhenItIsUsable) {
    const char* saved = std::getenv("SHELL");
    std::string keep = saved ? saved : "";
    ::setenv("SHELL", "/bin/false", 1);
    EXPECT_EQ(TKvLocalShell::Create("")->ShellName(), "false");
    ::setenv("SHELL", "relative/sh", 1); // not absolute: the passwd entry or /bin/sh instead
    EXPECT_NE(TKvLocalShell::Create("")->ShellName(), "sh/relative");
    EXPECT_EQ(UserShell().front(), '/');
    if (saved)
        ::setenv("SHELL", keep.c_str(), 1);
    else
        ::unsetenv("SHELL");
}

TEST(FolderReport, EveryByteButLettersDigitsAndFewMarksIsEncoded) {
    EXPECT_EQ(FolderReportPath("/t/a b%41"), "/t/a%20b%2541");
    EXPECT_EQ(FolderReportPath("/t/%20"), "/t/%2520");
    EXPECT_EQ(FolderReportPath("/t/\a\x1b\n\x7f\xe9\xc3\xbc'\"Az09~-._"),
              "/t/%07%1B%0A%7F%E9%C3%BC%27%22Az09~-._");
}

} // namespace
