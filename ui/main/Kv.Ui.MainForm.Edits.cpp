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
    FEdits->SetOnSaved([this](const IKvFileSystemPtr& AFs, const std::string& APath) {
        RefreshShownFolder(AFs, AFs->ParentOf(APath));
    });
    FEditTimer.setInterval(1000);
    connect(&FEditTimer, &QTimer::timeout, this, [this] { FEdits->Poll(); });
    FEditTimer.start();
}

void TMainForm::RefreshShownFolder(const IKvFileSystemPtr& AFs, const std::string& AFolder) {
    for (TKvHalf h : {rhLeft, rhRight}) {
        TKvFilePanel& panel = *FHalves[h].Panel;
        const IKvFileSystemPtr shown = panel.FileSystem();
        if (!shown || panel.Path().empty())
            continue;
        // Another connection to the same server shows the same folder.
        const bool sameServer = shown.get() == AFs.get() ||
                                (!AFs->DisplayPrefix().empty() && shown->DisplayPrefix() == AFs->DisplayPrefix());
        if (sameServer && shown->SamePath(panel.Path(), AFolder))
            panel.ReloadQuietly();
    }
}

} // namespace kv
