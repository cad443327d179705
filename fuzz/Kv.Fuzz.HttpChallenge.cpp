// WWW-Authenticate values on arbitrary bytes: every challenge has a lower-case scheme without
// separators, and the Digest pieces built from it quote safely.
#include <cstdint>
#include <string>
#include <vector>

#include "Kv.Http.h"
#include "KvFuzzArchive.h"

using kv::fuzz::Check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
    const std::string text(reinterpret_cast<const char*>(AData), ASize);
    // A NUL byte splits the input into several header values.
    std::vector<std::string> values;
    size_t start = 0;
    for (size_t i = 0; i <= text.size(); ++i) {
        if (i == text.size() || text[i] == '\0') {
            values.push_back(text.substr(start, i - start));
            start = i + 1;
        }
    }
    for (const auto& challenge : kv::ParseChallenges(values)) {
        Check(!challenge.Scheme.empty(), "empty scheme");
        Check(challenge.Scheme.find_first_of(" \t,=ABCDEFGHIJKLMNOPQRSTUVWXYZ") ==
                  std::string::npos,
              "scheme not a lower-case token");
        const std::string quoted = kv::QuoteDigestValue(challenge.Realm);
        for (size_t i = 0; i < quoted.size(); ++i) {
            if (quoted[i] == '\\') {
                Check(i + 1 < quoted.size(), "dangling backslash");
                ++i;
            } else {
                Check(quoted[i] != '"', "unescaped quote");
            }
        }
        if (kv::IsDigestAlgorithm(challenge.Algorithm)) {
            const std::string response =
                kv::DigestResponse(challenge.Algorithm, "u", challenge.Realm, "p", "/", "GET",
                                   challenge.Qop, "00000001", "c", challenge.Nonce);
            Check(response.size() == 32 || response.size() == 64, "digest of the wrong length");
        }
    }
    return 0;
}
