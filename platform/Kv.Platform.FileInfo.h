// What statx tells about one file, for the properties window.
#pragma once

#include <cstdint>
#include <string>

namespace kv {

struct TKvFileTime {
    int64_t Seconds = 0;
    int64_t Nanoseconds = 0;
    bool Known = false;
};

struct TKvFileInfo {
    uint32_t Mode = 0; // type and permission bits of the name itself (a link is a link)
    uint64_t Size = 0;
    std::string User, Group; // names, or the numbers when there are none
    TKvFileTime Born, Modified, Accessed, Changed;
    std::string LinkTarget;   // a link's text
    uint32_t TargetMode = 0;  // what a link leads to; 0 when it leads nowhere
};

// Reads the name without following a link (and, for a link, its text and its target's type).
// 0, or the errno of the failure.
int ReadFileInfo(const std::string& APath, TKvFileInfo& AInfo);

} // namespace kv
