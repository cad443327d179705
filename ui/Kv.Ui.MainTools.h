// Rules of the main window's tool commands (view, edit, search) that need no widget.
#pragma once

#include <cstdint>
#include <string>

#include "Kv.FileSystem.h"

namespace kv {

// A file on a server above 20 MiB is fetched for editing only after asking.
inline constexpr int64_t KEditAskSize = 20971520;
bool EditAsksFirst(bool ARemote, int64_t ASize);
// "\"name\" is 21 MB. Fetch it from the server to edit it?"
std::string EditQuestion(const std::string& AName, int64_t ASize);

// The editor for a local file: EditorExe when set and present, else the first desktop text
// editor found on PATH, else xdg-open. AEnvPath stands for $PATH.
std::string ChooseEditor(const std::string& AConfigured, const std::string& AEnvPath);
// Starts the editor on the file without waiting; 0 or the errno of the failure.
int StartEditor(const std::string& APath);
// An empty file at APath unless a file is there already; a folder there or a read-only file
// system raise EKvFsError.
void CreateEmptyFile(IKvFileSystem& AFs, const std::string& APath);

} // namespace kv
