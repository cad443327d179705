// The SSH shell against a real OpenSSH sshd (the test user's login shell is bash).
#include <gtest/gtest.h>

#include <thread>

#include "Kv.Platform.Pty.h"
#include "Kv.Shell.Local.h"
#include "Kv.Shell.Quote.h"
#include "Kv.Shell.Ssh.h"
#include "KvShellScreen.h"
#include "KvSshPeers.h"
#include "KvTestSupport.h"

namespace kv {
namespace {

using test::TShellScreen;
using namespace std::chrono_literals;

class SshShell : public ::testing::Test {
protected:
    static void TearDownTestSuite() { GServer.reset(); }
    static TKvConnector Conn() {
        TKvConnector conn = test::PasswordConn(GServer->Port());
        conn.Secret = test::SshSetup().PasswordKvpw;
        return conn;
    }
    void SetUp() override {
        KV_REQUIRE_SSH();
        if (!GServer)
            GServer = std::make_unique<test::TSshd>();
    }
    void TearDown() override {
        if (FShell)
            FShell->Close();
    }
    void StartShell(int ACols = 80, int ARows = 24) {
        FShell = TKvSshShell::Create(Conn(), std::make_shared<test::TScriptedUi>());
        FScreen.Attach(*FShell);
        FShell->Start(ACols, ARows);
    }
    void Type(const std::string& ALine) { FShell->Write(ALine + "\r"); }

    static inline std::unique_ptr<test::TSshd> GServer;
    std::shared_ptr<TKvSshShell> FShell;
    TShellScreen FScreen;
};

TEST_F(SshShell, InputOutputResizeAndExit) {
    FShell = TKvSshShell::Create(Conn(), std::make_shared<test::TScriptedUi>());
    FScreen.Attach(*FShell);
    FShell->Write("echo ear''ly-$((6*7))\r"); // before the connection is up
    FShell->Start(80, 24);
    ASSERT_TRUE(FScreen.WaitFor("early-42", 30s))
        << FScreen.Output() << "|" << FScreen.Reason() << "|" << FScreen.EndedCount();
    Type("echo $TERM; stty size");
    ASSERT_TRUE(FScreen.WaitFor("xterm-256color\r\n24 80")) << FScreen.Output();
    FShell->Resize(90, 30);
    FShell->Resize(133, 41); // only the last size goes out
    Type("stty size");
    ASSERT_TRUE(FScreen.WaitFor("41 133")) << FScreen.Output();
    Type("exit");
    ASSERT_TRUE(FScreen.WaitEnded());
    EXPECT_EQ(FScreen.Reason(), "");
    EXPECT_EQ(FScreen.EndedCount(), 1);
}

TEST_F(SshShell, AFourMegabytePasteIntoCatCompletes) {
    StartShell();
    Type("cat; echo DO''NE");
    ASSERT_TRUE(FScreen.WaitFor("cat; echo DO''NE\r\n", 30s));
    std::string paste;
    for (int i = 0; paste.size() < 4 * 1024 * 1024; ++i)
        paste += "pasted line " + std::to_string(i) + " with words enough to make it longer\r";
    FShell->Write(paste + "\x04");
    // The terminal echoes every line and cat prints it again: both directions stay busy.
    EXPECT_TRUE(FScreen.WaitFor("DONE", 180s)) << FScreen.Output().size();
    EXPECT_GT(FScreen.Output().size(), 2 * paste.size());
}

TEST_F(SshShell, AServerKilledMidSessionGivesTheLostConnectionText) {
    StartShell();
    Type("echo UP''NOW");
    ASSERT_TRUE(FScreen.WaitFor("UPNOW", 30s));
    GServer->KillConnections();
    ASSERT_TRUE(FScreen.WaitEnded(30s));
    EXPECT_EQ(FScreen.Reason().rfind("The connection was lost: ", 0), 0u) << FScreen.Reason();
}

TEST_F(SshShell, CloseWhileConnectingEndsQuietly) {
    StartShell();
    FShell->Close();
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(FScreen.EndedCount(), 0);
}

// Each login shell: output, input, and the typed folder report after cd into folders whose
// names need encoding in a file URL ("%" and blanks) or quoting in the shell.
class SshLoginShell : public SshShell, public ::testing::WithParamInterface<const char*> {};

TEST_P(SshLoginShell, RunsCommandsAndReportsTheFolderAfterTheReportCommand) {
    const std::string shell = GetParam();
    const std::string user = test::LoginShellUser(shell);
    if (user.empty())
        GTEST_SKIP() << shell << " is not installed here";
    test::TTempDir base("/tmp");
    test::RunCommand("chmod 0755 '" + base.Path() + "'");
    const std::vector<std::string> names = {"a b%41", "100% done", "it's \"quoted\"",
                                            "\xc3\xbcml\xc3\xa4ut \xe6\x97\xa5\xe6\x9c\xac"};
    for (const auto& name : names)
        test::RunCommand("mkdir " + ShellQuote(base / name));
    TKvConnector conn = Conn();
    conn.User = user;
    FShell = TKvSshShell::Create(conn, std::make_shared<test::TScriptedUi>());
    FScreen.Attach(*FShell);
    FShell->Start(80, 24);
    Type("echo ans''wer-$((6*7))");
    ASSERT_TRUE(FScreen.WaitFor("answer-42", 30s)) << FScreen.Output() << FScreen.Reason();
    FShell->Write(FolderReportCommand() + "\r");
    for (const auto& name : names) {
        const std::string dir = base / name;
        std::string command, error;
        ASSERT_TRUE(ShellCdCommand(dir, command, error));
        Type(" " + command);
        const std::string report = "\x1b]7;file://" + HostName() + FolderReportPath(dir) + "\x07";
        ASSERT_TRUE(FScreen.WaitFor(report)) << name << "\n" << FScreen.Output();
        FScreen.SkipPast(report);
    }
    Type("exit");
    EXPECT_TRUE(FScreen.WaitEnded());
}

INSTANTIATE_TEST_SUITE_P(Shells, SshLoginShell,
                         ::testing::Values("bash", "dash", "zsh", "mksh", "ksh93"));

TEST(SshShellConnect, AWrongPasswordWithNoAnswerLeftEndsWithoutAnError) {
    KV_REQUIRE_SSH();
    test::TSshd server;
    auto conn = test::PasswordConn(server.Port());
    conn.Secret = "wrong";
    auto shell = TKvSshShell::Create(conn, std::make_shared<test::TScriptedUi>());
    TShellScreen screen;
    screen.Attach(*shell);
    shell->Start(80, 24);
    ASSERT_TRUE(screen.WaitEnded(60s));
    // The prompt for another password is cancelled (nothing queued): ended like a normal end.
    EXPECT_EQ(screen.Reason(), "");
}

} // namespace
} // namespace kv
