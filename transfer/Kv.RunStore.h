// The run-as memory: per file and per extension, the parameters of the last run for each way of
// running and the program chosen to open or run it, kept in "runas.json" in the data folder.
#pragma once

#include <map>
#include <string>

namespace kv {

struct TKvRunMemory {
    std::string Params;      // the last normal run's parameters
    std::string AdminParams; // the last run as administrator's
    bool LastAdmin = false;
    std::string OpenWith;    // the program to open or run it with; empty for the usual way
    bool Known = false;      // remembered at least once
    bool operator==(const TKvRunMemory&) const = default;
};

// Keys. File names on Linux differ by case, so a local key is the exact path; an extension key
// ignores the case of the extension, which names one kind of file however it is written.
std::string LocalRunKey(const std::string& APath);
std::string TerminalRunKey(const std::string& AConnectionId, const std::string& ASftpPath);
std::string ExtensionRunKey(const std::string& AName);        // "ext|.txt"
std::string TerminalExtensionRunKey(const std::string& AName); // "rext|.txt"

// Reads the file on the first call only (missing or unreadable: an empty memory; a damaged one
// keeps what was read before the damage).
void LoadRunMemory();
TKvRunMemory GetRunMemory(const std::string& AKey);
void RememberParams(const std::string& AKey, bool AAdmin, const std::string& AParams);
void RememberOpenWith(const std::string& AKey, const std::string& AProgram);
// Writes the whole memory atomically; a failure is silent and the memory stays as it is.
void SaveRunMemory();
// The file the memory lives in; setting it (tests) forgets what was loaded.
std::string RunMemoryFile();
void SetRunMemoryFile(const std::string& APath);

} // namespace kv
