// Where the user left things: window, halves, panels, sessions, kept in "state.json".
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "Kv.FileSystem.h"

namespace kv {

// The two halves of the main window. Unscoped so that a half indexes Panels and Sessions.
enum TKvHalf : int { rhLeft, rhRight };

struct TKvWindowState {
    bool Valid = false;
    int Left = 0;
    int Top = 0;
    int Width = 0;
    int Height = 0;
    bool Maximized = false;

    bool operator==(const TKvWindowState&) const = default;
};

// One file panel's remembered view; widths are 96-dpi pixels.
struct TKvPanelState {
    std::string Path;
    std::string FocusName;
    TKvSortColumn Sort = scName;
    bool Descending = false;
    // Kept and written back unchanged.
    bool ShowHidden = false;
    int SizeColumn = 100;
    int DateColumn = 130;

    bool operator==(const TKvPanelState&) const = default;
};

inline constexpr std::string_view KSessionPanel = "panel";
inline constexpr std::string_view KSessionShell = "shell";

// The connection a half showed: Kind is KSessionPanel, KSessionShell or empty for none.
struct TKvSessionState {
    std::string Kind;
    std::string ConnectorId;
    // Only for a panel session.
    std::string Path;

    bool operator==(const TKvSessionState&) const = default;
};

// The disk folder shown in the other half the last time this connection was open.
struct TKvOtherPath {
    std::string ConnectorId;
    std::string Path;

    bool operator==(const TKvOtherPath&) const = default;
};

// Reading keeps at most this many remembered folders.
inline constexpr size_t KMaxOtherPaths = 200;

// A default-constructed record holds the defaults.
struct TKvAppState {
    TKvWindowState Window;
    double SplitRatio = 0.5;
    TKvHalf ActiveHalf = rhLeft;
    std::array<TKvPanelState, 2> Panels;
    std::array<TKvSessionState, 2> Sessions;
    std::vector<TKvOtherPath> OtherPaths;
    // Folder names expanded in the connection picker.
    std::vector<std::string> OpenFolders;
    // The connections window's memory: the text of a JSON object, or empty.
    std::string NewConnection;

    bool operator==(const TKvAppState&) const = default;
};

// The data folder joined with "state.json".
std::string StatePath();
void DefaultAppState(TKvAppState& AState);
// Defaults first, then every usable value the text supplies; never fails. False when the text
// as a whole was unusable (not a JSON object, or nested deeper than any state file).
bool ParseAppState(std::string_view AText, TKvAppState& AState);
// The file's text. Bytes that are not UTF-8 are written as U+FFFD, so this never throws.
std::string AppStateToJson(const TKvAppState& AState);
// Defaults when the file is missing or unusable. An unusable file is kept aside first, so the
// next save does not destroy it; the result is then the sentence to show the user.
std::string LoadAppState(const std::string& APath, TKvAppState& AState);
// Atomic; the folder chain is created. False on any failure, the previous file stays.
bool SaveAppState(const std::string& APath, const TKvAppState& AState);

// Ids match without regard to (ASCII) case; empty when none is remembered.
std::string OtherPathOf(const TKvAppState& AState, std::string_view AConnectorId);
// Replaces the entry with that id in place, or appends one.
void SetOtherPath(TKvAppState& AState, const std::string& AConnectorId, const std::string& APath);

} // namespace kv
