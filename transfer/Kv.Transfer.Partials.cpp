#include "Kv.Transfer.Partials.h"

#include <map>
#include <mutex>
#include <nlohmann/json.hpp>

#include "Kv.FileUtil.h"
#include "Kv.Text.h"

namespace kv {

namespace {

// More partial files than a user leaves behind; beyond it the oldest are forgotten.
constexpr size_t KMaxPartials = 200;

struct TStore {
    std::mutex Lock;
    // Key -> (age, partial); the age orders them for the bound.
    std::map<std::string, std::pair<uint64_t, TKvPartial>> Partials;
    uint64_t Age = 0;
    bool Loaded = false;
    std::string File;
};

TStore& Store() {
    static TStore store;
    return store;
}

std::string KeyOf(const std::string& ADestFs, const std::string& ATarget) {
    return ADestFs + '\n' + ATarget;
}

std::string FileOf(const TStore& AStore) {
    return AStore.File.empty() ? DataFolder() + "/partials.json" : AStore.File;
}

std::string Text(const nlohmann::json& AObject, const char* AName) {
    auto it = AObject.find(AName);
    return it != AObject.end() && it->is_string() ? it->get<std::string>() : std::string();
}

void LoadLocked(TStore& AStore) {
    if (AStore.Loaded)
        return;
    AStore.Loaded = true;
    std::string text;
    if (LoadSmallFile(FileOf(AStore), text) != frLoaded || !JsonNestingWithin(text))
        return;
    const nlohmann::json root = nlohmann::json::parse(text, nullptr, false);
    auto list = root.is_object() ? root.find("partials") : root.end();
    if (!root.is_object() || list == root.end() || !list->is_array())
        return;
    for (const auto& item : *list) {
        if (!item.is_object())
            continue;
        TKvPartial partial;
        partial.Temporary = Text(item, "temporary");
        partial.SourceFs = Text(item, "sourceFs");
        partial.Source = Text(item, "source");
        const std::string destFs = Text(item, "destFs"), target = Text(item, "target");
        auto size = item.find("size");
        auto modified = item.find("modified");
        if (partial.Temporary.empty() || destFs.empty() || target.empty() || size == item.end() ||
            !size->is_number_integer() || modified == item.end() || !modified->is_number())
            continue;
        partial.Size = size->get<int64_t>();
        partial.Modified = modified->get<double>();
        AStore.Partials[KeyOf(destFs, target)] = {++AStore.Age, partial};
    }
}

// Written at every change: a partial file outlives the program that left it.
void SaveLocked(TStore& AStore) {
    nlohmann::json list = nlohmann::json::array();
    for (const auto& [key, entry] : AStore.Partials) {
        const size_t cut = key.find('\n');
        const TKvPartial& partial = entry.second;
        list.push_back({{"destFs", key.substr(0, cut)},
                        {"target", key.substr(cut + 1)},
                        {"temporary", partial.Temporary},
                        {"sourceFs", partial.SourceFs},
                        {"source", partial.Source},
                        {"size", partial.Size},
                        {"modified", partial.Modified}});
    }
    const nlohmann::json root = {{"partials", list}};
    SaveTextAtomic(FileOf(AStore),
                   root.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n", 0600);
}

} // namespace

void RememberPartial(const std::string& ADestFs, const std::string& ATarget, const TKvPartial& APartial) {
    TStore& store = Store();
    std::lock_guard lock(store.Lock);
    LoadLocked(store);
    store.Partials[KeyOf(ADestFs, ATarget)] = {++store.Age, APartial};
    while (store.Partials.size() > KMaxPartials) {
        auto oldest = store.Partials.begin();
        for (auto it = store.Partials.begin(); it != store.Partials.end(); ++it)
            if (it->second.first < oldest->second.first)
                oldest = it;
        store.Partials.erase(oldest);
    }
    SaveLocked(store);
}

bool FindPartial(const std::string& ADestFs, const std::string& ATarget, TKvPartial& APartial) {
    TStore& store = Store();
    std::lock_guard lock(store.Lock);
    LoadLocked(store);
    auto it = store.Partials.find(KeyOf(ADestFs, ATarget));
    if (it == store.Partials.end())
        return false;
    APartial = it->second.second;
    return true;
}

void ForgetPartial(const std::string& ADestFs, const std::string& ATarget) {
    TStore& store = Store();
    std::lock_guard lock(store.Lock);
    LoadLocked(store);
    if (store.Partials.erase(KeyOf(ADestFs, ATarget)) > 0)
        SaveLocked(store);
}

void SetPartialsFile(const std::string& APath) {
    TStore& store = Store();
    std::lock_guard lock(store.Lock);
    store.File = APath;
    store.Partials.clear();
    store.Loaded = false;
}

} // namespace kv
