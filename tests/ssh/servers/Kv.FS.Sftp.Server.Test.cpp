// The SFTP file system against OpenSSH's sftp-server and the asyncssh fake.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "Kv.FS.Sftp.h"
#include "Kv.Sftp.Streams.h"
#include "Kv.Log.h"
#include "KvSshPeers.h"
#include "KvTestSupport.h"

namespace kv {
namespace {

using test::TRemoteDir;
using test::TScriptedUi;
using test::TSshd;

struct TOpened {
    IKvFileSystemPtr Fs;
    std::string Start, Learned;
};

TOpened Open(const TKvConnector& AConn) {
    TOpened opened;
    auto token = NewCancelToken();
    opened.Fs =
        OpenSftp(AConn, std::make_shared<TScriptedUi>(), *token, opened.Learned, opened.Start);
    return opened;
}

std::string ErrorOf(const std::function<void()>& AAction) {
    try {
        AAction();
    } catch (const EKvFsError& e) {
        return e.what();
    }
    return "";
}

TKvFileEntry Find(const TKvFileEntries& AEntries, const std::string& AName) {
    for (const auto& entry : AEntries)
        if (entry.Name == AName)
            return entry;
    ADD_FAILURE() << "no entry " << AName;
    return {};
}

class SftpFs : public ::testing::Test {
protected:
    static void TearDownTestSuite() {
        GFs.reset();
        GServer.reset();
    }
    void SetUp() override {
        KV_REQUIRE_SSH();
        if (!GServer) {
            GServer = std::make_unique<TSshd>();
            GFs = Open(test::KeyConn(GServer->Port())).Fs;
        }
        FFs = GFs;
        FSftp = dynamic_cast<TKvSftpFileSystem*>(FFs.get());
        FDir = std::make_unique<TRemoteDir>();
    }
    std::string Remote(const std::string& AName) const { return *FDir / AName; }
    void Put(const std::string& AName, const std::string& AText) {
        test::WriteFile(Remote(AName), AText);
        test::RunCommand("chown kvkey: '" + Remote(AName) + "'");
    }

    static inline std::unique_ptr<TSshd> GServer;
    static inline IKvFileSystemPtr GFs;
    IKvFileSystemPtr FFs;
    TKvSftpFileSystem* FSftp = nullptr;
    std::unique_ptr<TRemoteDir> FDir;
};

TEST_F(SftpFs, StartFolders) {
    auto conn = test::KeyConn(GServer->Port());
    EXPECT_EQ(Open(conn).Start, "/home/kvkey");
    conn.StartDir = " /tmp ";
    EXPECT_EQ(Open(conn).Start, "/tmp");
    conn.StartDir = "/no/such/folder";
    EXPECT_EQ(Open(conn).Start, "/home/kvkey");
    EXPECT_EQ(SftpHomeOf(FFs), "/home/kvkey");
    EXPECT_EQ(SftpHomeOf(nullptr), "");
    EXPECT_EQ(FFs->Id(), "sftp:kvkey@127.0.0.1:" + std::to_string(GServer->Port()));
}

TEST_F(SftpFs, ListingShowsLinksAsTheirTargets) {
    Put("file.txt", "12345");
    Put(".hidden", "h");
    test::RunCommand("cd '" + FDir->Path() +
                     "' && mkdir sub && ln -s sub dirlink && ln -s file.txt filelink && "
                     "ln -s nowhere dangling && chmod 444 file.txt && chown -h kvkey: *");
    auto entries = FFs->List(FDir->Path(), *NewCancelToken());
    EXPECT_EQ(entries.size(), 6u);
    TKvFileEntry file = Find(entries, "file.txt");
    EXPECT_EQ(file.Size, 5);
    EXPECT_TRUE(file.IsReadOnly);
    EXPECT_FALSE(file.IsDir || file.IsLink);
    EXPECT_GT(file.Modified, 40000); // a date of this century
    EXPECT_TRUE(Find(entries, ".hidden").IsHidden);
    EXPECT_TRUE(Find(entries, "sub").IsDir);
    TKvFileEntry dirlink = Find(entries, "dirlink");
    EXPECT_TRUE(dirlink.IsDir && dirlink.IsLink);
    TKvFileEntry filelink = Find(entries, "filelink");
    EXPECT_TRUE(filelink.IsLink && !filelink.IsDir);
    EXPECT_EQ(filelink.Size, 5);
    TKvFileEntry dangling = Find(entries, "dangling");
    EXPECT_TRUE(dangling.IsLink && !dangling.IsDir);

    TKvFileEntry stat;
    ASSERT_TRUE(FFs->Stat(Remote("dirlink"), stat));
    EXPECT_TRUE(stat.IsDir); // followed
    EXPECT_EQ(stat.Name, "dirlink");
    EXPECT_FALSE(FFs->Stat(Remote("missing"), stat));
    EXPECT_EQ(stat, TKvFileEntry{});

    TKvFileEntries tried;
    EXPECT_FALSE(FSftp->TryList(Remote("missing"), *NewCancelToken(), tried));
    EXPECT_TRUE(tried.empty());
    EXPECT_EQ(ErrorOf([&] { FFs->List(Remote("missing"), *NewCancelToken()); }),
              Remote("missing") + ": no such file or directory");
}

TEST_F(SftpFs, LinksAreReadAndMadeAsTheirText) {
    Put("file.txt", "12345");
    test::RunCommand("cd '" + FDir->Path() +
                     "' && ln -s file.txt filelink && ln -s '../no where' dangling && "
                     "chown -h kvkey: *");
    auto* links = dynamic_cast<IKvSymlinks*>(FFs.get());
    ASSERT_TRUE(links);
    std::string text;
    ASSERT_TRUE(links->ReadLink(Remote("filelink"), text));
    EXPECT_EQ(text, "file.txt");
    ASSERT_TRUE(links->ReadLink(Remote("dangling"), text));
    EXPECT_EQ(text, "../no where");
    EXPECT_FALSE(links->ReadLink(Remote("file.txt"), text));
    EXPECT_EQ(ErrorOf([&] { links->ReadLink(Remote("missing"), text); }),
              Remote("missing") + ": no such file or directory");

    // Made with the text as given, never followed: the link lands where it was asked for, and
    // nothing appears under the text's name.
    links->MakeLink(Remote("made"), "../elsewhere/x y");
    EXPECT_EQ(test::RunCommand("readlink '" + Remote("made") + "'"), "../elsewhere/x y\n");
    links->MakeLink(Remote("to-file"), "file.txt");
    EXPECT_EQ(test::RunCommand("cat '" + Remote("to-file") + "'"), "12345");
    EXPECT_EQ(ErrorOf([&] { links->MakeLink(Remote("made"), "other"); }),
              Remote("made") + ": file already exists");
    // A folder the user may not write to: refused, and said so.
    EXPECT_EQ(ErrorOf([&] { links->MakeLink("/root/made", "x"); }),
              "/root/made: the server did not make the link");
    EXPECT_EQ(test::RunCommand("readlink '" + Remote("made") + "'"), "../elsewhere/x y\n");
    EXPECT_EQ(test::RunCommand("cd '" + FDir->Path() + "' && ls -A | sort | tr '\n' ' '"),
              "dangling file.txt filelink made to-file ");
}

TEST_F(SftpFs, IdentityFollowsLinks) {
    test::RunCommand("cd '" + FDir->Path() +
                     "' && mkdir -p in/sub out && ln -s ../out in/away && ln -s sub in/near && "
                     "chown -Rh kvkey: .");
    auto* identity = dynamic_cast<IKvFileIdentity*>(FFs.get());
    ASSERT_TRUE(identity);
    const std::string in = Remote("in");
    const struct {
        std::string Path;
        bool Inside;
    } cases[] = {
        {in, true},
        {in + "/sub", true},
        {in + "/sub/not-yet/deeper", true}, // the nearest existing folder decides
        {in + "/near/x", true},
        {in + "/away", false}, // a link out of the folder
        {in + "/away/new", false},
        {Remote("out"), false},
        {Remote("in-other"), false}, // a name that only begins like the folder
    };
    for (const auto& c : cases)
        EXPECT_EQ(identity->Contains(in, c.Path), c.Inside) << c.Path;
    EXPECT_FALSE(identity->Contains(Remote("missing"), in));
    EXPECT_TRUE(identity->SameFile(in + "/near", in + "/sub"));
    EXPECT_TRUE(identity->SameFile(in + "/../in/sub", in + "/sub"));
    EXPECT_FALSE(identity->SameFile(in + "/sub", Remote("out")));
    EXPECT_FALSE(identity->SameFile(Remote("missing"), Remote("missing")));
}

TEST_F(SftpFs, ListingManyEntriesAndCancel) {
    test::RunCommand("cd '" + FDir->Path() +
                     "' && mkdir many && cd many && seq 1 700 | xargs touch");
    EXPECT_EQ(FFs->List(Remote("many"), *NewCancelToken()).size(), 700u);
    auto cancelled = NewCancelToken();
    cancelled->Cancel();
    EXPECT_THROW(FFs->List(Remote("many"), *cancelled), EKvCancelled);
    // The session is still usable after a cancelled listing.
    EXPECT_EQ(FFs->List(Remote("many"), *NewCancelToken()).size(), 700u);
}

TEST_F(SftpFs, StreamsReadSeekAndWrite) {
    std::string data;
    for (int i = 0; i < 3000000; ++i)
        data += static_cast<char>('a' + (i * 7919LL) % 26);
    Put("big.bin", data);
    auto in = FFs->OpenRead(Remote("big.bin"));
    EXPECT_EQ(in->Size(), static_cast<int64_t>(data.size()));
    std::string buffer(1048576, '\0');
    // The first request is small (a small file costs two requests), each next one twice as
    // large; a caller gets at most 256 KiB per call.
    int64_t at = 0;
    for (int i = 0; i < 8; ++i) {
        const int64_t n = in->Read(buffer.data(), 1048576);
        EXPECT_GT(n, 0);
        EXPECT_LE(n, i == 0 ? KSftpFirstRead : 262144);
        EXPECT_TRUE(buffer.compare(0, static_cast<size_t>(n), data, static_cast<size_t>(at),
                                   static_cast<size_t>(n)) == 0);
        at += n;
    }
    in->Seek(2999990, soBegin);
    EXPECT_EQ(in->Read(buffer.data(), 100), 10);
    EXPECT_EQ(buffer.substr(0, 10), data.substr(2999990));
    EXPECT_EQ(in->Read(buffer.data(), 100), 0);
    in->Seek(-2999000, soCurrent);
    EXPECT_EQ(in->Position(), 1000);
    EXPECT_EQ(in->ReadFully(buffer.data(), 5), 5);
    EXPECT_EQ(buffer.substr(0, 5), data.substr(1000, 5));
    in->Seek(-5000, soCurrent);
    EXPECT_EQ(in->Position(), 0);
    EXPECT_EQ(ErrorOf([&] { in->Seek(0, soEnd); }),
              "A remote file can only be positioned from the start or the current place");
    EXPECT_EQ(ErrorOf([&] { in->Write("x", 1); }), "This stream is read-only");
    in.reset();

    auto out = FFs->OpenWrite(Remote("copy.bin"));
    for (size_t at = 0; at < data.size(); at += 100000)
        out->WriteAll(data.data() + at, std::min<size_t>(100000, data.size() - at));
    EXPECT_EQ(out->Position(), static_cast<int64_t>(data.size()));
    EXPECT_EQ(ErrorOf([&] { out->Seek(5, soBegin); }),
              "A remote file can only be written from the start to the end");
    EXPECT_EQ(ErrorOf([&] { out->Read(buffer.data(), 1); }), "This stream is write-only");
    dynamic_cast<TKvFinishableStream&>(*out).Finish();
    out.reset();
    EXPECT_EQ(test::ReadFile(Remote("copy.bin")), data);
    struct stat info {};
    ASSERT_EQ(::stat(Remote("copy.bin").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0644u);

    EXPECT_EQ(ErrorOf([&] { FFs->OpenRead(Remote("nothing")); }),
              Remote("nothing") + ": no such file or directory");
    EXPECT_EQ(ErrorOf([&] { FFs->OpenWrite(Remote("no/such/folder")); }),
              Remote("no/such/folder") + ": no such file or directory");
}

TEST_F(SftpFs, AbandonedUploadClosesTheHandle) {
    {
        auto out = FFs->OpenWrite(Remote("left.bin"));
        out->WriteAll("partial", 7);
    }
    // The session goes on working after an unfinished stream.
    TKvFileEntry entry;
    EXPECT_TRUE(FFs->Stat(Remote("left.bin"), entry));
}

TEST_F(SftpFs, MakeDirDeleteAndLinks) {
    FFs->MakeDir(Remote("a/b/c"));
    EXPECT_TRUE(test::Exists(Remote("a/b/c")));
    FFs->MakeDir(Remote("a/b")); // exists: nothing to do
    Put("a/file", "x");
    EXPECT_EQ(ErrorOf([&] { FFs->MakeDir(Remote("a/file/d")); }),
              Remote("a/file") + ": a file with this name exists");

    test::RunCommand("cd '" + FDir->Path() + "' && ln -s a/b linked && chown -h kvkey: linked");
    FFs->DeleteDirAt(Remote("linked"));
    EXPECT_FALSE(test::Exists(Remote("linked")));
    EXPECT_TRUE(test::Exists(Remote("a/b/c")));
    EXPECT_EQ(ErrorOf([&] { FFs->DeleteDirAt(Remote("a/b")); }),
              Remote("a/b") + ": the server reported a failure");
    FFs->DeleteDirAt(Remote("a/b/c"));
    EXPECT_FALSE(test::Exists(Remote("a/b/c")));
    FFs->DeleteFileAt(Remote("a/file"));
    EXPECT_FALSE(test::Exists(Remote("a/file")));
    EXPECT_EQ(ErrorOf([&] { FFs->DeleteFileAt(Remote("a/file")); }),
              Remote("a/file") + ": no such file or directory");
}

// "\\" is an ordinary character of a Unix name: a file "a\\b.txt" beside a folder "a" holding
// "b.txt" is listed, read and deleted as itself, and the other file is never touched.
TEST_F(SftpFs, BackslashIsPartOfAName) {
    FFs->MakeDir(Remote("a"));
    Put("a/b.txt", "the other file");
    Put("a\\b.txt", "backslash");
    const auto entries = FFs->List(FDir->Path(), *NewCancelToken());
    EXPECT_EQ(Find(entries, "a\\b.txt").Size, 9);
    std::string text(16, '\0');
    text.resize(FFs->OpenRead(FFs->Join(FDir->Path(), "a\\b.txt"))->ReadFully(text.data(), 16));
    EXPECT_EQ(text, "backslash");
    FFs->DeleteFileAt(FFs->Join(FDir->Path(), "a\\b.txt"));
    EXPECT_FALSE(test::Exists(Remote("a\\b.txt")));
    EXPECT_EQ(test::ReadFile(Remote("a/b.txt")), "the other file");
}

TEST_F(SftpFs, RenameWithOverwriteFallback) {
    Put("old", "new content");
    Put("target", "old content");
    EXPECT_EQ(ErrorOf([&] { FFs->RenamePath(Remote("old"), Remote("target"), false); }),
              Remote("old") + ": the server reported a failure");
    FFs->RenamePath(Remote("old"), Remote("target"), true);
    EXPECT_EQ(test::ReadFile(Remote("target")), "new content");
    EXPECT_FALSE(test::Exists(Remote("old")));
    EXPECT_EQ(test::RunCommand("ls '" + FDir->Path() + "'"), "target\n");

    // The second rename fails: the former target comes back under its name.
    std::string error = ErrorOf([&] { FFs->RenamePath(Remote("gone"), Remote("target"), true); });
    EXPECT_EQ(error, Remote("gone") + ": no such file or directory");
    EXPECT_EQ(test::ReadFile(Remote("target")), "new content");
    EXPECT_EQ(test::RunCommand("ls '" + FDir->Path() + "'"), "target\n");
    FFs->RenamePath(Remote("target"), Remote("moved"), false);
    EXPECT_TRUE(test::Exists(Remote("moved")));
}

TEST_F(SftpFs, TimesModesFreeSpaceAndExec) {
    Put("f", "x");
    TKvDateTime when = EncodeDateTime({2021, 3, 4, 5, 6, 7, 0});
    FFs->SetModified(Remote("f"), when);
    TKvFileEntry entry;
    ASSERT_TRUE(FFs->Stat(Remote("f"), entry));
    EXPECT_EQ(entry.Modified, when);
    FFs->SetModified(Remote("f"), EncodeDateTime({1960, 1, 1, 0, 0, 0, 0})); // before 1970: nothing
    FFs->SetModified(Remote("f"), 0);
    ASSERT_TRUE(FFs->Stat(Remote("f"), entry));
    EXPECT_EQ(entry.Modified, when);
    EXPECT_EQ(ErrorOf([&] { FFs->SetModified(Remote("nothing"), when); }),
              Remote("nothing") + ": no such file or directory");

    auto* mode = dynamic_cast<IKvFileMode*>(FFs.get());
    ASSERT_NE(mode, nullptr);
    mode->SetMode(Remote("f"), 0100751); // the type bits are not sent
    uint32_t bits = 0;
    ASSERT_TRUE(mode->GetMode(Remote("f"), bits));
    EXPECT_EQ(bits, 0751u);
    EXPECT_FALSE(mode->GetMode(Remote("nothing"), bits));
    EXPECT_EQ(bits, 0u);

    EXPECT_GT(FFs->FreeSpace(FDir->Path()), 0);

    auto* exec = dynamic_cast<IKvRemoteExec*>(FFs.get());
    ASSERT_NE(exec, nullptr);
    std::string output;
    EXPECT_EQ(exec->Exec("echo ' out'; echo err >&2; exit 3", output), 3);
    EXPECT_EQ(output, "out\nerr");
    EXPECT_EQ(exec->Exec("stat -c '%U %G' -- '" + Remote("f") + "'", output), 0);
    EXPECT_EQ(output, "kvkey kvkey");
}

TEST_F(SftpFs, WorkersShareTheSession) {
    std::string data(8 * 1048576, 'z');
    Put("shared.bin", data);
    test::RunCommand("cd '" + FDir->Path() + "' && mkdir l && cd l && seq 1 300 | xargs touch");
    std::atomic<int> listings{0};
    std::string copied;
    std::thread reader([&] {
        auto in = FFs->OpenRead(Remote("shared.bin"));
        std::string buffer(1048576, '\0');
        for (int64_t n; (n = in->Read(buffer.data(), 1048576)) > 0;)
            copied.append(buffer.data(), static_cast<size_t>(n));
    });
    std::thread lister([&] {
        for (int i = 0; i < 20; ++i)
            if (FFs->List(Remote("l"), *NewCancelToken()).size() == 300)
                ++listings;
    });
    reader.join();
    lister.join();
    EXPECT_EQ(copied == data, true);
    EXPECT_EQ(listings, 20);
}

TEST(SftpOpen, ServerWithoutSftp) {
    KV_REQUIRE_SSH();
    TSshd server("--no-sftp");
    std::string error = ErrorOf([&] { Open(test::KeyConn(server.Port())); });
    EXPECT_EQ(error.rfind("The server does not offer SFTP: ", 0), 0u) << error;
}

class SftpFake : public ::testing::Test {
protected:
    void SetUp() override { KV_REQUIRE_SSH(); }
    TKvConnector Conn(const test::TFakeSsh& AFake) {
        TKvConnector conn = test::PasswordConn(AFake.Port(), test::TFakeSsh::KUser);
        conn.Secret = test::TFakeSsh::KPassword;
        return conn;
    }
};

TEST_F(SftpFake, ChrootedRootAndChosenStatusCodes) {
    test::TFakeSsh fake;
    test::WriteFile(fake.Root() + "/top.txt", "top");
    auto conn = Conn(fake);
    conn.StartDir = "/no/such/place";
    TOpened opened = Open(conn);
    EXPECT_EQ(opened.Start, "/");
    auto entries = opened.Fs->List("/", *NewCancelToken());
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].Name, "top.txt");
    EXPECT_EQ(entries[0].Size, 3);

    const std::pair<int, const char*> statuses[] = {
        {2, "no such file or directory"},
        {3, "permission denied"},
        {4, "the server reported a failure"},
        {5, "bad message"},
        {8, "operation not supported by the server"},
    }; // asyncssh sends codes above 8 to version 3 clients as 4
    for (const auto& [code, text] : statuses) {
        std::string path = "/status-" + std::to_string(code);
        EXPECT_EQ(ErrorOf([&] { opened.Fs->List(path, *NewCancelToken()); }), path + ": " + text);
        EXPECT_EQ(ErrorOf([&] { opened.Fs->OpenRead(path + ".bin"); }), path + ".bin: " + text);
        EXPECT_EQ(ErrorOf([&] { opened.Fs->OpenWrite(path + ".up"); }), path + ".up: " + text);
    }
    TKvFileEntry entry;
    EXPECT_FALSE(opened.Fs->Stat("/status-3", entry));

    std::string output;
    std::string refused =
        ErrorOf([&] { dynamic_cast<IKvRemoteExec&>(*opened.Fs).Exec("true", output); });
    EXPECT_TRUE(refused.rfind("The server refused to run the command: ", 0) == 0 ||
                refused.rfind("Could not open a channel: ", 0) == 0)
        << refused;
}

// AsyncSSH reads SYMLINK in the draft's order, OpenSSH in its own: the link lands where asked
// on both (the OpenSSH case is LinksAreReadAndMadeAsTheirText).
TEST_F(SftpFake, LinksMadeInTheServersOrder) {
    EXPECT_TRUE(SftpSymlinkInDraftOrder("SSH-2.0-AsyncSSH_2.10.1"));
    EXPECT_FALSE(SftpSymlinkInDraftOrder("SSH-2.0-OpenSSH_9.2p1 Debian-2+deb12u3"));
    EXPECT_FALSE(SftpSymlinkInDraftOrder("SSH-2.0-dropbear_2022.83"));
    test::TFakeSsh fake;
    test::WriteFile(fake.Root() + "/file.txt", "data");
    TOpened opened = Open(Conn(fake));
    auto& links = dynamic_cast<IKvSymlinks&>(*opened.Fs);
    links.MakeLink("/made", "file.txt");
    EXPECT_EQ(test::RunCommand("readlink '" + fake.Root() + "/made'"), "file.txt\n");
    EXPECT_FALSE(test::Exists(fake.Root() + "/file.txt/made"));
}

// A server that takes the old file aside but refuses both the rename over the target and the
// move back: the user's file lives on only under the made-up name, and the message says which.
TEST_F(SftpFake, AFailedMoveBackNamesWhereTheOldFileIs) {
    test::TFakeSsh fake;
    test::WriteFile(fake.Root() + "/report.locked", "the user's file");
    test::WriteFile(fake.Root() + "/report.kvpart", "new data");
    TOpened opened = Open(Conn(fake));
    const std::string error = ErrorOf([&] { opened.Fs->RenamePath("/report.kvpart", "/report.locked", true); });
    const std::string kept = ". The old file could not be put back and is now /report.locked.kvold-";
    ASSERT_NE(error.find(kept), std::string::npos) << error;
    EXPECT_EQ(error.rfind("/report.locked: could not be replaced: ", 0), 0u) << error;
    const std::string aside = error.substr(error.find(" is now /") + 8);
    EXPECT_EQ(test::ReadFile(fake.Root() + aside), "the user's file");
    EXPECT_EQ(test::ReadFile(fake.Root() + "/report.kvpart"), "new data");
}

TEST_F(SftpFake, HostileNamesAreLeftOutCountedAndLogged) {
    test::TFakeSsh fake;
    // The fake sends its hostile names, an empty one first, before these real files.
    test::RunCommand("mkdir -p '" + fake.Root() + "/hostile' && cd '" + fake.Root() +
                     "/hostile' && echo fine > ok.txt && echo 2 > second.txt && mkdir sub");
    test::TTempDir logs;
    SetLogFolder(logs.Path());
    ClearLog();
    TOpened opened = Open(Conn(fake));
    auto entries = opened.Fs->List("/hostile", *NewCancelToken());
    std::vector<std::string> names;
    for (const auto& entry : entries)
        names.push_back(entry.Name);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"ok.txt", "second.txt", "sub"}));
    EXPECT_EQ(dynamic_cast<IKvFolderLeftOut&>(*opened.Fs).LeftOutIn("/hostile/"), 6);
    std::string log = test::ReadFile(LogPath());
    EXPECT_NE(log.find("sftp: left out the name [../escape] in /hostile"), std::string::npos) << log;
    for (const char* shown : {"[]", "[a/b]", "[nul\\x00name]", "[bell\\x07]", "[esc\\x1b[2J]"})
        EXPECT_NE(log.find(shown), std::string::npos) << shown;

}

} // namespace
} // namespace kv
