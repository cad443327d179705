#include "Kv.Platform.Trash.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "Kv.Platform.Folders.h"
#include "Kv.Platform.Mounts.h"

namespace kv {

namespace {

struct TItem {
    std::string Path;    // absolute, as the caller named it; recorded for the home trash
    std::string RealDir; // the containing folder with its links resolved
    std::string Name;    // the last component: bytes, not necessarily UTF-8
    dev_t Device = 0;    // of the containing folder, where the rename happens
};

// A trash folder (holding files/ and info/) and the folder its recorded paths are relative to.
struct TTrashDir {
    std::string Dir;
    std::string TopDir; // empty for the home trash, which records absolute paths
};

class TFd {
public:
    explicit TFd(int AFd = -1) : FFd(AFd) {}
    ~TFd() {
        if (FFd >= 0)
            ::close(FFd);
    }
    TFd(const TFd&) = delete;
    TFd& operator=(const TFd&) = delete;
    int Get() const { return FFd; }

private:
    int FFd;
};

std::string Join(const std::string& ADir, const std::string& AName) {
    return ADir == "/" ? "/" + AName : ADir + "/" + AName;
}

std::string ParentOf(const std::string& APath) {
    auto slash = APath.find_last_of('/');
    return slash == 0 || slash == std::string::npos ? "/" : APath.substr(0, slash);
}

int LocateItem(const std::string& APath, TItem& AItem) {
    if (APath.empty())
        return ENOENT;
    std::string absolute = APath;
    if (absolute[0] != '/') {
        char cwd[PATH_MAX];
        if (!::getcwd(cwd, sizeof cwd))
            return errno;
        absolute = std::string(cwd) + "/" + absolute;
    }
    // Drop empty and "." parts only: ".." cannot be resolved on the text when links are involved.
    std::vector<std::string> parts;
    for (size_t start = 0; start < absolute.size();) {
        size_t slash = absolute.find('/', start);
        if (slash == std::string::npos)
            slash = absolute.size();
        std::string part = absolute.substr(start, slash - start);
        if (!part.empty() && part != ".")
            parts.push_back(std::move(part));
        start = slash + 1;
    }
    if (parts.empty())
        return EBUSY; // the root folder
    if (parts.back() == "..")
        return EINVAL;
    AItem.Name = parts.back();
    std::string dir;
    for (size_t i = 0; i + 1 < parts.size(); ++i)
        dir += "/" + parts[i];
    if (dir.empty())
        dir = "/";
    AItem.Path = Join(dir, AItem.Name);

    char* real = ::realpath(dir.c_str(), nullptr);
    if (!real)
        return errno;
    AItem.RealDir = real;
    std::free(real);
    struct stat st {};
    if (::lstat(Join(AItem.RealDir, AItem.Name).c_str(), &st) != 0)
        return errno;
    if (::stat(AItem.RealDir.c_str(), &st) != 0)
        return errno;
    AItem.Device = st.st_dev;
    return 0;
}

std::string HomeTrashPath() {
    return UserDataHome() + "/Trash";
}

// The home trash may not exist yet: the nearest existing folder on its way tells its device
// and mount.
std::optional<std::string> NearestExisting(std::string APath, dev_t* ADevice = nullptr) {
    for (;;) {
        struct stat st {};
        if (::stat(APath.c_str(), &st) == 0) {
            if (ADevice)
                *ADevice = st.st_dev;
            return APath;
        }
        if (APath == "/")
            return std::nullopt;
        APath = ParentOf(APath);
    }
}

bool CanWrite(const std::string& APath) {
    return ::access(APath.c_str(), W_OK | X_OK) == 0;
}

// The home trash belongs to the user, who may have made it a link to another folder.
int HomeTrash(bool ACreate, TTrashDir& ATrash) {
    ATrash = {HomeTrashPath(), {}};
    if (ACreate) {
        if (int error = MakeFolderChain(ATrash.Dir, 0700))
            return error;
    }
    struct stat st {};
    if (::stat(ATrash.Dir.c_str(), &st) != 0) {
        if (errno != ENOENT)
            return errno;
        auto nearest = NearestExisting(ATrash.Dir);
        return nearest && CanWrite(*nearest) ? 0 : EACCES;
    }
    if (!S_ISDIR(st.st_mode))
        return ENOTDIR;
    return CanWrite(ATrash.Dir) ? 0 : errno;
}

// A trash below a top directory is shared ground: it counts only when it is a real folder
// that we own, so another user cannot plant a link or a folder of theirs there.
int OwnFolder(const std::string& APath, bool ACreate) {
    if (ACreate && ::mkdir(APath.c_str(), 0700) != 0 && errno != EEXIST)
        return errno;
    struct stat st {};
    if (::lstat(APath.c_str(), &st) != 0)
        return errno;
    if (!S_ISDIR(st.st_mode) || st.st_uid != ::getuid())
        return EPERM;
    return CanWrite(APath) ? 0 : errno;
}

int TopDirTrash(const std::string& ATopDir, bool ACreate, TTrashDir& ATrash) {
    std::string uid = std::to_string(::getuid());
    ATrash.TopDir = ATopDir;
    // $topdir/.Trash/$uid, only below an administrator's sticky .Trash that is not a link.
    std::string shared = Join(ATopDir, ".Trash");
    struct stat st {};
    if (::lstat(shared.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && (st.st_mode & S_ISVTX)) {
        ATrash.Dir = shared + "/" + uid;
        int error = OwnFolder(ATrash.Dir, ACreate);
        if (error == 0 || (error == ENOENT && !ACreate && CanWrite(shared)))
            return 0;
    }
    // Otherwise $topdir/.Trash-$uid.
    ATrash.Dir = Join(ATopDir, ".Trash-" + uid);
    int error = OwnFolder(ATrash.Dir, ACreate);
    if (error == ENOENT && !ACreate && CanWrite(ATopDir))
        return 0;
    return error;
}

bool MayHoldTopDirTrash(const TKvMount& AMount) {
    // A trash on a server or in a kernel file system would surprise everyone else using it.
    return AMount.Kind != mkNetwork && AMount.Kind != mkPseudo;
}

// Encoded as in URIs; "/" stays as it is.
std::string PercentEncode(const std::string& AText) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : AText) {
        bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                     c == '-' || c == '_' || c == '.' || c == '~' || c == '/';
        if (plain) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

std::string LocalTimeNow() {
    time_t now = ::time(nullptr);
    struct tm local {};
    ::localtime_r(&now, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
    return text;
}

// The name in files/; info/ holds it with ".trashinfo" added, which must still fit NAME_MAX.
std::string TrashName(const std::string& AName, int ANumber) {
    std::string suffix = ANumber == 1 ? "" : "." + std::to_string(ANumber);
    size_t limit = NAME_MAX - (sizeof ".trashinfo" - 1) - suffix.size();
    std::string base = AName;
    if (base.size() > limit) {
        size_t cut = limit;
        // Do not split a UTF-8 sequence (at most three continuation bytes back).
        for (int back = 0;
             back < 3 && cut > 0 && (static_cast<unsigned char>(base[cut]) & 0xC0) == 0x80; ++back)
            --cut;
        base.resize(cut);
    }
    return base + suffix;
}

bool WriteAll(int AFd, const std::string& AText) {
    size_t done = 0;
    while (done < AText.size()) {
        ssize_t n = ::write(AFd, AText.data() + done, AText.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

int OpenSubfolder(int ADirFd, const char* AName) {
    if (::mkdirat(ADirFd, AName, 0700) != 0 && errno != EEXIST)
        return -1;
    return ::openat(ADirFd, AName, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

int MoveInto(const TItem& AItem, const TTrashDir& ATrash) {
    // Only the home trash may be a link, and that is the user's own choice.
    TFd trash(::open(ATrash.Dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC |
                                             (ATrash.TopDir.empty() ? 0 : O_NOFOLLOW)));
    if (trash.Get() < 0)
        return errno;
    TFd files(OpenSubfolder(trash.Get(), "files"));
    if (files.Get() < 0)
        return errno;
    TFd info(OpenSubfolder(trash.Get(), "info"));
    if (info.Get() < 0)
        return errno;
    TFd parent(::open(AItem.RealDir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (parent.Get() < 0)
        return errno;

    std::string recorded = AItem.Path;
    if (!ATrash.TopDir.empty()) {
        // Relative to the top directory, so the entry still restores when the medium is
        // mounted somewhere else.
        recorded = AItem.RealDir == ATrash.TopDir
                       ? AItem.Name
                       : AItem.RealDir.substr(ATrash.TopDir == "/" ? 1 : ATrash.TopDir.size() + 1) +
                             "/" + AItem.Name;
    }
    std::string content =
        "[Trash Info]\nPath=" + PercentEncode(recorded) + "\nDeletionDate=" + LocalTimeNow() + "\n";

    for (int number = 1; number < 100000; ++number) {
        std::string name = TrashName(AItem.Name, number);
        std::string infoName = name + ".trashinfo";
        // The info file is made first and exclusively: it reserves the name among all programs
        // trashing at the same time.
        int fd = ::openat(info.Get(), infoName.c_str(),
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0) {
            if (errno == EEXIST)
                continue;
            return errno;
        }
        bool written = WriteAll(fd, content);
        int writeError = errno;
        if (::close(fd) != 0 && written) {
            written = false;
            writeError = errno;
        }
        if (!written) {
            ::unlinkat(info.Get(), infoName.c_str(), 0);
            return writeError;
        }
        // An item left in files/ without its info file must not be replaced.
        struct stat st {};
        if (::fstatat(files.Get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
            ::unlinkat(info.Get(), infoName.c_str(), 0);
            continue;
        }
        int result = ::renameat2(parent.Get(), AItem.Name.c_str(), files.Get(), name.c_str(),
                                 RENAME_NOREPLACE);
        // Some file systems refuse the flag; the name was checked free just above.
        if (result != 0 && (errno == EINVAL || errno == ENOSYS))
            result = ::renameat(parent.Get(), AItem.Name.c_str(), files.Get(), name.c_str());
        if (result == 0)
            return 0;
        int error = errno;
        ::unlinkat(info.Get(), infoName.c_str(), 0);
        if (error != EEXIST)
            return error;
    }
    return EEXIST;
}

bool IsMountPoint(const std::vector<TKvMount>& AMounts, const std::string& APath) {
    for (const auto& mount : AMounts)
        if (mount.MountPoint == APath)
            return true;
    return false;
}

bool OnHomeDevice(const TItem& AItem) {
    dev_t device = 0;
    return NearestExisting(HomeTrashPath(), &device) && device == AItem.Device;
}

} // namespace

bool CanTrash(const std::string& APath) {
    TItem item;
    if (LocateItem(APath, item) != 0)
        return false;
    auto mounts = ReadMounts();
    // A mount point cannot be renamed away.
    if (IsMountPoint(mounts, Join(item.RealDir, item.Name)))
        return false;
    auto mount = MountOf(mounts, item.RealDir);
    if (!mount)
        return false;
    TTrashDir trash;
    if (OnHomeDevice(item)) {
        // The same device through another mount (a bind mount) cannot rename into the home
        // trash; MoveToTrash then uses the mount's own trash.
        auto nearest = NearestExisting(HomeTrashPath());
        char* real = nearest ? ::realpath(nearest->c_str(), nullptr) : nullptr;
        auto homeMount = real ? MountOf(mounts, real) : std::nullopt;
        std::free(real);
        if (homeMount && homeMount->MountPoint == mount->MountPoint)
            return HomeTrash(false, trash) == 0;
    }
    return MayHoldTopDirTrash(*mount) && TopDirTrash(mount->MountPoint, false, trash) == 0;
}

int MoveToTrash(const std::string& APath) {
    TItem item;
    if (int error = LocateItem(APath, item))
        return error;
    TTrashDir trash;
    if (OnHomeDevice(item)) {
        int error = HomeTrash(true, trash);
        if (error == 0)
            error = MoveInto(item, trash);
        // EXDEV: the same device reached through another mount; that mount's own trash serves.
        if (error != EXDEV)
            return error;
    }
    auto mount = MountOf(item.RealDir);
    if (!mount || !MayHoldTopDirTrash(*mount))
        return ENOTSUP;
    if (int error = TopDirTrash(mount->MountPoint, true, trash))
        return error;
    return MoveInto(item, trash);
}

} // namespace kv
