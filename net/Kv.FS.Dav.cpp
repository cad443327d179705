#include "Kv.FS.Dav.h"

#include <cstdio>
#include <ctime>

#include "Kv.Ftp.Client.h"
#include "Kv.KnownHosts.h"
#include "Kv.Log.h"
#include "Kv.ServerPaths.h"
#include "Kv.Secrets.h"
#include "Kv.Text.h"

namespace kv {

namespace {

constexpr const char* KPropfindBody =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?><D:propfind xmlns:D=\"DAV:\"><D:prop>"
    "<D:resourcetype/><D:getcontentlength/><D:getlastmodified/></D:prop></D:propfind>";
constexpr int KPutAnswerMs = 300000;

bool HasControl(std::string_view AText) {
    for (char c : AText)
        if (static_cast<unsigned char>(c) < ' ' || c == 0x7F)
            return true;
    return false;
}

class TKvDavReadStream final : public TKvStream {
public:
    TKvDavReadStream(std::shared_ptr<TKvDavFs> AKeep, std::unique_ptr<TKvDavClient> AClient,
                     std::string AName)
        : FKeep(std::move(AKeep)), FClient(std::move(AClient)), FName(std::move(AName)) {}

    // Pooled only when the body was read to the end; otherwise the connection is closed.
    ~TKvDavReadStream() override {
        if (FClient)
            FKeep->ReleaseClient(std::move(FClient));
    }

    int64_t Read(void* ABuffer, int64_t ACount) override {
        if (!FClient || ACount <= 0)
            return 0;
        auto* buffer = static_cast<char*>(ABuffer);
        int64_t done = 0;
        try {
            while (done < ACount) {
                const int piece = static_cast<int>(std::min<int64_t>(ACount - done, 1 << 20));
                const int got = FClient->ReadBody(buffer + done, piece);
                if (got == 0) {
                    FKeep->ReleaseClient(std::move(FClient));
                    break;
                }
                done += got;
            }
        } catch (const EKvCancelled&) {
            FClient.reset();
            throw;
        } catch (const std::exception& error) {
            FKeep->NoteLost(FClient->Broken());
            FClient.reset();
            throw EKvFsError(FName + ": " + error.what());
        }
        FPos += done;
        return done;
    }

    int64_t Write(const void*, int64_t) override { throw EKvFsError("This stream is read-only"); }

    // A jump asks for the rest of the file from there ("Range"), where the server can.
    int64_t Seek(int64_t AOffset, TKvSeekOrigin AOrigin) override {
        const int64_t target = AOrigin == soBegin ? AOffset : AOrigin == soCurrent ? FPos + AOffset : -1;
        if (target == FPos && (FClient || FPos > 0))
            return FPos;
        if (target < 0)
            throw EKvFsError("A file on a WebDAV server can only be positioned from its start");
        FClient.reset(); // a body left unread closes its connection
        FClient = FKeep->StartRead(FName, target);
        FPos = target;
        return FPos;
    }

    int64_t Size() override { return -1; }

private:
    std::shared_ptr<TKvDavFs> FKeep;
    std::unique_ptr<TKvDavClient> FClient;
    std::string FName;
    int64_t FPos = 0;
};

class TKvDavWriteStream final : public TKvFinishableStream {
public:
    TKvDavWriteStream(std::shared_ptr<TKvDavFs> AKeep, std::unique_ptr<TKvDavClient> AClient,
                      std::string AName)
        : FKeep(std::move(AKeep)), FClient(std::move(AClient)), FName(std::move(AName)) {}

    // Without Finish the connection is closed mid-body, so the server drops the upload.
    ~TKvDavWriteStream() override = default;

    int64_t Write(const void* ABuffer, int64_t ACount) override {
        if (!FClient)
            throw EKvFsError(FName + ": the file is already closed");
        if (ACount <= 0)
            return 0;
        try {
            FClient->WriteUpload(ABuffer, static_cast<size_t>(ACount));
        } catch (const EKvCancelled&) {
            FClient.reset();
            throw;
        } catch (const std::exception& error) {
            // The server may have refused the body before reading it (too large, no space).
            const int status = FClient->EarlyStatus();
            FClient.reset();
            if (status >= 400)
                throw DavStatusError(FName, status);
            throw EKvFsError(FName + ": " + error.what());
        }
        FPos += ACount;
        return ACount;
    }

    int64_t Read(void*, int64_t) override { throw EKvFsError("This stream is write-only"); }

    int64_t Seek(int64_t AOffset, TKvSeekOrigin AOrigin) override {
        if (AOffset == 0 && AOrigin == soCurrent)
            return FPos;
        throw EKvFsError("A remote file can only be written from the start to the end");
    }

    int64_t Size() override { return FPos; }

    void Finish() override {
        if (!FClient)
            throw EKvFsError(FName + ": the file is already closed");
        std::unique_ptr<TKvDavClient> client = std::move(FClient);
        TKvDavResponse response;
        try {
            client->EndUpload();
            response = client->ReadHead("PUT", KPutAnswerMs);
            client->ReadBodyAll();
        } catch (const EKvCancelled&) {
            throw;
        } catch (const std::exception& error) {
            throw EKvFsError(FName + ": " + error.what());
        }
        std::string line = "webdav: PUT " + FName + " -> " + std::to_string(response.Status) +
                           " (" + std::to_string(client->Uploaded()) + " bytes sent)";
        if (const std::string location = response.Header("location"); !location.empty())
            line += " location " + location;
        Log(line);
        FKeep->ReleaseClient(std::move(client));
        if (response.Status == 401)
            FKeep->UpdateAuth(response);
        if (!IsHttpSuccess(response.Status))
            throw DavStatusError(FName, response.Status);
    }

private:
    std::shared_ptr<TKvDavFs> FKeep;
    std::unique_ptr<TKvDavClient> FClient;
    std::string FName;
    int64_t FPos = 0;
};

} // namespace

TKvDavFs::TKvDavFs(const TKvConnector& AConn, IKvConnectUiPtr AUi, std::string APassword,
                   TKvDavOptions AOptions)
    : FUser(AConn.User), FPassword(std::move(APassword)), FUi(std::move(AUi)),
      FOptions(std::move(AOptions)) {
    // A line break here would end the header it is written into and start another.
    if (HasControl(AConn.Host))
        throw EKvFsError("The Host field contains a control character");
    if (HasControl(AConn.User))
        throw EKvFsError("The user name contains a control character");
    const TKvHostField field = ParseHostField(AConn.Host, AConn.Port);
    if (field.Host.empty())
        throw EKvFsError("No server is given in the Host field");
    FHost = field.Host;
    FPort = field.Port;
    FBase = field.Base;
    if (FOptions.KnownHostsFile.empty())
        FOptions.KnownHostsFile = KnownHostsFile();
    char id[600];
    std::snprintf(id, sizeof id, "%s@%s:%d", FUser.c_str(), FHost.c_str(), FPort);
    FId = std::string(ConnectorKindName(AConn.Kind)) + ":" + LowerAscii(id) + FBase;
    FLabel = ConnectorTitle(AConn);
}

TKvDavFs::~TKvDavFs() = default;

void TKvDavFs::SetPassword(const std::string& AValue) {
    std::lock_guard lock(FLock);
    FPassword = AValue;
}

std::string TKvDavFs::LastAllow() {
    std::lock_guard lock(FLock);
    return FLastAllow;
}

size_t TKvDavFs::IdleCount() {
    return FIdle.Count();
}

TKvDavAuth TKvDavFs::Auth() {
    std::lock_guard lock(FLock);
    return FAuth;
}

std::string TKvDavFs::HostHeader() const {
    std::string host = FHost.find(':') != std::string::npos ? "[" + FHost + "]" : FHost;
    if (FPort != 443)
        host += ":" + std::to_string(FPort);
    return host;
}

std::string TKvDavFs::ServerPath(const std::string& APath) const {
    return JoinDavPath(SplitDavPath(FBase + Normalize(APath)));
}

std::string TKvDavFs::RequestUri(const std::string& APath, bool AFolder) const {
    std::string path = ServerPath(APath);
    if (AFolder && path.back() != '/')
        path += '/';
    return PercentEncode(path);
}

// Pool.

std::unique_ptr<TKvDavClient> TKvDavFs::NewClient(const IKvCancelToken* AToken) {
    auto client =
        std::make_unique<TKvDavClient>(FHost, FPort, FOptions.KnownHostsFile, FOptions.BodyMs);
    client->SetToken(AToken);
    bool manual;
    {
        std::lock_guard lock(FLock);
        manual = FManualTls;
    }
    client->Open(FUi.get(), manual);
    if (manual) {
        std::lock_guard lock(FLock);
        FManualTls = true;
    }
    return client;
}

std::unique_ptr<TKvDavClient> TKvDavFs::AcquireClient(const IKvCancelToken* AToken, bool AFresh) {
    auto client = FIdle.Take([&](TKvDavClient& AClient) {
        return AClient.IdleUsable() && (!AFresh || FtpTickMs() - AClient.LastUsed() < KDavFreshMs);
    });
    if (!client)
        return NewClient(AToken);
    client->SetToken(AToken);
    return client;
}

void TKvDavFs::ReleaseClient(std::unique_ptr<TKvDavClient> AClient) {
    if (!AClient || AClient->Broken() || AClient->CloseAfter() || !AClient->BodyDone() ||
        AClient->Uploading())
        return;
    AClient->SetToken(nullptr);
    AClient->SetLastUsed(FtpTickMs());
    FIdle.Give(std::move(AClient));
}

void TKvDavFs::DrainAndRelease(std::unique_ptr<TKvDavClient> AClient) {
    try {
        AClient->ReadBodyAll();
    } catch (const EKvCancelled&) {
        throw;
    } catch (const std::exception&) {
        return;
    }
    ReleaseClient(std::move(AClient));
}

// Requests.

std::string TKvDavFs::AuthorizationHeader(const std::string& AMethod, const std::string& AUri) {
    TKvDavAuth auth;
    std::string password, realm, nonce, opaque, algorithm, qopList;
    uint32_t nc;
    {
        std::lock_guard lock(FLock);
        auth = FAuth;
        password = FPassword;
        realm = FRealm;
        nonce = FNonce;
        opaque = FOpaque;
        algorithm = FAlgorithm;
        qopList = FQop;
        nc = ++FNc;
    }
    if (auth == daBasic) {
        const std::string pair = FUser + ":" + password;
        return "Authorization: Basic " +
               Base64Encode(reinterpret_cast<const uint8_t*>(pair.data()), pair.size()) + "\r\n";
    }
    if (auth != daDigest)
        return {};
    std::string qop;
    size_t start = 0;
    while (start <= qopList.size()) {
        const size_t comma = std::min(qopList.find(',', start), qopList.size());
        if (SameTextAscii(TrimmedView(std::string_view(qopList).substr(start, comma - start)),
                          "auth"))
            qop = "auth";
        start = comma + 1;
    }
    char ncText[16];
    std::snprintf(ncText, sizeof ncText, "%08x", nc);
    std::string cnonce;
    for (char c : NewConnectorId())
        if (HexDigitValue(c) >= 0 && cnonce.size() < 16)
            cnonce += AsciiLower(c);
    std::string line = "Authorization: Digest username=\"" + QuoteDigestValue(FUser) +
                       "\", realm=\"" + QuoteDigestValue(realm) + "\", nonce=\"" +
                       QuoteDigestValue(nonce) + "\", uri=\"" + AUri + "\", response=\"" +
                       DigestResponse(algorithm, FUser, realm, password, AUri, AMethod, qop, ncText,
                                      cnonce, nonce) +
                       "\"";
    if (!algorithm.empty())
        line += ", algorithm=" + algorithm;
    if (!opaque.empty())
        line += ", opaque=\"" + QuoteDigestValue(opaque) + "\"";
    if (qop == "auth")
        line += ", qop=auth, nc=" + std::string(ncText) + ", cnonce=\"" + cnonce + "\"";
    return line + "\r\n";
}

std::string TKvDavFs::BuildRequest(const std::string& AMethod, const std::string& AUri,
                                   const std::vector<std::string>& AHeaders) {
    std::string auth = AuthorizationHeader(AMethod, AUri);
    // What a server sent comes back in the Digest line: a line break in it would add headers.
    if (HasControl(auth.substr(0, auth.size() >= 2 ? auth.size() - 2 : 0)))
        throw EKvFsError("The server's login challenge contains a control character");
    std::string text = AMethod + " " + AUri + " HTTP/1.1\r\nHost: " + HostHeader() +
                       "\r\nUser-Agent: Kolvan\r\n" + auth;
    for (const auto& header : AHeaders)
        text += header + "\r\n";
    return text + "\r\n";
}

bool TKvDavFs::UpdateAuth(const TKvDavResponse& AResponse) {
    const auto challenges = ParseChallenges(AResponse.HeaderAll("www-authenticate"));
    bool basic = false;
    const TKvDavChallenge* digest = nullptr;
    for (const auto& challenge : challenges) {
        if (challenge.Scheme == "basic")
            basic = true;
        else if (challenge.Scheme == "digest" && !digest && IsDigestAlgorithm(challenge.Algorithm))
            digest = &challenge;
    }
    std::lock_guard lock(FLock);
    auto adopt = [&] {
        FAuth = daDigest;
        FRealm = digest->Realm;
        FNonce = digest->Nonce;
        FOpaque = digest->Opaque;
        FAlgorithm = digest->Algorithm;
        FQop = digest->Qop;
        FNc = 0;
    };
    switch (FAuth) {
    case daNone:
        if (basic) {
            FAuth = daBasic;
            return true;
        }
        if (digest) {
            adopt();
            return true;
        }
        return false;
    case daBasic:
        if (digest && !basic) {
            adopt();
            return true;
        }
        return false;
    case daDigest:
        if (digest && SameTextAscii(digest->Stale, "true")) {
            adopt();
            return true;
        }
        if (basic && !digest) {
            FAuth = daBasic;
            return true;
        }
        return false;
    }
    return false;
}

std::unique_ptr<TKvDavClient> TKvDavFs::SendRequest(const std::string& AMethod, std::string AUri,
                                                    const IKvCancelToken* AToken,
                                                    const std::string& ABody,
                                                    std::vector<std::string> AHeaders,
                                                    TKvDavResponse& AResponse) {
    if (!ABody.empty()) {
        AHeaders.push_back("Content-Type: application/xml; charset=\"utf-8\"");
        AHeaders.push_back("Content-Length: " + std::to_string(ABody.size()));
    }
    int retries = 0, authRetries = 0, redirects = 0;
    std::unique_ptr<TKvDavClient> client;
    for (;;) {
        if (AToken)
            CheckCancelled(*AToken);
        client = AcquireClient(AToken, false);
        const bool used = client->Exchanges() > 0;
        try {
            client->SendText(BuildRequest(AMethod, AUri, AHeaders));
            client->SendBody(ABody);
            AResponse = client->ReadHead(AMethod, FOptions.HeadMs);
        } catch (const EDavLost&) {
            client.reset();
            // The server closed a connection that waited in the pool: one silent retry.
            if (used && retries++ == 0)
                continue;
            throw;
        }
        if (AResponse.Status == 401 && authRetries < 2 && UpdateAuth(AResponse)) {
            ++authRetries;
            DrainAndRelease(std::move(client));
            continue;
        }
        if (IsHttpRedirect(AResponse.Status) && redirects < 3) {
            const std::string target = RedirectPath(AResponse.Header("location"), HostHeader());
            if (!target.empty() && target != AUri) {
                ++redirects;
                AUri = target;
                DrainAndRelease(std::move(client));
                continue;
            }
        }
        break;
    }
    std::string allow = AResponse.Header("allow");
    if (allow.empty())
        allow = AResponse.Header("dav");
    {
        std::lock_guard lock(FLock);
        FLastAllow = allow;
    }
    std::string line =
        "webdav: " + AMethod + " " + AUri + " -> " + std::to_string(AResponse.Status);
    if (const std::string location = AResponse.Header("location"); !location.empty())
        line += " location " + location;
    if (const std::string server = AResponse.Header("server"); !server.empty())
        line += " server \"" + server + "\"";
    if (!allow.empty())
        line += " allow/dav \"" + allow + "\"";
    Log(line);
    return client;
}

int TKvDavFs::RequestText(const std::string& AMethod, const std::string& AUri,
                          const IKvCancelToken* AToken, const std::string& ABody,
                          const std::vector<std::string>& AHeaders, std::string& AAnswer,
                          TKvDavResponse* AResponse) {
    TKvDavResponse response;
    std::unique_ptr<TKvDavClient> client =
        SendRequest(AMethod, AUri, AToken, ABody, AHeaders, response);
    AAnswer = client->ReadBodyAll();
    ReleaseClient(std::move(client));
    if (AResponse)
        *AResponse = response;
    return response.Status;
}

int TKvDavFs::Propfind(const std::string& APath, int ADepth, const IKvCancelToken* AToken,
                       std::vector<TKvDavItem>& AItems) {
    std::string answer;
    const int status =
        RequestText("PROPFIND", RequestUri(APath, ADepth > 0 || IsRoot(APath)), AToken,
                    KPropfindBody, {"Depth: " + std::to_string(ADepth)}, answer);
    if (status == 207 || status == 200)
        AItems = ParseMultistatus(DecodeHttpText(answer));
    return status;
}

int TKvDavFs::Probe(const IKvCancelToken* AToken) {
    std::vector<TKvDavItem> items;
    return Propfind("/", 0, AToken, items);
}

int TKvDavFs::ProbePath(const std::string& APath, const IKvCancelToken* AToken) {
    std::vector<TKvDavItem> items;
    return Propfind(APath, 0, AToken, items);
}

// Paths.

std::string TKvDavFs::Normalize(const std::string& APath) const {
    return JoinDavPath(SplitDavPath(APath));
}

std::string TKvDavFs::Resolve(const std::string& ABaseDir, const std::string& AInput) const {
    if (!AInput.empty() && AInput[0] == '/')
        return Normalize(AInput);
    return Normalize(ABaseDir + "/" + AInput);
}

std::string TKvDavFs::Join(const std::string& ADir, const std::string& AName) const {
    if (!ADir.empty() && ADir.back() == '/')
        return ADir + AName;
    return ADir + "/" + AName;
}

std::string TKvDavFs::ParentOf(const std::string& APath) const {
    auto parts = SplitDavPath(APath);
    if (parts.empty())
        return {};
    parts.pop_back();
    return JoinDavPath(parts);
}

std::string TKvDavFs::NameOf(const std::string& APath) const {
    const auto parts = SplitDavPath(APath);
    return parts.empty() ? std::string() : parts.back();
}

bool TKvDavFs::IsRoot(const std::string& APath) const {
    return SplitDavPath(APath).empty();
}

bool TKvDavFs::SamePath(const std::string& A, const std::string& B) const {
    return Normalize(A) == Normalize(B);
}

// Operations.

TKvFileEntries TKvDavFs::List(const std::string& APath, const IKvCancelToken& AToken) {
    const std::string path = Normalize(APath);
    std::vector<TKvDavItem> items;
    const int status = Propfind(path, 1, &AToken, items);
    if (status != 207 && status != 200)
        throw DavStatusError(path, status);
    // An item is the folder itself or one name in it; whatever else a server answers (an href
    // elsewhere, deeper, or with "%2F" in a name) is no entry of this folder and is left out,
    // so nothing the user never saw gets copied or deleted.
    const std::vector<std::string> own = SplitServerPath(ServerPath(path));
    const auto startsWithOwn = [&](const std::vector<std::string>& AParts) {
        if (AParts.size() < own.size())
            return false;
        for (size_t i = 0; i < own.size(); ++i)
            if (!SameTextAscii(AParts[i], own[i]))
                return false;
        return true;
    };
    TKvFileEntries entries;
    entries.reserve(items.size());
    int leftOut = 0;
    for (auto& item : items) {
        const bool inside = startsWithOwn(item.Parts);
        if (inside && item.Parts.size() == own.size())
            continue;
        if (!inside || item.Parts.size() != own.size() + 1 || IsUnsafeListedName(item.Entry.Name)) {
            Log("webdav: left out [" + ShownName(item.Path) + "] from the listing of " + path +
                ": it is no name in that folder");
            ++leftOut;
            continue;
        }
        entries.push_back(std::move(item.Entry));
    }
    FLeftOut.Record(path, leftOut);
    return entries;
}

bool TKvDavFs::Stat(const std::string& APath, TKvFileEntry& AEntry) {
    const std::string path = Normalize(APath);
    if (IsRoot(path)) {
        AEntry = TKvFileEntry{};
        AEntry.IsDir = true;
        return true;
    }
    std::vector<TKvDavItem> items;
    const int status = Propfind(path, 0, nullptr, items);
    // Only an answer that says "not there" means absent: a refusal or a server error taken as
    // absent would let a copy overwrite a file nobody asked about.
    if (status == 404 || status == 410)
        return false;
    if (status != 207 && status != 200)
        throw DavStatusError(path, status);
    if (items.empty())
        throw EKvFsError(path + ": the server's answer describes nothing");
    AEntry = items.front().Entry;
    AEntry.Name = NameOf(path);
    AEntry.IsHidden = !AEntry.Name.empty() && AEntry.Name[0] == '.';
    return true;
}

std::unique_ptr<TKvDavClient> TKvDavFs::StartRead(const std::string& APath, int64_t AOffset) {
    TKvDavResponse response;
    std::vector<std::string> headers;
    if (AOffset > 0)
        headers.push_back("Range: bytes=" + std::to_string(AOffset) + "-");
    auto client = SendRequest("GET", RequestUri(APath, false), nullptr, {}, headers, response);
    const int wanted = AOffset > 0 ? 206 : 200;
    if (response.Status != wanted) {
        // A whole file where a part was asked for is not read to its end here.
        if (AOffset > 0 && response.Status == 200)
            throw EKvFsError(Normalize(APath) + ": the server cannot send part of a file");
        DrainAndRelease(std::move(client));
        throw DavStatusError(Normalize(APath), response.Status);
    }
    NoteLost(false);
    return client;
}

TKvStreamPtr TKvDavFs::OpenRead(const std::string& APath) {
    return std::make_unique<TKvDavReadStream>(shared_from_this(), StartRead(APath, 0), APath);
}

TKvStreamPtr TKvDavFs::StartUpload(const std::string& APath, int64_t ASize) {
    std::vector<std::string> headers = {"Content-Type: application/octet-stream"};
    headers.push_back(ASize < 0 ? std::string("Transfer-Encoding: chunked")
                                : "Content-Length: " + std::to_string(ASize));
    auto client = AcquireClient(nullptr, true);
    client->SendText(BuildRequest("PUT", RequestUri(APath, false), headers));
    client->BeginUpload(ASize);
    return std::make_unique<TKvDavWriteStream>(shared_from_this(), std::move(client), APath);
}

TKvStreamPtr TKvDavFs::OpenWrite(const std::string& APath) {
    return StartUpload(APath, -1);
}

TKvStreamPtr TKvDavFs::OpenWriteSized(const std::string& APath, int64_t ASize) {
    return StartUpload(APath, ASize);
}

void TKvDavFs::MakeDir(const std::string& APath) {
    const std::string path = Normalize(APath);
    if (IsRoot(path))
        return;
    TKvFileEntry entry;
    if (Stat(path, entry)) {
        if (!entry.IsDir)
            throw EKvFsError(path + ": a file with this name exists");
        return;
    }
    const std::string parent = ParentOf(path);
    if (!IsRoot(parent))
        MakeDir(parent);
    std::string answer;
    const int status = RequestText("MKCOL", RequestUri(path, true), nullptr, {}, {}, answer);
    if (IsHttpSuccess(status))
        return;
    // Another connection may have made it meanwhile.
    if (Stat(path, entry) && entry.IsDir)
        return;
    throw DavStatusError(path, status);
}

void TKvDavFs::DeleteFileAt(const std::string& APath) {
    std::string answer;
    const int status = RequestText("DELETE", RequestUri(APath, false), nullptr, {}, {}, answer);
    if (!IsHttpSuccess(status))
        throw DavStatusError(Normalize(APath), status);
}

void TKvDavFs::DeleteDirAt(const std::string& APath) {
    const std::string path = Normalize(APath);
    TKvCancelToken never;
    // A server deletes a folder with everything in it: only an empty one is asked for, and names
    // the listing left out count as something in it.
    if (!List(path, never).empty() || FLeftOut.In(path) > 0)
        throw EKvFsError(path + ": the folder is not empty");
    std::string answer;
    const int status = RequestText("DELETE", RequestUri(path, true), nullptr, {}, {}, answer);
    if (!IsHttpSuccess(status))
        throw DavStatusError(path, status);
}

void TKvDavFs::MoveOrCopy(const std::string& AMethod, const std::string& AOld,
                          const std::string& ANew, bool AOverwrite) {
    const std::string oldPath = Normalize(AOld);
    const std::string newPath = Normalize(ANew);
    // Folders are named with a trailing slash on both ends: some servers refuse a folder
    // addressed as a file.
    TKvFileEntry entry;
    const bool folder = Stat(oldPath, entry) && entry.IsDir;
    const std::string oldUri = RequestUri(oldPath, folder);
    const std::string newUri = RequestUri(newPath, folder);
    std::vector<std::string> headers = {"Destination: https://" + HostHeader() + newUri,
                                        std::string("Overwrite: ") + (AOverwrite ? "T" : "F")};
    if (AMethod == "COPY")
        headers.push_back(folder ? "Depth: infinity" : "Depth: 0");
    std::string answer;
    const int status = RequestText(AMethod, oldUri, nullptr, {}, headers, answer);
    Log("webdav: " + AMethod + " " + oldUri + " to " + newUri + " -> " + std::to_string(status) +
        " " + answer.substr(0, 300));
    if (IsHttpSuccess(status))
        return;
    if (status == 412)
        throw EKvFsError(newPath + ": it already exists");
    throw DavStatusError(oldPath, status);
}

void TKvDavFs::RenamePath(const std::string& AOld, const std::string& ANew, bool AOverwrite) {
    MoveOrCopy("MOVE", AOld, ANew, AOverwrite);
}

void TKvDavFs::CopyPath(const std::string& AOld, const std::string& ANew, bool AOverwrite) {
    MoveOrCopy("COPY", AOld, ANew, AOverwrite);
}

void TKvDavFs::SetModified(const std::string& APath, TKvDateTime AWhen) {
    int64_t seconds = 0, nanoseconds = 0;
    {
        std::lock_guard lock(FLock);
        if (FNoSetTime)
            return;
    }
    if (AWhen == 0 || !UnixFromDateTime(AWhen, seconds, nanoseconds))
        return;
    const std::time_t when = static_cast<std::time_t>(seconds);
    std::tm utc{};
    if (!::gmtime_r(&when, &utc))
        return;
    char stamp[64];
    std::strftime(stamp, sizeof stamp, "%a, %d %b %Y %H:%M:%S GMT", &utc);
    const std::string body =
        std::string("<?xml version=\"1.0\" encoding=\"utf-8\"?><D:propertyupdate "
                    "xmlns:D=\"DAV:\"><D:set><D:prop><D:getlastmodified>") +
        stamp + "</D:getlastmodified></D:prop></D:set></D:propertyupdate>";
    std::string answer;
    int status = 0;
    try {
        status = RequestText("PROPPATCH", RequestUri(APath, false), nullptr, body, {}, answer);
    } catch (const EDavLost&) {
        throw;
    } catch (const EKvCancelled&) {
        throw;
    } catch (const EKvFsError& error) {
        // The file itself arrived; only its time could not be kept.
        Log(std::string("webdav: ") + error.what());
        return;
    }
    // Most servers keep the time of the upload as a protected property; asking them again for
    // every file would only slow a copy down.
    const bool accepted = status == 207 && answer.find(" 200 ") != std::string::npos &&
                          answer.find(" 403 ") == std::string::npos &&
                          answer.find(" 409 ") == std::string::npos;
    if (!accepted && !IsHttpSuccess(status)) {
        Log("webdav: the server does not set modification times (HTTP " + std::to_string(status) +
            ")");
    }
    if (!accepted) {
        std::lock_guard lock(FLock);
        FNoSetTime = true;
    }
}

void TKvDavFs::Recycle(const std::string&) {
    throw EKvFsError("A server has no Trash");
}

TKvDavOpened OpenDav(const TKvConnector& AConn, IKvConnectUiPtr AUi, const IKvCancelToken& AToken,
                     TKvDavOptions AOptions) {
    std::string password = AConn.Secret;
    auto fs = std::make_shared<TKvDavFs>(AConn, AUi, password, std::move(AOptions));
    bool asked = false;
    int status = 0;
    for (int probe = 0; probe < 4; ++probe) {
        CheckCancelled(AToken);
        status = fs->Probe(&AToken);
        if (status != 401 || probe == 3)
            break;
        const std::string prompt =
            std::string(asked || !password.empty() ? "The password was not accepted. " : "") +
            "Password for " + AConn.User + " on " + fs->HostHeader() + ":";
        std::string typed;
        if (!AUi || !AUi->AskSecret("Log in to " + ConnectorTitle(AConn), prompt, AToken, typed))
            throw EKvCancelled();
        password = typed;
        asked = true;
        fs->SetPassword(password);
    }
    const std::string address = "https://" + fs->HostHeader() + fs->Base() + "/";
    const std::string start = fs->Normalize(std::string(TrimmedView(AConn.StartDir)));
    if ((status == 404 || status == 405 || status == 501) && !fs->IsRoot(start)) {
        Log("webdav: nothing at the root (HTTP " + std::to_string(status) +
            "), trying the start folder");
        const int there = fs->ProbePath(start, &AToken);
        if (there == 207 || there == 200)
            status = there;
    }
    if (status == 200 || status == 207) {
        TKvDavOpened opened;
        opened.Fs = fs;
        opened.TypedPassword = asked ? password : std::string();
        TKvFileEntry entry;
        opened.StartDir = "/";
        if (!fs->IsRoot(start)) {
            try {
                if (fs->Stat(start, entry) && entry.IsDir)
                    opened.StartDir = start;
            } catch (const EKvCancelled&) {
                throw;
            } catch (const EKvFsError&) {
            }
        }
        return opened;
    }
    if (status == 401)
        throw EKvFsError("Login failed: the user name or password was not accepted.");
    if (status == 404)
        throw EKvFsError(address +
                         " was not found on the server. Check the folder in the Host field.");
    if (status == 405 || status == 501) {
        const std::string allow = fs->LastAllow();
        throw EKvFsError("The server answered HTTP " + std::to_string(status) +
                         " to a WebDAV request at " + address +
                         " (it allows: " + (allow.empty() ? std::string("not said") : allow) +
                         "). WebDAV may only be on a folder of the server: put it in the Host "
                         "field (https://host/folder) or in the Start folder. Details are in " +
                         LogPath() + ".");
    }
    throw DavStatusError(address, status);
}

} // namespace kv
