// The text side of FTP: replies, listings (Unix and DOS "LIST" lines, MLSD facts), passive-mode
// and PWD replies, and paths. Plain functions and one reply reader; nothing here touches a socket.
#pragma once

#include "Kv.Utf8.h"

#include <string>
#include <string_view>
#include <vector>

#include "Kv.FileSystem.h"
#include "Kv.ServerPaths.h"

namespace kv {

// The server answered, but not as needed; the connection stays usable.
class EFtpReply : public EKvFsError {
public:
    EFtpReply(int ACode, const std::string& AMessage) : EKvFsError(AMessage), FCode(ACode) {}
    int Code() const { return FCode; }

private:
    int FCode;
};

// The control connection is unusable.
class EFtpLost : public EKvFsError {
public:
    using EKvFsError::EKvFsError;
};

// A line longer than this without a line feed ends the connection.
inline constexpr size_t KFtpMaxLine = 0x100000;
// A reply (all its lines together) longer than this ends the connection: a server that never
// ends a multi-line reply would otherwise grow it without bound.
inline constexpr size_t KFtpMaxReply = 0x100000;

// Splits control bytes into lines and lines into replies. Feed bytes as they arrive; Next gives
// each complete reply. Hostile input raises EFtpLost.
class TKvFtpReplyReader {
public:
    void Feed(const char* AData, size_t ALength);
    // True with the code and all lines joined by line feeds; false when more bytes are needed.
    bool Next(int& ACode, std::string& AText);
    void Clear();

private:
    bool NextLine(std::string& ALine);

    std::string FPending;
    size_t FPos = 0;
    size_t FScanned = 0; // pending bytes already known to hold no line feed
    int FCode = -1;      // the code of a multi-line reply under way
    std::string FText;
};

// The first line without its code; "the server refused" when nothing is left.
std::string ReplyMessage(std::string_view AText);
// Strict UTF-8 as it is; anything else read as Windows-1252.
std::string DecodeServerText(std::string_view ABytes);
// Lines of a listing as the server's bytes (names go back to it unchanged); empty lines dropped.
std::vector<std::string> SplitListing(std::string_view ABytes);
// Components of a path: "." and empty ones vanish, ".." climbs (not above "/").
std::vector<std::string> SplitFtpPath(std::string_view APath);
// Raises EKvFsError for CR, LF or NUL, which would end or split a command.
void CheckCommandText(std::string_view AText);

// 1 to 12 for a three-letter English month abbreviation in any case; otherwise 0.
int MonthIndex(std::string_view AText);
// 0 for an invalid date; the date alone for an invalid time. AGuessYear: the year of ANow, or
// the year before when the date would lie more than two days after ANow.
TKvDateTime ListDate(int AMonth, int ADay, int AYear, bool AGuessYear, int AMinute, int AHour,
                     TKvDateTime ANow);

// A Unix "ls -l" or DOS listing line. ANow decides the year of recent Unix dates (0: now).
bool ParseListLine(const std::string& ALine, TKvFileEntry& AEntry, std::string& ALinkTarget,
                   TKvDateTime ANow = 0);
// An MLSD or MLST fact line; false for "." and "..", the current and parent folder entries.
bool ParseMlsdLine(const std::string& ALine, TKvFileEntry& AEntry, std::string& ALinkTarget);
// A time as RFC 3659 writes it (YYYYMMDDHHMMSS in UTC, fractions ignored), in local time;
// false when it is none.
bool ParseFtpStamp(std::string_view AText, TKvDateTime& AWhen);
// The port of a 227 or 229 reply line (code included); 0 when there is no usable port.
int ParsePassivePort(std::string_view AText);
// The folder of a 257 reply text; false when there is none.
bool ParsePwdReply(std::string_view AText, std::string& APath);

} // namespace kv
