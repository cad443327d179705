#include "Kv.State.h"

#include <functional>
#include <gtest/gtest.h>
#include <ostream>

#include "KvTestSupport.h"

namespace kv {

// Failures show the record as its file text.
void PrintTo(const TKvAppState& AState, std::ostream* AOut) {
    *AOut << AppStateToJson(AState);
}

namespace {

struct TReadCase {
    const char* Name;
    std::string Text;
    // Turns the defaults into what the text should give.
    std::function<void(TKvAppState&)> Expect;
};

void NoChange(TKvAppState&) {}

TKvWindowState Window(int ALeft, int ATop, int AWidth, int AHeight, bool AMaximized) {
    return {true, ALeft, ATop, AWidth, AHeight, AMaximized};
}

std::string Nested(int ALevels) {
    return std::string(ALevels, '[') + std::string(ALevels, ']');
}

TEST(StateRead, FollowsTheRulesForEachKey) {
    const TReadCase cases[] = {
        {"ratio too small", R"({"splitRatio": 0.01})", NoChange},
        {"ratio too large", R"({"splitRatio": 0.99})", NoChange},
        {"ratio kept", R"({"splitRatio": 0.3})", [](auto& s) { s.SplitRatio = 0.3; }},
        {"ratio low end", R"({"splitRatio": 0.02})", [](auto& s) { s.SplitRatio = 0.02; }},
        {"ratio high end", R"({"splitRatio": 0.98})", [](auto& s) { s.SplitRatio = 0.98; }},
        {"ratio as text", R"({"splitRatio": "0.3"})", NoChange},
        {"ratio overflowing", R"({"splitRatio": 1e999})", NoChange},
        {"right in capitals", R"({"activeHalf": "RIGHT"})",
         [](auto& s) { s.ActiveHalf = rhRight; }},
        {"right mixed case", R"({"activeHalf": "Right"})", [](auto& s) { s.ActiveHalf = rhRight; }},
        {"unknown half", R"({"activeHalf": "middle"})", NoChange},
        {"half not text", R"({"activeHalf": 1})", NoChange},

        {"window rounded halves to even",
         R"({"window": {"left": 10.5, "top": 11.5, "width": 800, "height": 600, "maximized": true}})",
         [](auto& s) { s.Window = Window(10, 12, 800, 600, true); }},
        {"window at the limits",
         R"({"window": {"left": -65535, "top": 65535, "width": 100, "height": 32767}})",
         [](auto& s) { s.Window = Window(-65535, 65535, 100, 32767, false); }},
        {"window without height keeps maximized",
         R"({"window": {"left": 0, "top": 0, "width": 800, "maximized": true}})",
         [](auto& s) { s.Window.Maximized = true; }},
        {"width 99", R"({"window": {"left": 0, "top": 0, "width": 99, "height": 600}})", NoChange},
        {"width 32768", R"({"window": {"left": 0, "top": 0, "width": 32768, "height": 600}})",
         NoChange},
        {"width checked before rounding",
         R"({"window": {"left": 0, "top": 0, "width": 99.6, "height": 600}})", NoChange},
        {"left beyond range",
         R"({"window": {"left": -65536, "top": 0, "width": 800, "height": 600}})", NoChange},
        {"left as text", R"({"window": {"left": "0", "top": 0, "width": 800, "height": 600}})",
         NoChange},
        {"maximized as text", R"({"window": {"maximized": "true"}})", NoChange},
        {"window not an object", R"({"window": [0, 0, 800, 600]})", NoChange},

        {"left panel",
         R"({"leftPanel": {"path": "/home/ann", "focus": "a.txt", "sort": "SIZE", "descending": true,
                           "showHidden": true, "sizeColumn": 120.5, "dateColumn": 800}})",
         [](auto& s) { s.Panels[rhLeft] = {"/home/ann", "a.txt", scSize, true, true, 120, 800}; }},
        {"right panel faults",
         R"({"rightPanel": {"path": 5, "focus": null, "sort": "Ext", "descending": 1,
                            "showHidden": "yes", "sizeColumn": 900, "dateColumn": 39}})",
         [](auto& s) { s.Panels[rhRight].Sort = scExt; }},
        {"columns at the limits", R"({"rightPanel": {"sizeColumn": 40, "dateColumn": 800}})",
         [](auto& s) {
             s.Panels[rhRight].SizeColumn = 40;
             s.Panels[rhRight].DateColumn = 800;
         }},
        {"sort by time", R"({"leftPanel": {"sort": "Time"}})",
         [](auto& s) { s.Panels[rhLeft].Sort = scTime; }},
        {"unknown sort", R"({"leftPanel": {"sort": "date"}})", NoChange},
        {"sort as number", R"({"leftPanel": {"sort": 2}})", NoChange},
        {"panel not an object", R"({"leftPanel": "/home"})", NoChange},

        {"sessions kept",
         R"({"leftSession": {"kind": "panel", "connector": "c1", "path": "/srv"},
             "rightSession": {"kind": "shell", "connector": "c2"}})",
         [](auto& s) {
             s.Sessions[rhLeft] = {"panel", "c1", "/srv"};
             s.Sessions[rhRight] = {"shell", "c2", ""};
         }},
        {"unknown kind", R"({"leftSession": {"kind": "ftp", "connector": "c1", "path": "/"}})",
         NoChange},
        {"kind must match exactly", R"({"leftSession": {"kind": "Panel", "connector": "c1"}})",
         NoChange},
        {"empty connector", R"({"rightSession": {"kind": "shell", "connector": ""}})", NoChange},
        {"connector not text", R"({"rightSession": {"kind": "shell", "connector": 7}})", NoChange},
        {"no kind", R"({"rightSession": {"connector": "c1", "path": "/"}})", NoChange},

        {"other paths",
         R"({"otherPaths": [{"connector": "A", "path": "/a"}, {"connector": "", "path": "/x"},
                            {"connector": "B"}, "B", {"connector": "b", "path": ""},
                            {"connector": "C", "path": 5}, {"connector": "a", "path": "/a2"},
                            {"connector": "b", "path": "/b"}]})",
         [](auto& s) {
             s.OtherPaths = {{"A", "/a2"}, {"b", "/b"}};
         }},
        {"other paths not a list", R"({"otherPaths": {"connector": "A", "path": "/a"}})", NoChange},
        {"open folders", R"({"openFolders": ["Work", "", 5, null, "Home", "Work"]})",
         [](auto& s) {
             s.OpenFolders = {"Work", "Home", "Work"};
         }},
        {"open folders not a list", R"({"openFolders": "Work"})", NoChange},

        {"new connection stored compact and escaped",
         R"({"newConnection": {"kind": "sftp", "name": "M\u00fcller\n\u0001", "n": [1, 2.5]}})",
         [](auto& s) {
             s.NewConnection = R"({"kind":"sftp","name":"M\u00fcller\n\u0001","n":[1,2.5]})";
         }},
        {"new connection not an object", R"({"newConnection": "{\"kind\":\"sftp\"}"})", NoChange},
        {"new connection nested a little", "{\"newConnection\": {\"a\": " + Nested(10) + "}}",
         [](auto& s) { s.NewConnection = "{\"a\":" + Nested(10) + "}"; }},
        {"new connection nested too deep", "{\"newConnection\": {\"a\": " + Nested(100) + "}}",
         NoChange},

        {"version and unknown keys ignored", R"({"version": 9, "extra": {}, "splitRatio": 0.25})",
         [](auto& s) { s.SplitRatio = 0.25; }},
        {"array", R"([{"splitRatio": 0.3}])", NoChange},
        {"null", "null", NoChange},
        {"empty", "", NoChange},
        {"truncated", R"({"splitRatio": 0.3,)", NoChange},
        {"trailing text", R"({"splitRatio": 0.3} {})", NoChange},
        {"string that is not UTF-8", "{\"splitRatio\": 0.3, \"openFolders\": [\"\xFF\"]}",
         NoChange},
    };
    for (const TReadCase& c : cases) {
        SCOPED_TRACE(c.Name);
        TKvAppState expected;
        c.Expect(expected);
        // Start from something else: nothing of the previous contents may survive.
        TKvAppState actual;
        actual.SplitRatio = 0.7;
        actual.Sessions[rhLeft] = {"shell", "old", ""};
        actual.OpenFolders = {"old"};
        ParseAppState(c.Text, actual);
        EXPECT_EQ(actual, expected);
    }
}

TEST(StateRead, KeepsAtMostTwoHundredConnections) {
    auto text = [](int ACount, const char* AFixedId) {
        std::string result = R"({"otherPaths": [)";
        for (int i = 0; i < ACount; ++i) {
            std::string id = AFixedId ? AFixedId : "id" + std::to_string(i);
            result += R"({"connector": ")" + id + R"(", "path": "/p)" + std::to_string(i) + "\"},";
        }
        return result + R"({"connector": "last", "path": "/last"}]})";
    };

    TKvAppState state;
    ParseAppState(text(250, nullptr), state);
    ASSERT_EQ(state.OtherPaths.size(), KMaxOtherPaths);
    EXPECT_EQ(state.OtherPaths.front(), (TKvOtherPath{"id0", "/p0"}));
    EXPECT_EQ(state.OtherPaths.back(), (TKvOtherPath{"id199", "/p199"}));
    EXPECT_EQ(OtherPathOf(state, "last"), "");

    // Repeats of one id replace each other and leave room for the rest.
    ParseAppState(text(300, "same"), state);
    EXPECT_EQ(state.OtherPaths, (std::vector<TKvOtherPath>{{"same", "/p299"}, {"last", "/last"}}));
}

TKvAppState FullState() {
    TKvAppState state;
    state.Window = Window(-8, 20, 1280, 800, true);
    state.SplitRatio = 0.375;
    state.ActiveHalf = rhRight;
    state.Panels[rhLeft] = {"/home/ann/src", "main.cpp", scTime, true, true, 96, 140};
    state.Panels[rhRight] = {"/srv/data", "", scExt, false, false, 100, 130};
    state.Sessions[rhLeft] = {"panel", "c7f1", "/var/www"};
    state.Sessions[rhRight] = {"shell", "b2", ""};
    state.OtherPaths = {{"c7f1", "/home/ann/site"}, {"b2", "/tmp"}};
    state.OpenFolders = {"Work", "M\xC3\xBCller \"home\""};
    state.NewConnection = R"({"kind":"sftp","auth":"key","savePassword":false,"hybrid":true})";
    return state;
}

TEST(StateWrite, FullFileIsExact) {
    const char* expected = R"({
  "version": 2,
  "splitRatio": 0.375,
  "activeHalf": "right",
  "window": {
    "left": -8,
    "top": 20,
    "width": 1280,
    "height": 800,
    "maximized": true
  },
  "leftPanel": {
    "path": "/home/ann/src",
    "focus": "main.cpp",
    "sort": "time",
    "descending": true,
    "showHidden": true,
    "sizeColumn": 96,
    "dateColumn": 140
  },
  "leftSession": {
    "kind": "panel",
    "connector": "c7f1",
    "path": "/var/www"
  },
  "rightPanel": {
    "path": "/srv/data",
    "focus": "",
    "sort": "ext",
    "descending": false,
    "showHidden": false,
    "sizeColumn": 100,
    "dateColumn": 130
  },
  "rightSession": {
    "kind": "shell",
    "connector": "b2",
    "path": ""
  },
  "otherPaths": [
    {
      "connector": "c7f1",
      "path": "/home/ann/site"
    },
    {
      "connector": "b2",
      "path": "/tmp"
    }
  ],
  "openFolders": [
    "Work",
    "Müller \"home\""
  ],
  "newConnection": {
    "kind": "sftp",
    "auth": "key",
    "savePassword": false,
    "hybrid": true
  }
})";
    EXPECT_EQ(AppStateToJson(FullState()), expected);
}

TEST(StateWrite, DefaultFileLeavesOutWhatIsEmpty) {
    const char* expected = R"({
  "version": 2,
  "splitRatio": 0.5,
  "activeHalf": "left",
  "leftPanel": {
    "path": "",
    "focus": "",
    "sort": "name",
    "descending": false,
    "showHidden": false,
    "sizeColumn": 100,
    "dateColumn": 130
  },
  "rightPanel": {
    "path": "",
    "focus": "",
    "sort": "name",
    "descending": false,
    "showHidden": false,
    "sizeColumn": 100,
    "dateColumn": 130
  }
})";
    TKvAppState state;
    DefaultAppState(state);
    EXPECT_EQ(AppStateToJson(state), expected);

    // A session without a kind and a maximized window that is not valid are not written either.
    state.Sessions[rhRight].ConnectorId = "c1";
    state.Window.Maximized = true;
    EXPECT_EQ(AppStateToJson(state), expected);
}

TEST(StateWrite, NewConnectionOnlyWhenItIsAnObject) {
    const struct {
        std::string Stored;
        const char* Written;
    } cases[] = {
        {"{}", "{}"},
        {R"({"b":1,"a":[true]})", "{\n    \"b\": 1,\n    \"a\": [\n      true\n    ]\n  }"},
        {"", nullptr},
        {"[1]", nullptr},
        {"\"text\"", nullptr},
        {"not json", nullptr},
        {"{\"a\":1} x", nullptr},
        {"{\"a\":" + Nested(100) + "}", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Stored);
        TKvAppState state;
        state.NewConnection = c.Stored;
        std::string text = AppStateToJson(state);
        size_t at = text.find("\"newConnection\": ");
        if (!c.Written) {
            EXPECT_EQ(at, std::string::npos);
            continue;
        }
        ASSERT_NE(at, std::string::npos);
        EXPECT_EQ(text.substr(at + 17), std::string(c.Written) + "\n}");
    }
}

TEST(StateFile, SavesIntoANewFolderAndLoadsBack) {
    test::TTempDir dir;
    std::string path = dir / "new/folder/state.json";
    ASSERT_TRUE(SaveAppState(path, FullState()));
    EXPECT_EQ(test::ReadFile(path), AppStateToJson(FullState()));

    TKvAppState loaded;
    LoadAppState(path, loaded);
    EXPECT_EQ(loaded, FullState());
}

TEST(StateFile, MissingOrBrokenFileGivesDefaults) {
    test::TTempDir dir;
    TKvAppState state = FullState();
    LoadAppState(dir / "missing.json", state);
    EXPECT_EQ(state, TKvAppState());

    test::WriteFile(dir / "state.json", "{\"splitRatio\": 0.3, ");
    state = FullState();
    LoadAppState(dir / "state.json", state);
    EXPECT_EQ(state, TKvAppState());
}

TEST(StateFile, NameThatIsNotUtf8DoesNotStopTheSave) {
    test::TTempDir dir;
    TKvAppState state = FullState();
    state.Panels[rhLeft].Path = "/home/ann/caf\xE9/src";
    std::string path = dir / "state.json";
    ASSERT_TRUE(SaveAppState(path, state));

    TKvAppState loaded;
    LoadAppState(path, loaded);
    // The folder cannot be named exactly; the panel falls back to the nearest existing parent.
    state.Panels[rhLeft].Path = "/home/ann/caf\xEF\xBF\xBD/src";
    EXPECT_EQ(loaded, state);
}

TEST(StateFile, SaveReportsFailure) {
    test::TTempDir dir;
    test::WriteFile(dir / "blocker", "x");
    EXPECT_FALSE(SaveAppState(dir / "blocker/state.json", FullState()));
}

TEST(StateOtherPaths, MatchIdsWithoutRegardToCase) {
    TKvAppState state;
    SetOtherPath(state, "Alpha", "/a");
    SetOtherPath(state, "beta", "/b");
    SetOtherPath(state, "ALPHA", "/a2");
    EXPECT_EQ(state.OtherPaths, (std::vector<TKvOtherPath>{{"Alpha", "/a2"}, {"beta", "/b"}}));
    EXPECT_EQ(OtherPathOf(state, "alpha"), "/a2");
    EXPECT_EQ(OtherPathOf(state, "BETA"), "/b");
    EXPECT_EQ(OtherPathOf(state, "gamma"), "");
    EXPECT_EQ(OtherPathOf(state, "alph"), "");
}

} // namespace

} // namespace kv
