#include "Kv.FileUtil.h"

#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <mutex>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

#include "Kv.Log.h"
#include "Kv.Platform.Files.h"
#include "Kv.Platform.Folders.h"
#include "Kv.Platform.TempFiles.h"

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

bool IsExistingFolder(const std::string& APath) {
    struct stat st {};
    return !APath.empty() && ::stat(APath.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool CanWriteIn(const std::string& AFolder) {
    std::string probe = AFolder + "/.kolvan-write-test-" + std::to_string(::getpid());
    int fd = ::open(probe.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return false;
    ::close(fd);
    return ::unlink(probe.c_str()) == 0;
}

namespace {

// "<name>.kvsave-{GUID}.tmp" beside the target: unique per save, so two Kolvans saving one file
// never write into each other's temporary file, and recognisable, so a killed save's leftover
// is swept by the next one (a live one holds its lock and stays).
constexpr const char* KSaveInfix = ".kvsave-";
constexpr const char* KSaveSuffix = ".tmp";

} // namespace

bool SaveBytesAtomic(const std::string& APath, std::string_view ABytes, mode_t ANewFileMode,
                     mode_t AWidestMode) {
    std::string folder = FolderOfPath(APath);
    if (MakeFolderChain(folder) != 0)
        return false;
    std::string name = APath.substr(APath.find_last_of('/') + 1);
    SweepTempFiles(folder, name + KSaveInfix, KSaveSuffix);
    std::optional<TKvLockedTempFile> temporary;
    try {
        temporary.emplace(folder, name + KSaveInfix, KSaveSuffix);
    } catch (const std::exception&) {
        return false;
    }
    int fd = ::open(temporary->Path().c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        temporary->Remove();
        return false;
    }
    // Keep the permissions of the file being replaced (a user who made it private meant it),
    // but never wider than this kind of file may be.
    struct stat old {};
    mode_t mode = ::stat(APath.c_str(), &old) == 0 ? (old.st_mode & 07777 & AWidestMode)
                                                   : (ANewFileMode & ~CurrentUmask());
    bool written = ::fchmod(fd, mode) == 0 && WriteAllTo(fd, ABytes) && ::fsync(fd) == 0;
    written = (::close(fd) == 0) && written;
    // The lock is held until the rename: a sweep never takes a file that is being published.
    if (!written || ::rename(temporary->Path().c_str(), APath.c_str()) != 0) {
        temporary->Remove();
        return false;
    }
    temporary.reset();
    // The rename itself is durable only once the folder is flushed.
    int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        (void)::fsync(dir);
        ::close(dir);
    }
    return true;
}

bool SaveTextAtomic(const std::string& APath, std::string_view AText, mode_t ANewFileMode,
                    mode_t AWidestMode) {
    return SaveBytesAtomic(APath, AText, ANewFileMode, AWidestMode);
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
    return LoadSmallFile(APath, AText, SIZE_MAX) == frLoaded;
}

TKvFileRead LoadSmallFile(const std::string& APath, std::string& AText, size_t AMaxBytes) {
    AText.clear();
    int fd = ::open(APath.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return errno == ENOENT ? frMissing : frUnusable;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
        static_cast<uint64_t>(st.st_size) > AMaxBytes) {
        ::close(fd);
        return frUnusable;
    }
    std::string text;
    char buffer[65536];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            ::close(fd);
            return frUnusable;
        }
        if (n == 0)
            break;
        // The file may grow while it is read.
        if (text.size() + static_cast<size_t>(n) > AMaxBytes) {
            ::close(fd);
            return frUnusable;
        }
        text.append(buffer, static_cast<size_t>(n));
    }
    ::close(fd);
    AText = std::move(text);
    return frLoaded;
}

std::string SetAsideUnusable(const std::string& APath, const std::string& AWhat) {
    std::string kept = KeepUnusableFile(APath);
    if (kept.empty()) {
        Log(APath + " could not be read, nor kept aside; the defaults are used");
        return AWhat + " could not be read (" + APath + "); the defaults are used.";
    }
    Log(APath + " could not be read and was kept as " + kept);
    // The status line is narrow: the name says enough, the log has the whole path.
    return AWhat + " could not be read; kept as " + kept.substr(kept.find_last_of('/') + 1) + ".";
}

std::string KeepUnusableFile(const std::string& APath) {
    for (int number = 1; number <= 100; ++number) {
        std::string kept = APath + ".unreadable" + (number == 1 ? "" : "." + std::to_string(number));
        int error = RenameNoReplace(APath, kept);
        if (error == 0)
            return kept;
        if (error != EEXIST)
            return std::string();
    }
    return std::string();
}

} // namespace kv
