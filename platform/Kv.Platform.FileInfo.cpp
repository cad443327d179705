#include "Kv.Platform.FileInfo.h"

#include <cerrno>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace kv {

namespace {

TKvFileTime TimeOf(const struct statx_timestamp& AStamp, bool AKnown) {
    TKvFileTime time;
    time.Known = AKnown;
    time.Seconds = AStamp.tv_sec;
    time.Nanoseconds = AStamp.tv_nsec;
    return time;
}

std::string UserName(uint32_t AId) {
    std::vector<char> buffer(16384);
    struct passwd entry {}, *found = nullptr;
    if (::getpwuid_r(AId, &entry, buffer.data(), buffer.size(), &found) == 0 && found)
        return found->pw_name;
    return std::to_string(AId);
}

std::string GroupName(uint32_t AId) {
    std::vector<char> buffer(16384);
    struct group entry {}, *found = nullptr;
    if (::getgrgid_r(AId, &entry, buffer.data(), buffer.size(), &found) == 0 && found)
        return found->gr_name;
    return std::to_string(AId);
}

} // namespace

int ReadFileInfo(const std::string& APath, TKvFileInfo& AInfo) {
    struct statx st {};
    if (::statx(AT_FDCWD, APath.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS | STATX_BTIME, &st) != 0)
        return errno;
    AInfo = TKvFileInfo();
    AInfo.Mode = st.stx_mode;
    AInfo.Size = st.stx_size;
    AInfo.User = UserName(st.stx_uid);
    AInfo.Group = GroupName(st.stx_gid);
    AInfo.Born = TimeOf(st.stx_btime, (st.stx_mask & STATX_BTIME) != 0);
    AInfo.Modified = TimeOf(st.stx_mtime, (st.stx_mask & STATX_MTIME) != 0);
    AInfo.Accessed = TimeOf(st.stx_atime, (st.stx_mask & STATX_ATIME) != 0);
    AInfo.Changed = TimeOf(st.stx_ctime, (st.stx_mask & STATX_CTIME) != 0);
    if (S_ISLNK(st.stx_mode)) {
        std::vector<char> target(4096);
        ssize_t got = ::readlink(APath.c_str(), target.data(), target.size());
        if (got > 0)
            AInfo.LinkTarget.assign(target.data(), static_cast<size_t>(got));
        struct stat followed {};
        if (::stat(APath.c_str(), &followed) == 0)
            AInfo.TargetMode = followed.st_mode;
    }
    return 0;
}

} // namespace kv
