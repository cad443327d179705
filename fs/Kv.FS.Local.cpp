#include "Kv.FS.Local.h"

#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <functional>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <vector>

#include "Kv.Platform.Errors.h"
#include "Kv.Platform.Files.h"
#include "Kv.Platform.Folders.h"
#include "Kv.Platform.Trash.h"

namespace kv {

namespace {

[[noreturn]] void RaiseErrno(const std::string& APath, int AError) {
    if (AError == EXDEV)
        throw EKvCrossDevice(APath + ": " + ErrorText(AError));
    throw EKvFsError(APath + ": " + ErrorText(AError));
}

TKvDateTime ModifiedOf(const struct stat& AStat) {
    return DateTimeFromUnix(AStat.st_mtim.tv_sec, AStat.st_mtim.tv_nsec);
}

// False when the path is no link or cannot be read.
bool ReadLinkAt(int ADirFd, const char* APath, std::string& ATarget) {
    std::vector<char> buffer(256);
    for (;;) {
        ssize_t n = ::readlinkat(ADirFd, APath, buffer.data(), buffer.size());
        if (n < 0)
            return false;
        if (static_cast<size_t>(n) < buffer.size()) {
            ATarget.assign(buffer.data(), static_cast<size_t>(n));
            return true;
        }
        buffer.resize(buffer.size() * 2);
    }
}

// AStat is what lstat saw; for a link the target decides folder, size and time, so a link to
// a folder opens like a folder and a dangling link is a file link.
TKvFileEntry EntryOf(std::string AName, const struct stat& AStat, int ADirFd, const char* AAtName) {
    TKvFileEntry entry;
    entry.IsHidden = !AName.empty() && AName[0] == '.';
    entry.Name = std::move(AName);
    const struct stat* info = &AStat;
    struct stat target {};
    if (S_ISLNK(AStat.st_mode)) {
        entry.IsLink = true;
        ReadLinkAt(ADirFd, AAtName, entry.LinkTarget);
        if (::fstatat(ADirFd, AAtName, &target, 0) == 0)
            info = &target;
        else
            entry.LinkBroken = true;
    }
    mode_t mode = info->st_mode;
    entry.IsDir = S_ISDIR(mode);
    entry.IsSystem = S_ISFIFO(mode) || S_ISSOCK(mode) || S_ISCHR(mode) || S_ISBLK(mode);
    entry.IsReadOnly = (mode & S_IWUSR) == 0;
    entry.Size = S_ISREG(mode) ? info->st_size : 0;
    entry.Modified = ModifiedOf(*info);
    entry.Mode = mode & 07777;
    return entry;
}

// Returns 0 or the errno that explains why the folder could not be read.
int ListInto(const std::string& APath, const IKvCancelToken& AToken, TKvFileEntries& AEntries) {
    AEntries.clear();
    int fd = ::open(APath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return errno;
    DIR* dir = ::fdopendir(fd);
    if (!dir) {
        int error = errno;
        ::close(fd);
        return error;
    }
    int error = 0;
    try {
        for (;;) {
            errno = 0;
            struct dirent* item = ::readdir(dir);
            if (!item) {
                error = errno;
                break;
            }
            const char* name = item->d_name;
            if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0)))
                continue;
            struct stat st {};
            if (::fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
                continue; // removed while we read the folder
            AEntries.push_back(EntryOf(name, st, fd, name));
            if (AEntries.size() % 256 == 0)
                CheckCancelled(AToken);
        }
    } catch (...) {
        ::closedir(dir);
        AEntries.clear();
        throw;
    }
    ::closedir(dir);
    if (error != 0)
        AEntries.clear();
    return error;
}

// Finish closes the file and reports what close() says: a quota or a network file system may
// report a failed write only there. Without Finish the file is closed quietly.
class TKvLocalStream final : public TKvFinishableStream {
public:
    TKvLocalStream(int AFd, std::string APath, const struct stat& AOpened)
        : FFd(AFd), FPath(std::move(APath)), FOpened(AOpened) {}
    ~TKvLocalStream() override {
        if (FFd >= 0)
            ::close(FFd);
    }

    int Fd() const { return FFd; }
    const std::string& Path() const { return FPath; }
    // What fstat said when the file was opened.
    const struct stat& Opened() const { return FOpened; }

    int64_t Read(void* ABuffer, int64_t ACount) override {
        for (;;) {
            ssize_t n = ::read(FFd, ABuffer, static_cast<size_t>(ACount));
            if (n >= 0)
                return n;
            if (errno != EINTR)
                RaiseErrno(FPath, errno);
        }
    }

    int64_t Write(const void* ABuffer, int64_t ACount) override {
        for (;;) {
            ssize_t n = ::write(FFd, ABuffer, static_cast<size_t>(ACount));
            if (n >= 0)
                return n;
            if (errno != EINTR)
                RaiseErrno(FPath, errno);
        }
    }

    int64_t Seek(int64_t AOffset, TKvSeekOrigin AOrigin) override {
        int whence = AOrigin == soBegin ? SEEK_SET : AOrigin == soCurrent ? SEEK_CUR : SEEK_END;
        off_t at = ::lseek(FFd, AOffset, whence);
        if (at < 0)
            RaiseErrno(FPath, errno);
        return at;
    }

    int64_t Size() override {
        struct stat st {};
        if (::fstat(FFd, &st) != 0)
            RaiseErrno(FPath, errno);
        return st.st_size;
    }

    void Finish() override {
        if (FFd < 0)
            return;
        const int fd = FFd;
        FFd = -1; // closed even when close() fails: the descriptor is gone either way
        // EINTR leaves the file closed on Linux, and the data handed over.
        if (::close(fd) != 0 && errno != EINTR)
            RaiseErrno(FPath, errno);
    }

private:
    int FFd;
    std::string FPath;
    struct stat FOpened;
};

void WriteAllAt(TKvLocalStream& AOut, const char* AData, int64_t ACount, int64_t AOffset) {
    while (ACount > 0) {
        ssize_t n = ::pwrite(AOut.Fd(), AData, static_cast<size_t>(ACount), AOffset);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            RaiseErrno(AOut.Path(), errno);
        }
        AData += n;
        ACount -= n;
        AOffset += n;
    }
}

// Opens without blocking, then refuses anything that is not a regular file: reading a FIFO
// or a device could block a worker forever, out of reach of its cancel token.
int OpenRegular(const std::string& APath, int AFlags, int& AError, struct stat& AStat) {
    int fd = ::open(APath.c_str(), AFlags | O_CLOEXEC | O_NONBLOCK, 0666);
    if (fd < 0) {
        AError = errno;
        return -1;
    }
    struct stat& st = AStat;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        AError = 0;
        return -1;
    }
    // O_NONBLOCK means nothing for a regular file, so it can stay.
    return fd;
}

TKvStreamPtr OpenStream(const std::string& APath, int AFlags) {
    int error = 0;
    struct stat opened {};
    int fd = OpenRegular(APath, AFlags, error, opened);
    if (fd >= 0)
        return std::make_unique<TKvLocalStream>(fd, APath, opened);
    // Opening a FIFO without a reader for writing fails with a puzzling "No such device".
    struct stat st {};
    bool special = error == ENXIO && ::stat(APath.c_str(), &st) == 0 && !S_ISREG(st.st_mode);
    if (error != 0 && !special)
        RaiseErrno(APath, error);
    throw EKvFsError(APath + ": not a regular file");
}

std::string StripTrailingSlashes(std::string APath) {
    while (APath.size() > 1 && APath.back() == '/')
        APath.pop_back();
    return APath;
}

// The device of APath, or of its nearest existing ancestor for a path still to be made.
bool DeviceOf(std::string APath, dev_t& ADevice) {
    for (;;) {
        struct stat st {};
        if (::lstat(APath.c_str(), &st) == 0) {
            ADevice = st.st_dev;
            return true;
        }
        auto slash = APath.find_last_of('/');
        if (slash == std::string::npos || APath == "/")
            return false;
        APath = slash == 0 ? "/" : APath.substr(0, slash);
    }
}

} // namespace

std::string TKvLocalFileSystem::Normalize(const std::string& APath) const {
    if (APath.empty())
        return {};
    std::string input = APath;
    if (input[0] != '/') {
        std::vector<char> cwd(4096);
        while (!::getcwd(cwd.data(), cwd.size()) && errno == ERANGE)
            cwd.resize(cwd.size() * 2);
        input = std::string(cwd.data()) + "/" + input;
    }
    std::vector<std::string_view> parts;
    std::string_view rest(input);
    while (!rest.empty()) {
        auto slash = rest.find('/');
        std::string_view part = rest.substr(0, slash);
        rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
        if (part.empty() || part == ".")
            continue;
        if (part == "..") {
            if (!parts.empty())
                parts.pop_back();
            continue;
        }
        parts.push_back(part);
    }
    if (parts.empty())
        return "/";
    std::string out;
    for (auto part : parts) {
        out += '/';
        out += part;
    }
    return out;
}

std::string TKvLocalFileSystem::Resolve(const std::string& ABaseDir, const std::string& AInput) const {
    auto first = AInput.find_first_not_of(" \t\r\n");
    if (first == std::string::npos)
        return Normalize(ABaseDir);
    auto last = AInput.find_last_not_of(" \t\r\n");
    std::string input = AInput.substr(first, last - first + 1);
    if (input == "~" || input.rfind("~/", 0) == 0)
        return Normalize(HomeFolder() + input.substr(1));
    if (input[0] == '/')
        return Normalize(input);
    return Normalize(Join(ABaseDir, input));
}

std::string TKvLocalFileSystem::Join(const std::string& ADir, const std::string& AName) const {
    if (ADir.empty())
        return AName;
    return ADir.back() == '/' ? ADir + AName : ADir + "/" + AName;
}

bool TKvLocalFileSystem::IsRoot(const std::string& APath) const {
    return APath.find_first_not_of('/') == std::string::npos;
}

std::string TKvLocalFileSystem::ParentOf(const std::string& APath) const {
    if (IsRoot(APath))
        return {};
    std::string path = StripTrailingSlashes(APath);
    auto slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return Normalize(".");
    return slash == 0 ? "/" : Normalize(path.substr(0, slash));
}

std::string TKvLocalFileSystem::NameOf(const std::string& APath) const {
    if (IsRoot(APath))
        return {};
    std::string path = StripTrailingSlashes(APath);
    auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool TKvLocalFileSystem::SamePath(const std::string& A, const std::string& B) const {
    return StripTrailingSlashes(A) == StripTrailingSlashes(B);
}

TKvFileEntries TKvLocalFileSystem::List(const std::string& APath, const IKvCancelToken& AToken) {
    TKvFileEntries entries;
    int error = ListInto(APath, AToken, entries);
    if (error != 0)
        RaiseErrno(APath, error);
    return entries;
}

bool TKvLocalFileSystem::TryList(const std::string& APath, const IKvCancelToken& AToken,
                                 TKvFileEntries& AEntries) {
    return ListInto(APath, AToken, AEntries) == 0;
}

bool TKvLocalFileSystem::CanRead(const std::string& APath) {
    int error = 0;
    struct stat st {};
    int fd = OpenRegular(APath, O_RDONLY, error, st);
    if (fd < 0)
        return false;
    ::close(fd);
    return true;
}

bool TKvLocalFileSystem::Stat(const std::string& APath, TKvFileEntry& AEntry) {
    AEntry = {};
    std::string path = StripTrailingSlashes(APath);
    struct stat st {};
    if (path.empty() || ::lstat(path.c_str(), &st) != 0)
        return false;
    AEntry = EntryOf(NameOf(path), st, AT_FDCWD, path.c_str());
    return true;
}

TKvStreamPtr TKvLocalFileSystem::OpenRead(const std::string& APath) { return OpenStream(APath, O_RDONLY); }

TKvStreamPtr TKvLocalFileSystem::OpenWrite(const std::string& APath) {
    return OpenStream(APath, O_WRONLY | O_CREAT | O_TRUNC);
}

TKvStreamPtr TKvLocalFileSystem::OpenWriteAt(const std::string& APath, int64_t AOffset) {
    TKvStreamPtr stream = OpenStream(APath, O_WRONLY);
    auto& local = static_cast<TKvLocalStream&>(*stream);
    if (::ftruncate(local.Fd(), AOffset) != 0)
        RaiseErrno(APath, errno);
    local.Seek(AOffset, soBegin);
    return stream;
}

void TKvLocalFileSystem::MakeDir(const std::string& APath) {
    std::string path = StripTrailingSlashes(APath);
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode))
            return;
        RaiseErrno(path, EEXIST);
    }
    std::string parent = ParentOf(path);
    if (!parent.empty() && ::stat(parent.c_str(), &st) != 0)
        MakeDir(parent);
    if (::mkdir(path.c_str(), 0777) != 0) {
        int error = errno;
        // Someone else may have made it meanwhile; that is fine.
        if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
            return;
        RaiseErrno(path, error);
    }
}

void TKvLocalFileSystem::DeleteFileAt(const std::string& APath) {
    if (::unlink(APath.c_str()) != 0)
        RaiseErrno(APath, errno);
}

void TKvLocalFileSystem::DeleteDirAt(const std::string& APath) {
    std::string path = StripTrailingSlashes(APath);
    struct stat st {};
    // A link to a folder goes as a link; its target's contents are never touched.
    bool isLink = ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
    int result = isLink ? ::unlink(path.c_str()) : ::rmdir(path.c_str());
    if (result != 0)
        RaiseErrno(path, errno);
}

void TKvLocalFileSystem::RenamePath(const std::string& AOld, const std::string& ANew, bool AOverwrite) {
    if (AOverwrite) {
        if (::rename(AOld.c_str(), ANew.c_str()) != 0)
            RaiseErrno(AOld, errno);
        return;
    }
    int error = RenameNoReplace(AOld, ANew);
    if (error != 0)
        RaiseErrno(AOld, error);
}

void TKvLocalFileSystem::SetModified(const std::string& APath, TKvDateTime AWhen) {
    if (AWhen == 0)
        return;
    int64_t seconds = 0, nanoseconds = 0;
    if (!UnixFromDateTime(AWhen, seconds, nanoseconds))
        return;
    struct timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;
    times[1].tv_sec = static_cast<time_t>(seconds);
    times[1].tv_nsec = static_cast<long>(nanoseconds);
    if (::utimensat(AT_FDCWD, APath.c_str(), times, 0) != 0)
        RaiseErrno(APath, errno);
}

bool CopyLocalTime(const std::string& ASource, const std::string& ATarget) {
    struct stat st {};
    if (::stat(ASource.c_str(), &st) != 0)
        return false;
    struct timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;
    times[1] = st.st_mtim;
    return ::utimensat(AT_FDCWD, ATarget.c_str(), times, 0) == 0;
}

bool TKvLocalFileSystem::CanRenameDirect(const std::string& AOld, const std::string& ANew) {
    dev_t oldDevice{}, newDevice{};
    return DeviceOf(StripTrailingSlashes(AOld), oldDevice) && DeviceOf(ParentOf(ANew), newDevice) &&
           oldDevice == newDevice;
}

bool TKvLocalFileSystem::CanRecycle(const std::string& APath) { return CanTrash(StripTrailingSlashes(APath)); }

void TKvLocalFileSystem::Recycle(const std::string& APath) {
    std::string path = StripTrailingSlashes(APath);
    struct stat st {};
    // Gone meanwhile (another program removed it): say so, not that the Trash is missing.
    if (::lstat(path.c_str(), &st) != 0)
        RaiseErrno(path, errno);
    if (!CanTrash(path))
        throw EKvFsError(path + ": the Trash is not available here");
    int code = MoveToTrash(path);
    if (code != 0)
        throw EKvFsError(path + ": could not move to the Trash: " + ErrorText(code));
}

int64_t TKvLocalFileSystem::FreeSpace(const std::string& APath) {
    struct statvfs info {};
    if (::statvfs(APath.c_str(), &info) != 0)
        return -1;
    return static_cast<int64_t>(info.f_bavail) * static_cast<int64_t>(info.f_frsize);
}

bool TKvLocalFileSystem::SameFile(const std::string& A, const std::string& B) {
    struct stat a {}, b {};
    return ::stat(A.c_str(), &a) == 0 && ::stat(B.c_str(), &b) == 0 && a.st_dev == b.st_dev &&
           a.st_ino == b.st_ino;
}

bool TKvLocalFileSystem::Contains(const std::string& AFolder, const std::string& APath) {
    struct stat folder {};
    if (::stat(AFolder.c_str(), &folder) != 0)
        return false;
    std::string start = StripTrailingSlashes(APath);
    int fd = -1;
    for (;;) {
        fd = ::open(start.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (fd >= 0 || IsRoot(start) || start.empty())
            break;
        start = ParentOf(start);
    }
    // Up through the real parents: ".." of an opened folder is where it really is.
    for (int depth = 0; fd >= 0 && depth < 4096; ++depth) {
        struct stat here {};
        if (::fstat(fd, &here) != 0)
            break;
        if (here.st_dev == folder.st_dev && here.st_ino == folder.st_ino) {
            ::close(fd);
            return true;
        }
        int parent = ::openat(fd, "..", O_PATH | O_DIRECTORY | O_CLOEXEC);
        struct stat above {};
        bool atTop = parent < 0 || ::fstat(parent, &above) != 0 ||
                     (above.st_dev == here.st_dev && above.st_ino == here.st_ino);
        ::close(fd);
        fd = parent;
        if (atTop)
            break;
    }
    if (fd >= 0)
        ::close(fd);
    return false;
}

bool TKvLocalFileSystem::GetMode(const std::string& APath, uint32_t& AMode) {
    struct stat st {};
    if (::stat(APath.c_str(), &st) != 0)
        RaiseErrno(APath, errno);
    AMode = st.st_mode & 07777;
    return true;
}

void TKvLocalFileSystem::SetMode(const std::string& APath, uint32_t AMode) {
    if (::chmod(APath.c_str(), static_cast<mode_t>(AMode & 07777)) != 0)
        RaiseErrno(APath, errno);
}

namespace {

// The kernel copies without the data passing through here (and may share blocks, as cp does).
// False, with nothing written, where it cannot: another file system, an old kernel.
bool CopyInKernel(TKvLocalStream& AIn, TKvLocalStream& AOut, int64_t AStep,
                  const std::function<void(int64_t)>& AProgress) {
    bool first = true;
    for (;;) {
        ssize_t n =
            ::copy_file_range(AIn.Fd(), nullptr, AOut.Fd(), nullptr, static_cast<size_t>(AStep), 0);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (first && (errno == EXDEV || errno == ENOSYS || errno == EINVAL ||
                          errno == EOPNOTSUPP || errno == EBADF || errno == EPERM))
                return false;
            RaiseErrno(errno == ENOSPC || errno == EDQUOT || errno == EFBIG ? AOut.Path()
                                                                            : AIn.Path(),
                       errno);
        }
        if (n == 0)
            return true;
        first = false;
        AProgress(n);
    }
}

} // namespace

bool CopyLocalData(TKvStream& AIn, TKvStream& AOut, char* ABuffer, int64_t ABufferSize,
                   const std::function<void(int64_t)>& AProgress) {
    auto* in = dynamic_cast<TKvLocalStream*>(&AIn);
    auto* out = dynamic_cast<TKvLocalStream*>(&AOut);
    if (!in || !out)
        return false;
    const struct stat& st = in->Opened();
    // Fewer blocks than bytes: there are holes (or the file system packs tails; then the
    // extents below simply cover the whole file).
    if (st.st_blocks * 512 >= st.st_size)
        return CopyInKernel(*in, *out, ABufferSize * 8, AProgress);
    int64_t size = st.st_size;
    int64_t at = 0;
    while (at < size) {
        off_t data = ::lseek(in->Fd(), at, SEEK_DATA);
        if (data < 0) {
            if (errno == ENXIO) {
                data = size; // only a hole up to the end
            } else if (at == 0) {
                return false; // no SEEK_DATA here: nothing written yet, the plain copy goes on
            } else {
                RaiseErrno(in->Path(), errno);
            }
        }
        if (data > at) {
            AProgress(std::min<int64_t>(data, size) - at);
            at = data;
        }
        if (at >= size)
            break;
        off_t hole = ::lseek(in->Fd(), at, SEEK_HOLE);
        if (hole < 0)
            hole = size;
        while (at < hole) {
            ssize_t n = ::pread(in->Fd(), ABuffer,
                                static_cast<size_t>(std::min<int64_t>(ABufferSize, hole - at)), at);
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                RaiseErrno(in->Path(), errno);
            }
            if (n == 0) {
                size = hole = at; // shortened meanwhile: the copy ends here
                break;
            }
            WriteAllAt(*out, ABuffer, n, at);
            at += n;
            AProgress(n);
        }
    }
    // A hole at the end has no data to write: the size alone makes it.
    if (::ftruncate(out->Fd(), size) != 0)
        RaiseErrno(out->Path(), errno);
    return true;
}

int64_t LocalAllocatedBytes(const std::string& APath, int64_t AFallback) {
    struct stat st {};
    if (::stat(APath.c_str(), &st) != 0)
        return AFallback;
    return std::min<int64_t>(static_cast<int64_t>(st.st_blocks) * 512, st.st_size);
}

IKvFileSystemPtr LocalFs() {
    static const IKvFileSystemPtr instance = std::make_shared<TKvLocalFileSystem>();
    return instance;
}

bool TKvLocalFileSystem::ReadLink(const std::string& APath, std::string& ATarget) {
    ATarget.clear();
    std::string path = StripTrailingSlashes(APath);
    if (ReadLinkAt(AT_FDCWD, path.c_str(), ATarget))
        return true;
    if (errno != EINVAL && errno != ENOENT && errno != ENOTDIR)
        RaiseErrno(path, errno);
    return false;
}

void TKvLocalFileSystem::MakeLink(const std::string& APath, const std::string& ATarget) {
    std::string path = StripTrailingSlashes(APath);
    if (::symlink(ATarget.c_str(), path.c_str()) != 0)
        RaiseErrno(path, errno);
}

} // namespace kv
