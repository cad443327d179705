#include "Kv.Ui.QueueForm.h"

#include <QApplication>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QListWidget>
#include <QPainter>
#include <QPushButton>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QStyledItemDelegate>
#include <QTimer>
#include <algorithm>

#include "Kv.Ui.ProgressForm.h"
#include "Kv.Ui.ProgressParts.h"
#include "Kv.Ui.Prompts.h"
#include "Kv.Ui.TransferStrip.h"
#include "Kv.Ui.Theme.h"

namespace kv {

using namespace progress;

namespace {

constexpr const char* KRunningQuestion =
    "This copy is running. Stop it and take it out of the queue?";

} // namespace

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
    FBtnPause = NewButton(this, "Pause", 154, 262,
                          "Pause the chosen copy, or let it go on; the copies below wait for it");
    FBtnOpen = NewButton(this, "Open", 244, 262,
                         "Show the window of the chosen copy (Enter, double click)");
    FBtnRemove = NewButton(this, "Remove", 334, 262,
                           "Take the chosen copy out of the queue; it is not done (Del)");
    FBtnHide = NewButton(this, "Hide", 424, 262,
                         "Put the queue into a tab at the top; it goes on in the background");
    connect(FBtnPause, &QPushButton::clicked, this, [this] { PauseClick(); });
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
        TKvTransferSession& selected = FManager->QueueItem(FList->currentRow());
        FSelSession = selected.Id();
        FBtnPause->setText(selected.Snapshot().Paused ? QStringLiteral("Resume") : QStringLiteral("Pause"));
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

void TKvQueueForm::PauseClick() {
    RefreshQueue();
    if (TKvTransferSession* session = SelectedSession())
        session->SetPaused(!session->Snapshot().Paused);
    RefreshQueue();
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
