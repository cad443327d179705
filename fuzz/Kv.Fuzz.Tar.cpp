// The tar reader and its decompressions on arbitrary bytes: opening, listing and reading every
// entry must fail only with EKvFsError, no listed name may leave its folder, and no temporary
// copy stays.
#include <cstdint>
#include <string>
#include <unistd.h>

#include "Kv.FS.Tar.h"
#include "KvFuzzArchive.h"

namespace {

void Open(const std::string& APath, kv::TKvCompression ACompression) {
    std::string temp;
    try {
        kv::TKvTarFileSystem fs(APath, ACompression, *kv::NewCancelToken());
        temp = fs.TempFile();
        kv::fuzz::Walk(fs, "/", false);
    } catch (const kv::EKvFsError&) {
    }
    kv::fuzz::Check(temp.empty() || ::access(temp.c_str(), F_OK) != 0,
                    "temporary copy left behind");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
    const std::string path = kv::fuzz::InputFile(".tar", AData, ASize);
    Open(path, kv::TKvCompression::None);
    const kv::TKvCompression found = kv::DetectCompression(AData, ASize);
    if (found != kv::TKvCompression::None)
        Open(path, found);
    return 0;
}
