#include "Kv.Vt.Screen.h"

#include <algorithm>
#include <climits>
#include <cstdio>

#include "Kv.Utf8.h"

namespace kv {

namespace {

// DEC Special Graphics for 0x5F..0x7E: the VT100 line-drawing set.
constexpr uint32_t KDecGraphics[32] = {
    0x0020, 0x25C6, 0x2592, 0x2409, 0x240C, 0x240D, 0x240A, 0x00B0, 0x00B1, 0x2424, 0x240B,
    0x2518, 0x2510, 0x250C, 0x2514, 0x253C, 0x23BA, 0x23BB, 0x2500, 0x23BC, 0x23BD, 0x251C,
    0x2524, 0x2534, 0x252C, 0x2502, 0x2264, 0x2265, 0x03C0, 0x2260, 0x00A3, 0x00B7,
};

bool ValidCodePoint(uint32_t ACodePoint) {
    return ACodePoint <= 0x10FFFF && (ACodePoint < 0xD800 || ACodePoint > 0xDFFF);
}

// Counts from the stream may be huge (CSI 99999 L): clamp them to what the screen can use so
// no loop runs past it.
int ClampCount(int AN, int AMax) {
    return std::clamp(AN, 1, std::max(AMax, 1));
}

const TKvVtLine KEmptyLine;

} // namespace

void AppendScreenChar(std::string& AText, uint32_t ACodePoint) {
    AppendUtf8(AText, ValidCodePoint(ACodePoint) ? ACodePoint : ' ');
}

void AppendCellText(std::string& AText, const TKvVtLine& ALine, const TKvVtCell& ACell) {
    AppendScreenChar(AText, ACell.Ch == 0 ? ' ' : ACell.Ch);
    if (const std::u32string* marks = CellMarks(ALine, ACell)) {
        for (char32_t mark : *marks)
            AppendScreenChar(AText, uint32_t(mark));
    }
}

std::string LineText(const TKvVtLine& ALine) {
    size_t end = ALine.Cells.size();
    while (end > 0) {
        const TKvVtCell& cell = ALine.Cells[end - 1];
        if ((cell.Ch != 0 && cell.Ch != ' ') || (cell.Flags & vfWideRight))
            break;
        --end;
    }
    std::string text;
    text.reserve(end);
    for (size_t i = 0; i < end; ++i) {
        const TKvVtCell& cell = ALine.Cells[i];
        if (cell.Flags & vfWideRight)
            continue;
        AppendCellText(text, ALine, cell);
    }
    return text;
}

TKvVtScreen::TKvVtScreen(int ACols, int ARows, int AMaxScrollback)
    : FCols(std::max(ACols, 2)), FRows(std::max(ARows, 1)), FMaxBack(std::max(AMaxScrollback, 0)) {
    FullReset();
}

void TKvVtScreen::Changed() {
    ++FVersion;
    if (OnChanged)
        OnChanged();
}

// --- Lines and cells -------------------------------------------------------------------------

void TKvVtScreen::BlankLine(TKvVtLine& ALine, int ACols) const {
    ALine.Cells.assign(size_t(ACols), BlankCell());
    ALine.Wrapped = false;
    ALine.CwdId = 0;
    ALine.CwdSerial = 0;
    ALine.Marks.clear();
    ALine.LinkIds.clear();
}

void TKvVtScreen::StampLink(TKvVtLine& ALine, int AFrom, int ACount) const {
    if (ALine.LinkIds.size() < ALine.Cells.size())
        ALine.LinkIds.resize(ALine.Cells.size(), 0);
    std::fill_n(ALine.LinkIds.begin() + AFrom, ACount, FLink);
}

void TKvVtScreen::BreakPair(TKvVtLine& ALine, int ACol) const {
    int count = int(ALine.Cells.size());
    if (ACol < 0 || ACol >= count)
        return;
    uint16_t flags = ALine.Cells[size_t(ACol)].Flags;
    if ((flags & vfWideRight) && ACol > 0) {
        ALine.Cells[size_t(ACol)] = BlankCell();
        ALine.Cells[size_t(ACol - 1)] = BlankCell();
    } else if ((flags & vfWideLeft) && ACol + 1 < count) {
        ALine.Cells[size_t(ACol)] = BlankCell();
        ALine.Cells[size_t(ACol + 1)] = BlankCell();
    } else if (flags & (vfWideLeft | vfWideRight)) {
        ALine.Cells[size_t(ACol)] = BlankCell();
    }
}

void TKvVtScreen::EraseCells(TKvVtLine& ALine, int AFrom, int ATo) const {
    AFrom = std::max(AFrom, 0);
    ATo = std::min(ATo, int(ALine.Cells.size()));
    if (AFrom >= ATo)
        return;
    BreakPair(ALine, AFrom);
    BreakPair(ALine, ATo - 1);
    std::fill(ALine.Cells.begin() + AFrom, ALine.Cells.begin() + ATo, BlankCell());
}

void TKvVtScreen::PushBack(TKvVtLine& ALine) {
    if (FMaxBack <= 0)
        return;
    if (FBackCount < FMaxBack && int(FBack.size()) < FMaxBack) {
        // Still growing: the ring is not yet wrapped, so FBackStart is 0.
        FBack.push_back(std::move(ALine));
        ALine = TKvVtLine();
        ++FBackCount;
        return;
    }
    // Full: the new line takes the oldest one's slot, and its cells are handed back for reuse.
    std::swap(FBack[size_t(FBackStart)], ALine);
    ++FDropped;
    FBackStart = (FBackStart + 1) % FMaxBack;
}

const TKvVtLine& TKvVtScreen::AbsLine(int AIndex) const {
    if (AIndex < 0)
        return KEmptyLine;
    if (AIndex < FBackCount)
        return FBack[size_t((FBackStart + AIndex) % int(FBack.size()))];
    AIndex -= FBackCount;
    if (AIndex < FRows)
        return FLines[size_t(AIndex)];
    return KEmptyLine;
}

TKvVtCell TKvVtScreen::CellAt(int ARow, int ACol) const {
    if (ARow < 0 || ARow >= FRows || ACol < 0 || ACol >= FCols)
        return TKvVtCell{};
    return FLines[size_t(ARow)].Cells[size_t(ACol)];
}

void TKvVtScreen::ClearScrollback() {
    FDropped += FBackCount;
    FBack.clear();
    FBack.shrink_to_fit();
    FBackStart = 0;
    FBackCount = 0;
}

void TKvVtScreen::ScrollRegion(int ATop, int ABottom, int AN, bool AUp, bool AToScrollback) {
    if (ATop < 0 || ABottom >= FRows || ATop > ABottom)
        return;
    int height = ABottom - ATop + 1;
    int n = ClampCount(AN, height);
    auto first = FLines.begin() + ATop;
    auto last = FLines.begin() + ABottom + 1;
    if (AUp) {
        if (AToScrollback && ATop == 0 && !FAlt) {
            for (int i = 0; i < n; ++i)
                PushBack(FLines[size_t(ATop + i)]);
        }
        // One line at a time is the common case (a line feed at the bottom): moving each
        // line once beats rotate's swaps, which move each three times.
        if (n == 1) {
            TKvVtLine top = std::move(*first);
            std::move(first + 1, last, first);
            *(last - 1) = std::move(top);
        } else {
            std::rotate(first, first + n, last);
        }
        for (int i = ABottom - n + 1; i <= ABottom; ++i)
            BlankLine(FLines[size_t(i)], FCols);
    } else {
        std::rotate(first, last - n, last);
        for (int i = ATop; i < ATop + n; ++i)
            BlankLine(FLines[size_t(i)], FCols);
    }
}

// --- Printing ------------------------------------------------------------------------------

void TKvVtScreen::WrapToNextLine() {
    FLines[size_t(FY)].Wrapped = true;
    CarriageReturn();
    LineFeed();
}

void TKvVtScreen::PutChar(uint32_t ACodePoint) {
    if (ACodePoint >= 0x5F && ACodePoint <= 0x7E && FCharsets[FGl] == '0')
        ACodePoint = KDecGraphics[ACodePoint - 0x5F];
    int width = CharWidth(ACodePoint);
    if (width == 0) {
        AddMark(ACodePoint);
        return;
    }
    if (FWrapPending && FAutoWrap)
        WrapToNextLine();
    FWrapPending = false;
    if (width == 2 && FX == FCols - 1) {
        if (!FAutoWrap)
            return;
        EraseCells(FLines[size_t(FY)], FX, FX + 1);
        WrapToNextLine();
    }
    if (FInsert)
        InsertChars(width);
    TKvVtLine& line = FLines[size_t(FY)];
    line.CwdId = FCwdId;
    line.CwdSerial = FCwdSerial;
    BreakPair(line, FX);
    if (width == 2)
        BreakPair(line, FX + 1);
    line.Cells[size_t(FX)] =
        TKvVtCell{ACodePoint, FFg, FBg, uint16_t(FFlags | (width == 2 ? vfWideLeft : 0))};
    if (width == 2)
        line.Cells[size_t(FX + 1)] = TKvVtCell{0, FFg, FBg, uint16_t(FFlags | vfWideRight)};
    if (FFlags & vfLink)
        StampLink(line, FX, width);
    FLastChar = ACodePoint;
    if (FX + width < FCols) {
        FX += width;
    } else {
        // Without autowrap the margin holds the cursor for good (as in xterm): turning
        // autowrap on later does not wrap a line printed before.
        FX = FCols - 1;
        FWrapPending = FAutoWrap;
    }
}

void TKvVtScreen::AddMark(uint32_t ACodePoint) {
    // The mark belongs to the character printed last: under the cursor while a wrap is
    // pending, else left of it. At the start of a line there is none, as in xterm.
    int col = FWrapPending ? FX : FX - 1;
    if (col < 0)
        return;
    TKvVtLine& line = FLines[size_t(FY)];
    if (line.Cells[size_t(col)].Flags & vfWideRight)
        --col;
    if (col < 0)
        return;
    TKvVtCell& cell = line.Cells[size_t(col)];
    if (cell.Ch == 0)
        return;
    // Enough for any real script; a flood of marks on one character is cut here.
    constexpr size_t KMaxMarksPerCell = 8;
    if (const std::u32string* marks = CellMarks(line, cell)) {
        if (marks->size() < KMaxMarksPerCell)
            line.Marks[cell.Mark - 1u] += char32_t(ACodePoint);
        return;
    }
    // Entries of cells printed over since are dropped before the list grows past the line.
    if (line.Marks.size() >= line.Cells.size()) {
        std::vector<std::u32string> kept;
        for (TKvVtCell& other : line.Cells) {
            if (CellMarks(line, other)) {
                kept.push_back(std::move(line.Marks[other.Mark - 1u]));
                other.Mark = uint16_t(kept.size());
            } else {
                other.Mark = 0;
            }
        }
        line.Marks = std::move(kept);
    }
    if (line.Marks.size() >= 0xFFFF) // cells refer to entries with 16 bits
        return;
    line.Marks.push_back(std::u32string(1, char32_t(ACodePoint)));
    cell.Mark = uint16_t(line.Marks.size());
}

void TKvVtScreen::WriteAscii(const char* AText, int ACount) {
    TKvVtLine& line = FLines[size_t(FY)];
    line.CwdId = FCwdId;
    line.CwdSerial = FCwdSerial;
    // Only the pairs cut at the two ends need mending; the cells between are all replaced.
    BreakPair(line, FX);
    BreakPair(line, FX + ACount - 1);
    TKvVtCell* cell = line.Cells.data() + FX;
    for (int i = 0; i < ACount; ++i)
        cell[i] = TKvVtCell{uint8_t(AText[i]), FFg, FBg, FFlags};
    if (FFlags & vfLink)
        StampLink(line, FX, ACount);
    FLastChar = uint8_t(AText[ACount - 1]);
    if (FX + ACount < FCols) {
        FX += ACount;
    } else {
        // Without autowrap the margin holds the cursor for good (as in xterm): turning
        // autowrap on later does not wrap a line printed before.
        FX = FCols - 1;
        FWrapPending = FAutoWrap;
    }
}

void TKvVtScreen::PutAscii(const char* AText, size_t ACount) {
    if (FCharsets[FGl] == '0' || FInsert) {
        for (size_t i = 0; i < ACount; ++i)
            PutChar(uint8_t(AText[i]));
        return;
    }
    while (ACount > 0) {
        if (FWrapPending) {
            if (FAutoWrap)
                WrapToNextLine();
            FWrapPending = false;
        }
        size_t room = size_t(FCols - FX);
        if (ACount <= room) {
            WriteAscii(AText, int(ACount));
            return;
        }
        if (!FAutoWrap) {
            // Everything beyond the margin lands in the last cell, so only the run's final
            // character stays there.
            if (room > 1)
                WriteAscii(AText, int(room - 1));
            WriteAscii(AText + ACount - 1, 1);
            return;
        }
        WriteAscii(AText, int(room));
        AText += room;
        ACount -= room;
    }
}

void TKvVtScreen::RepeatChar(int ACount) {
    if (FLastChar == 0)
        return;
    // More than a screenful repeats nothing new but scrolling; keep the loop bounded.
    int n = ClampCount(ACount, FCols * FRows);
    uint32_t ch = FLastChar;
    // The DEC mapping was applied when the character was first printed.
    char saved = FCharsets[FGl];
    FCharsets[FGl] = 'B';
    for (int i = 0; i < n; ++i)
        PutChar(ch);
    FCharsets[FGl] = saved;
}

void TKvVtScreen::Backspace() {
    FWrapPending = false;
    if (FX > 0)
        --FX;
}

void TKvVtScreen::Tab(int ACount) {
    FWrapPending = false;
    int n = ClampCount(ACount, FCols);
    for (int i = 0; i < n && FX < FCols - 1; ++i) {
        ++FX;
        while (FX < FCols - 1 && !FTabs[size_t(FX)])
            ++FX;
    }
}

void TKvVtScreen::BackTab(int ACount) {
    FWrapPending = false;
    int n = ClampCount(ACount, FCols);
    for (int i = 0; i < n && FX > 0; ++i) {
        --FX;
        while (FX > 0 && !FTabs[size_t(FX)])
            --FX;
    }
}

void TKvVtScreen::LineFeed() {
    Index();
    if (FNewlineMode)
        FX = 0;
}

void TKvVtScreen::CarriageReturn() {
    FWrapPending = false;
    FX = 0;
}

void TKvVtScreen::Index() {
    FWrapPending = false;
    if (FY == FBottom)
        ScrollRegion(FTop, FBottom, 1, true, true);
    else if (FY < FRows - 1)
        ++FY;
}

void TKvVtScreen::ReverseIndex() {
    FWrapPending = false;
    if (FY == FTop)
        ScrollRegion(FTop, FBottom, 1, false, false);
    else if (FY > 0)
        --FY;
}

void TKvVtScreen::NextLine() {
    Index();
    FX = 0;
}

void TKvVtScreen::DesignateCharset(int ASlot, char ACharset) {
    if (ASlot == 0 || ASlot == 1)
        FCharsets[ASlot] = ACharset;
}

void TKvVtScreen::SetTabStop() {
    FTabs[size_t(FX)] = true;
}

void TKvVtScreen::ClearTabStop(int AMode) {
    if (AMode == 3)
        std::fill(FTabs.begin(), FTabs.end(), false);
    else
        FTabs[size_t(FX)] = false;
}

void TKvVtScreen::ResetTabs() {
    FTabs.assign(size_t(FCols), false);
    for (int i = 8; i < FCols; i += 8)
        FTabs[size_t(i)] = true;
}

// --- Cursor --------------------------------------------------------------------------------

void TKvVtScreen::CursorUp(int AN) {
    FWrapPending = false;
    int n = ClampCount(AN, FRows);
    FY = std::max(FY >= FTop ? FTop : 0, FY - n);
}

void TKvVtScreen::CursorDown(int AN) {
    FWrapPending = false;
    int n = ClampCount(AN, FRows);
    FY = std::min(FY <= FBottom ? FBottom : FRows - 1, FY + n);
}

void TKvVtScreen::CursorForward(int AN) {
    FWrapPending = false;
    FX = std::min(FCols - 1, FX + ClampCount(AN, FCols));
}

void TKvVtScreen::CursorBack(int AN) {
    FWrapPending = false;
    FX = std::max(0, FX - ClampCount(AN, FCols));
}

void TKvVtScreen::CursorToColumn(int ACol) {
    FWrapPending = false;
    FX = std::clamp(ACol, 1, FCols) - 1;
}

void TKvVtScreen::CursorToRow(int ARow) {
    FWrapPending = false;
    if (FOrigin)
        FY = FTop + std::clamp(ARow, 1, FBottom - FTop + 1) - 1;
    else
        FY = std::clamp(ARow, 1, FRows) - 1;
}

void TKvVtScreen::CursorTo(int ARow, int ACol) {
    CursorToRow(ARow);
    CursorToColumn(ACol);
}

void TKvVtScreen::SaveCursor() {
    FSaved = TSaved{true,         FX,           FY,  FFg,     FBg,         FFlags,
                    FCharsets[0], FCharsets[1], FGl, FOrigin, FWrapPending};
}

void TKvVtScreen::RestoreCursor() {
    if (!FSaved.Valid) {
        // As DEC terminals do: home, default rendition and character sets, origin mode off.
        FX = 0;
        FY = 0;
        FWrapPending = false;
        ResetAttributes();
        FCharsets[0] = FCharsets[1] = 'B';
        FGl = 0;
        FOrigin = false;
        return;
    }
    FX = std::clamp(FSaved.X, 0, FCols - 1);
    FY = std::clamp(FSaved.Y, 0, FRows - 1);
    FFg = FSaved.Fg;
    FBg = FSaved.Bg;
    // The link being printed is not part of the saved state.
    FFlags = uint16_t((FSaved.Flags & ~vfLink) | (FFlags & vfLink));
    FCharsets[0] = FSaved.G0;
    FCharsets[1] = FSaved.G1;
    FGl = FSaved.Gl;
    FOrigin = FSaved.Origin;
    FWrapPending = FSaved.WrapPending;
}

// --- Editing -------------------------------------------------------------------------------

void TKvVtScreen::EraseInDisplay(int AMode) {
    switch (AMode) {
    case 0:
        EraseInLine(0);
        for (int r = FY + 1; r < FRows; ++r)
            BlankLine(FLines[size_t(r)], FCols);
        break;
    case 1:
        for (int r = 0; r < FY; ++r)
            BlankLine(FLines[size_t(r)], FCols);
        EraseInLine(1);
        break;
    case 2:
        for (auto& line : FLines)
            BlankLine(line, FCols);
        break;
    case 3:
        ClearScrollback();
        break;
    default:
        break;
    }
}

void TKvVtScreen::EraseInLine(int AMode) {
    TKvVtLine& line = FLines[size_t(FY)];
    switch (AMode) {
    case 0:
        EraseCells(line, FX, FCols);
        line.Wrapped = false;
        break;
    case 1:
        EraseCells(line, 0, FX + 1);
        break;
    case 2:
        EraseCells(line, 0, FCols);
        line.Wrapped = false;
        break;
    default:
        break;
    }
}

void TKvVtScreen::InsertLines(int AN) {
    if (FY < FTop || FY > FBottom)
        return;
    ScrollRegion(FY, FBottom, AN, false, false);
    FX = 0;
    FWrapPending = false;
}

void TKvVtScreen::DeleteLines(int AN) {
    if (FY < FTop || FY > FBottom)
        return;
    ScrollRegion(FY, FBottom, AN, true, false);
    FX = 0;
    FWrapPending = false;
}

void TKvVtScreen::InsertChars(int AN) {
    FWrapPending = false;
    int n = ClampCount(AN, FCols - FX);
    TKvVtLine& line = FLines[size_t(FY)];
    // A pair split by the cursor is broken; one that starts at the cursor moves intact.
    if (line.Cells[size_t(FX)].Flags & vfWideRight)
        BreakPair(line, FX);
    auto& cells = line.Cells;
    std::move_backward(cells.begin() + FX, cells.end() - n, cells.end());
    std::fill(cells.begin() + FX, cells.begin() + FX + n, BlankCell());
    if (!line.LinkIds.empty()) {
        line.LinkIds.resize(cells.size(), 0);
        std::move_backward(line.LinkIds.begin() + FX, line.LinkIds.end() - n,
                           line.LinkIds.end());
    }
    if (cells.back().Flags & vfWideLeft)
        cells.back() = BlankCell();
}

void TKvVtScreen::DeleteChars(int AN) {
    FWrapPending = false;
    int n = ClampCount(AN, FCols - FX);
    TKvVtLine& line = FLines[size_t(FY)];
    BreakPair(line, FX);
    // A pair right after the deleted cells moves intact; only a half left behind is broken.
    if (FX + n < FCols && (line.Cells[size_t(FX + n)].Flags & vfWideRight))
        BreakPair(line, FX + n);
    auto& cells = line.Cells;
    std::move(cells.begin() + FX + n, cells.end(), cells.begin() + FX);
    std::fill(cells.end() - n, cells.end(), BlankCell());
    if (!line.LinkIds.empty()) {
        line.LinkIds.resize(cells.size(), 0);
        std::move(line.LinkIds.begin() + FX + n, line.LinkIds.end(), line.LinkIds.begin() + FX);
    }
}

void TKvVtScreen::EraseChars(int AN) {
    int n = ClampCount(AN, FCols - FX);
    EraseCells(FLines[size_t(FY)], FX, FX + n);
}

void TKvVtScreen::ScrollUp(int AN) {
    ScrollRegion(FTop, FBottom, AN, true, true);
}

void TKvVtScreen::ScrollDown(int AN) {
    ScrollRegion(FTop, FBottom, AN, false, false);
}

void TKvVtScreen::SetScrollRegion(int ATop, int ABottom) {
    if (ATop < 1)
        ATop = 1;
    if (ABottom < 1 || ABottom > FRows)
        ABottom = FRows;
    if (ATop >= ABottom)
        return;
    FTop = ATop - 1;
    FBottom = ABottom - 1;
    FX = 0;
    FY = FOrigin ? FTop : 0;
    FWrapPending = false;
}

// --- Rendition and modes -------------------------------------------------------------------

void TKvVtScreen::ResetAttributes() {
    FFg = KVtDefaultColor;
    FBg = KVtDefaultColor;
    FFlags &= vfLink; // a link is not a rendition: SGR 0 inside it keeps it
}

void TKvVtScreen::SetFlag(uint16_t AFlag, bool AOn) {
    AFlag &= KVtRenditionFlags; // the wide-pair bits belong to the cells, never the pen
    if (AOn)
        FFlags |= AFlag;
    else
        FFlags &= uint16_t(~AFlag);
}

void TKvVtScreen::SetAnsiMode(int AMode, bool AOn) {
    if (AMode == 4)
        FInsert = AOn;
    else if (AMode == 20)
        FNewlineMode = AOn;
}

void TKvVtScreen::SetPrivateMode(int AMode, bool AOn) {
    auto setMouse = [&](TKvVtMouseMode AMouse) {
        if (AOn)
            FMouseMode = AMouse;
        else if (FMouseMode == AMouse)
            FMouseMode = mmOff;
    };
    switch (AMode) {
    case 1:
        FAppCursorKeys = AOn;
        break;
    case 3:
        // DECCOLM: the column count stays (as in most emulators without mode 40), but the
        // program expects the rest of the switch: a clear screen, no margins, cursor home.
        EraseInDisplay(2);
        FTop = 0;
        FBottom = FRows - 1;
        FX = 0;
        FY = 0;
        FWrapPending = false;
        break;
    case 6:
        FOrigin = AOn;
        FX = 0;
        FY = AOn ? FTop : 0;
        FWrapPending = false;
        break;
    case 7:
        FAutoWrap = AOn;
        break;
    case 25:
        FCursorVisible = AOn;
        break;
    case 47:
    case 1047:
        SetAltScreen(AOn, false);
        break;
    case 1000:
        setMouse(mmClick);
        break;
    case 1002:
        setMouse(mmDrag);
        break;
    case 1003:
        setMouse(mmAny);
        break;
    case 1004:
        FFocusEvents = AOn;
        break;
    case 1006:
        FSgrMouse = AOn;
        break;
    case 1049:
        if (AOn) {
            SaveCursor();
            SetAltScreen(true, true);
        } else {
            SetAltScreen(false, true);
            RestoreCursor();
        }
        break;
    case 2004:
        FBracketedPaste = AOn;
        break;
    case 2026:
        FSyncOutput = AOn;
        break;
    default:
        break;
    }
}

int TKvVtScreen::ModeState(int AMode, bool APrivate) const {
    auto state = [](bool AOn) { return AOn ? 1 : 2; };
    if (!APrivate) {
        switch (AMode) {
        case 4:
            return state(FInsert);
        case 20:
            return state(FNewlineMode);
        default:
            return 0;
        }
    }
    switch (AMode) {
    case 1:
        return state(FAppCursorKeys);
    case 3:
        return 4; // the column count never changes
    case 6:
        return state(FOrigin);
    case 7:
        return state(FAutoWrap);
    case 25:
        return state(FCursorVisible);
    case 47:
    case 1047:
    case 1049:
        return state(FAlt);
    case 1000:
        return state(FMouseMode == mmClick);
    case 1002:
        return state(FMouseMode == mmDrag);
    case 1003:
        return state(FMouseMode == mmAny);
    case 1004:
        return state(FFocusEvents);
    case 1006:
        return state(FSgrMouse);
    case 2004:
        return state(FBracketedPaste);
    case 2026:
        return state(FSyncOutput);
    default:
        return 0;
    }
}

void TKvVtScreen::AlignmentPattern() {
    TKvVtCell cell{'E', KVtDefaultColor, KVtDefaultColor, 0};
    for (auto& line : FLines) {
        line.Cells.assign(size_t(FCols), cell);
        line.Wrapped = false;
        line.CwdId = 0; // a test pattern, not the shell's output
        line.CwdSerial = 0;
        line.Marks.clear();
        line.LinkIds.clear();
    }
    FTop = 0;
    FBottom = FRows - 1;
    FX = 0;
    FY = 0;
    FWrapPending = false;
}

void TKvVtScreen::PushTitle() {
    // As xterm: a short stack; the oldest entry gives way.
    constexpr size_t KMaxTitles = 10;
    if (FTitles.size() >= KMaxTitles)
        FTitles.erase(FTitles.begin());
    FTitles.push_back(FTitle);
}

bool TKvVtScreen::PopTitle() {
    if (FTitles.empty())
        return false;
    FTitle = std::move(FTitles.back());
    FTitles.pop_back();
    return true;
}

void TKvVtScreen::SetDefaultColors(uint32_t AForeground, uint32_t ABackground,
                                   uint32_t ACursor) {
    FDefaultFg = AForeground & 0xFFFFFF;
    FDefaultBg = ABackground & 0xFFFFFF;
    FCursorRgb = ACursor & 0xFFFFFF;
}

void TKvVtScreen::SetAltScreen(bool AOn, bool ASavePosition) {
    if (AOn == FAlt)
        return;
    if (AOn) {
        FStash = std::move(FLines);
        FLines.assign(size_t(FRows), TKvVtLine());
        for (auto& line : FLines)
            BlankLine(line, FCols);
        if (ASavePosition)
            FSavedAlt = TSavedAlt{true, FX, FY};
    } else {
        FLines = std::move(FStash);
        FStash.clear();
        if (ASavePosition && FSavedAlt.Valid) {
            FX = std::clamp(FSavedAlt.X, 0, FCols - 1);
            FY = std::clamp(FSavedAlt.Y, 0, FRows - 1);
        }
        FWrapPending = false;
    }
    FAlt = AOn;
    FTop = 0;
    FBottom = FRows - 1;
}

void TKvVtScreen::FullReset() {
    FAlt = false;
    FStash.clear();
    ResetAttributes();
    FLines.resize(size_t(FRows));
    for (auto& line : FLines)
        BlankLine(line, FCols);
    ClearScrollback();
    FTop = 0;
    FBottom = FRows - 1;
    FX = 0;
    FY = 0;
    FWrapPending = false;
    FCharsets[0] = FCharsets[1] = 'B';
    FGl = 0;
    FLastChar = 0;
    FSaved = TSaved();
    FSavedAlt = TSavedAlt();
    FAutoWrap = true;
    FOrigin = FInsert = FNewlineMode = false;
    FCursorVisible = true;
    FAppCursorKeys = FAppKeypad = FBracketedPaste = FFocusEvents = FSgrMouse = false;
    FSyncOutput = false;
    FMouseMode = mmOff;
    FTitle.clear();
    FTitles.clear();
    FReplies.clear();
    FLink = 0;
    FFlags = 0;
    FHyperlinks.clear();
    FHyperlinkKeys.clear();
    FHyperlinkOrder.clear();
    // No line is stamped any more: only the current folder is remembered, under its own id.
    FCwdIds.clear();
    if (!FCwd.empty())
        FCwdIds.emplace(FCwd, TCwdIdEntry{FCwdId, ++FCwdUses});
    ResetTabs();
    Changed();
}

// --- Reports -------------------------------------------------------------------------------

void TKvVtScreen::SetCwd(std::string_view AUrl) {
    const int before = FCwdSerial, beforeId = FCwdId;
    FCwd = AUrl;
    ++FCwdSerial;
    if (FCwd.empty()) {
        FCwdId = 0;
        return;
    }
    auto it = FCwdIds.find(FCwd);
    if (it == FCwdIds.end()) {
        if (FCwdIds.size() >= KMaxCwdIds)
            FCwdIds.erase(
                std::min_element(FCwdIds.begin(), FCwdIds.end(), [](const auto& A, const auto& B) {
                    return A.second.Used < B.second.Used;
                }));
        // Ids are not handed out again (short of 2^31 folders), so a line of a forgotten folder
        // never matches a new one.
        if (FNextCwdId == INT_MAX)
            FNextCwdId = 1;
        it = FCwdIds.emplace(FCwd, TCwdIdEntry{FNextCwdId++, 0}).first;
    }
    it->second.Used = ++FCwdUses;
    FCwdId = it->second.Id;
    // The shell reports its folder once a command has ended: what the command printed belongs
    // to the folder it ended in ("cd x; ls" prints the names of x), not the one it began in.
    if (FCwdId != beforeId && before != 0)
        RestampSince(before, FCwdId);
}

void TKvVtScreen::RestampSince(int ASerial, int AId) {
    auto restamp = [&](TKvVtLine& ALine) {
        if (ALine.CwdSerial == ASerial)
            ALine.CwdId = AId;
    };
    for (TKvVtLine& line : FAlt ? FStash : FLines)
        restamp(line);
    // The scrollback holds lines in the order they left the screen: back to the first one
    // printed before that report.
    for (int i = FBackCount - 1; i >= 0; --i) {
        TKvVtLine& line = FBack[size_t((FBackStart + i) % int(FBack.size()))];
        if (line.CwdSerial != 0 && line.CwdSerial != ASerial)
            break;
        restamp(line);
    }
}

void TKvVtScreen::SetHyperlink(std::string_view AId, std::string_view AUri) {
    if (AUri.empty() || AUri.size() > KMaxUriLength) {
        FLink = 0;
        FFlags &= uint16_t(~vfLink);
        return;
    }
    std::string key;
    if (!AId.empty()) {
        key.assign(AId).append(1, '\n').append(AUri);
        if (auto it = FHyperlinkKeys.find(key); it != FHyperlinkKeys.end()) {
            FLink = it->second;
            FFlags |= vfLink;
            return;
        }
    }
    if (FHyperlinks.size() >= KMaxHyperlinks) {
        const uint32_t oldest = FHyperlinkOrder.front();
        FHyperlinkOrder.pop_front();
        auto it = FHyperlinks.find(oldest);
        if (it != FHyperlinks.end()) {
            if (!it->second.Key.empty())
                FHyperlinkKeys.erase(it->second.Key);
            FHyperlinks.erase(it);
        }
    }
    // Numbers are not handed out again (short of 2^32 links), so an old cell never names a
    // newer link.
    if (FNextHyperlink == 0)
        FNextHyperlink = 1;
    const uint32_t link = FNextHyperlink++;
    FHyperlinks.emplace(link, THyperlink{std::string(AUri), key});
    if (!key.empty())
        FHyperlinkKeys.emplace(key, link);
    FHyperlinkOrder.push_back(link);
    FLink = link;
    FFlags |= vfLink;
}

const std::string* TKvVtScreen::HyperlinkUri(uint32_t ALink) const {
    auto it = FHyperlinks.find(ALink);
    return it == FHyperlinks.end() ? nullptr : &it->second.Uri;
}

void TKvVtScreen::Reply(std::string_view AData) {
    // A flood of queries must not grow memory; replies are short, so whole ones are kept.
    if (FReplies.size() < KMaxReplies)
        FReplies.append(AData);
}

std::string TKvVtScreen::TakeReplies() {
    std::string replies;
    replies.swap(FReplies);
    return replies;
}

void TKvVtScreen::ReportCursor(bool APrivate) {
    int row = FY + 1 - (FOrigin ? FTop : 0);
    char text[40];
    std::snprintf(text, sizeof text, APrivate ? "\033[?%d;%dR" : "\033[%d;%dR", row, FX + 1);
    Reply(text);
}

// --- Size ----------------------------------------------------------------------------------

void TKvVtScreen::ResizeLines(std::vector<TKvVtLine>& ALines, int ACols, int ARows, int AShift,
                              bool AToBack) {
    for (int i = 0; i < AShift && i < int(ALines.size()); ++i) {
        if (AToBack)
            PushBack(ALines[size_t(i)]);
    }
    std::vector<TKvVtLine> lines(static_cast<size_t>(ARows));
    for (int r = 0; r < ARows; ++r) {
        TKvVtLine& line = lines[size_t(r)];
        size_t old = size_t(r + AShift);
        if (old < ALines.size() && !ALines[old].Cells.empty()) {
            line = std::move(ALines[old]);
            line.Cells.resize(size_t(ACols), BlankCell());
            if (!line.LinkIds.empty())
                line.LinkIds.resize(size_t(ACols), 0);
            if (line.Cells.back().Flags & vfWideLeft)
                line.Cells.back() = BlankCell();
        } else {
            BlankLine(line, ACols);
        }
    }
    ALines = std::move(lines);
}

namespace {

// A cell that shows no character: trailing ones are not part of a line's text.
bool EmptyTextCell(const TKvVtCell& ACell) {
    return (ACell.Ch == 0 || ACell.Ch == ' ') && ACell.Mark == 0 &&
           !(ACell.Flags & (vfWideLeft | vfWideRight));
}

// A row that shows anything at all, also only colour: below the cursor it is kept.
bool RowShowsSomething(const TKvVtLine& ALine) {
    return std::any_of(ALine.Cells.begin(), ALine.Cells.end(), [](const TKvVtCell& ACell) {
        return !EmptyTextCell(ACell) || ACell.Bg != KVtDefaultColor ||
               (ACell.Flags & (vfInverse | vfUnderline | vfStrike));
    });
}

constexpr TKvVtCell KPadCell{0, KVtDefaultColor, KVtDefaultColor, 0};

// One line of text as printed, before it is wrapped at the new width.
struct TLogicalLine {
    std::vector<TKvVtCell> Cells;
    // The combining marks of marked cells, in cell order (they stay in the old lines).
    std::vector<std::pair<size_t, const std::u32string*>> Marks;
    std::vector<std::pair<size_t, uint32_t>> Links; // hyperlinks of linked cells, in cell order
    int CwdId = 0;
    int CwdSerial = 0;
};

} // namespace

int TKvVtScreen::Reflow(std::vector<TKvVtLine>& AMain, int ACols, int ARows,
                        TReflowPoint* APoints, int APointCount) {
    // Every line, oldest first: the scrollback out of its ring, then the rows.
    std::vector<TKvVtLine> old;
    old.reserve(size_t(FBackCount) + AMain.size());
    for (int i = 0; i < FBackCount; ++i)
        old.push_back(std::move(FBack[size_t((FBackStart + i) % int(FBack.size()))]));
    const int firstRow = FBackCount;
    for (TKvVtLine& line : AMain)
        old.push_back(std::move(line));
    FBack.clear();
    FBackStart = 0;
    FBackCount = 0;

    // The points asked for, and the start of the old screen, which stays the screen's top
    // unless the cursor needs the room.
    struct TPoint {
        int Line, Col;
        size_t Offset = 0; // in its logical line
        int NewRow = -1, NewCol = 0;
    };
    std::vector<TPoint> points;
    for (int p = 0; p < APointCount; ++p)
        points.push_back(TPoint{APoints[p].Line, std::max(APoints[p].Col, 0)});
    points.push_back(TPoint{firstRow, 0});

    // Blank rows below the cursor and the last text are room, not text.
    int last = firstRow;
    for (const TPoint& point : points)
        last = std::max(last, point.Line);
    for (int i = int(old.size()) - 1; i > last; --i) {
        if (RowShowsSomething(old[size_t(i)])) {
            last = i;
            break;
        }
    }
    last = std::min(last, int(old.size()) - 1);

    std::vector<TKvVtLine> out;
    out.reserve(old.size() + old.size() / 2);
    auto newRow = [&] {
        TKvVtLine& row = out.emplace_back();
        row.Cells.assign(size_t(ACols), KPadCell);
    };
    std::vector<TPoint*> pending;
    // Lays one logical line out in rows of ACols cells. A wide character never splits: one
    // that does not fit leaves a pad cell and moves to the next row, as printing does.
    auto layout = [&](TLogicalLine& ALogical) {
        const size_t total = ALogical.Cells.size();
        size_t content = total;
        while (content > 0 && EmptyTextCell(ALogical.Cells[content - 1]))
            --content;
        const size_t firstOut = out.size();
        newRow();
        int col = 0;
        size_t i = 0, mark = 0, link = 0;
        auto place = [&](size_t AOffset, int ACol) {
            for (TPoint* point : pending) {
                if (point->Offset == AOffset) {
                    point->NewRow = int(out.size()) - 1;
                    point->NewCol = ACol;
                }
            }
        };
        while (i < total) {
            const TKvVtCell& cell = ALogical.Cells[i];
            bool wide = (cell.Flags & vfWideLeft) && i + 1 < total &&
                        (ALogical.Cells[i + 1].Flags & vfWideRight);
            int width = wide ? 2 : 1;
            if (col + width > ACols) {
                // Trailing blanks (a coloured end of line) are kept only where they fit.
                if (i >= content)
                    break;
                out.back().Wrapped = true;
                newRow();
                col = 0;
            }
            TKvVtLine& row = out.back();
            for (int k = 0; k < width; ++k, ++i) {
                TKvVtCell copy = ALogical.Cells[i];
                if (!wide)
                    copy.Flags &= uint16_t(~(vfWideLeft | vfWideRight)); // a half left alone
                copy.Mark = 0;
                while (mark < ALogical.Marks.size() && ALogical.Marks[mark].first < i)
                    ++mark;
                if (mark < ALogical.Marks.size() && ALogical.Marks[mark].first == i &&
                    row.Marks.size() < 0xFFFF) {
                    row.Marks.push_back(*ALogical.Marks[mark].second);
                    copy.Mark = uint16_t(row.Marks.size());
                }
                if (!wide && copy.Ch == 0 && (ALogical.Cells[i].Flags & vfWideRight))
                    copy = KPadCell;
                if (copy.Flags & vfLink) {
                    while (link < ALogical.Links.size() && ALogical.Links[link].first < i)
                        ++link;
                    if (link < ALogical.Links.size() && ALogical.Links[link].first == i) {
                        row.LinkIds.resize(size_t(ACols), 0);
                        row.LinkIds[size_t(col)] = ALogical.Links[link].second;
                    } else {
                        copy.Flags &= uint16_t(~vfLink);
                    }
                }
                // An empty cell that ends a row before a wide character would read as the
                // pad a wide character leaves (and be dropped when joined): make it a blank.
                if (col == ACols - 1 && copy.Ch == 0 && copy.Mark == 0 &&
                    !(copy.Flags & (vfWideLeft | vfWideRight)) && i + 1 < total &&
                    (ALogical.Cells[i + 1].Flags & vfWideLeft))
                    copy.Ch = ' ';
                row.Cells[size_t(col)] = copy;
                place(i, col);
                ++col;
            }
        }
        // Points past the copied cells (the cursor after a prompt) keep their distance.
        for (TPoint* point : pending) {
            if (point->NewRow >= 0 || point->Offset < i)
                continue;
            size_t at = size_t(col) + (point->Offset - i);
            int rows = int(at / size_t(ACols));
            const int base = int(out.size()) - 1;
            while (int(out.size()) - 1 < base + rows) {
                out.back().Wrapped = true;
                newRow();
            }
            point->NewRow = base + rows;
            point->NewCol = int(at % size_t(ACols));
        }
        for (size_t r = firstOut; r < out.size(); ++r) {
            out[r].CwdId = ALogical.CwdId;
            out[r].CwdSerial = ALogical.CwdSerial;
        }
        out.back().Wrapped = false;
    };

    TLogicalLine logical;
    for (int i = 0; i <= last; ++i) {
        TKvVtLine& line = old[size_t(i)];
        const size_t start = logical.Cells.size();
        if (start == 0 && !(line.Wrapped && i < last)) {
            // A line of its own whose text fits (most lines): it moves over as it is.
            size_t content = line.Cells.size();
            while (content > 0 && EmptyTextCell(line.Cells[content - 1]))
                --content;
            bool fits = content <= size_t(ACols);
            for (const TPoint& point : points)
                fits = fits && (point.Line != i || point.Col < ACols);
            if (fits) {
                for (TPoint& point : points) {
                    if (point.Line == i) {
                        point.NewRow = int(out.size());
                        point.NewCol = point.Col;
                    }
                }
                TKvVtLine& row = out.emplace_back(std::move(line));
                row.Cells.resize(size_t(ACols), KPadCell);
                if (!row.LinkIds.empty())
                    row.LinkIds.resize(size_t(ACols), 0);
                row.Wrapped = false;
                continue;
            }
        }
        for (TPoint& point : points) {
            if (point.Line == i) {
                point.Offset = start + size_t(point.Col);
                pending.push_back(&point);
            }
        }
        if (line.CwdId != 0)
            logical.CwdId = line.CwdId;
        logical.CwdSerial = std::max(logical.CwdSerial, line.CwdSerial);
        const bool continues = line.Wrapped && i < last;
        size_t count = line.Cells.size();
        if (continues && count > 0) {
            // The pad cell a wide character left when it did not fit is not text.
            const TKvVtCell& end = line.Cells[count - 1];
            const auto& next = old[size_t(i + 1)].Cells;
            if (end.Ch == 0 && end.Mark == 0 && !(end.Flags & (vfWideLeft | vfWideRight)) &&
                !next.empty() && (next[0].Flags & vfWideLeft))
                --count;
        }
        logical.Cells.insert(logical.Cells.end(), line.Cells.begin(),
                             line.Cells.begin() + std::ptrdiff_t(count));
        for (size_t c = 0; c < count; ++c) {
            if (const std::u32string* marks = CellMarks(line, line.Cells[c]))
                logical.Marks.emplace_back(start + c, marks);
            if (const uint32_t link = CellLink(line, c))
                logical.Links.emplace_back(start + c, link);
        }
        if (!continues) {
            layout(logical);
            // The buffers are kept for the next line.
            logical.Cells.clear();
            logical.Marks.clear();
            logical.Links.clear();
            logical.CwdId = 0;
            logical.CwdSerial = 0;
            pending.clear();
        }
    }

    // The screen starts where the old one did, lower when the cursor would fall off its
    // bottom: the rows above go to the scrollback.
    const int cursorRow = points[0].NewRow;
    int top = std::min(points.back().NewRow, cursorRow);
    if (cursorRow - top >= ARows)
        top = cursorRow - ARows + 1;
    const int keepFrom = std::max(0, top - std::max(FMaxBack, 0));
    if (FMaxBack > 0)
        FDropped += keepFrom;
    if (FMaxBack > 0) {
        FBack.reserve(size_t(std::min(top - keepFrom, FMaxBack)));
        for (int r = keepFrom; r < top; ++r)
            FBack.push_back(std::move(out[size_t(r)]));
        FBackCount = int(FBack.size());
    }
    AMain.assign(size_t(ARows), TKvVtLine());
    for (int r = 0; r < ARows; ++r) {
        if (size_t(top + r) < out.size())
            AMain[size_t(r)] = std::move(out[size_t(top + r)]);
        else
            BlankLine(AMain[size_t(r)], ACols);
    }
    for (int p = 0; p < APointCount; ++p) {
        APoints[p].Line = std::clamp(points[size_t(p)].NewRow - top, 0, ARows - 1);
        APoints[p].Col = std::clamp(points[size_t(p)].NewCol, 0, ACols - 1);
    }
    return APoints[0].Line;
}

void TKvVtScreen::Resize(int ACols, int ARows) {
    ACols = std::max(ACols, 2);
    ARows = std::max(ARows, 1);
    if (ACols == FCols && ARows == FRows)
        return;
    if (!FAlt) {
        // The cursor and the saved cursor stay on their characters.
        TReflowPoint points[2] = {{FBackCount + FY, FX}, {FBackCount + FSaved.Y, FSaved.X}};
        Reflow(FLines, ACols, ARows, points, FSaved.Valid ? 2 : 1);
        FY = points[0].Line;
        FX = points[0].Col;
        if (FSaved.Valid) {
            FSaved.Y = points[1].Line;
            FSaved.X = points[1].Col;
        }
    } else {
        // The program redraws its own screen; the main screen behind it is rewrapped around
        // the position it goes back to.
        int shift = ARows < FRows ? std::max(0, FY - ARows + 1) : 0;
        ResizeLines(FLines, ACols, ARows, shift, false);
        const bool savedAlt = FSavedAlt.Valid;
        const bool savedWith = FSaved.Valid && savedAlt && FSaved.X == FSavedAlt.X &&
                               FSaved.Y == FSavedAlt.Y;
        TReflowPoint points[1] = {
            {FBackCount + (savedAlt ? FSavedAlt.Y : FY), savedAlt ? FSavedAlt.X : FX}};
        Reflow(FStash, ACols, ARows, points, 1);
        if (savedAlt) {
            FSavedAlt.X = points[0].Col;
            FSavedAlt.Y = points[0].Line;
        }
        if (savedWith) {
            FSaved.X = points[0].Col;
            FSaved.Y = points[0].Line;
        }
        FY = std::clamp(FY - shift, 0, ARows - 1);
        FX = std::clamp(FX, 0, ACols - 1);
    }
    FCols = ACols;
    FRows = ARows;
    FTop = 0;
    FBottom = FRows - 1;
    FWrapPending = false;
    ResetTabs();
    Changed();
}

} // namespace kv
