#include "Kv.Utf8.h"

#include <cstdint>
#include <cstring>

#include "Kv.Text.h"

namespace kv {

bool IsValidUtf8(std::string_view ABytes) {
    const auto* p = reinterpret_cast<const unsigned char*>(ABytes.data());
    size_t n = ABytes.size(), i = 0;
    while (i < n) {
        // Eight ASCII bytes at a time: most text is mostly ASCII.
        while (i + 8 <= n) {
            uint64_t word;
            std::memcpy(&word, p + i, 8);
            if (word & 0x8080808080808080ull)
                break;
            i += 8;
        }
        if (i >= n)
            break;
        unsigned char c = p[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        int length;
        char32_t code;
        if (c >= 0xC2 && c <= 0xDF) {
            length = 2;
            code = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            length = 3;
            code = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            length = 4;
            code = c & 0x07;
        } else {
            return false;
        }
        if (i + length > n)
            return false;
        for (int k = 1; k < length; ++k) {
            if ((p[i + k] & 0xC0) != 0x80)
                return false;
            code = (code << 6) | (p[i + k] & 0x3F);
        }
        if ((length == 3 && code < 0x800) || (length == 4 && code < 0x10000) || code > 0x10FFFF ||
            (code >= 0xD800 && code <= 0xDFFF))
            return false;
        i += length;
    }
    return true;
}


void AppendUtf8(std::string& AOut, uint32_t ACodePoint) {
    if (ACodePoint > 0x10FFFF || (ACodePoint >= 0xD800 && ACodePoint <= 0xDFFF))
        ACodePoint = 0xFFFD;
    if (ACodePoint < 0x80) {
        AOut += static_cast<char>(ACodePoint);
    } else if (ACodePoint < 0x800) {
        AOut += static_cast<char>(0xC0 | (ACodePoint >> 6));
        AOut += static_cast<char>(0x80 | (ACodePoint & 0x3F));
    } else if (ACodePoint < 0x10000) {
        AOut += static_cast<char>(0xE0 | (ACodePoint >> 12));
        AOut += static_cast<char>(0x80 | ((ACodePoint >> 6) & 0x3F));
        AOut += static_cast<char>(0x80 | (ACodePoint & 0x3F));
    } else {
        AOut += static_cast<char>(0xF0 | (ACodePoint >> 18));
        AOut += static_cast<char>(0x80 | ((ACodePoint >> 12) & 0x3F));
        AOut += static_cast<char>(0x80 | ((ACodePoint >> 6) & 0x3F));
        AOut += static_cast<char>(0x80 | (ACodePoint & 0x3F));
    }
}

std::string ReadableText(std::string_view ABytes) {
    if (IsValidUtf8(ABytes))
        return std::string(ABytes);
    std::string text;
    text.reserve(ABytes.size() * 2);
    for (char c : ABytes)
        AppendUtf8(text, static_cast<unsigned char>(c));
    return text;
}

std::string PercentDecode(std::string_view AText) {
    std::string out;
    out.reserve(AText.size());
    for (size_t i = 0; i < AText.size(); ++i) {
        if (AText[i] == '%' && i + 2 < AText.size()) {
            const int high = HexDigitValue(AText[i + 1]), low = HexDigitValue(AText[i + 2]);
            if (high >= 0 && low >= 0) {
                out += static_cast<char>(high * 16 + low);
                i += 2;
                continue;
            }
        }
        out += AText[i];
    }
    return out;
}

} // namespace kv
