// The font and the nine colours every window draws with, and the colours derived from them.
#pragma once

#include <QColor>
#include <QFont>
#include <string>

#include "Kv.Settings.h"

namespace kv {

struct TKvTheme {
    int FontHeight = KDefaultFontHeight; // pixels at 96 dpi
    std::string FontName = KDefaultFontName;
    TKvColors Colors = KDefaultPalette;
};

// Read on the UI thread when windows are built and painted.
const TKvTheme& Theme();
// Takes the font and colours of the settings; installed as the settings' listener by
// InstallThemeListener, so ApplySettings reaches every window at its next repaint.
void SetThemeFromSettings(const TKvSettings& ASettings);
void InstallThemeListener();

inline int Red(TKvColor AColor) { return AColor & 0xff; }
inline int Green(TKvColor AColor) { return (AColor >> 8) & 0xff; }
inline int Blue(TKvColor AColor) { return (AColor >> 16) & 0xff; }
inline QColor ToQColor(TKvColor AColor) { return QColor(Red(AColor), Green(AColor), Blue(AColor)); }
QColor ThemeColor(TKvColorSlot ASlot);

int Brightness(TKvColor AColor);
TKvColor BlendColors(TKvColor A, TKvColor B, int APercent);
TKvColor HoverColor();
TKvColor KeyTextColor();
TKvColor DimBarsColor();

// The theme's fixed-width font at a pixel height already scaled to the screen; a font that is
// not installed falls back to the system's fixed-width font.
QFont ThemeFont(int APixelHeight);
// "Segoe UI" 12 px in the design: the system's dialog font at 12 pixels (scaled).
QFont DialogFont();

} // namespace kv
