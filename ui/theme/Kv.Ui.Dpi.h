// Layout sizes are given at 96 dots per inch; Qt's logical pixels already carry the screen's
// scale factor, so only a logical dpi above 96 scales further (nothing is scaled twice).
#pragma once

class QWidget;

namespace kv {

// The main window's logical dpi when there is one, else the primary screen's; never below 96.
int ScreenPpi();
// The same for the screen a widget is on.
int WidgetPpi(const QWidget* AWidget);
// AValue * ppi / 96, halves away from zero.
int ScaleToScreen(int AValue);
int ScaleFor(const QWidget* AWidget, int AValue);
// The window whose dpi ScreenPpi follows (the main window sets itself).
void SetDpiReferenceWindow(QWidget* AWindow);

} // namespace kv
