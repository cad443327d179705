#include <gtest/gtest.h>

#include "Kv.Selection.h"

using namespace kv;

namespace {

using TParts = std::vector<std::string>;

TEST(Selection, QuotedWordsAndTheWholeLine) {
    auto names = LineNames("  \"my file.txt\" 'x'  ");
    ASSERT_EQ(names.size(), 1u);
    EXPECT_EQ(names[0].Parts, (TParts{"my file.txt", "x"}));
    EXPECT_EQ(names[0].Whole, "my file.txt\" 'x");
}

TEST(Selection, ShellQuotingRules) {
    struct TCase {
        const char* Line;
        TKvLineNames Names;
    };
    const TCase cases[] = {
        {"one", {"", {"one"}}},
        {"a\\ b c", {"a\\ b c", {"a b", "c"}}},
        {"x x y", {"x x y", {"x", "y"}}},
        {"'it''s' \"a\\\"b\"", {"it''s' \"a\\\"b", {"its", "a\"b"}}},
        {"'-v' ok", {"", {"ok"}}},
        {"-v --help", {"", {}}},
        {"tail\\", {"", {"tail\\"}}},
        {"'open", {"", {"open"}}},
    };
    for (const auto& c : cases) {
        auto names = LineNames(c.Line);
        if (c.Names.Whole.empty() && c.Names.Parts.empty()) {
            EXPECT_TRUE(names.empty()) << c.Line;
            continue;
        }
        ASSERT_EQ(names.size(), 1u) << c.Line;
        EXPECT_EQ(names[0], c.Names) << c.Line;
    }
}

TEST(Selection, ListingLinesGiveTheirNameColumn) {
    auto names = LineNames("lrwxrwxrwx 1 ann staff 4 Jan  5 12:30 link name -> target\r\n"
                           "-rw-r--r-- 1 ann staff 9 Jan  5  2023 'quoted one'\n"
                           "drwxr-xr-x 2 ann staff 4096 Jan 5 12:30\r"
                           "12 -rw-r--r-- 1 ann staff 9 Jan 5 12:30 (x)");
    ASSERT_EQ(names.size(), 3u);
    EXPECT_EQ(names[0], (TKvLineNames{"link name", {}}));
    EXPECT_EQ(names[1], (TKvLineNames{"quoted one", {}}));
    EXPECT_EQ(names[2], (TKvLineNames{"x", {}}));
}

TEST(Selection, LineBreaksAndEmptyLines) {
    auto names = LineNames("a\r\nb\rc\n\n  \nd");
    ASSERT_EQ(names.size(), 4u);
    EXPECT_EQ(names[0].Parts, TParts{"a"});
    EXPECT_EQ(names[1].Parts, TParts{"b"});
    EXPECT_EQ(names[2].Parts, TParts{"c"});
    EXPECT_EQ(names[3].Parts, TParts{"d"});
    EXPECT_TRUE(LineNames("").empty());
}

} // namespace
