// The main window's edit sessions: their status goes to the active panel, a timer polls them.
#include "Kv.Ui.FilePanel.h"
#include "Kv.Ui.MainForm.h"

namespace kv {

void TMainForm::StartEditSessions() {
    FEdits = std::make_unique<TKvEditSessions>([this](const std::string& AText, bool AIsError) {
        Panel(FActive).ShowResult(AText, AIsError);
    });
    FEditTimer.setInterval(1000);
    connect(&FEditTimer, &QTimer::timeout, this, [this] { FEdits->Poll(); });
    FEditTimer.start();
}

} // namespace kv
