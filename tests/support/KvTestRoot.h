// A fresh folder for one test program: HOME, XDG_* and TMPDIR point below it, so nothing a test
// runs touches the real user's files. Header-only: the fuzz replays use it without GoogleTest.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/stat.h>

namespace kv::test {

// The new folder (below $KV_TEST_BASE or /tmp), or empty when it cannot be made.
inline std::string MakeTestRoot() {
    const char* base = std::getenv("KV_TEST_BASE");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/kvtest-XXXXXX";
    if (!::mkdtemp(pattern.data())) {
        std::perror("mkdtemp");
        return std::string();
    }
    // Open enough for the tests that run a step as "nobody".
    ::chmod(pattern.c_str(), 0755);
    for (const char* sub : {"home", "config", "data", "cache", "tmp"})
        std::filesystem::create_directories(pattern + "/" + sub);
    ::setenv("HOME", (pattern + "/home").c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (pattern + "/config").c_str(), 1);
    ::setenv("XDG_DATA_HOME", (pattern + "/data").c_str(), 1);
    ::setenv("XDG_CACHE_HOME", (pattern + "/cache").c_str(), 1);
    ::setenv("TMPDIR", (pattern + "/tmp").c_str(), 1);
    return pattern;
}

} // namespace kv::test
