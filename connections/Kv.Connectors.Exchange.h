// Export and import of saved connections, run by the Connections window on its own list. The
// window supplies the dialogs; the flow, its questions and its messages are here.
#pragma once

#include <string>

#include "Kv.Connectors.h"

namespace kv {

enum class TKvAnswer { anYes, anNo, anCancel };
using enum TKvAnswer;

// For the window's file dialogs.
inline constexpr const char* KExportDialogTitle = "Export connections";
inline constexpr const char* KImportDialogTitle = "Import connections";
inline constexpr const char* KConnectionsFileFilter =
    "Kolvan connections (*.json)|*.json|All files (*.*)|*.*";
inline constexpr const char* KConnectionsFileExtension = "json";
inline constexpr const char* KExportProposedName = "kolvan-connections.json";

// The dialogs the exchange needs; the Connections window implements them.
class IKvConnectorsUi {
public:
    virtual ~IKvConnectorsUi() = default;
    virtual void ShowMessage(const std::string& AText) = 0;
    virtual void ShowError(const std::string& AText) = 0;
    virtual TKvAnswer AskYesNoCancel(const std::string& AText) = 0;
    // The masked input box: true with what was typed (possibly empty), false for Cancel.
    virtual bool InputSecret(const std::string& ATitle, const std::string& APrompt,
                             std::string& AValue) = 0;
    // Save dialog (asks before overwriting) and open dialog; false for Cancel.
    virtual bool ChooseExportFile(std::string& APath) = 0;
    virtual bool ChooseImportFile(std::string& APath) = 0;
    // Takes the edits of the shown connection into the window's list.
    virtual void TakeEdits() = 0;
};

// Writes AList to a file the user chooses; with saved passwords only under a passkey chosen
// now, and then always portable. True when a file was written.
bool ExportConnectors(const TKvConnectors& AList, const TKvFolderNames& AFolders,
                      IKvConnectorsUi& AUi);

struct TKvImportResult {
    bool Changed = false;
    int Added = 0;
    int Replaced = 0;
    // Index in the list of the first imported entry, -1 for none.
    int FirstIndex = -1;
};

// Reads a file the user chooses into AList and AFolders (the window's own; nothing is saved).
TKvImportResult ImportConnectors(TKvConnectors& AList, TKvFolderNames& AFolders,
                                 IKvConnectorsUi& AUi);

} // namespace kv
