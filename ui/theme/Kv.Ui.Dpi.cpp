#include "Kv.Ui.Dpi.h"

#include <QGuiApplication>
#include <QPointer>
#include <QScreen>
#include <QWidget>
#include <algorithm>

#include "Kv.Numbers.h"

namespace kv {

namespace {

QPointer<QWidget> GReference;

} // namespace

void SetDpiReferenceWindow(QWidget* AWindow) { GReference = AWindow; }

int WidgetPpi(const QWidget* AWidget) {
    int ppi = 96;
    if (AWidget)
        ppi = AWidget->logicalDpiX();
    else if (auto* screen = QGuiApplication::primaryScreen())
        ppi = static_cast<int>(screen->logicalDotsPerInchX() + 0.5);
    return std::max(96, ppi);
}

int ScreenPpi() { return WidgetPpi(GReference.data()); }

int ScaleToScreen(int AValue) { return MulDiv(AValue, ScreenPpi(), 96); }

int ScaleFor(const QWidget* AWidget, int AValue) { return MulDiv(AValue, WidgetPpi(AWidget), 96); }

} // namespace kv
