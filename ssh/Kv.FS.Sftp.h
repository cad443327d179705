// Servers reached over SSH, as a file system: one logged-in session with the SFTP subsystem
// started, shared by every worker that lists, transfers or edits on it (each libssh2 exchange
// holds the session lock). When the connection dies under it, the next call logs in again with
// the login that worked and goes on.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "Kv.FileSystem.h"
#include "Kv.ServerPaths.h"
#include "Kv.Ssh.Session.h"

struct _LIBSSH2_SFTP_ATTRIBUTES;

namespace kv {

class TKvSftpFileSystem final : public IKvRemoteExec,
                                public IKvTryList,
                                public IKvFileMode,
                                public IKvSymlinks,
                                public IKvFileIdentity,
                                public IKvFileOwner,
                                public IKvFolderLeftOut,
                                public IKvConnectionState,
                                public IKvResumeWrite,
                                public IKvFileSystem,
                                public std::enable_shared_from_this<TKvSftpFileSystem> {
public:
    // Takes a logged-in session whose SFTP subsystem is started.
    TKvSftpFileSystem(TKvSshSessionPtr ASession, const TKvConnector& AConn);

    // How to connect again when the connection is lost: the connection as the user gave it
    // (with the password that worked), asking AUi (may be null) only what the login must ask.
    void SetLogin(const TKvConnector& ALogin, IKvConnectUiPtr AUi, int AConnectLimitMs);

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
    // Links are followed (one request: IsLink stays false; listings tell links apart).
    bool Stat(const std::string& APath, TKvFileEntry& AEntry) override;
    TKvStreamPtr OpenRead(const std::string& APath) override;
    TKvStreamPtr OpenWrite(const std::string& APath) override;
    TKvStreamPtr OpenWriteAt(const std::string& APath, int64_t AOffset) override;
    // Makes missing parents too.
    void MakeDir(const std::string& APath) override;
    void DeleteFileAt(const std::string& APath) override;
    // A link to a folder is unlinked; its target stays.
    void DeleteDirAt(const std::string& APath) override;
    // SFTP version 3 servers refuse to rename onto an existing name: with AOverwrite the old
    // target steps aside under a ".kvold-" name and comes back if the rename still fails; when
    // it cannot come back, the error names where it is.
    void RenamePath(const std::string& AOld, const std::string& ANew, bool AOverwrite) override;
    void SetModified(const std::string& APath, TKvDateTime AWhen) override;
    bool CanRenameDirect(const std::string&, const std::string&) override { return true; }
    bool CanRecycle(const std::string&) override { return false; }
    void Recycle(const std::string& APath) override;
    // From the statvfs@openssh.com extension when the server has it; -1 otherwise.
    int64_t FreeSpace(const std::string& APath) override;

    bool TryList(const std::string& APath, const IKvCancelToken& AToken,
                 TKvFileEntries& AEntries) override;
    int LeftOutIn(const std::string& AFolder) const override { return FLeftOut.In(Normalize(AFolder)); }
    bool CanRead(const std::string&) override { return true; }

    bool ConnectionLost() const override;

    bool GetMode(const std::string& APath, uint32_t& AMode) override;
    void SetMode(const std::string& APath, uint32_t AMode) override;

    // The link's own text, never followed; false when the path is no link.
    bool ReadLink(const std::string& APath, std::string& ATarget) override;
    void MakeLink(const std::string& APath, const std::string& ATarget) override;

    // By the server's canonical paths (links resolved): hard links to one file are not seen.
    bool SameFile(const std::string& A, const std::string& B) override;
    bool Contains(const std::string& AFolder, const std::string& APath) override;

    // Through the server's own stat and chown commands, which know its user names.
    bool GetOwner(const std::string& APath, std::string& AUser, std::string& AGroup) override;
    void SetOwner(const std::string& APath, const std::string& AUser, const std::string& AGroup,
                  bool ARecursive) override;

    // Runs the command in an "exec" channel while holding the session lock; the output is
    // standard output then standard error, trimmed. Returns the exit status.
    int Exec(const std::string& ACommand, std::string& AOutput) override;

    // The server's canonical absolute path; "/" when the server cannot tell.
    std::string RealPathOf(const std::string& APath);

private:
    using TSession = std::shared_ptr<TKvSshSession>;
    TSession Current() const;
    // The session to use: the current one, or a new one when the current one is broken (only
    // one caller connects; the others wait for it and use its session).
    TSession Live();

    // False with the reason in AError when the folder cannot be opened or read.
    bool ListInto(const std::string& APath, const IKvCancelToken& AToken, TKvFileEntries& AEntries,
                  std::string& AError);
    // False when the path is not there; raises when the connection is lost, which says nothing
    // about the path.
    bool StatAttrs(const std::string& APath, int AType, _LIBSSH2_SFTP_ATTRIBUTES& AAttrs);
    void SetStat(const std::string& APath, _LIBSSH2_SFTP_ATTRIBUTES& AAttrs);
    int RenameRaw(TKvSshSession& ASess, const std::string& AOld, const std::string& ANew);
    // One READLINK or REALPATH request for the path as given; false when the server has no
    // answer.
    bool PathQuery(const std::string& APath, int AType, std::string& AResult);
    bool ReadLinkRaw(const std::string& APath, std::string& ATarget);
    // The canonical path, or false when the server cannot resolve it (a missing path).
    bool TryRealPath(const std::string& APath, std::string& AResult);
    [[noreturn]] static void Fail(TKvSshSession& ASess, const std::string& AContext);

    mutable std::mutex FSessLock;
    TSession FSess;
    std::mutex FReconnectLock;
    bool FCanReconnect = false;
    TKvConnector FLogin;
    IKvConnectUiPtr FUi;
    int FConnectLimitMs = KSshConnectLimitMs;
    std::string FId;
    std::string FLabel;
    TKvLeftOutByFolder FLeftOut;
};

// The design's short name for it.
using TKvSftpFs = TKvSftpFileSystem;

// A session to the connection, logged in (asking through AUi, which may be null), with SFTP
// started; also the secret that the login learned and the folder to start in (StartDir when the
// server resolves it, otherwise the login folder).
IKvFileSystemPtr OpenSftp(const TKvConnector& AConn, const IKvConnectUiPtr& AUi,
                          const IKvCancelToken& AToken, std::string& ALearnedSecret,
                          std::string& AStartPath, int AConnectLimitMs = KSshConnectLimitMs);

// The login folder when AFs is an SFTP file system; empty otherwise.
std::string SftpHomeOf(const IKvFileSystemPtr& AFs);

// The entry for a name and its SFTP attributes (times in local time, sizes clamped).
TKvFileEntry SftpEntryOf(const std::string& AName, const _LIBSSH2_SFTP_ATTRIBUTES& AAttrs);
// Whether a server reads SFTP's SYMLINK request as the protocol draft has it (new link, then
// its text) rather than as OpenSSH's sftp-server does (text, then new link), by its banner.
bool SftpSymlinkInDraftOrder(const std::string& AServerBanner);

} // namespace kv
