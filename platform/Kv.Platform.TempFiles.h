// Temporary files that say they are in use: a live file holds a shared flock, so a sweep by
// another running Kolvan leaves it alone.
#pragma once

#include <string>

namespace kv {

// A new random (version 4) GUID in capitals and braces: "{8C0E...-...}".
std::string NewGuidText();

// A new file APrefix + "{GUID}" + ASuffix in AFolder, mode 0600, created exclusively and
// held under a shared lock until this object goes. The file itself stays; the owner deletes it.
class TKvLockedTempFile {
public:
    // Raises std::system_error when the file cannot be made.
    TKvLockedTempFile(const std::string& AFolder, const std::string& APrefix,
                      const std::string& ASuffix);
    ~TKvLockedTempFile();
    TKvLockedTempFile(const TKvLockedTempFile&) = delete;
    TKvLockedTempFile& operator=(const TKvLockedTempFile&) = delete;

    const std::string& Path() const { return FPath; }
    // Drops the lock and deletes the file; errors are ignored.
    void Remove();

private:
    std::string FPath;
    int FFd = -1;
};

// Deletes the files APrefix*ASuffix directly in AFolder that nobody holds; errors are ignored,
// file by file. Returns how many went.
int SweepTempFiles(const std::string& AFolder, const std::string& APrefix,
                   const std::string& ASuffix);

} // namespace kv
