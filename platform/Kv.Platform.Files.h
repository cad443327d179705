// File operations that need more than POSIX gives.
#pragma once

#include <string>
#include <sys/types.h>

namespace kv {

// Renames without ever replacing an existing target; 0 or an errno value (EEXIST when taken).
int RenameNoReplace(const std::string& AOld, const std::string& ANew);

// The process's file-creation mask, read without changing it.
mode_t CurrentUmask();

} // namespace kv
