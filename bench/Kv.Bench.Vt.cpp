// Parser and screen together on a 120 x 40 screen with 10,000 lines of scrollback, next to
// libvterm fed the same bytes in the same run; prints MB/s and the ratio per corpus.
// Run by hand: bench/run.sh vt
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "Kv.Vt.Parser.h"

extern "C" {
#include <vterm.h>
}

namespace {

constexpr int KCols = 120;
constexpr int KRows = 40;
constexpr int KScrollback = 10000;
constexpr size_t KCorpusBytes = 4 << 20;

// (a) plain ASCII text: lines of words of varying length, as a build log or a listing.
std::string PlainCorpus() {
    std::mt19937 random(1);
    std::string out;
    while (out.size() < KCorpusBytes) {
        int words = 3 + int(random() % 14);
        for (int w = 0; w < words; ++w) {
            int length = 1 + int(random() % 10);
            for (int i = 0; i < length; ++i)
                out += char('a' + random() % 26);
            out += ' ';
        }
        out += "\r\n";
    }
    return out;
}

// (b) coloured output with UTF-8: ls --color, compiler diagnostics, prompts.
std::string ColourCorpus() {
    std::mt19937 random(2);
    static const char* const KWords[] = {"build",
                                         "r\xc3\xa9sum\xc3\xa9",
                                         "\xd1\x84\xd0\xb0\xd0\xb9\xd0\xbb",
                                         "\xe4\xb8\xad\xe6\x96\x87",
                                         "src/main.cpp",
                                         "\xce\xb1\xce\xb2\xce\xb3",
                                         "warning:",
                                         "\xe2\x94\x80\xe2\x94\x80"};
    std::string out;
    while (out.size() < KCorpusBytes) {
        int words = 3 + int(random() % 8);
        for (int w = 0; w < words; ++w) {
            switch (random() % 4) {
            case 0:
                out += "\x1b[" + std::to_string(30 + random() % 8) + "m";
                break;
            case 1:
                out += "\x1b[1;38;5;" + std::to_string(random() % 256) + "m";
                break;
            case 2:
                out += "\x1b[38;2;" + std::to_string(random() % 256) + ";" +
                       std::to_string(random() % 256) + ";" + std::to_string(random() % 256) + "m";
                break;
            default:
                break;
            }
            out += KWords[random() % 8];
            out += "\x1b[0m ";
        }
        out += "\r\n";
    }
    return out;
}

// (c) full-screen redraws with cursor addressing, as top or an editor repaints.
std::string RedrawCorpus() {
    std::mt19937 random(3);
    std::string out;
    while (out.size() < KCorpusBytes) {
        out += "\x1b[H\x1b[2J";
        for (int row = 1; row <= KRows; ++row) {
            out += "\x1b[" + std::to_string(row) + ";1H";
            if (row % 5 == 0)
                out += "\x1b[7m";
            int length = 20 + int(random() % 100);
            for (int i = 0; i < length; ++i)
                out += char(' ' + random() % 95);
            out += "\x1b[0m\x1b[K";
        }
        for (int i = 0; i < 30; ++i) {
            out += "\x1b[" + std::to_string(1 + random() % KRows) + ";" +
                   std::to_string(1 + random() % KCols) + "H";
            out += "\x1b[3" + std::to_string(random() % 8) + "m" +
                   std::to_string(random() % 100000) + "\x1b[m";
        }
    }
    return out;
}

const std::string& Corpus(int AIndex) {
    static const std::string KCorpora[] = {PlainCorpus(), ColourCorpus(), RedrawCorpus()};
    return KCorpora[AIndex];
}

void BM_Kolvan(benchmark::State& AState) {
    const std::string& bytes = Corpus(int(AState.range(0)));
    kv::TKvVtScreen screen(KCols, KRows, KScrollback);
    kv::TKvVtParser parser(screen);
    for (auto _ : AState) {
        // Fed in reads of 4 KiB, as a shell's reader delivers them.
        for (size_t i = 0; i < bytes.size(); i += 4096)
            parser.Feed(bytes.data() + i, std::min<size_t>(4096, bytes.size() - i));
        benchmark::DoNotOptimize(screen.CursorX());
    }
    AState.SetBytesProcessed(int64_t(AState.iterations()) * int64_t(bytes.size()));
}

// libvterm hands lines that scroll off to the host, which must keep them: a ring of copies.
struct TVtermHost {
    std::vector<std::vector<VTermScreenCell>> Lines;
    size_t Next = 0;
};

int PushLine(int ACols, const VTermScreenCell* ACells, void* AUser) {
    auto* host = static_cast<TVtermHost*>(AUser);
    auto& line = host->Lines[host->Next];
    line.assign(ACells, ACells + ACols);
    host->Next = (host->Next + 1) % host->Lines.size();
    return 1;
}

void BM_Libvterm(benchmark::State& AState) {
    const std::string& bytes = Corpus(int(AState.range(0)));
    VTerm* vt = vterm_new(KRows, KCols);
    vterm_set_utf8(vt, 1);
    VTermScreen* screen = vterm_obtain_screen(vt);
    static VTermScreenCallbacks callbacks{};
    callbacks.sb_pushline = PushLine;
    TVtermHost host;
    host.Lines.resize(KScrollback);
    vterm_screen_set_callbacks(screen, &callbacks, &host);
    vterm_screen_enable_altscreen(screen, 1);
    vterm_screen_reset(screen, 1);
    for (auto _ : AState) {
        for (size_t i = 0; i < bytes.size(); i += 4096)
            vterm_input_write(vt, bytes.data() + i, std::min<size_t>(4096, bytes.size() - i));
    }
    AState.SetBytesProcessed(int64_t(AState.iterations()) * int64_t(bytes.size()));
    vterm_free(vt);
}

BENCHMARK(BM_Kolvan)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->MinTime(2);
BENCHMARK(BM_Libvterm)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->MinTime(2);

class TRatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& ARuns) override {
        ConsoleReporter::ReportRuns(ARuns);
        for (const auto& run : ARuns) {
            auto it = run.counters.find("bytes_per_second");
            if (it != run.counters.end())
                FSpeeds[run.benchmark_name()] = it->second.value / 1e6;
        }
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        static const char* const KNames[] = {"plain ASCII", "SGR colours and UTF-8",
                                             "full-screen redraws"};
        std::printf("\n%-24s %12s %12s %8s\n", "corpus (120x40, 10000)", "Kolvan MB/s",
                    "libvterm MB/s", "ratio");
        for (int i = 0; i < 3; ++i) {
            std::string arg = "/" + std::to_string(i) + "/min_time:2.000";
            double own = FSpeeds["BM_Kolvan" + arg], other = FSpeeds["BM_Libvterm" + arg];
            std::printf("%-24s %12.1f %12.1f %8.2f\n", KNames[i], own, other,
                        other > 0 ? own / other : 0.0);
        }
    }

private:
    std::map<std::string, double> FSpeeds;
};

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    TRatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    return 0;
}
