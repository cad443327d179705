#include "Kv.Settings.h"

#include <cstdio>
#include <mutex>
#include <nlohmann/json.hpp>

#include "Kv.FileUtil.h"
#include "Kv.Log.h"
#include "Kv.Numbers.h"
#include "Kv.Text.h"

namespace kv {

namespace {

using TJson = nlohmann::json;
using TOrderedJson = nlohmann::ordered_json;

struct TCompareFlag {
    const char* Key;
    bool TKvCompareOptions::*Field;
};

// File order; "exclude" follows them.
constexpr TCompareFlag KCompareFlags[] = {
    {"subfolders", &TKvCompareOptions::Subfolders},
    {"ignoreLineEndings", &TKvCompareOptions::IgnoreEol},
    {"ignoreBom", &TKvCompareOptions::IgnoreBom},
    {"ignoreTrailingSpace", &TKvCompareOptions::IgnoreTrailingSpace},
    {"ignoreSpaceChange", &TKvCompareOptions::IgnoreSpaceChange},
    {"ignoreEndBlankLines", &TKvCompareOptions::IgnoreEndBlankLines},
    {"ignoreCase", &TKvCompareOptions::IgnoreCase},
    {"showSame", &TKvCompareOptions::ShowSame},
    {"showDiffer", &TKvCompareOptions::ShowDiffer},
    {"showLeftOnly", &TKvCompareOptions::ShowLeftOnly},
    {"showRightOnly", &TKvCompareOptions::ShowRightOnly},
};

struct TCurrent {
    std::mutex Lock;
    TKvSettings Settings;
    TKvSettingsListener Listener;
};

TCurrent& Current() {
    static TCurrent current;
    return current;
}

const TJson* Find(const TJson& AObject, const std::string& AKey) {
    auto it = AObject.find(AKey);
    return it == AObject.end() ? nullptr : &*it;
}

bool IsTrue(const TJson* AValue) {
    return AValue && AValue->is_boolean() && AValue->get<bool>();
}


TKvColor PaletteColor(const TKvColors& APalette, TKvColorSlot ASlot) {
    if (ASlot < 0 || ASlot >= KColorSlotCount)
        return 0;
    return APalette[ASlot];
}

bool ReadSettings(std::string_view AText, TKvSettings& ASettings) {
    if (!JsonNestingWithin(AText))
        return false;
    TJson root = TJson::parse(AText.begin(), AText.end(), nullptr, false);
    if (!root.is_object())
        return false;

    if (const TJson* value = Find(root, "fontHeight"); value && value->is_number()) {
        // The range applies to the number as written; 8.6 is out even though it rounds to 9.
        double height = value->get<double>();
        if (height >= KMinFontHeight && height <= KMaxFontHeight)
            ASettings.FontHeight = static_cast<int>(RoundHalfEven(height));
    }
    if (const TJson* value = Find(root, "fontName"); value && value->is_string()) {
        std::string name = std::string(TrimmedView(value->get<std::string>()));
        if (!name.empty())
            ASettings.FontName = std::move(name);
    }
    ASettings.ShowHidden = IsTrue(Find(root, "showHidden"));
    ASettings.ShowSystem = IsTrue(Find(root, "showSystem"));
    ASettings.LogConsole = IsTrue(Find(root, "logConsole"));
    if (const TJson* value = Find(root, "logging"); value && value->is_boolean())
        ASettings.LogEnabled = value->get<bool>();
    if (const TJson* value = Find(root, "viewerExe"); value && value->is_string())
        ASettings.ViewerExe = std::string(TrimmedView(value->get<std::string>()));
    if (const TJson* value = Find(root, "editorExe"); value && value->is_string())
        ASettings.EditorExe = std::string(TrimmedView(value->get<std::string>()));

    if (const TJson* compare = Find(root, "compare"); compare && compare->is_object()) {
        TKvCompareOptions options;
        for (const TCompareFlag& flag : KCompareFlags) {
            if (const TJson* value = Find(*compare, flag.Key); value && value->is_boolean())
                options.*flag.Field = value->get<bool>();
        }
        if (const TJson* value = Find(*compare, "exclude"); value && value->is_string())
            options.Exclude = value->get<std::string>();
        ASettings.Compare = std::move(options);
    }

    if (const TJson* colors = Find(root, "colors"); colors && colors->is_object()) {
        for (int slot = 0; slot < KColorSlotCount; ++slot) {
            const TJson* value = Find(*colors, std::string(KColorSlotKeys[slot]));
            if (value && value->is_string())
                ASettings.Colors[slot] =
                    HexToColor(value->get<std::string>(), KDefaultPalette[slot]);
        }
    }
    return true;
}

} // namespace

std::string SettingsPath() {
    std::string folder = DataFolder();
    if (folder.empty() || folder.back() != '/')
        folder += '/';
    return folder + "settings.json";
}

void DefaultSettings(TKvSettings& ASettings) {
    ASettings = TKvSettings();
}

bool ParseSettings(std::string_view AText, TKvSettings& ASettings) {
    TKvSettings settings;
    bool usable = false;
    try {
        usable = ReadSettings(AText, settings);
    } catch (const std::exception&) {
        settings = TKvSettings();
    }
    ASettings = std::move(settings);
    return usable;
}

std::string SettingsToJson(const TKvSettings& ASettings) {
    TOrderedJson root = TOrderedJson::object();
    root["version"] = 1;
    root["fontHeight"] = ASettings.FontHeight;
    root["fontName"] = ASettings.FontName;
    root["showHidden"] = ASettings.ShowHidden;
    root["showSystem"] = ASettings.ShowSystem;
    root["logging"] = ASettings.LogEnabled;
    root["logConsole"] = ASettings.LogConsole;
    if (!ASettings.ViewerExe.empty())
        root["viewerExe"] = ASettings.ViewerExe;
    if (!ASettings.EditorExe.empty())
        root["editorExe"] = ASettings.EditorExe;

    TOrderedJson compare = TOrderedJson::object();
    for (const TCompareFlag& flag : KCompareFlags)
        compare[flag.Key] = ASettings.Compare.*flag.Field;
    compare["exclude"] = ASettings.Compare.Exclude;
    root["compare"] = std::move(compare);

    TOrderedJson colors = TOrderedJson::object();
    for (int slot = 0; slot < KColorSlotCount; ++slot)
        colors[std::string(KColorSlotKeys[slot])] = ColorToHex(ASettings.Colors[slot]);
    root["colors"] = std::move(colors);

    // Paths are bytes on Linux; one that is not UTF-8 must not make saving fail.
    return root.dump(2, ' ', false, TOrderedJson::error_handler_t::replace);
}

std::string LoadSettings() {
    return LoadSettings(SettingsPath());
}

std::string LoadSettings(const std::string& APath) {
    TKvSettings settings;
    std::string text, problem;
    TKvFileRead read = LoadSmallFile(APath, text);
    if (read == frUnusable || (read == frLoaded && !ParseSettings(text, settings)))
        problem = SetAsideUnusable(APath, "The settings");
    SetCurrentSettings(settings);
    ApplySettings(settings);
    return problem;
}

bool SaveSettings() {
    return SaveSettings(SettingsPath());
}

bool SaveSettings(const std::string& APath) {
    std::string text;
    try {
        text = SettingsToJson(CurrentSettings());
    } catch (const std::exception&) {
        return false;
    }
    return SaveTextAtomic(APath, text);
}

TKvSettings CurrentSettings() {
    std::lock_guard lock(Current().Lock);
    return Current().Settings;
}

void SetCurrentSettings(const TKvSettings& ASettings) {
    std::lock_guard lock(Current().Lock);
    Current().Settings = ASettings;
}

void SetSettingsListener(TKvSettingsListener AListener) {
    std::lock_guard lock(Current().Lock);
    Current().Listener = std::move(AListener);
}

void ApplySettings(const TKvSettings& ASettings) {
    SetLogEnabled(ASettings.LogEnabled);
    TKvSettingsListener listener;
    {
        std::lock_guard lock(Current().Lock);
        listener = Current().Listener;
    }
    // Outside the lock: the listener may well read CurrentSettings().
    if (listener)
        listener(ASettings);
}

TKvColor DefaultPaletteColor(TKvColorSlot ASlot) {
    return PaletteColor(KDefaultPalette, ASlot);
}
TKvColor ClassicPaletteColor(TKvColorSlot ASlot) {
    return PaletteColor(KClassicPalette, ASlot);
}
TKvColor LightPaletteColor(TKvColorSlot ASlot) {
    return PaletteColor(KLightPalette, ASlot);
}

std::string ColorToHex(TKvColor AColor) {
    char text[8];
    std::snprintf(text, sizeof text, "#%.2x%.2x%.2x", AColor & 0xff, (AColor >> 8) & 0xff,
                  (AColor >> 16) & 0xff);
    return text;
}

TKvColor HexToColor(std::string_view AText, TKvColor AFallback) {
    if (AText.size() != 7 || AText[0] != '#')
        return AFallback;
    TKvColor color = 0;
    for (int part = 0; part < 3; ++part) {
        // Digits only: no sign, blank or "0x" that a general number parser would let through.
        int high = HexDigitValue(AText[1 + 2 * part]), low = HexDigitValue(AText[2 + 2 * part]);
        if (high < 0 || low < 0)
            return AFallback;
        color |= TKvColor(high * 16 + low) << (8 * part);
    }
    return color;
}

} // namespace kv
