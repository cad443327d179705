// Cancel tokens, single-thread job queues, and delivery of results to the UI thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>

namespace kv {

class IKvCancelToken {
public:
    virtual ~IKvCancelToken() = default;
    virtual bool IsCancelled() const = 0;
    virtual void Cancel() = 0;
};

using IKvCancelTokenPtr = std::shared_ptr<IKvCancelToken>;

class TKvCancelToken final : public IKvCancelToken {
public:
    bool IsCancelled() const override { return FCancelled.load(std::memory_order_acquire) != 0; }
    void Cancel() override { FCancelled.exchange(1, std::memory_order_acq_rel); }

private:
    std::atomic<int32_t> FCancelled{0};
};

// Raised when a cancelled token is checked; never shown to the user as an error.
class EKvCancelled : public std::runtime_error {
public:
    EKvCancelled() : std::runtime_error("Cancelled") {}
};

IKvCancelTokenPtr NewCancelToken();
void CheckCancelled(const IKvCancelToken& AToken);

using TKvWorkProc = std::function<void(const IKvCancelToken&)>;

struct TKvJob {
    TKvWorkProc Work;
    IKvCancelTokenPtr Token;
};

class TKvWorkerThread;

// One thread that runs its jobs in posting order. A job stuck past Stop's wait is abandoned.
class TKvWorker {
public:
    explicit TKvWorker(bool ALowPriority = false);
    ~TKvWorker();
    TKvWorker(const TKvWorker&) = delete;
    TKvWorker& operator=(const TKvWorker&) = delete;

    // Returns the job's own token; after Stop the job is dropped and the token comes back cancelled.
    IKvCancelTokenPtr Post(TKvWorkProc AWork);
    void Stop(uint32_t AWaitMs);

    static bool HasAbandonedThreads();
    static int AbandonedThreadCount();

private:
    std::shared_ptr<TKvWorkerThread> FThread;
};

// Background work that must end before the process's exit handlers run: a connection's teardown
// still inside libcrypto when its atexit cleanup runs crashes the exit. Each library registers
// a wait (true when its work is done within the time) once.
void RegisterExitWait(std::function<bool(int AWaitMs)> AWait);
// Runs the registered waits within AWaitMs in all; false when one ran out of time: the caller
// then leaves with _exit so no exit handler runs under live threads (as with abandoned ones).
bool WaitBeforeExit(int AWaitMs);

// Runs AProc later on the UI thread, unless AToken is cancelled by then.
void KvDeliver(const IKvCancelTokenPtr& AToken, std::function<void()> AProc);

// The UI installs how a procedure is queued to its thread; tests install a queue they pump.
using TKvDispatcher = std::function<void(std::function<void()>)>;
void SetDeliverDispatcher(TKvDispatcher ADispatcher);

} // namespace kv
