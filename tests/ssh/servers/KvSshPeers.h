// The SSH peers of the integration tests: OpenSSH sshd instances and the asyncssh fake, each
// started by a script in tests/servers/ on a free port and stopped by its PID; a prompts object
// that answers from a script; connection records for the test users.
#pragma once

#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "Kv.Connectors.h"
#include "Kv.Ssh.Session.h"

namespace kv::test {

// The prepared state (users, client keys), made once per test binary by ssh-setup.sh. When it
// cannot be made the server tests skip, or fail under CI=true.
struct TSshSetup {
    bool Ready = false;
    std::string Problem;
    std::string Keys; // folder with id_ed25519, id_ed25519_phrase, id_ecdsa, id_rsa
    std::string PasswordKvpw, PasswordKvkbd, Passphrase;
};
const TSshSetup& SshSetup();

// Skips (or fails under CI=true) the calling test when the peers cannot run here.
#define KV_REQUIRE_SSH()                                                                           \
    do {                                                                                           \
        const auto& setup_ = ::kv::test::SshSetup();                                               \
        if (!setup_.Ready) {                                                                       \
            if (::kv::test::RunningInCi())                                                         \
                FAIL() << "SSH test servers cannot start: " << setup_.Problem;                     \
            GTEST_SKIP() << "SSH test servers cannot start: " << setup_.Problem;                   \
        }                                                                                          \
    } while (0)

bool RunningInCi();

class TSshd {
public:
    // Options as sshd.sh takes them ("--no-sftp", "--keyset other", "--rsa-only").
    explicit TSshd(const std::string& AOptions = {});
    ~TSshd();
    TSshd(const TSshd&) = delete;
    TSshd& operator=(const TSshd&) = delete;

    int Port() const { return FPort; }
    // Stops and starts again on the same port, with other options (another key set).
    void Restart(const std::string& AOptions);
    void Stop();
    // Kills every process serving a connection (the server "dies" under its clients); the
    // listening sshd stays.
    void KillConnections();

private:
    void Start(const std::string& AOptions);
    std::string FDir;
    int FPort = 0;
};

class TFakeSsh {
public:
    // AOptions go to fakessh.py as they stand ("--shell", "/bin/bash", "--exec").
    explicit TFakeSsh(long AAbortAfter = 1048576, const std::vector<std::string>& AOptions = {});
    ~TFakeSsh();
    int Port() const { return FPort; }
    // The folder that the client sees as "/".
    const std::string& Root() const { return FRoot; }
    static constexpr const char* KUser = "kvfake";
    static constexpr const char* KPassword = "Fake-4.secret";

private:
    std::string FDir, FRoot;
    int FPort = 0;
    int FPid = -1;
};

// Answers prompts from a queue and records every question.
class TScriptedUi : public IKvConnectUi {
public:
    // AskSecret answers in order; an exhausted queue cancels.
    std::deque<std::string> Secrets;
    bool TrustNewKeys = true;

    struct TPrompt {
        std::string Title, Text;
    };
    std::vector<TPrompt> Prompts;
    int NewKeyQuestions = 0;
    std::vector<std::string> ChangedKeyReports; // "type new old file"

    bool AskSecret(const std::string& ATitle, const std::string& APrompt, const IKvCancelToken&,
                   std::string& AValue) override;
    bool ConfirmNewHostKey(const std::string&, int, const std::string&, const std::string&,
                           const IKvCancelToken&) override;
    void ReportChangedHostKey(const std::string&, int, const std::string& AKeyType,
                              const std::string& ANew, const std::string& AOld,
                              const std::string& AFile, const IKvCancelToken&) override;

private:
    std::mutex FLock;
};

TKvConnector PasswordConn(int APort, const std::string& AUser = "kvpw");
// The test user whose login shell is AShell ("bash" is kvpw's); empty when that shell is not
// installed here.
std::string LoginShellUser(const std::string& AShell);
TKvConnector KeyConn(int APort, const std::string& AKeyName = "id_ed25519");

// Trusts every host key the tests meet (they come and go with each server instance): starts
// each binary with an empty known_hosts.txt.
void ForgetKnownHosts();
// Each server instance makes its own host keys, and the kernel may give a port to a later one:
// what was trusted on the port goes when a new instance takes it.
void ForgetKnownHostsOnPort(int APort);

// A fresh folder in the key user's home, owned by that user, removed afterwards.
class TRemoteDir {
public:
    TRemoteDir();
    ~TRemoteDir();
    const std::string& Path() const { return FPath; }
    std::string operator/(const std::string& AName) const { return FPath + "/" + AName; }

private:
    std::string FPath;
};

} // namespace kv::test
