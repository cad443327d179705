#include <gtest/gtest.h>

#include <chrono>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

#include "Kv.FS.Local.h"
#include "KvTestSupport.h"

using namespace kv;
using namespace kv::test;

namespace {

TKvLocalFileSystem& Fs() {
    static TKvLocalFileSystem fs;
    return fs;
}

const TKvFileEntry* Find(const TKvFileEntries& AEntries, const std::string& AName) {
    for (const auto& e : AEntries)
        if (e.Name == AName)
            return &e;
    return nullptr;
}

std::string MessageOf(const std::function<void()>& AAction) {
    try {
        AAction();
    } catch (const EKvFsError& e) {
        return e.what();
    }
    return "(no error)";
}

} // namespace

TEST(LocalPaths, TextOperations) {
    auto& fs = Fs();
    EXPECT_EQ(fs.Normalize(""), "");
    EXPECT_EQ(fs.Normalize("/"), "/");
    EXPECT_EQ(fs.Normalize("//usr///lib/"), "/usr/lib");
    EXPECT_EQ(fs.Normalize("/a/./b/../c"), "/a/c");
    EXPECT_EQ(fs.Normalize("/.."), "/");
    EXPECT_EQ(fs.Normalize("/a\\b"), "/a\\b"); // a backslash is a name character

    EXPECT_EQ(fs.Resolve("/home/u/src", "../doc"), "/home/u/doc");
    EXPECT_EQ(fs.Resolve("/home/u/src", "  /etc/  "), "/etc");
    EXPECT_EQ(fs.Resolve("/home/u", "a/b/.."), "/home/u/a");
    EXPECT_EQ(fs.Resolve("/x", "~"), TestRoot() + "/home");
    EXPECT_EQ(fs.Resolve("/x", "~/notes"), TestRoot() + "/home/notes");
    EXPECT_EQ(fs.Resolve("/x", "~notes"), "/x/~notes"); // only "~" and "~/" mean home

    EXPECT_EQ(fs.Join("/", "etc"), "/etc");
    EXPECT_EQ(fs.Join("/etc", "hosts"), "/etc/hosts");

    EXPECT_EQ(fs.ParentOf("/etc"), "/");
    EXPECT_EQ(fs.ParentOf("/etc/ssh/"), "/etc");
    EXPECT_EQ(fs.ParentOf("/"), "");
    EXPECT_EQ(fs.NameOf("/"), "");
    EXPECT_EQ(fs.NameOf("/etc/ssh_config"), "ssh_config");
    EXPECT_TRUE(fs.IsRoot("/"));
    EXPECT_TRUE(fs.IsRoot(""));
    EXPECT_FALSE(fs.IsRoot("/etc"));

    EXPECT_TRUE(fs.SamePath("/a/b", "/a/b/"));
    EXPECT_FALSE(fs.SamePath("/a/B", "/a/b")); // names differ by case

    EXPECT_EQ(fs.Id(), "local");
    EXPECT_EQ(LocalFs()->Id(), "local");
    EXPECT_EQ(LocalFs().get(), LocalFs().get());
}

TEST(LocalList, EntriesAndTheirFlags) {
    TTempDir dir;
    EXPECT_TRUE(Fs().List(dir.Path(), *NewCancelToken()).empty());

    WriteFile(dir / "file.txt", "12345");
    WriteFile(dir / "File.txt", "1");       // differs only by case: another file
    WriteFile(dir / ".hidden", "");
    WriteFile(dir / "back\\slash", "");
    WriteFile(dir / "bad\xff\xfe", "xy");   // not valid UTF-8
    WriteFile(dir / "ro", "");
    ::chmod((dir / "ro").c_str(), 0444);
    ::mkdir((dir / "sub").c_str(), 0755);
    ::symlink("sub", (dir / "linkdir").c_str());
    ::symlink("nowhere", (dir / "dangling").c_str());
    ::mkfifo((dir / "fifo").c_str(), 0644);

    auto entries = Fs().List(dir.Path(), *NewCancelToken());
    EXPECT_EQ(entries.size(), 10u);
    EXPECT_FALSE(Find(entries, "."));
    EXPECT_FALSE(Find(entries, ".."));

    auto* file = Find(entries, "file.txt");
    ASSERT_TRUE(file);
    EXPECT_EQ(file->Size, 5);
    EXPECT_FALSE(file->IsDir || file->IsLink || file->IsHidden || file->IsSystem || file->IsReadOnly);
    auto now = DateTimeFromUnix(std::chrono::duration_cast<std::chrono::seconds>(
                                    std::chrono::system_clock::now().time_since_epoch())
                                    .count());
    EXPECT_NEAR(file->Modified, now, 60.0 / 86400);

    ASSERT_TRUE(Find(entries, "File.txt"));
    EXPECT_EQ(Find(entries, "File.txt")->Size, 1);
    EXPECT_TRUE(Find(entries, ".hidden")->IsHidden);
    ASSERT_TRUE(Find(entries, "back\\slash"));
    ASSERT_TRUE(Find(entries, "bad\xff\xfe"));
    EXPECT_EQ(Find(entries, "bad\xff\xfe")->Size, 2);
    EXPECT_TRUE(Find(entries, "ro")->IsReadOnly);
    EXPECT_TRUE(Find(entries, "sub")->IsDir);
    EXPECT_EQ(Find(entries, "sub")->Size, 0);

    auto* linkDir = Find(entries, "linkdir");
    EXPECT_TRUE(linkDir->IsDir && linkDir->IsLink);
    EXPECT_EQ(linkDir->LinkTarget, "sub");
    auto* dangling = Find(entries, "dangling");
    EXPECT_TRUE(dangling->IsLink && !dangling->IsDir);
    EXPECT_EQ(dangling->LinkTarget, "nowhere");
    EXPECT_EQ(file->LinkTarget, "");
    EXPECT_TRUE(Find(entries, "fifo")->IsSystem);

    TKvFileEntry stat;
    ASSERT_TRUE(Fs().Stat(dir / "linkdir", stat));
    EXPECT_EQ(stat.Name, "linkdir");
    EXPECT_TRUE(stat.IsDir && stat.IsLink);
    ASSERT_TRUE(Fs().Stat(dir / "bad\xff\xfe", stat));
    EXPECT_EQ(stat, *Find(entries, "bad\xff\xfe"));
    EXPECT_FALSE(Fs().Stat(dir / "missing", stat));
    EXPECT_EQ(stat, TKvFileEntry{});
}

TEST(LocalList, FailuresAndCancellation) {
    TTempDir dir;
    EXPECT_EQ(MessageOf([&] { Fs().List(dir / "missing", *NewCancelToken()); }),
              dir / "missing" + ": No such file or directory");
    TKvFileEntries entries{TKvFileEntry{}};
    EXPECT_FALSE(Fs().TryList(dir / "missing", *NewCancelToken(), entries));
    EXPECT_TRUE(entries.empty());

    // Root reads everything, so the unreadable folder is tried as an ordinary user.
    ::mkdir((dir / "closed").c_str(), 0700);
    int code = RunAsNobody([&] {
        std::string message = MessageOf([&] { Fs().List(dir / "closed", *NewCancelToken()); });
        TKvFileEntries none;
        bool tried = Fs().TryList(dir / "closed", *NewCancelToken(), none);
        return message == dir / "closed" + ": Permission denied" && !tried ? 0 : 1;
    });
    EXPECT_EQ(code, 0);

    for (int i = 0; i < 600; ++i)
        WriteFile(dir / ("f" + std::to_string(i)), "");
    auto token = NewCancelToken();
    token->Cancel();
    EXPECT_THROW(Fs().List(dir.Path(), *token), EKvCancelled);
    EXPECT_THROW(Fs().TryList(dir.Path(), *token, entries), EKvCancelled);
}

TEST(LocalStreams, ReadWriteAndRefuseWhatIsNotAFile) {
    TTempDir dir;
    {
        auto out = Fs().OpenWrite(dir / "data.bin");
        out->WriteAll("hello world", 11);
    }
    auto in = Fs().OpenRead(dir / "data.bin");
    EXPECT_EQ(in->Size(), 11);
    char buffer[16] = {};
    EXPECT_EQ(in->Seek(6, soBegin), 6);
    EXPECT_EQ(in->ReadFully(buffer, 16), 5);
    EXPECT_STREQ(buffer, "world");

    {
        auto out = Fs().OpenWrite(dir / "data.bin"); // truncates
    }
    EXPECT_EQ(ReadFile(dir / "data.bin"), "");

    ::mkfifo((dir / "fifo").c_str(), 0644);
    // Returning at all proves neither open blocked on the pipe.
    EXPECT_EQ(MessageOf([&] { Fs().OpenRead(dir / "fifo"); }), dir / "fifo" + ": not a regular file");
    EXPECT_EQ(MessageOf([&] { Fs().OpenWrite(dir / "fifo"); }), dir / "fifo" + ": not a regular file");
    EXPECT_EQ(MessageOf([&] { Fs().OpenRead("/dev/zero"); }), "/dev/zero: not a regular file");
    EXPECT_EQ(MessageOf([&] { Fs().OpenRead(dir.Path()); }), dir.Path() + ": not a regular file");
    EXPECT_EQ(MessageOf([&] { Fs().OpenRead(dir / "nope"); }), dir / "nope" + ": No such file or directory");
    EXPECT_FALSE(Fs().CanRead(dir / "fifo"));
    EXPECT_TRUE(Fs().CanRead(dir / "data.bin"));
}

TEST(LocalChanges, MakeRenameDelete) {
    TTempDir dir;
    Fs().MakeDir(dir / "a/b/c");
    EXPECT_TRUE(Exists(dir / "a/b/c"));
    EXPECT_NO_THROW(Fs().MakeDir(dir / "a/b/c"));
    WriteFile(dir / "plain", "x");
    EXPECT_EQ(MessageOf([&] { Fs().MakeDir(dir / "plain"); }), dir / "plain" + ": File exists");

    // Without overwrite an existing target is never replaced.
    WriteFile(dir / "one", "1");
    WriteFile(dir / "two", "2");
    EXPECT_EQ(MessageOf([&] { Fs().RenamePath(dir / "one", dir / "two", false); }),
              dir / "one" + ": File exists");
    EXPECT_EQ(ReadFile(dir / "two"), "2");
    Fs().RenamePath(dir / "one", dir / "two", true);
    EXPECT_EQ(ReadFile(dir / "two"), "1");
    EXPECT_FALSE(Exists(dir / "one"));
    Fs().RenamePath(dir / "two", dir / "Two", false);
    EXPECT_TRUE(Exists(dir / "Two"));

    // A link to a folder is removed as a link; the folder's contents stay.
    WriteFile(dir / "a/b/c/keep", "k");
    ::symlink((dir / "a/b/c").c_str(), (dir / "link").c_str());
    Fs().DeleteDirAt(dir / "link");
    EXPECT_FALSE(Exists(dir / "link"));
    EXPECT_EQ(ReadFile(dir / "a/b/c/keep"), "k");

    EXPECT_NE(MessageOf([&] { Fs().DeleteDirAt(dir / "a/b/c"); }), "(no error)"); // not empty
    Fs().DeleteFileAt(dir / "a/b/c/keep");
    Fs().DeleteDirAt(dir / "a/b/c/");
    EXPECT_FALSE(Exists(dir / "a/b/c"));
    EXPECT_EQ(MessageOf([&] { Fs().DeleteFileAt(dir / "gone"); }), dir / "gone" + ": No such file or directory");

    // A read-only file in a writable folder can be deleted by its owner.
    ::chmod(dir.Path().c_str(), 0777);
    int code = RunAsNobody([&] {
        WriteFile(dir / "mine", "");
        ::chmod((dir / "mine").c_str(), 0444);
        Fs().DeleteFileAt(dir / "mine");
        return Exists(dir / "mine") ? 1 : 0;
    });
    EXPECT_EQ(code, 0);
}

TEST(LocalChanges, ModifiedTimeAndSpace) {
    TTempDir dir;
    WriteFile(dir / "f", "");
    TKvFileEntry before;
    ASSERT_TRUE(Fs().Stat(dir / "f", before));
    Fs().SetModified(dir / "f", 0);
    TKvFileEntry after;
    Fs().Stat(dir / "f", after);
    EXPECT_EQ(after.Modified, before.Modified);

    TKvDateTime when = EncodeDateTime({2021, 6, 15, 10, 30, 45, 500});
    Fs().SetModified(dir / "f", when);
    Fs().Stat(dir / "f", after);
    EXPECT_NEAR(after.Modified, when, 0.001 / 86400);
    EXPECT_THROW(Fs().SetModified(dir / "missing", when), EKvFsError);

    EXPECT_GT(Fs().FreeSpace(dir.Path()), 0);
    EXPECT_EQ(Fs().FreeSpace(dir / "missing"), -1);
    EXPECT_TRUE(Fs().CanRenameDirect(dir / "f", dir / "new/deeper/name"));
}

TEST(LocalChanges, AcrossMountsRenameFailsAsCrossDevice) {
    TTempDir dir;
    struct stat shm {}, here {};
    if (::stat("/dev/shm", &shm) != 0 || ::stat(dir.Path().c_str(), &here) != 0 || shm.st_dev == here.st_dev)
        GTEST_SKIP() << "no second mount to move to";
    std::string other = "/dev/shm/kvtest-" + std::to_string(::getpid());
    WriteFile(dir / "f", "x");
    EXPECT_FALSE(Fs().CanRenameDirect(dir / "f", other));
    EXPECT_THROW(Fs().RenamePath(dir / "f", other, false), EKvCrossDevice);
    EXPECT_TRUE(Exists(dir / "f"));
    ::unlink(other.c_str());
}

TEST(LocalTrash, RecycleMovesToTheTrashThatTrashListReads) {
    TTempDir dir;
    std::string path = dir / "to trash.txt";
    WriteFile(path, "bye");
    ASSERT_TRUE(Fs().CanRecycle(path));
    Fs().Recycle(path);
    EXPECT_FALSE(Exists(path));
    std::string listing = RunCommand("trash-list 2>/dev/null");
    EXPECT_NE(listing.find(path), std::string::npos) << listing;

    EXPECT_FALSE(Fs().CanRecycle("/proc/self/status"));
    EXPECT_EQ(MessageOf([&] { Fs().Recycle("/proc/self/status"); }),
              "/proc/self/status: the Trash is not available here");
    // Removed by another program after it was listed: the reason is that it is gone.
    EXPECT_EQ(MessageOf([&] { Fs().Recycle(path); }), path + ": No such file or directory");
}

TEST(LocalList, LinksCarryTheirTargetAndWhetherItIsMissing) {
    TTempDir dir;
    WriteFile(dir / "file", "x");
    ASSERT_EQ(::symlink("file", (dir / "to file").c_str()), 0);
    ASSERT_EQ(::symlink("/nowhere/at all", (dir / "broken").c_str()), 0);
    ASSERT_EQ(::symlink(".", (dir / "here").c_str()), 0);
    TKvFileEntries entries = Fs().List(dir.Path(), *NewCancelToken());
    struct TCase {
        const char* Name;
        bool IsLink, IsDir, Broken;
        const char* Target;
    } cases[] = {{"file", false, false, false, ""},
                 {"to file", true, false, false, "file"},
                 {"broken", true, false, true, "/nowhere/at all"},
                 {"here", true, true, false, "."}};
    for (const auto& c : cases) {
        const TKvFileEntry* e = Find(entries, c.Name);
        ASSERT_TRUE(e) << c.Name;
        EXPECT_EQ(e->IsLink, c.IsLink) << c.Name;
        EXPECT_EQ(e->IsDir, c.IsDir) << c.Name;
        EXPECT_EQ(e->LinkBroken, c.Broken) << c.Name;
        EXPECT_EQ(e->LinkTarget, c.Target) << c.Name;
    }
}

TEST(LocalStreams, AFailedCloseFailsTheWrite) {
    TTempDir dir;
    const std::string path = dir / "out";
    TKvStreamPtr out = Fs().OpenWrite(path);
    out->WriteAll("data", 4);
    auto* finishable = dynamic_cast<TKvFinishableStream*>(out.get());
    ASSERT_TRUE(finishable);
    // Take the descriptor away behind the stream's back: its close() then fails, as a full quota
    // or a lost server makes it fail, and Finish must say so.
    int fd = -1;
    for (const auto& link : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        if (std::filesystem::read_symlink(link.path(), error) == path)
            fd = std::stoi(link.path().filename().string());
    }
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::close(fd), 0);
    EXPECT_EQ(MessageOf([&] { finishable->Finish(); }), path + ": Bad file descriptor");
    out.reset(); // and the descriptor is not closed a second time

    TKvStreamPtr good = Fs().OpenWrite(path);
    good->WriteAll("fine", 4);
    dynamic_cast<TKvFinishableStream&>(*good).Finish();
    good.reset();
    EXPECT_EQ(ReadFile(path), "fine");
}

TEST(LocalChanges, LinksAreMadeAndReadAsText) {
    TTempDir dir;
    auto& links = dynamic_cast<IKvSymlinks&>(Fs());
    // Targets are text: relative, absolute, missing or long, none is followed or checked.
    const std::string longTarget = std::string(300, 'n') + "/" + std::string(300, 'm');
    for (const std::string& target : {std::string("a.txt"), std::string("/"),
                                      std::string("../../outside"), longTarget}) {
        SCOPED_TRACE(target);
        ::unlink((dir / "link").c_str());
        links.MakeLink(dir / "link", target);
        std::string read;
        EXPECT_TRUE(links.ReadLink(dir / "link", read));
        EXPECT_EQ(read, target);
    }
    EXPECT_EQ(MessageOf([&] { links.MakeLink(dir / "link", "other"); }).rfind(dir / "link: ", 0),
              0u);
    WriteFile(dir / "file", "x");
    std::string read = "stale";
    EXPECT_FALSE(links.ReadLink(dir / "file", read));
    EXPECT_EQ(read, "");
    EXPECT_FALSE(links.ReadLink(dir / "missing", read));
    EXPECT_FALSE(links.ReadLink(dir / "file/below", read));
}
