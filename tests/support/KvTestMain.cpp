// Every test binary runs in a fresh folder: HOME, XDG_* and TMPDIR point below it, so no test
// touches the real user's files.
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

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
    const char* base = std::getenv("KV_TEST_BASE");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/kvtest-XXXXXX";
    if (!::mkdtemp(pattern.data())) {
        std::perror("mkdtemp");
        return 2;
    }
    // Open enough for the tests that run a step as "nobody".
    ::chmod(pattern.c_str(), 0755);
    kv::test::GRoot = pattern;
    for (const char* sub : {"home", "config", "data", "cache", "tmp"})
        std::filesystem::create_directories(pattern + "/" + sub);
    ::setenv("HOME", (pattern + "/home").c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (pattern + "/config").c_str(), 1);
    ::setenv("XDG_DATA_HOME", (pattern + "/data").c_str(), 1);
    ::setenv("XDG_CACHE_HOME", (pattern + "/cache").c_str(), 1);
    ::setenv("TMPDIR", (pattern + "/tmp").c_str(), 1);
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
