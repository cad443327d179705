#include <gtest/gtest.h>

#include "Kv.Shell.Words.h"
#include "VtTestUtil.h"

using namespace kv;
using namespace kv::test;

namespace {

// The candidate words of screen row 0 after printing ALine.
std::vector<TKvWord> RowWords(const std::string& ALine, int ACols = 80) {
    TVt vt(ACols, 3);
    vt << ALine;
    return WordsOnRow(LogicalWords(vt.Screen, vt.Screen.BackCount()), vt.Screen.BackCount(), ACols);
}

std::vector<std::string> Texts(const std::vector<TKvWord>& AWords) {
    std::vector<std::string> texts;
    for (const auto& word : AWords)
        texts.push_back(word.Text);
    return texts;
}

using TTexts = std::vector<std::string>;

TEST(ShellWords, LongListingOffersOnlyTheNameColumn) {
    auto words = RowWords("-rw-r--r-- 1 ann staff 120 Jan  5 12:30 notes 2024.txt");
    EXPECT_EQ(words, (std::vector<TKvWord>{{"notes", 40, 45, false},
                                           {"notes 2024.txt", 40, 54, false},
                                           {"2024.txt", 46, 54, false}}));
    EXPECT_EQ(Texts(RowWords("-rw-r--r-- 1 ann staff 120 Jan  5  2023 report.pdf")),
              TTexts{"report.pdf"});
    EXPECT_EQ(Texts(RowWords("12345 drwxr-xr-x 2 ann staff 4096 Mar 10 09:15 src/")),
              TTexts{"src"});
    EXPECT_EQ(
        Texts(RowWords("-rw-r--r--  1 ann staff 5 \xd1\x8f\xd0\xbd\xd0\xb2. 5 2023 \xd1\x84.txt")),
        TTexts{"\xd1\x84.txt"})
        << "month names of any alphabet";
    EXPECT_TRUE(RowWords("drwxr-xr-x 2 ann staff 4096 Jan 5 12:30").empty())
        << "a listing without a name";
}

TEST(ShellWords, NameStartIndex) {
    using TTokens = std::vector<std::string_view>;
    EXPECT_EQ(NameStartIndex(TTokens{"ls", "-l"}), 0);
    EXPECT_EQ(NameStartIndex(TTokens{}), 0);
    EXPECT_EQ(NameStartIndex(TTokens{"-rw-r--r--", "1", "a"}), 3) << "too short for a name column";
    EXPECT_EQ(NameStartIndex(TTokens{"-rw-r--r--", "1", "a", "b", "5", "Jan", "5", "12:30", "x"}),
              8);
    EXPECT_EQ(NameStartIndex(TTokens{"-rw-r--r--", "1", "a", "b", "5", "Jan", "5", "2023", "x"}),
              8);
    EXPECT_EQ(
        NameStartIndex(TTokens{"7", "-rw-r--r--", "1", "a", "b", "5", "Jan", "5", "12:30", "x"}),
        9);
    EXPECT_EQ(NameStartIndex(TTokens{"-rw-r--r--", "1", "a", "b", "5", "2023-01-05", "x"}), 7)
        << "no clock and no year: the whole line is columns";
    // ISO dates with a time: the clock still ends the columns.
    EXPECT_EQ(
        NameStartIndex(TTokens{"-rw-r--r--", "1", "a", "b", "5", "2023-01-05", "12:30", "x y"}), 7);
}

TEST(ShellWords, CleanTokenTrimsMarksAndRejectsNonNames) {
    struct TCase {
        std::string Raw;
        bool Ok;
        std::string Name;
        bool WantDir;
        int AtEnd, AtStart;
    };
    const TCase cases[] = {
        {"(build/)", true, "build", true, 2, 1},
        {"'notes.txt',", true, "notes.txt", false, 2, 1},
        {"run.sh*", true, "run.sh", false, 1, 0},
        {"dir///", true, "dir", true, 3, 0},
        {"/", true, "/", false, 0, 0},
        {"a|", true, "a", false, 1, 0},
        {"*", true, "*", false, 0, 0},
        {"-v", false, "", false, 0, 0},
        {"~", false, "", false, 0, 0},
        {"~/x", false, "", false, 0, 0},
        {"..", false, "", false, 0, 0},
        {".", false, "", false, 0, 0},
        {"\"\"", false, "", false, 0, 0},
        {"drwxr-xr-x", false, "", false, 0, 0},
        {"-rw-r--r--@", false, "", false, 0, 0},
        {"a\tb", false, "", false, 0, 0},
        {std::string(300, 'x'), false, "", false, 0, 0},
        {std::string(255, 'x'), true, std::string(255, 'x'), false, 0, 0},
    };
    for (const auto& c : cases) {
        TKvCleanName clean;
        ASSERT_EQ(CleanToken(c.Raw, clean), c.Ok) << c.Raw;
        if (!c.Ok)
            continue;
        EXPECT_EQ(clean.Name, c.Name) << c.Raw;
        EXPECT_EQ(clean.WantDir, c.WantDir) << c.Raw;
        EXPECT_EQ(clean.TrimmedAtEnd, c.AtEnd) << c.Raw;
        EXPECT_EQ(clean.TrimmedAtStart, c.AtStart) << c.Raw;
    }
    EXPECT_TRUE(IsPermissionText("crw-rw----+"));
    EXPECT_FALSE(IsPermissionText("xrw-rw----"));
    EXPECT_FALSE(IsPermissionText("-rw-rw-"));
}

TEST(ShellWords, NamesSpanSingleBlanksButNotPathsOrWiderGaps) {
    EXPECT_EQ(RowWords("(build/)"), (std::vector<TKvWord>{{"build", 1, 6, true}}));
    EXPECT_EQ(Texts(RowWords("a  b")), (TTexts{"a", "b"}));
    EXPECT_EQ(Texts(RowWords("a b")), (TTexts{"a", "a b", "b"}));
    EXPECT_EQ(Texts(RowWords("a/b c")), (TTexts{"a/b", "c"}));
    EXPECT_EQ(Texts(RowWords("p q r s t")),
              (TTexts{"p", "p q", "p q r", "p q r s", "q", "q r", "q r s", "q r s t", "r", "r s",
                      "r s t", "s", "s t", "t"}))
        << "at most four tokens, three blanks";
    EXPECT_EQ(Texts(RowWords("-v ~ .. drwxr-xr-x")), (TTexts{".. drwxr-xr-x"}))
        << "none alone, nor anything starting with an option or ~";
    // Wide characters take two cells each.
    EXPECT_EQ(RowWords("\xe4\xb8\xad\xe6\x96\x87.txt x"),
              (std::vector<TKvWord>{{"\xe4\xb8\xad\xe6\x96\x87.txt", 0, 8, false},
                                    {"\xe4\xb8\xad\xe6\x96\x87.txt x", 0, 10, false},
                                    {"x", 9, 10, false}}));
}

TEST(ShellWords, WrappedNameIsFoundOnceAndShownOnBothRows) {
    TVt vt(10, 4);
    vt << "ls; cat long_name.txt";
    // Rows: "ls; cat lo" (wrapped), "ng_name.tx" (wrapped), "t".
    TKvLogicalWords fromFirst = LogicalWords(vt.Screen, 0);
    TKvLogicalWords fromLast = LogicalWords(vt.Screen, 2);
    EXPECT_EQ(fromFirst.FirstIndex, 0);
    EXPECT_EQ(fromLast.FirstIndex, 0);
    EXPECT_EQ(fromFirst.Words, fromLast.Words);
    auto found = std::find_if(fromFirst.Words.begin(), fromFirst.Words.end(),
                              [](const TKvWord& AWord) { return AWord.Text == "long_name.txt"; });
    ASSERT_NE(found, fromFirst.Words.end());
    EXPECT_EQ(found->ColFrom, 8);
    EXPECT_EQ(found->ColTo, 21);

    auto onRow = [&](int ARow) {
        for (const auto& word : WordsOnRow(fromFirst, ARow, 10)) {
            if (word.Text == "long_name.txt")
                return std::make_pair(word.ColFrom, word.ColTo);
        }
        return std::make_pair(-1, -1);
    };
    EXPECT_EQ(onRow(0), std::make_pair(8, 10));
    EXPECT_EQ(onRow(1), std::make_pair(0, 10));
    EXPECT_EQ(onRow(2), std::make_pair(0, 1));
    EXPECT_EQ(onRow(3), std::make_pair(-1, -1));
}

TEST(ShellWords, LogicalLinesSpanAtMostEightRows) {
    TVt vt(4, 12, 0);
    vt << std::string(4 * 11, 'x');
    TKvLogicalWords fromEnd = LogicalWords(vt.Screen, 10);
    EXPECT_EQ(fromEnd.FirstIndex, 3);
    ASSERT_FALSE(fromEnd.Words.empty());
    EXPECT_EQ(fromEnd.Words[0].ColTo, 4 * 8)
        << "cells of eight rows, going up from the row asked for";
    TKvLogicalWords fromStart = LogicalWords(vt.Screen, 0);
    EXPECT_EQ(fromStart.FirstIndex, 0);
    EXPECT_EQ(fromStart.Words[0].ColTo, 4 * 8);
    // Outside the lines, nothing.
    EXPECT_TRUE(LogicalWords(vt.Screen, 40).Words.empty());
}

} // namespace
