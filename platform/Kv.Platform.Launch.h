// Starting other programs: documents open in the desktop's program for their type.
#pragma once

#include <string>
#include <vector>

namespace kv {

// Starts AArgs[0] (searched on PATH) with AArgs in AFolder, without a shell, and does not
// wait for it. Returns 0 or the errno of the failure.
int StartProgram(const std::vector<std::string>& AArgs, const std::string& AFolder);
// Opens a document with `xdg-open`.
int OpenDocument(const std::string& APath, const std::string& AFolder);

} // namespace kv
