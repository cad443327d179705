// What a file panel shows and how it reacts, without any widget: rows, marks, focus, quick
// filter, sorting, type-ahead, column layout and the texts of rows, header and status line.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <unordered_set>
#include <vector>

#include "Kv.FileSystem.h"

namespace kv {

struct TKvColumnLayout {
    bool ShowSize = true;
    bool ShowDate = true;
    int SizeStart = 0; // the name column runs from 0 to here
    int DateStart = 0;
    int Width = 0;
};

enum class TKvHeaderHit { hhName, hhSize, hhTime, hhSizeDivider, hhDateDivider };
using enum TKvHeaderHit;

class TKvPanelModel {
public:
    static constexpr const char* KLinkMark = " \xe2\x86\x92";         // an arrow
    static constexpr const char* KBrokenLinkMark = " \xe2\x86\x92 !"; // the arrow and "!"
    static constexpr int KMinColumn = 40;
    static constexpr int KMaxColumn = 800;
    static constexpr int KMinNameWidth = 80;
    static constexpr uint64_t KTypeAheadResetMs = 1000;

    // Takes a sorted listing. In the same folder the marks of rows whose names stay are kept,
    // and the focus stays on its name (or index) with the scroll position.
    void Apply(TKvFileEntries AEntries, bool AHasUpEntry, bool ASameFolder, const std::string& AFocusName);
    void Clear();

    int RowCount() const { return static_cast<int>(FRows.size()); }
    const TKvFileEntry& Row(int AIndex) const {
        return FRows[AIndex] == KUpRow ? FUpEntry : FSource[FRows[AIndex]];
    }
    bool IsUpRow(int AIndex) const { return FHasUpEntry && AIndex == 0; }
    bool HasUpEntry() const { return FHasUpEntry; }
    bool Marked(int AIndex) const { return FMarks[AIndex]; }
    const TKvFileEntries& Source() const { return FSource; }

    // Focus and scrolling; APageRows is how many rows the list shows.
    int Focus() const { return FFocus; }
    int Top() const { return FTop; }
    void SetPageRows(int APageRows);
    int PageRows() const { return FPageRows; }
    void SetFocus(int AIndex);
    void MoveFocus(int ADelta);
    void SetTop(int ATop);
    // The focused entry, unless nothing or ".." is focused.
    bool FocusedEntry(TKvFileEntry& AEntry) const;
    std::string FocusedName() const;
    // Focuses the row of that name: the exact name first, then one that differs only in case.
    bool FocusName(const std::string& AName);

    // Marks.
    void ToggleMarkAndAdvance();
    void MarkAll();
    void InvertMarks();
    void ClearMarks();
    // Marks (or unmarks) the files matching a mask list; returns how many matched.
    int SelectByMask(const std::string& AMask, bool ASelect);
    TKvFileEntries MarkedEntries() const;
    TKvFileEntries SelectedEntries() const;

    // Quick filter: rows are the source entries whose names pass it.
    const std::string& Filter() const { return FFilter; }
    // A typed filter that leaves no entry (".." does not count).
    bool FilterMatchesNothing() const {
        return !FFilter.empty() && RowCount() == (FHasUpEntry ? 1 : 0);
    }
    void SetFilter(const std::string& AFilter);
    // Type-ahead on panels without a filter: jumps to the first name starting with the text.
    void TypeAhead(const std::string& AText, uint64_t ANowMs);

    // Sorting: the same column again flips the direction.
    TKvSortColumn Sort() const { return FSort; }
    bool Descending() const { return FDescending; }
    void SetSortOrder(TKvSortColumn ASort, bool ADescending);
    void SortBy(TKvSortColumn AColumn);

    // Column widths are kept at 96 dpi; AScale converts to screen pixels.
    int SizeColumn() const { return FSizeColumn; }
    int DateColumn() const { return FDateColumn; }
    void SetColumnWidths(int ASize, int ADate);
    TKvColumnLayout Layout(int AWidth, double AScale) const;
    TKvHeaderHit HitHeader(int AX, int AWidth, double AScale) const;
    // A divider dragged to AX: true when a width changed.
    bool DragDivider(TKvHeaderHit ADivider, int AX, int AWidth, double AScale);

    // Texts.
    // The name as drawn: control characters (a newline in a name) as "?", and a mark after a
    // link, another for a link that leads nowhere.
    std::string NameText(int AIndex) const;
    std::string SizeText(int AIndex) const;
    // SizeText when AMeasure says it fits AWidth, else the short form ("1.5 GB"): a number is
    // never cut.
    std::string SizeTextFitting(int AIndex, int AWidth,
                                const std::function<int(const std::string&)>& AMeasure) const;
    // What the status line says of the focused row: where a link leads; empty for the rest.
    std::string FocusedLinkText() const;
    std::string DateText(int AIndex) const;
    std::string HeaderText(TKvHeaderHit AColumn) const;
    std::string Summary() const; // "%d files, %d dirs, %s" or "Marked %d, %s"

private:
    std::unordered_set<std::string> MarkedNames() const;
    void RebuildRows(const std::unordered_set<std::string>& AMarked);
    void ClampTop();

    static constexpr int KUpRow = -1;
    static const TKvFileEntry FUpEntry;

    TKvFileEntries FSource;
    // Each row is an index into FSource, or KUpRow.
    std::vector<int> FRows;
    std::vector<bool> FMarks;
    bool FHasUpEntry = false;
    int FFocus = 0;
    int FTop = 0;
    int FPageRows = 20;
    std::string FFilter;
    std::string FSearch;
    uint64_t FSearchTick = 0;
    TKvSortColumn FSort = scName;
    bool FDescending = false;
    int FSizeColumn = 100;
    int FDateColumn = 130;
};

} // namespace kv
