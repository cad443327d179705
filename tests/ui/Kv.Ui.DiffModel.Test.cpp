// The diff window's rules without painting: loading with its cap, text and hex rows, blocks and
// their navigation, the overview strip's arithmetic, the changed part of a line, the status.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include "Kv.FS.Local.h"
#include "Kv.Ui.DiffModel.h"
#include "Kv.Ui.Theme.h"
#include "KvTestSupport.h"

using namespace kv;
using namespace kv::test;

namespace {

const std::string KTail = "   N/P next/previous, Esc close";

TKvDiffModel Load(const std::string& ALeft, const std::string& ARight, TKvCompareOptions AOptions = {},
                  const std::string& ALeftName = "a.txt") {
    TTempDir dir;
    WriteFile(dir / ALeftName, ALeft);
    WriteFile(dir / "b.txt", ARight);
    auto token = NewCancelToken();
    TKvDiffLoadPtr load = LoadDiff(*LocalFs(), dir / ALeftName, *LocalFs(), dir / "b.txt", AOptions, *token);
    TKvDiffModel model(AOptions);
    model.Loaded(std::move(*load));
    return model;
}

std::string Lines(int ACount, const std::string& APrefix = "line ") {
    std::string text;
    for (int i = 0; i < ACount; ++i)
        text += APrefix + std::to_string(i) + "\n";
    return text;
}

} // namespace

TEST(DiffModel, TextStatusLines) {
    TKvDiffModel same = Load("a\nb\n", "a\nb\n");
    EXPECT_TRUE(same.Blocks().empty());
    EXPECT_EQ(same.StatusText(), " Left: UTF-8, LF   Right: UTF-8, LF.   No differences." + KTail);
    EXPECT_FALSE(same.NextBlock());

    // Line endings are not part of the lines, whatever the option says.
    TKvCompareOptions strict;
    strict.IgnoreEol = false;
    TKvDiffModel endings = Load("a\r\nb\r\n", "a\nb\n", strict);
    for (int r = 0; r < endings.RowCount(); ++r)
        EXPECT_EQ(endings.Kind(r), dkSame);
    EXPECT_EQ(endings.StatusText(), " Left: UTF-8, CRLF   Right: UTF-8, LF.   No differences." + KTail);

    TKvCompareOptions trailing;
    trailing.IgnoreTrailingSpace = true;
    TKvDiffModel soft = Load("a  \nb\n", "a\nb\n", trailing);
    EXPECT_EQ(soft.Kind(0), dkSoft);
    EXPECT_EQ(soft.StatusText(), " Left: UTF-8, LF   Right: UTF-8, LF.   The same under the options (1 lines differ "
                                 "only in what is ignored)." + KTail);

    TKvDiffModel bom = Load("\xef\xbb\xbfx\n", "x\ny\n");
    EXPECT_EQ(bom.StatusText(), " Left: UTF-8 BOM, LF   Right: UTF-8, LF. BOM on one side only.   1 difference." + KTail);
    TKvCompareOptions ignoreBom;
    ignoreBom.IgnoreBom = true;
    EXPECT_EQ(Load("\xef\xbb\xbfx\n", "x\n", ignoreBom).StatusText(),
              " Left: UTF-8 BOM, LF   Right: UTF-8, LF. BOM on one side only (ignored).   No differences." + KTail);

    TKvDiffModel two = Load("a\nb\nc\nd\ne\n", "a\nB\nc\nD\ne\n");
    EXPECT_EQ(two.StatusText(), " Left: UTF-8, LF   Right: UTF-8, LF.   2 differences." + KTail);
    TKvDiffModel tabs = Load("\tx\n", "ab\tx\n");
    EXPECT_EQ(tabs.Text(0, dsLeft), "    x");
    EXPECT_EQ(tabs.Text(0, dsRight), "ab  x");
}

TEST(DiffModel, BinaryRowsAndHighlights) {
    std::string left = "0123456789abcdef!", right = "0123456789abcdef";
    left[3] = '\0';
    right[3] = '\0';
    TKvDiffModel model = Load(left, right);
    ASSERT_TRUE(model.Binary());
    ASSERT_EQ(model.RowCount(), 2);
    EXPECT_EQ(model.Kind(0), dkSame);
    EXPECT_EQ(model.Kind(1), dkLeftOnly);
    EXPECT_EQ(model.Blocks(), (std::vector<TKvDiffBlock>{{1, 1, dkLeftOnly}}));
    EXPECT_EQ(model.StatusText(), " Binary, hex view.   1 difference." + KTail);
    EXPECT_FALSE(model.Present(1, dsRight));
    EXPECT_EQ(model.GutterChars(), 0);
    EXPECT_EQ(model.Text(0, dsLeft),
              "00000000  30 31 32 00 34 35 36 37 38 39 61 62 63 64 65 66  012.456789abcdef");
    EXPECT_EQ(model.Text(1, dsLeft), "00000010  21" + std::string(3 * 15 + 1 + 1, ' ') + "!");

    // Every byte the other side lacks or has otherwise is marked at both of its places.
    EXPECT_EQ(ChangedHexColumns("ab", "aX", 0), (TKvCharRanges{{13, 15}, {60, 61}}));
    EXPECT_EQ(ChangedHexColumns("abc", "a", 0), (TKvCharRanges{{13, 15}, {60, 61}, {16, 18}, {61, 62}}));
    // A binary extension decides alone, even for text.
    EXPECT_TRUE(Load("same\n", "same\n", {}, "a.png").Binary());
}

TEST(DiffModel, ChangedPartOfALine) {
    EXPECT_EQ(ChangedRange("abcdef", "abXdef"), (TKvCharRanges{{2, 3}}));
    // An insertion before the last character: the left marks where it went, the right what came.
    EXPECT_EQ(ChangedRange("abc", "abXc"), (TKvCharRanges{{2, 3}}));
    EXPECT_EQ(ChangedRange("abXc", "abc"), (TKvCharRanges{{2, 3}}));
    // Code points, not bytes: one two-byte letter is one column.
    EXPECT_EQ(ChangedRange("x\xc3\xa9y", "x\xc3\xa8y"), (TKvCharRanges{{1, 2}}));
    EXPECT_EQ(ChangedRange("aaa", "aa"), (TKvCharRanges{{2, 3}}));

    TKvDiffModel model = Load("keep\nabcdef\nleft only\n", "keep\nabXdef\n");
    ASSERT_EQ(model.RowCount(), 3);
    EXPECT_EQ(model.Highlights(1, dsLeft), (TKvCharRanges{{2, 3}}));
    EXPECT_EQ(model.Highlights(1, dsRight), (TKvCharRanges{{2, 3}}));
    EXPECT_TRUE(model.Highlights(0, dsLeft).empty()) << "same rows are not marked";
    EXPECT_TRUE(model.Highlights(2, dsLeft).empty()) << "a one-sided row is coloured whole";
    EXPECT_EQ(model.LineNumber(2, dsLeft), 3);
    EXPECT_EQ(model.LineNumber(2, dsRight), 0);
    EXPECT_EQ(model.GutterChars(), 2);

    const TKvColors& palette = KDefaultPalette;
    const TKvColor back = palette[csBackground];
    using TPair = std::pair<TKvColor, TKvColor>;
    EXPECT_EQ(model.Colors(0, dsLeft, palette), (TPair{back, palette[csText]}));
    EXPECT_EQ(model.Colors(1, dsLeft, palette), (TPair{BlendColors(back, KvRgb(0xc0, 0, 0), 40), palette[csFolders]}));
    EXPECT_EQ(model.Colors(2, dsLeft, palette), (TPair{BlendColors(back, KvRgb(0, 0xb0, 0), 40), palette[csFolders]}));
    EXPECT_EQ(model.Colors(2, dsRight, palette).first, BlendColors(back, KvRgb(0, 0, 0), 45));
}

TEST(DiffModel, BlocksNavigationAndStrip) {
    // 100 rows; blocks at rows 10, 50-51 (changed) and 90 (left only).
    std::string left = Lines(100), right = left;
    auto replace = [&](const std::string& AFrom, const std::string& ATo) { right.replace(right.find(AFrom), AFrom.size(), ATo); };
    replace("line 10\n", "LINE 10\n");
    replace("line 50\nline 51\n", "LINE 50\nLINE 51\n");
    replace("line 90\n", "");
    TKvDiffModel model = Load(left, right);
    ASSERT_EQ(model.RowCount(), 100);
    ASSERT_EQ(model.Blocks(), (std::vector<TKvDiffBlock>{{10, 10, dkChanged}, {50, 51, dkChanged}, {90, 90, dkLeftOnly}}));
    model.SetPageRows(20);

    EXPECT_TRUE(model.NextBlock());
    EXPECT_EQ(model.Current(), 10);
    EXPECT_EQ(model.Top(), 7) << "three rows show above the block";
    EXPECT_TRUE(model.NextBlock());
    EXPECT_EQ(model.Current(), 50);
    EXPECT_TRUE(model.NextBlock());
    EXPECT_EQ(model.Current(), 90);
    EXPECT_EQ(model.Top(), 80) << "clamped to the last page";
    EXPECT_FALSE(model.NextBlock()) << "after the last block: a beep, nothing moves";
    EXPECT_EQ(model.Current(), 90);
    EXPECT_EQ(model.Top(), 80);
    EXPECT_TRUE(model.PreviousBlock());
    EXPECT_EQ(model.Current(), 50);
    EXPECT_TRUE(model.PreviousBlock());
    EXPECT_FALSE(model.PreviousBlock());

    // Without a current row the reference is the row above the top.
    model.Home();
    EXPECT_EQ(model.Current(), -1);
    model.ScrollTo(10);
    EXPECT_TRUE(model.NextBlock());
    EXPECT_EQ(model.Current(), 10);
    model.End();
    EXPECT_EQ(model.Top(), 80);
    EXPECT_FALSE(model.ScrollTo(500));
    EXPECT_TRUE(model.ScrollTo(-5));
    EXPECT_EQ(model.Top(), 0);

    // Strip of 200 pixels: 2 pixels a row; a bar is at least 2 high, the outline 3.
    EXPECT_EQ(model.StripBars(200), (std::vector<TKvStripBar>{{20, 22, TKvDiffModel::KChangedBar},
                                                              {100, 104, TKvDiffModel::KChangedBar},
                                                              {180, 182, TKvDiffModel::KOtherBar}}));
    EXPECT_EQ(model.StripBars(50)[0], (TKvStripBar{5, 7, TKvDiffModel::KChangedBar}));
    model.ScrollTo(30);
    EXPECT_EQ(model.StripVisible(200), (std::pair<int, int>{60, 100}));
    EXPECT_EQ(model.StripVisible(10), (std::pair<int, int>{3, 6}));
    EXPECT_EQ(model.StripRowAt(100, 200), 40) << "row 50 in the middle of a 20-row page";
    model.ScrollColumns(-8);
    EXPECT_EQ(model.Col(), 0);
    model.ScrollColumns(16);
    EXPECT_EQ(model.Col(), 16);
}

TEST(DiffModel, LoadFailuresAndCap) {
    TTempDir dir;
    WriteFile(dir / "small.txt", "x\n");
    // 70 MB without writing them: a sparse file.
    const std::string big = dir / "big.txt";
    int fd = ::open(big.c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, 70 * 1000 * 1000), 0);
    ::close(fd);
    auto token = NewCancelToken();
    TKvDiffLoadPtr load = LoadDiff(*LocalFs(), dir / "small.txt", *LocalFs(), big, {}, *token);
    EXPECT_EQ(load->Error, big + ": larger than 64 MB, too large to show side by side");
    TKvDiffModel model({});
    model.Loaded(std::move(*load));
    EXPECT_EQ(model.StatusText(), " " + big + ": larger than 64 MB, too large to show side by side");
    EXPECT_EQ(model.RowCount(), 0);

    // Exactly the cap is refused too, one byte less is read whole.
    fd = ::open(big.c_str(), O_WRONLY | O_TRUNC);
    ASSERT_EQ(::ftruncate(fd, KDiffMaxBytes), 0);
    EXPECT_THROW(ReadWholeFile(*LocalFs(), big, *token), EKvFsError);
    ASSERT_EQ(::ftruncate(fd, KDiffMaxBytes - 1), 0);
    ::close(fd);
    EXPECT_EQ(int64_t(ReadWholeFile(*LocalFs(), big, *token).size()), KDiffMaxBytes - 1);

    load = LoadDiff(*LocalFs(), dir / "gone.txt", *LocalFs(), dir / "small.txt", {}, *token);
    EXPECT_NE(load->Error.find(dir / "gone.txt"), std::string::npos) << load->Error;

    token->Cancel();
    EXPECT_THROW(LoadDiff(*LocalFs(), dir / "small.txt", *LocalFs(), dir / "small.txt", {}, *token), EKvCancelled);
}
