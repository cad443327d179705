// The rules of the Connections window without its widgets: the rows of the list, which fields
// are shown and enabled for each kind, taking the typed fields into a connection, folders, the
// moves of drag and drop, and what is selected after a delete.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "Kv.Connectors.h"

namespace kv {

// One row of the list: a folder, or a connection (Conn indexes the window's list).
struct TKvConnRow {
    bool IsFolder = false;
    // The folder's name, or the connection's folder.
    std::string Folder;
    int Conn = -1;

    bool operator==(const TKvConnRow&) const = default;
};
using TKvConnRows = std::vector<TKvConnRow>;

// Folder names match without regard to (ASCII) case.
bool SameFolder(std::string_view A, std::string_view B);
bool ContainsFolder(const std::vector<std::string>& ANames, std::string_view AName);
void RemoveFolderName(std::vector<std::string>& ANames, std::string_view AName);
int ConnectionsInFolder(const TKvConnectors& AList, std::string_view AFolder);

// The folders in folder-list order, each followed (unless collapsed) by its connections in list
// order; then the connections without a folder.
TKvConnRows BuildConnRows(const TKvConnectors& AList, const TKvFolderNames& AFolders,
                          const std::vector<std::string>& ACollapsed);
int RowOfConnection(const TKvConnRows& ARows, int AConn);
int RowOfFolder(const TKvConnRows& ARows, std::string_view AFolder);

// What the fields of the window hold, as typed.
struct TKvConnEdits {
    int KindIndex = static_cast<int>(ckSftp);
    std::string Name, Host, Port, User, Secret, KeyFile, StartDir, Shell;
    bool AuthKey = false;
    bool SavePassword = false;
    bool IgnoreColors = false;
    bool RememberOther = true;
    bool UpdateStart = false;
    bool Hybrid = true;
    bool UseAgent = true;

    bool operator==(const TKvConnEdits&) const = default;
};

inline constexpr const char* KServerDefaultShell = "Server default";

// The fields for a connection, and for none (an SFTP-looking blank form).
TKvConnEdits EditsOf(const TKvConnector& AConnector);
TKvConnEdits BlankEdits();
// A kind index outside the list counts as SFTP.
TKvConnectorKind KindOfIndex(int AIndex);
// The trimmed text as a port, or the kind's default port when it is no number in 1..65535.
int ParsePort(std::string_view AText, TKvConnectorKind AKind);
// The port text after the type changed: the old kind's default port becomes the new kind's.
std::string PortAfterKindChange(std::string_view APortText, TKvConnectorKind AOld,
                                TKvConnectorKind ANew);
// Takes the typed fields into the connection (trimmed, port parsed, secret only when kept).
void ApplyEdits(TKvConnector& AConnector, const TKvConnEdits& AEdits);

// Which fields show and which accept input.
struct TKvConnFieldState {
    bool Shown = false; // a connection is shown in the fields
    TKvConnectorKind Kind = ckSftp;
    bool SavePassword = false;
    bool AuthKey = false;
    bool Hybrid = true;
    bool FolderRow = false; // the selected row is a folder
};
struct TKvConnFieldRules {
    bool Fields = false;        // type, name, host, port, user, "Remember it", "Connect"
    bool Login = false;         // the two login buttons
    bool Secret = false;        // the secret and "Show"
    bool KeyFile = false;       // the key file and "Browse..."
    bool KeyPassphrase = false; // the secret label reads "Key passphrase"
    bool StartDir = false;
    bool IgnoreColorsShown = false;
    bool IgnoreColorsEnabled = false;
    // "Update start folder on exit" and "Remember the other half's local folder".
    bool FileOptionsShown = false;
    // "Hybrid connection", its note, the shell label and box.
    bool HybridShown = false;
    bool Delete = false;
    bool RenameFolder = false;
    // "Use the SSH agent": the kinds that log in over SSH.
    bool AgentShown = false;

    bool operator==(const TKvConnFieldRules&) const = default;
};
TKvConnFieldRules ConnFieldRules(const TKvConnFieldState& AState);

// ---- Folders ----

enum TKvFolderVerdict { fvAccept, fvAskAgain, fvRefuse };
struct TKvFolderCheck {
    TKvFolderVerdict Verdict = fvAccept;
    std::string Message; // for fvRefuse
    std::string Name;    // the trimmed name, for fvAccept
};
// An answer of the new-folder or rename prompt (AOldName empty for a new folder).
TKvFolderCheck CheckFolderName(const TKvFolderNames& AFolders, std::string_view AAnswer,
                               std::string_view AOldName);
// Inserts after AAfter in the folder list, or at the end when AAfter is empty or not there.
void InsertFolder(TKvFolderNames& AFolders, const std::string& AName, std::string_view AAfter);
// The folder entry, its connections and its collapsed state take the new name.
void RenameFolder(TKvConnectors& AList, TKvFolderNames& AFolders,
                  std::vector<std::string>& ACollapsed, std::string_view AOld,
                  const std::string& ANew);
// The folder leaves both name lists; its connections are kept without a folder.
void DeleteFolder(TKvConnectors& AList, TKvFolderNames& AFolders,
                  std::vector<std::string>& ACollapsed, std::string_view AName);

// ---- Deleting a connection ----

struct TKvConnSelection {
    int Conn = -1;      // a connection to select, or
    std::string Folder; // a folder row to select (both empty: nothing)
    bool operator==(const TKvConnSelection&) const = default;
};
// Removes AIndex and says what to select: the connection now at that index (or the last one)
// when it is in the same folder, else the deleted one's folder.
TKvConnSelection DeleteConnection(TKvConnectors& AList, int AIndex);

// ---- Drag and drop ----

struct TKvDropTarget {
    int At = -1;   // insertion row: before this row (rows count: at the end)
    int Into = -1; // a folder row the connection is dropped into
    bool operator==(const TKvDropTarget&) const = default;
};
// Over a folder row the target is the folder; elsewhere the row boundary nearest to AY.
TKvDropTarget DropTargetAt(const TKvConnRows& ARows, int AY, int ARowHeight, int ATopRow);
// Moves connection AConn as the drop says and gives its new index in the list.
int ApplyDrop(TKvConnectors& AList, const TKvConnRows& ARows, int AConn,
              const TKvDropTarget& ATarget);

} // namespace kv
