// A TLS client channel over a socket the program reads and writes itself (OpenSSL with memory
// buffers), so time limits and cancellation keep working, and the trust procedure that pins a
// server certificate the system does not trust.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "Kv.ConnectUi.h"
#include "Kv.FileSystem.h"
#include "Kv.Net.h"

typedef struct ssl_ctx_st SSL_CTX;
typedef struct ssl_st SSL;
typedef struct ssl_session_st SSL_SESSION;
typedef struct bio_st BIO;

namespace kv {

// The system does not trust the server's certificate (chain, name, expiry, revocation): the
// signal for a client to connect again with manual validation.
class EKvTlsCertError : public EKvFsError {
public:
    EKvTlsCertError(long AStatus, const std::string& AMessage)
        : EKvFsError(AMessage), FStatus(AStatus) {}
    // The verification result (X509_V_ERR_...).
    long Status() const { return FStatus; }

private:
    long FStatus;
};

// The read limit of the handshake.
inline constexpr int KTlsHandshakeLimitMs = 30000;
// Where certificates are pinned, under this key type.
inline constexpr const char* KTlsCertificateKeyName = "TLS certificate";

// Settings shared by every channel of one connection (an FTP control connection and its data
// connections): the validation mode and the session that data connections resume.
class TKvTlsCredentials {
public:
    // AResumable: every data connection resumes one session (FTP). TLS 1.3 tickets are used once
    // by common servers (vsftpd refuses a data connection that does not resume), so such
    // connections stay at TLS 1.2, whose sessions resume any number of times.
    explicit TKvTlsCredentials(bool AManualValidation, bool AResumable = false);
    ~TKvTlsCredentials();
    TKvTlsCredentials(const TKvTlsCredentials&) = delete;
    TKvTlsCredentials& operator=(const TKvTlsCredentials&) = delete;

    bool Manual() const { return FManual; }
    SSL_CTX* Context() const { return FCtx; }
    // The latest session the control connection received (with a reference), or null.
    SSL_SESSION* TakeSessionRef();
    void StoreSession(SSL_SESSION* ASession);

private:
    SSL_CTX* FCtx = nullptr;
    bool FManual;
    std::mutex FLock;
    SSL_SESSION* FSession = nullptr;
};

class TKvTlsChannel {
public:
    // No traffic yet. AResumeSession: resume the credentials' session (data connections); the
    // other channels record the sessions the server hands out.
    TKvTlsChannel(TKvSocket ASock, const IKvCancelToken* AToken, std::string AHost,
                  TKvTlsCredentials& ACred, bool AResumeSession = false);
    ~TKvTlsChannel();
    TKvTlsChannel(const TKvTlsChannel&) = delete;
    TKvTlsChannel& operator=(const TKvTlsChannel&) = delete;

    // The owner swaps the token between operations; may be null.
    void SetToken(const IKvCancelToken* AToken) { FToken = AToken; }
    void Handshake(int ALimitMs = KTlsHandshakeLimitMs);
    // At least one byte, or 0 once the peer ended TLS or closed the connection (and ever after).
    int Recv(void* ABuffer, int ALength, int ATimeoutMs);
    void Send(const void* AData, size_t ALength);
    // Sends the close notification once; never raises.
    void Shutdown();

    // "SHA256:" and the 64 lower-case hex digits of the certificate's DER form; empty for none.
    const std::string& Fingerprint() const { return FFingerprint; }
    const std::string& Host() const { return FHost; }
    bool Resumed() const;
    bool Closed() const { return FClosed; }
    // The peer closed the connection without ending TLS: the data may be cut short.
    bool Truncated() const { return FTruncated; }
    // Received bytes not yet delivered.
    bool HasPending() const;

private:
    void Flush();
    // Reads more ciphertext from the socket into the engine; false when the peer closed.
    bool Feed(int ALimitMs);
    [[noreturn]] void Fail(const std::string& AContext);

    TKvSocket FSock;
    const IKvCancelToken* FToken;
    std::string FHost;
    TKvTlsCredentials& FCred;
    SSL* FSsl = nullptr;
    BIO* FIn = nullptr;
    BIO* FOut = nullptr;
    bool FHandshaken = false;
    bool FShutDown = false;
    bool FClosed = false;
    bool FTruncated = false;
    bool FRecordsSessions;
    std::string FFingerprint;
    std::unique_ptr<char[]> FFeedBuffer;

    friend int KvTlsNewSession(SSL*, SSL_SESSION*);
};

// After a handshake with manual validation: accept a pinned fingerprint, ask the user about an
// unknown one (and pin it on yes), refuse a changed one. AUi may be null (every question is
// answered no); AToken may be null.
void TrustServerCertificate(TKvTlsChannel& AChannel, const std::string& AHost, int APort,
                            IKvConnectUi* AUi, const IKvCancelToken* AToken,
                            const std::string& AKnownHostsFile);

} // namespace kv
