// The PROPFIND answer reader on arbitrary text: every item's path is normalized and absolute,
// its name is the path's last component without separators, folders have no size.
#include <cstdint>
#include <string>

#include "Kv.Http.h"
#include "KvFuzzArchive.h"

using kv::fuzz::Check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
    const std::string text(reinterpret_cast<const char*>(AData), ASize);
    for (const auto& item : kv::ParseMultistatus(text)) {
        Check(!item.Path.empty() && item.Path[0] == '/', "path not absolute");
        Check(kv::JoinDavPath(kv::SplitDavPath(item.Path)) == item.Path, "path not normalized");
        Check(item.Entry.Name.find_first_of("/\\") == std::string::npos, "separator in a name");
        Check(item.Entry.Name != "." && item.Entry.Name != "..", "dot name");
        Check(item.Path == "/" ? item.Entry.Name.empty()
                               : item.Path.ends_with("/" + item.Entry.Name),
              "name is not the last component");
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
