#include "Kv.State.h"

#include <cmath>
#include <nlohmann/json.hpp>
#include <utility>

#include "Kv.FileUtil.h"
#include "Kv.Numbers.h"
#include "Kv.Text.h"

namespace kv {

namespace {

// Ordered so that the connections window's object keeps its key order through a load and save.
using TJson = nlohmann::ordered_json;

// Writing a JSON value recurses once per level; a hand-made file must not exhaust the stack.
constexpr int KMaxStoredDepth = 64;

constexpr const char* KHalfPrefix[2] = {"left", "right"};

struct TSortName {
    const char* Name;
    TKvSortColumn Column;
};
constexpr TSortName KSortNames[] = {
    {"name", scName}, {"ext", scExt}, {"size", scSize}, {"time", scTime}};



const TJson* Find(const TJson& AObject, const std::string& AKey) {
    auto it = AObject.find(AKey);
    return it == AObject.end() ? nullptr : &*it;
}

const TJson* FindObject(const TJson& AObject, const std::string& AKey) {
    const TJson* value = Find(AObject, AKey);
    return value && value->is_object() ? value : nullptr;
}

bool IsTrue(const TJson* AValue) {
    return AValue && AValue->is_boolean() && AValue->get<bool>();
}

std::string StringOr(const TJson* AValue) {
    return AValue && AValue->is_string() ? AValue->get<std::string>() : std::string();
}

// The range applies to the number as written, before rounding.
bool NumberIn(const TJson* AValue, double AMin, double AMax, double& ANumber) {
    if (!AValue || !AValue->is_number())
        return false;
    ANumber = AValue->get<double>();
    return std::isfinite(ANumber) && ANumber >= AMin && ANumber <= AMax;
}

int RoundedIn(const TJson* AValue, double AMin, double AMax, int ADefault) {
    double number;
    return NumberIn(AValue, AMin, AMax, number) ? static_cast<int>(RoundHalfEven(number))
                                                : ADefault;
}

// Without recursion, so that the check itself cannot run out of stack.
bool DepthWithin(const TJson& AValue, int ALimit) {
    std::vector<std::pair<const TJson*, int>> pending{{&AValue, 1}};
    while (!pending.empty()) {
        auto [value, depth] = pending.back();
        pending.pop_back();
        if (depth > ALimit)
            return false;
        if (value->is_structured()) {
            for (const TJson& child : *value)
                pending.emplace_back(&child, depth + 1);
        }
    }
    return true;
}

TJson ParseStoredObject(std::string_view AText) {
    if (!JsonNestingWithin(AText, KMaxStoredDepth))
        return TJson();
    TJson value = TJson::parse(AText.begin(), AText.end(), nullptr, false);
    if (!value.is_object() || !DepthWithin(value, KMaxStoredDepth))
        return TJson();
    return value;
}

std::string Dump(const TJson& AValue, int AIndent, bool AAscii) {
    // File names are bytes on Linux; one that is not UTF-8 must not make saving fail.
    return AValue.dump(AIndent, ' ', AAscii, TJson::error_handler_t::replace);
}

void ReadWindow(const TJson& AWindow, TKvWindowState& AState) {
    double left, top, width, height;
    if (NumberIn(Find(AWindow, "left"), -65535, 65535, left) &&
        NumberIn(Find(AWindow, "top"), -65535, 65535, top) &&
        NumberIn(Find(AWindow, "width"), 100, 32767, width) &&
        NumberIn(Find(AWindow, "height"), 100, 32767, height)) {
        AState.Valid = true;
        AState.Left = static_cast<int>(RoundHalfEven(left));
        AState.Top = static_cast<int>(RoundHalfEven(top));
        AState.Width = static_cast<int>(RoundHalfEven(width));
        AState.Height = static_cast<int>(RoundHalfEven(height));
    }
    AState.Maximized = IsTrue(Find(AWindow, "maximized"));
}

void ReadPanel(const TJson& APanel, TKvPanelState& AState) {
    AState.Path = StringOr(Find(APanel, "path"));
    AState.FocusName = StringOr(Find(APanel, "focus"));
    AState.Descending = IsTrue(Find(APanel, "descending"));
    AState.ShowHidden = IsTrue(Find(APanel, "showHidden"));
    std::string sort = StringOr(Find(APanel, "sort"));
    for (const TSortName& name : KSortNames) {
        if (SameTextAscii(sort, name.Name))
            AState.Sort = name.Column;
    }
    AState.SizeColumn = RoundedIn(Find(APanel, "sizeColumn"), 40, 800, 100);
    AState.DateColumn = RoundedIn(Find(APanel, "dateColumn"), 40, 800, 130);
}

void ReadSession(const TJson& ASession, TKvSessionState& AState) {
    TKvSessionState session{StringOr(Find(ASession, "kind")), StringOr(Find(ASession, "connector")),
                            StringOr(Find(ASession, "path"))};
    if ((session.Kind == KSessionPanel || session.Kind == KSessionShell) &&
        !session.ConnectorId.empty())
        AState = std::move(session);
}

bool ReadAppState(std::string_view AText, TKvAppState& AState) {
    if (!JsonNestingWithin(AText))
        return false;
    TJson root = TJson::parse(AText.begin(), AText.end(), nullptr, false);
    if (!root.is_object())
        return false;

    double ratio;
    if (NumberIn(Find(root, "splitRatio"), 0.02, 0.98, ratio))
        AState.SplitRatio = ratio;
    if (SameTextAscii(StringOr(Find(root, "activeHalf")), "right"))
        AState.ActiveHalf = rhRight;
    if (const TJson* window = FindObject(root, "window"))
        ReadWindow(*window, AState.Window);

    if (const TJson* list = Find(root, "otherPaths"); list && list->is_array()) {
        for (const TJson& item : *list) {
            // The cap counts remembered connections, so repeats of one id do not use it up.
            if (AState.OtherPaths.size() >= KMaxOtherPaths)
                break;
            if (!item.is_object())
                continue;
            std::string id = StringOr(Find(item, "connector"));
            std::string path = StringOr(Find(item, "path"));
            if (!id.empty() && !path.empty())
                SetOtherPath(AState, id, path);
        }
    }

    if (const TJson* list = Find(root, "openFolders"); list && list->is_array()) {
        for (const TJson& item : *list) {
            if (item.is_string() && !item.get_ref<const std::string&>().empty())
                AState.OpenFolders.push_back(item.get<std::string>());
        }
    }

    if (const TJson* stored = FindObject(root, "newConnection");
        stored && DepthWithin(*stored, KMaxStoredDepth))
        AState.NewConnection = Dump(*stored, -1, true);

    for (int half = rhLeft; half <= rhRight; ++half) {
        std::string prefix = KHalfPrefix[half];
        if (const TJson* panel = FindObject(root, prefix + "Panel"))
            ReadPanel(*panel, AState.Panels[half]);
        if (const TJson* session = FindObject(root, prefix + "Session"))
            ReadSession(*session, AState.Sessions[half]);
    }
    return true;
}

const char* SortName(TKvSortColumn AColumn) {
    for (const TSortName& name : KSortNames) {
        if (name.Column == AColumn)
            return name.Name;
    }
    return "name";
}

} // namespace

std::string StatePath() {
    std::string folder = DataFolder();
    if (folder.empty() || folder.back() != '/')
        folder += '/';
    return folder + "state.json";
}

void DefaultAppState(TKvAppState& AState) {
    AState = TKvAppState();
}

bool ParseAppState(std::string_view AText, TKvAppState& AState) {
    TKvAppState state;
    bool usable = false;
    try {
        usable = ReadAppState(AText, state);
    } catch (const std::exception&) {
        state = TKvAppState();
    }
    AState = std::move(state);
    return usable;
}

std::string AppStateToJson(const TKvAppState& AState) {
    TJson root = TJson::object();
    root["version"] = 2;
    root["splitRatio"] = AState.SplitRatio;
    root["activeHalf"] = AState.ActiveHalf == rhRight ? "right" : "left";
    if (AState.Window.Valid) {
        const TKvWindowState& window = AState.Window;
        root["window"] = TJson{{"left", window.Left},
                               {"top", window.Top},
                               {"width", window.Width},
                               {"height", window.Height},
                               {"maximized", window.Maximized}};
    }
    for (int half = rhLeft; half <= rhRight; ++half) {
        std::string prefix = KHalfPrefix[half];
        const TKvPanelState& panel = AState.Panels[half];
        root[prefix + "Panel"] = TJson{{"path", panel.Path},
                                       {"focus", panel.FocusName},
                                       {"sort", SortName(panel.Sort)},
                                       {"descending", panel.Descending},
                                       {"showHidden", panel.ShowHidden},
                                       {"sizeColumn", panel.SizeColumn},
                                       {"dateColumn", panel.DateColumn}};
        const TKvSessionState& session = AState.Sessions[half];
        if (!session.Kind.empty()) {
            root[prefix + "Session"] = TJson{
                {"kind", session.Kind}, {"connector", session.ConnectorId}, {"path", session.Path}};
        }
    }
    if (!AState.OtherPaths.empty()) {
        TJson list = TJson::array();
        for (const TKvOtherPath& other : AState.OtherPaths)
            list.push_back(TJson{{"connector", other.ConnectorId}, {"path", other.Path}});
        root["otherPaths"] = std::move(list);
    }
    if (!AState.OpenFolders.empty())
        root["openFolders"] = AState.OpenFolders;
    if (TJson stored = ParseStoredObject(AState.NewConnection); stored.is_object())
        root["newConnection"] = std::move(stored);
    return Dump(root, 2, false);
}

std::string LoadAppState(const std::string& APath, TKvAppState& AState) {
    std::string text;
    DefaultAppState(AState);
    TKvFileRead read = LoadSmallFile(APath, text);
    if (read == frUnusable || (read == frLoaded && !ParseAppState(text, AState)))
        return SetAsideUnusable(APath, "The window state");
    return std::string();
}

bool SaveAppState(const std::string& APath, const TKvAppState& AState) {
    std::string text;
    try {
        text = AppStateToJson(AState);
    } catch (const std::exception&) {
        return false;
    }
    return SaveTextAtomic(APath, text);
}

std::string OtherPathOf(const TKvAppState& AState, std::string_view AConnectorId) {
    for (const TKvOtherPath& other : AState.OtherPaths) {
        if (SameTextAscii(other.ConnectorId, AConnectorId))
            return other.Path;
    }
    return std::string();
}

void SetOtherPath(TKvAppState& AState, const std::string& AConnectorId, const std::string& APath) {
    for (TKvOtherPath& other : AState.OtherPaths) {
        if (SameTextAscii(other.ConnectorId, AConnectorId)) {
            other.Path = APath;
            return;
        }
    }
    AState.OtherPaths.push_back({AConnectorId, APath});
}

} // namespace kv
