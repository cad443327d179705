// SFTP against OpenSSH's sftp in the same run, on one local sshd (tests/servers/sshd.sh):
// download and upload of a 256 MiB file through OpenRead/OpenWrite on loopback, the upload again
// through a proxy that adds 50 ms each way, and listing a folder of 10,000 entries next to
// `sftp ls -l`. Both sides connect and log in inside the timed part. Needs root (test users).
// Run by hand: bench/run.sh sftp [rounds, 3 by default; the best of each side counts]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <string>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

#include "Kv.FS.Local.h"
#include "Kv.FS.Sftp.h"
#include "Kv.Transfer.Engine.h"
#include "KvBenchPeers.h"

using namespace kv;

namespace {

const std::string KScripts = KV_TEST_SERVERS;
constexpr int64_t KFileSize = 256LL * 1048576;

using bench::TTrustingUi;

double CpuSeconds(int AWho) {
    rusage usage{};
    ::getrusage(AWho, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// The client's processor time of the last measurement: this process's for Kolvan, the waited-for
// children's for sftp (ssh and sftp).
double GLastCpu = 0;

double Seconds(const std::function<void()>& AAction) {
    double self = CpuSeconds(RUSAGE_SELF), children = CpuSeconds(RUSAGE_CHILDREN);
    auto t0 = std::chrono::steady_clock::now();
    AAction();
    double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    GLastCpu = CpuSeconds(RUSAGE_SELF) - self + CpuSeconds(RUSAGE_CHILDREN) - children;
    return elapsed;
}

// The fastest of the rounds, with its client processor time.
struct TBest {
    double Time = 1e9, Cpu = 0;
    void Take(double ATime) {
        if (ATime < Time) {
            Time = ATime;
            Cpu = GLastCpu;
        }
    }
};

using bench::Output;
using bench::Shell;

// A transfer host that asks nothing of anyone: every question is skipped (and counted).
class TQuietHost : public IKvTransferHost {
public:
    void SetPhase(TKvTransferPhase, int, int64_t) override {}
    void SetCurrent(const std::string&, int64_t) override {}
    void SetProgress(int64_t, int64_t, int) override {}
    TKvPromptAnswer Ask(TKvPromptKind, const std::string& AText, const IKvCancelToken&,
                        bool&) override {
        std::fprintf(stderr, "asked: %s\n", AText.c_str());
        return paSkip;
    }
};

// A whole folder copied through the transfer engine, as F5 does.
void CopyTree(IKvFileSystemPtr ASource, const std::string& ADir, const std::string& AName,
              IKvFileSystemPtr ADest, const std::string& ATarget) {
    TKvTransferRequest request;
    request.SourceFs = ASource;
    request.SourceDir = ADir;
    TKvFileEntry entry;
    ASource->Stat(ASource->Join(ADir, AName), entry);
    request.Items = {entry};
    request.DestFs = ADest;
    request.DestPath = ATarget;
    TKvRun run(request, NewCancelToken(), std::make_shared<TQuietHost>());
    const TKvTransferResult result = run.Execute();
    if (result.Failed || result.Skipped)
        std::fprintf(stderr, "copy of %s: %d failed, %d skipped\n", AName.c_str(), result.Failed,
                     result.Skipped);
}

struct TBench {
    std::string Keys, Root, Remote;

    TKvConnector Conn(int APort) const {
        TKvConnector conn;
        conn.Host = "127.0.0.1";
        conn.Port = APort;
        conn.User = "kvkey";
        conn.Auth = amKeyFile;
        conn.KeyFile = Keys + "/id_ed25519";
        return conn;
    }

    IKvFileSystemPtr Open(int APort) const {
        std::string learned, start;
        return OpenSftp(Conn(APort), std::make_shared<TTrustingUi>(), *NewCancelToken(), learned,
                        start);
    }

    void Sftp(int APort, const std::string& ABatch) const {
        std::string batch = Root + "/batch";
        FILE* file = std::fopen(batch.c_str(), "w");
        std::fputs(ABatch.c_str(), file);
        std::fclose(file);
        Shell("sftp -q -b '" + batch +
              "' -o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null -i '" + Keys +
              "/id_ed25519' -P " + std::to_string(APort) + " kvkey@127.0.0.1 > /dev/null");
    }

    void Download(int APort, const std::string& ALocal) const {
        auto fs = Open(APort);
        auto in = fs->OpenRead(Remote + "/big.bin");
        int fd = ::open(ALocal.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        std::vector<char> buffer(1048576); // what the transfer engine asks for per call
        int64_t n, total = 0;
        while ((n = in->Read(buffer.data(), static_cast<int64_t>(buffer.size()))) > 0) {
            if (::write(fd, buffer.data(), static_cast<size_t>(n)) != n)
                std::fprintf(stderr, "local write failed\n");
            total += n;
        }
        ::close(fd);
        if (total != KFileSize)
            std::fprintf(stderr, "downloaded %lld bytes\n", static_cast<long long>(total));
    }

    void Upload(int APort, const std::string& ALocal, const std::string& AName) const {
        auto fs = Open(APort);
        auto out = fs->OpenWrite(Remote + "/" + AName);
        int fd = ::open(ALocal.c_str(), O_RDONLY);
        std::vector<char> buffer(1048576);
        ssize_t n;
        while ((n = ::read(fd, buffer.data(), buffer.size())) > 0)
            out->WriteAll(buffer.data(), n);
        ::close(fd);
        dynamic_cast<TKvFinishableStream&>(*out).Finish();
    }
};

void Report(const char* AWhat, const TBest& AKolvan, const TBest& APeer, bool AThroughput,
            double AGoal) {
    if (AThroughput)
        std::printf("%s: Kolvan %.2f s (%.0f MiB/s, client CPU %.2f s), sftp %.2f s (%.0f MiB/s, "
                    "client CPU %.2f s): "
                    "%.2f of sftp's throughput (goal >= %.2f)\n",
                    AWhat, AKolvan.Time, 256 / AKolvan.Time, AKolvan.Cpu, APeer.Time,
                    256 / APeer.Time, APeer.Cpu, APeer.Time / AKolvan.Time, AGoal);
    else
        std::printf("%s: Kolvan %.3f s (client CPU %.2f s), sftp %.3f s (client CPU %.2f s): time "
                    "ratio %.2f "
                    "(goal <= %.2f)\n",
                    AWhat, AKolvan.Time, AKolvan.Cpu, APeer.Time, APeer.Cpu,
                    AKolvan.Time / APeer.Time, AGoal);
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv) {
    int rounds = argc > 1 ? std::atoi(argv[1]) : 3;
    char pattern[] = "/tmp/kvbench-sftp-XXXXXX";
    TBench bench;
    bench.Root = ::mkdtemp(pattern);
    std::string state = bench.Root + "/state";
    if (std::system((KScripts + "/ssh-setup.sh '" + state + "' > /dev/null").c_str()) != 0) {
        std::fprintf(
            stderr,
            "the SSH test peers cannot run here (root, openssh-server, python3-asyncssh)\n");
        return 1;
    }
    bench.Keys = state + "/keys";
    int port = std::atoi(Output(KScripts + "/sshd.sh start '" + bench.Root + "/sshd'").c_str());
    bench.Remote = "/home/kvkey/kvbench-" + std::to_string(::getpid());
    Shell("mkdir -p '" + bench.Remote + "/many' && head -c " + std::to_string(KFileSize) +
          " /dev/urandom > '" + bench.Remote + "/big.bin' && cd '" + bench.Remote +
          "/many' && seq -w 1 10000 | xargs touch && chown -R kvkey: '" + bench.Remote + "'");
    std::string local = bench.Root + "/big.bin", back = bench.Root + "/back.bin";
    Shell("cp '" + bench.Remote + "/big.bin' '" + local + "'");

    TBest kvDown, sftpDown, kvUp, sftpUp, kvList, sftpList;
    for (int round = 0; round < rounds; ++round) {
        kvDown.Take(Seconds([&] { bench.Download(port, back); }));
        sftpDown.Take(
            Seconds([&] { bench.Sftp(port, "get " + bench.Remote + "/big.bin " + back + "\n"); }));
        kvUp.Take(Seconds([&] { bench.Upload(port, local, "up.bin"); }));
        sftpUp.Take(
            Seconds([&] { bench.Sftp(port, "put " + local + " " + bench.Remote + "/up.bin\n"); }));
        kvList.Take(Seconds([&] {
            auto fs = bench.Open(port);
            if (fs->List(bench.Remote + "/many", *NewCancelToken()).size() != 10000)
                std::fprintf(stderr, "listing is short\n");
        }));
        sftpList.Take(Seconds([&] { bench.Sftp(port, "ls -l " + bench.Remote + "/many\n"); }));
    }
    Shell("cmp '" + local + "' '" + back + "' && cmp '" + local + "' '" + bench.Remote +
          "/up.bin'");
    Report("download 256 MiB, loopback", kvDown, sftpDown, true, 0.9);
    Report("upload 256 MiB, loopback", kvUp, sftpUp, true, 0.9);
    Report("list 10,000 entries", kvList, sftpList, false, 1.5);

    // 2,000 files of 1 to 20 KB in 20 folders, through the transfer engine, next to sftp -r.
    Shell("cd '" + bench.Root + "' && mkdir small && for d in $(seq 20); do mkdir small/d$d; "
          "for f in $(seq 100); do head -c $((1000 + (d * 7919 + f * 104729) % 19000)) "
          "/dev/urandom > small/d$d/f$f; done; done");
    TBest kvSmallDown, sftpSmallDown, kvSmallUp, sftpSmallUp;
    for (int round = 0; round < rounds; ++round) {
        Shell("rm -rf '" + bench.Remote + "/small' '" + bench.Root + "/down'; mkdir '" +
              bench.Root + "/down'");
        kvSmallUp.Take(Seconds([&] {
            CopyTree(LocalFs(), bench.Root, "small", bench.Open(port), bench.Remote);
        }));
        kvSmallDown.Take(Seconds([&] {
            CopyTree(bench.Open(port), bench.Remote, "small", LocalFs(), bench.Root + "/down");
        }));
        Shell("diff -r '" + bench.Root + "/small' '" + bench.Root + "/down/small'");
        Shell("rm -rf '" + bench.Remote + "/small' '" + bench.Root + "/down/small'");
        sftpSmallUp.Take(Seconds([&] {
            bench.Sftp(port, "put -r " + bench.Root + "/small " + bench.Remote + "/small\n");
        }));
        sftpSmallDown.Take(Seconds([&] {
            bench.Sftp(port, "get -r " + bench.Remote + "/small " + bench.Root + "/down/small\n");
        }));
    }
    Report("download 2,000 files of 1-20 KB, loopback", kvSmallDown, sftpSmallDown, false, 1.0);
    Report("upload 2,000 files of 1-20 KB, loopback", kvSmallUp, sftpSmallUp, false, 1.0);

    // The same upload through 50 ms of delay each way.
    std::string proxyPortFile = bench.Root + "/proxy.port";
    Shell("(/usr/bin/python3 '" + KScripts + "/delayproxy.py' 0 " + std::to_string(port) +
          " 50 > '" + proxyPortFile + "' & echo $! > '" + bench.Root + "/proxy.pid')");
    int proxy = 0;
    for (int i = 0; i < 100 && !proxy; ++i) {
        ::usleep(100000);
        proxy = std::atoi(Output("cat '" + proxyPortFile + "'").c_str());
    }
    TBest kvSlow, sftpSlow;
    kvSlow.Take(Seconds([&] { bench.Upload(proxy, local, "slow.bin"); }));
    sftpSlow.Take(
        Seconds([&] { bench.Sftp(proxy, "put " + local + " " + bench.Remote + "/slow.bin\n"); }));
    Report("upload 256 MiB, 50 ms each way", kvSlow, sftpSlow, false, 1.5);

    Shell("kill $(cat '" + bench.Root + "/proxy.pid') 2>/dev/null");
    Shell(KScripts + "/sshd.sh stop '" + bench.Root + "/sshd'");
    WaitForSshCloser(5000);
    Shell("rm -rf '" + bench.Remote + "' '" + bench.Root + "'");
    return 0;
}
