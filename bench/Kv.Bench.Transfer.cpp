// Copies one 1 GiB file, a tree of 20,000 small files and a 5 GiB sparse file (12 MiB of data)
// with the transfer engine between two local folders, next to `cp` and `cp -a` on the same data
// in the same run. Run by hand:
// bench/run.sh transfer [rounds]
#include <chrono>
#include <functional>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "Kv.FS.Local.h"
#include "Kv.Transfer.Engine.h"

using namespace kv;

namespace {

class TQuietHost : public IKvTransferHost {
public:
    void SetPhase(TKvTransferPhase, int, int64_t) override {}
    void SetCurrent(const std::string&, int64_t) override {}
    void SetProgress(int64_t, int64_t, int) override {}
    TKvPromptAnswer Ask(TKvPromptKind, const std::string&, const IKvCancelToken&, bool&) override { return paCancel; }
};

double Seconds(const std::function<void()>& AAction) {
    ::sync();
    auto t0 = std::chrono::steady_clock::now();
    AAction();
    ::sync(); // both sides pay for getting their data to the disk
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

void KolvanCopy(const std::string& AFolder, const std::string& AName, const std::string& ADest) {
    TKvTransferRequest request;
    request.Kind = tkCopy;
    request.SourceFs = LocalFs();
    request.SourceDir = AFolder;
    TKvFileEntry entry;
    LocalFs()->Stat(AFolder + "/" + AName, entry);
    request.Items = {entry};
    request.DestFs = LocalFs();
    request.DestPath = ADest + "/";
    TKvRun run(request, NewCancelToken(), std::make_shared<TQuietHost>());
    auto result = run.Execute();
    if (result.Failed || result.Skipped)
        std::fprintf(stderr, "copy problem: %s\n", result.FirstProblem.c_str());
}

void Shell(const std::string& ACommand) {
    if (std::system(ACommand.c_str()) != 0)
        std::fprintf(stderr, "failed: %s\n", ACommand.c_str());
}

} // namespace

int main(int argc, char** argv) {
    int rounds = argc > 1 ? std::atoi(argv[1]) : 3;
    char pattern[] = "/tmp/kvbench-transfer-XXXXXX";
    std::string root = ::mkdtemp(pattern);
    std::string src = root + "/src";
    std::filesystem::create_directories(src + "/tree");

    // One 1 GiB file of incompressible-looking data, and 20,000 files of 1 to 8 KiB in 100 folders.
    {
        std::vector<char> block(1 << 20);
        uint64_t state = 88172645463325252ULL;
        int fd = ::open((src + "/big.bin").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        for (int i = 0; i < 1024; ++i) {
            for (auto& byte : block) {
                state ^= state << 13, state ^= state >> 7, state ^= state << 17;
                byte = static_cast<char>(state);
            }
            (void)::write(fd, block.data(), block.size());
        }
        ::close(fd);
        for (int i = 0; i < 20000; ++i) {
            std::string folder = src + "/tree/d" + std::to_string(i % 100);
            std::filesystem::create_directories(folder);
            int f = ::open((folder + "/f" + std::to_string(i)).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            (void)::write(f, block.data(), 1024 + (i * 37) % 7168);
            ::close(f);
        }
        // 5 GiB, of which 4 MiB of data at the start, in the middle and at the end.
        const int64_t sparseSize = int64_t(5) << 30;
        int s = ::open((src + "/sparse.img").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        for (int64_t at : {int64_t(0), sparseSize / 2, sparseSize - 4 * int64_t(block.size())})
            for (int i = 0; i < 4; ++i)
                (void)::pwrite(s, block.data(), block.size(), at + i * int64_t(block.size()));
        (void)::ftruncate(s, sparseSize);
        ::close(s);
    }

    double kvBig = 1e9, cpBig = 1e9, kvTree = 1e9, cpTree = 1e9, kvSparse = 1e9, cpSparse = 1e9;
    int64_t kvSparseBlocks = 0, cpSparseBlocks = 0;
    auto blocksOf = [](const std::string& APath) {
        struct stat st {};
        return ::stat(APath.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_blocks) * 512 : -1;
    };
    for (int round = 0; round < rounds; ++round) {
        std::string a = root + "/kv" + std::to_string(round), b = root + "/cp" + std::to_string(round);
        std::filesystem::create_directories(a);
        std::filesystem::create_directories(b);
        kvBig = std::min(kvBig, Seconds([&] { KolvanCopy(src, "big.bin", a); }));
        cpBig = std::min(cpBig, Seconds([&] { Shell("cp '" + src + "/big.bin' '" + b + "/'"); }));
        kvTree = std::min(kvTree, Seconds([&] { KolvanCopy(src, "tree", a); }));
        cpTree = std::min(cpTree, Seconds([&] { Shell("cp -a '" + src + "/tree' '" + b + "/'"); }));
        kvSparse = std::min(kvSparse, Seconds([&] { KolvanCopy(src, "sparse.img", a); }));
        cpSparse =
            std::min(cpSparse, Seconds([&] { Shell("cp '" + src + "/sparse.img' '" + b + "/'"); }));
        kvSparseBlocks = blocksOf(a + "/sparse.img");
        cpSparseBlocks = blocksOf(b + "/sparse.img");
        std::filesystem::remove_all(a);
        std::filesystem::remove_all(b);
    }
    std::printf("big file (1 GiB):  Kolvan %.2f s (%.0f MiB/s), cp %.2f s (%.0f MiB/s): throughput ratio %.2f (goal >= 0.95)\n",
                kvBig, 1024 / kvBig, cpBig, 1024 / cpBig, cpBig / kvBig);
    std::printf("20,000 small files: Kolvan %.2f s, cp -a %.2f s: time ratio %.2f (goal <= 1.2)\n",
                kvTree, cpTree, kvTree / cpTree);
    std::printf("sparse file (5 GiB, 12 MiB of data): Kolvan %.3f s (%.0f MiB on disk), cp %.3f s "
                "(%.0f MiB on disk): "
                "time ratio %.2f (goal < 1)\n",
                kvSparse, kvSparseBlocks / 1048576.0, cpSparse, cpSparseBlocks / 1048576.0,
                kvSparse / cpSparse);
    std::filesystem::remove_all(root);
    return 0;
}
