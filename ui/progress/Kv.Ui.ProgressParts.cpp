#include "Kv.Ui.ProgressParts.h"

#include <QWindow>

#include "Kv.Numbers.h"
#include "Kv.Ui.Dpi.h"
#include "Kv.Ui.Theme.h"

namespace kv::progress {

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

} // namespace kv::progress
