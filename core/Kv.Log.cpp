#include "Kv.Log.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

#include "Kv.Platform.Folders.h"
#include "Kv.Platform.Threads.h"

namespace kv {

namespace {

// Lines are written straight to the file (no buffer), so a process that ends abruptly
// loses nothing that Log returned from.
struct TLogState {
    std::mutex Lock;
    std::string Folder;
    bool FolderChosen = false;
    int64_t Size = 0;
    int Fd = -1; // kept open between lines: a copy of many small files logs a line per file
};

void CloseFile(TLogState& AState) {
    if (AState.Fd >= 0)
        ::close(AState.Fd);
    AState.Fd = -1;
}

TLogState& State() {
    static TLogState state;
    return state;
}

std::atomic<bool> GEnabled{true};

int64_t FileSize(const std::string& APath) {
    struct stat st {};
    return ::lstat(APath.c_str(), &st) == 0 && S_ISREG(st.st_mode) ? st.st_size : 0;
}

// Under the lock.
void EnsureFolder(TLogState& AState) {
    if (AState.FolderChosen)
        return;
    AState.Folder = PrivateTempFolder();
    AState.FolderChosen = true;
    AState.Size = FileSize(AState.Folder + "/kolvan.log");
}

std::string LinePrefix() {
    auto now = std::chrono::system_clock::now();
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count();
    time_t seconds = static_cast<time_t>(ms / 1000);
    struct tm local {};
    ::localtime_r(&seconds, &local);
    char text[64];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d [%llu] ", local.tm_hour, local.tm_min,
                  local.tm_sec, static_cast<int>(ms % 1000),
                  static_cast<unsigned long long>(CurrentThreadId()));
    return text;
}

} // namespace

void SetLogEnabled(bool AEnabled) { GEnabled.store(AEnabled); }

bool LogEnabled() { return GEnabled.load(); }

void SetLogFolder(const std::string& AFolder) {
    auto& state = State();
    std::lock_guard lock(state.Lock);
    CloseFile(state);
    state.Folder = AFolder;
    state.FolderChosen = true;
    state.Size = FileSize(AFolder + "/kolvan.log");
}

std::string LogPath() {
    auto& state = State();
    std::lock_guard lock(state.Lock);
    EnsureFolder(state);
    return state.Folder + "/kolvan.log";
}

std::string OldLogPath() {
    auto& state = State();
    std::lock_guard lock(state.Lock);
    EnsureFolder(state);
    return state.Folder + "/kolvan.old.log";
}

void Log(std::string_view AMessage) {
    if (!GEnabled.load())
        return;
    try {
        std::string line = LinePrefix();
        line.append(AMessage);
        line += '\n';
        auto& state = State();
        std::lock_guard lock(state.Lock);
        EnsureFolder(state);
        std::string path = state.Folder + "/kolvan.log";
        if (state.Size >= KLogRotateSize) {
            CloseFile(state);
            std::string old = state.Folder + "/kolvan.old.log";
            ::unlink(old.c_str());
            if (::rename(path.c_str(), old.c_str()) != 0)
                ::unlink(path.c_str());
            state.Size = 0;
        }
        if (state.Fd < 0)
            state.Fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (state.Fd < 0)
            return;
        size_t done = 0;
        while (done < line.size()) {
            ssize_t n = ::write(state.Fd, line.data() + done, line.size() - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            done += static_cast<size_t>(n);
        }
        state.Size += static_cast<int64_t>(done);
    } catch (...) {
        // Logging never disturbs the caller.
    }
}

bool ClearLog() {
    auto& state = State();
    std::lock_guard lock(state.Lock);
    EnsureFolder(state);
    CloseFile(state);
    std::string path = state.Folder + "/kolvan.log";
    std::string old = state.Folder + "/kolvan.old.log";
    bool ok = true;
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && ::truncate(path.c_str(), 0) != 0)
        ok = false;
    if (::lstat(old.c_str(), &st) == 0 && ::unlink(old.c_str()) != 0)
        ok = false;
    state.Size = 0;
    return ok;
}

} // namespace kv
