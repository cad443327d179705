// The main window's tool commands from a file panel: F3 views, F4 and Shift+F4 edit, Alt+F7
// searches, and a search hit is shown in the panel that searched.
#include <QApplication>
#include <QMessageBox>

#include "Kv.Platform.Errors.h"
#include "Kv.Platform.Launch.h"
#include "Kv.Settings.h"
#include "Kv.Ui.FilePanel.h"
#include "Kv.Ui.MainForm.h"
#include "Kv.Ui.MainTools.h"
#include "Kv.Ui.Prompts.h"
#include "Kv.Ui.SearchForm.h"
#include "Kv.Ui.ShellPanel.h"
#include "Kv.Ui.ViewerForm.h"

namespace kv {

std::string EditQuestion(const std::string& AName, int64_t ASize) {
    return "\"" + AName + "\" is " + FormatSize(ASize) + ". Fetch it from the server to edit it?";
}

bool EditAsksFirst(bool ARemote, int64_t ASize) {
    return ARemote && ASize > KEditAskSize;
}

// The focused file of the active panel for F3 and F4; a folder is refused in the panel.
bool TMainForm::FocusedFile(TKvFileEntry& AEntry) {
    TKvFilePanel& panel = *FHalves[FActive].Panel;
    if (panel.Path().empty() || !panel.FocusedEntry(AEntry))
        return false;
    if (AEntry.IsDir) {
        ShowRefusal("\"" + AEntry.Name + "\" is a folder, not a file");
        return false;
    }
    return true;
}

void TMainForm::ViewFocused() {
    TKvFilePanel& panel = *FHalves[FActive].Panel;
    TKvFileEntry entry;
    if (!FocusedFile(entry))
        return;
    IKvFileSystemPtr fs = panel.FileSystem();
    const std::string path = fs->Join(panel.Path(), entry.Name);
    const std::string program = CurrentSettings().ViewerExe;
    if (!program.empty() && panel.IsPlainLocal()) {
        const int error = StartProgram({program, path}, panel.Path());
        if (error == 0)
            return;
        ShowRefusal(program + ": " + ErrorText(error) + " - the built-in viewer is used");
    }
    TKvViewerForm::View(this, fs, path, entry.Size);
}

void TMainForm::EditFocused() {
    TKvFilePanel& panel = *FHalves[FActive].Panel;
    TKvFileEntry entry;
    if (!FocusedFile(entry))
        return;
    IKvFileSystemPtr fs = panel.FileSystem();
    if (fs->ReadOnly()) {
        ShowRefusal("Archives are read-only, so a file in one cannot be edited");
        return;
    }
    if (EditAsksFirst(panel.IsRemote(), entry.Size) &&
        !AskYesNo("Kolvan", EditQuestion(entry.Name, entry.Size), true, this))
        return;
    EditFile(fs, fs->Join(panel.Path(), entry.Name), entry.Size, nullptr);
}

void TMainForm::EditNewFile() {
    if (FHalves[FActive].Restore) {
        QApplication::beep();
        return;
    }
    if (TKvShellPanel* shell = FHalves[FActive].Shell) {
        TerminalCommand(FindTerminal(shell), tcNewFile);
        return;
    }
    TKvFilePanel& panel = *FHalves[FActive].Panel;
    if (panel.Path().empty())
        return;
    IKvFileSystemPtr fs = panel.FileSystem();
    if (fs->ReadOnly()) {
        ShowRefusal("Archives are read-only");
        return;
    }
    TKvFileEntry entry;
    const std::string proposed =
        panel.FocusedEntry(entry) && !entry.IsDir ? entry.Name : std::string();
    std::string answer;
    if (!AskLine(this, "Edit new file", "File name:", proposed, answer))
        return;
    const std::string name = std::string(QString::fromStdString(answer).trimmed().toStdString());
    if (name.empty())
        return;
    const std::string path = fs->Normalize(fs->Resolve(panel.Path(), name));
    TKvFilePanel* target = &panel;
    EditFile(fs, path, -1, [this, target] {
        for (TKvHalf h : {rhLeft, rhRight})
            if (FHalves[h].Panel == target)
                target->Reload();
    });
}

// The edit sessions open a file on the disk in the editor at once and fetch a server file
// first, sending every save back. ACreated (Shift+F4) makes the file first.
void TMainForm::EditFile(IKvFileSystemPtr AFs, const std::string& APath, int64_t ASize,
                         std::function<void()> ACreated) {
    if (ACreated)
        FEdits->NewFile(AFs, APath, std::move(ACreated));
    else
        FEdits->Edit(AFs, APath, ASize);
}

void TMainForm::SearchFiles() {
    const THalf& half = FHalves[FActive];
    if (half.Restore) {
        QApplication::beep();
        return;
    }
    TKvFilePanel& panel = *half.Panel;
    IKvFileSystemPtr fs;
    std::string folder, where;
    if (TKvShellPanel* shell = half.Shell) {
        if (!shell->HasFiles()) {
            QMessageBox::information(this, "Kolvan",
                                     "A Telnet terminal has no access to files, so there is nothing to search in it.");
            return;
        }
        fs = shell->FileSystem();
        folder = shell->CurrentDir();
        if (!fs || folder.empty()) {
            QMessageBox::information(this, "Kolvan",
                                     "The terminal has not said yet which folder it is in, or its file connection is "
                                     "not ready. Press Enter once in the terminal and try again.");
            return;
        }
        const TTerminal* term = FindTerminal(shell);
        where = (term ? ConnectorTitle(term->Conn) : shell->Title()) + ":" + folder;
    } else {
        fs = panel.FileSystem();
        folder = panel.Path();
        if (!fs || folder.empty())
            return;
        where = panel.DisplayPath();
    }
    if (!AskSearchSpec(this, where, FLastSearch))
        return;
    FSearchPanel = half.Shell ? nullptr : &panel;
    FSearchShell = half.Shell;
    TKvSearchResults::Open(this, fs, folder, where, FLastSearch,
                           [this](IKvFileSystemPtr AFs, const std::string& APath, bool AIsDir) {
                               SearchGoTo(AFs, APath, AIsDir);
                           });
}

void TMainForm::SearchGoTo(IKvFileSystemPtr AFs, const std::string& APath, bool AIsDir) {
    if (FClosing)
        return;
    if (FSearchShell) {
        for (TKvHalf h : {rhLeft, rhRight}) {
            TKvShellPanel* shell = FHalves[h].Shell;
            if (shell != FSearchShell || !shell->FileSystem() || shell->FileSystem()->Id() != AFs->Id())
                continue;
            shell->ChangeDir(AIsDir ? APath : AFs->ParentOf(APath));
            SetActiveHalf(h);
            raise();
            activateWindow();
            return;
        }
        QMessageBox::information(QApplication::activeWindow(), "Kolvan", "That terminal is not showing in its half any more.");
        return;
    }
    for (TKvHalf h : {rhLeft, rhRight}) {
        TKvFilePanel* panel = FHalves[h].Panel;
        if (panel != FSearchPanel || FHalves[h].Shell || FHalves[h].Restore || !panel->FileSystem() ||
            panel->FileSystem()->Id() != AFs->Id())
            continue;
        panel->ShowItem(APath);
        SetActiveHalf(h);
        raise();
        activateWindow();
        return;
    }
    QMessageBox::information(QApplication::activeWindow(), "Kolvan",
                             "That half is not showing the place that was searched any more.");
}

} // namespace kv
