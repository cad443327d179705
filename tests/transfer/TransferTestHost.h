// A host that answers questions from a script and records what the run reported.
#pragma once

#include <deque>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Kv.Log.h"
#include "Kv.Transfer.Engine.h"
#include "KvTestSupport.h"

namespace kv::test {

class TScriptedHost : public IKvTransferHost {
public:
    struct TReply {
        TKvPromptAnswer Answer;
        bool ApplyAll = false;
    };

    void Reply(TKvPromptAnswer AAnswer, bool AApplyAll = false) { FReplies.push_back({AAnswer, AApplyAll}); }

    void SetPhase(TKvTransferPhase APhase, int AItemsTotal, int64_t ABytesTotal) override {
        std::lock_guard lock(FLock);
        Phases.push_back(APhase);
        ItemsTotal = AItemsTotal;
        BytesTotal = ABytesTotal;
    }
    void SetCurrent(const std::string& AName, int64_t) override {
        std::lock_guard lock(FLock);
        Current = AName;
    }
    void SetProgress(int64_t, int64_t ABytesDone, int AItemsDone) override {
        std::lock_guard lock(FLock);
        BytesDone = ABytesDone;
        ItemsDone = AItemsDone;
    }
    TKvPromptAnswer Ask(TKvPromptKind AKind, const std::string& AText, const IKvCancelToken&, bool& AApplyAll) override {
        std::lock_guard lock(FLock);
        Questions.push_back({AKind, AText});
        if (FReplies.empty()) {
            AApplyAll = false;
            return paCancel; // an unexpected question ends the run, and the test sees it
        }
        TReply reply = FReplies.front();
        FReplies.pop_front();
        AApplyAll = reply.ApplyAll;
        return reply.Answer;
    }

    struct TQuestion {
        TKvPromptKind Kind;
        std::string Text;
    };
    std::vector<TQuestion> Questions;
    std::vector<TKvTransferPhase> Phases;
    std::string Current;
    int ItemsTotal = 0, ItemsDone = 0;
    int64_t BytesTotal = 0, BytesDone = 0;

private:
    std::mutex FLock;
    std::deque<TReply> FReplies;
};

// Runs a callback once the run has moved more than a number of bytes.
class TTriggerHost : public TScriptedHost {
public:
    TTriggerHost(int64_t AAfter, std::function<void()> AAction)
        : FAfter(AAfter), FAction(std::move(AAction)) {}
    void SetProgress(int64_t AFileDone, int64_t ABytesDone, int AItemsDone) override {
        TScriptedHost::SetProgress(AFileDone, ABytesDone, AItemsDone);
        if (!FDone && ABytesDone > FAfter) {
            FDone = true;
            FAction();
        }
    }

private:
    int64_t FAfter;
    std::function<void()> FAction;
    bool FDone = false;
};

// Runs a callback once the run has moved more than a number of bytes, and notes where each
// attempt at the file started: the first progress of the run and after each question.
class TCutHost : public TTriggerHost {
public:
    using TTriggerHost::TTriggerHost;
    void SetProgress(int64_t AFileDone, int64_t ABytesDone, int AItemsDone) override {
        {
            std::lock_guard lock(FLock);
            if (FNewAttempt)
                AttemptStarts.push_back(AFileDone);
            FNewAttempt = false;
        }
        TTriggerHost::SetProgress(AFileDone, ABytesDone, AItemsDone);
    }
    TKvPromptAnswer Ask(TKvPromptKind AKind, const std::string& AText, const IKvCancelToken& AToken,
                        bool& AApplyAll) override {
        {
            std::lock_guard lock(FLock);
            FNewAttempt = true;
        }
        return TTriggerHost::Ask(AKind, AText, AToken, AApplyAll);
    }
    std::vector<int64_t> AttemptStarts;

private:
    std::mutex FLock;
    bool FNewAttempt = true;
};

// A request for the named entries of ASourceDir, as a panel would make it.
inline TKvTransferRequest Request(TKvTransferKind AKind, IKvFileSystemPtr ASource, const std::string& ASourceDir,
                                  const std::vector<std::string>& ANames, IKvFileSystemPtr ADest = nullptr,
                                  const std::string& ADestPath = {}) {
    TKvTransferRequest request;
    request.Kind = AKind;
    request.SourceFs = ASource;
    request.SourceDir = ASourceDir;
    for (const auto& name : ANames) {
        TKvFileEntry entry;
        if (!ASource->Stat(ASource->Join(ASourceDir, name), entry))
            ADD_FAILURE() << "no such source item: " << name;
        request.Items.push_back(entry);
    }
    request.DestFs = ADest;
    request.DestPath = ADestPath;
    return request;
}

struct TRunOutcome {
    TKvTransferResult Result;
    std::shared_ptr<TScriptedHost> Host;
    std::string Log;
};

// Runs a request to its end with a scripted host; the log of the run comes back too.
inline TRunOutcome RunRequest(const TKvTransferRequest& ARequest, std::shared_ptr<TScriptedHost> AHost = nullptr,
                              IKvCancelTokenPtr AToken = nullptr) {
    static TTempDir logDir;
    SetLogFolder(logDir.Path());
    ClearLog();
    if (!AHost)
        AHost = std::make_shared<TScriptedHost>();
    TKvRun run(ARequest, AToken ? AToken : NewCancelToken(), AHost);
    TRunOutcome outcome{run.Execute(), AHost, {}};
    outcome.Log = ReadFile(LogPath());
    return outcome;
}

} // namespace kv::test
