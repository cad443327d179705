// `cat` of a 100 MB text file in the local shell, end to end into a 120 x 40 screen, next to
// the parser and screen fed the same bytes directly, and a bare pseudo terminal
// (`script -q -c 'cat FILE' /dev/null`) as the floor that any shell in a terminal stands on.
// Run by hand: bench/run.sh shell_cat
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <random>
#include <string>

#include "Kv.Shell.Local.h"
#include "Kv.Vt.Parser.h"
#include "Kv.Vt.Screen.h"

namespace {

using TClock = std::chrono::steady_clock;
constexpr size_t KFileBytes = 100u << 20;

double Seconds(TClock::time_point AStart) {
    return std::chrono::duration<double>(TClock::now() - AStart).count();
}

std::string MakeFile() {
    const char* tmp = std::getenv("TMPDIR");
    std::string path = std::string(tmp ? tmp : "/tmp") + "/kv-bench-cat.txt";
    std::mt19937 random(1);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    std::string line;
    size_t written = 0;
    while (written < KFileBytes) {
        line.clear();
        int words = 3 + int(random() % 14);
        for (int w = 0; w < words; ++w) {
            int length = 1 + int(random() % 10);
            for (int i = 0; i < length; ++i)
                line += char('a' + random() % 26);
            line += ' ';
        }
        line += '\n';
        out << line;
        written += line.size();
    }
    return path;
}

double EngineAlone(const std::string& APath) {
    std::ifstream in(APath, std::ios::binary);
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // The terminal turns LF into CR LF on the way out; feed what the shell would deliver.
    std::string bytes;
    bytes.reserve(all.size() + all.size() / 40);
    for (char c : all) {
        if (c == '\n')
            bytes += '\r';
        bytes += c;
    }
    kv::TKvVtScreen screen(120, 40, 10000);
    kv::TKvVtParser parser(screen);
    auto start = TClock::now();
    for (size_t i = 0; i < bytes.size(); i += 65536)
        parser.Feed(bytes.data() + i, std::min<size_t>(65536, bytes.size() - i));
    return Seconds(start);
}

double LocalShell(const std::string& APath) {
    kv::TKvVtScreen screen(120, 40, 10000);
    kv::TKvVtParser parser(screen);
    std::mutex lock;
    std::condition_variable cv;
    std::string tail;
    bool ready = false, done = false;
    auto shell = kv::TKvLocalShell::Create("", "/bin/sh");
    shell->SetEvents(
        [&](const std::string& AData) {
            parser.Feed(AData);
            std::lock_guard guard(lock);
            tail += AData;
            if (tail.size() > 64)
                tail.erase(0, tail.size() - 64);
            if (!ready && tail.find("READY") != std::string::npos)
                ready = true;
            if (ready && tail.find("FINISHED") != std::string::npos)
                done = true;
            cv.notify_all();
        },
        nullptr, nullptr);
    shell->Start(120, 40);
    shell->Write("echo RE''ADY\r");
    std::unique_lock guard(lock);
    cv.wait(guard, [&] { return ready; });
    guard.unlock();
    auto start = TClock::now();
    shell->Write("cat '" + APath + "'; echo FINI''SHED\r");
    guard.lock();
    cv.wait(guard, [&] { return done; });
    double seconds = Seconds(start);
    guard.unlock();
    shell->Close();
    return seconds;
}

double BarePty(const std::string& APath) {
    auto start = TClock::now();
    std::string command = "script -q -c \"cat '" + APath + "'\" /dev/null > /dev/null";
    if (std::system(command.c_str()) != 0)
        return -1;
    return Seconds(start);
}

} // namespace

int main() {
    std::string path = MakeFile();
    const double mb = double(KFileBytes) / (1 << 20);
    double engine = EngineAlone(path);
    double shell = LocalShell(path);
    double pty = BarePty(path);
    std::printf("screen engine alone   %7.2f s  %7.1f MB/s\n", engine, mb / engine);
    std::printf("local shell to screen %7.2f s  %7.1f MB/s  (%.2f x the engine's time)\n", shell,
                mb / shell, shell / engine);
    if (pty > 0)
        std::printf("bare pseudo terminal  %7.2f s  %7.1f MB/s  (shell reaches %.0f%% of it)\n",
                    pty, mb / pty, 100.0 * pty / shell);
    std::remove(path.c_str());
    return 0;
}
