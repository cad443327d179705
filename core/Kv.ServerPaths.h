// Paths on servers and names in listings. On every server "/" is the only separator: "\" is an
// ordinary character of a Unix name (and Windows servers also speak "/" on the wire).
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "Kv.FileSystem.h"

namespace kv {

// The parts of a path: empty and "." parts vanish, ".." climbs but never above the root.
std::vector<std::string> SplitServerPath(std::string_view APath);
// "/" + the first ACount parts joined with "/", or "/" for none.
std::string JoinServerPath(const std::vector<std::string>& AParts, size_t ACount);
inline std::string JoinServerPath(const std::vector<std::string>& AParts) {
    return JoinServerPath(AParts, AParts.size());
}

// A listed name that must never become a path or reach the screen: empty, "." or "..", with "/",
// NUL or another control character. A server or archive that sends one is broken or hostile.
bool IsUnsafeListedName(std::string_view AName);

// The name as a log line can show it: control bytes as "\xNN".
std::string ShownName(std::string_view AName);

// Drops the entries with unsafe names, logs each with AWhere (the folder), and returns how many.
int DropUnsafeNames(TKvFileEntries& AEntries, std::string_view AWhere);

// How many names the last listing of each folder left out, for file systems that filter their
// listings: the panel and a copy ask for it after listing. Only folders with some are kept.
class TKvLeftOutByFolder {
public:
    void Record(const std::string& AFolder, int ACount);
    int In(const std::string& AFolder) const;

private:
    mutable std::mutex FLock;
    std::map<std::string, int> FCounts;
};

// Text for "N names were left out" after a listing or a copy.
std::string LeftOutText(int ACount);

} // namespace kv
