#include "Kv.Platform.Mounts.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <fcntl.h>
#include <unistd.h>

namespace kv {

namespace {

// The kernel writes blanks, tabs, newlines and backslashes in names as "\ooo".
std::string DecodeOctal(std::string_view AText) {
    std::string out;
    out.reserve(AText.size());
    for (size_t i = 0; i < AText.size(); ++i) {
        auto isOctal = [&](size_t j) {
            return j < AText.size() && AText[j] >= '0' && AText[j] <= '7';
        };
        if (AText[i] == '\\' && isOctal(i + 1) && isOctal(i + 2) && isOctal(i + 3)) {
            int value = (AText[i + 1] - '0') * 64 + (AText[i + 2] - '0') * 8 + (AText[i + 3] - '0');
            if (value <= 0xFF) {
                out += static_cast<char>(value);
                i += 3;
                continue;
            }
        }
        out += AText[i];
    }
    return out;
}

bool IsPseudoType(std::string_view AType) {
    static constexpr std::array<std::string_view, 23> types = {
        "proc",     "sysfs",    "cgroup",     "cgroup2",   "devpts",     "mqueue",
        "tracefs",  "overlay",  "squashfs",   "debugfs",   "securityfs", "pstore",
        "bpf",      "configfs", "fusectl",    "hugetlbfs", "autofs",     "binfmt_misc",
        "devtmpfs", "efivarfs", "rpc_pipefs", "nsfs",      "selinuxfs"};
    for (auto type : types)
        if (AType == type)
            return true;
    return false;
}

bool IsNetworkType(std::string_view AType) {
    static constexpr std::array<std::string_view, 12> types = {
        "nfs",  "nfs4", "cifs", "smb3",      "smbfs", "sshfs",
        "fuse", "9p",   "ceph", "glusterfs", "afs",   "davfs"};
    for (auto type : types)
        if (AType == type)
            return true;
    // Every FUSE file system with a subtype ("fuse.sshfs", "fuse.gvfsd-fuse") may sit on a
    // server; "fuseblk" (ntfs-3g, exfat on a local disk) has no dot and stays local.
    return AType.starts_with("fuse.");
}

bool IsBelow(std::string_view APath, std::string_view APrefix) {
    return APath != APrefix && IsPathAtOrBelow(APath, APrefix);
}

TKvMountKind KindOf(std::string_view AType, std::string_view AMountPoint) {
    bool ram = AType == "tmpfs" || AType == "ramfs";
    // A live session or a container runs on an overlay or squashfs root: that is still the disk.
    if (AMountPoint != "/" && IsPseudoType(AType))
        return mkPseudo;
    if (ram && (IsPathAtOrBelow(AMountPoint, "/run") || IsPathAtOrBelow(AMountPoint, "/dev") ||
                IsPathAtOrBelow(AMountPoint, "/sys")))
        return mkPseudo;
    if (IsNetworkType(AType))
        return mkNetwork;
    if (AType == "iso9660" || AType == "udf")
        return mkOptical;
    if (IsBelow(AMountPoint, "/media") || IsBelow(AMountPoint, "/run/media"))
        return mkRemovable;
    if (ram)
        return mkRam;
    return mkLocalDisk;
}

std::vector<std::string_view> SplitFields(std::string_view ALine) {
    std::vector<std::string_view> fields;
    size_t start = 0;
    for (;;) {
        size_t blank = ALine.find(' ', start);
        fields.push_back(
            ALine.substr(start, blank == std::string_view::npos ? blank : blank - start));
        if (blank == std::string_view::npos)
            return fields;
        start = blank + 1;
    }
}

} // namespace

bool IsPathAtOrBelow(std::string_view APath, std::string_view APrefix) {
    if (APrefix == "/")
        return APath.starts_with('/');
    return APath.starts_with(APrefix) &&
           (APath.size() == APrefix.size() || APath[APrefix.size()] == '/');
}

std::vector<TKvMount> ParseMountInfo(std::string_view AText) {
    std::vector<TKvMount> mounts;
    while (!AText.empty()) {
        size_t end = AText.find('\n');
        std::string_view line = AText.substr(0, end);
        AText.remove_prefix(end == std::string_view::npos ? AText.size() : end + 1);

        // id parent major:minor root mount-point options [optional...] - type source super-options
        auto fields = SplitFields(line);
        size_t dash = 6;
        while (dash < fields.size() && fields[dash] != "-")
            ++dash;
        if (dash + 1 >= fields.size() || fields[4].empty())
            continue;
        TKvMount mount;
        auto number = [](std::string_view AField, int& AValue) {
            return std::from_chars(AField.data(), AField.data() + AField.size(), AValue).ec ==
                   std::errc();
        };
        if (!number(fields[0], mount.Id) || !number(fields[1], mount.ParentId))
            continue;
        mount.MountPoint = DecodeOctal(fields[4]);
        if (mount.MountPoint[0] != '/')
            continue;
        mount.FsType = DecodeOctal(fields[dash + 1]);
        if (dash + 2 < fields.size())
            mount.Source = DecodeOctal(fields[dash + 2]);
        mount.Kind = KindOf(mount.FsType, mount.MountPoint);
        mounts.push_back(std::move(mount));
    }
    return mounts;
}

std::vector<TKvMount> ReadMounts() {
    // The file reports size 0, so read until the end rather than trusting its length.
    int fd = ::open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return {};
    std::string text;
    char buffer[16384];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            ::close(fd);
            return {};
        }
        if (n == 0)
            break;
        text.append(buffer, static_cast<size_t>(n));
    }
    ::close(fd);
    return ParseMountInfo(text);
}

std::optional<TKvMount> MountOf(const std::vector<TKvMount>& AMounts, std::string_view APath) {
    if (!APath.starts_with('/'))
        return std::nullopt;
    std::vector<const TKvMount*> holders; // those at the longest mount point
    for (const auto& mount : AMounts) {
        if (!IsPathAtOrBelow(APath, mount.MountPoint))
            continue;
        if (!holders.empty() && mount.MountPoint.size() < holders[0]->MountPoint.size())
            continue;
        if (!holders.empty() && mount.MountPoint.size() > holders[0]->MountPoint.size())
            holders.clear();
        holders.push_back(&mount);
    }
    if (holders.empty())
        return std::nullopt;
    // Several mounts stacked on one point (a second tmpfs on /dev/shm): the top one is no
    // other's parent. The list is not always in mount order, so order alone cannot tell.
    for (auto it = holders.rbegin(); it != holders.rend(); ++it) {
        bool below = std::any_of(holders.begin(), holders.end(), [&](const TKvMount* AOther) {
            return AOther != *it && AOther->ParentId == (*it)->Id;
        });
        if (!below)
            return **it;
    }
    return *holders.back();
}

std::optional<TKvMount> MountOf(std::string_view APath) {
    return MountOf(ReadMounts(), APath);
}

} // namespace kv
