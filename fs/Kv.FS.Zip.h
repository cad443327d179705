// Zip archives browsed read-only: zip64, stored and deflated entries, ZipCrypto and WinZip AES.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "Kv.FS.Archive.h"

namespace kv {

struct TZipEntryInfo {
    int64_t LocalOffset = 0;
    int64_t CompressedSize = 0; // with encryption header, salt, verifier and code
    int64_t Size = 0;
    uint32_t Crc = 0;
    uint16_t Method = 0; // for AES entries the method inside the AES field
    uint16_t Flags = 0;
    uint16_t DosTime = 0;
    uint8_t AesStrength = 0; // 0: no AES field; 1, 2, 3: AES-128, -192, -256
    uint16_t AesVersion = 0;
};

// The uncompressed data of one entry: counts the bytes and checks size, CRC and the AES code
// at the end.
class TKvZipEntryStream final : public TKvStream {
public:
    TKvZipEntryStream(TKvStreamPtr AInner, std::string AName, int64_t ASize, uint32_t ACrc);
    int64_t Read(void* ABuffer, int64_t ACount) override;
    int64_t Write(const void* ABuffer, int64_t ACount) override;
    // Forward by reading; backward by reopening and reading again.
    int64_t Seek(int64_t AOffset, TKvSeekOrigin AOrigin) override;
    int64_t Size() override { return FExpectedSize; }

    bool CheckCrc = true;
    std::function<void()> OnEnd;
    std::string Hint; // appended to every message of this stream
    std::function<TKvStreamPtr()> Reopen;

private:
    void FinishEntry();
    void Rewind();

    TKvStreamPtr FInner;
    std::string FName;
    int64_t FExpectedSize;
    uint32_t FExpectedCrc;
    uint32_t FCrc = 0xFFFFFFFF;
    int64_t FCount = 0;
    bool FFinished = false;
};

class TKvZipFileSystem final : public TKvArchiveFileSystem, public IKvPasswordArchive {
public:
    // Reads the central directory of the zip file on the local disk; blocks.
    TKvZipFileSystem(const std::string& AFile, const IKvCancelToken& AToken);

    bool NeedsPassword() override;
    bool TryPassword(const std::string& APassword) override;

    const std::vector<TZipEntryInfo>& Entries() const { return FEntries; }
    // The stream of one entry, AName in messages.
    TKvStreamPtr OpenEntry(const std::string& AName, const TZipEntryInfo& AInfo,
                           const std::string& APassword);

protected:
    TKvStreamPtr OpenNode(const TKvArchiveNode& ANode) override;

private:
    void ReadDirectory(const IKvCancelToken& AToken);

    std::string FFile;
    int64_t FShift = 0; // bytes in front of the zip proper (a self-extractor's program)
    std::vector<TZipEntryInfo> FEntries;
    bool FHasEncrypted = false;
    mutable std::mutex FLock; // over the accepted password
    std::string FPassword;
    bool FPasswordOk = false;
};

// Date and time fields of a zip entry to a local date-time; 0 when they are no valid time.
TKvDateTime DosToDateTime(uint16_t ADate, uint16_t ATime);

} // namespace kv
