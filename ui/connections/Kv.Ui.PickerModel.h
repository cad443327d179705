// The connection picker without its widgets: the rows for a filter, the cursor, the folders
// the user opened (kept for the whole run), the height it takes, and its texts.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "Kv.Connectors.h"

namespace kv {

struct TPickerRow {
    bool IsFolder = false;
    std::string Folder;
    int Conn = -1; // index into the picker's connections; -1 for a folder row
    int Count = 0; // matching connections in the folder

    bool operator==(const TPickerRow&) const = default;
};
using TPickerRows = std::vector<TPickerRow>;

// The folders open in the picker, for the whole program: names without regard to case, each
// once, in the order they were opened. The state file keeps them.
void SetPickerOpenFolders(const std::vector<std::string>& AFolders);
std::vector<std::string> PickerOpenFolders();
bool IsPickerFolderOpen(std::string_view AFolder);
// False when nothing changed.
bool SetPickerFolderOpen(std::string_view AFolder, bool AOpen);

bool PickerFilterActive(std::string_view AFilter);
// Each folder with its count, then (open, or with an active filter: any with a match) its
// matching connections; then the matching connections without a folder. With an active filter
// a folder without a match is left out.
TPickerRows BuildPickerRows(const TKvConnectors& AConns, const TKvFolderNames& AFolders,
                            std::string_view AFilter);

// Cursor: -1 none, 0 the top row, k >= 1 list row k - 1.
int ClampPickerCursor(int ACursor, int ARows);
int MovePickerCursor(int ACursor, int ADelta, int ARows);
// The cursor after the filter changed: the first connection row with a filter (none when
// there is none), the top row without.
int CursorAfterFilter(const TPickerRows& ARows, std::string_view AFilter);

// Rows of the list to show: as many as there are connections and folders (3 to 14) while they
// fit in the work area below the top row and the filter.
int PickerShownRows(int AConnections, int AFolders, int AWorkHeight, int ARowHeight,
                    int AFixedHeight, int AMargin);

// The line drawn in an empty list.
std::string PickerMessage(bool AHasConnections, std::string_view AFilter);
// "user@host", or the host alone.
std::string PickerSecondText(const TKvConnector& AConnector);

} // namespace kv
