// The terminal half's hybrid protocol against a scripted shell and a clock the test moves: the
// report command waits for quiet output, its echo is hidden, names become links once the screen
// settles, and failures end in the status texts users see.
#include <gtest/gtest.h>

#include <mutex>

#include "Kv.Shell.Hybrid.h"
#include "Kv.Shell.Local.h"
#include "KvMemoryFs.h"
#include "KvScriptedShell.h"
#include "KvTestSupport.h"

namespace kv {
namespace {

const std::string KReport = "\x1b]7;file://srv/home/ann\x07\x1b]7701;ann\x07";

class ShellHybrid : public ::testing::Test {
protected:
    // The clock moves on by a millisecond whenever it is read, as a real one does between
    // two reads.
    ShellHybrid() : FModel([this] { return FNow.fetch_add(1); }) {
        FMem = std::make_shared<test::TKvMemoryFs>();
        FMem->AddFile("/home/ann/notes 2024.txt", "notes");
        FMem->AddFile("/home/ann/a.c", "int a;");
        FMem->AddDir("/home/ann/src");
        FMem->AddDir("/home/ann/my dir");
        FModel.SetFilesFactory([this](const TKvConnector&, IKvConnectUiPtr) {
            ++FFilesMade;
            return std::make_unique<TKvShellFiles>(FMem);
        });
        TKvShellPanelModel::THooks hooks;
        hooks.SetLinks = [this](const std::vector<TKvShellLink>&) { ++FLinkCalls; };
        FModel.SetHooks(std::move(hooks));
    }
    void Open(TKvConnector AConn = Hybrid()) {
        FShell = std::make_shared<test::TScriptedShell>();
        FModel.Open(AConn, nullptr, FShell, 80, 24);
    }
    static TKvConnector Hybrid() {
        TKvConnector conn;
        conn.Kind = ckSsh;
        conn.Name = "srv";
        conn.Host = "srv";
        conn.User = "ann";
        conn.Hybrid = true;
        return conn;
    }
    // Moves the clock in timer steps, running the timer and what was delivered meanwhile.
    void Advance(int AMs) {
        for (int done = 0; done < AMs; done += 250) {
            FNow += 250;
            FModel.Tick();
            FQueue.Pump();
        }
    }
    // The login settles, the report command goes out and the shell answers with a prompt.
    void Login() {
        FShell->Send("Welcome\r\n$ ");
        Advance(750);
        ASSERT_NE(FShell->TakeWritten().find("tput cuu1"), std::string::npos);
        FShell->Send(" tput cuu1 ... echo of the command\r\n" + KReport + "$ ");
        ASSERT_FALSE(FModel.Swallowing());
    }
    // Waits for the scan that the timer starts on a settled screen.
    void SettleAndScan() {
        const int calls = FLinkCalls;
        Advance(500);
        ASSERT_TRUE(FQueue.PumpUntil([&] { return FLinkCalls > calls; }));
    }
    std::vector<std::string> LinkNames() {
        std::vector<std::string> names;
        for (const auto& l : FModel.Links())
            names.push_back(l.Name + (l.IsDir ? "/" : "") + "=" + l.Path);
        std::sort(names.begin(), names.end());
        return names;
    }
    std::string ScreenText() {
        std::string text;
        auto& s = FModel.Screen();
        s.Lock();
        for (int r = 0; r < s.Rows(); ++r)
            text += s.RowText(r) + "\n";
        s.Unlock();
        return text;
    }

    test::TDeliverQueue FQueue;
    std::atomic<uint64_t> FNow{100000};
    std::shared_ptr<test::TKvMemoryFs> FMem;
    int FFilesMade = 0;
    int FLinkCalls = 0;
    TKvShellPanelModel FModel;
    std::shared_ptr<test::TScriptedShell> FShell;
};

TEST_F(ShellHybrid, TheReportCommandWaitsForQuietOutputAndItsEchoNeverReachesTheScreen) {
    Open();
    for (int i = 0; i < 8; ++i) { // a banner that keeps printing
        FShell->Send("banner line " + std::to_string(i) + "\r\n");
        Advance(500);
        EXPECT_EQ(FShell->TakeWritten(), "") << i;
    }
    Advance(750);
    EXPECT_EQ(FShell->TakeWritten(), FolderReportCommand() + "\r");
    EXPECT_TRUE(FModel.Swallowing());
    // The echo, and the report's marker split across two chunks.
    FShell->Send("$ " + FolderReportCommand().substr(0, 40));
    FShell->Send(FolderReportCommand().substr(40) + "\r\n\x1b]7");
    FShell->Send(";file://srv/home/ann\x07\x1b]7701;ann\x07" "ann@srv:~$ ");
    EXPECT_FALSE(FModel.Swallowing());
    const std::string screen = ScreenText();
    EXPECT_EQ(screen.find("tput"), std::string::npos) << screen;
    EXPECT_NE(screen.find("banner line 7\n"), std::string::npos) << screen;
    EXPECT_NE(screen.find("\nann@srv:~$\n"), std::string::npos) << screen;
    EXPECT_EQ(FModel.Title(), "ann@srv:/home/ann");
    EXPECT_EQ(FModel.CurrentDir(), "/home/ann");
}

TEST_F(ShellHybrid, AShellThatNeverReportsGetsACarriageReturnAndAStatusAfterThreeSeconds) {
    Open();
    FShell->Send("menu> ");
    Advance(750);
    ASSERT_TRUE(FModel.Swallowing());
    FShell->TakeWritten();
    FShell->Send("unknown command\r\nmenu> ");
    Advance(2500);
    EXPECT_EQ(FShell->TakeWritten(), "");
    Advance(500);
    EXPECT_FALSE(FModel.Swallowing());
    EXPECT_EQ(FShell->TakeWritten(), "\r");
    EXPECT_EQ(FModel.LastStatus(), "The shell did not report its folder, so files are not underlined.");
    FShell->Send("typed and shown");
    EXPECT_NE(ScreenText().find("typed and shown"), std::string::npos);
    FModel.Input("x\r");
    EXPECT_EQ(FShell->TakeWritten(), "x\r");
    Advance(10000);
    EXPECT_EQ(FModel.LastStatus(), "");
}

TEST_F(ShellHybrid, AConfiguredShellIsSwitchedToFirstAndAStartFolderGoesBeforeTheReport) {
    TKvConnector conn = Hybrid();
    conn.Shell = "fish";
    conn.StartDir = "~/my dir";
    Open(conn);
    FShell->Send("$ ");
    Advance(750);
    EXPECT_EQ(FShell->TakeWritten(), ShellSwitchCommand("fish") + "\r");
    EXPECT_NE(ShellSwitchCommand("fish").find("ls -d /usr/bin/fish /bin/fish /usr/local/bin/fish "
                                              "/opt/freeware/bin/fish /usr/pkg/bin/fish "
                                              "/opt/csw/bin/fish /usr/sfw/bin/fish "
                                              "/usr/xpg4/bin/fish 2>/dev/null | head -1"),
              std::string::npos);
    Advance(750);
    EXPECT_EQ(FShell->TakeWritten(),
              " cd ~/'my dir' 2>/dev/null; " + FolderReportCommand().substr(1) + "\r");

    conn.Shell = "bash;rm -rf ~";
    Open(conn);
    FShell->Send("$ ");
    Advance(750);
    EXPECT_EQ(FModel.LastStatus(),
              "The shell \"bash;rm -rf ~\" is not a usable name, so the server's own is used.");
    EXPECT_EQ(FShell->TakeWritten(), "");
    Advance(750);
    EXPECT_NE(FShell->TakeWritten().find("tput cuu1"), std::string::npos);
}

TEST_F(ShellHybrid, NamesOnScreenBecomeLinksOnceTheCommandHasEndedAndTheScreenSettled) {
    Open();
    Login();
    FModel.Input("ls -l\r");
    FShell->Send("ls -l\r\n-rw-r--r-- 1 ann ann 5 Jan  5 12:30 notes 2024.txt\r\n"
                 "drwxr-xr-x 2 ann ann 4096 Jan  5 12:30 src\r\n(a.c/) nothing.txt\r\n");
    Advance(2000); // still running: the prompt has not come back
    EXPECT_TRUE(FModel.Links().empty());
    FShell->Send(KReport + "$ ");
    SettleAndScan();
    EXPECT_EQ(LinkNames(), (std::vector<std::string>{"notes 2024.txt=/home/ann/notes 2024.txt",
                                                     "src/=/home/ann/src"}));
    // Typing cd into a folder that can be typed; one that cannot is refused with a reason.
    FShell->TakeWritten();
    EXPECT_TRUE(FModel.TypeCd("/home/ann/my dir"));
    EXPECT_EQ(FShell->TakeWritten(), "cd -- '/home/ann/my dir'\r");
    EXPECT_FALSE(FModel.TypeCd("/home/ann/x\x03y"));
    EXPECT_EQ(FShell->TakeWritten(), "");
    EXPECT_NE(FModel.LastStatus().find("control characters"), std::string::npos);
}

TEST_F(ShellHybrid, NamesPrintedAfterACdInTheSameCommandBelongToTheNewFolder) {
    FMem->AddFile("/home/ann/src/main.c", "int main;");
    Open();
    Login();
    FModel.Input("cd src; ls\r");
    FShell->Send("cd src; ls\r\nmain.c\r\n\x1b]7;file://srv/home/ann/src\x07$ ");
    SettleAndScan();
    EXPECT_EQ(LinkNames(), (std::vector<std::string>{"main.c=/home/ann/src/main.c"}));
    // Back again: the listing was made before that command, in src, and stays with it.
    FModel.Input("cd ..\r");
    FShell->Send("cd ..\r\n" + KReport + "$ ");
    SettleAndScan();
    EXPECT_TRUE(LinkNames().empty()) << ScreenText();
}

TEST_F(ShellHybrid, ACommandWithoutANewPromptCountsAsDoneAfterThreeQuietSeconds) {
    Open();
    Login();
    FModel.Input("cat notes\r");
    FShell->Send("cat notes\r\nsrc a.c\r\n");
    Advance(2500);
    EXPECT_TRUE(FModel.Links().empty());
    const int calls = FLinkCalls;
    Advance(1000);
    ASSERT_TRUE(FQueue.PumpUntil([&] { return FLinkCalls > calls; }));
    EXPECT_EQ(LinkNames(),
              (std::vector<std::string>{"a.c=/home/ann/a.c", "src/=/home/ann/src"}));
}

TEST_F(ShellHybrid, ReportsFromAnotherHostShowNoLinksUntilTheShellComesBack) {
    Open();
    Login();
    FShell->Send("a.c\r\n" + KReport + "$ ");
    SettleAndScan();
    ASSERT_EQ(LinkNames().size(), 1u);
    FShell->Send("ssh other\r\n\x1b]7;file://other/home/ann\x07$ a.c\r\n");
    Advance(500);
    FQueue.Pump();
    EXPECT_TRUE(FModel.Links().empty());
    EXPECT_EQ(FModel.CurrentDir(), "");
    FShell->Send("exit\r\n" + KReport + "$ a.c\r\n");
    SettleAndScan();
    EXPECT_EQ(LinkNames(), (std::vector<std::string>{"a.c=/home/ann/a.c"}));
}

TEST_F(ShellHybrid, AFullScreenProgramHasNoLinksAndTheyComeBackAfterIt) {
    Open();
    Login();
    FShell->Send("a.c\r\n" + KReport + "$ ");
    SettleAndScan();
    ASSERT_EQ(LinkNames().size(), 1u);
    FModel.Input("vi a.c\r");
    FShell->Send("\x1b[?1049h\x1b[Ha.c src notes 2024.txt");
    Advance(3500); // no prompt while the program runs: quiet output ends the command
    FQueue.Pump();
    EXPECT_TRUE(FModel.Links().empty());
    FShell->Send("\x1b[?1049l" + KReport + "$ ");
    SettleAndScan();
    EXPECT_EQ(LinkNames(), (std::vector<std::string>{"a.c=/home/ann/a.c"}));
}

TEST_F(ShellHybrid, AFileConnectionThatKeepsFailingIsGivenUpAfterFiveRetries) {
    // A real connection attempt to a port where nothing listens.
    int listening = 0;
    const int port = 1; // privileged and unused in the test machine's loopback
    FModel.SetFilesFactory([&](const TKvConnector& AConn, IKvConnectUiPtr AUi) {
        ++listening;
        TKvConnector conn = AConn;
        conn.Host = "127.0.0.1";
        conn.Port = port;
        return std::make_unique<TKvShellFiles>(conn, AUi);
    });
    Open();
    Login();
    for (int attempt = 1; attempt <= 6; ++attempt) {
        ASSERT_EQ(listening, attempt);
        ASSERT_TRUE(FQueue.PumpUntil([&] { return FModel.FilesState() == 3; }, 20000)) << attempt;
        Advance(4000);
    }
    EXPECT_EQ(listening, 6);
    EXPECT_EQ(FModel.LastStatus().rfind("Files cannot be shown as links: ", 0), 0u)
        << FModel.LastStatus();
    Advance(20000);
    EXPECT_EQ(listening, 6);
    EXPECT_TRUE(FModel.IsOpen()); // the terminal goes on
}

TEST_F(ShellHybrid, EndedTextsNameTheShellOrTheReason) {
    Open();
    FShell->End("The connection was lost: reset by peer");
    FQueue.Pump();
    EXPECT_EQ(FModel.LastStatus(), "srv: The connection was lost: reset by peer");
    EXPECT_FALSE(FModel.IsOpen());

    Open();
    FShell->End("");
    FQueue.Pump();
    EXPECT_EQ(FModel.LastStatus(),
              "The session has ended. Press the Disconnect link to close this half.");

    FShell = std::make_shared<test::TScriptedShell>();
    FModel.OpenLocal(FShell, "bash", 80, 24);
    EXPECT_FALSE(FModel.HasFiles());
    FShell->End("");
    FQueue.Pump();
    EXPECT_EQ(FModel.LastStatus(), "bash has ended.");
}

TEST_F(ShellHybrid, ATelnetOrPlainSshShellNeverTypesTheReportCommand) {
    TKvConnector conn = Hybrid();
    conn.Hybrid = false;
    Open(conn);
    FShell->Send("$ ");
    Advance(5000);
    EXPECT_EQ(FShell->TakeWritten(), "");
    EXPECT_EQ(FFilesMade, 0);
    conn.Kind = ckTelnet;
    conn.Hybrid = true;
    Open(conn);
    FShell->Send("login: ");
    Advance(5000);
    EXPECT_EQ(FShell->TakeWritten(), "");
    EXPECT_EQ(FFilesMade, 0);
    EXPECT_FALSE(FModel.HasFiles());
}

} // namespace
} // namespace kv
