#include "Kv.Ui.Popup.h"

#include <QApplication>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMessageBox>
#include <QPainter>
#include <QScreen>
#include <QStyledItemDelegate>
#include <QTimer>
#include <climits>

#include "Kv.Numbers.h"
#include "Kv.Ui.Dpi.h"
#include "Kv.Ui.Theme.h"

namespace kv {

QPoint PlacePopup(const QRect& AWork, const QSize& ASize, const QPoint& AAt) {
    int x = AAt.x(), y = AAt.y();
    if (x + ASize.width() > AWork.left() + AWork.width())
        x = AWork.left() + AWork.width() - ASize.width();
    if (x < AWork.left())
        x = AWork.left();
    if (y + ASize.height() > AWork.top() + AWork.height())
        y = AWork.top() + AWork.height() - ASize.height();
    if (y < AWork.top())
        y = AWork.top();
    return QPoint(x, y);
}

QRect WorkAreaAt(const QPoint& APoint) {
    QScreen* nearest = QGuiApplication::primaryScreen();
    long long best = LLONG_MAX;
    for (QScreen* screen : QGuiApplication::screens()) {
        const QRect area = screen->geometry();
        const long long dx = APoint.x() < area.left()    ? area.left() - APoint.x()
                             : APoint.x() > area.right() ? APoint.x() - area.right()
                                                         : 0;
        const long long dy = APoint.y() < area.top()      ? area.top() - APoint.y()
                             : APoint.y() > area.bottom() ? APoint.y() - area.bottom()
                                                          : 0;
        if (dx * dx + dy * dy < best) {
            best = dx * dx + dy * dy;
            nearest = screen;
        }
    }
    return nearest ? nearest->availableGeometry() : QRect(0, 0, 1024, 768);
}

TKvPopupWindow::TKvPopupWindow(QWidget* AOwner)
    : QWidget(AOwner, Qt::Window | Qt::FramelessWindowHint) {
    setAttribute(Qt::WA_DeleteOnClose);
    setObjectName("KvPopup");
}

void TKvPopupWindow::PrepareFor(QWidget* AOwner, TKvPopupChoiceEvent AOnChoice) {
    FPPI = WidgetPpi(AOwner);
    FOnChoice = std::move(AOnChoice);
    QFont font = ThemeFont(Scale(Theme().FontHeight));
    setFont(font);
    const int border = Scale(1);
    setContentsMargins(border, border, border, border);
}

int TKvPopupWindow::Scale(int AValue) const {
    return MulDiv(AValue, FPPI, 96);
}

void TKvPopupWindow::PlaceAt(int AX, int AY) {
    move(PlacePopup(WorkAreaAt(QPoint(AX, AY)), size(), QPoint(AX, AY)));
}

void TKvPopupWindow::Choose(int AKind, int AValue) {
    if (FDone)
        return;
    FDone = true;
    FChosen = true;
    FChoiceKind = AKind;
    FChoiceValue = AValue;
    close();
}

void TKvPopupWindow::Hold() {
    ++FHold;
}

void TKvPopupWindow::Release() {
    if (FHold == 0)
        return;
    if (--FHold == 0 && isVisible()) {
        raise();
        activateWindow();
    }
}

void TKvPopupWindow::WatchKeys(QWidget* AWidget) {
    AWidget->installEventFilter(this);
}

bool TKvPopupWindow::event(QEvent* AEvent) {
    if (AEvent->type() == QEvent::WindowDeactivate && FHold == 0 && isVisible()) {
        // Closed from the event loop: deactivation may arrive inside another window's call.
        QTimer::singleShot(0, this, [this] {
            if (FHold == 0 && !isActiveWindow())
                close();
        });
    }
    if (AEvent->type() == QEvent::KeyPress && PreviewKey(static_cast<QKeyEvent*>(AEvent)))
        return true;
    return QWidget::event(AEvent);
}

bool TKvPopupWindow::eventFilter(QObject* AWatched, QEvent* AEvent) {
    if (AEvent->type() == QEvent::KeyPress && PreviewKey(static_cast<QKeyEvent*>(AEvent)))
        return true;
    return QWidget::eventFilter(AWatched, AEvent);
}

void TKvPopupWindow::closeEvent(QCloseEvent* AEvent) {
    QWidget::closeEvent(AEvent);
    if (!FChosen || !FOnChoice)
        return;
    FChosen = false;
    QTimer::singleShot(KPopupChoiceDelayMs, qApp,
                       [handler = FOnChoice, kind = FChoiceKind, value = FChoiceValue] {
                           try {
                               handler(kind, value);
                           } catch (const std::exception& AError) {
                               QMessageBox::critical(QApplication::activeWindow(), "Kolvan",
                                                     QString::fromUtf8(AError.what()));
                           }
                       });
}

void TKvPopupWindow::paintEvent(QPaintEvent*) {
    // The margin around the controls shows this colour as the frame.
    QPainter painter(this);
    painter.fillRect(rect(), ThemeColor(csText));
}

namespace {

// The text as it is when it fits, else shortened with an ellipsis.
QString Fitted(const QFontMetrics& AMetrics, const QString& AText, Qt::TextElideMode AMode,
               int AWidth) {
    if (AMetrics.horizontalAdvance(AText) <= AWidth)
        return AText;
    return AMetrics.elidedText(AText, AMode, std::max(0, AWidth));
}

} // namespace

void DrawPopupRow(QPainter& APainter, const QRect& ARect, const TKvPopupRow& ARow, bool ASelected,
                  const std::function<int(int)>& AScale) {
    APainter.fillRect(ARect, ASelected ? ThemeColor(csBars) : ThemeColor(csBackground));
    const int left = ARect.left() + AScale(5) + ARow.Indent;
    const int side = ARect.height() - AScale(6);
    const QRect icon(left, ARect.top() + AScale(3), side, side);
    if (ARow.Icon)
        ARow.Icon(APainter, icon);
    QRect span(icon.right() + 1 + AScale(8), ARect.top(), 0, ARect.height());
    span.setRight(ARect.right() - AScale(ARow.RightGap));
    const QFontMetrics metrics = APainter.fontMetrics();
    const int flags = Qt::AlignVCenter | Qt::TextSingleLine;
    int secondWidth = 0;
    if (!ARow.Second.isEmpty()) {
        // Measured with a pixel to spare: the advance is rounded, the drawing is not.
        secondWidth = metrics.horizontalAdvance(ARow.Second) + 1;
        if (ARow.SecondWidth >= 0)
            secondWidth = std::min(secondWidth, ARow.SecondWidth);
        secondWidth = std::min(secondWidth, span.width());
        APainter.setPen(ASelected ? ToQColor(DimBarsColor()) : ThemeColor(csHidden));
        QRect second = span;
        second.setLeft(span.right() + 1 - secondWidth);
        APainter.drawText(second, Qt::AlignRight | flags,
                          Fitted(metrics, ARow.Second, Qt::ElideRight, second.width()));
    }
    QRect main = span;
    if (secondWidth > 0)
        main.setRight(span.right() - secondWidth - AScale(8));
    APainter.setPen(ASelected      ? QColor(Qt::black)
                    : ARow.Current ? ThemeColor(csMarked)
                                   : ThemeColor(csFolders));
    APainter.drawText(main, Qt::AlignLeft | flags,
                      Fitted(metrics, ARow.Text, ARow.Elide, main.width()));
}

namespace {

class TRowDelegate : public QStyledItemDelegate {
public:
    explicit TRowDelegate(TKvPopupList& AList) : QStyledItemDelegate(&AList), FList(AList) {}

    void paint(QPainter* APainter, const QStyleOptionViewItem& AOption,
               const QModelIndex& AIndex) const override {
        if (FList.OnPaintRow) {
            APainter->save();
            FList.OnPaintRow(*APainter, AOption.rect, AIndex.row(),
                             (AOption.state & QStyle::State_Selected) != 0);
            APainter->restore();
        }
    }
    QSize sizeHint(const QStyleOptionViewItem&, const QModelIndex&) const override {
        return QSize(1, FList.RowHeight());
    }

private:
    TKvPopupList& FList;
};

} // namespace

void TKvRowCountModel::SetCount(int ACount) {
    beginResetModel();
    FCount = std::max(0, ACount);
    endResetModel();
}

TKvPopupList::TKvPopupList(QWidget* AParent)
    : QListView(AParent), FModel(new TKvRowCountModel(this)) {
    setModel(FModel);
    setItemDelegate(new TRowDelegate(*this));
    setUniformItemSizes(true);
    setFrameShape(QFrame::NoFrame);
    setMouseTracking(true);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollMode(QAbstractItemView::ScrollPerItem);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setAutoFillBackground(true);
    QPalette palette = this->palette();
    palette.setColor(QPalette::Base, ThemeColor(csBackground));
    setPalette(palette);
}

void TKvPopupList::SetRowCount(int ACount) {
    if (count() == ACount) {
        viewport()->update();
        return;
    }
    FModel->SetCount(ACount);
}

void TKvPopupList::SetRowHeight(int AHeight) {
    FRowHeight = std::max(1, AHeight);
    doItemsLayout();
}

void TKvPopupList::setCurrentRow(int ARow) {
    if (ARow < 0 || ARow >= count()) {
        setCurrentIndex(QModelIndex());
        clearSelection();
        return;
    }
    setCurrentIndex(FModel->index(ARow));
}

int TKvPopupList::currentRow() const {
    QModelIndex index = currentIndex();
    return index.isValid() ? index.row() : -1;
}

void TKvPopupList::ScrollToRow(int ARow) {
    if (ARow >= 0 && ARow < count())
        scrollTo(FModel->index(ARow));
}

int TKvPopupList::RowAt(const QPoint& APoint) const {
    QModelIndex index = indexAt(APoint);
    return index.isValid() ? index.row() : -1;
}

void TKvPopupList::mouseMoveEvent(QMouseEvent* AEvent) {
    if (OnHover)
        OnHover(RowAt(AEvent->position().toPoint()));
}

void TKvPopupList::mousePressEvent(QMouseEvent* AEvent) {
    if (OnPress)
        OnPress(RowAt(AEvent->position().toPoint()), AEvent->button(),
                AEvent->position().toPoint());
}

void TKvPopupList::mouseReleaseEvent(QMouseEvent*) {}

// The first press already acted: a second would open and close a folder at once.
void TKvPopupList::mouseDoubleClickEvent(QMouseEvent*) {}

} // namespace kv
