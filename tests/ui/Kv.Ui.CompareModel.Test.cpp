// The compare window's rules without painting: row texts and colours, proposed directions, the
// view, generations, which rows a copy takes and where it puts them, and the status line.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "Kv.FS.Local.h"
#include "Kv.Transfer.Engine.h"
#include "Kv.Ui.CompareModel.h"
#include "KvTestSupport.h"

using namespace kv;
using namespace kv::test;

namespace {

constexpr double KSecond = 1.0 / 86400.0;

TKvCompareRow Row(const std::string& ARelDir, const std::string& AName, TKvCompareState AState, bool AHasLeft = true,
                  bool AHasRight = true) {
    TKvCompareRow row;
    row.RelDir = ARelDir;
    row.Name = AName;
    row.State = AState;
    row.HasLeft = AHasLeft;
    row.HasRight = AHasRight;
    row.Left.Name = row.Right.Name = AName;
    row.Left.Size = 10;
    row.Right.Size = 20;
    return row;
}

TKvCompareModel Model(TKvCompareOptions AOptions = {}, TKvCompareScope AScope = {}) {
    return TKvCompareModel({LocalFs(), "/l", "/l"}, {LocalFs(), "/r", "/r"}, AOptions, AScope);
}

// Records nothing and answers nothing: the copies below must need no question.
class TSilentHost final : public IKvTransferHost {
public:
    void SetPhase(TKvTransferPhase, int, int64_t) override {}
    void SetCurrent(const std::string&, int64_t) override {}
    void SetProgress(int64_t, int64_t, int) override {}
    TKvPromptAnswer Ask(TKvPromptKind, const std::string& AText, const IKvCancelToken&, bool&) override {
        ADD_FAILURE() << "unexpected question: " << AText;
        return paCancel;
    }
};

} // namespace

TEST(CompareModel, RowTextsAndColours) {
    const TKvColors& colors = KDefaultPalette;
    struct TCase {
        TKvCompareState State;
        const char* Label;
        TKvColor Color;
    } cases[] = {
        {crPending, "waiting", colors[csHidden]},     {crSame, "same", colors[csText]},
        {crSameText, "same text", colors[csText]},    {crDiffer, "differs", KCompareAlarm},
        {crLeftOnly, "left only", colors[csFileNames]}, {crRightOnly, "right only", colors[csFileNames]},
        {crKindClash, "file/folder", KCompareAlarm},  {crError, "error", KCompareAlarm},
    };
    for (const auto& c : cases) {
        TKvCompareItem item{Row("", "a", c.State)};
        EXPECT_STREQ(StateLabel(item), c.Label);
        EXPECT_EQ(StateColor(item, colors), c.Color) << c.Label;
        EXPECT_EQ(NameColor(item, colors), c.Color) << c.Label;
        item.Copying = true;
        EXPECT_STREQ(StateLabel(item), "copying");
        EXPECT_EQ(StateColor(item, colors), colors[csHidden]);
    }
    // A marked row's name wins over a folder's colour, which wins over the state's.
    TKvCompareItem folder{Row("", "d", crLeftOnly, true, false)};
    folder.Row.Left.IsDir = true;
    EXPECT_EQ(NameColor(folder, colors), colors[csFolders]);
    folder.Marked = true;
    EXPECT_EQ(NameColor(folder, colors), colors[csMarked]);

    EXPECT_EQ(SideSizeText(folder.Row, rsLeft), "<DIR>");
    EXPECT_EQ(SideSizeText(folder.Row, rsRight), "");
    EXPECT_EQ(SideDateText(folder.Row, rsRight), "");
    TKvCompareRow big = Row("", "f", crDiffer);
    big.Left.Size = 1234567;
    EXPECT_EQ(SideSizeText(big, rsLeft), FormatBytes(1234567));

    auto model = Model();
    TKvCompareRow nested = Row("a/b", "c", crDiffer);
    EXPECT_EQ(model.DisplayPath(nested), "a/b/c");
    nested.Left.IsDir = true;
    EXPECT_EQ(model.DisplayPath(nested), "a/b/c/");
    EXPECT_EQ(model.SideDisplayName(rsLeft, nested), "/l/a/b/c");
    TKvCompareModel rooted({LocalFs(), "/", "/"}, {LocalFs(), "/r", "sftp:/r/"}, {}, {});
    EXPECT_EQ(rooted.SideDisplayName(rsLeft, nested), "/a/b/c") << "no second separator after a title's own";
    EXPECT_EQ(rooted.SideDisplayName(rsRight, nested), "sftp:/r/a/b/c");
    EXPECT_EQ(rooted.SidePath(rsRight, nested), "/r/a/b/c");
}

TEST(CompareModel, ProposedAndAllowedDirections) {
    auto differ = [](double ALeft, double ARight) {
        TKvCompareRow row = Row("", "f", crDiffer);
        row.Left.Modified = ALeft;
        row.Right.Modified = ARight;
        return DefaultAction(row);
    };
    const double t = 45000.5;
    EXPECT_EQ(differ(t + KSecond, t), saNone) << "one second newer is within the slack";
    EXPECT_EQ(differ(t + 3 * KSecond, t), saToRight);
    EXPECT_EQ(differ(t, t + 3 * KSecond), saToLeft);
    EXPECT_EQ(differ(0, t), saNone) << "an unknown time proposes nothing";
    EXPECT_EQ(DefaultAction(Row("", "f", crLeftOnly, true, false)), saToRight);
    EXPECT_EQ(DefaultAction(Row("", "f", crRightOnly, false, true)), saToLeft);
    EXPECT_EQ(DefaultAction(Row("", "f", crSameText)), saNone);

    struct TCase {
        TKvCompareState State;
        bool HasLeft, HasRight;
        bool ToRight, ToLeft;
    } cases[] = {
        {crSame, true, true, true, true},          {crDiffer, true, true, true, true},
        {crLeftOnly, true, false, true, false},    {crRightOnly, false, true, false, true},
        {crKindClash, true, true, false, false},   {crError, true, true, false, false},
        {crPending, true, true, false, false},
    };
    for (const auto& c : cases) {
        TKvCompareItem item{Row("", "f", c.State, c.HasLeft, c.HasRight)};
        EXPECT_EQ(ActionAllowed(item, saToRight), c.ToRight) << StateLabel(item);
        EXPECT_EQ(ActionAllowed(item, saToLeft), c.ToLeft) << StateLabel(item);
        EXPECT_TRUE(ActionAllowed(item, saNone));
        item.Copying = true;
        EXPECT_FALSE(ActionAllowed(item, saNone)) << "a row being copied takes nothing";
    }
}

TEST(CompareModel, GenerationsKeepStaleRowsOut) {
    auto model = Model();
    const int first = model.BeginRun();
    EXPECT_TRUE(model.RowsArrived(first, {Row("", "a", crDiffer)}, 1, "a", 1));
    const int second = model.BeginRun();
    EXPECT_EQ(model.ItemCount(), 0) << "a new run starts empty";
    EXPECT_FALSE(model.RowsArrived(first, {Row("", "stale", crDiffer)}, 9, "x", 9));
    EXPECT_FALSE(model.RunFinished(first, "old failure"));
    EXPECT_EQ(model.ItemCount(), 0);
    EXPECT_TRUE(model.Running());
    EXPECT_TRUE(model.RowsArrived(second, {Row("", "b", crLeftOnly, true, false)}, 1, "", 1));

    // Esc keeps what came and drops what is still on its way.
    EXPECT_TRUE(model.Stop());
    EXPECT_FALSE(model.Stop()) << "nothing runs any more";
    EXPECT_FALSE(model.RowsArrived(second, {Row("", "late", crDiffer)}, 2, "", 2));
    EXPECT_FALSE(model.RunFinished(second, ""));
    ASSERT_EQ(model.ItemCount(), 1);
    EXPECT_EQ(model.StatusText().rfind(" Stopped: 0 same, 0 differ, 1 left only, 0 right only", 0), 0u);

    // A recheck runs under its own generation; a new run supersedes it.
    TKvCopyPlan plan = model.PlanCopy();
    model.MarkCopying(plan);
    std::vector<int> indices;
    std::vector<TKvCompareRow> rows;
    int gen = 0;
    ASSERT_TRUE(model.BeginRecheck(indices, rows, gen));
    EXPECT_EQ(indices, std::vector<int>{0});
    EXPECT_FALSE(model.BeginRecheck(indices, rows, gen)) << "one job at a time";
    rows[0].State = crSame;
    rows[0].HasRight = true;
    EXPECT_TRUE(model.RecheckArrived(gen, indices, rows));
    EXPECT_EQ(model.Item(0).Row.State, crSame);
    EXPECT_FALSE(model.Item(0).Copying);
    EXPECT_EQ(model.Item(0).Action, saNone);
    model.MarkCopying(plan);
    ASSERT_TRUE(model.BeginRecheck(indices, rows, gen));
    model.BeginRun();
    EXPECT_FALSE(model.RecheckArrived(gen, indices, rows));
}

TEST(CompareModel, ViewMarksAndDirections) {
    TKvCompareOptions options;
    options.ShowSame = false;
    auto model = Model(options);
    const int gen = model.BeginRun();
    TKvCompareRow clash = Row("", "k", crKindClash);
    clash.Left.IsDir = true;
    model.RowsArrived(gen,
                      {Row("", "s1", crSame), Row("", "d1", crDiffer), Row("", "s2", crSameText), clash,
                       Row("", "l1", crLeftOnly, true, false), Row("", "r1", crRightOnly, false, true)},
                      1, "", 5);
    model.RunFinished(gen, "");
    ASSERT_EQ(model.ViewCount(), 4);
    EXPECT_EQ(model.ViewRow(0).Row.Name, "d1");
    EXPECT_EQ(model.StatusText(),
              " 2 same, 2 differ, 1 left only, 1 right only   to copy: 1 \xe2\x86\x92, 1 \xe2\x86\x90 (F5)"
              "   F3 side by side, \xe2\x86\x92/\xe2\x86\x90 direction, Enter go to");

    // Showing the same rows needs no new run; the selection stays on its row.
    model.Options().ShowSame = true;
    EXPECT_EQ(model.RebuildView(0), 1) << "d1 moved down one";
    EXPECT_EQ(model.ViewCount(), 6);
    model.Options().ShowDiffer = false;
    EXPECT_EQ(model.RebuildView(1), 1) << "d1 hidden: the next shown row, s2";
    EXPECT_EQ(model.RebuildView(3), 3);

    // A single unmarked row that cannot take the direction refuses (the window beeps).
    model.Options().ShowDiffer = true;
    model.RebuildView(0);
    bool single = false;
    EXPECT_FALSE(model.SetDirection(3, saToRight, single));
    EXPECT_TRUE(single);
    EXPECT_EQ(model.ViewRow(3).Action, saNone);
    // Marked rows take it where they can, silently.
    model.ToggleMark(0);
    model.ToggleMark(3);
    model.ToggleMark(5);
    EXPECT_TRUE(model.SetDirection(1, saToLeft, single));
    EXPECT_FALSE(single);
    EXPECT_EQ(model.ViewRow(0).Action, saToLeft);
    EXPECT_EQ(model.ViewRow(3).Action, saNone);
    EXPECT_EQ(model.ViewRow(5).Action, saToLeft) << "the right-only row already went left";
    EXPECT_EQ(model.ViewRow(1).Action, saNone) << "the selected row is not a target while others are marked";

    model.MarkAll();
    for (int i = 0; i < model.ViewCount(); ++i)
        EXPECT_TRUE(model.ViewRow(i).Marked);
    model.MarkAll();
    for (int i = 0; i < model.ViewCount(); ++i)
        EXPECT_FALSE(model.ViewRow(i).Marked);

    // The Copy column's click steps through the directions the row allows.
    model.CycleAction(4); // l1, proposed to the right
    EXPECT_EQ(model.ViewRow(4).Action, saNone);
    model.CycleAction(4);
    EXPECT_EQ(model.ViewRow(4).Action, saToRight);
    model.CycleAction(4);
    EXPECT_EQ(model.ViewRow(4).Action, saNone) << "a left-only row never goes left";
    model.CycleAction(3);
    EXPECT_EQ(model.ViewRow(3).Action, saNone);
}

TEST(CompareModel, CopyPlanGroupsAndDestinations) {
    TTempDir root;
    auto model = TKvCompareModel({LocalFs(), root / "l", "L"}, {LocalFs(), root / "r", "R"}, {}, {});
    const int gen = model.BeginRun();
    TKvCompareRow a1 = Row("Docs", "a1", crLeftOnly, true, false), a2 = Row("Docs", "a2", crDiffer);
    a1.LeftDir = a2.LeftDir = "Docs";
    a1.RightDir = a2.RightDir = "docs"; // the right side spells the folder in lower case
    a2.Left.Modified = 45000 + 10 * KSecond;
    a2.Right.Modified = 45000;
    TKvCompareRow b = Row("x", "b", crLeftOnly, true, false);
    TKvCompareRow back = Row("", "back", crRightOnly, false, true);
    TKvCompareRow readme = Row("", "Readme.txt", crDiffer);
    readme.Right.Name = "README.TXT";
    TKvCompareRow hidden = Row("", "hidden", crSame);
    model.RowsArrived(gen, {a1, b, a2, back, readme, hidden}, 3, "", 6);
    model.RunFinished(gen, "");
    model.Options().ShowSame = true;
    model.RebuildView(0);
    bool single;
    model.SetDirection(4, saToLeft, single);  // readme, right to left
    model.SetDirection(5, saToRight, single); // hidden, then hidden from view again
    model.Options().ShowSame = false;
    model.RebuildView(0);

    TKvCopyPlan plan = model.PlanCopy();
    ASSERT_EQ(plan.Requests.size(), 4u);
    EXPECT_EQ(plan.ToRight, 3);
    EXPECT_EQ(plan.ToLeft, 2);
    EXPECT_EQ(plan.BytesToRight, 30);
    EXPECT_EQ(plan.BytesToLeft, 40);
    // Rows to the right in one folder share a request into the destination's own spelling; a
    // folder destination ends with a separator.
    const auto& docs = plan.Requests[0];
    EXPECT_EQ(docs.SourceDir, root / "l/Docs");
    EXPECT_EQ(docs.DestPath, root / "r/docs/");
    ASSERT_EQ(docs.Items.size(), 2u);
    EXPECT_EQ(docs.Items[0].Name, "a1");
    EXPECT_EQ(docs.Items[1].Name, "a2");
    EXPECT_TRUE(docs.Overwrite);
    EXPECT_EQ(docs.Kind, tkCopy);
    EXPECT_EQ(plan.Requests[1].DestPath, root / "r/x/");
    EXPECT_EQ(plan.Requests[2].SourceDir, root / "r");
    EXPECT_EQ(plan.Requests[2].DestPath, root / "l/");
    // A file that paired without regard to case replaces the other side's spelling.
    EXPECT_EQ(plan.Requests[3].SourceDir, root / "r");
    EXPECT_EQ(plan.Requests[3].DestPath, root / "l/Readme.txt");
    EXPECT_EQ(plan.Requests[3].Items[0].Name, "README.TXT");
    EXPECT_EQ(model.ConfirmText(plan), "Copy 3 item(s), " + FormatSize(30) + ", from the left to the right:\r\nR" +
                                           "\r\n\r\nCopy 2 item(s), " + FormatSize(40) +
                                           ", from the right to the left:\r\nL" +
                                           "\r\n\r\nFiles that are there are replaced without asking.");

    model.MarkCopying(plan);
    EXPECT_NE(model.StatusText().find("2 left only, 1 right only   copying 5   F3"), std::string::npos) << model.StatusText();
    EXPECT_TRUE(model.PlanCopy().Taken.empty()) << "rows being copied take no second copy";

    // Only hidden rows with a direction: nothing is taken.
    auto other = Model();
    int g = other.BeginRun();
    other.RowsArrived(g, {Row("", "s", crSame)}, 1, "", 1);
    other.Options().ShowSame = true;
    other.RebuildView(-1);
    other.SetDirection(0, saToRight, single);
    other.Options().ShowSame = false;
    other.RebuildView(-1);
    EXPECT_TRUE(other.PlanCopy().Requests.empty());
}

// The requests through the real engine: a destination folder that is gone is made under the
// destination's spelling, and a single file never becomes a file named like the folder.
TEST(CompareModel, CopyIntoMissingFolderKeepsSpelling) {
    TTempDir root;
    ::mkdir((root / "l").c_str(), 0755);
    ::mkdir((root / "l/Docs").c_str(), 0755);
    ::mkdir((root / "r").c_str(), 0755);
    WriteFile(root / "l/Docs/only.txt", "one");
    auto model = TKvCompareModel({LocalFs(), root / "l", "L"}, {LocalFs(), root / "r", "R"}, {}, {});
    const int gen = model.BeginRun();
    TKvCompareRow row = Row("Docs", "only.txt", crLeftOnly, true, false);
    row.LeftDir = "Docs";
    row.RightDir = "docs";
    model.RowsArrived(gen, {row}, 2, "", 1);
    for (const auto& request : model.PlanCopy().Requests) {
        TKvRun run(request, NewCancelToken(), std::make_shared<TSilentHost>());
        TKvTransferResult result = run.Execute();
        EXPECT_EQ(result.Failed, 0) << result.FirstProblem;
    }
    EXPECT_EQ(ReadFile(root / "r/docs/only.txt"), "one");
    EXPECT_FALSE(Exists(root / "r/Docs"));
}

TEST(CompareModel, StatusLinesAndLayout) {
    TKvCompareScope scope;
    scope.Names = {"a", "b"};
    scope.Filters = {"rep"};
    auto model = Model({}, scope);
    EXPECT_EQ(model.WindowTitle(), "Compare - /l  <->  /r  (only 2 marked, filter rep)");
    const int gen = model.BeginRun();
    model.RowsArrived(gen, {}, 1234, "sub/file", 5);
    EXPECT_EQ(model.StatusText(), " Comparing... 5 files in " + FormatBytes(1234) +
                                      " folders   sub/file   (Esc to stop)   [only 2 marked, filter rep]");
    model.RunFinished(gen, "/l: No such file or directory");
    EXPECT_EQ(model.StatusText(),
              " The comparison failed: /l: No such file or directory   [only 2 marked, filter rep]");
    const int next = model.BeginRun();
    model.RowsArrived(next, {Row("", "e", crError)}, 1, "", 1);
    model.RunFinished(next, "");
    EXPECT_EQ(model.StatusText(), " 0 same, 0 differ, 0 left only, 0 right only, 1 errors   F3 side by side, "
                                  "\xe2\x86\x92/\xe2\x86\x90 direction, Enter go to   [only 2 marked, filter rep]");

    auto identity = [](int AValue) { return AValue; };
    auto e = CompareColumnEdges(1150, identity);
    // (1150 - 430 - 85 - 40) * 55 / 100 = 327
    EXPECT_EQ(e, (std::array<int, 9>{0, 327, 417, 542, 627, 667, 757, 882, 1150}));
    auto narrow = CompareColumnEdges(300, identity);
    EXPECT_EQ(narrow[1], 88) << "the name column keeps 55% of its minimum";
    EXPECT_EQ(narrow[8], narrow[7] + 40) << "the note column never vanishes";
    auto wide = CompareColumnEdges(1150, identity, 9);
    EXPECT_EQ(wide[3] - wide[2], 16 * 9 + 8) << "a wide font's date still fits";
    EXPECT_EQ(wide[4] - wide[3], 11 * 9 + 8);
    EXPECT_EQ(wide[2] - wide[1], 90);
}
