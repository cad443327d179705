// The Telnet shell against busybox telnetd and inetutils telnetd, logging in through /bin/login.
#include <gtest/gtest.h>

#include <cstdlib>

#include "Kv.Shell.Telnet.h"
#include "KvShellScreen.h"
#include "KvTestSupport.h"

namespace kv {
namespace {

using namespace std::chrono_literals;
using test::TShellScreen;

class TelnetServer : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        const std::string script = std::string(KV_SERVERS_DIR) + "/telnetd.sh";
        int code = 0;
        std::string out =
            test::RunCommand(script + " start " + FDir.Path() + " " + GetParam() + " 2>&1", &code);
        if (code != 0) {
            if (std::getenv("CI"))
                FAIL() << out;
            GTEST_SKIP() << out;
        }
        FPort = std::atoi(out.c_str());
    }
    void TearDown() override {
        if (FShell)
            FShell->Close();
        test::RunCommand(std::string(KV_SERVERS_DIR) + "/telnetd.sh stop " + FDir.Path());
    }

    test::TTempDir FDir;
    int FPort = 0;
    std::shared_ptr<TKvTelnetShell> FShell;
    TShellScreen FScreen;
};

TEST_P(TelnetServer, LogsInByItselfAndRunsCommands) {
    TKvConnector conn;
    conn.Host = "127.0.0.1";
    conn.Port = FPort;
    conn.User = "kvtelnet";
    conn.Secret = "Tn-5.secret";
    FShell = TKvTelnetShell::Create(conn);
    FScreen.Attach(*FShell);
    FShell->Start(100, 30);
    // The login answers come from the shell itself; the prompt shows once bash runs.
    ASSERT_TRUE(FScreen.WaitFor("kvtelnet@", 30s)) << FScreen.Output();
    FShell->Write("echo ans''wer-$((6*7)) $TERM; stty size\r");
    // busybox never asks for the terminal type (its shells get "xterm"); inetutils does.
    const std::string term = std::string(GetParam()) == "busybox" ? "xterm" : "xterm-256color";
    ASSERT_TRUE(FScreen.WaitFor("answer-42 " + term + "\r\n", 30s)) << FScreen.Output();
    ASSERT_TRUE(FScreen.WaitFor("30 100")) << FScreen.Output();
    FShell->Resize(120, 40);
    FShell->Write("stty size\r");
    ASSERT_TRUE(FScreen.WaitFor("40 120")) << FScreen.Output();
    FShell->Write("exit\r");
    ASSERT_TRUE(FScreen.WaitEnded(30s));
    EXPECT_EQ(FScreen.Reason(), "");
}

INSTANTIATE_TEST_SUITE_P(Servers, TelnetServer, ::testing::Values("busybox", "inetutils"));

} // namespace
} // namespace kv
