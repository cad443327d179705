// Kolvan's entry: start Qt, show the main window, run the loop, apply the exit rule.
#include <QApplication>
#include <QLocale>
#include <QMetaObject>
#include <csignal>
#include <unistd.h>

#include "Kv.FileSystem.h"
#include "Kv.Log.h"
#include "Kv.Settings.h"
#include "Kv.Ui.MainForm.h"
#include "Kv.Worker.h"

int main(int argc, char** argv) {
    // Sockets send with MSG_NOSIGNAL, but a pipe to a child must not kill the whole program.
    std::signal(SIGPIPE, SIG_IGN);
    QApplication app(argc, argv);
    QApplication::setApplicationName("Kolvan");

    kv::SetDeliverDispatcher([](std::function<void()> AProc) {
        QMetaObject::invokeMethod(qApp, std::move(AProc), Qt::QueuedConnection);
    });
    QLocale locale;
    kv::SetNumberSeparators(locale.groupSeparator().toStdString(), locale.decimalPoint().toStdString());
    std::string problem = kv::LoadSettings();
    kv::Log("start: " + kv::TMainForm::WindowTitle());

    int code = 0;
    {
        kv::TMainForm window({}, problem);
        window.show();
        code = QApplication::exec();
    }

    kv::SetDeliverDispatcher(nullptr);
    // A worker stuck in a blocking call must not hold up the exit or race global teardown.
    // The log writes without a buffer, so nothing is lost by leaving at once.
    if (kv::TKvWorker::HasAbandonedThreads())
        ::_exit(0);
    return code;
}
