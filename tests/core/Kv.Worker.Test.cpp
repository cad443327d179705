#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "Kv.Worker.h"
#include "KvTestSupport.h"

using namespace kv;
using namespace std::chrono_literals;

namespace {

bool WaitFor(const std::function<bool()>& APredicate, std::chrono::milliseconds ALimit = 5000ms) {
    auto deadline = std::chrono::steady_clock::now() + ALimit;
    while (!APredicate()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

} // namespace

TEST(CancelToken, CheckRaisesOnlyAfterCancel) {
    auto token = NewCancelToken();
    EXPECT_NO_THROW(CheckCancelled(*token));
    token->Cancel();
    token->Cancel(); // any number of times
    try {
        CheckCancelled(*token);
        FAIL() << "no exception";
    } catch (const EKvCancelled& e) {
        EXPECT_STREQ(e.what(), "Cancelled");
    }
}

TEST(Worker, RunsJobsInOrderAndSurvivesFailures) {
    TKvWorker worker;
    std::vector<int> order;
    std::atomic<bool> done{false};
    worker.Post([&](const IKvCancelToken&) { order.push_back(1); });
    worker.Post([&](const IKvCancelToken&) { throw std::runtime_error("job failed"); });
    worker.Post([&](const IKvCancelToken&) { throw EKvCancelled(); });
    worker.Post([&](const IKvCancelToken&) { order.push_back(2); });
    worker.Post([&](const IKvCancelToken&) { done = true; });
    ASSERT_TRUE(WaitFor([&] { return done.load(); }));
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
}

TEST(Worker, CancelledQueuedJobNeverStarts) {
    TKvWorker worker;
    std::atomic<bool> release{false}, skippedRan{false}, nextRan{false};
    worker.Post([&](const IKvCancelToken&) { WaitFor([&] { return release.load(); }); });
    auto skipped = worker.Post([&](const IKvCancelToken&) { skippedRan = true; });
    worker.Post([&](const IKvCancelToken&) { nextRan = true; });
    skipped->Cancel();
    release = true;
    ASSERT_TRUE(WaitFor([&] { return nextRan.load(); }));
    EXPECT_FALSE(skippedRan);
}

TEST(Worker, StopCancelsTheRunningJobAndRefusesPosts) {
    TKvWorker worker;
    std::atomic<bool> started{false}, sawCancel{false};
    worker.Post([&](const IKvCancelToken& AToken) {
        started = true;
        while (!AToken.IsCancelled())
            std::this_thread::sleep_for(1ms);
        sawCancel = true;
    });
    ASSERT_TRUE(WaitFor([&] { return started.load(); }));
    worker.Stop(2000);
    EXPECT_TRUE(sawCancel);
    std::atomic<bool> ran{false};
    auto token = worker.Post([&](const IKvCancelToken&) { ran = true; });
    EXPECT_TRUE(token->IsCancelled());
    worker.Stop(100); // a second stop does nothing
    std::this_thread::sleep_for(20ms);
    EXPECT_FALSE(ran);
}

TEST(Worker, StuckJobIsAbandonedWithoutWaiting) {
    std::atomic<bool> release{false}, started{false};
    int before = TKvWorker::AbandonedThreadCount();
    {
        TKvWorker worker;
        // A job that ignores its token, like one blocked in a system call.
        worker.Post([&](const IKvCancelToken&) {
            started = true;
            while (!release)
                std::this_thread::sleep_for(1ms);
        });
        ASSERT_TRUE(WaitFor([&] { return started.load(); }));
        worker.Stop(0); // returning at all proves it did not wait for the job
        EXPECT_TRUE(TKvWorker::HasAbandonedThreads());
        EXPECT_EQ(TKvWorker::AbandonedThreadCount(), before + 1);
    } // the worker object is gone; the thread lives on by itself
    release = true;
    EXPECT_TRUE(WaitFor([&] { return TKvWorker::AbandonedThreadCount() == before; }));
}

TEST(Deliver, RunsInOrderOnThePumpingThreadUnlessCancelled) {
    test::TDeliverQueue queue;
    TKvWorker worker;
    auto alive = NewCancelToken();
    auto closed = NewCancelToken();
    std::vector<int> seen;
    std::thread::id pumpThread = std::this_thread::get_id();
    std::atomic<bool> posted{false};
    bool allOnPumpThread = true;
    worker.Post([&](const IKvCancelToken&) {
        for (int i = 0; i < 5; ++i)
            KvDeliver(alive, [&, i] {
                allOnPumpThread = allOnPumpThread && std::this_thread::get_id() == pumpThread;
                seen.push_back(i);
            });
        KvDeliver(closed, [&] { seen.push_back(99); });
        posted = true;
    });
    ASSERT_TRUE(WaitFor([&] { return posted.load(); }));
    closed->Cancel(); // the owner closed before the UI thread got to it
    queue.Pump();
    EXPECT_EQ(seen, (std::vector<int>{0, 1, 2, 3, 4}));
    EXPECT_TRUE(allOnPumpThread);
}
