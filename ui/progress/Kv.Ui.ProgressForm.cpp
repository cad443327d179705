#include "Kv.Ui.ProgressForm.h"

#include <QApplication>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QListWidget>
#include <QPainter>
#include <QPushButton>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QStyledItemDelegate>
#include <QTimer>
#include <QWindow>
#include <algorithm>
#include <cxxabi.h>
#include <set>
#include <typeinfo>

#include "Kv.Log.h"
#include "Kv.Numbers.h"
#include "Kv.Ui.Dpi.h"
#include "Kv.Ui.Prompts.h"
#include "Kv.Ui.Theme.h"

namespace kv {

namespace {

constexpr int KPollMs = 100;
constexpr int KRefreshMs = 250;
constexpr const char* KRunningQuestion =
    "This copy is running. Stop it and take it out of the queue?";

int Scaled(int AValue) {
    return ScaleToScreen(AValue);
}
QString Q(const std::string& AText) {
    return QString::fromStdString(AText);
}

QColor InkColor(TKvInk AInk) {
    switch (AInk) {
    case ikBlack:
        return QColor(0, 0, 0);
    case ikWhite:
        return QColor(255, 255, 255);
    case ikSilver:
        return QColor(0xc0, 0xc0, 0xc0);
    case ikMarked:
        return ThemeColor(csMarked);
    case ikBars:
        return ThemeColor(csBars);
    case ikBackground:
        return ThemeColor(csBackground);
    }
    return QColor(0, 0, 0);
}

// Fills ARect as a gauge-like box: the fill, then the bar from the left.
void PaintBox(QPainter& APainter, const QRect& ARect, const TKvBoxLook& ALook) {
    APainter.fillRect(ARect, InkColor(ALook.Fill));
    const int bar = static_cast<int>(RoundHalfEven(ARect.width() * ALook.Bar));
    if (bar > 0)
        APainter.fillRect(QRect(ARect.left(), ARect.top(), bar, ARect.height()), InkColor(ikBars));
}

void Place(QWidget* AWidget, int ALeft, int ATop, int AWidth, int AHeight) {
    AWidget->setGeometry(Scaled(ALeft), Scaled(ATop), Scaled(AWidth), Scaled(AHeight));
}

QPushButton* NewButton(QWidget* AParent, const char* ACaption, int ALeft, int ATop,
                       const char* AHint) {
    auto* button = new QPushButton(QString::fromUtf8(ACaption), AParent);
    Place(button, ALeft, ATop, 84, 28);
    button->setAutoDefault(false);
    if (AHint)
        button->setToolTip(QString::fromUtf8(AHint));
    return button;
}

// Fixed border and only the system-menu box.
constexpr Qt::WindowFlags KToolWindowFlags = Qt::Dialog | Qt::CustomizeWindowHint |
                                             Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                                             Qt::WindowCloseButtonHint;

void ApplyFormColours(QWidget* AForm) {
    QPalette palette = AForm->palette();
    palette.setColor(QPalette::Window, ThemeColor(csBackground));
    palette.setColor(QPalette::WindowText, ThemeColor(csFolders));
    AForm->setPalette(palette);
    AForm->setAutoFillBackground(true);
}

// Keeps AWindow above the main window without the main window owning it.
void StayAbove(QWidget* AWindow, QWidget* AMain) {
    if (!AMain)
        return;
    AWindow->winId();
    AMain->winId();
    if (AWindow->windowHandle() && AMain->windowHandle())
        AWindow->windowHandle()->setTransientParent(AMain->windowHandle());
}

QPoint CentredOver(const QWidget* AWindow, const QWidget* AMain) {
    // Integer division truncates toward zero, as when the window is larger than the main one.
    return QPoint(AMain->x() + (AMain->width() - AWindow->width()) / 2,
                  AMain->y() + (AMain->height() - AWindow->height()) / 2);
}

void FocusWindow(QWidget* AMain) {
    if (AMain && AMain->isVisible() && AMain->isEnabled())
        AMain->activateWindow();
}

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

// A one-line label that cuts its text with an ellipsis instead of growing; ampersands and
// angle brackets are shown as they are.
class TKvElideLabel final : public QWidget {
public:
    TKvElideLabel(QWidget* AParent, Qt::TextElideMode AMode) : QWidget(AParent), FMode(AMode) {}
    void SetText(const QString& AText) {
        if (AText != FText) {
            FText = AText;
            update();
        }
    }
    const QString& Text() const { return FText; }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setPen(palette().color(QPalette::WindowText));
        painter.drawText(rect(), Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine,
                         fontMetrics().elidedText(FText, FMode, width()));
    }

private:
    Qt::TextElideMode FMode;
    QString FText;
};

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

// ---- TProgressForm ----

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

    FBtnHide = NewButton(this, "Hide", 244, 128,
                         "Put this window into a tab at the top; the next copy runs side by side");
    FBtnQueue = NewButton(this, "Queue", 334, 128,
                          "Put this copy into the queue: queued copies run one after another");
    FBtnCancel = NewButton(this, "Cancel", 424, 128, nullptr);
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
    FSession->AnswerPrompt(FPromptAnswers[AIndex].Answer, FPromptAnswers[AIndex].All);
    HidePrompt();
}

void TProgressForm::BtnCancelClick() {
    FModel.SetCancelling();
    FBtnCancel->setEnabled(false);
    FLblAction->SetText(QStringLiteral("Cancelling"));
    if (FSession)
        FSession->CancelAll();
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

// ---- TKvTransferStrip ----

TKvTransferStrip::TKvTransferStrip(QWidget* AParent, TKvClock AClock)
    : QWidget(AParent), FClock(std::move(AClock)) {
    setCursor(Qt::PointingHandCursor);
    FTimer = new QTimer(this);
    FTimer->setInterval(KRefreshMs);
    // The tick repaints, which also drives the blinking.
    connect(FTimer, &QTimer::timeout, this, [this] { Update(); });
    ApplyTheme();
    hide();
}

TKvTransferStrip::~TKvTransferStrip() {
    FTimer->stop();
    FForms.clear();
}

void TKvTransferStrip::ApplyTheme() {
    const int height = Scaled(Theme().FontHeight);
    setFont(ThemeFont(height));
    setFixedHeight(height + Scaled(11));
    update();
}

void TKvTransferStrip::SetQueueForm(TKvQueueForm* AQueueForm) {
    FQueueForm = AQueueForm;
    Update();
}

void TKvTransferStrip::AddForm(TProgressForm* AForm) {
    if (AForm && std::find(FForms.begin(), FForms.end(), AForm) == FForms.end())
        FForms.push_back(AForm);
    Update();
}

void TKvTransferStrip::RemoveForm(TProgressForm* AForm) {
    auto it = std::find(FForms.begin(), FForms.end(), AForm);
    if (it != FForms.end())
        FForms.erase(it);
    Update();
}

void TKvTransferStrip::QueueChanged() {
    Update();
}

void TKvTransferStrip::Clear() {
    FTimer->stop();
    FForms.clear();
    FQueueForm = nullptr;
    hide();
}

bool TKvTransferStrip::HasQueueTab() const {
    return FQueueForm && FQueueForm->HasQueue();
}

int TKvTransferStrip::TabCount() const {
    return static_cast<int>(FForms.size()) + (HasQueueTab() ? 1 : 0);
}

void TKvTransferStrip::Update() {
    const bool any = TabCount() > 0;
    if (any && !FTimer->isActive())
        FTimer->start();
    else if (!any)
        FTimer->stop();
    setVisible(any);
    update();
}

TKvTabGeometry TKvTransferStrip::Geometry() const {
    TKvTabGeometry geometry;
    geometry.TabWidth =
        fontMetrics().horizontalAdvance(QString::fromUtf8(KWidestTabText)) + Scaled(16);
    geometry.Gap = Scaled(4);
    geometry.Top = Scaled(2);
    geometry.Bottom = height() - Scaled(2);
    return geometry;
}

bool TKvTransferStrip::TabState(int AIndex, TKvTransferSnapshot& ASnap, bool& AWaiting,
                                bool& AFramed, std::string& AText) const {
    const bool queueTab = HasQueueTab();
    if (queueTab && AIndex == 0) {
        TKvTransferManager& manager = *FQueueForm->Manager();
        const int count = manager.QueueCount();
        bool asking = false;
        for (int i = 0; i < count; ++i)
            asking = asking || manager.QueueItem(i).Snapshot().PromptKind != pkNone;
        ASnap = manager.QueueItem(0).Snapshot();
        AWaiting = FQueueForm->InStrip() && asking;
        AFramed = FQueueForm->isVisible();
        AText = QueueTabText(count, ASnap, AWaiting);
        return true;
    }
    const int index = AIndex - (queueTab ? 1 : 0);
    if (index < 0 || index >= static_cast<int>(FForms.size()))
        return false;
    const TProgressForm* form = FForms[index];
    if (!form->Session())
        return false; // its slot stays empty
    ASnap = form->Session()->Snapshot();
    AWaiting = ASnap.PromptKind != pkNone && form->InStrip();
    AFramed = !form->InStrip();
    AText = FormTabText(ASnap, AWaiting);
    return true;
}

std::string TKvTransferStrip::TabText(int AIndex) const {
    TKvTransferSnapshot snap;
    bool waiting = false, framed = false;
    std::string text;
    TabState(AIndex, snap, waiting, framed, text);
    return text;
}

TKvBoxLook TKvTransferStrip::TabBoxLook(int AIndex) const {
    TKvTransferSnapshot snap;
    bool waiting = false, framed = false;
    std::string text;
    if (!TabState(AIndex, snap, waiting, framed, text))
        return {ikBackground, 0, ikBackground};
    return TabLook(snap, waiting, BlinkOn(FClock()));
}

bool TKvTransferStrip::TabFramed(int AIndex) const {
    TKvTransferSnapshot snap;
    bool waiting = false, framed = false;
    std::string text;
    return TabState(AIndex, snap, waiting, framed, text) && framed;
}

void TKvTransferStrip::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), ThemeColor(csBackground));
    const TKvTabGeometry geometry = Geometry();
    const bool blink = BlinkOn(FClock());
    const int count = TabCount();
    for (int i = 0; i < count; ++i) {
        TKvTransferSnapshot snap;
        bool waiting = false, framed = false;
        std::string text;
        if (!TabState(i, snap, waiting, framed, text))
            continue;
        const QRect tab(geometry.LeftOf(i), geometry.Top, geometry.TabWidth,
                        geometry.Bottom - geometry.Top);
        const TKvBoxLook look = TabLook(snap, waiting, blink);
        PaintBox(painter, tab, look);
        painter.setPen(InkColor(look.Text));
        painter.drawText(
            QRect(tab.left() + Scaled(8), tab.top(), tab.width() - Scaled(8), tab.height()),
            Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, Q(text));
        if (framed) {
            painter.setPen(InkColor(ikMarked));
            painter.setBrush(Qt::NoBrush);
            painter.drawRect(tab.adjusted(0, 0, -1, -1));
        }
    }
}

void TKvTransferStrip::ClickAt(QPoint APoint) {
    const int tab = Geometry().TabAt(APoint.x(), APoint.y(), TabCount());
    const int target = TabTarget(tab, HasQueueTab(), static_cast<int>(FForms.size()));
    if (target == KQueueTab)
        FQueueForm->RestoreFromStrip();
    else if (target >= 0)
        FForms[target]->RestoreFromStrip();
}

void TKvTransferStrip::mouseReleaseEvent(QMouseEvent* AEvent) {
    if (AEvent->button() == Qt::LeftButton)
        ClickAt(AEvent->position().toPoint());
    QWidget::mouseReleaseEvent(AEvent);
}

// ---- TKvQueueForm ----

// Paints a queue row from the session at that place in the queue.
class TKvQueueRowDelegate final : public QStyledItemDelegate {
public:
    explicit TKvQueueRowDelegate(TKvQueueForm* AForm) : QStyledItemDelegate(AForm), FForm(AForm) {}

    QSize sizeHint(const QStyleOptionViewItem&, const QModelIndex&) const override {
        return QSize(Scaled(100), Scaled(28));
    }

    void paint(QPainter* APainter, const QStyleOptionViewItem& AOption,
               const QModelIndex& AIndex) const override {
        const int row = AIndex.row();
        const QRect rect = AOption.rect;
        APainter->save();
        APainter->fillRect(rect, ThemeColor(csBackground));
        TKvTransferManager* manager = FForm->FManager;
        const int count = manager ? manager->QueueCount() : 0;
        if (row < count) {
            TKvTransferSession& session = manager->QueueItem(row);
            const TKvTransferSnapshot snap = session.Snapshot();
            const QRect inner = rect.adjusted(Scaled(2), Scaled(2), -Scaled(2), -Scaled(2));
            const int pad = Scaled(8);
            const TKvBoxLook look = QueueRowLook(snap);
            PaintBox(*APainter, inner, look);
            APainter->setPen(InkColor(look.Text));
            const QString status = Q(QueueRowStatus(snap));
            const int statusWidth = AOption.fontMetrics.horizontalAdvance(status);
            APainter->drawText(
                QRect(inner.left(), inner.top(), inner.width() - pad, inner.height()),
                Qt::AlignRight | Qt::AlignVCenter | Qt::TextSingleLine, status);
            const QRect titleRect(inner.left() + pad, inner.top(),
                                  inner.width() - statusWidth - 3 * pad, inner.height());
            const QString title =
                AOption.fontMetrics.elidedText(Q(QueueRowTitle(row, session.Title())),
                                               Qt::ElideRight, std::max(0, titleRect.width()));
            APainter->drawText(titleRect, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine,
                               title);
            if (AOption.state & QStyle::State_Selected) {
                APainter->setPen(InkColor(ikMarked));
                APainter->setBrush(Qt::NoBrush);
                APainter->drawRect(inner.adjusted(0, 0, -1, -1));
                APainter->drawRect(inner.adjusted(1, 1, -2, -2));
            }
        }
        const int line = std::max(2, Scaled(2));
        if (FForm->FDropLine == row)
            APainter->fillRect(QRect(rect.left(), rect.top(), rect.width(), line),
                               InkColor(ikMarked));
        if (count > 0 && row == count - 1 && FForm->FDropLine == count)
            APainter->fillRect(QRect(rect.left(), rect.bottom() + 1 - line, rect.width(), line),
                               InkColor(ikMarked));
        if (AOption.state & QStyle::State_HasFocus) {
            QStyleOptionFocusRect focus;
            focus.QStyleOption::operator=(AOption);
            focus.rect = rect;
            QApplication::style()->drawPrimitive(QStyle::PE_FrameFocusRect, &focus, APainter);
        }
        APainter->restore();
    }

private:
    TKvQueueForm* FForm;
};

// The list of the queue: rows drawn by the delegate, reordered by dragging a row with the mouse.
class TKvQueueList final : public QListWidget {
public:
    explicit TKvQueueList(TKvQueueForm* AForm) : QListWidget(AForm), FForm(AForm) {
        setFrameShape(QFrame::NoFrame);
        setUniformItemSizes(true);
        setSelectionMode(QAbstractItemView::SingleSelection);
        setVerticalScrollMode(QAbstractItemView::ScrollPerItem);
        setDragEnabled(false);
        setItemDelegate(new TKvQueueRowDelegate(AForm));
    }

protected:
    void mousePressEvent(QMouseEvent* AEvent) override {
        QListWidget::mousePressEvent(AEvent);
        const QPoint pos = AEvent->position().toPoint();
        const int row = indexAt(pos).row();
        if (AEvent->button() == Qt::LeftButton && row >= 0 && row < FForm->RowCount()) {
            FForm->BeginDrag(row);
            FPressPos = pos;
            FDragging = false;
        }
    }

    void mouseMoveEvent(QMouseEvent* AEvent) override {
        if (FForm->DragFrom() < 0 || !(AEvent->buttons() & Qt::LeftButton)) {
            QListWidget::mouseMoveEvent(AEvent);
            return;
        }
        const QPoint pos = AEvent->position().toPoint();
        // A click that wobbles a little is not a drag.
        if (!FDragging && (pos - FPressPos).manhattanLength() >= Scaled(5))
            FDragging = true;
        if (FDragging)
            FForm->DragOver(pos.y(), viewport()->rect().contains(pos));
    }

    void mouseReleaseEvent(QMouseEvent* AEvent) override {
        if (AEvent->button() == Qt::LeftButton && FDragging) {
            const QPoint pos = AEvent->position().toPoint();
            FDragging = false;
            if (viewport()->rect().contains(pos))
                FForm->DropAt(pos.y());
            FForm->EndDrag();
            return;
        }
        FDragging = false;
        FForm->EndDrag();
        QListWidget::mouseReleaseEvent(AEvent);
    }

    void mouseDoubleClickEvent(QMouseEvent* AEvent) override {
        QListWidget::mouseDoubleClickEvent(AEvent);
        if (AEvent->button() == Qt::LeftButton)
            FForm->OpenClick();
    }

    void keyPressEvent(QKeyEvent* AEvent) override {
        switch (AEvent->key()) {
        case Qt::Key_Return:
        case Qt::Key_Enter:
            FForm->OpenClick();
            return;
        case Qt::Key_Delete:
            FForm->RemoveClick();
            return;
        case Qt::Key_Escape:
            if (FDragging) {
                FDragging = false;
                FForm->EndDrag();
            } else {
                FForm->HideClick();
            }
            return;
        default:
            QListWidget::keyPressEvent(AEvent);
        }
    }

private:
    TKvQueueForm* FForm;
    QPoint FPressPos;
    bool FDragging = false;
};

TKvQueueForm::TKvQueueForm(TKvTransferStrip* AStrip, TKvTransferManager* AManager)
    : QWidget(nullptr, KToolWindowFlags), FManager(AManager), FStrip(AStrip) {
    setWindowTitle(QStringLiteral("Kolvan - queue"));
    setFont(DialogFont());
    FTimer = new QTimer(this);
    FTimer->setInterval(KRefreshMs);
    connect(FTimer, &QTimer::timeout, this, [this] { RefreshQueue(); });
    OnConfirm = [this](const std::string& AText) { return AskYesNo("Kolvan", AText, false, this); };
}

TKvQueueForm::~TKvQueueForm() {
    FTimer->stop();
}

void TKvQueueForm::BuildControls() {
    if (FList)
        return;
    FInfo = new TKvElideLabel(this, Qt::ElideRight);
    Place(FInfo, 12, 10, 496, 18);
    FInfo->SetText(QStringLiteral(
        "These copies run one after another, from the top. Drag a row to change the order."));
    FList = new TKvQueueList(this);
    Place(FList, 12, 34, 496, 216);
    FBtnOpen = NewButton(this, "Open", 244, 262,
                         "Show the window of the chosen copy (Enter, double click)");
    FBtnRemove = NewButton(this, "Remove", 334, 262,
                           "Take the chosen copy out of the queue; it is not done (Del)");
    FBtnHide = NewButton(this, "Hide", 424, 262,
                         "Put the queue into a tab at the top; it goes on in the background");
    connect(FBtnOpen, &QPushButton::clicked, this, [this] { OpenClick(); });
    connect(FBtnRemove, &QPushButton::clicked, this, [this] { RemoveClick(); });
    connect(FBtnHide, &QPushButton::clicked, this, [this] { HideClick(); });
    connect(FList, &QListWidget::currentRowChanged, this, [this](int ARow) {
        if (FManager && ARow >= 0 && ARow < FManager->QueueCount())
            FSelSession = FManager->QueueItem(ARow).Id();
    });
    setFixedSize(Scaled(520), Scaled(302));
    ApplyColours();
}

void TKvQueueForm::ApplyColours() {
    ApplyFormColours(this);
    if (FList) {
        QPalette palette = FList->palette();
        palette.setColor(QPalette::Base, ThemeColor(csBackground));
        palette.setColor(QPalette::Window, ThemeColor(csBackground));
        FList->setPalette(palette);
    }
}

QWidget* TKvQueueForm::MainWindow() const {
    return FStrip && FStrip->parentWidget() ? FStrip->window() : nullptr;
}

bool TKvQueueForm::HasQueue() const {
    return FManager && FManager->QueueCount() > 0;
}

QListWidget* TKvQueueForm::List() const {
    return FList;
}

int TKvQueueForm::RowCount() const {
    return FList ? FList->count() : 0;
}

int TKvQueueForm::QueueIndexOf(uint64_t ASessionId) const {
    if (!FManager || ASessionId == 0)
        return -1;
    for (int i = 0; i < FManager->QueueCount(); ++i)
        if (FManager->QueueItem(i).Id() == ASessionId)
            return i;
    return -1;
}

TKvTransferSession* TKvQueueForm::SelectedSession() const {
    const int row = FList ? FList->currentRow() : -1;
    if (!FManager || row < 0 || row >= FManager->QueueCount())
        return nullptr;
    return &FManager->QueueItem(row);
}

void TKvQueueForm::SelectRow(int ARow) {
    if (!FList || !FManager || ARow < 0 || ARow >= FManager->QueueCount())
        return;
    FList->setCurrentRow(ARow);
    FSelSession = FManager->QueueItem(ARow).Id();
}

std::string TKvQueueForm::RowTitle(int ARow) const {
    if (!FManager || ARow < 0 || ARow >= FManager->QueueCount())
        return {};
    return QueueRowTitle(ARow, FManager->QueueItem(ARow).Title());
}

std::string TKvQueueForm::RowStatus(int ARow) const {
    if (!FManager || ARow < 0 || ARow >= FManager->QueueCount())
        return {};
    return QueueRowStatus(FManager->QueueItem(ARow).Snapshot());
}

void TKvQueueForm::RefreshQueue() {
    if (!HasQueue()) {
        FTimer->stop();
        FSelSession = 0;
        FInStrip = false;
        if (isVisible())
            hide();
        if (FList)
            FList->clear();
    } else if (FList) {
        const int count = FManager->QueueCount();
        const int sessionIndex = QueueIndexOf(FSelSession);
        {
            QSignalBlocker blocker(FList);
            FList->setUpdatesEnabled(false);
            while (FList->count() < count)
                FList->addItem(new QListWidgetItem());
            while (FList->count() > count)
                delete FList->takeItem(FList->count() - 1);
            FList->setUpdatesEnabled(true);
            const int row = RefreshedRow(sessionIndex, FList->currentRow(), count);
            if (row != FList->currentRow())
                FList->setCurrentRow(row);
        }
        FSelSession = FManager->QueueItem(FList->currentRow()).Id();
        FList->viewport()->update();
    }
    if (FStrip)
        FStrip->QueueChanged();
}

void TKvQueueForm::ShowQueue(int ALeft, int ATop, TKvTransferSession* ASession) {
    BuildControls();
    ApplyColours();
    StayAbove(this, MainWindow());
    move(ALeft, ATop);
    FSelSession = ASession ? ASession->Id() : 0;
    FInStrip = false;
    FTimer->start();
    RefreshQueue();
    if (!HasQueue())
        return;
    show();
    raise();
    activateWindow();
    FList->setFocus();
}

void TKvQueueForm::MoveToStrip() {
    FInStrip = true;
    hide();
    if (FStrip)
        FStrip->QueueChanged();
    FocusWindow(MainWindow());
}

void TKvQueueForm::HideClick() {
    MoveToStrip();
}

void TKvQueueForm::RestoreFromStrip() {
    if (!HasQueue())
        return;
    if (isVisible()) {
        raise();
        activateWindow();
        return;
    }
    BuildControls();
    QPoint at = pos();
    if (QWidget* main = MainWindow())
        at = CentredOver(this, main);
    const int index = QueueIndexOf(FSelSession);
    ShowQueue(at.x(), at.y(), index >= 0 ? &FManager->QueueItem(index) : nullptr);
}

void TKvQueueForm::Shutdown() {
    FTimer->stop();
    FManager = nullptr;
    FStrip = nullptr;
    FSelSession = 0;
    hide();
}

void TKvQueueForm::OpenClick() {
    RefreshQueue();
    if (TKvTransferSession* session = SelectedSession())
        if (TProgressForm* form = ProgressFormOf(*session))
            form->ShowFromQueue();
}

void TKvQueueForm::RemoveClick() {
    RefreshQueue();
    TKvTransferSession* session = SelectedSession();
    if (!session)
        return;
    const uint64_t id = session->Id();
    if (!session->Snapshot().Held && !(OnConfirm && OnConfirm(KRunningQuestion)))
        return;
    // The question ran the event loop: the copy may have ended and its session gone meanwhile.
    const int index = QueueIndexOf(id);
    if (index < 0)
        return;
    FManager->RemoveFromQueue(FManager->QueueItem(index));
    RefreshQueue();
}

void TKvQueueForm::closeEvent(QCloseEvent* AEvent) {
    // Never closed: it goes into the strip while there is a queue.
    AEvent->ignore();
    if (HasQueue())
        MoveToStrip();
    else
        hide();
}

void TKvQueueForm::keyPressEvent(QKeyEvent* AEvent) {
    if (AEvent->key() == Qt::Key_Escape && AEvent->modifiers() == Qt::NoModifier) {
        HideClick();
        return;
    }
    QWidget::keyPressEvent(AEvent);
}

int TKvQueueForm::DropIndexAtY(int AY) const {
    if (!FList)
        return 0;
    return DropIndexAt(AY, Scaled(28), FList->verticalScrollBar()->value(), FList->count());
}

void TKvQueueForm::BeginDrag(int ARow) {
    FDragFrom = ARow;
    SelectRow(ARow);
}

void TKvQueueForm::DragOver(int AY, bool AInside) {
    const int line = AInside && FDragFrom >= 0 ? DropIndexAtY(AY) : -1;
    if (line == FDropLine)
        return;
    FDropLine = line;
    if (FList)
        FList->viewport()->update();
}

void TKvQueueForm::DropAt(int AY) {
    const int target = DropIndexAtY(AY);
    FDropLine = -1;
    if (FManager && FDragFrom >= 0 && FDragFrom < FManager->QueueCount()) {
        FSelSession = FManager->QueueItem(FDragFrom).Id();
        FManager->MoveInQueue(FDragFrom, DropMoveTarget(FDragFrom, target));
        FDragFrom = -1;
        RefreshQueue();
    }
    if (FList)
        FList->viewport()->update();
}

void TKvQueueForm::EndDrag() {
    FDragFrom = -1;
    if (FDropLine != -1) {
        FDropLine = -1;
        if (FList)
            FList->viewport()->update();
    }
}

} // namespace kv
