// Where Kolvan keeps its files, and whole-file saves that a crash cannot half-write.
#pragma once

#include <string>
#include <string_view>
#include <sys/types.h>

namespace kv {

// The data folder: the program folder in portable use, otherwise the per-user folder. Cached.
std::string DataFolder();
// The rule behind DataFolder, on explicit folders.
std::string ChooseDataFolder(const std::string& AProgramFolder, const std::string& APerUserFolder);
// The marker that keeps an installed program out of portable use.
inline constexpr const char* KPortableMarker = "kolvan.appdata";

// Whether APath names an existing folder (links followed).
bool IsExistingFolder(const std::string& APath);

// Creates and deletes ".kolvan-write-test-<pid>" in AFolder.
bool CanWriteIn(const std::string& AFolder);

// Writes a temporary file of its own beside APath (unique per save, so two programs saving at
// once never mix their bytes), flushes it, renames it over APath and flushes the folder; a
// leftover of a killed save is swept by the next one. On failure the previous file is untouched
// and no temporary file is left. A file that is replaced keeps its permissions, but never more
// than AWidestMode (a file that holds secrets stays private even when an old copy was not); a
// new one gets ANewFileMode less the umask from its creation on, so it is never readable by
// others, not even for a moment.
bool SaveBytesAtomic(const std::string& APath, std::string_view ABytes, mode_t ANewFileMode = 0666,
                     mode_t AWidestMode = 07777);
bool SaveTextAtomic(const std::string& APath, std::string_view AText, mode_t ANewFileMode = 0666,
                    mode_t AWidestMode = 07777);
// Files that hold saved passwords: private when new, and made private again on every save.
inline constexpr mode_t KSecretFileMode = 0600;
// Creates APath with ABytes and AMode less the umask, flushed; false when APath exists already
// or the write fails, and then nothing is left behind.
bool CreateFileWith(const std::string& APath, std::string_view ABytes, mode_t AMode);
// The whole file as stored (a byte-order mark stays); false when missing or unreadable.
bool LoadText(const std::string& APath, std::string& AText);

// Settings and state files are a few KiB; a file far larger is not one of them, and reading it
// whole would take seconds and gigabytes.
inline constexpr size_t KMaxSmallFileSize = 4 * 1024 * 1024;

enum class TKvFileRead { frLoaded, frMissing, frUnusable };
using enum TKvFileRead;
// Like LoadText, telling a missing file from one that is there but cannot be used: unreadable,
// not a regular file, or larger than AMaxBytes (then it is not read at all).
TKvFileRead LoadSmallFile(const std::string& APath, std::string& AText,
                          size_t AMaxBytes = KMaxSmallFileSize);
// Moves a file that could not be used out of the way of the next save, to APath + ".unreadable"
// (".unreadable.2", ... when taken), so the user's data is kept. The new name, or empty.
std::string KeepUnusableFile(const std::string& APath);
// For a file that was there but could not be used: keeps it aside, logs it with its whole path,
// and returns the sentence the user is shown once, AWhat naming the contents ("The settings").
std::string SetAsideUnusable(const std::string& APath, const std::string& AWhat);

} // namespace kv
