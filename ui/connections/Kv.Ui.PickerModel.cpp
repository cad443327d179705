#include "Kv.Ui.PickerModel.h"

#include <algorithm>

#include "Kv.Text.h"
#include "Kv.Ui.ConnectorsModel.h"

namespace kv {

namespace {

std::vector<std::string>& OpenFolders() {
    static std::vector<std::string> open;
    return open;
}

} // namespace

void SetPickerOpenFolders(const std::vector<std::string>& AFolders) {
    OpenFolders().clear();
    for (const std::string& folder : AFolders)
        if (!folder.empty())
            SetPickerFolderOpen(folder, true);
}

std::vector<std::string> PickerOpenFolders() {
    return OpenFolders();
}

bool IsPickerFolderOpen(std::string_view AFolder) {
    return ContainsFolder(OpenFolders(), AFolder);
}

bool SetPickerFolderOpen(std::string_view AFolder, bool AOpen) {
    if (AFolder.empty() || IsPickerFolderOpen(AFolder) == AOpen)
        return false;
    if (AOpen)
        OpenFolders().emplace_back(AFolder);
    else
        RemoveFolderName(OpenFolders(), AFolder);
    return true;
}

bool PickerFilterActive(std::string_view AFilter) {
    return !TrimmedView(AFilter).empty();
}

TPickerRows BuildPickerRows(const TKvConnectors& AConns, const TKvFolderNames& AFolders,
                            std::string_view AFilter) {
    const bool active = PickerFilterActive(AFilter);
    const int count = static_cast<int>(AConns.size());
    std::vector<char> matches(AConns.size());
    for (int i = 0; i < count; ++i)
        matches[i] = !active || ConnectorMatches(AConns[i], AFilter);

    TPickerRows rows;
    for (const std::string& folder : AFolders) {
        int inFolder = 0;
        for (int i = 0; i < count; ++i)
            inFolder +=
                matches[i] && !AConns[i].Folder.empty() && SameFolder(AConns[i].Folder, folder);
        if (active && inFolder == 0)
            continue;
        rows.push_back({true, folder, -1, inFolder});
        if (!active && !IsPickerFolderOpen(folder))
            continue;
        for (int i = 0; i < count; ++i)
            if (matches[i] && !AConns[i].Folder.empty() && SameFolder(AConns[i].Folder, folder))
                rows.push_back({false, AConns[i].Folder, i, 0});
    }
    for (int i = 0; i < count; ++i)
        if (matches[i] && AConns[i].Folder.empty())
            rows.push_back({false, std::string(), i, 0});
    return rows;
}

int ClampPickerCursor(int ACursor, int ARows) {
    return std::clamp(ACursor, -1, std::max(ARows, 0));
}

int MovePickerCursor(int ACursor, int ADelta, int ARows) {
    if (ACursor < 0)
        return ADelta <= 0 ? std::max(ARows, 0) : 0;
    return std::clamp(ACursor + ADelta, 0, std::max(ARows, 0));
}

int CursorAfterFilter(const TPickerRows& ARows, std::string_view AFilter) {
    if (!PickerFilterActive(AFilter))
        return 0;
    for (size_t i = 0; i < ARows.size(); ++i)
        if (!ARows[i].IsFolder)
            return static_cast<int>(i) + 1;
    return -1;
}

int PickerShownRows(int AConnections, int AFolders, int AWorkHeight, int ARowHeight,
                    int AFixedHeight, int AMargin) {
    const int wanted = std::clamp(AConnections + AFolders, 3, 14);
    const int fit = ARowHeight > 0 ? (AWorkHeight - AMargin - AFixedHeight) / ARowHeight : wanted;
    return std::max(std::min(wanted, fit), 2);
}

std::string PickerMessage(bool AHasConnections, std::string_view AFilter) {
    if (!AHasConnections)
        return "No saved connections yet. Choose New connection.";
    return "No connection matches \"" + std::string(AFilter) + "\"";
}

std::string PickerSecondText(const TKvConnector& AConnector) {
    if (AConnector.User.empty())
        return AConnector.Host;
    return AConnector.User + "@" + AConnector.Host;
}

} // namespace kv
