#include <gtest/gtest.h>

#include <unistd.h>

#include "VtTestUtil.h"

using namespace kv;
using namespace kv::test;

namespace {

const std::string KFffd = "\xef\xbf\xbd";

struct TTextCase {
    const char* Name;
    std::string Input;
    std::string Text;
};

// UTF-8 decoding and the sequences that must print nothing.
const TTextCase KTextCases[] = {
    {"two-byte character", "\xc3\xa9!", "\xc3\xa9!"},
    {"four-byte character", "\xf0\x90\x8d\x88", "\xf0\x90\x8d\x88"},
    {"overlong C0 80 is two replacements", "\xc0\x80", KFffd + KFffd},
    {"E0 80 80 is below the minimum", "\xe0\x80\x80", KFffd},
    {"a surrogate is replaced", "\xed\xa0\x80", KFffd},
    {"above U+10FFFF is replaced", "\xf4\x90\x80\x80", KFffd},
    {"F5 and FF are replaced", "\xf5\xff", KFffd + KFffd},
    {"a stray continuation byte",
     "a\x80"
     "b",
     "a" + KFffd + "b"},
    {"a sequence cut by ASCII",
     "\xe4\xb8"
     "a",
     KFffd + "a"},
    {"a sequence cut by ESC still runs the escape", "\xc3\x1b[2Cx", KFffd + "  x"},
    {"C1 bytes print, they do not control",
     "\xc2\x9b"
     "5Cx",
     "\xc2\x9b"
     "5Cx"},
    {"CAN drops a pending character",
     "\xc3\x18"
     "a",
     "a"},
    {"CAN aborts a CSI",
     "\x1b[3\x18"
     "A",
     "A"},
    {"SUB aborts an OSC",
     "\x1b]0;t\x1a"
     "b",
     "b"},
    {"DEL is ignored",
     "a\x7f"
     "b",
     "ab"},
    {"BEL is ignored",
     "a\x07"
     "b",
     "ab"},
    {"C0 inside a CSI acts", "ab\x1b[\r2Cx\x1b[\n1Dy", "abx|  y"},
    {"ESC inside a CSI starts afresh", "\x1b[5\x1b[2Cx", "  x"},
    {"a marker after a parameter abandons the sequence", "\x1b[1?hx", "x"},
    {"ESC inside an abandoned CSI starts afresh", "\x1b[1?5\x1b[2Cx", "  x"},
    {"ESC between intermediates starts afresh", "\x1b(\x1b[2Cx", "  x"},
    {"CSI with intermediates is ignored", "\x1b[!px\x1b[2 qy", "xy"},
    {"unknown CSI finals are ignored", "\x1b[5yx\x1b[>1mz\x1b[=5cw", "xzw"},
    {"unknown ESC finals are ignored", "\x1b#3x\x1b%Gy\x1bZz", "xyz"},
    {"DCS is dropped up to ST", "\x1bPq#0;2;0;0;0#0~~\x1b\\x", "x"},
    {"an ESC inside DCS does not end it",
     "\x1bPab\x1b"
     "cd\x1b\\x",
     "x"},
    {"APC, PM and SOS end at BEL",
     "\x1b_hidden\x07"
     "a\x1b^pm\x07"
     "b\x1bXsos\x07"
     "c",
     "abc"},
    {"ESC then a high byte goes to ground", "\x1b\xc3x", "x"},
    {"OSC interrupted by another sequence", "\x1b]0;title\x1b[2Cx", "  x"},
};

class VtText : public ::testing::TestWithParam<TTextCase> {};

TEST_P(VtText, PrintsExactly) {
    TVt vt(20, 3);
    vt << GetParam().Input;
    EXPECT_EQ(ScreenText(vt.Screen), GetParam().Text);
}

std::string CaseName(const char* AName) {
    std::string name;
    for (const char* p = AName; *p; ++p)
        name += std::isalnum(uint8_t(*p)) ? *p : '_';
    return name;
}

INSTANTIATE_TEST_SUITE_P(Parser, VtText, ::testing::ValuesIn(KTextCases),
                         [](const auto& AInfo) { return CaseName(AInfo.param.Name); });

TEST(VtParser, SequencesAndCharactersSplitAcrossFeeds) {
    TVt vt(20, 3);
    vt << "\xc3";
    EXPECT_EQ(ScreenText(vt.Screen), "");
    vt << "\xa9";
    EXPECT_EQ(ScreenText(vt.Screen), "\xc3\xa9");
    vt << "\x1b["
       << "2"
       << ";"
       << "5"
       << "H"
       << "x\x1b"
       << "]0;ti"
       << "tle\x1b"
       << "\\";
    EXPECT_EQ(vt.Screen.RowText(1), "    x");
    EXPECT_EQ(vt.Screen.Title(), "title");
    vt << "\xf0\x9f"
       << "\x9a"
       << "\x80";
    EXPECT_EQ(vt.Screen.RowText(1), "    x\xf0\x9f\x9a\x80");
    EXPECT_EQ(vt.Screen.CursorX(), 7) << "the rocket is two cells wide";
}

TEST(VtParser, MalformedPrivateModeChangesNothing) {
    TVt vt(20, 3);
    vt << "\x1b[?1;?h";
    EXPECT_FALSE(vt.Screen.AppCursorKeys());
    vt << "\x1b[??1h";
    EXPECT_FALSE(vt.Screen.AppCursorKeys());
    vt << "\x1b[?1h";
    EXPECT_TRUE(vt.Screen.AppCursorKeys());
    EXPECT_EQ(vt.Parser.State(), psGround);
}

TEST(VtParser, ParametersBeyondSixteenAreDroppedAndHugeNumbersStopGrowing) {
    TVt vt(20, 3);
    // The 17th parameter (31, red) is dropped; the 16th (4) applies.
    vt << "\x1b[0;0;0;0;0;0;0;0;0;0;0;0;0;0;0;4;31mx";
    EXPECT_EQ(vt.Screen.CellAt(0, 0).Flags, vfUnderline);
    EXPECT_EQ(vt.Screen.CellAt(0, 0).Fg, KVtDefaultColor);
    vt << "\x1b[99999999999999999999;99999999999999999999H";
    EXPECT_EQ(vt.Screen.CursorY(), 2);
    EXPECT_EQ(vt.Screen.CursorX(), 19);
}

struct TSgrCase {
    const char* Name;
    std::string Params;
    uint32_t Fg;
    uint32_t Bg;
    uint16_t Flags;
};

const uint32_t D = KVtDefaultColor;

// Each runs after "\e[1;4;31;42m" (bold, underline, red on green) so resets show.
const TSgrCase KSgrCases[] = {
    {"no parameters reset", "", D, D, 0},
    {"zero resets", "0", D, D, 0},
    {"empty first parameter resets", ";7", D, D, vfInverse},
    {"flags", "2;3;5;7;8;9", 1, 2,
     vfBold | vfUnderline | vfFaint | vfItalic | vfBlink | vfInverse | vfHidden | vfStrike},
    {"6 is blink, 21 underline", "0;6;21", D, D, vfBlink | vfUnderline},
    {"22 clears bold and faint", "2;22", 1, 2, vfUnderline},
    {"23 to 29 clear their flags", "3;5;7;8;9;23;24;25;27;28;29", 1, 2, vfBold},
    {"palette colours", "33;44", 3, 4, vfBold | vfUnderline},
    {"bright colours", "97;100", 15, 8, vfBold | vfUnderline},
    {"default colours", "39;49", D, D, vfBold | vfUnderline},
    {"256 colours", "38;5;200;48;5;0", 200, 0, vfBold | vfUnderline},
    {"256 colour out of range changes nothing", "38;5;300", 1, 2, vfBold | vfUnderline},
    {"256 colour with the index missing", "38;5", 1, 2, vfBold | vfUnderline},
    {"direct colour", "38;2;10;20;30", VtDirectColor(10, 20, 30), 2, vfBold | vfUnderline},
    {"direct colour, colon form with colour space", "38:2::10:20:30", VtDirectColor(10, 20, 30), 2,
     vfBold | vfUnderline},
    {"direct background then more", "48:2::1:2:3;0;7", D, D, vfInverse},
    {"colon form with a colour-space id", "38:2:0:10:20:30", VtDirectColor(10, 20, 30), 2,
     vfBold | vfUnderline},
    {"colon form without the colour-space field", "38:2:10:20:30", VtDirectColor(10, 20, 30), 2,
     vfBold | vfUnderline},
    {"colon form ends at the next semicolon", "48:2:1:2:3:4;7", 1, VtDirectColor(2, 3, 4),
     vfBold | vfUnderline | vfInverse},
    {"colon 256 colour", "38:5:200;3", 200, 2, vfBold | vfUnderline | vfItalic},
    {"colon 256 colour without an index", "38:5;3", 1, 2, vfBold | vfUnderline | vfItalic},
    {"direct colour components wrap at 256", "38;2;266;20;30", VtDirectColor(10, 20, 30), 2,
     vfBold | vfUnderline},
    {"direct colour with missing components", "48;2;5", 1, VtDirectColor(5, 0, 0),
     vfBold | vfUnderline},
    {"semicolon form with an empty red", "38;2;;20;30", VtDirectColor(0, 20, 30), 2,
     vfBold | vfUnderline},
    {"unknown colour kind reads on as values", "38;7;0;3", D, D, vfItalic},
    {"unknown values are ignored", "10;50;60;75;96", 14, 2, vfBold | vfUnderline},
};

class VtSgr : public ::testing::TestWithParam<TSgrCase> {};

TEST_P(VtSgr, SetsRendition) {
    const TSgrCase& c = GetParam();
    TVt vt(10, 2);
    vt << "\x1b[1;4;31;42m\x1b[" + c.Params + "mx";
    TKvVtCell cell = vt.Screen.CellAt(0, 0);
    EXPECT_EQ(cell.Fg, c.Fg) << std::hex << cell.Fg;
    EXPECT_EQ(cell.Bg, c.Bg) << std::hex << cell.Bg;
    EXPECT_EQ(cell.Flags, c.Flags) << std::hex << cell.Flags;
}

INSTANTIATE_TEST_SUITE_P(Parser, VtSgr, ::testing::ValuesIn(KSgrCases),
                         [](const auto& AInfo) { return CaseName(AInfo.param.Name); });

TEST(VtParser, OscTitleFolderAndUser) {
    TVt vt(20, 3);
    vt << "\x1b]0;first\x07";
    EXPECT_EQ(vt.Screen.Title(), "first");
    vt << "\x1b]2;caf\xc3\xa9 \xff;x\x1b\\";
    EXPECT_EQ(vt.Screen.Title(), "caf\xc3\xa9 " + KFffd + ";x")
        << "decoded as UTF-8, the rest after the first ;";
    vt << "\x1b]1;icon\x07\x1b]x;y\x07\x1b]2\x07\x1b];z\x07";
    EXPECT_EQ(vt.Screen.Title(), "caf\xc3\xa9 " + KFffd + ";x")
        << "other numbers and malformed ones do nothing";

    vt << "\x1b]7;file://host/home/ann\x07";
    EXPECT_EQ(vt.Screen.Cwd(), "file://host/home/ann");
    vt << "\x1b]7;file://host/tmp/a%20b\x1b\\";
    EXPECT_EQ(vt.Screen.Cwd(), "file://host/tmp/a%20b");
    EXPECT_EQ(vt.Screen.CwdSerial(), 2);
    vt << "\x1b]7701;ann\x07";
    EXPECT_EQ(vt.Screen.User(), "ann");
    EXPECT_EQ(ScreenText(vt.Screen), "") << "nothing of it is printed";

    TVt conEmu(20, 3);
    conEmu << "\x1b]9;9;C:\\Work\\My dir\x1b\\";
    EXPECT_EQ(conEmu.Screen.Cwd(), "file://localhost/C:\\Work\\My%20dir")
        << "a backslash is a name character here";
    conEmu << "\x1b]9;9;\"/srv/my files\"\x07";
    EXPECT_EQ(conEmu.Screen.Cwd(), "file://localhost/srv/my%20files");
    conEmu << "\x1b]9;4;1;50\x07";
    EXPECT_EQ(conEmu.Screen.Cwd(), "file://localhost/srv/my%20files")
        << "other OSC 9 reports are not folders";
    EXPECT_EQ(ScreenText(conEmu.Screen), "");
}

TEST(VtParser, FolderReportsAreTakenOnlyAsSent) {
    // Each script runs after a report of file://h/before; "" means refused: no folder known.
    struct TCase {
        const char* Name;
        std::string Bytes;
        std::string Cwd;
    } cases[] = {
        {"encoded blank and non-ASCII byte", "\x1b]7;file://h/t/a%20b%E9\x07",
         "file://h/t/a%20b%E9"},
        {"encoded BEL", "\x1b]7;file://h/t/x%07y\x07", ""},
        {"encoded ESC", "\x1b]7;file://h/t/x%1b]7;file://h/etc\x07", ""},
        {"encoded newline", "\x1b]7;file://h/t/x%0Ay\x07", ""},
        {"encoded DEL", "\x1b]7;file://h/t/x%7Fy\x07", ""},
        {"encoded control byte in the host", "\x1b]7;file://h%0A/t\x1b\\", ""},
        {"raw newline, dropped on the way in", "\x1b]7;file://h/t/x\ny\x07", ""},
        {"raw DEL", "\x1b]7;file://h/t/x\x7fy\x07", ""},
        {"bytes that are not UTF-8", "\x1b]7;file://h/t/caf\xe9\x07", ""},
        // A shell that prints the folder's name raw in its prompt or title (fish does) after the
        // encoded report: the BEL ends the title and the rest reads as a ConEmu folder report.
        {"forged ConEmu report after a refused one",
         "\x1b]7;file://h/t/x%07%1B%5D9%3B9%3Betc%07\x07\x1b]0;/t/x\x07\x1b]9;9;etc\x07 y\x07", ""},
        {"forged ConEmu report after an accepted one",
         "\x1b]7;file://h/t/ok\x07\x1b]0;/t/ok/x\x07\x1b]9;9;etc\x07\x07", "file://h/t/ok"},
    };
    for (const auto& c : cases) {
        TVt vt(20, 3);
        vt << "\x1b]7;file://h/before\x07" << c.Bytes;
        EXPECT_EQ(vt.Screen.Cwd(), c.Cwd) << c.Name;
        vt << "\x1b]7;file://h/after\x07";
        EXPECT_EQ(vt.Screen.Cwd(), "file://h/after") << c.Name << ": the next report is taken";
    }
    TVt conEmu(20, 3);
    conEmu << "\x1b]9;9;/t/ok\x07";
    EXPECT_EQ(conEmu.Screen.Cwd(), "file://localhost/t/ok");
    conEmu << "\x1b]9;9;/t/x\x01y\x07";
    EXPECT_EQ(conEmu.Screen.Cwd(), "") << "a ConEmu report with a raw control byte";
}

TEST(VtParser, ModeRequestsAreAnswered) {
    struct TCase {
        const char* Setup;
        const char* Request;
        const char* Reply;
    } cases[] = {
        {"", "\x1b[?1$p", "\x1b[?1;2$y"},
        {"\x1b[?1h", "\x1b[?1$p", "\x1b[?1;1$y"},
        {"", "\x1b[?7$p", "\x1b[?7;1$y"},
        {"\x1b[?25l", "\x1b[?25$p", "\x1b[?25;2$y"},
        {"\x1b[?1049h", "\x1b[?1049$p", "\x1b[?1049;1$y"},
        {"\x1b[?1002h", "\x1b[?1000$p\x1b[?1002$p", "\x1b[?1000;2$y\x1b[?1002;1$y"},
        {"\x1b[?2004h", "\x1b[?2004$p", "\x1b[?2004;1$y"},
        {"", "\x1b[?2026$p", "\x1b[?2026;2$y"},
        {"\x1b[?2026h", "\x1b[?2026$p", "\x1b[?2026;1$y"},
        {"\x1b[?2026h\x1b" "c", "\x1b[?2026$p", "\x1b[?2026;2$y"},
        {"", "\x1b[?3$p", "\x1b[?3;4$y"},
        {"", "\x1b[?12345$p", "\x1b[?12345;0$y"},
        {"\x1b[4h", "\x1b[4$p\x1b[20$p", "\x1b[4;1$y\x1b[20;2$y"},
        {"", "\x1b[7$p", "\x1b[7;0$y"},
        {"", "\x1b[>1$p\x1b[?1#p", ""},
    };
    for (const auto& c : cases) {
        TVt vt(10, 3);
        vt << c.Setup;
        vt.Screen.TakeReplies();
        vt << c.Request;
        EXPECT_EQ(vt.Screen.TakeReplies(), c.Reply) << c.Setup << c.Request;
        EXPECT_EQ(ScreenText(vt.Screen), "") << c.Request;
    }
}

TEST(VtParser, ColourQueriesAnswerWithTheWindowsColours) {
    TVt vt(10, 3);
    vt.Screen.SetDefaultColors(0xC0C0C0, 0x102030, 0xFF8000);
    vt << "\x1b]10;?\x07\x1b]11;?\x1b\\\x1b]12;?\x07";
    EXPECT_EQ(vt.Screen.TakeReplies(), "\x1b]10;rgb:c0c0/c0c0/c0c0\x07"
                                       "\x1b]11;rgb:1010/2020/3030\x1b\\"
                                       "\x1b]12;rgb:ffff/8080/0000\x07");
    // Setting colours is not taken, and answers nothing.
    vt << "\x1b]11;#ffffff\x07\x1b]10;\x07";
    EXPECT_EQ(vt.Screen.TakeReplies(), "");
}

TEST(VtParser, TitleStackPushesAndPops) {
    TVt vt(10, 3);
    vt << "\x1b]2;shell\x07\x1b[22;0t\x1b]2;vim\x07";
    EXPECT_EQ(vt.Screen.Title(), "vim");
    int version = vt.Screen.Version();
    vt << "\x1b[23;0t";
    EXPECT_EQ(vt.Screen.Title(), "shell");
    EXPECT_GT(vt.Screen.Version(), version) << "a popped title is a change";
    vt << "\x1b[23t";
    EXPECT_EQ(vt.Screen.Title(), "shell") << "popping an empty stack keeps the title";
    // The stack is short: the oldest entries give way.
    for (int i = 0; i < 15; ++i)
        vt << "\x1b]2;t" + std::to_string(i) + "\x07\x1b[22t";
    for (int i = 0; i < 15; ++i)
        vt << "\x1b[23t";
    EXPECT_EQ(vt.Screen.Title(), "t5");
}

TEST(VtParser, OscPayloadIsCutAt4096Bytes) {
    TVt vt(20, 3);
    const std::string title(5000, 't');
    vt << "\x1b]2;" + title + "\x07";
    EXPECT_EQ(vt.Screen.Title(), title.substr(0, TKvVtParser::KMaxOsc - 2));
    // A folder report cut short would name another folder: it is refused instead.
    vt << "\x1b]7;file://h/before\x07\x1b]7;file://h/" + std::string(5000, 'd') + "\x07";
    EXPECT_EQ(vt.Screen.Cwd(), "");
    // Control bytes inside are dropped, not stored.
    vt << "\x1b]0;a\x01\x02"
          "b\x07";
    EXPECT_EQ(vt.Screen.Title(), "ab");
}

TEST(FileUrl, PercentDecodeKeepsBytes) {
    EXPECT_EQ(PercentDecode("a%20b%2fc"), "a b/c");
    EXPECT_EQ(PercentDecode("%e4%b8%ad"), "\xe4\xb8\xad");
    EXPECT_EQ(PercentDecode("%ff"), "\xff") << "names need not be UTF-8";
    EXPECT_EQ(PercentDecode("100%"), "100%");
    EXPECT_EQ(PercentDecode("%4"), "%4");
    EXPECT_EQ(PercentDecode("%zz%4g"), "%zz%4g");
}

TEST(FileUrl, ParseSplitsHostAndPath) {
    std::string host, path;
    ASSERT_TRUE(ParseFileUrl("FILE://Box/home/a%20b", host, path));
    EXPECT_EQ(host, "Box");
    EXPECT_EQ(path, "/home/a b");
    ASSERT_TRUE(ParseFileUrl("file:///", host, path));
    EXPECT_EQ(host, "");
    EXPECT_EQ(path, "/");
    EXPECT_FALSE(ParseFileUrl("file://host", host, path));
    EXPECT_FALSE(ParseFileUrl("http://host/x", host, path));
    EXPECT_FALSE(ParseFileUrl("file:/x", host, path));
}

TEST(FileUrl, MakeEncodesPercentAndBlanksOnly) {
    EXPECT_EQ(MakeFileUrl("/home/my dir/100%"), "file://localhost/home/my%20dir/100%25");
    EXPECT_EQ(MakeFileUrl("  \"/a b\"  "), "file://localhost/a%20b");
    EXPECT_EQ(MakeFileUrl("/a\\b"), "file://localhost/a\\b");
    EXPECT_EQ(MakeFileUrl("   "), "");
    EXPECT_EQ(MakeFileUrl("\"\""), "");
    EXPECT_EQ(MakeFileUrl("rel"), "file://localhost/rel");
    EXPECT_EQ(FileUrlToLocalPath(MakeFileUrl("/tmp/a b%20c")), "/tmp/a b%20c") << "round trip";
}

TEST(FileUrl, LocalPathOnlyForThisMachine) {
    char name[256] = {};
    ASSERT_EQ(::gethostname(name, sizeof name - 1), 0);
    std::string self = name;
    struct TCase {
        std::string Url;
        std::string Path;
    };
    const TCase cases[] = {
        {"file:///home/user", "/home/user"},
        {"file://localhost/home/my%20dir", "/home/my dir"},
        {"file://LOCALHOST/tmp", "/tmp"},
        {"file://" + self + "/srv/a\\b", "/srv/a\\b"},
        {"file://elsewhere/home/user", ""},
        {"file://localhost/C:/Users", ""},
        {"file://localhost/c:", ""},
        {"file:////server/share", ""},
        {"file://localhost//server/share", ""},
        {"file://localhost/tmp/a%00b", ""},
        {"file://localhost", ""},
        {"/home/user", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(FileUrlToLocalPath(c.Url), c.Path) << c.Url;
    EXPECT_EQ(FileUrlToLocalPath("file://box/x", "BOX"), "/x") << "host names ignore case";
    EXPECT_EQ(FileUrlToLocalPath("file://localhost/C:x"), "/C:x")
        << "only a drive root is a drive form";
}

TEST(FileUrl, SanitizeUtf8ReplacesEachMalformedSequence) {
    EXPECT_EQ(SanitizeUtf8("ok \xc3\xa9"), "ok \xc3\xa9");
    EXPECT_EQ(SanitizeUtf8("\xc0\x80"), KFffd + KFffd);
    EXPECT_EQ(SanitizeUtf8("\xed\xa0\x80"
                           "a"),
              KFffd + "a");
    EXPECT_EQ(SanitizeUtf8("\xe4\xb8"), KFffd);
}

} // namespace
