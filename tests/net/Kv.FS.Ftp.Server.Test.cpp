// The FTP file system against real servers: vsftpd with explicit and implicit FTPS (session
// reuse required), pyftpdlib for plain FTP, MLSD and faults, and a self-signed server for pinning.
#include "Kv.FS.Ftp.h"

#include <fcntl.h>
#include <future>
#include <thread>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "Kv.FS.Local.h"
#include "Kv.KnownHosts.h"
#include "KvFtpServers.h"
#include "KvListener.h"
#include "KvTestSupport.h"
#include "TransferTestHost.h"

namespace kv {
namespace {

using test::ErrorOf;
using test::TScriptedUi;
using test::TTempDir;

class FtpServer : public ::testing::Test {
protected:
    void SetUp() override {
        FServers = test::FtpServers();
        if (!FServers) {
            if (test::MustHaveServers())
                FAIL() << "the FTP servers did not start (CI=true)";
            GTEST_SKIP() << "the FTP servers did not start";
        }
        std::remove(FServers->PyFault.c_str());
        FOptions.Limits.ConnectMs = 5000;
        FOptions.Limits.ReplyMs = 10000;
        FOptions.Limits.DataMs = 10000;
        FOptions.KnownHostsFile = FKnown / "known_hosts.txt";
    }

    TKvFtpOpened Open(TKvConnectorKind AKind, std::shared_ptr<TScriptedUi> AUi = nullptr) {
        TKvCancelToken token;
        return OpenFtp(Connector(AKind), AUi, token, FOptions);
    }

    TKvConnector Connector(TKvConnectorKind AKind) const {
        if (AKind == ckFtp)
            return test::FtpConnector(ckFtp, FServers->PlainPort, "kvtest", "kvpass");
        return test::FtpConnector(AKind,
                                  AKind == ckFtps ? FServers->ExplicitPort : FServers->ImplicitPort,
                                  FServers->User, FServers->Password);
    }

    // A fresh folder on the server for this test; its local path too.
    std::string ServerFolder(TKvFtpOpened& AOpened, TKvConnectorKind AKind,
                             std::string* ALocal = nullptr) {
        const std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name() +
                                 std::to_string(FCounter++);
        const std::string path = AOpened.Fs->Join(AOpened.StartDir, name);
        AOpened.Fs->MakeDir(path);
        if (ALocal)
            *ALocal = (AKind == ckFtp ? FServers->PyRoot : FServers->VsRoot) + "/" + name;
        return path;
    }

    const test::TFtpServers* FServers = nullptr;
    TTempDir FKnown;
    TKvFtpOptions FOptions;
    int FCounter = 0;
};

std::string ReadAll(TKvStream& AStream) {
    std::string data;
    char buffer[65536];
    for (;;) {
        const int64_t got = AStream.Read(buffer, sizeof buffer);
        if (got <= 0)
            return data;
        data.append(buffer, static_cast<size_t>(got));
    }
}

void Upload(IKvFileSystem& AFs, const std::string& APath, const std::string& AData) {
    TKvStreamPtr out = AFs.OpenWrite(APath);
    out->WriteAll(AData.data(), static_cast<int64_t>(AData.size()));
    dynamic_cast<TKvFinishableStream&>(*out).Finish();
}

std::vector<std::string> Names(const TKvFileEntries& AEntries) {
    std::vector<std::string> names;
    for (const auto& entry : AEntries)
        names.push_back(entry.Name + (entry.IsDir ? "/" : ""));
    std::sort(names.begin(), names.end());
    return names;
}

// A tree with empty folders, names outside ASCII and, when ABigSize is set, one large file
// that is mostly a hole with random blocks in it (fast to make, and any shift shows).
void MakeTree(const std::string& ARoot, int64_t ABigSize) {
    test::RunCommand("mkdir -p '" + ARoot + "/empty' '" + ARoot + "/Grüße/пусто' '" + ARoot +
                     "/Grüße/deep/er/est'");
    test::WriteFile(ARoot + "/Grüße/naïve 文件.txt", "unicode content\n");
    test::WriteFile(ARoot + "/Grüße/deep/er/est/leaf.bin", std::string(100000, '\x7f'));
    test::WriteFile(ARoot + "/zero.txt", "");
    test::WriteFile(ARoot + "/.hidden", "h");
    if (ABigSize > 0) {
        const std::string big = ARoot + "/big.bin";
        test::RunCommand("truncate -s " + std::to_string(ABigSize) + " '" + big + "'");
        for (int64_t offset : {int64_t(0), ABigSize / 3, ABigSize / 2 + 12345, ABigSize - 65536})
            test::RunCommand("head -c 65536 /dev/urandom | dd of='" + big +
                             "' bs=1 seek=" + std::to_string(offset) +
                             " conv=notrunc status=none oflag=seek_bytes iflag=fullblock bs=65536");
    }
}

// The files below ALocal whose modification second differs from their copy below AServer.
std::vector<std::string> TimesNotKept(const std::string& ALocal, const std::string& AServer) {
    std::vector<std::string> differ;
    const std::string files =
        test::RunCommand("cd '" + ALocal + "' && find . -type f -printf '%P\\n'");
    for (const auto& name : test::Split(files, '\n')) {
        struct stat mine {}, theirs {};
        if (::stat((ALocal + "/" + name).c_str(), &mine) != 0 ||
            ::stat((AServer + "/" + name).c_str(), &theirs) != 0 ||
            mine.st_mtime != theirs.st_mtime)
            differ.push_back(name);
    }
    return differ;
}

// Local -> server -> local through the transfer engine, compared with GNU diff. The server's
// copies keep the files' times where it can set them (MFMT; vsftpd's MDTM with a time).
void RoundTrip(TKvFtpOpened& AOpened, const std::string& AServerDir, const std::string& AServerLocal,
               int64_t ABigSize) {
    TTempDir local;
    MakeTree(local / "tree", ABigSize);
    test::RunCommand("find '" + local.Path() + "/tree' -type f -exec touch -d '2021-07-14 15:16:17' {} +");
    auto disk = std::make_shared<TKvLocalFileSystem>();
    auto up = test::RunRequest(
        test::Request(tkCopy, disk, local.Path(), {"tree"}, AOpened.Fs, AServerDir));
    EXPECT_EQ(up.Result.Failed, 0) << up.Result.FirstProblem;
    EXPECT_EQ(up.Result.Skipped, 0);
    EXPECT_TRUE(up.Host->Questions.empty());
    EXPECT_EQ(TimesNotKept(local / "tree", AServerLocal + "/tree"), std::vector<std::string>{});
    test::RunCommand("mkdir -p '" + local.Path() + "/back'");
    auto down = test::RunRequest(
        test::Request(tkCopy, AOpened.Fs, AServerDir, {"tree"}, disk, local / "back"));
    EXPECT_EQ(down.Result.Failed, 0) << down.Result.FirstProblem;
    int code = -1;
    const std::string differences = test::RunCommand(
        "diff -r '" + local.Path() + "/tree' '" + local.Path() + "/back/tree' 2>&1", &code);
    EXPECT_EQ(code, 0) << differences;
}

TEST_F(FtpServer, TreeCopiesBothWaysOverEveryKind) {
    const std::pair<TKvConnectorKind, int64_t> kinds[] = {
        {ckFtps, 300'000'000}, // vsftpd, explicit FTPS with the large file
        {ckFtpsImplicit, 0},   // vsftpd, implicit FTPS
        {ckFtp, 0},            // pyftpdlib, plain, MLSD
    };
    for (const auto& [kind, bigSize] : kinds) {
        SCOPED_TRACE(std::string(ConnectorKindName(kind)));
        TKvFtpOpened opened = Open(kind);
        std::string local;
        const std::string dir = ServerFolder(opened, kind, &local);
        RoundTrip(opened, dir, local, bigSize);
    }
}

TEST_F(FtpServer, ListingStatAndFolders) {
    TKvFtpOpened opened = Open(ckFtps);
    auto& fs = *opened.Fs;
    std::string local;
    const std::string dir = ServerFolder(opened, ckFtps, &local);
    fs.MakeDir(fs.Join(dir, "a/b/c"));
    Upload(fs, fs.Join(dir, "a/file one.txt"), "12345");
    EXPECT_EQ(Names(fs.List(fs.Join(dir, "a"), TKvCancelToken())),
              (std::vector<std::string>{"b/", "file one.txt"}));
    TKvFileEntry entry;
    ASSERT_TRUE(fs.Stat(fs.Join(dir, "a/file one.txt"), entry));
    EXPECT_EQ(entry.Name, "file one.txt");
    EXPECT_EQ(entry.Size, 5);
    EXPECT_FALSE(entry.IsDir);
    ASSERT_TRUE(fs.Stat(fs.Join(dir, "a/b/c"), entry));
    EXPECT_TRUE(entry.IsDir);
    EXPECT_FALSE(fs.Stat(fs.Join(dir, "a/none"), entry));
    EXPECT_FALSE(fs.Stat(fs.Join(dir, "missing/deeper/still"), entry));
    EXPECT_EQ(ErrorOf([&] { fs.MakeDir(fs.Join(dir, "a/file one.txt")); }),
              fs.Join(dir, "a/file one.txt") + ": a file with this name exists");
    // Links to folders list as folders.
    ASSERT_EQ(::symlink((local + "/a/b").c_str(), (local + "/link").c_str()), 0);
    for (const auto& item : fs.List(dir, TKvCancelToken())) {
        if (item.Name == "link") {
            EXPECT_TRUE(item.IsLink && item.IsDir);
            EXPECT_EQ(item.LinkTarget, local + "/a/b");
        }
    }
    fs.DeleteDirAt(fs.Join(dir, "link"));
    EXPECT_TRUE(test::Exists(local + "/a/b"));
    fs.DeleteFileAt(fs.Join(dir, "a/file one.txt"));
    fs.DeleteDirAt(fs.Join(dir, "a/b/c"));
    EXPECT_FALSE(test::Exists(local + "/a/file one.txt"));
    EXPECT_FALSE(test::Exists(local + "/a/b/c"));
    EXPECT_EQ(ErrorOf([&] { fs.DeleteFileAt(fs.Join(dir, "a/x\nDELE y")); }),
              "The name contains a character that FTP cannot send");
}

// Commands that vsftpd logged after byte AFrom of its log and that begin with AVerb.
int LoggedCommands(const std::string& ALog, size_t AFrom, const std::string& AVerb) {
    const std::string text = test::ReadFile(ALog).substr(AFrom);
    const std::string mark = "FTP command: Client \"127.0.0.1\", \"" + AVerb;
    int count = 0;
    for (size_t at = text.find(mark); at != std::string::npos; at = text.find(mark, at + 1))
        ++count;
    return count;
}

// A copy of many files asks whether each name is free, and where that took a listing of the
// folder every time, 1,000 files cost 2,000 listings of ever longer folders.
TEST_F(FtpServer, ManyFilesUploadWithoutAListingPerFile) {
    // Listings that do not age: the count below then does not depend on the machine's speed.
    FOptions.ListingKeepMs = 3600'000;
    TKvFtpOpened opened = Open(ckFtps);
    std::string serverLocal;
    const std::string dir = ServerFolder(opened, ckFtps, &serverLocal);
    TTempDir local;
    constexpr int KFolders = 10, KFiles = 100;
    for (int folder = 0; folder < KFolders; ++folder) {
        const std::string path = local / ("many/f" + std::to_string(folder));
        test::RunCommand("mkdir -p '" + path + "'");
        for (int file = 0; file < KFiles; ++file)
            test::WriteFile(path + "/file" + std::to_string(file) + ".txt",
                            std::string(static_cast<size_t>(file * 7 + folder), 'x'));
    }
    test::RunCommand("find '" + local.Path() + "/many' -type f -exec touch -d '2021-07-14 15:16:17' {} +");
    const std::string log = FServers->Dir + "/vsftpd-explicit.log";
    const size_t from = test::ReadFile(log).size();
    auto disk = std::make_shared<TKvLocalFileSystem>();
    auto up = test::RunRequest(test::Request(tkCopy, disk, local.Path(), {"many"}, opened.Fs, dir));
    EXPECT_EQ(up.Result.Failed, 0) << up.Result.FirstProblem;
    EXPECT_EQ(up.Result.Succeeded, KFolders * KFiles);
    EXPECT_TRUE(up.Host->Questions.empty());
    int code = -1;
    EXPECT_EQ(test::RunCommand("diff -r '" + local.Path() + "/many' '" + serverLocal + "/many' 2>&1", &code), "");
    EXPECT_EQ(TimesNotKept(local / "many", serverLocal + "/many").size(), 0u);
    // Each folder the copy makes is listed once (someone else may have put files into it);
    // never once per file.
    const int lists = LoggedCommands(log, from, "LIST");
    EXPECT_GT(lists, 0);
    EXPECT_LE(lists, KFolders + 2) << "LIST commands for " << KFolders * KFiles << " files";
    std::fprintf(stderr, "LIST commands for %d files in %d folders: %d\n", KFolders * KFiles,
                 KFolders, lists);
}

// An idle control connection says NOOP now and then while the file system is open, and stops
// when it is gone.
TEST_F(FtpServer, IdleConnectionsSayNoopWhileOpen) {
    FOptions.KeepaliveMs = 300;
    const std::string log = FServers->Dir + "/vsftpd-explicit.log";
    const size_t from = test::ReadFile(log).size();
    {
        TKvFtpOpened opened = Open(ckFtps);
        std::this_thread::sleep_for(std::chrono::milliseconds(2500));
        EXPECT_GE(LoggedCommands(log, from, "NOOP"), 2);
        // Still a working connection.
        TKvCancelToken token;
        EXPECT_NO_THROW(opened.Fs->List(opened.StartDir, token));
    }
    const int afterClose = LoggedCommands(log, from, "NOOP");
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_EQ(LoggedCommands(log, from, "NOOP"), afterClose);
}

// Kept listings answer "absent" for a short while; whatever is there is asked fresh, so a file
// changed or removed by someone else shows as it is now.
TEST_F(FtpServer, StatSeesChangesMadeBehindItsBack) {
    for (TKvConnectorKind kind : {ckFtps, ckFtp}) {
        SCOPED_TRACE(std::string(ConnectorKindName(kind)));
        TKvFtpOpened opened = Open(kind);
        auto& fs = *opened.Fs;
        std::string local;
        const std::string dir = ServerFolder(opened, kind, &local);
        Upload(fs, fs.Join(dir, "f"), "abc");
        EXPECT_EQ(Names(fs.List(dir, TKvCancelToken())), (std::vector<std::string>{"f"}));
        TKvFileEntry entry;
        ASSERT_TRUE(fs.Stat(fs.Join(dir, "f"), entry));
        EXPECT_EQ(entry.Size, 3);
        test::WriteFile(local + "/f", "abcdef");
        test::RunCommand("touch -d '2020-02-03 04:05:06' '" + local + "/f'");
        ASSERT_TRUE(fs.Stat(fs.Join(dir, "f"), entry));
        EXPECT_EQ(entry.Size, 6);
        EXPECT_EQ(entry.Modified, DateTimeFromUnix(1580702706));
        EXPECT_FALSE(entry.IsDir);
        std::remove((local + "/f").c_str());
        EXPECT_FALSE(fs.Stat(fs.Join(dir, "f"), entry));
        // A name someone else made shows once the folder is listed again.
        test::WriteFile(local + "/g", "g");
        EXPECT_EQ(Names(fs.List(dir, TKvCancelToken())), (std::vector<std::string>{"g"}));
        EXPECT_TRUE(fs.Stat(fs.Join(dir, "g"), entry));
        // What this file system changes itself is known at once.
        fs.RenamePath(fs.Join(dir, "g"), fs.Join(dir, "h"), false);
        EXPECT_FALSE(fs.Stat(fs.Join(dir, "g"), entry));
        ASSERT_TRUE(fs.Stat(fs.Join(dir, "h"), entry));
        EXPECT_EQ(entry.Size, 1);
        fs.MakeDir(fs.Join(dir, "sub"));
        ASSERT_TRUE(fs.Stat(fs.Join(dir, "sub"), entry));
        EXPECT_TRUE(entry.IsDir);
        fs.DeleteDirAt(fs.Join(dir, "sub"));
        EXPECT_FALSE(fs.Stat(fs.Join(dir, "sub"), entry));
        fs.DeleteFileAt(fs.Join(dir, "h"));
        EXPECT_FALSE(fs.Stat(fs.Join(dir, "h"), entry));
    }
}

TEST_F(FtpServer, RenameNeverReplacesWithoutBeingAsked) {
    for (TKvConnectorKind kind : {ckFtps, ckFtp}) {
        SCOPED_TRACE(std::string(ConnectorKindName(kind)));
        TKvFtpOpened opened = Open(kind);
        auto& fs = *opened.Fs;
        std::string local;
        const std::string dir = ServerFolder(opened, kind, &local);
        Upload(fs, fs.Join(dir, "old"), "old data");
        Upload(fs, fs.Join(dir, "new"), "new data");
        EXPECT_EQ(ErrorOf([&] { fs.RenamePath(fs.Join(dir, "old"), fs.Join(dir, "new"), false); }),
                  fs.Join(dir, "new") + ": it already exists");
        EXPECT_EQ(test::ReadFile(local + "/new"), "new data");
        EXPECT_EQ(test::ReadFile(local + "/old"), "old data");
        fs.RenamePath(fs.Join(dir, "old"), fs.Join(dir, "new"), true);
        EXPECT_EQ(test::ReadFile(local + "/new"), "old data");
        EXPECT_FALSE(test::Exists(local + "/old"));
        fs.RenamePath(fs.Join(dir, "new"), fs.Join(dir, "moved"), false);
        EXPECT_EQ(test::ReadFile(local + "/moved"), "old data");
        EXPECT_EQ(Names(fs.List(dir, TKvCancelToken())), (std::vector<std::string>{"moved"}));
    }
}

// A server that will not rename over an existing file: the old one is moved aside, and moved
// back when the rename still fails.
TEST_F(FtpServer, RenameOverwriteMovesTheTargetAside) {
    TKvFtpOpened opened = Open(ckFtp);
    auto& fs = *opened.Fs;
    std::string local;
    const std::string dir = ServerFolder(opened, ckFtp, &local);
    test::WriteFile(local + "/old", "old data");
    test::WriteFile(local + "/new", "new data");
    FServers->ArmFault("RNTO 550");
    fs.RenamePath(fs.Join(dir, "old"), fs.Join(dir, "new"), true);
    EXPECT_EQ(test::ReadFile(local + "/new"), "old data");
    EXPECT_EQ(Names(fs.List(dir, TKvCancelToken())), (std::vector<std::string>{"new"}));

    test::WriteFile(local + "/other", "other data");
    FServers->ArmFault("RNTO 550\nRNTO pass\nRNTO 550");
    EXPECT_EQ(ErrorOf([&] { fs.RenamePath(fs.Join(dir, "other"), fs.Join(dir, "new"), true); }),
              fs.Join(dir, "other") + ": Refused by the test server.");
    EXPECT_EQ(test::ReadFile(local + "/new"), "old data");
    EXPECT_EQ(Names(fs.List(dir, TKvCancelToken())), (std::vector<std::string>{"new", "other"}));

    // Nor can it be moved back: the message says where the user's file is now.
    FServers->ArmFault("RNTO 550\nRNTO pass\nRNTO 550\nRNTO 550");
    const std::string error = ErrorOf([&] { fs.RenamePath(fs.Join(dir, "other"), fs.Join(dir, "new"), true); });
    const std::string kept = " is now " + fs.Join(dir, "new.kvold-");
    ASSERT_NE(error.find(kept), std::string::npos) << error;
    EXPECT_EQ(error.rfind(fs.Join(dir, "new") + ": could not be replaced: Refused by the test server.", 0), 0u)
        << error;
    const std::string aside = fs.NameOf(error.substr(error.find(kept) + 8));
    EXPECT_EQ(test::ReadFile(local + "/" + aside), "old data");
    EXPECT_EQ(Names(fs.List(dir, TKvCancelToken())), (std::vector<std::string>{aside, "other"}));
}

TEST_F(FtpServer, SetModifiedWhereTheServerOffersMfmt) {
    TKvFtpOpened opened = Open(ckFtp);
    auto& fs = *opened.Fs;
    std::string local;
    const std::string dir = ServerFolder(opened, ckFtp, &local);
    Upload(fs, fs.Join(dir, "f"), "x");
    const TKvDateTime when = EncodeDateTime({2021, 7, 14, 15, 16, 17, 0});
    fs.SetModified(fs.Join(dir, "f"), when);
    struct stat info {};
    ASSERT_EQ(::stat((local + "/f").c_str(), &info), 0);
    int64_t seconds = 0, nanoseconds = 0;
    ASSERT_TRUE(UnixFromDateTime(when, seconds, nanoseconds));
    EXPECT_EQ(info.st_mtime, seconds);
    TKvFileEntry entry;
    ASSERT_TRUE(fs.Stat(fs.Join(dir, "f"), entry));
    EXPECT_EQ(entry.Modified, when);
}

TEST_F(FtpServer, DownloadCutShortIsAFailureAndLeavesNoFile) {
    TKvFtpOpened opened = Open(ckFtp);
    std::string local;
    const std::string dir = ServerFolder(opened, ckFtp, &local);
    test::WriteFile(local + "/data.bin", std::string(3'000'000, 'd'));
    // The stream itself.
    FServers->ArmFault("RETR cut 100000");
    {
        TKvStreamPtr in = opened.Fs->OpenRead(opened.Fs->Join(dir, "data.bin"));
        EXPECT_EQ(ErrorOf([&] { ReadAll(*in); }), opened.Fs->Join(dir, "data.bin") +
                                                      ": the transfer did not complete: Connection "
                                                      "cut by the test server; transfer aborted.");
    }
    // Through the transfer engine: no short file under the target's name.
    TTempDir target;
    FServers->ArmFault("RETR cut 200000");
    auto disk = std::make_shared<TKvLocalFileSystem>();
    auto outcome = test::RunRequest(
        test::Request(tkCopy, opened.Fs, dir, {"data.bin"}, disk, target.Path()), [] {
            auto host = std::make_shared<test::TScriptedHost>();
            host->Reply(paSkip);
            return host;
        }());
    EXPECT_EQ(outcome.Result.Succeeded, 0);
    ASSERT_EQ(outcome.Host->Questions.size(), 1u);
    EXPECT_NE(outcome.Host->Questions[0].Text.find("the transfer did not complete"),
              std::string::npos);
    EXPECT_FALSE(test::Exists(target / "data.bin"));
    // A whole download afterwards is fine.
    TKvStreamPtr in = opened.Fs->OpenRead(opened.Fs->Join(dir, "data.bin"));
    EXPECT_EQ(ReadAll(*in).size(), 3'000'000u);
}

// vsftpd's session processes die in the middle of a 60 MB file (explicit FTPS): Retry connects
// again and goes on from the partial file (REST), both ways; the result is the source byte for
// byte and nothing partial stays.
TEST_F(FtpServer, RetryAfterALostConnectionGoesOnWhereTheDataStopped) {
    for (const bool upload : {true, false}) {
        SCOPED_TRACE(upload ? "upload" : "download");
        TKvFtpOpened opened = Open(ckFtps);
        std::string serverLocal;
        const std::string dir = ServerFolder(opened, ckFtps, &serverLocal);
        TTempDir here;
        const std::string sourceDir = upload ? here.Path() : serverLocal;
        const std::string targetDir = upload ? serverLocal : here.Path();
        test::RunCommand("head -c 60000000 /dev/urandom > '" + sourceDir + "/big.bin'");
        auto host = std::make_shared<test::TCutHost>(15000000, [&] {
            // Every process serving a session (the listener's children), at once.
            test::RunCommand("d() { for c in $(cat /proc/$1/task/*/children 2>/dev/null); do echo $c; d $c; "
                             "done; }; kill -9 $(d $(cat '" + FServers->Dir + "/vsftpd-explicit.pid')) "
                             "2>/dev/null");
        });
        host->Reply(paRetry);
        auto disk = std::make_shared<TKvLocalFileSystem>();
        auto request = upload ? test::Request(tkCopy, disk, here.Path(), {"big.bin"}, opened.Fs, dir)
                              : test::Request(tkCopy, opened.Fs, dir, {"big.bin"}, disk, here.Path());
        auto outcome = test::RunRequest(request, host);
        EXPECT_EQ(outcome.Result.Succeeded, 1) << outcome.Result.FirstProblem;
        ASSERT_EQ(host->Questions.size(), 1u);
        ASSERT_EQ(host->AttemptStarts.size(), 2u);
        EXPECT_GE(host->AttemptStarts[1], 5000000);
        EXPECT_EQ(test::RunCommand("cmp '" + sourceDir + "/big.bin' '" + targetDir +
                                   "/big.bin' && echo same"),
                  "same\n");
        EXPECT_EQ(test::RunCommand("ls -A '" + targetDir + "'"), "big.bin\n");
    }
}

TEST_F(FtpServer, UploadRefusalsNameTheFile) {
    TKvFtpOpened opened = Open(ckFtp);
    auto& fs = *opened.Fs;
    std::string local;
    const std::string dir = ServerFolder(opened, ckFtp, &local);
    const std::string path = fs.Join(dir, "up.bin");
    FServers->ArmFault("STOR 552");
    EXPECT_EQ(ErrorOf([&] { fs.OpenWrite(path); }),
              path + ": Exceeded storage allocation (test server).");
    // Refused after the data: the partial file stays on the server.
    FServers->ArmFault("STOR 552after");
    EXPECT_EQ(
        ErrorOf([&] { Upload(fs, path, std::string(50000, 'u')); }),
        path + ": the server did not accept the file: Exceeded storage allocation (test server).");
    EXPECT_TRUE(test::Exists(local + "/up.bin"));
    // Cut in the middle: the server's reason, whether the cut shows while writing or at the end.
    FServers->ArmFault("STOR cutup 1000000");
    const std::string cut = ErrorOf([&] { Upload(fs, path, std::string(20'000'000, 'c')); });
    EXPECT_EQ(cut.rfind(path + ": ", 0), 0u) << cut;
    EXPECT_NE(cut.find("Connection cut by the test server"), std::string::npos) << cut;
    // And through the transfer engine, nothing lands under the target's name.
    TTempDir source;
    test::WriteFile(source / "whole.bin", std::string(3'000'000, 'w'));
    FServers->ArmFault("STOR cutup 100000");
    auto host = std::make_shared<test::TScriptedHost>();
    host->Reply(paSkip);
    auto disk = std::make_shared<TKvLocalFileSystem>();
    auto outcome = test::RunRequest(
        test::Request(tkCopy, disk, source.Path(), {"whole.bin"}, opened.Fs, dir), host);
    EXPECT_EQ(outcome.Result.Succeeded, 0);
    EXPECT_FALSE(test::Exists(local + "/whole.bin"));
    Upload(fs, path, "fine");
    EXPECT_EQ(test::ReadFile(local + "/up.bin"), "fine");
}

// Each fault breaks the connection it hit with its own message; the next operation opens a
// fresh connection and works.
TEST_F(FtpServer, ControlConnectionFaults) {
    TKvFtpOpened opened = Open(ckFtp);
    auto& fs = *opened.Fs;
    const std::string dir = ServerFolder(opened, ckFtp);
    const std::pair<const char*, const char*> faults[] = {
        {"MKD 421",
         "The server closed the connection: Service not available (test server), closing control "
         "connection."},
        {"MKD nocode", "The server sent something that is not FTP: hello from nowhere"},
        {"MKD longline", "The server sent a line that is too long"},
        {"MKD endless", "The server sent a reply that is too long"},
    };
    int made = 0;
    for (const auto& [fault, message] : faults) {
        SCOPED_TRACE(fault);
        FServers->ArmFault(fault);
        const std::string folder = fs.Join(dir, "f" + std::to_string(made++));
        EXPECT_EQ(ErrorOf([&] { fs.MakeDir(folder); }), message);
        fs.MakeDir(folder);
        TKvFileEntry entry;
        EXPECT_TRUE(fs.Stat(folder, entry) && entry.IsDir);
    }
}

TEST_F(FtpServer, StatRaisesUnlessTheListingLacksTheName) {
    TKvFtpOpened opened = Open(ckFtp);
    auto& fs = *opened.Fs;
    std::string local;
    const std::string dir = ServerFolder(opened, ckFtp, &local);
    Upload(fs, fs.Join(dir, "here"), "x");
    TKvFileEntry entry;
    FServers->ArmFault("MLST 421");
    EXPECT_THROW(fs.Stat(fs.Join(dir, "here"), entry), EKvFsError);
    // Neither MLST nor the listing of the folder answers: that is not "absent".
    FServers->ArmFault("MLST 550\nMLSD 550\nMLST 550");
    EXPECT_EQ(ErrorOf([&] { fs.Stat(fs.Join(dir, "here"), entry); }),
              fs.Join(dir, "here") + ": Refused by the test server.");
    EXPECT_TRUE(fs.Stat(fs.Join(dir, "here"), entry));
    EXPECT_FALSE(fs.Stat(fs.Join(dir, "gone"), entry));
}

TEST_F(FtpServer, HostileListedNamesAreLeftOutAndCounted) {
    TKvFtpOpened opened = Open(ckFtp);
    const std::string dir = ServerFolder(opened, ckFtp);
    TTempDir temp;
    const std::string listing = "type=file;size=1; ../../escape\r\n"
                                "type=file;size=1; sub/name\r\n"
                                "type=file;size=1; back\\slash\r\n"
                                "type=file;size=1; nul" +
                                std::string(1, '\0') +
                                "byte\r\n"
                                "type=file;size=1; bell\a\x1b]0;x\r\n"
                                "type=dir; ..\r\n"
                                "type=file;size=1; fine.txt\r\n";
    test::WriteFile(temp / "listing", listing);
    FServers->ArmFault("MLSD listing " + temp / "listing");
    // "\\" is an ordinary character in a server's name; the rest cannot be files.
    EXPECT_EQ(Names(opened.Fs->List(dir, TKvCancelToken())),
              (std::vector<std::string>{"back\\slash", "fine.txt"}));
    EXPECT_EQ(dynamic_cast<IKvFolderLeftOut&>(*opened.Fs).LeftOutIn(dir), 4);
}

// vsftpd sends names as the disk has them: a "\\" in a name and bytes that are not UTF-8 come
// back to it unchanged, so each operation reaches the file the user picked and no other.
TEST_F(FtpServer, NamesGoBackToTheServerAsItsOwnBytes) {
    TKvFtpOpened opened = Open(ckFtps);
    auto& fs = *opened.Fs;
    std::string local;
    const std::string dir = ServerFolder(opened, ckFtps, &local);
    test::RunCommand("mkdir '" + local + "/a' && chmod 777 '" + local + "/a'");
    test::WriteFile(local + "/a/b.txt", "the other file");
    test::WriteFile(local + "/a\\b.txt", "backslash");
    test::WriteFile(local + "/caf\xE9", "latin-1");
    test::WriteFile(local + "/caf\xC3\xA9", "utf-8");
    EXPECT_EQ(Names(fs.List(dir, TKvCancelToken())),
              (std::vector<std::string>{"a/", "a\\b.txt", "caf\xC3\xA9", "caf\xE9"}));
    EXPECT_EQ(ReadAll(*fs.OpenRead(fs.Join(dir, "caf\xE9"))), "latin-1");
    EXPECT_EQ(ReadAll(*fs.OpenRead(fs.Join(dir, "a\\b.txt"))), "backslash");

    // A folder copy brings every one of them, byte for byte.
    TTempDir copy;
    auto disk = std::make_shared<TKvLocalFileSystem>();
    auto down = test::RunRequest(test::Request(tkCopy, opened.Fs, fs.ParentOf(dir),
                                               {fs.NameOf(dir)}, disk, copy.Path()));
    EXPECT_EQ(down.Result.Failed + down.Result.Skipped, 0) << down.Result.FirstProblem;
    int code = -1;
    const std::string differences =
        test::RunCommand("diff -r '" + local + "' '" + copy / fs.NameOf(dir) + "' 2>&1", &code);
    EXPECT_EQ(code, 0) << differences;

    fs.DeleteFileAt(fs.Join(dir, "caf\xE9"));
    fs.DeleteFileAt(fs.Join(dir, "a\\b.txt"));
    EXPECT_FALSE(test::Exists(local + "/caf\xE9"));
    EXPECT_EQ(test::ReadFile(local + "/caf\xC3\xA9"), "utf-8");
    EXPECT_FALSE(test::Exists(local + "/a\\b.txt"));
    EXPECT_EQ(test::ReadFile(local + "/a/b.txt"), "the other file");
}

// EPSV refused once: PASV from then on, and its data connection goes to the control
// connection's address, not to the (unreachable) one the reply names. MLSD refused: LIST.
TEST_F(FtpServer, PassiveFallbacksAndListingFallback) {
    TKvFtpOpened opened = Open(ckFtp);
    std::string local;
    const std::string dir = ServerFolder(opened, ckFtp, &local);
    test::WriteFile(local + "/a.txt", "a");
    FServers->ArmFault("EPSV 500\nMLSD 500");
    EXPECT_EQ(Names(opened.Fs->List(dir, TKvCancelToken())), (std::vector<std::string>{"a.txt"}));
    TKvStreamPtr in = opened.Fs->OpenRead(opened.Fs->Join(dir, "a.txt"));
    EXPECT_EQ(ReadAll(*in), "a");
}

TEST_F(FtpServer, PoolKeepsAtMostThreeAndDropsUnfinishedStreams) {
    TKvFtpOpened opened = Open(ckFtps);
    auto& fs = *opened.Fs;
    std::string local;
    const std::string dir = ServerFolder(opened, ckFtps, &local);
    EXPECT_EQ(fs.IdleCount(), 1u);
    {
        // Four operations at once: four connections; three stay.
        std::vector<std::unique_ptr<TKvFtpClient>> held;
        for (int i = 0; i < 4; ++i)
            held.push_back(fs.AcquireClient(nullptr));
        EXPECT_EQ(fs.IdleCount(), 0u);
        for (auto& client : held)
            fs.ReleaseClient(std::move(client));
        EXPECT_EQ(fs.IdleCount(), 3u);
    }
    test::WriteFile(local + "/long.bin", std::string(5'000'000, 'l'));
    {
        TKvStreamPtr in = fs.OpenRead(fs.Join(dir, "long.bin"));
        char buffer[1000];
        EXPECT_EQ(in->Read(buffer, sizeof buffer), 1000);
        EXPECT_EQ(fs.IdleCount(), 2u);
    }
    EXPECT_EQ(fs.IdleCount(), 2u); // closed before its end: that connection was dropped
    {
        TKvStreamPtr in = fs.OpenRead(fs.Join(dir, "long.bin"));
        EXPECT_EQ(ReadAll(*in).size(), 5'000'000u);
    }
    EXPECT_EQ(fs.IdleCount(), 2u); // read to its end: back in the pool
    // Two listings at the same time each get a connection.
    auto first =
        std::async(std::launch::async, [&] { return fs.List(dir, TKvCancelToken()).size(); });
    auto second =
        std::async(std::launch::async, [&] { return fs.List(dir, TKvCancelToken()).size(); });
    EXPECT_EQ(first.get(), 1u);
    EXPECT_EQ(second.get(), 1u);
}

TEST_F(FtpServer, LoginLoop) {
    // A saved password that works: no question.
    {
        auto ui = std::make_shared<TScriptedUi>();
        TKvFtpOpened opened = Open(ckFtps, ui);
        EXPECT_TRUE(ui->Asked.empty());
        EXPECT_EQ(opened.TypedPassword, "");
        EXPECT_EQ(opened.StartDir, FServers->VsRoot);
    }
    // No saved password: asked; a wrong one is asked again with the reason.
    {
        auto ui = std::make_shared<TScriptedUi>();
        ui->Secrets = {"wrong", "kvpass"};
        TKvConnector conn = Connector(ckFtp);
        conn.Secret.clear();
        conn.StartDir = " /missing ";
        TKvCancelToken token;
        TKvFtpOpened opened = OpenFtp(conn, ui, token, FOptions);
        EXPECT_EQ(ui->Asked,
                  (std::vector<std::string>{
                      "secret: Password for kvtest@127.0.0.1:",
                      "secret: The password was not accepted. Password for kvtest@127.0.0.1:"}));
        EXPECT_EQ(opened.TypedPassword, "kvpass");
        EXPECT_EQ(opened.StartDir, "/");
    }
    // Three refusals.
    {
        auto ui = std::make_shared<TScriptedUi>();
        ui->Secrets = {"a", "b", "c"};
        TKvConnector conn = Connector(ckFtp);
        conn.Secret = "bad";
        TKvCancelToken token;
        EXPECT_EQ(ErrorOf([&] { OpenFtp(conn, ui, token, FOptions); }),
                  "Login failed: the user name or password was not accepted.");
        EXPECT_EQ(ui->Asked.size(), 2u);
    }
    // No user interface: the question counts as cancelled.
    {
        TKvConnector conn = Connector(ckFtp);
        conn.Secret.clear();
        TKvCancelToken token;
        EXPECT_THROW(OpenFtp(conn, nullptr, token, FOptions), EKvCancelled);
    }
    // Anonymous with an empty password.
    {
        TKvConnector conn = Connector(ckFtp);
        conn.User = "anonymous";
        conn.Secret.clear();
        TKvCancelToken token;
        test::WriteFile(FServers->PyRoot + "/anonymous.txt", "a");
        TKvFtpOpened opened = OpenFtp(conn, nullptr, token, FOptions);
        EXPECT_EQ(opened.Fs->Id(),
                  "ftp:anonymous@127.0.0.1:" + std::to_string(FServers->PlainPort));
        EXPECT_FALSE(opened.Fs->List("/", TKvCancelToken()).empty());
    }
}

std::string DerFingerprint(const std::string& ACert) {
    const std::string hex =
        test::RunCommand("openssl x509 -in '" + ACert + "' -outform DER | sha256sum | cut -c1-64");
    return "SHA256:" + hex.substr(0, 64);
}

// A certificate the system does not trust is asked about once, pinned, accepted silently
// afterwards (data connections included), and refused once it changes.
TEST_F(FtpServer, UntrustedCertificateIsPinnedThenAChangeIsRefused) {
    const std::string first = DerFingerprint(FServers->Cert("self1"));
    FServers->RestartPinned("self1");
    TKvConnector conn = test::FtpConnector(ckFtps, FServers->PinnedPort, "kvtest", "kvpass");
    TKvCancelToken token;
    EXPECT_EQ(ErrorOf([&] { OpenFtp(conn, nullptr, token, FOptions); }),
              "The certificate of 127.0.0.1 was not trusted");
    auto ui = std::make_shared<TScriptedUi>();
    ui->TrustNew = true;
    TKvFtpOpened opened = OpenFtp(conn, ui, token, FOptions);
    EXPECT_EQ(ui->Asked, (std::vector<std::string>{"new TLS certificate: " + first}));
    EXPECT_TRUE(opened.Fs->ManualTls());
    EXPECT_EQ(StoredFingerprint(FOptions.KnownHostsFile, "127.0.0.1", FServers->PinnedPort,
                                KTlsCertificateKeyType),
              first);
    Upload(*opened.Fs, "/pinned.txt", "pinned");
    TKvStreamPtr in = opened.Fs->OpenRead("/pinned.txt");
    EXPECT_EQ(ReadAll(*in), "pinned");
    in.reset();
    auto quiet = std::make_shared<TScriptedUi>();
    TKvFtpOpened again = OpenFtp(conn, quiet, token, FOptions);
    EXPECT_TRUE(quiet->Asked.empty());

    FServers->RestartPinned("self2");
    auto told = std::make_shared<TScriptedUi>();
    told->TrustNew = true;
    EXPECT_EQ(ErrorOf([&] { OpenFtp(conn, told, token, FOptions); }),
              "The certificate of 127.0.0.1 has changed since you last trusted it. The connection "
              "was refused.");
    EXPECT_EQ(told->Asked,
              (std::vector<std::string>{"changed TLS certificate: " +
                                        DerFingerprint(FServers->Cert("self2")) + " " + first}));
    EXPECT_EQ(StoredFingerprint(FOptions.KnownHostsFile, "127.0.0.1", FServers->PinnedPort,
                                KTlsCertificateKeyType),
              first);
    FServers->RestartPinned("self1");
}

} // namespace
} // namespace kv
