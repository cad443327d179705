// One HTTP/1.1 connection over TLS to a WebDAV server: requests out, responses framed by the
// reader, request bodies streamed with a length or in chunks. One thread at a time; the file
// system's pool hands it out.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "Kv.ConnectUi.h"
#include "Kv.Http.h"
#include "Kv.Net.h"
#include "Kv.Tls.h"

namespace kv {

inline constexpr int KDavEarlyStatusMs = 3000;

class TKvDavClient final : private IKvHttpSource {
public:
    // AKnownHostsFile: where certificates are pinned. No connection yet.
    TKvDavClient(std::string AHost, int APort, std::string AKnownHostsFile,
                 int ABodyMs = KHttpBodyMs);
    ~TKvDavClient() override;
    TKvDavClient(const TKvDavClient&) = delete;
    TKvDavClient& operator=(const TKvDavClient&) = delete;

    // Connects with TLS. AManual (in and out) is the file system's manual-validation flag: a
    // certificate the system does not trust sets it and the connection is made again.
    void Open(IKvConnectUi* AUi, bool& AManual);
    void SetToken(const IKvCancelToken* AToken);
    const IKvCancelToken* Token() const { return FToken; }

    void SendText(const std::string& AText);
    void SendBody(const std::string& ABody);
    TKvDavResponse ReadHead(std::string_view AMethod, int ATimeoutMs);
    int ReadBody(char* ABuffer, int ALength) { return FReader.ReadBody(ABuffer, ALength); }
    std::string ReadBodyAll(size_t AMax = KHttpMaxBody) { return FReader.ReadBodyAll(AMax); }
    // After a failed upload write: the status of an answer that came within 3 s, or 0.
    int EarlyStatus(TKvDavResponse* AResponse = nullptr);

    // A negative size sends chunks.
    void BeginUpload(int64_t ASize);
    void WriteUpload(const void* ABuffer, size_t ALength);
    void EndUpload();

    // Whether this idle connection may carry another request.
    bool IdleUsable() const;
    bool Broken() const { return FReader.Broken(); }
    bool CloseAfter() const { return FReader.CloseAfter(); }
    bool BodyDone() const { return FReader.BodyDone(); }
    bool Uploading() const { return FUploading; }
    int Exchanges() const { return FReader.Exchanges(); }
    uint64_t LastUsed() const { return FLastUsed; }
    void SetLastUsed(uint64_t ATick) { FLastUsed = ATick; }
    int64_t Uploaded() const { return FUploaded; }

private:
    int Receive(char* ABuffer, int ALength, int ATimeoutMs) override;
    bool EndedCleanly() const override;
    void ConnectTls(bool AManual, IKvConnectUi* AUi);
    void SendBytes(const void* AData, size_t ALength);
    void Close();
    [[noreturn]] void Lost(const std::string& AMessage);

    std::string FHost;
    int FPort;
    std::string FKnownHostsFile;
    TKvSocket FSock = KNoSocket;
    std::unique_ptr<TKvTlsCredentials> FCred;
    std::unique_ptr<TKvTlsChannel> FTls;
    const IKvCancelToken* FToken = nullptr;
    TKvHttpReader FReader;
    uint64_t FLastUsed = 0;
    bool FUploading = false;
    bool FUploadChunked = false;
    int64_t FUploadLeft = 0;
    int64_t FUploaded = 0;
};

} // namespace kv
