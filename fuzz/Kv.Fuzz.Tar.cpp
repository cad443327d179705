// The tar and gzip readers on arbitrary bytes: opening, listing and reading every entry must
// fail only with EKvFsError, no listed name may leave its folder, and no temporary copy stays.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <unistd.h>

#include "Kv.FS.Tar.h"

namespace {

void Check(bool ACondition, const char* AWhat) {
    if (!ACondition) {
        std::fprintf(stderr, "broken: %s\n", AWhat);
        std::abort();
    }
}

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
        } catch (const kv::EKvFsError&) {
        }
    }
}

void Open(const std::string& APath, bool AGzip) {
    std::string temp;
    try {
        kv::TKvTarFileSystem fs(APath, AGzip, *kv::NewCancelToken());
        temp = fs.TempFile();
        Walk(fs, "\\", 0);
    } catch (const kv::EKvFsError&) {
    }
    Check(temp.empty() || ::access(temp.c_str(), F_OK) != 0, "temporary copy left behind");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
    static const std::string path = "/tmp/kvfuzz-tar-" + std::to_string(::getpid()) + ".tar";
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(AData), static_cast<std::streamsize>(ASize));
    }
    Open(path, false);
    if (ASize >= 2 && AData[0] == 0x1F && AData[1] == 0x8B)
        Open(path, true);
    return 0;
}
