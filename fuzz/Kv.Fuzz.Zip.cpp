// The zip reader on arbitrary bytes: opening, listing and reading every entry, without and
// with a password, must fail only with EKvFsError, and no listed name may leave its folder.
#include <cstdint>
#include <string>

#include "Kv.FS.Zip.h"
#include "KvFuzzArchive.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
    const std::string path = kv::fuzz::InputFile(".zip", AData, ASize);
    try {
        kv::TKvZipFileSystem fs(path, *kv::NewCancelToken());
        kv::fuzz::Walk(fs, "/", true);
        if (fs.NeedsPassword()) {
            fs.TryPassword("wrong");
            // The seeds are encrypted with this one, so decryption paths get explored.
            if (fs.TryPassword("password"))
                kv::fuzz::Walk(fs, "/", true);
        }
    } catch (const kv::EKvFsError&) {
    }
    return 0;
}
