#include "Kv.Diff.h"

#include <algorithm>
#include <cstring>

#include "Kv.Compare.h"
#include "Kv.Utf8.h"

namespace kv {

namespace {

// Windows-1252 from 0x80 to 0x9F; the five unassigned bytes map to the C1 controls, as the
// system conversion does. Bytes from 0xA0 up equal their code points.
constexpr char16_t KCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

std::string DecodeCp1252(std::string_view ABytes) {
    std::string out;
    out.reserve(ABytes.size() + ABytes.size() / 8);
    for (char c : ABytes) {
        auto byte = static_cast<unsigned char>(c);
        if (byte < 0x80)
            out += c;
        else
            AppendUtf8(out, byte < 0xA0 ? char32_t(KCp1252High[byte - 0x80]) : char32_t(byte));
    }
    return out;
}

bool NormalizesAnything(const TKvCompareOptions& AOptions) {
    return AOptions.IgnoreTrailingSpace || AOptions.IgnoreSpaceChange || AOptions.IgnoreCase;
}

constexpr int KCheckLines = 4096;

uint64_t HashBytes(const char* AData, size_t ACount) {
    uint64_t hash = 0x9E3779B97F4A7C15ull ^ ACount;
    while (ACount >= 8) {
        uint64_t word;
        std::memcpy(&word, AData, 8);
        hash = (hash ^ word) * 0xFF51AFD7ED558CCDull;
        hash ^= hash >> 32;
        AData += 8;
        ACount -= 8;
    }
    uint64_t word = 0;
    if (ACount > 0)
        std::memcpy(&word, AData, ACount);
    hash = (hash ^ word) * 0xC4CEB9FE1A85EC53ull;
    return hash ^ (hash >> 29);
}

// Gives each distinct text the next number. Open addressing over a flat table: millions of
// lines are looked up once each, and a node-based map spends most of that time on misses.
class TLineIds {
public:
    explicit TLineIds(size_t AExpected) {
        size_t capacity = 16;
        while (capacity < AExpected + AExpected / 2)
            capacity *= 2;
        FSlots.assign(capacity, TSlot{0, -1});
        FMask = capacity - 1;
    }

    int IdOf(std::string_view AText) {
        uint64_t hash = HashBytes(AText.data(), AText.size());
        auto tag = uint32_t(hash >> 32);
        for (size_t slot = size_t(hash) & FMask;; slot = (slot + 1) & FMask) {
            TSlot& entry = FSlots[slot];
            if (entry.Id < 0) {
                if (FTexts.size() + 1 > (FSlots.size() * 3) / 4) {
                    Grow();
                    return IdOf(AText);
                }
                entry = TSlot{tag, int(FTexts.size())};
                FTexts.push_back(AText);
                return entry.Id;
            }
            if (entry.Tag == tag && FTexts[size_t(entry.Id)] == AText)
                return entry.Id;
        }
    }

private:
    struct TSlot {
        uint32_t Tag;
        int Id;
    };

    void Grow() {
        std::vector<TSlot> old;
        old.swap(FSlots);
        FSlots.assign(old.size() * 2, TSlot{0, -1});
        FMask = FSlots.size() - 1;
        for (const TSlot& entry : old) {
            if (entry.Id < 0)
                continue;
            std::string_view text = FTexts[size_t(entry.Id)];
            size_t slot = size_t(HashBytes(text.data(), text.size())) & FMask;
            while (FSlots[slot].Id >= 0)
                slot = (slot + 1) & FMask;
            FSlots[slot] = entry;
        }
    }

    std::vector<TSlot> FSlots;
    size_t FMask = 0;
    std::vector<std::string_view> FTexts;
};
constexpr int KCheckTableRows = 256;

} // namespace

namespace {

// Fills AInfo from the bytes; true when what follows the byte-order mark is UTF-8.
bool ReadTextInfo(std::string_view ABytes, TKvTextInfo& AInfo) {
    // Line feeds are counted in one vectorised pass; carriage returns are rare, so each one
    // is looked at on its own.
    int64_t lf = std::count(ABytes.begin(), ABytes.end(), '\n'), crlf = 0, cr = 0;
    for (const char *at = ABytes.data(), *end = at + ABytes.size();
         at < end &&
         (at = static_cast<const char*>(std::memchr(at, '\r', size_t(end - at)))) != nullptr;
         ++at) {
        if (at + 1 < end && at[1] == '\n')
            ++crlf;
        else
            ++cr;
    }
    lf -= crlf;
    int kinds = (crlf > 0) + (lf > 0) + (cr > 0);
    AInfo.Eol = kinds > 1 ? "mixed" : crlf ? "CRLF" : lf ? "LF" : cr ? "CR" : "none";
    AInfo.Bom = ABytes.size() > 2 && ABytes.substr(0, 3) == "\xEF\xBB\xBF";
    if (AInfo.Bom)
        ABytes.remove_prefix(3);
    AInfo.Encoding = IsValidUtf8(ABytes) ? "UTF-8" : "ANSI";
    return AInfo.Encoding == "UTF-8";
}

} // namespace

std::string DecodeText(std::string_view ABytes, TKvTextInfo& AInfo) {
    const bool utf8 = ReadTextInfo(ABytes, AInfo);
    if (AInfo.Bom)
        ABytes.remove_prefix(3);
    return utf8 ? std::string(ABytes) : DecodeCp1252(ABytes);
}

std::string DecodeOwnedText(std::string ABytes, TKvTextInfo& AInfo) {
    const bool utf8 = ReadTextInfo(ABytes, AInfo);
    if (!utf8)
        return DecodeCp1252(std::string_view(ABytes).substr(AInfo.Bom ? 3 : 0));
    if (AInfo.Bom)
        ABytes.erase(0, 3);
    return ABytes;
}

std::vector<std::string> SplitLines(std::string_view AText) {
    const std::vector<std::string_view> views = SplitLineViews(AText);
    return std::vector<std::string>(views.begin(), views.end());
}

std::vector<std::string_view> SplitLineViews(std::string_view AText) {
    std::vector<std::string_view> lines;
    lines.reserve(size_t(std::count(AText.begin(), AText.end(), '\n')) + 1);
    const char* data = AText.data();
    const size_t size = AText.size();
    size_t start = 0;
    for (size_t k = 0; k < size; ++k) {
        char c = data[k];
        if (c > '\r' || (c != '\r' && c != '\n'))
            continue;
        lines.emplace_back(data + start, k - start);
        if (c == '\r' && k + 1 < size && data[k + 1] == '\n')
            ++k;
        start = k + 1;
    }
    if (start < size)
        lines.emplace_back(data + start, size - start);
    return lines;
}

std::string ExpandTabs(std::string_view ALine, int AWidth) {
    if (ALine.find('\t') == std::string_view::npos)
        return std::string(ALine);
    if (AWidth < 1)
        AWidth = 1;
    std::string out;
    out.reserve(ALine.size() + 16);
    int column = 0;
    for (char c : ALine) {
        if (c == '\t') {
            int spaces = AWidth - column % AWidth;
            out.append(size_t(spaces), ' ');
            column += spaces;
            continue;
        }
        out += c;
        // Columns count characters: continuation bytes of UTF-8 do not start one.
        if ((static_cast<unsigned char>(c) & 0xC0) != 0x80)
            ++column;
    }
    return out;
}

std::string NormalizeText(std::string_view ALine, const TKvCompareOptions& AOptions) {
    if (!NormalizesAnything(AOptions))
        return std::string(ALine);
    return NormalizeLine(ALine, AOptions);
}

std::string TextInfoCaption(const TKvTextInfo& AInfo) {
    return AInfo.Encoding + (AInfo.Bom ? " BOM" : "") + ", " + AInfo.Eol;
}

namespace {

template <class TLine>
void BuildRows(const std::vector<TLine>& ALeft, const std::vector<TLine>& ARight, const TKvCompareOptions& AOptions,
               std::vector<TKvDiffRow>& ARows, const IKvCancelToken& AToken) {
    ARows.clear();
    bool normalize = NormalizesAnything(AOptions);
    // Normalized texts are kept alive here so the dictionary can hold views of them.
    std::vector<std::string> leftNorm, rightNorm;
    if (normalize) {
        leftNorm.reserve(ALeft.size());
        rightNorm.reserve(ARight.size());
    }
    TLineIds ids(ALeft.size() + ARight.size());
    auto identify = [&](const std::vector<TLine>& ALines, std::vector<std::string>& ANorm,
                        std::vector<int>& AIds) {
        AIds.resize(ALines.size());
        for (size_t k = 0; k < ALines.size(); ++k) {
            if (k % KCheckLines == 0)
                CheckCancelled(AToken);
            std::string_view key = ALines[k];
            if (normalize) {
                ANorm.push_back(NormalizeLine(ALines[k], AOptions));
                key = ANorm.back();
            }
            AIds[k] = ids.IdOf(key);
        }
    };
    std::vector<int> leftIds, rightIds;
    identify(ALeft, leftNorm, leftIds);
    identify(ARight, rightNorm, rightIds);

    std::vector<TMatch> matches;
    TDiffer(std::move(leftIds), AToken, std::move(rightIds)).Run(matches);

    ARows.reserve(std::max(ALeft.size(), ARight.size()));
    int leftAt = 0, rightAt = 0;
    auto gap = [&](int AUpToLeft, int AUpToRight) {
        int x = AUpToLeft - leftAt, y = AUpToRight - rightAt;
        int both = std::min(x, y);
        for (int k = 0; k < both; ++k)
            ARows.push_back({leftAt + k, rightAt + k, dkChanged});
        for (int k = both; k < x; ++k)
            ARows.push_back({leftAt + k, -1, dkLeftOnly});
        for (int k = both; k < y; ++k)
            ARows.push_back({-1, rightAt + k, dkRightOnly});
        leftAt = AUpToLeft;
        rightAt = AUpToRight;
    };
    for (const auto& match : matches) {
        gap(match.A, match.B);
        // Without normalizing, one identity means one text.
        bool same = !normalize || ALeft[match.A] == ARight[match.B];
        ARows.push_back({match.A, match.B, same ? dkSame : dkSoft});
        leftAt = match.A + 1;
        rightAt = match.B + 1;
    }
    gap(int(ALeft.size()), int(ARight.size()));

    if (AOptions.IgnoreEndBlankLines) {
        for (auto row = ARows.rbegin(); row != ARows.rend(); ++row) {
            if (row->Kind == dkSame)
                continue;
            if (row->Kind == dkLeftOnly && NormalizeText(ALeft[row->Left], AOptions).empty())
                row->Kind = dkSoft;
            else if (row->Kind == dkRightOnly &&
                     NormalizeText(ARight[row->Right], AOptions).empty())
                row->Kind = dkSoft;
            else
                break;
        }
    }
}

} // namespace

void BuildDiffRows(const std::vector<std::string>& ALeft, const std::vector<std::string>& ARight,
                   const TKvCompareOptions& AOptions, std::vector<TKvDiffRow>& ARows,
                   const IKvCancelToken& AToken) {
    BuildRows(ALeft, ARight, AOptions, ARows, AToken);
}

void BuildDiffRows(const std::vector<std::string_view>& ALeft, const std::vector<std::string_view>& ARight,
                   const TKvCompareOptions& AOptions, std::vector<TKvDiffRow>& ARows,
                   const IKvCancelToken& AToken) {
    BuildRows(ALeft, ARight, AOptions, ARows, AToken);
}

// ---- TDiffer ----

TDiffer::TDiffer(std::vector<int> AA, const IKvCancelToken& AToken, std::vector<int> AB)
    : FA(std::move(AA)), FB(std::move(AB)), FToken(AToken) {
    int top = 0;
    for (int id : FA)
        top = std::max(top, id + 1);
    for (int id : FB)
        top = std::max(top, id + 1);
    FInA.assign(size_t(top), 0);
    FInB.assign(size_t(top), 0);
    FPosA.assign(size_t(top), 0);
    FPosB.assign(size_t(top), 0);
}

void TDiffer::Run(std::vector<TMatch>& AMatches) {
    FMatches.clear();
    // The work left to do, last item first. What one range step would do after solving a gap
    // (record an anchor, record the common tail, solve the next gap) waits here, so the
    // matches come out in increasing order exactly as a recursive walk would give them.
    struct TTask {
        enum { tkRange, tkMatch, tkTail } Kind;
        int A1, A2, B1,
            B2; // range [A1, A2) x [B1, B2); match (A1, B1); tail of A2 pairs from (A1, B1)
    };
    std::vector<TTask> stack;
    stack.push_back({TTask::tkRange, 0, int(FA.size()), 0, int(FB.size())});
    std::vector<TMatch> anchors;
    while (!stack.empty()) {
        TTask task = stack.back();
        stack.pop_back();
        if (task.Kind == TTask::tkMatch) {
            FMatches.push_back({task.A1, task.B1});
            continue;
        }
        if (task.Kind == TTask::tkTail) {
            for (int k = 0; k < task.A2; ++k)
                FMatches.push_back({task.A1 + k, task.B1 + k});
            continue;
        }
        CheckCancelled(FToken);
        int aLo = task.A1, aHi = task.A2, bLo = task.B1, bHi = task.B2;
        while (aLo < aHi && bLo < bHi && FA[aLo] == FB[bLo])
            FMatches.push_back({aLo++, bLo++});
        int tail = 0;
        while (aLo < aHi && bLo < bHi && FA[aHi - 1] == FB[bHi - 1]) {
            --aHi;
            --bHi;
            ++tail;
        }
        if (tail > 0)
            stack.push_back({TTask::tkTail, aHi, tail, bHi, 0});
        if (aLo >= aHi || bLo >= bHi)
            continue;
        FindAnchors(aLo, aHi, bLo, bHi, anchors);
        if (anchors.empty()) {
            if (int64_t(aHi - aLo) * (bHi - bLo) <= KMaxTableCells)
                TableStep(aLo, aHi, bLo, bHi);
            continue;
        }
        // Pushed in reverse: gap 1, anchor 1, gap 2, ..., anchor k, the rest.
        stack.push_back({TTask::tkRange, anchors.back().A + 1, aHi, anchors.back().B + 1, bHi});
        for (size_t k = anchors.size(); k-- > 0;) {
            stack.push_back({TTask::tkMatch, anchors[k].A, 0, anchors[k].B, 0});
            int gapA = k ? anchors[k - 1].A + 1 : aLo;
            int gapB = k ? anchors[k - 1].B + 1 : bLo;
            stack.push_back({TTask::tkRange, gapA, anchors[k].A, gapB, anchors[k].B});
        }
    }
    AMatches = std::move(FMatches);
}

void TDiffer::FindAnchors(int AALo, int AAHi, int ABLo, int ABHi, std::vector<TMatch>& AAnchors) {
    AAnchors.clear();
    for (int i = AALo; i < AAHi; ++i) {
        ++FInA[FA[i]];
        FPosA[FA[i]] = i;
    }
    for (int j = ABLo; j < ABHi; ++j) {
        int id = FB[j];
        if (FInA[id] > 0) {
            ++FInB[id];
            FPosB[id] = j;
        }
    }
    std::vector<TMatch> candidates;
    for (int i = AALo; i < AAHi; ++i) {
        int id = FA[i];
        if (FInA[id] == 1 && FInB[id] == 1)
            candidates.push_back({i, FPosB[id]});
    }
    for (int i = AALo; i < AAHi; ++i)
        FInA[FA[i]] = 0;
    for (int j = ABLo; j < ABHi; ++j)
        FInB[FB[j]] = 0;
    if (candidates.empty())
        return;

    // Patience sorting: tails[k] is the candidate ending the best chain of length k + 1.
    std::vector<int> tails;
    std::vector<int> previous(candidates.size(), -1);
    for (int c = 0; c < int(candidates.size()); ++c) {
        int b = candidates[c].B;
        auto at = std::lower_bound(tails.begin(), tails.end(), b, [&](int ATail, int AValue) {
            return candidates[ATail].B < AValue;
        });
        size_t index = size_t(at - tails.begin());
        if (index > 0)
            previous[c] = tails[index - 1];
        if (at == tails.end())
            tails.push_back(c);
        else
            *at = c;
    }
    for (int c = tails.back(); c >= 0; c = previous[c])
        AAnchors.push_back(candidates[c]);
    std::reverse(AAnchors.begin(), AAnchors.end());
}

void TDiffer::TableStep(int AALo, int AAHi, int ABLo, int ABHi) {
    const int n = AAHi - AALo, m = ABHi - ABLo;
    const size_t width = size_t(m) + 1;
    FTable.assign((size_t(n) + 1) * width, 0);
    auto cell = [&](int AI, int AJ) -> uint16_t& {
        return FTable[size_t(AI) * width + size_t(AJ)];
    };
    for (int i = n - 1; i >= 0; --i) {
        if ((n - 1 - i) % KCheckTableRows == 0)
            CheckCancelled(FToken);
        int a = FA[AALo + i];
        for (int j = m - 1; j >= 0; --j)
            cell(i, j) = a == FB[ABLo + j] ? uint16_t(cell(i + 1, j + 1) + 1)
                                           : std::max(cell(i + 1, j), cell(i, j + 1));
    }
    int i = 0, j = 0;
    while (i < n && j < m) {
        if (FA[AALo + i] == FB[ABLo + j]) {
            FMatches.push_back({AALo + i, ABLo + j});
            ++i;
            ++j;
        } else if (cell(i + 1, j) < cell(i, j + 1)) {
            ++j;
        } else {
            ++i;
        }
    }
}

} // namespace kv
