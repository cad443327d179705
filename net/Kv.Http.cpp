#include "Kv.Http.h"

#include <algorithm>
#include <cstring>
#include <openssl/evp.h>

#include "Kv.Ftp.Parse.h"
#include "Kv.ServerPaths.h"
#include "Kv.Text.h"
#include "Kv.Utf8.h"

namespace kv {

namespace {

bool IsDigit(char AChar) {
    return AChar >= '0' && AChar <= '9';
}

bool IsAlpha(char AChar) {
    return (AChar >= 'a' && AChar <= 'z') || (AChar >= 'A' && AChar <= 'Z');
}

bool IsSpace(char AChar) {
    return AChar == ' ' || AChar == '\t' || AChar == '\r' || AChar == '\n' || AChar == '\f' ||
           AChar == '\v';
}

// Days since 1970-01-01 of a proleptic Gregorian date.
int64_t DaysFromCivil(int64_t AYear, int AMonth, int ADay) {
    AYear -= AMonth <= 2;
    const int64_t era = (AYear >= 0 ? AYear : AYear - 399) / 400;
    const int64_t yoe = AYear - era * 400;
    const int64_t doy = (153 * (AMonth + (AMonth > 2 ? -3 : 9)) + 2) / 5 + ADay - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

int DaysInMonth(int AYear, int AMonth) {
    static const int KDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (AMonth == 2 && ((AYear % 4 == 0 && AYear % 100 != 0) || AYear % 400 == 0))
        return 29;
    return KDays[AMonth - 1];
}

// A run of AMin to AMax digits at APos (greedy); the value, or -1.
int Digits(std::string_view AText, size_t& APos, int AMin, int AMax) {
    int count = 0, value = 0;
    while (APos < AText.size() && count < AMax && IsDigit(AText[APos])) {
        value = value * 10 + (AText[APos] - '0');
        ++APos;
        ++count;
    }
    return count >= AMin ? value : -1;
}

bool SkipSpaces(std::string_view AText, size_t& APos) {
    const size_t start = APos;
    while (APos < AText.size() && IsSpace(AText[APos]))
        ++APos;
    return APos > start;
}

bool Expect(std::string_view AText, size_t& APos, char AChar) {
    if (APos < AText.size() && AText[APos] == AChar) {
        ++APos;
        return true;
    }
    return false;
}

bool ClockAt(std::string_view AText, size_t& APos, int& AHour, int& AMinute, int& ASecond) {
    AHour = Digits(AText, APos, 1, 2);
    if (AHour < 0 || !Expect(AText, APos, ':'))
        return false;
    AMinute = Digits(AText, APos, 2, 2);
    if (AMinute < 0 || !Expect(AText, APos, ':'))
        return false;
    ASecond = Digits(AText, APos, 2, 2);
    return ASecond >= 0;
}

// "06 Nov 1994 08:49:37" or "06-Nov-94 08:49:37" starting at APos.
bool MatchRfcDate(std::string_view AText, size_t APos, int& AYear, int& AMonth, int& ADay,
                  int& AHour, int& AMinute, int& ASecond) {
    ADay = Digits(AText, APos, 1, 2);
    if (ADay < 0 || APos >= AText.size() || (AText[APos] != ' ' && AText[APos] != '-'))
        return false;
    ++APos;
    if (APos + 3 > AText.size() || !IsAlpha(AText[APos]) || !IsAlpha(AText[APos + 1]) ||
        !IsAlpha(AText[APos + 2]))
        return false;
    AMonth = MonthIndex(AText.substr(APos, 3));
    APos += 3;
    if (APos >= AText.size() || (AText[APos] != ' ' && AText[APos] != '-'))
        return false;
    ++APos;
    AYear = Digits(AText, APos, 2, 4);
    if (AYear < 0 || !SkipSpaces(AText, APos))
        return false;
    return ClockAt(AText, APos, AHour, AMinute, ASecond);
}

// "Nov  6 08:49:37 1994" starting at APos.
bool MatchAscDate(std::string_view AText, size_t APos, int& AYear, int& AMonth, int& ADay,
                  int& AHour, int& AMinute, int& ASecond) {
    if (APos + 3 > AText.size() || !IsAlpha(AText[APos]) || !IsAlpha(AText[APos + 1]) ||
        !IsAlpha(AText[APos + 2]))
        return false;
    AMonth = MonthIndex(AText.substr(APos, 3));
    APos += 3;
    if (!SkipSpaces(AText, APos))
        return false;
    ADay = Digits(AText, APos, 1, 2);
    if (ADay < 0 || !SkipSpaces(AText, APos))
        return false;
    if (!ClockAt(AText, APos, AHour, AMinute, ASecond) || !SkipSpaces(AText, APos))
        return false;
    AYear = Digits(AText, APos, 4, 4);
    return AYear >= 0;
}

std::string HexOf(const unsigned char* AData, unsigned ALength) {
    static const char KHex[] = "0123456789abcdef";
    std::string text;
    text.reserve(ALength * 2);
    for (unsigned i = 0; i < ALength; ++i) {
        text += KHex[AData[i] >> 4];
        text += KHex[AData[i] & 15];
    }
    return text;
}

} // namespace

std::string TKvDavResponse::Header(std::string_view AName) const {
    for (size_t i = 0; i < Names.size(); ++i)
        if (Names[i] == AName)
            return Values[i];
    return {};
}

std::vector<std::string> TKvDavResponse::HeaderAll(std::string_view AName) const {
    std::vector<std::string> values;
    for (size_t i = 0; i < Names.size(); ++i)
        if (Names[i] == AName)
            values.push_back(Values[i]);
    return values;
}

std::vector<std::string> SplitDavPath(std::string_view APath) {
    return SplitServerPath(APath);
}

std::string JoinDavPath(const std::vector<std::string>& AParts) {
    if (AParts.empty())
        return "/";
    std::string path;
    for (const auto& part : AParts) {
        path += '/';
        path += part;
    }
    return path;
}

std::string DecodeHttpText(std::string_view ABytes) {
    return ReadableText(ABytes);
}

std::string PercentEncode(std::string_view AText) {
    static const char KHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(AText.size() + 16);
    for (char c : AText) {
        if (IsAlpha(c) || IsDigit(c) || c == '-' || c == '.' || c == '/' || c == '_' || c == '~') {
            out += c;
        } else {
            const auto b = static_cast<unsigned char>(c);
            out += '%';
            out += KHex[b >> 4];
            out += KHex[b & 15];
        }
    }
    return out;
}

std::string DecodeUrlPath(std::string_view AText) {
    return DecodeHttpText(PercentDecode(AText));
}

namespace {

// The path of an href: without scheme, authority, query and fragment; still encoded.
std::string_view HrefPathPart(std::string_view AHref) {
    std::string_view href = TrimmedView(AHref);
    if (StartsWithIgnoringCase(href, "http://") || StartsWithIgnoringCase(href, "https://")) {
        const size_t authority = href.find("//") + 2;
        const size_t slash = href.find('/', authority);
        href = slash == std::string_view::npos ? std::string_view("/") : href.substr(slash);
    }
    if (const size_t cut = href.find_first_of("?#"); cut != std::string_view::npos)
        href = href.substr(0, cut);
    return href;
}

} // namespace

std::string HrefToPath(std::string_view AHref) {
    return JoinDavPath(SplitDavPath(DecodeUrlPath(HrefPathPart(AHref))));
}

std::vector<std::string> HrefParts(std::string_view AHref) {
    const std::string_view path = HrefPathPart(AHref);
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string_view::npos)
            end = path.size();
        if (end > start)
            parts.push_back(PercentDecode(path.substr(start, end - start)));
        start = end + 1;
    }
    return parts;
}

std::string RedirectPath(std::string_view ALocation, std::string_view AHostHeader) {
    std::string_view location = TrimmedView(ALocation);
    std::string_view path;
    if (StartsWithIgnoringCase(location, "http://"))
        return {};
    if (StartsWithIgnoringCase(location, "https://")) {
        const std::string_view rest = location.substr(8);
        const size_t slash = rest.find('/');
        const std::string_view authority = rest.substr(0, slash);
        if (!SameTextAscii(authority, AHostHeader) &&
            !SameTextAscii(authority, std::string(AHostHeader) + ":443"))
            return {};
        path = slash == std::string_view::npos ? std::string_view("/") : rest.substr(slash);
    } else if (!location.empty() && location[0] == '/') {
        path = location;
    } else {
        return {};
    }
    return std::string(path.substr(0, path.find('#')));
}

TKvHostField ParseHostField(std::string_view AText, int ADefaultPort) {
    TKvHostField field;
    field.Port = ADefaultPort;
    std::string_view text = TrimmedView(AText);
    if (StartsWithIgnoringCase(text, "https://"))
        text.remove_prefix(8);
    else if (StartsWithIgnoringCase(text, "http://"))
        text.remove_prefix(7);
    const size_t slash = text.find('/');
    std::string_view authority = text.substr(0, slash);
    std::string_view path =
        slash == std::string_view::npos ? std::string_view() : text.substr(slash);
    if (const size_t at = authority.rfind('@'); at != std::string_view::npos)
        authority.remove_prefix(at + 1);
    const size_t colon = authority.rfind(':');
    const size_t bracket = authority.rfind(']');
    const bool bracketed = !authority.empty() && authority[0] == '[';
    if (colon != std::string_view::npos && (bracket == std::string_view::npos || colon > bracket) &&
        (bracketed || authority.find(':') == colon)) {
        const std::string_view digits = authority.substr(colon + 1);
        int port = 0;
        bool valid = !digits.empty() && digits.size() <= 5;
        for (char c : digits) {
            valid = valid && IsDigit(c);
            if (valid)
                port = port * 10 + (c - '0');
        }
        if (valid && port >= 1 && port <= 65535)
            field.Port = port;
        authority = authority.substr(0, colon);
    }
    if (authority.size() >= 2 && authority.front() == '[' && authority.back() == ']')
        authority = authority.substr(1, authority.size() - 2);
    field.Host = std::string(authority);
    if (const size_t cut = path.find_first_of("?#"); cut != std::string_view::npos)
        path = path.substr(0, cut);
    field.Base = JoinDavPath(SplitDavPath(DecodeUrlPath(path)));
    if (field.Base == "/")
        field.Base.clear();
    return field;
}

bool ParseHttpDate(std::string_view AText, int64_t& AUnixSeconds) {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    bool found = false;
    for (size_t pos = 0; pos < AText.size() && !found; ++pos)
        found =
            IsDigit(AText[pos]) && MatchRfcDate(AText, pos, year, month, day, hour, minute, second);
    for (size_t pos = 0; pos < AText.size() && !found; ++pos)
        found =
            IsAlpha(AText[pos]) && MatchAscDate(AText, pos, year, month, day, hour, minute, second);
    if (!found || month == 0)
        return false;
    if (year < 70)
        year += 2000;
    else if (year < 100)
        year += 1900;
    if (second > 58)
        second = 59;
    if (day < 1 || day > DaysInMonth(year, month) || hour > 23 || minute > 59)
        return false;
    AUnixSeconds = DaysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second;
    return true;
}

std::string XmlUnescape(std::string_view AText) {
    if (AText.find('&') == std::string_view::npos)
        return std::string(AText);
    std::string out;
    out.reserve(AText.size());
    size_t i = 0;
    while (i < AText.size()) {
        if (AText[i] != '&') {
            out += AText[i++];
            continue;
        }
        const size_t semi = AText.find(';', i + 1);
        if (semi == std::string_view::npos || semi - i > 11) {
            out += AText[i++];
            continue;
        }
        const std::string_view name = AText.substr(i + 1, semi - i - 1);
        uint32_t code = 0;
        bool known = true;
        if (name == "amp")
            code = '&';
        else if (name == "lt")
            code = '<';
        else if (name == "gt")
            code = '>';
        else if (name == "quot")
            code = '"';
        else if (name == "apos")
            code = '\'';
        else if (name.size() > 1 && name[0] == '#') {
            const bool hex = name[1] == 'x' || name[1] == 'X';
            const std::string_view digits = name.substr(hex ? 2 : 1);
            known = !digits.empty();
            for (char c : digits) {
                const int value = hex ? HexDigitValue(c) : (IsDigit(c) ? c - '0' : -1);
                if (value < 0 || code > 0x10FFFF) {
                    known = false;
                    break;
                }
                code = code * (hex ? 16 : 10) + static_cast<uint32_t>(value);
            }
            known = known && code >= 1 && code <= 0x10FFFF && (code < 0xD800 || code > 0xDFFF);
        } else {
            known = false;
        }
        if (!known) {
            out += AText[i++];
            continue;
        }
        AppendUtf8(out, code);
        i = semi + 1;
    }
    return out;
}

std::string XmlLocalName(std::string_view AName) {
    if (const size_t colon = AName.find(':'); colon != std::string_view::npos)
        AName.remove_prefix(colon + 1);
    return LowerAscii(AName);
}

std::vector<TKvDavItem> ParseMultistatus(std::string_view AText) {
    std::vector<TKvDavItem> items;
    bool inResponse = false, inResourceType = false, haveHref = false;
    TKvDavItem item;
    std::string href;
    std::string data;
    size_t pos = 0;
    const size_t n = AText.size();
    while (pos < n) {
        const size_t lt = AText.find('<', pos);
        const size_t textEnd = lt == std::string_view::npos ? n : lt;
        if (textEnd > pos) {
            const std::string_view text = AText.substr(pos, textEnd - pos);
            if (text.find('&') == std::string_view::npos)
                data.append(text);
            else
                data += XmlUnescape(text);
        }
        if (lt == std::string_view::npos)
            break;
        const std::string_view rest = AText.substr(lt);
        if (rest.starts_with("<!--")) {
            const size_t end = AText.find("-->", lt + 4);
            if (end == std::string_view::npos)
                break;
            pos = end + 3;
            continue;
        }
        if (rest.starts_with("<![CDATA[")) {
            const size_t end = AText.find("]]>", lt + 9);
            if (end == std::string_view::npos)
                break;
            data.append(AText.substr(lt + 9, end - lt - 9));
            pos = end + 3;
            continue;
        }
        const size_t gt = AText.find('>', lt + 1);
        if (gt == std::string_view::npos)
            break;
        pos = gt + 1;
        std::string_view tag = AText.substr(lt + 1, gt - lt - 1);
        if (!tag.empty() && (tag[0] == '!' || tag[0] == '?'))
            continue;
        const bool endTag = !tag.empty() && tag[0] == '/';
        if (endTag)
            tag.remove_prefix(1);
        const bool emptyTag = !tag.empty() && tag.back() == '/';
        if (emptyTag)
            tag.remove_suffix(1);
        const std::string name = XmlLocalName(tag.substr(0, tag.find_first_of("\t\n\r ")));
        if (!endTag) {
            if (name == "response") {
                inResponse = true;
                item = TKvDavItem{};
                href.clear();
                haveHref = false;
            } else if (name == "resourcetype") {
                if (!emptyTag)
                    inResourceType = true;
            } else if (name == "collection" && inResourceType && inResponse) {
                item.Entry.IsDir = true;
            }
            data.clear();
        }
        if (endTag || emptyTag) {
            const std::string_view value = TrimmedView(data);
            if (inResponse) {
                if (name == "href") {
                    if (!haveHref) {
                        href = value;
                        haveHref = true;
                    }
                } else if (name == "getcontentlength") {
                    if (!value.empty()) {
                        int64_t size = 0;
                        bool valid = true;
                        for (char c : value) {
                            if (!IsDigit(c) || size > (INT64_MAX - 9) / 10) {
                                valid = false;
                                break;
                            }
                            size = size * 10 + (c - '0');
                        }
                        item.Entry.Size = valid ? size : 0;
                    }
                } else if (name == "getlastmodified") {
                    int64_t seconds = 0;
                    if (ParseHttpDate(value, seconds))
                        item.Entry.Modified = DateTimeFromUnix(seconds);
                } else if (name == "resourcetype") {
                    inResourceType = false;
                } else if (name == "response") {
                    if (haveHref && !href.empty()) {
                        item.Parts = HrefParts(href);
                        item.Path = JoinDavPath(item.Parts);
                        item.Entry.Name = item.Parts.empty() ? std::string() : item.Parts.back();
                        item.Entry.IsHidden = !item.Entry.Name.empty() && item.Entry.Name[0] == '.';
                        if (item.Entry.IsDir)
                            item.Entry.Size = 0;
                        items.push_back(std::move(item));
                    }
                    item = TKvDavItem{};
                    href.clear();
                    haveHref = false;
                    inResponse = false;
                }
            } else if (name == "resourcetype") {
                inResourceType = false;
            }
            data.clear();
        }
    }
    return items;
}

std::string DigestHash(std::string_view AAlgorithm, std::string_view AText) {
    const EVP_MD* md = StartsWithIgnoringCase(AAlgorithm, "SHA-256") ? EVP_sha256() : EVP_md5();
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned length = 0;
    EVP_Digest(AText.data(), AText.size(), digest, &length, md, nullptr);
    return HexOf(digest, length);
}

bool IsDigestAlgorithm(std::string_view AAlgorithm) {
    return AAlgorithm.empty() || SameTextAscii(AAlgorithm, "MD5") ||
           SameTextAscii(AAlgorithm, "MD5-sess") || SameTextAscii(AAlgorithm, "SHA-256") ||
           SameTextAscii(AAlgorithm, "SHA-256-sess");
}

std::string DigestResponse(std::string_view AAlgorithm, std::string_view AUser,
                           std::string_view ARealm, std::string_view APassword,
                           std::string_view AUri, std::string_view AMethod, std::string_view AQop,
                           std::string_view ANc, std::string_view ACnonce,
                           std::string_view ANonce) {
    auto join = [](std::initializer_list<std::string_view> AParts) {
        std::string text;
        bool first = true;
        for (std::string_view part : AParts) {
            if (!first)
                text += ':';
            text += part;
            first = false;
        }
        return text;
    };
    std::string ha1 = DigestHash(AAlgorithm, join({AUser, ARealm, APassword}));
    if (AAlgorithm.size() >= 5 && SameTextAscii(AAlgorithm.substr(AAlgorithm.size() - 5), "-sess"))
        ha1 = DigestHash(AAlgorithm, join({ha1, ANonce, ACnonce}));
    const std::string ha2 = DigestHash(AAlgorithm, join({AMethod, AUri}));
    if (!AQop.empty())
        return DigestHash(AAlgorithm, join({ha1, ANonce, ANc, ACnonce, AQop, ha2}));
    return DigestHash(AAlgorithm, join({ha1, ANonce, ha2}));
}

std::vector<TKvDavChallenge> ParseChallenges(const std::vector<std::string>& AValues) {
    std::vector<TKvDavChallenge> challenges;
    for (const std::string& value : AValues) {
        const size_t n = value.size();
        TKvDavChallenge current;
        bool have = false;
        size_t i = 0;
        for (;;) {
            while (i < n && (value[i] == ' ' || value[i] == '\t' || value[i] == ','))
                ++i;
            if (i >= n)
                break;
            const size_t start = i;
            while (i < n && value[i] != ' ' && value[i] != '\t' && value[i] != ',' &&
                   value[i] != '=')
                ++i;
            const std::string token = LowerAscii(std::string_view(value).substr(start, i - start));
            size_t j = i;
            while (j < n && (value[j] == ' ' || value[j] == '\t'))
                ++j;
            if (j >= n || value[j] != '=') {
                if (token.empty()) {
                    // A stray "=" cannot start anything; step over it.
                    i = j + 1;
                    continue;
                }
                if (have)
                    challenges.push_back(std::move(current));
                current = TKvDavChallenge{};
                current.Scheme = token;
                have = true;
                continue;
            }
            i = j + 1;
            while (i < n && (value[i] == ' ' || value[i] == '\t'))
                ++i;
            std::string param;
            if (i < n && value[i] == '"') {
                ++i;
                while (i < n && value[i] != '"') {
                    if (value[i] == '\\' && i + 1 < n)
                        ++i;
                    param += value[i++];
                }
                if (i < n)
                    ++i;
            } else {
                const size_t comma = value.find(',', i);
                const size_t end = comma == std::string::npos ? n : comma;
                param = std::string(TrimmedView(std::string_view(value).substr(i, end - i)));
                i = end;
            }
            if (!have)
                continue;
            if (token == "realm")
                current.Realm = param;
            else if (token == "nonce")
                current.Nonce = param;
            else if (token == "opaque")
                current.Opaque = param;
            else if (token == "algorithm")
                current.Algorithm = param;
            else if (token == "qop")
                current.Qop = param;
            else if (token == "stale")
                current.Stale = param;
        }
        if (have)
            challenges.push_back(std::move(current));
    }
    return challenges;
}

std::string QuoteDigestValue(std::string_view AText) {
    std::string out;
    for (char c : AText) {
        if (c == '\\' || c == '"')
            out += '\\';
        out += c;
    }
    return out;
}

EKvFsError DavStatusError(const std::string& APath, int AStatus) {
    std::string reason;
    switch (AStatus) {
    case 401:
        reason = "the server refused the login";
        break;
    case 403:
        reason = "access denied";
        break;
    case 404:
    case 410:
        reason = "not found";
        break;
    case 405:
        reason = "the server does not allow this here";
        break;
    case 409:
        reason = "the folder it belongs in does not exist";
        break;
    case 412:
        reason = "it already exists";
        break;
    case 413:
        reason = "the server does not take files this large";
        break;
    case 423:
        reason = "it is locked";
        break;
    case 507:
        reason = "the server has no space left";
        break;
    default:
        reason = "the server answered with HTTP status " + std::to_string(AStatus);
    }
    return EKvFsError(APath + ": " + reason);
}

// The response reader.

TKvHttpReader::TKvHttpReader(IKvHttpSource& ASource, int ABodyMs)
    : FSource(ASource), FBodyMs(ABodyMs), FIn(65536) {}

void TKvHttpReader::Reset() {
    FInPos = FInLen = 0;
    FBroken = false;
    FCloseAfter = false;
    FBodyDone = true;
    FExchanges = 0;
    FBody = bmNone;
    FBodyLeft = FChunkLeft = 0;
    FInChunk = false;
}

void TKvHttpReader::Lost(const std::string& AMessage) {
    FBroken = true;
    throw EDavLost(AMessage);
}

int TKvHttpReader::ReceiveInto(char* ABuffer, int ALength, int ATimeoutMs) {
    try {
        return FSource.Receive(ABuffer, ALength, ATimeoutMs);
    } catch (const EKvCancelled&) {
        // Half an answer may be on its way: the connection is out of step for good.
        FBroken = true;
        throw;
    } catch (const EDavLost&) {
        FBroken = true;
        throw;
    } catch (const EKvFsError& error) {
        Lost(error.what());
    }
}

bool TKvHttpReader::FillInput(int ATimeoutMs) {
    if (FInPos > 0) {
        std::memmove(FIn.data(), FIn.data() + FInPos, FInLen - FInPos);
        FInLen -= FInPos;
        FInPos = 0;
    }
    if (FInLen == FIn.size())
        FIn.resize(FIn.size() * 2);
    const int got =
        ReceiveInto(FIn.data() + FInLen, static_cast<int>(FIn.size() - FInLen), ATimeoutMs);
    FInLen += static_cast<size_t>(got);
    return got > 0;
}

std::string_view TKvHttpReader::ReadLine(int ATimeoutMs) {
    for (;;) {
        const char* start = FIn.data() + FInPos;
        const auto* lf = static_cast<const char*>(std::memchr(start, '\n', FInLen - FInPos));
        if (lf) {
            size_t length = static_cast<size_t>(lf - start);
            FInPos += length + 1;
            if (length > 0 && start[length - 1] == '\r')
                --length;
            return {start, length};
        }
        if (FInLen - FInPos > KHttpMaxLine)
            Lost("The server sent a line that is too long");
        if (!FillInput(ATimeoutMs))
            Lost("The server closed the connection");
    }
}

TKvDavResponse TKvHttpReader::ReadHead(std::string_view AMethod, int ATimeoutMs) {
    if (FBroken)
        throw EDavLost("The connection is broken");
    for (;;) {
        TKvDavResponse response;
        // Bytes and lines of this head so far, blank lines before the status included.
        size_t headBytes = 0;
        int headLines = 0;
        const auto headLine = [&] {
            const std::string_view read = ReadLine(ATimeoutMs);
            headBytes += read.size() + 2;
            if (headBytes > KHttpMaxHead)
                Lost("The server sent a header larger than " + std::to_string(KHttpMaxHead / 1024) +
                     " KiB");
            return read;
        };
        std::string_view line;
        do
            line = headLine();
        while (line.empty());
        const std::string status = DecodeHttpText(line);
        const size_t space = status.find(' ');
        if (!StartsWithIgnoringCase(status, "HTTP/") || space == std::string::npos)
            Lost("The server sent something that is not HTTP: " + status.substr(0, 60));
        const std::string version = status.substr(0, space);
        const std::string code = status.substr(space + 1, 3);
        response.Status = 0;
        if (code.size() == 3 && IsDigit(code[0]) && IsDigit(code[1]) && IsDigit(code[2]))
            response.Status = std::stoi(code);
        if (response.Status < 100)
            Lost("The server sent a broken answer: " + status.substr(0, 60));
        for (;;) {
            line = headLine();
            if (line.empty())
                break;
            if (++headLines > KHttpMaxHeaders)
                Lost("The server sent too many header lines");
            if (line[0] == ' ' || line[0] == '\t') {
                if (!response.Values.empty()) {
                    response.Values.back() += ' ';
                    response.Values.back() += TrimmedView(line);
                }
                continue;
            }
            const size_t colon = line.find(':');
            if (colon == std::string_view::npos || colon < 1)
                continue;
            response.Names.push_back(LowerAscii(TrimmedView(line.substr(0, colon))));
            response.Values.emplace_back(TrimmedView(line.substr(colon + 1)));
        }
        if (response.Status < 200)
            continue;
        ++FExchanges;
        const std::string connection = LowerAscii(response.Header("connection"));
        FCloseAfter = connection.find("close") != std::string::npos ||
                      (SameTextAscii(version, "HTTP/1.0") &&
                       connection.find("keep-alive") == std::string::npos);
        FBody = bmNone;
        FInChunk = false;
        if (!SameTextAscii(AMethod, "HEAD") && response.Status != 204 && response.Status != 304) {
            const std::string encoding = LowerAscii(response.Header("transfer-encoding"));
            const std::string length = response.Header("content-length");
            if (encoding.find("chunked") != std::string::npos) {
                FBody = bmChunked;
            } else if (!length.empty()) {
                int64_t value = 0;
                for (char c : length) {
                    if (!IsDigit(c) || value > (INT64_MAX - 9) / 10)
                        Lost("The server sent a broken Content-Length");
                    value = value * 10 + (c - '0');
                }
                FBody = value > 0 ? bmLength : bmNone;
                FBodyLeft = value;
            } else {
                FBody = bmClose;
                FCloseAfter = true;
            }
        }
        FBodyDone = FBody == bmNone;
        return response;
    }
}

int TKvHttpReader::ReadBody(char* ABuffer, int ALength) {
    if (FBodyDone || ALength <= 0)
        return 0;
    if (FBroken)
        throw EDavLost("The connection is broken");
    if (FBody == bmChunked && !FInChunk) {
        const std::string_view line = ReadLine(FBodyMs);
        std::string_view size = TrimmedView(line.substr(0, line.find(';')));
        int64_t value = 0;
        if (size.empty() || size.size() > 15)
            Lost("The server sent a broken chunk");
        for (char c : size) {
            const int digit = HexDigitValue(c);
            if (digit < 0)
                Lost("The server sent a broken chunk");
            value = value * 16 + digit;
        }
        if (value == 0) {
            // Trailers are read and dropped.
            while (!ReadLine(FBodyMs).empty()) {
            }
            FBodyDone = true;
            return 0;
        }
        FChunkLeft = value;
        FInChunk = true;
    }
    int64_t want = ALength;
    if (FBody == bmLength)
        want = std::min(want, FBodyLeft);
    else if (FBody == bmChunked)
        want = std::min(want, FChunkLeft);
    int got = 0;
    if (FInLen > FInPos) {
        got = static_cast<int>(std::min<int64_t>(want, static_cast<int64_t>(FInLen - FInPos)));
        std::memcpy(ABuffer, FIn.data() + FInPos, static_cast<size_t>(got));
        FInPos += static_cast<size_t>(got);
    } else {
        // Large pieces go straight to the caller without passing through the buffer.
        got = ReceiveInto(ABuffer, static_cast<int>(want), FBodyMs);
        if (got == 0) {
            if (FBody != bmClose)
                Lost("The server closed the connection before the end of the data");
            FBroken = true;
            if (!FSource.EndedCleanly())
                Lost("The connection was cut before the end of the data");
            FBodyDone = true;
            return 0;
        }
    }
    if (FBody == bmLength) {
        FBodyLeft -= got;
        if (FBodyLeft == 0)
            FBodyDone = true;
    } else if (FBody == bmChunked) {
        FChunkLeft -= got;
        if (FChunkLeft == 0) {
            FInChunk = false;
            if (!ReadLine(FBodyMs).empty())
                Lost("The server sent a broken chunk");
        }
    }
    return got;
}

std::string TKvHttpReader::ReadBodyAll(size_t AMax) {
    std::string body;
    char piece[16384];
    for (;;) {
        const int got = ReadBody(piece, sizeof piece);
        if (got == 0)
            return body;
        if (body.size() + static_cast<size_t>(got) > AMax)
            Lost("The server's answer is too large");
        body.append(piece, static_cast<size_t>(got));
    }
}

} // namespace kv
