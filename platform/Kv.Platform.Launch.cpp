#include "Kv.Platform.Launch.h"

#include "Kv.Platform.Errors.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace kv {

int StartProgram(const std::vector<std::string>& AArgs, const std::string& AFolder,
                 TKvEndedSoon AEndedSoon, int AWithinMs) {
    if (AArgs.empty())
        return EINVAL;
    std::vector<char*> argv;
    for (const auto& arg : AArgs)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawnattr_init(&attributes);
    if (!AFolder.empty())
        ::posix_spawn_file_actions_addchdir_np(&actions, AFolder.c_str());
    // The child starts with default signal handling and nothing blocked, whatever Kolvan set
    // (SIGPIPE is ignored here).
    sigset_t all, none;
    ::sigfillset(&all);
    ::sigemptyset(&none);
    ::posix_spawnattr_setsigdefault(&attributes, &all);
    ::posix_spawnattr_setsigmask(&attributes, &none);
    ::posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSID);
    pid_t pid = 0;
    int error = ::posix_spawnp(&pid, argv[0], &actions, &attributes, argv.data(), environ);
    ::posix_spawn_file_actions_destroy(&actions);
    ::posix_spawnattr_destroy(&attributes);
    if (error != 0)
        return error;
    // Reap it whenever it ends, so no zombie is left behind.
    const auto started = std::chrono::steady_clock::now();
    std::thread([pid, started, AEndedSoon = std::move(AEndedSoon), AWithinMs] {
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        const auto ran = std::chrono::steady_clock::now() - started;
        if (AEndedSoon && ran <= std::chrono::milliseconds(AWithinMs))
            AEndedSoon(WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    }).detach();
    return 0;
}

std::string OpenDocument(const std::string& APath, const std::string& AFolder,
                         std::function<void(const std::string&)> AFailed) {
    struct stat st {};
    // A link that leads nowhere: xdg-open would only say so on its error output.
    if (::stat(APath.c_str(), &st) != 0)
        return ErrorText(errno);
    // xdg-open may run the program in its own place and wait for it: only a quick end is its own
    // verdict, a later one is the program's.
    int error = StartProgram(
        {"xdg-open", APath}, AFolder,
        [AFailed](int AStatus) {
            if (AStatus == 0 || !AFailed)
                return;
            switch (AStatus) {
            case 2:
                AFailed(ErrorText(ENOENT));
                break;
            case 3:
            case 4:
                AFailed("no program is set to open this kind of file");
                break;
            default:
                AFailed("xdg-open failed with exit status " + std::to_string(AStatus));
                break;
            }
        },
        5000);
    return error == 0 ? std::string() : "xdg-open: " + ErrorText(error);
}

} // namespace kv
