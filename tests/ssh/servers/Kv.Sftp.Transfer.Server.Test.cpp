// Transfers between the disk and SFTP servers through the transfer engine, unchanged: trees
// both ways, servers that die or cut the connection in the middle, hostile names.
#include <cstdio>
#include <mutex>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "Kv.FS.Local.h"
#include "Kv.FS.Sftp.h"
#include "KvSshPeers.h"
#include "KvTestSupport.h"
#include "TransferTestHost.h"

namespace kv {
namespace {

using test::RunRequest;
using test::TRemoteDir;
using test::TScriptedHost;
using test::TScriptedUi;
using test::TCutHost;
using test::TSshd;
using test::TTriggerHost;

IKvFileSystemPtr OpenFs(const TKvConnector& AConn) {
    std::string learned, start;
    auto token = NewCancelToken();
    return OpenSftp(AConn, std::make_shared<TScriptedUi>(), *token, learned, start);
}

// The names in a folder, sorted, one per line ("" for none).
std::string Names(const std::string& AFolder) {
    return test::RunCommand("ls -A '" + AFolder + "' | sort");
}

TEST(SftpTransfer, TreeBothWaysWithLinksEmptyFoldersAndALargeFile) {
    KV_REQUIRE_SSH();
    TSshd server;
    IKvFileSystemPtr sftp = OpenFs(test::KeyConn(server.Port()));
    IKvFileSystemPtr local = LocalFs();
    test::TTempDir here;
    TRemoteDir there;

    const std::string tree = here / "tree";
    test::RunCommand(
        "mkdir -p '" + tree + "/empty' '" + tree + "/deep/er/est' '" + tree +
        "/deep/empty2' && cd '" + tree +
        "' && head -c 300000000 /dev/urandom > big.bin && echo small > deep/er/est/small.txt && "
        ": > zero.bin && printf 'ä ö ü' > 'name with blanks ü.txt' && ln -s big.bin link-to-big && "
        "ln -s deep link-to-deep && ln -s 'no where/at all' broken-link && "
        "seq 1 100000 > deep/numbers.txt && printf '#!/bin/sh\\n' > run.sh && "
        "chmod 755 run.sh && chmod 600 deep/er/est/small.txt && chmod 700 deep/er");
    // Permission bits travel both ways: a private file stays private, a script stays runnable.
    auto modes = [](const std::string& ARoot) {
        std::string text;
        for (const char* name : {"run.sh", "deep/er/est/small.txt", "deep/er"}) {
            struct stat st {};
            ::stat((ARoot + "/" + name).c_str(), &st);
            char mode[8];
            std::snprintf(mode, sizeof mode, "%04o", st.st_mode & 07777);
            text += std::string(name) + " " + mode + "\n";
        }
        return text;
    };
    const std::string expectedModes = "run.sh 0755\ndeep/er/est/small.txt 0600\ndeep/er 0700\n";
    ASSERT_EQ(modes(tree), expectedModes);

    // Up: the disk to the server.
    auto up = RunRequest(test::Request(tkCopy, local, here.Path(), {"tree"}, sftp, there.Path()));
    EXPECT_EQ(up.Result.Failed, 0) << up.Result.FirstProblem;
    EXPECT_FALSE(up.Result.Cancelled);
    EXPECT_EQ(up.Result.Skipped, 0);
    EXPECT_TRUE(up.Host->Questions.empty());
    const std::string uploaded = there / "tree";
    // Links arrive as links with the same text, a folder link and a broken one too; diff
    // compares links by their text.
    auto linkTexts = [](const std::string& ARoot) {
        return test::RunCommand("cd '" + ARoot +
                                "' && for l in link-to-big link-to-deep broken-link; do "
                                "readlink \"$l\"; done");
    };
    EXPECT_EQ(test::RunCommand("diff -r --no-dereference '" + tree + "' '" + uploaded +
                               "' && echo same"),
              "same\n");
    EXPECT_EQ(linkTexts(uploaded), "big.bin\ndeep\nno where/at all\n");
    EXPECT_EQ(test::RunCommand("cd '" + uploaded + "' && find . -type l | sort | tr '\\n' ' '"),
              "./broken-link ./link-to-big ./link-to-deep ");
    EXPECT_EQ(Names(uploaded + "/empty"), "");
    EXPECT_EQ(Names(uploaded + "/deep/empty2"), "");
    EXPECT_EQ(test::RunCommand("find '" + uploaded + "' -name '*.kvpart' | wc -l"), "0\n");
    EXPECT_EQ(modes(uploaded), expectedModes);

    // Down: the server back to the disk, compared byte for byte with the original.
    test::TTempDir back;
    auto down = RunRequest(test::Request(tkCopy, sftp, there.Path(), {"tree"}, local, back.Path()));
    EXPECT_EQ(down.Result.Failed, 0) << down.Result.FirstProblem;
    EXPECT_EQ(down.Result.Skipped, 0);
    EXPECT_EQ(test::RunCommand("diff -r --no-dereference '" + tree + "' '" + back / "tree" +
                               "' && echo same"),
              "same\n");
    EXPECT_EQ(linkTexts(back / "tree"), "big.bin\ndeep\nno where/at all\n");
    EXPECT_EQ(
        test::RunCommand("cmp '" + tree + "/big.bin' '" + back / "tree/big.bin" + "' && echo same"),
        "same\n");
    EXPECT_EQ(Names(back / "tree/empty"), "");
    EXPECT_EQ(Names(back / "tree/deep/empty2"), "");
    EXPECT_EQ(modes(back / "tree"), expectedModes);

    // Times come along both ways (whole seconds over SFTP).
    struct stat original {
    }, copied{};
    ::stat((tree + "/deep/numbers.txt").c_str(), &original);
    ::stat((back / "tree/deep/numbers.txt").c_str(), &copied);
    EXPECT_EQ(copied.st_mtime, original.st_mtime);
}

struct TCutCase {
    const char* Name;
    bool Upload;
};

class SftpTransferCut : public ::testing::TestWithParam<TCutCase> {};

// A server whose connections die in the middle of a 100 MB file: the run asks, and Retry
// connects again and writes on from where the data stopped; the result is the source byte for
// byte, and nothing half-written is ever under the final name.
TEST_P(SftpTransferCut, RetryGoesOnWhereTheDataStopped) {
    KV_REQUIRE_SSH();
    const bool upload = GetParam().Upload;
    TSshd server;
    IKvFileSystemPtr sftp = OpenFs(test::KeyConn(server.Port()));
    test::TTempDir here;
    TRemoteDir there;
    const std::string sourceDir = upload ? here.Path() : there.Path();
    const std::string targetDir = upload ? there.Path() : here.Path();
    test::RunCommand("head -c 100000000 /dev/urandom > '" + sourceDir +
                     "/big.bin' && chown kvkey: '" + sourceDir + "/big.bin'");
    auto host = std::make_shared<TCutHost>(20000000, [&] { server.KillConnections(); });
    host->Reply(paRetry);
    auto request =
        upload ? test::Request(tkCopy, LocalFs(), here.Path(), {"big.bin"}, sftp, there.Path())
               : test::Request(tkCopy, sftp, there.Path(), {"big.bin"}, LocalFs(), here.Path());
    auto outcome = RunRequest(request, host);
    EXPECT_EQ(outcome.Result.Succeeded, 1) << outcome.Result.FirstProblem;
    ASSERT_EQ(host->Questions.size(), 1u);
    EXPECT_EQ(host->Questions[0].Kind, pkError);
    EXPECT_EQ(host->Questions[0].Text.rfind("Could not copy ", 0), 0u) << host->Questions[0].Text;
    // The second attempt started from the partial file, not from the first byte.
    ASSERT_EQ(host->AttemptStarts.size(), 2u);
    EXPECT_GE(host->AttemptStarts[1], 10000000);
    EXPECT_EQ(test::RunCommand("cmp '" + sourceDir + "/big.bin' '" + targetDir +
                               "/big.bin' && echo same"),
              "same\n");
    EXPECT_EQ(Names(targetDir), "big.bin\n");
}

// Skipped after the cut, the partial file stays for the same copy started again, which writes
// on at its end; a source changed meanwhile starts over in the same partial file.
TEST_P(SftpTransferCut, TheSameCopyAgainResumesUnlessTheSourceChanged) {
    KV_REQUIRE_SSH();
    const bool upload = GetParam().Upload;
    TSshd server;
    IKvFileSystemPtr sftp = OpenFs(test::KeyConn(server.Port()));
    test::TTempDir here;
    TRemoteDir there;
    const std::string sourceDir = upload ? here.Path() : there.Path();
    const std::string targetDir = upload ? there.Path() : here.Path();
    const std::string source = sourceDir + "/big.bin";
    test::RunCommand("head -c 60000000 /dev/urandom > '" + source + "' && chown kvkey: '" + source +
                     "'");
    auto request =
        upload ? test::Request(tkCopy, LocalFs(), here.Path(), {"big.bin"}, sftp, there.Path())
               : test::Request(tkCopy, sftp, there.Path(), {"big.bin"}, LocalFs(), here.Path());
    auto cutAndSkip = [&] {
        auto host = std::make_shared<TCutHost>(20000000, [&] { server.KillConnections(); });
        host->Reply(paSkip);
        auto outcome = RunRequest(request, host);
        EXPECT_EQ(outcome.Result.Skipped, 1);
        EXPECT_EQ(Names(targetDir), "big.bin.kvpart\n");
    };
    cutAndSkip();
    auto again = std::make_shared<TCutHost>(INT64_MAX, [] {});
    auto resumed = RunRequest(request, again);
    EXPECT_EQ(resumed.Result.Succeeded, 1) << resumed.Result.FirstProblem;
    ASSERT_FALSE(again->AttemptStarts.empty());
    EXPECT_GE(again->AttemptStarts[0], 10000000);
    EXPECT_EQ(test::RunCommand("cmp '" + source + "' '" + targetDir + "/big.bin' && echo same"),
              "same\n");
    EXPECT_EQ(Names(targetDir), "big.bin\n");

    // Changed after the cut: the old partial file is not written on, and none piles up.
    test::RunCommand("rm '" + targetDir + "/big.bin'");
    cutAndSkip();
    test::RunCommand("head -c 30000000 /dev/urandom > '" + source + "' && touch -d '2001-02-03' '" +
                     source + "'");
    auto fresh = RunRequest(request);
    EXPECT_EQ(fresh.Result.Succeeded, 1) << fresh.Result.FirstProblem;
    EXPECT_EQ(test::RunCommand("cmp '" + source + "' '" + targetDir + "/big.bin' && echo same"),
              "same\n");
    EXPECT_EQ(Names(targetDir), "big.bin\n");
}

INSTANTIATE_TEST_SUITE_P(Both, SftpTransferCut,
                         ::testing::Values(TCutCase{"Download", false}, TCutCase{"Upload", true}),
                         [](const auto& AInfo) { return std::string(AInfo.param.Name); });

class SftpFakeTransfer : public ::testing::Test {
protected:
    void SetUp() override { KV_REQUIRE_SSH(); }
    IKvFileSystemPtr Open(const test::TFakeSsh& AFake) {
        TKvConnector conn = test::PasswordConn(AFake.Port(), test::TFakeSsh::KUser);
        conn.Secret = test::TFakeSsh::KPassword;
        return OpenFs(conn);
    }
};

TEST_F(SftpFakeTransfer, CutAfterSomeBytesBothWays) {
    test::TFakeSsh fake(3 * 1048576);
    test::RunCommand("head -c 10000000 /dev/urandom > '" + fake.Root() + "/abort-down.bin'");
    test::TTempDir here;
    {
        auto host = std::make_shared<TScriptedHost>();
        host->Reply(paSkip);
        auto outcome = RunRequest(
            test::Request(tkCopy, Open(fake), "/", {"abort-down.bin"}, LocalFs(), here.Path()),
            host);
        EXPECT_EQ(outcome.Result.Succeeded, 0);
        EXPECT_EQ(outcome.Result.Skipped, 1);
        // Nothing under the final name; what arrived stays for the same copy started again.
        EXPECT_EQ(Names(here.Path()), "abort-down.bin.kvpart\n");
    }
    test::RunCommand("head -c 10000000 /dev/urandom > '" + here / "abort-up.bin" + "'");
    {
        auto host = std::make_shared<TScriptedHost>();
        host->Reply(paSkip);
        auto outcome = RunRequest(
            test::Request(tkCopy, LocalFs(), here.Path(), {"abort-up.bin"}, Open(fake), "/"), host);
        EXPECT_EQ(outcome.Result.Succeeded, 0);
        EXPECT_EQ(outcome.Result.Skipped, 1);
        EXPECT_FALSE(test::Exists(fake.Root() + "/abort-up.bin"));
    }
}

TEST_F(SftpFakeTransfer, HostileNamesNeverLeaveTheDestination) {
    test::TFakeSsh fake;
    test::RunCommand("mkdir -p '" + fake.Root() + "/hostile' && echo fine > '" + fake.Root() +
                     "/hostile/ok.txt' && echo 2 > '" + fake.Root() + "/hostile/z.txt'");
    test::TTempDir here;
    test::RunCommand("mkdir '" + here / "into" + "'");
    auto outcome =
        RunRequest(test::Request(tkCopy, Open(fake), "/", {"hostile"}, LocalFs(), here / "into"));
    EXPECT_EQ(outcome.Result.Failed, 0) << outcome.Result.FirstProblem;
    // Every real file arrives (none is lost behind the empty name), and the result counts the
    // six names that were left out instead of reporting a whole copy.
    EXPECT_EQ(test::RunCommand("cd '" + here.Path() + "' && find . | sort"),
              ".\n./into\n./into/hostile\n./into/hostile/ok.txt\n./into/hostile/z.txt\n");
    EXPECT_EQ(outcome.Result.Skipped, 6);
    EXPECT_EQ(outcome.Result.FirstProblem,
              "/hostile: 6 names were left out: the server sent names that cannot be files (the "
              "log names them)");
}

} // namespace
} // namespace kv
