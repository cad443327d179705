// Listing lines (Unix, DOS and MLSD) on arbitrary bytes: a parsed entry has a non-empty name made
// of the server's own bytes (it goes back to the server as it came), a size that is not negative,
// and a folder never has a size.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "Kv.Ftp.Parse.h"
#include "KvFuzzArchive.h"

namespace {

using kv::fuzz::Check;

void CheckEntry(const kv::TKvFileEntry& AEntry, std::string_view ALine) {
    Check(!AEntry.Name.empty(), "empty name");
    Check(ALine.find(AEntry.Name) != std::string_view::npos, "name is not the line's own bytes");
    Check(AEntry.Size >= 0, "negative size");
    Check(!AEntry.IsDir || AEntry.Size == 0, "folder with a size");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
    const std::string_view bytes(reinterpret_cast<const char*>(AData), ASize);
    const kv::TKvDateTime now = kv::EncodeDateTime({2024, 1, 1, 0, 30, 0, 0});
    for (const auto& line : kv::SplitListing(bytes)) {
        kv::TKvFileEntry entry;
        std::string target;
        if (kv::ParseListLine(line, entry, target, now))
            CheckEntry(entry, line);
        if (kv::ParseMlsdLine(line, entry, target)) {
            CheckEntry(entry, line);
            Check(entry.Name != "." && entry.Name != "..", "dot entry from MLSD");
        }
    }
    return 0;
}
