#include "Kv.FileSystem.h"

#include <algorithm>
#include <cstdio>
#include <mutex>

namespace kv {

namespace {

std::mutex GSeparatorLock;
std::string GThousands = ",";
std::string GDecimal = ".";

bool IsDigit(char AChar) { return AChar >= '0' && AChar <= '9'; }

// Decodes one UTF-8 sequence at APos. A byte that does not start a valid sequence stands for
// itself (as U+DC80..U+DCFF, where no real character lives), so names that are not valid
// UTF-8 still compare and match consistently.
char32_t DecodeNext(std::string_view AText, size_t& APos) {
    auto byte = static_cast<unsigned char>(AText[APos]);
    if (byte < 0x80) {
        ++APos;
        return byte;
    }
    int length = byte >= 0xF0 && byte <= 0xF4 ? 4 : byte >= 0xE0 ? 3 : byte >= 0xC2 && byte < 0xE0 ? 2 : 0;
    if (length == 0 || APos + length > AText.size() || (length == 4 && byte > 0xF4)) {
        ++APos;
        return 0xDC00 + byte;
    }
    char32_t code = byte & (0x7F >> length);
    for (int k = 1; k < length; ++k) {
        auto next = static_cast<unsigned char>(AText[APos + k]);
        if ((next & 0xC0) != 0x80) {
            ++APos;
            return 0xDC00 + byte;
        }
        code = (code << 6) | (next & 0x3F);
    }
    bool overlong = (length == 3 && code < 0x800) || (length == 4 && code < 0x10000);
    if (overlong || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
        ++APos;
        return 0xDC00 + byte;
    }
    APos += length;
    return code;
}

std::u32string FoldedCodes(std::string_view AText) {
    std::u32string codes;
    codes.reserve(AText.size());
    for (size_t pos = 0; pos < AText.size();)
        codes.push_back(FoldCase(DecodeNext(AText, pos)));
    return codes;
}

std::string_view Trim(std::string_view AText) {
    const char* blanks = " \t\r\n";
    auto first = AText.find_first_not_of(blanks);
    if (first == std::string_view::npos)
        return {};
    auto last = AText.find_last_not_of(blanks);
    return AText.substr(first, last - first + 1);
}

bool MatchFolded(const std::u32string& AName, const std::u32string& AMask) {
    size_t i = 0, j = 0, t = 0;
    size_t star = std::u32string::npos;
    while (j < AName.size()) {
        if (i < AMask.size() && (AMask[i] == U'?' || AMask[i] == AName[j])) {
            ++i;
            ++j;
        } else if (i < AMask.size() && AMask[i] == U'*') {
            star = i;
            t = j;
            ++i;
        } else if (star == std::u32string::npos) {
            return false;
        } else {
            j = ++t;
            i = star + 1;
        }
    }
    while (i < AMask.size() && AMask[i] == U'*')
        ++i;
    return i == AMask.size();
}

} // namespace

int64_t TKvStream::ReadFully(void* ABuffer, int64_t ACount) {
    auto* out = static_cast<char*>(ABuffer);
    int64_t done = 0;
    while (done < ACount) {
        int64_t n = Read(out + done, ACount - done);
        if (n <= 0)
            break;
        done += n;
    }
    return done;
}

void TKvStream::WriteAll(const void* ABuffer, int64_t ACount) {
    const auto* in = static_cast<const char*>(ABuffer);
    int64_t done = 0;
    while (done < ACount) {
        int64_t n = Write(in + done, ACount - done);
        if (n <= 0)
            throw EKvFsError("The stream accepted no more data");
        done += n;
    }
}

char32_t FoldCase(char32_t C) {
    if (C < 0x80)
        return (C >= 'A' && C <= 'Z') ? C + 32 : C;
    if (C >= 0xC0 && C <= 0xDE && C != 0xD7)
        return C + 32;
    if (C >= 0x100 && C <= 0x17F) {
        if (C == 0x130 || C == 0x131 || C == 0x138 || C == 0x149 || C == 0x17F)
            return C;
        if (C == 0x178)
            return 0xFF;
        bool oddUpper = (C >= 0x139 && C <= 0x148) || (C >= 0x179 && C <= 0x17E);
        bool isUpper = oddUpper ? (C & 1) != 0 : (C & 1) == 0;
        return isUpper ? C + 1 : C;
    }
    if (C >= 0x391 && C <= 0x3AB && C != 0x3A2)
        return C + 32;
    if (C == 0x386)
        return 0x3AC;
    if (C >= 0x388 && C <= 0x38A)
        return C + 37;
    if (C == 0x38C)
        return 0x3CC;
    if (C == 0x38E || C == 0x38F)
        return C + 63;
    if (C >= 0x410 && C <= 0x42F)
        return C + 32;
    if (C >= 0x400 && C <= 0x40F)
        return C + 80;
    if ((C >= 0x460 && C <= 0x481) || (C >= 0x48A && C <= 0x4BF) || (C >= 0x1E00 && C <= 0x1EFF))
        return (C & 1) == 0 ? C + 1 : C;
    return C;
}

int CompareLogical(std::string_view A, std::string_view B) {
    size_t i = 0, j = 0;
    int tie = 0; // decides between names equal but for case or leading zeros
    while (i < A.size() && j < B.size()) {
        if (IsDigit(A[i]) && IsDigit(B[j])) {
            size_t startA = i, startB = j;
            while (i < A.size() && IsDigit(A[i]))
                ++i;
            while (j < B.size() && IsDigit(B[j]))
                ++j;
            size_t valueA = startA, valueB = startB;
            while (valueA + 1 < i && A[valueA] == '0')
                ++valueA;
            while (valueB + 1 < j && B[valueB] == '0')
                ++valueB;
            size_t lengthA = i - valueA, lengthB = j - valueB;
            if (lengthA != lengthB)
                return lengthA < lengthB ? -1 : 1;
            int digits = A.substr(valueA, lengthA).compare(B.substr(valueB, lengthB));
            if (digits != 0)
                return digits < 0 ? -1 : 1;
            if (tie == 0 && (i - startA) != (j - startB))
                tie = (i - startA) < (j - startB) ? -1 : 1;
            continue;
        }
        char32_t a = DecodeNext(A, i);
        char32_t b = DecodeNext(B, j);
        if (a == b)
            continue;
        char32_t fa = FoldCase(a), fb = FoldCase(b);
        if (fa != fb)
            return fa < fb ? -1 : 1;
        if (tie == 0)
            tie = a < b ? -1 : 1;
    }
    if (i < A.size())
        return 1;
    if (j < B.size())
        return -1;
    return tie;
}

std::string_view ExtensionOf(std::string_view AName) {
    auto dot = AName.rfind('.');
    if (dot == std::string_view::npos || dot == 0)
        return {};
    return AName.substr(dot);
}

void SortEntries(TKvFileEntries& AEntries, TKvSortColumn AColumn, bool ADescending) {
    auto less = [AColumn, ADescending](const TKvFileEntry& L, const TKvFileEntry& R) {
        if (L.IsDir != R.IsDir)
            return L.IsDir;
        int key = 0;
        switch (AColumn) {
        case scExt:
            key = CompareLogical(ExtensionOf(L.Name), ExtensionOf(R.Name));
            break;
        case scSize:
            key = L.Size < R.Size ? -1 : L.Size > R.Size ? 1 : 0;
            break;
        case scTime:
            key = L.Modified < R.Modified ? -1 : L.Modified > R.Modified ? 1 : 0;
            break;
        case scName:
            break;
        }
        if (key == 0)
            key = CompareLogical(L.Name, R.Name);
        return ADescending ? key > 0 : key < 0;
    };
    std::sort(AEntries.begin(), AEntries.end(), less);
}

bool MatchesMask(std::string_view AName, std::string_view AMask) {
    if (AMask == "*.*")
        return true;
    return MatchFolded(FoldedCodes(AName), FoldedCodes(AMask));
}

bool MatchesQuickFilter(std::string_view AName, std::string_view AFilter) {
    if (AFilter.empty())
        return true;
    if (AFilter.find_first_of("*?") != std::string_view::npos)
        return MatchFolded(FoldedCodes(AName), U"*" + FoldedCodes(AFilter) + U"*");
    return FoldedCodes(AName).find(FoldedCodes(AFilter)) != std::u32string::npos;
}

bool MatchesAnyMask(std::string_view AName, std::string_view AMaskList) {
    size_t start = 0;
    while (start <= AMaskList.size()) {
        size_t end = AMaskList.find_first_of(";,", start);
        if (end == std::string_view::npos)
            end = AMaskList.size();
        std::string_view piece = Trim(AMaskList.substr(start, end - start));
        if (!piece.empty() && MatchesMask(AName, piece))
            return true;
        start = end + 1;
    }
    return false;
}

bool SameTextIgnoringCase(std::string_view A, std::string_view B) { return FoldedCodes(A) == FoldedCodes(B); }

bool StartsWithIgnoringCase(std::string_view AText, std::string_view APrefix) {
    std::u32string text = FoldedCodes(AText), prefix = FoldedCodes(APrefix);
    return text.compare(0, prefix.size(), prefix) == 0;
}

void SetNumberSeparators(std::string AThousands, std::string ADecimal) {
    std::lock_guard lock(GSeparatorLock);
    GThousands = std::move(AThousands);
    GDecimal = std::move(ADecimal);
}

std::string FormatBytes(int64_t ACount) {
    uint64_t magnitude = ACount < 0 ? 0 - static_cast<uint64_t>(ACount) : static_cast<uint64_t>(ACount);
    std::string digits = std::to_string(magnitude);
    std::string thousands;
    {
        std::lock_guard lock(GSeparatorLock);
        thousands = GThousands;
    }
    std::string out = ACount < 0 ? "-" : "";
    for (size_t k = 0; k < digits.size(); ++k) {
        if (k > 0 && (digits.size() - k) % 3 == 0)
            out += thousands;
        out += digits[k];
    }
    return out;
}

std::string FormatSize(int64_t ACount) {
    if (ACount < 1024)
        return std::to_string(ACount) + " B";
    static const char* const units[] = {"KB", "MB", "GB", "TB", "PB"};
    double value = static_cast<double>(ACount) / 1024.0;
    int unit = 0;
    while (value >= 1024.0 && unit < 4) {
        value /= 1024.0;
        ++unit;
    }
    char text[64];
    std::snprintf(text, sizeof text, "%.1f", value);
    std::string number = text;
    if (number.size() > 2 && number.compare(number.size() - 2, 2, ".0") == 0) {
        number.resize(number.size() - 2);
    } else {
        std::lock_guard lock(GSeparatorLock);
        number.replace(number.size() - 2, 1, GDecimal);
    }
    return number + " " + units[unit];
}

std::string FormatStamp(TKvDateTime AWhen) {
    if (AWhen == 0)
        return {};
    TKvDateParts parts = DecodeDateTime(AWhen);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d", parts.Year, parts.Month, parts.Day,
                  parts.Hour, parts.Minute);
    return text;
}

} // namespace kv
