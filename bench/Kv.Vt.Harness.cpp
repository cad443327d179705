// A window with nothing but the terminal control over the local shell, for looking at the
// control by eye next to another terminal emulator. Not part of Kolvan.
//   kv_vt_harness [COLS ROWS] [FONT-HEIGHT]
#include <QApplication>
#include <QTimer>
#include <cstdlib>

#include "Kv.Shell.Local.h"
#include "Kv.Vt.Control.h"
#include "Kv.Vt.Parser.h"

using namespace kv;

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    int cols = argc > 2 ? std::atoi(argv[1]) : 100;
    int rows = argc > 2 ? std::atoi(argv[2]) : 30;
    TKvTermLook look;
    if (argc > 3)
        look.FontHeight = std::atoi(argv[3]);
    TKvVtScreen screen(cols, rows, 10000);
    TKvVtParser parser(screen);
    TKvTerminal term;
    term.ApplyTheme(look);
    term.setWindowTitle("kv_vt_harness");
    term.resize(cols * term.CellSize().width(), rows * term.CellSize().height());
    term.SetTerm(&screen);

    auto shell = TKvLocalShell::Create(std::getenv("HOME") ? std::getenv("HOME") : "/");
    shell->SetEvents(
        [&](const std::string& AData) {
            std::string replies;
            screen.Lock();
            parser.Feed(AData);
            screen.Changed();
            replies = screen.TakeReplies();
            screen.Unlock();
            if (!replies.empty())
                shell->Write(replies);
            term.NotifyChanged();
        },
        [&](const std::string&) { QMetaObject::invokeMethod(&app, [] { QApplication::quit(); }); },
        nullptr);
    term.OnInput = [&](TKvTerminal*, const std::string& AData) { shell->Write(AData); };
    term.OnGridChanged = [&](TKvTerminal*, int ACols, int ARows) { shell->Resize(ACols, ARows); };
    term.show();
    shell->Start(screen.Cols(), screen.Rows());
    int result = app.exec();
    shell->SetEvents(nullptr, nullptr, nullptr);
    shell->Close();
    return result;
}
