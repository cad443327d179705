// PASV, EPSV and PWD replies and paths on arbitrary text: ports are 0 or usable, a folder is
// never empty, and split paths hold no separators or dot components.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "Kv.Ftp.Parse.h"
#include "KvFuzzArchive.h"

using kv::fuzz::Check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
    const std::string_view text(reinterpret_cast<const char*>(AData), ASize);
    const int port = kv::ParsePassivePort(text);
    Check(port >= 0 && port <= 65535, "port out of range");
    std::string path;
    if (kv::ParsePwdReply(text, path))
        Check(!path.empty(), "empty folder");
    for (const auto& part : kv::SplitFtpPath(text))
        Check(!part.empty() && part != "." && part != ".." &&
                  part.find('/') == std::string::npos,
              "bad path component");
    return 0;
}
