// The model of one terminal: the cell grid, scrollback, alternate screen, cursor, modes, title
// and the folder the shell reported. The parser changes it; the terminal control paints it and
// the shell half reads replies, the folder and line texts from it.
//
// The screen takes no lock in its operations: every user holds Lock() around its calls.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "Kv.Vt.Width.h"

namespace kv {

// Colours in a cell: a palette index 0..255, a direct colour, or the default.
inline constexpr uint32_t KVtDefaultColor = 0xFFFFFFFF;
inline constexpr uint32_t KVtDirectColor = 0x1000000;

constexpr uint32_t VtDirectColor(uint8_t ARed, uint8_t AGreen, uint8_t ABlue) {
    return KVtDirectColor + (uint32_t(ARed) << 16) + (uint32_t(AGreen) << 8) + ABlue;
}

enum TKvVtFlag : uint16_t {
    vfBold = 0x1,
    vfFaint = 0x2,
    vfItalic = 0x4,
    vfUnderline = 0x8,
    vfBlink = 0x10,
    vfInverse = 0x20,
    vfHidden = 0x40,
    vfStrike = 0x80,
    vfWideLeft = 0x100,  // left half of a wide character
    vfWideRight = 0x200, // right half of a wide character; its Ch is 0
    vfLink = 0x400,      // part of a hyperlink (OSC 8); the line's LinkIds names which
};
inline constexpr uint16_t KVtRenditionFlags = 0xFF;

struct TKvVtCell {
    uint32_t Ch = 0; // code point; 0 = nothing drawn (reads as a blank)
    uint32_t Fg = 0;
    uint32_t Bg = 0;
    uint16_t Flags = 0;
    uint16_t Mark = 0; // combining marks after Ch: 1-based index into the line's Marks; 0 none
    bool operator==(const TKvVtCell&) const = default;
};

struct TKvVtLine {
    std::vector<TKvVtCell> Cells; // as many as the screen had columns when the line was made
    bool Wrapped = false;         // the text continues on the next line (autowrap)
    int CwdId = 0;                // folder id current when a character was last printed here
    int CwdSerial = 0;            // the folder report serial then; 0 for a line never printed on
    // Combining marks kept with the character before them (decomposed names, many scripts).
    // Cells refer to them by Mark; entries of overwritten cells are dropped now and then.
    std::vector<std::u32string> Marks;
    // The hyperlink of each cell flagged vfLink; empty while the line never had one. A cell
    // printed over without a link loses the flag, so a number left behind means nothing.
    std::vector<uint32_t> LinkIds;
};

// The hyperlink number of a cell, 0 for none.
inline uint32_t CellLink(const TKvVtLine& ALine, size_t ACol) {
    if (ACol >= ALine.Cells.size() || ACol >= ALine.LinkIds.size() ||
        !(ALine.Cells[ACol].Flags & vfLink))
        return 0;
    return ALine.LinkIds[ACol];
}

// The combining marks of a cell, or null.
inline const std::u32string* CellMarks(const TKvVtLine& ALine, const TKvVtCell& ACell) {
    if (ACell.Mark == 0 || ACell.Mark > ALine.Marks.size())
        return nullptr;
    return &ALine.Marks[ACell.Mark - 1u];
}

enum class TKvVtMouseMode { mmOff, mmClick, mmDrag, mmAny };
using enum TKvVtMouseMode;

// The text of a line as UTF-8, without trailing blanks; empty cells and invalid code points
// read as blanks, right halves of wide characters are skipped.
std::string LineText(const TKvVtLine& ALine);
// Appends a screen character as UTF-8; one that cannot be a character (a surrogate, above
// U+10FFFF) as a blank.
void AppendScreenChar(std::string& AText, uint32_t ACodePoint);
// Appends a cell's character (0 as a blank) and its combining marks as UTF-8.
void AppendCellText(std::string& AText, const TKvVtLine& ALine, const TKvVtCell& ACell);

class TKvVtScreen {
public:
    static constexpr size_t KMaxReplies = 4096;
    // Folders remembered for stamping lines; past this the longest unreported one is forgotten,
    // and lines stamped in it no longer count as in the current folder.
    static constexpr size_t KMaxCwdIds = 256;
    // Hyperlinks remembered; past this the oldest is forgotten and its cells are plain text.
    static constexpr size_t KMaxHyperlinks = 2048;
    // Longer URIs are not taken (browsers stop near here too).
    static constexpr size_t KMaxUriLength = 2083;

    TKvVtScreen(int ACols, int ARows, int AMaxScrollback);
    TKvVtScreen(const TKvVtScreen&) = delete;
    TKvVtScreen& operator=(const TKvVtScreen&) = delete;

    void Lock() { FLock.lock(); }
    void Unlock() { FLock.unlock(); }
    // Counts a change and raises OnChanged (inside the caller's lock, on the caller's thread).
    void Changed();
    std::function<void()> OnChanged;

    // Printing and controls.
    void PutChar(uint32_t ACodePoint);
    // The same as PutChar for each byte of a run of printable ASCII, without the per-character
    // overhead: the common case of shell output.
    void PutAscii(const char* AText, size_t ACount);
    // REP: prints the last printed character again, ACount times.
    void RepeatChar(int ACount);
    void Bell() {}
    void Backspace();
    void Tab(int ACount);
    void BackTab(int ACount);
    void LineFeed();
    void CarriageReturn();
    void Index();
    void ReverseIndex();
    void NextLine();
    void ShiftOut() { FGl = 1; }
    void ShiftIn() { FGl = 0; }
    // Slot 0 is G0, 1 is G1; 'B' is ASCII and '0' the DEC line-drawing set.
    void DesignateCharset(int ASlot, char ACharset);
    void SetTabStop();
    void ClearTabStop(int AMode);

    // Cursor; arguments are 1-based, counts below 1 count as 1.
    void CursorUp(int AN);
    void CursorDown(int AN);
    void CursorForward(int AN);
    void CursorBack(int AN);
    void CursorToColumn(int ACol);
    void CursorToRow(int ARow);
    void CursorTo(int ARow, int ACol);
    void SaveCursor();
    void RestoreCursor();

    // Editing.
    void EraseInDisplay(int AMode);
    void EraseInLine(int AMode);
    void InsertLines(int AN);
    void DeleteLines(int AN);
    void InsertChars(int AN);
    void DeleteChars(int AN);
    void EraseChars(int AN);
    void ScrollUp(int AN);
    void ScrollDown(int AN);
    void SetScrollRegion(int ATop, int ABottom);

    // Rendition and modes.
    void ResetAttributes();
    void SetFlag(uint16_t AFlag, bool AOn);
    void SetForeground(uint32_t AColor) { FFg = AColor; }
    void SetBackground(uint32_t AColor) { FBg = AColor; }
    void SetAppKeypad(bool AOn) { FAppKeypad = AOn; }
    void SetAnsiMode(int AMode, bool AOn);
    void SetPrivateMode(int AMode, bool AOn);
    // DECRQM: 1 set, 2 reset, 4 permanently reset, 0 a mode the screen does not know.
    int ModeState(int AMode, bool APrivate) const;
    // DECALN: the screen filled with "E", margins reset, cursor home.
    void AlignmentPattern();
    void FullReset();

    // Reports.
    void SetTitle(std::string_view AText) { FTitle = AText; }
    // The title stack (CSI 22 t / CSI 23 t); false when there was nothing to pop.
    void PushTitle();
    bool PopTitle();
    // The colours the window paints "default" with, as 0xRRGGBB, for programs that ask.
    void SetDefaultColors(uint32_t AForeground, uint32_t ABackground, uint32_t ACursor);
    uint32_t DefaultForegroundRgb() const { return FDefaultFg; }
    uint32_t DefaultBackgroundRgb() const { return FDefaultBg; }
    uint32_t CursorRgb() const { return FCursorRgb; }
    // A folder report: a file URL, or empty for none.
    void SetCwd(std::string_view AUrl);
    void SetUser(std::string_view AName) { FUser = AName; }
    // OSC 8: what is printed from now on links to AUri; an empty AUri ends the link. Links with
    // the same AId and AUri are one link (a name cut over lines, a list printed in parts).
    void SetHyperlink(std::string_view AId, std::string_view AUri);
    // The URI of a hyperlink number, or null when there is none (any more).
    const std::string* HyperlinkUri(uint32_t ALink) const;
    size_t HyperlinkCount() const { return FHyperlinks.size(); }
    // Queues bytes for the host; the queue stops growing at KMaxReplies.
    void Reply(std::string_view AData);
    std::string TakeReplies();
    void ReportCursor(bool APrivate);

    // Size and history.
    void Resize(int ACols, int ARows);
    void ClearScrollback();
    int BackCount() const { return FBackCount; }
    // Lines ever dropped from the top of the scrollback: absolute index + this count names a
    // line for as long as it is kept, however much output follows.
    int64_t DroppedCount() const { return FDropped; }

    // Reading. Absolute indexes count the scrollback first (0 = oldest), then the rows.
    int LineCount() const { return FBackCount + FRows; }
    const TKvVtLine& AbsLine(int AIndex) const;
    std::string AbsText(int AIndex) const { return LineText(AbsLine(AIndex)); }
    std::string RowText(int ARow) const { return AbsText(FBackCount + ARow); }
    // A visible cell; outside the grid an all-zero cell.
    TKvVtCell CellAt(int ARow, int ACol) const;

    int Cols() const { return FCols; }
    int Rows() const { return FRows; }
    int CursorX() const { return FX; }
    int CursorY() const { return FY; }
    bool CursorVisible() const { return FCursorVisible; }
    bool WrapPending() const { return FWrapPending; }
    bool AltScreen() const { return FAlt; }
    bool AppCursorKeys() const { return FAppCursorKeys; }
    bool AppKeypad() const { return FAppKeypad; }
    bool BracketedPaste() const { return FBracketedPaste; }
    bool FocusEvents() const { return FFocusEvents; }
    bool SgrMouse() const { return FSgrMouse; }
    TKvVtMouseMode MouseMode() const { return FMouseMode; }
    bool NewlineMode() const { return FNewlineMode; }
    // Synchronized output (mode 2026): the program is drawing a frame; the window holds its
    // paint until the frame ends.
    bool SyncOutput() const { return FSyncOutput; }
    bool AutoWrap() const { return FAutoWrap; }
    bool OriginMode() const { return FOrigin; }
    bool InsertMode() const { return FInsert; }
    int ScrollTop() const { return FTop; }
    int ScrollBottom() const { return FBottom; }
    uint32_t Foreground() const { return FFg; }
    uint32_t Background() const { return FBg; }
    uint16_t Rendition() const { return FFlags; }
    bool TabStopAt(int ACol) const { return ACol >= 0 && ACol < FCols && FTabs[ACol]; }
    const std::string& Title() const { return FTitle; }
    const std::string& Cwd() const { return FCwd; }
    const std::string& User() const { return FUser; }
    int CwdSerial() const { return FCwdSerial; }
    int CwdId() const { return FCwdId; }
    // How many folders are remembered (at most KMaxCwdIds).
    size_t CwdIdCount() const { return FCwdIds.size(); }
    int Version() const { return FVersion; }

private:
    struct TSaved {
        bool Valid = false;
        int X = 0, Y = 0;
        uint32_t Fg = KVtDefaultColor, Bg = KVtDefaultColor;
        uint16_t Flags = 0;
        char G0 = 'B', G1 = 'B';
        int Gl = 0;
        bool Origin = false;
        bool WrapPending = false;
    };
    struct TSavedAlt {
        bool Valid = false;
        int X = 0, Y = 0;
    };

    TKvVtCell BlankCell() const { return TKvVtCell{0, KVtDefaultColor, FBg, 0}; }
    void BlankLine(TKvVtLine& ALine, int ACols) const;
    void BreakPair(TKvVtLine& ALine, int ACol) const;
    void EraseCells(TKvVtLine& ALine, int AFrom, int ATo) const; // [AFrom, ATo)
    void ScrollRegion(int ATop, int ABottom, int AN, bool AUp, bool AToScrollback);
    // Moves ALine's content into the scrollback; ALine receives storage to reuse (or none).
    void PushBack(TKvVtLine& ALine);
    void ResizeLines(std::vector<TKvVtLine>& ALines, int ACols, int ARows, int AShift,
                     bool AToBack);
    // A cursor position carried through a reflow: in, an absolute line of the scrollback
    // and the main rows and a cell; out, the same character's line and cell in the new layout.
    struct TReflowPoint {
        int Line = 0;
        int Col = 0;
    };
    // Rewraps the scrollback and the main screen's rows (AMain: FLines, or FStash behind the
    // alternate screen) at ACols and fits them into ARows. APoints[0] is the main screen's
    // cursor, which stays visible; returns its row on the new screen.
    int Reflow(std::vector<TKvVtLine>& AMain, int ACols, int ARows, TReflowPoint* APoints,
               int APointCount);
    void SetAltScreen(bool AOn, bool ASavePosition);
    void ResetTabs();
    void WrapToNextLine();
    void AddMark(uint32_t ACodePoint);
    void StampLink(TKvVtLine& ALine, int AFrom, int ACount) const;
    // Lines printed since the report numbered ASerial now count as printed in folder AId.
    void RestampSince(int ASerial, int AId);
    void WriteAscii(const char* AText, int ACount); // fits on the line

    std::mutex FLock;
    int FCols = 2, FRows = 1;
    std::vector<TKvVtLine> FLines;
    std::vector<TKvVtLine> FStash;
    // The scrollback is a ring: at the cap a new line replaces the oldest in place.
    std::vector<TKvVtLine> FBack;
    int FBackStart = 0;
    int FBackCount = 0;
    int FMaxBack = 0;
    int64_t FDropped = 0;
    bool FAlt = false;
    std::vector<bool> FTabs;
    int FTop = 0, FBottom = 0;
    int FX = 0, FY = 0;
    bool FWrapPending = false;
    uint32_t FFg = KVtDefaultColor, FBg = KVtDefaultColor;
    uint16_t FFlags = 0;
    char FCharsets[2] = {'B', 'B'};
    int FGl = 0;
    uint32_t FLastChar = 0;
    TSaved FSaved;
    TSavedAlt FSavedAlt;
    bool FAutoWrap = true, FOrigin = false, FInsert = false, FNewlineMode = false;
    bool FCursorVisible = true;
    bool FAppCursorKeys = false, FAppKeypad = false, FBracketedPaste = false;
    bool FFocusEvents = false, FSgrMouse = false;
    bool FSyncOutput = false;
    TKvVtMouseMode FMouseMode = mmOff;
    std::string FTitle;
    std::vector<std::string> FTitles;
    uint32_t FDefaultFg = 0xC0C0C0, FDefaultBg = 0x000000, FCursorRgb = 0xC0C0C0;
    std::string FCwd;
    std::string FUser;
    int FCwdSerial = 0;
    struct TCwdIdEntry {
        int Id = 0;
        uint64_t Used = 0; // FCwdUses when last reported
    };
    std::unordered_map<std::string, TCwdIdEntry> FCwdIds;
    uint64_t FCwdUses = 0;
    int FNextCwdId = 1;
    int FCwdId = 0;
    int FVersion = 0;
    std::string FReplies;
    struct THyperlink {
        std::string Uri;
        std::string Key; // AId and AUri, for links with an id; empty without
    };
    uint32_t FLink = 0; // the link being printed; 0 none
    std::unordered_map<uint32_t, THyperlink> FHyperlinks;
    std::unordered_map<std::string, uint32_t> FHyperlinkKeys;
    std::deque<uint32_t> FHyperlinkOrder; // oldest first
    uint32_t FNextHyperlink = 1;
};

// Holds a screen's lock for a scope; a null screen is no lock.
class TKvVtScreenLock {
public:
    explicit TKvVtScreenLock(TKvVtScreen* AScreen) : FScreen(AScreen) {
        if (FScreen)
            FScreen->Lock();
    }
    ~TKvVtScreenLock() {
        if (FScreen)
            FScreen->Unlock();
    }
    TKvVtScreenLock(const TKvVtScreenLock&) = delete;
    TKvVtScreenLock& operator=(const TKvVtScreenLock&) = delete;

private:
    TKvVtScreen* FScreen;
};

} // namespace kv
