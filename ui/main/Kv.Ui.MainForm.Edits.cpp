// The main window's edit sessions: their status goes to the active panel, a timer polls them,
// and a save over a file someone else changed on the server is asked about.
#include <QMessageBox>
#include <QPushButton>

#include "Kv.Ui.DownloadForm.h"
#include "Kv.Ui.FilePanel.h"
#include "Kv.Ui.MainForm.h"

namespace kv {

void TMainForm::StartEditSessions() {
    FEdits = std::make_unique<TKvEditSessions>([this](const std::string& AText, bool AIsError) {
        Panel(FActive).ShowResult(AText, AIsError);
    });
    FEdits->SetDownloader(NewEditDownloader());
    FEdits->SetAsker([this](const std::string& AText, const std::string& ABeside) {
        QMessageBox box(QMessageBox::Warning, "Save", QString::fromStdString(AText), QMessageBox::NoButton, this);
        QPushButton* overwrite = box.addButton("Overwrite", QMessageBox::DestructiveRole);
        QPushButton* beside = box.addButton(QString::fromStdString("Save as " + ABeside), QMessageBox::AcceptRole);
        box.addButton(QMessageBox::Cancel);
        box.setDefaultButton(beside);
        box.exec();
        if (box.clickedButton() == overwrite)
            return ecOverwrite;
        return box.clickedButton() == beside ? ecSaveBeside : ecCancel;
    });
    FEditTimer.setInterval(1000);
    connect(&FEditTimer, &QTimer::timeout, this, [this] { FEdits->Poll(); });
    FEditTimer.start();
}

} // namespace kv
