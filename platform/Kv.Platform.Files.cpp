#include "Kv.Platform.Files.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <string>
#include <sys/stat.h>

namespace kv {

int RenameNoReplace(const std::string& AOld, const std::string& ANew) {
    if (::renameat2(AT_FDCWD, AOld.c_str(), AT_FDCWD, ANew.c_str(), RENAME_NOREPLACE) == 0)
        return 0;
    int error = errno;
    if (error != EINVAL && error != ENOSYS)
        return error;
    // Some file systems refuse the flag; check, then rename (a small window, but no silent
    // replace of a file that was already there).
    struct stat st {};
    if (::lstat(ANew.c_str(), &st) == 0)
        return EEXIST;
    return ::rename(AOld.c_str(), ANew.c_str()) == 0 ? 0 : errno;
}

mode_t CurrentUmask() {
    // Reading the mask with umask() means setting it, which races with other threads creating
    // files; the kernel shows it in the status file instead.
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("Umask:", 0) == 0)
            return static_cast<mode_t>(std::stoul(line.substr(6), nullptr, 8) & 0777);
    }
    return 022;
}

} // namespace kv
