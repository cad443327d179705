// Edit sessions on a real OpenSSH server: the user's editor (a stand-in that saves in place or
// by renaming a new file over the copy) gets the downloaded copy, and every save goes back; a
// server that dies during an upload leaves the edits in the copy and the server's file whole.
#include <atomic>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <thread>

#include "Kv.EditSession.h"
#include "Kv.FS.Sftp.h"
#include "Kv.Settings.h"
#include "Kv.Transfer.Engine.h"
#include "KvSshPeers.h"
#include "KvStubPrograms.h"
#include "KvTestSupport.h"

namespace kv {
namespace {

using test::TRemoteDir;
using test::TSshd;

IKvFileSystemPtr OpenFs(const TKvConnector& AConn) {
    std::string learned, start;
    auto token = NewCancelToken();
    return OpenSftp(AConn, std::make_shared<test::TScriptedUi>(), *token, learned, start);
}

struct TEditOwner {
    test::TDeliverQueue Queue;
    std::atomic<int64_t> Clock{0};
    std::vector<std::pair<std::string, bool>> Status;
    TKvEditSessions Edits{[this](const std::string& AText, bool AError) { Status.emplace_back(AText, AError); },
                          [this] { return Clock.load(); }};
    std::string LastStatus() const { return Status.empty() ? "" : Status.back().first; }
    void PollAfter(const std::string& ACopy, int64_t ANs) {
        Clock = EditStampOf(ACopy).ModifiedNs + ANs;
        Edits.Poll();
    }
};

// Points the settings' editor at a stand-in for the test's lifetime.
struct TEditorSetting {
    TKvSettings Old = CurrentSettings();
    explicit TEditorSetting(const std::string& AEditor) {
        TKvSettings settings = Old;
        settings.EditorExe = AEditor;
        SetCurrentSettings(settings);
    }
    ~TEditorSetting() { SetCurrentSettings(Old); }
};

TEST(EditSessionServer, EditorsThatSaveInPlaceAndByRenameReachTheServer) {
    KV_REQUIRE_SSH();
    TSshd server;
    IKvFileSystemPtr sftp = OpenFs(test::KeyConn(server.Port()));
    TRemoteDir there;
    const std::string name = "it's \"$x\" `y` Grüße.txt";
    const std::string remote = there / name;
    test::WriteFile(remote, "from the server\n");
    test::RunCommand("chown kvkey: " + std::string("'") + there.Path() + "'/*");
    test::TStubPrograms stubs;
    struct TCase {
        const char* Editor;
        const char* Save;
        const char* Text;
    } cases[] = {
        {"inplace-editor", "printf 'saved in place' > \"$1\"", "saved in place"},
        {"rename-editor", "printf 'saved by rename' > \"$1.new~\" && mv \"$1.new~\" \"$1\"", "saved by rename"},
    };
    for (const auto& c : cases) {
        TEditorSetting editor(stubs.MakeStub(stubs.Bin(), c.Editor, 0, c.Save));
        TEditOwner owner;
        owner.Edits.Edit(sftp, remote, 16);
        ASSERT_TRUE(owner.Queue.PumpUntil([&] { return owner.Edits.Entries().size() == 1; })) << owner.LastStatus();
        test::TStubRun run = stubs.WaitFor(c.Editor);
        ASSERT_TRUE(run.Ran) << owner.LastStatus();
        ASSERT_EQ(run.Args.size(), 1u);
        const std::string copy = run.Args[0];
        EXPECT_EQ(sftp->NameOf(remote), name);
        EXPECT_EQ(copy.substr(copy.size() - name.size()), name);
        EXPECT_EQ(run.Folder, copy.substr(0, copy.size() - name.size() - 1));
        EXPECT_EQ(owner.LastStatus(), "Editing " + name + ". Saving the file sends it back.");
        ASSERT_EQ(test::ReadFile(copy), c.Text);
        owner.PollAfter(copy, 2 * KEditPollNs);
        ASSERT_TRUE(owner.Queue.PumpUntil([&] { return owner.LastStatus() == "Saved " + name; }))
            << owner.LastStatus();
        EXPECT_EQ(test::ReadFile(remote), c.Text);
        EXPECT_FALSE(owner.Edits.Busy());
    }
}

TEST(EditSessionServer, AServerThatDiesDuringAnUploadGetsTheEditsAtTheNextSave) {
    KV_REQUIRE_SSH();
    TSshd server;
    IKvFileSystemPtr sftp = OpenFs(test::KeyConn(server.Port()));
    TRemoteDir there;
    const std::string remote = there / "big.log";
    test::WriteFile(remote, "small");
    test::RunCommand("chown kvkey: '" + remote + "'");
    test::TStubPrograms stubs;
    TEditorSetting editor(stubs.MakeStub(stubs.Bin(), "quiet-editor"));
    TEditOwner owner;
    std::string copy;
    TKvEditSessions& edits = owner.Edits;
    edits.Edit(sftp, remote, 5);
    ASSERT_TRUE(owner.Queue.PumpUntil([&] { return edits.Entries().size() == 1; }));
    copy = edits.Entries()[0].LocalPath;
    test::RunCommand("head -c 100000000 /dev/urandom > '" + copy + "'");
    const std::string before = test::RunCommand("sha256sum < '" + copy + "'");
    owner.PollAfter(copy, 2 * KEditPollNs);
    ASSERT_TRUE(edits.Entries()[0].Uploading);
    // The upload goes under a temporary name beside the file until it is complete.
    const std::string partial = remote + KPartSuffix;
    struct stat st {};
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while ((::stat(partial.c_str(), &st) != 0 || st.st_size < 5000000) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    server.KillConnections();
    ASSERT_TRUE(owner.Queue.PumpUntil([&] { return !edits.Entries()[0].Uploading; }, 30000));
    ASSERT_FALSE(owner.Status.empty());
    EXPECT_TRUE(owner.Status.back().second);
    EXPECT_EQ(owner.LastStatus().rfind("Could not save: big.log: ", 0), 0u) << owner.LastStatus();
    EXPECT_EQ(owner.LastStatus().find(KPartSuffix), std::string::npos) << owner.LastStatus();
    EXPECT_EQ(test::ReadFile(remote), "small");
    EXPECT_FALSE(edits.Entries()[0].Failure.empty());
    EXPECT_TRUE(edits.Busy());
    // Tried again at the next poll, which connects again: the edits reach the server whole,
    // and no partial file is left beside the file.
    owner.PollAfter(copy, 4 * KEditPollNs);
    ASSERT_TRUE(owner.Queue.PumpUntil([&] { return !edits.Entries()[0].Uploading; }, 30000));
    EXPECT_EQ(owner.LastStatus(), "Saved big.log");
    EXPECT_EQ(test::RunCommand("sha256sum < '" + remote + "'"), before);
    EXPECT_EQ(test::RunCommand("ls -A '" + there.Path() + "'"), "big.log\n");
    EXPECT_FALSE(edits.Busy());
}

} // namespace
} // namespace kv
