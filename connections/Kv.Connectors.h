// Saved connections: the record every network file system and shell connects from, the text of
// connectors.json (also the format of exported files), and the small rules the windows share.
// Plain functions; nothing here keeps state.
#pragma once

#include <array>
#include <string>
#include <string_view>
#include <vector>

namespace kv {

// In this order: the Connections window lists the kinds so, and kind tests use the ordinals.
enum class TKvConnectorKind { ckSsh, ckTelnet, ckSftp, ckFtp, ckFtps, ckFtpsImplicit, ckWebDavs };
using enum TKvConnectorKind;
inline constexpr int KConnectorKindCount = 7;

enum class TKvAuthMethod { amPassword, amKeyFile };
using enum TKvAuthMethod;

struct TKvConnector {
    // A GUID with braces and upper-case digits; compared without regard to case.
    std::string Id;
    std::string Name;
    // Trimmed; empty for none.
    std::string Folder;
    TKvConnectorKind Kind = ckSftp;
    std::string Host;
    int Port = 22;
    std::string User;
    // Meaningful for SSH and SFTP only.
    TKvAuthMethod Auth = amPassword;
    bool SavePassword = false;
    // The password, or the key passphrase with amKeyFile. Plain here, protected in the file.
    std::string Secret;
    // The protected text as the file holds it, when it could not be opened (the account key is
    // missing or another, or the text is damaged). Written back unchanged while Secret is empty
    // and SavePassword on, so the password returns with its key; the login asks meanwhile.
    std::string KeptSecret;
    std::string KeyFile;
    // Empty: the home folder.
    std::string StartDir;
    bool IgnoreColors = false;
    bool RememberOtherPath = false;
    bool UpdateStartDir = false;
    bool Hybrid = false;
    // Empty: the server's default shell.
    std::string Shell;
    // SSH and SFTP: the login tries the identities of the running SSH agent first.
    bool UseAgent = false;

    bool operator==(const TKvConnector&) const = default;
};

using TKvConnectors = std::vector<TKvConnector>;
using TKvFolderNames = std::vector<std::string>;

// The shells the Connections window offers for a hybrid connection.
inline constexpr std::array<std::string_view, 9> KHybridShells = {
    "bash", "csh", "dash", "ksh", "ksh93", "mksh", "sh", "tcsh", "zsh"};

bool IsTerminalKind(TKvConnectorKind AKind);
bool HasLoginChoice(TKvConnectorKind AKind);
bool IsFtpKind(TKvConnectorKind AKind);
bool IsWebDavKind(TKvConnectorKind AKind);
bool IsPlainFileKind(TKvConnectorKind AKind);

int DefaultPortFor(TKvConnectorKind AKind);
// "ssh", "ftps-implicit", ...
std::string_view ConnectorKindName(TKvConnectorKind AKind);
// "SSH (terminal)", ...
std::string_view ConnectorKindCaption(TKvConnectorKind AKind);
// The name in any letter case; false for none of the seven.
bool ConnectorKindFromName(std::string_view AName, TKvConnectorKind& AKind);

// "{8-4-4-4-12}" of random upper-case hexadecimal digits.
std::string NewConnectorId();
// A fresh id, "New connection", SFTP on port 22, password login; SavePassword,
// RememberOtherPath, Hybrid and UseAgent on.
TKvConnector NewConnector();
// The name, or the host when the name is empty.
std::string ConnectorTitle(const TKvConnector& AConnector);
// Enough to connect: host, a valid port, a user (not for Telnet), a key file when one is chosen.
bool ConnectorComplete(const TKvConnector& AConnector);
// The first connection with that id in any letter case, or -1.
int IndexOfConnector(const TKvConnectors& AList, std::string_view AId);
// The picker's filter: every blank-separated word of AFilter occurs in
// "title user@host folder", letter case aside. An empty filter matches all.
bool ConnectorMatches(const TKvConnector& AConnector, std::string_view AFilter);

// Trims AName and appends it unless it is empty or already there in any letter case.
void AddFolderName(TKvFolderNames& AFolders, std::string_view AName);
// AFolders, then the folder of every connection, merged by AddFolderName.
TKvFolderNames CollectFolders(const TKvConnectors& AList, const TKvFolderNames& AFolders);

// The data folder joined with "connectors.json".
std::string ConnectorsFilePath();

// The file text: two-space indentation, members in a fixed order. With a passkey it carries a
// check value, and portable adds the key derivation. Raises EKvSecretError when a secret cannot
// be protected.
std::string ConnectorsToJson(const TKvConnectors& AList, std::string_view APasskey, bool APortable,
                             const TKvFolderNames& AFolders);
// Never raises: an unusable text gives an empty list and unusable entries are skipped. Without
// the file's passkey the connections come with SavePassword off; a secret that does not open
// with it is kept in KeptSecret.
TKvConnectors ConnectorsFromJson(std::string_view AText, std::string_view APasskey);
// The file's "folders" merged with the folders of its connections.
TKvFolderNames FoldersFromJson(std::string_view AText);
// A JSON object whose "connectors", when present, is an array: a file that a save may replace,
// losing no more than the unusable entries that reading skips.
bool JsonIsConnectorsFile(std::string_view AText);

// File forms: a missing or unreadable file gives an empty list or false.
TKvConnectors LoadConnectors(const std::string& APath, std::string_view APasskey);
TKvFolderNames LoadFolders(const std::string& APath);
bool FileHasPasskey(const std::string& APath);
bool FileIsPortable(const std::string& APath);
bool FileCheckPasskey(const std::string& APath, std::string_view APasskey);
// Atomic; false on any failure (protection included), the previous file staying in place.
bool SaveConnectors(const std::string& APath, const TKvConnectors& AList, std::string_view APasskey,
                    const TKvFolderNames& AFolders, bool APortable);

// The choices made for the last new connection, kept in the state file as compact JSON.
struct TKvConnectorTemplate {
    bool Recorded = false;
    TKvConnectorKind Kind = ckSftp;
    TKvAuthMethod Auth = amPassword;
    bool SavePassword = true;
    bool IgnoreColors = false;
    bool RememberOtherPath = true;
    bool UpdateStartDir = false;
    bool Hybrid = true;
    bool UseAgent = true;

    bool operator==(const TKvConnectorTemplate&) const = default;
};

// What the window shows now; key login only where the kind has the choice.
TKvConnectorTemplate RecordTemplate(const TKvConnector& AShown);
// Empty when nothing was recorded; otherwise no white space and only ASCII.
std::string TemplateToJson(const TKvConnectorTemplate& ATemplate);
// Recorded only when the text is a JSON object; unusable members keep NewConnector's values.
TKvConnectorTemplate TemplateFromJson(std::string_view AText);
// NewConnector, with the template's kind, its default port, login and flags when recorded.
TKvConnector NewConnectorFrom(const TKvConnectorTemplate& ATemplate);

} // namespace kv
