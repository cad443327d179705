// Tar archives browsed read-only: ustar, GNU long names, pax records, base-256 numbers, GNU
// sparse files; a compressed tar is unpacked into a temporary file first, once, since tar data
// is reached by offset.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Kv.FS.Archive.h"
#include "Kv.FS.Compressed.h"

namespace kv {

class TKvLockedTempFile;

// One stored piece of a sparse file: the bytes at Offset..Offset+Length of the file; whatever
// no piece covers is a hole and reads as zeros.
struct TKvSparseRegion {
    int64_t Offset = 0;
    int64_t Length = 0;
};
using TKvSparseMap = std::vector<TKvSparseRegion>;

// A sparse file's data: the pieces lie one after another in ABase from AStart.
class TKvSparseStream final : public TKvStream {
public:
    TKvSparseStream(TKvStreamPtr ABase, int64_t AStart, std::shared_ptr<const TKvSparseMap> AMap,
                    int64_t ASize);
    int64_t Read(void* ABuffer, int64_t ACount) override;
    int64_t Write(const void* ABuffer, int64_t ACount) override;
    int64_t Seek(int64_t AOffset, TKvSeekOrigin AOrigin) override;
    int64_t Size() override { return FSize; }

private:
    TKvStreamPtr FBase;
    int64_t FStart;
    std::shared_ptr<const TKvSparseMap> FMap;
    std::vector<int64_t> FStored; // where each piece starts in the stored data
    int64_t FSize;
    int64_t FPos = 0;
};

class TKvTarFileSystem final : public TKvArchiveFileSystem {
public:
    // Reads every header of the tar file on the local disk; a compressed one is unpacked into
    // a temporary file first. Blocks.
    TKvTarFileSystem(const std::string& AFile, TKvCompression ACompression,
                     const IKvCancelToken& AToken);
    TKvTarFileSystem(const std::string& AFile, bool AGzip, const IKvCancelToken& AToken)
        : TKvTarFileSystem(AFile, AGzip ? TKvCompression::Gzip : TKvCompression::None, AToken) {}
    // Over a copy already unpacked from AFile, which it takes.
    TKvTarFileSystem(const std::string& AFile, std::unique_ptr<TKvLockedTempFile> AUnpacked,
                     const IKvCancelToken& AToken);
    ~TKvTarFileSystem() override;

    // The inflated copy of a compressed archive; empty for a plain tar.
    std::string TempFile() const;

protected:
    TKvStreamPtr OpenNode(const TKvArchiveNode& ANode) override;

private:
    void ReadHeaders(const IKvCancelToken& AToken);

    std::string FDataFile;
    std::unique_ptr<TKvLockedTempFile> FTemp;
    std::vector<int64_t> FOffsets; // data start of each file entry, by Tag
    std::vector<std::shared_ptr<const TKvSparseMap>> FSparse; // by Tag; none for a whole file
};

// Where archive work keeps its "kvarc-" temporary files: the private temporary folder.
std::string ArchiveTempFolder();
// Deletes leftover "kvarc-*.tmp" files that no running Kolvan holds; returns how many went.
int SweepArchiveTemps();

// The first block is a tar header (a valid checksum), so data of unknown kind can be told.
bool LooksLikeTar(const std::string& AFile);
// A numeric header field, octal text or GNU base-256; -1 when invalid.
int64_t ParseTarNumber(const uint8_t* AHeader, size_t AOffset, size_t ALength);
// The stored checksum matches the header summed as unsigned or as signed bytes.
bool TarChecksumOk(const uint8_t* AHeader);

} // namespace kv
