#include "Kv.SearchModel.h"

#include <algorithm>
#include <charconv>
#include <typeinfo>

#include "Kv.Log.h"
#include "Kv.Text.h"

namespace kv {

TKvSearchSpec SearchSpecFromFields(const std::string& AMasks, const std::string& AText,
                                   bool AMatchCase, bool ASubfolders, const std::string& ALevels) {
    TKvSearchSpec spec = NewSearchSpec();
    spec.Masks = std::string(TrimmedView(AMasks));
    if (spec.Masks.empty())
        spec.Masks = "*";
    spec.Text = AText;
    spec.MatchCase = AMatchCase;
    spec.Subfolders = ASubfolders;
    std::string_view levels = TrimmedView(ALevels);
    int value = 0;
    auto [end, error] = std::from_chars(levels.data(), levels.data() + levels.size(), value);
    if (error != std::errc() || end != levels.data() + levels.size())
        value = 0;
    spec.MaxDepth = std::max(value, 0);
    return spec;
}

TKvHitColumns HitColumns(int AWidth, int ASizeWidth, int AMinFolder) {
    TKvHitColumns columns;
    columns.Size = AWidth - ASizeWidth;
    columns.Folder = AWidth * 34 / 100;
    if (columns.Size - AMinFolder < columns.Folder)
        columns.Folder = std::max(AMinFolder, columns.Size - AMinFolder);
    return columns;
}

std::string HitSizeText(const TKvSearchHit& AHit) {
    return AHit.IsDir ? "<DIR>" : FormatBytes(AHit.Size);
}

TKvSearchModel::TKvSearchModel(IKvFileSystemPtr AFs, std::string ARoot, std::string AWhere,
                               TKvSearchSpec ASpec, TKvSearchGoTo AGoTo)
    : FFs(std::move(AFs)), FRoot(std::move(ARoot)), FWhere(std::move(AWhere)),
      FSpec(std::move(ASpec)), FGoTo(std::move(AGoTo)), FWorker(std::make_unique<TKvWorker>()),
      FAlive(NewCancelToken()) {}

TKvSearchModel::~TKvSearchModel() {
    FAlive->Cancel();
    if (FToken)
        FToken->Cancel();
    try {
        FWorker->Stop(100);
        FWorker.reset();
    } catch (const std::exception& e) {
        Log(std::string("closing search: ") + typeid(e).name() + ": " + e.what());
    }
}

void TKvSearchModel::Changed() {
    if (OnChanged)
        OnChanged();
}

void TKvSearchModel::Start() {
    FRunning = true;
    FNote.clear();
    FToken = FWorker->Post([fs = FFs, root = FRoot, spec = FSpec, alive = FAlive,
                            this](const IKvCancelToken& AToken) {
        std::string error;
        try {
            RunSearch(
                *fs, root, spec,
                [&](std::vector<TKvSearchHit> AHits, int AFolders, const std::string& ACurrent,
                    int AFiles) {
                    KvDeliver(alive, [this, hits = std::move(AHits), AFolders, ACurrent,
                                      AFiles]() mutable {
                        HitsArrived(std::move(hits), AFolders, ACurrent, AFiles);
                    });
                },
                AToken);
        } catch (const EKvCancelled&) {
            return;
        } catch (const std::exception& e) {
            error = e.what();
            if (error.empty())
                error = typeid(e).name();
        }
        KvDeliver(alive, [this, error] { Ended(error); });
    });
    Changed();
}

void TKvSearchModel::HitsArrived(std::vector<TKvSearchHit> AHits, int AFolders,
                                 const std::string& ACurrent, int AFiles) {
    if (!FRunning)
        return;
    FFolders = AFolders;
    FFiles = AFiles;
    FNote = ACurrent;
    FHits.insert(FHits.end(), std::make_move_iterator(AHits.begin()),
                 std::make_move_iterator(AHits.end()));
    if (FSelected < 0 && !FHits.empty())
        FSelected = 0;
    Changed();
}

void TKvSearchModel::Ended(const std::string& AError) {
    if (!FRunning)
        return;
    FRunning = false;
    FToken.reset();
    FNote = AError.empty() ? std::string() : "The search failed: " + AError;
    Changed();
}

bool TKvSearchModel::Escape() {
    if (!FRunning)
        return true;
    FRunning = false;
    if (FToken)
        FToken->Cancel();
    FToken.reset();
    FNote = "Stopped";
    Changed();
    return false;
}

void TKvSearchModel::Select(int ARow) {
    if (FHits.empty())
        return;
    FSelected = std::clamp(ARow, 0, int(FHits.size()) - 1);
    Changed();
}

void TKvSearchModel::GoToSelected() {
    if (!FGoTo || FSelected < 0 || FSelected >= int(FHits.size()))
        return;
    const TKvSearchHit& hit = FHits[size_t(FSelected)];
    FGoTo(FFs, hit.Path, hit.IsDir);
}

bool TKvSearchModel::SelectedFile(TKvSearchHit& AHit) const {
    if (FSelected < 0 || FSelected >= int(FHits.size()) || FHits[size_t(FSelected)].IsDir)
        return false;
    AHit = FHits[size_t(FSelected)];
    return true;
}

std::string TKvSearchModel::StatusText() const {
    const std::string counts = FormatBytes(FFolders) + " folders and " + FormatBytes(FFiles) +
                               " files";
    if (FRunning)
        return " Searching... " + std::to_string(FHits.size()) + " found, " + counts +
               " looked at   (Esc to stop)   " + FNote;
    const bool stopped = FNote == "Stopped";
    std::string text = std::string(" ") + (stopped ? "Stopped" : "Done") + ": " +
                       std::to_string(FHits.size()) + " found in " + counts +
                       "   Enter = go to it, F3 = view, Esc = close";
    if (!FNote.empty() && !stopped)
        text += "   " + FNote;
    return text;
}

} // namespace kv
