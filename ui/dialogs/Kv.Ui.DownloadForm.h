// The modal download window: a server file fetched with a progress bar before it is edited
// (large files only), or for the viewer's "Download whole".
#pragma once

#include <QDialog>
#include <string>

#include "Kv.EditSession.h"
#include "Kv.FileSystem.h"
#include "Kv.Worker.h"

class QLabel;
class QProgressBar;

namespace kv {

class TKvDownloadForm : public QDialog {
    Q_OBJECT

public:
    TKvDownloadForm(QWidget* AOwner, const IKvFileSystemPtr& AFs, const std::string& ARemotePath,
                    const std::string& ALocalPath, int64_t ASize);
    ~TKvDownloadForm() override;
    // The failure's text once the window has closed without success; empty after a cancel.
    const std::string& Error() const { return FError; }

protected:
    void reject() override;

private:
    void Progress(int64_t ADone);

    QProgressBar* FBar = nullptr;
    QLabel* FInfo = nullptr;
    int64_t FSize = 0;
    std::string FError;
    IKvCancelTokenPtr FToken;
    IKvCancelTokenPtr FAlive;
    TKvWorker FWorker;
};

// Fetches the remote file into ALocalPath over AOwner; true only when all of it arrived. Any
// other end leaves no local file; a failure is shown as "The file could not be downloaded: ...".
bool DownloadWithDialog(QWidget* AOwner, const IKvFileSystemPtr& AFs, const std::string& ARemotePath,
                        const std::string& ALocalPath, int64_t ASize);
// The edit sessions' downloader: files of 1 MiB and more through the window, others not handled.
TKvEditDownload NewEditDownloader();

} // namespace kv
