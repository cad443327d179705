#include "Kv.FS.Sftp.h"

#include <cstring>
#include <openssl/rand.h>

#include "Kv.Libssh2.h"
#include "Kv.Log.h"
#include "Kv.ServerPaths.h"
#include "Kv.Sftp.Streams.h"
#include "Kv.Text.h"

namespace kv {

namespace {

constexpr int64_t KMaxSize = INT64_MAX;
constexpr unsigned KNameBuffer = 4096;
constexpr unsigned KPathBuffer = 4096;
// No flag combination libssh2 writes: see ListInto.
constexpr unsigned long KNoEntryMark = ~0UL;

unsigned Len(const std::string& AText) {
    return static_cast<unsigned>(AText.size());
}

std::string HexUpper8() {
    unsigned char bytes[4];
    RAND_bytes(bytes, sizeof(bytes));
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    for (unsigned char b : bytes) {
        text += digits[b >> 4];
        text += digits[b & 15];
    }
    return text;
}

bool IsLinkMode(const LIBSSH2_SFTP_ATTRIBUTES& AAttrs) {
    return (AAttrs.flags & LIBSSH2_SFTP_ATTR_PERMISSIONS) &&
           (AAttrs.permissions & 0xF000) == 0xA000;
}

} // namespace

TKvFileEntry SftpEntryOf(const std::string& AName, const LIBSSH2_SFTP_ATTRIBUTES& AAttrs) {
    TKvFileEntry entry;
    entry.Name = AName;
    entry.IsHidden = !AName.empty() && AName[0] == '.';
    if (AAttrs.flags & LIBSSH2_SFTP_ATTR_PERMISSIONS) {
        unsigned long type = AAttrs.permissions & 0xF000;
        entry.IsDir = type == 0x4000;
        entry.IsLink = type == 0xA000;
        entry.IsReadOnly = (AAttrs.permissions & 0200) == 0;
    }
    if ((AAttrs.flags & LIBSSH2_SFTP_ATTR_SIZE) && !entry.IsDir)
        entry.Size = AAttrs.filesize >= static_cast<libssh2_uint64_t>(KMaxSize)
                         ? KMaxSize
                         : static_cast<int64_t>(AAttrs.filesize);
    if (AAttrs.flags & LIBSSH2_SFTP_ATTR_ACMODTIME)
        entry.Modified = DateTimeFromUnix(static_cast<int64_t>(AAttrs.mtime));
    return entry;
}

TKvSftpFileSystem::TKvSftpFileSystem(TKvSshSessionPtr ASession, const TKvConnector& AConn)
    : FSess(std::move(ASession)),
      FId("sftp:" + LowerAscii(AConn.User + "@" + AConn.Host + ":" + std::to_string(AConn.Port))),
      FLabel(ConnectorTitle(AConn)) {}

void TKvSftpFileSystem::SetLogin(const TKvConnector& ALogin, IKvConnectUiPtr AUi,
                                 int AConnectLimitMs) {
    std::lock_guard lock(FReconnectLock);
    FLogin = ALogin;
    FUi = std::move(AUi);
    FConnectLimitMs = AConnectLimitMs;
    FCanReconnect = true;
}

TKvSftpFileSystem::TSession TKvSftpFileSystem::Current() const {
    std::lock_guard lock(FSessLock);
    return FSess;
}

bool TKvSftpFileSystem::ConnectionLost() const {
    auto sess = Current();
    return sess && sess->Broken();
}

TKvSftpFileSystem::TSession TKvSftpFileSystem::Live() {
    TSession sess = Current();
    if (!sess->Broken())
        return sess;
    std::lock_guard reconnecting(FReconnectLock);
    sess = Current();
    if (!sess->Broken() || !FCanReconnect)
        return sess;
    Log("sftp: the connection to " + FLabel + " was lost; connecting again");
    auto fresh = std::make_shared<TKvSshSession>();
    fresh->SetConnectLimit(FConnectLimitMs);
    // Calls that fail here keep the old session, still broken: the next one tries again.
    TKvCancelToken never;
    try {
        fresh->Connect(FLogin, FUi, never);
        fresh->StartSftp();
    } catch (const EKvFsError& e) {
        throw EKvFsError("The connection to " + FLabel + " was lost and could not be made again: " +
                         e.what());
    }
    Log("sftp: connected to " + FLabel + " again");
    std::lock_guard lock(FSessLock);
    FSess = fresh;
    return fresh;
}

void TKvSftpFileSystem::Fail(TKvSshSession& ASess, const std::string& AContext) {
    throw EKvFsError(AContext + ": " + ASess.LastError());
}

std::string TKvSftpFileSystem::Normalize(const std::string& APath) const {
    return JoinServerPath(SplitServerPath(APath));
}

std::string TKvSftpFileSystem::Resolve(const std::string& ABaseDir,
                                       const std::string& AInput) const {
    if (!AInput.empty() && AInput[0] == '/')
        return Normalize(AInput);
    return Normalize(ABaseDir + "/" + AInput);
}

std::string TKvSftpFileSystem::Join(const std::string& ADir, const std::string& AName) const {
    return !ADir.empty() && ADir.back() == '/' ? ADir + AName : ADir + "/" + AName;
}

std::string TKvSftpFileSystem::ParentOf(const std::string& APath) const {
    const auto parts = SplitServerPath(APath);
    return parts.empty() ? std::string() : JoinServerPath(parts, parts.size() - 1);
}

std::string TKvSftpFileSystem::NameOf(const std::string& APath) const {
    auto parts = SplitServerPath(APath);
    return parts.empty() ? std::string() : parts.back();
}

bool TKvSftpFileSystem::IsRoot(const std::string& APath) const {
    return SplitServerPath(APath).empty();
}

bool TKvSftpFileSystem::SamePath(const std::string& A, const std::string& B) const {
    return Normalize(A) == Normalize(B);
}

bool TKvSftpFileSystem::ListInto(const std::string& APath, const IKvCancelToken& AToken,
                                 TKvFileEntries& AEntries, std::string& AError) {
    const auto& api = Ssh2();
    const std::string path = Normalize(APath);
    AEntries.clear();
    const TSession sess = Live();
    std::lock_guard lock(sess->Mutex());
    LIBSSH2_SFTP_HANDLE* dir =
        api.libssh2_sftp_open_ex(sess->Sftp(), path.data(), Len(path), 0, 0, LIBSSH2_SFTP_OPENDIR);
    if (!dir) {
        AError = sess->LastError();
        return false;
    }
    struct TCloser {
        LIBSSH2_SFTP_HANDLE* Handle;
        TKvSshSession& Sess;
        // Closed also on a dead connection: only closing frees the handle's memory.
        ~TCloser() {
            Sess.ShortenTimeoutIfBroken();
            Ssh2().libssh2_sftp_close_handle(Handle);
        }
    } closer{dir, *sess};

    TKvFileEntries entries;
    size_t count = 0;
    int leftOut = 0;
    char name[KNameBuffer];
    for (;;) {
        // libssh2 answers 0 both at the end of the folder and for an entry with an empty name;
        // only an entry overwrites the attributes, so a mark in them tells the two apart.
        LIBSSH2_SFTP_ATTRIBUTES attrs{};
        attrs.flags = KNoEntryMark;
        int length = api.libssh2_sftp_readdir_ex(dir, name, sizeof(name), nullptr, 0, &attrs);
        if (length == 0 && attrs.flags == KNoEntryMark)
            break;
        if (length < 0) {
            AError = sess->LastError();
            return false;
        }
        std::string_view text(name, static_cast<size_t>(length));
        if (text == "." || text == "..")
            continue;
        if (IsUnsafeListedName(text)) {
            Log("sftp: left out the name [" + ShownName(text) + "] in " + path +
                ": it cannot be a file name");
            ++leftOut;
            continue;
        }
        TKvFileEntry entry = SftpEntryOf(std::string(text), attrs);
        if (IsLinkMode(attrs)) {
            // The entry stays a link; what it points to decides whether it opens as a folder.
            std::string target = Join(path, entry.Name);
            LIBSSH2_SFTP_ATTRIBUTES to{};
            if (api.libssh2_sftp_stat_ex(sess->Sftp(), target.data(), Len(target),
                                         LIBSSH2_SFTP_STAT, &to) == 0) {
                TKvFileEntry followed = SftpEntryOf(entry.Name, to);
                entry.IsDir = followed.IsDir;
                entry.Size = followed.IsDir ? 0
                                            : ((to.flags & LIBSSH2_SFTP_ATTR_SIZE) ? followed.Size
                                                                                   : entry.Size);
            }
        }
        if (count == entries.size())
            entries.resize(2 * count + 64);
        entries[count++] = std::move(entry);
        if (count % 256 == 0)
            CheckCancelled(AToken);
    }
    entries.resize(count);
    AEntries = std::move(entries);
    FLeftOut.Record(path, leftOut);
    return true;
}

TKvFileEntries TKvSftpFileSystem::List(const std::string& APath, const IKvCancelToken& AToken) {
    TKvFileEntries entries;
    std::string error;
    if (!ListInto(APath, AToken, entries, error))
        throw EKvFsError(APath + ": " + error);
    return entries;
}

bool TKvSftpFileSystem::TryList(const std::string& APath, const IKvCancelToken& AToken,
                                TKvFileEntries& AEntries) {
    std::string error;
    if (ListInto(APath, AToken, AEntries, error))
        return true;
    AEntries.clear();
    return false;
}

bool TKvSftpFileSystem::StatAttrs(const std::string& APath, int AType,
                                  LIBSSH2_SFTP_ATTRIBUTES& AAttrs) {
    std::string path = Normalize(APath);
    AAttrs = {};
    const TSession sess = Live();
    std::lock_guard lock(sess->Mutex());
    if (Ssh2().libssh2_sftp_stat_ex(sess->Sftp(), path.data(), Len(path), AType, &AAttrs) == 0)
        return true;
    const std::string error = sess->LastError();
    if (sess->Broken())
        throw EKvFsError(APath + ": " + error);
    return false;
}

bool TKvSftpFileSystem::Stat(const std::string& APath, TKvFileEntry& AEntry) {
    LIBSSH2_SFTP_ATTRIBUTES attrs;
    if (!StatAttrs(APath, LIBSSH2_SFTP_STAT, attrs)) {
        AEntry = {};
        return false;
    }
    AEntry = SftpEntryOf(NameOf(APath), attrs);
    return true;
}

TKvStreamPtr TKvSftpFileSystem::OpenRead(const std::string& APath) {
    std::string path = Normalize(APath);
    const TSession sess = Live();
    std::lock_guard lock(sess->Mutex());
    LIBSSH2_SFTP_HANDLE* handle = Ssh2().libssh2_sftp_open_ex(
        sess->Sftp(), path.data(), Len(path), LIBSSH2_FXF_READ, 0, LIBSSH2_SFTP_OPENFILE);
    if (!handle)
        Fail(*sess, APath);
    return std::make_unique<TKvSftpReadStream>(shared_from_this(), sess, handle, APath);
}

TKvStreamPtr TKvSftpFileSystem::OpenWrite(const std::string& APath) {
    std::string path = Normalize(APath);
    const TSession sess = Live();
    std::lock_guard lock(sess->Mutex());
    LIBSSH2_SFTP_HANDLE* handle = Ssh2().libssh2_sftp_open_ex(
        sess->Sftp(), path.data(), Len(path),
        LIBSSH2_FXF_WRITE | LIBSSH2_FXF_CREAT | LIBSSH2_FXF_TRUNC, 0644, LIBSSH2_SFTP_OPENFILE);
    if (!handle)
        Fail(*sess, APath);
    return std::make_unique<TKvSftpWriteStream>(shared_from_this(), sess, handle, APath);
}

TKvStreamPtr TKvSftpFileSystem::OpenWriteAt(const std::string& APath, int64_t AOffset) {
    std::string path = Normalize(APath);
    const auto& api = Ssh2();
    const TSession sess = Live();
    std::lock_guard lock(sess->Mutex());
    LIBSSH2_SFTP_HANDLE* handle = api.libssh2_sftp_open_ex(
        sess->Sftp(), path.data(), Len(path), LIBSSH2_FXF_WRITE, 0, LIBSSH2_SFTP_OPENFILE);
    if (!handle)
        Fail(*sess, APath);
    auto stream =
        std::make_unique<TKvSftpWriteStream>(shared_from_this(), sess, handle, APath, AOffset);
    // Bytes past the offset would stay at the end of the file: they go.
    LIBSSH2_SFTP_ATTRIBUTES attrs{};
    if (!api.libssh2_sftp_fstat_ex || api.libssh2_sftp_fstat_ex(handle, &attrs, 0) != 0)
        Fail(*sess, APath);
    if (!(attrs.flags & LIBSSH2_SFTP_ATTR_SIZE) ||
        attrs.filesize != static_cast<libssh2_uint64_t>(AOffset)) {
        attrs = {};
        attrs.flags = LIBSSH2_SFTP_ATTR_SIZE;
        attrs.filesize = static_cast<libssh2_uint64_t>(AOffset);
        if (api.libssh2_sftp_fstat_ex(handle, &attrs, 1) != 0)
            Fail(*sess, APath);
    }
    api.libssh2_sftp_seek64(handle, static_cast<libssh2_uint64_t>(AOffset));
    return stream;
}

void TKvSftpFileSystem::MakeDir(const std::string& APath) {
    std::string path = Normalize(APath);
    if (IsRoot(path))
        return;
    TKvFileEntry entry;
    if (Stat(path, entry)) {
        if (entry.IsDir)
            return;
        throw EKvFsError(path + ": a file with this name exists");
    }
    std::string parent = ParentOf(path);
    if (!IsRoot(parent))
        MakeDir(parent);
    const TSession sess = Live();
    std::lock_guard lock(sess->Mutex());
    if (Ssh2().libssh2_sftp_mkdir_ex(sess->Sftp(), path.data(), Len(path), 0755) != 0) {
        std::string error = sess->LastError();
        if (Stat(path, entry) && entry.IsDir)
            return; // made by someone else meanwhile
        throw EKvFsError(path + ": " + error);
    }
}

void TKvSftpFileSystem::DeleteFileAt(const std::string& APath) {
    std::string path = Normalize(APath);
    const TSession sess = Live();
    std::lock_guard lock(sess->Mutex());
    if (Ssh2().libssh2_sftp_unlink_ex(sess->Sftp(), path.data(), Len(path)) != 0)
        Fail(*sess, APath);
}

void TKvSftpFileSystem::DeleteDirAt(const std::string& APath) {
    std::string path = Normalize(APath);
    LIBSSH2_SFTP_ATTRIBUTES attrs;
    const bool link = StatAttrs(path, LIBSSH2_SFTP_LSTAT, attrs) && IsLinkMode(attrs);
    const auto& api = Ssh2();
    const TSession sess = Live();
    std::lock_guard lock(sess->Mutex());
    int rc = link ? api.libssh2_sftp_unlink_ex(sess->Sftp(), path.data(), Len(path))
                  : api.libssh2_sftp_rmdir_ex(sess->Sftp(), path.data(), Len(path));
    if (rc != 0)
        Fail(*sess, APath);
}

int TKvSftpFileSystem::RenameRaw(TKvSshSession& ASess, const std::string& AOld,
                                 const std::string& ANew) {
    std::string from = Normalize(AOld), to = Normalize(ANew);
    return Ssh2().libssh2_sftp_rename_ex(ASess.Sftp(), from.data(), Len(from), to.data(), Len(to),
                                         LIBSSH2_SFTP_RENAME_ATOMIC | LIBSSH2_SFTP_RENAME_NATIVE);
}

void TKvSftpFileSystem::RenamePath(const std::string& AOld, const std::string& ANew,
                                   bool AOverwrite) {
    // One session for the whole exchange: a reconnect in the middle must not split it.
    const TSession sess = Live();
    TKvSshSession& on = *sess;
    std::lock_guard lock(on.Mutex());
    if (RenameRaw(on, AOld, ANew) == 0)
        return;
    std::string error = on.LastError();
    if (on.Broken())
        throw EKvFsError(AOld + ": " + error);
    LIBSSH2_SFTP_ATTRIBUTES existing{};
    const std::string target = Normalize(ANew);
    if (!AOverwrite || Ssh2().libssh2_sftp_stat_ex(on.Sftp(), target.data(), Len(target),
                                                   LIBSSH2_SFTP_STAT, &existing) != 0)
        throw EKvFsError(AOld + ": " + error);
    std::string backup = target + ".kvold-" + HexUpper8();
    if (RenameRaw(on, ANew, backup) != 0)
        throw EKvFsError(ANew + ": the old file could not be replaced: " + on.LastError());
    if (RenameRaw(on, AOld, ANew) != 0) {
        error = on.LastError();
        // The user's file survives only under the made-up name then: say where it is.
        if (RenameRaw(on, backup, ANew) != 0)
            throw EKvFsError(ANew + ": could not be replaced: " + error +
                             ". The old file could not be put back and is now " + backup);
        throw EKvFsError(AOld + ": " + error);
    }
    Ssh2().libssh2_sftp_unlink_ex(on.Sftp(), backup.data(), Len(backup));
}

void TKvSftpFileSystem::SetStat(const std::string& APath, LIBSSH2_SFTP_ATTRIBUTES& AAttrs) {
    std::string path = Normalize(APath);
    const TSession sess = Live();
    std::lock_guard lock(sess->Mutex());
    if (Ssh2().libssh2_sftp_stat_ex(sess->Sftp(), path.data(), Len(path), LIBSSH2_SFTP_SETSTAT,
                                    &AAttrs) != 0)
        Fail(*sess, APath);
}

void TKvSftpFileSystem::SetModified(const std::string& APath, TKvDateTime AWhen) {
    if (AWhen == 0)
        return;
    int64_t seconds = 0, nanoseconds = 0;
    if (!UnixFromDateTime(AWhen, seconds, nanoseconds) || seconds < 0 || seconds > 4294967295LL)
        return;
    LIBSSH2_SFTP_ATTRIBUTES attrs{};
    attrs.flags = LIBSSH2_SFTP_ATTR_ACMODTIME;
    attrs.atime = attrs.mtime = static_cast<unsigned long>(seconds);
    SetStat(APath, attrs);
}

void TKvSftpFileSystem::Recycle(const std::string&) {
    throw EKvFsError("A server has no Trash");
}

int64_t TKvSftpFileSystem::FreeSpace(const std::string& APath) {
    const auto& api = Ssh2();
    if (!api.libssh2_sftp_statvfs)
        return -1;
    std::string path = Normalize(APath);
    LIBSSH2_SFTP_STATVFS info{};
    const TSession sess = Live();
    std::lock_guard lock(sess->Mutex());
    if (api.libssh2_sftp_statvfs(sess->Sftp(), path.data(), path.size(), &info) != 0)
        return -1;
    return static_cast<int64_t>(info.f_bavail * info.f_frsize);
}

bool TKvSftpFileSystem::GetMode(const std::string& APath, uint32_t& AMode) {
    LIBSSH2_SFTP_ATTRIBUTES attrs;
    AMode = 0;
    if (!StatAttrs(APath, LIBSSH2_SFTP_STAT, attrs) ||
        !(attrs.flags & LIBSSH2_SFTP_ATTR_PERMISSIONS))
        return false;
    AMode = static_cast<uint32_t>(attrs.permissions) & 0xFFF;
    return true;
}

void TKvSftpFileSystem::SetMode(const std::string& APath, uint32_t AMode) {
    LIBSSH2_SFTP_ATTRIBUTES attrs{};
    attrs.flags = LIBSSH2_SFTP_ATTR_PERMISSIONS;
    attrs.permissions = AMode & 0xFFF;
    SetStat(APath, attrs);
}

bool SftpSymlinkInDraftOrder(const std::string& AServerBanner) {
    // OpenSSH's order is what nearly every server reads (many run OpenSSH's sftp-server); AsyncSSH
    // keeps the draft's order for clients other than OpenSSH's.
    return LowerAscii(AServerBanner).find("asyncssh") != std::string::npos;
}

bool TKvSftpFileSystem::ReadLink(const std::string& APath, std::string& ATarget) {
    ATarget.clear();
    LIBSSH2_SFTP_ATTRIBUTES attrs;
    if (!StatAttrs(APath, LIBSSH2_SFTP_LSTAT, attrs))
        Fail(*Current(), APath);
    if (!IsLinkMode(attrs))
        return false;
    if (!ReadLinkRaw(APath, ATarget))
        // libssh2 1.10 reads the request's number as the status of a failed READLINK or
        // SYMLINK, so the status says nothing here.
        throw EKvFsError(APath + ": the server could not read the link");
    return true;
}

bool TKvSftpFileSystem::PathQuery(const std::string& APath, int AType, std::string& AResult) {
    char buffer[KPathBuffer];
    const TSession sess = Live();
    std::lock_guard lock(sess->Mutex());
    int length = Ssh2().libssh2_sftp_symlink_ex(sess->Sftp(), APath.data(), Len(APath), buffer,
                                                sizeof(buffer), AType);
    if (length <= 0) {
        const std::string error = sess->LastError();
        if (sess->Broken())
            throw EKvFsError(APath + ": " + error);
        return false;
    }
    AResult.assign(buffer, static_cast<size_t>(length));
    return true;
}

bool TKvSftpFileSystem::ReadLinkRaw(const std::string& APath, std::string& ATarget) {
    return PathQuery(Normalize(APath), LIBSSH2_SFTP_READLINK, ATarget);
}

void TKvSftpFileSystem::MakeLink(const std::string& APath, const std::string& ATarget) {
    const std::string path = Normalize(APath);
    LIBSSH2_SFTP_ATTRIBUTES attrs;
    if (StatAttrs(path, LIBSSH2_SFTP_LSTAT, attrs))
        throw EKvFsError(APath + ": " + SftpErrorText(LIBSSH2_FX_FILE_ALREADY_EXISTS));
    // libssh2 sends its first argument first: the server's order decides which one that is. The
    // buffer argument is not const in libssh2's signature, though it is only read here.
    std::string text = ATarget, name = path;
    const TSession sess = Live();
    const bool draft = SftpSymlinkInDraftOrder(sess->ServerBanner());
    std::string& first = draft ? name : text;
    std::string& second = draft ? text : name;
    int rc;
    {
        std::lock_guard lock(sess->Mutex());
        rc = Ssh2().libssh2_sftp_symlink_ex(sess->Sftp(), first.data(), Len(first), second.data(),
                                            Len(second), LIBSSH2_SFTP_SYMLINK);
        if (rc != 0 && rc != KSsh2SftpError)
            Fail(*sess, APath);
    }
    if (rc == 0)
        return;
    // libssh2 1.10 takes the request's number for the status of the server's answer, so a link
    // that was made is reported as an SFTP error: a link now where there was nothing tells. Its
    // text is compared where the server reads it back (a chrooted one may refuse to).
    std::string made;
    if (rc == KSsh2SftpError && StatAttrs(path, LIBSSH2_SFTP_LSTAT, attrs) && IsLinkMode(attrs) &&
        (!ReadLinkRaw(path, made) || made == ATarget))
        return;
    Log("sftp: link " + path + " -> " + ATarget + " not made: libssh2 " + std::to_string(rc));
    throw EKvFsError(APath + ": the server did not make the link");
}

bool TKvSftpFileSystem::TryRealPath(const std::string& APath, std::string& AResult) {
    return PathQuery(Normalize(APath), LIBSSH2_SFTP_REALPATH, AResult);
}

bool TKvSftpFileSystem::SameFile(const std::string& A, const std::string& B) {
    // OpenSSH resolves a path whose last name is missing, so both must exist.
    std::string a, b;
    TKvFileEntry entry;
    return Stat(A, entry) && Stat(B, entry) && TryRealPath(A, a) && TryRealPath(B, b) && a == b;
}

bool TKvSftpFileSystem::Contains(const std::string& AFolder, const std::string& APath) {
    std::string folder, resolved;
    TKvFileEntry entry;
    if (!Stat(AFolder, entry) || !entry.IsDir || !TryRealPath(AFolder, folder))
        return false;
    // The nearest existing folder decides for a path that is not there yet.
    std::string path = Normalize(APath);
    while (!TryRealPath(path, resolved)) {
        if (IsRoot(path))
            return false;
        path = ParentOf(path);
    }
    if (folder == "/" || resolved == folder)
        return true;
    return resolved.size() > folder.size() && resolved.compare(0, folder.size(), folder) == 0 &&
           resolved[folder.size()] == '/';
}

std::string TKvSftpFileSystem::RealPathOf(const std::string& APath) {
    std::string result;
    return PathQuery(APath, LIBSSH2_SFTP_REALPATH, result) ? result : "/";
}

int TKvSftpFileSystem::Exec(const std::string& ACommand, std::string& AOutput) {
    const auto& api = Ssh2();
    const TSession sess = Live();
    std::lock_guard lock(sess->Mutex());
    LIBSSH2_SESSION* session = sess->Session();
    static const char KType[] = "session";
    LIBSSH2_CHANNEL* channel =
        api.libssh2_channel_open_ex(session, KType, sizeof(KType) - 1, 2097152, 32768, nullptr, 0);
    if (!channel)
        throw EKvFsError("Could not open a channel: " + sess->LastError());
    struct TFree {
        LIBSSH2_CHANNEL* Channel;
        ~TFree() { Ssh2().libssh2_channel_free(Channel); }
    } freer{channel};
    static const char KExec[] = "exec";
    if (api.libssh2_channel_process_startup(channel, KExec, sizeof(KExec) - 1, ACommand.data(),
                                            Len(ACommand)) != 0)
        throw EKvFsError("The server refused to run the command: " + sess->LastError());
    std::string output;
    char buffer[4096];
    for (int stream : {0, 1})
        for (;;) {
            ssize_t n = api.libssh2_channel_read_ex(channel, stream, buffer, sizeof(buffer));
            if (n <= 0)
                break;
            output.append(buffer, static_cast<size_t>(n));
        }
    api.libssh2_channel_close(channel);
    int status = api.libssh2_channel_get_exit_status(channel);
    AOutput = std::string(TrimmedView(output));
    Log("exec: [" + ACommand + "] exit " + std::to_string(status) + " [" + AOutput + "]");
    return status;
}

IKvFileSystemPtr OpenSftp(const TKvConnector& AConn, const IKvConnectUiPtr& AUi,
                          const IKvCancelToken& AToken, std::string& ALearnedSecret,
                          std::string& AStartPath, int AConnectLimitMs) {
    auto session = std::make_unique<TKvSshSession>();
    session->SetConnectLimit(AConnectLimitMs);
    session->Connect(AConn, AUi, AToken);
    ALearnedSecret = session->LearnedSecret();
    session->StartSftp();
    // Named as connected: the user and host that the SSH config gave.
    const TKvConnector target = session->Target();
    auto fs = std::make_shared<TKvSftpFileSystem>(std::move(session), target);
    TKvConnector login = AConn;
    if (!ALearnedSecret.empty())
        login.Secret = ALearnedSecret;
    fs->SetLogin(login, AUi, AConnectLimitMs);
    std::string start;
    for (char c : AConn.StartDir)
        if (c != ' ')
            start += c;
    if (start.empty())
        start = ".";
    AStartPath = fs->RealPathOf(start);
    // Some servers resolve a name that does not exist as text: the folder must be there too.
    TKvFileEntry folder;
    if (start != "." &&
        ((AStartPath == "/" && start != "/") || !fs->Stat(AStartPath, folder) || !folder.IsDir))
        AStartPath = fs->RealPathOf(".");
    return fs;
}

std::string SftpHomeOf(const IKvFileSystemPtr& AFs) {
    auto* sftp = dynamic_cast<TKvSftpFileSystem*>(AFs.get());
    return sftp ? sftp->RealPathOf(".") : std::string();
}

} // namespace kv
