// Content search for a literal over a 1 GB tree, next to `LC_ALL=C grep -rlF` on the same tree
// in the same run. Run by hand: bench/run.sh search.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>

#include "Kv.FS.Local.h"
#include "Kv.Search.h"
#include "KvBenchRatio.h"

namespace {

std::string GFolder;
constexpr int KFolders = 40;
constexpr int KFilesPerFolder = 100;
constexpr size_t KFileSize = 256 * 1024; // 40 x 100 x 256 KiB = 1 GiB
const std::string KLiteral = "kolvan-needle-literal";
int GWithLiteral = 0;

void MakeTree() {
    char pattern[] = "/tmp/kvbench-search-XXXXXX";
    GFolder = ::mkdtemp(pattern);
    std::mt19937_64 random(1);
    std::string pool(4 * KFileSize, ' ');
    for (auto& c : pool) {
        unsigned roll = unsigned(random() % 64);
        c = roll < 52 ? char(roll < 26 ? 'a' + roll : 'A' + roll - 26) : roll < 60 ? ' ' : '\n';
    }
    for (int d = 0; d < KFolders; ++d) {
        std::string folder = GFolder + "/dir" + std::to_string(d);
        std::filesystem::create_directories(folder + "/sub");
        for (int f = 0; f < KFilesPerFolder; ++f) {
            std::string content = pool.substr(size_t(random() % (3 * KFileSize)), KFileSize);
            if (random() % 50 == 0) {
                content.replace(size_t(random() % (KFileSize - 64)), KLiteral.size(), KLiteral);
                ++GWithLiteral;
            }
            std::ofstream(folder + (f % 2 ? "/sub/f" : "/f") + std::to_string(f) + ".txt",
                          std::ios::binary)
                << content;
        }
    }
}

void BM_KolvanSearch(benchmark::State& AState) {
    kv::TKvSearchSpec spec;
    spec.Text = KLiteral;
    spec.MatchCase = true;
    spec.Subfolders = true;
    auto token = kv::NewCancelToken();
    for (auto _ : AState) {
        int hits = 0;
        kv::RunSearch(
            *kv::LocalFs(), GFolder, spec,
            [&](std::vector<kv::TKvSearchHit> AHits, int, const std::string&, int) {
                hits += int(AHits.size());
            },
            *token);
        if (hits != GWithLiteral)
            AState.SkipWithError("wrong number of hits");
    }
}

void BM_GrepRlF(benchmark::State& AState) {
    std::string command = "LC_ALL=C grep -rlF '" + KLiteral + "' '" + GFolder + "' > /dev/null";
    for (auto _ : AState)
        if (std::system(command.c_str()) != 0)
            AState.SkipWithError("grep failed");
}

BENCHMARK(BM_GrepRlF)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();
BENCHMARK(BM_KolvanSearch)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    MakeTree();
    kv::bench::TRatioReporter reporter(
        "BM_KolvanSearch", "BM_GrepRlF", [](double AKolvan, double APeer) {
            std::printf(
                "\nContent search over 1 GiB (%d files): Kolvan %.0f ms; grep -rlF %.0f ms; "
                "ratio %.2f (goal at most 1.5)\n",
                KFolders * KFilesPerFolder, AKolvan, APeer, AKolvan / APeer);
        });
    benchmark::RunSpecifiedBenchmarks(&reporter);
    std::filesystem::remove_all(GFolder);
    return 0;
}
