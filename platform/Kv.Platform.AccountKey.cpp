#include "Kv.Platform.AccountKey.h"

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <mutex>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "Kv.Platform.Errors.h"
#include "Kv.Platform.Files.h"
#include "Kv.Platform.Folders.h"

namespace kv {

namespace {

std::atomic<int> GTempCounter{0};

bool ReadExactly(int AFd, uint8_t* ABuffer, size_t ACount) {
    size_t done = 0;
    while (done < ACount) {
        ssize_t n = ::read(AFd, ABuffer + done, ACount - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

bool WriteExactly(int AFd, const uint8_t* ABytes, size_t ACount) {
    size_t done = 0;
    while (done < ACount) {
        ssize_t n = ::write(AFd, ABytes + done, ACount - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

struct TCurrentStore {
    std::mutex Lock;
    std::shared_ptr<IKvAccountKeyStore> Store;
};

TCurrentStore& Current() {
    static TCurrentStore current;
    return current;
}

} // namespace

TKvAccountKeyStatus TKvAccountKeyFile::Read(uint8_t* AKey, std::string& AError) {
    AError.clear();
    // O_NOFOLLOW: a link planted here could hand us a key someone else knows.
    int fd = ::open(FPath.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        int error = errno;
        if (error == ENOENT)
            return akMissing;
        AError = FPath + ": " +
                 (error == ELOOP ? std::string("the account key is a link") : ErrorText(error));
        return akRefused;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        AError = FPath + ": " + ErrorText(errno);
    } else if (!S_ISREG(st.st_mode)) {
        AError = FPath + ": the account key is not a regular file";
    } else if (st.st_uid != ::getuid()) {
        AError = FPath + ": the account key belongs to another user";
    } else if ((st.st_mode & 07777) != 0600) {
        AError = FPath + ": the account key may be read by others (its mode must be 0600)";
    } else if (st.st_size != static_cast<off_t>(KAccountKeySize) ||
               !ReadExactly(fd, AKey, KAccountKeySize)) {
        AError = FPath + ": the account key is damaged";
    }
    ::close(fd);
    if (!AError.empty()) {
        ::explicit_bzero(AKey, KAccountKeySize);
        return akRefused;
    }
    return akFound;
}

bool TKvAccountKeyFile::Create(const uint8_t* AKey, std::string& AError) {
    AError.clear();
    std::string folder = FolderOfPath(FPath);
    if (MakeFolderChain(folder, 0700) != 0) {
        AError = folder + ": " + ErrorText(errno);
        return false;
    }
    // The key is written in full under a private name and then renamed into place without
    // replacing anything, so a second Kolvan never reads half a key or loses the first one.
    std::string temporary =
        FPath + ".new-" + std::to_string(::getpid()) + "-" + std::to_string(GTempCounter++);
    int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        AError = temporary + ": " + ErrorText(errno);
        return false;
    }
    // The umask may have taken bits away; the reader insists on exactly 0600.
    bool written =
        ::fchmod(fd, 0600) == 0 && WriteExactly(fd, AKey, KAccountKeySize) && ::fsync(fd) == 0;
    int error = errno;
    written = ::close(fd) == 0 && written;
    if (!written) {
        ::unlink(temporary.c_str());
        AError = temporary + ": " + ErrorText(error);
        return false;
    }
    int renamed = RenameNoReplace(temporary, FPath);
    if (renamed != 0) {
        ::unlink(temporary.c_str());
        if (renamed != EEXIST)
            AError = FPath + ": " + ErrorText(renamed);
        return false;
    }
    int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        (void)::fsync(dir);
        ::close(dir);
    }
    return true;
}

std::string AccountKeyPath() {
    return UserDataHome() + "/kolvan/account.key";
}

std::shared_ptr<IKvAccountKeyStore> CurrentAccountKeyStore() {
    auto& current = Current();
    std::lock_guard lock(current.Lock);
    if (!current.Store)
        current.Store = std::make_shared<TKvAccountKeyFile>(AccountKeyPath());
    return current.Store;
}

void SetAccountKeyStore(std::shared_ptr<IKvAccountKeyStore> AStore) {
    auto& current = Current();
    std::lock_guard lock(current.Lock);
    current.Store = std::move(AStore);
}

} // namespace kv
