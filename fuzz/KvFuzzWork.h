// A private folder for the files one fuzz process writes, below $TMPDIR and removed at exit, so
// neither a long fuzzing run nor the test replays leave anything in a shared folder.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace kv::fuzz {

inline const std::string& WorkFolder() {
    // Never destroyed: the exit handler below still needs it after static destructors ran.
    static const std::string& folder = *new std::string([] {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/kvfuzz-XXXXXX";
        if (!::mkdtemp(pattern.data())) {
            std::perror("mkdtemp");
            std::abort();
        }
        std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(WorkFolder(), ignored);
        });
        return pattern;
    }());
    return folder;
}

} // namespace kv::fuzz
