// What the user can do with the names a hybrid SSH terminal shows as links: the link menu (view,
// edit, run, copy the path, copy or move to the other half, rename, delete, permissions, owner,
// properties), the double click, and the commands that work on selected terminal text. Server
// work runs as jobs on the file connection's worker; results come back as status messages.
//
// The folder a terminal reports can be faked by any file the shell prints, so every question
// that changes something on the server names the full path it will act on.
#pragma once

#include <QPointer>
#include <QWidget>
#include <functional>
#include <memory>
#include <string>

#include "Kv.FileSystem.h"
#include "Kv.Ui.ShellPanel.h"
#include "Kv.Vt.View.h"
#include "Kv.Worker.h"

namespace kv {

class TKvEditSessions;

// The delete question, naming the full path on the server.
std::string DeleteQuestion(const std::string& AShellPath, bool AIsDir);

class TKvShellActions {
public:
    // Raised for "Copy/Move to the other half" and for F5/F6 on selected names: the file
    // system, the folder that holds the items (SFTP path) and the items as listed.
    using TTransferEvent =
        std::function<void(bool AMove, IKvFileSystemPtr AFs, const std::string& AFolder,
                           const TKvFileEntries& AItems)>;
    // Hooks the panel's terminal link events (right click menu, double click). ADialogOwner
    // owns the dialogs. AEdits runs edit sessions (Edit, and New file).
    TKvShellActions(TKvShellPanel& APanel, TKvEditSessions& AEdits, QWidget* ADialogOwner);
    ~TKvShellActions();
    TKvShellActions(const TKvShellActions&) = delete;
    TKvShellActions& operator=(const TKvShellActions&) = delete;

    TTransferEvent OnTransfer;
    // Raised after a rename, a delete or a new file changed a folder on the file system.
    std::function<void(IKvFileSystemPtr AFs, const std::string& AFolder)> OnFolderChanged;
    void TransferSelected(bool AMove); // F5 / F6 on names selected in the terminal
    void RenameSelected();             // Shift+F6
    void EditNewFile();                // Shift+F4 in a terminal half

    // One item of the link menu on a link (what choosing it in the menu does).
    void RunAction(TKvLinkAction AAction, const TKvTermLink& ALink);
    // The double click: a folder becomes the shell's folder, a file opens in the viewer.
    void OpenLink(const TKvTermLink& ALink);
    // A hyperlink a program printed: one to a file on the server is that exact file (menu or
    // open, as for a name link); a local file of the local command line opens with the
    // desktop, web links in the browser.
    void OpenHyperlink(const std::string& AUri, const QPoint& AScreenPos, bool AMenu);

private:
    // The file system, or null after showing why there is none.
    IKvFileSystemPtr FilesOrRefuse();
    // The shell's folder (SFTP path), or empty after showing that there is none.
    std::string FolderOrRefuse();
    void Status(const std::string& AText, int ASeconds);
    // Runs AWork on the file connection's worker; false when there is no file connection.
    bool Post(TKvWorkProc AWork);
    // For jobs: runs a procedure on the UI thread while this object and the panel live.
    using TDeliver = std::function<void(std::function<void()>)>;
    TDeliver Deliverer();
    std::string ShellPath(const std::string& ASftpPath);

    void View(const TKvTermLink& ALink);
    void RunAs(const TKvTermLink& ALink);
    void Rename(const TKvTermLink& ALink);
    void Delete(const TKvTermLink& ALink);
    void Chmod(const TKvTermLink& ALink);
    void Chown(const TKvTermLink& ALink);

    QPointer<TKvShellPanel> FPanel;
    TKvEditSessions& FEdits;
    QPointer<QWidget> FOwner;
    IKvCancelTokenPtr FAlive;
    std::unique_ptr<TKvWorker> FPropWorker;
    TKvTermLink FLink;
};

} // namespace kv
