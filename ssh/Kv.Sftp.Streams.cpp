#include "Kv.Sftp.Streams.h"

#include <algorithm>
#include <cstring>
#include <mutex>

#include "Kv.Libssh2.h"
#include "Kv.Ssh.Session.h"

namespace kv {

TKvSftpReadStream::TKvSftpReadStream(IKvFileSystemPtr AKeep, std::shared_ptr<TKvSshSession> ASession,
                                     LIBSSH2_SFTP_HANDLE* AHandle, std::string AName)
    : FKeep(std::move(AKeep)), FSess(std::move(ASession)), FHandle(AHandle), FName(std::move(AName)) {}

TKvSftpReadStream::~TKvSftpReadStream() {
    // Closed also on a dead connection: only closing frees the handle's memory.
    std::lock_guard lock(FSess->Mutex());
    FSess->ShortenTimeoutIfBroken();
    Ssh2().libssh2_sftp_close_handle(FHandle);
}

int64_t TKvSftpReadStream::Read(void* ABuffer, int64_t ACount) {
    if (ACount <= 0)
        return 0;
    if (FTake == FHave) {
        if (FEnd)
            return 0;
        if (FBuffer.size() < FAhead)
            FBuffer.resize(FAhead);
        ssize_t got;
        {
            std::lock_guard lock(FSess->Mutex());
            got = Ssh2().libssh2_sftp_read(FHandle, FBuffer.data(), FAhead);
            if (got < 0)
                throw EKvFsError(FName + ": " + FSess->LastError());
        }
        FTake = 0;
        FHave = static_cast<size_t>(got);
        FAhead = std::min(FAhead * 2, static_cast<size_t>(KSftpReadAhead));
        if (got == 0) {
            FEnd = true;
            return 0;
        }
    }
    size_t count =
        std::min({static_cast<size_t>(ACount), static_cast<size_t>(KSftpChunkSize), FHave - FTake});
    std::memcpy(ABuffer, FBuffer.data() + FTake, count);
    FTake += count;
    FPos += static_cast<int64_t>(count);
    return static_cast<int64_t>(count);
}

int64_t TKvSftpReadStream::Write(const void*, int64_t) {
    throw EKvFsError("This stream is read-only");
}

int64_t TKvSftpReadStream::Seek(int64_t AOffset, TKvSeekOrigin AOrigin) {
    if (AOrigin == soEnd)
        throw EKvFsError(
            "A remote file can only be positioned from the start or the current place");
    int64_t target = AOrigin == soBegin ? AOffset : FPos + AOffset;
    if (target < 0)
        target = 0;
    if (target == FPos)
        return FPos;
    // Within what was read ahead: no request needed.
    int64_t buffered_start = FPos - static_cast<int64_t>(FTake);
    if (target >= buffered_start && target < FPos + static_cast<int64_t>(FHave - FTake)) {
        FTake = static_cast<size_t>(target - buffered_start);
        FPos = target;
        return FPos;
    }
    {
        std::lock_guard lock(FSess->Mutex());
        Ssh2().libssh2_sftp_seek64(FHandle, static_cast<libssh2_uint64_t>(target));
    }
    FTake = FHave = 0;
    FEnd = false;
    FAhead = KSftpFirstRead;
    FPos = target;
    return FPos;
}

int64_t TKvSftpReadStream::Size() {
    const auto& api = Ssh2();
    LIBSSH2_SFTP_ATTRIBUTES attrs{};
    std::lock_guard lock(FSess->Mutex());
    if (!api.libssh2_sftp_fstat_ex || api.libssh2_sftp_fstat_ex(FHandle, &attrs, 0) != 0)
        throw EKvFsError(FName + ": " + FSess->LastError());
    return (attrs.flags & LIBSSH2_SFTP_ATTR_SIZE) ? static_cast<int64_t>(attrs.filesize) : 0;
}

TKvSftpWriteStream::TKvSftpWriteStream(IKvFileSystemPtr AKeep,
                                       std::shared_ptr<TKvSshSession> ASession,
                                       LIBSSH2_SFTP_HANDLE* AHandle, std::string AName,
                                       int64_t AStart)
    : FKeep(std::move(AKeep)), FSess(std::move(ASession)), FHandle(AHandle),
      FName(std::move(AName)), FPos(AStart) {}

TKvSftpWriteStream::~TKvSftpWriteStream() {
    if (FClosed)
        return;
    std::lock_guard lock(FSess->Mutex());
    FSess->ShortenTimeoutIfBroken();
    Ssh2().libssh2_sftp_close_handle(FHandle);
}

int64_t TKvSftpWriteStream::Read(void*, int64_t) {
    throw EKvFsError("This stream is write-only");
}

int64_t TKvSftpWriteStream::Seek(int64_t AOffset, TKvSeekOrigin AOrigin) {
    if (AOffset == 0 && AOrigin == soCurrent)
        return FPos;
    throw EKvFsError("A remote file can only be written from the start to the end");
}

void TKvSftpWriteStream::Push() {
    ssize_t done;
    {
        std::lock_guard lock(FSess->Mutex());
        // Bytes libssh2 sent in an earlier call but that were not yet acknowledged are at the
        // head of the range again; libssh2 skips them and sends only the new tail.
        done = Ssh2().libssh2_sftp_write(FHandle, FPending.data() + FStart, FEnd - FStart);
        if (done <= 0)
            throw EKvFsError(FName + ": " + FSess->LastError());
    }
    FStart += std::min(static_cast<size_t>(done), FEnd - FStart);
    if (FStart == FEnd)
        FStart = FEnd = 0;
}

int64_t TKvSftpWriteStream::Write(const void* ABuffer, int64_t ACount) {
    if (FClosed)
        throw EKvFsError(FName + ": the file is already closed");
    if (ACount <= 0)
        return 0;
    const size_t pipeline = static_cast<size_t>(KSftpWriteAhead);
    if (FPending.empty())
        FPending.resize(2 * pipeline);
    auto* from = static_cast<const char*>(ABuffer);
    size_t left = static_cast<size_t>(ACount);
    while (left > 0) {
        if (FEnd - FStart >= pipeline) {
            Push();
            continue;
        }
        if (FEnd == FPending.size()) {
            std::memmove(FPending.data(), FPending.data() + FStart, FEnd - FStart);
            FEnd -= FStart;
            FStart = 0;
        }
        size_t take = std::min({left, FPending.size() - FEnd, pipeline - (FEnd - FStart)});
        std::memcpy(FPending.data() + FEnd, from, take);
        FEnd += take;
        from += take;
        left -= take;
    }
    FPos += ACount;
    return ACount;
}

void TKvSftpWriteStream::Finish() {
    if (FClosed)
        return;
    while (FEnd > FStart)
        Push();
    FClosed = true;
    std::lock_guard lock(FSess->Mutex());
    if (Ssh2().libssh2_sftp_close_handle(FHandle) != 0)
        throw EKvFsError(FName + ": the server did not accept the file: " + FSess->LastError());
}

} // namespace kv
