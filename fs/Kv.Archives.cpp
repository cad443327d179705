#include "Kv.Archives.h"

#include "Kv.FS.Tar.h"
#include "Kv.FS.Zip.h"

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

} // namespace

bool IsArchiveFile(const std::string& AName) {
    std::string name = LowerAscii(AName);
    return EndsWith(name, ".zip") || EndsWith(name, ".tar") || EndsWith(name, ".tar.gz") ||
           EndsWith(name, ".tgz");
}

IKvFileSystemPtr OpenArchive(const std::string& AFile, const IKvCancelToken& AToken) {
    std::string name = LowerAscii(AFile);
    if (EndsWith(name, ".zip"))
        return std::make_shared<TKvZipFileSystem>(AFile, AToken);
    // Compressed first: the plain ".tar" test must not catch a ".tar.gz" by accident.
    if (EndsWith(name, ".tar.gz") || EndsWith(name, ".tgz"))
        return std::make_shared<TKvTarFileSystem>(AFile, true, AToken);
    if (EndsWith(name, ".tar"))
        return std::make_shared<TKvTarFileSystem>(AFile, false, AToken);
    throw EKvFsError(AFile + ": not a supported archive type");
}

} // namespace kv
