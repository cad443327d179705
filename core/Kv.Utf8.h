// Text that arrives as bytes (file names, archive entries, server replies, files to compare).
#pragma once

#include <string_view>

namespace kv {

// Well-formed UTF-8 only: no overlong forms, surrogates, values past U+10FFFF or cut sequences.
bool IsValidUtf8(std::string_view ABytes);

} // namespace kv
