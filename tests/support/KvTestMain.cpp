// Every test binary runs in a fresh folder: HOME, XDG_* and TMPDIR point below it, so no test
// touches the real user's files.
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include "KvTestRoot.h"
#include "KvTestSupport.h"

#ifdef KV_UI_TESTS
#include <QApplication>
#include <QMetaObject>

#include "Kv.Worker.h"
#endif

namespace kv::test {

namespace {
std::string GRoot;
}

const std::string& TestRoot() { return GRoot; }

} // namespace kv::test

int main(int argc, char** argv) {
    ::signal(SIGPIPE, SIG_IGN);
    std::string pattern = kv::test::MakeTestRoot();
    if (pattern.empty())
        return 2;
    kv::test::GRoot = pattern;
    ::testing::InitGoogleTest(&argc, argv);
#ifdef KV_UI_TESTS
    // Widget tests run without a display; deliveries go through the Qt event loop as in Kolvan.
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    kv::SetDeliverDispatcher([](std::function<void()> AProc) {
        QMetaObject::invokeMethod(qApp, std::move(AProc), Qt::QueuedConnection);
    });
    int result = RUN_ALL_TESTS();
    kv::SetDeliverDispatcher(nullptr);
#else
    int result = RUN_ALL_TESTS();
#endif
    if (!std::getenv("KV_KEEP_TEST_ROOT"))
        kv::test::RemoveTree(pattern);
    return result;
}
