#include "Kv.Ui.RunAsForm.h"

#include <QCheckBox>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <sys/stat.h>

#include "Kv.FS.Local.h"
#include "Kv.FileActions.h"
#include "Kv.Platform.Folders.h"
#include "Kv.RunStore.h"
#include "Kv.Text.h"
#include "Kv.Ui.DialogParts.h"
#include "Kv.Ui.Prompts.h"

namespace kv {

namespace {

bool IsFile(const std::string& APath) {
    struct stat st {};
    return !APath.empty() && ::stat(APath.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string Trimmed(const QLineEdit* AEdit) { return std::string(TrimmedView(AEdit->text().toStdString())); }

std::string NameWithoutExtension(const std::string& APath) {
    std::string name = LocalFs()->NameOf(APath);
    size_t dot = name.rfind('.');
    return dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
}

} // namespace

TRunAsForm::TRunAsForm(QWidget* AOwner, const std::string& AShownPath, const std::string& AKey,
                       bool ANotExecutable, bool ATerminal)
    : QDialog(AOwner), FPath(AShownPath), FKey(AKey), FNotExecutable(ANotExecutable), FTerminal(ATerminal) {
    const TKvRunMemory memory = GetRunMemory(AKey);
    const bool opener = !ATerminal && ANotExecutable;
    const int shift = opener ? 100 : 0;
    const int buttons = ATerminal ? 220 : 226 + shift;
    NewFixedForm(this, "Run as...", 480, buttons + 42);
    PlainLabel(this, "Run " + QStr(AShownPath), 12, 12, 456, 18, true, true);
    Box = new QCheckBox(ATerminal ? "Run as administrator (with sudo)" : "Run as administrator", this);
    PlaceAt96(Box, 12, 42, 456, 20);
    PlainLabel(this, "Parameters:", 12, 76, 456, 18);
    Edit = new QLineEdit(this);
    PlaceAt96(Edit, 12, 96, 456, 24);
    QLabel* note = PlainLabel(this,
                              memory.Known ? "The parameters of the last run are filled in, for each way of running."
                                           : "The parameters are remembered for this file.",
                              12, 130, 456, 18);
    note->setStyleSheet("color: gray");

    FNormalText = memory.Params;
    FAdminText = memory.AdminParams;
    FAdmin = memory.LastAdmin;
    Box->setChecked(FAdmin);
    Edit->setText(QStr(FAdmin ? FAdminText : FNormalText));
    connect(Box, &QCheckBox::toggled, this, &TRunAsForm::Changed);

    if (ATerminal) {
        PlainLabel(this,
                   ANotExecutable ? "This file is not executable. Run it with (build, sh, perl...):"
                                  : "Run it with (empty: the file runs by itself):",
                   12, 158, 456, 18);
        RunnerEdit = new QLineEdit(this);
        PlaceAt96(RunnerEdit, 12, 180, 456, 24);
        std::string runner = memory.OpenWith;
        if (runner.empty() && ANotExecutable)
            runner = GetRunMemory(TerminalExtensionRunKey(AShownPath)).OpenWith;
        RunnerEdit->setText(QStr(runner));
    } else {
        if (opener) {
            PlainLabel(this, "This file is not a program. Open it with:", 12, 158, 456, 18);
            UsualRadio = new QRadioButton("Its usual program (as set in the desktop)", this);
            PlaceAt96(UsualRadio, 12, 180, 456, 20);
            OtherRadio = new QRadioButton("This program:", this);
            PlaceAt96(OtherRadio, 12, 204, 456, 20);
            ProgEdit = new QLineEdit(this);
            PlaceAt96(ProgEdit, 32, 228, 296, 24);
            BrowseBtn = new QPushButton("Browse...", this);
            PlaceAt96(BrowseBtn, 336, 226, 132, 28);
            std::string program = memory.OpenWith;
            if (program.empty())
                program = GetRunMemory(ExtensionRunKey(AShownPath)).OpenWith;
            // A remembered program that is gone since is no choice any more.
            if (IsFile(program)) {
                ProgEdit->setText(QStr(program));
                OtherRadio->setChecked(true);
            } else {
                UsualRadio->setChecked(true);
            }
            ProgChanged();
            connect(OtherRadio, &QRadioButton::toggled, this, &TRunAsForm::ProgChanged);
            connect(BrowseBtn, &QPushButton::clicked, this, &TRunAsForm::BrowseClick);
        }
        CmdBox = new QCheckBox("Also make a launcher on the desktop that runs it like this", this);
        PlaceAt96(CmdBox, 12, 162 + shift, 456, 20);
        CmdName = new QLineEdit(QStr(NameWithoutExtension(AShownPath)), this);
        PlaceAt96(CmdName, 32, 186 + shift, 360, 24);
        CmdSuffix = PlainLabel(this, ".desktop", 398, 190 + shift, 76, 18);
        CmdChanged();
        connect(CmdBox, &QCheckBox::toggled, this, &TRunAsForm::CmdChanged);
    }

    auto* run = new QPushButton("Run", this);
    PlaceAt96(run, 296, buttons, 86, 28);
    run->setDefault(true);
    connect(run, &QPushButton::clicked, this, &QDialog::accept);
    auto* cancel = new QPushButton("Cancel", this);
    PlaceAt96(cancel, 388, buttons, 80, 28);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);

    if (ATerminal && ANotExecutable && RunnerEdit->text().trimmed().isEmpty()) {
        RunnerEdit->setFocus();
    } else {
        Edit->setFocus();
        Edit->selectAll();
    }
}

void TRunAsForm::Store() { (FAdmin ? FAdminText : FNormalText) = Edit->text().toStdString(); }

void TRunAsForm::Changed() {
    Store();
    FAdmin = Box->isChecked();
    Edit->setText(QStr(FAdmin ? FAdminText : FNormalText));
    Edit->setFocus();
    Edit->selectAll();
}

void TRunAsForm::ProgChanged() {
    const bool other = OtherRadio->isChecked();
    ProgEdit->setEnabled(other);
    BrowseBtn->setEnabled(other);
    if (other && Trimmed(ProgEdit).empty() && isVisible())
        BrowseClick();
}

void TRunAsForm::BrowseClick() {
    std::string typed = Trimmed(ProgEdit);
    QString chosen = QFileDialog::getOpenFileName(this, "Choose the program that opens the file",
                                                  IsFile(typed) ? QStr(typed) : QString(), "All files (*)");
    if (!chosen.isEmpty())
        ProgEdit->setText(chosen);
    else if (Trimmed(ProgEdit).empty())
        UsualRadio->setChecked(true);
}

void TRunAsForm::CmdChanged() {
    const bool on = CmdBox->isChecked();
    CmdName->setEnabled(on);
    CmdSuffix->setEnabled(on);
    if (on && isVisible()) {
        CmdName->setFocus();
        CmdName->selectAll();
    }
}

std::string TRunAsForm::CloseProblem() {
    if (OtherRadio && OtherRadio->isChecked() && !IsFile(Trimmed(ProgEdit))) {
        BrowseBtn->setFocus();
        return "That program can not be found. Choose it again, or choose the usual program.";
    }
    if (CmdBox && CmdBox->isChecked()) {
        if (LauncherFileName(CmdName->text().toStdString()).empty()) {
            CmdName->setFocus();
            return "Type a name for the launcher.";
        }
        if (DesktopFolder().empty())
            return "The desktop folder can not be found.";
    }
    return {};
}

void TRunAsForm::done(int AResult) {
    if (AResult == QDialog::Accepted) {
        std::string problem = CloseProblem();
        if (!problem.empty()) {
            QMessageBox::information(this, "Run as...", QStr(problem));
            return;
        }
        if (CmdBox && CmdBox->isChecked()) {
            std::string name = LauncherFileName(CmdName->text().toStdString());
            if (IsFile(DesktopFolder() + "/" + name) &&
                QMessageBox::question(this, "Run as...",
                                      QStr("There is already a file called " + name + " on the desktop. Replace it?"),
                                      QMessageBox::Yes | QMessageBox::No, QMessageBox::No) != QMessageBox::Yes)
                return;
        }
    }
    QDialog::done(AResult);
}

void TRunAsForm::Finish(TKvRunAsResult& AResult) {
    Store();
    AResult = TKvRunAsResult();
    AResult.Admin = Box->isChecked();
    AResult.Params = Trimmed(Edit);
    RememberParams(FKey, AResult.Admin, AResult.Params);
    if (FTerminal) {
        AResult.Program = Trimmed(RunnerEdit);
        RememberOpenWith(FKey, AResult.Program);
        if (FNotExecutable && !AResult.Program.empty())
            RememberOpenWith(TerminalExtensionRunKey(FPath), AResult.Program);
        return;
    }
    if (OtherRadio) {
        AResult.Program = OtherRadio->isChecked() ? Trimmed(ProgEdit) : std::string();
        RememberOpenWith(FKey, AResult.Program);
        RememberOpenWith(ExtensionRunKey(FPath), AResult.Program);
    }
    if (CmdBox->isChecked()) {
        std::string text, error;
        std::string title = std::string(TrimmedView(CmdName->text().toStdString()));
        if (!MakeDesktopLauncher(FPath, AResult.Params, AResult.Admin, AResult.Program, title, text, error)) {
            AResult.LauncherError = error;
            return;
        }
        std::string path = DesktopFolder() + "/" + LauncherFileName(CmdName->text().toStdString());
        error = WriteLauncherFile(path, text);
        if (error.empty())
            AResult.LauncherPath = path;
        else
            AResult.LauncherError = error;
    }
}

bool RunAsDialog(QWidget* AOwner, const std::string& AShownPath, const std::string& AKey, bool ANotExecutable,
                 TKvRunAsResult& AResult, bool ATerminal) {
    TRunAsForm form(AOwner ? AOwner : DialogMainWindow(), AShownPath, AKey, ANotExecutable, ATerminal);
    CentreOnWindow(&form, form.parentWidget());
    if (form.exec() != QDialog::Accepted)
        return false;
    form.Finish(AResult);
    return true;
}

} // namespace kv
