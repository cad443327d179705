#include <gtest/gtest.h>

#include "Kv.Platform.Mounts.h"
#include "KvTestSupport.h"

namespace kv {
namespace {

struct TLineCase {
    const char* Line;
    const char* MountPoint;
    const char* FsType;
    const char* Source;
    TKvMountKind Kind;
};

TEST(Mounts, ParsesAndClassifiesEachLine) {
    const TLineCase cases[] = {
        {"28 1 254:0 / / rw,relatime shared:1 - ext4 /dev/vda rw", "/", "ext4", "/dev/vda",
         mkLocalDisk},
        // Blank, tab, backslash and newline escaped in the mount point and the source.
        {"60 28 8:17 / /mnt/my\\040disk\\011x\\134y\\012z rw - ext4 /dev/my\\040dev rw",
         "/mnt/my disk\tx\\y\nz", "ext4", "/dev/my dev", mkLocalDisk},
        // No optional fields; several of them.
        {"22 28 0:21 / /proc rw,relatime - proc proc rw", "/proc", "proc", "proc", mkPseudo},
        {"23 28 0:22 / /sys rw shared:7 master:2 propagate_from:3 - sysfs sysfs rw", "/sys",
         "sysfs", "sysfs", mkPseudo},
        {"40 23 0:39 / /sys/fs/cgroup rw - cgroup2 cgroup2 rw", "/sys/fs/cgroup", "cgroup2",
         "cgroup2", mkPseudo},
        {"41 24 0:25 / /dev/pts rw - devpts devpts rw", "/dev/pts", "devpts", "devpts", mkPseudo},
        {"42 24 0:26 / /dev/mqueue rw - mqueue mqueue rw", "/dev/mqueue", "mqueue", "mqueue",
         mkPseudo},
        {"43 23 0:12 / /sys/kernel/tracing rw - tracefs tracefs rw", "/sys/kernel/tracing",
         "tracefs", "tracefs", mkPseudo},
        {"44 28 0:50 / /var/lib/docker/overlay2/x/merged rw - overlay overlay rw,lowerdir=/a",
         "/var/lib/docker/overlay2/x/merged", "overlay", "overlay", mkPseudo},
        {"45 28 7:3 / /snap/core/1 ro - squashfs /dev/loop3 ro", "/snap/core/1", "squashfs",
         "/dev/loop3", mkPseudo},
        {"46 24 0:6 / /dev rw - devtmpfs udev rw", "/dev", "devtmpfs", "udev", mkPseudo},
        {"47 23 0:7 / /sys/kernel/debug rw - debugfs debugfs rw", "/sys/kernel/debug", "debugfs",
         "debugfs", mkPseudo},
        {"48 28 0:40 / /proc/sys/fs/binfmt_misc rw - autofs systemd-1 rw",
         "/proc/sys/fs/binfmt_misc", "autofs", "systemd-1", mkPseudo},
        // tmpfs is pseudo below /run, /dev and /sys, RAM elsewhere.
        {"50 28 0:27 / /run rw - tmpfs tmpfs rw", "/run", "tmpfs", "tmpfs", mkPseudo},
        {"51 50 0:45 / /run/user/1000 rw - tmpfs tmpfs rw", "/run/user/1000", "tmpfs", "tmpfs",
         mkPseudo},
        {"52 24 0:28 / /dev/shm rw - tmpfs tmpfs rw", "/dev/shm", "tmpfs", "tmpfs", mkPseudo},
        {"53 23 0:29 / /sys/fs/cgroup rw - tmpfs tmpfs rw", "/sys/fs/cgroup", "tmpfs", "tmpfs",
         mkPseudo},
        {"54 28 0:30 / /tmp rw - tmpfs tmpfs rw", "/tmp", "tmpfs", "tmpfs", mkRam},
        {"55 28 0:31 / /running rw - tmpfs tmpfs rw", "/running", "tmpfs", "tmpfs", mkRam},
        // An overlay root is the system's disk (live session, container), not a pseudo mount.
        {"56 1 0:32 / / rw - overlay overlay rw", "/", "overlay", "overlay", mkLocalDisk},
        {"60 28 0:51 / /mnt/nfs rw - nfs server:/export rw", "/mnt/nfs", "nfs", "server:/export",
         mkNetwork},
        {"61 28 0:52 / /mnt/nfs4 rw - nfs4 server:/ rw", "/mnt/nfs4", "nfs4", "server:/",
         mkNetwork},
        {"62 28 0:53 / /mnt/share rw - cifs //server/share rw", "/mnt/share", "cifs",
         "//server/share", mkNetwork},
        {"63 28 0:54 / /mnt/s3 rw - smb3 //server/s rw", "/mnt/s3", "smb3", "//server/s",
         mkNetwork},
        {"64 28 0:55 / /home/u/remote rw - fuse.sshfs u@host:/ rw", "/home/u/remote", "fuse.sshfs",
         "u@host:/", mkNetwork},
        // Network wins over the removable place.
        {"65 28 0:56 / /media/u/share rw - cifs //nas/x rw", "/media/u/share", "cifs", "//nas/x",
         mkNetwork},
        {"70 28 8:33 / /media/u/STICK rw - vfat /dev/sdc1 rw", "/media/u/STICK", "vfat",
         "/dev/sdc1", mkRemovable},
        {"71 50 8:34 / /run/media/u/My\\040Disk rw - exfat /dev/sdd1 rw", "/run/media/u/My Disk",
         "exfat", "/dev/sdd1", mkRemovable},
        // ntfs-3g on a stick is FUSE without a subtype: not a network mount.
        {"72 28 8:35 / /media/u/NTFS rw - fuseblk /dev/sde1 rw", "/media/u/NTFS", "fuseblk",
         "/dev/sde1", mkRemovable},
        {"73 28 8:36 / /mediafiles rw - ext4 /dev/sdf1 rw", "/mediafiles", "ext4", "/dev/sdf1",
         mkLocalDisk},
        // Optical wins over the removable place.
        {"80 28 11:0 / /media/u/CDROM ro - iso9660 /dev/sr0 ro", "/media/u/CDROM", "iso9660",
         "/dev/sr0", mkOptical},
        {"81 28 11:0 / /mnt/dvd ro - udf /dev/sr1 ro", "/mnt/dvd", "udf", "/dev/sr1", mkOptical},
        {"90 28 8:2 / /home rw - btrfs /dev/sda2 rw", "/home", "btrfs", "/dev/sda2", mkLocalDisk},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Line);
        auto mounts = ParseMountInfo(std::string(c.Line) + "\n");
        ASSERT_EQ(mounts.size(), 1u);
        EXPECT_EQ(mounts[0].MountPoint, c.MountPoint);
        EXPECT_EQ(mounts[0].FsType, c.FsType);
        EXPECT_EQ(mounts[0].Source, c.Source);
        EXPECT_EQ(mounts[0].Kind, c.Kind);
    }
    auto ids = ParseMountInfo(cases[0].Line);
    ASSERT_EQ(ids.size(), 1u);
    EXPECT_EQ(ids[0].Id, 28);
    EXPECT_EQ(ids[0].ParentId, 1);
}

TEST(Mounts, SkipsMalformedLinesAndKeepsTheRest) {
    auto mounts = ParseMountInfo("garbage\n"
                                 "1 2 3:4 / /no-separator rw ext4 /dev/x rw\n"
                                 "\n"
                                 "5 6 7:8 / relative rw - ext4 /dev/y rw\n"
                                 "9 1 8:1 / /ok rw - xfs /dev/z rw\n"
                                 "10 1 8:2 / /last rw - ext4 /dev/w rw"); // no final newline
    ASSERT_EQ(mounts.size(), 2u);
    EXPECT_EQ(mounts[0].MountPoint, "/ok");
    EXPECT_EQ(mounts[1].MountPoint, "/last");
}

TEST(Mounts, MountOfPicksTheMountHoldingThePath) {
    // Not in mount order: the kernel does not promise it.
    auto mounts = ParseMountInfo("3 2 0:40 / /home/u/nfs rw - nfs srv:/x rw\n"
                                 "2 1 8:2 / /home rw - ext4 /dev/home rw\n"
                                 "1 0 8:1 / / rw - ext4 /dev/root rw\n"
                                 "4 1 8:3 / /mnt/a\\040b rw - ext4 /dev/ab rw\n"
                                 "7 6 0:7 / /dev/shm rw - tmpfs third rw\n"
                                 "5 1 0:5 / /dev/shm rw - tmpfs first rw\n"
                                 "6 5 0:6 / /dev/shm rw - tmpfs second rw\n");
    struct {
        const char* Path;
        const char* Source; // of the expected mount
    } cases[] = {
        {"/", "/dev/root"},
        {"/etc/passwd", "/dev/root"},
        {"/home", "/dev/home"},
        {"/home/u/file", "/dev/home"},
        {"/home2/u", "/dev/root"},     // a prefix of the text but not of the components
        {"/home/u/nfsx", "/dev/home"}, // likewise one level deeper
        {"/home/u/nfs", "srv:/x"},     // the mount point itself
        {"/home/u/nfs/a/b", "srv:/x"}, // longest prefix
        {"/mnt/a b/c", "/dev/ab"},     // escaped mount point
        {"/mnt/a", "/dev/root"},
        {"/dev/shm/f", "third"}, // stacked at the same point: the top one
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Path);
        auto mount = MountOf(mounts, c.Path);
        ASSERT_TRUE(mount.has_value());
        EXPECT_EQ(mount->Source, c.Source);
    }
    EXPECT_FALSE(MountOf(mounts, "relative/path").has_value());
    EXPECT_FALSE(MountOf(mounts, "").has_value());
}

TEST(Mounts, AgreesWithFindmntOnThisSystem) {
    auto mounts = ReadMounts();
    ASSERT_FALSE(mounts.empty());
    for (std::string path :
         {std::string("/"), std::string("/proc/self/status"), std::string("/dev/shm"),
          std::string("/sys/fs/cgroup"), kv::test::TestRoot()}) {
        SCOPED_TRACE(path);
        // findmnt lists a stack of mounts on one point bottom first.
        std::string expected =
            kv::test::RunCommand("findmnt -n -r -o TARGET,FSTYPE -T '" + path + "' | tail -n 1");
        auto mount = MountOf(mounts, path);
        ASSERT_TRUE(mount.has_value());
        EXPECT_EQ(mount->MountPoint + " " + mount->FsType + "\n", expected);
    }
    EXPECT_EQ(MountOf("/proc/self/status")->Kind, mkPseudo);
}

} // namespace
} // namespace kv
