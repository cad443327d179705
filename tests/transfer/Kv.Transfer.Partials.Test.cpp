// Where stopped copies left their partial files: kept across a restart, bounded, and a damaged
// file costs nothing but what it held.
#include <gtest/gtest.h>

#include "Kv.Transfer.Partials.h"
#include "KvTestSupport.h"

namespace kv {
namespace {

using test::TTempDir;

class Partials : public ::testing::Test {
protected:
    void SetUp() override { SetPartialsFile(FDir / "partials.json"); }
    void TearDown() override { SetPartialsFile(""); }
    // What a program started again reads.
    void Restart() { SetPartialsFile(FDir / "partials.json"); }
    TTempDir FDir;
};

TEST_F(Partials, KeptAcrossARestartUntilForgotten) {
    const TKvPartial left{"/srv/big.bin.kvpart", "local", "/home/u/big.bin", 123456789,
                          46000.123456789};
    RememberPartial("sftp:u@h:22", "/srv/big.bin", left);
    RememberPartial("local", "/home/u/other", {"/home/u/other.kvpart", "ftp:x", "/o", 5, 1.5});
    Restart();
    TKvPartial found;
    ASSERT_TRUE(FindPartial("sftp:u@h:22", "/srv/big.bin", found));
    EXPECT_EQ(found.Temporary, left.Temporary);
    EXPECT_EQ(found.SourceFs, left.SourceFs);
    EXPECT_EQ(found.Source, left.Source);
    EXPECT_EQ(found.Size, left.Size);
    EXPECT_EQ(found.Modified, left.Modified); // the time comes back exactly
    EXPECT_FALSE(FindPartial("sftp:u@h:22", "/srv/other", found));
    ForgetPartial("sftp:u@h:22", "/srv/big.bin");
    Restart();
    EXPECT_FALSE(FindPartial("sftp:u@h:22", "/srv/big.bin", found));
    EXPECT_TRUE(FindPartial("local", "/home/u/other", found));
}

TEST_F(Partials, DamagedFilesAndManyPartials) {
    for (const char* text : {"{", "[]", "{\"partials\": 5}", "{\"partials\": [1, {\"size\": \"x\"}]}"}) {
        SCOPED_TRACE(text);
        test::WriteFile(FDir / "partials.json", text);
        Restart();
        TKvPartial found;
        EXPECT_FALSE(FindPartial("local", "/a", found));
        RememberPartial("local", "/a", {"/a.kvpart", "local", "/b", 1, 2});
        Restart();
        EXPECT_TRUE(FindPartial("local", "/a", found));
    }
    // Beyond the bound the oldest go.
    for (int i = 0; i < 250; ++i)
        RememberPartial("local", "/f" + std::to_string(i), {"/t", "local", "/s", 1, 2});
    Restart();
    TKvPartial found;
    EXPECT_FALSE(FindPartial("local", "/f0", found));
    EXPECT_TRUE(FindPartial("local", "/f249", found));
}

} // namespace
} // namespace kv
