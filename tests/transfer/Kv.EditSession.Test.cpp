#include <gtest/gtest.h>

#include <atomic>
#include <sys/stat.h>
#include <unistd.h>

#include "Kv.EditSession.h"
#include "Kv.FS.Local.h"
#include "Kv.Settings.h"
#include "KvMemoryFs.h"
#include "KvStubPrograms.h"
#include "KvTestSupport.h"

using namespace kv;
using namespace kv::test;

namespace {

// An owner of edit sessions as the main window is: a status line, a clock the test moves, an
// editor that only notes which file it was asked to open.
struct TEditOwner {
    TDeliverQueue Queue;
    std::atomic<int64_t> Clock{0};
    std::vector<std::pair<std::string, bool>> Status;
    std::vector<std::string> Opened;
    TKvEditSessions Edits{[this](const std::string& AText, bool AError) { Status.emplace_back(AText, AError); },
                          [this] { return Clock.load(); },
                          [this](const std::string& APath) {
                              Opened.push_back(APath);
                              return std::string();
                          }};

    std::string LastStatus() const { return Status.empty() ? "" : Status.back().first; }
    bool WaitStatus(const std::string& AText) {
        return Queue.PumpUntil([&] { return LastStatus() == AText; });
    }
    // Polls as the timer would, the given time after the copy's last write.
    void PollAfter(const std::string& ACopy, int64_t ANs) {
        Clock = EditStampOf(ACopy).ModifiedNs + ANs;
        Edits.Poll();
    }
    std::string OpenOne(const IKvFileSystemPtr& AFs, const std::string& APath) {
        Edits.Edit(AFs, APath, -1);
        EXPECT_TRUE(Queue.PumpUntil([&] { return !Opened.empty(); })) << LastStatus();
        return Opened.empty() ? "" : Opened.back();
    }
};

void SaveInPlace(const std::string& APath, const std::string& AText) { WriteFile(APath, AText); }

// As editors that write a new file and rename it over the old one do.
void SaveByRename(const std::string& APath, const std::string& AText) {
    WriteFile(APath + ".new~", AText);
    ASSERT_EQ(::rename((APath + ".new~").c_str(), APath.c_str()), 0);
}

TEST(EditSessions, EverySaveReachesTheServerOnceSettled) {
    auto mem = std::make_shared<TKvMemoryFs>("mem:server");
    mem->SetDisplayPrefix("server:");
    mem->AddFile("/home/notes.txt", "original");
    TEditOwner owner;
    std::string copy = owner.OpenOne(mem, "/home/notes.txt");
    EXPECT_EQ(ReadFile(copy), "original");
    EXPECT_EQ(copy.rfind(TestRoot(), 0), 0u) << copy;
    EXPECT_NE(copy.find("/edit/"), std::string::npos);
    EXPECT_EQ(owner.LastStatus(), "Editing notes.txt. Saving the file sends it back.");
    EXPECT_FALSE(owner.Edits.Busy());

    struct TSave {
        const char* Text;
        void (*Save)(const std::string&, const std::string&);
    } saves[] = {{"in place", SaveInPlace}, {"by rename", SaveByRename}, {"in place again", SaveInPlace}};
    for (const auto& save : saves) {
        save.Save(copy, save.Text);
        EXPECT_TRUE(owner.Edits.Busy());
        // Just written: the editor may not be done yet.
        owner.PollAfter(copy, KEditSettleNs / 2);
        EXPECT_FALSE(owner.Edits.Entries()[0].Uploading) << save.Text;
        owner.PollAfter(copy, KEditSettleNs + 1);
        // Polls come at most once a second.
        EXPECT_FALSE(owner.Edits.Entries()[0].Uploading) << save.Text;
        owner.Status.clear();
        owner.PollAfter(copy, KEditSettleNs / 2 + KEditPollNs);
        EXPECT_TRUE(owner.Edits.Entries()[0].Uploading) << save.Text;
        ASSERT_TRUE(owner.WaitStatus("Saved notes.txt")) << owner.LastStatus();
        EXPECT_EQ(mem->Content("/home/notes.txt"), save.Text);
        EXPECT_FALSE(owner.Edits.Busy());
        owner.PollAfter(copy, 10 * KEditPollNs);
        EXPECT_FALSE(owner.Edits.Entries()[0].Uploading) << "nothing new to send";
    }
}

TEST(EditSessions, ASaveDuringAnUploadIsSentAfterIt) {
    auto mem = std::make_shared<TKvMemoryFs>("mem:server");
    mem->AddFile("/f", "0");
    auto faulty = std::make_shared<TKvFaultFs>(mem);
    TEditOwner owner;
    std::string copy = owner.OpenOne(faulty, "/f");
    faulty->AddFault({foWrite, 1, 1, true, false});
    SaveInPlace(copy, "first");
    owner.PollAfter(copy, KEditPollNs * 2);
    ASSERT_TRUE(faulty->WaitBlocked());
    SaveByRename(copy, "second");
    owner.PollAfter(copy, KEditPollNs * 4);
    faulty->Release();
    ASSERT_TRUE(owner.WaitStatus("Saved f"));
    EXPECT_EQ(mem->Content("/f"), "first");
    EXPECT_TRUE(owner.Edits.Busy());
    owner.PollAfter(copy, KEditPollNs * 6);
    ASSERT_TRUE(owner.Queue.PumpUntil([&] { return !owner.Edits.Busy(); }));
    EXPECT_EQ(mem->Content("/f"), "second");
}

TEST(EditSessions, ARefusedUploadKeepsTheCopyAndIsTriedAgainUntilItGetsThere) {
    auto mem = std::make_shared<TKvMemoryFs>("mem:server");
    mem->AddFile("/dir/f.txt", "old");
    auto faulty = std::make_shared<TKvFaultFs>(mem);
    TEditOwner owner;
    std::string copy = owner.OpenOne(faulty, "/dir/f.txt");
    faulty->AddFault({foOpenWrite, 1, 4}); // each save tries its temporary name, then the file
    SaveInPlace(copy, "my edits");
    for (int attempt = 1; attempt <= 2; ++attempt) {
        owner.PollAfter(copy, attempt * 2 * KEditPollNs);
        ASSERT_TRUE(owner.Queue.PumpUntil([&] { return !owner.Edits.Entries()[0].Uploading; }));
        ASSERT_FALSE(owner.Status.empty());
        EXPECT_TRUE(owner.Status.back().second);
        EXPECT_EQ(owner.LastStatus().rfind("Could not save: f.txt: ", 0), 0u) << owner.LastStatus();
        EXPECT_FALSE(owner.Edits.Entries()[0].Failure.empty());
        EXPECT_TRUE(owner.Edits.Busy()) << "the quit guard must still ask";
        EXPECT_EQ(ReadFile(copy), "my edits");
    }
    owner.Edits.Retry(copy);
    ASSERT_TRUE(owner.WaitStatus("Saved f.txt"));
    EXPECT_EQ(mem->Content("/dir/f.txt"), "my edits");
    EXPECT_TRUE(owner.Edits.Entries()[0].Failure.empty());
    EXPECT_FALSE(owner.Edits.Busy());
}

// A connection lost after the first block leaves the server's file whole: the copy goes under a
// temporary name and replaces the file only once complete. Places that show a file only when it
// is complete take it directly.
TEST(EditSessions, AnUploadCutAfterTheFirstBlockLeavesTheServersFileWhole) {
    const std::string edits(3 * KEditBlockSize + 5, 'e');
    for (bool direct : {false, true}) {
        std::shared_ptr<TKvMemoryFs> mem = direct ? std::make_shared<TKvMemoryDirectFs>("mem:direct")
                                                  : std::make_shared<TKvMemoryFs>("mem:plain");
        mem->AddFile("/dir/f.txt", "the server's text");
        auto faulty = std::make_shared<TKvFaultFs>(mem);
        TEditOwner owner;
        std::string copy = owner.OpenOne(faulty, "/dir/f.txt");
        faulty->AddFault({foWrite, 2, 1});
        SaveInPlace(copy, edits);
        owner.PollAfter(copy, 2 * KEditPollNs);
        ASSERT_TRUE(owner.Queue.PumpUntil([&] { return !owner.Edits.Entries()[0].Uploading; })) << direct;
        EXPECT_EQ(faulty->Calls(foWrite), 2) << direct;
        EXPECT_EQ(owner.LastStatus(), "Could not save: f.txt: /dir/f.txt: injected failure") << direct;
        EXPECT_EQ(mem->Content("/dir/f.txt"), "the server's text") << direct;
        EXPECT_EQ(mem->Paths(), (std::vector<std::string>{"/", "/dir", "/dir/f.txt"})) << direct;
        EXPECT_TRUE(owner.Edits.Busy()) << direct;
        owner.Edits.Retry(copy);
        ASSERT_TRUE(owner.WaitStatus("Saved f.txt")) << owner.LastStatus();
        EXPECT_EQ(mem->Content("/dir/f.txt"), edits) << direct;
        EXPECT_EQ(mem->Paths(), (std::vector<std::string>{"/", "/dir", "/dir/f.txt"})) << direct;
    }
}

// A folder where no new file can be made still lets its writable file be saved: in place.
TEST(EditSessions, AFolderThatTakesNoNewFileIsSavedInPlace) {
    auto mem = std::make_shared<TKvMemoryFs>("mem:server");
    mem->AddFile("/shared/f", "old");
    auto faulty = std::make_shared<TKvFaultFs>(mem);
    faulty->AddFault({foOpenWrite, 1, 100, false, true, "/shared/f.kvpart"});
    TEditOwner owner;
    std::string copy = owner.OpenOne(faulty, "/shared/f");
    SaveInPlace(copy, "edits");
    owner.PollAfter(copy, 2 * KEditPollNs);
    ASSERT_TRUE(owner.WaitStatus("Saved f")) << owner.LastStatus();
    EXPECT_EQ(mem->Content("/shared/f"), "edits");
    EXPECT_EQ(faulty->Calls(foOpenWrite), 2);
}

// Someone else changed the server's file after it was opened: the user is asked, and each answer
// does what it says. A later save after the answer is not asked about again unless it changes again.
TEST(EditSessions, AFileChangedOnTheServerIsNotOverwrittenUnasked) {
    struct TCase {
        TKvEditChoice Choice;
        std::string Status;
        std::vector<std::string> Paths;
        std::string Original, Beside; // afterwards
    } cases[] = {
        {ecOverwrite, "Saved notes.txt", {"/", "/d", "/d/notes.txt"}, "mine", ""},
        {ecSaveBeside, "Saved as notes (2).txt", {"/", "/d", "/d/notes (2).txt", "/d/notes.txt"}, "theirs", "mine"},
        {ecCancel, "Not saved: notes.txt was changed on the server", {"/", "/d", "/d/notes.txt"}, "theirs", ""},
    };
    for (const auto& c : cases) {
        auto mem = std::make_shared<TKvMemoryFs>("mem:server");
        mem->AddFile("/d/notes.txt", "original", EncodeDateTime({2024, 1, 2, 3, 4, 5, 0}));
        TEditOwner owner;
        std::vector<std::pair<std::string, std::string>> asked;
        owner.Edits.SetAsker([&](const std::string& AText, const std::string& ABeside) {
            asked.emplace_back(AText, ABeside);
            return c.Choice;
        });
        std::string copy = owner.OpenOne(mem, "/d/notes.txt");
        mem->AddFile("/d/notes.txt", "theirs", EncodeDateTime({2024, 1, 2, 3, 9, 0, 0}));
        SaveInPlace(copy, "mine");
        owner.PollAfter(copy, 2 * KEditPollNs);
        ASSERT_TRUE(owner.WaitStatus(c.Status)) << owner.LastStatus();
        ASSERT_EQ(asked.size(), 1u);
        EXPECT_EQ(asked[0].first.substr(0, asked[0].first.find('\n')),
                  "notes.txt was changed on the server since you opened it.");
        EXPECT_NE(asked[0].first.find("Now: 6 bytes"), std::string::npos) << asked[0].first;
        EXPECT_NE(asked[0].first.find("When opened: 8 bytes"), std::string::npos) << asked[0].first;
        EXPECT_EQ(asked[0].second, "notes (2).txt");
        EXPECT_EQ(mem->Paths(), c.Paths) << asked[0].second;
        EXPECT_EQ(mem->Content("/d/notes.txt"), c.Original);
        if (!c.Beside.empty()) {
            EXPECT_EQ(mem->Content("/d/notes (2).txt"), c.Beside);
        }
        EXPECT_FALSE(owner.Edits.Busy());

        // The next save: after overwrite or save beside it goes through as usual (to the new
        // name after a save beside); after cancel the server's file is still another's.
        SaveByRename(copy, "mine again");
        owner.Status.clear();
        owner.PollAfter(copy, 4 * KEditPollNs);
        if (c.Choice == ecCancel) {
            ASSERT_TRUE(owner.Queue.PumpUntil([&] { return asked.size() == 2; }));
            ASSERT_TRUE(owner.Queue.PumpUntil([&] { return !owner.Edits.Entries()[0].Uploading; }));
            EXPECT_EQ(mem->Content("/d/notes.txt"), "theirs");
            continue;
        }
        const std::string saved = c.Choice == ecOverwrite ? "notes.txt" : "notes (2).txt";
        ASSERT_TRUE(owner.WaitStatus("Saved " + saved)) << owner.LastStatus();
        EXPECT_EQ(asked.size(), 1u);
        EXPECT_EQ(mem->Content("/d/" + saved), "mine again");
        EXPECT_EQ(mem->Content("/d/notes.txt"), c.Choice == ecOverwrite ? "mine again" : "theirs");
    }
}

TEST(EditSessions, GivingUpStopsWatchingButKeepsTheCopy) {
    auto mem = std::make_shared<TKvMemoryFs>("mem:server");
    mem->AddFile("/f", "old");
    auto faulty = std::make_shared<TKvFaultFs>(mem);
    TEditOwner owner;
    std::string copy = owner.OpenOne(faulty, "/f");
    faulty->AddFault({foOpenWrite, 1, 100});
    SaveInPlace(copy, "edits");
    owner.PollAfter(copy, 2 * KEditPollNs);
    ASSERT_TRUE(owner.Queue.PumpUntil([&] { return !owner.Edits.Entries()[0].Uploading; }));
    EXPECT_TRUE(owner.Edits.Busy());
    owner.Edits.GiveUp(copy);
    EXPECT_TRUE(owner.Edits.Entries().empty());
    EXPECT_FALSE(owner.Edits.Busy());
    EXPECT_EQ(ReadFile(copy), "edits");
}

TEST(EditSessions, LocalFilesNewFilesAndDownloaders) {
    TEditOwner owner;
    TTempDir dir;
    WriteFile(dir / "local.txt", "x");
    owner.Edits.Edit(LocalFs(), dir / "local.txt", 1);
    ASSERT_TRUE(owner.WaitStatus("Editing local.txt"));
    EXPECT_EQ(owner.Opened.back(), dir / "local.txt");
    EXPECT_TRUE(owner.Edits.Entries().empty());

    auto mem = std::make_shared<TKvMemoryFs>("mem:server");
    mem->AddDir("/d");
    int created = 0;
    owner.Edits.NewFile(mem, "/d/new.txt", [&] { ++created; });
    ASSERT_TRUE(owner.Queue.PumpUntil([&] { return owner.Edits.Entries().size() == 1; }));
    EXPECT_EQ(created, 1);
    EXPECT_TRUE(mem->HasFile("/d/new.txt"));
    EXPECT_EQ(mem->Content("/d/new.txt"), "");

    struct TCase {
        IKvFileSystemPtr Fs;
        std::string Path, Error;
    } refusals[] = {
        {mem, "/d", "d: There is a folder with that name"},
        {std::make_shared<TKvMemoryFs>("zip:x", true), "/a", "a: This is read-only, so no file can be created here"},
    };
    for (const auto& c : refusals) {
        owner.Edits.NewFile(c.Fs, c.Path, [&] { ++created; });
        ASSERT_TRUE(owner.WaitStatus(c.Error)) << owner.LastStatus();
        EXPECT_TRUE(owner.Status.back().second);
    }
    EXPECT_EQ(created, 1);

    mem->AddFile("/big", std::string(10, 'b'));
    std::string offered;
    owner.Edits.SetDownloader([&](const IKvFileSystemPtr&, const std::string&, const std::string& ALocal, int64_t) {
        offered = ALocal;
        WriteFile(ALocal, "part");
        return 2;
    });
    owner.Edits.Edit(mem, "/big", 10);
    EXPECT_EQ(owner.LastStatus(), "Not edited: big");
    EXPECT_FALSE(Exists(offered));
    EXPECT_FALSE(Exists(LocalFs()->ParentOf(offered)));
    EXPECT_EQ(owner.Edits.Entries().size(), 1u);
}

TEST(Editor, TheSettingsChoiceThenTheDesktopsEditorsThenXdgOpen) {
    TStubPrograms stubs;
    const std::string path = std::getenv("PATH");
    ::setenv("PATH", stubs.Bin().c_str(), 1);
    EXPECT_EQ(FindEditor(""), "xdg-open");
    stubs.MakeStub(stubs.Bin(), "featherpad");
    EXPECT_EQ(FindEditor(""), stubs.Bin() + "/featherpad");
    stubs.MakeStub(stubs.Bin(), "kate");
    EXPECT_EQ(FindEditor(""), stubs.Bin() + "/kate");
    EXPECT_EQ(FindEditor("/no/such/editor"), stubs.Bin() + "/kate");
    std::string mine = stubs.MakeStub(stubs.Bin(), "my editor");
    EXPECT_EQ(FindEditor(mine), mine);
    ::setenv("PATH", path.c_str(), 1);

    TKvSettings settings = CurrentSettings();
    TKvSettings chosen = settings;
    chosen.EditorExe = mine;
    SetCurrentSettings(chosen);
    TTempDir dir;
    std::string file = dir / "it's \"$x\" `y`\nz.txt";
    WriteFile(file, "");
    EXPECT_EQ(OpenInEditor(file), "");
    TStubRun run = stubs.WaitFor("my editor");
    EXPECT_EQ(run.Args, std::vector<std::string>{file});
    EXPECT_EQ(run.Folder, dir.Path());
    SetCurrentSettings(settings);
}

} // namespace
