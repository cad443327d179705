#include <gtest/gtest.h>

#include "VtTestUtil.h"

using namespace kv;
using namespace kv::test;

namespace {

struct TScript {
    const char* Name;
    std::string Input;
    std::string Text; // rows joined with "|"
    int Row;
    int Col;
};

// Five rows "a" to "e", cursor after the "e".
const std::string KFilled = "a\r\nb\r\nc\r\nd\r\ne";
const std::string KFullRows = "aaaaaaaaaa\r\naaaaaaaaaa\r\naaaaaaaaaa\r\naaaaaaaaaa\r\naaaaaaaaaa";

// Each script runs on a fresh 10 x 5 screen: bytes in, screen text and cursor out.
const TScript KScripts[] = {
    // Printing and wrapping
    {"pending wrap at the margin", "0123456789", "0123456789", 0, 9},
    {"next character wraps", "0123456789A", "0123456789|A", 1, 1},
    {"CR cancels the pending wrap", "0123456789\rX", "X123456789", 0, 1},
    {"CR LF after a full line adds no empty line", "0123456789\r\nX", "0123456789|X", 1, 1},
    {"wide character in the last column moves down", "012345678\xe4\xb8\xad",
     "012345678|\xe4\xb8\xad", 1, 2},
    {"wide character fills the last two columns", "01234567\xe4\xb8\xad", "01234567\xe4\xb8\xad", 0,
     9},
    {"narrow over a right half blanks the left half", "\xe4\xb8\xad\xe6\x96\x87\x1b[1;2Hx",
     " x\xe6\x96\x87", 0, 2},
    {"narrow over a left half blanks the right half", "\xe4\xb8\xad\xe6\x96\x87\x1b[1;3Hx",
     "\xe4\xb8\xadx", 0, 3},
    {"a combining mark stays with its character", "e\xcc\x81x", "e\xcc\x81x", 0, 2},
    {"marks stack on one character", "a\xcc\x81\xcc\xa3" "b", "a\xcc\x81\xcc\xa3" "b", 0, 2},
    {"a mark after a wide character joins it", "\xe4\xb8\xad\xe2\x83\x9dx",
     "\xe4\xb8\xad\xe2\x83\x9dx", 0, 3},
    {"a mark at the start of a line has no character", "\xcc\x81x", "x", 0, 1},
    {"a mark after the last column joins it", "012345678e\xcc\x81", "012345678e\xcc\x81", 0, 9},
    {"printing over a marked cell drops its marks", "e\xcc\x81\x1b[1GX", "X", 0, 1},
    {"DECALN fills the screen with E", "ab\x1b[2;4r\x1b[3;3H\x1b#8",
     "EEEEEEEEEE|EEEEEEEEEE|EEEEEEEEEE|EEEEEEEEEE|EEEEEEEEEE", 0, 0},
    {"DECCOLM clears and homes", KFilled + "\x1b[2;4r\x1b[?3h", "", 0, 0},
    {"DECCOLM reset clears too", KFilled + "\x1b[?3l", "", 0, 0},
    {"autowrap off overwrites the last cell", "\x1b[?7l0123456789AB", "012345678B", 0, 9},
    {"autowrap off drops a wide character at the margin", "\x1b[?7l012345678\xe4\xb8\xad",
     "012345678", 0, 9},
    {"insert mode shifts the line", "abc\x1b[1G\x1b[4hX\x1b[4lY", "XYbc", 0, 2},
    {"insert mode pushes cells off the end", "0123456789\x1b[1G\x1b[4hXY", "XY01234567", 0, 2},
    {"DEC line drawing in G0", "\x1b(0lqk\x1b(Bq", "\xe2\x94\x8c\xe2\x94\x80\xe2\x94\x90q", 0, 4},
    {"SO and SI switch to G1 and back", "\x1b)0\x0eq\x0fq", "\xe2\x94\x80q", 0, 2},
    {"REP repeats the last character", "ab\x1b[3b", "abbbb", 0, 5},
    {"REP with nothing printed does nothing", "\x1b[3bX", "X", 0, 1},
    {"huge REP is clamped to a screenful", "a\x1b[99999b",
     "aaaaaaaaaa|aaaaaaaaaa|aaaaaaaaaa|aaaaaaaaaa|a", 4, 1},

    // Cursor movement
    {"empty parameter reads as the default", "\x1b[5;;3H", "", 4, 0},
    {"a zero count moves one", "\x1b[3;3H\x1b[0A", "", 1, 2},
    {"CUP clamps to the screen", "\x1b[99;99H", "", 4, 9},
    {"huge counts stop at the edges", "\x1b[99999B\x1b[99999C\x1b[99999A\x1b[99999D", "", 0, 0},
    {"CUU stops at the region top", "\x1b[2;4r\x1b[3;1H\x1b[9A", "", 1, 0},
    {"CUU above the region goes to row 0", "\x1b[3;5r\x1b[2;1H\x1b[9A", "", 0, 0},
    {"CUD stops at the region bottom", "\x1b[2;4r\x1b[2;1H\x1b[9B", "", 3, 0},
    {"CUD below the region goes to the last row", "\x1b[1;2r\x1b[3;1H\x1b[9B", "", 4, 0},
    {"CNL and CPL go to column 0", "ab\x1b[2Ecd\x1b[1Fx", "ab|x|cd", 1, 1},
    {"CHA and VPA are absolute", "\x1b[5G\x1b[3dX", "||    X", 2, 5},
    {"HPR and VPR are relative", "\x1b[2;2H\x1b[3a\x1b[2eX", "|||    X", 3, 5},
    {"origin mode counts rows from the region top", "\x1b[2;4r\x1b[?6h\x1b[1;1HX\x1b[9;1HY",
     "|X||Y", 3, 1},
    {"backspace stops at column 0", "ab\b\b\bX", "Xb", 0, 1},
    {"backspace after a pending wrap", "0123456789\bX", "01234567X9", 0, 9},
    {"LF keeps the column, VT and FF are line feeds",
     "a\nb\x0b"
     "c\x0c"
     "d",
     "a| b|  c|   d", 3, 4},
    {"newline mode adds a carriage return", "\x1b[20ha\nb", "a|b", 1, 1},
    {"DECSC and DECRC",
     "\x1b[2;3H\x1b"
     "7\x1b[5;5H\x1b"
     "8X",
     "|  X", 1, 3},
    {"SCOSC and SCORC", "\x1b[2;3H\x1b[s\x1b[5;5H\x1b[uX", "|  X", 1, 3},
    {"restore without a save goes home",
     "\x1b[3;3H\x1b"
     "8X",
     "X", 0, 1},

    // Tabs
    {"tab stops every eight columns", "a\tb", "a       b", 0, 9},
    {"tab without stops goes to the last column", "\x1b[3g\tX", "         X", 0, 9},
    {"HTS sets a stop at the cursor", "\x1b[3g\x1b[4GX\x1bH\r\tY", "   XY", 0, 5},
    {"CHT and CBT", "\x1b[3g\x1b[3G\x1bH\x1b[7G\x1bH\r\x1b[2IA\x1b[ZB", "      B", 0, 7},
    {"TBC 0 clears the stop at the cursor", "\x1b[9G\x1b[g\r\tX", "         X", 0, 9},
    {"huge tab counts stop at the margin", "\x1b[99999IX\x1b[99999ZY", "Y        X", 0, 1},

    // Index and reverse index
    {"IND, NEL and RI",
     "a\x1b"
     "Db\x1b"
     "Ec\x1bMd",
     "a| d|c", 1, 2},
    {"RI at the top scrolls down", "a\x1bMb", " b|a", 0, 2},
    {"LF at the region bottom scrolls the region only", KFilled + "\x1b[2;4r\x1b[4;1H\nX",
     "a|c|d|X|e", 3, 1},

    // Erasing
    {"ED 0 erases to the end of the screen", KFullRows + "\x1b[2;3H\x1b[J", "aaaaaaaaaa|aa", 1, 2},
    {"ED 1 erases from the start of the screen", KFullRows + "\x1b[2;3H\x1b[1J",
     "|   aaaaaaa|aaaaaaaaaa|aaaaaaaaaa|aaaaaaaaaa", 1, 2},
    {"ED 2 erases everything and keeps the cursor", KFullRows + "\x1b[2;3H\x1b[2J", "", 1, 2},
    {"EL 0", "abcdefghij\x1b[1;4H\x1b[K", "abc", 0, 3},
    {"EL 1", "abcdefghij\x1b[1;4H\x1b[1K", "    efghij", 0, 3},
    {"EL 2", "abcdefghij\x1b[1;4H\x1b[2K", "", 0, 3},
    {"EL on a wide pair erases both halves",
     "a\xe4\xb8\xad"
     "b\x1b[1;3H\x1b[K",
     "a", 0, 2},
    {"ECH erases from the cursor", "abcdef\x1b[1;2H\x1b[2X", "a  def", 0, 1},
    {"ECH is clipped to the line", "abcdefghij\x1b[1;9H\x1b[99999X", "abcdefgh", 0, 8},

    // Inserting and deleting characters
    {"ICH inserts blanks", "abcdef\x1b[1;2H\x1b[2@", "a  bcdef", 0, 1},
    {"ICH pushes cells off the end", "0123456789\x1b[1;1H\x1b[3@", "   0123456", 0, 0},
    {"huge ICH blanks the rest", "0123456789\x1b[1;3H\x1b[99999@", "01", 0, 2},
    {"ICH moves a wide pair intact",
     "\xe4\xb8\xad"
     "b\x1b[1;1H\x1b[@",
     " \xe4\xb8\xad"
     "b",
     0, 0},
    {"ICH blanks a pair cut at the margin", "01234567\xe4\xb8\xad\x1b[1;1H\x1b[@", " 01234567", 0,
     0},
    {"DCH pulls the rest left", "abcdef\x1b[1;2H\x1b[2P", "adef", 0, 1},
    {"huge DCH", "abcdef\x1b[1;2H\x1b[99999P", "a", 0, 1},
    {"DCH pulls a wide pair intact",
     "a\xe4\xb8\xad"
     "b\x1b[1;1H\x1b[P",
     "\xe4\xb8\xad"
     "b",
     0, 0},
    {"DCH of half a pair blanks the other half",
     "\xe4\xb8\xad"
     "b\x1b[1;1H\x1b[P",
     " b", 0, 0},

    // Lines and scrolling
    {"IL inserts at the cursor row", KFilled + "\x1b[2;1H\x1b[2L", "a|||b|c", 1, 0},
    {"DL deletes at the cursor row", KFilled + "\x1b[2;1H\x1b[2M", "a|d|e", 1, 0},
    {"IL inside a region", KFilled + "\x1b[2;4r\x1b[3;1H\x1b[L", "a|b||c|e", 2, 0},
    {"DL inside a region", KFilled + "\x1b[2;4r\x1b[2;1H\x1b[M", "a|c|d||e", 1, 0},
    {"IL below the region does nothing", KFilled + "\x1b[2;3r\x1b[5;2H\x1b[L", "a|b|c|d|e", 4, 1},
    {"huge IL blanks the rest", KFilled + "\x1b[2;1H\x1b[99999L", "a", 1, 0},
    {"huge DL blanks the rest", KFilled + "\x1b[3;1H\x1b[99999M", "a|b", 2, 0},
    {"SU scrolls the region up", KFilled + "\x1b[2S", "c|d|e", 4, 1},
    {"SD scrolls the region down", KFilled + "\x1b[2T", "||a|b|c", 4, 1},
    {"SU inside a region", KFilled + "\x1b[2;4r\x1b[S", "a|c|d||e", 0, 0},
    {"huge SD", KFilled + "\x1b[99999T", "", 4, 1},
    {"an invalid region is ignored", KFilled + "\x1b[4;2r\x1b[2S", "c|d|e", 4, 1},
};

class VtScript : public ::testing::TestWithParam<TScript> {};

TEST_P(VtScript, ScreenAndCursor) {
    const TScript& script = GetParam();
    TVt vt(10, 5);
    vt << script.Input;
    EXPECT_EQ(ScreenText(vt.Screen), script.Text);
    EXPECT_EQ(vt.Screen.CursorY(), script.Row);
    EXPECT_EQ(vt.Screen.CursorX(), script.Col);
    EXPECT_EQ(BrokenInvariant(vt.Screen), "");
}

INSTANTIATE_TEST_SUITE_P(Screen, VtScript, ::testing::ValuesIn(KScripts), [](const auto& AInfo) {
    std::string name;
    for (const char* p = AInfo.param.Name; *p; ++p)
        name += std::isalnum(uint8_t(*p)) ? *p : '_';
    return name;
});

TEST(VtScreen, RestoreWithoutASaveGoesHomeWithDefaultRendition) {
    TVt vt(10, 5);
    vt << "\x1b[1;31;42m\x1b(0\x1b[2;4r\x1b[?6h\x1b[3;3H\x1b" "8Xq";
    TKvVtCell x = vt.Screen.CellAt(0, 0);
    EXPECT_EQ(x.Ch, uint32_t('X'));
    EXPECT_EQ(x.Fg, KVtDefaultColor);
    EXPECT_EQ(x.Bg, KVtDefaultColor);
    EXPECT_EQ(x.Flags, 0);
    EXPECT_EQ(vt.Screen.CellAt(0, 1).Ch, uint32_t('q')) << "ASCII again, not line drawing";
    EXPECT_FALSE(vt.Screen.OriginMode());
}

TEST(VtScreen, MarginsAfterAlignmentAndColumnModeAreTheWholeScreen) {
    for (const char* switchBytes : {"\x1b#8", "\x1b[?3h"}) {
        TVt vt(10, 5);
        vt << "\x1b[2;4r" << switchBytes;
        EXPECT_EQ(vt.Screen.ScrollTop(), 0) << switchBytes;
        EXPECT_EQ(vt.Screen.ScrollBottom(), 4) << switchBytes;
        EXPECT_EQ(vt.Screen.Cols(), 10) << "the column count stays";
    }
}

TEST(VtScreen, CombiningMarksSurviveEditingAndScrollback) {
    TVt vt(10, 2, 10);
    vt << "ab\xcc\x81" "c";
    vt << "\x1b[1;1H\x1b[2@"; // the marked cell moves right
    EXPECT_EQ(vt.Screen.RowText(0), "  ab\xcc\x81" "c");
    vt << "\x1b[1;1H\x1b[P";
    EXPECT_EQ(vt.Screen.RowText(0), " ab\xcc\x81" "c");
    vt << "\x1b[2;1H\n\n"; // into the scrollback
    EXPECT_EQ(vt.Screen.AbsText(0), " ab\xcc\x81" "c");
    // A line redrawn again and again keeps only the marks still shown.
    for (int i = 0; i < 200; ++i)
        vt << "\r\x1b[Ke\xcc\x81";
    EXPECT_LE(vt.Screen.AbsLine(vt.Screen.BackCount() + vt.Screen.CursorY()).Marks.size(), 11u);
    EXPECT_EQ(vt.Screen.RowText(vt.Screen.CursorY()), "e\xcc\x81");
}

TEST(VtScreen, WrapMarksTheLineAndPendingWrapIsVisible) {
    TVt vt(10, 3);
    vt << "0123456789";
    EXPECT_TRUE(vt.Screen.WrapPending());
    EXPECT_FALSE(vt.Screen.AbsLine(0).Wrapped);
    vt << "A";
    EXPECT_FALSE(vt.Screen.WrapPending());
    EXPECT_TRUE(vt.Screen.AbsLine(0).Wrapped);
    vt << "\x1b[1;1H\x1b[K";
    EXPECT_FALSE(vt.Screen.AbsLine(0).Wrapped) << "erasing to the end of a line ends its wrap";

    // ECH leaves the pending wrap alone; cursor movement clears it.
    vt << "\x1b[3;1H0123456789\x1b[X";
    EXPECT_TRUE(vt.Screen.WrapPending());
    vt << "\x1b[C";
    EXPECT_FALSE(vt.Screen.WrapPending());
}

TEST(VtScreen, CellsCarryRenditionAndWidePairs) {
    TVt vt(10, 2);
    vt << "\x1b[1;31;42mA\x1b[0m\xe4\xb8\xad";
    TKvVtCell a = vt.Screen.CellAt(0, 0);
    EXPECT_EQ(a.Ch, uint32_t('A'));
    EXPECT_EQ(a.Fg, 1u);
    EXPECT_EQ(a.Bg, 2u);
    EXPECT_EQ(a.Flags, vfBold);
    TKvVtCell left = vt.Screen.CellAt(0, 1), right = vt.Screen.CellAt(0, 2);
    EXPECT_EQ(left.Ch, 0x4E2Du);
    EXPECT_EQ(left.Flags, vfWideLeft);
    EXPECT_EQ(right.Ch, 0u);
    EXPECT_EQ(right.Flags, vfWideRight);
    EXPECT_EQ(right.Fg, KVtDefaultColor);

    // Erased cells take the current background (and default foreground).
    vt << "\x1b[44;33m\x1b[2;1H\x1b[K";
    TKvVtCell blank = vt.Screen.CellAt(1, 5);
    EXPECT_EQ(blank, (TKvVtCell{0, KVtDefaultColor, 4, 0}));
    EXPECT_EQ(vt.Screen.CellAt(2, 0), TKvVtCell{}) << "outside the grid";
    EXPECT_EQ(vt.Screen.CellAt(0, 10), TKvVtCell{});
}

TEST(VtScreen, LineTextSkipsRightHalvesAndReadsEmptyCellsAsBlanks) {
    TVt vt(10, 1);
    vt << "a\x1b[3Gb\xf0\x9f\x9a\x80  ";
    EXPECT_EQ(vt.Screen.RowText(0), "a b\xf0\x9f\x9a\x80");
    TKvVtLine line;
    line.Cells = {TKvVtCell{0xD800, 0, 0, 0}, TKvVtCell{0x110000, 0, 0, 0},
                  TKvVtCell{'x', 0, 0, 0}};
    EXPECT_EQ(LineText(line), "  x") << "invalid code points read as blanks";
}

TEST(VtScreen, FullScreenScrollFeedsScrollbackButRegionsDoNot) {
    TVt vt(10, 5);
    vt << KFilled << "\x1b[2;4r\x1b[4;1H\n\n\n";
    EXPECT_EQ(vt.Screen.BackCount(), 0);
    vt << "\x1b[r\x1b[5;1H\nX";
    EXPECT_EQ(vt.Screen.BackCount(), 1);
    EXPECT_EQ(vt.Screen.AbsText(0), "a");
    // DL never feeds it, even at row 0.
    vt << "\x1b[1;1H\x1b[M";
    EXPECT_EQ(vt.Screen.BackCount(), 1);
    vt << "\x1b[3J";
    EXPECT_EQ(vt.Screen.BackCount(), 0);
    EXPECT_EQ(ScreenText(vt.Screen), "||e|X") << "ED 3 clears only the scrollback";
}

TEST(VtScreen, ScrollbackRingKeepsTheNewestLinesAtTheCap) {
    TVt vt(20, 3, 10000);
    for (int i = 0; i <= 10003; ++i)
        vt << "L" + std::to_string(i) + (i < 10003 ? "\r\n" : "");
    // L0..L10000 scrolled off: one more than the cap.
    EXPECT_EQ(vt.Screen.BackCount(), 10000);
    EXPECT_EQ(vt.Screen.AbsText(0), "L1");
    EXPECT_EQ(vt.Screen.AbsText(9999), "L10000");
    EXPECT_EQ(vt.Screen.RowText(0), "L10001");
    EXPECT_EQ(vt.Screen.LineCount(), 10003);
    EXPECT_EQ(vt.Screen.AbsText(-1), "");
    EXPECT_EQ(vt.Screen.AbsText(10003), "");

    // Lines keep their wrap flag and width in the scrollback.
    vt << "\r\n01234567890123456789X\r\n\r\n\r\n";
    int wrapped = vt.Screen.BackCount() - 2;
    EXPECT_EQ(vt.Screen.AbsText(wrapped), "01234567890123456789");
    EXPECT_TRUE(vt.Screen.AbsLine(wrapped).Wrapped);
    EXPECT_EQ(vt.Screen.AbsText(wrapped + 1), "X");

    TVt none(10, 2, 0);
    none << "a\r\nb\r\nc\r\n";
    EXPECT_EQ(none.Screen.BackCount(), 0);
}

TEST(VtScreen, AlternateScreen1049RestoresMainScreenAndCursor) {
    TVt vt(10, 3);
    vt << "main\r\nline2\x1b[2;3H\x1b[31m\x1b[?1049h";
    EXPECT_TRUE(vt.Screen.AltScreen());
    EXPECT_EQ(ScreenText(vt.Screen), "");
    vt << "\x1b[32malt\r\n\r\n\r\n\r\nmore\x1b[1;5r";
    EXPECT_EQ(vt.Screen.BackCount(), 0) << "the alternate screen never feeds the scrollback";
    vt << "\x1b[?1049l";
    EXPECT_FALSE(vt.Screen.AltScreen());
    EXPECT_EQ(ScreenText(vt.Screen), "main|line2");
    EXPECT_EQ(vt.Screen.CursorY(), 1);
    EXPECT_EQ(vt.Screen.CursorX(), 2);
    EXPECT_EQ(vt.Screen.Foreground(), 1u) << "1049 restores the rendition too";
    EXPECT_EQ(vt.Screen.ScrollTop(), 0);
    EXPECT_EQ(vt.Screen.ScrollBottom(), 2);

    // Every entry shows a blank screen.
    vt << "\x1b[?1049hjunk\x1b[?1049l\x1b[?1049h";
    EXPECT_EQ(ScreenText(vt.Screen), "");
    vt << "\x1b[?1049h";
    EXPECT_TRUE(vt.Screen.AltScreen()) << "entering twice is harmless";
    vt << "\x1b[?1049l";
    EXPECT_EQ(ScreenText(vt.Screen), "main|line2");
}

TEST(VtScreen, AlternateScreen47KeepsTheCursorWhereItIs) {
    TVt vt(10, 5);
    vt << "main\x1b[2;3H\x1b[?47h\x1b[4;4Halt\x1b[?47l";
    EXPECT_EQ(ScreenText(vt.Screen), "main");
    EXPECT_EQ(vt.Screen.CursorY(), 3);
    EXPECT_EQ(vt.Screen.CursorX(), 6);
    vt << "\x1b[?1047hx\x1b[?1047l";
    EXPECT_EQ(ScreenText(vt.Screen), "main");
}

TEST(VtScreen, ShrinkingRowsMovesTopLinesIntoScrollbackToKeepTheCursor) {
    TVt vt(80, 24);
    for (int i = 0; i <= 20; ++i)
        vt << "L" + std::to_string(i) + (i < 20 ? "\r\n" : "");
    int version = vt.Screen.Version();
    vt.Screen.Resize(80, 10);
    EXPECT_EQ(vt.Screen.BackCount(), 11);
    EXPECT_EQ(vt.Screen.AbsText(10), "L10");
    EXPECT_EQ(vt.Screen.RowText(0), "L11");
    EXPECT_EQ(vt.Screen.RowText(9), "L20");
    EXPECT_EQ(vt.Screen.CursorY(), 9);
    EXPECT_EQ(vt.Screen.CursorX(), 3);
    EXPECT_GT(vt.Screen.Version(), version);

    // Growing adds blank rows below; nothing comes back from the scrollback.
    vt.Screen.Resize(80, 12);
    EXPECT_EQ(vt.Screen.BackCount(), 11);
    EXPECT_EQ(vt.Screen.RowText(0), "L11");
    EXPECT_EQ(vt.Screen.RowText(11), "");
    EXPECT_EQ(vt.Screen.CursorY(), 9);

    // With the cursor near the top, the bottom rows are cut instead.
    TVt top(10, 5);
    top << KFilled << "\x1b[1;1H";
    top.Screen.Resize(10, 2);
    EXPECT_EQ(top.Screen.BackCount(), 0);
    EXPECT_EQ(ScreenText(top.Screen), "a|b");
}

// Each case: bytes on a fresh screen, a resize, more bytes; then the scrollback and screen
// text (trailing empty rows left out) and the cursor; then the text after going back to the
// first size, which must be what it was before any resize.
struct TReflow {
    const char* Name;
    int Cols, Rows, Back;
    std::string Input;
    int NewCols, NewRows;
    std::string Then;
    std::string Text; // every line, oldest first, joined with "|"
    int Row, Col;
};

const std::string KWide = "\xe4\xb8\xad"; // one character, two cells
const std::string KMark = "e\xcc\x81";    // e and a combining acute accent

const TReflow KReflows[] = {
    {"a long line rewraps narrower", 10, 5, 100, "0123456789ABCDE", 5, 5, "",
     "01234|56789|ABCDE", 3, 0},
    {"a long line joins wider", 5, 5, 100, "0123456789ABCDE", 20, 5, "", "0123456789ABCDE", 0,
     14},
    {"line ends are kept", 10, 5, 100, "abc\r\ndefgh", 4, 5, "", "abc|defg|h", 2, 1},
    {"the cursor stays on its character", 10, 5, 100, "0123456789abcdef\x1b[2;3H", 4, 5, "",
     "0123|4567|89ab|cdef", 3, 0},
    {"a wide character at the wrap point moves whole", 10, 5, 100, "0123" + KWide + "xyz", 5, 5,
     "", "0123|" + KWide + "xyz", 2, 0},
    {"the pad of a wide character that wrapped is not text", 10, 5, 100,
     "012345678" + KWide + "z", 12, 5, "", "012345678" + KWide + "z", 1, 0},
    {"combining marks travel with their character", 10, 5, 100, "abcd" + KMark + "fghijklm", 4,
     5, "", "abcd|" + KMark + "fgh|ijkl|m", 3, 1},
    {"the scrollback rewraps too", 10, 3, 100, "0123456789ABC\r\nx\r\ny\r\nz", 5, 3, "",
     "01234|56789|ABC|x|y|z", 2, 1},
    {"fewer rows push the top rows into the scrollback", 10, 5, 100, "a\r\nb\r\nc\r\nd\r\ne", 10,
     2, "", "a|b|c|d|e", 1, 1},
    {"narrowing a full screen pushes rows into the scrollback", 10, 2, 100,
     "0123456789\r\n0123456789", 5, 2, "", "01234|56789|01234|56789", 1, 4},
    {"a line longer than the scrollback keeps its end", 10, 2, 4,
     std::string(10, 'A') + std::string(10, 'B') + std::string(10, 'C') + std::string(10, 'D') +
         std::string(10, 'E'),
     5, 2, "", "CCCCC|CCCCC|DDDDD|DDDDD|EEEEE|EEEEE", 1, 4},
    {"the main screen behind the alternate one is rewrapped", 10, 3, 100,
     "0123456789abc\r\n$ \x1b[?1049h\x1b[2J\x1b[Hvim", 5, 3, "\x1b[?1049l",
     "01234|56789|abc|$", 2, 2},
};

class VtReflow : public ::testing::TestWithParam<TReflow> {};

void PrintTo(const TReflow& ACase, std::ostream* AOut) {
    *AOut << ACase.Name;
}

std::string LinesText(const TKvVtScreen& AScreen) {
    std::string text = AllText(AScreen);
    while (!text.empty() && text.back() == '|')
        text.pop_back();
    return text;
}

TEST_P(VtReflow, ScrollbackScreenAndCursor) {
    const TReflow& c = GetParam();
    TVt vt(c.Cols, c.Rows, c.Back);
    vt << c.Input;
    TVt before(c.Cols, c.Rows, c.Back);
    before << c.Input << c.Then;
    vt.Screen.Resize(c.NewCols, c.NewRows);
    vt << c.Then;
    EXPECT_EQ(LinesText(vt.Screen), c.Text);
    EXPECT_EQ(vt.Screen.CursorY(), c.Row);
    EXPECT_EQ(vt.Screen.CursorX(), c.Col);
    EXPECT_EQ(BrokenInvariant(vt.Screen), "");
    for (int i = 0; i < vt.Screen.LineCount(); ++i)
        EXPECT_EQ(int(vt.Screen.AbsLine(i).Cells.size()), c.NewCols) << "line " << i;

    // Back at the first size, nothing has changed, but what the scrollback could not hold.
    vt.Screen.Resize(c.Cols, c.Rows);
    EXPECT_EQ(BrokenInvariant(vt.Screen), "");
    if (c.Back >= 100) {
        EXPECT_EQ(LinesText(vt.Screen), LinesText(before.Screen));
    }
}

INSTANTIATE_TEST_SUITE_P(Screen, VtReflow, ::testing::ValuesIn(KReflows), [](const auto& AInfo) {
    std::string name;
    for (const char* p = AInfo.param.Name; *p; ++p)
        name += std::isalnum(uint8_t(*p)) ? *p : '_';
    return name;
});

TEST(VtScreen, ReflowKeepsColoursFolderStampsAndTheWrapFlags) {
    TVt vt(10, 4);
    vt.Screen.SetCwd("file://h/home/ann");
    vt << "ab\x1b[1;31;42mcdefghij\x1b[0mkl\r\n";
    const int folder = vt.Screen.CwdId();
    vt.Screen.Resize(4, 4);
    EXPECT_EQ(LinesText(vt.Screen), "abcd|efgh|ijkl");
    for (int r = 0; r < 3; ++r) {
        EXPECT_EQ(vt.Screen.AbsLine(r).CwdId, folder) << r;
        EXPECT_EQ(vt.Screen.AbsLine(r).Wrapped, r < 2) << r;
    }
    const TKvVtCell c = vt.Screen.CellAt(0, 2), j = vt.Screen.CellAt(2, 1),
                    k = vt.Screen.CellAt(2, 2);
    EXPECT_EQ(c.Ch, uint32_t('c'));
    EXPECT_EQ(c.Fg, 1u);
    EXPECT_EQ(c.Bg, 2u);
    EXPECT_EQ(c.Flags, vfBold);
    EXPECT_EQ(j.Fg, 1u);
    EXPECT_EQ(k.Fg, KVtDefaultColor);
    EXPECT_EQ(vt.Screen.CellAt(0, 0).Bg, KVtDefaultColor);

    // A row that is only colour (an erased status bar) is kept, cut where it no longer fits.
    TVt bar(10, 3);
    bar << "\x1b[44m\x1b[2K\x1b[0m\r\n$ ";
    bar.Screen.Resize(6, 3);
    EXPECT_EQ(bar.Screen.CellAt(0, 5).Bg, 4u);
    EXPECT_EQ(bar.Screen.RowText(1), "$");
    EXPECT_EQ(bar.Screen.CursorY(), 1);
    EXPECT_EQ(bar.Screen.CursorX(), 2);
}

TEST(VtScreen, ReflowCarriesTheSavedCursorsWithTheirCharacters) {
    // DECSC on the main screen, then a narrower window: DECRC goes back to the same character.
    TVt vt(10, 5);
    vt << "0123456789abcdef\x1b[2;4H\x1b" "7\x1b[5;1H";
    vt.Screen.Resize(4, 5);
    vt << "\x1b" "8X";
    EXPECT_EQ(LinesText(vt.Screen), "0123|4567|89ab|cXef");

    // Behind the alternate screen: leaving it lands after the prompt again.
    TVt alt(10, 4);
    alt << "0123456789abcdef\r\n$ \x1b[?1049h\x1b[3;3Hx";
    alt.Screen.Resize(4, 4);
    alt.Screen.Resize(6, 3);
    alt << "\x1b[?1049lls";
    EXPECT_EQ(LinesText(alt.Screen), "012345|6789ab|cdef|$ ls");
    EXPECT_EQ(alt.Screen.CursorY(), 2);
    EXPECT_EQ(alt.Screen.CursorX(), 4);
}

TEST(VtScreen, ResizeOnTheAlternateScreenCutsOnlyTheAlternateScreen) {
    TVt vt(10, 4);
    vt << "one\r\ntwo\r\nthree\x1b[?1049h\x1b[4;1Halt";
    vt.Screen.Resize(6, 2);
    EXPECT_EQ(ScreenText(vt.Screen), "|alt");
    vt << "\x1b[?1049l";
    EXPECT_EQ(LinesText(vt.Screen), "one|two|three") << "nothing of the main screen is lost";
    EXPECT_EQ(vt.Screen.CursorY(), 1);
    EXPECT_EQ(vt.Screen.CursorX(), 5);
    EXPECT_EQ(BrokenInvariant(vt.Screen), "");

    // Sizes below the minimum are raised; the cursor is clamped.
    vt << "\x1b[3;12H";
    vt.Screen.Resize(0, 0);
    EXPECT_EQ(vt.Screen.Cols(), 2);
    EXPECT_EQ(vt.Screen.Rows(), 1);
    EXPECT_EQ(BrokenInvariant(vt.Screen), "");
    vt.Screen.Resize(12, 3);
    EXPECT_TRUE(vt.Screen.TabStopAt(8));
    EXPECT_FALSE(vt.Screen.TabStopAt(12));
    EXPECT_EQ(LinesText(vt.Screen), "one|two|three");
}

// The URI a cell links to, or "-".
std::string UriAt(const TKvVtScreen& AScreen, int ALine, int ACol) {
    const uint32_t link = CellLink(AScreen.AbsLine(ALine), size_t(ACol));
    const std::string* uri = link ? AScreen.HyperlinkUri(link) : nullptr;
    return uri ? *uri : "-";
}

TEST(VtScreen, HyperlinksMarkTheCellsPrintedWhileOpen) {
    TVt vt(12, 4, 10);
    vt << "a\x1b]8;;http://x/1\x1b\\link\x1b[0m\xe4\xb8\xad\x1b]8;;\x1b\\b";
    EXPECT_EQ(vt.Screen.RowText(0), "alink\xe4\xb8\xad" "b");
    EXPECT_EQ(UriAt(vt.Screen, 0, 0), "-");
    for (int c = 1; c <= 6; ++c)
        EXPECT_EQ(UriAt(vt.Screen, 0, c), "http://x/1") << "SGR 0 and a wide character stay in it";
    EXPECT_EQ(UriAt(vt.Screen, 0, 7), "-");

    // Printing over a linked cell without a link makes it plain; ICH and DCH move links along.
    vt << "\x1b[1;2HL\x1b[1;1H\x1b[2@";
    EXPECT_EQ(UriAt(vt.Screen, 0, 3), "-");
    EXPECT_EQ(UriAt(vt.Screen, 0, 4), "http://x/1");
    vt << "\x1b[3P";
    EXPECT_EQ(UriAt(vt.Screen, 0, 1), "http://x/1");
    EXPECT_EQ(UriAt(vt.Screen, 0, 0), "-");

    // The saved cursor does not bring back a link that has ended.
    vt << "\x1b[2;1H\x1b]8;;http://x/2\x07\x1b" "7\x1b]8;;\x07\x1b" "8plain";
    EXPECT_EQ(UriAt(vt.Screen, 1, 0), "-");

    // Ids join pieces into one link; without an id every opening is a link of its own.
    vt << "\r\n\x1b]8;id=n;file://h/a\x07one\x1b]8;;\x07 \x1b]8;id=n;file://h/a\x07two\x1b]8;;\x07"
          "\r\n\x1b]8;;file://h/a\x07three\x1b]8;;\x07";
    const TKvVtLine& ids = vt.Screen.AbsLine(2);
    EXPECT_EQ(CellLink(ids, 0), CellLink(ids, 4));
    EXPECT_NE(CellLink(ids, 0), CellLink(vt.Screen.AbsLine(3), 0));

    // A URI that lost bytes or carries control characters is no link; neither is a huge one.
    vt << "\x1b[H\x1b[2J\x1b]8;;http://x/\x01y\x07A\x1b]8;;" + std::string(3000, 'u') + "\x07" "B";
    EXPECT_EQ(UriAt(vt.Screen, vt.Screen.BackCount(), 0), "-");
    EXPECT_EQ(UriAt(vt.Screen, vt.Screen.BackCount(), 1), "-");
    EXPECT_EQ(BrokenInvariant(vt.Screen), "");
}

TEST(VtScreen, HyperlinksTravelThroughTheScrollbackAndReflowAndAreBounded) {
    TVt vt(10, 2, 10);
    vt << "\x1b]8;id=f;file://h/long/name.txt\x07" "0123456789abcd\x1b]8;;\x07\r\nx\r\ny\r\n";
    EXPECT_EQ(UriAt(vt.Screen, 0, 9), "file://h/long/name.txt");
    vt.Screen.Resize(4, 2);
    EXPECT_EQ(LinesText(vt.Screen), "0123|4567|89ab|cd|x|y");
    for (int line = 0; line < 4; ++line)
        EXPECT_EQ(UriAt(vt.Screen, line, 1), "file://h/long/name.txt") << line;
    EXPECT_EQ(UriAt(vt.Screen, 3, 2), "-");

    TVt many(10, 2, 10);
    for (size_t i = 0; i < TKvVtScreen::KMaxHyperlinks + 10; ++i)
        many << "\x1b]8;;http://x/" + std::to_string(i) + "\x07z\x1b]8;;\x07\r\n";
    EXPECT_EQ(many.Screen.HyperlinkCount(), TKvVtScreen::KMaxHyperlinks);
    EXPECT_EQ(many.Screen.HyperlinkUri(1), nullptr) << "the oldest is forgotten";
    many << "\x1b" "c";
    EXPECT_EQ(many.Screen.HyperlinkCount(), 0u);
}

TEST(VtScreen, FolderReportsNumberFoldersAndStampLines) {
    TVt vt(20, 4);
    vt << "before\r\n";
    vt.Screen.SetCwd("file://h/home/ann");
    vt << "in ann\r\n";
    vt.Screen.SetCwd("file://h/home/ann");
    EXPECT_EQ(vt.Screen.CwdSerial(), 2);
    EXPECT_EQ(vt.Screen.CwdId(), 1) << "the same folder twice keeps its id";
    vt.Screen.SetCwd("file://h/tmp");
    EXPECT_EQ(vt.Screen.CwdId(), 2);
    vt << "in tmp";
    vt.Screen.SetCwd("file://h/tmp"); // the prompt after it
    vt.Screen.SetCwd("file://h/home/ann");
    EXPECT_EQ(vt.Screen.CwdId(), 1) << "ids are never forgotten";
    vt.Screen.SetCwd("");
    EXPECT_EQ(vt.Screen.CwdId(), 0);
    EXPECT_EQ(vt.Screen.CwdSerial(), 6);

    EXPECT_EQ(vt.Screen.AbsLine(0).CwdId, 0);
    EXPECT_EQ(vt.Screen.AbsLine(1).CwdId, 1);
    EXPECT_EQ(vt.Screen.AbsLine(2).CwdId, 2);

    // A reset keeps the folder and the user, and drops the rest.
    vt.Screen.SetCwd("file://h/tmp");
    vt.Screen.SetUser("ann");
    vt << "\x1b]2;title\x07\x1b[c\x1b[?1h\x1b[?2004h\x1b[?1000h\x1b"
          "c";
    EXPECT_EQ(vt.Screen.Cwd(), "file://h/tmp");
    EXPECT_EQ(vt.Screen.CwdId(), 2);
    EXPECT_EQ(vt.Screen.User(), "ann");
    EXPECT_EQ(vt.Screen.Title(), "");
    EXPECT_EQ(vt.Screen.TakeReplies(), "");
    EXPECT_FALSE(vt.Screen.AppCursorKeys());
    EXPECT_FALSE(vt.Screen.BracketedPaste());
    EXPECT_EQ(vt.Screen.MouseMode(), mmOff);
    EXPECT_EQ(ScreenText(vt.Screen), "");
}

TEST(VtScreen, WhatACommandPrintedBelongsToTheFolderItEndedIn) {
    TVt vt(20, 3, 10);
    vt.Screen.SetCwd("file://h/a");
    vt << "$ ls\r\nin-a\r\n";
    vt.Screen.SetCwd("file://h/a");
    const int a = vt.Screen.CwdId();
    vt << "$ cd b; ls\r\n";
    for (int i = 0; i < 5; ++i) // more than the screen holds: some of it in the scrollback
        vt << "in-b-" + std::to_string(i) + "\r\n";
    vt.Screen.SetCwd("file://h/b");
    const int b = vt.Screen.CwdId();
    ASSERT_NE(a, b);
    const std::string text = AllText(vt.Screen);
    for (int i = 0; i < vt.Screen.LineCount(); ++i) {
        const std::string line = vt.Screen.AbsText(i);
        if (line.empty())
            continue;
        const bool inB = line.starts_with("in-b") || line == "$ cd b; ls";
        EXPECT_EQ(vt.Screen.AbsLine(i).CwdId, inB ? b : a) << line << "\n" << text;
    }
    // The same folder again changes nothing.
    vt << "$ true\r\n";
    vt.Screen.SetCwd("file://h/b");
    EXPECT_EQ(vt.Screen.AbsLine(0).CwdId, a);
}

TEST(VtScreen, RememberedFoldersAreBoundedAndAFullResetForgetsThem) {
    TVt vt(20, 4);
    vt.Screen.SetCwd("file://h/kept");
    vt << "in kept\r\n";
    vt.Screen.SetCwd("file://h/kept"); // the prompt after it
    const int kept = vt.Screen.CwdId();
    for (size_t i = 0; i < 4 * TKvVtScreen::KMaxCwdIds; ++i) {
        vt.Screen.SetCwd("file://h/f" + std::to_string(i));
        if (i % 8 == 0)
            vt.Screen.SetCwd("file://h/kept"); // reported again and again: never the oldest
    }
    EXPECT_EQ(vt.Screen.CwdIdCount(), TKvVtScreen::KMaxCwdIds);
    vt.Screen.SetCwd("file://h/kept");
    EXPECT_EQ(vt.Screen.CwdId(), kept);
    EXPECT_EQ(vt.Screen.AbsLine(0).CwdId, kept) << "its lines still count as in it";

    vt.Screen.SetCwd("file://h/f0"); // forgotten long ago: a new id, matching no older line
    const int again = vt.Screen.CwdId();
    EXPECT_GT(again, int(4 * TKvVtScreen::KMaxCwdIds));
    for (int i = 0; i < vt.Screen.LineCount(); ++i)
        EXPECT_NE(vt.Screen.AbsLine(i).CwdId, again);

    vt << "\x1b"
          "c";
    EXPECT_EQ(vt.Screen.CwdIdCount(), 1u) << "only the current folder";
    EXPECT_EQ(vt.Screen.Cwd(), "file://h/f0");
    EXPECT_EQ(vt.Screen.CwdId(), again);
    vt.Screen.SetCwd("file://h/kept");
    EXPECT_NE(vt.Screen.CwdId(), kept) << "forgotten by the reset";
    EXPECT_EQ(vt.Screen.CwdIdCount(), 2u);
}

TEST(VtScreen, ModesReadByTheTerminalControl) {
    TVt vt(10, 3);
    vt << "\x1b[?1h\x1b=\x1b[?2004h\x1b[?1004h\x1b[?1006h\x1b[?25l";
    EXPECT_TRUE(vt.Screen.AppCursorKeys());
    EXPECT_TRUE(vt.Screen.AppKeypad());
    EXPECT_TRUE(vt.Screen.BracketedPaste());
    EXPECT_TRUE(vt.Screen.FocusEvents());
    EXPECT_TRUE(vt.Screen.SgrMouse());
    EXPECT_FALSE(vt.Screen.CursorVisible());
    vt << "\x1b[?1l\x1b>\x1b[?2004;1004;1006l\x1b[?25h";
    EXPECT_FALSE(vt.Screen.AppCursorKeys());
    EXPECT_FALSE(vt.Screen.AppKeypad());
    EXPECT_FALSE(vt.Screen.BracketedPaste());
    EXPECT_FALSE(vt.Screen.FocusEvents());
    EXPECT_FALSE(vt.Screen.SgrMouse());
    EXPECT_TRUE(vt.Screen.CursorVisible());

    // Switching a mouse mode off only stops the mouse when it is the current one.
    vt << "\x1b[?1000h\x1b[?1002h";
    EXPECT_EQ(vt.Screen.MouseMode(), mmDrag);
    vt << "\x1b[?1000l";
    EXPECT_EQ(vt.Screen.MouseMode(), mmDrag);
    vt << "\x1b[?1003h";
    EXPECT_EQ(vt.Screen.MouseMode(), mmAny);
    vt << "\x1b[?1003l";
    EXPECT_EQ(vt.Screen.MouseMode(), mmOff);
}

TEST(VtScreen, RepliesAreQueuedAndCapped) {
    TVt vt(80, 24);
    vt << "\x1b[c\x1b[0c\x1b[1c\x1b[>c\x1b[5n\x1b[?5n\x1b[3;7H\x1b[6n\x1b[?6n\x1b[18t\x1b[14t";
    EXPECT_EQ(vt.Screen.TakeReplies(),
              "\x1b[?1;2c\x1b[?1;2c\x1b[>0;0;0c\x1b[0n\x1b[0n\x1b[3;7R\x1b[?3;7R\x1b[8;24;80t");
    EXPECT_EQ(vt.Screen.TakeReplies(), "");

    // In origin mode the row counts from the region top.
    vt << "\x1b[5;20r\x1b[?6h\x1b[2;4H\x1b[6n";
    EXPECT_EQ(vt.Screen.TakeReplies(), "\x1b[2;4R");

    std::string flood;
    for (int i = 0; i < 1500; ++i)
        flood += "\x1b[c";
    vt << flood;
    std::string replies = vt.Screen.TakeReplies();
    EXPECT_GE(replies.size(), TKvVtScreen::KMaxReplies);
    EXPECT_LT(replies.size(), TKvVtScreen::KMaxReplies + 8);

    vt.Screen.Reply(std::string(5000, 'x'));
    vt.Screen.Reply("more");
    EXPECT_EQ(vt.Screen.TakeReplies().size(), 5000u) << "a full queue takes nothing more";
}

TEST(VtScreen, ChangedCountsVersionsAndRaisesTheEvent) {
    TKvVtScreen screen(10, 2, 0);
    int raised = 0;
    screen.OnChanged = [&] { ++raised; };
    int version = screen.Version();
    screen.Changed();
    EXPECT_EQ(screen.Version(), version + 1);
    EXPECT_EQ(raised, 1);
    TKvVtParser parser(screen);
    parser.Feed("\x1b]0;t\x07");
    EXPECT_EQ(raised, 2) << "a title change is a change of its own";
    screen.Resize(10, 2);
    EXPECT_EQ(raised, 2) << "resizing to the same size changes nothing";
}

} // namespace
