#include "Kv.Tls.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include "Kv.KnownHosts.h"

namespace kv {

namespace {

// A round is one read from the socket; a server that keeps the handshake going forever stops here.
constexpr int KMaxHandshakeRounds = 64;
// Ciphertext is read from the socket in pieces this large.
constexpr int KFeedSize = 256 * 1024;
// Plain data is handed to the engine in pieces this large, so the outgoing buffer stays small.
constexpr size_t KSendPiece = 256 * 1024;

std::string OpenSslReason() {
    const unsigned long code = ERR_peek_last_error();
    ERR_clear_error();
    if (code == 0)
        return "the connection ended unexpectedly";
    const char* reason = ERR_reason_error_string(code);
    return reason ? std::string(reason) : "error " + std::to_string(code);
}

std::string Hex(const unsigned char* AData, size_t ALength) {
    static const char KDigits[] = "0123456789abcdef";
    std::string text;
    for (size_t i = 0; i < ALength; ++i) {
        text += KDigits[AData[i] >> 4];
        text += KDigits[AData[i] & 15];
    }
    return text;
}

int ChannelIndex() {
    static const int index = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    return index;
}

} // namespace

int KvTlsNewSession(SSL* ASsl, SSL_SESSION* ASession) {
    auto* channel = static_cast<TKvTlsChannel*>(SSL_get_ex_data(ASsl, ChannelIndex()));
    if (!channel || !channel->FRecordsSessions)
        return 0;
    channel->FCred.StoreSession(ASession);
    return 1; // the credentials keep the reference
}

TKvTlsCredentials::TKvTlsCredentials(bool AManualValidation, bool AResumable)
    : FManual(AManualValidation) {
    FCtx = SSL_CTX_new(TLS_client_method());
    if (!FCtx)
        throw EKvFsError("Could not start TLS: " + OpenSslReason());
    SSL_CTX_set_min_proto_version(FCtx, TLS1_2_VERSION);
    if (AResumable)
        SSL_CTX_set_max_proto_version(FCtx, TLS1_2_VERSION);
    // System trust; honours SSL_CERT_FILE and SSL_CERT_DIR.
    SSL_CTX_set_default_verify_paths(FCtx);
    SSL_CTX_set_verify(FCtx, FManual ? SSL_VERIFY_NONE : SSL_VERIFY_PEER, nullptr);
    SSL_CTX_set_session_cache_mode(FCtx, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
    SSL_CTX_sess_set_new_cb(FCtx, &KvTlsNewSession);
    SSL_CTX_set_mode(FCtx, SSL_MODE_AUTO_RETRY);
}

TKvTlsCredentials::~TKvTlsCredentials() {
    if (FSession)
        SSL_SESSION_free(FSession);
    SSL_CTX_free(FCtx);
}

SSL_SESSION* TKvTlsCredentials::TakeSessionRef() {
    std::lock_guard lock(FLock);
    if (FSession)
        SSL_SESSION_up_ref(FSession);
    return FSession;
}

void TKvTlsCredentials::StoreSession(SSL_SESSION* ASession) {
    std::lock_guard lock(FLock);
    if (FSession)
        SSL_SESSION_free(FSession);
    FSession = ASession;
}

TKvTlsChannel::TKvTlsChannel(TKvSocket ASock, const IKvCancelToken* AToken, std::string AHost,
                             TKvTlsCredentials& ACred, bool AResumeSession)
    : FSock(ASock), FToken(AToken), FHost(std::move(AHost)), FCred(ACred),
      FRecordsSessions(!AResumeSession), FFeedBuffer(new char[KFeedSize]) {
    ERR_clear_error();
    FSsl = SSL_new(FCred.Context());
    FIn = BIO_new(BIO_s_mem());
    FOut = BIO_new(BIO_s_mem());
    if (!FSsl || !FIn || !FOut) {
        BIO_free(FIn);
        BIO_free(FOut);
        SSL_free(FSsl);
        throw EKvFsError("Could not start TLS: " + OpenSslReason());
    }
    BIO_set_mem_eof_return(FIn, -1);
    SSL_set_bio(FSsl, FIn, FOut);
    SSL_set_ex_data(FSsl, ChannelIndex(), this);
    SSL_set_connect_state(FSsl);
    const bool isAddress = IsIpAddress(FHost);
    // The server name goes out for names only; addresses are never sent as SNI.
    if (!isAddress)
        SSL_set_tlsext_host_name(FSsl, FHost.c_str());
    if (!FCred.Manual()) {
        if (isAddress)
            X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(FSsl), FHost.c_str());
        else
            SSL_set1_host(FSsl, FHost.c_str());
    }
    if (AResumeSession) {
        if (SSL_SESSION* session = FCred.TakeSessionRef()) {
            SSL_set_session(FSsl, session);
            SSL_SESSION_free(session);
        }
    }
}

TKvTlsChannel::~TKvTlsChannel() {
    SSL_free(FSsl);
}

void TKvTlsChannel::Flush() {
    char* data = nullptr;
    const long pending = BIO_get_mem_data(FOut, &data);
    if (pending <= 0)
        return;
    try {
        NetSend(FSock, data, static_cast<size_t>(pending));
    } catch (...) {
        // What could not be sent never will be; reading the peer's answer (why it stopped
        // taking an upload) must not fail on it again.
        (void)BIO_reset(FOut);
        throw;
    }
    (void)BIO_reset(FOut);
}

bool TKvTlsChannel::Feed(int ALimitMs) {
    const int got = NetRecv(FSock, FFeedBuffer.get(), KFeedSize, FToken, ALimitMs);
    if (got == 0)
        return false;
    BIO_write(FIn, FFeedBuffer.get(), got);
    return true;
}

void TKvTlsChannel::Fail(const std::string& AContext) {
    const long verify = SSL_get_verify_result(FSsl);
    if (!FCred.Manual() && verify != X509_V_OK) {
        ERR_clear_error();
        throw EKvTlsCertError(
            verify, "The certificate of " + FHost +
                        " is not trusted by the system: " + X509_verify_cert_error_string(verify));
    }
    throw EKvFsError(AContext + ": " + OpenSslReason());
}

void TKvTlsChannel::Handshake(int ALimitMs) {
    ERR_clear_error();
    for (int round = 0;;) {
        const int result = SSL_do_handshake(FSsl);
        const int error = result == 1 ? SSL_ERROR_NONE : SSL_get_error(FSsl, result);
        if (error == SSL_ERROR_NONE || error == SSL_ERROR_WANT_READ) {
            Flush();
        } else {
            // An alert the engine produced still goes out before the failure is reported.
            try {
                Flush();
            } catch (const EKvFsError&) {
            }
            Fail("The TLS handshake failed");
        }
        if (error == SSL_ERROR_NONE)
            break;
        if (++round > KMaxHandshakeRounds)
            throw EKvFsError("The TLS handshake did not finish");
        if (!Feed(ALimitMs))
            throw EKvFsError("The server closed the connection while TLS was starting");
    }
    FHandshaken = true;
    if (X509* certificate = SSL_get1_peer_certificate(FSsl)) {
        unsigned char* der = nullptr;
        const int length = i2d_X509(certificate, &der);
        if (length > 0) {
            unsigned char digest[EVP_MAX_MD_SIZE];
            unsigned int digestLength = 0;
            if (EVP_Digest(der, static_cast<size_t>(length), digest, &digestLength, EVP_sha256(),
                           nullptr))
                FFingerprint = "SHA256:" + Hex(digest, digestLength);
        }
        OPENSSL_free(der);
        X509_free(certificate);
    }
}

int TKvTlsChannel::Recv(void* ABuffer, int ALength, int ATimeoutMs) {
    if (ALength <= 0)
        return 0;
    for (;;) {
        if (FClosed)
            return 0;
        ERR_clear_error();
        const int got = SSL_read(FSsl, ABuffer, ALength);
        if (got > 0)
            return got;
        const int error = SSL_get_error(FSsl, got);
        if (error == SSL_ERROR_ZERO_RETURN) {
            FClosed = true;
            return 0;
        }
        if (error != SSL_ERROR_WANT_READ) {
            try {
                Flush();
            } catch (const EKvFsError&) {
            }
            throw EKvFsError("TLS failed while reading: " + OpenSslReason());
        }
        // Key updates and other records the engine answers go out before waiting.
        Flush();
        if (!Feed(ATimeoutMs)) {
            FClosed = true;
            FTruncated = true;
            return 0;
        }
    }
}

void TKvTlsChannel::Send(const void* AData, size_t ALength) {
    const char* data = static_cast<const char*>(AData);
    while (ALength > 0) {
        const size_t piece = std::min(ALength, KSendPiece);
        ERR_clear_error();
        const int written = SSL_write(FSsl, data, static_cast<int>(piece));
        if (written <= 0)
            throw EKvFsError("TLS failed while sending: " + OpenSslReason());
        Flush();
        data += written;
        ALength -= static_cast<size_t>(written);
    }
}

void TKvTlsChannel::Shutdown() {
    if (!FHandshaken || FShutDown)
        return;
    FShutDown = true;
    try {
        SSL_shutdown(FSsl);
        Flush();
    } catch (...) {
    }
    ERR_clear_error();
}

bool TKvTlsChannel::Resumed() const {
    return SSL_session_reused(FSsl) == 1;
}

bool TKvTlsChannel::HasPending() const {
    return SSL_pending(FSsl) > 0 || BIO_ctrl_pending(FIn) > 0;
}

void TrustServerCertificate(TKvTlsChannel& AChannel, const std::string& AHost, int APort,
                            IKvConnectUi* AUi, const IKvCancelToken* AToken,
                            const std::string& AKnownHostsFile) {
    const std::string& fingerprint = AChannel.Fingerprint();
    if (fingerprint.empty())
        throw EKvFsError("The server did not give a certificate");
    TKvCancelToken never;
    const IKvCancelToken& token = AToken ? *AToken : never;
    switch (CheckKnownHost(AKnownHostsFile, AHost, APort, KTlsCertificateKeyType, fingerprint)) {
    case khMatch:
        return;
    case khChanged: {
        const std::string stored =
            StoredFingerprint(AKnownHostsFile, AHost, APort, KTlsCertificateKeyType);
        if (AUi)
            AUi->ReportChangedHostKey(AHost, APort, KTlsCertificateKeyName, fingerprint, stored,
                                      AKnownHostsFile, token);
        throw EKvFsError("The certificate of " + AHost +
                         " has changed since you last trusted it. The connection was refused.");
    }
    case khUnknown:
        if (AUi &&
            AUi->ConfirmNewHostKey(AHost, APort, KTlsCertificateKeyName, fingerprint, token)) {
            AddKnownHost(AKnownHostsFile, AHost, APort, KTlsCertificateKeyType, fingerprint);
            return;
        }
        // A question ended by cancelling the connection is not the user's "no".
        CheckCancelled(token);
        throw EKvFsError("The certificate of " + AHost + " was not trusted");
    }
}

} // namespace kv
