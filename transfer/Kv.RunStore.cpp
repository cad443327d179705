#include "Kv.RunStore.h"

#include <mutex>
#include <nlohmann/json.hpp>

#include "Kv.FileUtil.h"
#include "Kv.Text.h"

namespace kv {

namespace {

std::mutex GLock;
std::map<std::string, TKvRunMemory> GMemory;
bool GLoaded = false;
std::string GFile;

std::string FileLocked() { return GFile.empty() ? DataFolder() + "/runas.json" : GFile; }

std::string StringMember(const nlohmann::json& AObject, const char* AName) {
    auto it = AObject.find(AName);
    return it != AObject.end() && it->is_string() ? it->get<std::string>() : std::string();
}

void LoadLocked() {
    if (GLoaded)
        return;
    GLoaded = true;
    std::string text;
    if (LoadSmallFile(FileLocked(), text) != frLoaded || !JsonNestingWithin(text))
        return;
    nlohmann::json root = nlohmann::json::parse(text, nullptr, false);
    if (!root.is_object())
        return;
    auto files = root.find("files");
    if (files == root.end() || !files->is_object())
        return;
    for (auto it = files->begin(); it != files->end(); ++it) {
        if (!it.value().is_object())
            continue;
        TKvRunMemory memory;
        memory.Params = StringMember(it.value(), "parameters");
        memory.AdminParams = StringMember(it.value(), "adminParameters");
        memory.OpenWith = StringMember(it.value(), "openWith");
        auto admin = it.value().find("lastAdmin");
        memory.LastAdmin = admin != it.value().end() && admin->is_boolean() && admin->get<bool>();
        memory.Known = true;
        GMemory[it.key()] = memory;
    }
}

void SaveLocked() {
    nlohmann::ordered_json files = nlohmann::ordered_json::object();
    for (const auto& [key, memory] : GMemory) {
        nlohmann::ordered_json item;
        item["parameters"] = memory.Params;
        item["adminParameters"] = memory.AdminParams;
        item["lastAdmin"] = memory.LastAdmin;
        if (!memory.OpenWith.empty())
            item["openWith"] = memory.OpenWith;
        files[key] = item;
    }
    nlohmann::ordered_json root;
    root["version"] = 1;
    root["files"] = files;
    // Names that are not UTF-8 are written as replacement characters rather than failing.
    SaveTextAtomic(FileLocked(), root.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n");
}

std::string ExtensionOfName(const std::string& AName) {
    size_t slash = AName.rfind('/');
    std::string name = slash == std::string::npos ? AName : AName.substr(slash + 1);
    size_t dot = name.rfind('.');
    return dot == std::string::npos || dot == 0 ? std::string() : LowerAscii(name.substr(dot));
}

} // namespace

std::string LocalRunKey(const std::string& APath) { return APath; }
std::string TerminalRunKey(const std::string& AConnectionId, const std::string& ASftpPath) {
    return AConnectionId + "|" + ASftpPath;
}
std::string ExtensionRunKey(const std::string& AName) { return "ext|" + ExtensionOfName(AName); }
std::string TerminalExtensionRunKey(const std::string& AName) { return "rext|" + ExtensionOfName(AName); }

void LoadRunMemory() {
    std::lock_guard guard(GLock);
    LoadLocked();
}

TKvRunMemory GetRunMemory(const std::string& AKey) {
    std::lock_guard guard(GLock);
    LoadLocked();
    auto it = GMemory.find(AKey);
    return it == GMemory.end() ? TKvRunMemory() : it->second;
}

void RememberParams(const std::string& AKey, bool AAdmin, const std::string& AParams) {
    std::lock_guard guard(GLock);
    LoadLocked();
    TKvRunMemory& memory = GMemory[AKey];
    (AAdmin ? memory.AdminParams : memory.Params) = AParams;
    memory.LastAdmin = AAdmin;
    memory.Known = true;
    SaveLocked();
}

void RememberOpenWith(const std::string& AKey, const std::string& AProgram) {
    std::lock_guard guard(GLock);
    LoadLocked();
    auto it = GMemory.find(AKey);
    if (it == GMemory.end() && AProgram.empty())
        return;
    GMemory[AKey].OpenWith = AProgram;
    SaveLocked();
}

void SaveRunMemory() {
    std::lock_guard guard(GLock);
    SaveLocked();
}

std::string RunMemoryFile() {
    std::lock_guard guard(GLock);
    return FileLocked();
}

void SetRunMemoryFile(const std::string& APath) {
    std::lock_guard guard(GLock);
    GFile = APath;
    GMemory.clear();
    GLoaded = false;
}

} // namespace kv
