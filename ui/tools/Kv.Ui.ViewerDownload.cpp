#include "Kv.Ui.ViewerDownload.h"

#include <QDialog>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>
#include <chrono>

#include "Kv.FS.Local.h"
#include "Kv.FS.Tar.h"
#include "Kv.Platform.TempFiles.h"
#include "Kv.Ui.Dpi.h"
#include "Kv.Ui.Theme.h"
#include "Kv.Worker.h"

namespace kv {

namespace {

QString Q(const std::string& AText) {
    return QString::fromUtf8(AText.data(), int(AText.size()));
}

constexpr int64_t KCopyBlock = 262144;

} // namespace

bool DownloadForViewing(QWidget* AOwner, IKvFileSystemPtr AFs, const std::string& APath,
                        int64_t ASize, std::string& ACopy) {
    std::string copy;
    try {
        TKvLockedTempFile temp(ArchiveTempFolder(), "kvarc-view-", ".tmp");
        copy = temp.Path();
    } catch (const std::exception& e) {
        QMessageBox::critical(AOwner, "Download",
                              Q(std::string("The file could not be downloaded: ") + e.what()));
        return false;
    }

    QDialog dialog(AOwner);
    dialog.setWindowTitle("Download");
    dialog.setFont(DialogFont());
    auto* layout = new QVBoxLayout(&dialog);
    auto* title = new QLabel(&dialog);
    title->setText(QFontMetrics(title->font())
                       .elidedText(Q("Downloading " + AFs->NameOf(APath)), Qt::ElideMiddle,
                                   ScaleFor(&dialog, 400)));
    auto* bar = new QProgressBar(&dialog);
    bar->setRange(0, 1000);
    bar->setTextVisible(false);
    auto* info = new QLabel(Q("0 of " + FormatSize(ASize)), &dialog);
    auto* cancel = new QPushButton("Cancel", &dialog);
    layout->addWidget(title);
    layout->addWidget(bar);
    layout->addWidget(info);
    layout->addWidget(cancel, 0, Qt::AlignRight);
    dialog.setFixedSize(ScaleFor(&dialog, 440), ScaleFor(&dialog, 130));

    auto alive = NewCancelToken();
    auto error = std::make_shared<std::string>();
    TKvWorker worker;
    IKvCancelTokenPtr job = worker.Post([AFs, APath, copy, ASize, alive, error, &dialog, bar,
                                         info](const IKvCancelToken& AToken) {
        int64_t done = 0;
        auto last = std::chrono::steady_clock::now();
        auto report = [&](bool AForce) {
            auto now = std::chrono::steady_clock::now();
            if (!AForce && now - last < std::chrono::milliseconds(100))
                return;
            last = now;
            KvDeliver(alive, [bar, info, done, ASize] {
                bar->setValue(ASize > 0 ? int(std::min<int64_t>(1000, done * 1000 / ASize)) : 1000);
                info->setText(Q(FormatSize(done) + " of " + FormatSize(ASize)));
            });
        };
        bool ok = false;
        try {
            TKvStreamPtr source = AFs->OpenRead(APath);
            TKvStreamPtr target = LocalFs()->OpenWrite(copy);
            std::string buffer(size_t(KCopyBlock), '\0');
            for (;;) {
                CheckCancelled(AToken);
                int64_t count = source->Read(buffer.data(), KCopyBlock);
                if (count <= 0)
                    break;
                target->WriteAll(buffer.data(), count);
                done += count;
                report(false);
            }
            if (auto* finishable = dynamic_cast<TKvFinishableStream*>(target.get()))
                finishable->Finish();
            ok = true;
        } catch (const EKvCancelled&) {
            return;
        } catch (const std::exception& e) {
            *error = e.what();
        }
        report(true);
        KvDeliver(alive, [&dialog, ok] { dialog.done(ok ? QDialog::Accepted : QDialog::Rejected); });
    });
    QObject::connect(cancel, &QPushButton::clicked, &dialog, [&] {
        job->Cancel();
        dialog.reject();
    });
    const bool ok = dialog.exec() == QDialog::Accepted;
    // Nothing may reach the dialog once it is gone; a download stuck on a dead server is left.
    alive->Cancel();
    job->Cancel();
    worker.Stop(2000);
    if (!ok) {
        try {
            LocalFs()->DeleteFileAt(copy);
        } catch (const std::exception&) {
        }
        if (!error->empty())
            QMessageBox::critical(AOwner, "Download",
                                  Q("The file could not be downloaded: " + *error));
        return false;
    }
    ACopy = copy;
    return true;
}

} // namespace kv
