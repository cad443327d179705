#include "Kv.Ui.DiffModel.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "Kv.Compare.h"
#include "Kv.Ui.Theme.h"

namespace kv {

namespace {

constexpr TKvColor KBlack = KvRgb(0, 0, 0);
constexpr TKvColor KWhite = KvRgb(0xff, 0xff, 0xff);

std::string Format(const char* AFormat, auto... AArgs) {
    int length = std::snprintf(nullptr, 0, AFormat, AArgs...);
    std::string text(size_t(length), '\0');
    std::snprintf(text.data(), text.size() + 1, AFormat, AArgs...);
    return text;
}

// Code points of well-formed UTF-8 (what decoding gives).
std::u32string CodePoints(std::string_view AText) {
    std::u32string out;
    out.reserve(AText.size());
    for (size_t i = 0; i < AText.size();) {
        auto byte = static_cast<unsigned char>(AText[i]);
        int extra = byte < 0x80 ? 0 : byte < 0xE0 ? 1 : byte < 0xF0 ? 2 : 3;
        char32_t code = extra == 0 ? byte : byte & (0x3F >> extra);
        for (int k = 1; k <= extra && i + k < AText.size(); ++k)
            code = (code << 6) | (static_cast<unsigned char>(AText[i + k]) & 0x3F);
        out += code;
        i += extra + 1;
    }
    return out;
}

bool IsDifference(TKvDiffKind AKind) { return AKind == dkChanged || AKind == dkLeftOnly || AKind == dkRightOnly; }

} // namespace

std::string HexRow(std::string_view ABytes, int ARow) {
    static const char digits[] = "0123456789ABCDEF";
    const int64_t at = int64_t(ARow) * 16;
    const int count = HexRowBytes(ABytes, ARow);
    std::string text = Format("%08llX  ", static_cast<unsigned long long>(at));
    for (int i = 0; i < 16; ++i) {
        if (i < count) {
            auto byte = static_cast<unsigned char>(ABytes[at + i]);
            text += digits[byte >> 4];
            text += digits[byte & 15];
            text += ' ';
        } else {
            text += "   ";
        }
    }
    text += ' ';
    for (int i = 0; i < count; ++i) {
        auto byte = static_cast<unsigned char>(ABytes[at + i]);
        text += byte >= 32 && byte <= 126 ? char(byte) : '.';
    }
    return text;
}

std::vector<TKvDiffBlock> BuildBlocks(const std::vector<TKvDiffKind>& AKinds) {
    std::vector<TKvDiffBlock> blocks;
    const int count = int(AKinds.size());
    for (int r = 0; r < count;) {
        if (!IsDifference(AKinds[r])) {
            ++r;
            continue;
        }
        TKvDiffBlock block{r, r, AKinds[r]};
        while (r + 1 < count && IsDifference(AKinds[r + 1]))
            ++r;
        block.Last = r++;
        blocks.push_back(block);
    }
    return blocks;
}

TKvCharRanges ChangedRange(std::string_view AMine, std::string_view AOther) {
    const std::u32string mine = CodePoints(AMine), other = CodePoints(AOther);
    size_t prefix = 0;
    while (prefix < mine.size() && prefix < other.size() && mine[prefix] == other[prefix])
        ++prefix;
    size_t suffix = 0;
    while (suffix < mine.size() - prefix && suffix < other.size() - prefix &&
           mine[mine.size() - 1 - suffix] == other[other.size() - 1 - suffix])
        ++suffix;
    const int first = int(prefix), last = int(mine.size() - suffix);
    // An empty range (text only added on the other side) still marks where it went.
    return {{first, last > first ? last : first + 1}};
}

TKvCharRanges ChangedHexColumns(std::string_view AMine, std::string_view AOther, int ARow) {
    TKvCharRanges ranges;
    const int64_t at = int64_t(ARow) * 16;
    const int mine = HexRowBytes(AMine, ARow), other = HexRowBytes(AOther, ARow);
    for (int i = 0; i < mine; ++i)
        if (i >= other || AMine[at + i] != AOther[at + i]) {
            ranges.push_back({10 + 3 * i, 12 + 3 * i});
            ranges.push_back({59 + i, 60 + i});
        }
    return ranges;
}

void TKvDiffModel::Loaded(TKvDiffLoad ALoad) {
    FLoad = std::move(ALoad);
    FLoaded = true;
    FSoftRows = 0;
    std::vector<TKvDiffKind> kinds;
    if (FLoad.Error.empty()) {
        if (FLoad.Binary) {
            kinds = FLoad.Kinds;
        } else {
            kinds.reserve(FLoad.Rows.size());
            for (const auto& row : FLoad.Rows)
                kinds.push_back(row.Kind);
        }
    }
    for (TKvDiffKind kind : kinds)
        FSoftRows += kind == dkSoft;
    FBlocks = BuildBlocks(kinds);
    FTop = 0;
    FCol = 0;
    FCurrent = -1;
}

TKvDiffKind TKvDiffModel::Kind(int ARow) const {
    return FLoad.Binary ? FLoad.Kinds[ARow] : FLoad.Rows[ARow].Kind;
}

bool TKvDiffModel::Present(int ARow, TKvDiffSide ASide) const {
    if (FLoad.Binary)
        return int64_t(ARow) * 16 < int64_t((ASide == dsLeft ? FLoad.LeftBytes : FLoad.RightBytes).size());
    return (ASide == dsLeft ? FLoad.Rows[ARow].Left : FLoad.Rows[ARow].Right) != -1;
}

std::string TKvDiffModel::Text(int ARow, TKvDiffSide ASide) const {
    if (!Present(ARow, ASide))
        return {};
    if (FLoad.Binary)
        return HexRow(ASide == dsLeft ? FLoad.LeftBytes : FLoad.RightBytes, ARow);
    const TKvDiffRow& row = FLoad.Rows[ARow];
    return std::string(ASide == dsLeft ? FLoad.LeftLines[row.Left] : FLoad.RightLines[row.Right]);
}

int TKvDiffModel::GutterChars() const {
    if (FLoad.Binary)
        return 0;
    const size_t larger = std::max(FLoad.LeftLines.size(), FLoad.RightLines.size());
    return int(std::to_string(larger).size()) + 1;
}

int TKvDiffModel::LineNumber(int ARow, TKvDiffSide ASide) const {
    if (FLoad.Binary || !Present(ARow, ASide))
        return 0;
    return (ASide == dsLeft ? FLoad.Rows[ARow].Left : FLoad.Rows[ARow].Right) + 1;
}

TKvCharRanges TKvDiffModel::Highlights(int ARow, TKvDiffSide ASide) const {
    const TKvDiffSide other = ASide == dsLeft ? dsRight : dsLeft;
    if (Kind(ARow) != dkChanged || !Present(ARow, ASide))
        return {};
    if (FLoad.Binary)
        return ChangedHexColumns(ASide == dsLeft ? FLoad.LeftBytes : FLoad.RightBytes,
                                 ASide == dsLeft ? FLoad.RightBytes : FLoad.LeftBytes, ARow);
    if (!Present(ARow, other))
        return {};
    return ChangedRange(Text(ARow, ASide), Text(ARow, other));
}

std::pair<TKvColor, TKvColor> TKvDiffModel::Colors(int ARow, TKvDiffSide ASide, const TKvColors& APalette) const {
    const TKvColor background = APalette[csBackground];
    if (!Present(ARow, ASide))
        return {BlendColors(background, KBlack, 45), APalette[csText]};
    switch (Kind(ARow)) {
    case dkSame:
        return {background, APalette[csText]};
    case dkSoft:
        return {BlendColors(background, KWhite, 10), APalette[csText]};
    case dkChanged:
        return {BlendColors(background, KvRgb(0xc0, 0, 0), 40), APalette[csFolders]};
    default:
        return {BlendColors(background, KvRgb(0, 0xb0, 0), 40), APalette[csFolders]};
    }
}

bool TKvDiffModel::ScrollTo(int ARow) {
    const int top = std::max(0, std::min(ARow, RowCount() - FPage));
    if (top == FTop)
        return false;
    FTop = top;
    return true;
}

void TKvDiffModel::Home() {
    FCol = 0;
    FCurrent = -1;
    ScrollTo(0);
}

void TKvDiffModel::End() {
    FCurrent = -1;
    ScrollTo(RowCount());
}

bool TKvDiffModel::NextBlock() {
    const int reference = FCurrent >= 0 ? FCurrent : FTop - 1;
    for (const auto& block : FBlocks)
        if (block.First > reference) {
            FCurrent = block.First;
            ScrollTo(block.First - 3);
            return true;
        }
    return false;
}

bool TKvDiffModel::PreviousBlock() {
    const int reference = FCurrent >= 0 ? FCurrent : FTop - 1;
    for (auto block = FBlocks.rbegin(); block != FBlocks.rend(); ++block)
        if (block->Last < reference) {
            FCurrent = block->First;
            ScrollTo(block->First - 3);
            return true;
        }
    return false;
}

std::vector<TKvStripBar> TKvDiffModel::StripBars(int AHeight) const {
    std::vector<TKvStripBar> bars;
    const int64_t rows = RowCount();
    if (rows == 0)
        return bars;
    for (const auto& block : FBlocks) {
        const int top = int(int64_t(block.First) * AHeight / rows);
        const int bottom = std::max(top + 2, int(int64_t(block.Last + 1) * AHeight / rows));
        bars.push_back({top, bottom, block.Kind == dkChanged ? KChangedBar : KOtherBar});
    }
    return bars;
}

std::pair<int, int> TKvDiffModel::StripVisible(int AHeight) const {
    const int64_t rows = RowCount();
    if (rows == 0)
        return {0, 0};
    const int top = int(int64_t(FTop) * AHeight / rows);
    const int bottom = std::max(top + 3, int(std::min<int64_t>(rows, FTop + FPage) * AHeight / rows));
    return {top, bottom};
}

int TKvDiffModel::StripRowAt(int AY, int AHeight) const {
    if (AHeight <= 0)
        return 0;
    return int(int64_t(AY) * RowCount() / AHeight) - FPage / 2;
}

std::string TKvDiffModel::StatusText() const {
    if (!FLoaded)
        return " Loading...";
    if (!FLoad.Error.empty())
        return " " + FLoad.Error;
    std::string text;
    if (FLoad.Binary) {
        text = " Binary, hex view.";
    } else {
        text = " Left: " + TextInfoCaption(FLoad.LeftInfo) + "   Right: " + TextInfoCaption(FLoad.RightInfo) + ".";
        if (FLoad.LeftInfo.Bom != FLoad.RightInfo.Bom)
            text += FOptions.IgnoreBom ? " BOM on one side only (ignored)." : " BOM on one side only.";
    }
    if (FBlocks.size() == 1)
        text += "   1 difference.";
    else if (!FBlocks.empty())
        text += Format("   %d differences.", int(FBlocks.size()));
    else if (FSoftRows > 0)
        text += Format("   The same under the options (%d lines differ only in what is ignored).", FSoftRows);
    else
        text += "   No differences.";
    return text + "   N/P next/previous, Esc close";
}

} // namespace kv
