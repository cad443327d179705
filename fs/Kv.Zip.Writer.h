// Writes a zip archive in one forward pass: deflate, UTF-8 names, data descriptors, and with a
// password WinZip AES-256 (AE-2) or, when asked for, the weaker but widely readable ZipCrypto.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
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
    bool Zip64Sizes = false; // the local header announced zip64 sizes
};

using TKvZipProgress = std::function<void(int64_t ABytes)>;

// Above this announced size an entry gets zip64 sizes from its local header on, so it may grow
// past 4 GB (deflate can enlarge data a little) and still be described.
inline constexpr int64_t KZip64FromSize = 0xFF000000;

// A file's data deflated ahead of writing, on another thread; Size -1 means nothing was read.
struct TKvDeflated {
    std::string Bytes;
    uint32_t Crc = 0;
    int64_t Size = -1;
};

// Deflates all of ASource into memory as the writer would; AOnBytes as in AddFile.
TKvDeflated DeflateAll(TKvStream& ASource, const TKvZipProgress& AOnBytes = {});

class TKvZipWriter {
public:
    // AOut stays the caller's; an empty password means no encryption. ALevel is zlib's
    // compression level; 0 stores the data.
    TKvZipWriter(TKvStream& AOut, const std::string& APassword, bool AWeak, int ALevel = -1);
    TKvZipWriter(const TKvZipWriter&) = delete;
    TKvZipWriter& operator=(const TKvZipWriter&) = delete;

    void AddDirectory(const std::string& AName, TKvDateTime AModified);
    // Reads ASource to its end. ASize is what the caller announced: a larger one gives the
    // entry zip64 sizes at once; a file that grows past 4 GB after a small announcement fails.
    void AddFile(const std::string& AName, TKvDateTime AModified, TKvStream& ASource, int64_t ASize,
                 const TKvZipProgress& AOnBytes = {});
    // A file deflated by DeflateAll at the default level.
    void AddDeflated(const std::string& AName, TKvDateTime AModified, const TKvDeflated& AData);
    // The central directory and the end record, with zip64 records where counts or offsets
    // need them; the caller then closes the output.
    void Finish();

    int64_t EntryCount() const { return static_cast<int64_t>(FEntries.size()); }

private:
    void PrepareEntry(TKvZipCentralEntry& AEntry, const std::string& AName, bool AIsDir,
                      TKvDateTime AModified);
    void WriteLocalHeader(const TKvZipCentralEntry& AEntry, bool AZip64);
    void AddEmpty(TKvZipCentralEntry& AEntry);
    // Writes the local header and the encryption header; returns where the data goes.
    TKvStream& BeginData(TKvZipCentralEntry& AEntry, uint16_t AMethod, bool AZip64);
    void EndData(TKvZipCentralEntry& AEntry, uint32_t ACrc, int64_t ASize, bool AZip64,
                 const std::string& AName);
    void Put(const void* AData, size_t ACount);
    void PutU16(uint16_t AValue);
    void PutU32(uint32_t AValue);
    void PutU64(uint64_t AValue);

    // Counts what passes to the output, so the writer never asks the output where it is, and
    // gathers the small header fields into large writes.
    class TCountingStream final : public TKvStream {
    public:
        explicit TCountingStream(TKvStream& AOut) : FOut(AOut) {}
        int64_t Read(void*, int64_t) override;
        int64_t Write(const void* ABuffer, int64_t ACount) override;
        int64_t Seek(int64_t, TKvSeekOrigin) override { return Count; }
        int64_t Size() override { return Count; }
        void Flush();
        int64_t Count = 0;

    private:
        TKvStream& FOut;
        std::string FPending;
    };

    TCountingStream FOut;
    std::string FPassword;
    bool FWeak;
    int FLevel;
    std::vector<TKvZipCentralEntry> FEntries;
    std::vector<uint8_t> FBuffer;
    // The encryption of the entry being written, if any.
    std::unique_ptr<TKvStream> FLayer;
    int64_t FDataStart = 0;
};

// The stored form of a name: "/" separators, no leading "/", folders end with "/".
std::string ZipEntryName(const std::string& AName, bool AIsDir);
// Raises "The name ... cannot be stored in a zip file" for an empty, overlong or escaping name.
void CheckZipEntryName(const std::string& AName, bool AIsDir);
// Times outside what DOS fields hold become the current time.
void ToDosDateTime(TKvDateTime AWhen, uint16_t& ADate, uint16_t& ATime);

} // namespace kv
