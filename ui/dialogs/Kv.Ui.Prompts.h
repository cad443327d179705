// The small modal dialogs several windows share, and TKvUiPrompts, through which connections on
// worker threads ask the user for passwords and decisions about server keys.
#pragma once

#include <QString>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "Kv.Ssh.Session.h"
#include "Kv.Worker.h"

class QCheckBox;
class QDialog;
class QLabel;
class QLineEdit;
class QTabWidget;
class QWidget;

namespace kv {

// ---- Owner of a dialog ----

// The window dialogs fall back to when nothing suitable is active (the main window sets itself).
void SetDialogMainWindow(QWidget* AWindow);
QWidget* DialogMainWindow();
// The active window when it is visible and not a popup (the drive and connection pickers are
// popups that close when focus leaves them); otherwise the main window.
QWidget* DialogOwner();

// ---- Running UI work for a worker thread ----

// Runs AWork on the UI thread and waits for it; true when it ran to its end (also when it
// raised). Returns false as soon as AToken is cancelled, even with a dialog still open: AWork then
// finishes later on its own, so it must keep what it touches alive itself (capture by value or
// shared_ptr, never the caller's locals). AToken need only live until this call returns. On the
// UI thread itself the work runs at once.
bool RunPromptOnUi(const IKvCancelToken& AToken, std::function<void()> AWork);

// RunPromptOnUi for work with a result: the answer lives in state shared with the work, so a
// worker that stops waiting never has it written into its stack. Empty when the token stopped
// the wait or the work did not finish.
template <class T>
std::optional<T> AskOnUi(const IKvCancelToken& AToken, std::function<T()> AWork) {
    auto answer = std::make_shared<std::optional<T>>();
    bool done = RunPromptOnUi(AToken, [answer, work = std::move(AWork)] { *answer = work(); });
    if (!done)
        return std::nullopt;
    return std::move(*answer);
}

// ---- Dialog checks: the message to show, or an empty text when the input is accepted ----

QString ZipDialogProblem(const QString& AName, bool AUsePassword, const QString& APass1,
                         const QString& APass2);
QString PasskeyProblem(const QString& AFirst, const QString& ASecond);

enum TKvRenameVerdict {
    rvAccept, // close with OK
    rvRefuse, // show the message, stay open
    rvCancel, // nothing changed: close as cancelled
    rvIgnore, // the page's edit is disabled: the button does nothing
};
struct TKvRenameCheck {
    TKvRenameVerdict Verdict = rvAccept;
    QString Message;
};
// OK on the rename or move page with the page's edit text.
TKvRenameCheck RenameMoveCheck(bool AMovePage, bool AEditEnabled, const QString& AText,
                               const QString& AOldName);
// The part of the rename edit preselected: [start, start + length).
struct TKvTextRange {
    int Start = 0;
    int Length = 0;
    bool operator==(const TKvTextRange&) const = default;
};
TKvTextRange RenameSelection(const QString& AText, bool AIsDir);

// ---- The dialogs ----

// Masked input: true when confirmed, AValue exactly as typed (possibly empty); false leaves it
// empty.
bool InputSecret(const std::string& ATitle, const std::string& APrompt, std::string& AValue);
// One line of text, as QInputDialog asks it, but as wide as its title, prompt and proposed text
// need (within the screen), the field taking the dialog's width. False when cancelled.
bool AskLine(QWidget* AOwner, const std::string& ATitle, const std::string& APrompt,
             const std::string& AText, std::string& AAnswer);
// True only for Yes. AOwner may be null (then DialogOwner).
bool AskYesNo(const std::string& ATitle, const std::string& AText, bool ADefaultYes,
              QWidget* AOwner = nullptr);
bool AskZipOptions(const std::string& AFolder, int ACount, const std::string& AProposedName,
                   std::string& AName, std::string& APassword, bool& AWeak);
// AOldName empty: nothing to rename. ARefusal non-empty: moving is not possible (the text says
// why). AMovePage: in, the page asked for; out, the page confirmed. AText: that page's trimmed
// text.
bool AskRenameOrMove(const std::string& AOldName, bool AIsDir, const std::string& AMovePrompt,
                     const std::string& ARefusal, const std::string& ADestination, bool& AMovePage,
                     std::string& AText);

enum TKvPasskeyChoice { pcSet = 0, pcRemove = 1, pcCancel = 2 };
// pcSet gives APasskey as typed and APortable as checked; pcRemove sets APortable false;
// pcCancel changes nothing.
TKvPasskeyChoice AskPasskey(bool AHasPasskey, bool& APortable, std::string& APasskey);

// ---- Dialog helpers: each owns its dialog and carries its button handlers ----

class TZipDialogHelper {
public:
    TZipDialogHelper(QWidget* AOwner, const QString& AFolder, int ACount,
                     const QString& AProposedName);
    ~TZipDialogHelper();
    TZipDialogHelper(const TZipDialogHelper&) = delete;
    TZipDialogHelper& operator=(const TZipDialogHelper&) = delete;

    void CheckClick();
    void OkClick();

    QDialog* Form = nullptr;
    QLineEdit* NameEdit = nullptr;
    QLineEdit* Pass1 = nullptr;
    QLineEdit* Pass2 = nullptr;
    QCheckBox* UseCheck = nullptr;
    QCheckBox* WeakCheck = nullptr;

private:
    QLabel* FWeakLabel = nullptr;
};

class TRenameMoveHelper {
public:
    TRenameMoveHelper(QWidget* AOwner, const QString& AOldName, bool AIsDir,
                      const QString& AMovePrompt, const QString& ARefusal,
                      const QString& ADestination, bool AMovePage);
    ~TRenameMoveHelper();
    TRenameMoveHelper(const TRenameMoveHelper&) = delete;
    TRenameMoveHelper& operator=(const TRenameMoveHelper&) = delete;

    void SelectName();
    void PageChanged();
    void OkClick();
    bool MovePageActive() const;
    // The active page's trimmed text.
    QString ResultText() const;

    QDialog* Form = nullptr;
    QTabWidget* Pages = nullptr;
    QWidget* RenameTab = nullptr;
    QWidget* MoveTab = nullptr;
    QLineEdit* RenameEdit = nullptr;
    QLineEdit* MoveEdit = nullptr;
    QString OldName;
    bool IsDir = false;
};

class TPasskeyHelper {
public:
    TPasskeyHelper(QWidget* AOwner, bool AHasPasskey, bool APortable);
    ~TPasskeyHelper();
    TPasskeyHelper(const TPasskeyHelper&) = delete;
    TPasskeyHelper& operator=(const TPasskeyHelper&) = delete;

    void SetClick();
    void RemoveClick();
    TKvPasskeyChoice Choice() const { return FChoice; }
    bool Portable() const;

    QDialog* Form = nullptr;
    QLineEdit* First = nullptr;
    QLineEdit* Second = nullptr;

private:
    QCheckBox* FPortableCheck = nullptr;
    TKvPasskeyChoice FChoice = pcCancel;
};

// ---- The connection prompts ----

// Texts of the server-key questions, with line breaks as "\n".
QString NewHostKeyText(const std::string& AHost, int APort, const std::string& AKeyType,
                       const std::string& AFingerprint);
QString ChangedHostKeyText(const std::string& AHost, int APort, const std::string& AKeyType,
                           const std::string& ANewFingerprint, const std::string& AOldFingerprint,
                           const std::string& AKnownHostsFile);

// Given to every connection; each question runs as a dialog on the UI thread while the
// connection's worker waits (or stops waiting when its token is cancelled).
class TKvUiPrompts final : public IKvConnectUi {
public:
    bool AskSecret(const std::string& ATitle, const std::string& APrompt,
                   const IKvCancelToken& AToken, std::string& AValue) override;
    bool ConfirmNewHostKey(const std::string& AHost, int APort, const std::string& AKeyType,
                           const std::string& AFingerprint, const IKvCancelToken& AToken) override;
    void ReportChangedHostKey(const std::string& AHost, int APort, const std::string& AKeyType,
                              const std::string& ANewFingerprint,
                              const std::string& AOldFingerprint,
                              const std::string& AKnownHostsFile,
                              const IKvCancelToken& AToken) override;
};

} // namespace kv
