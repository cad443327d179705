// The main window's compare commands: F2 compares the two halves' folders (or shows two marked
// files side by side), Shift+F2 shows the two focused files side by side.
#include <QApplication>
#include <QMessageBox>

#include "Kv.Settings.h"
#include "Kv.Ui.CompareForm.h"
#include "Kv.Ui.DiffForm.h"
#include "Kv.Ui.FilePanel.h"
#include "Kv.Ui.MainForm.h"
#include "Kv.Ui.ShellPanel.h"
#include "Kv.Ui.ViewerForm.h"

namespace kv {

namespace {

// A file of a panel as the diff window takes it: the path and the title.
struct TPanelFile {
    IKvFileSystemPtr Fs;
    std::string Path;
    std::string Title;
};

TPanelFile PanelFile(const TKvFilePanel& APanel, const std::string& AName) {
    IKvFileSystemPtr fs = APanel.FileSystem();
    return {fs, fs->Join(APanel.Path(), AName), fs->Join(APanel.DisplayPath(), AName)};
}

void OpenDiff(QWidget* AOwner, const TPanelFile& ALeft, const TPanelFile& ARight) {
    TKvDiffForm::Open(AOwner, ALeft.Fs, ALeft.Path, ALeft.Title, ARight.Fs, ARight.Path, ARight.Title,
                      CurrentSettings().Compare);
}

} // namespace

void TMainForm::SideBySide() {
    for (TKvHalf h : {rhLeft, rhRight})
        if (FHalves[h].Shell || FHalves[h].Restore) {
            QApplication::beep();
            return;
        }
    TKvFileEntry left, right;
    TKvFilePanel &leftPanel = Panel(rhLeft), &rightPanel = Panel(rhRight);
    if (!leftPanel.FileSystem() || !rightPanel.FileSystem() || !leftPanel.FocusedEntry(left) ||
        !rightPanel.FocusedEntry(right) || left.IsDir || right.IsDir) {
        QMessageBox::information(this, "Kolvan",
                                 "Put the cursor on a file in each half: Shift+F2 shows the two side by side. "
                                 "F2 compares the two folders.");
        return;
    }
    OpenDiff(this, PanelFile(leftPanel, left.Name), PanelFile(rightPanel, right.Name));
}

void TMainForm::CompareHalves() {
    std::array<TKvCompareSide, 2> sides;
    std::array<TKvFileEntries, 2> marked;
    for (TKvHalf h : {rhLeft, rhRight}) {
        const std::string name = h == rhLeft ? "left" : "right";
        if (FHalves[h].Restore) {
            QMessageBox::information(this, "Kolvan",
                                     QString::fromStdString("The " + name +
                                                            " half is not connected. Click it to connect, then compare."));
            return;
        }
        if (TKvShellPanel* shell = FHalves[h].Shell) {
            const IKvFileSystemPtr fs = shell->HasFiles() ? shell->FileSystem() : nullptr;
            const std::string folder = fs ? shell->CurrentDir() : std::string();
            if (!fs || folder.empty()) {
                QMessageBox::information(
                    this, "Kolvan",
                    QString::fromStdString("The terminal in the " + name +
                                           " half has no file connection, or has not said yet which folder it is in. "
                                           "Show files there, or press Enter once in the terminal."));
                return;
            }
            const TTerminal* term = FindTerminal(shell);
            sides[h] = {fs, folder, (term ? ConnectorTitle(term->Conn) : shell->Title()) + ":" + folder};
            continue;
        }
        const TKvFilePanel& panel = Panel(h);
        if (!panel.FileSystem() || panel.Path().empty())
            return;
        sides[h] = {panel.FileSystem(), panel.Path(), panel.DisplayPath()};
        marked[h] = panel.MarkedEntries();
    }
    // One marked file in each half under different names: those two side by side.
    if (marked[rhLeft].size() == 1 && marked[rhRight].size() == 1 && !marked[rhLeft][0].IsDir &&
        !marked[rhRight][0].IsDir && !SameTextIgnoringCase(marked[rhLeft][0].Name, marked[rhRight][0].Name)) {
        OpenDiff(this, PanelFile(Panel(rhLeft), marked[rhLeft][0].Name),
                 PanelFile(Panel(rhRight), marked[rhRight][0].Name));
        return;
    }
    TKvCompareScope scope;
    for (TKvHalf h : {rhLeft, rhRight}) {
        for (const auto& entry : marked[h])
            scope.Names.push_back(entry.Name);
        if (!FHalves[h].Shell && marked[h].empty() && !Panel(h).Model().Filter().empty())
            scope.Filters.push_back(Panel(h).Model().Filter());
    }
    auto sync = [this](const std::vector<TKvTransferRequest>& ARequests) {
        if (FClosing)
            return;
        for (const auto& request : ARequests)
            StartRequest(request);
    };
    auto goTo = [this](IKvFileSystemPtr ALeftFs, const std::string& ALeftPath, IKvFileSystemPtr ARightFs,
                       const std::string& ARightPath) {
        if (FClosing)
            return;
        const std::array<std::pair<IKvFileSystemPtr, std::string>, 2> places = {
            std::pair{ALeftFs, ALeftPath}, std::pair{ARightFs, ARightPath}};
        for (TKvHalf h : {rhLeft, rhRight}) {
            const auto& [fs, path] = places[h];
            if (!fs || path.empty() || FHalves[h].Restore)
                continue;
            if (TKvShellPanel* shell = FHalves[h].Shell) {
                if (shell->FileSystem() && shell->FileSystem()->Id() == fs->Id())
                    shell->ChangeDir(fs->ParentOf(path));
                continue;
            }
            TKvFilePanel& panel = Panel(h);
            if (panel.FileSystem() && panel.FileSystem()->Id() == fs->Id())
                panel.ShowItem(path);
        }
        raise();
        activateWindow();
    };
    // F3 on a row the compare window lists opens the same viewer as F3 in a panel.
    SetCompareViewer([](QWidget* AOwner, IKvFileSystemPtr AFs, const std::string& APath, int64_t ASize) {
        TKvViewerForm::View(AOwner, std::move(AFs), APath, ASize);
    });
    TKvCompareForm::Open(this, sides[rhLeft], sides[rhRight], CurrentSettings().Compare, scope, sync, goTo);
}

} // namespace kv
