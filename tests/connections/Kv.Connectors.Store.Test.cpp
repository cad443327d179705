#include "Kv.Connectors.Store.h"

#include <deque>
#include <gtest/gtest.h>
#include <memory>
#include <sys/stat.h>
#include <thread>

#include "Kv.Connectors.Exchange.h"
#include "Kv.Log.h"
#include "Kv.Platform.AccountKey.h"
#include "Kv.Secrets.h"
#include "KvConnectorsPrint.h"
#include "KvTestSupport.h"

namespace kv {
namespace {

using test::TTempDir;

// Stands for Cancel among scripted answers.
const std::string KCancel = "\x18";

// The user at the keyboard: answers in order, and remembers what was shown.
class TScriptedUser : public IKvPasskeyPrompt, public IKvConnectorsUi {
public:
    std::deque<std::string> Typed;
    std::deque<TKvAnswer> Answers;
    std::string File;
    std::vector<std::string> Seen;
    int Edits = 0;

    bool InputSecret(const std::string& ATitle, const std::string& APrompt,
                     std::string& AValue) override {
        Seen.push_back(ATitle + " | " + APrompt);
        std::string next = Typed.empty() ? KCancel : Typed.front();
        if (!Typed.empty())
            Typed.pop_front();
        AValue = next == KCancel ? "" : next;
        return next != KCancel;
    }
    void ShowMessage(const std::string& AText) override { Seen.push_back("message: " + AText); }
    void ShowError(const std::string& AText) override { Seen.push_back("error: " + AText); }
    TKvAnswer AskYesNoCancel(const std::string& AText) override {
        Seen.push_back("ask: " + AText.substr(0, AText.find('\n')));
        TKvAnswer answer = Answers.empty() ? anCancel : Answers.front();
        if (!Answers.empty())
            Answers.pop_front();
        return answer;
    }
    bool ChooseExportFile(std::string& APath) override { return ChooseFile(APath); }
    bool ChooseImportFile(std::string& APath) override { return ChooseFile(APath); }
    void TakeEdits() override { ++Edits; }

private:
    bool ChooseFile(std::string& APath) {
        Seen.push_back("file dialog");
        APath = File;
        return !File.empty();
    }
};

TKvConnector Connection(const std::string& AName, const std::string& ASecret) {
    TKvConnector c = NewConnector();
    c.Name = AName;
    c.Host = AName + ".example";
    c.User = "me";
    c.Secret = ASecret;
    return c;
}

class StoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetAccountKeyStore(std::make_shared<TKvAccountKeyFile>(FHome / "account.key"));
        SetLogFolder(FHome.Path());
    }
    void TearDown() override { SetAccountKeyStore(nullptr); }

    // Another Kolvan writes the file; a pause makes sure the time stamp moves on coarse clocks.
    void WriteAsOther(const TKvConnectors& AList, const std::string& APasskey, bool APortable) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        ASSERT_TRUE(SaveConnectors(FPath, AList, APasskey, {}, APortable));
    }

    TTempDir FHome;
    std::string FPath = FHome / "connectors.json";
};

TEST_F(StoreTest, ALockedStoreNeverSavesAndUnlocksWithinThreeTries) {
    ASSERT_TRUE(SaveConnectors(FPath, {Connection("a", "pw-a"), Connection("b", "")}, "open sesame",
                               {"F"}, false));
    const std::string onDisk = test::ReadFile(FPath);

    TKvConnectorStore store(FPath);
    store.Load();
    EXPECT_TRUE(store.Locked());
    EXPECT_FALSE(store.Portable());
    ASSERT_EQ(store.Connectors().size(), 2u);
    EXPECT_FALSE(store.Connectors()[0].SavePassword);
    EXPECT_EQ(store.Connectors()[0].Secret, "");
    EXPECT_EQ(store.Folders(), TKvFolderNames{"F"});
    EXPECT_FALSE(store.Save());
    EXPECT_FALSE(store.StoreLearnedSecret(store.Connectors()[0].Id, "typed"));
    EXPECT_FALSE(store.RemoveConnector(store.Connectors()[0].Id));
    EXPECT_EQ(test::ReadFile(FPath), onDisk) << "a locked store must not write away the secrets";

    // Cancel at once, and three wrong passkeys: both fail and change nothing.
    TScriptedUser user;
    user.Typed = {KCancel};
    EXPECT_FALSE(store.Unlock(user));
    EXPECT_EQ(user.Seen, std::vector<std::string>{
                             "Unlock saved passwords | Passkey for your saved passwords:"});
    user.Seen.clear();
    user.Typed = {"wrong", "", "open sesame!", "open sesame"};
    EXPECT_FALSE(store.Unlock(user));
    ASSERT_EQ(user.Seen.size(), 3u) << "at most three prompts";
    EXPECT_EQ(user.Seen[1], "Unlock saved passwords | That is not the right passkey. Passkey for "
                            "your saved passwords:");
    EXPECT_TRUE(store.Locked());
    EXPECT_EQ(store.Passkey(), "");

    user.Seen.clear();
    user.Typed = {"wrong", "open sesame"};
    EXPECT_TRUE(store.Unlock(user));
    EXPECT_EQ(user.Seen.size(), 2u);
    EXPECT_FALSE(store.Locked());
    EXPECT_EQ(store.Passkey(), "open sesame");
    EXPECT_EQ(store.Connectors()[0].Secret, "pw-a");
    EXPECT_TRUE(store.Connectors()[1].SavePassword);
    user.Seen.clear();
    EXPECT_TRUE(store.Unlock(user));
    EXPECT_TRUE(user.Seen.empty()) << "an unlocked store does not ask";

    EXPECT_TRUE(store.StoreLearnedSecret(store.Connectors()[1].Id, "pw-b"));
    EXPECT_FALSE(store.StoreLearnedSecret(store.Connectors()[1].Id, "pw-b")) << "unchanged";
    EXPECT_EQ(LoadConnectors(FPath, "open sesame")[1].Secret, "pw-b");
    EXPECT_TRUE(JsonCheckPasskey(test::ReadFile(FPath), "open sesame"));
}

TEST_F(StoreTest, ANotherKolvansWriteIsReadAgainAndSettlesTheLock) {
    ASSERT_TRUE(SaveConnectors(FPath, {Connection("a", "pw-a")}, "", {}, false));
    TKvConnectorStore store(FPath);
    store.Load();
    EXPECT_FALSE(store.Locked());
    EXPECT_FALSE(store.ReloadIfChanged());

    // Another Kolvan adds a connection.
    WriteAsOther({Connection("a", "pw-a"), Connection("b", "pw-b")}, "", false);
    EXPECT_TRUE(store.ReloadIfChanged());
    EXPECT_EQ(store.Connectors().size(), 2u);
    EXPECT_NE(test::ReadFile(LogPath()).find("connections: read again, changed by another Kolvan"),
              std::string::npos);
    EXPECT_FALSE(store.ReloadIfChanged());

    // ... then sets a portable passkey: this store locks and forgets its (empty) passkey.
    WriteAsOther({Connection("a", "pw-a")}, "pk", true);
    EXPECT_TRUE(store.ReloadIfChanged());
    EXPECT_TRUE(store.Locked());
    EXPECT_TRUE(store.Portable());
    TScriptedUser user;
    user.Typed = {"pk"};
    ASSERT_TRUE(store.Unlock(user));
    EXPECT_EQ(store.Connectors()[0].Secret, "pw-a");

    // ... writes again with the same passkey: the held passkey still fits.
    WriteAsOther({Connection("c", "pw-c")}, "pk", true);
    EXPECT_TRUE(store.ReloadIfChanged());
    EXPECT_FALSE(store.Locked());
    EXPECT_EQ(store.Connectors()[0].Secret, "pw-c");

    // ... changes the passkey: locked again.
    WriteAsOther({Connection("c", "pw-c")}, "pk2", false);
    EXPECT_TRUE(store.ReloadIfChanged());
    EXPECT_TRUE(store.Locked());
    EXPECT_EQ(store.Passkey(), "");

    // ... removes it: unlocked without a prompt.
    WriteAsOther({Connection("d", "pw-d")}, "", false);
    user.Typed = {};
    user.Seen.clear();
    EXPECT_TRUE(store.Unlock(user));
    EXPECT_TRUE(user.Seen.empty());
    EXPECT_EQ(store.Connectors()[0].Secret, "pw-d");

    // ... deletes the file: an empty, unlocked store.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ::unlink(FPath.c_str());
    EXPECT_TRUE(store.ReloadIfChanged());
    EXPECT_TRUE(store.Connectors().empty());
}

TEST_F(StoreTest, SavesOfTheOwnerAndOfTheWindow) {
    TKvConnectorStore store(FPath);
    store.Load();
    EXPECT_FALSE(store.Locked());
    TKvConnector a = Connection("a", "pw"), b = Connection("b", "");
    b.UpdateStartDir = true;
    ASSERT_TRUE(store.Replace({a, b}, {"Empty"}, "pk", true));
    EXPECT_TRUE(JsonIsPortable(test::ReadFile(FPath)));
    EXPECT_FALSE(store.ReloadIfChanged()) << "its own save is not someone else's";

    EXPECT_TRUE(store.UpdateStartDirs({{a.Id, "/a"}, {b.Id, "/b"}, {"{none}", "/x"}}));
    EXPECT_FALSE(store.UpdateStartDirs({{b.Id, "/b"}})) << "nothing changed, nothing saved";
    TKvConnectors saved = LoadConnectors(FPath, "pk");
    EXPECT_EQ(saved[0].StartDir, "") << "only where the connection asks for it";
    EXPECT_EQ(saved[1].StartDir, "/b");

    EXPECT_TRUE(store.RemoveConnector(a.Id));
    EXPECT_EQ(LoadConnectors(FPath, "pk").size(), 1u);
    EXPECT_EQ(LoadFolders(FPath), (TKvFolderNames{"Empty"}));

    // The window removes the passkey: portable goes with it.
    store.TakePasskey("", true);
    EXPECT_FALSE(store.Portable());
    ASSERT_TRUE(store.Save());
    EXPECT_FALSE(FileHasPasskey(FPath));
    EXPECT_EQ(ProtectionSentence(true, true), "Saved passwords are locked with your passkey alone. "
                                              "This file can be used on another computer.");
}

TEST_F(StoreTest, AFileThatCannotBeReadIsKeptBeforeAnySaveReplacesIt) {
    ASSERT_TRUE(
        SaveConnectors(FPath, {Connection("a", "pw-a"), Connection("b", "")}, "", {}, false));
    const std::string good = test::ReadFile(FPath);
    struct TCase {
        const char* Name;
        std::string Text;
    };
    const TCase cases[] = {
        {"cut short", good.substr(0, good.size() / 2)},
        {"not JSON", "connectors:\n  - host: a.example\n"},
        {"top level array", "[" + good + "]"},
        {"connectors not an array", R"({"connectors": {"a": {"kind": "ssh"}}})"},
        // Parsing this recursively would run out of stack before any check.
        {"nested 200,000 deep",
         "{\"connectors\": [], \"a\": " + std::string(200000, '[') + std::string(200000, ']') + "}"},
    };
    for (const TCase& t : cases) {
        SCOPED_TRACE(t.Name);
        TTempDir dir;
        const std::string path = dir / "connectors.json", copy = path + ".unreadable";
        test::WriteFile(path, t.Text);
        TKvConnectorStore store(path);
        store.Load();
        EXPECT_EQ(store.ReadProblem(),
                  "The saved connections could not be read; the file was kept as " + copy + ".");
        EXPECT_EQ(test::ReadFile(copy), t.Text);
        struct stat st {};
        ASSERT_EQ(::stat(copy.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0600u) << "the copy may hold saved passwords";
        EXPECT_NE(test::ReadFile(LogPath()).find("connections: the file could not be read and was "
                                                 "kept as " +
                                                 copy),
                  std::string::npos);

        ASSERT_TRUE(store.Replace({Connection("new", "")}, {}, "", false));
        EXPECT_EQ(LoadConnectors(path, "").size(), 1u);
        EXPECT_EQ(test::ReadFile(copy), t.Text) << "the save leaves the copy alone";
        store.Load();
        EXPECT_EQ(store.ReadProblem(), "") << "the file reads well again";
    }

    // The same text is kept once however often it is read; another one gets the next number.
    test::WriteFile(FPath, "{");
    TKvConnectorStore store(FPath);
    store.Load();
    store.Load();
    test::WriteFile(FPath + ".unreadable.2", "someone else's");
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    test::WriteFile(FPath, "[]");
    EXPECT_TRUE(store.ReloadIfChanged());
    EXPECT_EQ(test::ReadFile(FPath + ".unreadable"), "{");
    EXPECT_EQ(test::ReadFile(FPath + ".unreadable.2"), "someone else's");
    EXPECT_EQ(test::ReadFile(FPath + ".unreadable.3"), "[]");
    EXPECT_FALSE(test::Exists(FPath + ".unreadable.4"));
    EXPECT_NE(store.ReadProblem().find(FPath + ".unreadable.3."), std::string::npos);

    // Nothing to keep: a missing or blank file; a number beyond a double is only a bad value.
    for (const std::string& text :
         {std::string(), std::string(" \r\n"),
          std::string(R"({"connectors": [{"kind": "ssh", "port": 1e400}]})")}) {
        TTempDir dir;
        const std::string path = dir / "connectors.json";
        if (!text.empty())
            test::WriteFile(path, text);
        TKvConnectorStore other(path);
        other.Load();
        EXPECT_EQ(other.ReadProblem(), "");
        EXPECT_FALSE(test::Exists(path + ".unreadable"));
        EXPECT_EQ(other.Connectors().size(), text.size() > 5 ? 1u : 0u);
    }
}

TEST_F(StoreTest, AFileThatCanBeNeitherReadNorKeptIsNeverSavedOver) {
    // Another user's file that this user may not read, in a folder this user may write.
    TTempDir dir;
    const std::string path = dir / "connectors.json";
    ASSERT_TRUE(SaveConnectors(path, {Connection("a", "")}, "", {}, false));
    const std::string before = test::ReadFile(path);
    ::chmod(path.c_str(), 0);
    ::chmod(dir.Path().c_str(), 0777);
    int code = test::RunAsNobody([&] {
        TKvConnectorStore store(path);
        store.Load();
        if (store.ReadProblem() != "The saved connections could not be read, and no copy of the "
                                   "file could be kept. Nothing is saved until " +
                                       path + " is repaired or removed.")
            return 1;
        return store.Replace({Connection("b", "")}, {}, "", false) ? 2 : 0;
    });
    EXPECT_EQ(code, 0);
    EXPECT_EQ(test::ReadFile(path), before);
    EXPECT_EQ(test::RunCommand("ls -A '" + dir.Path() + "' | grep -c kvsave"), "0\n") << "a temporary file was left";
}

TEST_F(StoreTest, FilesWithPasswordsAreMadePrivate) {
    mode_t before = ::umask(022);
    auto modeOf = [](const std::string& APath) {
        struct stat st {};
        ::stat(APath.c_str(), &st);
        return st.st_mode & 07777;
    };
    TKvConnectorStore store(FPath);
    store.Load();
    ASSERT_TRUE(store.Replace({Connection("a", "pw-a")}, {}, "", false));
    EXPECT_EQ(modeOf(FPath), 0600u);
    // A file that holds passwords never stays readable by others, even when it was.
    ::chmod(FPath.c_str(), 0644);
    ASSERT_TRUE(store.StoreLearnedSecret(store.Connectors()[0].Id, "pw-new"));
    EXPECT_EQ(modeOf(FPath), 0600u);

    TScriptedUser user;
    user.File = FHome / "export.json";
    user.Answers = {anYes};
    user.Typed = {"pk", "pk"};
    ASSERT_TRUE(ExportConnectors(store.Connectors(), {}, user));
    EXPECT_EQ(modeOf(user.File), 0600u);
    ::umask(before);
}

TEST_F(StoreTest, SecretsNeverReachTheLog) {
    const std::string password = "Zq7-distinctive-password-31",
                      passkey = "Xw4-distinctive-passkey-77";
    TKvConnectorStore store(FPath);
    store.Load();
    ASSERT_TRUE(store.Replace({Connection("a", password)}, {}, passkey, false));
    TKvConnectorStore other(FPath);
    other.Load();
    TScriptedUser user;
    user.Typed = {"wrong " + passkey, passkey};
    ASSERT_TRUE(other.Unlock(user));
    ASSERT_EQ(other.Connectors()[0].Secret, password);
    WriteAsOther(other.Connectors(), passkey + "2", true);
    store.ReloadIfChanged();
    ::chmod((FHome / "account.key").c_str(), 0644);
    EXPECT_FALSE(other.Save()) << "fails on the account key, and logs why";

    std::string log = test::ReadFile(LogPath());
    EXPECT_NE(log.find("connections: "), std::string::npos);
    EXPECT_EQ(log.find(password), std::string::npos);
    EXPECT_EQ(log.find(passkey), std::string::npos);
}

TEST_F(StoreTest, ExportWithPasswordsIsPortableAndImportNeedsItsPasskey) {
    TScriptedUser user;
    TKvConnectors empty;
    TKvFolderNames folders;
    EXPECT_FALSE(ExportConnectors(empty, folders, user));
    EXPECT_EQ(user.Seen, std::vector<std::string>{"message: There are no connections to export."});

    TKvConnector a = Connection("a", "pw-a"), b = Connection("b", "");
    a.Folder = "Work";
    user = TScriptedUser();
    user.File = FHome / "export.json";
    user.Answers = {anYes};
    user.Typed = {"", "pk", "pk2", "pk", "pk"};
    ASSERT_TRUE(ExportConnectors({a, b}, {"Empty"}, user));
    const std::vector<std::string> exportSeen = {
        "ask: Put the saved passwords into the file too?",
        "Export passkey | Passkey for the passwords in the file:",
        "Export passkey | Passkey for the passwords in the file:",
        "Export passkey | Type the passkey again:",
        "error: The two passkeys are not the same. Try again.",
        "Export passkey | Passkey for the passwords in the file:",
        "Export passkey | Type the passkey again:",
        "file dialog",
        "message: 2 connection(s) exported to " + user.File + ".",
    };
    EXPECT_EQ(user.Seen, exportSeen);
    std::string exported = test::ReadFile(user.File);
    EXPECT_TRUE(JsonIsPortable(exported)) << "passwords leave only under the passkey alone";
    EXPECT_NE(exported.find("\"kdf\""), std::string::npos);

    // Import into a list that has a already: the wrong passkey is refused, then the right one.
    user = TScriptedUser();
    user.File = FHome / "export.json";
    user.Typed = {"nope", "pk"};
    user.Answers = {anYes};
    TKvConnector changedA = a;
    changedA.Host = "changed";
    TKvConnectors list = {Connection("z", ""), changedA};
    folders = {"Mine"};
    TKvImportResult result = ImportConnectors(list, folders, user);
    EXPECT_TRUE(result.Changed);
    EXPECT_EQ(result.Added, 1);
    EXPECT_EQ(result.Replaced, 1);
    EXPECT_EQ(result.FirstIndex, 1);
    EXPECT_EQ(user.Edits, 1);
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[1], a) << "replaced in place, with its password";
    EXPECT_EQ(list[2].Id, b.Id);
    EXPECT_EQ(folders, (TKvFolderNames{"Mine", "Empty", "Work"}));
    ASSERT_GE(user.Seen.size(), 5u);
    EXPECT_EQ(user.Seen[2], "error: That is not the passkey of this file.");
    EXPECT_EQ(user.Seen[4], "ask: 1 of the 2 connections in the file are here already.");
    EXPECT_EQ(user.Seen.back(), "message: 1 connection(s) added, 1 replaced. Save keeps them.");
}

TEST_F(StoreTest, ExportWithoutPasswordsAndImportKeepingBoth) {
    TKvConnector a = Connection("a", "pw-a"), b = Connection("b", "pw-b"), c = Connection("c", "");
    TScriptedUser user;
    user.File = FHome / "plain.json";
    user.Answers = {anNo};
    ASSERT_TRUE(ExportConnectors({a, b, c}, {}, user));
    std::string exported = test::ReadFile(user.File);
    EXPECT_FALSE(JsonHasPasskey(exported));
    EXPECT_EQ(exported.find("\"secret\""), std::string::npos);
    EXPECT_EQ(exported.find("\"savePassword\": true"), std::string::npos);

    // Cancel at the question changes nothing; No keeps both, the file's with fresh ids.
    TKvConnectors list = {a, b};
    TKvFolderNames folders;
    user = TScriptedUser();
    user.File = FHome / "plain.json";
    user.Answers = {anCancel};
    EXPECT_FALSE(ImportConnectors(list, folders, user).Changed);
    EXPECT_EQ(list.size(), 2u);
    EXPECT_EQ(user.Edits, 0);
    user.Answers = {anNo};
    TKvImportResult result = ImportConnectors(list, folders, user);
    EXPECT_EQ(result.Added, 3);
    EXPECT_EQ(result.Replaced, 0);
    EXPECT_EQ(result.FirstIndex, 2);
    ASSERT_EQ(list.size(), 5u);
    EXPECT_NE(list[2].Id, a.Id);
    EXPECT_NE(list[3].Id, b.Id);
    EXPECT_EQ(list[4].Id, c.Id);
    EXPECT_EQ(list[2].Host, a.Host);
    EXPECT_FALSE(list[2].SavePassword);
    EXPECT_EQ(user.Seen.back(), "message: 3 connection(s) added, 0 replaced. Save keeps them.");

    // A file that cannot be read, and one without connections.
    user = TScriptedUser();
    user.File = FHome / "missing.json";
    EXPECT_FALSE(ImportConnectors(list, folders, user).Changed);
    EXPECT_EQ(user.Seen.back(), "error: The file could not be read: " + user.File);
    test::WriteFile(FHome / "none.json", R"({"connectors": [{"kind": "gopher"}]})");
    user.File = FHome / "none.json";
    EXPECT_FALSE(ImportConnectors(list, folders, user).Changed);
    EXPECT_EQ(user.Seen.back(), "message: No connections were found in " + user.File + ".");
    // Cancel at the import passkey brings the connections without their passwords.
    ASSERT_TRUE(SaveConnectors(FHome / "locked.json", {Connection("x", "pw-x")}, "pk", {}, true));
    user.File = FHome / "locked.json";
    user.Typed = {KCancel};
    TKvConnectors fresh;
    EXPECT_TRUE(ImportConnectors(fresh, folders, user).Changed);
    ASSERT_EQ(fresh.size(), 1u);
    EXPECT_FALSE(fresh[0].SavePassword);
    EXPECT_EQ(fresh[0].Secret, "");
}

} // namespace
} // namespace kv
