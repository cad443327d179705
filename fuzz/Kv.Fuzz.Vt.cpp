// The terminal engine on arbitrary bytes: feeding them at once or in pieces must give the
// same screen, the screen must stay sound (cursor inside, wide pairs whole), and the names
// found on it and in the text must not fail.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "Kv.Selection.h"
#include "Kv.Shell.Words.h"
#include "Kv.Vt.Parser.h"

namespace {

void Check(bool ACondition, const char* AWhat) {
    if (!ACondition) {
        std::fprintf(stderr, "broken: %s\n", AWhat);
        std::abort();
    }
}

void CheckScreen(const kv::TKvVtScreen& AScreen) {
    Check(AScreen.CursorX() >= 0 && AScreen.CursorX() < AScreen.Cols(), "cursor column");
    Check(AScreen.CursorY() >= 0 && AScreen.CursorY() < AScreen.Rows(), "cursor row");
    Check(AScreen.ScrollTop() >= 0 && AScreen.ScrollTop() <= AScreen.ScrollBottom() &&
              AScreen.ScrollBottom() < AScreen.Rows(),
          "scroll region");
    for (int i = 0; i < AScreen.LineCount(); ++i) {
        const auto& line = AScreen.AbsLine(i);
        const auto& cells = line.Cells;
        if (i >= AScreen.BackCount())
            Check(int(cells.size()) == AScreen.Cols(), "row width");
        for (size_t c = 0; c < cells.size(); ++c) {
            Check(cells[c].Mark <= line.Marks.size(), "combining marks of a cell");
            if (cells[c].Flags & kv::vfWideLeft)
                Check(c + 1 < cells.size() && (cells[c + 1].Flags & kv::vfWideRight),
                      "left half alone");
            if (cells[c].Flags & kv::vfWideRight)
                Check(c > 0 && (cells[c - 1].Flags & kv::vfWideLeft) && cells[c].Ch == 0,
                      "right half alone");
        }
    }
}

bool SameScreen(const kv::TKvVtScreen& A, const kv::TKvVtScreen& B) {
    if (A.LineCount() != B.LineCount() || A.CursorX() != B.CursorX() ||
        A.CursorY() != B.CursorY() || A.WrapPending() != B.WrapPending() ||
        A.Title() != B.Title() || A.Cwd() != B.Cwd())
        return false;
    for (int i = 0; i < A.LineCount(); ++i) {
        const auto& a = A.AbsLine(i);
        const auto& b = B.AbsLine(i);
        if (a.Cells != b.Cells || a.Wrapped != b.Wrapped || a.CwdId != b.CwdId)
            return false;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
    if (ASize < 2)
        return 0;
    // The first two bytes choose the size and how the rest is cut into reads.
    int cols = 2 + AData[0] % 40, rows = 1 + AData[1] % 12;
    size_t step = 1 + AData[1] % 7;
    std::string_view input(reinterpret_cast<const char*>(AData + 2), ASize - 2);

    kv::TKvVtScreen whole(cols, rows, 50), pieces(cols, rows, 50);
    kv::TKvVtParser wholeParser(whole), piecesParser(pieces);
    wholeParser.Feed(input);
    for (size_t i = 0; i < input.size(); i += step)
        piecesParser.Feed(input.substr(i, step));
    CheckScreen(whole);
    Check(SameScreen(whole, pieces), "split feed differs");
    Check(whole.CwdIdCount() <= kv::TKvVtScreen::KMaxCwdIds, "remembered folders unbounded");
    Check(whole.TakeReplies() == pieces.TakeReplies(), "replies differ");

    for (int i = 0; i < whole.LineCount(); ++i) {
        kv::TKvLogicalWords words = kv::LogicalWords(whole, i);
        for (const auto& word : words.Words)
            Check(word.ColFrom < word.ColTo && !word.Text.empty(), "empty word");
        kv::WordsOnRow(words, i, whole.Cols());
    }
    kv::LineNames(input);

    whole.Resize(2 + AData[1] % 30, 1 + AData[0] % 9);
    CheckScreen(whole);
    wholeParser.Feed(input);
    CheckScreen(whole);
    return 0;
}
