// Whatever the stream and however it is cut into reads, the screen ends the same and sound.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "VtTestUtil.h"

using namespace kv;
using namespace kv::test;

namespace {

// Bytes biased towards escape sequences, UTF-8 and the controls that change state.
std::string RandomBytes(std::mt19937& ARandom, size_t ALength) {
    static const char* const KPieces[] = {
        "\x1b[",
        "\x1b]",
        "\x1bP",
        "\x1b(0",
        "\x1b"
        "7",
        "\x1b"
        "8",
        "\x1b"
        "c",
        "\x1bM",
        "\x1b[?1049h",
        "\x1b[?1049l",
        "\x1b[?47h",
        "\x1b[?7l",
        "\x1b[4h",
        "\x1b[?6h",
        ";",
        ":",
        "?",
        "99999",
        "38;2;",
        "\xe4\xb8\xad",
        "\xf0\x9f\x9a\x80",
        "\xcc\x81",
        "\xc3",
        "\x07",
        "\x1b\\",
        "\r\n",
        "\t",
        "\b",
        "7;file://h/x",
        "9;9;C:\\a b",
        "\x18",
    };
    std::string out;
    while (out.size() < ALength) {
        uint32_t kind = ARandom() % 4;
        if (kind == 0)
            out += KPieces[ARandom() % (sizeof KPieces / sizeof KPieces[0])];
        else if (kind == 1)
            out += char(ARandom() % 256);
        else
            out += char(0x20 + ARandom() % 0x5F);
    }
    return out;
}

std::string State(TKvVtScreen& AScreen) {
    std::string state = AllText(AScreen);
    for (int r = 0; r < AScreen.Rows(); ++r) {
        for (int c = 0; c < AScreen.Cols(); ++c) {
            TKvVtCell cell = AScreen.CellAt(r, c);
            state += std::to_string(cell.Ch) + "/" + std::to_string(cell.Fg) + "/" +
                     std::to_string(cell.Bg) + "/" + std::to_string(cell.Flags) + " ";
        }
        state += AScreen.AbsLine(AScreen.BackCount() + r).Wrapped ? "W" : "-";
    }
    state += "|" + std::to_string(AScreen.CursorX()) + "," + std::to_string(AScreen.CursorY()) +
             (AScreen.WrapPending() ? "p" : "") + (AScreen.AltScreen() ? "a" : "") + "|" +
             AScreen.Title() + "|" + AScreen.Cwd() + "|" + std::to_string(AScreen.CwdSerial()) +
             "|" + AScreen.TakeReplies();
    return state;
}

TEST(VtProperty, SplitFeedsGiveTheSameScreenAndInvariantsHold) {
    std::mt19937 random(7);
    for (int round = 0; round < 400; ++round) {
        std::string bytes = RandomBytes(random, 200 + random() % 1500);
        int cols = 2 + int(random() % 30), rows = 1 + int(random() % 8);
        TVt whole(cols, rows, 20), single(cols, rows, 20), chunks(cols, rows, 20);
        whole << bytes;
        for (char c : bytes)
            single << std::string(1, c);
        for (size_t i = 0; i < bytes.size();) {
            size_t n = 1 + random() % 40;
            chunks << bytes.substr(i, n);
            i += n;
        }
        ASSERT_EQ(BrokenInvariant(whole.Screen), "") << "round " << round;
        std::string expected = State(whole.Screen);
        ASSERT_EQ(State(single.Screen), expected) << "round " << round << ", one byte at a time";
        ASSERT_EQ(State(chunks.Screen), expected) << "round " << round << ", random chunks";

        // Resizing in the middle of it all keeps the screen sound too.
        whole.Screen.Resize(2 + int(random() % 30), 1 + int(random() % 8));
        ASSERT_EQ(BrokenInvariant(whole.Screen), "") << "round " << round << " after resize";
        whole << bytes;
        ASSERT_EQ(BrokenInvariant(whole.Screen), "")
            << "round " << round << " after resize and more";
    }
}

// Text as a shell prints it: words, line ends, wide characters, combining marks, colours and
// hyperlinks.
std::string RandomText(std::mt19937& ARandom, size_t ALength) {
    static const char* const KPieces[] = {
        "\r\n", " ", "  ", "\xe4\xb8\xad", "\xf0\x9f\x9a\x80", "e\xcc\x81", "\x1b[31m", "\x1b[0m",
        "\x1b[44m", "\x1b]8;;file://h/x\x07", "\x1b]8;;\x07", "\t",
    };
    std::string out;
    while (out.size() < ALength) {
        if (ARandom() % 3 == 0)
            out += KPieces[ARandom() % (sizeof KPieces / sizeof KPieces[0])];
        else
            out += char('a' + ARandom() % 26);
    }
    return out;
}

// The rows' text, oldest first, without what shows nothing: empty rows at the end, and a row
// that holds only the blanks a wrapped line ended with (trailing blanks are not kept when a
// line is rewrapped).
std::string VisibleText(const TKvVtScreen& AScreen) {
    std::vector<std::string> rows;
    for (int i = 0; i < AScreen.LineCount(); ++i) {
        std::string text = AScreen.AbsText(i);
        if (text.empty() && i > 0 && AScreen.AbsLine(i - 1).Wrapped)
            continue;
        rows.push_back(std::move(text));
    }
    while (!rows.empty() && rows.back().empty())
        rows.pop_back();
    std::string joined;
    for (const std::string& row : rows)
        joined += row + "|";
    return joined;
}

TEST(VtProperty, NarrowingAndWideningAgainGivesBackTheSameText) {
    std::mt19937 random(11);
    for (int round = 0; round < 300; ++round) {
        const std::string bytes = RandomText(random, 50 + random() % 800);
        const int cols = 2 + int(random() % 30), rows = 1 + int(random() % 8);
        TVt vt(cols, rows, 5000);
        vt << bytes;
        const std::string before = VisibleText(vt.Screen);
        const int x = vt.Screen.CursorX();
        const int other = 2 + int(random() % 40);
        vt.Screen.Resize(other, 1 + int(random() % 8));
        ASSERT_EQ(BrokenInvariant(vt.Screen), "") << "round " << round;
        vt.Screen.Resize(cols, rows);
        ASSERT_EQ(BrokenInvariant(vt.Screen), "") << "round " << round;
        ASSERT_EQ(VisibleText(vt.Screen), before)
            << "round " << round << ": " << cols << " -> " << other << " -> " << cols;
        EXPECT_EQ(vt.Screen.CursorX(), x) << "round " << round;
    }
}

} // namespace
