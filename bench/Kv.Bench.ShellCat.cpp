// `cat` of a 100 MB text file in the local shell and over SSH on loopback, end to end into a
// 120 x 40 screen, next to the parser and screen fed the same bytes directly. The floors that any
// shell in a terminal stands on: a bare pseudo terminal (`script -q -c 'cat FILE' /dev/null`)
// and OpenSSH's client in a pseudo terminal (`ssh -tt HOST cat FILE`) against the same sshd.
// The SSH part needs root (test users; tests/servers/ssh-setup.sh).
// Run by hand: bench/run.sh shell_cat
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <random>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "KvBenchPeers.h"
#include "Kv.Shell.Local.h"
#include "Kv.Shell.Ssh.h"
#include "Kv.Vt.Parser.h"
#include "Kv.Vt.Screen.h"

namespace {

using kv::bench::Output;
using kv::bench::TTrustingUi;
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

const std::string KScripts = KV_TEST_SERVERS;

// Seconds from typing the `cat` line until its end marker has reached the screen.
double CatInto(const kv::IKvSshShellPtr& AShell, const std::string& APath) {
    kv::TKvVtScreen screen(120, 40, 10000);
    kv::TKvVtParser parser(screen);
    std::mutex lock;
    std::condition_variable cv;
    std::string tail;
    bool ready = false, done = false;
    auto& shell = AShell;
    shell->SetEvents(
        [&](const std::string& AData) {
            parser.Feed(AData);
            std::lock_guard guard(lock);
            // Look before trimming: a prompt after the marker can push it out of a short tail.
            tail += AData;
            if (!ready && tail.find("READY") != std::string::npos) {
                ready = true;
                tail.clear();
            }
            if (ready && tail.find("FINISHED") != std::string::npos)
                done = true;
            if (tail.size() > 16)
                tail.erase(0, tail.size() - 16);
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

double TimedCommand(const std::string& ACommand) {
    auto start = TClock::now();
    if (std::system(ACommand.c_str()) != 0)
        return -1;
    return Seconds(start);
}

double BarePty(const std::string& APath) {
    return TimedCommand("script -q -c \"cat '" + APath + "'\" /dev/null > /dev/null");
}

// The sshd of the tests on a free loopback port, logged into as the key user.
struct TSshPeer {
    std::string Dir, Keys;
    int Port = 0;

    bool Start() {
        char pattern[] = "/tmp/kvbench-cat-XXXXXX";
        Dir = ::mkdtemp(pattern);
        std::string state = Dir + "/state";
        if (std::system((KScripts + "/ssh-setup.sh '" + state + "' > /dev/null").c_str()) != 0)
            return false;
        Keys = state + "/keys";
        Port = std::atoi(Output(KScripts + "/sshd.sh start '" + Dir + "/sshd'").c_str());
        return Port > 0;
    }
    void Stop() {
        std::system((KScripts + "/sshd.sh stop '" + Dir + "/sshd'").c_str());
        std::system(("rm -rf '" + Dir + "'").c_str());
    }
    kv::IKvSshShellPtr Shell() const {
        kv::TKvConnector conn;
        conn.Host = "127.0.0.1";
        conn.Port = Port;
        conn.User = "kvkey";
        conn.Auth = kv::amKeyFile;
        conn.KeyFile = Keys + "/id_ed25519";
        return kv::TKvSshShell::Create(conn, std::make_shared<TTrustingUi>());
    }
    double OpenSshClient(const std::string& APath) const {
        return TimedCommand("ssh -tt -q -o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null "
                            "-i '" + Keys + "/id_ed25519' -p " + std::to_string(Port) +
                            " kvkey@127.0.0.1 cat '" + APath + "' > /dev/null");
    }
};

} // namespace

int main() {
    std::string path = MakeFile();
    const double mb = double(KFileBytes) / (1 << 20);
    double engine = EngineAlone(path);
    double shell = CatInto(kv::TKvLocalShell::Create("", "/bin/sh"), path);
    double pty = BarePty(path);
    std::printf("screen engine alone   %7.2f s  %7.1f MB/s\n", engine, mb / engine);
    std::printf("local shell to screen %7.2f s  %7.1f MB/s  (%.2f x the engine's time)\n", shell,
                mb / shell, shell / engine);
    if (pty > 0)
        std::printf("bare pseudo terminal  %7.2f s  %7.1f MB/s  (shell reaches %.0f%% of it)\n",
                    pty, mb / pty, 100.0 * pty / shell);
    std::fflush(stdout);
    ::chmod(path.c_str(), 0644);
    TSshPeer peer;
    if (!peer.Start()) {
        std::fprintf(stderr, "the SSH test server cannot run here (root, openssh-server)\n");
    } else {
        double ssh = CatInto(peer.Shell(), path);
        double client = peer.OpenSshClient(path);
        std::printf("SSH shell to screen   %7.2f s  %7.1f MB/s  (%.2f x the engine's time)\n", ssh,
                    mb / ssh, ssh / engine);
        if (client > 0)
            std::printf("OpenSSH ssh -tt       %7.2f s  %7.1f MB/s  (Kolvan reaches %.0f%% of it)\n",
                        client, mb / client, 100.0 * client / ssh);
        peer.Stop();
    }
    std::remove(path.c_str());
    return 0;
}
