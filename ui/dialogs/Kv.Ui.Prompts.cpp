#include "Kv.Ui.Prompts.h"

#include <QApplication>
#include <QCheckBox>
#include <QDialog>
#include <QEvent>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QTabWidget>
#include <QThread>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "Kv.Log.h"
#include "Kv.Ui.Dpi.h"
#include "Kv.Ui.Theme.h"
#include "Kv.Ui.DialogParts.h"

namespace kv {

namespace {

QPointer<QWidget> GMainWindow;

const QString KBoxTitle = QStringLiteral("Kolvan");

QString Q(const std::string& AText) {
    return QString::fromStdString(AText);
}

// Sizes are given at 96 dpi.
int S(int AValue) {
    return ScaleToScreen(AValue);
}

void Place(QWidget* AWidget, int ALeft, int ATop, int AWidth, int AHeight) {
    AWidget->setGeometry(S(ALeft), S(ATop), S(AWidth), S(AHeight));
}

QDialog* NewForm(QWidget* AOwner, const QString& ATitle, int AClientWidth, int AClientHeight) {
    return NewFixedForm(new QDialog(AOwner), ATitle, AClientWidth, AClientHeight);
}

// Centred on AOn when it is shown; otherwise Qt centres the dialog on its parent.
void CentreOn(QDialog* AForm, QWidget* AOn) { CentreOnWindow(AForm, AOn); }

// Shows given text as it is: no rich text, ampersands not taken as mnemonics, words wrapped.
QLabel* TextLabel(QWidget* AParent, const QString& AText, int ALeft, int ATop, int AWidth,
                  int AHeight) {
    auto* label = new QLabel(AParent);
    label->setTextFormat(Qt::PlainText);
    label->setWordWrap(true);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    label->setText(AText);
    Place(label, ALeft, ATop, AWidth, AHeight);
    return label;
}

QLabel* CaptionLabel(QWidget* AParent, const QString& AText, int ALeft, int ATop, int AWidth,
                     int AHeight) {
    auto* label = new QLabel(AText, AParent);
    label->setTextFormat(Qt::PlainText);
    label->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    Place(label, ALeft, ATop, AWidth, AHeight);
    return label;
}

QLineEdit* Edit(QWidget* AParent, const char* AName, int ALeft, int ATop, int AWidth, int AHeight,
                bool AMasked) {
    auto* edit = new QLineEdit(AParent);
    edit->setObjectName(QLatin1String(AName));
    if (AMasked) {
        edit->setEchoMode(QLineEdit::Password);
        // One "*" per character whatever the style's own mask character is.
        edit->setStyleSheet(QStringLiteral("QLineEdit { lineedit-password-character: 42; }"));
    }
    Place(edit, ALeft, ATop, AWidth, AHeight);
    return edit;
}

QPushButton* Button(QWidget* AParent, const QString& AText, int ALeft, int ATop, int AWidth,
                    int AHeight) {
    auto* button = new QPushButton(AText, AParent);
    Place(button, ALeft, ATop, AWidth, AHeight);
    return button;
}

// A check box's caption that wraps: Qt's check box draws its text on one line only.
class TWrapCaption final : public QLabel {
public:
    TWrapCaption(QCheckBox* ACheck, const QString& AText, QWidget* AParent)
        : QLabel(AParent), FCheck(ACheck) {
        setTextFormat(Qt::PlainText);
        setWordWrap(true);
        setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
        setText(AText);
    }

protected:
    void mouseReleaseEvent(QMouseEvent* AEvent) override {
        if (AEvent->button() == Qt::LeftButton && FCheck->isEnabled() &&
            rect().contains(AEvent->position().toPoint())) {
            FCheck->toggle();
            FCheck->setFocus(Qt::MouseFocusReason);
        }
    }

private:
    QCheckBox* FCheck;
};

QCheckBox* WrappedCheck(QWidget* AParent, const char* AName, const QString& AText, int ALeft,
                        int ATop, int AWidth, int AHeight, QLabel** ACaption = nullptr) {
    auto* check = new QCheckBox(AParent);
    check->setObjectName(QLatin1String(AName));
    QStyle* style = check->style();
    int box = style->pixelMetric(QStyle::PM_IndicatorWidth, nullptr, check) +
              style->pixelMetric(QStyle::PM_CheckBoxLabelSpacing, nullptr, check);
    check->setGeometry(S(ALeft), S(ATop), box, S(AHeight));
    auto* caption = new TWrapCaption(check, AText, AParent);
    caption->setGeometry(S(ALeft) + box, S(ATop), S(AWidth) - box, S(AHeight));
    caption->setEnabled(check->isEnabled());
    if (ACaption)
        *ACaption = caption;
    return check;
}

void Inform(QWidget* AParent, const QString& AText) {
    QMessageBox::information(AParent, KBoxTitle, AText, QMessageBox::Ok);
}

// Password text is overwritten before the edit goes away, not left to the allocator.
void Wipe(QLineEdit* AEdit) {
    if (!AEdit)
        return;
    AEdit->setText(QString(AEdit->text().size(), QChar(u' ')));
    AEdit->clear();
}

struct TPromptRecord {
    std::mutex Lock;
    // The caller's token; only read while the caller still waits (Abandoned false).
    const IKvCancelToken* Token = nullptr;
    bool Abandoned = false;
    // 0 pending, 1 the work ran, 2 it was skipped because the token was cancelled first.
    std::atomic<int> State{0};
    std::function<void()> Work;
};

void RunRecord(TPromptRecord& ARecord) {
    bool skip;
    {
        std::lock_guard<std::mutex> lock(ARecord.Lock);
        skip = ARecord.Abandoned || ARecord.Token->IsCancelled();
    }
    if (!skip) {
        try {
            ARecord.Work();
        } catch (const std::exception& e) {
            Log(std::string("prompt: ") + e.what());
        } catch (...) {
            Log("prompt: unknown failure");
        }
    }
    ARecord.State.store(skip ? 2 : 1, std::memory_order_release);
}

} // namespace

// ---- Owner ----

void SetDialogMainWindow(QWidget* AWindow) {
    GMainWindow = AWindow;
}

QWidget* DialogMainWindow() {
    return GMainWindow.data();
}

QWidget* DialogOwner() {
    QWidget* active = QApplication::activeWindow();
    // The pickers are windows of their own that vanish when a dialog takes the focus.
    if (active && active->isVisible() && active->windowType() != Qt::Popup &&
        !active->inherits("kv::TKvPopupWindow"))
        return active;
    return DialogMainWindow();
}

// ---- Worker prompts ----

bool RunPromptOnUi(const IKvCancelToken& AToken, std::function<void()> AWork) {
    auto record = std::make_shared<TPromptRecord>();
    record->Token = &AToken;
    record->Work = std::move(AWork);
    if (!qApp)
        return false;
    if (QThread::currentThread() == qApp->thread()) {
        RunRecord(*record);
        return record->State.load() == 1;
    }
    QMetaObject::invokeMethod(
        qApp, [record] { RunRecord(*record); }, Qt::QueuedConnection);
    for (;;) {
        int state = record->State.load(std::memory_order_acquire);
        if (state != 0)
            return state == 1;
        if (AToken.IsCancelled()) {
            std::lock_guard<std::mutex> lock(record->Lock);
            // The dialog may still be open; from now on it never looks at the token again.
            record->Abandoned = true;
            record->Token = nullptr;
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
}

// ---- Checks ----

QString ZipDialogProblem(const QString& AName, bool AUsePassword, const QString& APass1,
                         const QString& APass2) {
    if (AName.trimmed().isEmpty())
        return QStringLiteral("Type a name for the zip file.");
    if (AUsePassword && APass1.isEmpty())
        return QStringLiteral("Type the password, or turn off the password.");
    if (AUsePassword && APass1 != APass2)
        return QStringLiteral("The two passwords are not the same.");
    return {};
}

QString PasskeyProblem(const QString& AFirst, const QString& ASecond) {
    if (AFirst.isEmpty())
        return QStringLiteral("Type the passkey first.");
    if (AFirst != ASecond)
        return QStringLiteral("The two passkeys are not the same.");
    return {};
}

TKvRenameCheck RenameMoveCheck(bool AMovePage, bool AEditEnabled, const QString& AText,
                               const QString& AOldName) {
    if (!AEditEnabled)
        return {rvIgnore, {}};
    QString text = AText.trimmed();
    if (AMovePage) {
        if (text.isEmpty())
            return {rvRefuse, QStringLiteral("Type where to move it.")};
        return {rvAccept, {}};
    }
    if (text.isEmpty())
        return {rvRefuse, QStringLiteral("Type the new name.")};
    if (text.contains(u'\\') || text.contains(u'/'))
        return {rvRefuse,
                QStringLiteral("Type a name only. To put it in another folder, use the Move tab.")};
    if (text == AOldName)
        return {rvCancel, {}};
    return {rvAccept, {}};
}

TKvTextRange RenameSelection(const QString& AText, bool AIsDir) {
    int dot = AText.lastIndexOf(u'.');
    if (AIsDir || dot <= 0)
        return {0, static_cast<int>(AText.size())};
    return {0, dot};
}

// ---- Masked input box ----

bool InputSecret(const std::string& ATitle, const std::string& APrompt, std::string& AValue) {
    AValue.clear();
    std::unique_ptr<QDialog> form(NewForm(DialogOwner(), Q(ATitle), 390, 140));
    TextLabel(form.get(), Q(APrompt), 14, 14, 362, 44);
    QLineEdit* edit = Edit(form.get(), "SecretEdit", 14, 64, 362, 24, true);
    QPushButton* ok = Button(form.get(), QStringLiteral("OK"), 206, 102, 80, 28);
    QPushButton* cancel = Button(form.get(), QStringLiteral("Cancel"), 296, 102, 80, 28);
    ok->setDefault(true);
    QObject::connect(ok, &QPushButton::clicked, form.get(), &QDialog::accept);
    QObject::connect(cancel, &QPushButton::clicked, form.get(), &QDialog::reject);
    CentreOn(form.get(), DialogMainWindow());
    edit->setFocus();
    bool confirmed = form->exec() == QDialog::Accepted;
    if (confirmed)
        AValue = edit->text().toStdString();
    Wipe(edit);
    return confirmed;
}

// ---- Yes/No box ----

bool AskLine(QWidget* AOwner, const std::string& ATitle, const std::string& APrompt,
             const std::string& AText, std::string& AAnswer) {
    QInputDialog dialog(AOwner ? AOwner : DialogOwner());
    dialog.setWindowTitle(Q(ATitle));
    dialog.setLabelText(Q(APrompt));
    dialog.setTextValue(Q(AText));
    dialog.setInputMode(QInputDialog::TextInput);
    const QFontMetrics metrics(dialog.font());
    // The title bar also holds the window manager's buttons; the field shows the whole proposal.
    int wanted = std::max({metrics.horizontalAdvance(Q(ATitle)) + S(160),
                           metrics.horizontalAdvance(Q(APrompt)),
                           metrics.horizontalAdvance(Q(AText) + QStringLiteral("MMMM")), S(360)}) +
                 S(40);
    if (QScreen* screen = dialog.screen())
        wanted = std::min(wanted, screen->availableGeometry().width() * 9 / 10);
    dialog.resize(wanted, dialog.sizeHint().height());
    dialog.setMinimumWidth(wanted);
    if (dialog.exec() != QDialog::Accepted)
        return false;
    AAnswer = dialog.textValue().toStdString();
    return true;
}

bool AskYesNo(const std::string& ATitle, const std::string& AText, bool ADefaultYes,
              QWidget* AOwner) {
    QWidget* owner = AOwner ? AOwner : DialogOwner();
    std::unique_ptr<QDialog> form(NewForm(owner, Q(ATitle), 400, 118));
    TextLabel(form.get(), Q(AText), 16, 16, 368, 48);
    QPushButton* yes = Button(form.get(), QStringLiteral("Yes"), 208, 76, 84, 28);
    QPushButton* no = Button(form.get(), QStringLiteral("No"), 300, 76, 84, 28);
    QObject::connect(yes, &QPushButton::clicked, form.get(), &QDialog::accept);
    QObject::connect(no, &QPushButton::clicked, form.get(), &QDialog::reject);
    QPushButton* preferred = ADefaultYes ? yes : no;
    preferred->setDefault(true);
    preferred->setFocus();
    CentreOn(form.get(), owner);
    return form->exec() == QDialog::Accepted;
}

// ---- Zip dialog ----

TZipDialogHelper::TZipDialogHelper(QWidget* AOwner, const QString& AFolder, int ACount,
                                   const QString& AProposedName) {
    Form = NewForm(AOwner, QStringLiteral("Make a zip file"), 440, 272);
    TextLabel(Form,
              QStringLiteral("Put %1 item(s) in a zip file. A name without a folder is made in %2")
                  .arg(QString::number(ACount), AFolder),
              14, 12, 412, 40);
    NameEdit = Edit(Form, "NameEdit", 14, 56, 412, 24, false);
    NameEdit->setText(AProposedName);
    UseCheck = new QCheckBox(QStringLiteral("Protect with a password"), Form);
    UseCheck->setObjectName(QStringLiteral("UseCheck"));
    Place(UseCheck, 14, 92, 412, 20);
    CaptionLabel(Form, QStringLiteral("Password"), 34, 122, 100, 18);
    Pass1 = Edit(Form, "Pass1", 140, 118, 286, 24, true);
    CaptionLabel(Form, QStringLiteral("Type it again"), 34, 154, 100, 18);
    Pass2 = Edit(Form, "Pass2", 140, 150, 286, 24, true);
    WeakCheck = WrappedCheck(
        Form, "WeakCheck",
        QStringLiteral("Use the old, weak encryption (ZipCrypto), which Windows Explorer can "
                       "open. Without this the zip uses AES-256, which 7-Zip and WinRAR open."),
        34, 184, 392, 46, &FWeakLabel);
    QPushButton* create = Button(Form, QStringLiteral("Create"), 256, 234, 80, 28);
    QPushButton* cancel = Button(Form, QStringLiteral("Cancel"), 346, 234, 80, 28);
    create->setDefault(true);
    QObject::connect(UseCheck, &QCheckBox::toggled, Form, [this] { CheckClick(); });
    QObject::connect(create, &QPushButton::clicked, Form, [this] { OkClick(); });
    QObject::connect(cancel, &QPushButton::clicked, Form, &QDialog::reject);
    Pass1->setEnabled(false);
    Pass2->setEnabled(false);
    WeakCheck->setEnabled(false);
    FWeakLabel->setEnabled(false);
    NameEdit->setFocus();
}

TZipDialogHelper::~TZipDialogHelper() {
    Wipe(Pass1);
    Wipe(Pass2);
    delete Form;
}

void TZipDialogHelper::CheckClick() {
    bool on = UseCheck->isChecked();
    Pass1->setEnabled(on);
    Pass2->setEnabled(on);
    WeakCheck->setEnabled(on);
    FWeakLabel->setEnabled(on);
    if (on)
        Pass1->setFocus();
}

void TZipDialogHelper::OkClick() {
    QString problem =
        ZipDialogProblem(NameEdit->text(), UseCheck->isChecked(), Pass1->text(), Pass2->text());
    if (!problem.isEmpty()) {
        Inform(Form, problem);
        return;
    }
    Form->accept();
}

bool AskZipOptions(const std::string& AFolder, int ACount, const std::string& AProposedName,
                   std::string& AName, std::string& APassword, bool& AWeak) {
    AName.clear();
    APassword.clear();
    AWeak = false;
    TZipDialogHelper helper(DialogOwner(), Q(AFolder), ACount, Q(AProposedName));
    CentreOn(helper.Form, DialogMainWindow());
    if (helper.Form->exec() != QDialog::Accepted)
        return false;
    AName = helper.NameEdit->text().trimmed().toStdString();
    if (helper.UseCheck->isChecked()) {
        APassword = helper.Pass1->text().toStdString();
        AWeak = helper.WeakCheck->isChecked();
    }
    return true;
}

// ---- Rename or move dialog ----

namespace {

// Runs the rename dialog's preselection each time the window is shown.
class TShowWatcher final : public QObject {
public:
    TShowWatcher(QObject* AParent, std::function<void()> AOnShow)
        : QObject(AParent), FOnShow(std::move(AOnShow)) {}

protected:
    bool eventFilter(QObject* AObject, QEvent* AEvent) override {
        if (AEvent->type() == QEvent::Show)
            FOnShow();
        return QObject::eventFilter(AObject, AEvent);
    }

private:
    std::function<void()> FOnShow;
};

} // namespace

TRenameMoveHelper::TRenameMoveHelper(QWidget* AOwner, const QString& AOldName, bool AIsDir,
                                     const QString& AMovePrompt, const QString& ARefusal,
                                     const QString& ADestination, bool AMovePage)
    : OldName(AOldName), IsDir(AIsDir) {
    Form = NewForm(AOwner, QStringLiteral("Rename / Move"), 480, 176);
    Pages = new QTabWidget(Form);
    Place(Pages, 10, 10, 460, 118);
    RenameTab = new QWidget;
    MoveTab = new QWidget;
    Pages->addTab(RenameTab, QStringLiteral("Rename"));
    Pages->addTab(MoveTab, QStringLiteral("Move"));

    bool hasOld = !AOldName.isEmpty();
    TextLabel(RenameTab,
              hasOld ? QStringLiteral("New name for \"") + AOldName +
                           QStringLiteral("\", in the same folder:")
                     : QStringLiteral("Put the cursor on a file or folder to rename it."),
              10, 10, 430, 36);
    RenameEdit = Edit(RenameTab, "RenameEdit", 10, 50, 430, 24, false);
    RenameEdit->setText(AOldName);
    RenameEdit->setEnabled(hasOld);

    bool refused = !ARefusal.isEmpty();
    TextLabel(MoveTab, refused ? ARefusal : AMovePrompt, 10, 10, 430, 36);
    MoveEdit = Edit(MoveTab, "MoveEdit", 10, 50, 430, 24, false);
    MoveEdit->setText(refused ? QString() : ADestination);
    MoveEdit->setEnabled(!refused);

    QPushButton* ok = Button(Form, QStringLiteral("OK"), 300, 138, 80, 28);
    QPushButton* cancel = Button(Form, QStringLiteral("Cancel"), 390, 138, 80, 28);
    ok->setDefault(true);
    QObject::connect(ok, &QPushButton::clicked, Form, [this] { OkClick(); });
    QObject::connect(cancel, &QPushButton::clicked, Form, &QDialog::reject);

    bool movePage = AMovePage || !hasOld;
    if (movePage && refused && hasOld)
        movePage = false;
    Pages->setCurrentWidget(movePage ? MoveTab : RenameTab);
    QLineEdit* first = movePage ? MoveEdit : RenameEdit;
    if (first->isEnabled()) {
        first->setFocus();
        if (movePage)
            MoveEdit->selectAll();
    }
    QObject::connect(Pages, &QTabWidget::currentChanged, Form, [this] { PageChanged(); });
    Form->installEventFilter(new TShowWatcher(Form, [this] { SelectName(); }));
}

TRenameMoveHelper::~TRenameMoveHelper() {
    delete Form;
}

bool TRenameMoveHelper::MovePageActive() const {
    return Pages->currentWidget() == MoveTab;
}

void TRenameMoveHelper::SelectName() {
    if (MovePageActive() || !RenameEdit->isEnabled())
        return;
    TKvTextRange range = RenameSelection(RenameEdit->text(), IsDir);
    RenameEdit->setSelection(range.Start, range.Length);
}

void TRenameMoveHelper::PageChanged() {
    QLineEdit* edit = MovePageActive() ? MoveEdit : RenameEdit;
    if (!edit->isEnabled())
        return;
    edit->setFocus();
    if (MovePageActive())
        MoveEdit->selectAll();
    else
        SelectName();
}

QString TRenameMoveHelper::ResultText() const {
    return (MovePageActive() ? MoveEdit : RenameEdit)->text().trimmed();
}

void TRenameMoveHelper::OkClick() {
    bool move = MovePageActive();
    QLineEdit* edit = move ? MoveEdit : RenameEdit;
    TKvRenameCheck check = RenameMoveCheck(move, edit->isEnabled(), edit->text(), OldName);
    switch (check.Verdict) {
    case rvAccept:
        Form->accept();
        break;
    case rvCancel:
        Form->reject();
        break;
    case rvRefuse:
        Inform(Form, check.Message);
        break;
    case rvIgnore:
        break;
    }
}

bool AskRenameOrMove(const std::string& AOldName, bool AIsDir, const std::string& AMovePrompt,
                     const std::string& ARefusal, const std::string& ADestination, bool& AMovePage,
                     std::string& AText) {
    AText.clear();
    TRenameMoveHelper helper(DialogOwner(), Q(AOldName), AIsDir, Q(AMovePrompt), Q(ARefusal),
                             Q(ADestination), AMovePage);
    CentreOn(helper.Form, DialogMainWindow());
    if (helper.Form->exec() != QDialog::Accepted)
        return false;
    AMovePage = helper.MovePageActive();
    AText = helper.ResultText().toStdString();
    return true;
}

// ---- Passkey dialog ----

TPasskeyHelper::TPasskeyHelper(QWidget* AOwner, bool AHasPasskey, bool APortable) {
    Form = NewForm(AOwner, QStringLiteral("Passkey for saved passwords"), 430, 330);
    TextLabel(
        Form,
        QStringLiteral(
            "Saved passwords are already encrypted so that only your user account can read them. "
            "A passkey adds a second lock: they can then only be read with your account and this "
            "passkey. You are asked for it once each time Kolvan starts and needs a saved "
            "password.\nThe passkey itself is not stored. If you forget it, the saved passwords "
            "are lost and have to be typed again."),
        14, 12, 402, 104);
    CaptionLabel(Form, QStringLiteral("New passkey"), 14, 130, 120, 18);
    First = Edit(Form, "First", 140, 126, 276, 24, true);
    CaptionLabel(Form, QStringLiteral("Type it again"), 14, 162, 120, 18);
    Second = Edit(Form, "Second", 140, 158, 276, 24, true);
    FPortableCheck = WrappedCheck(
        Form, "PortableCheck",
        QStringLiteral("Portable: lock the passwords with the passkey alone, not with this "
                       "user account. The file can then be copied to another computer (a "
                       "USB stick) and opened there with the passkey. Nothing else "
                       "protects it, so use a long passkey, such as a few words."),
        14, 198, 402, 76);
    FPortableCheck->setChecked(APortable);
    QPushButton* set = Button(Form, QStringLiteral("Set passkey"), 14, 286, 110, 28);
    QPushButton* remove = Button(Form, QStringLiteral("Remove passkey"), 134, 286, 130, 28);
    QPushButton* cancel = Button(Form, QStringLiteral("Cancel"), 336, 286, 80, 28);
    remove->setObjectName(QStringLiteral("RemoveButton"));
    remove->setEnabled(AHasPasskey);
    set->setDefault(true);
    QObject::connect(set, &QPushButton::clicked, Form, [this] { SetClick(); });
    QObject::connect(remove, &QPushButton::clicked, Form, [this] { RemoveClick(); });
    QObject::connect(cancel, &QPushButton::clicked, Form, &QDialog::reject);
    First->setFocus();
}

TPasskeyHelper::~TPasskeyHelper() {
    Wipe(First);
    Wipe(Second);
    delete Form;
}

bool TPasskeyHelper::Portable() const {
    return FPortableCheck->isChecked();
}

void TPasskeyHelper::SetClick() {
    QString problem = PasskeyProblem(First->text(), Second->text());
    if (!problem.isEmpty()) {
        Inform(Form, problem);
        return;
    }
    FChoice = pcSet;
    Form->accept();
}

void TPasskeyHelper::RemoveClick() {
    FChoice = pcRemove;
    Form->accept();
}

TKvPasskeyChoice AskPasskey(bool AHasPasskey, bool& APortable, std::string& APasskey) {
    TPasskeyHelper helper(DialogOwner(), AHasPasskey, APortable);
    CentreOn(helper.Form, DialogMainWindow());
    if (helper.Form->exec() != QDialog::Accepted)
        return pcCancel;
    if (helper.Choice() == pcSet) {
        APasskey = helper.First->text().toStdString();
        APortable = helper.Portable();
    } else if (helper.Choice() == pcRemove) {
        APortable = false;
    }
    return helper.Choice();
}

// ---- Connection prompts ----

QString NewHostKeyText(const std::string& AHost, int APort, const std::string& AKeyType,
                       const std::string& AFingerprint) {
    return QStringLiteral(
               "Kolvan has not connected to \"%1\" (port %2) before, so it cannot check that this "
               "really is "
               "that server.\n\nKey type: %3\nFingerprint: %4\n\nTrust this key if the fingerprint "
               "matches "
               "what the server's owner gave you, or if you are sure the connection is not being "
               "intercepted.")
        .arg(Q(AHost), QString::number(APort), Q(AKeyType), Q(AFingerprint));
}

QString ChangedHostKeyText(const std::string& AHost, int APort, const std::string& AKeyType,
                           const std::string& ANewFingerprint, const std::string& AOldFingerprint,
                           const std::string& AKnownHostsFile) {
    return QStringLiteral(
               "WARNING: the key of \"%1\" (port %2) is not the one you trusted before.\n\nKey "
               "type: "
               "%3\nTrusted before: %4\nOffered now: %5\n\nThis can mean that someone is "
               "intercepting the "
               "connection. It can also mean that the server was reinstalled. The connection was "
               "refused.\n\nIf you are sure the change is legitimate, remove the old line for this "
               "server "
               "from:\n%6")
        .arg(Q(AHost), QString::number(APort), Q(AKeyType), Q(AOldFingerprint), Q(ANewFingerprint),
             Q(AKnownHostsFile));
}

bool TKvUiPrompts::AskSecret(const std::string& ATitle, const std::string& APrompt,
                             const IKvCancelToken& AToken, std::string& AValue) {
    AValue.clear();
    auto answer = AskOnUi<std::optional<std::string>>(
        AToken, [title = ATitle, prompt = APrompt]() -> std::optional<std::string> {
            std::string value;
            if (!InputSecret(title, prompt, value))
                return std::nullopt;
            return value;
        });
    if (!answer || !*answer)
        return false;
    AValue = std::move(**answer);
    return true;
}

bool TKvUiPrompts::ConfirmNewHostKey(const std::string& AHost, int APort,
                                     const std::string& AKeyType, const std::string& AFingerprint,
                                     const IKvCancelToken& AToken) {
    QString text = NewHostKeyText(AHost, APort, AKeyType, AFingerprint);
    auto answer = AskOnUi<bool>(AToken, [text] {
        QMessageBox box(QMessageBox::Question, KBoxTitle, text, QMessageBox::NoButton,
                        DialogOwner());
        box.setTextFormat(Qt::PlainText);
        box.setFont(DialogFont());
        QPushButton* trust =
            box.addButton(QStringLiteral("Trust and connect"), QMessageBox::YesRole);
        QPushButton* cancel = box.addButton(QStringLiteral("Cancel"), QMessageBox::RejectRole);
        box.setDefaultButton(cancel);
        box.setEscapeButton(cancel);
        box.exec();
        return box.clickedButton() == trust;
    });
    return answer.value_or(false);
}

void TKvUiPrompts::ReportChangedHostKey(const std::string& AHost, int APort,
                                        const std::string& AKeyType,
                                        const std::string& ANewFingerprint,
                                        const std::string& AOldFingerprint,
                                        const std::string& AKnownHostsFile,
                                        const IKvCancelToken& AToken) {
    QString text = ChangedHostKeyText(AHost, APort, AKeyType, ANewFingerprint, AOldFingerprint,
                                      AKnownHostsFile);
    RunPromptOnUi(AToken, [text] {
        QMessageBox box(QMessageBox::Critical, KBoxTitle, text, QMessageBox::Ok, DialogOwner());
        box.setTextFormat(Qt::PlainText);
        box.setFont(DialogFont());
        box.exec();
    });
}

} // namespace kv
