// Small text helpers for files a person may edit by hand: ASCII case and trimming.
#pragma once

#include <string>
#include <string_view>

namespace kv {

inline char AsciiLower(char AChar) { return AChar >= 'A' && AChar <= 'Z' ? AChar - 'A' + 'a' : AChar; }

inline std::string LowerAscii(std::string_view AText) {
    std::string lower(AText);
    for (char& c : lower)
        c = AsciiLower(c);
    return lower;
}

// Equal when only the case of ASCII letters differs.
inline bool SameTextAscii(std::string_view A, std::string_view B) {
    if (A.size() != B.size())
        return false;
    for (size_t i = 0; i < A.size(); ++i)
        if (AsciiLower(A[i]) != AsciiLower(B[i]))
            return false;
    return true;
}

// Without blanks and control characters at either end.
inline std::string_view TrimmedView(std::string_view AText) {
    size_t first = 0, last = AText.size();
    while (first < last && static_cast<unsigned char>(AText[first]) <= ' ')
        ++first;
    while (last > first && static_cast<unsigned char>(AText[last - 1]) <= ' ')
        --last;
    return AText.substr(first, last - first);
}

} // namespace kv
