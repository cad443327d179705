#include "Kv.Transfer.Sessions.h"

#include <algorithm>
#include <chrono>

namespace kv {

namespace {

constexpr auto KWaitSlice = std::chrono::milliseconds(100);

} // namespace

uint64_t MonotonicMs() {
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count());
}

// TKvHost

TKvHost::TKvHost(TKvClock AClock) : FClock(std::move(AClock)) { FStartTick = FClock(); }

void TKvHost::SetPhase(TKvTransferPhase APhase, int AItemsTotal, int64_t ABytesTotal) {
    std::lock_guard lock(FLock);
    FSnap.Phase = APhase;
    FSnap.ItemsTotal = AItemsTotal;
    FSnap.BytesTotal = ABytesTotal;
    FStartTick = FClock();
}

void TKvHost::SetCurrent(const std::string& AName, int64_t ASize) {
    WaitIfHeld();
    std::lock_guard lock(FLock);
    FSnap.CurrentName = AName;
    FSnap.FileTotal = ASize;
    FSnap.FileDone = 0;
}

void TKvHost::SetProgress(int64_t AFileDone, int64_t ABytesDone, int AItemsDone) {
    WaitIfHeld();
    std::lock_guard lock(FLock);
    FSnap.FileDone = AFileDone;
    FSnap.BytesDone = ABytesDone;
    FSnap.ItemsDone = AItemsDone;
}

TKvPromptAnswer TKvHost::Ask(TKvPromptKind AKind, const std::string& AText, const IKvCancelToken& AToken,
                             bool& AApplyAll) {
    AApplyAll = false;
    std::unique_lock lock(FLock);
    FAnswered = false;
    FSnap.PromptKind = AKind;
    FSnap.PromptText = AText;
    FAskTick = FClock();
    // Waiting does not count as working time: the clock moves forward by the wait.
    auto close = [this] {
        FSnap.PromptKind = pkNone;
        FStartTick += FClock() - FAskTick;
        FAskTick = 0;
    };
    for (;;) {
        if (FSignal.wait_for(lock, KWaitSlice, [this] { return FAnswered; })) {
            close();
            AApplyAll = FApplyAll;
            return FAnswer;
        }
        if (AToken.IsCancelled()) {
            close();
            return paCancel;
        }
    }
}

void TKvHost::AddPending() {
    std::lock_guard lock(FLock);
    ++FPending;
}

void TKvHost::BeginJob(TKvTransferKind AKind, IKvCancelTokenPtr AToken) {
    std::lock_guard lock(FLock);
    FJobToken = std::move(AToken);
    FSnap = {};
    FSnap.Kind = AKind;
    FStartTick = FClock();
    FAskTick = 0;
}

void TKvHost::EndJob() {
    std::lock_guard lock(FLock);
    FJobToken.reset();
    --FPending;
}

void TKvHost::SetHeld(bool AHeld) {
    std::lock_guard lock(FLock);
    if (FHeld == AHeld)
        return;
    FHeld = AHeld;
    FGo = !FHeld && !FPaused;
    FSignal.notify_all();
}

void TKvHost::SetPaused(bool APaused) {
    std::lock_guard lock(FLock);
    if (FPaused == APaused)
        return;
    FPaused = APaused;
    FGo = !FHeld && !FPaused;
    FSignal.notify_all();
}

void TKvHost::WaitIfHeld() {
    std::unique_lock lock(FLock);
    if (FGo)
        return;
    IKvCancelTokenPtr token = FJobToken;
    const uint64_t started = FClock();
    while (!FGo && !(token && token->IsCancelled()))
        FSignal.wait_for(lock, KWaitSlice);
    FStartTick += FClock() - started;
}

void TKvHost::Answer(TKvPromptAnswer AAnswer, bool AApplyAll) {
    std::lock_guard lock(FLock);
    if (FSnap.PromptKind == pkNone)
        return;
    FAnswer = AAnswer;
    FApplyAll = AApplyAll;
    FSnap.PromptKind = pkNone;
    FAnswered = true;
    FSignal.notify_all();
}

TKvTransferSnapshot TKvHost::GetSnapshot() {
    std::lock_guard lock(FLock);
    TKvTransferSnapshot snap = FSnap;
    snap.Active = FPending > 0;
    snap.Queued = std::max(0, FPending - 1);
    snap.Held = FHeld;
    snap.Paused = FPaused;
    uint64_t now = FSnap.PromptKind != pkNone ? FAskTick : FClock();
    snap.ElapsedMs = now > FStartTick ? now - FStartTick : 0;
    return snap;
}

// TKvTransferSession

TKvTransferSession::TKvTransferSession(TKvTransferManager& AManager, uint64_t AId)
    : FManager(AManager), FId(AId), FWorker(std::make_unique<TKvWorker>(true)), FHost(std::make_shared<TKvHost>()) {}

TKvTransferSession::~TKvTransferSession() { FWorker.reset(); }

void TKvTransferSession::CancelAll() {
    for (auto& token : FTokens)
        token->Cancel();
}

void TKvTransferSession::AnswerPrompt(TKvPromptAnswer AAnswer, bool AApplyAll) { FHost->Answer(AAnswer, AApplyAll); }

bool TKvTransferSession::InQueue() const {
    return std::find(FManager.FQueue.begin(), FManager.FQueue.end(), this) != FManager.FQueue.end();
}

void TKvTransferSession::Detach() {
    FDetached = true;
    if (FManager.FCurrent == this)
        FManager.FCurrent = nullptr;
}

// TKvTransferManager

TKvTransferManager::TKvTransferManager(TOnDone AOnDone) : FAlive(NewCancelToken()), FOnDone(std::move(AOnDone)) {}

TKvTransferManager::~TKvTransferManager() {
    Shutdown(0);
    FQueue.clear();
    FCurrent = nullptr;
    FSessions.clear();
}

std::string TKvTransferManager::TitleOf(const TKvTransferRequest& ARequest) {
    std::string object = ARequest.Items.size() == 1 ? "\"" + ARequest.Items.front().Name + "\""
                                                     : std::to_string(ARequest.Items.size()) + " items";
    switch (ARequest.Kind) {
    case tkCopy:
        return "Copy " + object + " to " + ARequest.DestPath;
    case tkMove:
        return "Move " + object + " to " + ARequest.DestPath;
    case tkZip:
        return "Zip " + object + " into " + ARequest.DestPath;
    case tkDelete:
        return "Delete " + object;
    }
    return object;
}

TKvTransferSession& TKvTransferManager::Enqueue(const TKvTransferRequest& ARequest,
                                                TOnDone AOnDone) {
    if (!FCurrent || FCurrent->FDetached) {
        FSessions.push_back(std::make_unique<TKvTransferSession>(*this, FNextId++));
        FCurrent = FSessions.back().get();
    }
    TKvTransferSession& session = *FCurrent;
    if (session.FTitle.empty())
        session.FTitle = TitleOf(ARequest);
    auto token = NewCancelToken();
    session.FTokens.push_back(token);
    session.FHost->AddPending();
    if (AOnDone)
        FRequestDone.emplace_back(token, std::move(AOnDone));

    std::shared_ptr<TKvHost> host = session.FHost;
    const uint64_t sessionId = session.FId;
    IKvCancelTokenPtr alive = FAlive;
    session.FWorker->Post([this, host, token, sessionId, alive, request = ARequest](const IKvCancelToken&) {
        host->BeginJob(request.Kind, token);
        host->WaitIfHeld();
        TKvTransferResult result;
        result.Kind = request.Kind;
        if (token->IsCancelled()) {
            result.Cancelled = true;
        } else {
            TKvRun run(request, token, host);
            result = run.Execute();
        }
        host->EndJob();
        KvDeliver(alive, [this, sessionId, token, result] { JobDone(sessionId, token, result); });
    });
    return session;
}

TKvTransferSession* TKvTransferManager::FindSession(uint64_t AId) const {
    for (const auto& session : FSessions)
        if (session->FId == AId)
            return session.get();
    return nullptr;
}

void TKvTransferManager::JobDone(uint64_t ASessionId, const IKvCancelTokenPtr& AToken,
                                 const TKvTransferResult& AResult) {
    TKvTransferSession* session = FindSession(ASessionId);
    if (!session)
        return;
    auto& tokens = session->FTokens;
    tokens.erase(std::remove(tokens.begin(), tokens.end(), AToken), tokens.end());
    if (FOnDone)
        FOnDone(AResult);
    auto own = std::find_if(FRequestDone.begin(), FRequestDone.end(),
                            [&](const auto& AEntry) { return AEntry.first == AToken; });
    if (own != FRequestDone.end()) {
        TOnDone done = std::move(own->second);
        FRequestDone.erase(own);
        done(AResult);
    }
    // The callback may have changed the lists; look the session up again.
    session = FindSession(ASessionId);
    if (!session || !session->FTokens.empty())
        return;
    if (FCurrent == session)
        FCurrent = nullptr;
    auto queued = std::find(FQueue.begin(), FQueue.end(), session);
    if (queued != FQueue.end()) {
        FQueue.erase(queued);
        ApplyHolds();
    }
    if (OnSessionEnded)
        OnSessionEnded(*session);
    auto it = std::find_if(FSessions.begin(), FSessions.end(), [session](const auto& s) { return s.get() == session; });
    if (it != FSessions.end()) {
        std::unique_ptr<TKvTransferSession> ended = std::move(*it);
        FSessions.erase(it);
    }
}

void TKvTransferManager::ApplyHolds() {
    for (size_t i = 0; i < FQueue.size(); ++i)
        FQueue[i]->FHost->SetHeld(i > 0);
}

void TKvTransferManager::CancelAll() {
    for (auto& session : FSessions)
        session->CancelAll();
}

bool TKvTransferManager::IsBusy() {
    for (auto& session : FSessions)
        if (session->Snapshot().Active)
            return true;
    return false;
}

int TKvTransferManager::PendingJobs() const {
    int count = 0;
    for (const auto& session : FSessions)
        count += session->PendingJobs();
    return count;
}

void TKvTransferManager::AddToQueue(TKvTransferSession& ASession) {
    if (!FindSession(ASession.FId) || ASession.InQueue())
        return;
    ASession.Detach();
    FQueue.push_back(&ASession);
    ApplyHolds();
}

void TKvTransferManager::RemoveFromQueue(TKvTransferSession& ASession) {
    auto it = std::find(FQueue.begin(), FQueue.end(), &ASession);
    if (it == FQueue.end())
        return;
    FQueue.erase(it);
    ASession.CancelAll();
    ASession.FHost->SetHeld(false);
    ApplyHolds();
}

void TKvTransferManager::MoveInQueue(int AFrom, int ATo) {
    const int count = QueueCount();
    if (AFrom < 0 || AFrom >= count)
        return;
    ATo = std::clamp(ATo, 0, count - 1);
    if (AFrom == ATo)
        return;
    TKvTransferSession* moved = FQueue[AFrom];
    FQueue.erase(FQueue.begin() + AFrom);
    FQueue.insert(FQueue.begin() + ATo, moved);
    ApplyHolds();
}

TKvTransferSession& TKvTransferManager::QueueItem(int AIndex) const { return *FQueue.at(AIndex); }

void TKvTransferManager::Shutdown(uint32_t AWaitMs) {
    FAlive->Cancel();
    for (auto* session : FQueue)
        session->FHost->SetHeld(false);
    CancelAll();
    for (auto& session : FSessions)
        session->FWorker->Stop(AWaitMs);
}

} // namespace kv
