// The file system of FTP and FTPS connections: a small pool of logged-in clients, each
// operation on one of them, and streams that hold a client for their whole life.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Kv.ConnectUi.h"
#include "Kv.Connectors.h"
#include "Kv.FileSystem.h"
#include "Kv.Ftp.Client.h"
#include "Kv.Ftp.Listings.h"
#include "Kv.Net.Pool.h"

namespace kv {

inline constexpr uint64_t KFtpKeepaliveMs = 60000;

struct TKvFtpOptions {
    TKvFtpLimits Limits;
    // Where certificates are pinned; empty: the data folder's known_hosts.txt.
    std::string KnownHostsFile;
    // How long a folder's listing answers for it (tests make it long, to count commands).
    uint64_t ListingKeepMs = KFtpListingKeepMs;
    // An idle control connection says NOOP this often, so that firewalls and the server's
    // idle limit keep it while a panel shows the server.
    uint64_t KeepaliveMs = KFtpKeepaliveMs;
};

// Idle connections kept per file system.
inline constexpr size_t KFtpMaxIdle = 3;
// A connection returned more recently than this is reused without a NOOP.
inline constexpr uint64_t KFtpFreshMs = 10000;

class TKvFtpFileSystem : public IKvFileSystem,
                         public IKvFolderLeftOut,
                         public IKvResumeWrite,
                         public IKvConnectionState,
                         public std::enable_shared_from_this<TKvFtpFileSystem> {
public:
    TKvFtpFileSystem(TKvConnector AConn, std::string APassword, IKvConnectUiPtr AUi,
                     bool AManualTls, TKvFtpOptions AOptions = {});
    ~TKvFtpFileSystem() override;

    // Puts a logged-in client into the pool.
    void AddIdle(std::unique_ptr<TKvFtpClient> AClient);
    size_t IdleCount();
    bool ManualTls();

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
    // REST and STOR: the server writes on at AOffset.
    TKvStreamPtr OpenWriteAt(const std::string& APath, int64_t AOffset) override;
    void MakeDir(const std::string& APath) override;
    void DeleteFileAt(const std::string& APath) override;
    void DeleteDirAt(const std::string& APath) override;
    void RenamePath(const std::string& AOld, const std::string& ANew, bool AOverwrite) override;
    void SetModified(const std::string& APath, TKvDateTime AWhen) override;
    bool CanRenameDirect(const std::string&, const std::string&) override { return true; }
    bool CanRecycle(const std::string&) override { return false; }
    void Recycle(const std::string& APath) override;
    int64_t FreeSpace(const std::string&) override { return -1; }

    // The pool, for streams and tests.
    std::unique_ptr<TKvFtpClient> AcquireClient(const IKvCancelToken* AToken);
    void ReleaseClient(std::unique_ptr<TKvFtpClient> AClient);
    // An upload ended: complete with ASize bytes, or not (the server may hold part of it).
    void Wrote(const std::string& APath, int64_t ASize, bool AComplete);
    // NOOP on the idle connections that have been quiet for the keepalive time; those that do
    // not answer are closed. Called by the process-wide keepalive thread.
    void KeepIdleAlive();
    // A transfer ended because its connection died (not by the server's refusal), until the
    // next transfer starts.
    void NoteLost(bool ALost) { FLost = ALost; }
    bool ConnectionLost() const override { return FLost; }
    // A client with "RETR" or "STOR" of APath started at AOffset; raises EKvFsError.
    std::unique_ptr<TKvFtpClient> StartTransfer(const std::string& APath, bool AWrite,
                                                int64_t AOffset);

private:
    std::unique_ptr<TKvFtpClient> NewClient(const IKvCancelToken* AToken);
    template <typename TAction>
    auto RunWithClient(const std::string& AContext, const IKvCancelToken* AToken,
                       TAction&& AAction);
    TKvFileEntries ListWith(TKvFtpClient& AClient, const std::string& APath,
                            const IKvCancelToken* AToken);
    // A file's entry asked of the server without a listing (MLST, or SIZE and MDTM); false when
    // the server cannot say or says no.
    bool AskEntry(TKvFtpClient& AClient, const std::string& APath, TKvFileEntry& AEntry);
    void DeleteDirWith(const std::string& AContext, const std::string& APath);
    bool DoRename(const std::string& AOld, const std::string& ANew, std::string& AReason);
    TKvStreamPtr OpenTransfer(const std::string& APath, bool AWrite, int64_t AOffset = 0);

    TKvConnector FConn;
    std::string FPassword;
    IKvConnectUiPtr FUi;
    TKvFtpOptions FOptions;
    std::string FId;
    std::string FLabel;
    std::mutex FLock;
    bool FManualTls;
    TKvIdlePool<TKvFtpClient> FIdle{KFtpMaxIdle};
    TKvLeftOutByFolder FLeftOut;
    TKvFtpListings FListings{FOptions.ListingKeepMs};
    // Whether "MDTM time path" sets a time here: 0 not tried yet, 1 it did, -1 it was refused
    // before it ever worked (the server reads it as a file name, or does not allow it).
    std::atomic<int> FMdtmWrite{0};
    std::atomic<bool> FLost{false};
};

struct TKvFtpOpened {
    std::shared_ptr<TKvFtpFileSystem> Fs;
    // The password the user typed (the caller may save it); empty when none was asked.
    std::string TypedPassword;
    // The normalized start folder.
    std::string StartDir;
};

// Connects and logs in the first client, asking AUi for a password when needed (AUi may be null:
// a question then counts as cancelled).
TKvFtpOpened OpenFtp(const TKvConnector& AConn, IKvConnectUiPtr AUi, const IKvCancelToken& AToken,
                     TKvFtpOptions AOptions = {});

} // namespace kv
