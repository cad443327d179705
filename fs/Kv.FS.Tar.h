// Tar archives browsed read-only: ustar, GNU long names, pax records, base-256 numbers; a
// .tar.gz is inflated into a temporary file first, since tar data is reached by offset.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Kv.FS.Archive.h"

namespace kv {

class TKvLockedTempFile;

class TKvTarFileSystem final : public TKvArchiveFileSystem {
public:
    // Reads every header of the tar file on the local disk; blocks.
    TKvTarFileSystem(const std::string& AFile, bool AGzip, const IKvCancelToken& AToken);
    ~TKvTarFileSystem() override;

    // The inflated copy of a compressed archive; empty for a plain tar.
    std::string TempFile() const;

protected:
    TKvStreamPtr OpenNode(const TKvArchiveNode& ANode) override;

private:
    void UnpackGzip(const std::string& AFile, const IKvCancelToken& AToken);
    void ReadHeaders(const IKvCancelToken& AToken);

    std::string FDataFile;
    std::unique_ptr<TKvLockedTempFile> FTemp;
    std::vector<int64_t> FOffsets; // data start of each file entry, by Tag
};

// Where archive work keeps its "kvarc-" temporary files: the private temporary folder.
std::string ArchiveTempFolder();
// Deletes leftover "kvarc-*.tmp" files that no running Kolvan holds; returns how many went.
int SweepArchiveTemps();

// A numeric header field, octal text or GNU base-256; -1 when invalid.
int64_t ParseTarNumber(const uint8_t* AHeader, size_t AOffset, size_t ALength);
// The stored checksum matches the header summed as unsigned or as signed bytes.
bool TarChecksumOk(const uint8_t* AHeader);

} // namespace kv
