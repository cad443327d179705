#include <gtest/gtest.h>

#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "Kv.FS.Local.h"
#include "Kv.Log.h"
#include "Kv.Transfer.Engine.h"
#include "KvMemoryFs.h"
#include "KvTestSupport.h"
#include "TransferTestHost.h"

using namespace kv;
using namespace kv::test;

namespace {

bool LogHas(const TRunOutcome& AOutcome, const std::string& ALine) {
    return AOutcome.Log.find(ALine) != std::string::npos;
}

std::vector<std::string> FilesBelow(const std::string& ARoot) {
    return Split(RunCommand("cd '" + ARoot + "' && find . -mindepth 1 | sort"), '\n');
}

} // namespace

TEST(TransferCopy, SingleFileToANewNameOrIntoANewFolder) {
    TTempDir src, dst;
    WriteFile(src / "a.txt", "alpha");
    auto local = LocalFs();

    auto renamed = RunRequest(Request(tkCopy, local, src.Path(), {"a.txt"}, local, dst / "sub/b.txt"));
    EXPECT_EQ(renamed.Result.Succeeded, 1);
    EXPECT_EQ(ReadFile(dst / "sub/b.txt"), "alpha");

    auto into = RunRequest(Request(tkCopy, local, src.Path(), {"a.txt"}, local, dst / "folder/"));
    EXPECT_EQ(into.Result.Succeeded, 1);
    EXPECT_EQ(ReadFile(dst / "folder/a.txt"), "alpha");
    EXPECT_TRUE(LogHas(into, "job: copy 1 item(s) from local " + src.Path() + " to local " + dst / "folder/"));
    EXPECT_TRUE(LogHas(into, "copy: " + src / "a.txt" + " -> " + dst / "folder/a.txt 5 bytes"));
    EXPECT_TRUE(LogHas(into, "job: copy finished: 1 done, 0 skipped, 0 failed\n"));
}

TEST(TransferCopy, TreeWithTimesAcrossFileSystems) {
    TTempDir src;
    WriteFile(src / "top.txt", "1");
    ::mkdir((src / "dir").c_str(), 0755);
    ::mkdir((src / "dir/empty").c_str(), 0755);
    WriteFile(src / "dir/inner.bin", std::string(3 * KTransferBufferSize + 17, 'z'));
    TKvDateTime when = EncodeDateTime({2020, 5, 17, 8, 9, 10, 0});
    LocalFs()->SetModified(src / "dir/inner.bin", when);

    auto mem = std::make_shared<TKvMemoryFs>("mem:one");
    auto outcome = RunRequest(Request(tkCopy, LocalFs(), src.Path(), {"top.txt", "dir"}, mem, "/dest"));
    EXPECT_EQ(outcome.Result.Succeeded, 2); // files; folders are not counted
    EXPECT_EQ(outcome.Result.Failed, 0);
    EXPECT_EQ(mem->Content("/dest/dir/inner.bin"), std::string(3 * KTransferBufferSize + 17, 'z'));
    EXPECT_TRUE(mem->HasDir("/dest/dir/empty"));
    EXPECT_NEAR(mem->ModifiedOf("/dest/dir/inner.bin"), when, 1.0 / 86400);
    EXPECT_FALSE(mem->HasFile("/dest/dir/inner.bin.kvpart"));
    EXPECT_EQ(outcome.Host->ItemsTotal, 4); // top.txt, dir, dir/empty, dir/inner.bin
    EXPECT_EQ(outcome.Host->ItemsDone, 4);
    EXPECT_EQ(outcome.Host->BytesDone, outcome.Host->BytesTotal);
    EXPECT_EQ(outcome.Host->Phases, (std::vector<TKvTransferPhase>{tpScanning, tpWorking}));
}

TEST(TransferCopy, RefusesCopiesOntoThemselves) {
    TTempDir dir;
    ::mkdir((dir / "a").c_str(), 0755);
    ::mkdir((dir / "a/sub").c_str(), 0755);
    WriteFile(dir / "a/f", "data");
    WriteFile(dir / "other", "o");
    auto local = LocalFs();

    auto into = RunRequest(Request(tkCopy, local, dir.Path(), {"a", "other"}, local, dir / "a/sub"));
    EXPECT_EQ(into.Result.Failed, 1);
    EXPECT_EQ(into.Result.FirstProblem, "Cannot copy a directory into itself: " + dir / "a");
    EXPECT_EQ(ReadFile(dir / "a/sub/other"), "o"); // the rest of the request still ran

    auto self = RunRequest(Request(tkCopy, local, dir / "a", {"f"}, local, dir / "a"));
    EXPECT_EQ(self.Result.FirstProblem, "Cannot copy a file onto itself: " + dir / "a/f");
    EXPECT_EQ(ReadFile(dir / "a/f"), "data");
}

TEST(TransferCopy, LinksArriveAsLinksAndFoldersAreNotOverwritten) {
    TTempDir src, dst, moved, elsewhere;
    WriteFile(elsewhere / "secret", "s");
    ::mkdir((src / "d").c_str(), 0755);
    WriteFile(src / "d/file", "f");
    ::symlink(elsewhere.Path().c_str(), (src / "d/folder-link").c_str()); // never followed into
    ::symlink("file", (src / "d/file-link").c_str());
    ::symlink("gone", (src / "d/broken").c_str());
    ::symlink("../d", (src / "d/loop").c_str()); // a folder that holds a link to itself
    WriteFile(src / "clash", "file");
    ::mkdir((dst / "clash").c_str(), 0755);
    auto local = LocalFs();
    auto links = [](const std::string& ARoot) {
        return RunCommand("cd '" + ARoot + "' && find . -type l -printf '%p -> %l\\n' | sort");
    };
    const std::string expected = "./d/broken -> gone\n./d/file-link -> file\n./d/folder-link -> " +
                                 elsewhere.Path() + "\n./d/loop -> ../d\n";
    ASSERT_EQ(links(src.Path()), expected);

    auto outcome = RunRequest(Request(tkCopy, local, src.Path(), {"d", "clash"}, local, dst.Path()));
    EXPECT_EQ(outcome.Result.Skipped, 1); // only the folder in the way
    EXPECT_EQ(outcome.Result.FirstProblem, "A directory already has this name: " + dst / "clash");
    EXPECT_EQ(links(dst.Path()), expected);
    EXPECT_EQ(RunCommand("find '" + dst.Path() + "' -name secret"), "") << "a folder link was followed";
    EXPECT_TRUE(Exists(dst / "clash") && !Exists(dst / "clash/clash"));
    EXPECT_EQ(RunCommand("find '" + dst.Path() + "' -name '*.kvpart'"), "");

    // Moved to another disk the links stay links, and the originals go.
    struct stat shm {}, here {};
    const bool otherDisk = ::stat("/dev/shm", &shm) == 0 && ::stat(src.Path().c_str(), &here) == 0 &&
                           shm.st_dev != here.st_dev && ::access("/dev/shm", W_OK) == 0;
    TTempDir across(otherDisk ? "/dev/shm" : "");
    auto move = RunRequest(Request(tkMove, local, dst.Path(), {"d"}, local, across.Path()));
    EXPECT_EQ(move.Result.Failed + move.Result.Skipped, 0) << move.Result.FirstProblem;
    EXPECT_EQ(links(across.Path()), expected);
    EXPECT_FALSE(Exists(dst / "d"));
}

TEST(TransferConflicts, AnswersOverwriteSkipRenameAndApplyToAll) {
    TTempDir src, dst;
    for (const char* name : {"a.txt", "b.txt", "c.txt", "noext", ".bashrc"}) {
        WriteFile(src / name, std::string("new ") + name);
        WriteFile(dst / name, "old");
    }
    WriteFile(dst / "noext (2)", "taken");
    auto host = std::make_shared<TScriptedHost>();
    host->Reply(paOverwrite);    // a.txt
    host->Reply(paSkip);         // b.txt
    host->Reply(paRename);       // noext
    host->Reply(paRename, true); // c.txt, and .bashrc without asking
    auto local = LocalFs();
    auto outcome =
        RunRequest(Request(tkCopy, local, src.Path(), {"a.txt", "b.txt", "noext", "c.txt", ".bashrc"}, local, dst.Path()),
            host);
    ASSERT_EQ(host->Questions.size(), 4u);
    EXPECT_EQ(host->Questions[0].Kind, pkConflict);
    EXPECT_EQ(host->Questions[0].Text.substr(0, (dst / "a.txt already exists.\nExisting: 3 bytes, ").size()),
              dst / "a.txt already exists.\nExisting: 3 bytes, ");
    EXPECT_NE(host->Questions[0].Text.find("\nNew: 9 bytes, "), std::string::npos);
    EXPECT_EQ(ReadFile(dst / "a.txt"), "new a.txt");
    EXPECT_EQ(ReadFile(dst / "b.txt"), "old");
    EXPECT_EQ(ReadFile(dst / "noext (3)"), "new noext"); // "(2)" was taken; the number goes at the end
    EXPECT_EQ(ReadFile(dst / "c (2).txt"), "new c.txt");
    EXPECT_EQ(ReadFile(dst / ".bashrc (2)"), "new .bashrc"); // a leading dot starts no extension
    EXPECT_EQ(outcome.Result.Succeeded, 4);
    EXPECT_EQ(outcome.Result.Skipped, 1);
    EXPECT_EQ(outcome.Result.FirstProblem, ""); // a skipped conflict is no problem
}

TEST(TransferConflicts, FreeNamesAndTheOverwriteRequest) {
    auto mem = std::make_shared<TKvMemoryFs>();
    mem->AddFile("/d/r.log", "");
    mem->AddFile("/d/r (2).log", "");
    mem->AddFile("/d/r (3).log", "");
    EXPECT_EQ(TKvRun::FreeName(*mem, "/d/r.log"), "/d/r (4).log");
    EXPECT_EQ(TKvRun::FreeName(*mem, "/d/archive.tar.gz"), "/d/archive.tar (2).gz");

    TTempDir src;
    WriteFile(src / "x", "new");
    mem->AddFile("/d/x", "old");
    auto request = Request(tkCopy, LocalFs(), src.Path(), {"x"}, mem, "/d");
    request.Overwrite = true;
    auto outcome = RunRequest(request);
    EXPECT_TRUE(outcome.Host->Questions.empty());
    EXPECT_EQ(mem->Content("/d/x"), "new");
}

TEST(TransferErrors, RetryThenSuccessAndSkipAll) {
    TTempDir src;
    for (const char* name : {"1", "2", "3"})
        WriteFile(src / name, name);
    auto mem = std::make_shared<TKvMemoryFs>();
    auto faulty = std::make_shared<TKvFaultFs>(mem);
    faulty->AddFault({foWrite, 1, 1}); // the first file fails once
    faulty->AddFault({foWrite, 3, 2}); // the next two fail
    auto host = std::make_shared<TScriptedHost>();
    host->Reply(paRetry);
    host->Reply(paSkip, true); // skip this and every later error without asking
    auto outcome = RunRequest(Request(tkCopy, LocalFs(), src.Path(), {"1", "2", "3"}, faulty, "/out"), host);
    ASSERT_EQ(host->Questions.size(), 2u);
    EXPECT_EQ(host->Questions[0].Kind, pkError);
    // The user chose "/out/1": the temporary name never shows.
    EXPECT_EQ(host->Questions[0].Text, "Could not copy " + src / "1" + "\n/out/1: injected failure");
    EXPECT_EQ(mem->Content("/out/1"), "1");
    EXPECT_EQ(outcome.Result.Succeeded, 1);
    EXPECT_EQ(outcome.Result.Skipped, 2);
    EXPECT_EQ(outcome.Result.FirstProblem, "Could not copy " + src / "2" + ": /out/2: injected failure");
    EXPECT_FALSE(mem->HasFile("/out/2") || mem->HasFile("/out/2.kvpart") || mem->HasFile("/out/3.kvpart"));
    EXPECT_TRUE(LogHas(outcome, "error: copy " + src / "2" + " -> /out/2: /out/2: injected failure"));
}

TEST(TransferErrors, FailedOverwriteKeepsTheOldTarget) {
    TTempDir src;
    WriteFile(src / "f", std::string(2 * KTransferBufferSize, 'n'));
    for (bool direct : {false, true}) {
        std::shared_ptr<TKvMemoryFs> mem = direct ? std::make_shared<TKvMemoryDirectFs>("mem:direct")
                                                  : std::make_shared<TKvMemoryFs>("mem:plain");
        mem->AddFile("/d/f", "precious");
        auto faulty = std::make_shared<TKvFaultFs>(mem);
        faulty->AddFault({foWrite, 2, 1}); // fails halfway
        auto host = std::make_shared<TScriptedHost>();
        host->Reply(paOverwrite);
        host->Reply(paSkip);
        auto outcome = RunRequest(Request(tkCopy, LocalFs(), src.Path(), {"f"}, faulty, "/d"), host);
        EXPECT_EQ(outcome.Result.Skipped, 1) << direct;
        // Written straight to the target, the "temporary" file is the user's: it must stay.
        EXPECT_EQ(mem->Content("/d/f"), "precious") << direct;
        EXPECT_EQ(mem->Paths(), (std::vector<std::string>{"/", "/d", "/d/f"})) << direct;
    }
}

// A server that refuses the check for an existing target (a WebDAV 403) is asked about for that
// item; the rest of the job goes on and is counted, and the refusal never reads as "absent".
TEST(TransferErrors, ARefusedCheckOfTheTargetAsksForThatItemOnly) {
    TTempDir src;
    for (const char* name : {"a", "b", "c"})
        WriteFile(src / name, std::string("new ") + name);
    ::mkdir((src / "dir").c_str(), 0755);
    WriteFile(src / "dir/inner", "inner");
    struct TCase {
        const char* Name;
        std::string Refused; // the target whose check is refused once
        std::vector<TKvPromptAnswer> Answers;
        int Succeeded, Skipped;
        std::string B; // what the server's "b" holds afterwards
        bool HasInner;
    } cases[] = {
        {"skip a file", "/out/b", {paSkip}, 3, 1, "precious", true},
        {"retry, then overwrite as asked", "/out/b", {paRetry, paOverwrite}, 4, 0, "new b", true},
        // The conflict over "b" comes first, then the refused folder.
        {"skip a folder", "/out/dir", {paOverwrite, paSkip}, 3, 1, "new b", false},
    };
    for (const auto& c : cases) {
        auto mem = std::make_shared<TKvMemoryFs>();
        mem->AddFile("/out/b", "precious");
        auto faulty = std::make_shared<TKvFaultFs>(mem);
        faulty->AddFault({foStat, 1, 1, false, true, c.Refused});
        auto host = std::make_shared<TScriptedHost>();
        for (auto answer : c.Answers)
            host->Reply(answer);
        auto outcome = RunRequest(Request(tkCopy, LocalFs(), src.Path(), {"a", "b", "c", "dir"}, faulty, "/out"), host);
        std::vector<std::string> errors;
        for (const auto& question : host->Questions)
            if (question.Kind == pkError)
                errors.push_back(question.Text);
        ASSERT_EQ(errors.size(), 1u) << c.Name;
        EXPECT_NE(errors[0].find(c.Refused + ": injected failure"), std::string::npos) << c.Name << ": " << errors[0];
        EXPECT_EQ(host->Questions.size(), c.Answers.size()) << c.Name;
        EXPECT_FALSE(outcome.Result.Cancelled) << c.Name;
        EXPECT_EQ(outcome.Result.Succeeded, c.Succeeded) << c.Name;
        EXPECT_EQ(outcome.Result.Skipped, c.Skipped) << c.Name;
        EXPECT_EQ(outcome.Result.Failed, 0) << c.Name;
        EXPECT_EQ(mem->Content("/out/a"), "new a") << c.Name;
        EXPECT_EQ(mem->Content("/out/c"), "new c") << c.Name;
        EXPECT_EQ(mem->Content("/out/b"), c.B) << c.Name;
        EXPECT_EQ(mem->HasFile("/out/dir/inner"), c.HasInner) << c.Name;
    }
}

TEST(TransferErrors, SkippedFolderCreationSkipsEverythingBelowIt) {
    TTempDir src;
    ::mkdir((src / "a").c_str(), 0755);
    ::mkdir((src / "a/b").c_str(), 0755);
    WriteFile(src / "a/b/deep", "d");
    WriteFile(src / "a/f", "f");
    WriteFile(src / "z", "z");
    auto mem = std::make_shared<TKvMemoryFs>();
    auto faulty = std::make_shared<TKvFaultFs>(mem);
    faulty->AddFault({foMakeDir, 2, 1}); // the first is the destination itself, then "a"
    auto host = std::make_shared<TScriptedHost>();
    host->Reply(paSkip);
    auto outcome = RunRequest(Request(tkCopy, LocalFs(), src.Path(), {"a", "z"}, faulty, "/out"), host);
    ASSERT_EQ(host->Questions.size(), 1u);
    EXPECT_EQ(outcome.Result.Skipped, 1);
    EXPECT_EQ(outcome.Result.Succeeded, 1);
    EXPECT_EQ(mem->Paths(), (std::vector<std::string>{"/", "/out", "/out/z"}));
}

TEST(TransferCancel, CancelInAQuestionOrMidCopyLeavesNoPartFile) {
    TTempDir src, dst;
    WriteFile(src / "big", std::string(4 * KTransferBufferSize, 'b'));
    WriteFile(dst / "big", "old");
    auto local = LocalFs();

    auto host = std::make_shared<TScriptedHost>();
    host->Reply(paCancel);
    auto asked = RunRequest(Request(tkCopy, local, src.Path(), {"big"}, local, dst.Path()), host);
    EXPECT_TRUE(asked.Result.Cancelled);
    EXPECT_EQ(ReadFile(dst / "big"), "old");
    EXPECT_TRUE(LogHas(asked, "job: copy finished: 0 done, 0 skipped, 0 failed, cancelled\n"));

    // Cancel from another thread while the data is being written: the gate lets the write go
    // on, so only the token can end the run, and nobody is asked anything.
    auto faulty = std::make_shared<TKvFaultFs>(local);
    faulty->AddFault({foWrite, 2, 1, true, false});
    auto token = NewCancelToken();
    std::thread canceller([&] {
        faulty->WaitBlocked();
        token->Cancel();
        faulty->Release();
    });
    auto request = Request(tkCopy, local, src.Path(), {"big"}, faulty, dst / "new");
    auto cancelled = RunRequest(request, nullptr, token);
    canceller.join();
    EXPECT_TRUE(cancelled.Result.Cancelled);
    EXPECT_TRUE(cancelled.Host->Questions.empty());
    EXPECT_EQ(faulty->Calls(foWrite), 2) << "the run went on writing after the cancel";
    EXPECT_EQ(FilesBelow(dst.Path()), (std::vector<std::string>{"./big"}));
}

TEST(TransferMove, RenamesInPlaceOnOneDiskAndCopiesAcross) {
    TTempDir dir;
    ::mkdir((dir / "tree").c_str(), 0755);
    WriteFile(dir / "tree/f", "f");
    WriteFile(dir / "lower", "l");
    auto local = LocalFs();
    auto inPlace = RunRequest(Request(tkMove, local, dir.Path(), {"tree"}, local, dir / "moved"));
    EXPECT_EQ(inPlace.Result.Succeeded, 1);
    EXPECT_TRUE(LogHas(inPlace, "move: " + dir / "tree" + " -> " + dir / "moved (renamed in place)"));
    EXPECT_EQ(ReadFile(dir / "moved/f"), "f");

    auto caseOnly = RunRequest(Request(tkMove, local, dir.Path(), {"lower"}, local, dir / "LOWER"));
    EXPECT_EQ(caseOnly.Result.Succeeded, 1);
    EXPECT_TRUE(Exists(dir / "LOWER") && !Exists(dir / "lower"));

    auto mem = std::make_shared<TKvMemoryFs>();
    ::mkdir((dir / "moved/sub").c_str(), 0755);
    WriteFile(dir / "moved/sub/g", "g");
    auto across = RunRequest(Request(tkMove, local, dir.Path(), {"moved"}, mem, "/m/"));
    EXPECT_EQ(across.Result.Succeeded, 2);
    EXPECT_EQ(mem->Content("/m/moved/sub/g"), "g");
    EXPECT_FALSE(Exists(dir / "moved")); // emptied folders are removed at the end
    EXPECT_TRUE(LogHas(across, "delete: " + dir / "moved/f (the original of a move)"));
}

TEST(TransferMove, FailedDeleteOfTheOriginalIsReported) {
    auto mem = std::make_shared<TKvMemoryFs>("mem:src");
    mem->AddFile("/s/f", "data");
    auto faulty = std::make_shared<TKvFaultFs>(mem);
    faulty->AddFault({foDelete, 1, 1});
    auto dest = std::make_shared<TKvMemoryFs>("mem:dst");
    auto host = std::make_shared<TScriptedHost>();
    host->Reply(paSkip);
    auto outcome = RunRequest(Request(tkMove, faulty, "/s", {"f"}, dest, "/d/"), host);
    EXPECT_EQ(dest->Content("/d/f"), "data");
    EXPECT_TRUE(mem->HasFile("/s/f"));
    EXPECT_EQ(outcome.Result.FirstProblem, "Copied, but could not remove the original /s/f: /s/f: injected failure");
}

TEST(TransferMove, OneFileUnderTwoNamesIsNeverDeleted) {
    // "view" shows the same folder as "real": moving real/f to view/f would copy the file onto
    // itself and then delete the only copy.
    TTempDir dir;
    ::mkdir((dir / "real").c_str(), 0755);
    WriteFile(dir / "real/f", "only copy");
    ::symlink((dir / "real").c_str(), (dir / "view").c_str());
    auto local = LocalFs();
    auto host = std::make_shared<TScriptedHost>();
    host->Reply(paOverwrite, true);
    auto outcome = RunRequest(Request(tkMove, local, dir / "real", {"f"}, local, dir / "view"), host);
    EXPECT_EQ(outcome.Result.Failed, 1);
    EXPECT_EQ(outcome.Result.FirstProblem, "Cannot copy a file onto itself: " + dir / "real/f");
    EXPECT_EQ(ReadFile(dir / "real/f"), "only copy");
}

TEST(TransferDelete, PermanentDeleteNeverFollowsLinks) {
    TTempDir dir, keep;
    WriteFile(keep / "precious", "p");
    ::mkdir((dir / "d").c_str(), 0755);
    ::mkdir((dir / "d/e").c_str(), 0755);
    WriteFile(dir / "d/e/f", "f");
    ::symlink(keep.Path().c_str(), (dir / "d/link").c_str());
    auto request = Request(tkDelete, LocalFs(), dir.Path(), {"d"});
    request.Permanent = true;
    auto outcome = RunRequest(request);
    EXPECT_EQ(outcome.Result.Succeeded, 4);
    EXPECT_FALSE(Exists(dir / "d"));
    EXPECT_EQ(ReadFile(keep / "precious"), "p");
    EXPECT_TRUE(LogHas(outcome, "job: delete 1 item(s) in local " + dir.Path() + " (permanently)"));
    EXPECT_TRUE(LogHas(outcome, "delete: " + dir / "d/e/f\n"));
}

TEST(TransferDelete, ToTheTrashWholeItems) {
    TTempDir dir;
    ::mkdir((dir / "folder").c_str(), 0755);
    WriteFile(dir / "folder/inside", "i");
    WriteFile(dir / "file", "f");
    auto outcome = RunRequest(Request(tkDelete, LocalFs(), dir.Path(), {"folder", "file"}));
    EXPECT_EQ(outcome.Result.Succeeded, 2);
    EXPECT_FALSE(Exists(dir / "folder") || Exists(dir / "file"));
    EXPECT_TRUE(LogHas(outcome, "recycle: " + dir / "folder"));
    EXPECT_TRUE(LogHas(outcome, " (to the Trash)"));
    std::string listing = RunCommand("trash-list 2>/dev/null");
    EXPECT_NE(listing.find(dir / "folder"), std::string::npos);
}

TEST(TransferRefusals, ReadOnlyPlaces) {
    auto archive = std::make_shared<TKvMemoryFs>("zip:/a.zip", true);
    archive->AddFile("/f", "x");
    auto target = std::make_shared<TKvMemoryFs>();
    EXPECT_EQ(RunRequest(Request(tkCopy, target, "/", {}, archive, "/")).Result.FirstProblem, "The destination is read-only");
    EXPECT_EQ(RunRequest(Request(tkMove, archive, "/", {"f"}, target, "/")).Result.FirstProblem,
              "Cannot move out of a read-only location. Copy instead");
    EXPECT_EQ(RunRequest(Request(tkDelete, archive, "/", {"f"})).Result.FirstProblem, "Cannot delete from a read-only location");
    auto copied = RunRequest(Request(tkCopy, archive, "/", {"f"}, target, "/out/"));
    EXPECT_EQ(target->Content("/out/f"), "x");
    EXPECT_EQ(copied.Result.Succeeded, 1);
}

TEST(TransferTemporaryNames, AUsersOwnPartFileIsNeverOverwrittenNorDeleted) {
    TTempDir src, dst;
    WriteFile(src / "x", std::string(2 * KTransferBufferSize, 'n'));
    WriteFile(dst / "x.kvpart", "the user's own");
    WriteFile(dst / "x.2.kvpart", "also the user's");
    auto local = LocalFs();
    EXPECT_EQ(TKvRun::TemporaryName(*local, dst / "x"), dst / "x.3.kvpart");

    // A write that fails halfway: the file the run made goes, the user's stay.
    auto faulty = std::make_shared<TKvFaultFs>(local);
    faulty->AddFault({foWrite, 2, 1});
    auto host = std::make_shared<TScriptedHost>();
    host->Reply(paSkip);
    auto failed = RunRequest(Request(tkCopy, local, src.Path(), {"x"}, faulty, dst.Path()), host);
    EXPECT_EQ(failed.Result.Skipped, 1);
    EXPECT_EQ(FilesBelow(dst.Path()), (std::vector<std::string>{"./x.2.kvpart", "./x.kvpart"}));

    auto copied = RunRequest(Request(tkCopy, local, src.Path(), {"x"}, local, dst.Path()));
    EXPECT_EQ(copied.Result.Succeeded, 1);
    EXPECT_EQ(ReadFile(dst / "x.kvpart"), "the user's own");
    EXPECT_EQ(ReadFile(dst / "x.2.kvpart"), "also the user's");
    EXPECT_EQ(ReadFile(dst / "x"), std::string(2 * KTransferBufferSize, 'n'));
}

TEST(TransferTemporaryNames, LongestNamesCopyAndMove) {
    // 255 bytes, the most a name may have; one ends inside a two-byte character at the cut.
    const std::string ascii(255, 'a');
    const std::string accented = std::string(235, 'b') + "\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9" +
                                 std::string(10, 'c');
    TTempDir src, dst, moved;
    for (const auto& name : {ascii, accented})
        WriteFile(src / name, name.substr(0, 3));
    auto local = LocalFs();
    // Two long names that share their start still get two temporary names.
    std::string first = TKvRun::TemporaryName(*local, dst / ascii);
    std::string second = TKvRun::TemporaryName(*local, dst / (std::string(254, 'a') + "z"));
    EXPECT_NE(first, second);
    EXPECT_LE(local->NameOf(first).size(), KMaxNameBytes);
    std::string cut = local->NameOf(TKvRun::TemporaryName(*local, dst / accented));
    EXPECT_EQ(cut.find("\xC3~"), std::string::npos) << "cut inside a character";

    auto copy = RunRequest(Request(tkCopy, local, src.Path(), {ascii, accented}, local, dst.Path()));
    EXPECT_EQ(copy.Result.Succeeded, 2) << copy.Result.FirstProblem;
    EXPECT_EQ(ReadFile(dst / ascii), "aaa");
    EXPECT_EQ(ReadFile(dst / accented), "bbb");

    // A move that cannot rename in place copies through the temporary name too.
    auto noRename = std::make_shared<TKvFaultFs>(local);
    noRename->AddFault({foRename, 1, 1});
    auto move = RunRequest(Request(tkMove, noRename, dst.Path(), {ascii, accented}, noRename, moved.Path()));
    EXPECT_EQ(move.Result.Succeeded, 2) << move.Result.FirstProblem;
    EXPECT_EQ(FilesBelow(moved.Path()), (std::vector<std::string>{"./" + ascii, "./" + accented}));
    EXPECT_EQ(FilesBelow(dst.Path()), std::vector<std::string>{});
}

TEST(TransferPermissions, BitsTravelWithCopiesAndMovesAcrossDisks) {
    TTempDir src, dst;
    // Another mount where there is one, so the move really copies.
    struct stat shm {}, here {};
    const bool otherDisk = ::stat("/dev/shm", &shm) == 0 && ::stat(src.Path().c_str(), &here) == 0 &&
                           shm.st_dev != here.st_dev && ::access("/dev/shm", W_OK) == 0;
    TTempDir across(otherDisk ? "/dev/shm" : "");
    ::mkdir((src / "private").c_str(), 0700);
    WriteFile(src / "private/key", "k");
    ::chmod((src / "private/key").c_str(), 0600);
    WriteFile(src / "private/run.sh", "#!/bin/sh\n");
    ::chmod((src / "private/run.sh").c_str(), 0755);
    WriteFile(src / "private/setuid", "s");
    ::chmod((src / "private/setuid").c_str(), 04755);
    ::mkdir((src / "private/locked").c_str(), 0500); // a folder nobody may write to, made last
    WriteFile(src / "private/locked/inside", "i");
    ::chmod((src / "private/locked").c_str(), 0500);
    auto modeOf = [](const std::string& APath) {
        struct stat st {};
        ::stat(APath.c_str(), &st);
        return st.st_mode & 07777;
    };
    auto check = [&](const std::string& ARoot) {
        EXPECT_EQ(modeOf(ARoot + "/private"), 0700u);
        EXPECT_EQ(modeOf(ARoot + "/private/key"), 0600u);
        EXPECT_EQ(modeOf(ARoot + "/private/run.sh"), 0755u);
        EXPECT_EQ(modeOf(ARoot + "/private/setuid"), 0755u) << "no set-user bit on a copy";
        EXPECT_EQ(modeOf(ARoot + "/private/locked"), 0500u);
        EXPECT_EQ(ReadFile(ARoot + "/private/locked/inside"), "i");
    };
    auto local = LocalFs();
    auto copy = RunRequest(Request(tkCopy, local, src.Path(), {"private"}, local, dst.Path()));
    EXPECT_EQ(copy.Result.Succeeded, 4) << copy.Result.FirstProblem;
    check(dst.Path());

    auto move = RunRequest(Request(tkMove, local, dst.Path(), {"private"}, local, across.Path()));
    EXPECT_EQ(move.Result.Failed + move.Result.Skipped, 0) << move.Result.FirstProblem;
    check(across.Path());
    for (const auto& dir : {src / "private/locked", across / "private/locked"})
        ::chmod(dir.c_str(), 0755); // so the folders can be removed
}

TEST(TransferCopy, AFolderIsNeverCopiedIntoALinkThatLeadsInsideIt) {
    TTempDir dir;
    ::mkdir((dir / "a").c_str(), 0755);
    ::mkdir((dir / "a/inner").c_str(), 0755);
    WriteFile(dir / "a/f", "data");
    ASSERT_EQ(::symlink((dir / "a/inner").c_str(), (dir / "shortcut").c_str()), 0);
    auto local = LocalFs();
    for (const std::string& dest : {dir / "shortcut", dir / "shortcut/new/deeper"}) {
        SCOPED_TRACE(dest);
        auto outcome = RunRequest(Request(tkCopy, local, dir.Path(), {"a"}, local, dest));
        EXPECT_EQ(outcome.Result.Failed, 1);
        EXPECT_EQ(outcome.Result.FirstProblem, "Cannot copy a directory into itself: " + dir / "a");
        EXPECT_FALSE(Exists(dir / "a/inner/a"));
    }
}

TEST(TransferErrors, FinishingStepsThatFail) {
    TTempDir src;
    WriteFile(src / "f", "new data");
    const struct {
        const char* Name;
        bool Direct;
        TKvFault Fault;
        const char* Expected;   // the target's content afterwards
        bool Counted;           // the copy counts as done
        const char* Problem;    // how the first problem starts
    } cases[] = {
        {"rename over the old target fails", false, {foRename, 1, 1}, "old", false, "Could not copy "},
        {"setting the time fails", false, {foSetModified, 1, 1}, "new data", true,
         "Copied, but could not set the time of /d/f: /d/f: injected failure"},
        {"finishing a direct upload fails", true, {foFinish, 1, 1}, "old", false, "Could not copy "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        std::shared_ptr<TKvMemoryFs> mem = c.Direct ? std::make_shared<TKvMemoryDirectFs>("mem:direct")
                                                    : std::make_shared<TKvMemoryFs>("mem:plain");
        mem->AddFile("/d/f", "old");
        auto faulty = std::make_shared<TKvFaultFs>(mem);
        faulty->AddFault(c.Fault);
        auto host = std::make_shared<TScriptedHost>();
        host->Reply(paOverwrite);
        host->Reply(paSkip);
        auto outcome = RunRequest(Request(tkCopy, LocalFs(), src.Path(), {"f"}, faulty, "/d"), host);
        EXPECT_EQ(mem->Content("/d/f"), c.Expected);
        EXPECT_EQ(outcome.Result.Succeeded, c.Counted ? 1 : 0);
        EXPECT_EQ(outcome.Result.FirstProblem.rfind(c.Problem, 0), 0u) << outcome.Result.FirstProblem;
        EXPECT_EQ(mem->Paths(), (std::vector<std::string>{"/", "/d", "/d/f"})) << "a temporary file was left";
    }
}

namespace {

// Writes AData at AOffset of a file of ASize bytes: the rest stays holes.
void WriteSparse(const std::string& APath, int64_t ASize,
                 const std::vector<std::pair<int64_t, std::string>>& AData) {
    int fd = ::open(APath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    for (const auto& [offset, data] : AData)
        ASSERT_EQ(::pwrite(fd, data.data(), data.size(), offset),
                  static_cast<ssize_t>(data.size()));
    ASSERT_EQ(::ftruncate(fd, ASize), 0);
    ::close(fd);
}

int64_t AllocatedBytes(const std::string& APath) {
    struct stat st {};
    return ::stat(APath.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_blocks) * 512 : -1;
}

} // namespace

TEST(TransferCopy, SparseFilesKeepTheirHoles) {
    TTempDir src, dst;
    const int64_t mb = 1 << 20;
    struct TCase {
        const char* Name;
        int64_t Size;
        std::vector<std::pair<int64_t, std::string>> Data;
    } cases[] = {
        {"holes around data",
         16 * mb,
         {{2 * mb, std::string(mb + 5, 'a')}, {9 * mb, "tail of the middle"}}},
        {"data at both ends", 8 * mb, {{0, "head"}, {8 * mb - 4, "tail"}}},
        {"only a hole", 4 * mb, {}},
    };
    for (const auto& c : cases) {
        WriteSparse(src / c.Name, c.Size, c.Data);
        if (AllocatedBytes(src / c.Name) >= c.Size)
            GTEST_SKIP() << "this file system keeps no holes";
    }
    auto local = LocalFs();
    auto outcome =
        RunRequest(Request(tkCopy, local, src.Path(), {cases[0].Name, cases[1].Name, cases[2].Name},
                           local, dst.Path()));
    EXPECT_EQ(outcome.Result.Succeeded, 3) << outcome.Result.FirstProblem;
    EXPECT_EQ(outcome.Host->BytesDone, 28 * mb);
    for (const auto& c : cases) {
        EXPECT_EQ(ReadFile(dst / c.Name), ReadFile(src / c.Name)) << c.Name;
        // Blocks for the data alone (and a block or two around it), not for the size.
        EXPECT_LE(AllocatedBytes(dst / c.Name), AllocatedBytes(src / c.Name) + 64 * 1024) << c.Name;
    }
}

// Disk to disk a file keeps its time to the nanosecond, and a folder made by the copy keeps
// its own time, set after its contents are in.
TEST(TransferCopy, TimesOfFilesAndFoldersAreKept) {
    TTempDir src, dst;
    ASSERT_EQ(::system(("mkdir -p '" + src / "tree/inner" + "' && echo a > '" + src / "tree/inner/a.txt" +
                        "' && touch -d '2001-02-03 04:05:06.292145996' '" + src / "tree/inner/a.txt" +
                        "' && touch -d '2002-03-04 05:06:07.123456789' '" + src / "tree/inner" +
                        "' '" + src / "tree" + "'")
                           .c_str()),
              0);
    auto local = LocalFs();
    auto outcome = RunRequest(Request(tkCopy, local, src.Path(), {"tree"}, local, dst.Path()));
    EXPECT_EQ(outcome.Result.Failed, 0) << outcome.Result.FirstProblem;
    for (const char* path : {"tree", "tree/inner", "tree/inner/a.txt"}) {
        SCOPED_TRACE(path);
        struct stat from {}, to {};
        ASSERT_EQ(::stat((src / path).c_str(), &from), 0);
        ASSERT_EQ(::stat((dst / path).c_str(), &to), 0);
        EXPECT_EQ(to.st_mtim.tv_sec, from.st_mtim.tv_sec);
        EXPECT_EQ(to.st_mtim.tv_nsec, from.st_mtim.tv_nsec);
    }
}

// A name chosen without its time (picked off a terminal's screen) still arrives with the
// source's time.
TEST(TransferCopy, AnItemWithoutATimeGetsTheSourcesTime) {
    auto mem = std::make_shared<TKvMemoryFs>("mem:src");
    mem->AddDir("/s");
    const TKvDateTime when = DateTimeFromUnix(1000000000);
    mem->AddFile("/s/picked.txt", "picked", when);
    TTempDir dst;
    TKvTransferRequest request = Request(tkCopy, mem, "/s", {"picked.txt"}, LocalFs(), dst.Path());
    request.Items[0].Modified = 0;
    auto outcome = RunRequest(request);
    EXPECT_EQ(outcome.Result.Succeeded, 1) << outcome.Result.FirstProblem;
    struct stat st {};
    ASSERT_EQ(::stat((dst / "picked.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtime, 1000000000);
}

TEST(TransferCopy, MoreThanTheFreeSpaceAsksBeforeCopying) {
    TTempDir src, small;
    if (::system(("mount -t tmpfs -o size=1m kvtest '" + small.Path() + "' 2>/dev/null").c_str()) !=
        0)
        GTEST_SKIP() << "no small file system can be mounted here";
    struct TUnmount {
        std::string Path;
        ~TUnmount() { EXPECT_EQ(::system(("umount '" + Path + "'").c_str()), 0); }
    } unmount{small.Path()};
    WriteFile(src / "big", std::string(3 << 20, 'b'));
    WriteFile(src / "small", "s");
    auto local = LocalFs();
    auto host = std::make_shared<TScriptedHost>();
    host->Reply(paCancel);
    auto refused =
        RunRequest(Request(tkCopy, local, src.Path(), {"big", "small"}, local, small.Path()), host);
    ASSERT_EQ(host->Questions.size(), 1u);
    EXPECT_EQ(host->Questions[0].Kind, pkSpace);
    EXPECT_NE(host->Questions[0].Text.find("There is not enough free space in " + small.Path()),
              std::string::npos)
        << host->Questions[0].Text;
    EXPECT_TRUE(refused.Result.Cancelled);
    EXPECT_FALSE(Exists(small / "big"));
    EXPECT_FALSE(Exists(small / "small"));

    // Copy anyway: what fits is copied, the rest fails as the disk fills.
    host = std::make_shared<TScriptedHost>();
    host->Reply(paOverwrite);
    host->Reply(paSkip);
    auto anyway =
        RunRequest(Request(tkCopy, local, src.Path(), {"big", "small"}, local, small.Path()), host);
    EXPECT_EQ(anyway.Result.Succeeded, 1);
    EXPECT_EQ(anyway.Result.Skipped, 1);
    EXPECT_EQ(ReadFile(small / "small"), "s");
    EXPECT_FALSE(Exists(small / "big"));
    // A sparse file takes only its data: it fits, and nothing is asked.
    WriteSparse(src / "sparse", 64 << 20, {{5 << 20, "x"}});
    host = std::make_shared<TScriptedHost>();
    auto sparse =
        RunRequest(Request(tkCopy, local, src.Path(), {"sparse"}, local, small.Path()), host);
    EXPECT_TRUE(host->Questions.empty());
    EXPECT_EQ(sparse.Result.Succeeded, 1) << sparse.Result.FirstProblem;
}
