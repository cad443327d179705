// The places the drive popup offers: the mount points a user can open, "/" and the home folder
// first, each with the kind of disk it is on. Plain code: the main window runs it on a worker.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "Kv.Platform.Mounts.h"

namespace kv {

struct TKvDriveInfo {
    std::string Path;     // the folder to open
    std::string TypeName; // "Local disk", "Network", ...
    TKvMountKind Kind = mkLocalDisk;

    bool operator==(const TKvDriveInfo&) const = default;
};
using TKvDrives = std::vector<TKvDriveInfo>;

// "Local disk", "Network", "Removable", "CD/DVD", "RAM disk".
std::string DriveTypeName(TKvMountKind AKind);

// From the kernel's mount list: "/" first, then the home folder, then every other mount point
// in the kernel's order, each once, pseudo file systems left out. AIsFolder, asked only for
// mounts that are not on a network (a hung server would block it), leaves out the files that
// containers bind-mount (/etc/hosts); null asks nothing.
TKvDrives DrivesFromMounts(const std::vector<TKvMount>& AMounts, const std::string& AHome,
                           const std::function<bool(const std::string&)>& AIsFolder = {});
// The drives of this system, with $HOME; never touches a network mount.
TKvDrives ListDrives();

} // namespace kv
