// A host that answers questions from a script and records what the run reported.
#pragma once

#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "Kv.Transfer.Engine.h"

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

} // namespace kv::test
