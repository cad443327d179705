// The line diff behind the side-by-side view: decoding, line splitting, and a patience-style
// matcher that aligns the lines of two texts.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "Kv.Settings.h"
#include "Kv.Worker.h"

namespace kv {

enum class TKvDiffKind { dkSame, dkSoft, dkChanged, dkLeftOnly, dkRightOnly };
using enum TKvDiffKind;

// Line indices are -1 for a missing side; present indices increase strictly from row to row.
struct TKvDiffRow {
    int Left = -1;
    int Right = -1;
    TKvDiffKind Kind = dkSame;

    bool operator==(const TKvDiffRow&) const = default;
};

struct TKvTextInfo {
    std::string Encoding = "UTF-8"; // "UTF-8" or "ANSI"
    bool Bom = false;
    std::string Eol = "none"; // "mixed", "CRLF", "LF", "CR" or "none"
};

// UTF-8 when the bytes (after a byte-order mark) are strict UTF-8, otherwise Windows-1252.
// The result is always UTF-8.
std::string DecodeText(std::string_view ABytes, TKvTextInfo& AInfo);
// The same for bytes the caller gives away: UTF-8 keeps their buffer, so a large file is not
// copied again.
std::string DecodeOwnedText(std::string ABytes, TKvTextInfo& AInfo);
// Every CR, LF or CR LF ends a line; a final line ending makes no empty last line.
std::vector<std::string> SplitLines(std::string_view AText);
// The same lines as views into AText, without a copy of each.
std::vector<std::string_view> SplitLineViews(std::string_view AText);
std::string ExpandTabs(std::string_view ALine, int AWidth);
std::string NormalizeText(std::string_view ALine, const TKvCompareOptions& AOptions);
// The encoding, " BOM" when there was one, ", " and the line-ending style.
std::string TextInfoCaption(const TKvTextInfo& AInfo);

void BuildDiffRows(const std::vector<std::string>& ALeft, const std::vector<std::string>& ARight,
                   const TKvCompareOptions& AOptions, std::vector<TKvDiffRow>& ARows,
                   const IKvCancelToken& AToken);
void BuildDiffRows(const std::vector<std::string_view>& ALeft, const std::vector<std::string_view>& ARight,
                   const TKvCompareOptions& AOptions, std::vector<TKvDiffRow>& ARows,
                   const IKvCancelToken& AToken);

struct TMatch {
    int A = 0;
    int B = 0;

    bool operator==(const TMatch&) const = default;
};

// Matches two arrays of line identities: lines unique on both sides anchor the alignment, the
// longest chain of anchors is kept and the gaps are solved alike; a gap without unique lines
// falls back to a bounded longest-common-subsequence table. Works from an explicit stack, so
// no input can exhaust the thread's stack.
class TDiffer {
public:
    TDiffer(std::vector<int> AA, const IKvCancelToken& AToken, std::vector<int> AB);
    void Run(std::vector<TMatch>& AMatches);

    // The largest table (cells) the fallback builds; it keeps every chain below 2001, which
    // fits the 16-bit cells.
    static constexpr int64_t KMaxTableCells = 4000000;

private:
    void FindAnchors(int AALo, int AAHi, int ABLo, int ABHi, std::vector<TMatch>& AAnchors);
    void TableStep(int AALo, int AAHi, int ABLo, int ABHi);

    std::vector<int> FA, FB;
    std::vector<TMatch> FMatches;
    const IKvCancelToken& FToken;
    // Per-identity counters for the anchor search, reset after each use.
    std::vector<int> FInA, FInB, FPosA, FPosB;
    std::vector<uint16_t> FTable;
};

} // namespace kv
