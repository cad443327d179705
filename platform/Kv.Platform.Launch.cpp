#include "Kv.Platform.Launch.h"

#include <cerrno>
#include <csignal>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace kv {

int StartProgram(const std::vector<std::string>& AArgs, const std::string& AFolder) {
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
    std::thread([pid] {
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }).detach();
    return 0;
}

int OpenDocument(const std::string& APath, const std::string& AFolder) {
    return StartProgram({"xdg-open", APath}, AFolder);
}

} // namespace kv
