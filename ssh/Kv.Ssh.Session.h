// SSH sessions: one authenticated connection (timed connect, handshake, host key check against
// the known hosts, login with a password, keyboard-interactive answers or a key file). Closing
// never blocks: the teardown runs on a background closer.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Kv.ConnectUi.h"
#include "Kv.Connectors.h"
#include "Kv.FileSystem.h"
#include "Kv.Worker.h"

struct _LIBSSH2_SESSION;
struct _LIBSSH2_SFTP;

namespace kv {

class TKvSshTunnel;

// The product's limit for one address to answer a connect.
inline constexpr int KSshConnectLimitMs = 15000;
// libssh2's limit for any one blocking call of a live session.
inline constexpr int KSshSessionTimeoutMs = 30000;
// What a session whose connection died still waits for any one call.
inline constexpr int KSshBrokenTimeoutMs = 2000;
// How often an idle session sends a keepalive when the SSH configuration gives no
// ServerAliveInterval.
inline constexpr int KSshKeepaliveSeconds = 60;
// The most jump hosts in front of one connection.
inline constexpr int KSshMaxJumps = 8;

// A connected, blocking TCP socket to the first address of AHost that answers within
// ALimitMs; raises EKvFsError with the design's texts, EKvCancelled when AToken is cancelled.
int ConnectSocket(const std::string& AHost, int APort, const IKvCancelToken& AToken,
                  int ALimitMs = KSshConnectLimitMs);

class TKvSshSession {
public:
    TKvSshSession();
    // Hands the session, SFTP and socket to the background closer; never blocks on the network.
    ~TKvSshSession();
    TKvSshSession(const TKvSshSession&) = delete;
    TKvSshSession& operator=(const TKvSshSession&) = delete;

    // Up to a logged-in session, or raises (EKvFsError, EKvCancelled). AUi may be null: then
    // nothing is asked and an unknown host key is not trusted.
    // A host that ~/.ssh/config puts behind ProxyJump is reached through its jump hosts, each
    // logged in and its host key checked as a host of its own.
    void Connect(const TKvConnector& AConn, const IKvConnectUiPtr& AUi,
                 const IKvCancelToken& AToken);

    // Serialises libssh2 calls when several threads share the session (SFTP).
    void Lock() { FLock.lock(); }
    void Unlock() { FLock.unlock(); }
    std::recursive_mutex& Mutex() { return FLock; }

    // Makes blocking calls of other threads return at once; callable from any thread unlocked.
    void Abort();

    // The session's current error as a sentence fragment. Every failure reads its text here, so
    // this is also where a connection that died (rather than a request the server refused) is
    // noticed and the session marked broken.
    std::string LastError();
    // The libssh2 error code of the last failure (0 when none).
    int LastErrorCode();

    // The connection died under the session (or was aborted): every later call fails, so its
    // owner connects again instead of using it.
    bool Broken() const { return FBroken.load(); }
    // A broken session waits at most a moment for anything more (closing its handles, which
    // frees them); under the lock.
    void ShortenTimeoutIfBroken();

    _LIBSSH2_SESSION* Session() const { return FSession; }
    _LIBSSH2_SFTP* Sftp() const { return FSftp; }
    // Starts the SFTP subsystem (under the lock); raises "The server does not offer SFTP: ...".
    void StartSftp();
    int Socket() const { return FSock.load(); }
    // The server's identification line ("SSH-2.0-OpenSSH_9.2p1 ..."), known after the handshake.
    const std::string& ServerBanner() const { return FServerBanner; }
    // The password or passphrase that succeeded when it differs from the saved one.
    const std::string& LearnedSecret() const { return FLearnedSecret; }

    // The connection as connected: the user's ~/.ssh/config applied (host name, user, port).
    const TKvConnector& Target() const { return FTarget; }

    // Tests shorten the wait for an address that does not answer.
    void SetConnectLimit(int AMs) { FConnectLimitMs = AMs; }

    // Used by the keyboard-interactive answer, which libssh2 calls with the session's pointer.
    const std::string& KbdSecret() const { return FKbdSecret; }

private:
    // AJumps: the ProxyJump hops still to pass; null to take them from the SSH configuration.
    void ConnectVia(const TKvConnector& AConn, const std::string* AJumps,
                    const IKvConnectUiPtr& AUi, const IKvCancelToken& AToken);
    // The socket to the target: straight, or a tunnel through the last of AJumps.
    int OpenTunnel(const std::string& AJumps, const IKvConnectUiPtr& AUi,
                   const IKvCancelToken& AToken);
    void CheckHostKey(const TKvConnector& AConn, const IKvConnectUiPtr& AUi,
                      const IKvCancelToken& AToken);
    void Login(const TKvConnector& AConn, const std::vector<std::string>& AConfigKeys,
               const IKvConnectUiPtr& AUi, const IKvCancelToken& AToken);
    int TryPassword(const std::string& AUser, const std::string& AMethods,
                    const std::string& ASecret);
    int TryKeyFile(const std::string& AUser, const std::string& AKeyFile,
                   const std::string& ASecret);
    // The running SSH agent's identities in its order; true when one was accepted.
    bool TryAgent(const std::string& AUser);
    // Key files named by the SSH config, asking for a passphrase where one is needed; true when
    // one was accepted.
    bool TryConfigKeys(const std::string& AUser, const std::vector<std::string>& AKeyFiles,
                       const IKvConnectUiPtr& AUi, const IKvCancelToken& AToken);

    std::recursive_mutex FLock;
    // Read by Abort from other threads.
    std::atomic<int> FSock{-1};
    std::atomic<bool> FBroken{false};
    bool FKeepalive = false;
    // Through a jump host: the tunnel the socket leads into; let go after the session.
    std::shared_ptr<TKvSshTunnel> FTunnel;
    _LIBSSH2_SESSION* FSession = nullptr;
    _LIBSSH2_SFTP* FSftp = nullptr;
    std::string FKbdSecret;
    std::string FLearnedSecret;
    std::string FServerBanner;
    TKvConnector FTarget;
    int FConnectLimitMs = KSshConnectLimitMs;
};

using TKvSshSessionPtr = std::unique_ptr<TKvSshSession>;

// Whether a libssh2 error code means the connection itself is gone (socket, timeout, closed
// channel), as against an answer of the server.
bool IsConnectionLostCode(int ACode);

// Posts the teardown of a session to the process-wide closer; any argument may be null or -1.
void ReleaseConnection(_LIBSSH2_SESSION* ASession, _LIBSSH2_SFTP* ASftp, int ASocket);
// Waits until every teardown posted so far has run (tests, and a tidy exit); false on time-out.
bool WaitForSshCloser(int AWaitMs);

// What the login needs to know of a private key file before libssh2 reads it.
struct TKvKeyFileInfo {
    // An RSA key, which libssh2 1.10 cannot sign with rsa-sha2.
    bool Rsa = false;
    // Protected by a passphrase.
    bool Encrypted = false;
};
// From the ".pub" beside the key and the key file's own header (OpenSSH's format or PEM);
// a file that cannot be read or parsed gives all false.
TKvKeyFileInfo ReadKeyFileInfo(const std::string& AKeyFile);
inline bool IsRsaKeyFile(const std::string& AKeyFile) {
    return ReadKeyFileInfo(AKeyFile).Rsa;
}

} // namespace kv
