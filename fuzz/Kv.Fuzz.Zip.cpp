// The zip reader on arbitrary bytes: opening, listing and reading every entry, without and
// with a password, must fail only with EKvFsError, and no listed name may leave its folder.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <unistd.h>

#include "Kv.FS.Zip.h"

namespace {

void Check(bool ACondition, const char* AWhat) {
    if (!ACondition) {
        std::fprintf(stderr, "broken: %s\n", AWhat);
        std::abort();
    }
}

// Listed names are single safe components: nothing an extraction could turn into another path.
void CheckName(const std::string& AName) {
    Check(!AName.empty() && AName != "." && AName != "..", "empty or dot name");
    for (char c : AName)
        Check(c != '/' && c != '\\' && static_cast<unsigned char>(c) >= 32,
              "separator or control in a name");
}

void Walk(kv::IKvFileSystem& AFs, const std::string& AFolder, int ADepth) {
    auto token = kv::NewCancelToken();
    for (const auto& entry : AFs.List(AFolder, *token)) {
        CheckName(entry.Name);
        std::string path = AFs.Join(AFolder, entry.Name);
        if (entry.IsDir) {
            if (ADepth < 64)
                Walk(AFs, path, ADepth + 1);
            continue;
        }
        try {
            auto stream = AFs.OpenRead(path);
            char buffer[65536];
            while (stream->Read(buffer, sizeof(buffer)) > 0) {
            }
            stream->Seek(0, kv::soBegin);
            stream->Read(buffer, 16);
        } catch (const kv::EKvFsError&) {
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
    static const std::string path = "/tmp/kvfuzz-zip-" + std::to_string(::getpid()) + ".zip";
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(AData), static_cast<std::streamsize>(ASize));
    }
    try {
        kv::TKvZipFileSystem fs(path, *kv::NewCancelToken());
        Walk(fs, "\\", 0);
        if (fs.NeedsPassword()) {
            fs.TryPassword("wrong");
            // The seeds are encrypted with this one, so decryption paths get explored.
            if (fs.TryPassword("password"))
                Walk(fs, "\\", 0);
        }
    } catch (const kv::EKvFsError&) {
    }
    return 0;
}
