// Starting other programs: documents open in the desktop's program for their type.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace kv {

// Called on another thread with the exit status of a started program that ended soon.
using TKvEndedSoon = std::function<void(int AExitStatus)>;

// Starts AArgs[0] (searched on PATH) with AArgs in AFolder, without a shell, and does not
// wait for it. Returns 0 or the errno of the failure. AEndedSoon, when given, hears the exit
// status (-1 for a signal) if the program ends within AWithinMs.
int StartProgram(const std::vector<std::string>& AArgs, const std::string& AFolder,
                 TKvEndedSoon AEndedSoon = {}, int AWithinMs = 0);

// Opens a document with `xdg-open`. Returns the reason it could not be opened, or empty; a
// failure xdg-open reports only by its exit status comes later, to AFailed on another thread.
std::string OpenDocument(const std::string& APath, const std::string& AFolder,
                         std::function<void(const std::string&)> AFailed);

} // namespace kv
