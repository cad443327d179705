// The clipboard against another X11 program: xclip reads what Kolvan puts there and puts what
// Kolvan reads. Runs this binary again on an Xvfb display of its own.
#include <gtest/gtest.h>

#include <QClipboard>
#include <QGuiApplication>
#include <QMimeData>
#include <QProcess>
#include <QStandardPaths>
#include <QTest>
#include <csignal>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

#include "Kv.FileActions.h"
#include "Kv.Ui.Clipboard.h"
#include "KvTestSupport.h"

using namespace kv;
using namespace kv::test;

namespace {

const std::vector<std::string> KPaths = {"/tmp/a b/it's \"x\" $y", "/tmp/Grüße/z.txt"};

// Runs xclip with the event loop going, so this process can answer it as the clipboard's owner.
std::string Xclip(const QStringList& AArgs, const std::string& AInput = {}) {
    QProcess xclip;
    xclip.start("xclip", QStringList{"-selection", "clipboard"} + AArgs);
    EXPECT_TRUE(xclip.waitForStarted(5000));
    if (!AInput.empty())
        xclip.write(AInput.data(), static_cast<qint64>(AInput.size()));
    xclip.closeWriteChannel();
    EXPECT_TRUE(QTest::qWaitFor([&] { return xclip.state() == QProcess::NotRunning; }, 10000));
    QByteArray out = xclip.readAllStandardOutput();
    return std::string(out.constData(), static_cast<size_t>(out.size()));
}

// Disabled, so that a normal run neither runs nor skips it: ClipboardX11.XclipBothWays starts
// it in a child process on its own X display.
TEST(ClipboardX11Child, DISABLED_XclipBothWays) {
    ASSERT_TRUE(std::getenv("KV_X11_CHILD")) << "runs only inside ClipboardX11.XclipBothWays";
    CopyFilesToClipboard(KPaths, true);
    std::string targets = Xclip({"-o", "-t", "TARGETS"});
    for (const char* format : {"text/uri-list", "x-special/gnome-copied-files", "application/x-kde-cutselection"})
        EXPECT_NE(targets.find(format), std::string::npos) << format << " in " << targets;
    EXPECT_EQ(Xclip({"-o", "-t", "x-special/gnome-copied-files"}), GnomeCopiedFilesText(KPaths, true));
    EXPECT_EQ(Xclip({"-o", "-t", "text/uri-list"}), UriListText(KPaths));

    struct TCase {
        const char* Format;
        std::string Data;
        bool Move;
    } cases[] = {
        {"x-special/gnome-copied-files", GnomeCopiedFilesText(KPaths, false), false},
        {"x-special/gnome-copied-files", GnomeCopiedFilesText(KPaths, true), true},
        {"text/uri-list", UriListText(KPaths), false},
    };
    for (const auto& c : cases) {
        Xclip({"-i", "-t", c.Format}, c.Data);
        std::vector<std::string> paths;
        bool move = !c.Move;
        EXPECT_TRUE(QTest::qWaitFor([&] { return ReadClipboardFiles(paths, move) && move == c.Move; }, 10000))
            << c.Format;
        EXPECT_EQ(paths, KPaths) << c.Format;
    }
}

TEST(ClipboardX11, XclipBothWays) {
    const bool ci = std::getenv("CI") && std::string(std::getenv("CI")) == "true";
    if (QStandardPaths::findExecutable("xclip").isEmpty() || QStandardPaths::findExecutable("Xvfb").isEmpty()) {
        if (ci)
            FAIL() << "xclip and Xvfb are needed";
        GTEST_SKIP() << "xclip or Xvfb is missing";
    }
    // A display number no one uses: Xvfb refuses one whose lock file is there.
    int display = 0;
    for (int n = 140 + ::getpid() % 300; n < 1000 && display == 0; ++n)
        if (::access(("/tmp/.X" + std::to_string(n) + "-lock").c_str(), F_OK) != 0)
            display = n;
    QProcess xvfb;
    xvfb.start("Xvfb", {":" + QString::number(display), "-screen", "0", "640x480x24", "-nolisten", "tcp"});
    ASSERT_TRUE(xvfb.waitForStarted(5000));
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return ::access(("/tmp/.X11-unix/X" + std::to_string(display)).c_str(), F_OK) == 0; }, 10000));
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("DISPLAY", ":" + QString::number(display));
    env.insert("QT_QPA_PLATFORM", "xcb");
    env.insert("KV_X11_CHILD", "1");
    child.setProcessEnvironment(env);
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start(QCoreApplication::applicationFilePath(),
                {"--gtest_also_run_disabled_tests", "--gtest_filter=ClipboardX11Child.*"});
    ASSERT_TRUE(child.waitForStarted(5000));
    bool ended = child.waitForFinished(120000);
    std::string output = child.readAll().toStdString();
    EXPECT_TRUE(ended);
    EXPECT_EQ(child.exitCode(), 0) << output;
    EXPECT_NE(output.find("[  PASSED  ] 1 test"), std::string::npos) << output;
    ::kill(static_cast<pid_t>(xvfb.processId()), SIGTERM);
    xvfb.waitForFinished(5000);
}

} // namespace
