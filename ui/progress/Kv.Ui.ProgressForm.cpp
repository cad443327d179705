#include "Kv.Ui.ProgressForm.h"

#include <QApplication>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QPainter>
#include <QPushButton>
#include <QTimer>
#include <cxxabi.h>
#include <set>
#include <typeinfo>

#include "Kv.Log.h"
#include "Kv.Numbers.h"
#include "Kv.Ui.ProgressParts.h"
#include "Kv.Ui.Theme.h"
#include "Kv.Ui.Prompts.h"
#include "Kv.Ui.QueueForm.h"
#include "Kv.Ui.TransferStrip.h"

namespace kv {

using namespace progress;

namespace {

constexpr int KPollMs = 100;

std::string ClassName(const std::exception& AError) {
    int status = 0;
    char* name = abi::__cxa_demangle(typeid(AError).name(), nullptr, nullptr, &status);
    std::string result = status == 0 && name ? name : typeid(AError).name();
    std::free(name);
    return result;
}

std::set<const TProgressForm*>& LiveForms() {
    static std::set<const TProgressForm*> forms;
    return forms;
}

} // namespace

// A progress bar: black, filled from the left in "bars", the percentage in white.
class TKvGauge final : public QWidget {
public:
    using QWidget::QWidget;
    void SetFraction(double AFraction) {
        if (AFraction != FFraction) {
            FFraction = AFraction;
            update();
        }
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        PaintBox(painter, rect(), {ikBlack, FFraction, ikWhite});
        const QString text = QString::number(Percentage(FFraction)) + QLatin1Char('%');
        const QFontMetrics metrics = fontMetrics();
        const int width = metrics.horizontalAdvance(text);
        painter.setPen(InkColor(ikWhite));
        painter.drawText(QRect((this->width() - width) / 2, (height() - metrics.height()) / 2,
                               width, metrics.height()),
                         Qt::AlignLeft | Qt::TextSingleLine, text);
    }

private:
    double FFraction = 0;
};

TProgressForm::TProgressForm(TKvClock AClock)
    : QWidget(nullptr, KToolWindowFlags), FModel(std::move(AClock)) {
    LiveForms().insert(this);
    setWindowTitle(QStringLiteral("Kolvan"));
    setFont(DialogFont());

    FLblAction = new TKvElideLabel(this, Qt::ElideRight);
    Place(FLblAction, 12, 10, 496, 15);
    FLblAction->SetText(QStringLiteral("Copying"));
    FLblFile = new TKvElideLabel(this, Qt::ElideMiddle);
    Place(FLblFile, 12, 30, 496, 15);
    FGaugeFile = new TKvGauge(this);
    Place(FGaugeFile, 12, 52, 496, 18);
    FGaugeTotal = new TKvGauge(this);
    Place(FGaugeTotal, 12, 76, 496, 18);
    FLblStats = new TKvElideLabel(this, Qt::ElideRight);
    Place(FLblStats, 12, 100, 496, 15);

    FBtnPause = NewButton(this, "Pause", 154, 128,
                          "Stop this copy between two blocks, keeping its connections, until Resume");
    FBtnHide = NewButton(this, "Hide", 244, 128,
                         "Put this window into a tab at the top; the next copy runs side by side");
    FBtnQueue = NewButton(this, "Queue", 334, 128,
                          "Put this copy into the queue: queued copies run one after another");
    FBtnCancel = NewButton(this, "Cancel", 424, 128, nullptr);
    connect(FBtnPause, &QPushButton::clicked, this, [this] { BtnPauseClick(); });
    connect(FBtnHide, &QPushButton::clicked, this, [this] { BtnHideClick(); });
    connect(FBtnQueue, &QPushButton::clicked, this, [this] { BtnQueueClick(); });
    connect(FBtnCancel, &QPushButton::clicked, this, [this] { BtnCancelClick(); });

    FPromptPanel = new QWidget(this);
    Place(FPromptPanel, 0, 168, 520, 108);
    // The system's colours, set role by role so the form's theme colours do not reach inside.
    const QPalette system = QApplication::palette();
    QPalette panel = system;
    panel.setColor(QPalette::Window, system.color(QPalette::Button));
    panel.setColor(QPalette::WindowText, system.color(QPalette::WindowText));
    FPromptPanel->setPalette(panel);
    FPromptPanel->setAutoFillBackground(true);
    FLblPrompt = new QLabel(FPromptPanel);
    Place(FLblPrompt, 12, 8, 496, 58);
    FLblPrompt->setTextFormat(Qt::PlainText);
    FLblPrompt->setWordWrap(true);
    FLblPrompt->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    const int lefts[5] = {24, 122, 220, 318, 416};
    for (int i = 0; i < 5; ++i) {
        FBtnPrompt[i] = new QPushButton(FPromptPanel);
        Place(FBtnPrompt[i], lefts[i], 72, 92, 28);
        FBtnPrompt[i]->setAutoDefault(false);
        connect(FBtnPrompt[i], &QPushButton::clicked, this, [this, i] { BtnPromptClick(i); });
    }
    FPromptPanel->hide();

    FPollTimer = new QTimer(this);
    FPollTimer->setInterval(KPollMs);
    connect(FPollTimer, &QTimer::timeout, this, [this] { PollTimerTimer(); });

    FBaseClientHeight = Scaled(168);
    setFixedSize(Scaled(520), FBaseClientHeight);
    ApplyColours();
}

TProgressForm::~TProgressForm() {
    LiveForms().erase(this);
    if (FStrip)
        FStrip->RemoveForm(this);
}

void TProgressForm::Attach(TKvTransferSession* ASession, TKvTransferStrip* AStrip) {
    FSession = ASession;
    FStrip = AStrip;
}

void TProgressForm::Watch() {
    if (!FSession)
        return;
    if (FModel.Cancelling()) {
        // A request that joins a session after Cancel is a new job the user may cancel again.
        FModel.ClearCancelling();
        FBtnCancel->setEnabled(true);
    }
    if (FPollTimer->isActive())
        return;
    FModel.Watch();
    FBtnCancel->setEnabled(true);
    FPollTimer->start();
}

bool TProgressForm::Polling() const {
    return FPollTimer->isActive();
}

void TProgressForm::SessionEnded() {
    FPollTimer->stop();
    if (FStrip)
        FStrip->RemoveForm(this);
    FModel.InStrip = FModel.InQueue = FModel.Popped = false;
    FSession = nullptr;
    hide();
}

void TProgressForm::Shutdown() {
    FPollTimer->stop();
    FSession = nullptr;
    FStrip = nullptr;
    FModel.InStrip = FModel.InQueue = false;
    hide();
}

QWidget* TProgressForm::MainWindow() const {
    return FStrip && FStrip->parentWidget() ? FStrip->window() : nullptr;
}

TKvQueueForm* TProgressForm::QueueForm() const {
    return FStrip ? FStrip->QueueForm() : nullptr;
}

void TProgressForm::RepaintStrip() {
    if (FStrip)
        FStrip->update();
}

void TProgressForm::FocusMainWindow() {
    FocusWindow(MainWindow());
}

void TProgressForm::ApplyColours() {
    ApplyFormColours(this);
}

void TProgressForm::PollTimerTimer() {
    if (!FSession) {
        FPollTimer->stop();
        return;
    }
    const TKvTransferSnapshot snap = FSession->Snapshot();
    const TKvQueueForm* queue = QueueForm();
    const TKvPollPlan plan = FModel.Poll(snap, isVisible(), queue && queue->isVisible());
    if (plan.StopTimer)
        FPollTimer->stop();
    if (plan.HidePrompt)
        HidePrompt();
    if (plan.Show)
        ShowCentred();
    if (plan.Update)
        ShowSnapshot(snap);
    if (plan.Hide)
        hide();
}

void TProgressForm::ShowCentred() {
    ApplyColours();
    if (QWidget* main = MainWindow()) {
        StayAbove(this, main);
        move(CentredOver(this, main));
    }
    show();
    raise();
}

void TProgressForm::showEvent(QShowEvent* AEvent) {
    ApplyColours();
    QWidget::showEvent(AEvent);
}

void TProgressForm::ShowSnapshot(const TKvTransferSnapshot& ASnap) {
    const TKvProgressTexts texts = FModel.Texts(ASnap);
    FLblAction->SetText(Q(texts.Action));
    FLblFile->SetText(Q(texts.File));
    FFileFraction = texts.FileFraction;
    FTotalFraction = texts.TotalFraction;
    FGaugeFile->SetFraction(FFileFraction);
    FGaugeTotal->SetFraction(FTotalFraction);
    FLblStats->SetText(Q(texts.Stats));
    FBtnPause->setText(ASnap.Paused ? QStringLiteral("Resume") : QStringLiteral("Pause"));
    if (ASnap.PromptKind != pkNone)
        ShowPrompt(ASnap);
    else
        HidePrompt();
}

void TProgressForm::ShowPrompt(const TKvTransferSnapshot& ASnap) {
    FLblPrompt->setText(Q(ASnap.PromptText));
    if (!FModel.ShowPrompt(ASnap.PromptKind))
        return;
    FPromptAnswers = PromptButtons(ASnap.PromptKind);
    FPromptKind = ASnap.PromptKind;
    const int count = static_cast<int>(FPromptAnswers.size());
    const int right = FLblPrompt->geometry().x() + FLblPrompt->geometry().width();
    const std::vector<int> lefts = PromptButtonLefts(count, right, Scaled(92), Scaled(6));
    for (int i = 0; i < 5; ++i) {
        if (i < count) {
            FBtnPrompt[i]->setText(QString::fromUtf8(FPromptAnswers[i].Caption));
            SetPromptMenu(i, PromptButtonMenu(ASnap.PromptKind, i));
            FBtnPrompt[i]->setGeometry(lefts[i], Scaled(72), Scaled(92), Scaled(28));
            FBtnPrompt[i]->show();
        } else {
            FBtnPrompt[i]->hide();
        }
    }
    setFixedSize(width(), FBaseClientHeight + FPromptPanel->height());
    FPromptPanel->show();
    raise();
    QPushButton* focus = FBtnPrompt[PromptFocusButton(ASnap.PromptKind)];
    if (isVisible() && focus->isVisible() && focus->isEnabled())
        focus->setFocus();
}

void TProgressForm::HidePrompt() {
    if (!FModel.HidePrompt())
        return;
    FPromptPanel->hide();
    setFixedSize(width(), FBaseClientHeight);
}

void TProgressForm::BtnPromptClick(int AIndex) {
    if (!FSession || AIndex < 0 || AIndex >= static_cast<int>(FPromptAnswers.size()))
        return;
    Answer(FPromptAnswers[AIndex]);
}

void TProgressForm::Answer(const TKvPromptButton& AAnswer) {
    if (!FSession)
        return;
    FSession->AnswerPrompt(AAnswer.Answer, AAnswer.All);
    HidePrompt();
}

void TProgressForm::SetPromptMenu(int AIndex, const std::vector<TKvPromptButton>& AChoices) {
    QPushButton* button = FBtnPrompt[AIndex];
    if (QMenu* old = button->menu()) {
        button->setMenu(nullptr);
        button->setStyleSheet(QString());
        old->deleteLater();
    }
    if (AChoices.empty())
        return;
    // The menu opens on a click; its arrow would cover the caption of so narrow a button.
    button->setStyleSheet(QStringLiteral("QPushButton::menu-indicator { image: none; width: 0; }"));
    auto* menu = new QMenu(button);
    for (const TKvPromptButton& choice : AChoices)
        menu->addAction(QString::fromUtf8(choice.Caption), this, [this, choice] { Answer(choice); });
    button->setMenu(menu);
}

void TProgressForm::BtnCancelClick() {
    FModel.SetCancelling();
    FBtnCancel->setEnabled(false);
    FLblAction->SetText(QStringLiteral("Cancelling"));
    if (FSession)
        FSession->CancelAll();
}

void TProgressForm::BtnPauseClick() {
    if (!FSession)
        return;
    const bool pause = !FSession->Snapshot().Paused;
    FSession->SetPaused(pause);
    FBtnPause->setText(pause ? QStringLiteral("Resume") : QStringLiteral("Pause"));
    PollTimerTimer();
}

void TProgressForm::BtnHideClick() {
    if (FModel.InQueue) {
        FModel.Popped = false;
        hide();
        FocusMainWindow();
        return;
    }
    MoveToStrip();
}

void TProgressForm::MoveToStrip() {
    if (!FSession || !FStrip || FModel.InStrip || FModel.InQueue)
        return;
    FModel.InStrip = true;
    // The next request starts a new session that runs side by side.
    FSession->Detach();
    hide();
    FStrip->AddForm(this);
    RepaintStrip();
    FocusMainWindow();
}

void TProgressForm::RestoreFromStrip() {
    if (!FSession)
        return;
    if (FModel.InStrip) {
        FModel.InStrip = false;
        RepaintStrip();
        HidePrompt();
        ShowCentred();
        ShowSnapshot(FSession->Snapshot());
    }
    raise();
    activateWindow();
}

void TProgressForm::BtnQueueClick() {
    TKvQueueForm* queue = QueueForm();
    if (!FSession || !FStrip || !queue || !queue->Manager())
        return;
    if (!FSession->InQueue())
        queue->Manager()->AddToQueue(*FSession);
    FModel.InQueue = true;
    FModel.Popped = false;
    FStrip->RemoveForm(this);
    FModel.InStrip = false;
    hide();
    queue->ShowQueue(x(), y(), FSession);
}

void TProgressForm::ShowFromQueue() {
    if (!FSession)
        return;
    FModel.Popped = false;
    if (!isVisible()) {
        HidePrompt();
        ShowCentred();
        ShowSnapshot(FSession->Snapshot());
    }
    raise();
    activateWindow();
}

void TProgressForm::closeEvent(QCloseEvent* AEvent) {
    if (!Polling()) {
        QWidget::closeEvent(AEvent);
        return;
    }
    // A running copy is not left without its window: closing it means cancelling it.
    AEvent->ignore();
    try {
        BtnCancelClick();
    } catch (const std::exception& error) {
        Log("closing progress: " + ClassName(error) + ": " + error.what());
    }
}

void TProgressForm::keyPressEvent(QKeyEvent* AEvent) {
    if (AEvent->key() == Qt::Key_Escape && AEvent->modifiers() == Qt::NoModifier) {
        if (FBtnCancel->isEnabled())
            BtnCancelClick();
        return;
    }
    // Enter answers the question: with the button that has the focus, else the default one.
    const bool enter = AEvent->key() == Qt::Key_Return || AEvent->key() == Qt::Key_Enter;
    if (enter && FPromptPanel->isVisible() && !FPromptAnswers.empty()) {
        int chosen = PromptFocusButton(FPromptKind);
        for (int i = 0; i < static_cast<int>(FPromptAnswers.size()); ++i)
            if (FBtnPrompt[i]->hasFocus())
                chosen = i;
        if (chosen >= 0)
            BtnPromptClick(chosen);
        return;
    }
    QWidget::keyPressEvent(AEvent);
}

QString TProgressForm::ActionText() const {
    return FLblAction->Text();
}
QString TProgressForm::FileText() const {
    return FLblFile->Text();
}
QString TProgressForm::StatsText() const {
    return FLblStats->Text();
}
QString TProgressForm::PromptText() const {
    return FLblPrompt->text();
}
bool TProgressForm::PromptVisible() const {
    return !FPromptPanel->isHidden();
}

TProgressForm& NewProgressForm(TKvTransferSession& ASession, TKvTransferStrip* AStrip,
                               TKvClock AClock) {
    auto form = std::make_shared<TProgressForm>(std::move(AClock));
    form->Attach(&ASession, AStrip);
    ASession.Data = form;
    return *form;
}

TProgressForm* ProgressFormOf(const TKvTransferSession& ASession) {
    auto* form = static_cast<const TProgressForm*>(ASession.Data.get());
    if (!form || !LiveForms().count(form))
        return nullptr;
    return const_cast<TProgressForm*>(form);
}

} // namespace kv
