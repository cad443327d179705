#include "Kv.Archives.h"

#include "Kv.FS.Compressed.h"
#include "Kv.FS.Tar.h"
#include "Kv.FS.Zip.h"
#include "Kv.Platform.TempFiles.h"

namespace kv {

namespace {

std::string LowerAscii(std::string AText) {
    for (char& c : AText)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return AText;
}

bool EndsWith(const std::string& AText, const std::string& ASuffix) {
    return AText.size() >= ASuffix.size() &&
           AText.compare(AText.size() - ASuffix.size(), ASuffix.size(), ASuffix) == 0;
}

struct TSuffix {
    const char* Text;
    TKvCompression Compression;
};

// Compressed tars, longest names first so ".tar.gz" is never taken for ".gz".
constexpr TSuffix KTarSuffixes[] = {
    {".tar.gz", TKvCompression::Gzip},   {".tgz", TKvCompression::Gzip},
    {".tar.xz", TKvCompression::Xz},     {".txz", TKvCompression::Xz},
    {".tar.bz2", TKvCompression::Bzip2}, {".tbz2", TKvCompression::Bzip2},
    {".tbz", TKvCompression::Bzip2},     {".tar.zst", TKvCompression::Zstd},
    {".tzst", TKvCompression::Zstd},     {".tar.lz4", TKvCompression::Lz4},
    {".tar", TKvCompression::None},
};

// One compressed file, opened as a folder that holds it.
constexpr TSuffix KFileSuffixes[] = {
    {".gz", TKvCompression::Gzip},   {".xz", TKvCompression::Xz},   {".bz2", TKvCompression::Bzip2},
    {".zst", TKvCompression::Zstd},  {".lz4", TKvCompression::Lz4},
};

template <size_t N>
const TSuffix* FindSuffix(const std::string& ALowerName, const TSuffix (&ASuffixes)[N]) {
    for (const auto& suffix : ASuffixes)
        if (EndsWith(ALowerName, suffix.Text))
            return &suffix;
    return nullptr;
}

std::string FileNameOf(const std::string& APath) {
    auto slash = APath.rfind('/');
    return slash == std::string::npos ? APath : APath.substr(slash + 1);
}

} // namespace

bool IsArchiveFile(const std::string& AName) {
    std::string name = LowerAscii(AName);
    return EndsWith(name, ".zip") || FindSuffix(name, KTarSuffixes) ||
           FindSuffix(name, KFileSuffixes);
}

IKvFileSystemPtr OpenArchive(const std::string& AFile, const IKvCancelToken& AToken) {
    std::string name = LowerAscii(AFile);
    if (EndsWith(name, ".zip"))
        return std::make_shared<TKvZipFileSystem>(AFile, AToken);
    const TSuffix* tar = FindSuffix(name, KTarSuffixes);
    const TSuffix* single = tar ? nullptr : FindSuffix(name, KFileSuffixes);
    if (!tar && !single)
        throw EKvFsError(AFile + ": not a supported archive type");
    // The bytes say how it is compressed, whatever the name claims: a ".tar" may be gzipped,
    // a ".tar.gz" a browser already unpacked.
    const TKvCompression found = DetectFileCompression(AFile);
    if (tar)
        return std::make_shared<TKvTarFileSystem>(AFile, found, AToken);
    if (found == TKvCompression::None)
        throw EKvFsError(std::string("This is not ") +
                         (single->Compression == TKvCompression::Xz ||
                                  single->Compression == TKvCompression::Lz4
                              ? "an "
                              : "a ") +
                         CompressionName(single->Compression) + " file");
    auto unpacked = UnpackToTemp(AFile, found, AToken);
    // "backup.gz" may well hold a tar.
    if (LooksLikeTar(unpacked->Path()))
        return std::make_shared<TKvTarFileSystem>(AFile, std::move(unpacked), AToken);
    const std::string base = FileNameOf(AFile);
    const std::string inner = base.substr(0, base.size() - std::string(single->Text).size());
    return std::make_shared<TKvCompressedFileSystem>(AFile, std::move(unpacked), inner);
}

} // namespace kv
