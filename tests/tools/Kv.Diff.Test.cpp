#include <gtest/gtest.h>

#include <pthread.h>
#include <random>

#include "Kv.Diff.h"
#include "KvTestSupport.h"

using namespace kv;
using namespace kv::test;

namespace {

using TRows = std::vector<TKvDiffRow>;

TKvCompareOptions NoIgnores() {
    TKvCompareOptions options;
    options.IgnoreEol = options.IgnoreBom = options.IgnoreTrailingSpace = false;
    options.IgnoreSpaceChange = options.IgnoreEndBlankLines = options.IgnoreCase = false;
    return options;
}

TRows Diff(const std::vector<std::string>& ALeft, const std::vector<std::string>& ARight,
           const TKvCompareOptions& AOptions = NoIgnores()) {
    TRows rows;
    auto token = NewCancelToken();
    BuildDiffRows(ALeft, ARight, AOptions, rows, *token);
    // Lines as views into their texts give the same rows.
    TRows viewRows;
    const std::vector<std::string_view> leftViews(ALeft.begin(), ALeft.end()), rightViews(ARight.begin(), ARight.end());
    BuildDiffRows(leftViews, rightViews, AOptions, viewRows, *token);
    EXPECT_EQ(viewRows, rows);
    return rows;
}

// Every line once, in order; pairs where the kinds say so; same rows really equal.
void CheckRows(const std::vector<std::string>& ALeft, const std::vector<std::string>& ARight,
               const TRows& ARows) {
    int left = 0, right = 0;
    for (const auto& row : ARows) {
        if (row.Left >= 0) {
            ASSERT_EQ(row.Left, left++);
        }
        if (row.Right >= 0) {
            ASSERT_EQ(row.Right, right++);
        }
        switch (row.Kind) {
        case dkSame:
            ASSERT_TRUE(row.Left >= 0 && row.Right >= 0);
            ASSERT_EQ(ALeft[size_t(row.Left)], ARight[size_t(row.Right)]);
            break;
        case dkSoft:
        case dkChanged:
            ASSERT_TRUE(row.Left >= 0 || row.Right >= 0);
            break;
        case dkLeftOnly:
            ASSERT_TRUE(row.Left >= 0 && row.Right < 0);
            break;
        case dkRightOnly:
            ASSERT_TRUE(row.Left < 0 && row.Right >= 0);
            break;
        }
    }
    ASSERT_EQ(left, int(ALeft.size()));
    ASSERT_EQ(right, int(ARight.size()));
}

int Matched(const TRows& ARows) {
    int count = 0;
    for (const auto& row : ARows)
        count += row.Kind == dkSame;
    return count;
}

std::string Joined(const std::vector<std::string>& ALines) {
    std::string out;
    for (const auto& line : ALines)
        out += line + "\n";
    return out;
}

} // namespace

TEST(Diff, RowsOfSmallTexts) {
    struct TCase {
        const char* Title;
        std::vector<std::string> Left, Right;
        TRows Rows;
    };
    const std::vector<TCase> cases = {
        {"two empty texts", {}, {}, {}},
        {"one line changed",
         {"a", "b", "c"},
         {"a", "x", "c"},
         {{0, 0, dkSame}, {1, 1, dkChanged}, {2, 2, dkSame}}},
        {"a line added at the end",
         {"a", "b"},
         {"a", "b", "c"},
         {{0, 0, dkSame}, {1, 1, dkSame}, {-1, 2, dkRightOnly}}},
        {"three against one",
         {"p", "q", "r"},
         {"s"},
         {{0, 0, dkChanged}, {1, -1, dkLeftOnly}, {2, -1, dkLeftOnly}}},
        {"left empty", {}, {"a", "b"}, {{-1, 0, dkRightOnly}, {-1, 1, dkRightOnly}}},
        {"moved block keeps the longer chain",
         {"a", "b", "c", "d", "e"},
         {"d", "a", "b", "c", "e"},
         {{-1, 0, dkRightOnly},
          {0, 1, dkSame},
          {1, 2, dkSame},
          {2, 3, dkSame},
          {3, -1, dkLeftOnly},
          {4, 4, dkSame}}},
        {"repeated lines solved by the table",
         {"x", "y", "x", "y"},
         {"y", "x", "y"},
         {{0, -1, dkLeftOnly}, {1, 0, dkSame}, {2, 1, dkSame}, {3, 2, dkSame}}},
    };
    for (const auto& c : cases) {
        TRows rows = Diff(c.Left, c.Right);
        EXPECT_EQ(rows, c.Rows) << c.Title;
        CheckRows(c.Left, c.Right, rows);
    }
}

TEST(Diff, IgnoreOptionsMakeSoftRows) {
    TKvCompareOptions options = NoIgnores();
    EXPECT_EQ(Diff({"Hello"}, {"hello"}), (TRows{{0, 0, dkChanged}}));
    options.IgnoreCase = true;
    EXPECT_EQ(Diff({"Hello"}, {"hello"}, options), (TRows{{0, 0, dkSoft}}));
    // Only A to Z fold.
    EXPECT_EQ(Diff({"\xC3\x89"}, {"\xC3\xA9"}, options), (TRows{{0, 0, dkChanged}}));

    options = NoIgnores();
    options.IgnoreTrailingSpace = true;
    EXPECT_EQ(Diff({"a ", "b", "c\t"}, {"a", "b", "c"}, options),
              (TRows{{0, 0, dkSoft}, {1, 1, dkSame}, {2, 2, dkSoft}}));

    options = NoIgnores();
    options.IgnoreEndBlankLines = true;
    options.IgnoreTrailingSpace = true;
    // Blank lines at the end of one side are soft, a changed line before them does not stop it.
    EXPECT_EQ(Diff({"a", "b", "", " "}, {"a", "c"}, options),
              (TRows{{0, 0, dkSame}, {1, 1, dkChanged}, {2, -1, dkSoft}, {3, -1, dkSoft}}));
    // Identical lines between one-sided blank lines do not stop it either.
    EXPECT_EQ(Diff({"a", "", "z"}, {"a", "z", ""}, options),
              (TRows{{0, 0, dkSame}, {1, -1, dkSoft}, {2, 1, dkSame}, {-1, 2, dkSoft}}));
    // A changed row after the blank ones does.
    EXPECT_EQ(Diff({"a", "", "x"}, {"a", "y"}, options),
              (TRows{{0, 0, dkSame}, {1, 1, dkChanged}, {2, -1, dkLeftOnly}}));
}

TEST(Diff, RegionTooLargeForTheTableStaysUnmatched) {
    std::vector<std::string> left, right;
    for (int k = 0; k < 3000; ++k) {
        left.push_back(k % 2 ? "y" : "x");
        right.push_back(k % 2 ? "x" : "y");
    }
    TRows rows = Diff(left, right);
    ASSERT_EQ(rows.size(), 3000u);
    for (int k = 0; k < 3000; ++k)
        EXPECT_EQ(rows[size_t(k)], (TKvDiffRow{k, k, dkChanged}));
    // Just inside the bound the table finds the shifted alignment.
    left.resize(2000);
    right.resize(2000);
    rows = Diff(left, right);
    CheckRows(left, right, rows);
    EXPECT_EQ(Matched(rows), 1999);
}

TEST(Diff, DecodingAndLines) {
    struct TCase {
        std::string Bytes;
        std::string Text, Encoding, Eol;
        bool Bom;
    };
    const std::vector<TCase> cases = {
        {"", "", "UTF-8", "none", false},
        {"a\r\nb\r\n", "a\r\nb\r\n", "UTF-8", "CRLF", false},
        {"a\nb", "a\nb", "UTF-8", "LF", false},
        {"a\rb\r", "a\rb\r", "UTF-8", "CR", false},
        {"a\r\nb\nc\r", "a\r\nb\nc\r", "UTF-8", "mixed", false},
        {"\xEF\xBB\xBFx\n", "x\n", "UTF-8", "LF", true},
        {"\xEF\xBB\xBF", "", "UTF-8", "none", true},
        {"\xEF\xBB", "\xC3\xAF\xC2\xBB", "ANSI", "none", false},
        {"caf\xE9 \x80\x81\x9F", "caf\xC3\xA9 \xE2\x82\xAC\xC2\x81\xC5\xB8", "ANSI", "none", false},
        {"\xC0\xAF", "\xC3\x80\xC2\xAF", "ANSI", "none", false},                 // overlong
        {"\xED\xA0\x80", "\xC3\xAD\xC2\xA0\xE2\x82\xAC", "ANSI", "none", false}, // surrogate
        {"\xF0\x9F\x98\x80 \xC3\xA9", "\xF0\x9F\x98\x80 \xC3\xA9", "UTF-8", "none", false},
    };
    for (const auto& c : cases) {
        TKvTextInfo info;
        EXPECT_EQ(DecodeText(c.Bytes, info), c.Text) << c.Bytes;
        EXPECT_EQ(info.Encoding, c.Encoding) << c.Bytes;
        EXPECT_EQ(info.Eol, c.Eol) << c.Bytes;
        EXPECT_EQ(info.Bom, c.Bom) << c.Bytes;
        // Bytes handed over decode alike, BOM and ANSI included.
        TKvTextInfo owned;
        EXPECT_EQ(DecodeOwnedText(std::string(c.Bytes), owned), c.Text) << c.Bytes;
        EXPECT_EQ(owned.Encoding, c.Encoding) << c.Bytes;
        EXPECT_EQ(owned.Bom, c.Bom) << c.Bytes;
    }
    TKvTextInfo info;
    DecodeText("\xEF\xBB\xBF"
               "a\r\n",
               info);
    EXPECT_EQ(TextInfoCaption(info), "UTF-8 BOM, CRLF");

    using TLines = std::vector<std::string>;
    EXPECT_EQ(SplitLines(""), TLines{});
    EXPECT_EQ(SplitLines("a\r\nb"), (TLines{"a", "b"}));
    EXPECT_EQ(SplitLines("a\r\nb\r\n"), (TLines{"a", "b"}));
    EXPECT_EQ(SplitLines("a\r\rb\n\n"), (TLines{"a", "", "b", ""}));
    EXPECT_EQ(SplitLines("\n"), (TLines{""}));

    EXPECT_EQ(ExpandTabs("no tabs", 4), "no tabs");
    EXPECT_EQ(ExpandTabs("\tx", 4), "    x");
    EXPECT_EQ(ExpandTabs("ab\tc\t\td", 4), "ab  c       d");
    EXPECT_EQ(ExpandTabs("\xC3\xA9\tx", 4), "\xC3\xA9   x"); // columns count characters

    TKvCompareOptions options = NoIgnores();
    EXPECT_EQ(NormalizeText(" A\t B ", options), " A\t B ");
    options.IgnoreSpaceChange = options.IgnoreCase = options.IgnoreTrailingSpace = true;
    EXPECT_EQ(NormalizeText(" A\t B ", options), " a b");
}

// GNU diff --minimal gives the longest common subsequence; the matcher never claims more, and
// finds all of it when every line is unique.
TEST(DiffOracle, MatchedLinesAgainstDiffMinimal) {
    TTempDir dir;
    std::mt19937 random(11);
    for (int round = 0; round < 24; ++round) {
        bool unique = round % 2 == 0;
        std::vector<std::string> left, right;
        int n = 50 + int(random() % 400);
        for (int k = 0; k < n; ++k) {
            std::string line =
                unique ? "u" + std::to_string(k) : "r" + std::to_string(random() % 12);
            int roll = int(random() % 10);
            if (roll != 0)
                left.push_back(line);
            if (roll != 1)
                right.push_back(roll == 2 && !unique ? "changed" : line);
            if (roll == 3 && unique)
                right.push_back("new" + std::to_string(k));
        }
        if (unique)
            std::shuffle(right.begin() + int(right.size()) / 3,
                         right.begin() + int(right.size()) / 2, random);
        WriteFile(dir / "a", Joined(left));
        WriteFile(dir / "b", Joined(right));
        std::string deleted = RunCommand("LC_ALL=C diff --minimal '" + dir / "a" + "' '" +
                                         dir / "b" + "' | grep -c '^<'");
        int lcs = int(left.size()) - std::stoi(deleted);
        TRows rows = Diff(left, right);
        CheckRows(left, right, rows);
        if (unique)
            EXPECT_EQ(Matched(rows), lcs) << "round " << round;
        else
            EXPECT_LE(Matched(rows), lcs) << "round " << round;
    }
}

// A long file of lines that repeat in a pattern, diffed on a thread with a small stack: the
// matcher keeps its work on the heap, so no input can overflow the stack.
TEST(Diff, AdversarialInputOnASmallStack) {
    std::vector<std::string> left, right;
    // Nested uniques: each level's anchors sit inside the previous level's gaps.
    const int depth = 20000;
    for (int k = 0; k < depth; ++k)
        left.push_back("open" + std::to_string(k));
    for (int k = depth; k-- > 0;)
        left.push_back("close" + std::to_string(k));
    for (int k = 0; k < depth; ++k)
        right.push_back("close" + std::to_string(k));
    for (int k = depth; k-- > 0;)
        right.push_back("open" + std::to_string(k));
    for (int k = 0; k < 200000; ++k) {
        left.push_back(k % 3 ? "p" : "q");
        right.push_back(k % 5 ? "p" : "q");
    }
    struct TJob {
        std::vector<std::string>* Left;
        std::vector<std::string>* Right;
        TRows Rows;
    } job{&left, &right, {}};
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, 512 * 1024);
    pthread_t thread;
    ASSERT_EQ(pthread_create(
                  &thread, &attr,
                  [](void* AJob) -> void* {
                      auto* j = static_cast<TJob*>(AJob);
                      auto token = NewCancelToken();
                      BuildDiffRows(*j->Left, *j->Right, NoIgnores(), j->Rows, *token);
                      return nullptr;
                  },
                  &job),
              0);
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attr);
    CheckRows(left, right, job.Rows);
    EXPECT_GT(Matched(job.Rows), 0);
}

TEST(Diff, CancelledBeforeAnyResult) {
    std::vector<std::string> left(10000, "a"), right(10000, "b");
    auto token = NewCancelToken();
    token->Cancel();
    TRows rows;
    EXPECT_THROW(BuildDiffRows(left, right, NoIgnores(), rows, *token), EKvCancelled);
    std::vector<TMatch> matches;
    EXPECT_THROW(TDiffer({1, 2}, *token, {2, 1}).Run(matches), EKvCancelled);
}
