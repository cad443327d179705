#include "Kv.ViewerModel.h"

#include <algorithm>
#include <cmath>
#include <typeinfo>

#include "Kv.Log.h"
#include "Kv.Text.h"

namespace kv {

namespace {

// The byte offset of each character of UTF-8 text, and of its end.
std::vector<size_t> CharStarts(std::string_view AText) {
    std::vector<size_t> starts;
    starts.reserve(AText.size() + 1);
    for (size_t k = 0; k < AText.size(); ++k)
        if ((static_cast<unsigned char>(AText[k]) & 0xC0) != 0x80)
            starts.push_back(k);
    starts.push_back(AText.size());
    return starts;
}

} // namespace

TKvViewerModel::TKvViewerModel(std::shared_ptr<TKvViewData> AData)
    : FData(std::move(AData)), FWorker(std::make_unique<TKvWorker>()), FAlive(NewCancelToken()) {}

TKvViewerModel::~TKvViewerModel() {
    FAlive->Cancel();
    if (FSearchToken)
        FSearchToken->Cancel();
    if (FSumToken)
        FSumToken->Cancel();
    try {
        // A job stuck on a dead server is abandoned; it keeps the reader alive until it ends.
        FWorker->Stop(100);
        FWorker.reset();
    } catch (const std::exception& e) {
        Log(std::string("closing viewer: ") + typeid(e).name() + ": " + e.what());
    }
}

std::string TKvViewerModel::Title() const {
    return "View - " + (FData->Fs ? FData->Fs->NameOf(FData->Path) : FData->Path);
}

void TKvViewerModel::Changed() {
    if (OnChanged)
        OnChanged();
}

void TKvViewerModel::SetArea(int ARows, int AColumns) {
    ARows = std::max(1, ARows);
    AColumns = std::max(10, AColumns);
    bool first = FRows == 0;
    if (!first && ARows == FRows && AColumns == FColumns)
        return;
    FRows = ARows;
    FColumns = AColumns;
    if (first)
        Request(vmAt, 0);
    else
        Request(vmDown, 0);
}

// ---- Page requests ----

void TKvViewerModel::Request(TKvViewMode AMode, int64_t AValue) {
    if (FRows == 0)
        return;
    if (FBusy) {
        FHasNext = true;
        FNextMode = AMode;
        FNextValue = AValue;
        return;
    }
    StartPage(AMode, AValue);
}

void TKvViewerModel::StartPage(TKvViewMode AMode, int64_t AValue) {
    FBusy = true;
    bool checkJava = !FJavaSeen;
    // The first page tells whether the file is text; one that is not opens in hex instead of
    // rows of replacement glyphs.
    const bool sniff = !FSniffed && !FHex;
    FSniffed = true;
    FWorker->Post([data = FData, alive = FAlive, this, AMode, AValue, rows = FRows,
                   cols = FColumns, checkJava, wrap = FWrap, summary = FSummary, hex = FHex,
                   sniff](const IKvCancelToken&) {
        TKvViewResult result;
        try {
            const bool binary = sniff && !data->FirstBlockIsText();
            data->Page(AMode, rows, result, checkJava, wrap, summary, hex || binary, cols, AValue);
            result.OpenedInHex = binary;
        } catch (const EKvCancelled&) {
            return;
        } catch (const std::exception& e) {
            result = TKvViewResult{};
            result.Error = e.what();
        }
        KvDeliver(alive, [this, result = std::move(result)]() mutable {
            PageArrived(std::move(result));
        });
    });
}

void TKvViewerModel::PageArrived(TKvViewResult AResult) {
    FBusy = false;
    FError = AResult.Error;
    if (FError.empty()) {
        if (AResult.Pos != FPos || AResult.SubRow != FSubRow)
            ClearSelection();
        FLines = std::move(AResult.Lines);
        FHiddenRows = std::move(AResult.Hidden);
        FContRows = std::move(AResult.Cont);
        FPos = AResult.Pos;
        FSubRow = AResult.SubRow;
        FAtEnd = AResult.AtEnd;
        if (AResult.OpenedInHex)
            FHex = true;
        if (AResult.Java)
            FJavaSeen = true;
    }
    if (!FBarDragging) {
        if (FError.empty() && FAtEnd && FPos > 0)
            FBarPos = KViewBarMax;
        else if (FData->Size > 0)
            FBarPos = int(std::min<int64_t>(KViewBarMax, FPos * KViewBarMax / FData->Size));
        else
            FBarPos = 0;
    }
    Changed();
    if (FHasNext) {
        FHasNext = false;
        StartPage(FNextMode, FNextValue);
    }
}

// ---- Commands ----

void TKvViewerModel::Home() {
    FCol = 0;
    Request(vmAt, 0);
}

void TKvViewerModel::Wheel(int ANotches) {
    if (ANotches > 0)
        Request(vmDown, 3 * int64_t(ANotches));
    else if (ANotches < 0)
        Request(vmUp, -3 * int64_t(ANotches));
}

int TKvViewerModel::Offset() const {
    if (FHex || (FWrap && !FSummary))
        return 0;
    return FCol;
}

void TKvViewerModel::Left() {
    if (Offset() > 0) {
        FCol = std::max(0, FCol - 8);
        Changed();
    }
}

void TKvViewerModel::Right() {
    if (!FWrap || FHex || FSummary) {
        FCol += 8;
        Changed();
    }
}

void TKvViewerModel::BarMovedTo(int APosition) {
    APosition = std::clamp(APosition, 0, KViewBarMax);
    Request(vmAt, int64_t(APosition) * FData->Size / KViewBarMax);
}

void TKvViewerModel::ToggleHex() {
    FHex = !FHex;
    FSummary = false;
    FCol = 0;
    ClearSelection();
    Request(vmAt, FPos);
    Changed();
}

void TKvViewerModel::ToggleWrap() {
    FWrap = !FWrap;
    FCol = 0;
    ClearSelection();
    if (!FHex && !FSummary)
        Request(vmAt, FPos);
    Changed();
}

void TKvViewerModel::ToggleSummary() {
    if (FSumBuilding || FSearching)
        return;
    ClearSelection();
    if (FSummary) {
        FSummary = false;
        FNote.clear();
        if (FWrap)
            FCol = 0;
        Request(vmAt, FPos);
        Changed();
        return;
    }
    if (FHex) {
        FHex = false;
        FCol = 0;
    }
    if (FSumReady) {
        FSummary = true;
        Request(vmAt, FPos);
        Changed();
        return;
    }
    FSumBuilding = true;
    FNote = "Making the summary... (Esc to cancel)";
    FSumToken = FWorker->Post([data = FData, alive = FAlive, this](const IKvCancelToken& AToken) {
        int last = -1;
        std::string error;
        int64_t hidden = 0;
        try {
            hidden = data->BuildSummary(AToken, [&](int APercent) {
                if (APercent == last)
                    return;
                last = APercent;
                KvDeliver(alive, [this, APercent] {
                    if (!FSumBuilding)
                        return;
                    FNote = "Making the summary... " + std::to_string(APercent) +
                            "% (Esc to cancel)";
                    Changed();
                });
            });
        } catch (const EKvCancelled&) {
            return;
        } catch (const std::exception& e) {
            error = e.what();
        }
        KvDeliver(alive, [this, error, hidden] {
            if (!FSumBuilding)
                return;
            FSumBuilding = false;
            FSumToken.reset();
            if (!error.empty()) {
                FNote = "The summary failed: " + error;
                Changed();
                return;
            }
            FSumReady = true;
            FSumHidden = hidden;
            FSummary = true;
            FNote = hidden == 0 ? "No stack trace lines to leave out"
                                : FormatBytes(hidden) + " stack trace lines left out";
            ClearSelection();
            Request(vmAt, FPos);
            Changed();
        });
    });
    Changed();
}

bool TKvViewerModel::Escape() {
    if (FSearching) {
        if (FSearchToken)
            FSearchToken->Cancel();
        FSearchToken.reset();
        FSearching = false;
        FNote = "Search cancelled";
        Changed();
        return false;
    }
    if (FSumBuilding) {
        if (FSumToken)
            FSumToken->Cancel();
        FSumToken.reset();
        FSumBuilding = false;
        FNote = "Summary cancelled";
        Changed();
        return false;
    }
    return true;
}

// ---- Search ----

std::string TKvViewerModel::DialogText() const {
    return FSearchHex == FHex ? FSearchText : std::string();
}

void TKvViewerModel::SearchFromDialog(const std::string& AText, bool AMatchCase) {
    if (FSearching || AText.empty())
        return;
    FSearchText = AText;
    FSearchHex = FHex;
    FMatchCase = AMatchCase;
    FMatchPos = -1;
    RunSearch(true);
}

bool TKvViewerModel::FindAgain(bool AForward) {
    if (FSearching)
        return true;
    if (FSearchText.empty() || FSearchHex != FHex)
        return false;
    RunSearch(AForward);
    return true;
}

void TKvViewerModel::RunSearch(bool AForward) {
    if (FSearching)
        return;
    std::string pattern;
    bool fold = false;
    if (FSearchHex) {
        if (!ParseHexBytes(FSearchText, pattern)) {
            FNote = "That is not whole bytes in hex: " + FSearchText;
            Changed();
            return;
        }
    } else {
        fold = !FMatchCase;
        pattern = fold ? LowerAscii(FSearchText) : FSearchText;
    }
    if (pattern.empty())
        return;
    FPattern = pattern;
    int64_t from = FMatchPos < 0 ? FPos : FMatchPos + (AForward ? 1 : 0);
    int serial = ++FSearchSerial;
    FSearching = true;
    FNote = "Searching... (Esc to cancel)";
    FSearchToken = FWorker->Post([data = FData, alive = FAlive, this, pattern, fold, from, AForward,
                                  serial](const IKvCancelToken& AToken) {
        int last = -1;
        bool wrapped = false;
        int64_t found = -1;
        std::string error;
        try {
            found = data->Find(
                pattern, fold, wrapped, AToken,
                [&](int APercent) {
                    if (APercent == last)
                        return;
                    last = APercent;
                    KvDeliver(alive, [this, APercent, serial] {
                        if (!FSearching || serial != FSearchSerial)
                            return;
                        FNote = "Searching... " + std::to_string(APercent) + "% (Esc to cancel)";
                        Changed();
                    });
                },
                from, AForward);
        } catch (const EKvCancelled&) {
            return;
        } catch (const std::exception& e) {
            error = e.what();
        }
        KvDeliver(alive, [this, serial, found, wrapped, error, length = int(pattern.size())] {
            if (!FSearching || serial != FSearchSerial)
                return;
            FSearching = false;
            FSearchToken.reset();
            if (!error.empty()) {
                FNote = "Search failed: " + error;
            } else if (found < 0) {
                FNote = "Not found: " + FSearchText;
            } else {
                FMatchPos = found;
                FMatchLen = length;
                FNote = "Found at " + FormatBytes(found) +
                        (wrapped ? " (from the other end of the file)" : "") +
                        "   N = next, Shift+N = previous";
                // In hex the match shows on the third row.
                Request(vmAt, FHex ? std::max<int64_t>(0, found - 32) : found);
            }
            Changed();
        });
    });
    Changed();
}

// ---- Selection ----

void TKvViewerModel::CellAt(int AX, int AY, int ALineH, double ACharW, int& ARow, int& ACol) const {
    ALineH = std::max(1, ALineH);
    ACharW = std::max(1.0, ACharW);
    ARow = std::clamp(AY / ALineH, 0, std::max(0, std::min(FRows, RowCount()) - 1));
    // Characters are fractions of a pixel wide: the cell is the nearer gap between two.
    int column = int(std::floor((AX + ACharW / 2 - 2) / ACharW));
    ACol = column < 0 ? Offset() : column + Offset();
}

void TKvViewerModel::PressAt(int ARow, int ACol) {
    if (FLines.empty())
        return;
    FSelAR = FSelBR = ARow;
    FSelAC = FSelBC = ACol;
    FSelDrag = true;
    Changed();
}

void TKvViewerModel::DragTo(int ARow, int ACol) {
    if (!FSelDrag)
        return;
    FSelBR = ARow;
    FSelBC = ACol;
    Changed();
}

void TKvViewerModel::SelectAll() {
    if (FLines.empty())
        return;
    FSelAR = 0;
    FSelAC = 0;
    FSelBR = RowCount() - 1;
    FSelBC = int(CharCount(ShownText(FSelBR)));
    Changed();
}

void TKvViewerModel::ClearSelection() {
    FSelAR = FSelAC = FSelBR = FSelBC = 0;
    FSelDrag = false;
}

bool TKvViewerModel::HasSelection() const {
    return FSelAR != FSelBR || FSelAC != FSelBC;
}

std::string TKvViewerModel::ShownText(int ARow) const {
    if (ARow < 0 || ARow >= RowCount())
        return {};
    return CleanViewText(FLines[size_t(ARow)]);
}

std::string TKvViewerModel::SelectedText() const {
    if (!HasSelection())
        return {};
    int r1 = FSelAR, c1 = FSelAC, r2 = FSelBR, c2 = FSelBC;
    if (r2 < r1 || (r2 == r1 && c2 < c1)) {
        std::swap(r1, r2);
        std::swap(c1, c2);
    }
    std::string out;
    for (int row = std::max(r1, 0); row <= r2 && row < RowCount(); ++row) {
        const std::string text = ShownText(row);
        const std::vector<size_t> starts = CharStarts(text);
        const int chars = int(starts.size()) - 1;
        int from = row == r1 ? std::clamp(c1, 0, chars) : 0;
        int to = row == r2 ? std::clamp(c2, 0, chars) : chars;
        if (row > r1 && !FContRows[size_t(row)])
            out += '\n';
        if (to > from)
            out += text.substr(starts[size_t(from)], starts[size_t(to)] - starts[size_t(from)]);
    }
    return out;
}

void TKvViewerModel::Copied(const std::string& AText) {
    FNote = "copied " + std::to_string(CharCount(AText)) + " characters";
    Changed();
}

void TKvViewerModel::CopyFailed(const std::string& AReason) {
    FNote = "could not copy: " + AReason;
    Changed();
}

// ---- What the rows show ----

std::string TKvViewerModel::RowText(int ARow) const {
    std::string text = ShownText(ARow);
    int offset = Offset();
    if (offset <= 0)
        return text;
    const std::vector<size_t> starts = CharStarts(text);
    return text.substr(starts[std::min(size_t(offset), starts.size() - 1)]);
}

bool TKvViewerModel::RowIsFold(int ARow) const {
    return ARow >= 0 && ARow < int(FHiddenRows.size()) && FHiddenRows[size_t(ARow)];
}

std::vector<TKvSpan> TKvViewerModel::RowSpans(int ARow) const {
    std::vector<TKvSpan> spans;
    if (ARow < 0 || ARow >= RowCount())
        return spans;
    const int offset = Offset();
    auto add = [&](int AStart, int ALength, TKvSpanKind AKind) {
        // Shifted by the offset and clipped at the left edge.
        int start = AStart - offset, end = AStart + ALength - offset;
        start = std::max(start, 0);
        if (end > start)
            spans.push_back({start, end - start, AKind});
    };
    if (FHex && FMatchPos >= 0 && FMatchLen > 0) {
        int64_t rowPos = FPos + 16 * int64_t(ARow);
        for (int i = 0; i < 16; ++i) {
            int64_t at = rowPos + i;
            if (at >= FMatchPos && at < FMatchPos + FMatchLen) {
                add(HexDigitColumn(rowPos, i), 2, skMatch);
                add(HexCharColumn(rowPos, i), 1, skMatch);
            }
        }
    } else if (!FHex && !FSearchHex && !FSearchText.empty()) {
        // Lowering only A to Z keeps every character's length, as the search folds case.
        std::string text = ShownText(ARow);
        std::string needle = FSearchText;
        if (!FMatchCase) {
            text = LowerAscii(text);
            needle = LowerAscii(needle);
        }
        const int length = int(CharCount(needle));
        for (size_t at = text.find(needle); !needle.empty() && at != std::string::npos;
             at = text.find(needle, at + needle.size()))
            add(int(CharCount(std::string_view(text).substr(0, at))), length, skMatch);
    }
    if (HasSelection()) {
        int r1 = FSelAR, c1 = FSelAC, r2 = FSelBR, c2 = FSelBC;
        if (r2 < r1 || (r2 == r1 && c2 < c1)) {
            std::swap(r1, r2);
            std::swap(c1, c2);
        }
        if (ARow >= r1 && ARow <= r2) {
            int length = int(CharCount(ShownText(ARow)));
            int from = ARow == r1 ? c1 : 0;
            int to = ARow == r2 ? c2 : length;
            add(from, to - from, skSelection);
        }
    }
    return spans;
}

std::string TKvViewerModel::StatusText() const {
    if (!FError.empty())
        return " " + FError;
    const int64_t size = FData->Size;
    int percent = size > 0 ? int(std::min<int64_t>(100, FPos * 100 / size)) : 100;
    const char* mode = FSummary ? "JAVA SUMMARY" : FHex ? "HEX" : FWrap ? "TEXT, WRAP" : "TEXT";
    std::string hint = FSummary ? "F1 = all lines   " : FJavaSeen ? "F1 = Java summary   " : "";
    std::string text = " " + FData->Shown + "   " + FormatBytes(FPos) + " of " +
                       FormatBytes(size) + "   " + std::to_string(percent) + "%   " + mode +
                       "   " + hint + "F4 = " + (FHex ? "text" : "hex") +
                       "   F7 = search   Ctrl+C = copy";
    if (!FNote.empty())
        text += "   " + FNote;
    return text;
}

} // namespace kv
