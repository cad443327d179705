// Transfer sessions: requests run one after another on a low-priority worker per session,
// publish progress through a host the UI polls, and can be held, queued and cancelled.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Kv.Transfer.Engine.h"

namespace kv {

struct TKvTransferSnapshot {
    bool Active = false;
    int Queued = 0;
    TKvTransferKind Kind = tkCopy;
    TKvTransferPhase Phase = tpScanning;
    std::string CurrentName;
    int64_t FileDone = 0, FileTotal = 0;
    int64_t BytesDone = 0, BytesTotal = 0;
    int ItemsDone = 0, ItemsTotal = 0;
    uint64_t ElapsedMs = 0;
    TKvPromptKind PromptKind = pkNone;
    std::string PromptText;
    bool Held = false;
    // Paused by the user: the job stops between two blocks and keeps its connections.
    bool Paused = false;
};

// Milliseconds of a monotonic clock; tests pass their own.
using TKvClock = std::function<uint64_t()>;
uint64_t MonotonicMs();

class TKvHost final : public IKvTransferHost {
public:
    explicit TKvHost(TKvClock AClock = MonotonicMs);

    void SetPhase(TKvTransferPhase APhase, int AItemsTotal, int64_t ABytesTotal) override;
    void SetCurrent(const std::string& AName, int64_t ASize) override;
    void SetProgress(int64_t AFileDone, int64_t ABytesDone, int AItemsDone) override;
    TKvPromptAnswer Ask(TKvPromptKind AKind, const std::string& AText, const IKvCancelToken& AToken,
                        bool& AApplyAll) override;

    void AddPending();
    void BeginJob(TKvTransferKind AKind, IKvCancelTokenPtr AToken);
    void EndJob();
    void SetHeld(bool AHeld);
    void SetPaused(bool APaused);
    // Blocks the job's thread while held, unless its job is cancelled.
    void WaitIfHeld();
    // Ignored unless a question is open.
    void Answer(TKvPromptAnswer AAnswer, bool AApplyAll);
    TKvTransferSnapshot GetSnapshot();

private:
    TKvClock FClock;
    std::mutex FLock;
    std::condition_variable FSignal; // answers and releases
    bool FAnswered = false;
    TKvTransferSnapshot FSnap;
    int FPending = 0;
    uint64_t FStartTick = 0;
    uint64_t FAskTick = 0;
    TKvPromptAnswer FAnswer = paCancel;
    bool FApplyAll = false;
    bool FGo = true;
    bool FHeld = false;
    bool FPaused = false;
    IKvCancelTokenPtr FJobToken;
};

class TKvTransferManager;

class TKvTransferSession {
public:
    explicit TKvTransferSession(TKvTransferManager& AManager, uint64_t AId);
    ~TKvTransferSession();
    TKvTransferSession(const TKvTransferSession&) = delete;
    TKvTransferSession& operator=(const TKvTransferSession&) = delete;

    void CancelAll();
    void AnswerPrompt(TKvPromptAnswer AAnswer, bool AApplyAll);
    // Holds the running job at its next block, or lets it go on; a queued one starts paused.
    void SetPaused(bool APaused) { FHost->SetPaused(APaused); }
    TKvTransferSnapshot Snapshot() { return FHost->GetSnapshot(); }
    int PendingJobs() const { return static_cast<int>(FTokens.size()); }
    bool InQueue() const;
    void Detach();
    bool Detached() const { return FDetached; }
    const std::string& Title() const { return FTitle; }
    uint64_t Id() const { return FId; }
    // A slot the UI uses for its own object (the session's progress window).
    std::shared_ptr<void> Data;

private:
    friend class TKvTransferManager;
    TKvTransferManager& FManager;
    uint64_t FId;
    std::unique_ptr<TKvWorker> FWorker;
    std::shared_ptr<TKvHost> FHost;
    std::vector<IKvCancelTokenPtr> FTokens;
    bool FDetached = false;
    std::string FTitle;
};

// The one manager of the main window. Everything but the jobs runs on the UI thread.
class TKvTransferManager {
public:
    using TOnDone = std::function<void(const TKvTransferResult&)>;
    using TOnSessionEnded = std::function<void(TKvTransferSession&)>;

    explicit TKvTransferManager(TOnDone AOnDone);
    ~TKvTransferManager();
    TKvTransferManager(const TKvTransferManager&) = delete;
    TKvTransferManager& operator=(const TKvTransferManager&) = delete;

    TOnSessionEnded OnSessionEnded;

    // AOnDone, when given, hears this request's own result, after the manager's callback.
    TKvTransferSession& Enqueue(const TKvTransferRequest& ARequest, TOnDone AOnDone = {});
    void CancelAll();
    bool IsBusy();
    int PendingJobs() const;
    void AddToQueue(TKvTransferSession& ASession);
    void RemoveFromQueue(TKvTransferSession& ASession);
    void MoveInQueue(int AFrom, int ATo);
    int QueueCount() const { return static_cast<int>(FQueue.size()); }
    TKvTransferSession& QueueItem(int AIndex) const;
    void Shutdown(uint32_t AWaitMs);

    int SessionCount() const { return static_cast<int>(FSessions.size()); }
    TKvTransferSession& SessionAt(int AIndex) const { return *FSessions.at(AIndex); }
    TKvTransferSession* Current() const { return FCurrent; }

    // "Copy "a.txt" to /dest", "Delete 3 items" ...
    static std::string TitleOf(const TKvTransferRequest& ARequest);

private:
    friend class TKvTransferSession;
    void JobDone(uint64_t ASessionId, const IKvCancelTokenPtr& AToken, const TKvTransferResult& AResult);
    void ApplyHolds();
    TKvTransferSession* FindSession(uint64_t AId) const;

    IKvCancelTokenPtr FAlive;
    std::vector<std::unique_ptr<TKvTransferSession>> FSessions;
    TKvTransferSession* FCurrent = nullptr;
    TOnDone FOnDone;
    std::vector<TKvTransferSession*> FQueue;
    // The callbacks of single requests, by the token of their job; kept here so that they are
    // only ever touched on the UI thread.
    std::vector<std::pair<IKvCancelTokenPtr, TOnDone>> FRequestDone;
    uint64_t FNextId = 1;
};

} // namespace kv
