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

// 0 to 15 for a hexadecimal digit of either case, -1 for anything else (no sign, no "0x").
inline int HexDigitValue(char AChar) {
    if (AChar >= '0' && AChar <= '9')
        return AChar - '0';
    if (AChar >= 'a' && AChar <= 'f')
        return AChar - 'a' + 10;
    if (AChar >= 'A' && AChar <= 'F')
        return AChar - 'A' + 10;
    return -1;
}

// Kolvan's JSON files nest a few levels; anything deeper is damage or an attack, and a parser
// that builds (or copies, or frees) such a document recursively runs out of stack.
inline constexpr int KMaxJsonNesting = 64;

// Whether the arrays and objects of a JSON text nest at most ALimit deep; brackets inside
// strings do not count. Checked before the text is parsed.
inline bool JsonNestingWithin(std::string_view AText, int ALimit = KMaxJsonNesting) {
    int depth = 0;
    bool inString = false, escaped = false;
    for (char c : AText) {
        if (inString) {
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == '"')
                inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > ALimit)
                return false;
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return true;
}

} // namespace kv
