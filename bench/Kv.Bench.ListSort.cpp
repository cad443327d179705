// Listing and sorting a folder of 100,000 files through the local file system, next to
// `ls -l` on the same folder in the same run. Run by hand: bench/run.sh list-sort.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "Kv.FS.Local.h"
#include "KvBenchRatio.h"

namespace {

std::string GFolder;
constexpr int KFiles = 100000;

void MakeFolder() {
    char pattern[] = "/tmp/kvbench-XXXXXX";
    GFolder = ::mkdtemp(pattern);
    for (int i = 0; i < KFiles; ++i) {
        // Mixed names so natural order has digits to compare.
        std::string name =
            GFolder + "/file" + std::to_string(i * 7919 % KFiles) + (i % 3 ? ".txt" : ".log");
        int fd = ::open(name.c_str(), O_WRONLY | O_CREAT, 0644);
        if (fd >= 0) {
            (void)::write(fd, "x", static_cast<size_t>(i % 2));
            ::close(fd);
        }
    }
}

void BM_KolvanListAndSort(benchmark::State& AState) {
    auto fs = kv::LocalFs();
    auto token = kv::NewCancelToken();
    for (auto _ : AState) {
        auto entries = fs->List(GFolder, *token);
        kv::SortEntries(entries, kv::scName, false);
        benchmark::DoNotOptimize(entries.data());
        if (entries.size() != KFiles)
            AState.SkipWithError("wrong count");
    }
}

void BM_LsLong(benchmark::State& AState) {
    std::string command = "LC_ALL=C ls -l '" + GFolder + "' > /dev/null";
    for (auto _ : AState) {
        if (std::system(command.c_str()) != 0)
            AState.SkipWithError("ls failed");
    }
}

BENCHMARK(BM_KolvanListAndSort)->Unit(benchmark::kMillisecond)->MinTime(3);
BENCHMARK(BM_LsLong)->Unit(benchmark::kMillisecond)->MinTime(3);

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    MakeFolder();
    kv::bench::TRatioReporter reporter(
        "BM_KolvanListAndSort", "BM_LsLong", [](double AKolvan, double APeer) {
            std::printf("\nKolvan list+sort of %d files: %.1f ms; ls -l: %.1f ms; ratio %.2f "
                        "(below 1 is faster)\n",
                        KFiles, AKolvan, APeer, AKolvan / APeer);
        });
    benchmark::RunSpecifiedBenchmarks(&reporter);
    std::filesystem::remove_all(GFolder);
    return 0;
}
