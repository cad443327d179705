// The mounted file systems, as the kernel lists them, and what kind of place each one is.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kv {

enum class TKvMountKind { mkLocalDisk, mkNetwork, mkRemovable, mkOptical, mkRam, mkPseudo };
using enum TKvMountKind;

struct TKvMount {
    std::string MountPoint; // absolute, escapes decoded
    std::string FsType;     // "ext4", "nfs4", "fuse.sshfs"
    std::string Source;     // "/dev/sda1", "server:/export"
    TKvMountKind Kind = mkLocalDisk;
    int Id = 0; // the kernel's mount id, and that of the mount this one sits on
    int ParentId = 0;

    bool operator==(const TKvMount&) const = default;
};

// The lines of /proc/self/mountinfo in the kernel's order; malformed lines are skipped.
std::vector<TKvMount> ParseMountInfo(std::string_view AText);
// Reads /proc/self/mountinfo without touching any mount, so a hung network mount cannot
// block; empty when the list cannot be read.
std::vector<TKvMount> ReadMounts();

// The mount that holds an absolute path (canonical: no "." or ".." parts): the one whose mount
// point is the longest component-wise prefix of the path; of several mounts stacked on that
// point, the top one. Nothing for a relative path.
std::optional<TKvMount> MountOf(const std::vector<TKvMount>& AMounts, std::string_view APath);
std::optional<TKvMount> MountOf(std::string_view APath);

// True when APath equals APrefix or lies below it, comparing whole components.
bool IsPathAtOrBelow(std::string_view APath, std::string_view APrefix);

} // namespace kv
