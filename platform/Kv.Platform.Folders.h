// Where the program is and where it may keep its files.
#pragma once

#include <string>

namespace kv {

// Creates APath and every missing parent (new ones with AMode); 0, or the errno of the
// failure (ENOTDIR when a file stands in the way).
int MakeFolderChain(const std::string& APath, unsigned AMode = 0777);
// The folder part of a path: "/" for "/x", "." for a bare name.
std::string FolderOfPath(const std::string& APath);

// The folder of the running executable, without a trailing "/".
std::string ProgramFolder();
// $HOME, or the passwd entry's home when it is unset; "/" as the last resort.
std::string HomeFolder();
// ${XDG_CONFIG_HOME:-$HOME/.config}/kolvan; not created here.
std::string UserConfigFolder();
// ${XDG_DATA_HOME:-$HOME/.local/share}
std::string UserDataHome();
// The desktop folder: XDG_DESKTOP_DIR of ${XDG_CONFIG_HOME:-$HOME/.config}/user-dirs.dirs, else
// $HOME/Desktop; empty when that folder is not there.
std::string DesktopFolder();
// The private temporary folder: ${TMPDIR:-/tmp}/kolvan-<uid> with mode 0700, or
// ${XDG_CACHE_HOME:-$HOME/.cache}/kolvan/tmp when that one is not safely ours (same checks), or
// a fresh ${TMPDIR:-/tmp}/kolvan-<uid>-XXXXXX when neither is. Created on demand.
std::string PrivateTempFolder();
// The same rule on an explicit base, for tests; empty when the folder there is refused.
std::string PrivateTempFolderIn(const std::string& ABase);

} // namespace kv
