#include "Kv.Ui.Theme.h"

#include <QFontDatabase>
#include <QFontInfo>

#include "Kv.Ui.Dpi.h"

namespace kv {

namespace {

TKvTheme& MutableTheme() {
    static TKvTheme theme;
    return theme;
}

constexpr TKvColor KWhite = KvRgb(255, 255, 255);
constexpr TKvColor KBlack = KvRgb(0, 0, 0);

} // namespace

const TKvTheme& Theme() { return MutableTheme(); }

void SetThemeFromSettings(const TKvSettings& ASettings) {
    auto& theme = MutableTheme();
    theme.FontHeight = ASettings.FontHeight;
    theme.FontName = ASettings.FontName;
    theme.Colors = ASettings.Colors;
}

void InstallThemeListener() { SetSettingsListener(SetThemeFromSettings); }

QColor ThemeColor(TKvColorSlot ASlot) { return ToQColor(Theme().Colors[ASlot]); }

int Brightness(TKvColor AColor) { return (Red(AColor) * 299 + Green(AColor) * 587 + Blue(AColor) * 114) / 1000; }

TKvColor BlendColors(TKvColor A, TKvColor B, int APercent) {
    auto mix = [APercent](int a, int b) { return static_cast<uint8_t>(((100 - APercent) * a + APercent * b) / 100); };
    return KvRgb(mix(Red(A), Red(B)), mix(Green(A), Green(B)), mix(Blue(A), Blue(B)));
}

TKvColor HoverColor() {
    TKvColor bars = Theme().Colors[csBars];
    return Brightness(bars) <= 170 ? BlendColors(bars, KWhite, 35) : BlendColors(bars, KBlack, 18);
}

TKvColor KeyTextColor() {
    TKvColor text = Theme().Colors[csText];
    return Brightness(text) >= 100 ? text : KvRgb(0xc0, 0xc0, 0xc0);
}

TKvColor DimBarsColor() {
    TKvColor bars = Theme().Colors[csBars];
    return KvRgb(static_cast<uint8_t>(Red(bars) * 3 / 5), static_cast<uint8_t>(Green(bars) * 3 / 5),
                 static_cast<uint8_t>(Blue(bars) * 3 / 5));
}

QFont ThemeFont(int APixelHeight) {
    QFont font(QString::fromStdString(Theme().FontName));
    font.setStyleHint(QFont::Monospace);
    if (!QFontInfo(font).fixedPitch())
        font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    font.setPixelSize(std::max(1, APixelHeight));
    return font;
}

QFont DialogFont() {
    QFont font = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    font.setPixelSize(ScaleToScreen(12));
    return font;
}

} // namespace kv
