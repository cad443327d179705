#include "Kv.Settings.h"

#include <functional>
#include <gtest/gtest.h>
#include <ostream>

#include "Kv.FileUtil.h"
#include "Kv.Log.h"
#include "Kv.State.h"
#include "KvTestSupport.h"

namespace kv {

// Failures show the record as its file text.
void PrintTo(const TKvSettings& ASettings, std::ostream* AOut) {
    *AOut << SettingsToJson(ASettings);
}

namespace {

struct TReadCase {
    const char* Name;
    std::string Text;
    // Turns the defaults into what the text should give.
    std::function<void(TKvSettings&)> Expect;
};

void NoChange(TKvSettings&) {}

TEST(SettingsRead, FollowsTheRulesForEachKey) {
    const TReadCase cases[] = {
        {"height below range", R"({"fontHeight": 8})", NoChange},
        {"height above range", R"({"fontHeight": 33})", NoChange},
        {"height at low end", R"({"fontHeight": 9})", [](auto& s) { s.FontHeight = 9; }},
        {"height at high end", R"({"fontHeight": 32})", [](auto& s) { s.FontHeight = 32; }},
        {"half rounds down to even", R"({"fontHeight": 12.5})", [](auto& s) { s.FontHeight = 12; }},
        {"half rounds up to even", R"({"fontHeight": 13.5})", [](auto& s) { s.FontHeight = 14; }},
        {"range checked before rounding", R"({"fontHeight": 8.6})", NoChange},
        {"fraction inside range", R"({"fontHeight": 31.6})", [](auto& s) { s.FontHeight = 32; }},
        {"fraction above range", R"({"fontHeight": 32.4})", NoChange},
        {"height as text", R"({"fontHeight": "20"})", NoChange},
        {"huge height", R"({"fontHeight": 1e300})", NoChange},
        {"font name trimmed", R"({"fontName": "  Hack \t"})", [](auto& s) { s.FontName = "Hack"; }},
        {"font name of spaces", R"({"fontName": "   "})", NoChange},
        {"font name empty", R"({"fontName": ""})", NoChange},
        {"font name not text", R"({"fontName": 12})", NoChange},
        {"flags need true", R"({"showHidden": true, "showSystem": "true", "logConsole": 1})",
         [](auto& s) { s.ShowHidden = true; }},
        {"system and console", R"({"showSystem": true, "logConsole": true})",
         [](auto& s) { s.ShowSystem = s.LogConsole = true; }},
        {"logging off", R"({"logging": false})", [](auto& s) { s.LogEnabled = false; }},
        {"logging as text stays on", R"({"logging": "false"})", NoChange},
        {"logging null stays on", R"({"logging": null})", NoChange},
        {"programs trimmed", R"({"viewerExe": " /usr/bin/less ", "editorExe": "vim\n"})",
         [](auto& s) {
             s.ViewerExe = "/usr/bin/less";
             s.EditorExe = "vim";
         }},
        {"program not text", R"({"viewerExe": ["x"], "editorExe": false})", NoChange},
        {"compare values",
         R"({"compare": {"subfolders": false, "showSame": true, "ignoreLineEndings": false,
                         "ignoreCase": "yes", "exclude": "*.o;.git"}})",
         [](auto& s) {
             s.Compare.Subfolders = false;
             s.Compare.ShowSame = true;
             s.Compare.IgnoreEol = false;
             s.Compare.Exclude = "*.o;.git";
         }},
        {"compare exclude not text", R"({"compare": {"exclude": 3, "showRightOnly": false}})",
         [](auto& s) { s.Compare.ShowRightOnly = false; }},
        {"compare not an object", R"({"compare": [true]})", NoChange},
        {"colour upper case", R"({"colors": {"background": "#A0b0C0"}})",
         [](auto& s) { s.Colors[csBackground] = KvRgb(0xa0, 0xb0, 0xc0); }},
        {"colour faults give the slot default",
         R"({"colors": {"text": "123456", "bars": "#12345", "marked": 255, "folders": "#0000ff",
                        "hidden": "#1234567"}})",
         [](auto& s) { s.Colors[csFolders] = KvRgb(0, 0, 0xff); }},
        {"colors not an object", R"({"colors": "#000000"})", NoChange},
        {"version is not read", R"({"version": 7, "fontHeight": 20})",
         [](auto& s) { s.FontHeight = 20; }},
        {"parser skips a byte-order mark", "\xEF\xBB\xBF{\"fontHeight\": 20}",
         [](auto& s) { s.FontHeight = 20; }},
        {"array", R"([{"fontHeight": 20}])", NoChange},
        {"empty", "", NoChange},
        {"truncated", R"({"fontHeight": 20, )", NoChange},
        {"trailing text", R"({"fontHeight": 20} x)", NoChange},
        {"comment", "// mine\n{\"fontHeight\": 20}", NoChange},
        {"string that is not UTF-8", "{\"fontHeight\": 20, \"fontName\": \"caf\xE9\"}", NoChange},
    };
    for (const TReadCase& c : cases) {
        SCOPED_TRACE(c.Name);
        TKvSettings expected;
        c.Expect(expected);
        // Start from something else: nothing of the previous contents may survive.
        TKvSettings actual;
        actual.FontHeight = 30;
        actual.ViewerExe = "old";
        actual.Colors[csText] = 1;
        ParseSettings(c.Text, actual);
        EXPECT_EQ(actual, expected);
    }
}

TEST(SettingsColor, HexConversion) {
    const TKvColor fallback = KvRgb(1, 2, 3);
    const struct {
        const char* Text;
        TKvColor Expected;
    } cases[] = {
        {"#408080", KvRgb(0x40, 0x80, 0x80)},
        {"#A0b0C0", KvRgb(0xa0, 0xb0, 0xc0)},
        {"#ff0000", KvRgb(0xff, 0, 0)},
        {"#000000", 0},
        {"", fallback},
        {"#", fallback},
        {"408080", fallback},
        {"#40808", fallback},
        {"#4080800", fallback},
        {"#40808g", fallback},
        {"+408080", fallback},
        {"#+1+1+1", fallback},
        {"#-1-1-1", fallback},
        {"# f f f", fallback},
        {"#0x0x0x", fallback},
    };
    for (const auto& c : cases)
        EXPECT_EQ(HexToColor(c.Text, fallback), c.Expected) << c.Text;

    EXPECT_EQ(ColorToHex(KvRgb(0xa0, 0x0b, 0xc0)), "#a00bc0");
    // Only the three colour bytes are written.
    EXPECT_EQ(ColorToHex(0xff0000ffu), "#ff0000");
    for (TKvColor color : KClassicPalette)
        EXPECT_EQ(HexToColor(ColorToHex(color), fallback), color);
}

TEST(SettingsWrite, DefaultFileIsExact) {
    const char* expected = R"({
  "version": 1,
  "fontHeight": 13,
  "fontName": "DejaVu Sans Mono",
  "showHidden": false,
  "showSystem": false,
  "logging": true,
  "logConsole": false,
  "compare": {
    "subfolders": true,
    "ignoreLineEndings": true,
    "ignoreBom": false,
    "ignoreTrailingSpace": true,
    "ignoreSpaceChange": false,
    "ignoreEndBlankLines": true,
    "ignoreCase": false,
    "showSame": false,
    "showDiffer": true,
    "showLeftOnly": true,
    "showRightOnly": true,
    "exclude": ""
  },
  "colors": {
    "background": "#408080",
    "text": "#c0c0c0",
    "fileNames": "#55ffff",
    "folders": "#ffffff",
    "marked": "#ffff55",
    "hidden": "#c0c0c0",
    "bars": "#8385d8",
    "terminalBackground": "#000000",
    "terminalText": "#c0c0c0"
  }
})";
    TKvSettings settings;
    DefaultSettings(settings);
    EXPECT_EQ(SettingsToJson(settings), expected);
}

TKvSettings Unusual() {
    TKvSettings settings;
    settings.FontHeight = 21;
    settings.FontName = "Noto Sans Mono \xE2\x80\x94 \"CJK\"";
    settings.Colors = KLightPalette;
    settings.ShowHidden = true;
    settings.ShowSystem = true;
    settings.LogEnabled = false;
    settings.LogConsole = true;
    settings.ViewerExe = "/opt/view\\er/bin/v";
    settings.EditorExe = "/usr/bin/kate";
    settings.Compare = {false, false,           true, false, true,  false,
                        true,  "*.bak;\"odd\"", true, false, false, false};
    return settings;
}

TEST(SettingsWrite, EveryFieldSurvivesTheText) {
    TKvSettings original = Unusual();
    std::string text = SettingsToJson(original);
    EXPECT_NE(text.find("\"viewerExe\": \"/opt/view\\\\er/bin/v\",\n  \"editorExe\""),
              std::string::npos)
        << text;
    TKvSettings read;
    ParseSettings(text, read);
    EXPECT_EQ(read, original);
}

TEST(SettingsWrite, BytesThatAreNotUtf8BecomeReplacementCharacters) {
    TKvSettings settings;
    settings.ViewerExe = "/opt/caf\xE9/view";
    std::string text;
    ASSERT_NO_THROW(text = SettingsToJson(settings));
    TKvSettings read;
    ParseSettings(text, read);
    EXPECT_EQ(read.ViewerExe, "/opt/caf\xEF\xBF\xBD/view");
}

// Leaves the process-wide settings, log flag and listener as a fresh process has them.
class SettingsCurrent : public ::testing::Test {
protected:
    void TearDown() override {
        SetSettingsListener(nullptr);
        SetCurrentSettings(TKvSettings());
        SetLogEnabled(true);
    }
    test::TTempDir FDir;
};

TEST_F(SettingsCurrent, ApplySetsTheLogFlagAndTellsTheListener) {
    int calls = 0;
    TKvSettings seen;
    SetSettingsListener([&](const TKvSettings& ASettings) {
        ++calls;
        seen = ASettings;
    });
    TKvSettings settings = Unusual();
    ApplySettings(settings);
    EXPECT_FALSE(LogEnabled());
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(seen, settings);

    settings.LogEnabled = true;
    ApplySettings(settings);
    EXPECT_TRUE(LogEnabled());
    EXPECT_EQ(calls, 2);

    SetSettingsListener(nullptr);
    ApplySettings(settings);
    EXPECT_EQ(calls, 2);
}

TEST_F(SettingsCurrent, LoadMakesTheFileCurrentAndAppliesIt) {
    std::string path = FDir / "settings.json";
    test::WriteFile(path, R"({"fontHeight": 16, "logging": false})");
    TKvSettings seen;
    SetSettingsListener([&](const TKvSettings& ASettings) { seen = ASettings; });

    LoadSettings(path);
    TKvSettings expected;
    expected.FontHeight = 16;
    expected.LogEnabled = false;
    EXPECT_EQ(CurrentSettings(), expected);
    EXPECT_EQ(seen, expected);
    EXPECT_FALSE(LogEnabled());

    LoadSettings(FDir / "missing.json");
    EXPECT_EQ(CurrentSettings(), TKvSettings());
    EXPECT_TRUE(LogEnabled());
}

TEST_F(SettingsCurrent, SaveWritesTheCurrentSettingsIntoANewFolder) {
    SetCurrentSettings(Unusual());
    std::string path = FDir / "not/yet/there/settings.json";
    ASSERT_TRUE(SaveSettings(path));
    EXPECT_EQ(test::ReadFile(path), SettingsToJson(Unusual()));

    SetCurrentSettings(TKvSettings());
    LoadSettings(path);
    EXPECT_EQ(CurrentSettings(), Unusual());
}

TEST_F(SettingsCurrent, SaveReportsFailure) {
    // A regular file where the folder should be.
    test::WriteFile(FDir / "blocker", "x");
    EXPECT_FALSE(SaveSettings(FDir / "blocker/settings.json"));
}

TEST_F(SettingsCurrent, UnusableSettingsAndStateAreKeptAsideAndReported) {
    const std::string deep = "{\"a\":" + std::string(200000, '[') + std::string(200000, ']') + ",\"b\":1}";
    const struct {
        const char* Name;
        std::string Text;
    } cases[] = {
        {"nested 200,000 deep", deep},
        {"cut off", "{\"fontHeight\": 16, "},
        {"not an object", "[1]"},
        {"far larger than such a file", "{\"a\": \"" + std::string(KMaxSmallFileSize, 'x') + "\"}"},
    };
    // Each file through its own loader: the problem sentence, or empty when all was well.
    const struct {
        const char* File;
        std::function<std::string(const std::string&)> Load;
    } files[] = {
        {"settings.json", [](const std::string& APath) { return LoadSettings(APath); }},
        {"state.json",
         [](const std::string& APath) {
             TKvAppState state;
             std::string problem = LoadAppState(APath, state);
             EXPECT_EQ(state, TKvAppState());
             return problem;
         }},
    };
    for (const auto& file : files) {
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(file.File) + ": " + c.Name);
            test::TTempDir dir;
            std::string path = dir / file.File;
            test::WriteFile(path, c.Text);
            std::string problem = file.Load(path);
            EXPECT_NE(problem.find(" could not be read; kept as " + std::string(file.File) + ".unreadable."),
                      std::string::npos)
                << problem;
            EXPECT_EQ(CurrentSettings(), TKvSettings());
            EXPECT_FALSE(test::Exists(path)) << "the next save would have replaced it";
            EXPECT_TRUE(test::ReadFile(path + ".unreadable") == c.Text);

            // A second damaged file does not replace the first copy.
            test::WriteFile(path, "x");
            EXPECT_NE(file.Load(path).find(std::string(file.File) + ".unreadable.2."), std::string::npos);
            EXPECT_EQ(test::ReadFile(path + ".unreadable.2"), "x");
        }
        test::TTempDir dir;
        EXPECT_EQ(file.Load(dir / "missing.json"), "") << "a missing file is not a problem";
    }
}

} // namespace

} // namespace kv
