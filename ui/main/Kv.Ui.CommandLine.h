// What Kolvan is asked to do when it starts: print its version or help, or open folders (paths
// or file:// URLs) in the two halves. Plain C++, so that it runs before there is a display.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "Kv.State.h"

namespace kv {

enum class TKvStartAction { saRun, saVersion, saHelp };
using enum TKvStartAction;

// A half's folder from the command line; an empty Folder keeps the half's saved one.
struct TKvStartFolder {
    std::string Folder;
    // The file that was named, focused in Folder; empty for a folder.
    std::string FocusName;

    bool operator==(const TKvStartFolder&) const = default;
};
using TKvStartFolders = std::array<TKvStartFolder, 2>;

struct TKvCommandLine {
    TKvStartAction Action = saRun;
    TKvStartFolders Halves;
    // One line per bad argument, for standard error; the window opens all the same.
    std::vector<std::string> Problems;
};

// --help or --version, when one of them comes before "--"; reads no path.
TKvStartAction StartAction(const std::vector<std::string>& AArgs);
// AArgs without the program name, as bytes. Relative paths are taken from ACurrentFolder;
// file:// URLs are local when their host is empty, "localhost" or AHostName.
TKvCommandLine ParseCommandLine(const std::vector<std::string>& AArgs,
                                const std::string& ACurrentFolder, const std::string& AHostName);
// The path a file:// URL names, or empty with AProblem set.
std::string PathOfFileUrl(const std::string& AUrl, const std::string& AHostName,
                          std::string& AProblem);

// Puts the folders from the command line into the state the window starts from.
void ApplyStartFolders(const TKvStartFolders& AStart, TKvAppState& AState);

std::string VersionText();
std::string HelpText();

} // namespace kv
