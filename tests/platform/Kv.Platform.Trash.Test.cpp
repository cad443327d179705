#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <functional>
#include <gtest/gtest.h>
#include <regex>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include "Kv.Platform.Folders.h"
#include "Kv.Platform.Trash.h"
#include "KvTestSupport.h"

namespace kv {
namespace {

using namespace kv::test;

std::string HomeTrash() {
    return UserDataHome() + "/Trash";
}

std::vector<std::string> Names(const std::string& ADir) {
    std::vector<std::string> names;
    if (DIR* dir = ::opendir(ADir.c_str())) {
        while (dirent* entry = ::readdir(dir))
            if (std::string(entry->d_name) != "." && std::string(entry->d_name) != "..")
                names.push_back(entry->d_name);
        ::closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// The name in files/ of the entry whose info file records AEncodedPath; empty when none does.
std::string FindTrashed(const std::string& ATrash, const std::string& AEncodedPath) {
    std::string found;
    for (const auto& info : Names(ATrash + "/info")) {
        const std::string suffix = ".trashinfo";
        if (info.size() > suffix.size() && info.ends_with(suffix) &&
            ReadFile(ATrash + "/info/" + info).find("\nPath=" + AEncodedPath + "\n") !=
                std::string::npos) {
            EXPECT_EQ(found, "") << "recorded twice: " << AEncodedPath;
            found = info.substr(0, info.size() - suffix.size());
        }
    }
    return found;
}

std::string TrashList() {
    return RunCommand("trash-list 2>/dev/null");
}

// trash-list prints "date time original-path" per entry.
bool Lists(const std::string& AListing, const std::string& AOriginalPath) {
    return AListing.find(" " + AOriginalPath + "\n") != std::string::npos;
}

std::string LinkTarget(const std::string& APath) {
    char buffer[4096];
    ssize_t n = ::readlink(APath.c_str(), buffer, sizeof buffer);
    return n < 0 ? std::string() : std::string(buffer, static_cast<size_t>(n));
}

mode_t ModeOf(const std::string& APath) {
    struct stat st {};
    return ::lstat(APath.c_str(), &st) == 0 ? st.st_mode : 0;
}

class Trash : public ::testing::Test {
protected:
    // Each test starts without a home trash, so its creation is tested too.
    void SetUp() override { RemoveTree(HomeTrash()); }
    TTempDir FDir;
};

TEST_F(Trash, MovesEachKindOfItemIntoTheHomeTrash) {
    WriteFile(FDir / "plain.txt", "one");
    ::mkdir((FDir / "folder").c_str(), 0755);
    WriteFile(FDir / "folder/inner.txt", "two");
    ::mkdir((FDir / "target").c_str(), 0755);
    WriteFile(FDir / "target/keep.txt", "three");
    ::symlink((FDir / "target").c_str(), (FDir / "link").c_str());
    ::symlink((FDir / "missing").c_str(), (FDir / "dangling").c_str());
    WriteFile(FDir / "a b%c.txt", "four");
    WriteFile(FDir / "bad\xff\xfe name", "five");
    std::string longName; // 255 bytes, too long for the info file's name as it is
    for (int i = 0; i < 127; ++i)
        longName += "\xc3\xa9";
    longName += "x";
    WriteFile(FDir / longName, "six");
    std::string longEncoded;
    for (int i = 0; i < 127; ++i)
        longEncoded += "%C3%A9";
    longEncoded += "x";

    struct {
        std::string Name;
        std::string Encoded;
        std::function<void(const std::string&)> Check; // gets the trashed item's path
    } cases[] = {
        {"plain.txt", "plain.txt", [](const std::string& AIt) { EXPECT_EQ(ReadFile(AIt), "one"); }},
        {"folder", "folder",
         [](const std::string& AIt) { EXPECT_EQ(ReadFile(AIt + "/inner.txt"), "two"); }},
        {"link", "link",
         [&](const std::string& AIt) {
             EXPECT_TRUE(S_ISLNK(ModeOf(AIt)));
             EXPECT_EQ(LinkTarget(AIt), FDir / "target");
         }},
        {"dangling", "dangling",
         [&](const std::string& AIt) { EXPECT_EQ(LinkTarget(AIt), FDir / "missing"); }},
        {"a b%c.txt", "a%20b%25c.txt",
         [](const std::string& AIt) { EXPECT_EQ(ReadFile(AIt), "four"); }},
        {"bad\xff\xfe name", "bad%FF%FE%20name",
         [](const std::string& AIt) { EXPECT_EQ(ReadFile(AIt), "five"); }},
        {longName, longEncoded, [](const std::string& AIt) { EXPECT_EQ(ReadFile(AIt), "six"); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Encoded);
        ASSERT_EQ(MoveToTrash(FDir / c.Name), 0);
        EXPECT_FALSE(Exists(FDir / c.Name));
        std::string name = FindTrashed(HomeTrash(), FDir.Path() + "/" + c.Encoded);
        ASSERT_NE(name, "");
        EXPECT_LE(name.size() + std::string(".trashinfo").size(), 255u);
        c.Check(HomeTrash() + "/files/" + name);
    }
    // The link's target stays where it was, untouched.
    EXPECT_EQ(ReadFile(FDir / "target/keep.txt"), "three");
    EXPECT_EQ(Names(FDir.Path()), std::vector<std::string>{"target"});

    for (const char* folder : {"", "/files", "/info"})
        EXPECT_EQ(ModeOf(HomeTrash() + folder) & 07777, 0700u) << folder;

    std::string listing = TrashList();
    for (const auto& c : cases) {
        if (c.Name != "bad\xff\xfe name") {
            EXPECT_TRUE(Lists(listing, FDir / c.Name)) << c.Encoded << "\n" << listing;
        }
    }
    // trash-list shows undecodable bytes as U+FFFD.
    EXPECT_TRUE(Lists(listing, FDir / "bad\xef\xbf\xbd\xef\xbf\xbd name")) << listing;
}

TEST_F(Trash, InfoFileRecordsThePathAndTheLocalTime) {
    // A zone far from UTC shows whether the time is local.
    std::string savedTz = std::getenv("TZ") ? std::getenv("TZ") : "";
    bool hadTz = std::getenv("TZ") != nullptr;
    ::setenv("TZ", "KVT-5:30", 1);
    ::tzset();
    WriteFile(FDir / "when.txt", "x");
    time_t before = ::time(nullptr);
    ASSERT_EQ(MoveToTrash(FDir / "when.txt"), 0);
    time_t after = ::time(nullptr);

    std::string name = FindTrashed(HomeTrash(), FDir / "when.txt");
    ASSERT_NE(name, "");
    std::string info = ReadFile(HomeTrash() + "/info/" + name + ".trashinfo");
    std::smatch match;
    ASSERT_TRUE(std::regex_match(info, match,
                                 std::regex("\\[Trash Info\\]\nPath=([^\n]*)\n"
                                            "DeletionDate=(\\d{4})-(\\d\\d)-(\\d\\d)T"
                                            "(\\d\\d):(\\d\\d):(\\d\\d)\n")))
        << info;
    EXPECT_EQ(match[1].str(), FDir / "when.txt");
    struct tm local {};
    local.tm_year = std::stoi(match[2].str()) - 1900;
    local.tm_mon = std::stoi(match[3].str()) - 1;
    local.tm_mday = std::stoi(match[4].str());
    local.tm_hour = std::stoi(match[5].str());
    local.tm_min = std::stoi(match[6].str());
    local.tm_sec = std::stoi(match[7].str());
    local.tm_isdst = -1;
    time_t recorded = ::mktime(&local);
    EXPECT_GE(recorded, before);
    EXPECT_LE(recorded, after);

    if (hadTz)
        ::setenv("TZ", savedTz.c_str(), 1);
    else
        ::unsetenv("TZ");
    ::tzset();
}

TEST_F(Trash, SameNamesAreAllKept) {
    ::mkdir((FDir / "one").c_str(), 0755);
    ::mkdir((FDir / "two").c_str(), 0755);
    WriteFile(FDir / "one/same.txt", "first");
    WriteFile(FDir / "two/same.txt", "second");
    // An item left in files/ without its info file (an interrupted trashing) is not replaced.
    ::mkdir(HomeTrash().c_str(), 0700);
    ::mkdir((HomeTrash() + "/files").c_str(), 0700);
    WriteFile(HomeTrash() + "/files/same.txt", "orphan");

    ASSERT_EQ(MoveToTrash(FDir / "one/same.txt"), 0);
    ASSERT_EQ(MoveToTrash(FDir / "two/same.txt"), 0);
    std::string first = FindTrashed(HomeTrash(), FDir / "one/same.txt");
    std::string second = FindTrashed(HomeTrash(), FDir / "two/same.txt");
    ASSERT_NE(first, "");
    ASSERT_NE(second, "");
    EXPECT_EQ(ReadFile(HomeTrash() + "/files/" + first), "first");
    EXPECT_EQ(ReadFile(HomeTrash() + "/files/" + second), "second");
    EXPECT_EQ(ReadFile(HomeTrash() + "/files/same.txt"), "orphan");
    EXPECT_EQ(Names(HomeTrash() + "/files").size(), 3u);

    std::string listing = TrashList();
    EXPECT_TRUE(Lists(listing, FDir / "one/same.txt")) << listing;
    EXPECT_TRUE(Lists(listing, FDir / "two/same.txt")) << listing;
}

TEST_F(Trash, RelativeAndOddPathsRecordTheAbsolutePath) {
    ::mkdir((FDir / "sub").c_str(), 0755);
    ::symlink((FDir / "sub").c_str(), (FDir / "via").c_str());
    WriteFile(FDir / "sub/rel.txt", "r");
    WriteFile(FDir / "sub/odd.txt", "o");
    char cwd[4096];
    ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(::chdir((FDir / "sub").c_str()), 0);
    int relative = MoveToTrash("rel.txt");
    ASSERT_EQ(::chdir(cwd), 0);
    ASSERT_EQ(relative, 0);
    EXPECT_NE(FindTrashed(HomeTrash(), FDir / "sub/rel.txt"), "");
    // Through a linked folder, with doubled slashes, "." and a trailing slash.
    ASSERT_EQ(MoveToTrash(FDir.Path() + "//via/./odd.txt/"), 0);
    EXPECT_FALSE(Exists(FDir / "sub/odd.txt"));
    EXPECT_TRUE(Exists(FDir / "via"));
    EXPECT_NE(FindTrashed(HomeTrash(), FDir / "via/odd.txt"), "");
}

TEST_F(Trash, FailureLeavesNoInfoFile) {
    EXPECT_EQ(MoveToTrash(FDir / "missing"), ENOENT);
    EXPECT_EQ(MoveToTrash(FDir / "missing/below"), ENOENT);
    EXPECT_NE(MoveToTrash("/"), 0);
    EXPECT_NE(MoveToTrash(""), 0);
    EXPECT_TRUE(Names(HomeTrash() + "/info").empty());

    // The rename fails after the info file was made: "nobody" may not take the file out of a
    // root-owned folder, but has a trash of its own.
    ::mkdir((FDir / "locked").c_str(), 0755);
    WriteFile(FDir / "locked/file", "x");
    ::mkdir((FDir / "nobody-data").c_str(), 0777);
    ::chmod((FDir / "nobody-data").c_str(), 0777);
    int code = RunAsNobody([&] {
        ::setenv("XDG_DATA_HOME", (FDir / "nobody-data").c_str(), 1);
        return MoveToTrash(FDir / "locked/file");
    });
    EXPECT_EQ(code, EACCES);
    EXPECT_TRUE(Exists(FDir / "locked/file"));
    EXPECT_TRUE(Exists(FDir / "nobody-data/Trash/info"));
    EXPECT_TRUE(Names(FDir / "nobody-data/Trash/info").empty());
    EXPECT_TRUE(Names(FDir / "nobody-data/Trash/files").empty());
}

TEST_F(Trash, CanTrashOnlyExistingItemsOnATrashableMount) {
    WriteFile(FDir / "file", "x");
    ::mkdir((FDir / "folder").c_str(), 0755);
    ::symlink((FDir / "nowhere").c_str(), (FDir / "dangling").c_str());
    struct {
        std::string Path;
        bool Expected;
    } cases[] = {
        {FDir / "file", true},
        {FDir / "folder", true},
        {FDir / "dangling", true},
        {FDir / "missing", false},
        {"/proc/version", false}, // a pseudo file system
        {"/", false},
        {"", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(CanTrash(c.Path), c.Expected) << c.Path;
    // Asking makes nothing.
    EXPECT_FALSE(Exists(HomeTrash()));
}

// Mounts made in a private mount namespace of this process: nobody else sees them, and they go
// when the test ends.
class TopDirTrash : public ::testing::Test {
protected:
    void SetUp() override {
        RemoveTree(HomeTrash());
        if (::unshare(CLONE_NEWNS) != 0)
            GTEST_SKIP() << "no private mount namespace: " << std::strerror(errno);
        ASSERT_EQ(::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0)
            << std::strerror(errno);
    }
    void TearDown() override {
        for (auto it = FMounts.rbegin(); it != FMounts.rend(); ++it)
            ::umount2(it->c_str(), MNT_DETACH);
    }
    void Mount(const std::string& ASource, const std::string& ATarget, const char* AType,
               unsigned long AFlags = 0) {
        ::mkdir(ATarget.c_str(), 0755);
        ASSERT_EQ(::mount(ASource.c_str(), ATarget.c_str(), AType, AFlags, nullptr), 0)
            << ATarget << ": " << std::strerror(errno);
        FMounts.push_back(ATarget);
    }
    void Unmount(const std::string& ATarget) {
        ASSERT_EQ(::umount2(ATarget.c_str(), MNT_DETACH), 0) << std::strerror(errno);
        FMounts.erase(std::find(FMounts.begin(), FMounts.end(), ATarget));
    }

    TTempDir FDir;
    std::vector<std::string> FMounts;
    std::string FUid = std::to_string(::getuid());
};

TEST_F(TopDirTrash, ChoosesTheTopDirectoryTrashByItsRules) {
    std::string vol = FDir / "vol";
    std::string other = vol + "/elsewhere";
    struct {
        const char* What;
        std::function<void()> Prepare;
        std::string Trash; // relative to the mount; empty when trashing must be refused
    } cases[] = {
        {"nothing there yet", [] {}, ".Trash-" + FUid},
        {"sticky .Trash", [&] { ::mkdir((vol + "/.Trash").c_str(), 01777); }, ".Trash/" + FUid},
        {"sticky .Trash, our folder in it a planted link",
         [&] {
             ::mkdir((vol + "/.Trash").c_str(), 01777);
             ::mkdir(other.c_str(), 0700);
             ::symlink(other.c_str(), (vol + "/.Trash/" + FUid).c_str());
         },
         ".Trash-" + FUid},
        {"sticky .Trash, our folder in it someone else's",
         [&] {
             ::mkdir((vol + "/.Trash").c_str(), 01777);
             ::mkdir((vol + "/.Trash/" + FUid).c_str(), 0700);
             ::chown((vol + "/.Trash/" + FUid).c_str(), 65534, 65534);
         },
         ".Trash-" + FUid},
        {".Trash not sticky", [&] { ::mkdir((vol + "/.Trash").c_str(), 0777); }, ".Trash-" + FUid},
        {".Trash a link to a sticky folder",
         [&] {
             ::mkdir(other.c_str(), 01777);
             ::chmod(other.c_str(), 01777);
             ::symlink(other.c_str(), (vol + "/.Trash").c_str());
         },
         ".Trash-" + FUid},
        {".Trash-uid a link",
         [&] {
             ::mkdir(other.c_str(), 0700);
             ::symlink(other.c_str(), (vol + "/.Trash-" + FUid).c_str());
         },
         ""},
        {".Trash-uid someone else's",
         [&] {
             ::mkdir((vol + "/.Trash-" + FUid).c_str(), 0700);
             ::chown((vol + "/.Trash-" + FUid).c_str(), 65534, 65534);
         },
         ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.What);
        Mount("tmpfs", vol, "tmpfs");
        mode_t savedMask = ::umask(0);
        c.Prepare();
        ::umask(savedMask);
        ::mkdir((vol + "/sub dir").c_str(), 0755);
        std::string item = vol + "/sub dir/it%em";
        WriteFile(item, "data");

        EXPECT_EQ(CanTrash(item), !c.Trash.empty());
        int result = MoveToTrash(item);
        if (c.Trash.empty()) {
            EXPECT_NE(result, 0);
            EXPECT_TRUE(Exists(item));
            // Nothing went into the folder that was not safely ours.
            EXPECT_TRUE(Names(vol + "/.Trash-" + FUid).empty());
        } else {
            ASSERT_EQ(result, 0);
            EXPECT_FALSE(Exists(item));
            std::string trash = vol + "/" + c.Trash;
            struct stat st {};
            ASSERT_EQ(::lstat(trash.c_str(), &st), 0);
            EXPECT_EQ(st.st_mode & 07777, 0700u);
            EXPECT_EQ(st.st_uid, ::getuid());
            // Relative to the mount, so it restores wherever the medium is mounted next.
            std::string name = FindTrashed(trash, "sub%20dir/it%25em");
            ASSERT_NE(name, "");
            EXPECT_EQ(ReadFile(trash + "/files/" + name), "data");
            EXPECT_TRUE(Names(other).empty());
            std::string listing = TrashList();
            EXPECT_TRUE(Lists(listing, item)) << listing;
        }
        Unmount(vol);
    }
}

TEST_F(TopDirTrash, KindOfMountDecides) {
    // Mounted over /run and /media in this namespace only.
    struct {
        std::string Mount;
        bool Trashable;
    } cases[] = {
        {FDir / "ram", true},     // tmpfs outside /run, /dev and /sys
        {"/media/u/STICK", true}, // removable
        {"/run", false},          // pseudo
    };
    Mount("tmpfs", "/media", "tmpfs");
    ::mkdir("/media/u", 0755);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Mount);
        Mount("tmpfs", c.Mount, "tmpfs");
        std::string item = c.Mount + "/item";
        WriteFile(item, "x");
        EXPECT_EQ(CanTrash(item), c.Trashable);
        if (c.Trashable) {
            EXPECT_EQ(MoveToTrash(item), 0);
            EXPECT_NE(FindTrashed(c.Mount + "/.Trash-" + FUid, "item"), "");
        } else {
            EXPECT_NE(MoveToTrash(item), 0);
            EXPECT_TRUE(Exists(item));
            EXPECT_EQ(Names(c.Mount), std::vector<std::string>{"item"});
        }
    }
}

TEST_F(TopDirTrash, ReadOnlyMountHasNoTrash) {
    std::string vol = FDir / "vol";
    Mount("tmpfs", vol, "tmpfs");
    WriteFile(vol + "/item", "x");
    ::mkdir((vol + "/.Trash-" + FUid).c_str(), 0700);
    ASSERT_EQ(::mount(nullptr, vol.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0);
    EXPECT_FALSE(CanTrash(vol + "/item"));
    EXPECT_EQ(MoveToTrash(vol + "/item"), EROFS);
    EXPECT_TRUE(Exists(vol + "/item"));
}

TEST_F(TopDirTrash, AMountPointIsNotTrashed) {
    std::string vol = FDir / "vol";
    Mount("tmpfs", vol, "tmpfs");
    EXPECT_FALSE(CanTrash(vol));
    // The info file is made in the home trash before the rename fails, and must go again.
    EXPECT_EQ(MoveToTrash(vol), EBUSY);
    EXPECT_TRUE(Names(HomeTrash() + "/info").empty());
    EXPECT_TRUE(Names(HomeTrash() + "/files").empty());
}

TEST_F(TopDirTrash, BindMountOfTheHomeDeviceUsesItsOwnTrash) {
    // Same device as the home trash, but a rename across two mounts fails with EXDEV.
    ::mkdir((FDir / "src").c_str(), 0755);
    WriteFile(FDir / "src/file", "bound");
    std::string bind = FDir / "bind";
    Mount(FDir / "src", bind, nullptr, MS_BIND);
    EXPECT_TRUE(CanTrash(bind + "/file"));
    ASSERT_EQ(MoveToTrash(bind + "/file"), 0);
    std::string name = FindTrashed(bind + "/.Trash-" + FUid, "file");
    ASSERT_NE(name, "");
    EXPECT_EQ(ReadFile(bind + "/.Trash-" + FUid + "/files/" + name), "bound");
    EXPECT_TRUE(Names(HomeTrash() + "/info").empty());
    EXPECT_TRUE(Lists(TrashList(), bind + "/file"));
}

} // namespace
} // namespace kv
