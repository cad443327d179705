// Owners and groups of local files, by name.
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "Kv.FS.Local.h"
#include "Kv.Platform.Errors.h"

namespace kv {

namespace {

bool AllDigits(const std::string& AText) {
    return !AText.empty() && AText.find_first_not_of("0123456789") == std::string::npos;
}

uid_t UserId(const std::string& AName) {
    std::vector<char> buffer(16384);
    struct passwd entry {}, *found = nullptr;
    if (::getpwnam_r(AName.c_str(), &entry, buffer.data(), buffer.size(), &found) == 0 && found)
        return found->pw_uid;
    if (AllDigits(AName) && AName.size() < 10)
        return static_cast<uid_t>(std::stoul(AName));
    throw EKvFsError(AName + ": there is no such user");
}

gid_t GroupId(const std::string& AName) {
    std::vector<char> buffer(16384);
    struct group entry {}, *found = nullptr;
    if (::getgrnam_r(AName.c_str(), &entry, buffer.data(), buffer.size(), &found) == 0 && found)
        return found->gr_gid;
    if (AllDigits(AName) && AName.size() < 10)
        return static_cast<gid_t>(std::stoul(AName));
    throw EKvFsError(AName + ": there is no such group");
}

std::string UserName(uid_t AId) {
    std::vector<char> buffer(16384);
    struct passwd entry {}, *found = nullptr;
    if (::getpwuid_r(AId, &entry, buffer.data(), buffer.size(), &found) == 0 && found)
        return found->pw_name;
    return std::to_string(AId);
}

std::string GroupName(gid_t AId) {
    std::vector<char> buffer(16384);
    struct group entry {}, *found = nullptr;
    if (::getgrgid_r(AId, &entry, buffer.data(), buffer.size(), &found) == 0 && found)
        return found->gr_name;
    return std::to_string(AId);
}

// Changes APath itself (a link, not its target) and, for a folder, everything inside.
void ChangeTree(const std::string& APath, uid_t AUser, gid_t AGroup, bool ARecursive) {
    if (::lchown(APath.c_str(), AUser, AGroup) != 0)
        throw EKvFsError(APath + ": " + ErrorText(errno));
    struct stat st {};
    if (!ARecursive || ::lstat(APath.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return;
    DIR* dir = ::opendir(APath.c_str());
    if (!dir)
        throw EKvFsError(APath + ": " + ErrorText(errno));
    std::vector<std::string> names;
    while (dirent* item = ::readdir(dir)) {
        std::string name = item->d_name;
        if (name != "." && name != "..")
            names.push_back(name);
    }
    ::closedir(dir);
    for (const auto& name : names)
        ChangeTree(APath == "/" ? "/" + name : APath + "/" + name, AUser, AGroup, true);
}

} // namespace

bool TKvLocalFileSystem::GetOwner(const std::string& APath, std::string& AUser, std::string& AGroup) {
    struct stat st {};
    AUser.clear();
    AGroup.clear();
    if (::lstat(APath.c_str(), &st) != 0)
        return false;
    AUser = UserName(st.st_uid);
    AGroup = GroupName(st.st_gid);
    return true;
}

void TKvLocalFileSystem::SetOwner(const std::string& APath, const std::string& AUser, const std::string& AGroup,
                                  bool ARecursive) {
    uid_t user = AUser.empty() ? static_cast<uid_t>(-1) : UserId(AUser);
    gid_t group = AGroup.empty() ? static_cast<gid_t>(-1) : GroupId(AGroup);
    ChangeTree(APath, user, group, ARecursive);
}

} // namespace kv
