// The hybrid file connection's scan against OpenSSH's sftp in the same run, on one local sshd
// (tests/servers/sshd.sh): log in, list a folder of 2,000 files and answer 800 names seen on a
// screen (700 there, 100 not), next to `sftp ls -l` of the same folder (log in and list). Then
// the next scan of the same names in the same folder, which the cache answers alone.
// Needs root (test users). Run by hand: bench/run.sh hybrid [rounds, 5 by default]
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <unistd.h>
#include <vector>

#include "Kv.Shell.Files.h"
#include "Kv.Ssh.Session.h"
#include "KvBenchPeers.h"

using namespace kv;

namespace {

const std::string KScripts = KV_TEST_SERVERS;

using bench::TTrustingUi;

using bench::Output;
using bench::Shell;

double Seconds(const std::function<void()>& AAction) {
    auto t0 = std::chrono::steady_clock::now();
    AAction();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// Waits for what the worker delivers (deliveries run at once on the worker's thread here).
class TSignal {
public:
    void Set() {
        std::lock_guard lock(FLock);
        FSet = true;
        FCv.notify_all();
    }
    void Wait() {
        std::unique_lock lock(FLock);
        FCv.wait(lock, [&] { return FSet; });
        FSet = false;
    }

private:
    std::mutex FLock;
    std::condition_variable FCv;
    bool FSet = false;
};

} // namespace

int main(int argc, char** argv) {
    int rounds = argc > 1 ? std::atoi(argv[1]) : 5;
    SetDeliverDispatcher([](std::function<void()> AProc) { AProc(); });
    char pattern[] = "/tmp/kvbench-hybrid-XXXXXX";
    std::string root = ::mkdtemp(pattern);
    std::string state = root + "/state";
    if (std::system((KScripts + "/ssh-setup.sh '" + state + "' > /dev/null").c_str()) != 0) {
        std::fprintf(stderr, "the SSH test peers cannot run here (root, openssh-server)\n");
        return 1;
    }
    int port = std::atoi(Output(KScripts + "/sshd.sh start '" + root + "/sshd'").c_str());
    const std::string remote = "/home/kvkey/kvbench-hybrid-" + std::to_string(::getpid());
    Shell("mkdir -p '" + remote + "' && cd '" + remote +
          "' && seq -f 'file %04g.txt' 1 2000 | xargs -d '\\n' touch && chown -R kvkey: '" +
          remote + "'");
    std::vector<std::string> names;
    for (int i = 1; i <= 700; ++i) {
        char name[32];
        std::snprintf(name, sizeof(name), "file %04d.txt", i * 2);
        names.push_back(name);
    }
    for (int i = 0; i < 100; ++i)
        names.push_back("missing-" + std::to_string(i));

    TKvConnector conn;
    conn.Host = "127.0.0.1";
    conn.Port = port;
    conn.User = "kvkey";
    conn.Auth = amKeyFile;
    conn.KeyFile = state + "/keys/id_ed25519";
    std::string batch = root + "/batch";
    Shell("printf 'ls -l \"%s\"\\n' '" + remote + "' > '" + batch + "'");

    double kolvan = 1e9, peer = 1e9, cached = 1e9;
    for (int round = 0; round < rounds; ++round) {
        TKvShellFiles files(conn, std::make_shared<TTrustingUi>());
        TSignal done;
        int found = 0;
        kolvan = std::min(kolvan, Seconds([&] {
            files.Connect([&](const std::string& AError) {
                if (!AError.empty())
                    std::fprintf(stderr, "connect: %s\n", AError.c_str());
                done.Set();
            });
            done.Wait();
            files.Scan(remote, names, true, [&] { done.Set(); });
            done.Wait();
            std::string path;
            TKvFileEntry entry;
            found = 0;
            for (const auto& name : names)
                found += files.Lookup(remote, name, path, entry);
        }));
        if (found != 700)
            std::fprintf(stderr, "found %d names, not 700\n", found);
        cached = std::min(cached, Seconds([&] {
            files.Scan(remote, names, false, [&] { done.Set(); });
            done.Wait();
            std::string path;
            TKvFileEntry entry;
            for (const auto& name : names)
                files.Lookup(remote, name, path, entry);
        }));
        peer = std::min(peer, Seconds([&] {
            Shell("sftp -q -b '" + batch +
                  "' -o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null -i '" +
                  conn.KeyFile + "' -P " + std::to_string(port) + " kvkey@127.0.0.1 > /dev/null");
        }));
    }
    std::printf("log in, list 2,000 and answer 800 names: Kolvan %.3f s, sftp ls -l %.3f s, "
                "ratio %.2f (goal at most 1.5)\n",
                kolvan, peer, kolvan / peer);
    std::printf("the next scan of the same 800 names from the cache: %.2f ms\n", cached * 1000);
    Shell(KScripts + "/sshd.sh stop '" + root + "/sshd'");
    WaitForSshCloser(5000);
    Shell("rm -rf '" + remote + "' '" + root + "'");
    return 0;
}
