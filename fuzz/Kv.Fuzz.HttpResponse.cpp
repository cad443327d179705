// The HTTP response reader on arbitrary bytes, fed in pieces whose sizes come from the input:
// heads and bodies of every framing, one after another, until the reader raises EDavLost or the
// bytes run out. Status codes stay three digits, bodies stay within their limits.
#include <algorithm>
#include <cstdint>
#include <string>

#include "Kv.Http.h"
#include "KvFuzzArchive.h"

using kv::fuzz::Check;

namespace {

class TSource : public kv::IKvHttpSource {
public:
    TSource(const char* AData, size_t ASize, size_t APiece, bool AClean)
        : FData(AData), FSize(ASize), FPiece(APiece), FClean(AClean) {}
    int Receive(char* ABuffer, int ALength, int) override {
        const size_t count = std::min({FPiece, static_cast<size_t>(ALength), FSize - FPos});
        std::copy_n(FData + FPos, count, ABuffer);
        FPos += count;
        return static_cast<int>(count);
    }
    bool EndedCleanly() const override { return FClean; }

private:
    const char* FData;
    size_t FSize, FPos = 0, FPiece;
    bool FClean;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
    if (ASize < 2)
        return 0;
    // The first byte picks the piece size and whether the stream ends cleanly; the second the
    // request method (HEAD answers have no body).
    const size_t piece = 1 + AData[0] % 64;
    const bool clean = AData[0] & 0x80;
    const char* method = AData[1] & 1 ? "HEAD" : "GET";
    TSource source(reinterpret_cast<const char*>(AData + 2), ASize - 2, piece, clean);
    kv::TKvHttpReader reader(source);
    try {
        for (int i = 0; i < 64; ++i) {
            const kv::TKvDavResponse head = reader.ReadHead(method, 1000);
            Check(head.Status >= 200 && head.Status <= 999, "status out of range");
            Check(head.Names.size() == head.Values.size(), "headers out of step");
            Check(head.Names.size() <= kv::KHttpMaxHeaders, "too many headers");
            size_t headSize = 0;
            for (size_t h = 0; h < head.Names.size(); ++h)
                headSize += head.Names[h].size() + head.Values[h].size();
            Check(headSize <= kv::KHttpMaxHead, "head larger than its limit");
            const std::string body = reader.ReadBodyAll(1 << 20);
            Check(body.size() <= ASize, "body larger than the input");
            Check(reader.BodyDone(), "body not done after reading it all");
            if (reader.CloseAfter())
                break;
        }
    } catch (const kv::EDavLost&) {
        Check(reader.Broken(), "lost but not broken");
    }
    return 0;
}
