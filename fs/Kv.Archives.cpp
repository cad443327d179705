#include "Kv.Archives.h"

#include <deque>
#include <mutex>

#include "Kv.FS.Compressed.h"
#include "Kv.FS.Local.h"
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

// The archives that had to be unpacked last stay open: entering one again, or in the other
// half, takes its index and its unpacked copy as they are instead of unpacking it again.
// A changed file (size or time) is opened anew.
class TKeptArchives {
public:
    IKvFileSystemPtr Find(const std::string& AFile, const TKvFileEntry& AStat) {
        std::lock_guard lock(FLock);
        for (const auto& kept : FKept)
            if (kept.File == AFile && kept.Size == AStat.Size && kept.Modified == AStat.Modified)
                return kept.Fs;
        return nullptr;
    }
    void Keep(const std::string& AFile, const TKvFileEntry& AStat, IKvFileSystemPtr AFs) {
        std::lock_guard lock(FLock);
        std::erase_if(FKept, [&](const TKept& AKept) { return AKept.File == AFile; });
        FKept.push_back({AFile, AStat.Size, AStat.Modified, std::move(AFs)});
        while (FKept.size() > KKept)
            FKept.pop_front();
    }

private:
    static constexpr size_t KKept = 2;
    struct TKept {
        std::string File;
        int64_t Size;
        TKvDateTime Modified;
        IKvFileSystemPtr Fs;
    };
    std::mutex FLock;
    std::deque<TKept> FKept;
};

TKeptArchives& Kept() {
    static TKeptArchives kept;
    return kept;
}

IKvFileSystemPtr OpenUnpacked(const std::string& AFile, TKvCompression AFound, const char* ASuffix,
                              const IKvCancelToken& AToken) {
    if (!ASuffix)
        return std::make_shared<TKvTarFileSystem>(AFile, AFound, AToken);
    auto unpacked = UnpackToTemp(AFile, AFound, AToken);
    // "backup.gz" may well hold a tar.
    if (LooksLikeTar(unpacked->Path()))
        return std::make_shared<TKvTarFileSystem>(AFile, std::move(unpacked), AToken);
    const std::string base = FileNameOf(AFile);
    const std::string inner = base.substr(0, base.size() - std::string(ASuffix).size());
    return std::make_shared<TKvCompressedFileSystem>(AFile, std::move(unpacked), inner);
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
    if (found == TKvCompression::None) {
        if (tar)
            return std::make_shared<TKvTarFileSystem>(AFile, found, AToken);
        throw EKvFsError(std::string("This is not ") +
                         (single->Compression == TKvCompression::Xz ||
                                  single->Compression == TKvCompression::Lz4
                              ? "an "
                              : "a ") +
                         CompressionName(single->Compression) + " file");
    }
    TKvFileEntry stat;
    LocalFs()->Stat(AFile, stat);
    if (auto kept = Kept().Find(AFile, stat))
        return kept;
    IKvFileSystemPtr fs = OpenUnpacked(AFile, found, tar ? nullptr : single->Text, AToken);
    Kept().Keep(AFile, stat, fs);
    return fs;
}

} // namespace kv
