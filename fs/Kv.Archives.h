// Which disk files open as archives, and the backend that opens each kind.
#pragma once

#include <string>

#include "Kv.FileSystem.h"

namespace kv {

// ".zip", ".tar", ".tar.gz" or ".tgz", in any letter case.
bool IsArchiveFile(const std::string& AName);
// The read-only file system of the archive; blocks while it reads the directory, so it runs
// on a worker with a token the user can cancel.
IKvFileSystemPtr OpenArchive(const std::string& AFile, const IKvCancelToken& AToken);

} // namespace kv
