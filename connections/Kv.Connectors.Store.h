// The main window's working copy of the saved connections: the list and folders, the passkey it
// holds, whether the saved passwords are still locked, and the change check against another
// Kolvan writing the same file. Runs on the user-interface thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <utility>
#include <vector>

#include "Kv.Connectors.h"

namespace kv {

// The masked input box of the user interface.
class IKvPasskeyPrompt {
public:
    virtual ~IKvPasskeyPrompt() = default;
    // True with what was typed (possibly empty); false for Cancel.
    virtual bool InputSecret(const std::string& ATitle, const std::string& APrompt,
                             std::string& AValue) = 0;
};

inline constexpr const char* KUnlockTitle = "Unlock saved passwords";
inline constexpr const char* KUnlockPrompt = "Passkey for your saved passwords:";
inline constexpr const char* KUnlockRetryPrompt =
    "That is not the right passkey. Passkey for your saved passwords:";
inline constexpr int KUnlockAttempts = 3;

// The sentence the Connections window shows for a protection.
std::string ProtectionSentence(bool AHasPasskey, bool APortable);

// What tells one version of the file from the next: a save by anyone replaces the file.
struct TKvFileStamp {
    bool Exists = false;
    int64_t Seconds = 0;
    int64_t Nanoseconds = 0;
    dev_t Device = 0;
    ino_t Inode = 0;
    int64_t Size = 0;

    bool operator==(const TKvFileStamp&) const = default;
};

TKvFileStamp FileStampOf(const std::string& APath);

class TKvConnectorStore {
public:
    explicit TKvConnectorStore(std::string APath = ConnectorsFilePath());

    // Start-up: a file with a passkey is locked and its connections come without passwords.
    void Load();
    // When another Kolvan has written the file since: settles the passkey question again (a held
    // passkey that no longer fits is dropped and the store locks) and reads the file again.
    // True when it was read again.
    bool ReloadIfChanged();
    // Asks for the passkey while locked, at most three times; the right one is held and the
    // connections are read again with it. False for Cancel or the third wrong passkey, with
    // nothing changed.
    bool Unlock(IKvPasskeyPrompt& APrompt);
    // Writes the working copy; never while locked. False when not written.
    bool Save();

    // The Connections window's save: its list, folders, passkey and protection become the
    // working copy and are written.
    bool Replace(TKvConnectors AList, TKvFolderNames AFolders, std::string APasskey,
                 bool APortable);
    // The window closed: its passkey and protection are held from now on.
    void TakePasskey(std::string APasskey, bool APortable);

    // Changes the store saves on its own; each reads a changed file first and does nothing
    // while locked.
    bool RemoveConnector(std::string_view AId);
    // A password typed at login, kept when the connection saves its password and it differs.
    bool StoreLearnedSecret(std::string_view AId, const std::string& ASecret);
    // (id, last folder) of open file connections; kept where the connection asks for it.
    bool UpdateStartDirs(const std::vector<std::pair<std::string, std::string>>& ALastFolders);

    const std::string& Path() const { return FPath; }
    const TKvConnectors& Connectors() const { return FList; }
    const TKvFolderNames& Folders() const { return FFolders; }
    const std::string& Passkey() const { return FPasskey; }
    bool Portable() const { return FPortable; }
    bool Locked() const { return FLocked; }
    // A sentence for the user when the last read found a file that is not a connections file:
    // it names the copy kept of it, or says that nothing is saved because no copy could be
    // kept. Empty when the file read well or is missing.
    const std::string& ReadProblem() const { return FReadProblem; }
    // A sentence for the user when saved passwords of the last read could not be opened and
    // are kept as stored (Connectors()' KeptSecret): it names the cause, a missing or refused
    // account key, another key, or damage. Empty when every saved password opened. Logged when
    // it first appears, not again at every read that finds the same.
    const std::string& SecretProblem() const { return FSecretProblem; }

private:
    // Applies the text read once (ALoaded: the read succeeded) with the held passkey (empty:
    // without the saved passwords). A file that exists but is no connections file is copied
    // aside first, as the next save replaces it.
    void ReadWith(const TKvFileStamp& AStamp, bool ALoaded, const std::string& AText);
    // Sets the secret problem from the kept secrets of the list just read.
    void NoteKeptSecrets();

    std::string FPath;
    TKvConnectors FList;
    TKvFolderNames FFolders;
    std::string FPasskey;
    bool FPortable = false;
    bool FLocked = false;
    // The file could be neither read nor kept: saving would destroy it.
    bool FUnkept = false;
    std::string FReadProblem;
    std::string FSecretProblem;
    TKvFileStamp FStamp;
};

} // namespace kv
