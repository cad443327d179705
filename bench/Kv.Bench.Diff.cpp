// The line diff of two 50 MB files with 3% of the lines changed, next to GNU diff on the same
// files in the same run. Kolvan's figure is the diff window's whole load: read both files, tell
// text from binary, decode, split, match and expand tabs. Run by hand: bench/run.sh diff.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>

#include "Kv.DiffLoad.h"
#include "Kv.FS.Local.h"
#include "KvBenchRatio.h"

namespace {

std::string GFolder;
constexpr size_t KTarget = 50u << 20;

void MakeFiles() {
    char pattern[] = "/tmp/kvbench-diff-XXXXXX";
    GFolder = ::mkdtemp(pattern);
    std::mt19937_64 random(42);
    static const char* words[] = {
        "int",   "return",      "value", "const", "auto",   "if",   "else", "for",
        "while", "std::string", "count", "index", "result", "= 0;", "{",    "}"};
    std::string left, right;
    left.reserve(KTarget + 4096);
    right.reserve(KTarget + 4096);
    for (long line = 0; left.size() < KTarget; ++line) {
        std::string text = "    ";
        int count = 3 + int(random() % 8);
        for (int w = 0; w < count; ++w)
            text += std::string(words[random() % 16]) + " ";
        text += "// " + std::to_string(random() % 100000) + "\n";
        left += text;
        unsigned roll = unsigned(random() % 100);
        if (roll < 3) { // changed, removed or added: 3% of the lines in all
            if (roll == 0)
                right += "    changed " + std::to_string(line) + "\n";
            else if (roll == 2)
                right += text + "    added " + std::to_string(line) + "\n";
        } else {
            right += text;
        }
    }
    std::ofstream(GFolder + "/a", std::ios::binary) << left;
    std::ofstream(GFolder + "/b", std::ios::binary) << right;
}

void BM_KolvanDiff(benchmark::State& AState) {
    kv::TKvCompareOptions options;
    options.IgnoreTrailingSpace = options.IgnoreEndBlankLines = false;
    auto token = kv::NewCancelToken();
    for (auto _ : AState) {
        kv::TKvDiffLoadPtr load =
            kv::LoadDiff(*kv::LocalFs(), GFolder + "/a", *kv::LocalFs(), GFolder + "/b", options, *token);
        if (!load->Error.empty() || load->Binary)
            AState.SkipWithError("not loaded as text");
        AState.counters["rows"] = double(load->RowCount);
    }
}

void BM_GnuDiff(benchmark::State& AState) {
    std::string command = "LC_ALL=C diff '" + GFolder + "/a' '" + GFolder + "/b' > /dev/null";
    for (auto _ : AState) {
        int code = std::system(command.c_str());
        if (code != 0 && code != 256)
            AState.SkipWithError("diff failed");
    }
}

BENCHMARK(BM_KolvanDiff)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();
BENCHMARK(BM_GnuDiff)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    MakeFiles();
    kv::bench::TRatioReporter reporter("BM_KolvanDiff", "BM_GnuDiff",
                                       [](double AKolvan, double APeer) {
                                           std::printf("\nDiff of two 50 MB files, 3%% of lines "
                                                       "changed: Kolvan %.0f ms; GNU diff %.0f ms; "
                                                       "ratio %.2f (goal at most 1.2)\n",
                                                       AKolvan, APeer, AKolvan / APeer);
                                       });
    benchmark::RunSpecifiedBenchmarks(&reporter);
    std::filesystem::remove_all(GFolder);
    return 0;
}
