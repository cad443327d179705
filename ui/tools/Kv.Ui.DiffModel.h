// What the diff window shows, without any widget: loading both files (up to the size cap), text
// or hex rows, blocks of differences with next and previous, scrolling, the overview strip's
// arithmetic, the changed part of a line, row colours and the status line.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "Kv.Diff.h"
#include "Kv.DiffLoad.h"
#include "Kv.FileSystem.h"
#include "Kv.Settings.h"
#include "Kv.Worker.h"

namespace kv {

struct TKvDiffBlock {
    int First = 0;
    int Last = 0;
    TKvDiffKind Kind = dkChanged;

    bool operator==(const TKvDiffBlock&) const = default;
};

// Offset, 16 hex pairs (blanks past the end) and the printable characters.
std::string HexRow(std::string_view ABytes, int ARow);
std::vector<TKvDiffBlock> BuildBlocks(const std::vector<TKvDiffKind>& AKinds);

// Character ranges [first, last) to highlight on one side of a changed row; in code points of
// the line (text) or columns of the hex row (binary).
using TKvCharRanges = std::vector<std::pair<int, int>>;
TKvCharRanges ChangedRange(std::string_view AMine, std::string_view AOther);
TKvCharRanges ChangedHexColumns(std::string_view AMine, std::string_view AOther, int ARow);

enum TKvDiffSide { dsLeft, dsRight };

// A bar of the overview strip, in pixels from the strip's top.
struct TKvStripBar {
    int Top = 0;
    int Bottom = 0;
    TKvColor Color = 0;

    bool operator==(const TKvStripBar&) const = default;
};

class TKvDiffModel {
public:
    static constexpr TKvColor KChangedBar = KvRgb(0xff, 0x40, 0x40);
    static constexpr TKvColor KOtherBar = KvRgb(0x40, 0xd0, 0x40);

    explicit TKvDiffModel(TKvCompareOptions AOptions) : FOptions(AOptions) {}

    void Loaded(TKvDiffLoad ALoad);
    bool IsLoaded() const { return FLoaded; }
    const std::string& Error() const { return FLoad.Error; }
    bool Binary() const { return FLoad.Binary; }
    int RowCount() const { return FLoaded && FLoad.Error.empty() ? FLoad.RowCount : 0; }
    const std::vector<TKvDiffBlock>& Blocks() const { return FBlocks; }
    int SoftRows() const { return FSoftRows; }
    const TKvDiffLoad& Data() const { return FLoad; }

    TKvDiffKind Kind(int ARow) const;
    bool Present(int ARow, TKvDiffSide ASide) const;
    // The line (text) or hex row (binary) of a side; empty for a missing side.
    std::string Text(int ARow, TKvDiffSide ASide) const;
    // Line number gutter in characters (0 in binary mode) and a side's line number (0: none).
    int GutterChars() const;
    int LineNumber(int ARow, TKvDiffSide ASide) const;
    TKvCharRanges Highlights(int ARow, TKvDiffSide ASide) const;
    // Background and text colour of a side of a row.
    std::pair<TKvColor, TKvColor> Colors(int ARow, TKvDiffSide ASide, const TKvColors& APalette) const;

    // Scrolling: APage is how many rows the area shows.
    void SetPageRows(int APage) { FPage = std::max(1, APage); }
    int PageRows() const { return FPage; }
    int Top() const { return FTop; }
    int Col() const { return FCol; }
    int Current() const { return FCurrent; }
    void SetCurrent(int ARow) { FCurrent = ARow; }
    // True when the top changed.
    bool ScrollTo(int ARow);
    void ScrollColumns(int ADelta) { FCol = std::max(0, FCol + ADelta); }
    void Home();
    void End();
    // False when no block qualifies (the caller beeps).
    bool NextBlock();
    bool PreviousBlock();

    std::vector<TKvStripBar> StripBars(int AHeight) const;
    // The outline of the visible part: [top, bottom).
    std::pair<int, int> StripVisible(int AHeight) const;
    // A press at AY: the row to scroll to.
    int StripRowAt(int AY, int AHeight) const;

    std::string StatusText() const;

private:
    TKvCompareOptions FOptions;
    TKvDiffLoad FLoad;
    bool FLoaded = false;
    std::vector<TKvDiffBlock> FBlocks;
    int FSoftRows = 0;
    int FTop = 0;
    int FCol = 0;
    int FCurrent = -1;
    int FPage = 1;
};

} // namespace kv
