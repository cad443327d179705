// Logins with what a Linux user already has: a running ssh-agent, ~/.ssh/config and
// ~/.ssh/known_hosts, against OpenSSH's sshd.
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "Kv.FS.Sftp.h"
#include "Kv.KnownHosts.h"
#include "Kv.Log.h"
#include "Kv.Platform.Folders.h"
#include "Kv.Shell.Ssh.h"
#include "Kv.Ssh.Config.h"
#include "KvShellScreen.h"
#include "KvSshPeers.h"
#include "KvTestSupport.h"

namespace kv {
namespace {

using test::TScriptedUi;
using test::TSshd;

std::string ErrorOf(const std::function<void()>& AAction) {
    try {
        AAction();
    } catch (const EKvFsError& e) {
        return e.what();
    } catch (const EKvCancelled&) {
        return "Cancelled";
    }
    return "";
}

// The user's ~/.ssh files for one test, and SSH_AUTH_SOCK as the test sets it; both gone after.
class TUserSsh {
public:
    TUserSsh() {
        FDir = HomeFolder() + "/.ssh";
        test::RunCommand("mkdir -p '" + FDir + "'");
        ::unsetenv("SSH_AUTH_SOCK");
    }
    ~TUserSsh() {
        ::unsetenv("SSH_AUTH_SOCK");
        if (FAgentPid > 0) {
            ::kill(FAgentPid, SIGTERM);
            ::waitpid(FAgentPid, nullptr, 0);
        }
        test::RunCommand("rm -rf '" + FDir + "'");
    }
    std::string Path(const std::string& AName) const { return FDir + "/" + AName; }

    // A real ssh-agent on its own socket, holding the given keys.
    void StartAgent(const std::vector<std::string>& AKeys) {
        const std::string socket = test::TestRoot() + "/agent-" + std::to_string(::getpid());
        ::unlink(socket.c_str());
        pid_t pid = ::fork();
        if (pid == 0) {
            int quiet = ::open("/dev/null", O_WRONLY);
            ::dup2(quiet, 1);
            ::execlp("ssh-agent", "ssh-agent", "-D", "-a", socket.c_str(),
                     static_cast<char*>(nullptr));
            ::_exit(127);
        }
        FAgentPid = pid;
        for (int i = 0; i < 100 && !test::Exists(socket); ++i)
            ::usleep(50000);
        ASSERT_TRUE(test::Exists(socket));
        ::setenv("SSH_AUTH_SOCK", socket.c_str(), 1);
        for (const auto& key : AKeys) {
            int code = 0;
            std::string output = test::RunCommand("ssh-add '" + key + "' 2>&1", &code);
            ASSERT_EQ(code, 0) << output;
        }
    }

private:
    std::string FDir;
    pid_t FAgentPid = -1;
};

IKvFileSystemPtr OpenFs(const TKvConnector& AConn, const IKvConnectUiPtr& AUi) {
    std::string learned, start;
    auto token = NewCancelToken();
    return OpenSftp(AConn, AUi, *token, learned, start);
}

class SshUserSetup : public ::testing::Test {
protected:
    void SetUp() override {
        KV_REQUIRE_SSH();
        if (!GServer)
            GServer = std::make_unique<TSshd>();
    }
    static void TearDownTestSuite() { GServer.reset(); }
    static inline std::unique_ptr<TSshd> GServer;
};

TEST_F(SshUserSetup, AgentLogsInWithoutAnyPrompt) {
    TUserSsh user;
    const std::string keys = test::SshSetup().Keys;
    // A key the server does not know comes first: the agent's order is followed to the next.
    test::RunCommand("ssh-keygen -q -t ed25519 -N '' -f '" + user.Path("stranger") + "'");
    user.StartAgent({user.Path("stranger"), keys + "/id_ed25519"});
    // A known_hosts that is a pipe nobody writes to is left out, never waited on.
    test::RunCommand("mkfifo '" + user.Path("known_hosts") + "'");
    auto ui = std::make_shared<TScriptedUi>();
    TKvConnector conn = test::PasswordConn(GServer->Port(), "kvkey"); // no password, no key file
    conn.UseAgent = true;
    auto fs = OpenFs(conn, ui);
    TKvFileEntry home;
    EXPECT_TRUE(fs->Stat("/home/kvkey", home));
    EXPECT_TRUE(ui->Prompts.empty());

    // Switched off, the agent is not asked: the login has nothing to offer but a password.
    conn.UseAgent = false;
    EXPECT_EQ(ErrorOf([&] { OpenFs(conn, ui); }), "Cancelled");
    ASSERT_FALSE(ui->Prompts.empty());

    // An agent with nothing that fits, or none at all: the key file logs in as before.
    TKvConnector by_key = test::KeyConn(GServer->Port());
    by_key.UseAgent = true;
    ::setenv("SSH_AUTH_SOCK", (test::TestRoot() + "/no-agent-here").c_str(), 1);
    EXPECT_TRUE(OpenFs(by_key, nullptr) != nullptr);
}

// A host behind ProxyJump, one hop and two, for files and for the terminal's session alike:
// each hop's host key is asked about as a host of its own, and with the jump host down the
// host behind it cannot be reached at all.
TEST_F(SshUserSetup, JumpHostsCarryTheConnection) {
    TUserSsh user;
    TSshd behind;
    const std::string keys = test::SshSetup().Keys;
    const std::string jumpPort = std::to_string(GServer->Port());
    const std::string behindPort = std::to_string(behind.Port());
    test::WriteFile(user.Path("config"),
                    "Host kvjump kvjump2\n  HostName 127.0.0.1\n  Port " + jumpPort +
                        "\n  User kvkey\n  IdentityFile " + keys + "/id_ed25519\n"
                        "Host kvnowhere\n  Port 1\n  ProxyJump kvjump\n"
                        "Host kvbehind kvbehind2 kvnowhere\n  HostName 127.0.0.1\n  Port " +
                        behindPort + "\n  User kvkey\n  IdentityFile " + keys +
                        "/id_ed25519\nHost kvbehind\n  ProxyJump kvjump\n"
                        "Host kvbehind2\n  ProxyJump kvjump,kvjump2:" + jumpPort + "\n");
    ::unlink(KnownHostsFile().c_str());
    TKvConnector conn = NewConnector();
    conn.Name = "";
    conn.User = "";
    struct TCase {
        const char* Host;
        int NewKeys; // the hops' and the target's keys, asked once each
    } cases[] = {{"kvbehind", 2}, {"kvbehind2", 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Host);
        conn.Host = c.Host;
        auto ui = std::make_shared<TScriptedUi>();
        auto fs = OpenFs(conn, ui);
        ASSERT_TRUE(fs != nullptr);
        EXPECT_EQ(ui->NewKeyQuestions, c.NewKeys);
        EXPECT_TRUE(ui->Prompts.empty());
        auto* sftp = dynamic_cast<TKvSftpFileSystem*>(fs.get());
        ASSERT_TRUE(sftp);
        std::string output;
        EXPECT_EQ(sftp->Exec("echo through", output), 0);
        EXPECT_EQ(output, "through");
        // A file of some size crosses the tunnel both ways unchanged.
        const std::string data(3 * 1048576 + 5, 'j');
        auto out = fs->OpenWrite("/home/kvkey/jumped.bin");
        out->WriteAll(data.data(), static_cast<int64_t>(data.size()));
        dynamic_cast<TKvFinishableStream&>(*out).Finish();
        out.reset();
        auto in = fs->OpenRead("/home/kvkey/jumped.bin");
        std::string back(data.size() + 10, '\0');
        int64_t got = 0;
        for (int64_t n; (n = in->Read(back.data() + got, 65536)) > 0;)
            got += n;
        back.resize(static_cast<size_t>(got));
        EXPECT_TRUE(back == data);
        in.reset();
        fs->DeleteFileAt("/home/kvkey/jumped.bin");
    }
    // The terminal's session takes the same way.
    {
        conn.Host = "kvbehind";
        auto shell = TKvSshShell::Create(conn, std::make_shared<TScriptedUi>());
        test::TShellScreen screen;
        screen.Attach(*shell);
        shell->Start(80, 24);
        shell->Write("echo beh''ind-$((6*7))\r");
        EXPECT_TRUE(screen.WaitFor("behind-42", std::chrono::seconds(30)))
            << screen.Output() << "|" << screen.Reason();
        shell->Close();
    }
    // The jump host cannot reach the port: said as the jump host's answer.
    conn.Host = "kvnowhere";
    EXPECT_EQ(ErrorOf([&] { OpenFs(conn, std::make_shared<TScriptedUi>()); }).rfind(
                  "The jump host kvjump could not reach 127.0.0.1 port 1: ", 0),
              0u);
    // Without the jump host the host behind it is out of reach.
    GServer->Stop();
    conn.Host = "kvbehind";
    EXPECT_NE(ErrorOf([&] { OpenFs(conn, std::make_shared<TScriptedUi>()); }), "");
    GServer.reset();
}

TEST_F(SshUserSetup, ConfigAliasGivesHostPortUserAndKey) {
    TUserSsh user;
    const std::string keys = test::SshSetup().Keys;
    const std::string port = std::to_string(GServer->Port());
    test::WriteFile(user.Path("config"), "Host kvalias\n  HostName 127.0.0.1\n  Port " + port +
                                             "\n  User kvkey\n  IdentityFile " + keys +
                                             "/id_ed25519\nHost behind\n  ProxyJump kvalias\n"
                                             "Host *\n  ServerAliveInterval 30\n");
    TKvConnector conn = NewConnector();
    conn.Name = "";
    conn.Host = "kvalias";
    conn.User = "";
    auto ui = std::make_shared<TScriptedUi>();
    auto fs = OpenFs(conn, ui);
    EXPECT_EQ(fs->Id(), "sftp:kvkey@127.0.0.1:" + port);
    EXPECT_EQ(fs->DisplayPrefix(), "kvalias:");
    EXPECT_TRUE(ui->Prompts.empty());

    // What the picker offers opens the same way.
    TKvConnectors offered = SshConfigConnections();
    ASSERT_EQ(offered.size(), 2u);
    EXPECT_TRUE(OpenFs(offered[0], ui) != nullptr);

    // A key with a passphrase asks for it, once more when it is wrong; an empty answer passes
    // the key by and the password login follows.
    test::WriteFile(user.Path("config"), "Host kvphrase\n  HostName 127.0.0.1\n  Port " + port +
                                             "\n  User kvkey\n  IdentityFile " + keys +
                                             "/id_ed25519_phrase\n");
    conn.Host = "kvphrase";
    auto asked = std::make_shared<TScriptedUi>();
    asked->Secrets = {"wrong", test::SshSetup().Passphrase};
    EXPECT_TRUE(OpenFs(conn, asked) != nullptr);
    ASSERT_EQ(asked->Prompts.size(), 2u);
    EXPECT_EQ(asked->Prompts[0].Title, "Open the key of kvphrase");
    EXPECT_EQ(asked->Prompts[0].Text,
              "Passphrase for the key id_ed25519_phrase (empty: log in without it):");
    EXPECT_EQ(asked->Prompts[1].Text, "The passphrase was not accepted. Passphrase for the key "
                                      "id_ed25519_phrase (empty: log in without it):");
    auto passed = std::make_shared<TScriptedUi>();
    passed->Secrets = {""};
    EXPECT_EQ(ErrorOf([&] { OpenFs(conn, passed); }), "Cancelled");
    ASSERT_EQ(passed->Prompts.size(), 2u);
    EXPECT_EQ(passed->Prompts[1].Text, "Password for kvkey@127.0.0.1:");
    test::WriteFile(user.Path("config"), "Host kvalias\n  HostName 127.0.0.1\n  Port " + port +
                                             "\n  User kvkey\n  IdentityFile " + keys +
                                             "/id_ed25519\nHost behind\n  ProxyJump kvalias\n"
                                             "Host *\n  ServerAliveInterval 30\n");

    // A proxy command is not run: said at once, not after a time-out.
    test::WriteFile(user.Path("config"), "Host behind\n  ProxyCommand nc %h %p\n");
    conn.Host = "behind";
    EXPECT_EQ(ErrorOf([&] { OpenFs(conn, ui); }),
              "behind is reached through a proxy command (ProxyCommand in " + user.Path("config") +
                  " line 2), which Kolvan does not run. Use ProxyJump for a jump host, or connect "
                  "to a host that can be reached directly.");
    test::WriteFile(user.Path("config"), "Host kvalias\n  HostName 127.0.0.1\n  Port " + port +
                                             "\n  User kvkey\n  IdentityFile " + keys +
                                             "/id_ed25519\nHost *\n  ServerAliveInterval 30\n");

    // Nothing of the configuration reaches the log beyond host and user names.
    test::TTempDir logs;
    SetLogFolder(logs.Path());
    ClearLog();
    conn.Host = "kvalias";
    OpenFs(conn, ui);
    std::string log = test::ReadFile(LogPath());
    EXPECT_EQ(log.find("id_ed25519"), std::string::npos) << log;
    EXPECT_EQ(log.find("ServerAlive"), std::string::npos) << log;
}

TEST_F(SshUserSetup, KnownHostsOfOpenSshTrustAndRefuse) {
    TUserSsh user;
    test::ForgetKnownHosts();
    const std::string port = std::to_string(GServer->Port());
    const std::string known = user.Path("known_hosts");
    int code = 0;
    test::RunCommand("ssh-keyscan -H -p " + port + " 127.0.0.1 > '" + known + "' 2>/dev/null",
                     &code);
    ASSERT_EQ(code, 0);
    ASSERT_EQ(test::ReadFile(known).rfind("|1|", 0), 0u); // hashed

    // Known from ~/.ssh/known_hosts: no question, and Kolvan's own file is not written.
    TKvConnector conn = test::KeyConn(GServer->Port());
    EXPECT_TRUE(OpenFs(conn, nullptr) != nullptr);
    EXPECT_FALSE(test::Exists(KnownHostsFile()));

    // Another host key on the same address: refused, naming the file and the line.
    GServer->Restart("--keyset other");
    auto ui = std::make_shared<TScriptedUi>();
    std::string error = ErrorOf([&] { OpenFs(conn, ui); });
    ASSERT_EQ(ui->ChangedKeyReports.size(), 1u);
    const std::string type = ui->ChangedKeyReports[0].substr(0, ui->ChangedKeyReports[0].find(' '));
    int line = 0, number = 0;
    for (const auto& text : test::Split(test::ReadFile(known), '\n')) {
        ++number;
        if (line == 0 && text.find(" " + type + " ") != std::string::npos)
            line = number;
    }
    ASSERT_GT(line, 0);
    const std::string place = known + ", line " + std::to_string(line);
    EXPECT_EQ(error, "The key of 127.0.0.1 has changed since you last trusted it. The connection "
                     "was refused. The key trusted before is in " +
                         place + ".");
    EXPECT_EQ(ui->ChangedKeyReports[0].substr(ui->ChangedKeyReports[0].size() - place.size()),
              place);
    EXPECT_EQ(ui->NewKeyQuestions, 0);
    EXPECT_FALSE(test::Exists(KnownHostsFile()));

    // Revoked there: refused even when Kolvan's own file trusts the key.
    test::WriteFile(known, "");
    EXPECT_TRUE(OpenFs(conn, std::make_shared<TScriptedUi>()) != nullptr);
    ASSERT_TRUE(test::Exists(KnownHostsFile()));
    std::string pub =
        test::RunCommand("ssh-keyscan -p " + port + " -t " + type + " 127.0.0.1 2>/dev/null");
    test::WriteFile(known, "@revoked " + pub);
    EXPECT_EQ(ErrorOf([&] { OpenFs(conn, std::make_shared<TScriptedUi>()); }),
              "The key of 127.0.0.1 is marked as revoked in " + known +
                  ", line 1. The connection was refused.");
    GServer->Restart("");
}

// A host that ~/.ssh/known_hosts knows by its ed25519 key: asked for that key it connects
// without a question; showing only an ECDSA key it is refused as changed, naming the line.
TEST_F(SshUserSetup, KnownHostsOfOpenSshRefuseAnotherKeyType) {
    TUserSsh user;
    test::ForgetKnownHosts();
    TSshd server;
    const std::string known = user.Path("known_hosts");
    int code = 0;
    test::RunCommand("ssh-keyscan -t ed25519 -p " + std::to_string(server.Port()) +
                         " 127.0.0.1 > '" + known + "' 2>/dev/null",
                     &code);
    ASSERT_EQ(code, 0);
    ASSERT_NE(test::ReadFile(known).find(" ssh-ed25519 "), std::string::npos);
    TKvConnector conn = test::KeyConn(server.Port());

    auto ui = std::make_shared<TScriptedUi>();
    EXPECT_EQ(ErrorOf([&] { OpenFs(conn, ui); }), "");
    EXPECT_EQ(ui->NewKeyQuestions, 0);
    EXPECT_FALSE(test::Exists(KnownHostsFile()));

    server.Restart("--host-keys ecdsa");
    const std::string place = known + ", line 1";
    EXPECT_EQ(ErrorOf([&] { OpenFs(conn, ui); }),
              "The key of 127.0.0.1 has changed since you last trusted it. The connection was "
              "refused. The key trusted before is in " +
                  place + ".");
    EXPECT_EQ(ui->NewKeyQuestions, 0);
    ASSERT_EQ(ui->ChangedKeyReports.size(), 1u);
    EXPECT_EQ(ui->ChangedKeyReports[0].rfind("ecdsa-sha2-nistp256 ", 0), 0u);
    // The old fingerprint is the one ssh-keygen gives for the ed25519 line.
    const auto listed =
        test::Split(test::RunCommand("ssh-keygen -l -E sha256 -f '" + known + "'"), ' ');
    ASSERT_GE(listed.size(), 2u);
    EXPECT_EQ(test::Split(ui->ChangedKeyReports[0], ' ')[2], listed[1]);
    EXPECT_EQ(ui->ChangedKeyReports[0].substr(ui->ChangedKeyReports[0].size() - place.size()),
              place);
    EXPECT_FALSE(test::Exists(KnownHostsFile()));
}

} // namespace
} // namespace kv
