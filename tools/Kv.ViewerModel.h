// The viewer window's rules without a widget: page requests on the window's worker with at most
// one waiting behind the running one, the modes, the search and summary jobs, the selection,
// the scroll bar, the status line and what each row shows. The window paints what this says
// and forwards its keys and mouse here.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Kv.FileSystem.h"
#include "Kv.ViewData.h"
#include "Kv.Worker.h"

namespace kv {

inline constexpr int KViewBarMax = 10000;

enum class TKvSpanKind { skMatch, skSelection };
using enum TKvSpanKind;

// Characters [Start, Start + Length) of a row as shown (after the sideways offset).
struct TKvSpan {
    int Start = 0;
    int Length = 0;
    TKvSpanKind Kind = skMatch;
    bool operator==(const TKvSpan&) const = default;
};

class TKvViewerModel {
public:
    // AData is shared with the jobs that still use it; it goes with the last of them.
    explicit TKvViewerModel(std::shared_ptr<TKvViewData> AData);
    ~TKvViewerModel();
    TKvViewerModel(const TKvViewerModel&) = delete;
    TKvViewerModel& operator=(const TKvViewerModel&) = delete;

    // Called after anything shown changed (rows, status line, scroll bar).
    std::function<void()> OnChanged;

    // The text area holds ARows rows of AColumns characters. The first call shows the first
    // page; later changes ask for the same top again.
    void SetArea(int ARows, int AColumns);
    int Rows() const { return FRows; }
    int Columns() const { return FColumns; }

    // One movement; while a page is being read only the latest waits behind it.
    void Request(TKvViewMode AMode, int64_t AValue);
    bool Busy() const { return FBusy; }

    // Commands.
    void Home();
    void End() { Request(vmEnd, 0); }
    void LineUp() { Request(vmUp, 1); }
    void LineDown() { Request(vmDown, 1); }
    void PageUp() { Request(vmUp, std::max(1, FRows - 1)); }
    void PageDown() { Request(vmDown, std::max(1, FRows - 1)); }
    // Wheel notches: positive towards the user (down).
    void Wheel(int ANotches);
    void Left();
    void Right();
    void ToggleHex();
    void ToggleWrap();
    void ToggleSummary();
    // Cancels the running search, else the summary being built; true when neither ran, so the
    // window closes.
    bool Escape();

    // Search. The dialog's text: the last one when it was entered in the mode shown now.
    std::string DialogText() const;
    bool Searching() const { return FSearching; }
    // The dialog was confirmed: the text is kept and searched forwards from the top.
    void SearchFromDialog(const std::string& AText, bool AMatchCase);
    // N, Shift+N: false when there is no text for this mode, so the dialog opens instead.
    bool FindAgain(bool AForward);
    int64_t MatchPos() const { return FMatchPos; }
    bool MatchCase() const { return FMatchCase; }

    // Scroll bar: the position to show, and the user's own moves.
    int BarPosition() const { return FBarPos; }
    void SetBarDragging(bool ADragging) { FBarDragging = ADragging; }
    bool BarDragging() const { return FBarDragging; }
    void BarMovedTo(int APosition);

    // Selection in rows on screen and character columns of the row's cleaned text.
    void CellAt(int AX, int AY, int ALineH, double ACharW, int& ARow, int& ACol) const;
    void PressAt(int ARow, int ACol);
    void DragTo(int ARow, int ACol);
    void Release() { FSelDrag = false; }
    bool Dragging() const { return FSelDrag; }
    void SelectAll();
    void ClearSelection();
    bool HasSelection() const;
    // The selected text; rows joined by line feeds except inside a wrapped line.
    std::string SelectedText() const;
    void Copied(const std::string& AText);
    void CopyFailed(const std::string& AReason);

    // What the rows show.
    int RowCount() const { return int(FLines.size()); }
    // The row's text as drawn: tabs and zero characters cleaned, the sideways offset cut off.
    std::string RowText(int ARow) const;
    bool RowIsFold(int ARow) const;
    std::vector<TKvSpan> RowSpans(int ARow) const;
    int Offset() const;

    std::string StatusText() const;
    const std::string& Note() const { return FNote; }
    const std::string& Error() const { return FError; }
    std::string Title() const;

    bool Hex() const { return FHex; }
    bool Wrap() const { return FWrap; }
    bool SummaryMode() const { return FSummary; }
    bool SummaryBuilding() const { return FSumBuilding; }
    bool JavaSeen() const { return FJavaSeen; }
    int64_t Pos() const { return FPos; }
    int SubRow() const { return FSubRow; }
    bool AtEnd() const { return FAtEnd; }
    const TKvViewData& Data() const { return *FData; }

private:
    void StartPage(TKvViewMode AMode, int64_t AValue);
    void PageArrived(TKvViewResult AResult);
    void RunSearch(bool AForward);
    void Changed();
    std::string ShownText(int ARow) const;

    std::shared_ptr<TKvViewData> FData;
    std::unique_ptr<TKvWorker> FWorker;
    IKvCancelTokenPtr FAlive;
    int FRows = 0;
    int FColumns = 0;

    std::vector<std::string> FLines;
    std::vector<bool> FHiddenRows;
    std::vector<bool> FContRows;
    int64_t FPos = 0;
    int FSubRow = 0;
    bool FAtEnd = false;
    int FCol = 0;
    bool FBusy = false;
    bool FHasNext = false;
    TKvViewMode FNextMode = vmAt;
    int64_t FNextValue = 0;
    std::string FError;
    int FBarPos = 0;
    bool FBarDragging = false;

    bool FHex = false;
    bool FSniffed = false;
    bool FWrap = true;
    bool FSummary = false;
    bool FSumReady = false;
    bool FSumBuilding = false;
    IKvCancelTokenPtr FSumToken;
    int64_t FSumHidden = 0;
    bool FJavaSeen = false;

    std::string FSearchText;
    bool FSearchHex = false;
    bool FMatchCase = false;
    std::string FPattern;
    int64_t FMatchPos = -1;
    int FMatchLen = 0;
    bool FSearching = false;
    int FSearchSerial = 0;
    IKvCancelTokenPtr FSearchToken;
    std::string FNote;

    int FSelAR = 0, FSelAC = 0, FSelBR = 0, FSelBC = 0;
    bool FSelDrag = false;
};

} // namespace kv
