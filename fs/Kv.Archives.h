// Which disk files open as archives, and the backend that opens each kind.
#pragma once

#include <string>

#include "Kv.FileSystem.h"

namespace kv {

// ".zip", a tar plain or compressed (".tar", ".tar.gz", ".tgz", ".tar.xz", ".txz", ".tar.bz2",
// ".tbz2", ".tbz", ".tar.zst", ".tzst", ".tar.lz4"), or one compressed file (".gz", ".xz",
// ".bz2", ".zst", ".lz4"), in any letter case.
bool IsArchiveFile(const std::string& AName);
// The read-only file system of the archive; blocks while it reads the directory (and unpacks
// a compressed file, told by its first bytes), so it runs on a worker with a token the user
// can cancel. A compressed file that holds no tar is a folder holding that one file.
IKvFileSystemPtr OpenArchive(const std::string& AFile, const IKvCancelToken& AToken);

} // namespace kv
