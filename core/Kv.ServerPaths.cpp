#include "Kv.ServerPaths.h"

#include <algorithm>

#include "Kv.Log.h"

namespace kv {

std::vector<std::string> SplitServerPath(std::string_view APath) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= APath.size()) {
        size_t end = APath.find('/', start);
        if (end == std::string_view::npos)
            end = APath.size();
        const std::string_view part = APath.substr(start, end - start);
        if (part == "..") {
            if (!parts.empty())
                parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.emplace_back(part);
        }
        start = end + 1;
    }
    return parts;
}

std::string JoinServerPath(const std::vector<std::string>& AParts, size_t ACount) {
    std::string path;
    for (size_t i = 0; i < ACount && i < AParts.size(); ++i) {
        path += '/';
        path += AParts[i];
    }
    return path.empty() ? "/" : path;
}

bool IsUnsafeListedName(std::string_view AName) {
    if (AName.empty() || AName == "." || AName == "..")
        return true;
    return std::any_of(AName.begin(), AName.end(), [](char AChar) {
        const auto byte = static_cast<unsigned char>(AChar);
        return byte == '/' || byte < 0x20 || byte == 0x7F;
    });
}

std::string ShownName(std::string_view AName) {
    static const char KHex[] = "0123456789abcdef";
    std::string shown;
    for (char c : AName) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            shown += "\\x";
            shown += KHex[byte >> 4];
            shown += KHex[byte & 15];
        } else {
            shown += c;
        }
    }
    return shown;
}

int DropUnsafeNames(TKvFileEntries& AEntries, std::string_view AWhere) {
    const auto dropped = std::erase_if(AEntries, [&](const TKvFileEntry& AEntry) {
        if (!IsUnsafeListedName(AEntry.Name))
            return false;
        Log("list: left out the name [" + ShownName(AEntry.Name) + "] in " + std::string(AWhere) +
            ": it cannot be a file name");
        return true;
    });
    return static_cast<int>(dropped);
}

void TKvLeftOutByFolder::Record(const std::string& AFolder, int ACount) {
    std::lock_guard lock(FLock);
    if (ACount > 0)
        FCounts[AFolder] = ACount;
    else
        FCounts.erase(AFolder);
}

int TKvLeftOutByFolder::In(const std::string& AFolder) const {
    std::lock_guard lock(FLock);
    const auto found = FCounts.find(AFolder);
    return found == FCounts.end() ? 0 : found->second;
}

std::string LeftOutText(int ACount) {
    return std::to_string(ACount) + (ACount == 1 ? " name was" : " names were") +
           " left out: the server sent names that cannot be files (the log names them)";
}

} // namespace kv
