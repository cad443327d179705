// The file panel's ways out to the desktop: the selection on the clipboard, the run bar that
// runs a typed command line in the shown folder, and the context menu.
#include <QApplication>
#include <QClipboard>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QToolButton>
#include <QVBoxLayout>

#include "Kv.FS.Local.h"
#include "Kv.FileActions.h"
#include "Kv.RunStore.h"
#include "Kv.Log.h"
#include "Kv.Text.h"
#include "Kv.Ui.Clipboard.h"
#include "Kv.Ui.Dpi.h"
#include "Kv.Ui.FilePanel.h"
#include "Kv.Ui.PropertiesForm.h"
#include "Kv.Ui.RunAsForm.h"
#include "Kv.Ui.Theme.h"

namespace kv {

namespace {

QString Q(const std::string& AText) { return QString::fromUtf8(AText.data(), static_cast<int>(AText.size())); }

// The run bar's edit: Esc closes the bar, and Tab stays here rather than switching halves.
class TKvRunEdit : public QLineEdit {
public:
    TKvRunEdit(QWidget* AParent, std::function<void()> AClose) : QLineEdit(AParent), FClose(std::move(AClose)) {}

protected:
    void keyPressEvent(QKeyEvent* AEvent) override {
        if (AEvent->key() == Qt::Key_Escape) {
            FClose();
            return;
        }
        QLineEdit::keyPressEvent(AEvent);
    }
    bool focusNextPrevChild(bool) override { return true; }

private:
    std::function<void()> FClose;
};

} // namespace

void TKvFilePanel::CopyToClipboard(bool ANamesOnly) {
    const TKvFileEntries items = SelectedEntries();
    if (items.empty())
        return;
    std::vector<std::string> lines;
    for (const auto& item : items)
        lines.push_back(ANamesOnly ? item.Name : FFs->Join(FPath, item.Name));
    const int count = static_cast<int>(lines.size());
    if (!ANamesOnly && IsPlainLocal()) {
        CopyFilesToClipboard(lines);
        ShowResult(std::to_string(count) + " on the clipboard, ready to paste in the file manager", false);
        return;
    }
    std::string text;
    for (const auto& line : lines)
        text += (text.empty() ? "" : "\r\n") + line;
    CopyTextToClipboard(text);
    ShowResult(std::to_string(count) + (ANamesOnly ? " name(s)" : " path(s)") + " on the clipboard", false);
}

void TKvFilePanel::ShowRunBar() {
    if (!IsPlainLocal() || FPath.empty()) {
        ShowResult("Ctrl+E runs files of a disk only", true);
        return;
    }
    if (!FRunBar) {
        FRunBar = new QWidget(this);
        FRunBar->setAutoFillBackground(true);
        QPalette palette = FRunBar->palette();
        palette.setColor(QPalette::Window, ThemeColor(csBars));
        palette.setColor(QPalette::WindowText, Qt::black);
        FRunBar->setPalette(palette);
        FRunBar->setMinimumWidth(ScaleFor(this, 160));
        // The hint on a line of its own: in a narrow half the line typed needs the width.
        auto* rows = new QVBoxLayout(FRunBar);
        rows->setContentsMargins(2, 1, 2, 1);
        rows->setSpacing(1);
        rows->addWidget(new QLabel("Run (Enter), with parameters after the name. Esc closes", FRunBar));
        auto* row = new QHBoxLayout;
        rows->addLayout(row);
        FRunEdit = new TKvRunEdit(FRunBar, [this] { HideRunBar(); });
        FRunEdit->setObjectName("RunEdit");
        row->addWidget(FRunEdit, 1);
        auto* run = new QToolButton(FRunBar);
        run->setText("Run");
        run->setFocusPolicy(Qt::NoFocus);
        row->addWidget(run);
        auto* close = new QToolButton(FRunBar);
        close->setText("X");
        close->setFocusPolicy(Qt::NoFocus);
        row->addWidget(close);
        connect(FRunEdit, &QLineEdit::returnPressed, this, [this] { RunTypedLine(); });
        connect(run, &QToolButton::clicked, this, [this] { RunTypedLine(); });
        connect(close, &QToolButton::clicked, this, [this] { HideRunBar(); });
        // Above the filter bar and the status line.
        static_cast<QVBoxLayout*>(layout())->insertWidget(2, FRunBar);
    }
    TKvFileEntry focused;
    FRunEdit->setText(FocusedEntry(focused) ? Q(RunBarPrefill(focused.Name)) : QString());
    FRunEdit->setCursorPosition(FRunEdit->text().size());
    FRunBar->show();
    FRunEdit->setFocus();
}

void TKvFilePanel::HideRunBar() {
    if (FRunBar)
        FRunBar->hide();
    FocusList();
}

bool TKvFilePanel::RunBarShown() const { return FRunBar && FRunBar->isVisible(); }

void TKvFilePanel::RunTypedLine() {
    const std::string line(TrimmedView(FRunEdit->text().toStdString()));
    if (line.empty()) {
        QApplication::beep();
        return;
    }
    const std::string folder = FPath;
    // A command the shell cannot find, or a program that fails at once, says so afterwards.
    std::string failure = RunCommandLine(folder, line, [this, alive = FAlive](const std::string& AMessage) {
        KvDeliver(alive, [this, AMessage] { ShowResult(AMessage, true); });
    });
    if (!failure.empty()) {
        ShowResult(failure, true);
        return;
    }
    Log("run: " + line + " in " + folder);
    HideRunBar();
    ShowResult("Started: " + line, false);
}

QMenu* TKvFilePanel::NewContextMenu() {
    auto* menu = new QMenu(this);
    TKvFileEntry focused;
    const bool hasEntry = FocusedEntry(focused);
    const bool hasRow = FModel.RowCount() > 0 && FModel.Focus() < FModel.RowCount();
    const bool writable = !FFs->ReadOnly();
    auto add = [&](const char* AText, const char* AShortcut, bool AEnabled, std::function<void()> AAction) {
        QAction* action = menu->addAction(AText);
        if (AShortcut) {
            action->setShortcut(QKeySequence(AShortcut));
            action->setShortcutVisibleInContextMenu(true);
        }
        action->setEnabled(AEnabled);
        connect(action, &QAction::triggered, this, std::move(AAction));
    };
    const bool localFile = hasEntry && !focused.IsDir && IsLocalDisk();
    add("Run as...", nullptr, localFile, [this] { RunAsFocused(); });
    add("Copy", "Ctrl+C", hasEntry, [this] { CopyToClipboard(); });
    add("Copy names", "Ctrl+Shift+C", hasEntry, [this] { CopyToClipboard(true); });
    const QMimeData* clip = QGuiApplication::clipboard() ? QGuiApplication::clipboard()->mimeData() : nullptr;
    add("Paste", "Ctrl+V", OnPasteRequest && writable && HasFileData(clip), [this] { OnPasteRequest(this); });
    add("Rename", "F6", hasEntry && writable && OnRenameRequest, [this] { OnRenameRequest(this); });
    add("Properties", nullptr, hasRow && !FPath.empty(), [this] { ShowFocusedProperties(); });
    return menu;
}

bool TKvFilePanel::IsLocalDisk() const { return FArchiveFile.empty() && FFs->Id() == LocalFs()->Id(); }

void TKvFilePanel::RunAsFocused() {
    TKvFileEntry focused;
    if (!IsLocalDisk() || !FocusedEntry(focused) || focused.IsDir)
        return;
    const std::string path = FFs->Join(FPath, focused.Name);
    TKvRunAsResult result;
    if (!RunAsDialog(window(), path, LocalRunKey(path), !IsExecutable(path), result))
        return;
    std::string failure = RunFile(path, result.Params, result.Admin, result.Program,
                                  [this, alive = FAlive](const std::string& AMessage) {
                                      KvDeliver(alive, [this, AMessage] { ShowResult(AMessage, true); });
                                  });
    if (!failure.empty())
        ShowResult(failure, true);
    else if (!result.LauncherError.empty())
        ShowResult("The launcher could not be made: " + result.LauncherError, true);
    else if (!result.LauncherPath.empty())
        ShowResult("Made " + LocalFs()->NameOf(result.LauncherPath), false);
}

void TKvFilePanel::ShowFocusedProperties() {
    if (FPath.empty() || FModel.RowCount() == 0)
        return;
    // ".." stands for the folder shown.
    const std::string path =
        FModel.IsUpRow(FModel.Focus()) ? FPath : FFs->Join(FPath, FModel.Row(FModel.Focus()).Name);
    ShowFileProperties(window(), *FOpsWorker, FAlive, path, FFs);
}

} // namespace kv
