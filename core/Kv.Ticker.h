// A thread that runs one task once a second (keepalives), started by the first Start and
// stopped before the exit handlers run (RegisterExitWait). Kept until the program ends.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include "Kv.Worker.h"

namespace kv {

class TKvTicker {
public:
    explicit TKvTicker(std::function<void()> ATick) : FTick(std::move(ATick)) {}

    // The first call starts the thread; later ones do nothing.
    void Start() {
        std::lock_guard lock(FLock);
        if (FThread.joinable() || FStop)
            return;
        FThread = std::thread([this] { Run(); });
        RegisterExitWait([this](int AWaitMs) { return Stop(AWaitMs); });
    }

private:
    void Run() {
        std::unique_lock lock(FLock);
        while (!FStop) {
            FWake.wait_for(lock, std::chrono::seconds(1));
            if (FStop)
                break;
            lock.unlock();
            FTick();
            lock.lock();
        }
        FStopped = true;
        FWake.notify_all();
    }
    bool Stop(int AWaitMs) {
        std::unique_lock lock(FLock);
        FStop = true;
        FWake.notify_all();
        if (!FWake.wait_for(lock, std::chrono::milliseconds(AWaitMs), [this] { return FStopped; }))
            return false;
        lock.unlock();
        FThread.join();
        return true;
    }

    std::function<void()> FTick;
    std::mutex FLock;
    std::condition_variable FWake;
    std::thread FThread;
    bool FStop = false, FStopped = false;
};

} // namespace kv
