// What the progress window, the transfer strip and the queue window share: scaling, the
// colours of their boxes, buttons, keeping a tool window above the main one without being
// owned by it, and a label that elides its text.
#pragma once

#include <QPainter>
#include <QPoint>
#include <QPushButton>
#include <QString>
#include <QWidget>
#include <string>

#include "Kv.Ui.ProgressModel.h"

namespace kv {

namespace progress {

// How often the strip and the queue window look at the sessions again.
inline constexpr int KRefreshMs = 250;

// Fixed border and only the system-menu box.
inline constexpr Qt::WindowFlags KToolWindowFlags =
    Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
    Qt::WindowCloseButtonHint;

int Scaled(int AValue);
QString Q(const std::string& AText);
QColor InkColor(TKvInk AInk);
// Fills ARect as a gauge-like box: the fill, then the bar from the left.
void PaintBox(QPainter& APainter, const QRect& ARect, const TKvBoxLook& ALook);
void Place(QWidget* AWidget, int ALeft, int ATop, int AWidth, int AHeight);
QPushButton* NewButton(QWidget* AParent, const char* ACaption, int ALeft, int ATop,
                       const char* AHint);
void ApplyFormColours(QWidget* AForm);
// Keeps AWindow above the main window without the main window owning it.
void StayAbove(QWidget* AWindow, QWidget* AMain);
QPoint CentredOver(const QWidget* AWindow, const QWidget* AMain);
void FocusWindow(QWidget* AMain);

} // namespace progress

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

} // namespace kv
