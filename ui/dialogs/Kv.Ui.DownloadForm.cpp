#include "Kv.Ui.DownloadForm.h"

#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <chrono>
#include <unistd.h>
#include <vector>

#include "Kv.FS.Local.h"
#include "Kv.Ui.DialogParts.h"
#include "Kv.Ui.Prompts.h"

namespace kv {

namespace {

constexpr int64_t KDialogFromSize = 1048576;
constexpr auto KReportEvery = std::chrono::milliseconds(100);

} // namespace

TKvDownloadForm::TKvDownloadForm(QWidget* AOwner, const IKvFileSystemPtr& AFs, const std::string& ARemotePath,
                                 const std::string& ALocalPath, int64_t ASize)
    : QDialog(AOwner), FSize(ASize), FToken(NewCancelToken()), FAlive(NewCancelToken()) {
    NewFixedForm(this, "Download", 440, 130);
    PlainLabel(this, "Downloading " + QStr(AFs->NameOf(ARemotePath)), 12, 12, 416, 18, false, true);
    FBar = new QProgressBar(this);
    FBar->setRange(0, 1000);
    FBar->setTextVisible(false);
    PlaceAt96(FBar, 12, 38, 416, 18);
    FInfo = PlainLabel(this, QStr("0 of " + FormatSize(ASize)), 12, 62, 300, 18);
    auto* cancel = new QPushButton("Cancel", this);
    PlaceAt96(cancel, 348, 90, 80, 28);
    connect(cancel, &QPushButton::clicked, this, &TKvDownloadForm::reject);

    FWorker.Post([this, AFs, ARemotePath, ALocalPath, token = FToken, alive = FAlive](const IKvCancelToken&) {
        std::string error;
        int64_t done = 0;
        try {
            TKvStreamPtr in = AFs->OpenRead(ARemotePath);
            TKvStreamPtr out = LocalFs()->OpenWrite(ALocalPath);
            std::vector<char> buffer(KEditBlockSize);
            auto last = std::chrono::steady_clock::now();
            for (;;) {
                CheckCancelled(*token);
                int64_t got = in->Read(buffer.data(), KEditBlockSize);
                if (got <= 0)
                    break;
                out->WriteAll(buffer.data(), got);
                done += got;
                if (std::chrono::steady_clock::now() - last >= KReportEvery) {
                    last = std::chrono::steady_clock::now();
                    KvDeliver(alive, [this, done] { Progress(done); });
                }
            }
        } catch (const EKvCancelled&) {
            return;
        } catch (const std::exception& e) {
            error = e.what();
        }
        KvDeliver(alive, [this, done, error] {
            Progress(done);
            if (error.empty()) {
                accept();
                return;
            }
            FError = error;
            QDialog::reject();
        });
    });
}

TKvDownloadForm::~TKvDownloadForm() {
    FAlive->Cancel();
    FToken->Cancel();
    FWorker.Stop(2000);
}

void TKvDownloadForm::reject() {
    FToken->Cancel();
    QDialog::reject();
}

void TKvDownloadForm::Progress(int64_t ADone) {
    if (FSize > 0)
        FBar->setValue(static_cast<int>(std::min<int64_t>(1000, ADone * 1000 / FSize)));
    FInfo->setText(QStr(FormatSize(ADone) + " of " + FormatSize(FSize)));
}

bool DownloadWithDialog(QWidget* AOwner, const IKvFileSystemPtr& AFs, const std::string& ARemotePath,
                        const std::string& ALocalPath, int64_t ASize) {
    std::string error;
    bool done = false;
    {
        TKvDownloadForm form(AOwner, AFs, ARemotePath, ALocalPath, ASize);
        CentreOnWindow(&form, AOwner);
        done = form.exec() == QDialog::Accepted;
        error = form.Error();
    } // the worker has stopped writing once the form is gone
    if (done)
        return true;
    ::unlink(ALocalPath.c_str());
    if (!error.empty())
        QMessageBox::critical(AOwner, "Download", QStr("The file could not be downloaded: " + error));
    return false;
}

TKvEditDownload NewEditDownloader() {
    return [](const IKvFileSystemPtr& AFs, const std::string& ARemotePath, const std::string& ALocalPath,
              int64_t ASize) {
        if (ASize < KDialogFromSize)
            return 0; // small files and those of unknown size come in the background
        QWidget* owner = QApplication::activeWindow() ? QApplication::activeWindow() : DialogMainWindow();
        return DownloadWithDialog(owner, AFs, ARemotePath, ALocalPath, ASize) ? 1 : 2;
    };
}

} // namespace kv
