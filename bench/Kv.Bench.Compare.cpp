// Compare of two identical trees of 50,000 files, next to `diff -rq` on the same trees in the
// same run. Run by hand: bench/run.sh compare.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>

#include "Kv.Compare.h"
#include "Kv.FS.Local.h"
#include "KvBenchRatio.h"

namespace {

std::string GFolder;
constexpr int KFolders = 50;
constexpr int KFilesPerFolder = 1000;

void MakeTrees() {
    char pattern[] = "/tmp/kvbench-compare-XXXXXX";
    GFolder = ::mkdtemp(pattern);
    std::mt19937 random(9);
    for (int d = 0; d < KFolders; ++d) {
        for (const char* side : {"/L/", "/R/"})
            std::filesystem::create_directories(GFolder + side + "d" + std::to_string(d));
        for (int f = 0; f < KFilesPerFolder; ++f) {
            std::string content;
            size_t size = 200 + random() % 3000;
            while (content.size() < size) {
                content += "line ";
                content += std::to_string(random() % 1000);
                content += " of some text\n";
            }
            std::string name = "d";
            name += std::to_string(d);
            name += "/file";
            name += std::to_string(f);
            name += ".txt";
            for (const char* side : {"/L/", "/R/"})
                std::ofstream(GFolder + side + name, std::ios::binary) << content;
        }
    }
}

void BM_KolvanCompare(benchmark::State& AState) {
    auto token = kv::NewCancelToken();
    kv::TKvCompareOptions options;
    for (auto _ : AState) {
        int same = 0;
        kv::RunCompare(
            *kv::LocalFs(), GFolder + "/L", *kv::LocalFs(),
            [&](std::vector<kv::TKvCompareRow> ARows, int, const std::string&, int) {
                for (const auto& row : ARows)
                    same += row.State == kv::crSame;
            },
            *token, {}, options, GFolder + "/R");
        if (same != KFolders * KFilesPerFolder)
            AState.SkipWithError("not all the same");
    }
}

void BM_DiffRq(benchmark::State& AState) {
    std::string command = "LC_ALL=C diff -rq '" + GFolder + "/L' '" + GFolder + "/R' > /dev/null";
    for (auto _ : AState)
        if (std::system(command.c_str()) != 0)
            AState.SkipWithError("diff failed");
}

BENCHMARK(BM_DiffRq)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();
BENCHMARK(BM_KolvanCompare)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    MakeTrees();
    kv::bench::TRatioReporter reporter(
        "BM_KolvanCompare", "BM_DiffRq", [](double AKolvan, double APeer) {
            std::printf(
                "\nCompare of two identical trees of %d files: Kolvan %.0f ms; diff -rq %.0f ms; "
                "ratio %.2f (goal at most 1.2)\n",
                KFolders * KFilesPerFolder, AKolvan, APeer, AKolvan / APeer);
        });
    benchmark::RunSpecifiedBenchmarks(&reporter);
    std::filesystem::remove_all(GFolder);
    return 0;
}
