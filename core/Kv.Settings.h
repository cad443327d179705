// The user's preferences: one record for the whole process, kept in "settings.json".
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace kv {

// RGB with red in the low byte, then green, then blue; the top byte is unused.
using TKvColor = uint32_t;

constexpr TKvColor KvRgb(uint8_t ARed, uint8_t AGreen, uint8_t ABlue) {
    return TKvColor(ARed) | (TKvColor(AGreen) << 8) | (TKvColor(ABlue) << 16);
}

// Unscoped so that a slot indexes TKvSettings::Colors directly.
enum TKvColorSlot : int {
    csBackground,
    csText,
    csFileNames,
    csFolders,
    csMarked,
    csHidden,
    csBars,
    csTerminalBackground,
    csTerminalText,
};
inline constexpr int KColorSlotCount = 9;

using TKvColors = std::array<TKvColor, KColorSlotCount>;

// Per slot, in slot order: the key in the file and the label the options window shows.
inline constexpr std::array<std::string_view, KColorSlotCount> KColorSlotKeys = {
    "background", "text", "fileNames",          "folders",      "marked",
    "hidden",     "bars", "terminalBackground", "terminalText",
};
inline constexpr std::array<std::string_view, KColorSlotCount> KColorSlotLabels = {
    "Background of the panels",
    "Plain text",
    "File names",
    "Folder names",
    "Marked files and headings",
    "Hidden files",
    "Bars and the cursor",
    "Terminal background",
    "Terminal text",
};

inline constexpr TKvColors KDefaultPalette = {
    KvRgb(0x40, 0x80, 0x80), KvRgb(0xc0, 0xc0, 0xc0), KvRgb(0x55, 0xff, 0xff),
    KvRgb(0xff, 0xff, 0xff), KvRgb(0xff, 0xff, 0x55), KvRgb(0xc0, 0xc0, 0xc0),
    KvRgb(0x83, 0x85, 0xd8), KvRgb(0x00, 0x00, 0x00), KvRgb(0xc0, 0xc0, 0xc0),
};
inline constexpr TKvColors KClassicPalette = {
    KvRgb(0x00, 0x00, 0x80), KvRgb(0xc0, 0xc0, 0xc0), KvRgb(0x00, 0xff, 0xff),
    KvRgb(0xff, 0xff, 0xff), KvRgb(0xff, 0xff, 0x00), KvRgb(0x00, 0xa0, 0xa0),
    KvRgb(0x00, 0xaa, 0xaa), KvRgb(0x00, 0x00, 0x00), KvRgb(0xc0, 0xc0, 0xc0),
};
inline constexpr TKvColors KLightPalette = {
    KvRgb(0xff, 0xff, 0xff), KvRgb(0x00, 0x00, 0x00), KvRgb(0x00, 0x00, 0x00),
    KvRgb(0x00, 0x00, 0x00), KvRgb(0xff, 0x00, 0x00), KvRgb(0x80, 0x80, 0x80),
    KvRgb(0xc0, 0xc0, 0xc0), KvRgb(0x00, 0x00, 0x00), KvRgb(0xc0, 0xc0, 0xc0),
};

inline constexpr int KMinFontHeight = 9;
inline constexpr int KMaxFontHeight = 32;
inline constexpr int KDefaultFontHeight = 13;
inline constexpr const char* KDefaultFontName = "DejaVu Sans Mono";

// The folder compare's options; the compare engine and its window share them.
struct TKvCompareOptions {
    bool Subfolders = true;
    bool IgnoreEol = true;
    bool IgnoreBom = false;
    bool IgnoreTrailingSpace = true;
    bool IgnoreSpaceChange = false;
    bool IgnoreEndBlankLines = true;
    bool IgnoreCase = false;
    // Mask list of names left out everywhere.
    std::string Exclude;
    bool ShowSame = false;
    bool ShowDiffer = true;
    bool ShowLeftOnly = true;
    bool ShowRightOnly = true;

    bool operator==(const TKvCompareOptions&) const = default;
};

// A default-constructed record holds the defaults.
struct TKvSettings {
    // Character cell height in pixels of panels and terminals.
    int FontHeight = KDefaultFontHeight;
    std::string FontName = KDefaultFontName;
    TKvColors Colors = KDefaultPalette;
    bool ShowHidden = false;
    bool ShowSystem = false;
    bool LogEnabled = true;
    // Also log each line the local command line shows.
    bool LogConsole = false;
    // Empty: the built-in viewer.
    std::string ViewerExe;
    // Empty: the desktop's text editor.
    std::string EditorExe;
    TKvCompareOptions Compare;

    bool operator==(const TKvSettings&) const = default;
};

// The data folder joined with "settings.json".
std::string SettingsPath();
void DefaultSettings(TKvSettings& ASettings);
// Defaults first, then every usable value the text supplies; never fails. False when the text
// as a whole was unusable (not a JSON object, or nested deeper than any settings file).
bool ParseSettings(std::string_view AText, TKvSettings& ASettings);
// The file's text. Bytes that are not UTF-8 are written as U+FFFD, so this never throws.
std::string SettingsToJson(const TKvSettings& ASettings);

// Reads the file (defaults when it is missing or unusable), makes the result current and
// applies it. An unusable file is kept aside first; the result is then the sentence to show.
std::string LoadSettings();
std::string LoadSettings(const std::string& APath);
// Writes the current settings atomically; false when that failed.
bool SaveSettings();
bool SaveSettings(const std::string& APath);

// The process-wide current settings; safe from any thread.
TKvSettings CurrentSettings();
void SetCurrentSettings(const TKvSettings& ASettings);

// Called by ApplySettings on the caller's thread; the theme registers here. An empty
// function removes it.
using TKvSettingsListener = std::function<void(const TKvSettings&)>;
void SetSettingsListener(TKvSettingsListener AListener);
// Sets the log's enabled flag and hands the settings to the listener.
void ApplySettings(const TKvSettings& ASettings);

TKvColor DefaultPaletteColor(TKvColorSlot ASlot);
TKvColor ClassicPaletteColor(TKvColorSlot ASlot);
TKvColor LightPaletteColor(TKvColorSlot ASlot);

// "#rrggbb" in lower case.
std::string ColorToHex(TKvColor AColor);
// Exactly "#" and six hexadecimal digits (either case); anything else gives AFallback.
TKvColor HexToColor(std::string_view AText, TKvColor AFallback);

} // namespace kv
