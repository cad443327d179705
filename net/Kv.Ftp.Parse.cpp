#include "Kv.Ftp.Parse.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <ctime>
#include <iconv.h>

#include "Kv.Text.h"

namespace kv {

namespace {

bool ToInt(std::string_view AText, int& AValue) {
    AText = TrimmedView(AText);
    if (AText.empty())
        return false;
    const auto result = std::from_chars(AText.data(), AText.data() + AText.size(), AValue);
    return result.ec == std::errc() && result.ptr == AText.data() + AText.size();
}

bool ToInt64(std::string_view AText, int64_t& AValue) {
    const auto result = std::from_chars(AText.data(), AText.data() + AText.size(), AValue);
    return result.ec == std::errc() && result.ptr == AText.data() + AText.size();
}

// The first ACount characters of a UTF-8 text, never cutting one in half.
std::string_view Prefix(std::string_view AText, size_t ACount) {
    size_t end = 0;
    for (size_t chars = 0; end < AText.size() && chars < ACount; ++chars) {
        ++end;
        while (end < AText.size() && (static_cast<unsigned char>(AText[end]) & 0xC0) == 0x80)
            ++end;
    }
    return AText.substr(0, end);
}

// A compiled pattern matched against whole lines; groups come back as views of the line.
class TPattern {
public:
    explicit TPattern(const char* APattern) {
        int error = 0;
        PCRE2_SIZE offset = 0;
        FCode = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(APattern), PCRE2_ZERO_TERMINATED, 0,
                              &error, &offset, nullptr);
        if (FCode)
            pcre2_jit_compile(FCode, PCRE2_JIT_COMPLETE);
    }
    ~TPattern() { pcre2_code_free(FCode); }

    // Unmatched optional groups give empty views.
    bool Match(const std::string& ALine, std::vector<std::string_view>& AGroups) const {
        if (!FCode)
            return false;
        pcre2_match_data* data = pcre2_match_data_create_from_pattern(FCode, nullptr);
        const int count = pcre2_match(FCode, reinterpret_cast<PCRE2_SPTR>(ALine.data()),
                                      ALine.size(), 0, 0, data, nullptr);
        AGroups.clear();
        if (count > 0) {
            uint32_t groups = 0;
            pcre2_pattern_info(FCode, PCRE2_INFO_CAPTURECOUNT, &groups);
            const PCRE2_SIZE* vector = pcre2_get_ovector_pointer(data);
            for (uint32_t i = 0; i <= groups; ++i) {
                if (static_cast<int>(i) < count && vector[2 * i] != PCRE2_UNSET)
                    AGroups.emplace_back(ALine.data() + vector[2 * i],
                                         vector[2 * i + 1] - vector[2 * i]);
                else
                    AGroups.emplace_back();
            }
        }
        pcre2_match_data_free(data);
        return count > 0;
    }

private:
    pcre2_code* FCode = nullptr;
};

// Read from the right: size, date and name have fixed forms, so the owner and group are
// whatever words come between the link count and the size ("Domain Users" is one group). The
// first size-and-date that fits ends them: names may hold dates too. Dates come as "Jun 3" or,
// from Chinese and Japanese servers, as "6<month> 3<day> 2003<year>" in whatever encoding the
// server uses (the marks are taken as any two or three bytes above ASCII). The name starts one
// blank after the year or time: its own leading blanks are part of it. Possessive separators
// keep a hostile line linear.
const TPattern& UnixPattern() {
    static const TPattern pattern(
        R"(^([-dlbcpsfDLBCPSF])([-rwxsStTlL]{9})[+@.]?\s*+\d++\s++(\S++(?:\s++\S++)*?)\s++)"
        R"((\d++(?:,\s*+\d++)?)\s++)"
        R"((?:([A-Za-z]{3})\s++(\d{1,2})|(\d{1,2})[\x80-\xFF]{2,3}\s*+(\d{1,2})(?:[\x80-\xFF]{2,3})?))"
        R"(\s++(\d{4}(?:[\x80-\xFF]{2,3})?|\d{1,2}:\d{2})[ \t](.+)$)");
    return pattern;
}

const TPattern& DosPattern() {
    static const TPattern pattern(
        R"(^(\d{2})-(\d{2})-(\d{2,4})\s+(\d{1,2}):(\d{2})\s*([AaPp][Mm])?\s+(<DIR>|\d+)\s+(.+)$)");
    return pattern;
}

bool IsLeapYear(int AYear) {
    return (AYear % 4 == 0 && AYear % 100 != 0) || AYear % 400 == 0;
}

bool ValidDate(int AYear, int AMonth, int ADay) {
    static const int KDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (AYear < 1 || AYear > 9999 || AMonth < 1 || AMonth > 12 || ADay < 1)
        return false;
    return ADay <= KDays[AMonth - 1] + (AMonth == 2 && IsLeapYear(AYear) ? 1 : 0);
}

void FinishEntry(TKvFileEntry& AEntry) {
    AEntry.IsHidden = !AEntry.Name.empty() && AEntry.Name[0] == '.';
}

bool ParseUnix(const std::string& ALine, TKvFileEntry& AEntry, std::string& ALinkTarget,
               TKvDateTime ANow) {
    std::vector<std::string_view> g;
    if (!UnixPattern().Match(ALine, g))
        return false;
    // Groups: type, permissions, owner and group, size, month name, day, month number, day,
    // year or time, name.
    int month = 0, day = 1;
    if (!g[5].empty()) {
        month = MonthIndex(g[5]);
        if (!ToInt(g[6], day))
            day = 1;
    } else if (!ToInt(g[7], month) || !ToInt(g[8], day)) {
        return false;
    }
    if (month < 1 || month > 12)
        return false;
    int year = 1970, hour = 0, minute = 0;
    const std::string_view yearOrTime = g[9];
    bool guess = false;
    if (const size_t colon = yearOrTime.find(':'); colon == std::string_view::npos) {
        if (!ToInt(yearOrTime.substr(0, 4), year))
            year = 1970;
    } else {
        ToInt(yearOrTime.substr(0, colon), hour);
        ToInt(yearOrTime.substr(colon + 1), minute);
        guess = true;
    }
    TKvFileEntry entry;
    std::string name(g[10]);
    const char type = AsciiLower(g[1][0]);
    std::string target;
    if (type == 'l') {
        entry.IsLink = true;
        const size_t arrow = name.find(" -> ");
        if (arrow != std::string::npos && arrow > 0) {
            target = name.substr(arrow + 4);
            name.resize(arrow);
        }
    }
    // A device shows "major, minor" where a file has its size.
    if (type == 'd')
        entry.IsDir = true;
    else if (!ToInt64(g[4], entry.Size))
        entry.Size = 0;
    entry.IsReadOnly = g[2][1] != 'w';
    entry.Modified = ListDate(month, day, year, guess, minute, hour, ANow);
    entry.Name = std::move(name);
    if (entry.Name.empty())
        return false;
    FinishEntry(entry);
    AEntry = std::move(entry);
    ALinkTarget = std::move(target);
    return true;
}

bool ParseDos(const std::string& ALine, TKvFileEntry& AEntry, std::string& ALinkTarget) {
    std::vector<std::string_view> g;
    if (!DosPattern().Match(ALine, g))
        return false;
    int month = 0, day = 0, year = 0, hour = 0, minute = 0;
    ToInt(g[1], month);
    ToInt(g[2], day);
    ToInt(g[3], year);
    ToInt(g[4], hour);
    ToInt(g[5], minute);
    if (year < 70)
        year += 2000;
    else if (year < 100)
        year += 1900;
    if (!g[6].empty()) {
        const bool pm = AsciiLower(g[6][0]) == 'p';
        if (pm && hour <= 11)
            hour += 12;
        else if (!pm && hour == 12)
            hour = 0;
    }
    TKvFileEntry entry;
    if (g[7] == "<DIR>")
        entry.IsDir = true;
    else if (!ToInt64(g[7], entry.Size))
        entry.Size = 0;
    entry.Name = std::string(g[8]);
    if (entry.Name.empty())
        return false;
    entry.Modified = ListDate(month, day, year, false, minute, hour, 0);
    FinishEntry(entry);
    AEntry = std::move(entry);
    ALinkTarget.clear();
    return true;
}

} // namespace

void TKvFtpReplyReader::Feed(const char* AData, size_t ALength) {
    if (FPos > 0 && (FPos == FPending.size() || FPos > 65536)) {
        FPending.erase(0, FPos);
        FScanned -= std::min(FScanned, FPos);
        FPos = 0;
    }
    FPending.append(AData, ALength);
}

void TKvFtpReplyReader::Clear() {
    FPending.clear();
    FPos = 0;
    FScanned = 0;
    FCode = -1;
    FText.clear();
}

bool TKvFtpReplyReader::NextLine(std::string& ALine) {
    const size_t feed = FPending.find('\n', std::max(FPos, FScanned));
    if (feed == std::string::npos) {
        FScanned = FPending.size();
        if (FPending.size() - FPos > KFtpMaxLine)
            throw EFtpLost("The server sent a line that is too long");
        return false;
    }
    if (feed - FPos > KFtpMaxLine)
        throw EFtpLost("The server sent a line that is too long");
    size_t end = feed;
    if (end > FPos && FPending[end - 1] == '\r')
        --end;
    // The server's own bytes: a path in a reply (PWD) must go back exactly as it came.
    ALine.assign(FPending, FPos, end - FPos);
    FPos = feed + 1;
    return true;
}

bool TKvFtpReplyReader::Next(int& ACode, std::string& AText) {
    std::string line;
    while (NextLine(line)) {
        if (FCode < 0) {
            int code = 0;
            const bool digits = line.size() >= 3 &&
                                std::isdigit(static_cast<unsigned char>(line[0])) &&
                                std::isdigit(static_cast<unsigned char>(line[1])) &&
                                std::isdigit(static_cast<unsigned char>(line[2]));
            if (!digits || !ToInt(std::string_view(line).substr(0, 3), code))
                throw EFtpLost("The server sent something that is not FTP: " +
                               DecodeServerText(Prefix(line, 60)));
            if (line.size() >= 4 && line[3] == '-') {
                FCode = code;
                FText = std::move(line);
                continue;
            }
            ACode = code;
            AText = std::move(line);
            return true;
        }
        if (FText.size() + line.size() + 1 > KFtpMaxReply)
            throw EFtpLost("The server sent a reply that is too long");
        FText += '\n';
        FText += line;
        const std::string code = std::to_string(FCode);
        if (line.size() >= 3 && line.compare(0, 3, code) == 0 &&
            (line.size() == 3 || line[3] == ' ')) {
            ACode = FCode;
            AText = std::move(FText);
            FText.clear();
            FCode = -1;
            return true;
        }
    }
    return false;
}

std::string ReplyMessage(std::string_view AText) {
    std::string_view line = AText.substr(0, AText.find('\n'));
    if (line.size() >= 5 && (line[3] == ' ' || line[3] == '-'))
        line.remove_prefix(4);
    line = TrimmedView(line);
    return line.empty() ? "the server refused" : DecodeServerText(line);
}

std::string DecodeServerText(std::string_view ABytes) {
    if (IsValidUtf8(ABytes))
        return std::string(ABytes);
    // iconv descriptors are not shareable between threads; opening one per line is cheap enough
    // for the rare server that is not UTF-8.
    iconv_t converter = ::iconv_open("UTF-8", "WINDOWS-1252");
    if (converter == reinterpret_cast<iconv_t>(-1))
        return std::string(ABytes);
    std::string result;
    result.resize(ABytes.size() * 3 + 4);
    char* in = const_cast<char*>(ABytes.data());
    size_t inLeft = ABytes.size();
    char* out = result.data();
    size_t outLeft = result.size();
    while (inLeft > 0) {
        if (::iconv(converter, &in, &inLeft, &out, &outLeft) == static_cast<size_t>(-1)) {
            // The five bytes Windows-1252 leaves undefined become U+FFFD.
            if (outLeft < 3)
                break;
            *out++ = '\xEF';
            *out++ = '\xBF';
            *out++ = '\xBD';
            outLeft -= 3;
            ++in;
            --inLeft;
        }
    }
    ::iconv_close(converter);
    result.resize(result.size() - outLeft);
    return result;
}

std::vector<std::string> SplitListing(std::string_view ABytes) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < ABytes.size()) {
        size_t end = ABytes.find('\n', start);
        if (end == std::string_view::npos)
            end = ABytes.size();
        std::string_view line = ABytes.substr(start, end - start);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (!line.empty())
            lines.emplace_back(line);
        start = end + 1;
    }
    return lines;
}

std::vector<std::string> SplitFtpPath(std::string_view APath) {
    return SplitServerPath(APath);
}

void CheckCommandText(std::string_view AText) {
    if (AText.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos)
        throw EKvFsError("The name contains a character that FTP cannot send");
}

int MonthIndex(std::string_view AText) {
    static constexpr std::string_view KMonths = "janfebmaraprmayjunjulaugsepoctnovdec";
    if (AText.size() != 3)
        return 0;
    const std::string lower = LowerAscii(AText);
    for (int i = 0; i < 12; ++i)
        if (KMonths.substr(i * 3, 3) == lower)
            return i + 1;
    return 0;
}

TKvDateTime ListDate(int AMonth, int ADay, int AYear, bool AGuessYear, int AMinute, int AHour,
                     TKvDateTime ANow) {
    if (AGuessYear) {
        if (ANow == 0)
            ANow = NowDateTime();
        AYear = DecodeDateTime(ANow).Year;
        if (ValidDate(AYear, AMonth, ADay) &&
            EncodeDateTime({AYear, AMonth, ADay, 0, 0, 0, 0}) > ANow + 2)
            --AYear;
    }
    if (!ValidDate(AYear, AMonth, ADay))
        return 0;
    TKvDateParts parts{AYear, AMonth, ADay, 0, 0, 0, 0};
    if (AHour >= 0 && AHour < 24 && AMinute >= 0 && AMinute < 60) {
        parts.Hour = AHour;
        parts.Minute = AMinute;
    }
    return EncodeDateTime(parts);
}

bool ParseListLine(const std::string& ALine, TKvFileEntry& AEntry, std::string& ALinkTarget,
                   TKvDateTime ANow) {
    return ParseUnix(ALine, AEntry, ALinkTarget, ANow) || ParseDos(ALine, AEntry, ALinkTarget);
}

bool ParseFtpStamp(std::string_view AText, TKvDateTime& AWhen) {
    if (AText.size() < 14)
        return false;
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
    if (!ToInt(AText.substr(0, 4), y) || !ToInt(AText.substr(4, 2), mo) ||
        !ToInt(AText.substr(6, 2), d) || !ToInt(AText.substr(8, 2), h) ||
        !ToInt(AText.substr(10, 2), mi) || !ToInt(AText.substr(12, 2), s) ||
        !ValidDate(y, mo, d) || h < 0 || h >= 24 || mi < 0 || mi >= 60 || s < 0 || s >= 61)
        return false;
    std::tm utc{};
    utc.tm_year = y - 1900;
    utc.tm_mon = mo - 1;
    utc.tm_mday = d;
    utc.tm_hour = h;
    utc.tm_min = mi;
    utc.tm_sec = s;
    AWhen = DateTimeFromUnix(::timegm(&utc));
    return true;
}

bool ParseMlsdLine(const std::string& ALine, TKvFileEntry& AEntry, std::string& ALinkTarget) {
    std::string_view line = ALine;
    while (!line.empty() && static_cast<unsigned char>(line.front()) <= ' ')
        line.remove_prefix(1);
    const size_t space = line.find(' ');
    if (space == std::string_view::npos)
        return false;
    const std::string_view facts = line.substr(0, space);
    const std::string name(line.substr(space + 1));
    if (name.empty() || name == "." || name == "..")
        return false;
    TKvFileEntry entry;
    std::string type, perm;
    bool hasPerm = false;
    size_t start = 0;
    while (start < facts.size()) {
        size_t end = facts.find(';', start);
        if (end == std::string_view::npos)
            end = facts.size();
        const std::string_view fact = facts.substr(start, end - start);
        start = end + 1;
        const size_t equals = fact.find('=');
        if (equals == std::string_view::npos || equals == 0)
            continue;
        const std::string key = LowerAscii(fact.substr(0, equals));
        const std::string_view value = fact.substr(equals + 1);
        if (key == "type") {
            type = std::string(value);
        } else if (key == "size") {
            if (!ToInt64(value, entry.Size) || entry.Size < 0)
                entry.Size = 0;
        } else if (key == "perm") {
            perm = LowerAscii(value);
            hasPerm = true;
        } else if (key == "modify") {
            ParseFtpStamp(value, entry.Modified);
        }
    }
    const std::string lowerType = LowerAscii(type);
    std::string target;
    // The type fact is optional: an entry without one is a file of unknown type.
    if (lowerType == "cdir" || lowerType == "pdir")
        return false;
    if (lowerType == "dir") {
        entry.IsDir = true;
    } else if (lowerType.starts_with("os.unix=slink") || lowerType.starts_with("os.unix=symlink")) {
        entry.IsLink = true;
        if (const size_t colon = type.find(':'); colon != std::string::npos)
            target = type.substr(colon + 1);
    }
    if (entry.IsDir)
        entry.Size = 0;
    else if (hasPerm)
        entry.IsReadOnly = perm.find('w') == std::string::npos;
    entry.Name = name;
    FinishEntry(entry);
    AEntry = std::move(entry);
    ALinkTarget = std::move(target);
    return true;
}

int ParsePassivePort(std::string_view AText) {
    std::string_view inner;
    if (const size_t open = AText.find('('); open != std::string_view::npos) {
        inner = AText.substr(open + 1);
        if (const size_t close = inner.find(')'); close != std::string_view::npos)
            inner = inner.substr(0, close);
    } else {
        inner = AText.size() > 4 ? AText.substr(4) : std::string_view();
    }
    auto fields = [](std::string_view AText, char ASeparator) {
        std::vector<std::string_view> parts;
        size_t start = 0;
        for (;;) {
            const size_t end = AText.find(ASeparator, start);
            parts.push_back(AText.substr(start, end == std::string_view::npos ? end : end - start));
            if (end == std::string_view::npos)
                return parts;
            start = end + 1;
        }
    };
    int port = 0;
    if (inner.find('|') != std::string_view::npos) {
        const auto parts = fields(inner, '|');
        if (parts.size() < 4 || !ToInt(parts[3], port))
            return 0;
    } else {
        const auto parts = fields(inner, ',');
        if (parts.size() <= 5)
            return 0;
        int high = -1, low = -1;
        if (!ToInt(parts[parts.size() - 2], high))
            high = -1;
        if (!ToInt(parts[parts.size() - 1], low))
            low = -1;
        if (high < 0 || low < 0 || high > 255 || low > 255)
            return 0;
        port = high * 256 + low;
    }
    return port >= 1 && port <= 65535 ? port : 0;
}

bool ParsePwdReply(std::string_view AText, std::string& APath) {
    const std::string message = ReplyMessage(AText);
    if (message.empty() || message[0] != '"')
        return false;
    std::string path;
    for (size_t i = 1; i < message.size(); ++i) {
        if (message[i] != '"') {
            path += message[i];
            continue;
        }
        if (i + 1 < message.size() && message[i + 1] == '"') {
            path += '"';
            ++i;
            continue;
        }
        break;
    }
    if (path.empty())
        return false;
    APath = std::move(path);
    return true;
}


} // namespace kv
