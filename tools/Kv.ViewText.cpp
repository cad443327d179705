#include "Kv.ViewText.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "Kv.Utf8.h"

namespace kv {

namespace {

constexpr std::array<std::string_view, 42> KFrameworkPrefixes = {
    "java.",
    "javax.",
    "jakarta.",
    "sun.",
    "com.sun.",
    "jdk.",
    "org.springframework.",
    "org.apache.",
    "org.hibernate.",
    "org.eclipse.",
    "org.jboss.",
    "org.wildfly.",
    "io.netty.",
    "io.undertow.",
    "reactor.",
    "kotlin.",
    "kotlinx.",
    "scala.",
    "groovy.",
    "org.codehaus.",
    "com.google.",
    "org.glassfish.",
    "weblogic.",
    "com.ibm.",
    "oracle.",
    "com.oracle.",
    "org.aspectj.",
    "net.bytebuddy.",
    "org.junit.",
    "org.mockito.",
    "com.fasterxml.",
    "ch.qos.logback.",
    "org.slf4j.",
    "org.postgresql.",
    "com.mysql.",
    "com.zaxxer.",
    "org.quartz.",
    "io.micrometer.",
    "feign.",
    "okhttp3.",
    "io.opentelemetry.",
    "org.jvnet.",
};

constexpr char KHexDigits[] = "0123456789ABCDEF";

// Length of the valid UTF-8 sequence at APos, or 0 when the byte there does not start one.
int SequenceLength(std::string_view AText, size_t APos) {
    auto byte = static_cast<unsigned char>(AText[APos]);
    if (byte < 0x80)
        return 1;
    int length = byte >= 0xC2 && byte < 0xE0    ? 2
                 : byte >= 0xE0 && byte < 0xF0  ? 3
                 : byte >= 0xF0 && byte <= 0xF4 ? 4
                                                : 0;
    if (length == 0 || APos + length > AText.size())
        return 0;
    char32_t code = byte & (0x7F >> length);
    for (int k = 1; k < length; ++k) {
        auto next = static_cast<unsigned char>(AText[APos + k]);
        if ((next & 0xC0) != 0x80)
            return 0;
        code = (code << 6) | (next & 0x3F);
    }
    if ((length == 3 && code < 0x800) || (length == 4 && code < 0x10000) || code > 0x10FFFF ||
        (code >= 0xD800 && code <= 0xDFFF))
        return 0;
    return length;
}

bool IsBlankByte(char AChar) {
    return AChar == ' ' || AChar == '\t' || AChar == '\r';
}

bool StartsWordAt(std::string_view ALine, size_t APos) {
    return APos == 0 || ALine[APos - 1] == ' ' || ALine[APos - 1] == '\t';
}

// A frame: "at ", optional spaces, a dotted name of at most 300 bytes, then "(".
bool FrameAt(std::string_view ALine, size_t APos, bool& AFramework) {
    size_t k = APos + 3;
    while (k < ALine.size() && ALine[k] == ' ')
        ++k;
    size_t nameStart = k;
    while (k < ALine.size() && static_cast<unsigned char>(ALine[k]) > 32 && ALine[k] != '(')
        ++k;
    size_t length = k - nameStart;
    if (length == 0 || length > 300 || k >= ALine.size() || ALine[k] != '(')
        return false;
    std::string_view name = ALine.substr(nameStart, length);
    if (name.find('.') == std::string_view::npos)
        return false;
    // A module prefix ("app//", "java.base/") does not decide what the frame is.
    if (auto slash = name.rfind('/'); slash != std::string_view::npos)
        name = name.substr(slash + 1);
    AFramework = name.find("$$") != std::string_view::npos;
    for (auto prefix : KFrameworkPrefixes)
        if (name.substr(0, prefix.size()) == prefix)
            AFramework = true;
    return true;
}

} // namespace

std::string DecodeViewLine(std::string_view ABytes) {
    if (ABytes.size() > size_t(KViewLineBytes))
        ABytes = ABytes.substr(0, size_t(KViewLineBytes));
    if (!ABytes.empty() && ABytes.back() == '\r')
        ABytes.remove_suffix(1);
    std::string out;
    out.reserve(ABytes.size());
    int64_t chars = 0;
    for (size_t k = 0; k < ABytes.size();) {
        if (chars == KViewLineChars)
            return out + "...";
        int length = SequenceLength(ABytes, k);
        if (length == 0) {
            out += "\xEF\xBF\xBD";
            ++k;
        } else {
            out.append(ABytes.substr(k, size_t(length)));
            k += size_t(length);
        }
        ++chars;
    }
    return out;
}

std::string CleanViewText(std::string_view AText) {
    std::string out;
    out.reserve(AText.size());
    for (char c : AText) {
        if (c == '\t')
            out += "    ";
        else if (c == 0)
            out += '.';
        else
            out += c;
    }
    return out;
}

int64_t CharCount(std::string_view AText) {
    int64_t count = 0;
    for (char c : AText)
        if ((static_cast<unsigned char>(c) & 0xC0) != 0x80)
            ++count;
    return count;
}

std::vector<std::string> WrapText(std::string_view AText, int AWidth) {
    if (AWidth < 1)
        AWidth = 1;
    // Byte offset of every character, and the end.
    std::vector<size_t> starts;
    starts.reserve(AText.size() + 1);
    for (size_t k = 0; k < AText.size(); ++k)
        if ((static_cast<unsigned char>(AText[k]) & 0xC0) != 0x80 || k == 0)
            starts.push_back(k);
    starts.push_back(AText.size());
    size_t total = starts.size() - 1;

    std::vector<std::string> pieces;
    size_t first = 0; // character index where the rest begins
    while (total - first > size_t(AWidth)) {
        size_t take = size_t(AWidth);
        size_t lowest = std::max<size_t>(1, size_t(AWidth) / 3);
        for (size_t at = size_t(AWidth); at >= lowest; --at) {
            if (AText[starts[first + at - 1]] == ' ') {
                take = at;
                break;
            }
        }
        pieces.emplace_back(AText.substr(starts[first], starts[first + take] - starts[first]));
        first += take;
    }
    pieces.emplace_back(AText.substr(starts[first]));
    return pieces;
}

int HexOffsetDigits(int64_t AOffset) {
    int digits = 1;
    for (uint64_t rest = uint64_t(AOffset) >> 4; rest != 0; rest >>= 4)
        ++digits;
    return std::max(digits, 8);
}

std::string FormatHexRow(int64_t AOffset, const unsigned char* ABytes, int ACount) {
    int digits = HexOffsetDigits(AOffset);
    std::string row;
    row.reserve(size_t(digits) + 70);
    for (int k = digits - 1; k >= 0; --k)
        row += KHexDigits[(uint64_t(AOffset) >> (4 * k)) & 15];
    row += "  ";
    for (int i = 0; i < 16; ++i) {
        if (i == 8)
            row += ' ';
        if (i < ACount) {
            row += KHexDigits[ABytes[i] >> 4];
            row += KHexDigits[ABytes[i] & 15];
            row += ' ';
        } else {
            row += "   ";
        }
    }
    row += ' ';
    for (int i = 0; i < ACount; ++i)
        row += ABytes[i] >= 32 && ABytes[i] <= 126 ? char(ABytes[i]) : '.';
    return row;
}

int HexDigitColumn(int64_t AOffset, int AIndex) {
    return HexOffsetDigits(AOffset) + 2 + 3 * AIndex + (AIndex >= 8 ? 1 : 0);
}

int HexCharColumn(int64_t AOffset, int AIndex) {
    return HexOffsetDigits(AOffset) + 52 + AIndex;
}

bool ParseHexBytes(std::string_view AText, std::string& ABytes) {
    ABytes.clear();
    std::string digits;
    for (size_t k = 0; k < AText.size(); ++k) {
        char c = AText[k];
        if (c == '0' && k + 1 < AText.size() && (AText[k + 1] == 'x' || AText[k + 1] == 'X')) {
            ++k;
            continue;
        }
        if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'))
            digits += c;
        else if (!(c == '\t' || c == ' ' || c == ',' || c == ';' || c == 'x' || c == 'X'))
            return false;
    }
    if (digits.size() < 2 || digits.size() % 2 != 0)
        return false;
    auto value = [](char AChar) { return AChar <= '9' ? AChar - '0' : (AChar | 0x20) - 'a' + 10; };
    for (size_t k = 0; k < digits.size(); k += 2)
        ABytes += char(value(digits[k]) * 16 + value(digits[k + 1]));
    return true;
}

TKvJavaLine ClassifyJavaLine(std::string_view ALine, bool& AFramework) {
    AFramework = false;
    if (ALine.size() > size_t(KJavaLineBytes))
        ALine = ALine.substr(0, size_t(KJavaLineBytes));
    if (std::all_of(ALine.begin(), ALine.end(), IsBlankByte))
        return jlBlank;
    for (size_t at = ALine.find("at "); at != std::string_view::npos;
         at = ALine.find("at ", at + 1))
        if (StartsWordAt(ALine, at) && FrameAt(ALine, at, AFramework))
            return jlFrame;
    AFramework = false;
    for (size_t at = ALine.find("... "); at != std::string_view::npos;
         at = ALine.find("... ", at + 1))
        if (StartsWordAt(ALine, at) && at + 4 < ALine.size() && ALine[at + 4] >= '0' &&
            ALine[at + 4] <= '9')
            return jlMore;
    return jlOther;
}

bool LooksLikeText(std::string_view ABytes) {
    int64_t odd = 0;
    size_t k = 0;
    while (k < ABytes.size()) {
        const auto c = static_cast<unsigned char>(ABytes[k]);
        if (c == 0)
            return false;
        if (c < 0x80) {
            if ((c < 0x20 && !std::strchr("\t\n\r\f\v\b\x1b", c)) || c == 0x7f)
                ++odd;
            ++k;
            continue;
        }
        const int length = c >= 0xC2 && c <= 0xDF   ? 2
                           : c >= 0xE0 && c <= 0xEF ? 3
                           : c >= 0xF0 && c <= 0xF4 ? 4
                                                    : 0;
        if (length == 0) {
            ++odd;
            ++k;
            continue;
        }
        if (k + length > ABytes.size()) {
            // Cut by the end of the sample: the rest of it is what a reader cannot know.
            bool tail = true;
            for (size_t j = k + 1; j < ABytes.size(); ++j)
                tail = tail && (static_cast<unsigned char>(ABytes[j]) & 0xC0) == 0x80;
            if (tail)
                break;
        }
        if (!IsValidUtf8(ABytes.substr(k, std::min(size_t(length), ABytes.size() - k)))) {
            ++odd;
            ++k;
            continue;
        }
        k += length;
    }
    return odd * 10 <= int64_t(ABytes.size());
}

bool LooksLikeJava(std::string_view ABytes, int64_t ALength) {
    if (ALength < int64_t(ABytes.size()))
        ABytes = ABytes.substr(0, size_t(std::max<int64_t>(ALength, 0)));
    int frames = 0;
    size_t start = 0;
    while (start < ABytes.size()) {
        size_t end = ABytes.find('\n', start);
        if (end == std::string_view::npos)
            end = ABytes.size();
        bool framework = false;
        if (ClassifyJavaLine(ABytes.substr(start, end - start), framework) == jlFrame &&
            ++frames >= 2)
            return true;
        start = end + 1;
    }
    return false;
}

} // namespace kv
