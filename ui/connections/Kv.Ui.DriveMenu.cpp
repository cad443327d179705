#include "Kv.Ui.DriveMenu.h"

#include <algorithm>
#include <cstdlib>

#include "Kv.FileUtil.h"

namespace kv {

std::string DriveTypeName(TKvMountKind AKind) {
    switch (AKind) {
    case mkNetwork:
        return "Network";
    case mkRemovable:
        return "Removable";
    case mkOptical:
        return "CD/DVD";
    case mkRam:
        return "RAM disk";
    default:
        return "Local disk";
    }
}

TKvDrives DrivesFromMounts(const std::vector<TKvMount>& AMounts, const std::string& AHome,
                           const std::function<bool(const std::string&)>& AIsFolder) {
    std::vector<TKvMount> network;
    for (const TKvMount& mount : AMounts)
        if (mount.Kind == mkNetwork)
            network.push_back(mount);
    // Below a network mount even a local folder can hang on the way there.
    auto safeToAsk = [&](const std::string& APath) {
        return std::none_of(network.begin(), network.end(), [&](const TKvMount& AMount) {
            return IsPathAtOrBelow(APath, AMount.MountPoint);
        });
    };
    auto kindAt = [&](const std::string& APath) {
        auto mount = MountOf(AMounts, APath);
        return mount ? mount->Kind : mkLocalDisk;
    };

    TKvDrives drives;
    auto add = [&](const std::string& APath, TKvMountKind AKind) {
        if (AKind == mkPseudo)
            return;
        for (const TKvDriveInfo& drive : drives)
            if (drive.Path == APath)
                return;
        drives.push_back({APath, DriveTypeName(AKind), AKind});
    };
    add("/", kindAt("/") == mkPseudo ? mkLocalDisk : kindAt("/"));
    if (AHome.size() > 1 && AHome.front() == '/') {
        std::string home = AHome;
        while (home.size() > 1 && home.back() == '/')
            home.pop_back();
        add(home, kindAt(home));
    }
    for (const TKvMount& mount : AMounts) {
        // Stacked mounts: the one on top says what the place is.
        auto top = MountOf(AMounts, mount.MountPoint);
        if (!top || top->Kind == mkPseudo)
            continue;
        if (AIsFolder && top->Kind != mkNetwork && safeToAsk(mount.MountPoint) &&
            !AIsFolder(mount.MountPoint))
            continue;
        add(mount.MountPoint, top->Kind);
    }
    return drives;
}

TKvDrives ListDrives() {
    const char* home = std::getenv("HOME");
    return DrivesFromMounts(ReadMounts(), home ? home : "", IsExistingFolder);
}

} // namespace kv
