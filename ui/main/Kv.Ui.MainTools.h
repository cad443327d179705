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

} // namespace kv
