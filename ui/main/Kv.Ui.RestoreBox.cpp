#include "Kv.Ui.RestoreBox.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>

#include "Kv.Ui.Dpi.h"
#include "Kv.Ui.Theme.h"

namespace kv {

TKvRestoreBox::TKvRestoreBox(QWidget* AParent) : QWidget(AParent) {
    setFocusPolicy(Qt::StrongFocus);
    setCursor(Qt::PointingHandCursor);
    // The paint covers every pixel; nothing is erased first.
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void TKvRestoreBox::Describe(const QString& ATitle, const QString& AWhat) {
    FTitle = ATitle;
    FWhat = AWhat;
    update();
}

QStringList TKvRestoreBox::Lines() const {
    return {FTitle, QStringLiteral("was open here: ") + FWhat,
            QStringLiteral("Click here or press Enter to connect")};
}

void TKvRestoreBox::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), ThemeColor(csBackground));
    painter.setFont(ThemeFont(ScaleFor(this, Theme().FontHeight)));
    QFontMetrics metrics = painter.fontMetrics();
    const int lineHeight = metrics.boundingRect(QStringLiteral("Ag")).height();
    const int pitch = lineHeight + ScaleFor(this, 6);
    const QStringList lines = Lines();
    const TKvColorSlot colours[] = {csMarked, csText, csFileNames};
    int top = (height() - pitch * static_cast<int>(lines.size())) / 2;
    for (int i = 0; i < lines.size(); ++i) {
        painter.setPen(ThemeColor(colours[i]));
        painter.drawText(QRect(0, top, width(), pitch), Qt::AlignHCenter | Qt::AlignVCenter,
                         lines[i]);
        top += pitch;
    }
}

void TKvRestoreBox::keyPressEvent(QKeyEvent* AEvent) {
    const int key = AEvent->key();
    // The keypad's Enter carries KeypadModifier; it is still a plain Enter.
    const bool plain = (AEvent->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier;
    if (plain && (key == Qt::Key_Return || key == Qt::Key_Enter || key == Qt::Key_Space)) {
        if (OnReconnect)
            OnReconnect(this);
        return;
    }
    QWidget::keyPressEvent(AEvent);
}

void TKvRestoreBox::mousePressEvent(QMouseEvent* AEvent) {
    if (AEvent->button() != Qt::LeftButton)
        return;
    setFocus(Qt::MouseFocusReason);
    if (OnReconnect)
        OnReconnect(this);
}

} // namespace kv
