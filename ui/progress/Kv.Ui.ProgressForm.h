// The progress window of one running session. It, the transfer strip (Kv.Ui.TransferStrip)
// and the queue window (Kv.Ui.QueueForm) poll session snapshots on timers; the rules of all
// three live in Kv.Ui.ProgressModel.
#pragma once

#include <QPointer>
#include <QWidget>
#include <functional>
#include <string>
#include <vector>

#include "Kv.Transfer.Sessions.h"
#include "Kv.Ui.ProgressModel.h"

class QLabel;
class QPushButton;
class QTimer;

namespace kv {

class TKvTransferStrip;
class TKvQueueForm;
class TKvElideLabel;
class TKvGauge;

// The progress window of one session. The main window creates one per session, keeps it in the
// session's Data slot (NewProgressForm), and calls Watch for every request it starts there.
class TProgressForm final : public QWidget {
    Q_OBJECT

public:
    explicit TProgressForm(TKvClock AClock = MonotonicMs);
    ~TProgressForm() override;

    void Attach(TKvTransferSession* ASession, TKvTransferStrip* AStrip);
    // A request started on the session: poll again, and appear after 250 ms or at a question.
    void Watch();
    // The session is about to be destroyed: forget it for good and hide.
    void SessionEnded();
    void MoveToStrip();
    // A click on the window's tab.
    void RestoreFromStrip();
    // "Open" in the queue window.
    void ShowFromQueue();
    // The main window closes.
    void Shutdown();

    TKvTransferSession* Session() const { return FSession; }
    bool InStrip() const { return FModel.InStrip; }
    bool InQueue() const { return FModel.InQueue; }
    bool Polling() const;

    // Handlers, reachable from tests as a click or a timer tick would call them.
    void PollTimerTimer();
    void BtnCancelClick();
    void BtnHideClick();
    void BtnPauseClick();
    void BtnQueueClick();
    void BtnPromptClick(int AIndex);

    // What is on screen, for the strip and for tests.
    QString ActionText() const;
    QString FileText() const;
    QString StatsText() const;
    QString PromptText() const;
    double FileFraction() const { return FFileFraction; }
    double TotalFraction() const { return FTotalFraction; }
    bool PromptVisible() const;
    // The answer buttons as shown, hidden ones included.
    QPushButton* PromptButton(int AIndex) const { return FBtnPrompt[AIndex]; }
    QPushButton* CancelButton() const { return FBtnCancel; }
    QPushButton* PauseButton() const { return FBtnPause; }
    QPushButton* HideButton() const { return FBtnHide; }
    QPushButton* QueueButton() const { return FBtnQueue; }

protected:
    void closeEvent(QCloseEvent* AEvent) override;
    void keyPressEvent(QKeyEvent* AEvent) override;
    void showEvent(QShowEvent* AEvent) override;

private:
    void Answer(const TKvPromptButton& AAnswer);
    // The menu behind an answer button; none when AChoices is empty.
    void SetPromptMenu(int AIndex, const std::vector<TKvPromptButton>& AChoices);

    void ShowCentred();
    void ShowSnapshot(const TKvTransferSnapshot& ASnap);
    void ShowPrompt(const TKvTransferSnapshot& ASnap);
    void HidePrompt();
    void ApplyColours();
    void FocusMainWindow();
    QWidget* MainWindow() const;
    TKvQueueForm* QueueForm() const;
    void RepaintStrip();

    TKvProgressModel FModel;
    TKvElideLabel* FLblAction = nullptr;
    TKvElideLabel* FLblFile = nullptr;
    TKvGauge* FGaugeFile = nullptr;
    TKvGauge* FGaugeTotal = nullptr;
    TKvElideLabel* FLblStats = nullptr;
    QWidget* FPromptPanel = nullptr;
    QLabel* FLblPrompt = nullptr;
    QPushButton* FBtnPrompt[5] = {};
    std::vector<TKvPromptButton> FPromptAnswers;
    TKvPromptKind FPromptKind = pkNone;
    QPushButton* FBtnQueue = nullptr;
    QPushButton* FBtnPause = nullptr;
    QPushButton* FBtnHide = nullptr;
    QPushButton* FBtnCancel = nullptr;
    QTimer* FPollTimer = nullptr;
    TKvTransferSession* FSession = nullptr;
    QPointer<TKvTransferStrip> FStrip;
    double FFileFraction = 0;
    double FTotalFraction = 0;
    int FBaseClientHeight = 0;
};

// Makes the progress window of a new session, attaches it and keeps it in the session's Data
// slot; the window lives until the slot is released.
TProgressForm& NewProgressForm(TKvTransferSession& ASession, TKvTransferStrip* AStrip,
                               TKvClock AClock = MonotonicMs);
// The progress window kept in the session's Data slot, or null.
TProgressForm* ProgressFormOf(const TKvTransferSession& ASession);

} // namespace kv
