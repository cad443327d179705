// Helpers for the terminal tests: a screen with its parser, its text as one string, and the
// invariants every screen keeps whatever it is fed.
#pragma once

#include <string>
#include <string_view>

#include "Kv.Vt.Parser.h"
#include "Kv.Vt.Screen.h"

namespace kv::test {

struct TVt {
    TKvVtScreen Screen;
    TKvVtParser Parser;
    TVt(int ACols, int ARows, int AMaxBack = 100)
        : Screen(ACols, ARows, AMaxBack), Parser(Screen) {}
    TVt& operator<<(std::string_view ABytes) {
        Parser.Feed(ABytes);
        return *this;
    }
};

// The visible rows joined with "|", trailing empty rows left out.
inline std::string ScreenText(const TKvVtScreen& AScreen) {
    std::string text;
    int last = AScreen.Rows() - 1;
    while (last > 0 && AScreen.RowText(last).empty())
        --last;
    for (int r = 0; r <= last; ++r) {
        if (r > 0)
            text += '|';
        text += AScreen.RowText(r);
    }
    return text;
}

// Every line of scrollback and screen, oldest first, joined with "|".
inline std::string AllText(const TKvVtScreen& AScreen) {
    std::string text;
    for (int i = 0; i < AScreen.LineCount(); ++i) {
        if (i > 0)
            text += '|';
        text += AScreen.AbsText(i);
    }
    return text;
}

// Empty when the screen is sound, else what is broken.
inline std::string BrokenInvariant(const TKvVtScreen& AScreen) {
    if (AScreen.Cols() < 2 || AScreen.Rows() < 1)
        return "size";
    if (AScreen.CursorX() < 0 || AScreen.CursorX() >= AScreen.Cols() || AScreen.CursorY() < 0 ||
        AScreen.CursorY() >= AScreen.Rows())
        return "cursor outside the screen";
    if (AScreen.ScrollTop() < 0 || AScreen.ScrollTop() > AScreen.ScrollBottom() ||
        AScreen.ScrollBottom() >= AScreen.Rows())
        return "scroll region";
    for (int i = 0; i < AScreen.LineCount(); ++i) {
        const auto& cells = AScreen.AbsLine(i).Cells;
        if (i >= AScreen.BackCount() && int(cells.size()) != AScreen.Cols())
            return "row " + std::to_string(i) + " has " + std::to_string(cells.size()) + " cells";
        for (size_t c = 0; c < cells.size(); ++c) {
            bool left = cells[c].Flags & vfWideLeft, right = cells[c].Flags & vfWideRight;
            if (left && right)
                return "cell both halves";
            if (left && (c + 1 >= cells.size() || !(cells[c + 1].Flags & vfWideRight)))
                return "left half without right half at line " + std::to_string(i) + " col " +
                       std::to_string(c);
            if (right && (c == 0 || !(cells[c - 1].Flags & vfWideLeft)))
                return "right half without left half at line " + std::to_string(i) + " col " +
                       std::to_string(c);
            if (right && cells[c].Ch != 0)
                return "right half with a character";
            if (cells[c].Mark > AScreen.AbsLine(i).Marks.size())
                return "combining marks missing at line " + std::to_string(i);
        }
    }
    return std::string();
}

} // namespace kv::test
