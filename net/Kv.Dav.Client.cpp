#include "Kv.Dav.Client.h"

#include <poll.h>

#include "Kv.Log.h"

namespace kv {

TKvDavClient::TKvDavClient(std::string AHost, int APort, std::string AKnownHostsFile, int ABodyMs)
    : FHost(std::move(AHost)), FPort(APort), FKnownHostsFile(std::move(AKnownHostsFile)),
      FReader(*this, ABodyMs) {}

TKvDavClient::~TKvDavClient() {
    Close();
}

void TKvDavClient::Close() {
    FTls.reset();
    FCred.reset();
    NetClose(FSock);
}

void TKvDavClient::Lost(const std::string& AMessage) {
    FReader.SetBroken();
    throw EDavLost(AMessage);
}

void TKvDavClient::SetToken(const IKvCancelToken* AToken) {
    FToken = AToken;
    if (FTls)
        FTls->SetToken(AToken);
}

void TKvDavClient::ConnectTls(bool AManual, IKvConnectUi* AUi) {
    Close();
    FReader.Reset();
    FUploading = false;
    FSock = NetConnect(FHost, FPort, FToken, KNetConnectLimitMs);
    FCred = std::make_unique<TKvTlsCredentials>(AManual);
    FTls = std::make_unique<TKvTlsChannel>(FSock, FToken, FHost, *FCred);
    FTls->Handshake();
    if (AManual)
        TrustServerCertificate(*FTls, FHost, FPort, AUi, FToken, FKnownHostsFile);
}

void TKvDavClient::Open(IKvConnectUi* AUi, bool& AManual) {
    try {
        ConnectTls(AManual, AUi);
    } catch (const EKvTlsCertError& error) {
        if (AManual)
            throw;
        Log(std::string("webdav: ") + error.what() + "; asking the user");
        AManual = true;
        ConnectTls(true, AUi);
    }
}

void TKvDavClient::SendBytes(const void* AData, size_t ALength) {
    if (!FTls)
        Lost("The connection is closed");
    try {
        FTls->Send(AData, ALength);
    } catch (const EKvCancelled&) {
        FReader.SetBroken();
        throw;
    } catch (const EKvFsError& error) {
        Lost(error.what());
    }
}

void TKvDavClient::SendText(const std::string& AText) {
    SendBytes(AText.data(), AText.size());
}

void TKvDavClient::SendBody(const std::string& ABody) {
    if (!ABody.empty())
        SendBytes(ABody.data(), ABody.size());
}

int TKvDavClient::Receive(char* ABuffer, int ALength, int ATimeoutMs) {
    if (!FTls)
        throw EKvFsError("The connection is closed");
    return FTls->Recv(ABuffer, ALength, ATimeoutMs);
}

bool TKvDavClient::EndedCleanly() const {
    return FTls && !FTls->Truncated();
}

TKvDavResponse TKvDavClient::ReadHead(std::string_view AMethod, int ATimeoutMs) {
    return FReader.ReadHead(AMethod, ATimeoutMs);
}

int TKvDavClient::EarlyStatus(TKvDavResponse* AResponse) {
    if (!FTls || FSock == KNoSocket)
        return 0;
    try {
        // The send failed, so the reader's state is ours to take over.
        FUploading = false;
        TKvDavResponse response = FReader.ReadHead("PUT", KDavEarlyStatusMs);
        FReader.SetBroken();
        if (AResponse)
            *AResponse = response;
        return response.Status;
    } catch (const EKvCancelled&) {
        throw;
    } catch (const std::exception&) {
        return 0;
    }
}

void TKvDavClient::BeginUpload(int64_t ASize) {
    FUploading = true;
    FUploadChunked = ASize < 0;
    FUploadLeft = ASize < 0 ? 0 : ASize;
    FUploaded = 0;
}

void TKvDavClient::WriteUpload(const void* ABuffer, size_t ALength) {
    if (ALength == 0)
        return;
    if (FUploadChunked) {
        char size[24];
        const int length = std::snprintf(size, sizeof size, "%zX\r\n", ALength);
        std::string piece;
        piece.reserve(ALength + static_cast<size_t>(length) + 2);
        piece.append(size, static_cast<size_t>(length));
        piece.append(static_cast<const char*>(ABuffer), ALength);
        piece += "\r\n";
        SendBytes(piece.data(), piece.size());
    } else {
        if (static_cast<int64_t>(ALength) > FUploadLeft) {
            FReader.SetBroken();
            throw EKvFsError("The file is larger than it was when the copy started");
        }
        SendBytes(ABuffer, ALength);
        FUploadLeft -= static_cast<int64_t>(ALength);
    }
    FUploaded += static_cast<int64_t>(ALength);
}

void TKvDavClient::EndUpload() {
    if (FUploadChunked) {
        SendBytes("0\r\n\r\n", 5);
    } else if (FUploadLeft > 0) {
        FReader.SetBroken();
        throw EKvFsError("The file is smaller than it was when the copy started");
    }
    FUploading = false;
}

bool TKvDavClient::IdleUsable() const {
    if (FReader.Broken() || FReader.CloseAfter() || !FReader.BodyDone() || FUploading ||
        FReader.HasBuffered() || !FTls || FTls->HasPending() || FSock == KNoSocket)
        return false;
    // A server that closed an idle connection shows up as readable.
    pollfd fd{FSock, POLLIN, 0};
    return ::poll(&fd, 1, 0) == 0;
}

} // namespace kv
