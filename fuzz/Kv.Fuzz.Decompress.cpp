// The decompressing streams on arbitrary bytes, each format tried on every input (the wrong
// ones must refuse at the first bytes): reading to the end, in pieces of changing size, must
// fail only with EKvFsError. Output is capped so a small bomb stays cheap.
#include <cstdint>
#include <string>

#include "Kv.FS.Compressed.h"
#include "Kv.FS.Local.h"
#include "KvFuzzArchive.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
    const std::string path = kv::fuzz::InputFile(".z", AData, ASize);
    for (auto kind : {kv::TKvCompression::Gzip, kv::TKvCompression::Xz, kv::TKvCompression::Bzip2,
                      kv::TKvCompression::Zstd, kv::TKvCompression::Lz4}) {
        try {
            kv::TKvDecompressStream stream(kv::LocalFs()->OpenRead(path), kind);
            char buffer[70000];
            int64_t total = 0, piece = 1;
            for (;;) {
                int64_t n = stream.Read(buffer, piece);
                kv::fuzz::Check(n >= 0 && n <= piece, "read beyond the asked count");
                if (n == 0)
                    break;
                total += n;
                kv::fuzz::Check(stream.Position() == total, "position does not follow the reads");
                if (total > (64 << 20))
                    break;
                piece = piece * 7 % static_cast<int64_t>(sizeof(buffer)) + 1;
            }
            if (stream.Size() >= 0)
                kv::fuzz::Check(stream.Size() == total, "size differs from what was read");
        } catch (const kv::EKvFsError&) {
        }
    }
    return 0;
}
