// Moving local items to the desktop's Trash (the freedesktop.org Trash, version 1.0), so the
// file manager, trash-cli and the desktop all see and restore the same items.
#pragma once

#include <string>

namespace kv {

// True when the item exists and a usable trash exists, or can be made, on its own mount: the
// home trash when the item shares its device, otherwise the mount's top-directory trash, which
// is never used on network or pseudo file systems.
bool CanTrash(const std::string& APath);

// Moves a file, folder or link (the link itself, never its target) into the trash by renaming
// it; nothing is ever copied. Returns 0, or the errno value of the failure, in which case the
// item and the trash are as they were.
int MoveToTrash(const std::string& APath);

} // namespace kv
