// The viewer beyond single pages: finding a text in a 1 GB file next to
// `LC_ALL=C grep -boaF -m1`, the Java summary of a 1 GB log (speed and memory), and the
// viewer window paging a 10 GB sparse file from the key to the painted page.
// Run by hand: bench/run.sh viewer.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QKeyEvent>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sys/resource.h>

#include "Kv.Worker.h"

#include "Kv.FS.Local.h"
#include "Kv.Ui.ViewerForm.h"
#include "Kv.ViewData.h"
#include "KvBenchRatio.h"

namespace {

std::string GFolder, GLog, GSparse;
constexpr int64_t KLogSize = 1000LL * 1000 * 1000;
constexpr int64_t KSparseSize = 10LL * 1000 * 1000 * 1000;
const std::string KNeedle = "needle-7f3a91";

using TClock = std::chrono::steady_clock;
double Ms(TClock::time_point AFrom) {
    return std::chrono::duration<double, std::milli>(TClock::now() - AFrom).count();
}

long MaxRssKiB() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// A log of ordinary lines with a Java stack trace every few hundred lines; the needle only in
// its last megabyte, so both searches read nearly all of it.
void MakeFiles() {
    char pattern[] = "/tmp/kvbench-viewer-XXXXXX";
    GFolder = ::mkdtemp(pattern);
    GLog = GFolder + "/app.log";
    std::ofstream out(GLog, std::ios::binary);
    std::string chunk;
    int64_t written = 0;
    for (int64_t line = 0; written < KLogSize; ++line) {
        chunk += "2026-12-10 12:00:00.000 INFO  [worker-" + std::to_string(line % 16) +
                 "] com.acme.billing.Service - processed order " + std::to_string(line) +
                 " in 12 ms\n";
        if (line % 400 == 0) {
            chunk += "java.lang.IllegalStateException: order " + std::to_string(line) + "\n";
            for (int f = 0; f < 30; ++f)
                chunk += "\tat org.springframework.aop.Proxy" + std::to_string(f) +
                         ".invoke(Proxy.java:" + std::to_string(100 + f) + ")\n";
            chunk += "\tat com.acme.billing.Service.run(Service.java:42)\n\t... 12 more\n";
        }
        if (chunk.size() > (1 << 20)) {
            if (written + int64_t(chunk.size()) >= KLogSize - (1 << 20) && written < KLogSize - (1 << 20))
                chunk += "the " + KNeedle + " is here\n";
            out.write(chunk.data(), std::streamsize(chunk.size()));
            written += int64_t(chunk.size());
            chunk.clear();
        }
    }
    out.close();
    GSparse = GFolder + "/sparse.log";
    std::string command = "truncate -s " + std::to_string(KSparseSize) + " '" + GSparse + "'";
    for (int64_t at : {int64_t(0), KSparseSize / 2, KSparseSize - 8192})
        command += " && seq 1 800 | dd of='" + GSparse + "' bs=1 seek=" + std::to_string(at) +
                   " conv=notrunc status=none";
    // Both runs read from the page cache.
    command += " && cat '" + GLog + "' > /dev/null";
    if (std::system(command.c_str()) != 0)
        std::abort();
}

void BM_KolvanFind(benchmark::State& AState) {
    kv::TKvViewData data(kv::LocalFs(), GLog, GLog, int64_t(std::filesystem::file_size(GLog)));
    auto token = kv::NewCancelToken();
    for (auto _ : AState) {
        bool wrapped = false;
        int64_t at = data.Find(KNeedle, false, wrapped, *token, {}, 0, true);
        if (at < 0)
            AState.SkipWithError("not found");
        benchmark::DoNotOptimize(at);
    }
}

void BM_GrepFind(benchmark::State& AState) {
    const std::string command = "LC_ALL=C grep -boaF -m1 '" + KNeedle + "' '" + GLog + "' > /dev/null";
    for (auto _ : AState)
        if (std::system(command.c_str()) != 0)
            AState.SkipWithError("grep failed");
}

BENCHMARK(BM_KolvanFind)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_GrepFind)->Unit(benchmark::kMillisecond)->Iterations(5);

void SummaryRun() {
    kv::TKvViewData data(kv::LocalFs(), GLog, GLog, int64_t(std::filesystem::file_size(GLog)));
    auto token = kv::NewCancelToken();
    const long rssBefore = MaxRssKiB();
    auto start = TClock::now();
    int64_t hidden = data.BuildSummary(*token, {});
    const double ms = Ms(start);
    const double mbs = double(data.Size) / 1e6 / (ms / 1000);
    kv::TKvViewResult page;
    start = TClock::now();
    data.Page(kv::vmAt, 50, page, false, false, true, false, 120, data.Size / 2);
    const double middleMs = Ms(start);
    std::printf("Java summary of a 1 GB log: %.0f ms, %.0f MB/s (goal at least 300: %s); %lld "
                "lines folded, %lld rows, %zu marks; peak memory grew by %ld KiB; a page in the "
                "middle of the summary %.2f ms\n",
                ms, mbs, mbs >= 300 ? "met" : "NOT met", (long long)hidden,
                (long long)data.SumEntries, data.SumMarks.size(), MaxRssKiB() - rssBefore,
                middleMs);
}

// The window on the 10 GB file: from the key (or the bar) to the page painted.
void WindowRun(int& AArgc, char** AArgv) {
    if (!std::getenv("QT_QPA_PLATFORM"))
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(AArgc, AArgv);
    kv::SetDeliverDispatcher([](std::function<void()> AProc) {
        QMetaObject::invokeMethod(qApp, std::move(AProc), Qt::QueuedConnection);
    });
    auto start = TClock::now();
    auto* form = kv::TKvViewerForm::CreateViewer(nullptr, kv::LocalFs(), GSparse, KSparseSize);
    auto settle = [&] {
        const auto deadline = TClock::now() + std::chrono::seconds(60);
        do
            QApplication::processEvents(QEventLoop::AllEvents, 5);
        while ((form->Model().Busy() || form->Model().RowCount() == 0) && TClock::now() < deadline);
        if (TClock::now() >= deadline) {
            std::printf("no page within a minute\n");
            std::abort();
        }
        form->Area()->repaint();
    };
    settle();
    std::printf("Viewer window on a 10 GB sparse file: first page painted %.2f ms after opening\n",
                Ms(start));
    double worst = 0;
    auto key = [&](const char* AName, int AKey) {
        QKeyEvent press(QEvent::KeyPress, AKey, Qt::NoModifier);
        auto at = TClock::now();
        QApplication::sendEvent(form->Area(), &press);
        settle();
        const double ms = Ms(at);
        worst = std::max(worst, ms);
        std::printf("  %-26s %7.2f ms  (top at %lld)\n", AName, ms, (long long)form->Model().Pos());
    };
    auto bar = [&](const char* AName, int AValue) {
        auto at = TClock::now();
        form->Model().BarMovedTo(AValue);
        settle();
        const double ms = Ms(at);
        worst = std::max(worst, ms);
        std::printf("  %-26s %7.2f ms  (top at %lld)\n", AName, ms, (long long)form->Model().Pos());
    };
    for (bool hex : {false, true}) {
        if (hex)
            key("F4 (hex)", Qt::Key_F4);
        key("End", Qt::Key_End);
        key("Page Up", Qt::Key_PageUp);
        bar("scroll bar to the middle", kv::KViewBarMax / 2);
        key("Page Down", Qt::Key_PageDown);
        key("Down", Qt::Key_Down);
        bar("scroll bar to 3/4", kv::KViewBarMax * 3 / 4);
        key("Home", Qt::Key_Home);
    }
    std::printf("Slowest page painted %.2f ms after its key; goal at most 20 ms: %s\n", worst,
                worst <= 20 ? "met" : "NOT met");
    auto tail = TClock::now();
    if (std::system(("tail -n 50 '" + GSparse + "' > /dev/null").c_str()) != 0)
        std::abort();
    std::printf("Peer: tail -n 50 of the same file %.2f ms\n", Ms(tail));
    form->close();
    QApplication::processEvents();
    kv::SetDeliverDispatcher(nullptr);
}

} // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    benchmark::Initialize(&argc, argv);
    MakeFiles();
    kv::bench::TRatioReporter reporter(
        "BM_KolvanFind", "BM_GrepFind", [](double AKolvan, double APeer) {
            std::printf("\nFind in a 1 GB file: Kolvan %.0f ms, grep -boaF -m1 %.0f ms: %.2f times "
                        "grep (goal at most 1.5: %s)\n",
                        AKolvan, APeer, AKolvan / APeer, AKolvan / APeer <= 1.5 ? "met" : "NOT met");
        });
    benchmark::RunSpecifiedBenchmarks(&reporter);
    SummaryRun();
    WindowRun(argc, argv);
    std::filesystem::remove_all(GFolder);
    return 0;
}
