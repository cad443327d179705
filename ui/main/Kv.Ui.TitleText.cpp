#include "Kv.Ui.TitleText.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <algorithm>
#include <cmath>

namespace kv {

namespace {

constexpr int KLeft = 8;
constexpr int KSpare = 16;
// How much of the path a shortened user@host:path title keeps before the "...".
constexpr int KPathKept = 6;
const QString KDots = QStringLiteral("...");

} // namespace

bool SplitUserHostPath(const QString& AText, int& AAt, int& AColon) {
    int at = AText.indexOf(u'@');
    if (at <= 0)
        return false;
    int colon = AText.indexOf(u':', at + 1);
    if (colon < at + 2)
        return false;
    AAt = at;
    AColon = colon;
    return true;
}

TKvTitleCut ShortenTitle(const QString& AText, int AWidth, const TKvTextWidth& AMeasure) {
    TKvTitleCut cut;
    cut.Shown = AText;
    const int avail = AWidth - KSpare;
    const int length = static_cast<int>(AText.size());
    if (length == 0 || AMeasure(AText) <= avail)
        return cut;
    int at, colon;
    int kept = SplitUserHostPath(AText, at, colon) ? std::min(colon + 1 + KPathKept, length)
                                                   : std::min(3, length);
    // e: the 1-based position where the kept end starts.
    int e = std::min(kept + 2, length);
    QString candidate;
    for (;;) {
        candidate = AText.left(kept) + KDots + AText.mid(e - 1);
        if (AMeasure(candidate) <= avail || e >= length)
            break;
        ++e;
    }
    if (e - 1 - kept >= 1) {
        cut.CutFrom = kept + 1;
        cut.CutTo = e - 1;
        cut.Shown = candidate;
    }
    return cut;
}

int TitleCharAt(const QString& AShown, int AX, const TKvTextWidth& AMeasure) {
    const int length = static_cast<int>(AShown.size());
    for (int i = 0; i <= length; ++i)
        if (AX < KLeft + AMeasure(AShown.left(i)))
            return i;
    return length;
}

int TitleTextPosition(const TKvTitleCut& ACut, int AShownPos, bool AEnd) {
    if (ACut.CutFrom == 0)
        return AShownPos;
    const int kept = ACut.CutFrom - 1;
    if (AShownPos <= kept)
        return AShownPos;
    if (AShownPos <= kept + KDots.size())
        return AEnd ? ACut.CutTo : ACut.CutFrom;
    return AShownPos + (ACut.CutTo - ACut.CutFrom + 1) - static_cast<int>(KDots.size());
}

std::pair<int, int> TitleWordAt(const QString& AText, int APos) {
    const int length = static_cast<int>(AText.size());
    const std::pair<int, int> whole{length > 0 ? 1 : 0, length};
    int at, colon;
    if (APos < 1 || APos > length || !SplitUserHostPath(AText, at, colon))
        return whole;
    // 1-based positions of "@" and ":".
    const int atPos = at + 1;
    const int colonPos = colon + 1;
    if (APos < atPos)
        return {1, atPos - 1};
    if (APos > atPos && APos < colonPos)
        return {atPos + 1, colonPos - 1};
    if (APos > colonPos)
        return {colonPos + 1, length};
    return whole;
}

// ---- Model ----

void TKvTitleModel::SetText(const QString& AText) {
    if (AText == FText)
        return;
    FText = AText;
    FCut = {AText, 0, 0};
    FSelFrom = FSelTo = 0;
    FDragging = false;
}

void TKvTitleModel::Layout(int AWidth, const TKvTextWidth& AMeasure) {
    FCut = ShortenTitle(FText, AWidth, AMeasure);
}

void TKvTitleModel::MouseDown(int AX, const TKvTextWidth& AMeasure) {
    FSelFrom = FSelTo = 0;
    FAnchor = FCaret = TitleCharAt(FCut.Shown, AX, AMeasure);
    FDragging = FAnchor > 0;
}

void TKvTitleModel::MouseMove(int AX, const TKvTextWidth& AMeasure) {
    if (!FDragging)
        return;
    int caret = TitleCharAt(FCut.Shown, AX, AMeasure);
    if (caret == FCaret)
        return;
    FCaret = caret;
    if (FAnchor == FCaret) {
        FSelFrom = FSelTo = 0;
        return;
    }
    // Dragged left past the text: the selection starts at its first character.
    int low = std::max(1, std::min(FAnchor, FCaret));
    int high = std::max(FAnchor, FCaret);
    FSelFrom = TitleTextPosition(FCut, low, false);
    FSelTo = TitleTextPosition(FCut, high, true);
}

QString TKvTitleModel::MouseUp() {
    if (!FDragging)
        return {};
    FDragging = false;
    return SelectedText();
}

QString TKvTitleModel::DoubleClick(int AX, const TKvTextWidth& AMeasure) {
    FDragging = false;
    int shown = TitleCharAt(FCut.Shown, AX, AMeasure);
    auto [from, to] = TitleWordAt(FText, TitleTextPosition(FCut, shown, false));
    FSelFrom = from;
    FSelTo = to;
    return SelectedText();
}

QString TKvTitleModel::SelectedText() const {
    if (FSelFrom < 1 || FSelTo < FSelFrom)
        return {};
    return FText.mid(FSelFrom - 1, FSelTo - FSelFrom + 1);
}

bool TKvTitleModel::ShownSelected(int APos) const {
    if (FSelFrom < 1 || FSelTo < FSelFrom)
        return false;
    if (FCut.CutFrom > 0 && APos >= FCut.CutFrom && APos < FCut.CutFrom + KDots.size())
        return FSelFrom <= FCut.CutTo && FSelTo >= FCut.CutFrom;
    int pos = TitleTextPosition(FCut, APos, false);
    return pos >= FSelFrom && pos <= FSelTo;
}

// ---- Title control ----

TKvTitleText::TKvTitleText(QWidget* AParent) : QWidget(AParent) {
    setCursor(Qt::IBeamCursor);
}

void TKvTitleText::SetText(const QString& AText) {
    if (AText == FModel.Text())
        return;
    FModel.SetText(AText);
    update();
}

TKvTextWidth TKvTitleText::Measure() const {
    QFontMetrics metrics = fontMetrics();
    return [metrics](const QString& AText) { return metrics.horizontalAdvance(AText); };
}

void TKvTitleText::Relayout() {
    FModel.Layout(width(), Measure());
}

void TKvTitleText::Copy(const QString& AText) {
    if (AText.isEmpty())
        return;
    if (QClipboard* clipboard = QGuiApplication::clipboard())
        clipboard->setText(AText);
}

void TKvTitleText::paintEvent(QPaintEvent*) {
    Relayout();
    const QString& shown = FModel.Cut().Shown;
    const QColor fg = palette().color(QPalette::WindowText);
    const QColor bg = palette().color(QPalette::Window);
    QPainter painter(this);
    painter.fillRect(rect(), bg);
    QFontMetrics metrics = fontMetrics();
    const int textHeight = metrics.height();
    const int top = (height() - textHeight) / 2;
    painter.setPen(fg);
    painter.drawText(QRect(KLeft, top, width(), textHeight), Qt::AlignLeft | Qt::AlignTop, shown);
    // Each run of selected characters in inverted colours.
    const int length = static_cast<int>(shown.size());
    int i = 1;
    while (i <= length) {
        if (!FModel.ShownSelected(i)) {
            ++i;
            continue;
        }
        int start = i;
        while (i <= length && FModel.ShownSelected(i))
            ++i;
        int x1 = KLeft + metrics.horizontalAdvance(shown.left(start - 1));
        int x2 = KLeft + metrics.horizontalAdvance(shown.left(i - 1));
        painter.fillRect(QRect(x1, top - 1, x2 - x1, textHeight + 2), fg);
        painter.setPen(bg);
        painter.drawText(QRect(x1, top, x2 - x1 + 1, textHeight), Qt::AlignLeft | Qt::AlignTop,
                         shown.mid(start - 1, i - start));
        painter.setPen(fg);
    }
}

void TKvTitleText::mousePressEvent(QMouseEvent* AEvent) {
    if (AEvent->button() != Qt::LeftButton)
        return;
    Relayout();
    FModel.MouseDown(AEvent->position().toPoint().x(), Measure());
    update();
}

void TKvTitleText::mouseMoveEvent(QMouseEvent* AEvent) {
    if (!(AEvent->buttons() & Qt::LeftButton) || !FModel.Dragging())
        return;
    Relayout();
    int from = FModel.SelFrom(), to = FModel.SelTo();
    FModel.MouseMove(AEvent->position().toPoint().x(), Measure());
    if (from != FModel.SelFrom() || to != FModel.SelTo())
        update();
}

void TKvTitleText::mouseReleaseEvent(QMouseEvent* AEvent) {
    if (AEvent->button() == Qt::LeftButton)
        Copy(FModel.MouseUp());
}

void TKvTitleText::mouseDoubleClickEvent(QMouseEvent* AEvent) {
    if (AEvent->button() != Qt::LeftButton)
        return;
    Relayout();
    Copy(FModel.DoubleClick(AEvent->position().toPoint().x(), Measure()));
    update();
}

// ---- Hybrid switch ----

TKvHybridSwitch::TKvHybridSwitch(QWidget* AParent) : QWidget(AParent) {
    setCursor(Qt::PointingHandCursor);
    resize(64, 24);
}

QSize TKvHybridSwitch::sizeHint() const {
    return {64, 24};
}

void TKvHybridSwitch::SetView(TKvHybridView AView) {
    if (AView == FView)
        return;
    FView = AView;
    update();
}

void TKvHybridSwitch::enterEvent(QEnterEvent*) {
    FHover = true;
    update();
}

void TKvHybridSwitch::leaveEvent(QEvent*) {
    FHover = false;
    update();
}

void TKvHybridSwitch::mouseReleaseEvent(QMouseEvent* AEvent) {
    if (AEvent->button() == Qt::LeftButton && rect().contains(AEvent->position().toPoint()) &&
        OnClick)
        OnClick(this);
}

void TKvHybridSwitch::paintEvent(QPaintEvent*) {
    const QColor fg = palette().color(QPalette::WindowText);
    const QColor bg = palette().color(QPalette::Window);
    const int h = height();
    QPainter painter(this);
    painter.fillRect(rect(), bg);
    painter.setRenderHint(QPainter::Antialiasing);

    const int inset = h > 15 ? h / 8 : 2;
    const QRect outer = rect().adjusted(inset, inset, -inset, -inset);
    const int penWidth = (h > 15 ? h / 16 : 1) + (FHover ? 1 : 0);
    auto pill = [&painter](const QRect& ARect) {
        qreal radius = ARect.height() / 2.0;
        painter.drawRoundedRect(QRectF(ARect), radius, radius);
    };
    painter.setPen(QPen(fg, penWidth));
    painter.setBrush(Qt::NoBrush);
    pill(outer);

    const int middle = outer.left() + outer.width() / 2;
    const QRect left(outer.left(), outer.top(), middle - outer.left(), outer.height());
    const QRect right(middle, outer.top(), outer.right() - middle + 1, outer.height());
    const int shrink = penWidth + 1;
    const QRect selected =
        (FView == hvShell ? left : right).adjusted(shrink, shrink, -shrink, -shrink);
    painter.setPen(Qt::NoPen);
    painter.setBrush(fg);
    pill(selected);

    const int glyphPen = std::max(1, h / 20);
    const int gh = std::max(7, static_cast<int>(std::lround(0.6 * selected.height())));
    const int gw = static_cast<int>(std::lround(1.3 * gh));
    auto box = [gw, gh](const QRect& AHalf) {
        return QRect(AHalf.left() + (AHalf.width() - gw) / 2,
                     AHalf.top() + (AHalf.height() - gh) / 2, gw, gh);
    };
    auto at = [gw, gh](const QRect& ABox, int APx, int APy) {
        return QPoint(ABox.left() + gw * APx / 100, ABox.top() + gh * APy / 100);
    };
    painter.setBrush(Qt::NoBrush);

    // Terminal: a screen with a prompt and a cursor line.
    QRect term = box(left);
    painter.setPen(QPen(FView == hvShell ? bg : fg, glyphPen));
    painter.drawRect(term.left(), term.top(), gw - 1, gh - 1);
    const QPoint prompt[] = {at(term, 22, 30), at(term, 44, 52), at(term, 22, 74)};
    painter.drawPolyline(prompt, 3);
    painter.drawLine(at(term, 52, 76), at(term, 80, 76));

    // Folder: an outline with a tab and a line across.
    QRect folder = box(right);
    painter.setPen(QPen(FView == hvFiles ? bg : fg, glyphPen));
    const int x2 = folder.left() + gw - 1, y2 = folder.top() + gh - 1;
    const QPoint outline[] = {at(folder, 0, 0),   at(folder, 40, 0),
                              at(folder, 52, 20), QPoint(x2, at(folder, 0, 20).y()),
                              QPoint(x2, y2),     QPoint(folder.left(), y2),
                              at(folder, 0, 0)};
    painter.drawPolyline(outline, 7);
    const int across = at(folder, 0, 36).y();
    painter.drawLine(folder.left(), across, x2, across);
}

} // namespace kv
