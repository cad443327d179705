// The same byte streams through Kolvan's engine and through libvterm, screens compared cell by
// cell. Only sequences where both mean to agree are fed: cursor movement, erase, insert and
// delete, scroll regions, SGR colours and flags, autowrap, tabs and the alternate screen, with
// ASCII and CJK text, combining marks and the alignment pattern. Left out on purpose:
// - characters whose width tables differ (emoji, recent symbols): Kolvan follows the C
//   library, libvterm its own older table;
// - C1 controls: Kolvan treats decoded U+0080..U+009F as printable, libvterm as controls;
// - DCS, OSC and replies: libvterm hands them to callbacks instead of keeping them;
// - overwriting one half of a wide character: libvterm leaves the other half standing,
//   Kolvan blanks it; such cells are accepted as blank;
// - the colon form 38:2::r:g:b: this libvterm misreads the empty colour-space field;
// - the scroll region across a switch of screens: reset here, kept by libvterm;
// - DECSTBM with the top not above the bottom: ignored here, as xterm does;
// - with a scroll region set: libvterm ignores ICH and DCH outside it and lets CUU, CUD,
//   CNL, CPL and VPR cross its margins;
// - the column after IL and DL: 0 here and in xterm, unchanged in libvterm;
// - insert mode in random streams (the fixed ones cover it): the two differ where it
//   meets a pending wrap at the margin;
// - origin mode in random streams: libvterm's DECRC does not restore it, xterm's does;
// - 1049h on the alternate screen (libvterm clears it again) and 1049l on the main one;
// - wide characters meeting the right margin in random streams (fixed streams cover the
//   plain case): libvterm drops or moves them when autowrap is off or the cursor got there
//   by a tab, keeps the old last cell where Kolvan erases it with the current background,
//   and leaves its cursor on the left half; in insert mode it makes room for one cell only;
// - LF, IND, RI, HT and CHT right after a pending wrap: they end it here, libvterm keeps it;
// - mode 47 (this libvterm knows only 1047 and 1049), and DECRC without a DECSC;
// - faint and hidden (SGR 2 and 8): this libvterm does not record them, so hidden is not
//   compared and faint is not fed;
// - the colour of erased cells' foreground and flags: libvterm keeps the whole pen there,
//   Kolvan only the background, so blank cells compare by background alone.
#include <gtest/gtest.h>

#include <random>

#include "VtTestUtil.h"

extern "C" {
#include <vterm.h>
}

using namespace kv;
using namespace kv::test;

namespace {

class TVterm {
public:
    TVterm(int ARows, int ACols) : FVt(vterm_new(ARows, ACols)), FRows(ARows), FCols(ACols) {
        vterm_set_utf8(FVt, 1);
        FScreen = vterm_obtain_screen(FVt);
        vterm_screen_enable_altscreen(FScreen, 1);
        vterm_screen_reset(FScreen, 1);
        FState = vterm_obtain_state(FVt);
    }
    ~TVterm() { vterm_free(FVt); }
    TVterm(const TVterm&) = delete;
    TVterm& operator=(const TVterm&) = delete;

    void Feed(const std::string& ABytes) { vterm_input_write(FVt, ABytes.data(), ABytes.size()); }
    VTermScreenCell Cell(int ARow, int ACol) const {
        VTermScreenCell cell{};
        vterm_screen_get_cell(FScreen, VTermPos{ARow, ACol}, &cell);
        return cell;
    }
    // The rows joined with "|", as ScreenText gives them.
    std::string Text() const {
        std::string text;
        for (int r = 0; r < FRows; ++r) {
            std::string row;
            for (int c = 0; c < FCols; ++c) {
                uint32_t ch = Cell(r, c).chars[0];
                if (ch != uint32_t(-1))
                    AppendScreenChar(row, ch == 0 ? ' ' : ch);
            }
            row.erase(row.find_last_not_of(' ') + 1);
            text += (r > 0 ? "|" : "") + row;
        }
        return text.erase(text.find_last_not_of('|') + 1);
    }
    VTermPos Cursor() const {
        VTermPos pos{};
        vterm_state_get_cursorpos(FState, &pos);
        return pos;
    }

private:
    VTerm* FVt;
    int FRows, FCols;
    VTermScreen* FScreen = nullptr;
    VTermState* FState = nullptr;
};

uint32_t VtermColor(const VTermColor& AColor, bool AForeground) {
    if (AForeground ? VTERM_COLOR_IS_DEFAULT_FG(&AColor) : VTERM_COLOR_IS_DEFAULT_BG(&AColor))
        return KVtDefaultColor;
    if (VTERM_COLOR_IS_INDEXED(&AColor))
        return AColor.indexed.idx;
    return VtDirectColor(AColor.rgb.red, AColor.rgb.green, AColor.rgb.blue);
}

std::string Describe(uint32_t ACh, uint32_t AFg, uint32_t ABg, uint16_t AFlags) {
    char text[96];
    std::snprintf(text, sizeof text, "ch %X fg %X bg %X flags %X", ACh, AFg, ABg, AFlags);
    return text;
}

// Empty when both screens show the same, else the first difference.
std::string Compare(const TKvVtScreen& AOwn, const TVterm& AOther) {
    for (int r = 0; r < AOwn.Rows(); ++r) {
        for (int c = 0; c < AOwn.Cols(); ++c) {
            TKvVtCell own = AOwn.CellAt(r, c);
            own.Flags &= uint16_t(~vfHidden);
            bool blank = own.Ch == 0 && !(own.Flags & vfWideRight);
            VTermScreenCell other = AOther.Cell(r, c);
            uint32_t otherCh = other.chars[0];
            uint16_t otherFlags = 0;
            if (otherCh == uint32_t(-1)) {
                otherCh = 0;
                otherFlags |= vfWideRight;
            } else if (other.width == 2 && CharWidth(otherCh) == 2) {
                otherFlags |= vfWideLeft;
            }
            if (other.attrs.bold)
                otherFlags |= vfBold;
            if (other.attrs.italic)
                otherFlags |= vfItalic;
            if (other.attrs.underline)
                otherFlags |= vfUnderline;
            if (other.attrs.blink)
                otherFlags |= vfBlink;
            if (other.attrs.reverse)
                otherFlags |= vfInverse;
            if (other.attrs.strike)
                otherFlags |= vfStrike;
            uint32_t otherFg = VtermColor(other.fg, true), otherBg = VtermColor(other.bg, false);
            // libvterm leaves the other half of an overwritten wide pair standing; Kolvan
            // blanks it.
            auto wideLeft = [&](int ACol) {
                VTermScreenCell cell = AOther.Cell(r, ACol);
                return cell.width == 2 && CharWidth(cell.chars[0]) == 2;
            };
            bool otherHalf = other.chars[0] == uint32_t(-1)
                                 ? c == 0 || !wideLeft(c - 1)
                                 : other.width == 1 && CharWidth(other.chars[0]) == 2;
            if (otherHalf && blank && own.Flags == 0)
                continue;
            bool same;
            if (own.Flags & vfWideRight) // libvterm keeps no pen on a right half
                same = otherFlags & vfWideRight;
            else if (blank)
                same = otherCh == 0 && otherBg == own.Bg;
            else
                same = own.Ch == otherCh && own.Fg == otherFg && own.Bg == otherBg &&
                       own.Flags == otherFlags;
            if (same && !blank && !(own.Flags & vfWideRight)) {
                // Combining marks kept with the character.
                const TKvVtLine& line = AOwn.AbsLine(AOwn.BackCount() + r);
                const std::u32string* marks = CellMarks(line, line.Cells[size_t(c)]);
                std::u32string ownMarks = marks ? *marks : std::u32string();
                std::u32string otherMarks;
                for (int i = 1; i < VTERM_MAX_CHARS_PER_CELL && other.chars[i] != 0; ++i)
                    otherMarks += char32_t(other.chars[i]);
                same = ownMarks == otherMarks;
            }
            if (!same)
                return "cell " + std::to_string(r) + "," + std::to_string(c) + ": kolvan " +
                       Describe(own.Ch, own.Fg, own.Bg, own.Flags) + ", libvterm " +
                       Describe(otherCh, otherFg, otherBg, otherFlags) +
                       "\nkolvan:   " + ScreenText(AOwn) + "\nlibvterm: " + AOther.Text();
        }
    }
    VTermPos cursor = AOther.Cursor();
    if (cursor.row != AOwn.CursorY() || cursor.col != AOwn.CursorX())
        return "cursor: kolvan " + std::to_string(AOwn.CursorY()) + "," +
               std::to_string(AOwn.CursorX()) + ", libvterm " + std::to_string(cursor.row) + "," +
               std::to_string(cursor.col);
    return std::string();
}

std::string Printable(const std::string& ABytes) {
    std::string text;
    for (char c : ABytes) {
        if (c == '\x1b')
            text += "\\e";
        else if (uint8_t(c) < 0x20)
            text += "^" + std::string(1, char(c + 64));
        else
            text += c;
    }
    return text;
}

struct TStream {
    const char* Name;
    std::string Bytes;
};

const std::string KRows = "row one\r\nrow two\r\nrow three\r\nrow four\r\nrow five\r\nrow six";

const TStream KStreams[] = {
    {"autowrap and pending wrap",
     "0123456789012345678901234567890123456789abc\r\nx0123456789012345678901234567890123456789\bY"},
    {"autowrap off", "\x1b[?7l0123456789012345678901234567890123456789abc\x1b[?7h"},
    {"wide characters at the margin",
     "012345678901234567890123456789012345678\xe4\xb8\xad\xe6\x96\x87"},
    {"cursor movement",
     "\x1b[5;10Ha\x1b[2Ab\x1b[3Bc\x1b[4Cd\x1b[6De\x1b[99;99Hf\x1b[0;0Hg\x1b[3Gh\x1b[4di"},
    {"relative and line moves", "\x1b[3;3H\x1b[2ex\x1b[3ay\x1b[2Ez\x1b[1Fw\x1b[7`v"},
    {"erase in display and line",
     KRows + "\x1b[3;4H\x1b[K\x1b[2;3H\x1b[1K\x1b[5;2H\x1b[J\x1b[1;2H\x1b[1J"},
    {"erase all and characters", KRows + "\x1b[2J\x1b[2;2Habcdef\x1b[2;3H\x1b[2X"},
    {"erase with a background colour", "\x1b[44m\x1b[2J\x1b[3;3Hx\x1b[K\x1b[0m"},
    {"insert and delete characters", KRows + "\x1b[2;2H\x1b[3@\x1b[3;3H\x1b[2P\x1b[1;1H\x1b[99@"},
    {"insert and delete lines", KRows + "\x1b[2;1H\x1b[2L\x1b[5;1H\x1b[M\x1b[1;1H\x1b[99M"},
    {"scroll region with line feeds", KRows + "\x1b[2;4r\x1b[4;1H\n\nx\x1b[1;1H\x1bMy"},
    {"scroll region insert and delete",
     KRows + "\x1b[2;5r\x1b[3;1H\x1b[2L\x1b[2;1H\x1b[M\x1b[6;1H\x1b[L"},
    {"scroll up and down", KRows + "\x1b[2S\x1b[3;5r\x1b[T\x1b[r\x1b[99S"},
    {"reverse index at the top", KRows + "\x1b[1;1H\x1bM\x1bMtop"},
    {"index and next line", "a\x1b"
                            "Db\x1b"
                            "Ec\x1b[6;1H\x1b"
                            "Dd\x1b"
                            "Ee"},
    {"origin mode", "\x1b[2;4r\x1b[?6h\x1b[1;1Hx\x1b[9;1Hy\x1b[?6lz"},
    {"tabs", "a\tb\tc\x1b[3g\x1b[5G\x1bH\r\td\x1b[2I\x1b[Ze\x1b[g\r\tf"},
    {"save and restore cursor", "\x1b[3;3H\x1b[31m\x1b"
                                "7\x1b[5;5H\x1b[32mx\x1b"
                                "8y"},
    {"insert mode", "abcdef\x1b[1;2H\x1b[4hXY\x1b[4lZ"},
    {"SGR flags",
     "\x1b[1ma\x1b[3mb\x1b[4mc\x1b[5md\x1b[7me\x1b[8mf\x1b[9mg\x1b[22;23;24;25;27;28;29mh"},
    {"SGR palette colours",
     "\x1b[31;42ma\x1b[93;104mb\x1b[39mc\x1b[49md\x1b[38;5;200;48;5;17me\x1b[0mf"},
    {"SGR direct colours", "\x1b[38;2;10;20;30ma\x1b[48;2;200;100;50mb\x1b[mc"},
    {"alternate screen 1049", KRows + "\x1b[3;4H\x1b[?1049halt\x1b[5;5Hscreen\x1b[?1049lback"},
    {"alternate screen 1047", KRows + "\x1b[?1047h\x1b[2;2Halt\x1b[?1047l"},
    {"DEC line drawing", "\x1b(0lqqk\r\nx  x\r\nmqqj\x1b(B"},
    // The fill only: libvterm keeps the cursor and the margins through DECALN, xterm resets
    // both (the screen tests cover that).
    {"alignment pattern", KRows + "\x1b[3;3H\x1b#8\x1b[1;1Hx"},
    {"combining marks", "e\xcc\x81 a\xcc\x81\xcc\xa3" "b \xe4\xb8\xad\xcc\x81 x\x1b[1;40Hz\xcc\x81"},
    {"CJK text wraps",
     "\xe4\xb8\xad\xe6\x96\x87\xe5\xad\x97\xe4\xb8\xad\xe6\x96\x87\xe5\xad\x97\xe4\xb8\xad\xe6\x96"
     "\x87"
     "\xe5\xad\x97\xe4\xb8\xad\xe6\x96\x87\xe5\xad\x97\xe4\xb8\xad\xe6\x96\x87\xe5\xad\x97"
     "\xe4\xb8\xad\xe6\x96\x87\xe5\xad\x97\xe4\xb8\xad\xe6\x96\x87\xe5\xad\x97"},
};

class VtDifferential : public ::testing::TestWithParam<TStream> {};

TEST_P(VtDifferential, SameScreenAsLibvterm) {
    TVt own(40, 8);
    TVterm other(8, 40);
    own << GetParam().Bytes;
    other.Feed(GetParam().Bytes);
    EXPECT_EQ(Compare(own.Screen, other), "") << Printable(GetParam().Bytes);
}

INSTANTIATE_TEST_SUITE_P(Libvterm, VtDifferential, ::testing::ValuesIn(KStreams),
                         [](const auto& AInfo) {
                             std::string name;
                             for (const char* p = AInfo.param.Name; *p; ++p)
                                 name += std::isalnum(uint8_t(*p)) ? *p : '_';
                             return name;
                         });

// Random streams built from the agreed sequences.
std::string RandomStream(std::mt19937& ARandom, int APieces) {
    auto pick = [&](int AMax) { return int(ARandom() % uint32_t(AMax + 1)); };
    auto num = [&]() {
        int kind = pick(9);
        return kind == 0 ? std::string() : std::to_string(kind < 8 ? pick(12) : pick(200));
    };
    static const char* const KText[] = {
        "hello", "x", "0123456789", " ", "\xe4\xb8\xad", "\xe6\x96\x87\xe5\xad\x97", "ab cd"};
    static const char* const KSgr[] = {"0",  "1",        "3",      "4",          "5",         "7",
                                       "8",  "9",        "22",     "23",         "24",        "27",
                                       "31", "42",       "95",     "104",        "39",        "49",
                                       "",   "38;5;123", "48;5;7", "38;2;1;2;3", "48;2;9;8;7"};
    static const char* const KModes[] = {"?7h", "?7l",    "?7h",    "4l",     "?7h",
                                         "4l",  "?1049h", "?1049l", "?1049h", "?1049l"};
    static const char KFinals[] = "ABCDEFGHJKLMPSTXdefa`@IZ";
    // DECRC without a save differs (libvterm restores a zeroed pen): save first.
    std::string out = "\x1b"
                      "7";
    bool region = false, noWrap = false, alt = false, insert = false, background = false;
    for (int i = 0; i < APieces; ++i) {
        switch (pick(11)) {
        case 0:
        case 1:
        case 2: {
            // A wide character at the margin without autowrap: dropped here, moved down a
            // line by libvterm.
            int text = pick(6);
            bool wide = text == 4 || text == 5;
            // Wide characters start a line: how the margin is met by one differs (above).
            if (wide && (noWrap || insert || background))
                text = 0;
            else if (wide)
                out += '\r';
            out += KText[text];
            break;
        }
        case 3: {
            // LF, IND, RI, BS and HT follow a CR: whether they end a pending wrap differs.
            static const char* const KControls[] = {"\r",
                                                    "\r\n",
                                                    "\r\b",
                                                    "\r\t",
                                                    "\r\x1b"
                                                    "D",
                                                    "\r\x1bM"};
            out += KControls[pick(5)];
            break;
        }
        case 4:
            out += "\x1b[" + num() + ";" + num() + "H";
            break;
        case 5:
        case 6: {
            char final = KFinals[pick(int(sizeof KFinals) - 2)];
            // Inside a region libvterm ignores ICH and DCH outside it and lets vertical moves
            // cross its margins; xterm and Kolvan do neither.
            if (region && std::string_view("@PABEFe").find(final) != std::string_view::npos)
                final = 'X';
            if (final == 'I')
                out += '\r';
            out += "\x1b[" + num() + final;
            // IL and DL go to column 0 here as in xterm; libvterm leaves the column.
            if (final == 'L' || final == 'M')
                out += '\r';
            break;
        }
        case 7: {
            std::string sgr = KSgr[pick(22)];
            if (sgr == "42" || sgr == "104" || sgr.starts_with("48"))
                background = true;
            else if (sgr == "0" || sgr == "" || sgr == "49")
                background = false;
            out += "\x1b[" + sgr + "m";
        } break;
        case 8: {
            // Invalid regions are ignored by Kolvan (as xterm does) but taken by libvterm.
            int top = 1 + pick(4);
            region = pick(3) != 0;
            out += !region ? std::string("\x1b[r")
                           : "\x1b[" + std::to_string(top) + ";" +
                                 std::to_string(top + 1 + pick(5 - top)) + "r";
            break;
        }
        case 9: {
            std::string mode = KModes[pick(9)];
            // Switching screens resets the region here; libvterm keeps it.
            if (mode.find("1049") != std::string::npos) {
                // Only real switches: entering twice clears the screen in libvterm only.
                mode = alt ? "?1049l" : "?1049h";
                alt = !alt;
                out += "\x1b[r";
                region = false;
            }
            out += "\x1b[" + mode;
            if (mode == "?7l" || mode == "?7h")
                noWrap = mode == "?7l";
            if (mode == "4l" || mode == "4h")
                insert = mode == "4h";
            break;
        }
        case 10:
            out += std::string("\x1b") + "EE78H"[pick(4)];
            break;
        default:
            out += "\x1b[" + std::string(pick(1) ? "3" : "") + "g";
            break;
        }
    }
    return out;
}

TEST(VtDifferential, RandomStreamsOfAgreedSequences) {
    std::mt19937 random(20240607);
    for (int round = 0; round < 3000; ++round) {
        std::string bytes = RandomStream(random, 30);
        TVt own(20, 6);
        TVterm other(6, 20);
        own << bytes;
        other.Feed(bytes);
        std::string difference = Compare(own.Screen, other);
        if (difference.empty())
            continue;
        FAIL() << "round " << round << ": " << Printable(bytes) << "\n" << difference;
    }
}

} // namespace
