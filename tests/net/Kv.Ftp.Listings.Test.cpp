#include "Kv.Ftp.Listings.h"

#include <gtest/gtest.h>

namespace kv {
namespace {

uint64_t GClock = 0;
uint64_t TestClock() {
    return GClock;
}

TKvFileEntry Named(const char* AName, bool ADir = false) {
    TKvFileEntry entry;
    entry.Name = AName;
    entry.IsDir = ADir;
    return entry;
}

TEST(FtpListings, AgeRacesAndForgettingBelowAFolder) {
    GClock = 1000;
    TKvFtpListings listings(500, TestClock);
    TKvFileEntry entry;
    EXPECT_EQ(listings.Find("/a", "x", entry), TKvFtpListings::lkUnknown);
    listings.Store("/a", {Named("x"), Named("d", true)}, listings.Generation());
    EXPECT_EQ(listings.Find("/a", "x", entry), TKvFtpListings::lkFound);
    EXPECT_EQ(listings.Find("/a", "y", entry), TKvFtpListings::lkAbsent);
    GClock += 500;
    EXPECT_EQ(listings.Find("/a", "y", entry), TKvFtpListings::lkUnknown);

    // A listing read while something changed may lack the change: it is not kept.
    const uint64_t before = listings.Generation();
    listings.Put("/elsewhere", Named("new"));
    listings.Store("/a", {Named("x")}, before);
    EXPECT_EQ(listings.Find("/a", "x", entry), TKvFtpListings::lkUnknown);

    // "/a b" sorts between "/a" and "/a/x": forgetting "/a" must reach below it all the same.
    for (const char* folder : {"/", "/a", "/a b", "/a/x", "/a/x/y", "/ab"})
        listings.Store(folder, {Named("f")}, listings.Generation());
    listings.ForgetTree("/a");
    for (const auto& [folder, kept] : {std::pair{"/", true}, {"/a", false}, {"/a b", true},
                                       {"/a/x", false}, {"/a/x/y", false}, {"/ab", true}})
        EXPECT_EQ(listings.Find(folder, "f", entry) == TKvFtpListings::lkFound, kept) << folder;
    listings.ForgetTree("/");
    EXPECT_EQ(listings.Find("/ab", "f", entry), TKvFtpListings::lkUnknown);

    // Listings nobody asks about again still go once they are old.
    for (int i = 0; i < 100; ++i)
        listings.Store("/many/" + std::to_string(i), {Named("f")}, listings.Generation());
    EXPECT_EQ(listings.Count(), 100u);
    GClock += 500;
    listings.Store("/last", {}, listings.Generation());
    EXPECT_EQ(listings.Count(), 1u);
}

TEST(FtpListings, ChangesAreWrittenIn) {
    GClock = 1000;
    TKvFtpListings listings(500, TestClock);
    listings.Store("/a", {Named("old"), Named("dir", true)}, listings.Generation());
    listings.Store("/a/dir", {Named("inner")}, listings.Generation());
    listings.Store("/b", {}, listings.Generation());
    TKvFileEntry entry;
    listings.Renamed("/a", "old", "/b", ".new", "/a/old", "/b/.new");
    EXPECT_EQ(listings.Find("/a", "old", entry), TKvFtpListings::lkAbsent);
    ASSERT_EQ(listings.Find("/b", ".new", entry), TKvFtpListings::lkFound);
    EXPECT_TRUE(entry.IsHidden);
    // A folder moved away takes its listing with it.
    listings.Renamed("/a", "dir", "/a", "moved", "/a/dir", "/a/moved");
    EXPECT_EQ(listings.Find("/a/dir", "inner", entry), TKvFtpListings::lkUnknown);
    ASSERT_EQ(listings.Find("/a", "moved", entry), TKvFtpListings::lkFound);
    EXPECT_TRUE(entry.IsDir);
    // Something unknown arrived: only a new listing can say what it is.
    listings.Renamed("/unlisted", "x", "/b", "x", "/unlisted/x", "/b/x");
    EXPECT_EQ(listings.Find("/b", "x", entry), TKvFtpListings::lkUnknown);
    listings.Made("/a", "sub");
    ASSERT_EQ(listings.Find("/a", "sub", entry), TKvFtpListings::lkFound);
    EXPECT_TRUE(entry.IsDir);
    EXPECT_EQ(listings.Find("/a/sub", "anything", entry), TKvFtpListings::lkUnknown);
    listings.Remove("/a", "sub");
    EXPECT_EQ(listings.Find("/a", "sub", entry), TKvFtpListings::lkAbsent);
}

} // namespace
} // namespace kv
