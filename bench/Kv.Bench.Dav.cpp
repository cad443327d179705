// WebDAV over HTTPS on loopback against apache2 (mod_dav, Basic login): download and upload of
// one 200 MiB file through the transfer engine next to curl on the same server in the same
// run, a listing of a folder of 10,000 entries, and the multistatus reader on that answer.
// Run by hand as root (the servers run as www-data): bench/run.sh dav [rounds]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "Kv.FS.Dav.h"
#include "Kv.FS.Local.h"
#include "Kv.Transfer.Engine.h"

using namespace kv;

namespace {

constexpr int64_t KSize = 200 * 1048576LL;
constexpr int KListed = 10000;

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
    request.Overwrite = true;
    TKvRun run(request, NewCancelToken(), std::make_shared<TQuietHost>());
    const auto result = run.Execute();
    if (result.Failed || result.Skipped || result.Succeeded != 1)
        throw std::runtime_error("copy failed: " + result.FirstProblem);
}

} // namespace

int Bench(int argc, char** argv, std::string& ADir);

int main(int argc, char** argv) {
    std::string dir;
    try {
        return Bench(argc, argv, dir);
    } catch (const std::exception& error) {
        std::fprintf(stderr,
                     "%s\n(the servers' logs are in %s/srv; stop them with tests/servers/dav.sh "
                     "stop %s/srv)\n",
                     error.what(), dir.c_str(), dir.c_str());
        return 1;
    }
}

int Bench(int argc, char** argv, std::string& ADir) {
    if (::geteuid() != 0) {
        std::printf("skipped: the WebDAV servers run as www-data, which only root can arrange\n");
        return 0;
    }
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    char pattern[] = "/tmp/kv-bench-dav-XXXXXX";
    const std::string dir = ::mkdtemp(pattern);
    ADir = dir;
    ::chmod(dir.c_str(), 0755);
    const std::string servers = std::string(KV_SERVERS_DIR) + "/dav.sh";
    if (Run(servers + " start " + dir + "/srv") != 0) {
        std::fprintf(stderr, "the servers did not start\n");
        return 1;
    }
    std::map<std::string, std::string> env;
    std::ifstream in(dir + "/srv/servers.env");
    for (std::string line; std::getline(in, line);)
        if (const size_t equals = line.find('='); equals != std::string::npos)
            env[line.substr(0, equals)] = line.substr(equals + 1);
    const std::string root = env["APACHE_ROOT"] + "/basic", ca = env["CA_FILE"];
    const int port = std::stoi(env["APACHE_PORT"]);
    ::setenv("SSL_CERT_FILE", ca.c_str(), 1);
    const std::string local = dir + "/local";
    Run("mkdir -p " + local + "/down " + local + "/up " + root + "/up " + root +
        "/many && head -c " + std::to_string(KSize) + " /dev/urandom > " + root +
        "/big.bin && cp " + root + "/big.bin " + local + "/up/big.bin && cd " + root +
        "/many && seq -f 'entry number %05g.txt' 1 " + std::to_string(KListed) +
        " | xargs -d '\\n' touch && chown -R www-data:www-data " + root);
    const std::string url = "https://127.0.0.1:" + std::to_string(port) + "/basic";
    const std::string curl = "curl -s -f --http1.1 --cacert " + ca + " -u '" + env["DAV_USER"] +
                             ":" + env["DAV_PASSWORD"] + "' ";

    TKvConnector conn = NewConnector();
    conn.Kind = ckWebDavs;
    conn.Host = url;
    conn.Port = port;
    conn.User = env["DAV_USER"];
    conn.Secret = env["DAV_PASSWORD"];
    TKvCancelToken token;
    auto dav = OpenDav(conn, nullptr, token).Fs;
    auto disk = std::make_shared<TKvLocalFileSystem>();

    double best[6] = {1e9, 1e9, 1e9, 1e9, 1e9, 1e9};
    int failures = 0;
    size_t listed = 0;
    for (int round = 0; round < rounds; ++round) {
        Run("rm -f " + local + "/down/big.bin " + root + "/up/big.bin");
        best[0] =
            std::min(best[0], Seconds([&] { Copy(dav, "/", "big.bin", disk, local + "/down"); }));
        Run("rm -f " + local + "/down/big.bin");
        best[1] = std::min(best[1], Seconds([&] {
                               failures +=
                                   Run(curl + url + "/big.bin -o " + local + "/down/big.bin") != 0;
                           }));
        best[2] =
            std::min(best[2], Seconds([&] { Copy(disk, local + "/up", "big.bin", dav, "/up"); }));
        Run("rm -f " + root + "/up/big.bin");
        best[3] = std::min(best[3], Seconds([&] {
                               failures += Run(curl + "-o /dev/null -T " + local + "/up/big.bin " +
                                               url + "/up/big.bin") != 0;
                           }));
        best[4] = std::min(best[4], Seconds([&] { listed = dav->List("/many", token).size(); }));
    }
    // The reader alone, on the answer the listing got.
    std::string answer;
    dav->RequestText("PROPFIND", dav->RequestUri("/many", true), nullptr,
                     "<?xml version=\"1.0\" encoding=\"utf-8\"?><D:propfind xmlns:D=\"DAV:\">"
                     "<D:prop><D:resourcetype/><D:getcontentlength/><D:getlastmodified/>"
                     "</D:prop></D:propfind>",
                     {"Depth: 1"}, answer);
    size_t items = 0;
    for (int round = 0; round < 5; ++round)
        best[5] = std::min(best[5], Seconds([&] { items = ParseMultistatus(answer).size(); }));
    const bool same = Run("cmp -s " + root + "/big.bin " + local + "/down/big.bin") == 0 &&
                      Run("cmp -s " + local + "/up/big.bin " + root + "/up/big.bin") == 0;
    dav.reset(); // its connections close before the server goes
    Run(servers + " stop " + dir + "/srv");
    Run("rm -rf " + dir);
    const double mib = KSize / 1048576.0;
    std::printf("WebDAV over HTTPS (apache2), 200 MiB on loopback, best of %d rounds\n", rounds);
    std::printf("download: Kolvan %.0f MiB/s, curl %.0f MiB/s: %.2f of curl's throughput\n",
                mib / best[0], mib / best[1], best[1] / best[0]);
    std::printf("upload:   Kolvan %.0f MiB/s, curl %.0f MiB/s: %.2f of curl's throughput\n",
                mib / best[2], mib / best[3], best[3] / best[2]);
    std::printf("listing of %zu entries: %.0f ms; multistatus reader: %.1f MB answer, %zu items, "
                "%.0f MB/s\n",
                listed, best[4] * 1000, answer.size() / 1e6, items, answer.size() / 1e6 / best[5]);
    if (failures || !same || listed != KListed) {
        std::fprintf(stderr, "curl failed %d times; copies identical: %s; listed %zu\n", failures,
                     same ? "yes" : "no", listed);
        return 1;
    }
    return 0;
}
