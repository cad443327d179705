// Helpers for archive tests: outside tools that make and check archives, and readers that walk
// a whole archive file system.
#pragma once

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <optional>
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

// Sets TZ for the test's process and the tools it runs; the old zone returns at the end.
class TZone {
public:
    explicit TZone(const char* AZone) {
        if (const char* old = ::getenv("TZ"))
            FOld = old;
        ::setenv("TZ", AZone, 1);
        ::tzset();
    }
    ~TZone() {
        if (FOld)
            ::setenv("TZ", FOld->c_str(), 1);
        else
            ::unsetenv("TZ");
        ::tzset();
    }

private:
    std::optional<std::string> FOld;
};

inline std::string Shown(TKvDateTime AWhen) {
    TKvDateParts p = DecodeDateTime(AWhen);
    char text[32];
    std::snprintf(text, sizeof(text), "%04d-%02d-%02d %02d:%02d:%02d", p.Year, p.Month, p.Day,
                  p.Hour, p.Minute, p.Second);
    return text;
}

// Path to "Modified" as 7-Zip lists it, to the second.
inline std::map<std::string, std::string> SevenZipTimes(const std::string& AZip) {
    std::map<std::string, std::string> times;
    std::string path;
    for (const auto& line : Split(RunCommand(SevenZip() + " l -slt '" + AZip + "'"), '\n')) {
        if (line.rfind("Path = ", 0) == 0)
            path = line.substr(7);
        else if (line.rfind("Modified = ", 0) == 0 && line.size() >= 30)
            times[path] = line.substr(11, 19);
    }
    return times;
}

} // namespace kv::test
