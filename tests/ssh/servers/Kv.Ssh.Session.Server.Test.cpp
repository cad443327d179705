// Sessions and logins against a real OpenSSH sshd.
#include <chrono>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "Kv.KnownHosts.h"
#include "Kv.Libssh2.h"
#include "Kv.Ssh.Session.h"
#include "KvSshPeers.h"
#include "KvTestSupport.h"

namespace kv {
namespace {

using test::KeyConn;
using test::PasswordConn;
using test::TScriptedUi;
using test::TSshd;

class TFreshKnownHosts : public ::testing::Environment {
public:
    void SetUp() override { test::ForgetKnownHosts(); }
    void TearDown() override {
        test::ForgetKnownHosts();
        WaitForSshCloser(5000);
    }
};
[[maybe_unused]] auto* const GEnvironment =
    ::testing::AddGlobalTestEnvironment(new TFreshKnownHosts);

// The message of a failed connect, or "" when it logged in; "cancelled" for EKvCancelled.
std::string ConnectOutcome(const TKvConnector& AConn, std::shared_ptr<TScriptedUi> AUi,
                           std::string* ALearned = nullptr) {
    TKvSshSession session;
    auto token = NewCancelToken();
    try {
        session.Connect(AConn, AUi, *token);
    } catch (const EKvCancelled&) {
        return "cancelled";
    } catch (const EKvFsError& e) {
        return e.what();
    }
    if (ALearned)
        *ALearned = session.LearnedSecret();
    return "";
}

// One server for the login cases: starting sshd is the slow part.
class SshLogin : public ::testing::Test {
protected:
    static void TearDownTestSuite() { GServer.reset(); }
    void SetUp() override {
        KV_REQUIRE_SSH();
        if (!GServer)
            GServer = std::make_unique<TSshd>();
        FServer = GServer.get();
        FUi = std::make_shared<TScriptedUi>();
    }
    static inline std::unique_ptr<TSshd> GServer;
    TSshd* FServer = nullptr;
    std::shared_ptr<TScriptedUi> FUi;
    const test::TSshSetup& Env() { return test::SshSetup(); }
};

TEST_F(SshLogin, SavedPasswordLogsInWithoutAsking) {
    auto conn = PasswordConn(FServer->Port());
    conn.Secret = Env().PasswordKvpw;
    std::string learned = "unset";
    EXPECT_EQ(ConnectOutcome(conn, FUi, &learned), "");
    EXPECT_TRUE(FUi->Prompts.empty());
    EXPECT_EQ(learned, "");
    EXPECT_LE(FUi->NewKeyQuestions, 1);
}

TEST_F(SshLogin, WrongSavedPasswordAsksAgainAndLearnsTheNewOne) {
    auto conn = PasswordConn(FServer->Port());
    conn.Secret = "wrong";
    FUi->Secrets = {Env().PasswordKvpw};
    std::string learned;
    EXPECT_EQ(ConnectOutcome(conn, FUi, &learned), "");
    ASSERT_EQ(FUi->Prompts.size(), 1u);
    EXPECT_EQ(FUi->Prompts[0].Title, "Log in to Test server");
    EXPECT_EQ(FUi->Prompts[0].Text, "The password was not accepted. Password for kvpw@127.0.0.1:");
    EXPECT_EQ(learned, Env().PasswordKvpw);
}

TEST_F(SshLogin, ThreeRefusalsEndTheLogin) {
    auto conn = PasswordConn(FServer->Port());
    FUi->Secrets = {"bad1", "bad2", "bad3", Env().PasswordKvpw};
    EXPECT_EQ(ConnectOutcome(conn, FUi),
              "Login failed: the user name or password was not accepted.");
    ASSERT_EQ(FUi->Prompts.size(), 3u);
    EXPECT_EQ(FUi->Prompts[0].Text, "Password for kvpw@127.0.0.1:");
    EXPECT_EQ(FUi->Prompts[2].Text, "The password was not accepted. Password for kvpw@127.0.0.1:");
}

TEST_F(SshLogin, MissingPasswordWithoutPromptsIsACancel) {
    auto conn = PasswordConn(FServer->Port());
    test::ForgetKnownHosts();
    auto trusting = std::make_shared<TScriptedUi>();
    ASSERT_EQ(ConnectOutcome(conn, trusting),
              "cancelled"); // the key is now trusted, no secret given
    EXPECT_EQ(ConnectOutcome(conn, nullptr), "cancelled");
}

TEST_F(SshLogin, KeyboardInteractiveGetsTheSecret) {
    auto conn = PasswordConn(FServer->Port(), "kvkbd");
    conn.Secret = Env().PasswordKvkbd;
    EXPECT_EQ(ConnectOutcome(conn, FUi), "");
    conn.Secret = "wrong";
    FUi->Secrets = {Env().PasswordKvkbd};
    std::string learned;
    EXPECT_EQ(ConnectOutcome(conn, FUi, &learned), "");
    EXPECT_EQ(learned, Env().PasswordKvkbd);
}

TEST_F(SshLogin, NoneMethodNeedsNoSecret) {
    auto conn = PasswordConn(FServer->Port(), "kvnone");
    std::string learned = "unset";
    EXPECT_EQ(ConnectOutcome(conn, FUi, &learned), "");
    EXPECT_TRUE(FUi->Prompts.empty());
    EXPECT_EQ(learned, "");
}

TEST_F(SshLogin, Ed25519AndEcdsaKeys) {
    EXPECT_EQ(ConnectOutcome(KeyConn(FServer->Port(), "id_ed25519"), FUi), "");
    EXPECT_EQ(ConnectOutcome(KeyConn(FServer->Port(), "id_ecdsa"), FUi), "");
    EXPECT_TRUE(FUi->Prompts.empty());
}

TEST_F(SshLogin, KeyPassphraseIsAskedWithTheFileNameOnly) {
    auto conn = KeyConn(FServer->Port(), "id_ed25519_phrase");
    FUi->Secrets = {"not it", Env().Passphrase};
    std::string learned;
    EXPECT_EQ(ConnectOutcome(conn, FUi, &learned), "");
    ASSERT_EQ(FUi->Prompts.size(), 2u);
    EXPECT_EQ(FUi->Prompts[0].Title, "Open the key of Test server");
    EXPECT_EQ(FUi->Prompts[0].Text, "Passphrase for the key id_ed25519_phrase:");
    EXPECT_EQ(FUi->Prompts[1].Text,
              "The passphrase was not accepted. Passphrase for the key id_ed25519_phrase:");
    EXPECT_EQ(learned, Env().Passphrase);

    conn.Secret = Env().Passphrase;
    FUi->Prompts.clear();
    EXPECT_EQ(ConnectOutcome(conn, FUi, &learned), "");
    EXPECT_TRUE(FUi->Prompts.empty());
    EXPECT_EQ(learned, "");
}

TEST_F(SshLogin, UnreadableKeyFileIsSaidAtOnce) {
    auto conn = KeyConn(FServer->Port(), "no_such_key");
    FUi->Secrets = {"a", "b", "c"};
    std::string outcome = ConnectOutcome(conn, FUi);
    EXPECT_EQ(outcome,
              "The key file " + conn.KeyFile + " cannot be read: No such file or directory");
    EXPECT_TRUE(FUi->Prompts.empty());
}

TEST_F(SshLogin, RefusedKeysSayWhy) {
    test::TTempDir dir;
    test::RunCommand("ssh-keygen -q -t ed25519 -N '' -f " + dir / "stranger");
    auto stranger = KeyConn(FServer->Port());
    stranger.KeyFile = dir / "stranger";
    const std::string refused =
        "The server did not accept the key. Check that the user name is right and that the "
        "matching public key is installed on the server.";
    EXPECT_EQ(ConnectOutcome(stranger, FUi), refused);
    EXPECT_TRUE(FUi->Prompts.empty());

    // libssh2 1.10 signs only with ssh-rsa, which OpenSSH refuses by default.
    std::string rsa = ConnectOutcome(KeyConn(FServer->Port(), "id_rsa"), FUi);
    EXPECT_EQ(rsa.rfind(refused, 0), 0u) << rsa;
    EXPECT_NE(rsa.find("use an ed25519 or ECDSA key"), std::string::npos) << rsa;
}

TEST_F(SshLogin, OverIpv6) {
    auto conn = KeyConn(FServer->Port());
    conn.Host = "::1";
    EXPECT_EQ(ConnectOutcome(conn, FUi), "");
    EXPECT_NE(
        test::ReadFile(KnownHostsFile()).find("[::1]:" + std::to_string(FServer->Port()) + " "),
        std::string::npos);
}

class SshHostKeys : public ::testing::Test {
protected:
    void SetUp() override {
        KV_REQUIRE_SSH();
        test::ForgetKnownHosts();
        FServer = std::make_unique<TSshd>();
    }
    std::unique_ptr<TSshd> FServer;
};

TEST_F(SshHostKeys, UnknownKnownAndChanged) {
    auto conn = KeyConn(FServer->Port());
    const std::string file = KnownHostsFile();

    // Without prompts an unknown key is not trusted, and nothing is written.
    EXPECT_EQ(ConnectOutcome(conn, nullptr), "The key of 127.0.0.1 was not trusted");
    EXPECT_FALSE(test::Exists(file));
    auto refusing = std::make_shared<TScriptedUi>();
    refusing->TrustNewKeys = false;
    EXPECT_EQ(ConnectOutcome(conn, refusing), "The key of 127.0.0.1 was not trusted");
    EXPECT_EQ(refusing->NewKeyQuestions, 1);
    EXPECT_FALSE(test::Exists(file));

    auto ui = std::make_shared<TScriptedUi>();
    EXPECT_EQ(ConnectOutcome(conn, ui), "");
    EXPECT_EQ(ui->NewKeyQuestions, 1);
    std::string stored = test::ReadFile(file);
    // libssh2 prefers the ECDSA host key to the ed25519 one.
    const std::string prefix =
        "[127.0.0.1]:" + std::to_string(FServer->Port()) + " ecdsa-sha2-nistp256 SHA256:";
    EXPECT_EQ(stored.rfind(prefix, 0), 0u) << stored;

    // Known: no question.
    EXPECT_EQ(ConnectOutcome(conn, ui), "");
    EXPECT_EQ(ui->NewKeyQuestions, 1);

    // The same port with other host keys: refused, reported, the store unchanged.
    FServer->Restart("--keyset other");
    EXPECT_EQ(
        ConnectOutcome(conn, ui),
        "The key of 127.0.0.1 has changed since you last trusted it. The connection was refused.");
    ASSERT_EQ(ui->ChangedKeyReports.size(), 1u);
    auto fields = test::Split(ui->ChangedKeyReports[0], ' ');
    ASSERT_EQ(fields.size(), 4u);
    EXPECT_EQ(fields[0], "ecdsa-sha2-nistp256");
    EXPECT_NE(fields[1], fields[2]);
    EXPECT_NE(stored.find(fields[2]), std::string::npos) << "the old fingerprint is the stored one";
    EXPECT_EQ(fields[3], file);
    EXPECT_EQ(test::ReadFile(file), stored);
    EXPECT_EQ(
        ConnectOutcome(conn, nullptr),
        "The key of 127.0.0.1 has changed since you last trusted it. The connection was refused.");
}

// A host known by one key type that shows another is refused as changed, never asked about as
// new (whoever sits in the middle chooses the type); an honest server that offers the known type
// beside others is asked for it and connects without a question.
TEST_F(SshHostKeys, AnotherKeyTypeIsAChangedKey) {
    const struct {
        const char* Known;
        const char* KnownName;
        const char* Other;
        const char* OtherName;
    } cases[] = {
        {"ed25519", "ssh-ed25519", "ecdsa", "ecdsa-sha2-nistp256"},
        {"ecdsa", "ecdsa-sha2-nistp256", "ed25519", "ssh-ed25519"},
    };
    auto conn = KeyConn(FServer->Port());
    const std::string file = KnownHostsFile();
    const std::string host = "[127.0.0.1]:" + std::to_string(FServer->Port());
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("known by ") + c.Known);
        test::ForgetKnownHosts();
        auto ui = std::make_shared<TScriptedUi>();
        FServer->Restart(std::string("--host-keys ") + c.Known);
        ASSERT_EQ(ConnectOutcome(conn, ui), "");
        EXPECT_EQ(ui->NewKeyQuestions, 1);
        const std::string stored = test::ReadFile(file);
        ASSERT_EQ(stored.rfind(host + " " + c.KnownName + " SHA256:", 0), 0u) << stored;

        // Both types offered: the known one is chosen, so no question and no second line.
        FServer->Restart("");
        EXPECT_EQ(ConnectOutcome(conn, ui), "");
        EXPECT_EQ(ui->NewKeyQuestions, 1);
        EXPECT_EQ(test::ReadFile(file), stored);

        // Only the other type: refused and reported as a changed key, the store unchanged.
        FServer->Restart(std::string("--host-keys ") + c.Other);
        EXPECT_EQ(ConnectOutcome(conn, ui), "The key of 127.0.0.1 has changed since you last "
                                            "trusted it. The connection was refused.");
        EXPECT_EQ(ui->NewKeyQuestions, 1);
        ASSERT_EQ(ui->ChangedKeyReports.size(), 1u);
        auto fields = test::Split(ui->ChangedKeyReports[0], ' ');
        ASSERT_EQ(fields.size(), 4u);
        EXPECT_EQ(fields[0], c.OtherName);
        EXPECT_NE(fields[1], fields[2]);
        EXPECT_NE(stored.find(" " + fields[2] + "\r\n"), std::string::npos)
            << "the old fingerprint is the stored one";
        EXPECT_EQ(fields[3], file);
        EXPECT_EQ(test::ReadFile(file), stored);
        EXPECT_EQ(ConnectOutcome(conn, nullptr), "The key of 127.0.0.1 has changed since you "
                                                 "last trusted it. The connection was refused.");
    }
}

TEST_F(SshHostKeys, RsaOnlyServerSaysWhatToUse) {
    TSshd rsa("--rsa-only");
    auto ui = std::make_shared<TScriptedUi>();
    std::string outcome = ConnectOutcome(KeyConn(rsa.Port()), ui);
    EXPECT_EQ(outcome.rfind("The SSH handshake failed: ", 0), 0u) << outcome;
    EXPECT_NE(outcome.find("ed25519 or ECDSA host key"), std::string::npos) << outcome;
}

TEST(SshConnect, NamesAndAddressesThatDoNotAnswer) {
    KV_REQUIRE_SSH();
    auto token = NewCancelToken();
    try {
        ConnectSocket("no-such-host.invalid", 22, *token, 500);
        ADD_FAILURE() << "resolved";
    } catch (const EKvFsError& e) {
        EXPECT_EQ(
            std::string(e.what()).rfind("Cannot find the host \"no-such-host.invalid\" (error ", 0),
            0u)
            << e.what();
    }

    // A port nobody listens on refuses at once.
    int probe = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(addr);
    ::bind(probe, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    ::getsockname(probe, reinterpret_cast<sockaddr*>(&addr), &length);
    int closed_port = ntohs(addr.sin_port);
    ::close(probe);
    auto start = std::chrono::steady_clock::now();
    EXPECT_THROW(
        {
            try {
                ConnectSocket("127.0.0.1", closed_port, *token, 10000);
            } catch (const EKvFsError& e) {
                EXPECT_EQ(std::string(e.what()), "Cannot connect to 127.0.0.1 port " +
                                                     std::to_string(closed_port) +
                                                     ". The server did not answer.");
                throw;
            }
        },
        EKvFsError);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));

    // A listener whose queue is full drops new connections: they neither connect nor fail.
    int full = ::socket(AF_INET, SOCK_STREAM, 0);
    addr.sin_port = 0;
    ::bind(full, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    ::listen(full, 0);
    ::getsockname(full, reinterpret_cast<sockaddr*>(&addr), &length);
    int silent_port = ntohs(addr.sin_port);
    std::vector<int> fillers;
    for (int i = 0; i < 2; ++i) {
        int filler = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        ::connect(filler, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
        fillers.push_back(filler);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    start = std::chrono::steady_clock::now();
    EXPECT_THROW(ConnectSocket("127.0.0.1", silent_port, *token, 700), EKvFsError);
    auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(600));

    // Cancelling during the wait ends it with EKvCancelled.
    auto cancel = NewCancelToken();
    std::thread canceller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        cancel->Cancel();
    });
    EXPECT_THROW(ConnectSocket("127.0.0.1", silent_port, *cancel, 20000), EKvCancelled);
    canceller.join();
    for (int fd : fillers)
        ::close(fd);
    ::close(full);
}

TEST(SshConnect, AbortFromAnotherThreadEndsAHandshake) {
    KV_REQUIRE_SSH();
    // A listener that accepts and then says nothing: the handshake waits for a banner.
    int quiet = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(addr);
    ::bind(quiet, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    ::listen(quiet, 4);
    ::getsockname(quiet, reinterpret_cast<sockaddr*>(&addr), &length);
    auto conn = PasswordConn(ntohs(addr.sin_port));
    TKvSshSession session;
    std::thread aborter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        session.Abort();
    });
    auto start = std::chrono::steady_clock::now();
    auto token = NewCancelToken();
    try {
        session.Connect(conn, nullptr, *token);
        ADD_FAILURE() << "connected";
    } catch (const EKvFsError& e) {
        EXPECT_EQ(std::string(e.what()).rfind("The SSH handshake failed: ", 0), 0u) << e.what();
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    aborter.join();
    ::close(quiet);
}

} // namespace
} // namespace kv
