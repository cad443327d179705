// The zip routine of a transfer run: packs the chosen items, with everything below them, into
// one new zip file on the disk, written under a ".kvpart" name until it is complete.
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include "Kv.FS.Local.h"
#include "Kv.Log.h"
#include "Kv.Transfer.Engine.h"
#include "Kv.Zip.Writer.h"

namespace kv {

namespace {

// Files up to this size are deflated ahead, in memory, by other threads while the run writes
// the zip in plan order; larger ones are deflated as they are written.
constexpr int64_t KAheadFileSize = 16 << 20;
constexpr int64_t KAheadBytes = 64 << 20;
constexpr size_t KAheadItems = 512;

class TKvZipAhead {
public:
    // AEligible: the plan items the run will add, if it can read them.
    TKvZipAhead(IKvFileSystem& ASource, const std::vector<TKvPlanItem>& APlan,
                std::vector<bool> AEligible, const IKvCancelToken& AToken)
        : FSource(ASource), FPlan(APlan), FState(APlan.size(), sUnclaimed), FResults(APlan.size()),
          FToken(AToken) {
        for (size_t i = 0; i < APlan.size(); ++i)
            if (!AEligible[i] || APlan[i].IsDir || APlan[i].Size < 0 ||
                APlan[i].Size > KAheadFileSize)
                FState[i] = sNotAhead;
        const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
        for (unsigned i = 0; i < std::min(cores, 4u); ++i)
            FWorkers.emplace_back([this] { Work(); });
    }
    ~TKvZipAhead() {
        {
            std::lock_guard lock(FLock);
            FStop = true;
        }
        FChanged.notify_all();
        for (auto& worker : FWorkers)
            worker.join();
    }
    TKvZipAhead(const TKvZipAhead&) = delete;
    TKvZipAhead& operator=(const TKvZipAhead&) = delete;

    // True with the deflated data of item AIndex; false when the caller reads it itself.
    bool Take(size_t AIndex, TKvDeflated& AData) {
        std::unique_lock lock(FLock);
        FCurrent = AIndex;
        FChanged.notify_all();
        if (FState[AIndex] == sUnclaimed || FState[AIndex] == sNotAhead) {
            FState[AIndex] = sNotAhead;
            return false;
        }
        FChanged.wait(lock, [&] { return FState[AIndex] != sWorking; });
        if (FState[AIndex] != sDone)
            return false; // it failed there; the run tries again and asks the user
        AData = std::move(FResults[AIndex]);
        FResults[AIndex] = {};
        FState[AIndex] = sNotAhead;
        FBytesAhead -= FPlan[AIndex].Size;
        FChanged.notify_all();
        return true;
    }

private:
    enum TState { sUnclaimed, sWorking, sDone, sFailed, sNotAhead };

    void Work() {
        for (;;) {
            size_t index;
            {
                std::unique_lock lock(FLock);
                for (;;) {
                    while (FNext < FPlan.size() && FState[FNext] != sUnclaimed)
                        ++FNext;
                    if (FStop || FNext >= FPlan.size())
                        return;
                    // Bounded, so memory stays small however far the writer lags behind.
                    if (FNext < FCurrent + KAheadItems &&
                        (FBytesAhead == 0 || FBytesAhead + FPlan[FNext].Size <= KAheadBytes))
                        break;
                    FChanged.wait(lock);
                }
                index = FNext++;
                FState[index] = sWorking;
                FBytesAhead += FPlan[index].Size;
            }
            TKvDeflated data;
            bool ok = false;
            try {
                TKvStreamPtr in = FSource.OpenRead(FPlan[index].Source);
                data = DeflateAll(*in, [&](int64_t) {
                    if (FStop)
                        throw EKvCancelled();
                    CheckCancelled(FToken);
                });
                ok = true;
            } catch (...) {
            }
            {
                std::lock_guard lock(FLock);
                FResults[index] = std::move(data);
                FState[index] = ok ? sDone : sFailed;
            }
            FChanged.notify_all();
        }
    }

    IKvFileSystem& FSource;
    const std::vector<TKvPlanItem>& FPlan;
    std::vector<TState> FState;
    std::vector<TKvDeflated> FResults;
    const IKvCancelToken& FToken;
    std::vector<std::thread> FWorkers;
    std::mutex FLock;
    std::condition_variable FChanged;
    size_t FNext = 0;
    size_t FCurrent = 0;
    int64_t FBytesAhead = 0;
    std::atomic<bool> FStop = false;
};

} // namespace

extern template bool TKvRun::Attempt<std::function<void()>&>(const std::string&,
                                                             std::function<void()>&);

void TKvRun::RunZip() {
    if (!FReq.DestFs || FReq.DestFs->Id() != "local") {
        RecordFailure("A zip file can only be made on a disk");
        return;
    }
    auto& source = *FReq.SourceFs;
    auto& dest = *FReq.DestFs;
    FHost->SetPhase(tpScanning, 0, 0);
    std::string zip = dest.Normalize(FReq.DestPath);

    for (const auto& item : FReq.Items) {
        Check();
        std::string from = source.Join(FReq.SourceDir, item.Name);
        if (item.IsDir && item.IsLink) {
            RecordSkip("Directory link not followed: " + from);
            continue;
        }
        // Entry names are relative paths built with the disk's Join; the writer stores them
        // in zip form.
        AddToPlan(item, from, item.Name);
        if (item.IsDir)
            ScanFolder(from, item.Name);
    }

    // An existing zip file is always asked about: a zip is never merged into.
    TKvFileEntry existing;
    if (dest.Stat(zip, existing)) {
        if (existing.IsDir) {
            RecordFailure("A folder already has this name: " + zip);
            return;
        }
        bool applyAll = false;
        TKvPromptAnswer answer =
            FHost->Ask(pkConflict, zip + " already exists.", *FToken, applyAll);
        if (answer == paCancel)
            throw EKvCancelled();
        if (answer == paRename) {
            zip = FreeName(dest, zip);
        } else if (answer != paOverwrite) {
            ++FResult.Skipped;
            return;
        }
    }
    std::string parent = dest.ParentOf(zip);
    if (!parent.empty() && !EnsureFolder(parent))
        return;

    FHost->SetPhase(tpWorking, static_cast<int>(FPlan.size()), FBytesTotal);
    const std::string part = TemporaryName(dest, zip);
    bool created = false;
    try {
        TKvStreamPtr out = dest.OpenWrite(part);
        created = true;
        TKvZipWriter writer(*out, FReq.Password, FReq.ZipWeak);
        // What each item is, decided before any thread reads one.
        std::vector<std::string> problems(FPlan.size());
        std::vector<bool> eligible(FPlan.size());
        for (size_t i = 0; i < FPlan.size(); ++i) {
            const auto& item = FPlan[i];
            // Paths of two different file systems say nothing about each other.
            const bool itself = FSameFs && (source.SamePath(item.Source, zip) ||
                                            source.SamePath(item.Source, part) ||
                                            (!item.IsDir && SameFile(item.Source, part)));
            if (itself) {
                problems[i] = "Not added to itself: " + item.Source;
            } else {
                try {
                    CheckZipEntryName(item.Target, item.IsDir);
                } catch (const EKvFsError& e) {
                    problems[i] = e.what();
                }
            }
            eligible[i] = problems[i].empty();
        }
        // Other threads read only the local disk, which is safe to share.
        std::unique_ptr<TKvZipAhead> ahead;
        if (dynamic_cast<TKvLocalFileSystem*>(&source))
            ahead = std::make_unique<TKvZipAhead>(source, FPlan, eligible, *FToken);
        for (size_t i = 0; i < FPlan.size(); ++i) {
            const auto& item = FPlan[i];
            Check();
            FHost->SetCurrent(item.Source, item.Size);
            TKvDeflated deflated;
            if (!problems[i].empty()) {
                RecordSkip(problems[i]);
            } else if (item.IsDir) {
                writer.AddDirectory(item.Target, item.Modified);
                ++FResult.Succeeded;
            } else if (ahead && ahead->Take(i, deflated)) {
                writer.AddDeflated(item.Target, item.Modified, deflated);
                const int64_t fileBytes = std::max<int64_t>(deflated.Size, 0);
                FBytesDone += fileBytes;
                FHost->SetProgress(fileBytes, FBytesDone, FItemsDone);
                Log("zip: " + item.Source + " -> " + item.Target + " " + std::to_string(fileBytes) +
                    " bytes");
                ++FResult.Succeeded;
            } else {
                TKvStreamPtr in;
                std::function<void()> open = [&] { in = source.OpenRead(item.Source); };
                if (Attempt("Could not read " + item.Source, open)) {
                    int64_t fileBytes = 0;
                    writer.AddFile(item.Target, item.Modified, *in, item.Size, [&](int64_t ABytes) {
                        fileBytes += ABytes;
                        FBytesDone += ABytes;
                        FHost->SetProgress(fileBytes, FBytesDone, FItemsDone);
                        Check();
                    });
                    in.reset();
                    Log("zip: " + item.Source + " -> " + item.Target + " " +
                        std::to_string(fileBytes) + " bytes");
                    ++FResult.Succeeded;
                }
            }
            ++FItemsDone;
            FHost->SetProgress(0, FBytesDone, FItemsDone);
        }
        ahead.reset();
        writer.Finish();
        out.reset(); // closed before it takes the zip file's name
        dest.RenamePath(part, zip, true);
    } catch (...) {
        // A failed or cancelled zip leaves nothing half-written behind, and deletes only
        // the file it made.
        try {
            if (created)
                dest.DeleteFileAt(part);
        } catch (...) {
        }
        throw;
    }
    Log("zip: made " + zip + (FReq.Password.empty() ? "" : " (password protected)"));
}

} // namespace kv
