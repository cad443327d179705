// The troubleshooting log: one line per notable action, rotated at 1 MiB. Never given secrets.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kv {

inline constexpr int64_t KLogRotateSize = 1048576;

void Log(std::string_view AMessage);
std::string LogPath();
std::string OldLogPath();
bool ClearLog();
void SetLogEnabled(bool AEnabled);
bool LogEnabled();
// Points the log at another folder (tests; the default is the private temporary folder).
void SetLogFolder(const std::string& AFolder);

} // namespace kv
