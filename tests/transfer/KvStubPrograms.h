// Stand-in programs for tests of what Kolvan starts: each records the argument vector and the
// folder it was started in, so a test sees exactly what reached it.
#pragma once

#include <chrono>
#include <cstdlib>
#include <map>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "KvTestSupport.h"

namespace kv::test {

// pkexec's exit statuses for a dismissed password dialog and for a refusal.
inline constexpr int KPkexecDismissed = 126;
inline constexpr int KPkexecRefused = 127;

struct TStubRun {
    std::vector<std::string> Args; // without the program itself
    std::string Folder;
    bool Ran = false;
};

// A bin folder put first on PATH (and named by KV_STUB_DIR) while the object lives.
class TStubPrograms {
public:
    TStubPrograms() {
        ::mkdir((FDir.Path() + "/bin").c_str(), 0755);
        ::mkdir((FDir.Path() + "/records").c_str(), 0755);
        const char* path = std::getenv("PATH");
        FOldPath = path ? path : "/usr/bin:/bin";
        ::setenv("PATH", (Bin() + ":" + FOldPath).c_str(), 1);
        ::setenv("KV_STUB_DIR", Bin().c_str(), 1);
    }
    ~TStubPrograms() {
        ::setenv("PATH", FOldPath.c_str(), 1);
        ::unsetenv("KV_STUB_DIR");
    }
    std::string Bin() const { return FDir.Path() + "/bin"; }

    // Writes the stub AFolder/AName, which records its run and exits with AExitCode. Returns
    // its path. AThen: shell lines to run before the record is written.
    std::string MakeStub(const std::string& AFolder, const std::string& AName, int AExitCode = 0,
                         const std::string& AThen = {}) {
        std::string key = std::to_string(++FCount);
        FKeys[AName] = key;
        std::string rec = FDir.Path() + "/records/" + key;
        std::string path = AFolder + "/" + AName;
        // The extra lines run first, so what they do is done once the run is recorded.
        WriteFile(path, "#!/bin/sh\n" + AThen +
                        "\n{ pwd -P | tr -d '\\n'; printf '\\0'; for a in \"$@\"; do printf '%s\\0' \"$a\"; done; } > '" +
                            rec + ".tmp' && mv '" + rec + ".tmp' '" + rec + ".rec'\nexit " +
                            std::to_string(AExitCode) + "\n");
        ::chmod(path.c_str(), 0755);
        return path;
    }

    // The next run of the stub called AName (waits up to ten seconds); Ran false when none came.
    TStubRun WaitFor(const std::string& AName) {
        TStubRun run;
        std::string rec = FDir.Path() + "/records/" + FKeys[AName] + ".rec";
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!Exists(rec) && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (!Exists(rec))
            return run;
        std::string data = ReadFile(rec);
        ::unlink(rec.c_str());
        std::vector<std::string> fields;
        size_t start = 0;
        for (size_t i = 0; i < data.size(); ++i) {
            if (data[i] == '\0') {
                fields.push_back(data.substr(start, i - start));
                start = i + 1;
            }
        }
        run.Ran = !fields.empty();
        if (run.Ran) {
            run.Folder = fields[0];
            run.Args.assign(fields.begin() + 1, fields.end());
        }
        return run;
    }

private:
    TTempDir FDir;
    std::string FOldPath;
    std::map<std::string, std::string> FKeys;
    int FCount = 0;
};

} // namespace kv::test
