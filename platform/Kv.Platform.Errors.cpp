#include "Kv.Platform.Errors.h"

#include <cstring>

namespace kv {

std::string ErrorText(int AErrno) {
    char buffer[256];
    // GNU strerror_r may return a static string instead of filling the buffer.
    const char* text = ::strerror_r(AErrno, buffer, sizeof buffer);
    return text ? std::string(text) : std::string("error ") + std::to_string(AErrno);
}

} // namespace kv
