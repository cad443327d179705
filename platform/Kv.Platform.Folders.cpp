#include "Kv.Platform.Folders.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <fstream>
#include <vector>

namespace kv {

namespace {

std::string EnvOr(const char* AName, const std::string& AFallback) {
    const char* value = std::getenv(AName);
    // Relative values are invalid by the XDG rules and would depend on the current folder.
    if (value && value[0] == '/')
        return value;
    return AFallback;
}

// A folder that is really ours: not a link, owned by us, and nobody else may enter it.
bool IsPrivateFolder(const std::string& APath) {
    struct stat st {};
    if (::lstat(APath.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::getuid())
        return false;
    if ((st.st_mode & 077) != 0 && ::chmod(APath.c_str(), 0700) != 0)
        return false;
    return true;
}

} // namespace

int MakeFolderChain(const std::string& APath, unsigned AMode) {
    if (APath.empty())
        return ENOENT;
    struct stat st {};
    if (::stat(APath.c_str(), &st) == 0)
        return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
    const std::string parent = FolderOfPath(APath);
    if (parent != APath && parent != ".")
        if (int error = MakeFolderChain(parent, AMode))
            return error;
    // Someone else may make it meanwhile; that is fine.
    if (::mkdir(APath.c_str(), static_cast<mode_t>(AMode)) != 0 && errno != EEXIST)
        return errno;
    return 0;
}

std::string FolderOfPath(const std::string& APath) {
    auto slash = APath.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : APath.substr(0, slash);
}

std::string ProgramFolder() {
    std::vector<char> buffer(PATH_MAX + 1);
    ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
    if (n <= 0)
        return "/";
    std::string exe(buffer.data(), static_cast<size_t>(n));
    auto slash = exe.find_last_of('/');
    if (slash == std::string::npos || slash == 0)
        return "/";
    return exe.substr(0, slash);
}

std::string HomeFolder() {
    const char* home = std::getenv("HOME");
    if (home && home[0] == '/')
        return home;
    struct passwd pw {};
    struct passwd* result = nullptr;
    std::vector<char> buffer(16384);
    if (::getpwuid_r(::getuid(), &pw, buffer.data(), buffer.size(), &result) == 0 && result &&
        result->pw_dir && result->pw_dir[0] == '/')
        return result->pw_dir;
    return "/";
}

std::string UserConfigFolder() { return EnvOr("XDG_CONFIG_HOME", HomeFolder() + "/.config") + "/kolvan"; }

std::string UserDataHome() { return EnvOr("XDG_DATA_HOME", HomeFolder() + "/.local/share"); }

std::string DesktopFolder() {
    std::string desktop = HomeFolder() + "/Desktop";
    std::ifstream dirs(EnvOr("XDG_CONFIG_HOME", HomeFolder() + "/.config") + "/user-dirs.dirs");
    std::string line;
    while (std::getline(dirs, line)) {
        // XDG_DESKTOP_DIR="$HOME/Desktop": a path, absolute or from $HOME, in double quotes.
        const std::string key = "XDG_DESKTOP_DIR=\"";
        if (line.rfind(key, 0) != 0 || line.size() < key.size() + 1 || line.back() != '"')
            continue;
        std::string value = line.substr(key.size(), line.size() - key.size() - 1);
        if (value.rfind("$HOME", 0) == 0)
            desktop = HomeFolder() + value.substr(5);
        else if (!value.empty() && value[0] == '/')
            desktop = value;
    }
    struct stat st {};
    return ::stat(desktop.c_str(), &st) == 0 && S_ISDIR(st.st_mode) ? desktop : std::string();
}

std::string PrivateTempFolderIn(const std::string& ABase) {
    std::string path = (ABase.size() > 1 && ABase.back() == '/' ? ABase.substr(0, ABase.size() - 1) : ABase) +
                       "/kolvan-" + std::to_string(::getuid());
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST)
        return {};
    return IsPrivateFolder(path) ? path : std::string();
}

std::string PrivateTempFolder() {
    std::string path = PrivateTempFolderIn(EnvOr("TMPDIR", "/tmp"));
    if (!path.empty())
        return path;
    // The fallback gets the same checks: a link planted there must not carry the log and
    // temporary copies into someone else's folder.
    path = EnvOr("XDG_CACHE_HOME", HomeFolder() + "/.cache") + "/kolvan/tmp";
    if (MakeFolderChain(path, 0700) == 0 && IsPrivateFolder(path))
        return path;
    // Both refused: a fresh folder that nobody else can have made, once per process.
    static std::string fresh = [] {
        std::string pattern = EnvOr("TMPDIR", "/tmp") + "/kolvan-" + std::to_string(::getuid()) + "-XXXXXX";
        return ::mkdtemp(pattern.data()) ? pattern : std::string();
    }();
    return fresh;
}

} // namespace kv
