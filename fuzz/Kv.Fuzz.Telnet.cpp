// The Telnet receive side: negotiation, sub-negotiations and the login watcher take whatever a
// server sends. The input is cut into receives at bytes chosen by its first byte.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "Kv.Shell.Telnet.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
    if (ASize == 0)
        return 0;
    const size_t step = 1 + AData[0] % 17;
    kv::TKvTelnetParser parser;
    kv::TKvTelnetLogin login("user", "secret");
    parser.Offer();
    parser.SetSize(AData[0] * 3, 255);
    size_t answers = 0;
    for (size_t at = 1; at < ASize; at += step) {
        const size_t n = ASize - at < step ? ASize - at : step;
        std::string data, replies;
        parser.Feed(reinterpret_cast<const char*>(AData + at), n, data, replies);
        // Every reply is a whole command: IAC, a command byte, and more.
        if (!replies.empty() && (static_cast<uint8_t>(replies[0]) != 255 || replies.size() < 3))
            std::abort();
        if (data.size() > n)
            std::abort();
        if (!login.Feed(data).empty())
            ++answers;
    }
    if (answers > 2)
        std::abort(); // each answer is given once
    return 0;
}
