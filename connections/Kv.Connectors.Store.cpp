#include "Kv.Connectors.Store.h"

#include <sys/stat.h>

#include "Kv.FileUtil.h"
#include "Kv.Log.h"
#include "Kv.Secrets.h"

namespace kv {

std::string ProtectionSentence(bool AHasPasskey, bool APortable) {
    if (AHasPasskey && APortable)
        return "Saved passwords are locked with your passkey alone. This file can be used on "
               "another computer.";
    if (AHasPasskey)
        return "Saved passwords are locked with your user account and your passkey.";
    return "Saved passwords are locked with your user account. A passkey adds a second lock.";
}

TKvFileStamp FileStampOf(const std::string& APath) {
    TKvFileStamp stamp;
    struct stat st {};
    if (::stat(APath.c_str(), &st) != 0)
        return stamp;
    stamp.Exists = true;
    stamp.Seconds = st.st_mtim.tv_sec;
    stamp.Nanoseconds = st.st_mtim.tv_nsec;
    stamp.Device = st.st_dev;
    stamp.Inode = st.st_ino;
    stamp.Size = st.st_size;
    return stamp;
}

namespace {

// Names beyond this are not tried: something else is wrong with the folder.
constexpr int KMaxUnreadableCopies = 100;

bool IsBlank(std::string_view AText) {
    for (char c : AText) {
        if (c != ' ' && c != '\t' && c != '\r' && c != '\n')
            return false;
    }
    return true;
}

// APath + ".unreadable", or with ".2", ".3", ... after it when that name holds something else.
// A copy made before of the same text serves again, so each start does not add one.
bool KeepUnreadableCopy(const std::string& APath, const std::string& AText, std::string& ACopy) {
    for (int number = 1; number <= KMaxUnreadableCopies; ++number) {
        ACopy = APath + ".unreadable" + (number == 1 ? "" : "." + std::to_string(number));
        // Private: the file may hold saved passwords.
        if (CreateFileWith(ACopy, AText, 0600))
            return true;
        std::string existing;
        if (LoadText(ACopy, existing) && existing == AText)
            return true;
    }
    ACopy.clear();
    return false;
}

std::string KeyProblem(const std::string& APath, const std::string& AReason) {
    return "The key that protects your saved passwords (" + APath +
           ") is missing or not private: " + AReason + ".";
}

// Why a passkey did not open the file when the passkey itself may be right; empty when it
// simply is not the file's passkey.
std::string UnlockRefusal(std::string_view AText) {
    if (JsonIsPortable(AText))
        return std::string();
    std::string path, reason;
    if (AccountKeyState(path, reason) != akFound)
        return KeyProblem(path, reason) + " No passkey opens your saved passwords without it.";
    switch (JsonAccountKeyFits(AText)) {
    case afFits:
        return std::string();
    case afDiffers:
        return "The key of your user account (" + path +
               ") does not match the one your saved passwords were locked with, so no passkey "
               "opens them.";
    case afUnknown:
        break;
    }
    return "That passkey does not open your saved passwords: it is not the right one, or the key "
           "of your user account (" +
           path + ") is not the one they were locked with.";
}

} // namespace

TKvConnectorStore::TKvConnectorStore(std::string APath) : FPath(std::move(APath)) {}

void TKvConnectorStore::ReadWith(const TKvFileStamp& AStamp, bool ALoaded,
                                 const std::string& AText) {
    FUnkept = false;
    FReadProblem.clear();
    if (AStamp.Exists && (!ALoaded || (!IsBlank(AText) && !JsonIsConnectorsFile(AText)))) {
        std::string copy;
        if (ALoaded && KeepUnreadableCopy(FPath, AText, copy)) {
            Log("connections: the file could not be read and was kept as " + copy);
            FReadProblem =
                "The saved connections could not be read; the file was kept as " + copy + ".";
        } else {
            FUnkept = true;
            Log("connections: " + FPath + " could not be read nor kept, so nothing is saved");
            FReadProblem = "The saved connections could not be read, and no copy of the file "
                           "could be kept. Nothing is saved until " +
                           FPath + " is repaired or removed.";
        }
    }
    FStamp = AStamp;
    FPortable = JsonIsPortable(AText);
    FList = ConnectorsFromJson(AText, FPasskey);
    FFolders = FoldersFromJson(AText);
    NoteKeptSecrets();
}

void TKvConnectorStore::NoteKeptSecrets() {
    std::string titles;
    int kept = 0, opened = 0;
    for (const TKvConnector& connector : FList) {
        if (!connector.KeptSecret.empty()) {
            titles += (kept > 0 ? ", \"" : "\"") + ConnectorTitle(connector) + "\"";
            ++kept;
        } else if (connector.SavePassword && !connector.Secret.empty()) {
            ++opened;
        }
    }
    std::string problem;
    // Portable secrets need no account key, and a passkey that passed the check proves the key
    // right: only the account alone leaves the key in doubt.
    bool accountAlone = !FPortable && FPasskey.empty();
    std::string path, reason;
    TKvAccountKeyStatus status = kept > 0 && accountAlone ? AccountKeyState(path, reason) : akFound;
    if (kept > 0 && status != akFound) {
        problem = KeyProblem(path, reason) +
                  " Your saved passwords are kept unchanged and open again once the key is "
                  "back; until then you are asked for them when you connect.";
    } else if (kept > 0 && accountAlone && opened == 0) {
        problem = "Your saved passwords do not open with the key that protects them (" + path +
                  "): it is not the key they were saved with, or they are damaged. They are kept "
                  "unchanged and open again with their own key; until then you are asked for "
                  "them when you connect.";
    } else if (kept == 1) {
        problem = "A saved password is damaged (" + titles +
                  "). It is kept as it was; you are asked for the password when you connect.";
    } else if (kept > 1) {
        problem = "Saved passwords are damaged (" + titles +
                  "). They are kept as they were; you are asked for the passwords when you "
                  "connect.";
    }
    if (!problem.empty() && problem != FSecretProblem)
        Log("connections: " + problem);
    FSecretProblem = std::move(problem);
}

void TKvConnectorStore::Load() {
    // The stamp is taken before the text: a write in between shows as a change later.
    TKvFileStamp stamp = FileStampOf(FPath);
    std::string text;
    bool loaded = LoadText(FPath, text);
    Cleanse(FPasskey);
    FLocked = JsonHasPasskey(text);
    ReadWith(stamp, loaded, text);
}

bool TKvConnectorStore::ReloadIfChanged() {
    TKvFileStamp stamp = FileStampOf(FPath);
    if (stamp == FStamp)
        return false;
    std::string text;
    bool loaded = LoadText(FPath, text);
    if (!JsonHasPasskey(text)) {
        Cleanse(FPasskey);
        FLocked = false;
    } else if (FPasskey.empty() || !JsonCheckPasskey(text, FPasskey)) {
        Cleanse(FPasskey);
        FLocked = true;
    }
    ReadWith(stamp, loaded, text);
    Log("connections: read again, changed by another Kolvan");
    return true;
}

bool TKvConnectorStore::Unlock(IKvPasskeyPrompt& APrompt) {
    ReloadIfChanged();
    if (!FLocked)
        return true;
    std::string question = KUnlockPrompt;
    for (int attempt = 0; attempt < KUnlockAttempts; ++attempt) {
        std::string passkey;
        if (!APrompt.InputSecret(KUnlockTitle, question, passkey))
            return false;
        TKvFileStamp stamp = FileStampOf(FPath);
        std::string text;
        bool loaded = LoadText(FPath, text);
        if (JsonCheckPasskey(text, passkey)) {
            FPasskey = std::move(passkey);
            FLocked = false;
            ReadWith(stamp, loaded, text);
            return true;
        }
        Cleanse(passkey);
        std::string refusal = UnlockRefusal(text);
        if (!refusal.empty() && attempt == 0)
            Log("connections: the saved passwords stay locked: " + refusal);
        question =
            refusal.empty() ? std::string(KUnlockRetryPrompt) : refusal + " " + KUnlockPrompt;
    }
    return false;
}

bool TKvConnectorStore::Save() {
    // Locked, the list lacks the saved passwords: writing it would destroy them. Unkept, the
    // file is one that could not be read: writing would destroy all it holds.
    if (FLocked || FUnkept)
        return false;
    if (!SaveConnectors(FPath, FList, FPasskey, FFolders, FPortable))
        return false;
    FStamp = FileStampOf(FPath);
    return true;
}

bool TKvConnectorStore::Replace(TKvConnectors AList, TKvFolderNames AFolders, std::string APasskey,
                                bool APortable) {
    if (FLocked)
        return false;
    FList = std::move(AList);
    FFolders = std::move(AFolders);
    TakePasskey(std::move(APasskey), APortable);
    return Save();
}

void TKvConnectorStore::TakePasskey(std::string APasskey, bool APortable) {
    if (FLocked)
        return;
    Cleanse(FPasskey);
    FPasskey = std::move(APasskey);
    FPortable = !FPasskey.empty() && APortable;
}

bool TKvConnectorStore::RemoveConnector(std::string_view AId) {
    ReloadIfChanged();
    int index = IndexOfConnector(FList, AId);
    if (FLocked || index < 0)
        return false;
    FList.erase(FList.begin() + index);
    return Save();
}

bool TKvConnectorStore::StoreLearnedSecret(std::string_view AId, const std::string& ASecret) {
    ReloadIfChanged();
    int index = IndexOfConnector(FList, AId);
    if (FLocked || index < 0 || !FList[index].SavePassword || FList[index].Secret == ASecret)
        return false;
    std::string before = std::move(FList[index].Secret);
    FList[index].Secret = ASecret;
    if (Save()) {
        Cleanse(before);
        return true;
    }
    // Held but not written, it would make every later save fail the same way (a refused account
    // key, say) and hide what the file really holds.
    Cleanse(FList[index].Secret);
    FList[index].Secret = std::move(before);
    return false;
}

bool TKvConnectorStore::UpdateStartDirs(
    const std::vector<std::pair<std::string, std::string>>& ALastFolders) {
    ReloadIfChanged();
    if (FLocked)
        return false;
    bool changed = false;
    for (const auto& [id, folder] : ALastFolders) {
        int index = IndexOfConnector(FList, id);
        if (index < 0 || folder.empty() || !FList[index].UpdateStartDir ||
            FList[index].StartDir == folder)
            continue;
        FList[index].StartDir = folder;
        changed = true;
    }
    return changed && Save();
}

} // namespace kv
