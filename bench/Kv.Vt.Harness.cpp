// A window with nothing but the terminal control over the local shell or an SSH server's,
// for looking at the control by eye next to another terminal emulator. Not part of Kolvan.
//   kv_vt_harness [COLS ROWS] [FONT-HEIGHT]
//   kv_vt_harness --ssh HOST PORT USER PASSWORD [COLS ROWS]   (trusts any host key)
// KV_HARNESS_LINKS="a.txt,src/" makes those names links (a trailing "/" for a folder), as
// the shell half does for names it found on the server.
#include <QApplication>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <vector>

#include "Kv.Shell.Local.h"
#include "Kv.Shell.Ssh.h"
#include "Kv.Vt.Control.h"
#include "Kv.Vt.Parser.h"

using namespace kv;

namespace {

// Answers the login with the password given and trusts the host.
class THarnessUi : public IKvConnectUi {
public:
    explicit THarnessUi(std::string APassword) : FPassword(std::move(APassword)) {}
    bool AskSecret(const std::string&, const std::string&, const IKvCancelToken&,
                   std::string& AValue) override {
        AValue = FPassword;
        return true;
    }
    bool ConfirmNewHostKey(const std::string&, int, const std::string&, const std::string&,
                           const IKvCancelToken&) override {
        return true;
    }
    void ReportChangedHostKey(const std::string&, int, const std::string&, const std::string&,
                              const std::string&, const std::string&,
                              const IKvCancelToken&) override {}

private:
    std::string FPassword;
};

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    bool ssh = argc > 5 && std::strcmp(argv[1], "--ssh") == 0;
    int first = ssh ? 6 : 1;
    int cols = argc > first + 1 ? std::atoi(argv[first]) : 100;
    int rows = argc > first + 1 ? std::atoi(argv[first + 1]) : 30;
    TKvTermLook look;
    if (!ssh && argc > 3)
        look.FontHeight = std::atoi(argv[3]);
    TKvVtScreen screen(cols, rows, 10000);
    TKvVtParser parser(screen);
    TKvTerminal term;
    term.ApplyTheme(look);
    term.setWindowTitle("kv_vt_harness");
    term.resize(cols * term.CellSize().width(), rows * term.CellSize().height());
    term.SetTerm(&screen);

    IKvSshShellPtr shell;
    if (ssh) {
        TKvConnector conn;
        conn.Name = argv[2];
        conn.Host = argv[2];
        conn.Port = std::atoi(argv[3]);
        conn.User = argv[4];
        conn.Secret = argv[5];
        conn.Auth = amPassword;
        shell = TKvSshShell::Create(conn, std::make_shared<THarnessUi>(argv[5]));
    } else {
        shell = TKvLocalShell::Create(std::getenv("HOME") ? std::getenv("HOME") : "/");
    }
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
        [&](const std::string& AReason) {
            if (!AReason.empty())
                std::fprintf(stderr, "%s\n", AReason.c_str());
            QMetaObject::invokeMethod(&app, [] { QApplication::quit(); });
        },
        nullptr);
    term.OnInput = [&](TKvTerminal*, const std::string& AData) { shell->Write(AData); };
    term.OnGridChanged = [&](TKvTerminal*, int ACols, int ARows) { shell->Resize(ACols, ARows); };
    if (const char* names = std::getenv("KV_HARNESS_LINKS")) {
        std::vector<TKvTermLink> links;
        std::string list = names;
        for (size_t at = 0; at <= list.size();) {
            size_t comma = std::min(list.find(',', at), list.size());
            std::string name = list.substr(at, comma - at);
            bool dir = !name.empty() && name.back() == '/';
            if (dir)
                name.pop_back();
            if (!name.empty())
                links.push_back(TKvTermLink{name, "/" + name, dir, 0});
            at = comma + 1;
        }
        term.SetLinks(links);
    }
    term.OnLinkAction = [](TKvTerminal*, TKvLinkAction AAction, const TKvTermLink& ALink) {
        std::fprintf(stderr, "link action %d on %s\n", int(AAction), ALink.Path.c_str());
    };
    term.show();
    shell->Start(screen.Cols(), screen.Rows());
    int result = app.exec();
    shell->SetEvents(nullptr, nullptr, nullptr);
    shell->Close();
    return result;
}
