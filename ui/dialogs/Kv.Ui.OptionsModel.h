// The rules of the Options window without its widgets: the font size typed, the list of
// fixed-width fonts, the palettes, the check of the chosen programs at OK, and the preview.
#pragma once

#include <array>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "Kv.Settings.h"

namespace kv {

// The typed size as a number clamped to 9..32; APrevious when it is no number.
int ParseFontSize(std::string_view AText, int APrevious);

// The fonts offered: the configured one first when it is not among the fixed-width ones.
std::vector<std::string> FontChoices(const std::vector<std::string>& AFixedFonts,
                                     const std::string& AConfigured);

enum TKvPalette { plDefault, plClassic, plLight };
const TKvColors& PaletteColors(TKvPalette APalette);

// The programs page at OK: the first one chosen as "This program:" that does not name an
// existing file, viewer first.
struct TKvProgramCheck {
    bool Viewer = false; // which group failed
    std::string Message; // empty: both are fine
};
TKvProgramCheck CheckPrograms(bool AViewerOther, std::string_view AViewerPath, bool AEditorOther,
                              std::string_view AEditorPath,
                              const std::function<bool(const std::string&)>& AIsFile);
bool IsExistingFile(const std::string& APath);

// A program path as the settings keep it: the trimmed path when "This program:" is chosen.
std::string ProgramSetting(bool AOther, std::string_view APath);

// The preview's file list: text and colour slot of each row; the cursor row is drawn black
// on "bars".
struct TKvPreviewRow {
    const char* Text;
    TKvColorSlot Slot;
    bool Cursor;
};
inline constexpr std::array<TKvPreviewRow, 5> KPreviewRows = {{
    {"Name           Size", csMarked, false},
    {"Documents      <DIR>", csFolders, false},
    {"report.txt     1,204", csText, true},
    {"photo.jpg     52,118", csFileNames, false},
    {"notes.txt        980", csMarked, false},
}};
// The preview's left part, in percent of its width.
inline constexpr int KPreviewPanelPercent = 62;

} // namespace kv
