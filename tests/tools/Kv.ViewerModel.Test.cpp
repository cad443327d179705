#include <gtest/gtest.h>

#include "Kv.FS.Local.h"
#include "Kv.ViewerModel.h"
#include "KvMemoryFs.h"
#include "KvTestSupport.h"

using namespace kv;
using namespace kv::test;

namespace {

using TLines = std::vector<std::string>;

std::string Numbered(int ACount) {
    std::string out;
    for (int k = 1; k <= ACount; ++k)
        out += "line " + std::to_string(k) + "\n";
    return out;
}

// A viewer model over a file of a memory file system, behind a fault decorator.
struct TViewer {
    TDeliverQueue Queue;
    std::shared_ptr<TKvMemoryFs> Memory = std::make_shared<TKvMemoryFs>();
    std::shared_ptr<TKvFaultFs> Fs = std::make_shared<TKvFaultFs>(Memory);
    std::unique_ptr<TKvViewerModel> Model;
    int Changes = 0;

    explicit TViewer(const std::string& AText, int ARows = 5, int AColumns = 40) {
        Memory->AddFile("/f.txt", AText);
        Model = std::make_unique<TKvViewerModel>(
            std::make_shared<TKvViewData>(Fs, "/f.txt", "/f.txt", int64_t(AText.size())));
        Model->OnChanged = [this] { ++Changes; };
        Model->SetArea(ARows, AColumns);
        Settle();
    }
    // Runs deliveries until nothing is read, searched or built any more.
    void Settle() {
        ASSERT_TRUE(Queue.PumpUntil([this] {
            return !Model->Busy() && !Model->Searching() && !Model->SummaryBuilding();
        }));
        Queue.Pump();
    }
    TLines Rows() const {
        TLines rows;
        for (int k = 0; k < Model->RowCount(); ++k)
            rows.push_back(Model->RowText(k));
        return rows;
    }
};

} // namespace

// Key presses while a slow read runs collapse into the last one: one request at a time.
TEST(ViewerModel, RequestsWhileReadingCollapseIntoTheLast) {
    TViewer view(Numbered(100));
    EXPECT_EQ(view.Rows(), (TLines{"line 1", "line 2", "line 3", "line 4", "line 5"}));
    EXPECT_EQ(view.Model->BarPosition(), 0);
    view.Fs->AddFault({foRead, view.Fs->Calls(foRead) + 1, 1, true, false});
    view.Model->LineDown();
    ASSERT_TRUE(view.Fs->WaitBlocked());
    for (int k = 0; k < 20; ++k)
        view.Model->LineDown();
    view.Model->PageDown();
    view.Model->End();
    EXPECT_TRUE(view.Model->Busy());
    const int readsBefore = view.Fs->Calls(foRead);
    view.Changes = 0;
    view.Fs->Release();
    view.Settle();
    // The blocked page and the last request, nothing in between.
    EXPECT_EQ(view.Changes, 2);
    EXPECT_LE(view.Fs->Calls(foRead) - readsBefore, 3);
    EXPECT_EQ(view.Rows(), (TLines{"line 96", "line 97", "line 98", "line 99", "line 100"}));
    EXPECT_TRUE(view.Model->AtEnd());
    EXPECT_EQ(view.Model->BarPosition(), KViewBarMax);

    // The bar's own moves go to their share of the file; dragging keeps the bar where it is.
    view.Model->SetBarDragging(true);
    view.Model->BarMovedTo(KViewBarMax / 2);
    view.Settle();
    EXPECT_EQ(view.Rows().front(), "line 51");
    EXPECT_EQ(view.Model->BarPosition(), KViewBarMax);
    view.Model->SetBarDragging(false);
    view.Model->Home();
    view.Settle();
    EXPECT_EQ(view.Model->BarPosition(), 0);
}

TEST(ViewerModel, ModesStatusLineAndSideways) {
    std::string text = Numbered(20) + "a long line: " + std::string(60, 'x') + "\n";
    TViewer view(text, 4, 20);
    const std::string size = FormatBytes(int64_t(text.size()));
    EXPECT_EQ(view.Model->StatusText(), " /f.txt   0 of " + size +
                                            "   0%   TEXT, WRAP   F4 = hex   F7 = search   "
                                            "Ctrl+C = copy");
    view.Model->End();
    view.Settle();
    // Wrapped at 20 columns, the long line ends the file in four rows.
    EXPECT_EQ(view.Model->RowCount(), 4);
    EXPECT_EQ(view.Rows(), (TLines{"a long line: ", std::string(20, 'x'), std::string(20, 'x'),
                                   std::string(20, 'x')}));
    const int64_t lastLine = int64_t(Numbered(20).size());
    EXPECT_EQ(view.Model->Pos(), lastLine);
    // Sideways only without wrapping.
    view.Model->Right();
    EXPECT_EQ(view.Model->Offset(), 0);
    view.Model->ToggleWrap();
    view.Settle();
    EXPECT_FALSE(view.Model->Wrap());
    view.Model->Right();
    EXPECT_EQ(view.Model->Offset(), 8);
    EXPECT_EQ(view.Rows().back(), std::string("ine: ") + std::string(60, 'x'));
    view.Model->Left();
    view.Model->Left();
    EXPECT_EQ(view.Model->Offset(), 0);
    EXPECT_NE(view.Model->StatusText().find("   TEXT   F4 = hex"), std::string::npos);

    // Hex keeps the place, on its row of 16 bytes.
    const int64_t textTop = view.Model->Pos();
    view.Model->ToggleHex();
    view.Settle();
    EXPECT_NE(view.Model->StatusText().find("   HEX   F4 = text"), std::string::npos);
    EXPECT_EQ(view.Model->Pos(), textTop / 16 * 16);
    view.Model->Home();
    view.Settle();
    EXPECT_EQ(view.Rows().front(),
              "00000000  6C 69 6E 65 20 31 0A 6C  69 6E 65 20 32 0A 6C 69  line 1.line 2.li");
    view.Model->ToggleHex();
    view.Settle();
    EXPECT_EQ(view.Rows().front(), "line 1");
}

TEST(ViewerModel, JavaSummaryIsBuiltOnceAndToggled) {
    std::string trace = "Exception in thread \"main\" java.lang.IllegalStateException\n"
                        "\tat org.springframework.a.B.c(B.java:1)\n"
                        "\tat org.springframework.a.B.d(B.java:2)\n"
                        "\tat org.springframework.a.B.e(B.java:3)\n"
                        "\tat app.billing.Invoice.total(Invoice.java:42)\n";
    TViewer view(trace, 10, 80);
    EXPECT_TRUE(view.Model->JavaSeen());
    EXPECT_NE(view.Model->StatusText().find("F1 = Java summary   F4 = hex"), std::string::npos);
    view.Model->ToggleSummary();
    EXPECT_TRUE(view.Model->SummaryBuilding());
    view.Settle();
    EXPECT_TRUE(view.Model->SummaryMode());
    EXPECT_EQ(view.Model->Note(), "2 stack trace lines left out");
    EXPECT_EQ(view.Rows(), (TLines{"Exception in thread \"main\" java.lang.IllegalStateException",
                                   "    at org.springframework.a.B.c(B.java:1)",
                                   "        ... 2 lines hidden (F1 = all)",
                                   "    at app.billing.Invoice.total(Invoice.java:42)"}));
    EXPECT_TRUE(view.Model->RowIsFold(2));
    EXPECT_NE(view.Model->StatusText().find("JAVA SUMMARY   F1 = all lines   F4 = hex"),
              std::string::npos);
    view.Model->ToggleSummary();
    view.Settle();
    EXPECT_FALSE(view.Model->SummaryMode());
    EXPECT_EQ(view.Model->RowCount(), 5);
    EXPECT_TRUE(view.Model->Note().empty());
    // Built once: the second time it is there at once.
    view.Model->ToggleSummary();
    EXPECT_FALSE(view.Model->SummaryBuilding());
    view.Settle();
    EXPECT_EQ(view.Model->RowCount(), 4);

    TViewer plain(Numbered(3), 10, 80);
    plain.Model->ToggleSummary();
    plain.Settle();
    EXPECT_EQ(plain.Model->Note(), "No stack trace lines to leave out");
    EXPECT_EQ(plain.Rows(), (TLines{"line 1", "line 2", "line 3"}));

    // Esc while it is being built: cancelled, and the late result changes nothing.
    TViewer slow(trace, 10, 80);
    slow.Fs->AddFault({foRead, slow.Fs->Calls(foRead) + 1, 1, true, false});
    slow.Model->ToggleSummary();
    ASSERT_TRUE(slow.Fs->WaitBlocked());
    EXPECT_FALSE(slow.Model->Escape());
    EXPECT_EQ(slow.Model->Note(), "Summary cancelled");
    slow.Fs->Release();
    slow.Settle();
    EXPECT_FALSE(slow.Model->SummaryMode());
    EXPECT_EQ(slow.Model->Note(), "Summary cancelled");
    EXPECT_TRUE(slow.Model->Escape()); // nothing runs: the window closes
}

TEST(ViewerModel, SearchFindsOnwardsWrapsAndHighlights) {
    std::string text = "alpha Beta\nbeta gamma\nnothing\nBETA again\n";
    TViewer view(text, 3, 80);
    EXPECT_FALSE(view.Model->FindAgain(true)); // no text yet: the dialog opens
    view.Model->SearchFromDialog("beta", false);
    view.Settle();
    EXPECT_EQ(view.Model->MatchPos(), 6);
    EXPECT_EQ(view.Model->Note(), "Found at 6   N = next, Shift+N = previous");
    EXPECT_EQ(view.Model->RowSpans(0), (std::vector<TKvSpan>{{6, 4, skMatch}}));
    // Onwards from the match, not the same one again.
    ASSERT_TRUE(view.Model->FindAgain(true));
    view.Settle();
    EXPECT_EQ(view.Model->MatchPos(), 11);
    ASSERT_TRUE(view.Model->FindAgain(true));
    view.Settle();
    EXPECT_EQ(view.Model->MatchPos(), int64_t(text.find("BETA")));
    ASSERT_TRUE(view.Model->FindAgain(true));
    view.Settle();
    EXPECT_EQ(view.Model->MatchPos(), 6);
    EXPECT_EQ(view.Model->Note(),
              "Found at 6 (from the other end of the file)   N = next, Shift+N = previous");
    ASSERT_TRUE(view.Model->FindAgain(false));
    view.Settle();
    EXPECT_EQ(view.Model->MatchPos(), int64_t(text.find("BETA")));
    // With case, only the exact spelling counts, and only it is marked.
    view.Model->SearchFromDialog("BETA", true);
    view.Settle();
    EXPECT_EQ(view.Model->MatchPos(), int64_t(text.find("BETA")));
    view.Model->Home();
    view.Settle();
    EXPECT_TRUE(view.Model->RowSpans(0).empty());
    view.Model->SearchFromDialog("absent", false);
    view.Settle();
    EXPECT_EQ(view.Model->Note(), "Not found: absent");

    // Hex: the text of the other mode is not offered, odd digits start nothing, and the match
    // is marked in both columns of its row.
    view.Model->ToggleHex();
    view.Settle();
    EXPECT_EQ(view.Model->DialogText(), "");
    EXPECT_FALSE(view.Model->FindAgain(true));
    view.Model->SearchFromDialog("67 61 6", false);
    EXPECT_FALSE(view.Model->Searching());
    EXPECT_EQ(view.Model->Note(), "That is not whole bytes in hex: 67 61 6");
    view.Model->SearchFromDialog("67 61", false);
    view.Settle();
    const int64_t gamma = int64_t(text.find("gamma"));
    EXPECT_EQ(view.Model->MatchPos(), gamma);
    EXPECT_EQ(view.Model->Pos(), 0); // the match's row is the third or higher
    const int row = int(gamma / 16);
    const int i = int(gamma % 16);
    EXPECT_EQ(view.Model->RowSpans(row),
              (std::vector<TKvSpan>{{10 + 3 * i + (i >= 8), 2, skMatch},
                                    {60 + i, 1, skMatch},
                                    {10 + 3 * (i + 1) + (i + 1 >= 8), 2, skMatch},
                                    {60 + i + 1, 1, skMatch}}));
}

TEST(ViewerModel, SelectionCopiesWhatIsShown) {
    // At 10 columns the second line wraps into three rows.
    TViewer view("first\nabcd efgh ijkl mnop\nlast\n", 6, 10);
    EXPECT_EQ(view.Rows(), (TLines{"first", "abcd efgh ", "ijkl mnop", "last"}));
    int row = 0, col = 0;
    // Half a character rounds to the nearer gap; the row is clamped to the rows shown.
    view.Model->CellAt(2 + 8 * 3 + 3, 16 * 1 + 5, 16, 8, row, col);
    EXPECT_EQ(row, 1);
    EXPECT_EQ(col, 3);
    view.Model->CellAt(-40, 16 * 40, 16, 8, row, col);
    EXPECT_EQ(row, 3);
    EXPECT_EQ(col, 0);

    EXPECT_EQ(view.Model->SelectedText(), "");
    view.Model->PressAt(1, 5);
    view.Model->DragTo(2, 4);
    view.Model->Release();
    // Across a wrapped line: its pieces join without a break.
    EXPECT_EQ(view.Model->SelectedText(), "efgh ijkl");
    EXPECT_EQ(view.Model->RowSpans(1), (std::vector<TKvSpan>{{5, 5, skSelection}}));
    EXPECT_EQ(view.Model->RowSpans(2), (std::vector<TKvSpan>{{0, 4, skSelection}}));
    // Backwards from the end to the start across lines: line feeds between lines.
    view.Model->PressAt(3, 2);
    view.Model->DragTo(0, 3);
    EXPECT_EQ(view.Model->SelectedText(), "st\nabcd efgh ijkl mnop\nla");
    view.Model->SelectAll();
    const std::string all = view.Model->SelectedText();
    EXPECT_EQ(all, "first\nabcd efgh ijkl mnop\nlast");
    view.Model->Copied(all);
    EXPECT_EQ(view.Model->Note(), "copied 30 characters");

    // Sideways: the selection shifts with the text and is clipped at the left.
    TViewer wide("0123456789abcdefghij\n", 2, 10);
    wide.Model->ToggleWrap();
    wide.Settle();
    wide.Model->PressAt(0, 4);
    wide.Model->DragTo(0, 12);
    wide.Model->Right();
    EXPECT_EQ(wide.Model->RowText(0), "89abcdefghij");
    EXPECT_EQ(wide.Model->RowSpans(0), (std::vector<TKvSpan>{{0, 4, skSelection}}));
    EXPECT_EQ(wide.Model->SelectedText(), "456789ab");
}

TEST(ViewerModel, AFailedPageKeepsTheRowsAndSaysWhy) {
    TViewer view(Numbered(50), 5, 40);
    view.Fs->AddFault({foRead, view.Fs->Calls(foRead) + 1, 1, false, true});
    view.Model->PageDown();
    view.Settle();
    EXPECT_EQ(view.Rows().front(), "line 1");
    EXPECT_EQ(view.Model->StatusText().substr(0, 1), " ");
    EXPECT_NE(view.Model->StatusText().find("/f.txt"), std::string::npos);
    EXPECT_EQ(view.Model->StatusText(), " " + view.Model->Error());
    // The next movement tries again.
    view.Model->PageDown();
    view.Settle();
    EXPECT_TRUE(view.Model->Error().empty());
    EXPECT_EQ(view.Rows().front(), "line 5");
}
