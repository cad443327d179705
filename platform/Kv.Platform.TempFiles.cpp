#include "Kv.Platform.TempFiles.h"

#include <cerrno>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace kv {

std::string NewGuidText() {
    unsigned char bytes[16] = {};
    size_t got = 0;
    while (got < sizeof(bytes)) {
        ssize_t n = ::getrandom(bytes + got, sizeof(bytes) - got, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            throw std::system_error(errno, std::generic_category(), "getrandom");
        got += static_cast<size_t>(n);
    }
    bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40);
    bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80);
    char text[40];
    std::snprintf(text, sizeof(text),
                  "{%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  bytes[0], bytes[1], bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7],
                  bytes[8], bytes[9], bytes[10], bytes[11], bytes[12], bytes[13], bytes[14],
                  bytes[15]);
    return text;
}

namespace {

bool SameInode(int AFd, const std::string& APath) {
    struct stat byFd {
    }, byName{};
    return ::fstat(AFd, &byFd) == 0 && ::lstat(APath.c_str(), &byName) == 0 &&
           byFd.st_dev == byName.st_dev && byFd.st_ino == byName.st_ino;
}

bool EndsWith(const std::string& AText, const std::string& ASuffix) {
    return AText.size() >= ASuffix.size() &&
           AText.compare(AText.size() - ASuffix.size(), ASuffix.size(), ASuffix) == 0;
}

} // namespace

TKvLockedTempFile::TKvLockedTempFile(const std::string& AFolder, const std::string& APrefix,
                                     const std::string& ASuffix) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string path = AFolder + "/" + APrefix + NewGuidText() + ASuffix;
        int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0) {
            if (errno == EEXIST)
                continue;
            throw std::system_error(errno, std::generic_category(), path);
        }
        while (::flock(fd, LOCK_SH) != 0 && errno == EINTR) {
        }
        // A sweep may have taken the file between its creation and our lock; then make another.
        if (!SameInode(fd, path)) {
            ::close(fd);
            continue;
        }
        FPath = std::move(path);
        FFd = fd;
        return;
    }
    throw std::system_error(EEXIST, std::generic_category(), AFolder);
}

TKvLockedTempFile::~TKvLockedTempFile() {
    if (FFd >= 0)
        ::close(FFd);
}

void TKvLockedTempFile::Remove() {
    if (FFd < 0)
        return;
    ::unlink(FPath.c_str());
    ::close(FFd);
    FFd = -1;
}

int SweepTempFiles(const std::string& AFolder, const std::string& APrefix,
                   const std::string& ASuffix) {
    DIR* dir = ::opendir(AFolder.c_str());
    if (!dir)
        return 0;
    int removed = 0;
    while (struct dirent* item = ::readdir(dir)) {
        std::string name = item->d_name;
        if (name.compare(0, APrefix.size(), APrefix) != 0 || !EndsWith(name, ASuffix))
            continue;
        std::string path = AFolder + "/" + name;
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
            continue;
        int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0)
            continue;
        // Only a file nobody holds goes; the name must still be the file we locked.
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0 && SameInode(fd, path) &&
            ::unlink(path.c_str()) == 0)
            ++removed;
        ::close(fd);
    }
    ::closedir(dir);
    return removed;
}

} // namespace kv
