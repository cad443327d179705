#include <gtest/gtest.h>

#include "Kv.FileSystem.h"

using namespace kv;

TEST(Masks, MatchesMaskTable) {
    struct {
        const char* Name;
        const char* Mask;
        bool Matches;
    } cases[] = {
        {"README", "*.*", true},      // "*.*" takes names without a dot too
        {"REPORT.TXT", "*.txt", true}, // case does not matter
        {"report.txt", "*.TXT", true},
        {"abc", "a?", false},
        {"abc", "a*", true},
        {"", "*", true},
        {"", "?", false},
        {"a.b.c", "*.c", true},
        {"a.b.c", "*.b", false},
        {"aXbXc", "a*b*c", true},
        {"abcabd", "*abd", true}, // the star has to give back what it swallowed
        {"abcabc", "*abd", false},
        {"Überweisung.pdf", "über*", true},
        {"ДОКУМЕНТ.doc", "документ.*", true},
        {"x.tar.gz", "*.tar.gz", true},
        {"file1", "file?", true},
        {"file10", "file?", false},
        {"café", "caf?", true}, // "?" is one character, not one byte
    };
    for (const auto& c : cases)
        EXPECT_EQ(MatchesMask(c.Name, c.Mask), c.Matches) << c.Name << " ~ " << c.Mask;
}

TEST(Masks, QuickFilterAndMaskLists) {
    EXPECT_TRUE(MatchesQuickFilter("anything", ""));
    EXPECT_TRUE(MatchesQuickFilter("MyReport.txt", "repo"));
    EXPECT_FALSE(MatchesQuickFilter("MyReport.txt", "rope"));
    EXPECT_TRUE(MatchesQuickFilter("old-report.txt", "r?p"));  // anywhere, not only at the start
    EXPECT_TRUE(MatchesQuickFilter("a.TXT", "*.txt"));
    EXPECT_FALSE(MatchesQuickFilter("a.txt", "b*"));

    EXPECT_TRUE(MatchesAnyMask("notes.md", "*.txt; *.md"));
    EXPECT_TRUE(MatchesAnyMask("notes.md", "*.txt,*.md"));
    EXPECT_FALSE(MatchesAnyMask("notes.md", "*.txt;;  ; *.doc"));
    EXPECT_FALSE(MatchesAnyMask("notes.md", ""));
    EXPECT_FALSE(MatchesAnyMask("notes.md", " ; , "));
}

TEST(NaturalOrder, CompareLogicalTable) {
    struct {
        const char* A;
        const char* B;
        int Sign;
    } cases[] = {
        {"file2", "file10", -1}, // digits by value
        {"file10", "file2", 1},
        {"File1", "file2", -1},  // case ignored before numbers decide
        {"abc", "ABD", -1},
        {"a", "a", 0},
        {"a", "ab", -1},
        {"x9y", "x10a", -1},
        {"v1.9", "v1.10", -1},
        {"007", "7", 1},         // equal value: the one with more zeros after, never 0
        {"A.txt", "a.txt", -1},  // names differing only in case still have an order
        {"99999999999999999999999", "100000000000000000000000", -1}, // beyond 64 bits
        {"ärger", "Ärger", 1},
        {"Zeta", "äpfel", -1},
    };
    for (const auto& c : cases) {
        int result = CompareLogical(c.A, c.B);
        EXPECT_EQ((result > 0) - (result < 0), c.Sign) << c.A << " vs " << c.B;
        int reverse = CompareLogical(c.B, c.A);
        EXPECT_EQ((reverse > 0) - (reverse < 0), -c.Sign) << c.B << " vs " << c.A;
    }
}

TEST(NaturalOrder, InvalidUtf8IsOrderedConsistently) {
    std::string bad = "a\xff";
    std::string also = "a\xfe";
    EXPECT_NE(CompareLogical(bad, also), 0);
    EXPECT_EQ(CompareLogical(bad, bad), 0);
    EXPECT_EQ((CompareLogical(bad, also) > 0), (CompareLogical(also, bad) < 0));
}

namespace {

TKvFileEntry Entry(const char* AName, bool ADir, int64_t ASize = 0, double AWhen = 0) {
    TKvFileEntry e;
    e.Name = AName;
    e.IsDir = ADir;
    e.Size = ASize;
    e.Modified = AWhen;
    return e;
}

std::string Names(const TKvFileEntries& AEntries) {
    std::string out;
    for (const auto& e : AEntries)
        out += (out.empty() ? "" : " ") + e.Name;
    return out;
}

} // namespace

TEST(Sorting, FoldersFirstInBothDirections) {
    TKvFileEntries entries = {Entry("b.txt", false, 30, 3), Entry("zdir", true),  Entry("a10.txt", false, 10, 2),
                              Entry("adir", true),          Entry("a9.log", false, 20, 1), Entry(".hidden", false, 5, 4)};
    struct {
        TKvSortColumn Column;
        bool Descending;
        const char* Expected;
    } cases[] = {
        {scName, false, "adir zdir .hidden a9.log a10.txt b.txt"},
        {scName, true, "zdir adir b.txt a10.txt a9.log .hidden"},
        {scSize, false, "adir zdir .hidden a10.txt a9.log b.txt"},
        {scSize, true, "zdir adir b.txt a9.log a10.txt .hidden"},
        {scTime, false, "adir zdir a9.log a10.txt b.txt .hidden"},
        // ".hidden" has no extension: a leading dot does not start one.
        {scExt, false, "adir zdir .hidden a9.log a10.txt b.txt"},
    };
    for (const auto& c : cases) {
        SortEntries(entries, c.Column, c.Descending);
        EXPECT_EQ(Names(entries), c.Expected) << static_cast<int>(c.Column) << " " << c.Descending;
    }
}

TEST(Formatting, SizesBytesAndStamps) {
    struct {
        int64_t Count;
        const char* Expected;
    } sizes[] = {
        {0, "0 B"},
        {1023, "1023 B"},
        {1024, "1 KB"},
        {1536, "1.5 KB"},
        {1048576, "1 MB"},
        {1024LL * 1024 * 1024 * 5 / 2, "2.5 GB"},
        {1024LL * 1024 * 1024 * 1024 * 1024 * 1024, "1024 PB"}, // stays in PB
    };
    for (const auto& c : sizes)
        EXPECT_EQ(FormatSize(c.Count), c.Expected) << c.Count;

    EXPECT_EQ(FormatBytes(0), "0");
    EXPECT_EQ(FormatBytes(999), "999");
    EXPECT_EQ(FormatBytes(1000), "1,000");
    EXPECT_EQ(FormatBytes(1234567890123LL), "1,234,567,890,123");
    EXPECT_EQ(FormatBytes(-1234), "-1,234");

    SetNumberSeparators(".", ",");
    EXPECT_EQ(FormatBytes(1234567), "1.234.567");
    EXPECT_EQ(FormatSize(1536), "1,5 KB");
    SetNumberSeparators(",", ".");

    EXPECT_EQ(FormatStamp(0), "");
    EXPECT_EQ(FormatStamp(EncodeDateTime({2024, 2, 29, 7, 5, 59, 999})), "2024-02-29 07:05");
    EXPECT_EQ(FormatStamp(EncodeDateTime({1999, 12, 31, 23, 59, 0, 0})), "1999-12-31 23:59");
}
