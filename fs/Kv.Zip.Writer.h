// Writes a zip archive in one forward pass: deflate, UTF-8 names, data descriptors, and with a
// password WinZip AES-256 (AE-2) or, when asked for, the weaker but widely readable ZipCrypto.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "Kv.FileSystem.h"

namespace kv {

struct TKvZipCentralEntry {
    std::string Name; // UTF-8, as stored
    std::string Extra;
    uint16_t Flags = 0;
    uint16_t Method = 0;
    uint16_t VersionNeeded = 20;
    uint16_t DosTime = 0;
    uint16_t DosDate = 0;
    uint32_t Crc = 0;
    int64_t Comp = 0;
    int64_t Size = 0;
    int64_t Offset = 0;
    bool IsDir = false;
};

using TKvZipProgress = std::function<void(int64_t ABytes)>;

// No zip64 records are written, so these limits keep every count, offset and size in its field.
inline constexpr int KZipMaxEntries = 65534;
inline constexpr int64_t KZipMaxOutput = 0xF0000000;
inline constexpr int64_t KZipMaxFileSize = 0xEFFFFFFF;

class TKvZipWriter {
public:
    // AOut stays the caller's; an empty password means no encryption.
    TKvZipWriter(TKvStream& AOut, const std::string& APassword, bool AWeak);
    TKvZipWriter(const TKvZipWriter&) = delete;
    TKvZipWriter& operator=(const TKvZipWriter&) = delete;

    void AddDirectory(const std::string& AName, TKvDateTime AModified);
    // Reads ASource to its end. ASize is what the caller announced: it is only checked against
    // the limit, since a file may have grown or been of unknown size.
    void AddFile(const std::string& AName, TKvDateTime AModified, TKvStream& ASource, int64_t ASize,
                 const TKvZipProgress& AOnBytes = {});
    // The central directory and the end record; the caller then closes the output.
    void Finish();

    int EntryCount() const { return static_cast<int>(FEntries.size()); }

private:
    void CheckLimits();
    void PrepareEntry(TKvZipCentralEntry& AEntry, const std::string& AName, bool AIsDir,
                      TKvDateTime AModified);
    void WriteLocalHeader(const TKvZipCentralEntry& AEntry);
    void Put(const void* AData, size_t ACount);
    void PutU16(uint16_t AValue);
    void PutU32(uint32_t AValue);

    // Counts what passes to the output: the writer never asks the output where it is.
    class TCountingStream final : public TKvStream {
    public:
        explicit TCountingStream(TKvStream& AOut) : FOut(AOut) {}
        int64_t Read(void*, int64_t) override;
        int64_t Write(const void* ABuffer, int64_t ACount) override;
        int64_t Seek(int64_t, TKvSeekOrigin) override { return Count; }
        int64_t Size() override { return Count; }
        int64_t Count = 0;

    private:
        TKvStream& FOut;
    };

    TCountingStream FOut;
    std::string FPassword;
    bool FWeak;
    std::vector<TKvZipCentralEntry> FEntries;
    std::vector<uint8_t> FBuffer;
};

// The stored form of a name: "/" separators, no leading "/", folders end with "/".
std::string ZipEntryName(const std::string& AName, bool AIsDir);
// Raises "The name ... cannot be stored in a zip file" for an empty, overlong or escaping name.
void CheckZipEntryName(const std::string& AName, bool AIsDir);
// Times outside what DOS fields hold become the current time.
void ToDosDateTime(TKvDateTime AWhen, uint16_t& ADate, uint16_t& ATime);

} // namespace kv
