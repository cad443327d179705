#include <gtest/gtest.h>

#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "Kv.FileUtil.h"
#include "Kv.Log.h"
#include "Kv.Platform.Folders.h"
#include "Kv.Platform.TempFiles.h"
#include "KvTestSupport.h"

using namespace kv;
using namespace kv::test;

namespace {

// Every name in a folder: a failed or finished save leaves nothing of its own behind.
std::vector<std::string> NamesIn(const std::string& AFolder) {
    std::vector<std::string> names = Split(RunCommand("ls -A '" + AFolder + "'"), '\n');
    std::erase(names, std::string());
    return names;
}

} // namespace

TEST(DataFolder, PortableOnlyWithoutMarkerInAWritableFolder) {
    TTempDir program, user;
    EXPECT_EQ(ChooseDataFolder(program.Path(), user.Path()), program.Path());
    EXPECT_FALSE(Exists(program / (".kolvan-write-test-" + std::to_string(::getpid()))));

    WriteFile(program / "kolvan.appdata", "");
    EXPECT_EQ(ChooseDataFolder(program.Path(), user.Path()), user.Path());

    EXPECT_EQ(ChooseDataFolder("/usr/bin", user.Path()), user.Path());

    // Root writes anywhere, so the read-only folder is tried as an ordinary user.
    TTempDir readOnly;
    ::chmod(readOnly.Path().c_str(), 0555);
    int code = RunAsNobody(
        [&] { return ChooseDataFolder(readOnly.Path(), "/per-user") == "/per-user" ? 0 : 1; });
    EXPECT_EQ(code, 0);
    EXPECT_EQ(::rmdir(readOnly.Path().c_str()), 0) << "the write test left a file behind";
    ::mkdir(readOnly.Path().c_str(), 0755);
}

TEST(DataFolder, PerUserFolderFollowsXdgConfigHome) {
    EXPECT_EQ(UserConfigFolder(), TestRoot() + "/config/kolvan");
}

TEST(AtomicSave, CreatesTheFolderChainAndReplacesTheFile) {
    TTempDir dir;
    std::string path = dir / "a/b/c/settings.json";
    ASSERT_TRUE(SaveTextAtomic(path, "first"));
    ASSERT_TRUE(SaveTextAtomic(path, "second"));
    std::string text;
    ASSERT_TRUE(LoadText(path, text));
    EXPECT_EQ(text, "second");
    EXPECT_EQ(NamesIn(dir / "a/b/c"), std::vector<std::string>{"settings.json"});

    ::chmod(path.c_str(), 0600);
    ASSERT_TRUE(SaveTextAtomic(path, "third"));
    struct stat st {};
    ::stat(path.c_str(), &st);
    EXPECT_EQ(st.st_mode & 0777, 0600u) << "a private file stays private";
}

TEST(AtomicSave, FailedWriteLeavesTheOldFileAndNoTemporary) {
    // A read-only folder, as an ordinary user: nothing replaced, nothing left.
    TTempDir locked;
    WriteFile(locked / "f.json", "kept");
    ::chmod((locked / "f.json").c_str(), 0666);
    ::chmod(locked.Path().c_str(), 0555);
    int code = RunAsNobody([&] { return SaveTextAtomic(locked / "f.json", "lost?") ? 1 : 0; });
    EXPECT_EQ(code, 0);
    EXPECT_EQ(ReadFile(locked / "f.json"), "kept");
    EXPECT_EQ(NamesIn(locked.Path()), std::vector<std::string>{"f.json"});
}

TEST(AtomicSave, WriteFailureMidwayLeavesTheOldFile) {
    TTempDir dir;
    std::string path = dir / "x.json";
    WriteFile(path, "previous");
    // A file-size limit makes the write itself fail (EFBIG), as a full disk would.
    std::fflush(nullptr);
    pid_t pid = ::fork();
    if (pid == 0) {
        ::signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit = {4, 4};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        ::_exit(SaveTextAtomic(path, "much longer than four bytes") ? 1 : 0);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(ReadFile(path), "previous");
    EXPECT_EQ(NamesIn(dir.Path()), std::vector<std::string>{"x.json"});
}

TEST(AtomicSave, LeftoversOfAKilledSaveGoButLinksAndLiveSavesStay) {
    TTempDir dir, elsewhere;
    std::string path = dir / "x.json";
    WriteFile(elsewhere / "victim", "untouched");
    const std::string stale = "x.json.kvsave-{00000000-0000-4000-8000-000000000001}.tmp";
    const std::string planted = "x.json.kvsave-{00000000-0000-4000-8000-000000000002}.tmp";
    WriteFile(dir / stale, "half a save");
    ASSERT_EQ(::symlink((elsewhere / "victim").c_str(), (dir / planted).c_str()), 0);
    // A save in progress in another Kolvan holds its temporary file.
    TKvLockedTempFile live(dir.Path(), "x.json.kvsave-", ".tmp");
    WriteFile(dir / "x.json.user.tmp", "the user's own");

    ASSERT_TRUE(SaveTextAtomic(path, "data"));
    EXPECT_EQ(ReadFile(path), "data");
    EXPECT_FALSE(Exists(dir / stale));
    EXPECT_TRUE(Exists(live.Path()));
    EXPECT_EQ(ReadFile(elsewhere / "victim"), "untouched");
    EXPECT_EQ(ReadFile(dir / "x.json.user.tmp"), "the user's own");
    live.Remove();
}

TEST(AtomicSave, TwoProcessesSavingOneFileNeverPublishHalfAFile) {
    TTempDir dir;
    std::string path = dir / "settings.json";
    // Large enough that a write takes several system calls.
    auto text = [](char ALetter) { return "{\"a\": \"" + std::string(200000, ALetter) + "\"}"; };
    ASSERT_TRUE(SaveTextAtomic(path, text('x')));
    std::fflush(nullptr);
    pid_t writers[2];
    for (int i = 0; i < 2; ++i) {
        writers[i] = ::fork();
        if (writers[i] == 0) {
            int failed = 0;
            for (int round = 0; round < 150; ++round)
                failed += SaveTextAtomic(path, text(i == 0 ? 'a' : 'b')) ? 0 : 1;
            ::_exit(failed == 0 ? 0 : 1);
        }
    }
    int reads = 0, torn = 0, finished = 0, statuses[2] = {-1, -1};
    while (finished < 2) {
        std::string seen;
        ASSERT_TRUE(LoadText(path, seen));
        ++reads;
        if (seen != text('x') && seen != text('a') && seen != text('b'))
            ++torn;
        for (int i = 0; i < 2; ++i) {
            if (statuses[i] == -1 && ::waitpid(writers[i], &statuses[i], WNOHANG) == writers[i])
                ++finished;
        }
    }
    for (int status : statuses)
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "a save failed";
    EXPECT_EQ(torn, 0) << "of " << reads << " reads";
    EXPECT_EQ(NamesIn(dir.Path()), std::vector<std::string>{"settings.json"});
}

TEST(AtomicSave, ANewFileGetsItsModeFromTheStartAndAnOldOneKeepsItsOwn) {
    // The usual umask, under which a plain new file is readable by everyone.
    mode_t before = ::umask(022);
    struct TCase {
        const char* Name;
        int Existing; // mode of the file being replaced, -1 for none
        int Leftover; // mode of a temporary file a crash left behind, -1 for none
        mode_t NewMode;
        mode_t WidestMode;
        mode_t Expected;
    };
    const TCase cases[] = {
        {"new, plain", -1, -1, 0666, 07777, 0644},
        {"new, private", -1, -1, 0600, 07777, 0600},
        {"replaced, the owner's mode stays", 0640, -1, 0600, 07777, 0640},
        {"replaced, a file with secrets never stays readable", 0644, -1, 0600, 0600, 0600},
        {"replaced, group-readable secrets too", 0640, -1, 0600, 0600, 0600},
        {"new over an open leftover", -1, 0666, 0600, 07777, 0600},
        {"replaced over an open leftover", 0600, 0666, 0600, 07777, 0600},
    };
    for (const TCase& t : cases) {
        SCOPED_TRACE(t.Name);
        TTempDir dir;
        std::string path = dir / "f.json";
        if (t.Existing >= 0) {
            WriteFile(path, "old");
            ::chmod(path.c_str(), t.Existing);
        }
        const std::string leftover = path + ".kvsave-{00000000-0000-4000-8000-00000000000A}.tmp";
        if (t.Leftover >= 0) {
            WriteFile(leftover, "half a save");
            ::chmod(leftover.c_str(), t.Leftover);
        }
        ASSERT_TRUE(SaveBytesAtomic(path, "new", t.NewMode, t.WidestMode));
        struct stat st {};
        ASSERT_EQ(::stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, t.Expected);
        EXPECT_EQ(ReadFile(path), "new");
        EXPECT_FALSE(Exists(leftover));
    }

    // Exclusive creation: private from the start, and never over a file that is there.
    TTempDir dir;
    std::string path = dir / "copy";
    ASSERT_TRUE(CreateFileWith(path, "kept", 0600));
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_FALSE(CreateFileWith(path, "other", 0600));
    EXPECT_EQ(ReadFile(path), "kept");
    ASSERT_EQ(::symlink((dir / "target").c_str(), (dir / "link").c_str()), 0);
    EXPECT_FALSE(CreateFileWith(dir / "link", "through", 0600));
    EXPECT_FALSE(Exists(dir / "target"));
    ::umask(before);
}

TEST(LoadText, KeepsTheByteOrderMarkAndRefusesMissingFiles) {
    TTempDir dir;
    WriteFile(dir / "bom.json", "\xEF\xBB\xBF{}");
    std::string text;
    ASSERT_TRUE(LoadText(dir / "bom.json", text));
    EXPECT_EQ(text, "\xEF\xBB\xBF{}");
    EXPECT_FALSE(LoadText(dir / "missing.json", text));
    EXPECT_TRUE(text.empty());
    EXPECT_FALSE(LoadText(dir.Path(), text)); // a folder is not a text file
}

TEST(Log, LinesCarryTimeAndThreadAndRotateAt1MiB) {
    TTempDir dir;
    SetLogFolder(dir.Path());
    SetLogEnabled(true);
    Log("job: copy 2 item(s)");
    std::string text = ReadFile(dir / "kolvan.log");
    // "hh:nn:ss.zzz [tid] message"
    ASSERT_GE(text.size(), 16u);
    EXPECT_EQ(text[2], ':');
    EXPECT_EQ(text[5], ':');
    EXPECT_EQ(text[8], '.');
    EXPECT_EQ(text[12], ' ');
    EXPECT_EQ(text[13], '[');
    EXPECT_NE(text.find("] job: copy 2 item(s)\n"), std::string::npos);

    // Fill the log to exactly 1 MiB: the next line goes to a fresh log.
    std::string filler(KLogRotateSize - static_cast<int64_t>(text.size()), 'x');
    {
        std::string content = text + filler;
        WriteFile(dir / "kolvan.log", content);
    }
    SetLogFolder(dir.Path()); // takes up the size of the existing file
    Log("after rotation");
    EXPECT_EQ(static_cast<int64_t>(ReadFile(dir / "kolvan.old.log").size()), KLogRotateSize);
    std::string fresh = ReadFile(dir / "kolvan.log");
    EXPECT_NE(fresh.find("after rotation"), std::string::npos);
    EXPECT_LT(fresh.size(), 100u);

    SetLogEnabled(false);
    Log("not written");
    EXPECT_EQ(ReadFile(dir / "kolvan.log"), fresh);
    SetLogEnabled(true);

    EXPECT_TRUE(ClearLog());
    EXPECT_EQ(ReadFile(dir / "kolvan.log"), "");
    EXPECT_FALSE(Exists(dir / "kolvan.old.log"));
}

TEST(Log, OldLogThatCannotBeReplacedMeansTheLogStartsOver) {
    TTempDir dir;
    WriteFile(dir / "kolvan.log", std::string(KLogRotateSize, 'x'));
    // A non-empty folder in the old log's place cannot be removed or renamed over.
    ::mkdir((dir / "kolvan.old.log").c_str(), 0755);
    WriteFile(dir / "kolvan.old.log/keep", "");
    SetLogFolder(dir.Path());
    Log("still logging");
    std::string text = ReadFile(dir / "kolvan.log");
    EXPECT_NE(text.find("still logging"), std::string::npos);
    EXPECT_LT(text.size(), 100u);
}

TEST(Log, LinesFromManyThreadsNeverInterleave) {
    TTempDir dir;
    SetLogFolder(dir.Path());
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < 200; ++i)
                Log("thread " + std::to_string(t) + " line " + std::string(50, 'a' + t));
        });
    for (auto& th : threads)
        th.join();
    std::string text = ReadFile(dir / "kolvan.log");
    size_t lines = 0, start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        ASSERT_NE(end, std::string::npos);
        std::string line = text.substr(start, end - start);
        char letter = line.back();
        EXPECT_EQ(line.substr(line.size() - 50), std::string(50, letter));
        ++lines;
        start = end + 1;
    }
    EXPECT_EQ(lines, 800u);
}

TEST(PrivateTemp, RefusesAFolderThatIsNotOurs) {
    TTempDir base;
    std::string mine = PrivateTempFolderIn(base.Path());
    ASSERT_FALSE(mine.empty());
    struct stat st {};
    ASSERT_EQ(::lstat(mine.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    // Someone planted a link where our folder should be.
    TTempDir other;
    ::rmdir(mine.c_str());
    ASSERT_EQ(::symlink(other.Path().c_str(), mine.c_str()), 0);
    EXPECT_EQ(PrivateTempFolderIn(base.Path()), "");
    ::unlink(mine.c_str());

    // A folder of that name owned by another user.
    ::mkdir(mine.c_str(), 0777);
    ::chown(mine.c_str(), 65534, 65534);
    EXPECT_EQ(PrivateTempFolderIn(base.Path()), "");
}

TEST(PrivateTemp, FallbackFolderGetsTheSameChecks) {
    TTempDir tmp, cache, shared;
    std::string uid = std::to_string(::getuid());
    // Both places planted with links into a folder others can read.
    ASSERT_EQ(::symlink(shared.Path().c_str(), (tmp / ("kolvan-" + uid)).c_str()), 0);
    ASSERT_EQ(::mkdir((cache / "kolvan").c_str(), 0700), 0);
    ASSERT_EQ(::symlink(shared.Path().c_str(), (cache / "kolvan/tmp").c_str()), 0);
    std::string oldTmp = std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "";
    std::string oldCache = std::getenv("XDG_CACHE_HOME") ? std::getenv("XDG_CACHE_HOME") : "";
    ::setenv("TMPDIR", tmp.Path().c_str(), 1);
    ::setenv("XDG_CACHE_HOME", cache.Path().c_str(), 1);
    std::string chosen = PrivateTempFolder();
    ::setenv("TMPDIR", oldTmp.c_str(), 1);
    ::setenv("XDG_CACHE_HOME", oldCache.c_str(), 1);

    ASSERT_FALSE(chosen.empty());
    EXPECT_EQ(chosen.rfind(tmp / ("kolvan-" + uid + "-"), 0), 0u) << chosen;
    struct stat st {};
    ASSERT_EQ(::lstat(chosen.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_EQ(RunCommand("ls -A " + shared.Path()), "");
}
