#include "Kv.Platform.Pty.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#if __has_include(<linux/close_range.h>)
#include <linux/close_range.h>
#endif

extern char** environ;

namespace kv {

namespace {

std::string ErrText(int AErr) {
    char buf[256];
    return strerror_r(AErr, buf, sizeof buf);
}

winsize SizeOf(int ACols, int ARows) {
    winsize ws{};
    ws.ws_col = static_cast<unsigned short>(ACols < 1 ? 1 : (ACols > 32767 ? 32767 : ACols));
    ws.ws_row = static_cast<unsigned short>(ARows < 1 ? 1 : (ARows > 32767 ? 32767 : ARows));
    return ws;
}

// Async-signal-safe: runs in the child between fork and exec.
[[noreturn]] void ChildFail(int AReportFd) {
    int err = errno;
    (void)!::write(AReportFd, &err, sizeof err);
    ::_exit(127);
}

void CloseFrom(int AFirst, int ALast) {
    if (AFirst > ALast)
        return;
    if (::close_range(static_cast<unsigned>(AFirst), static_cast<unsigned>(ALast), 0) == 0)
        return;
    long max = ::sysconf(_SC_OPEN_MAX);
    if (max < 0 || max > 65536)
        max = 65536;
    for (long fd = AFirst; fd <= ALast && fd < max; ++fd)
        ::close(static_cast<int>(fd));
}

} // namespace

TKvPtyProcess PtyStart(const std::vector<std::string>& AArgv, const std::vector<std::string>& AEnv,
                       const std::string& ADir, int ACols, int ARows) {
    if (AArgv.empty())
        throw EKvPtyStartFailed("no program to start");
    int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0)
        throw EKvPtyUnavailable(ErrText(errno));
    char slaveName[128];
    if (::grantpt(master) != 0 || ::unlockpt(master) != 0 ||
        ::ptsname_r(master, slaveName, sizeof slaveName) != 0) {
        int err = errno;
        ::close(master);
        throw EKvPtyUnavailable(ErrText(err));
    }
    winsize ws = SizeOf(ACols, ARows);
    ::ioctl(master, TIOCSWINSZ, &ws);

    // Everything the child touches is allocated now: after fork only async-signal-safe calls.
    std::vector<char*> argv, envp;
    for (const auto& a : AArgv)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    for (const auto& e : AEnv)
        envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    const char* dir = ADir.empty() ? nullptr : ADir.c_str();

    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0) {
        int err = errno;
        ::close(master);
        throw EKvPtyUnavailable(ErrText(err));
    }
    pid_t pid = ::fork();
    if (pid < 0) {
        int err = errno;
        ::close(master);
        ::close(report[0]);
        ::close(report[1]);
        throw EKvPtyStartFailed(ErrText(err));
    }
    if (pid == 0) {
        int rep = report[1];
        // A shell that inherits an ignored SIGPIPE or a blocked signal breaks pipelines and jobs.
        struct sigaction dfl {};
        dfl.sa_handler = SIG_DFL;
        for (int sig = 1; sig < NSIG; ++sig)
            ::sigaction(sig, &dfl, nullptr);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        if (::setsid() < 0)
            ChildFail(rep);
        int slave = ::open(slaveName, O_RDWR);
        if (slave < 0)
            ChildFail(rep);
        if (::ioctl(slave, TIOCSCTTY, 0) != 0)
            ChildFail(rep);
        if (::dup2(slave, 0) < 0 || ::dup2(slave, 1) < 0 || ::dup2(slave, 2) < 0)
            ChildFail(rep);
        if (rep < 3) {
            rep = ::fcntl(rep, F_DUPFD_CLOEXEC, 3);
            if (rep < 0)
                ::_exit(127);
        }
        CloseFrom(3, rep - 1);
        CloseFrom(rep + 1, 0x7fffffff);
        if (dir && ::chdir(dir) != 0)
            ChildFail(rep);
        ::execve(argv[0], argv.data(), envp.data());
        ChildFail(rep);
    }
    ::close(report[1]);
    int childErr = 0;
    ssize_t got;
    do {
        got = ::read(report[0], &childErr, sizeof childErr);
    } while (got < 0 && errno == EINTR);
    ::close(report[0]);
    if (got == static_cast<ssize_t>(sizeof childErr)) {
        ::close(master);
        int status;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        throw EKvPtyStartFailed(ErrText(childErr));
    }
    int flags = ::fcntl(master, F_GETFL);
    ::fcntl(master, F_SETFL, flags | O_NONBLOCK);
    return TKvPtyProcess{master, pid};
}

void PtyResize(int AMaster, int ACols, int ARows) {
    if (AMaster < 0)
        return;
    winsize ws = SizeOf(ACols, ARows);
    ::ioctl(AMaster, TIOCSWINSZ, &ws);
}

TKvPtyReady PtyWait(int AMaster, bool AWantWrite, int AWakeFd, int ATimeoutMs) {
    pollfd fds[2] = {{AMaster, static_cast<short>(POLLIN | (AWantWrite ? POLLOUT : 0)), 0},
                     {AWakeFd, POLLIN, 0}};
    TKvPtyReady r;
    int n = ::poll(fds, AWakeFd >= 0 ? 2 : 1, ATimeoutMs);
    if (n <= 0)
        return r;
    r.Readable = (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0;
    r.Writable = (fds[0].revents & POLLOUT) != 0;
    r.Woken = AWakeFd >= 0 && (fds[1].revents & POLLIN) != 0;
    return r;
}

long PtyRead(int AMaster, char* ABuffer, size_t ASize) {
    for (;;) {
        ssize_t n = ::read(AMaster, ABuffer, ASize);
        if (n > 0)
            return n;
        if (n == 0)
            return 0;
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return -1;
        return 0; // EIO: the last holder of the terminal has closed it
    }
}

long PtyWrite(int AMaster, const char* AData, size_t ALength) {
    for (;;) {
        ssize_t n = ::write(AMaster, AData, ALength);
        if (n >= 0)
            return n;
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return -1;
        return -2;
    }
}

void PtyClose(int& AMaster) {
    if (AMaster >= 0)
        ::close(AMaster);
    AMaster = -1;
}

void PtySignalGroup(int APid, bool AKill) {
    if (APid > 0)
        ::kill(-APid, AKill ? SIGKILL : SIGHUP);
}

int PtyReap(int APid) {
    int status = 0;
    while (::waitpid(APid, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    return status;
}

TKvPtyWakeup::TKvPtyWakeup() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0)
        throw EKvPtyUnavailable(ErrText(errno));
    FRead = fds[0];
    FWrite = fds[1];
}

TKvPtyWakeup::~TKvPtyWakeup() {
    ::close(FRead);
    ::close(FWrite);
}

void TKvPtyWakeup::Wake() {
    char c = 1;
    (void)!::write(FWrite, &c, 1);
}

void TKvPtyWakeup::Drain() {
    char buf[64];
    while (::read(FRead, buf, sizeof buf) > 0) {
    }
}

std::vector<std::string> PtyEnvironment() {
    std::vector<std::string> env;
    for (char** e = environ; e && *e; ++e)
        env.emplace_back(*e);
    return env;
}

bool IsExecutableFile(const std::string& APath) {
    struct stat st {};
    return ::stat(APath.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
           ::access(APath.c_str(), X_OK) == 0;
}

std::string UserShell() {
    const char* env = ::getenv("SHELL");
    if (env && env[0] == '/' && IsExecutableFile(env))
        return env;
    passwd pw{};
    passwd* found = nullptr;
    std::vector<char> buf(16384);
    if (::getpwuid_r(::getuid(), &pw, buf.data(), buf.size(), &found) == 0 && found &&
        found->pw_shell && found->pw_shell[0] == '/' && IsExecutableFile(found->pw_shell))
        return found->pw_shell;
    return "/bin/sh";
}

std::string HostName() {
    char buf[256] = {};
    if (::gethostname(buf, sizeof buf - 1) != 0)
        return "";
    return buf;
}

} // namespace kv
