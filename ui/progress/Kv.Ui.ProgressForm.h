// The windows of running transfers: one progress window per session, the strip of small tabs
// along the top of the main window that stands for windows put aside, and the queue window.
// All three poll session snapshots on timers; the rules live in Kv.Ui.ProgressModel.
#pragma once

#include <QPointer>
#include <QWidget>
#include <functional>
#include <string>
#include <vector>

#include "Kv.Transfer.Sessions.h"
#include "Kv.Ui.ProgressModel.h"

class QLabel;
class QListWidget;
class QPushButton;
class QTimer;

namespace kv {

class TKvTransferStrip;
class TKvQueueForm;
class TKvElideLabel;
class TKvGauge;
class TKvQueueList;

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
    QPushButton* HideButton() const { return FBtnHide; }
    QPushButton* QueueButton() const { return FBtnQueue; }

protected:
    void closeEvent(QCloseEvent* AEvent) override;
    void keyPressEvent(QKeyEvent* AEvent) override;
    void showEvent(QShowEvent* AEvent) override;

private:
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

// The row of tabs along the top of the main window: the queue window and the progress windows
// put aside. Hidden while it has no tab.
class TKvTransferStrip final : public QWidget {
    Q_OBJECT

public:
    explicit TKvTransferStrip(QWidget* AParent = nullptr, TKvClock AClock = MonotonicMs);
    ~TKvTransferStrip() override;

    void AddForm(TProgressForm* AForm);
    void RemoveForm(TProgressForm* AForm);
    void QueueChanged();
    void Clear();
    void ApplyTheme();
    void SetQueueForm(TKvQueueForm* AQueueForm);
    TKvQueueForm* QueueForm() const { return FQueueForm; }

    int TabCount() const;
    bool HasQueueTab() const;
    const std::vector<TProgressForm*>& Forms() const { return FForms; }
    // The text, look and frame of tab AIndex as painted now.
    std::string TabText(int AIndex) const;
    TKvBoxLook TabBoxLook(int AIndex) const;
    bool TabFramed(int AIndex) const;
    TKvTabGeometry Geometry() const;
    // A left click at a point of the strip, as a mouse release does.
    void ClickAt(QPoint APoint);

protected:
    void paintEvent(QPaintEvent* AEvent) override;
    void mouseReleaseEvent(QMouseEvent* AEvent) override;

private:
    void Update();
    // What tab AIndex stands for: its snapshot, whether it waits for the user, whether framed.
    bool TabState(int AIndex, TKvTransferSnapshot& ASnap, bool& AWaiting, bool& AFramed,
                  std::string& AText) const;

    std::vector<TProgressForm*> FForms;
    QTimer* FTimer = nullptr;
    QPointer<TKvQueueForm> FQueueForm;
    TKvClock FClock;
};

// The window of the sessions put into the queue; built once and then shown, hidden or put
// into the strip, never closed.
class TKvQueueForm final : public QWidget {
    Q_OBJECT

public:
    TKvQueueForm(TKvTransferStrip* AStrip, TKvTransferManager* AManager);
    ~TKvQueueForm() override;

    bool HasQueue() const;
    void RefreshQueue();
    void ShowQueue(int ALeft, int ATop, TKvTransferSession* ASession);
    void MoveToStrip();
    void RestoreFromStrip();
    void Shutdown();

    TKvTransferManager* Manager() const { return FManager; }
    bool InStrip() const { return FInStrip; }
    // The session of the selected row, or null.
    TKvTransferSession* SelectedSession() const;
    void SelectRow(int ARow);

    void OpenClick();
    void RemoveClick();
    void HideClick();

    // The drag of a row: begins at a row, follows the pointer, drops before a position.
    void BeginDrag(int ARow);
    void DragOver(int AY, bool AInside);
    void DropAt(int AY);
    void EndDrag();
    int DropLine() const { return FDropLine; }
    int DragFrom() const { return FDragFrom; }
    int DropIndexAtY(int AY) const;

    // Asks before a running copy is taken out; tests answer it themselves.
    std::function<bool(const std::string&)> OnConfirm;

    int RowCount() const;
    std::string RowTitle(int ARow) const;
    std::string RowStatus(int ARow) const;
    QListWidget* List() const;
    QPushButton* OpenButton() const { return FBtnOpen; }
    QPushButton* RemoveButton() const { return FBtnRemove; }
    QPushButton* HideButton() const { return FBtnHide; }

protected:
    void closeEvent(QCloseEvent* AEvent) override;
    void keyPressEvent(QKeyEvent* AEvent) override;

private:
    friend class TKvQueueList;
    friend class TKvQueueRowDelegate;
    void BuildControls();
    void ApplyColours();
    QWidget* MainWindow() const;
    int QueueIndexOf(uint64_t ASessionId) const;

    TKvTransferManager* FManager = nullptr;
    QPointer<TKvTransferStrip> FStrip;
    TKvElideLabel* FInfo = nullptr;
    TKvQueueList* FList = nullptr;
    QPushButton* FBtnOpen = nullptr;
    QPushButton* FBtnRemove = nullptr;
    QPushButton* FBtnHide = nullptr;
    QTimer* FTimer = nullptr;
    bool FInStrip = false;
    // Kept by id: a session may end while a dialog is open, and its object goes with it.
    uint64_t FSelSession = 0;
    int FDragFrom = -1;
    int FDropLine = -1;
};

} // namespace kv
