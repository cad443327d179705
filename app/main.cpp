// Kolvan's entry: start Qt, show the main window, run the loop, apply the exit rule.
#include <QApplication>
#include <QIcon>
#include <QLocale>
#include <QMetaObject>
#include <climits>
#include <csignal>
#include <cstdio>
#include <unistd.h>
#include <vector>

#include "Kv.FileSystem.h"
#include "Kv.Log.h"
#include "Kv.Settings.h"
#include "Kv.Ui.CommandLine.h"
#include "Kv.Ui.MainForm.h"
#include "Kv.Worker.h"

namespace {

// The arguments as bytes: a name that is not UTF-8 must reach the panel unchanged.
std::vector<std::string> Arguments(int AArgc, char** AArgv) {
    return std::vector<std::string>(AArgv + (AArgc > 0 ? 1 : 0), AArgv + AArgc);
}

std::string CurrentFolder() {
    std::vector<char> buffer(PATH_MAX + 1);
    return ::getcwd(buffer.data(), buffer.size()) ? std::string(buffer.data()) : std::string();
}

// How long quitting waits for connections to say goodbye to their servers.
constexpr int KExitWaitMs = 3000;

std::string HostName() {
    char buffer[HOST_NAME_MAX + 1] = {};
    return ::gethostname(buffer, sizeof buffer - 1) == 0 ? std::string(buffer) : std::string();
}

// The whole life of the window. The application object goes with it: deliveries still queued in
// it hold file systems whose connections close when they go.
int RunWindow(int& argc, char** argv) {
    // Sockets send with MSG_NOSIGNAL, but a pipe to a child must not kill the whole program.
    std::signal(SIGPIPE, SIG_IGN);
    QApplication app(argc, argv);
    QApplication::setApplicationName("Kolvan");
    // The desktop matches windows to kolvan.desktop; X11 window managers take the icon itself.
    QApplication::setDesktopFileName("kolvan");
    QApplication::setWindowIcon(QIcon::fromTheme("kolvan"));
    // Qt has taken its own options (-style, -platform, ...) out of argv by now.
    const kv::TKvCommandLine commandLine =
        kv::ParseCommandLine(Arguments(argc, argv), CurrentFolder(), HostName());
    for (const std::string& problem : commandLine.Problems)
        std::fprintf(stderr, "%s\n", problem.c_str());

    kv::SetDeliverDispatcher([](std::function<void()> AProc) {
        QMetaObject::invokeMethod(qApp, std::move(AProc), Qt::QueuedConnection);
    });
    QLocale locale;
    kv::SetNumberSeparators(locale.groupSeparator().toStdString(),
                            locale.decimalPoint().toStdString());
    std::string problem = kv::LoadSettings();
    kv::Log("start: " + kv::TMainForm::WindowTitle());

    int code = 0;
    {
        kv::TMainForm window({}, commandLine.Halves, problem);
        window.show();
        code = QApplication::exec();
    }
    kv::SetDeliverDispatcher(nullptr);
    return code;
}

} // namespace

int main(int argc, char** argv) {
    // --help and --version answer before Qt starts, so they work without a display.
    switch (kv::StartAction(Arguments(argc, argv))) {
    case kv::saHelp:
        std::fputs(kv::HelpText().c_str(), stdout);
        return 0;
    case kv::saVersion:
        std::fputs(kv::VersionText().c_str(), stdout);
        return 0;
    case kv::saRun:
        break;
    }

    const int code = RunWindow(argc, argv);
    // Connections closed with the window are still being torn down on their thread. Work stuck
    // past the wait must not hold up the exit or race global teardown; the log writes without
    // a buffer, so nothing is lost by leaving at once.
    if (!kv::WaitBeforeExit(KExitWaitMs) || kv::TKvWorker::HasAbandonedThreads())
        ::_exit(code);
    return code;
}
