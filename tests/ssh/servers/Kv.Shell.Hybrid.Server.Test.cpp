// The hybrid terminal half end to end: a real SSH shell (OpenSSH sshd with bash, dash and zsh
// users, and the asyncssh fake whose SFTP root is chrooted) beside a real SFTP connection. The
// half must learn the folder after cd, and names that ls prints must become links to the right
// SFTP paths.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "Kv.Shell.Hybrid.h"
#include "Kv.Shell.Quote.h"
#include "Kv.Shell.Ssh.h"
#include "KvSshPeers.h"
#include "KvTestSupport.h"

namespace kv {
namespace {

using namespace std::chrono_literals;

class HybridShell : public ::testing::Test {
protected:
    void SetUp() override { KV_REQUIRE_SSH(); }
    void TearDown() override { FModel.reset(); }

    void Open(const TKvConnector& AConn) {
        FModel = std::make_unique<TKvShellPanelModel>();
        FModel->SetHooks({nullptr, [this](const std::vector<TKvShellLink>&) { ++FLinkCalls; },
                          nullptr, nullptr, nullptr, nullptr});
        TKvConnector conn = AConn;
        conn.Kind = ckSsh;
        conn.Hybrid = true;
        FModel->Open(conn, std::make_shared<test::TScriptedUi>(),
                     TKvSshShell::Create(conn, std::make_shared<test::TScriptedUi>()), 120, 40);
    }
    // Runs the timer and the deliveries as the window would, until APredicate holds.
    bool WaitUntil(const std::function<bool()>& APredicate, std::chrono::milliseconds ALimit = 30s) {
        const auto end = std::chrono::steady_clock::now() + ALimit;
        while (std::chrono::steady_clock::now() < end) {
            FQueue.Pump();
            FModel->Tick();
            if (APredicate())
                return true;
            std::this_thread::sleep_for(50ms);
        }
        return false;
    }
    const TKvShellLink* Link(const std::string& AName) {
        for (const auto& l : FModel->Links())
            if (l.Name == AName)
                return &l;
        return nullptr;
    }
    std::string Links() {
        std::string text;
        for (const auto& l : FModel->Links())
            text += "[" + l.Name + " -> " + l.Path + (l.IsDir ? " dir" : "") + "]";
        return text;
    }
    std::string Screen() {
        std::string text;
        auto& s = FModel->Screen();
        s.Lock();
        for (int r = 0; r < s.Rows(); ++r)
            text += s.RowText(r) + "\n";
        s.Unlock();
        return text;
    }
    // cd into AShellDir, then each listing command must show the names as links to the SFTP
    // folder ASftpDir.
    void CdAndList(const std::string& AShellDir, const std::string& ASftpDir) {
        ASSERT_TRUE(WaitUntil([&] { return FModel->FilesReady() && !FModel->CurrentDir().empty(); }))
            << "no folder report: " << FModel->LastStatus() << "\n" << Screen();
        // The screen never showed the report command, and no status says it failed.
        EXPECT_EQ(Screen().find("tput cuu1"), std::string::npos) << Screen();
        EXPECT_EQ(FModel->LastStatus(), "");
        ASSERT_TRUE(FModel->TypeCd(AShellDir));
        ASSERT_TRUE(WaitUntil([&] { return FModel->CurrentDir() == ASftpDir; }))
            << FModel->CurrentDir() << "\n" << Screen();
        for (const char* command : {"ls", "ls -l"}) {
            // No scan runs until the command's prompt is back, so the next links are its own.
            const int calls = FLinkCalls;
            FModel->Input(std::string("clear; ") + command + "\r");
            ASSERT_TRUE(WaitUntil([&] {
                return FLinkCalls > calls && Link("a b.txt") && Link("plain.txt") &&
                       Link("my dir") && Link("100%");
            })) << command << ": " << Links() << "\n" << Screen();
            EXPECT_EQ(Link("a b.txt")->Path, ASftpDir + "/a b.txt");
            EXPECT_EQ(Link("a b.txt")->Size, 5);
            EXPECT_FALSE(Link("a b.txt")->IsDir);
            EXPECT_EQ(Link("my dir")->Path, ASftpDir + "/my dir");
            EXPECT_TRUE(Link("my dir")->IsDir);
            EXPECT_EQ(Link("100%")->Path, ASftpDir + "/100%");
            EXPECT_EQ(FModel->Files()->FromSftp(Link("plain.txt")->Path), AShellDir + "/plain.txt");
            EXPECT_EQ(Link("a"), nullptr); // a part of a name that is not a file
            EXPECT_EQ(Link("b.txt"), nullptr);
        }
    }
    static void MakeFiles(const std::string& ADir) {
        test::RunCommand("mkdir -p " + ShellQuote(ADir + "/my dir") + " " + ShellQuote(ADir + "/100%") +
                         " && printf hello > " + ShellQuote(ADir + "/a b.txt") +
                         " && printf x > " + ShellQuote(ADir + "/plain.txt") + " && chmod -R a+rX " +
                         ShellQuote(ADir));
    }

    test::TDeliverQueue FQueue;
    std::unique_ptr<TKvShellPanelModel> FModel;
    int FLinkCalls = 0;
};

class HybridSshd : public HybridShell, public ::testing::WithParamInterface<const char*> {};

TEST_P(HybridSshd, LearnsTheFolderAfterCdAndLinksTheNamesLsPrints) {
    const std::string shell = GetParam();
    const std::string user = test::LoginShellUser(shell);
    if (user.empty())
        GTEST_SKIP() << shell << " is not installed here";
    test::TSshd server;
    test::TTempDir base("/tmp");
    test::RunCommand("chmod 0755 " + ShellQuote(base.Path()));
    const std::string dir = base / "it's a \xc3\xbc dir";
    MakeFiles(dir);
    TKvConnector conn = test::PasswordConn(server.Port(), user);
    conn.Secret = test::SshSetup().PasswordKvpw;
    Open(conn);
    // No mapping on this server: the shell's paths are the SFTP paths.
    CdAndList(dir, dir);
}

INSTANTIATE_TEST_SUITE_P(Shells, HybridSshd, ::testing::Values("bash", "dash", "zsh"));

TEST_F(HybridShell, AChrootedSftpRootIsMappedFromTheShellsPaths) {
    test::TFakeSsh fake(1048576, {"--shell", "/bin/bash"});
    MakeFiles(fake.Root() + "/sub dir");
    TKvConnector conn = test::PasswordConn(fake.Port(), test::TFakeSsh::KUser);
    conn.Secret = test::TFakeSsh::KPassword;
    Open(conn);
    CdAndList(fake.Root() + "/sub dir", "/sub dir");
    // The exec channel is refused here: the mapping is the plain prefix.
    auto data = FModel->Files()->Data();
    std::lock_guard lock(data->Lock);
    EXPECT_EQ(data->MapFrom, fake.Root());
    EXPECT_EQ(data->MapReal, "");
}

// The shell stands in a folder reached through a link to the chroot; the server's readlink
// tells where the SFTP root really is, so the real path the shell may show maps too.
TEST_F(HybridShell, ARootReachedThroughALinkIsFoundWithTheServersOwnCommands) {
    test::TFakeSsh fake(1048576, {"--shell", "/bin/bash", "--exec"});
    MakeFiles(fake.Root() + "/sub");
    test::TTempDir base;
    const std::string link = base / "jail";
    test::RunCommand("ln -s " + ShellQuote(fake.Root()) + " " + ShellQuote(link));
    const std::string real = test::RunCommand("readlink -f " + ShellQuote(fake.Root()) + " | tr -d '\\n'");
    TKvConnector conn = test::PasswordConn(fake.Port(), test::TFakeSsh::KUser);
    conn.Secret = test::TFakeSsh::KPassword;
    Open(conn);
    ASSERT_TRUE(WaitUntil([&] { return FModel->FilesReady() && !FModel->CurrentDir().empty(); }))
        << Screen();
    // The first folder the half scans decides the mapping.
    ASSERT_TRUE(FModel->TypeCd(link + "/sub"));
    ASSERT_TRUE(WaitUntil([&] { return FModel->CurrentDir() == "/sub"; }))
        << FModel->CurrentDir() << "\n" << Screen();
    FModel->Input("ls\r");
    ASSERT_TRUE(WaitUntil([&] { return Link("a b.txt") != nullptr; })) << Links() << Screen();
    EXPECT_EQ(Link("a b.txt")->Path, "/sub/a b.txt");
    auto* files = FModel->Files();
    {
        auto data = files->Data();
        std::lock_guard lock(data->Lock);
        EXPECT_EQ(data->MapFrom, link);
        EXPECT_EQ(data->MapReal, real);
        EXPECT_EQ(data->MapTop, "sub");
    }
    EXPECT_EQ(files->ToSftp(real + "/sub/a b.txt"), "/sub/a b.txt");
    EXPECT_EQ(files->FromSftp("/sub/a b.txt"), link + "/sub/a b.txt");
    EXPECT_EQ(files->FromSftp("/elsewhere"), real + "/elsewhere");
    // The shell now shows the real path; the names still lead to the same SFTP files.
    // (Lines printed before the new folder's report belong to the old folder, so ls goes on
    // a line of its own.)
    FModel->Input("cd -P .; clear\r");
    ASSERT_TRUE(WaitUntil([&] { return FModel->Title().find(real) != std::string::npos; }))
        << FModel->Title();
    const int calls = FLinkCalls;
    FModel->Input("ls\r");
    ASSERT_TRUE(WaitUntil([&] { return FLinkCalls > calls && Link("a b.txt") != nullptr; }))
        << Links() << Screen();
    EXPECT_EQ(FModel->Title().substr(FModel->Title().find(':') + 1), real + "/sub");
    EXPECT_EQ(FModel->CurrentDir(), "/sub");
    EXPECT_EQ(Link("a b.txt")->Path, "/sub/a b.txt");
}

} // namespace
} // namespace kv
