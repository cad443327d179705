// The compare window receiving 100,000 rows from a real comparison: the longest time the
// window's thread was blocked while the rows arrived, the time to the last row, and one paint
// of the list scrolled to the end. Run by hand: bench/run.sh compare_form
#include <QAbstractScrollArea>
#include <QApplication>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <unistd.h>

#include "Kv.FS.Local.h"
#include "Kv.Ui.CompareForm.h"
#include "Kv.Worker.h"

using namespace kv;

namespace {

constexpr int KFolders = 100;
constexpr int KFilesPerFolder = 1000;

} // namespace

int main(int argc, char** argv) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    // The longest single delivery (a batch of rows reaching the window) is measured on its own.
    double longestDelivery = 0;
    SetDeliverDispatcher([&longestDelivery](std::function<void()> AProc) {
        QMetaObject::invokeMethod(
            qApp,
            [&longestDelivery, proc = std::move(AProc)] {
                auto t0 = std::chrono::steady_clock::now();
                proc();
                longestDelivery = std::max(
                    longestDelivery,
                    std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
            },
            Qt::QueuedConnection);
    });

    // Every file on the left only, so every row is shown and none needs reading.
    char pattern[] = "/tmp/kvbench-compareform-XXXXXX";
    const std::string folder = ::mkdtemp(pattern);
    for (int d = 0; d < KFolders; ++d) {
        const std::string left = folder + "/L/d" + std::to_string(d);
        std::filesystem::create_directories(left);
        std::filesystem::create_directories(folder + "/R/d" + std::to_string(d));
        for (int f = 0; f < KFilesPerFolder; ++f)
            ::close(::open((left + "/file" + std::to_string(f) + ".txt").c_str(), O_WRONLY | O_CREAT, 0644));
    }

    QElapsedTimer clock;
    clock.start();
    qint64 last = 0, worst = 0;
    QTimer ticker;
    ticker.setInterval(1);
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        const qint64 now = clock.elapsed();
        worst = std::max(worst, now - last);
        last = now;
    });
    ticker.start();
    last = clock.elapsed();
    TKvCompareForm* form = TKvCompareForm::Open(nullptr, {LocalFs(), folder + "/L", "L"}, {LocalFs(), folder + "/R", "R"},
                                                TKvCompareOptions{}, {}, {}, {});
    // Building and first showing the window (fonts, style) is measured apart from the rows.
    const qint64 opened = clock.elapsed() - last;
    last = clock.elapsed();
    while (form->Model().Busy())
        QApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    const qint64 done = clock.elapsed();
    ticker.stop();

    auto* list = form->findChild<QAbstractScrollArea*>();
    QKeyEvent end(QEvent::KeyPress, Qt::Key_End, Qt::NoModifier);
    auto t0 = std::chrono::steady_clock::now();
    QApplication::sendEvent(list, &end);
    list->viewport()->repaint();
    const double paint = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();

    const int rows = form->Model().ViewCount();
    std::printf("compare window, %d rows: opened in %lld ms, all shown after %lld ms; while they arrived the window's "
                "thread was blocked at most %lld ms (goal at most 50), the longest batch took %.1f ms; End and one paint %.1f ms\n",
                rows, static_cast<long long>(opened), static_cast<long long>(done), static_cast<long long>(worst), longestDelivery, paint);
    form->close();
    QApplication::processEvents();
    std::filesystem::remove_all(folder);
    return rows == KFolders * KFilesPerFolder ? 0 : 1;
}
