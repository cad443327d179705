// The PROPFIND answer reader on arbitrary text: every item's path is absolute and made of its
// parts, its name is the last part, folders have no size.
#include <cstdint>
#include <string>

#include "Kv.Http.h"
#include "KvFuzzArchive.h"

using kv::fuzz::Check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
    const std::string text(reinterpret_cast<const char*>(AData), ASize);
    for (const auto& item : kv::ParseMultistatus(text)) {
        Check(!item.Path.empty() && item.Path[0] == '/', "path not absolute");
        Check(item.Path == kv::JoinDavPath(item.Parts), "path is not its parts");
        // A name is the last part as decoded: it may hold anything ("%2F" in an href), and the
        // listing decides whether it can be a file.
        Check(item.Parts.empty() ? item.Entry.Name.empty() : item.Entry.Name == item.Parts.back(),
              "name is not the last part");
        for (const auto& part : item.Parts)
            Check(!part.empty(), "empty part");
        Check(!item.Entry.IsDir || item.Entry.Size == 0, "folder with a size");
        Check(item.Entry.Size >= 0, "negative size");
    }
    (void)kv::XmlUnescape(text);
    int64_t seconds = 0;
    (void)kv::ParseHttpDate(text, seconds);
    (void)kv::ParseHostField(text, 443);
    (void)kv::HrefToPath(text);
    return 0;
}
