#include "Kv.FileUtil.h"

#include <cerrno>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

#include "Kv.Platform.Folders.h"

namespace kv {

namespace {

bool WriteAllTo(int AFd, std::string_view ABytes) {
    size_t done = 0;
    while (done < ABytes.size()) {
        ssize_t n = ::write(AFd, ABytes.data() + done, ABytes.size() - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

bool IsBelowUsr(const std::string& AFolder) {
    return AFolder == "/usr" || AFolder.rfind("/usr/", 0) == 0;
}

} // namespace

std::string ChooseDataFolder(const std::string& AProgramFolder, const std::string& APerUserFolder) {
    // An installed program (marker beside it, or a system folder) keeps its files per user.
    if (IsBelowUsr(AProgramFolder))
        return APerUserFolder;
    struct stat st {};
    std::string marker = AProgramFolder + "/" + KPortableMarker;
    if (::lstat(marker.c_str(), &st) == 0)
        return APerUserFolder;
    return CanWriteIn(AProgramFolder) ? AProgramFolder : APerUserFolder;
}

std::string DataFolder() {
    static std::once_flag once;
    static std::string folder;
    std::call_once(once, [] { folder = ChooseDataFolder(ProgramFolder(), UserConfigFolder()); });
    return folder;
}

bool CanWriteIn(const std::string& AFolder) {
    std::string probe = AFolder + "/.kolvan-write-test-" + std::to_string(::getpid());
    int fd = ::open(probe.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return false;
    ::close(fd);
    return ::unlink(probe.c_str()) == 0;
}

bool SaveBytesAtomic(const std::string& APath, std::string_view ABytes, mode_t ANewFileMode) {
    std::string folder = FolderOfPath(APath);
    if (MakeFolderChain(folder) != 0)
        return false;
    std::string temporary = APath + ".tmp";
    int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW,
                    ANewFileMode);
    if (fd < 0)
        return false;
    // Keep the permissions of the file being replaced: a user who made it private meant it.
    struct stat old {};
    struct stat now {};
    if (::stat(APath.c_str(), &old) == 0)
        (void)::fchmod(fd, old.st_mode & 07777);
    else if (::fstat(fd, &now) == 0 && (now.st_mode & 07777 & ~ANewFileMode) != 0)
        // A ".tmp" left by a crash keeps the mode it was made with; it must not be wider.
        (void)::fchmod(fd, now.st_mode & 07777 & ANewFileMode);
    bool written = WriteAllTo(fd, ABytes) && ::fsync(fd) == 0;
    written = (::close(fd) == 0) && written;
    if (!written || ::rename(temporary.c_str(), APath.c_str()) != 0) {
        ::unlink(temporary.c_str());
        return false;
    }
    // The rename itself is durable only once the folder is flushed.
    int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        (void)::fsync(dir);
        ::close(dir);
    }
    return true;
}

bool SaveTextAtomic(const std::string& APath, std::string_view AText, mode_t ANewFileMode) {
    return SaveBytesAtomic(APath, AText, ANewFileMode);
}

bool CreateFileWith(const std::string& APath, std::string_view ABytes, mode_t AMode) {
    int fd = ::open(APath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, AMode);
    if (fd < 0)
        return false;
    bool written = WriteAllTo(fd, ABytes) && ::fsync(fd) == 0;
    written = (::close(fd) == 0) && written;
    if (!written)
        ::unlink(APath.c_str());
    return written;
}

bool LoadText(const std::string& APath, std::string& AText) {
    AText.clear();
    int fd = ::open(APath.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return false;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return false;
    }
    std::string text;
    char buffer[65536];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            ::close(fd);
            return false;
        }
        if (n == 0)
            break;
        text.append(buffer, static_cast<size_t>(n));
    }
    ::close(fd);
    AText = std::move(text);
    return true;
}

} // namespace kv
