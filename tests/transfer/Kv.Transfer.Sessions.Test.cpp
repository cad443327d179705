#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "Kv.FS.Local.h"
#include "Kv.Transfer.Sessions.h"
#include "KvMemoryFs.h"
#include "KvTestSupport.h"

using namespace kv;
using namespace kv::test;
using namespace std::chrono_literals;

namespace {

// A manual clock, so elapsed-time rules are checked without sleeping.
struct TFakeClock {
    std::atomic<uint64_t> Now{1000};
    TKvClock Clock() {
        return [this] { return Now.load(); };
    }
};

TKvTransferRequest CopyRequest(IKvFileSystemPtr ASource, const std::string& AName, IKvFileSystemPtr ADest,
                               const std::string& ADestDir) {
    TKvTransferRequest request;
    request.Kind = tkCopy;
    request.SourceFs = ASource;
    request.SourceDir = "/src";
    TKvFileEntry entry;
    EXPECT_TRUE(ASource->Stat("/src/" + AName, entry));
    request.Items = {entry};
    request.DestFs = ADest;
    request.DestPath = ADestDir;
    return request;
}

bool WaitFor(const std::function<bool()>& APredicate) {
    auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!APredicate()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

// A source whose first read blocks until released (then fails), so a job stays running.
struct TBlockedSource {
    std::shared_ptr<TKvMemoryFs> Mem = std::make_shared<TKvMemoryFs>("mem:src");
    std::shared_ptr<TKvFaultFs> Fs = std::make_shared<TKvFaultFs>(Mem);
    TBlockedSource() {
        Mem->AddFile("/src/slow", "s");
        Mem->AddFile("/src/quick", "q");
        Fs->AddFault({foRead, 1, 1, true});
    }
};

// A destination whose first MakeDir waits until released, so a test can act on a job that
// has started but copied nothing yet.
struct TGatedDest {
    std::shared_ptr<TKvMemoryFs> Mem = std::make_shared<TKvMemoryFs>("mem:dst2");
    std::shared_ptr<TKvFaultFs> Fs = std::make_shared<TKvFaultFs>(Mem);
    TGatedDest() { Fs->AddFault({foMakeDir, 1, 1, true, false}); }
};

struct TManagerFixture {
    TDeliverQueue Deliveries;
    std::vector<TKvTransferResult> Results;
    int Ended = 0;
    TKvTransferManager Manager{[this](const TKvTransferResult& AResult) { Results.push_back(AResult); }};
    TManagerFixture() {
        Manager.OnSessionEnded = [this](TKvTransferSession&) { ++Ended; };
    }
    bool PumpUntil(const std::function<bool()>& APredicate) { return Deliveries.PumpUntil(APredicate, 10000); }
};

} // namespace

TEST(TransferHost, AnswersOnlyOpenQuestionsAndCancelEndsAQuestion) {
    TKvHost host;
    host.Answer(paOverwrite, true); // nothing is asked: ignored
    auto token = NewCancelToken();
    std::atomic<bool> done{false};
    TKvPromptAnswer answer = paSkip;
    bool applyAll = true;
    std::thread asker([&] {
        answer = host.Ask(pkConflict, "x exists", *token, applyAll);
        done = true;
    });
    ASSERT_TRUE(WaitFor([&] { return host.GetSnapshot().PromptKind == pkConflict; }));
    EXPECT_EQ(host.GetSnapshot().PromptText, "x exists");
    std::this_thread::sleep_for(20ms);
    EXPECT_FALSE(done); // the earlier answer did not count
    host.Answer(paRename, true);
    asker.join();
    EXPECT_EQ(answer, paRename);
    EXPECT_TRUE(applyAll);
    EXPECT_EQ(host.GetSnapshot().PromptKind, pkNone);

    std::thread cancelled([&] { answer = host.Ask(pkError, "failed", *token, applyAll); });
    ASSERT_TRUE(WaitFor([&] { return host.GetSnapshot().PromptKind == pkError; }));
    token->Cancel();
    cancelled.join();
    EXPECT_EQ(answer, paCancel);
    EXPECT_FALSE(applyAll);
    EXPECT_EQ(host.GetSnapshot().PromptKind, pkNone);
}

TEST(TransferHost, ElapsedTimeStopsWhileAskingOrHeld) {
    TFakeClock clock;
    TKvHost host(clock.Clock());
    auto token = NewCancelToken();
    host.AddPending();
    host.BeginJob(tkCopy, token);
    host.SetPhase(tpWorking, 1, 100);
    clock.Now += 500;
    EXPECT_EQ(host.GetSnapshot().ElapsedMs, 500u);

    std::thread asker([&] {
        bool all = false;
        host.Ask(pkError, "?", *token, all);
    });
    ASSERT_TRUE(WaitFor([&] { return host.GetSnapshot().PromptKind != pkNone; }));
    clock.Now += 10000; // the user thinks for ten seconds
    EXPECT_EQ(host.GetSnapshot().ElapsedMs, 500u);
    host.Answer(paRetry, false);
    asker.join();
    EXPECT_EQ(host.GetSnapshot().ElapsedMs, 500u);

    host.SetHeld(true);
    std::atomic<bool> resumed{false};
    std::thread worker([&] {
        host.SetProgress(10, 10, 0); // stops here while held
        resumed = true;
    });
    std::this_thread::sleep_for(30ms);
    EXPECT_FALSE(resumed);
    EXPECT_TRUE(host.GetSnapshot().Held);
    clock.Now += 7000;
    host.SetHeld(false);
    worker.join();
    EXPECT_EQ(host.GetSnapshot().ElapsedMs, 500u);
    EXPECT_EQ(host.GetSnapshot().BytesDone, 10);

    // A held job can still be cancelled: the worker waits while held and goes on at the cancel,
    // and its run then ends at its next check.
    host.SetHeld(true);
    std::atomic<bool> returned{false};
    std::thread stuck([&] {
        host.SetCurrent("next", 1);
        returned = true;
    });
    std::this_thread::sleep_for(30ms);
    EXPECT_FALSE(returned) << "the job was not held";
    EXPECT_NE(host.GetSnapshot().CurrentName, "next");
    token->Cancel();
    EXPECT_TRUE(WaitFor([&] { return returned.load(); })) << "a cancel does not free a held job";
    host.SetHeld(false); // frees the thread if the cancel did not, so the test ends either way
    stuck.join();
    EXPECT_EQ(host.GetSnapshot().CurrentName, "next");
}

TEST(TransferManager, RequestsJoinTheRunningSessionAndRunInOrder) {
    TManagerFixture f;
    TBlockedSource source;
    auto dest = std::make_shared<TKvMemoryFs>("mem:dst");
    auto& first = f.Manager.Enqueue(CopyRequest(source.Fs, "slow", dest, "/d/"));
    ASSERT_TRUE(source.Fs->WaitBlocked());
    auto& second = f.Manager.Enqueue(CopyRequest(source.Fs, "quick", dest, "/d/"));
    EXPECT_EQ(&first, &second);
    EXPECT_EQ(first.Title(), "Copy \"slow\" to /d/");
    EXPECT_EQ(first.Snapshot().Queued, 1);
    EXPECT_EQ(f.Manager.PendingJobs(), 2);
    EXPECT_TRUE(f.Manager.IsBusy());
    EXPECT_FALSE(dest->HasFile("/d/quick"));

    source.Fs->Release(); // the blocked read now fails: the job asks
    ASSERT_TRUE(WaitFor([&] { return first.Snapshot().PromptKind == pkError; }));
    first.AnswerPrompt(paSkip, false);
    ASSERT_TRUE(f.PumpUntil([&] { return f.Results.size() == 2; }));
    EXPECT_EQ(f.Results[0].Skipped, 1);
    EXPECT_EQ(f.Results[1].Succeeded, 1);
    EXPECT_EQ(dest->Content("/d/quick"), "q");
    EXPECT_EQ(f.Ended, 1);
    EXPECT_EQ(f.Manager.SessionCount(), 0);
    EXPECT_FALSE(f.Manager.IsBusy());
}

TEST(TransferManager, QueuedSessionsRunOneAtATimeInQueueOrder) {
    TManagerFixture f;
    TBlockedSource source;
    auto dest = std::make_shared<TKvMemoryFs>("mem:dst");
    auto& first = f.Manager.Enqueue(CopyRequest(source.Fs, "slow", dest, "/d/"));
    ASSERT_TRUE(source.Fs->WaitBlocked());
    f.Manager.AddToQueue(first);
    EXPECT_TRUE(first.Detached());

    // A detached session takes no new requests: this one runs in a new session.
    TGatedDest gated;
    auto& second = f.Manager.Enqueue(CopyRequest(source.Fs, "quick", gated.Fs, "/e/"));
    EXPECT_NE(&first, &second);
    EXPECT_EQ(f.Manager.SessionCount(), 2);
    ASSERT_TRUE(gated.Fs->WaitBlocked());
    f.Manager.AddToQueue(second);
    EXPECT_TRUE(second.Snapshot().Held);
    EXPECT_FALSE(first.Snapshot().Held);
    gated.Fs->Release();
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(gated.Mem->HasFile("/e/quick")); // held at its first report

    f.Manager.MoveInQueue(1, 99); // past the end: stays last
    EXPECT_EQ(&f.Manager.QueueItem(1), &second);
    f.Manager.MoveInQueue(1, 0);
    EXPECT_EQ(&f.Manager.QueueItem(0), &second);
    EXPECT_TRUE(first.Snapshot().Held);
    ASSERT_TRUE(f.PumpUntil([&] { return f.Results.size() == 1; }));
    EXPECT_EQ(gated.Mem->Content("/e/quick"), "q");
    EXPECT_EQ(f.Manager.QueueCount(), 1);
    EXPECT_FALSE(first.Snapshot().Held); // first in the queue again

    source.Fs->Release();
    ASSERT_TRUE(WaitFor([&] { return first.Snapshot().PromptKind == pkError; }));
    first.AnswerPrompt(paSkip, false);
    ASSERT_TRUE(f.PumpUntil([&] { return f.Results.size() == 2; }));
    EXPECT_EQ(f.Ended, 2);
    EXPECT_EQ(f.Manager.QueueCount(), 0);
}

TEST(TransferManager, RemovingAHeldSessionCancelsIt) {
    TManagerFixture f;
    TBlockedSource source;
    auto dest = std::make_shared<TKvMemoryFs>("mem:dst");
    auto& first = f.Manager.Enqueue(CopyRequest(source.Fs, "slow", dest, "/d/"));
    ASSERT_TRUE(source.Fs->WaitBlocked());
    f.Manager.AddToQueue(first);
    TGatedDest gated;
    auto& second = f.Manager.Enqueue(CopyRequest(source.Fs, "quick", gated.Fs, "/e/"));
    ASSERT_TRUE(gated.Fs->WaitBlocked());
    f.Manager.AddToQueue(second);
    gated.Fs->Release();
    ASSERT_TRUE(second.Snapshot().Held);
    f.Manager.RemoveFromQueue(second);
    ASSERT_TRUE(f.PumpUntil([&] { return f.Results.size() == 1; }));
    EXPECT_TRUE(f.Results[0].Cancelled);
    EXPECT_FALSE(gated.Mem->HasFile("/e/quick"));

    f.Manager.CancelAll();
    source.Fs->Release();
    ASSERT_TRUE(f.PumpUntil([&] { return f.Results.size() == 2; }));
    EXPECT_TRUE(f.Results[1].Cancelled);
    EXPECT_EQ(f.Manager.SessionCount(), 0);
}

TEST(TransferManager, SnapshotsReadWhileARunWorks) {
    TManagerFixture f;
    TTempDir src, dst;
    ::mkdir((src / "src").c_str(), 0755);
    for (int i = 0; i < 200; ++i)
        WriteFile(src / ("src/f" + std::to_string(i)), std::string(1000 + i, 'x'));
    TKvTransferRequest request;
    request.Kind = tkCopy;
    request.SourceFs = LocalFs();
    request.SourceDir = src.Path();
    TKvFileEntry entry;
    LocalFs()->Stat(src / "src", entry);
    request.Items = {entry};
    // Halfway through, the run waits at a gate until the reader has seen it working.
    auto gated = std::make_shared<TKvFaultFs>(LocalFs());
    gated->AddFault({foOpenWrite, 100, 1, true, false});
    request.DestFs = gated;
    request.DestPath = dst.Path();
    auto& session = f.Manager.Enqueue(request);

    // The reader polls as the progress window's timer would, from another thread, until the
    // job ends; the session itself goes away only when the UI thread takes the result.
    int64_t lastBytes = 0;
    bool monotonic = true;
    std::atomic<int> working{0};
    std::thread reader([&] {
        for (;;) {
            auto snap = session.Snapshot();
            if (!snap.Active)
                break;
            if (snap.Phase == tpWorking) {
                monotonic = monotonic && snap.BytesDone >= lastBytes && snap.BytesDone <= snap.BytesTotal;
                lastBytes = snap.BytesDone;
                ++working;
            }
        }
    });
    EXPECT_TRUE(gated->WaitBlocked());
    EXPECT_TRUE(WaitFor([&] { return working.load() > 0; }));
    gated->Release();
    reader.join();
    ASSERT_TRUE(f.PumpUntil([&] { return f.Results.size() == 1; }));
    EXPECT_TRUE(monotonic);
    EXPECT_GT(working.load(), 0) << "the reader never saw the run working";
    EXPECT_GT(lastBytes, 0);
    EXPECT_EQ(f.Results[0].Succeeded, 200);
    EXPECT_EQ(ReadFile(dst / "src/f199"), std::string(1199, 'x'));
}

TEST(TransferManager, TitlesAndShutdown) {
    TKvTransferRequest request;
    request.Items.resize(3);
    request.DestPath = "/x";
    request.Kind = tkMove;
    EXPECT_EQ(TKvTransferManager::TitleOf(request), "Move 3 items to /x");
    request.Kind = tkZip;
    EXPECT_EQ(TKvTransferManager::TitleOf(request), "Zip 3 items into /x");
    request.Kind = tkDelete;
    request.Items.resize(1);
    request.Items[0].Name = "f";
    EXPECT_EQ(TKvTransferManager::TitleOf(request), "Delete \"f\"");

    // Shutdown with a job stuck in a blocking call returns at once and delivers nothing later.
    TDeliverQueue deliveries;
    int results = 0;
    TBlockedSource source;
    auto dest = std::make_shared<TKvMemoryFs>("mem:dst");
    {
        TKvTransferManager manager([&](const TKvTransferResult&) { ++results; });
        manager.Enqueue(CopyRequest(source.Fs, "slow", dest, "/d/"));
        ASSERT_TRUE(source.Fs->WaitBlocked());
        // Returning at all proves it did not wait for the stuck job.
        manager.Shutdown(50);
    }
    source.Fs->Release();
    EXPECT_TRUE(WaitFor([] { return !TKvWorker::HasAbandonedThreads(); }));
    deliveries.Pump();
    EXPECT_EQ(results, 0);
}
