#include "Kv.Ui.OptionsModel.h"

#include <algorithm>
#include <charconv>
#include <sys/stat.h>

#include "Kv.Text.h"

namespace kv {

int ParseFontSize(std::string_view AText, int APrevious) {
    std::string_view text = TrimmedView(AText);
    if (!text.empty() && text.front() == '+')
        text.remove_prefix(1);
    long long value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error == std::errc::invalid_argument || end != text.data() + text.size())
        return APrevious;
    // Too many digits for a number still means "very large" (or very small).
    if (error == std::errc::result_out_of_range)
        return text.front() == '-' ? KMinFontHeight : KMaxFontHeight;
    return static_cast<int>(std::clamp<long long>(value, KMinFontHeight, KMaxFontHeight));
}

std::vector<std::string> FontChoices(const std::vector<std::string>& AFixedFonts,
                                     const std::string& AConfigured) {
    std::vector<std::string> fonts = AFixedFonts;
    if (!AConfigured.empty() && std::find(fonts.begin(), fonts.end(), AConfigured) == fonts.end())
        fonts.insert(fonts.begin(), AConfigured);
    return fonts;
}

const TKvColors& PaletteColors(TKvPalette APalette) {
    switch (APalette) {
    case plClassic:
        return KClassicPalette;
    case plLight:
        return KLightPalette;
    default:
        return KDefaultPalette;
    }
}

bool IsExistingFile(const std::string& APath) {
    struct stat info;
    return !APath.empty() && ::stat(APath.c_str(), &info) == 0 && !S_ISDIR(info.st_mode);
}

TKvProgramCheck CheckPrograms(bool AViewerOther, std::string_view AViewerPath, bool AEditorOther,
                              std::string_view AEditorPath,
                              const std::function<bool(const std::string&)>& AIsFile) {
    TKvProgramCheck check;
    if (AViewerOther && !AIsFile(std::string(TrimmedView(AViewerPath)))) {
        check.Viewer = true;
        check.Message =
            "The viewer program can not be found. Choose it again, or choose the usual viewer.";
    } else if (AEditorOther && !AIsFile(std::string(TrimmedView(AEditorPath)))) {
        check.Message =
            "The editor program can not be found. Choose it again, or choose the usual editor.";
    }
    return check;
}

std::string ProgramSetting(bool AOther, std::string_view APath) {
    return AOther ? std::string(TrimmedView(APath)) : std::string();
}

} // namespace kv
