// Whole-file compression as Linux meets it (gzip, xz, bzip2, Zstandard, LZ4): told by magic
// bytes, read as a stream, unpacked once into a temporary file that a tar reader or a
// one-file folder then reaches by offset.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "Kv.FS.Archive.h"

namespace kv {

class TKvLockedTempFile;

enum class TKvCompression { None, Gzip, Xz, Bzip2, Zstd, Lz4 };

// The compression whose magic bytes the data starts with; None for anything else.
TKvCompression DetectCompression(const uint8_t* AData, size_t ASize);
// The compression of a disk file by its first bytes; None also when it cannot be read.
TKvCompression DetectFileCompression(const std::string& AFile);
// "gzip", "xz", "bzip2", "Zstandard", "LZ4" as messages name them.
const char* CompressionName(TKvCompression AKind);

// The decompressed data of AInner, read front to back. Concatenated members (gzip members,
// bzip2 streams, zstd and LZ4 frames, xz streams) are one piece of data, as the tools take
// them; bytes after the last member that start no new one are ignored. Seeking goes forward
// by reading and back by starting again when AReopen is given.
class TKvDecompressStream final : public TKvStream {
public:
    TKvDecompressStream(TKvStreamPtr AInner, TKvCompression AKind);
    ~TKvDecompressStream() override;
    int64_t Read(void* ABuffer, int64_t ACount) override;
    int64_t Write(const void* ABuffer, int64_t ACount) override;
    int64_t Seek(int64_t AOffset, TKvSeekOrigin AOrigin) override;
    // Unknown until the end is read: -1 before that.
    int64_t Size() override { return FDone ? FTotal : -1; }

    struct TCodec;

private:
    bool Refill();
    [[noreturn]] void Fail(const std::string& AWhat) const;

    TKvStreamPtr FInner;
    TKvCompression FKind;
    std::unique_ptr<TCodec> FCodec;
    std::unique_ptr<uint8_t[]> FInput;
    size_t FInPos = 0, FInLen = 0;
    bool FInEnd = false;
    bool FBetween = false; // a member ended; another may follow
    bool FDone = false;
    bool FStarted = false;
    int64_t FTotal = 0;
};

// Unpacks the whole file into a new "kvarc-" temporary file; a failure removes it again.
std::unique_ptr<TKvLockedTempFile> UnpackToTemp(const std::string& AFile, TKvCompression AKind,
                                                const IKvCancelToken& AToken);

// A compressed single file ("notes.txt.xz") seen as a folder holding the file.
class TKvCompressedFileSystem final : public TKvArchiveFileSystem {
public:
    // Takes the unpacked copy; AName is the file's name inside.
    TKvCompressedFileSystem(const std::string& AFile, std::unique_ptr<TKvLockedTempFile> ATemp,
                            const std::string& AName);
    ~TKvCompressedFileSystem() override;

protected:
    TKvStreamPtr OpenNode(const TKvArchiveNode& ANode) override;

private:
    std::unique_ptr<TKvLockedTempFile> FTemp;
    int64_t FSize = 0;
};

} // namespace kv
