// Shared by the archive fuzz targets: the input as a file, and a walk that lists and reads
// everything while checking that no listed name could leave its folder.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <unistd.h>

#include "Kv.FileSystem.h"
#include "KvFuzzWork.h"

namespace kv::fuzz {

inline void Check(bool ACondition, const char* AWhat) {
    if (!ACondition) {
        std::fprintf(stderr, "broken: %s\n", AWhat);
        std::abort();
    }
}

// Listed names are single safe components: nothing an extraction could turn into another path
// ("\" is an ordinary character on Linux).
inline void CheckName(const std::string& AName) {
    Check(!AName.empty() && AName != "." && AName != "..", "empty or dot name");
    for (char c : AName)
        Check(c != '/' && static_cast<unsigned char>(c) >= 32, "separator or control in a name");
}

// Lists every folder and reads every file; with ASeekBack each stream is also read again from
// its start. Read failures are expected (EKvFsError); anything else crashes the fuzzer.
inline void Walk(IKvFileSystem& AFs, const std::string& AFolder, bool ASeekBack, int ADepth = 0) {
    auto token = NewCancelToken();
    for (const auto& entry : AFs.List(AFolder, *token)) {
        CheckName(entry.Name);
        std::string path = AFs.Join(AFolder, entry.Name);
        if (entry.IsDir) {
            if (ADepth < 64)
                Walk(AFs, path, ASeekBack, ADepth + 1);
            continue;
        }
        try {
            auto stream = AFs.OpenRead(path);
            char buffer[65536];
            while (stream->Read(buffer, sizeof(buffer)) > 0) {
            }
            if (ASeekBack) {
                stream->Seek(0, soBegin);
                stream->Read(buffer, 16);
            }
        } catch (const EKvFsError&) {
        }
    }
}

// Writes the input to a file of this process and returns its path.
inline std::string InputFile(const char* AExtension, const uint8_t* AData, size_t ASize) {
    std::string path = WorkFolder() + "/input" + AExtension;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(AData), static_cast<std::streamsize>(ASize));
    return path;
}

} // namespace kv::fuzz
