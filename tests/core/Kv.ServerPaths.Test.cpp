// Server paths split on "/" alone, and the one rule for names a listing may not hand on.
#include <gtest/gtest.h>

#include "Kv.ServerPaths.h"

namespace kv {
namespace {

TEST(ServerPaths, SplitAndJoin) {
    const std::pair<const char*, std::vector<std::string>> cases[] = {
        {"/a//b/./c/", {"a", "b", "c"}},
        {"/../../x", {"x"}},
        {"/", {}},
        {"", {}},
        // A Unix name may hold "\": it never splits, and "..\\x" is a name, not a climb.
        {"/d/a\\b.txt", {"d", "a\\b.txt"}},
        {"\\a\\b\\..\\c", {"\\a\\b\\..\\c"}},
        {"/a/..\\x", {"a", "..\\x"}},
    };
    for (const auto& [path, parts] : cases) {
        EXPECT_EQ(SplitServerPath(path), parts) << path;
        EXPECT_EQ(SplitServerPath(JoinServerPath(parts)), parts) << path;
    }
    EXPECT_EQ(JoinServerPath({}), "/");
    EXPECT_EQ(JoinServerPath({"a", "b", "c"}, 2), "/a/b");
}

TEST(ServerPaths, UnsafeNames) {
    for (std::string_view name : {"", ".", "..", "a/b", "/", "bell\a", "esc\x1b[2J", "line\nfeed",
                                  "tab\there", "del\x7f"})
        EXPECT_TRUE(IsUnsafeListedName(name)) << ShownName(name);
    EXPECT_TRUE(IsUnsafeListedName(std::string_view("notes\0.txt", 10)));
    for (std::string_view name : {"a\\b.txt", "...", "....a b", " lead", "caf\xe9", "ü", "-rf"})
        EXPECT_FALSE(IsUnsafeListedName(name)) << name;

    TKvFileEntries entries(4);
    entries[0].Name = "keep";
    entries[1].Name = "../evil";
    entries[2].Name = std::string("x\0y", 3);
    entries[3].Name = "a\\b";
    EXPECT_EQ(DropUnsafeNames(entries, "/here"), 2);
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].Name, "keep");
    EXPECT_EQ(entries[1].Name, "a\\b");
    EXPECT_EQ(ShownName(std::string("x\0y\x1b", 4)), "x\\x00y\\x1b");
}

TEST(ServerPaths, LeftOutCountsPerFolder) {
    TKvLeftOutByFolder counts;
    counts.Record("/a", 3);
    counts.Record("/b", 0);
    EXPECT_EQ(counts.In("/a"), 3);
    EXPECT_EQ(counts.In("/b"), 0);
    // A later clean listing of the folder forgets the count.
    counts.Record("/a", 0);
    EXPECT_EQ(counts.In("/a"), 0);
}

} // namespace
} // namespace kv
