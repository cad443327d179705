// Helpers shared by the test binaries.
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace kv::test {

// The fresh folder this test binary runs in (HOME, XDG_* and TMPDIR point below it).
const std::string& TestRoot();

// A new empty folder below the test root (or ABase), removed when the object goes away.
class TTempDir {
public:
    explicit TTempDir(const std::string& ABase = {});
    ~TTempDir();
    TTempDir(const TTempDir&) = delete;
    TTempDir& operator=(const TTempDir&) = delete;
    const std::string& Path() const { return FPath; }
    std::string operator/(const std::string& AName) const { return FPath + "/" + AName; }

private:
    std::string FPath;
};

void WriteFile(const std::string& APath, const std::string& AContent);
std::string ReadFile(const std::string& APath);
bool Exists(const std::string& APath);
void RemoveTree(const std::string& APath);

// Runs AProc in a child process as the unprivileged user "nobody" and returns its exit code
// (tests run as root, which no permission stops). AProc returns the exit code to report.
int RunAsNobody(const std::function<int()>& AProc);
// The pieces of AText between ASeparator characters; no empty last piece.
std::vector<std::string> Split(const std::string& AText, char ASeparator);
// Runs a command line through /bin/sh and returns its standard output.
std::string RunCommand(const std::string& ACommand, int* AExitCode = nullptr);

// Collects KvDeliver procedures so a test can run them as the UI thread would.
class TDeliverQueue {
public:
    TDeliverQueue();
    ~TDeliverQueue();
    // Runs what is queued now; returns how many ran.
    int Pump();
    // Pumps until APredicate holds or AWaitMs passes.
    bool PumpUntil(const std::function<bool()>& APredicate, int AWaitMs = 5000);

private:
    std::mutex FLock;
    std::vector<std::function<void()>> FQueue;
};

} // namespace kv::test
