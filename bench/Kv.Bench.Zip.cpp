// Zipping a tree of about 200 MB of mixed text and binary with the transfer engine's zip
// routine next to `zip -6 -r`, and reading every entry of the same zip next to `unzip -t`.
// Run by hand: bench/run.sh zip
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <string>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "Kv.Archives.h"
#include "Kv.FS.Local.h"
#include "Kv.Transfer.Engine.h"

using namespace kv;

namespace {

class TQuietHost : public IKvTransferHost {
public:
    void SetPhase(TKvTransferPhase, int, int64_t) override {}
    void SetCurrent(const std::string&, int64_t) override {}
    void SetProgress(int64_t, int64_t, int) override {}
    TKvPromptAnswer Ask(TKvPromptKind, const std::string&, const IKvCancelToken&, bool&) override {
        return paCancel;
    }
};

// Processor time of this process (AWho RUSAGE_SELF) or of its finished children.
double CpuSeconds(int AWho) {
    struct rusage usage {};
    ::getrusage(AWho, &usage);
    auto seconds = [](const timeval& ATime) { return ATime.tv_sec + ATime.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// Wall time; ACpu gets the processor time spent meanwhile, all threads and children together.
double Seconds(const std::function<void()>& AAction, double* ACpu = nullptr) {
    const double cpu0 = CpuSeconds(RUSAGE_SELF) + CpuSeconds(RUSAGE_CHILDREN);
    auto t0 = std::chrono::steady_clock::now();
    AAction();
    if (ACpu)
        *ACpu = CpuSeconds(RUSAGE_SELF) + CpuSeconds(RUSAGE_CHILDREN) - cpu0;
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

void Shell(const std::string& ACommand) {
    if (std::system(ACommand.c_str()) != 0)
        std::fprintf(stderr, "failed: %s\n", ACommand.c_str());
}

// Reads every file below APath of an archive; returns the bytes read.
int64_t ReadAll(IKvFileSystem& AFs, const std::string& APath, std::vector<char>& ABuffer) {
    int64_t total = 0;
    auto token = NewCancelToken();
    for (const auto& entry : AFs.List(APath, *token)) {
        std::string path = AFs.Join(APath, entry.Name);
        if (entry.IsDir) {
            total += ReadAll(AFs, path, ABuffer);
            continue;
        }
        auto stream = AFs.OpenRead(path);
        int64_t n;
        while ((n = stream->Read(ABuffer.data(), static_cast<int64_t>(ABuffer.size()))) > 0)
            total += n;
    }
    return total;
}

} // namespace

int main(int argc, char** argv) {
    int rounds = argc > 1 ? std::atoi(argv[1]) : 2;
    char pattern[] = "/tmp/kvbench-zip-XXXXXX";
    std::string root = ::mkdtemp(pattern);
    std::string tree = root + "/tree";
    // 400 files of 500 KB: half text-like (compresses well), half random (does not).
    uint64_t state = 88172645463325252ULL;
    std::vector<char> block(500 * 1024);
    for (int i = 0; i < 400; ++i) {
        std::string folder = tree + "/d" + std::to_string(i % 20);
        std::filesystem::create_directories(folder);
        for (size_t k = 0; k < block.size(); ++k) {
            state ^= state << 13, state ^= state >> 7, state ^= state << 17;
            block[k] = i % 2 ? static_cast<char>(state) : static_cast<char>("etaoin shrdlu\n"[state % 14]);
        }
        int fd = ::open((folder + "/f" + std::to_string(i) + (i % 2 ? ".bin" : ".txt")).c_str(),
                        O_WRONLY | O_CREAT | O_TRUNC, 0644);
        (void)::write(fd, block.data(), block.size());
        ::close(fd);
    }

    double kvZip = 1e9, infoZip = 1e9, kvRead = 1e9, unzipTest = 1e9;
    double kvZipCpu = 0, infoZipCpu = 0;
    std::vector<char> buffer(1 << 20);
    for (int round = 0; round < rounds; ++round) {
        std::string ours = root + "/kv.zip", theirs = root + "/info.zip";
        std::filesystem::remove(ours);
        std::filesystem::remove(theirs);
        double cpu = 0;
        const double kvWall = Seconds(
            [&] {
                TKvTransferRequest request;
                request.Kind = tkZip;
                request.SourceFs = LocalFs();
                request.SourceDir = root;
                TKvFileEntry entry;
                LocalFs()->Stat(tree, entry);
                request.Items = {entry};
                request.DestFs = LocalFs();
                request.DestPath = ours;
                TKvRun run(request, NewCancelToken(), std::make_shared<TQuietHost>());
                auto result = run.Execute();
                if (result.Failed)
                    std::fprintf(stderr, "zip failed: %s\n", result.FirstProblem.c_str());
            },
            &cpu);
        if (kvWall < kvZip)
            kvZip = kvWall, kvZipCpu = cpu;
        const double infoWall =
            Seconds([&] { Shell("cd '" + root + "' && zip -q -6 -r info.zip tree"); }, &cpu);
        if (infoWall < infoZip)
            infoZip = infoWall, infoZipCpu = cpu;
        kvRead = std::min(kvRead, Seconds([&] {
                              auto archive = OpenArchive(theirs, *NewCancelToken());
                              ReadAll(*archive, archive->Normalize(""), buffer);
                          }));
        unzipTest = std::min(unzipTest, Seconds([&] { Shell("unzip -tq '" + theirs + "' > /dev/null"); }));
    }
    std::printf("zip 200 MB tree: Kolvan %.2f s, zip -6 -r %.2f s: time ratio %.2f (goal <= 0.6)\n", kvZip, infoZip,
                kvZip / infoZip);
    // On a busy machine the wall times say little: the processor times show the work done.
    std::printf("  processor time: Kolvan %.2f s with %u cores, zip %.2f s\n", kvZipCpu,
                std::thread::hardware_concurrency(), infoZipCpu);
    std::printf("read every entry: Kolvan %.2f s, unzip -t %.2f s: time ratio %.2f (goal <= 0.5)\n", kvRead,
                unzipTest, kvRead / unzipTest);
    std::filesystem::remove_all(root);
    return 0;
}
