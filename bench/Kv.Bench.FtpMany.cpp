// FTPS upload and download of many small files on loopback (vsftpd, explicit TLS, session reuse
// required): 2,000 files of 1 to 20 KB in 20 folders through the transfer engine, next to
// lftp's mirror (-R for the upload) with its default parallelism and with --parallel=3, on the
// same server in the same run. Every copy is checked with diff -r.
// Run by hand as root (the server needs a local user): bench/run.sh ftpmany [rounds]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "Kv.FS.Ftp.h"
#include "Kv.FS.Local.h"
#include "Kv.Transfer.Engine.h"

using namespace kv;

namespace {

constexpr int KFolders = 20, KFilesPerFolder = 100;

class TQuietHost : public IKvTransferHost {
public:
    void SetPhase(TKvTransferPhase, int, int64_t) override {}
    void SetCurrent(const std::string&, int64_t) override {}
    void SetProgress(int64_t, int64_t, int) override {}
    TKvPromptAnswer Ask(TKvPromptKind, const std::string& AText, const IKvCancelToken&,
                        bool&) override {
        std::fprintf(stderr, "question: %s\n", AText.c_str());
        return paCancel;
    }
};

int Run(const std::string& ACommand) {
    const int status = std::system(ACommand.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

double Seconds(const std::function<void()>& AAction) {
    const auto start = std::chrono::steady_clock::now();
    AAction();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void Copy(IKvFileSystemPtr ASource, const std::string& ADir, const std::string& AName,
          IKvFileSystemPtr ADest, const std::string& ADestDir) {
    TKvTransferRequest request;
    request.Kind = tkCopy;
    request.SourceFs = ASource;
    request.SourceDir = ADir;
    TKvFileEntry entry;
    if (!ASource->Stat(ASource->Join(ADir, AName), entry))
        throw std::runtime_error("no source " + AName);
    request.Items = {entry};
    request.DestFs = ADest;
    request.DestPath = ADestDir;
    TKvRun run(request, NewCancelToken(), std::make_shared<TQuietHost>());
    const auto result = run.Execute();
    if (result.Failed || result.Skipped)
        throw std::runtime_error("copy failed: " + result.FirstProblem);
}

// 2,000 files of 1 to 20 KB of random bytes in 20 folders.
void MakeTree(const std::string& ARoot) {
    std::mt19937 random(20261211);
    std::uniform_int_distribution<int> size(1024, 20 * 1024);
    std::vector<char> data;
    for (int folder = 0; folder < KFolders; ++folder) {
        const std::string path = ARoot + "/d" + std::to_string(folder);
        ::mkdir(path.c_str(), 0755);
        for (int file = 0; file < KFilesPerFolder; ++file) {
            data.resize(static_cast<size_t>(size(random)));
            for (auto& byte : data)
                byte = static_cast<char>(random());
            std::ofstream(path + "/f" + std::to_string(file) + ".bin", std::ios::binary)
                .write(data.data(), static_cast<std::streamsize>(data.size()));
        }
    }
}

double Median(std::vector<double> AValues) {
    std::sort(AValues.begin(), AValues.end());
    return AValues[AValues.size() / 2];
}

} // namespace

int Bench(int argc, char** argv, std::string& ADir);

int main(int argc, char** argv) {
    std::string dir;
    try {
        return Bench(argc, argv, dir);
    } catch (const std::exception& error) {
        std::fprintf(stderr,
                     "%s\n(the servers' logs are in %s/srv; stop them with tests/servers/ftp.sh "
                     "stop %s/srv)\n",
                     error.what(), dir.c_str(), dir.c_str());
        return 1;
    }
}

int Bench(int argc, char** argv, std::string& ADir) {
    if (::geteuid() != 0) {
        std::printf("skipped: the FTP server needs a local user, which only root can make\n");
        return 0;
    }
    if (Run("command -v lftp >/dev/null") != 0) {
        std::printf("skipped: lftp is not installed\n");
        return 0;
    }
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    char pattern[] = "/tmp/kv-bench-ftpmany-XXXXXX";
    const std::string dir = ::mkdtemp(pattern);
    ADir = dir;
    ::chmod(dir.c_str(), 0755); // the server's user must reach its home below this folder
    const std::string servers = std::string(KV_SERVERS_DIR) + "/ftp.sh";
    if (Run(servers + " start " + dir + "/srv >/dev/null") != 0) {
        std::fprintf(stderr, "the servers did not start\n");
        return 1;
    }
    std::map<std::string, std::string> env;
    std::ifstream in(dir + "/srv/servers.env");
    for (std::string line; std::getline(in, line);)
        if (const size_t equals = line.find('='); equals != std::string::npos)
            env[line.substr(0, equals)] = line.substr(equals + 1);
    const std::string root = env["VSFTPD_ROOT"], ca = env["CA_FILE"], user = env["VSFTPD_USER"];
    const int port = std::stoi(env["VSFTPD_EXPLICIT_PORT"]);
    ::setenv("SSL_CERT_FILE", ca.c_str(), 1);
    const std::string local = dir + "/local";
    Run("mkdir -p " + local + "/tree " + local + "/down " + root + "/up");
    MakeTree(local + "/tree");
    Run("cp -a " + local + "/tree " + root + "/tree && chown -R " + user + " " + root);
    auto lftp = [&](const std::string& ACommand) {
        return "lftp -u " + user + "," + env["VSFTPD_PASSWORD"] +
               " -e 'set ftp:ssl-force true; set ftp:ssl-protect-data true; set ssl:ca-file " + ca +
               "; " + ACommand + "; quit' ftp://127.0.0.1:" + std::to_string(port) +
               " >/dev/null 2>&1";
    };

    TKvConnector conn = NewConnector();
    conn.Kind = ckFtps;
    conn.Host = "127.0.0.1";
    conn.Port = port;
    conn.User = user;
    conn.Secret = env["VSFTPD_PASSWORD"];
    TKvCancelToken token;
    auto ftp = OpenFtp(conn, nullptr, token).Fs;
    auto disk = std::make_shared<TKvLocalFileSystem>();

    // Kolvan, lftp, lftp --parallel=3; up and down.
    const char* names[] = {"Kolvan", "lftp mirror", "lftp mirror --parallel=3"};
    std::vector<double> up[3], down[3];
    int failures = 0;
    auto check = [&](const std::string& ACopy) {
        if (Run("diff -r " + local + "/tree " + ACopy + " >/dev/null") != 0) {
            std::fprintf(stderr, "differs: %s\n", ACopy.c_str());
            ++failures;
        }
    };
    for (int round = 0; round < rounds; ++round) {
        for (int tool = 0; tool < 3; ++tool) {
            const std::string parallel = tool == 2 ? " --parallel=3" : "";
            // A fresh target each time: nothing is removed behind the file system's back while
            // it may still hold a listing of it.
            const std::string name = "/r" + std::to_string(round) + "t" + std::to_string(tool);
            const std::string upDir = root + "/up" + name, downDir = local + "/down" + name;
            up[tool].push_back(Seconds([&] {
                if (tool == 0)
                    Copy(disk, local, "tree", ftp, upDir + "/");
                else
                    failures += Run(lftp("mirror -R" + parallel + " " + local + "/tree " + upDir +
                                         "/tree")) != 0;
            }));
            check(upDir + "/tree");
            down[tool].push_back(Seconds([&] {
                if (tool == 0)
                    Copy(ftp, root, "tree", disk, downDir + "/");
                else
                    failures += Run(lftp("mirror" + parallel + " " + root + "/tree " + downDir +
                                         "/tree")) != 0;
            }));
            check(downDir + "/tree");
            Run("rm -rf " + upDir + " " + downDir);
        }
    }
    ftp.reset(); // its connections close before the server goes
    Run(servers + " stop " + dir + "/srv");
    Run("rm -rf " + dir);
    std::printf("FTPS, %d files of 1 to 20 KB in %d folders, vsftpd on loopback, median of %d "
                "rounds (all rounds in brackets)\n",
                KFolders * KFilesPerFolder, KFolders, rounds);
    for (const auto* what : {"upload", "download"}) {
        const auto& times = std::string(what) == "upload" ? up : down;
        for (int tool = 0; tool < 3; ++tool) {
            std::string all;
            for (double value : times[tool])
                all += (all.empty() ? "" : " ") + std::to_string(value).substr(0, 5);
            std::printf("%-9s %-26s %6.2f s [%s]", what, names[tool], Median(times[tool]),
                        all.c_str());
            if (tool > 0)
                std::printf("  Kolvan / this: %.2f", Median(times[0]) / Median(times[tool]));
            std::printf("\n");
        }
    }
    if (failures) {
        std::fprintf(stderr, "%d copies failed or differ\n", failures);
        return 1;
    }
    return 0;
}
