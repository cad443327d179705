// What a terminal half would see of a shell: its output, and the one ended event.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>

#include "Kv.Shell.h"

namespace kv::test {

using namespace std::chrono_literals;

// What a terminal half would see: the output, status texts and the one ended event.
class TShellScreen {
public:
    void Attach(IKvSshShell& AShell) {
        AShell.SetEvents(
            [this](const std::string& AData) {
                std::lock_guard lock(FLock);
                FOutput += AData;
                FCv.notify_all();
            },
            [this](const std::string& AReason) {
                std::lock_guard lock(FLock);
                ++FEndedCount;
                FReason = AReason;
                FCv.notify_all();
            },
            nullptr);
    }
    bool WaitFor(const std::string& AText, std::chrono::milliseconds ALimit = 15s) {
        std::unique_lock lock(FLock);
        return FCv.wait_for(lock, ALimit,
                            [&] { return FOutput.find(AText, FFrom) != std::string::npos; });
    }
    // Later waits look only at output after the last match of AText.
    void SkipPast(const std::string& AText) {
        std::lock_guard lock(FLock);
        auto at = FOutput.find(AText, FFrom);
        if (at != std::string::npos)
            FFrom = at + AText.size();
    }
    // The rest of the line that begins with APrefix, once the line is complete.
    std::string WaitForLine(const std::string& APrefix, std::chrono::milliseconds ALimit = 15s) {
        std::unique_lock lock(FLock);
        size_t at = std::string::npos, end = std::string::npos;
        FCv.wait_for(lock, ALimit, [&] {
            at = FOutput.find(APrefix, FFrom);
            end = at == std::string::npos ? at : FOutput.find('\n', at);
            return end != std::string::npos;
        });
        if (end == std::string::npos)
            return "";
        return FOutput.substr(at + APrefix.size(), end - at - APrefix.size());
    }
    bool WaitEnded(std::chrono::milliseconds ALimit = 15s) {
        std::unique_lock lock(FLock);
        return FCv.wait_for(lock, ALimit, [&] { return FEndedCount > 0; });
    }
    int EndedCount() {
        std::lock_guard lock(FLock);
        return FEndedCount;
    }
    std::string Reason() {
        std::lock_guard lock(FLock);
        return FReason;
    }
    std::string Output() {
        std::lock_guard lock(FLock);
        return FOutput;
    }

private:
    std::mutex FLock;
    std::condition_variable FCv;
    std::string FOutput;
    size_t FFrom = 0;
    int FEndedCount = 0;
    std::string FReason;
};

} // namespace kv::test
