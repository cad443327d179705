#include "Kv.Ui.ConnectorsModel.h"

#include <algorithm>
#include <charconv>

#include "Kv.Text.h"

namespace kv {

bool SameFolder(std::string_view A, std::string_view B) {
    return SameTextAscii(A, B);
}

bool ContainsFolder(const std::vector<std::string>& ANames, std::string_view AName) {
    return std::any_of(ANames.begin(), ANames.end(),
                       [&](const std::string& AEntry) { return SameFolder(AEntry, AName); });
}

void RemoveFolderName(std::vector<std::string>& ANames, std::string_view AName) {
    std::erase_if(ANames, [&](const std::string& AEntry) { return SameFolder(AEntry, AName); });
}

int ConnectionsInFolder(const TKvConnectors& AList, std::string_view AFolder) {
    return static_cast<int>(std::count_if(AList.begin(), AList.end(), [&](const TKvConnector& c) {
        return !c.Folder.empty() && SameFolder(c.Folder, AFolder);
    }));
}

TKvConnRows BuildConnRows(const TKvConnectors& AList, const TKvFolderNames& AFolders,
                          const std::vector<std::string>& ACollapsed) {
    TKvConnRows rows;
    const int count = static_cast<int>(AList.size());
    for (const std::string& folder : AFolders) {
        rows.push_back({true, folder, -1});
        if (ContainsFolder(ACollapsed, folder))
            continue;
        for (int i = 0; i < count; ++i)
            if (!AList[i].Folder.empty() && SameFolder(AList[i].Folder, folder))
                rows.push_back({false, AList[i].Folder, i});
    }
    for (int i = 0; i < count; ++i)
        if (AList[i].Folder.empty())
            rows.push_back({false, std::string(), i});
    return rows;
}

int RowOfConnection(const TKvConnRows& ARows, int AConn) {
    for (size_t i = 0; i < ARows.size(); ++i)
        if (!ARows[i].IsFolder && ARows[i].Conn == AConn)
            return static_cast<int>(i);
    return -1;
}

int RowOfFolder(const TKvConnRows& ARows, std::string_view AFolder) {
    for (size_t i = 0; i < ARows.size(); ++i)
        if (ARows[i].IsFolder && SameFolder(ARows[i].Folder, AFolder))
            return static_cast<int>(i);
    return -1;
}

TKvConnEdits EditsOf(const TKvConnector& AConnector) {
    TKvConnEdits edits;
    edits.KindIndex = static_cast<int>(AConnector.Kind);
    edits.Name = AConnector.Name;
    edits.Host = AConnector.Host;
    edits.Port = std::to_string(AConnector.Port);
    edits.User = AConnector.User;
    edits.AuthKey = AConnector.Auth == amKeyFile && HasLoginChoice(AConnector.Kind);
    edits.SavePassword = AConnector.SavePassword;
    edits.Secret = AConnector.Secret;
    edits.KeyFile = AConnector.KeyFile;
    edits.StartDir = AConnector.StartDir;
    edits.IgnoreColors = AConnector.IgnoreColors;
    edits.RememberOther = AConnector.RememberOtherPath;
    edits.UpdateStart = AConnector.UpdateStartDir;
    edits.Hybrid = AConnector.Hybrid;
    edits.UseAgent = AConnector.UseAgent;
    edits.Shell = AConnector.Shell.empty() ? KServerDefaultShell : AConnector.Shell;
    return edits;
}

TKvConnEdits BlankEdits() {
    TKvConnEdits edits;
    edits.Shell = KServerDefaultShell;
    return edits;
}

TKvConnectorKind KindOfIndex(int AIndex) {
    if (AIndex < 0 || AIndex >= KConnectorKindCount)
        return ckSftp;
    return static_cast<TKvConnectorKind>(AIndex);
}

namespace {

// A decimal number with an optional sign, nothing around it; false otherwise.
bool ParseNumber(std::string_view AText, long long& AValue) {
    if (!AText.empty() && AText.front() == '+')
        AText.remove_prefix(1);
    if (AText.empty() || AText.size() > 18)
        return false;
    auto [end, error] = std::from_chars(AText.data(), AText.data() + AText.size(), AValue);
    return error == std::errc() && end == AText.data() + AText.size();
}

std::string Trimmed(std::string_view AText) {
    return std::string(TrimmedView(AText));
}

} // namespace

int ParsePort(std::string_view AText, TKvConnectorKind AKind) {
    long long value = 0;
    if (!ParseNumber(TrimmedView(AText), value) || value < 1 || value > 65535)
        return DefaultPortFor(AKind);
    return static_cast<int>(value);
}

std::string PortAfterKindChange(std::string_view APortText, TKvConnectorKind AOld,
                                TKvConnectorKind ANew) {
    long long value = 0;
    if (ParseNumber(TrimmedView(APortText), value) && value == DefaultPortFor(AOld))
        return std::to_string(DefaultPortFor(ANew));
    return std::string(APortText);
}

void ApplyEdits(TKvConnector& AConnector, const TKvConnEdits& AEdits) {
    AConnector.Kind = KindOfIndex(AEdits.KindIndex);
    AConnector.Name = Trimmed(AEdits.Name);
    AConnector.Host = Trimmed(AEdits.Host);
    AConnector.User = Trimmed(AEdits.User);
    AConnector.KeyFile = Trimmed(AEdits.KeyFile);
    AConnector.StartDir = Trimmed(AEdits.StartDir);
    AConnector.Port = ParsePort(AEdits.Port, AConnector.Kind);
    AConnector.Auth = AEdits.AuthKey && HasLoginChoice(AConnector.Kind) ? amKeyFile : amPassword;
    AConnector.SavePassword = AEdits.SavePassword;
    // A secret that is not to be kept is not kept in memory either.
    AConnector.Secret = AEdits.SavePassword ? AEdits.Secret : std::string();
    if (!AEdits.SavePassword)
        AConnector.KeptSecret.clear();
    AConnector.IgnoreColors = AEdits.IgnoreColors;
    AConnector.RememberOtherPath = AEdits.RememberOther;
    AConnector.UpdateStartDir = AEdits.UpdateStart;
    AConnector.Hybrid = AEdits.Hybrid;
    AConnector.UseAgent = AEdits.UseAgent;
    std::string shell = Trimmed(AEdits.Shell);
    AConnector.Shell = SameTextAscii(shell, KServerDefaultShell) ? std::string() : shell;
}

TKvConnFieldRules ConnFieldRules(const TKvConnFieldState& AState) {
    TKvConnFieldRules rules;
    const bool shown = AState.Shown;
    const TKvConnectorKind kind = AState.Kind;
    const bool choice = HasLoginChoice(kind);
    rules.Fields = shown;
    rules.Login = shown && choice;
    rules.Secret = shown && AState.SavePassword;
    rules.KeyFile = shown && choice && AState.AuthKey;
    rules.KeyPassphrase = choice && AState.AuthKey;
    rules.StartDir = shown && kind != ckTelnet && !(kind == ckSsh && !AState.Hybrid);
    // With nothing shown only the terminal box stands in the shared place, greyed: the file
    // boxes would otherwise be drawn over it.
    rules.IgnoreColorsShown = !shown || IsTerminalKind(kind);
    rules.IgnoreColorsEnabled = shown && IsTerminalKind(kind);
    rules.FileOptionsShown = shown && !IsTerminalKind(kind);
    rules.HybridShown = shown && kind == ckSsh;
    rules.Delete = shown || AState.FolderRow;
    rules.RenameFolder = AState.FolderRow;
    rules.AgentShown = shown && (kind == ckSsh || kind == ckSftp);
    return rules;
}

TKvFolderCheck CheckFolderName(const TKvFolderNames& AFolders, std::string_view AAnswer,
                               std::string_view AOldName) {
    TKvFolderCheck check;
    check.Name = Trimmed(AAnswer);
    if (check.Name.empty()) {
        check.Verdict = fvAskAgain;
        return check;
    }
    if (!AOldName.empty() && SameFolder(check.Name, AOldName))
        return check;
    for (const std::string& folder : AFolders)
        if (SameFolder(folder, check.Name)) {
            check.Verdict = fvRefuse;
            check.Message = "There is already a folder \"" + folder + "\".";
            return check;
        }
    return check;
}

void InsertFolder(TKvFolderNames& AFolders, const std::string& AName, std::string_view AAfter) {
    auto at = AFolders.end();
    if (!AAfter.empty()) {
        auto found = std::find_if(AFolders.begin(), AFolders.end(), [&](const std::string& AEntry) {
            return SameFolder(AEntry, AAfter);
        });
        if (found != AFolders.end())
            at = found + 1;
    }
    AFolders.insert(at, AName);
}

void RenameFolder(TKvConnectors& AList, TKvFolderNames& AFolders,
                  std::vector<std::string>& ACollapsed, std::string_view AOld,
                  const std::string& ANew) {
    const std::string old(AOld);
    for (std::string& folder : AFolders)
        if (SameFolder(folder, old))
            folder = ANew;
    for (TKvConnector& connector : AList)
        if (!connector.Folder.empty() && SameFolder(connector.Folder, old))
            connector.Folder = ANew;
    if (ContainsFolder(ACollapsed, old)) {
        RemoveFolderName(ACollapsed, old);
        ACollapsed.push_back(ANew);
    }
}

void DeleteFolder(TKvConnectors& AList, TKvFolderNames& AFolders,
                  std::vector<std::string>& ACollapsed, std::string_view AName) {
    const std::string name(AName);
    for (TKvConnector& connector : AList)
        if (!connector.Folder.empty() && SameFolder(connector.Folder, name))
            connector.Folder.clear();
    RemoveFolderName(AFolders, name);
    RemoveFolderName(ACollapsed, name);
}

TKvConnSelection DeleteConnection(TKvConnectors& AList, int AIndex) {
    TKvConnSelection selection;
    if (AIndex < 0 || AIndex >= static_cast<int>(AList.size()))
        return selection;
    const std::string folder = AList[AIndex].Folder;
    AList.erase(AList.begin() + AIndex);
    if (!AList.empty()) {
        int next = std::min(AIndex, static_cast<int>(AList.size()) - 1);
        if (SameFolder(AList[next].Folder, folder)) {
            selection.Conn = next;
            return selection;
        }
    }
    selection.Folder = folder;
    return selection;
}

TKvDropTarget DropTargetAt(const TKvConnRows& ARows, int AY, int ARowHeight, int ATopRow) {
    TKvDropTarget target;
    const int count = static_cast<int>(ARows.size());
    if (ARowHeight <= 0)
        return target;
    const int over = AY < 0 ? -1 : AY / ARowHeight + ATopRow;
    if (over >= 0 && over < count && ARows[over].IsFolder) {
        target.Into = over;
        return target;
    }
    target.At = std::clamp((std::max(AY, 0) + ARowHeight / 2) / ARowHeight + ATopRow, 0, count);
    return target;
}

namespace {

// The index just after the last connection filed under AFolder (empty: the unfiled ones), or
// the end of the list when none is.
int EndOfFolder(const TKvConnectors& AList, std::string_view AFolder) {
    for (int i = static_cast<int>(AList.size()) - 1; i >= 0; --i)
        if (AFolder.empty() ? AList[i].Folder.empty() : SameFolder(AList[i].Folder, AFolder))
            return i + 1;
    return static_cast<int>(AList.size());
}

} // namespace

int ApplyDrop(TKvConnectors& AList, const TKvConnRows& ARows, int AConn,
              const TKvDropTarget& ATarget) {
    const int count = static_cast<int>(ARows.size());
    if (AConn < 0 || AConn >= static_cast<int>(AList.size()))
        return AConn;
    std::string folder;
    int beforeConn = -1;
    if (ATarget.Into >= 0 && ATarget.Into < count) {
        folder = ARows[ATarget.Into].Folder;
    } else if (ATarget.At >= 0 && ATarget.At < count && !ARows[ATarget.At].IsFolder) {
        folder = ARows[ATarget.At].Folder;
        beforeConn = ARows[ATarget.At].Conn;
    } else if (ATarget.At > 0) {
        folder = ARows[std::min(ATarget.At, count) - 1].Folder;
    } else if (ATarget.At < 0) {
        return AConn;
    }

    // Dropped on itself: the place is kept, only the folder changes.
    if (beforeConn == AConn) {
        AList[AConn].Folder = folder;
        return AConn;
    }
    TKvConnector moved = std::move(AList[AConn]);
    moved.Folder = folder;
    AList.erase(AList.begin() + AConn);
    int at;
    if (beforeConn >= 0)
        at = beforeConn > AConn ? beforeConn - 1 : beforeConn;
    else
        at = EndOfFolder(AList, folder);
    AList.insert(AList.begin() + at, std::move(moved));
    return at;
}

} // namespace kv
