// Helpers for archive tests: outside tools that make and check archives, and readers that walk
// a whole archive file system.
#pragma once

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "Kv.FileSystem.h"
#include "KvTestSupport.h"

namespace kv::test {

// Runs a shell command; the output includes standard error, for failure messages.
inline int Sh(const std::string& ACommand, std::string* AOutput = nullptr) {
    int code = -1;
    std::string output = RunCommand("(" + ACommand + ") 2>&1", &code);
    if (AOutput)
        *AOutput = output;
    return code;
}

// Debian's 7-Zip is "7zz"; p7zip calls itself "7z".
inline const std::string& SevenZip() {
    static const std::string tool = Sh("command -v 7zz >/dev/null") == 0 ? "7zz" : "7z";
    return tool;
}

// Runs a script with Debian's Python (its zipfile and tarfile are the oracles).
inline std::string Python(const std::string& AScript, int* AExitCode = nullptr) {
    static TTempDir scripts;
    static int counter = 0;
    std::string path = scripts / ("s" + std::to_string(++counter) + ".py");
    WriteFile(path, AScript);
    std::string output;
    int code = Sh("/usr/bin/python3 '" + path + "'", &output);
    if (AExitCode)
        *AExitCode = code;
    return output;
}

inline std::string MessageOf(const std::function<void()>& AAction) {
    try {
        AAction();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "(no error)";
}

inline std::string ReadAll(TKvStream& AStream) {
    std::string data;
    char buffer[70000];
    for (;;) {
        int64_t n = AStream.Read(buffer, sizeof(buffer));
        if (n <= 0)
            break;
        data.append(buffer, static_cast<size_t>(n));
    }
    return data;
}

inline std::string ReadEntry(IKvFileSystem& AFs, const std::string& APath) {
    auto stream = AFs.OpenRead(APath);
    return ReadAll(*stream);
}

// Every item below the root as "path" for files and "path/" for folders, sorted, with "/"
// between components whatever the file system's separator.
inline std::vector<std::string> TreeOf(IKvFileSystem& AFs, const std::string& ARoot) {
    std::vector<std::string> out;
    auto token = NewCancelToken();
    std::function<void(const std::string&, const std::string&)> walk =
        [&](const std::string& APath, const std::string& AShown) {
            for (const auto& entry : AFs.List(APath, *token)) {
                std::string shown = AShown.empty() ? entry.Name : AShown + "/" + entry.Name;
                out.push_back(entry.IsDir ? shown + "/" : shown);
                if (entry.IsDir)
                    walk(AFs.Join(APath, entry.Name), shown);
            }
        };
    walk(ARoot, "");
    std::sort(out.begin(), out.end());
    return out;
}

} // namespace kv::test
