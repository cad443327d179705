// Plays the other side of a shell for a terminal half: what the test sends arrives as the
// shell's output, what the half writes is recorded.
#pragma once

#include <mutex>
#include <string>
#include <utility>

#include "Kv.Shell.h"

namespace kv::test {

class TScriptedShell : public IKvSshShell {
public:
    void Start(int, int) override { Started = true; }
    void Write(const std::string& AData) override {
        std::lock_guard lock(FLock);
        FWritten += AData;
    }
    void Resize(int, int) override {}
    void SetEvents(TKvShellDataEvent AOnData, TKvShellEndedEvent AOnEnded,
                   TKvShellStatusEvent AOnStatus) override {
        FEvents.Set(std::move(AOnData), std::move(AOnEnded), std::move(AOnStatus));
    }
    void Close() override { Closed = true; }
    std::string LearnedSecret() override { return ""; }

    void Send(const std::string& AData) { FEvents.Data(AData); }
    void End(const std::string& AReason) { FEvents.Ended(AReason); }
    std::string TakeWritten() {
        std::lock_guard lock(FLock);
        return std::exchange(FWritten, {});
    }
    bool Started = false, Closed = false;

private:
    std::mutex FLock;
    std::string FWritten;
    TKvShellEvents FEvents;
};

} // namespace kv::test
