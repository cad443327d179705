#include <gtest/gtest.h>

#include "Kv.Ui.PanelModel.h"

using namespace kv;

namespace {

TKvFileEntries Entries(std::initializer_list<std::pair<const char*, int64_t>> AFiles,
                       int ADirs = 0) {
    TKvFileEntries entries;
    for (int i = 0; i < ADirs; ++i) {
        TKvFileEntry dir;
        dir.Name = "dir" + std::to_string(i);
        dir.IsDir = true;
        entries.push_back(dir);
    }
    for (auto [name, size] : AFiles) {
        TKvFileEntry file;
        file.Name = name;
        file.Size = size;
        entries.push_back(file);
    }
    SortEntries(entries, scName, false);
    return entries;
}

std::string RowNames(const TKvPanelModel& AModel) {
    std::string out;
    for (int i = 0; i < AModel.RowCount(); ++i)
        out += (i ? " " : "") + AModel.Row(i).Name + (AModel.Marked(i) ? "*" : "");
    return out;
}

} // namespace

TEST(PanelModel, ReloadKeepsMarksFocusAndScroll) {
    TKvPanelModel model;
    model.SetPageRows(3);
    model.Apply(Entries({{"a", 1}, {"b", 2}, {"c", 3}, {"d", 4}, {"e", 5}}), true, false, "");
    EXPECT_EQ(RowNames(model), ".. a b c d e");
    model.SetFocus(4);
    model.ToggleMarkAndAdvance(); // marks d, moves to e
    model.SetFocus(1);
    model.ToggleMarkAndAdvance(); // marks a
    model.SetFocus(5);
    const int top = model.Top();
    // Reloaded after a copy: "b" is gone, "f" is new.
    model.Apply(Entries({{"a", 1}, {"c", 3}, {"d", 4}, {"e", 5}, {"f", 6}}), true, true, "e");
    EXPECT_EQ(RowNames(model), ".. a* c d* e f");
    EXPECT_EQ(model.FocusedName(), "e");
    EXPECT_EQ(model.Top(), top);
    EXPECT_EQ(model.Summary(), "Marked 2, 5 B");

    // Another folder: marks and filter go.
    model.SetFilter("f");
    model.Apply(Entries({{"x", 1}}), false, false, "");
    EXPECT_EQ(RowNames(model), "x");
    EXPECT_EQ(model.Filter(), "");
}

TEST(PanelModel, FocusPrefersTheExactName) {
    TKvPanelModel model;
    model.Apply(Entries({{"a.txt", 1}, {"A.txt", 1}}), false, false, "A.txt");
    EXPECT_EQ(model.FocusedName(), "A.txt");
    model.Apply(Entries({{"a.txt", 1}, {"A.txt", 1}}), false, false, "a.txt");
    EXPECT_EQ(model.FocusedName(), "a.txt");
    model.Apply(Entries({{"Readme", 1}, {"zz", 1}}), false, false, "README");
    EXPECT_EQ(model.FocusedName(), "Readme"); // no exact match: case is ignored
}

TEST(PanelModel, QuickFilterAndMarks) {
    TKvPanelModel model;
    model.Apply(Entries({{"report.txt", 10}, {"Prepare.doc", 20}, {"notes", 30}}, 1), true, false,
                "notes");
    model.SetFilter("rep");
    EXPECT_EQ(RowNames(model), ".. Prepare.doc report.txt");
    EXPECT_EQ(model.Focus(), 1); // the first match, after ".."
    model.MarkAll();
    EXPECT_EQ(RowNames(model), ".. Prepare.doc* report.txt*");
    model.SetFilter("");
    EXPECT_EQ(RowNames(model), ".. dir0 notes Prepare.doc* report.txt*");
    EXPECT_EQ(model.FocusedName(), "Prepare.doc");
    model.InvertMarks();
    EXPECT_EQ(RowNames(model), ".. dir0* notes* Prepare.doc report.txt");
    model.ClearMarks();
    EXPECT_EQ(model.SelectByMask("*.txt; *.doc", true), 2);
    EXPECT_EQ(model.SelectByMask("dir*", true), 0); // folders are not selected by masks
    EXPECT_EQ(model.SelectByMask("*.doc", false), 1);
    EXPECT_EQ(RowNames(model), ".. dir0 notes Prepare.doc report.txt*");

    // Insert on the last row marks it and stays there; ".." is never marked.
    model.ClearMarks();
    model.SetFocus(model.RowCount() - 1);
    model.ToggleMarkAndAdvance();
    EXPECT_EQ(model.Focus(), model.RowCount() - 1);
    EXPECT_TRUE(model.Marked(model.RowCount() - 1));
    model.SetFocus(0);
    model.ToggleMarkAndAdvance();
    EXPECT_FALSE(model.Marked(0));
    EXPECT_EQ(model.Focus(), 1);

    model.ClearMarks();
    TKvFileEntry entry;
    model.SetFocus(0);
    EXPECT_TRUE(model.SelectedEntries().empty()); // ".." alone is no selection
    model.SetFocus(2);
    ASSERT_EQ(model.SelectedEntries().size(), 1u);
    EXPECT_EQ(model.SelectedEntries()[0].Name, "notes");
}

TEST(PanelModel, TypeAheadStartsOverAfterAPause) {
    TKvPanelModel model;
    model.Apply(Entries({{"alpha", 1}, {"beta", 1}, {"bravo", 1}, {"Brown", 1}}), true, false, "");
    model.TypeAhead("b", 1000);
    EXPECT_EQ(model.FocusedName(), "beta");
    model.TypeAhead("r", 1500);
    EXPECT_EQ(model.FocusedName(), "bravo");
    model.TypeAhead("o", 1900);
    EXPECT_EQ(model.FocusedName(), "Brown");
    model.TypeAhead("a", 3000); // more than a second later: a new search
    EXPECT_EQ(model.FocusedName(), "alpha");
}

TEST(PanelModel, SortingHeaderTextsAndStatus) {
    TKvPanelModel model;
    model.Apply(Entries({{"b.txt", 300}, {"a.log", 5000}, {"c", 20}}, 1), false, false, "c");
    EXPECT_EQ(model.HeaderText(hhName), "Name ^");
    model.SortBy(scSize);
    EXPECT_EQ(RowNames(model), "dir0 c b.txt a.log");
    EXPECT_EQ(model.FocusedName(), "c");
    EXPECT_EQ(model.HeaderText(hhSize), "Size ^");
    EXPECT_EQ(model.HeaderText(hhName), "Name");
    model.SetFocus(2);
    model.ToggleMarkAndAdvance(); // marks b.txt
    model.SortBy(scSize);
    // Marks belong to names, not to places in the list.
    EXPECT_EQ(RowNames(model), "dir0 a.log b.txt* c");
    EXPECT_EQ(model.HeaderText(hhSize), "Size v");
    model.SetFilter("t");
    EXPECT_EQ(RowNames(model), "b.txt*");
    model.SetFilter("");
    EXPECT_EQ(RowNames(model), "dir0 a.log b.txt* c");
    model.ClearMarks();
    model.SortBy(scExt);
    EXPECT_EQ(model.HeaderText(hhName), "Name (ext) ^");
    EXPECT_EQ(model.Summary(), "3 files, 1 dirs, 5.2 KB");
    EXPECT_EQ(model.SizeText(0), "<DIR>");
    model.Apply(Entries({{"big", 1234567}}), true, false, "");
    EXPECT_EQ(model.SizeText(0), "<UP>");
    EXPECT_EQ(model.SizeText(1), "1,234,567");
    EXPECT_EQ(model.DateText(0), "");
}

TEST(PanelModel, ColumnsNarrowAndDrag) {
    TKvPanelModel model; // size 100, date 130, name at least 80
    struct {
        int Width;
        bool Size, Date;
    } cases[] = {{400, true, true},
                 {310, true, true},
                 {309, true, false},
                 {180, true, false},
                 {179, false, false}};
    for (auto c : cases) {
        auto layout = model.Layout(c.Width, 1.0);
        EXPECT_EQ(layout.ShowSize, c.Size) << c.Width;
        EXPECT_EQ(layout.ShowDate, c.Date) << c.Width;
    }
    auto layout = model.Layout(400, 1.0);
    EXPECT_EQ(layout.SizeStart, 170);
    EXPECT_EQ(layout.DateStart, 270);
    EXPECT_EQ(model.HitHeader(100, 400, 1.0), hhName);
    EXPECT_EQ(model.HitHeader(172, 400, 1.0), hhSizeDivider);
    EXPECT_EQ(model.HitHeader(200, 400, 1.0), hhSize);
    EXPECT_EQ(model.HitHeader(300, 400, 1.0), hhTime);

    // Dragging is clamped to 40..800 at 96 dpi, whatever the screen's scale.
    EXPECT_TRUE(model.DragDivider(hhSizeDivider, 260, 400, 1.0));
    EXPECT_EQ(model.SizeColumn(), 40);
    EXPECT_TRUE(model.DragDivider(hhDateDivider, -2000, 400, 2.0));
    EXPECT_EQ(model.DateColumn(), 800);
    EXPECT_TRUE(model.DragDivider(hhDateDivider, 200, 400, 2.0));
    EXPECT_EQ(model.DateColumn(), 100);
    EXPECT_FALSE(model.DragDivider(hhDateDivider, 200, 400, 2.0));
}
