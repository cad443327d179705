#include "KvTestSupport.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <pwd.h>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "Kv.Worker.h"

namespace kv::test {

namespace {
std::atomic<int> GTempCounter{0};
}

TTempDir::TTempDir(const std::string& ABase) {
    FPath = (ABase.empty() ? TestRoot() : ABase) + "/t" + std::to_string(::getpid()) + "-" +
            std::to_string(GTempCounter++);
    std::filesystem::remove_all(FPath);
    std::filesystem::create_directories(FPath);
}

TTempDir::~TTempDir() { RemoveTree(FPath); }

void WriteFile(const std::string& APath, const std::string& AContent) {
    std::ofstream out(APath, std::ios::binary | std::ios::trunc);
    if (!out)
        throw std::runtime_error("cannot write " + APath);
    out << AContent;
}

std::string ReadFile(const std::string& APath) {
    std::ifstream in(APath, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool Exists(const std::string& APath) {
    struct stat st {};
    return ::lstat(APath.c_str(), &st) == 0;
}

void RemoveTree(const std::string& APath) {
    std::error_code ec;
    // Give back permissions a test took away, or root-owned leftovers of "nobody" cannot go.
    for (auto it = std::filesystem::recursive_directory_iterator(
             APath, std::filesystem::directory_options::skip_permission_denied, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        if (it->is_directory(ec) && !it->is_symlink(ec))
            ::chmod(it->path().c_str(), 0755);
    }
    ::chmod(APath.c_str(), 0755);
    std::filesystem::remove_all(APath, ec);
}

int RunAsNobody(const std::function<int()>& AProc) {
    struct passwd* pw = ::getpwnam("nobody");
    uid_t uid = pw ? pw->pw_uid : 65534;
    gid_t gid = pw ? pw->pw_gid : 65534;
    std::fflush(nullptr);
    pid_t pid = ::fork();
    if (pid < 0)
        return -1;
    if (pid == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0)
            ::_exit(125);
        int code = 126;
        try {
            code = AProc();
        } catch (...) {
        }
        std::fflush(nullptr);
        ::_exit(code);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::vector<std::string> Split(const std::string& AText, char ASeparator) {
    std::vector<std::string> pieces;
    size_t start = 0;
    while (start < AText.size()) {
        size_t end = AText.find(ASeparator, start);
        if (end == std::string::npos)
            end = AText.size();
        pieces.push_back(AText.substr(start, end - start));
        start = end + 1;
    }
    return pieces;
}

std::string RunCommand(const std::string& ACommand, int* AExitCode) {
    std::string output;
    FILE* pipe = ::popen(ACommand.c_str(), "r");
    if (!pipe)
        throw std::runtime_error("cannot run " + ACommand);
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
        output.append(buffer, n);
    int status = ::pclose(pipe);
    if (AExitCode)
        *AExitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return output;
}

TDeliverQueue::TDeliverQueue() {
    SetDeliverDispatcher([this](std::function<void()> AProc) {
        std::lock_guard lock(FLock);
        FQueue.push_back(std::move(AProc));
    });
}

TDeliverQueue::~TDeliverQueue() { SetDeliverDispatcher(nullptr); }

int TDeliverQueue::Pump() {
    std::vector<std::function<void()>> batch;
    {
        std::lock_guard lock(FLock);
        batch.swap(FQueue);
    }
    for (auto& proc : batch)
        proc();
    return static_cast<int>(batch.size());
}

bool TDeliverQueue::PumpUntil(const std::function<bool()>& APredicate, int AWaitMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(AWaitMs);
    for (;;) {
        Pump();
        if (APredicate())
            return true;
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

} // namespace kv::test
