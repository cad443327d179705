// Every test binary runs in a fresh folder: HOME, XDG_* and TMPDIR point below it, so no test
// touches the real user's files.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <vector>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include "KvTestRoot.h"
#include "KvTestSupport.h"
#include "Kv.Worker.h"

#ifdef KV_UI_TESTS
#include <QApplication>
#include <QMetaObject>
#endif

namespace kv::test {

namespace {
std::string GRoot;
}

const std::string& TestRoot() { return GRoot; }

namespace {

bool EnvIs(const char* AName, const char* AValue) {
    const char* value = std::getenv(AName);
    return value && std::string(value) == AValue;
}

// A skipped test shows as passed in ctest, so a run that must check everything (CI=true, or
// KV_STRICT_SKIPS=1 as ./test.sh sets it) fails each skip whose reason is not in
// tests/allowed-skips.txt: the short list of what this kind of machine cannot do. Allowed skips
// are appended to $KV_SKIP_LOG for ./test.sh to show at the end. KV_ALLOW_SKIPS=1 lets every
// skip pass again, except under CI=true.
class TSkipPolicy : public ::testing::EmptyTestEventListener {
public:
    TSkipPolicy() {
        FStrict = EnvIs("CI", "true") ||
                  (EnvIs("KV_STRICT_SKIPS", "1") && !EnvIs("KV_ALLOW_SKIPS", "1"));
        std::ifstream in(KV_ALLOWED_SKIPS);
        FListRead = in.good();
        // Each entry: the text a skip message contains, " -- ", and why this machine cannot.
        for (std::string line; std::getline(in, line);) {
            if (line.empty() || line[0] == '#')
                continue;
            const auto cut = line.find(" -- ");
            FAllowed.push_back(line.substr(0, cut));
        }
    }

    void OnTestStart(const ::testing::TestInfo&) override { FSkips.clear(); }

    // No failure may be raised here (gtest would report it back to this listener): OnTestEnd
    // judges the skips.
    void OnTestPartResult(const ::testing::TestPartResult& AResult) override {
        if (AResult.skipped())
            FSkips.push_back(AResult.message());
    }

    void OnTestEnd(const ::testing::TestInfo& AInfo) override {
        if (!AInfo.result()->Skipped())
            return;
        const std::string name = std::string(AInfo.test_suite_name()) + "." + AInfo.name();
        for (const auto& skip : FSkips) {
            if (Allowed(skip)) {
                Log(name + ": " + skip);
                continue;
            }
            if (!FStrict)
                continue;
            if (!FListRead)
                ADD_FAILURE() << "skipped, and the list of allowed skips " << KV_ALLOWED_SKIPS
                              << " cannot be read: " << skip;
            else
                ADD_FAILURE() << "skipped for a reason not in " << KV_ALLOWED_SKIPS
                              << " (KV_ALLOW_SKIPS=1 lets it pass outside CI): " << skip;
        }
    }

private:
    bool Allowed(const std::string& AMessage) const {
        for (const auto& text : FAllowed)
            if (!text.empty() && AMessage.find(text) != std::string::npos)
                return true;
        return false;
    }
    static void Log(const std::string& ALine) {
        const char* file = std::getenv("KV_SKIP_LOG");
        if (file && *file)
            std::ofstream(file, std::ios::app) << ALine << "\n";
    }

    bool FStrict = false;
    bool FListRead = false;
    std::vector<std::string> FAllowed;
    std::vector<std::string> FSkips;
};

} // namespace

} // namespace kv::test

int main(int argc, char** argv) {
    ::signal(SIGPIPE, SIG_IGN);
    std::string pattern = kv::test::MakeTestRoot();
    if (pattern.empty())
        return 2;
    kv::test::GRoot = pattern;
    ::testing::InitGoogleTest(&argc, argv);
    // Last in the list, so its OnTestEnd runs before the printers report the test.
    ::testing::UnitTest::GetInstance()->listeners().Append(new kv::test::TSkipPolicy);
#ifdef KV_UI_TESTS
    // Widget tests run without a display; deliveries go through the Qt event loop as in Kolvan.
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    int result = 0;
    {
        // Gone before the exit wait: deliveries still queued in it hold file systems whose
        // connections close when they go.
        QApplication app(argc, argv);
        kv::SetDeliverDispatcher([](std::function<void()> AProc) {
            QMetaObject::invokeMethod(qApp, std::move(AProc), Qt::QueuedConnection);
        });
        result = RUN_ALL_TESTS();
        kv::SetDeliverDispatcher(nullptr);
    }
#else
    int result = RUN_ALL_TESTS();
#endif
    if (!std::getenv("KV_KEEP_TEST_ROOT"))
        kv::test::RemoveTree(pattern);
    // As the program does: no exit handler may run under a connection still closing.
    if (!kv::WaitBeforeExit(10000)) {
        std::fprintf(stderr, "Connections were still closing 10 s after the last test.\n");
        ::_exit(result ? result : 1);
    }
    return result;
}
