#include "Kv.Connectors.Exchange.h"

#include <exception>

#include "Kv.FileUtil.h"
#include "Kv.Secrets.h"

namespace kv {

namespace {

constexpr const char* KExportQuestion =
    "Put the saved passwords into the file too?\n\nYes: they are locked with a passkey that you "
    "choose now. It is needed to import them, on any computer.\nNo: the file has no passwords. "
    "They are asked for when connecting.";

// Asks for the export passkey twice until both agree; false for Cancel.
bool AskExportPasskey(IKvConnectorsUi& AUi, std::string& APasskey) {
    for (;;) {
        std::string first, second;
        do {
            if (!AUi.InputSecret("Export passkey", "Passkey for the passwords in the file:", first))
                return false;
        } while (first.empty());
        if (!AUi.InputSecret("Export passkey", "Type the passkey again:", second)) {
            Cleanse(first);
            return false;
        }
        bool same = first == second;
        Cleanse(second);
        if (same) {
            APasskey = std::move(first);
            return true;
        }
        Cleanse(first);
        AUi.ShowError("The two passkeys are not the same. Try again.");
    }
}

// The passkey of an import file, or empty to import without the passwords.
std::string AskImportPasskey(IKvConnectorsUi& AUi, const std::string& AText) {
    for (;;) {
        std::string passkey;
        if (!AUi.InputSecret("Import passkey",
                             "The passwords in this file are locked with a passkey. Type it "
                             "(Cancel: import without the passwords):",
                             passkey))
            return std::string();
        if (JsonCheckPasskey(AText, passkey))
            return passkey;
        Cleanse(passkey);
        AUi.ShowError("That is not the passkey of this file.");
    }
}

} // namespace

bool ExportConnectors(const TKvConnectors& AList, const TKvFolderNames& AFolders,
                      IKvConnectorsUi& AUi) {
    if (AList.empty()) {
        AUi.ShowMessage("There are no connections to export.");
        return false;
    }
    bool anySaved = false;
    int kept = 0;
    for (const TKvConnector& connector : AList) {
        anySaved = anySaved || (connector.SavePassword && !connector.Secret.empty());
        kept += connector.SavePassword && connector.Secret.empty() && !connector.KeptSecret.empty();
    }

    std::string passkey;
    if (anySaved) {
        TKvAnswer answer = AUi.AskYesNoCancel(KExportQuestion);
        if (answer == anCancel)
            return false;
        if (answer == anYes && !AskExportPasskey(AUi, passkey))
            return false;
    }
    std::string path;
    if (!AUi.ChooseExportFile(path)) {
        Cleanse(passkey);
        return false;
    }

    const bool withPasswords = !passkey.empty();
    TKvConnectors copy = AList;
    for (TKvConnector& connector : copy) {
        // A kept text is sealed for connectors.json and would open nowhere else; the connection
        // goes without it and asks for the password after the import.
        connector.KeptSecret.clear();
        if (!withPasswords) {
            connector.SavePassword = false;
            Cleanse(connector.Secret);
        }
    }
    std::string text;
    try {
        // Passwords leave only under the passkey alone, whatever connectors.json itself uses.
        text = ConnectorsToJson(copy, passkey, !passkey.empty(), AFolders);
    } catch (const std::exception& AError) {
        Cleanse(passkey);
        AUi.ShowError(AError.what());
        return false;
    }
    Cleanse(passkey);
    for (TKvConnector& connector : copy)
        Cleanse(connector.Secret);
    // Private like connectors.json: a portable passkey could be guessed from a copy offline.
    if (!SaveTextAtomic(path, text, KSecretFileMode, KSecretFileMode)) {
        AUi.ShowError("The file could not be written: " + path);
        return false;
    }
    std::string message = std::to_string(AList.size()) + " connection(s) exported to " + path + ".";
    // Said unless the user chose a file without passwords anyway.
    if (kept > 0 && (withPasswords || !anySaved))
        message += " " + std::to_string(kept) +
                   " saved password(s) could not be opened here and are not in the file.";
    AUi.ShowMessage(message);
    return true;
}

TKvImportResult ImportConnectors(TKvConnectors& AList, TKvFolderNames& AFolders,
                                 IKvConnectorsUi& AUi) {
    TKvImportResult result;
    std::string path;
    if (!AUi.ChooseImportFile(path))
        return result;
    std::string text;
    if (!LoadText(path, text)) {
        AUi.ShowError("The file could not be read: " + path);
        return result;
    }
    std::string passkey;
    if (JsonHasPasskey(text))
        passkey = AskImportPasskey(AUi, text);
    TKvConnectors imported = ConnectorsFromJson(text, passkey);
    Cleanse(passkey);
    // Sealed for the file, not for connectors.json: of no use here, but not to be lost unsaid.
    int unopened = 0;
    for (TKvConnector& connector : imported) {
        unopened += !connector.KeptSecret.empty();
        connector.KeptSecret.clear();
    }
    if (imported.empty()) {
        AUi.ShowMessage("No connections were found in " + path + ".");
        return result;
    }

    int present = 0;
    for (const TKvConnector& connector : imported)
        present += IndexOfConnector(AList, connector.Id) >= 0 ? 1 : 0;
    bool replace = false;
    if (present > 0) {
        TKvAnswer answer = AUi.AskYesNoCancel(
            std::to_string(present) + " of the " + std::to_string(imported.size()) +
            " connections in the file are here already.\n\nYes: replace them with those of the "
            "file.\nNo: keep both (the file's are added as new connections).");
        if (answer == anCancel)
            return result;
        replace = answer == anYes;
    }

    AUi.TakeEdits();
    for (TKvConnector& connector : imported) {
        int index = IndexOfConnector(AList, connector.Id);
        if (index >= 0 && replace) {
            AList[index] = std::move(connector);
            ++result.Replaced;
        } else {
            if (index >= 0)
                connector.Id = NewConnectorId();
            AList.push_back(std::move(connector));
            index = static_cast<int>(AList.size()) - 1;
            ++result.Added;
        }
        if (result.FirstIndex < 0)
            result.FirstIndex = index;
    }
    TKvFolderNames names = AFolders;
    for (const std::string& name : FoldersFromJson(text))
        names.push_back(name);
    AFolders = CollectFolders(AList, names);
    result.Changed = true;
    std::string message = std::to_string(result.Added) + " connection(s) added, " +
                          std::to_string(result.Replaced) + " replaced. Save keeps them.";
    if (unopened > 0)
        message += " " + std::to_string(unopened) +
                   " saved password(s) in the file could not be opened and were left out; they "
                   "are asked for when connecting.";
    AUi.ShowMessage(message);
    return result;
}

} // namespace kv
