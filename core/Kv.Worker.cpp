#include "Kv.Worker.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "Kv.Platform.Threads.h"

namespace kv {

namespace {

std::atomic<int> GAbandonedCount{0};

std::mutex GDispatchLock;
TKvDispatcher GDispatcher;

std::mutex GExitWaitLock;
std::vector<std::function<bool(int)>> GExitWaits;

} // namespace

IKvCancelTokenPtr NewCancelToken() { return std::make_shared<TKvCancelToken>(); }

void CheckCancelled(const IKvCancelToken& AToken) {
    if (AToken.IsCancelled())
        throw EKvCancelled();
}

// The thread keeps itself alive through a shared pointer held by its own body, so an
// abandoned thread can finish its job after the worker that owned it is gone.
class TKvWorkerThread : public std::enable_shared_from_this<TKvWorkerThread> {
public:
    void Start(bool ALowPriority) {
        auto self = shared_from_this();
        FThread = std::thread([self, ALowPriority] { self->Body(ALowPriority); });
    }

    void Add(TKvJob AJob) {
        {
            std::lock_guard lock(FLock);
            FJobs.push_back(std::move(AJob));
        }
        FWake.notify_one();
    }

    void CancelEverything() {
        std::lock_guard lock(FLock);
        if (FCurrent)
            FCurrent->Cancel();
        for (auto& job : FJobs)
            job.Token->Cancel();
        FJobs.clear();
    }

    void Terminate() {
        {
            std::lock_guard lock(FLock);
            FTerminated = true;
        }
        FWake.notify_one();
    }

    // True when the body ended within the wait; then the thread is joined.
    bool WaitFor(uint32_t AWaitMs) {
        std::unique_lock lock(FLock);
        if (!FEndedSignal.wait_for(lock, std::chrono::milliseconds(AWaitMs), [this] { return FEnded; }))
            return false;
        lock.unlock();
        if (FThread.joinable())
            FThread.join();
        return true;
    }

    void Abandon() {
        std::lock_guard lock(FLock);
        if (FEnded) {
            // It ended between the wait and now: nothing is left running.
            if (FThread.joinable())
                FThread.detach();
            return;
        }
        FAbandoned = true;
        GAbandonedCount.fetch_add(1);
        FThread.detach();
    }

private:
    void Body(bool ALowPriority) {
        if (ALowPriority)
            LowerThreadPriority();
        for (;;) {
            TKvJob job;
            {
                std::unique_lock lock(FLock);
                FWake.wait(lock, [this] { return FTerminated || !FJobs.empty(); });
                if (FTerminated)
                    break;
                job = std::move(FJobs.front());
                FJobs.pop_front();
                FCurrent = job.Token;
            }
            if (!job.Token->IsCancelled()) {
                try {
                    job.Work(*job.Token);
                } catch (...) {
                    // Jobs report their own outcome through KvDeliver.
                }
            }
            job = {};
            std::lock_guard lock(FLock);
            FCurrent.reset();
        }
        std::lock_guard lock(FLock);
        FEnded = true;
        if (FAbandoned)
            GAbandonedCount.fetch_sub(1);
        FEndedSignal.notify_all();
    }

    std::mutex FLock;
    std::condition_variable FWake;
    std::condition_variable FEndedSignal;
    std::deque<TKvJob> FJobs;
    IKvCancelTokenPtr FCurrent;
    bool FTerminated = false;
    bool FEnded = false;
    bool FAbandoned = false;
    std::thread FThread;
};

TKvWorker::TKvWorker(bool ALowPriority) : FThread(std::make_shared<TKvWorkerThread>()) {
    FThread->Start(ALowPriority);
}

TKvWorker::~TKvWorker() { Stop(500); }

IKvCancelTokenPtr TKvWorker::Post(TKvWorkProc AWork) {
    auto token = NewCancelToken();
    if (!FThread) {
        token->Cancel();
        return token;
    }
    FThread->Add({std::move(AWork), token});
    return token;
}

void TKvWorker::Stop(uint32_t AWaitMs) {
    if (!FThread)
        return;
    auto thread = std::move(FThread);
    FThread.reset();
    thread->CancelEverything();
    thread->Terminate();
    if (!thread->WaitFor(AWaitMs))
        thread->Abandon();
}

bool TKvWorker::HasAbandonedThreads() { return GAbandonedCount.load() > 0; }

int TKvWorker::AbandonedThreadCount() { return GAbandonedCount.load(); }

void RegisterExitWait(std::function<bool(int)> AWait) {
    std::lock_guard lock(GExitWaitLock);
    GExitWaits.push_back(std::move(AWait));
}

bool WaitBeforeExit(int AWaitMs) {
    std::vector<std::function<bool(int)>> waits;
    {
        std::lock_guard lock(GExitWaitLock);
        waits = GExitWaits;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(AWaitMs);
    bool done = true;
    for (const auto& wait : waits) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        done = wait(static_cast<int>(std::max<long long>(0, left.count()))) && done;
    }
    return done;
}

void SetDeliverDispatcher(TKvDispatcher ADispatcher) {
    std::lock_guard lock(GDispatchLock);
    GDispatcher = std::move(ADispatcher);
}

void KvDeliver(const IKvCancelTokenPtr& AToken, std::function<void()> AProc) {
    TKvDispatcher dispatcher;
    {
        std::lock_guard lock(GDispatchLock);
        dispatcher = GDispatcher;
    }
    if (!dispatcher)
        return;
    dispatcher([AToken, proc = std::move(AProc)] {
        if (AToken && AToken->IsCancelled())
            return;
        proc();
    });
}

} // namespace kv
