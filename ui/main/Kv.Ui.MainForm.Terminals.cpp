// The main window's terminal halves: saved SSH and Telnet connections opened as terminals,
// placeholders for what was open at the last close, the hybrid switch between a terminal and
// its files, copies from and to terminal halves, and the full-window command line (Ctrl+O).
#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QSplitter>
#include <QVBoxLayout>
#include <cctype>

#include "Kv.FileUtil.h"
#include "Kv.Log.h"
#include "Kv.Settings.h"
#include "Kv.Text.h"
#include "Kv.Ui.FilePanel.h"
#include "Kv.Ui.MainForm.h"
#include "Kv.Ui.RestoreBox.h"
#include "Kv.Ui.ShellActions.h"
#include "Kv.Ui.ShellPanel.h"
#include "Kv.Ui.TitleText.h"

namespace kv {

namespace {

// The widget that fills a half below its title: the file panel, a terminal or a placeholder.
void ShowOnly(QWidget* AShown, std::initializer_list<QWidget*> AOthers) {
    for (QWidget* widget : AOthers)
        if (widget && widget != AShown)
            widget->hide();
    AShown->show();
}

} // namespace

void TMainForm::ApplyTermLook(TKvShellPanel& AShell) {
    const TKvSettings& settings = CurrentSettings();
    TKvTermLook look;
    look.Colors = settings.Colors;
    look.FontName = settings.FontName;
    look.FontHeight = settings.FontHeight;
    AShell.ApplyTheme(look);
}

TMainForm::TTerminal* TMainForm::FindTerminal(const TKvShellPanel* AShell) {
    for (auto& term : FTerminals)
        if (term->Shell == AShell)
            return term.get();
    return nullptr;
}

TKvHalf TMainForm::HalfOf(const TKvShellPanel* AShell) const {
    return FHalves[rhRight].Shell == AShell ? rhRight : rhLeft;
}

void TMainForm::PlaceTerminal(TKvHalf AHalf, TKvShellPanel* AShell) {
    THalf& half = FHalves[AHalf];
    if (half.Restore) {
        half.Restore->deleteLater();
        half.Restore = nullptr;
        half.Stored = {};
    }
    if (half.Shell && half.Shell != AShell)
        half.Shell->hide();
    // A terminal moved here from the other half leaves it to its file panel.
    for (TKvHalf h : {rhLeft, rhRight})
        if (h != AHalf && FHalves[h].Shell == AShell)
            ShowFilePanel(h);
    if (AShell->parentWidget() != half.Box)
        AShell->setParent(half.Box);
    if (half.Box->layout()->indexOf(AShell) < 0)
        static_cast<QVBoxLayout*>(half.Box->layout())->insertWidget(1, AShell, 1);
    half.Shell = AShell;
    ShowOnly(AShell, {half.Panel});
    SetActiveHalf(AHalf);
}

void TMainForm::ShowFilePanel(TKvHalf AHalf) {
    THalf& half = FHalves[AHalf];
    if (half.Restore) {
        half.Restore->deleteLater();
        half.Restore = nullptr;
        half.Stored = {};
    }
    if (half.Shell)
        half.Shell->hide();
    half.Shell = nullptr;
    half.Panel->show();
    RefreshTitles();
}

TKvShellPanel* TMainForm::OpenTerminal(TKvHalf AHalf, const TKvConnector& AConn) {
    // The same connection's terminal runs already: shown here, unless the other half shows it.
    int same = 0;
    for (auto& term : FTerminals) {
        if (!SameTextAscii(term->Conn.Id, AConn.Id))
            continue;
        ++same;
        if (FHalves[Other(AHalf)].Shell == term->Shell)
            continue;
        if (term->Shell->IsOpen()) {
            PlaceTerminal(AHalf, term->Shell);
            return term->Shell;
        }
        CloseTerminal(term->Shell);
        return OpenTerminal(AHalf, AConn);
    }
    auto term = std::make_unique<TTerminal>();
    term->Conn = AConn;
    term->Title = ConnectorTitle(AConn) + (same ? " (" + std::to_string(same + 1) + ")" : std::string());
    auto* shell = term->Shell = new TKvShellPanel(FHalves[AHalf].Box);
    shell->hide();
    ApplyTermLook(*shell);
    shell->OnActivated = [this](TKvShellPanel* ASender) {
        for (TKvHalf h : {rhLeft, rhRight})
            if (FHalves[h].Shell == ASender && FActive != h) {
                FActive = h;
                RefreshTitles();
                ScheduleSave();
            }
    };
    shell->OnTitleChanged = [this](TKvShellPanel*) { RefreshTitles(); };
    shell->OnWorkChanged = [this](TKvShellPanel*) { RefreshWindowTitle(); };
    shell->OnEnded = [this](TKvShellPanel* ASender) { TerminalEnded(ASender); };
    term->Actions = std::make_unique<TKvShellActions>(*shell, *FEdits, this);
    term->Actions->OnFolderChanged = [this](IKvFileSystemPtr AFs, const std::string& AFolder) {
        RefreshShownFolder(AFs, AFolder);
    };
    term->Actions->OnTransfer = [this, shell](bool AMove, IKvFileSystemPtr AFs, const std::string& AFolder,
                                              const TKvFileEntries& AItems) {
        TerminalTransfer(shell, AMove, std::move(AFs), AFolder, AItems);
    };
    FTerminals.push_back(std::move(term));
    Log("terminal: " + ConnectorTitle(AConn));
    PlaceTerminal(AHalf, shell);
    shell->Open(AConn, FPrompts);
    RefreshTitles();
    ScheduleSave();
    return shell;
}

void TMainForm::OpenConnector(TKvHalf AHalf, const TKvConnector& AConn, const std::string& AStartPath) {
    TKvConnector chosen = AConn;
    if (IndexOfConnector(Connectors().Connectors(), AConn.Id) >= 0) {
        // Saved passwords need the passkey first; giving up leaves the half as it is.
        if (Connectors().Locked() && !UnlockConnectors())
            return;
        const int index = IndexOfConnector(Connectors().Connectors(), AConn.Id);
        if (index >= 0)
            chosen = Connectors().Connectors()[index];
    }
    if (IsTerminalKind(chosen.Kind)) {
        OpenTerminal(AHalf, chosen);
        return;
    }
    ShowFilePanel(AHalf);
    ConnectHalf(AHalf, chosen, AStartPath);
}

void TMainForm::CloseTerminal(TKvShellPanel* AShell) {
    TTerminal* term = FindTerminal(AShell);
    if (!term)
        return;
    const IKvFileSystemPtr fs = AShell->FileSystem();
    for (TKvHalf h : {rhLeft, rhRight}) {
        THalf& half = FHalves[h];
        if (half.Hybrid == AShell) {
            if (half.HybridWait || (fs && half.Panel->FileSystem() == fs))
                half.Panel->Disconnect();
            half.Hybrid = nullptr;
            half.HybridWait = false;
        }
        if (half.Shell == AShell)
            ShowFilePanel(h);
    }
    if (FSearchShell == AShell)
        FSearchShell = nullptr;
    Log("terminal: closed " + term->Title);
    AShell->Close();
    AShell->hide();
    // The actions go before the panel they hook.
    term->Actions.reset();
    AShell->deleteLater();
    std::erase_if(FTerminals, [&](const std::unique_ptr<TTerminal>& ATerm) { return ATerm->Shell == AShell; });
    RefreshTitles();
    ScheduleSave();
}

void TMainForm::TerminalEnded(TKvShellPanel* AShell) {
    if (AShell == FConsole) {
        // Not from inside the shell's own notification.
        QTimer::singleShot(0, this, [this] { CommandLineEnded(); });
        return;
    }
    RefreshTitles();
    RefreshWindowTitle();
}

TKvShellPanel* TMainForm::HybridOf(TKvHalf AHalf) {
    THalf& half = FHalves[AHalf];
    if (half.Restore)
        return nullptr;
    if (half.Shell)
        return half.Shell->HasFiles() && half.Shell->FilesReady() && !half.Shell->CurrentDir().empty() ? half.Shell
                                                                                                       : nullptr;
    if (!half.Hybrid || !FindTerminal(half.Hybrid))
        return nullptr;
    const IKvFileSystemPtr fs = half.Hybrid->FileSystem();
    return half.HybridWait || (fs && half.Panel->FileSystem() == fs) ? half.Hybrid : nullptr;
}

void TMainForm::ToggleHybrid(TKvHalf AHalf) {
    THalf& half = FHalves[AHalf];
    if (TKvShellPanel* shell = half.Shell) {
        const IKvFileSystemPtr fs = shell->FileSystem();
        const std::string dir = shell->CurrentDir();
        if (!fs || dir.empty())
            return;
        ShowFilePanel(AHalf);
        half.Hybrid = shell;
        half.HybridDir = half.HybridSent = dir;
        TKvFilePanel& panel = *half.Panel;
        if (!(panel.FileSystem() == fs && fs->SamePath(panel.Path(), dir))) {
            half.HybridWait = true;
            const TTerminal* term = FindTerminal(shell);
            panel.AttachTo(fs, term ? term->Conn.Id : std::string(), dir);
        }
        Log("hybrid: files of " + shell->Title() + " at " + dir);
    } else if (TKvShellPanel* hybrid = HybridOf(AHalf)) {
        SendHybridFolder(AHalf);
        PlaceTerminal(AHalf, hybrid);
    } else {
        return;
    }
    RefreshTitles();
    SetActiveHalf(AHalf);
}

void TMainForm::SendHybridFolder(TKvHalf AHalf) {
    THalf& half = FHalves[AHalf];
    half.HybridWait = false;
    if (!half.Hybrid)
        return;
    TKvFilePanel& panel = *half.Panel;
    const IKvFileSystemPtr fs = panel.FileSystem();
    if (!fs || !FindTerminal(half.Hybrid) || fs != half.Hybrid->FileSystem()) {
        half.Hybrid = nullptr;
        return;
    }
    const std::string path = panel.Path();
    if (half.Shell || path.empty() || fs->SamePath(path, half.HybridSent) || !half.Hybrid->IsOpen() ||
        half.Hybrid->FullScreenApp())
        return;
    half.HybridSent = path;
    half.Hybrid->ChangeDir(path);
}

void TMainForm::SetPlaceholder(TKvHalf AHalf, const TKvSessionState& ASession) {
    const TKvConnectors& saved = Connectors().Connectors();
    const int index = IndexOfConnector(saved, ASession.ConnectorId);
    if (index < 0)
        return;
    const TKvConnector& conn = saved[index];
    THalf& half = FHalves[AHalf];
    auto* box = new TKvRestoreBox(half.Box);
    // "SSH terminal", "SFTP files in /srv": the kind as people write it.
    std::string kind(ConnectorKindName(conn.Kind));
    for (char& c : kind)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    const std::string what = ASession.Kind == KSessionShell
                                 ? kind + " terminal"
                                 : kind + (ASession.Path.empty() ? std::string(" files") : " files in " + ASession.Path);
    box->Describe(QString::fromStdString(ConnectorTitle(conn)), QString::fromStdString(what));
    box->OnReconnect = [this](TKvRestoreBox* ABox) {
        for (TKvHalf h : {rhLeft, rhRight})
            if (FHalves[h].Restore == ABox)
                Reconnect(h);
    };
    static_cast<QVBoxLayout*>(half.Box->layout())->insertWidget(1, box, 1);
    half.Restore = box;
    half.Stored = ASession;
    ShowOnly(box, {half.Panel, half.Shell});
}

void TMainForm::BuildPlaceholders() {
    for (TKvHalf h : {rhLeft, rhRight})
        if (!FState.Sessions[h].Kind.empty() && !FState.Sessions[h].ConnectorId.empty())
            SetPlaceholder(h, FState.Sessions[h]);
}

void TMainForm::Reconnect(TKvHalf AHalf) {
    THalf& half = FHalves[AHalf];
    if (!half.Restore)
        return;
    const TKvSessionState session = half.Stored;
    ShowFilePanel(AHalf);
    SetActiveHalf(AHalf);
    const int index = IndexOfConnector(Connectors().Connectors(), session.ConnectorId);
    if (index < 0) {
        ShowRefusal("That connection is no longer saved");
        return;
    }
    const TKvConnector conn = Connectors().Connectors()[index];
    OpenConnector(AHalf, conn, session.Kind == KSessionPanel ? session.Path : conn.StartDir);
}

void TMainForm::CollectSessions() {
    auto saved = [this](const std::string& AId) {
        return FConnectors && !AId.empty() && IndexOfConnector(FConnectors->Connectors(), AId) >= 0;
    };
    for (TKvHalf h : {rhLeft, rhRight}) {
        THalf& half = FHalves[h];
        TKvSessionState& session = FState.Sessions[h];
        if (half.Restore) {
            session = half.Stored;
            continue;
        }
        session = {};
        TKvShellPanel* shell = half.Shell ? half.Shell : HybridOf(h);
        if (shell) {
            if (const TTerminal* term = FindTerminal(shell); term && saved(term->Conn.Id))
                session = {std::string(KSessionShell), term->Conn.Id, {}};
        } else if (half.Panel->IsRemote() && saved(half.Panel->ConnectorId())) {
            session = {std::string(KSessionPanel), half.Panel->ConnectorId(), half.Panel->Path()};
        }
    }
}

bool TMainForm::TransferTarget(TKvHalf AHalf, IKvFileSystemPtr& AFs, std::string& AFolder, std::string& ARefusal) {
    const THalf& half = FHalves[AHalf];
    if (half.Restore) {
        ARefusal = "The other half is not connected yet. Click it, or press Enter on it, to connect first.";
        return false;
    }
    if (half.Shell) {
        if (!half.Shell->HasFiles()) {
            ARefusal = "A Telnet terminal has no access to files, so nothing can be copied or moved to it";
            return false;
        }
        AFs = half.Shell->FileSystem();
        AFolder = half.Shell->CurrentDir();
        if (!AFs || AFolder.empty()) {
            ARefusal = "The terminal has not said yet which folder it is in. Press Enter once in it and try again";
            return false;
        }
        return true;
    }
    AFs = half.Panel->FileSystem();
    AFolder = half.Panel->Path();
    return true;
}

void TMainForm::TerminalTransfer(TKvShellPanel* AFrom, bool AMove, IKvFileSystemPtr AFs, const std::string& AFolder,
                                 const TKvFileEntries& AItems) {
    if (FClosing || AItems.empty())
        return;
    const TKvHalf other = Other(HalfOf(AFrom));
    const THalf& half = FHalves[other];
    std::string refusal;
    if (half.Restore)
        refusal = "The other half is not connected yet. Click it, or press Enter on it, to connect first.";
    else if (half.Shell && !half.Shell->HasFiles())
        refusal = "The other half is a Telnet terminal, which has no access to files.";
    IKvFileSystemPtr destFs;
    std::string destDir;
    if (refusal.empty() && half.Shell) {
        destFs = half.Shell->FileSystem();
        destDir = half.Shell->CurrentDir();
        if (!destFs || destDir.empty())
            refusal = "The other half is a shell whose folder is not known yet.";
    } else if (refusal.empty()) {
        destFs = half.Panel->FileSystem();
        destDir = half.Panel->Path();
        if (!destFs || destDir.empty())
            refusal = "The other half has no folder to put the file in.";
        else if (destFs->ReadOnly())
            refusal = "The other half shows an archive, which is read-only.";
    }
    if (!refusal.empty()) {
        QMessageBox::information(this, "Kolvan", QString::fromStdString(refusal));
        return;
    }
    TKvTransferRequest request;
    request.Kind = AMove ? tkMove : tkCopy;
    request.SourceFs = std::move(AFs);
    request.SourceDir = AFolder;
    request.Items = AItems;
    request.DestFs = destFs;
    request.DestPath = destDir;
    StartRequest(request);
}

void TMainForm::TerminalCommand(TTerminal* ATerm, TTermCommand ACommand) {
    if (!ATerm || !ATerm->Actions)
        return;
    switch (ACommand) {
    case tcCopy:
    case tcMove:
        ATerm->Actions->TransferSelected(ACommand == tcMove);
        break;
    case tcRename:
        ATerm->Actions->RenameSelected();
        break;
    case tcNewFile:
        ATerm->Actions->EditNewFile();
        break;
    }
}

bool TMainForm::TerminalKey(QKeyEvent* AEvent) {
    const Qt::KeyboardModifiers mods = AEvent->modifiers() & ~Qt::KeypadModifier;
    const int key = AEvent->key();
    if (FConsole && FConsole->isVisible()) {
        if (key == Qt::Key_O && mods == Qt::ControlModifier) {
            ToggleCommandLine();
            return true;
        }
        return false;
    }
    const TKvHalf half = FActive;
    TKvShellPanel* shell = FHalves[half].Shell;
    if (!shell)
        return false;
    const bool none = mods == Qt::NoModifier, shift = mods == Qt::ShiftModifier, alt = mods == Qt::AltModifier;
    const bool reaches = (alt && (key == Qt::Key_F4 || key == Qt::Key_F1 || key == Qt::Key_F2 || key == Qt::Key_F7)) ||
                         (mods == (Qt::ControlModifier | Qt::ShiftModifier) && key == Qt::Key_U) ||
                         (shift && (key == Qt::Key_F4 || key == Qt::Key_F6 || key == Qt::Key_F9)) ||
                         (none && (key == Qt::Key_F5 || key == Qt::Key_F6) && shell->HasSelection());
    if (mods == Qt::ControlModifier && key == Qt::Key_Tab) {
        SetActiveHalf(Other(half));
        return true;
    }
    if (!reaches)
        return false;
    RunKey(key, mods);
    return true;
}

void TMainForm::ToggleCommandLine() {
    if (FConsole && FConsole->isVisible()) {
        const std::string folder = FConsole->CurrentDir();
        FConsole->hide();
        ShowHalves(true);
        THalf& half = FHalves[FActive];
        if (!half.Shell && !half.Restore && half.Panel->IsPlainLocal() && IsExistingFolder(folder) &&
            folder != half.Panel->Path())
            half.Panel->Navigate(folder);
        SetActiveHalf(FActive);
        RefreshWindowTitle();
        return;
    }
    THalf& half = FHalves[FActive];
    if (half.Shell || half.Restore || !half.Panel->IsPlainLocal() || half.Panel->Path().empty()) {
        QApplication::beep();
        if (!half.Shell && !half.Restore)
            ShowRefusal("Ctrl+O opens the command line in a folder of a disk");
        return;
    }
    const std::string folder = half.Panel->Path();
    if (!FConsole) {
        auto* console = new TKvShellPanel(FCentral);
        console->hide();
        ApplyTermLook(*console);
        console->OnTitleChanged = [this](TKvShellPanel*) { RefreshWindowTitle(); };
        console->OnWorkChanged = [this](TKvShellPanel*) { RefreshWindowTitle(); };
        console->OnEnded = [this](TKvShellPanel* ASender) { TerminalEnded(ASender); };
        static_cast<QVBoxLayout*>(FCentral->layout())->insertWidget(2, console, 1);
        ShowHalves(false);
        FConsole = console;
        try {
            console->OpenLocal(folder);
        } catch (const std::exception& e) {
            FConsole = nullptr;
            console->deleteLater();
            ShowHalves(true);
            QMessageBox::information(this, "Kolvan",
                                     QString::fromStdString(std::string("The command line needs a pseudo terminal: ") +
                                                            e.what()));
            return;
        }
        Log("console: opened in " + folder);
    } else {
        ShowHalves(false);
        FConsole->show();
        if (FConsole->CurrentDir() != folder)
            FConsole->Model().TypeCd(folder);
    }
    FConsole->FocusTerminal();
    RefreshWindowTitle();
}

void TMainForm::CommandLineEnded() {
    if (!FConsole || FClosing)
        return;
    const std::string status = FConsole->LastStatus();
    const bool shown = FConsole->isVisible();
    FConsole->Close();
    FConsole->hide();
    FConsole->deleteLater();
    FConsole = nullptr;
    if (shown) {
        ShowHalves(true);
        SetActiveHalf(FActive);
    }
    if (!status.empty())
        FHalves[FActive].Panel->ShowResult(status, status.find("could not") != std::string::npos);
    RefreshWindowTitle();
}

void TMainForm::RefreshWindowTitle() {
    std::string title = WindowTitle();
    std::string spinner;
    if (FConsole && FConsole->isVisible()) {
        title = FConsole->Title() + " - " + title;
        spinner = FConsole->WorkSpinner();
    } else {
        for (TKvHalf h : {rhLeft, rhRight})
            if (FHalves[h].Shell && spinner.empty())
                spinner = FHalves[h].Shell->WorkSpinner();
    }
    if (!spinner.empty())
        title += " " + spinner;
    const QString text = QString::fromStdString(title);
    if (windowTitle() != text)
        setWindowTitle(text);
}

} // namespace kv
