// The hybrid file connection's mapping rules and name cache, over file systems in memory (the
// server tests run the same against sshd and the chrooted asyncssh fake).
#include <gtest/gtest.h>

#include <thread>

#include "Kv.Shell.Files.h"
#include "KvMemoryFs.h"
#include "KvTestSupport.h"

namespace kv {
namespace {

using test::TKvFaultFs;
using test::TKvMemoryFs;

struct TMapCase {
    const char* Name;
    TKvPathMap Data;
    std::vector<std::pair<std::string, std::string>> ShellToSftp;
    std::vector<std::pair<std::string, std::string>> SftpToShell;
};

TKvPathMap Mapping(std::string AFrom, std::string AReal = {}, std::string ATop = {},
                     std::string AHomeSftp = {}, std::string AHomeShell = {}) {
    TKvPathMap d;
    d.MapFrom = std::move(AFrom);
    d.MapReal = std::move(AReal);
    d.MapTop = std::move(ATop);
    d.MapHomeSftp = std::move(AHomeSftp);
    d.MapHomeShell = std::move(AHomeShell);
    return d;
}

TEST(ShellFilesMapping, ShellAndSftpPathsMapBothWays) {
    const TMapCase cases[] = {
        {"no mapping", Mapping(""), {{"/home/ann/src/a.c", "/home/ann/src/a.c"}},
         {{"/x/y", "/x/y"}}},
        {"SFTP root is /home/ann", Mapping("/home/ann"),
         {{"/home/ann/src/a.c", "/src/a.c"}, {"/home/ann", "/"}, {"/home/annex/a", "/home/annex/a"},
          {"/etc/passwd", "/etc/passwd"}},
         {{"/src/a.c", "/home/ann/src/a.c"}, {"/", "/home/ann"}}},
        {"root reached through a link", Mapping("/home/ann", "/data/ann", "src"),
         {{"/data/ann/src/a.c", "/src/a.c"}, {"/home/ann/src", "/src"}, {"/data/ann", "/"}},
         {{"/src/a.c", "/home/ann/src/a.c"}, {"/doc/b", "/data/ann/doc/b"}}},
        {"home under another SFTP name", Mapping("/srv/jail", "", "", "/ann", "/home/ann"),
         {{"/home/ann/x", "/ann/x"}, {"/srv/jail/pub/f", "/pub/f"}},
         {{"/ann/x", "/home/ann/x"}, {"/pub/f", "/srv/jail/pub/f"}}},
    };
    for (const auto& c : cases) {
        for (const auto& [shell, sftp] : c.ShellToSftp)
            EXPECT_EQ(MapToSftp(c.Data, shell), sftp) << c.Name << ": " << shell;
        for (const auto& [sftp, shell] : c.SftpToShell)
            EXPECT_EQ(MapFromSftp(c.Data, sftp), shell) << c.Name << ": " << sftp;
    }
    EXPECT_FALSE(IsUnder("/a", ""));
    EXPECT_TRUE(IsUnder("/a/b", "/a"));
    EXPECT_FALSE(IsUnder("/ab", "/a"));
    EXPECT_FALSE(IsUnder("/A/b", "/a"));
}

class ShellFiles : public ::testing::Test {
protected:
    void SetUp() override {
        FMem = std::make_shared<TKvMemoryFs>();
        FMem->AddFile("/src/a.c", "int a;");
        FMem->AddFile("/src/my file.txt", "12345");
        FMem->AddFile("/src/sub/b.txt", "b");
        FMem->AddDir("/src/empty");
        FMem->AddDirLink("/src/tolib");
        FMem->AddDir("/other");
        FFault = std::make_shared<TKvFaultFs>(FMem);
        FFiles = std::make_unique<TKvShellFiles>(FFault);
    }
    void Scan(const std::string& ACwd, const std::vector<std::string>& ANames, bool ARefresh = false) {
        bool done = false;
        FFiles->Scan(ACwd, ANames, ARefresh, [&] { done = true; });
        ASSERT_TRUE(FQueue.PumpUntil([&] { return done; }));
    }
    bool Find(const std::string& ACwd, const std::string& AName, TKvFileEntry* AEntry = nullptr,
              std::string* APath = nullptr) {
        std::string path;
        TKvFileEntry entry;
        const bool found = FFiles->Lookup(ACwd, AName, path, entry);
        if (AEntry)
            *AEntry = entry;
        if (APath)
            *APath = path;
        return found;
    }

    test::TDeliverQueue FQueue;
    std::shared_ptr<TKvMemoryFs> FMem;
    std::shared_ptr<TKvFaultFs> FFault;
    std::unique_ptr<TKvShellFiles> FFiles;
};

// The shell says /home/ann/src; the SFTP root is the home folder and cannot run commands.
TEST_F(ShellFiles, AConfinedRootIsFoundByTheFirstScanAndNamesAreAnsweredFromOneListing) {
    Scan("/home/ann/src", {"a.c", "my file.txt", "nothere", "sub/b.txt", "sub/none", "tolib"});
    EXPECT_EQ(FFiles->ToSftp("/home/ann/src/a.c"), "/src/a.c");
    EXPECT_EQ(FFiles->FromSftp("/src/a.c"), "/home/ann/src/a.c");
    EXPECT_EQ(FFault->Calls(test::foList), 1);
    TKvFileEntry entry;
    std::string path;
    ASSERT_TRUE(Find("/home/ann/src", "my file.txt", &entry, &path));
    EXPECT_EQ(path, "/src/my file.txt");
    EXPECT_EQ(entry.Size, 5);
    ASSERT_TRUE(Find("/home/ann/src", "sub/b.txt", &entry, &path));
    EXPECT_EQ(path, "/src/sub/b.txt");
    EXPECT_FALSE(Find("/home/ann/src", "nothere"));
    EXPECT_FALSE(Find("/home/ann/src", "sub/none"));
    // A link is stat'ed, so it tells what it points to.
    ASSERT_TRUE(Find("/home/ann/src", "tolib", &entry));
    EXPECT_TRUE(entry.IsDir);

    // Stats of the probe, then one each for the two names with "/" and the link; a plain name
    // missing from the listing costs nothing.
    const int stats = FFault->Calls(test::foStat);
    Scan("/home/ann/src", {"a.c", "nothere", "sub/b.txt", "sub/none", "tolib"});
    EXPECT_EQ(FFault->Calls(test::foStat), stats);
    EXPECT_EQ(FFault->Calls(test::foList), 1);

    // Another folder is listed once; forgetting lists again.
    Scan("/home/ann/src/sub", {"b.txt"});
    EXPECT_EQ(FFault->Calls(test::foList), 2);
    EXPECT_TRUE(Find("/home/ann/src/sub", "b.txt"));
    EXPECT_FALSE(Find("/home/ann/src", "a.c")); // the cache holds one folder
    FFiles->Forget();
    Scan("/home/ann/src/sub", {"b.txt"});
    EXPECT_EQ(FFault->Calls(test::foList), 3);
}

TEST_F(ShellFiles, AFolderThatExistsUnchangedIsNotMapped) {
    Scan("/src", {"a.c"});
    EXPECT_EQ(FFiles->ToSftp("/src/a.c"), "/src/a.c");
    EXPECT_EQ(FFiles->FromSftp("/x"), "/x");
    EXPECT_TRUE(Find("/src", "a.c"));
}

TEST_F(ShellFiles, AFailedListingLeavesEveryNameToStat) {
    FFault->AddFault({test::foList, 1, 1});
    Scan("/src", {"a.c", "nothere"});
    EXPECT_TRUE(Find("/src", "a.c"));
    EXPECT_FALSE(Find("/src", "nothere"));
}

TEST_F(ShellFiles, DestroyedDuringAScanDeliversNothing) {
    FFault->AddFault({test::foList, 1, 1, /*Block*/ true, /*Fail*/ false});
    bool done = false;
    FFiles->Scan("/src", {"a.c"}, false, [&] { done = true; });
    ASSERT_TRUE(FFault->WaitBlocked());
    std::thread release([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        FFault->Release();
    });
    FFiles.reset();
    release.join();
    FQueue.Pump();
    EXPECT_FALSE(done);
}

TEST_F(ShellFiles, AnAlreadyConnectedFileSystemConnectsAtOnce) {
    std::string result = "not called";
    FFiles->Connect([&](const std::string& AError) { result = AError; });
    ASSERT_TRUE(FQueue.PumpUntil([&] { return result != "not called"; }));
    EXPECT_EQ(result, "");
    EXPECT_EQ(FFiles->Fs(), FFault);
}

TEST(ShellFilesListing, SignaturesMatchForTheSameNamesAndSizes) {
    TKvMemoryFs fs;
    fs.AddFile("/a/x", "1");
    fs.AddDir("/a/d");
    fs.AddFile("/b/x", "2");
    fs.AddDir("/b/d");
    fs.AddFile("/c/x", "12");
    auto token = NewCancelToken();
    EXPECT_EQ(ListingSignature(fs, "/a", *token), ListingSignature(fs, "/b", *token));
    EXPECT_NE(ListingSignature(fs, "/a", *token), ListingSignature(fs, "/c", *token));
    EXPECT_EQ(ListingSignature(fs, "/a", *token), "#d|True|0\r\nx|False|1\r\n");
    EXPECT_EQ(ListingSignature(fs, "/missing", *token), "");
}

} // namespace
} // namespace kv
