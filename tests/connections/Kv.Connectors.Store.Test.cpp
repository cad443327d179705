#include "Kv.Connectors.Store.h"

#include <deque>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <nlohmann/json.hpp>
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

// The "secret" member of each connection in a connectors.json, "" where there is none.
std::vector<std::string> StoredSecrets(const std::string& APath) {
    std::vector<std::string> secrets;
    nlohmann::json root = nlohmann::json::parse(test::ReadFile(APath));
    for (const nlohmann::json& item : root["connectors"])
        secrets.push_back(item.value("secret", ""));
    return secrets;
}

size_t Occurrences(const std::string& AText, const std::string& APart) {
    size_t count = 0;
    for (size_t at = AText.find(APart); at != std::string::npos; at = AText.find(APart, at + 1))
        ++count;
    return count;
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

// A saved password that does not open stays in the file as it was, through saves of other
// changes, until its key (or its text) is back; the store says why, once.
TEST_F(StoreTest, APasswordThatDoesNotOpenIsKeptUntilItsKeyIsBack) {
    const std::string asked =
        " Your saved passwords are kept unchanged and open again once the key is back; until then "
        "you are asked for them when you connect.";
    struct TCase {
        const char* Name;
        // Spoils the key (or the file) in the folder.
        std::function<void(const std::string& AKey, const std::string& AFile)> Spoil;
        // The problem, with "KEY" for the key's path.
        std::string Problem;
        // Only the first password fails; the third still opens.
        bool OnlyFirst = false;
    };
    const TCase cases[] = {
        {"key changed",
         [](const std::string& AKey, const std::string&) {
             test::WriteFile(AKey, std::string(32, 'k'));
         },
         "Your saved passwords do not open with the key that protects them (KEY): it is not the "
         "key they were saved with, or they are damaged. They are kept unchanged and open again "
         "with their own key; until then you are asked for them when you connect."},
        {"key truncated",
         [](const std::string& AKey, const std::string&) {
             test::WriteFile(AKey, test::ReadFile(AKey).substr(0, 16));
         },
         "The key that protects your saved passwords (KEY) is missing or not private: the account "
         "key is damaged." +
             asked},
        {"key deleted", [](const std::string& AKey, const std::string&) { ::unlink(AKey.c_str()); },
         "The key that protects your saved passwords (KEY) is missing or not private: there is no "
         "such file." +
             asked},
        {"key replaced by a link",
         [](const std::string& AKey, const std::string&) {
             ::rename(AKey.c_str(), (AKey + ".real").c_str());
             ASSERT_EQ(::symlink((AKey + ".real").c_str(), AKey.c_str()), 0);
         },
         "The key that protects your saved passwords (KEY) is missing or not private: the account "
         "key is a link." +
             asked},
        {"key mode 0644",
         [](const std::string& AKey, const std::string&) { ::chmod(AKey.c_str(), 0644); },
         "The key that protects your saved passwords (KEY) is missing or not private: the account "
         "key may be read by others (its mode must be 0600)." +
             asked},
        {"a ciphertext damaged",
         [](const std::string&, const std::string& AFile) {
             std::string text = test::ReadFile(AFile);
             std::string sealed = StoredSecrets(AFile)[0];
             std::string damaged = sealed;
             damaged[sealed.size() / 2] = damaged[sealed.size() / 2] == 'A' ? 'B' : 'A';
             text.replace(text.find(sealed), sealed.size(), damaged);
             test::WriteFile(AFile, text);
         },
         "A saved password is damaged (\"a\"). It is kept as it was; you are asked for the "
         "password when you connect.",
         true},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        TTempDir dir;
        const std::string key = dir / "account.key", path = dir / "connectors.json";
        SetAccountKeyStore(std::make_shared<TKvAccountKeyFile>(key));
        SetLogFolder(dir.Path());
        ASSERT_TRUE(SaveConnectors(
            path, {Connection("a", "pw-a"), Connection("b", ""), Connection("c", "pw-c")}, "", {},
            false));
        const std::string goodKey = test::ReadFile(key), goodSealed = StoredSecrets(path)[0];
        c.Spoil(key, path);
        const std::vector<std::string> spoiled = StoredSecrets(path);
        std::string problem = c.Problem;
        if (size_t at = problem.find("KEY"); at != std::string::npos)
            problem.replace(at, 3, key);

        TKvConnectorStore store(path);
        store.Load();
        ASSERT_EQ(store.Connectors().size(), 3u);
        const TKvConnector& a = store.Connectors()[0];
        EXPECT_TRUE(a.SavePassword) << "the login asks, and may save what is typed";
        EXPECT_EQ(a.Secret, "");
        EXPECT_EQ(a.KeptSecret, spoiled[0]);
        EXPECT_EQ(store.Connectors()[2].Secret, c.OnlyFirst ? "pw-c" : "");
        EXPECT_EQ(store.SecretProblem(), problem);

        // Another connection is edited and saved, twice, with a read in between.
        for (const char* host : {"edited", "edited again"}) {
            TKvConnectors list = store.Connectors();
            list[1].Host = host;
            ASSERT_TRUE(store.Replace(list, store.Folders(), "", false));
            EXPECT_EQ(StoredSecrets(path)[0], spoiled[0]) << "written back unchanged";
            if (!c.OnlyFirst) {
                EXPECT_EQ(StoredSecrets(path)[2], spoiled[2]);
            }
            store.Load();
            EXPECT_EQ(store.SecretProblem(), problem);
        }
        EXPECT_EQ(Occurrences(test::ReadFile(LogPath()), problem), 1u) << "said once";

        // The key, or the text, is put back: the password opens again.
        if (c.OnlyFirst) {
            std::string text = test::ReadFile(path);
            text.replace(text.find(spoiled[0]), spoiled[0].size(), goodSealed);
            test::WriteFile(path, text);
        } else {
            ::unlink(key.c_str());
            test::WriteFile(key, goodKey);
            ::chmod(key.c_str(), 0600);
        }
        TKvConnectors back = LoadConnectors(path, "");
        EXPECT_EQ(back[0].Secret, "pw-a");
        EXPECT_EQ(back[1].Host, "edited again");
        EXPECT_EQ(back[2].Secret, "pw-c");
        store.Load();
        EXPECT_EQ(store.SecretProblem(), "");
    }
}

// The user ends the keeping: a typed password replaces the kept one, and "save password" off
// drops it. A password typed while the key is refused is not held either, or every later save
// would fail on it.
TEST_F(StoreTest, ATypedPasswordOrSavingOffEndsTheKeeping) {
    const std::string key = FHome / "account.key";
    ASSERT_TRUE(
        SaveConnectors(FPath, {Connection("a", "pw-a"), Connection("b", "pw-b")}, "", {}, false));
    const std::vector<std::string> sealed = StoredSecrets(FPath);
    ::chmod(key.c_str(), 0644);
    TKvConnectorStore store(FPath);
    store.Load();
    const std::string idA = store.Connectors()[0].Id;
    EXPECT_FALSE(store.StoreLearnedSecret(idA, "typed")) << "cannot be protected now";
    EXPECT_EQ(store.Connectors()[0].Secret, "");
    EXPECT_EQ(StoredSecrets(FPath), sealed);
    TKvConnectors list = store.Connectors();
    list[1].Name = "b2";
    EXPECT_TRUE(store.Replace(list, {}, "", false)) << "other changes still save";

    ::chmod(key.c_str(), 0600);
    ::unlink(key.c_str());
    test::WriteFile(key, std::string(32, 'n'));
    ::chmod(key.c_str(), 0600);
    store.Load();
    ASSERT_TRUE(store.StoreLearnedSecret(idA, "typed"));
    list = store.Connectors();
    list[1].SavePassword = false;
    ASSERT_TRUE(store.Replace(list, {}, "", false));
    TKvConnectors back = LoadConnectors(FPath, "");
    EXPECT_EQ(back[0].Secret, "typed");
    EXPECT_EQ(back[0].KeptSecret, "");
    EXPECT_FALSE(back[1].SavePassword);
    EXPECT_EQ(StoredSecrets(FPath)[1], "");
}

// With the account key changed or gone, the right passkey fails the check as a wrong one
// would: the question says which it is, and the file is not touched.
TEST_F(StoreTest, AnAccountKeyThatDoesNotFitIsNamedAtUnlock) {
    const std::string key = FHome / "account.key";
    struct TCase {
        const char* Name;
        std::function<void()> Spoil;
        std::string Refusal;
        // Written by a build that did not record the account check.
        bool OldFile = false;
    };
    const TCase cases[] = {
        {"key changed", [&] { test::WriteFile(key, std::string(32, 'k')); },
         "The key of your user account (" + key +
             ") does not match the one your saved passwords were locked with, so no passkey "
             "opens them."},
        {"key deleted", [&] { ::unlink(key.c_str()); },
         "The key that protects your saved passwords (" + key +
             ") is missing or not private: there is no such file. No passkey opens your saved "
             "passwords without it."},
        {"key mode 0644", [&] { ::chmod(key.c_str(), 0644); },
         "The key that protects your saved passwords (" + key +
             ") is missing or not private: the account key may be read by others (its mode must "
             "be 0600). No passkey opens your saved passwords without it."},
        {"key changed, older file", [&] { test::WriteFile(key, std::string(32, 'k')); },
         "That passkey does not open your saved passwords: it is not the right one, or the key of "
         "your user account (" +
             key + ") is not the one they were locked with.",
         true},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        ::unlink(key.c_str());
        ASSERT_TRUE(SaveConnectors(FPath, {Connection("a", "pw-a")}, "pk", {}, false));
        if (c.OldFile) {
            nlohmann::ordered_json root = nlohmann::ordered_json::parse(test::ReadFile(FPath));
            root.erase("accountCheck");
            test::WriteFile(FPath, root.dump(2));
        }
        const std::string goodKey = test::ReadFile(key), onDisk = test::ReadFile(FPath);
        c.Spoil();

        TKvConnectorStore store(FPath);
        store.Load();
        TScriptedUser user;
        user.Typed = {"pk", "pk", "pk"};
        EXPECT_FALSE(store.Unlock(user));
        const std::string retry =
            "Unlock saved passwords | " + c.Refusal + " Passkey for your saved passwords:";
        EXPECT_EQ(user.Seen,
                  (std::vector<std::string>{
                      "Unlock saved passwords | Passkey for your saved passwords:", retry, retry}));
        EXPECT_NE(test::ReadFile(LogPath()).find(c.Refusal), std::string::npos);
        EXPECT_FALSE(store.Replace({Connection("new", "")}, {}, "", false));
        EXPECT_EQ(test::ReadFile(FPath), onDisk) << "locked: nothing is written";

        ::unlink(key.c_str());
        test::WriteFile(key, goodKey);
        ::chmod(key.c_str(), 0600);
        user.Seen.clear();
        user.Typed = {"pk"};
        ASSERT_TRUE(store.Unlock(user));
        EXPECT_EQ(store.Connectors()[0].Secret, "pw-a");
    }
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

// Neither way drops a password that does not open without saying so.
TEST_F(StoreTest, ExportAndImportTellOfPasswordsThatDoNotOpen) {
    ASSERT_TRUE(
        SaveConnectors(FPath, {Connection("a", "pw-a"), Connection("b", "pw-b")}, "", {}, false));
    std::string text = test::ReadFile(FPath);
    const std::string sealed = StoredSecrets(FPath)[0];
    text.replace(text.find(sealed), 8, "AAAAAAAA");
    test::WriteFile(FPath, text);
    TKvConnectorStore store(FPath);
    store.Load();
    ASSERT_EQ(store.Connectors()[0].KeptSecret.substr(0, 8), "AAAAAAAA");

    TScriptedUser user;
    user.File = FHome / "export.json";
    user.Answers = {anYes};
    user.Typed = {"pk", "pk"};
    ASSERT_TRUE(ExportConnectors(store.Connectors(), {}, user));
    EXPECT_EQ(user.Seen.back(), "message: 2 connection(s) exported to " + user.File +
                                    ". 1 saved password(s) could not be opened here and are not "
                                    "in the file.");
    TKvConnectors exported = LoadConnectors(user.File, "pk");
    EXPECT_TRUE(exported[0].SavePassword) << "asked for at login after the import";
    EXPECT_EQ(exported[0].KeptSecret, "") << "nothing of connectors.json's sealing leaves";
    EXPECT_EQ(exported[1].Secret, "pw-b");

    // A file whose saved password does not open with its passkey.
    ASSERT_TRUE(SaveConnectors(FHome / "damaged.json", {Connection("x", "pw-x")}, "pk", {}, true));
    text = test::ReadFile(FHome / "damaged.json");
    const std::string sealedX = StoredSecrets(FHome / "damaged.json")[0];
    text.replace(text.find(sealedX), 8, "AAAAAAAA");
    test::WriteFile(FHome / "damaged.json", text);
    user = TScriptedUser();
    user.File = FHome / "damaged.json";
    user.Typed = {"pk"};
    TKvConnectors list;
    TKvFolderNames folders;
    ASSERT_TRUE(ImportConnectors(list, folders, user).Changed);
    EXPECT_EQ(user.Seen.back(), "message: 1 connection(s) added, 0 replaced. Save keeps them. 1 "
                                "saved password(s) in the file could not be opened and were left "
                                "out; they are asked for when connecting.");
    ASSERT_EQ(list.size(), 1u);
    EXPECT_TRUE(list[0].SavePassword);
    EXPECT_EQ(list[0].Secret, "");
    EXPECT_EQ(list[0].KeptSecret, "") << "sealed for that file, it would open nowhere here";
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
