// Text that arrives as bytes (file names, archive entries, server replies, files to compare).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kv {

// Well-formed UTF-8 only: no overlong forms, surrogates, values past U+10FFFF or cut sequences.
bool IsValidUtf8(std::string_view ABytes);

// Appends the UTF-8 form of a code point; one that cannot be (a surrogate or past U+10FFFF)
// becomes U+FFFD.
void AppendUtf8(std::string& AOut, uint32_t ACodePoint);

// Bytes as a person can read them: UTF-8 as it is, anything else read as Latin-1. For showing
// only: a name keeps its own bytes for every operation.
std::string ReadableText(std::string_view ABytes);

// "%" followed by two hex digits becomes that byte; anything else stays. The result is bytes:
// a name need not be UTF-8.
std::string PercentDecode(std::string_view AText);

} // namespace kv
