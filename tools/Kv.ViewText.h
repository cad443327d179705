// Text helpers of the viewer: decoding one line for display, wrapping, hex rows, the search
// pattern in hex, and telling Java stack-trace lines apart.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kv {

inline constexpr int64_t KViewLineBytes = 8000;
inline constexpr int64_t KViewLineChars = 2000;
inline constexpr int64_t KJavaLineBytes = 512;

// At most 8000 bytes, one trailing CR dropped, UTF-8 with bad bytes replaced, at most 2000
// characters and then "...".
std::string DecodeViewLine(std::string_view ABytes);
// Tabs as four spaces, zero characters as ".".
std::string CleanViewText(std::string_view AText);
// Pieces of at most AWidth characters, broken after a space where one is near the end.
std::vector<std::string> WrapText(std::string_view AText, int AWidth);
// Whether the first bytes of a file read as text: no zero byte, and at most one byte in ten
// a control character (other than tabs, line and page breaks, backspace and escape) or not
// part of valid UTF-8. A sequence cut by the end of the sample still counts as text.
bool LooksLikeText(std::string_view ABytes);
// Characters (code points) in UTF-8 text.
int64_t CharCount(std::string_view AText);

// Hex digits of a row offset: at least eight, nine from 4 GiB on, and so on.
int HexOffsetDigits(int64_t AOffset);
// One hex row: the offset, two spaces, 16 columns of "XX " (an extra space before the ninth),
// a space and the bytes as characters.
std::string FormatHexRow(int64_t AOffset, const unsigned char* ABytes, int ACount);
// Where byte AIndex (0..15) of the row at AOffset stands: the first of its two hex digits and
// its character. Both move right with the width of the offset.
int HexDigitColumn(int64_t AOffset, int AIndex);
int HexCharColumn(int64_t AOffset, int AIndex);

// "0x" pairs are skipped; blanks, commas, semicolons and x are ignored; anything else fails,
// as does an odd or too small number of digits.
bool ParseHexBytes(std::string_view AText, std::string& ABytes);

enum class TKvJavaLine { jlOther, jlBlank, jlFrame, jlMore };
using enum TKvJavaLine;

// Classifies one line (without its line feed; only the first 512 bytes count). AFramework
// tells a frame of a library or framework from one of the application.
TKvJavaLine ClassifyJavaLine(std::string_view ALine, bool& AFramework);
// At least two frame lines within the first ALength bytes.
bool LooksLikeJava(std::string_view ABytes, int64_t ALength);

} // namespace kv
