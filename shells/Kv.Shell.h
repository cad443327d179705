// The contract between a terminal half and the shell it shows: SSH, Telnet or the local
// command line. Each shell runs on its own thread and raises its events there.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace kv {

// Bytes from the other side, in order, as they came.
using TKvShellDataEvent = std::function<void(const std::string& AData)>;
// A progress text for the status line; empty clears it.
using TKvShellStatusEvent = std::function<void(const std::string& AText)>;
// The shell has ended: empty for a normal end, otherwise a complete sentence.
using TKvShellEndedEvent = std::function<void(const std::string& AReason)>;

class IKvSshShell {
public:
    virtual ~IKvSshShell() = default;
    // Starts once; returns at once. Later calls do nothing.
    virtual void Start(int ACols, int ARows) = 0;
    // Any thread, any time (also before the shell is up): queued and sent in order.
    virtual void Write(const std::string& AData) = 0;
    virtual void Resize(int ACols, int ARows) = 0;
    // Replaces all three at once; once SetEvents with empty functions returns, no event runs.
    virtual void SetEvents(TKvShellDataEvent AOnData, TKvShellEndedEvent AOnEnded,
                           TKvShellStatusEvent AOnStatus) = 0;
    // Stops the shell from any thread without waiting for it; no ended event follows.
    virtual void Close() = 0;
    // The secret a login accepted when it differs from the saved one; empty otherwise.
    virtual std::string LearnedSecret() = 0;
};

using IKvSshShellPtr = std::shared_ptr<IKvSshShell>;

// The three event references of a shell. Every event runs under the lock that SetEvents takes,
// so clearing them is a barrier; the ended event is raised at most once.
class TKvShellEvents {
public:
    void Set(TKvShellDataEvent AOnData, TKvShellEndedEvent AOnEnded,
             TKvShellStatusEvent AOnStatus) {
        std::lock_guard lock(FLock);
        FOnData = std::move(AOnData);
        FOnEnded = std::move(AOnEnded);
        FOnStatus = std::move(AOnStatus);
    }
    void Clear() { Set(nullptr, nullptr, nullptr); }
    void Data(const std::string& AData) {
        std::lock_guard lock(FLock);
        if (FOnData)
            FOnData(AData);
    }
    void Status(const std::string& AText) {
        std::lock_guard lock(FLock);
        if (FOnStatus)
            FOnStatus(AText);
    }
    void Ended(const std::string& AReason) {
        std::lock_guard lock(FLock);
        if (FEnded)
            return;
        FEnded = true;
        if (FOnEnded)
            FOnEnded(AReason);
    }

private:
    std::mutex FLock;
    TKvShellDataEvent FOnData;
    TKvShellEndedEvent FOnEnded;
    TKvShellStatusEvent FOnStatus;
    bool FEnded = false;
};

} // namespace kv
