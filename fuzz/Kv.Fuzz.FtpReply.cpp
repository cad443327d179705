// The FTP reply reader on arbitrary control bytes, fed in pieces whose sizes come from the
// input: it may only give replies with three-digit codes or raise EFtpLost, and never hold
// more than its caps.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "Kv.Ftp.Parse.h"
#include "KvFuzzArchive.h"

using kv::fuzz::Check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
    if (ASize == 0)
        return 0;
    // The first byte picks the piece size, as a network would split the stream.
    const size_t piece = 1 + AData[0] % 64;
    const char* data = reinterpret_cast<const char*>(AData + 1);
    const size_t size = ASize - 1;
    kv::TKvFtpReplyReader reader;
    try {
        for (size_t offset = 0; offset < size; offset += piece) {
            reader.Feed(data + offset, std::min(piece, size - offset));
            int code = 0;
            std::string text;
            while (reader.Next(code, text)) {
                Check(code >= 0 && code <= 999, "code out of range");
                Check(text.size() <= kv::KFtpMaxReply + kv::KFtpMaxLine, "reply over the cap");
                Check(kv::IsValidUtf8(text), "reply text is not UTF-8");
                (void)kv::ReplyMessage(text);
            }
        }
    } catch (const kv::EFtpLost&) {
    }
    return 0;
}
