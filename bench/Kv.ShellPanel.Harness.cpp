// A window with nothing but the terminal half over a hybrid SSH connection, for looking at the
// links by eye. Not part of Kolvan.
//   kv_shellpanel_harness HOST PORT USER PASSWORD
#include <QApplication>
#include <QMetaObject>
#include <cstdlib>

#include "Kv.Ui.ShellPanel.h"
#include "Kv.Worker.h"
#include "KvBenchPeers.h"

using namespace kv;
using bench::TTrustingUi;

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc < 5) {
        std::fprintf(stderr, "usage: %s HOST PORT USER PASSWORD\n", argv[0]);
        return 2;
    }
    SetDeliverDispatcher([](std::function<void()> AProc) {
        QMetaObject::invokeMethod(qApp, std::move(AProc), Qt::QueuedConnection);
    });
    TKvConnector conn;
    conn.Kind = ckSsh;
    conn.Name = "harness";
    conn.Host = argv[1];
    conn.Port = std::atoi(argv[2]);
    conn.User = argv[3];
    conn.Secret = argv[4];
    conn.Hybrid = true;
    int result = 0;
    {
        TKvShellPanel panel;
        panel.resize(900, 520);
        panel.OnTitleChanged = [](TKvShellPanel* APanel) {
            APanel->setWindowTitle(QString::fromStdString(APanel->Title()));
        };
        panel.Open(conn, std::make_shared<TTrustingUi>());
        panel.show();
        result = app.exec();
    }
    SetDeliverDispatcher(nullptr);
    return result;
}
