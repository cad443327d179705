// Read and write streams over one SFTP file handle. libssh2 1.10 keeps in flight only what one
// read or write call is given, so both streams hand it MiBs per call, whatever size their caller
// reads or writes; callers still get at most 256 KiB per Read.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Kv.FileSystem.h"

struct _LIBSSH2_SFTP_HANDLE;

namespace kv {

class TKvSshSession;

// The most one Read returns.
inline constexpr int64_t KSftpChunkSize = 262144;
// What one libssh2 read call is given: libssh2 then keeps up to twice as much requested ahead.
inline constexpr int64_t KSftpReadAhead = 4 * 1048576;
// The first read of a file (and of a place jumped to) asks for this much, and each next one for
// twice as much up to KSftpReadAhead: a small file then costs two requests, not a hundred that
// libssh2 must wait out at the end of the file.
inline constexpr int64_t KSftpFirstRead = 65536;
// What one libssh2 write call is given: as much as OpenSSH's channel window (2 MiB) takes in
// flight. A larger amount only waits inside libssh2 for the window, and on a fast link it costs
// about a fifth of the throughput (bench/Kv.Bench.Sftp.cpp); at 50 ms each way 2 MiB is as
// fast as 4 MiB.
inline constexpr int64_t KSftpWriteAhead = 2 * 1048576;

class TKvSftpReadStream final : public TKvStream {
public:
    // AKeep holds the file system while the stream exists; the stream stays on the session it
    // was opened on, even when the file system has connected again since.
    TKvSftpReadStream(IKvFileSystemPtr AKeep, std::shared_ptr<TKvSshSession> ASession,
                      _LIBSSH2_SFTP_HANDLE* AHandle, std::string AName);
    ~TKvSftpReadStream() override;

    int64_t Read(void* ABuffer, int64_t ACount) override;
    int64_t Write(const void* ABuffer, int64_t ACount) override;
    int64_t Seek(int64_t AOffset, TKvSeekOrigin AOrigin) override;
    int64_t Size() override;

private:
    IKvFileSystemPtr FKeep;
    std::shared_ptr<TKvSshSession> FSess;
    _LIBSSH2_SFTP_HANDLE* FHandle;
    std::string FName;
    int64_t FPos = 0;
    // Bytes read ahead from the server: FBuffer[FTake, FHave) is the file from FPos on.
    std::vector<char> FBuffer;
    size_t FTake = 0, FHave = 0;
    bool FEnd = false;
    size_t FAhead = KSftpFirstRead;
};

class TKvSftpWriteStream final : public TKvFinishableStream {
public:
    // AStart: where the handle is positioned (a resumed copy writes on at the end).
    TKvSftpWriteStream(IKvFileSystemPtr AKeep, std::shared_ptr<TKvSshSession> ASession,
                       _LIBSSH2_SFTP_HANDLE* AHandle, std::string AName, int64_t AStart = 0);
    // Without Finish: closes the handle and ignores errors.
    ~TKvSftpWriteStream() override;

    int64_t Read(void* ABuffer, int64_t ACount) override;
    int64_t Write(const void* ABuffer, int64_t ACount) override;
    int64_t Seek(int64_t AOffset, TKvSeekOrigin AOrigin) override;
    int64_t Size() override { return FPos; }
    // Sends what is left, waits for the server to take it, and closes the handle.
    void Finish() override;

private:
    // Hands libssh2 everything pending; it returns once part of it was acknowledged.
    void Push();

    IKvFileSystemPtr FKeep;
    std::shared_ptr<TKvSshSession> FSess;
    _LIBSSH2_SFTP_HANDLE* FHandle;
    std::string FName;
    int64_t FPos = 0;
    bool FClosed = false;
    // FPending[FStart, FEnd) is written but not yet acknowledged by the server; its head may be
    // in flight already. Twice the pipeline size, so that moving the rest to the front costs
    // at most one copy per byte.
    std::vector<char> FPending;
    size_t FStart = 0, FEnd = 0;
};

} // namespace kv
