#include "Kv.Ui.PanelModel.h"

#include <algorithm>
#include <cmath>
#include <unordered_set>

#include "Kv.Utf8.h"

namespace kv {

const TKvFileEntry TKvPanelModel::FUpEntry{.Name = "..", .IsDir = true};

void TKvPanelModel::Clear() {
    FSource.clear();
    FRows.clear();
    FMarks.clear();
    FHasUpEntry = false;
    FFocus = FTop = 0;
    FFilter.clear();
}

void TKvPanelModel::Apply(TKvFileEntries AEntries, bool AHasUpEntry, bool ASameFolder, const std::string& AFocusName) {
    const int oldFocus = FFocus;
    const int oldTop = FTop;
    if (!ASameFolder)
        FFilter.clear();
    // Rows point into the listing: the marked names are taken before it is replaced.
    const auto marked = ASameFolder ? MarkedNames() : std::unordered_set<std::string>();
    FSource = std::move(AEntries);
    FHasUpEntry = AHasUpEntry;
    RebuildRows(marked);
    FTop = ASameFolder ? oldTop : 0;
    ClampTop();
    if (AFocusName.empty() || !FocusName(AFocusName))
        SetFocus(ASameFolder ? oldFocus : 0);
}

std::unordered_set<std::string> TKvPanelModel::MarkedNames() const {
    std::unordered_set<std::string> marked;
    for (int i = 0; i < RowCount(); ++i)
        if (FMarks[i])
            marked.insert(Row(i).Name);
    return marked;
}

void TKvPanelModel::RebuildRows(const std::unordered_set<std::string>& AMarked) {
    // Rows point into the listing instead of copying it: a folder of 100,000 entries would
    // otherwise be copied on the window's thread at every listing, filter keystroke and sort.
    FRows.clear();
    FRows.reserve(FSource.size() + 1);
    if (FHasUpEntry)
        FRows.push_back(KUpRow);
    for (size_t i = 0; i < FSource.size(); ++i)
        if (FFilter.empty() || MatchesQuickFilter(FSource[i].Name, FFilter))
            FRows.push_back(static_cast<int>(i));
    FMarks.assign(FRows.size(), false);
    if (!AMarked.empty())
        for (int i = FHasUpEntry ? 1 : 0; i < RowCount(); ++i)
            FMarks[i] = AMarked.count(Row(i).Name) > 0;
}

void TKvPanelModel::SetPageRows(int APageRows) {
    FPageRows = std::max(1, APageRows);
    SetFocus(FFocus);
}

void TKvPanelModel::ClampTop() {
    // Keep the list full when it can be: no empty space below the last row.
    FTop = std::clamp(FTop, 0, std::max(0, RowCount() - FPageRows));
}

void TKvPanelModel::SetTop(int ATop) {
    FTop = ATop;
    ClampTop();
}

void TKvPanelModel::SetFocus(int AIndex) {
    FFocus = RowCount() == 0 ? 0 : std::clamp(AIndex, 0, RowCount() - 1);
    if (FFocus < FTop)
        FTop = FFocus;
    else if (FFocus >= FTop + FPageRows)
        FTop = FFocus - FPageRows + 1;
    ClampTop();
}

void TKvPanelModel::MoveFocus(int ADelta) { SetFocus(FFocus + ADelta); }

bool TKvPanelModel::FocusedEntry(TKvFileEntry& AEntry) const {
    if (RowCount() == 0 || IsUpRow(FFocus))
        return false;
    AEntry = Row(FFocus);
    return true;
}

std::string TKvPanelModel::FocusedName() const { return RowCount() == 0 ? std::string() : Row(FFocus).Name; }

bool TKvPanelModel::FocusName(const std::string& AName) {
    // Names that differ only in case are different files here: the exact one wins.
    for (int i = 0; i < RowCount(); ++i)
        if (Row(i).Name == AName) {
            SetFocus(i);
            return true;
        }
    for (int i = 0; i < RowCount(); ++i)
        if (!IsUpRow(i) && SameTextIgnoringCase(Row(i).Name, AName)) {
            SetFocus(i);
            return true;
        }
    return false;
}

void TKvPanelModel::ToggleMarkAndAdvance() {
    if (RowCount() == 0)
        return;
    if (!IsUpRow(FFocus))
        FMarks[FFocus] = !FMarks[FFocus];
    MoveFocus(1);
}

void TKvPanelModel::MarkAll() {
    for (int i = FHasUpEntry ? 1 : 0; i < RowCount(); ++i)
        FMarks[i] = true;
}

void TKvPanelModel::InvertMarks() {
    for (int i = FHasUpEntry ? 1 : 0; i < RowCount(); ++i)
        FMarks[i] = !FMarks[i];
}

void TKvPanelModel::ClearMarks() { std::fill(FMarks.begin(), FMarks.end(), false); }

int TKvPanelModel::SelectByMask(const std::string& AMask, bool ASelect) {
    int matched = 0;
    for (int i = FHasUpEntry ? 1 : 0; i < RowCount(); ++i) {
        if (Row(i).IsDir || !MatchesAnyMask(Row(i).Name, AMask))
            continue;
        FMarks[i] = ASelect;
        ++matched;
    }
    return matched;
}

TKvFileEntries TKvPanelModel::MarkedEntries() const {
    TKvFileEntries entries;
    for (int i = 0; i < RowCount(); ++i)
        if (FMarks[i])
            entries.push_back(Row(i));
    return entries;
}

TKvFileEntries TKvPanelModel::SelectedEntries() const {
    TKvFileEntries entries = MarkedEntries();
    TKvFileEntry focused;
    if (entries.empty() && FocusedEntry(focused))
        entries.push_back(focused);
    return entries;
}

void TKvPanelModel::SetFilter(const std::string& AFilter) {
    if (AFilter == FFilter)
        return;
    std::string remembered = FocusedName();
    FFilter = AFilter;
    RebuildRows(MarkedNames());
    FTop = 0;
    const int first = std::min(FHasUpEntry ? 1 : 0, std::max(0, RowCount() - 1));
    // A new filter starts at the first match; a cleared one goes back to where the user was.
    if (!FFilter.empty() || !FocusName(remembered))
        SetFocus(first);
}

void TKvPanelModel::TypeAhead(const std::string& AText, uint64_t ANowMs) {
    if (ANowMs - FSearchTick > KTypeAheadResetMs)
        FSearch.clear();
    FSearchTick = ANowMs;
    FSearch += AText;
    for (int i = FHasUpEntry ? 1 : 0; i < RowCount(); ++i)
        if (StartsWithIgnoringCase(Row(i).Name, FSearch)) {
            SetFocus(i);
            return;
        }
}

void TKvPanelModel::SetSortOrder(TKvSortColumn ASort, bool ADescending) {
    FSort = ASort;
    FDescending = ADescending;
}

void TKvPanelModel::SortBy(TKvSortColumn AColumn) {
    FDescending = AColumn == FSort ? !FDescending : false;
    FSort = AColumn;
    std::string focused = FocusedName();
    const auto marked = MarkedNames();
    SortEntries(FSource, FSort, FDescending);
    RebuildRows(marked);
    if (!FocusName(focused))
        SetFocus(FFocus);
}

void TKvPanelModel::SetColumnWidths(int ASize, int ADate) {
    FSizeColumn = std::clamp(ASize, KMinColumn, KMaxColumn);
    FDateColumn = std::clamp(ADate, KMinColumn, KMaxColumn);
}

TKvColumnLayout TKvPanelModel::Layout(int AWidth, double AScale) const {
    const int size = static_cast<int>(std::lround(FSizeColumn * AScale));
    const int date = static_cast<int>(std::lround(FDateColumn * AScale));
    const int minName = static_cast<int>(std::lround(KMinNameWidth * AScale));
    TKvColumnLayout layout;
    layout.Width = AWidth;
    // A narrow panel drops the date column first, then the size column.
    layout.ShowDate = AWidth - size - date >= minName;
    layout.ShowSize = layout.ShowDate || AWidth - size >= minName;
    layout.DateStart = layout.ShowDate ? AWidth - date : AWidth;
    layout.SizeStart = layout.ShowSize ? layout.DateStart - size : AWidth;
    return layout;
}

TKvHeaderHit TKvPanelModel::HitHeader(int AX, int AWidth, double AScale) const {
    TKvColumnLayout layout = Layout(AWidth, AScale);
    const int grip = static_cast<int>(std::lround(4 * AScale));
    if (layout.ShowSize && std::abs(AX - layout.SizeStart) <= grip)
        return hhSizeDivider;
    if (layout.ShowDate && std::abs(AX - layout.DateStart) <= grip)
        return hhDateDivider;
    if (AX < layout.SizeStart)
        return hhName;
    if (layout.ShowDate && AX >= layout.DateStart)
        return hhTime;
    return hhSize;
}

bool TKvPanelModel::DragDivider(TKvHeaderHit ADivider, int AX, int AWidth, double AScale) {
    TKvColumnLayout layout = Layout(AWidth, AScale);
    const int oldSize = FSizeColumn, oldDate = FDateColumn;
    auto unscale = [AScale](int APixels) {
        return std::clamp(static_cast<int>(std::lround(APixels / AScale)), KMinColumn, KMaxColumn);
    };
    if (ADivider == hhSizeDivider)
        FSizeColumn = unscale(layout.DateStart - AX);
    else if (ADivider == hhDateDivider)
        FDateColumn = unscale(AWidth - AX);
    return FSizeColumn != oldSize || FDateColumn != oldDate;
}

std::string TKvPanelModel::SizeText(int AIndex) const {
    const auto& row = Row(AIndex);
    if (IsUpRow(AIndex))
        return "<UP>";
    if (row.IsDir)
        return row.IsLink ? "<LINK>" : "<DIR>";
    return FormatBytes(row.Size);
}

namespace {

std::string Printable(std::string AText) {
    for (char& c : AText)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            c = '?';
    return AText;
}

} // namespace

std::string TKvPanelModel::NameText(int AIndex) const {
    const auto& row = Row(AIndex);
    // A name that is not UTF-8 (an old server's or disk's Latin-1) still reads as words.
    std::string text = Printable(ReadableText(row.Name));
    if (row.IsLink && !IsUpRow(AIndex))
        text += row.LinkBroken ? KBrokenLinkMark : KLinkMark;
    return text;
}

std::string
TKvPanelModel::SizeTextFitting(int AIndex, int AWidth,
                               const std::function<int(const std::string&)>& AMeasure) const {
    std::string text = SizeText(AIndex);
    const auto& row = Row(AIndex);
    if (IsUpRow(AIndex) || row.IsDir || AMeasure(text) <= AWidth)
        return text;
    return FormatSize(row.Size);
}

std::string TKvPanelModel::FocusedLinkText() const {
    if (RowCount() == 0 || IsUpRow(FFocus) || !Row(FFocus).IsLink ||
        Row(FFocus).LinkTarget.empty())
        return {};
    const auto& row = Row(FFocus);
    return "Link to " + Printable(row.LinkTarget) +
           (row.LinkBroken ? ", which does not exist" : "");
}

std::string TKvPanelModel::DateText(int AIndex) const {
    return IsUpRow(AIndex) ? std::string() : FormatStamp(Row(AIndex).Modified);
}

std::string TKvPanelModel::HeaderText(TKvHeaderHit AColumn) const {
    const char* arrow = FDescending ? " v" : " ^";
    switch (AColumn) {
    case hhName:
        if (FSort == scExt)
            return std::string("Name (ext)") + arrow;
        return FSort == scName ? std::string("Name") + arrow : "Name";
    case hhSize:
        return FSort == scSize ? std::string("Size") + arrow : "Size";
    case hhTime:
        return FSort == scTime ? std::string("Modified") + arrow : "Modified";
    default:
        return {};
    }
}

std::string TKvPanelModel::Summary() const {
    int files = 0, dirs = 0, marked = 0;
    int64_t fileBytes = 0, markedBytes = 0;
    for (int i = FHasUpEntry ? 1 : 0; i < RowCount(); ++i) {
        const auto& row = Row(i);
        if (row.IsDir) {
            ++dirs;
        } else {
            ++files;
            fileBytes += row.Size;
        }
        if (FMarks[i]) {
            ++marked;
            markedBytes += row.Size;
        }
    }
    if (marked > 0)
        return "Marked " + std::to_string(marked) + ", " + FormatSize(markedBytes);
    return std::to_string(files) + " files, " + std::to_string(dirs) + " dirs, " + FormatSize(fileBytes);
}

} // namespace kv
