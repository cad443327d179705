// The file system of WebDAV connections over HTTPS: a pool of keep-alive connections, every
// request through one routine that logs in (Basic or Digest), follows redirects on the same
// server and retries once on a connection the server closed while it was idle.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Kv.ConnectUi.h"
#include "Kv.Connectors.h"
#include "Kv.Dav.Client.h"
#include "Kv.FileSystem.h"
#include "Kv.Net.Pool.h"
#include "Kv.ServerPaths.h"

namespace kv {

struct TKvDavOptions {
    // Where certificates are pinned; empty: the data folder's known_hosts.txt.
    std::string KnownHostsFile;
    int HeadMs = KHttpHeadMs;
    int BodyMs = KHttpBodyMs;
};

// Idle connections kept per file system.
inline constexpr size_t KDavMaxIdle = 4;
// Uploads take only connections returned more recently than this: a PUT cannot be retried.
inline constexpr uint64_t KDavFreshMs = 2000;

enum class TKvDavAuth { daNone, daBasic, daDigest };
using enum TKvDavAuth;

class TKvDavFs : public IKvFileSystem,
                 public IKvFolderLeftOut,
                 public IKvSizedWrite,
                 public IKvDirectWrite,
                 public IKvConnectionState,
                 public std::enable_shared_from_this<TKvDavFs> {
public:
    // Raises EKvFsError for an empty Host field, or a user or host that would break a header.
    TKvDavFs(const TKvConnector& AConn, IKvConnectUiPtr AUi, std::string APassword,
             TKvDavOptions AOptions = {});
    ~TKvDavFs() override;

    void SetPassword(const std::string& AValue);
    // PROPFIND with depth 0 on the root; the HTTP status.
    int Probe(const IKvCancelToken* AToken);
    // Status of a depth-0 PROPFIND of APath (for the start folder).
    int ProbePath(const std::string& APath, const IKvCancelToken* AToken);
    // "host", "[v6]" or "host:port" as the Host header carries it.
    std::string HostHeader() const;
    const std::string& Base() const { return FBase; }
    std::string LastAllow();
    size_t IdleCount();
    TKvDavAuth Auth();
    // Server-side copy with the same overwrite rules as RenamePath.
    void CopyPath(const std::string& AOld, const std::string& ANew, bool AOverwrite);

    std::string Id() const override { return FId; }
    bool ReadOnly() const override { return false; }
    std::string DisplayPrefix() const override { return FLabel + ":"; }
    std::string Normalize(const std::string& APath) const override;
    std::string Resolve(const std::string& ABaseDir, const std::string& AInput) const override;
    std::string Join(const std::string& ADir, const std::string& AName) const override;
    std::string ParentOf(const std::string& APath) const override;
    std::string NameOf(const std::string& APath) const override;
    bool IsRoot(const std::string& APath) const override;
    bool SamePath(const std::string& A, const std::string& B) const override;

    TKvFileEntries List(const std::string& APath, const IKvCancelToken& AToken) override;
    int LeftOutIn(const std::string& AFolder) const override { return FLeftOut.In(Normalize(AFolder)); }
    bool Stat(const std::string& APath, TKvFileEntry& AEntry) override;
    TKvStreamPtr OpenRead(const std::string& APath) override;
    TKvStreamPtr OpenWrite(const std::string& APath) override;
    TKvStreamPtr OpenWriteSized(const std::string& APath, int64_t ASize) override;
    void MakeDir(const std::string& APath) override;
    void DeleteFileAt(const std::string& APath) override;
    void DeleteDirAt(const std::string& APath) override;
    void RenamePath(const std::string& AOld, const std::string& ANew, bool AOverwrite) override;
    void SetModified(const std::string& APath, TKvDateTime AWhen) override;
    bool CanRenameDirect(const std::string&, const std::string&) override { return true; }
    bool CanRecycle(const std::string&) override { return false; }
    void Recycle(const std::string& APath) override;
    int64_t FreeSpace(const std::string&) override { return -1; }

    // A download whose connection died (not the server's refusal), until the next one starts.
    // Uploads always start over: a PUT replaces the whole file.
    void NoteLost(bool ALost) { FLost = ALost; }
    bool ConnectionLost() const override { return FLost; }
    // A GET of APath with its body still to read, from AOffset on ("Range"); raises EKvFsError,
    // also when the server cannot send a part.
    std::unique_ptr<TKvDavClient> StartRead(const std::string& APath, int64_t AOffset);

    // The pool and the request routine, for the streams.
    std::unique_ptr<TKvDavClient> AcquireClient(const IKvCancelToken* AToken, bool AFresh);
    void ReleaseClient(std::unique_ptr<TKvDavClient> AClient);
    void DrainAndRelease(std::unique_ptr<TKvDavClient> AClient);
    // Sends a request (authentication, redirects, one retry) and returns the connection with
    // the head read; the body is still to be read.
    std::unique_ptr<TKvDavClient> SendRequest(const std::string& AMethod, std::string AUri,
                                              const IKvCancelToken* AToken,
                                              const std::string& ABody,
                                              std::vector<std::string> AHeaders,
                                              TKvDavResponse& AResponse);
    // The same, with the whole body read.
    int RequestText(const std::string& AMethod, const std::string& AUri,
                    const IKvCancelToken* AToken, const std::string& ABody,
                    const std::vector<std::string>& AHeaders, std::string& AAnswer,
                    TKvDavResponse* AResponse = nullptr);
    std::string BuildRequest(const std::string& AMethod, const std::string& AUri,
                             const std::vector<std::string>& AHeaders);
    // After a 401: true when another attempt with the new scheme makes sense.
    bool UpdateAuth(const TKvDavResponse& AResponse);
    std::string RequestUri(const std::string& APath, bool AFolder) const;
    const TKvDavOptions& Options() const { return FOptions; }

private:
    std::unique_ptr<TKvDavClient> NewClient(const IKvCancelToken* AToken);
    std::string AuthorizationHeader(const std::string& AMethod, const std::string& AUri);
    std::string ServerPath(const std::string& APath) const;
    int Propfind(const std::string& APath, int ADepth, const IKvCancelToken* AToken,
                 std::vector<TKvDavItem>& AItems);
    TKvStreamPtr StartUpload(const std::string& APath, int64_t ASize);
    void MoveOrCopy(const std::string& AMethod, const std::string& AOld, const std::string& ANew,
                    bool AOverwrite);

    std::string FHost;
    int FPort = 443;
    std::string FBase;
    std::string FUser;
    std::string FPassword;
    IKvConnectUiPtr FUi;
    TKvDavOptions FOptions;
    bool FManualTls = false;
    std::string FId;
    std::string FLabel;
    std::mutex FLock;
    TKvIdlePool<TKvDavClient> FIdle{KDavMaxIdle};
    std::atomic<bool> FLost{false};
    TKvLeftOutByFolder FLeftOut;
    TKvDavAuth FAuth = daNone;
    std::string FRealm, FNonce, FOpaque, FAlgorithm, FQop;
    uint32_t FNc = 0;
    std::string FLastAllow;
    // The server refused to set a modification time once: later files are not asked for.
    bool FNoSetTime = false;
};

struct TKvDavOpened {
    std::shared_ptr<TKvDavFs> Fs;
    // The password the user typed (the caller may save it); empty when none was asked.
    std::string TypedPassword;
    // The normalized start folder.
    std::string StartDir;
};

// Probes the server, asks AUi for a password while the login is refused (AUi may be null: a
// question then counts as cancelled), and explains a wrong folder in words.
TKvDavOpened OpenDav(const TKvConnector& AConn, IKvConnectUiPtr AUi, const IKvCancelToken& AToken,
                     TKvDavOptions AOptions = {});

} // namespace kv
