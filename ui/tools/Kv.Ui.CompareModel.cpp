#include "Kv.Ui.CompareModel.h"

#include <algorithm>
#include <cstdio>
#include <map>

namespace kv {

namespace {

// Two seconds, in days: file systems that keep times to two seconds must not propose a copy.
constexpr double KTimeSlack = 2.0 / 86400.0;

std::string Format(const char* AFormat, auto... AArgs) {
    int length = std::snprintf(nullptr, 0, AFormat, AArgs...);
    std::string text(size_t(length), '\0');
    std::snprintf(text.data(), text.size() + 1, AFormat, AArgs...);
    return text;
}

bool EndsWithSlash(const std::string& AText) {
    return !AText.empty() && (AText.back() == '/' || AText.back() == '\\');
}

} // namespace

const char* SyncMark(TKvSyncAction AAction) {
    switch (AAction) {
    case saToRight:
        return "\xe2\x86\x92";
    case saToLeft:
        return "\xe2\x86\x90";
    default:
        return "";
    }
}

const char* StateLabel(const TKvCompareItem& AItem) {
    if (AItem.Copying)
        return "copying";
    static const char* const labels[] = {"waiting",    "same",        "same text",   "differs",
                                         "left only",  "right only",  "file/folder", "error"};
    return labels[int(AItem.Row.State)];
}

TKvSyncAction DefaultAction(const TKvCompareRow& ARow) {
    switch (ARow.State) {
    case crDiffer:
        if (ARow.Left.Modified > 0 && ARow.Right.Modified > 0) {
            if (ARow.Left.Modified - ARow.Right.Modified > KTimeSlack)
                return saToRight;
            if (ARow.Right.Modified - ARow.Left.Modified > KTimeSlack)
                return saToLeft;
        }
        return saNone;
    case crLeftOnly:
        return saToRight;
    case crRightOnly:
        return saToLeft;
    default:
        return saNone;
    }
}

bool ActionAllowed(const TKvCompareItem& AItem, TKvSyncAction AAction) {
    if (AItem.Copying)
        return false;
    const TKvCompareState state = AItem.Row.State;
    const bool directed = state >= crSame && state <= crRightOnly;
    switch (AAction) {
    case saToRight:
        return directed && AItem.Row.HasLeft;
    case saToLeft:
        return directed && AItem.Row.HasRight;
    default:
        return true;
    }
}

bool RowVisible(const TKvCompareItem& AItem, const TKvCompareOptions& AOptions) {
    if (AItem.Copying)
        return true;
    switch (AItem.Row.State) {
    case crPending:
        return true;
    case crSame:
    case crSameText:
        return AOptions.ShowSame;
    case crLeftOnly:
        return AOptions.ShowLeftOnly;
    case crRightOnly:
        return AOptions.ShowRightOnly;
    default:
        return AOptions.ShowDiffer;
    }
}

TKvColor StateColor(const TKvCompareItem& AItem, const TKvColors& AColors) {
    if (AItem.Copying)
        return AColors[csHidden];
    switch (AItem.Row.State) {
    case crPending:
        return AColors[csHidden];
    case crSame:
    case crSameText:
        return AColors[csText];
    case crLeftOnly:
    case crRightOnly:
        return AColors[csFileNames];
    default:
        return KCompareAlarm;
    }
}

TKvColor NameColor(const TKvCompareItem& AItem, const TKvColors& AColors) {
    if (AItem.Marked)
        return AColors[csMarked];
    if (RowIsFolder(AItem.Row))
        return AColors[csFolders];
    return StateColor(AItem, AColors);
}

std::string SideSizeText(const TKvCompareRow& ARow, TKvRowSide ASide) {
    const bool present = ASide == rsLeft ? ARow.HasLeft : ARow.HasRight;
    if (!present)
        return {};
    const TKvFileEntry& entry = ASide == rsLeft ? ARow.Left : ARow.Right;
    return entry.IsDir ? "<DIR>" : FormatBytes(entry.Size);
}

std::string SideDateText(const TKvCompareRow& ARow, TKvRowSide ASide) {
    const bool present = ASide == rsLeft ? ARow.HasLeft : ARow.HasRight;
    if (!present)
        return {};
    return FormatStamp(ASide == rsLeft ? ARow.Left.Modified : ARow.Right.Modified);
}

std::array<int, 9> CompareColumnEdges(int AWidth, const std::function<int(int)>& AScale, int ACharWidth) {
    // "yyyy-mm-dd hh:nn" and "file/folder", plus the cells' insets.
    const int a = AScale(90), b = std::max(AScale(125), 16 * ACharWidth + 8),
              c = std::max(AScale(85), 11 * ACharWidth + 8), d = AScale(40);
    std::array<int, 9> e{};
    e[0] = 0;
    e[1] = std::max(AScale(160), AWidth - 2 * (a + b) - c - d) * 55 / 100;
    e[2] = e[1] + a;
    e[3] = e[1] + a + b;
    e[4] = e[3] + c;
    e[5] = e[4] + d;
    e[6] = e[5] + a;
    e[7] = e[5] + a + b;
    e[8] = std::max(AWidth, e[7] + AScale(40));
    return e;
}

TKvCompareModel::TKvCompareModel(TKvCompareSide ALeft, TKvCompareSide ARight, TKvCompareOptions AOptions,
                                 TKvCompareScope AScope)
    : FLeft(std::move(ALeft)), FRight(std::move(ARight)), FOptions(AOptions), FRunOptions(AOptions),
      FScope(std::move(AScope)) {
    if (FLeft.Fs && FLeft.Fs->Join("a", "b").find('\\') != std::string::npos)
        FSep = '\\';
}

std::string TKvCompareModel::WindowTitle() const {
    std::string title = "Compare - " + FLeft.Title + "  <->  " + FRight.Title;
    if (!ScopeIsEmpty(FScope))
        title += "  (only " + ScopeCaption(FScope) + ")";
    return title;
}

int TKvCompareModel::BeginRun() {
    ++FGen;
    FItems.clear();
    FView.clear();
    FRunning = true;
    FChecking = false;
    FStopped = false;
    FError.clear();
    FCurrent.clear();
    FFolders = FFiles = 0;
    FRunOptions = FOptions;
    return FGen;
}

bool TKvCompareModel::RowsArrived(int AGen, std::vector<TKvCompareRow> ARows, int AFolders,
                                  const std::string& ACurrent, int AFiles) {
    if (AGen != FGen)
        return false;
    FFolders = AFolders;
    FFiles = AFiles;
    FCurrent = ACurrent;
    for (auto& row : ARows) {
        TKvCompareItem item;
        item.Action = DefaultAction(row);
        item.Row = std::move(row);
        if (RowVisible(item, FOptions))
            FView.push_back(static_cast<int>(FItems.size()));
        FItems.push_back(std::move(item));
    }
    return true;
}

bool TKvCompareModel::RunFinished(int AGen, const std::string& AError) {
    if (AGen != FGen)
        return false;
    FRunning = false;
    FError = AError;
    FCurrent.clear();
    return true;
}

bool TKvCompareModel::Stop() {
    if (!FRunning && !FChecking)
        return false;
    ++FGen;
    FRunning = FChecking = false;
    FStopped = true;
    return true;
}

int TKvCompareModel::RebuildView(int ASelected) {
    const int remembered = ASelected >= 0 && ASelected < ViewCount() ? FView[ASelected] : -1;
    FView.clear();
    for (int i = 0; i < ItemCount(); ++i)
        if (RowVisible(FItems[i], FOptions))
            FView.push_back(i);
    if (FView.empty())
        return -1;
    if (remembered < 0)
        return 0;
    auto at = std::lower_bound(FView.begin(), FView.end(), remembered);
    return at == FView.end() ? ViewCount() - 1 : static_cast<int>(at - FView.begin());
}

std::vector<int> TKvCompareModel::Targets(int ASelected) const {
    std::vector<int> targets;
    for (int index : FView)
        if (FItems[index].Marked)
            targets.push_back(index);
    if (targets.empty() && ASelected >= 0 && ASelected < ViewCount())
        targets.push_back(FView[ASelected]);
    return targets;
}

bool TKvCompareModel::SetDirection(int ASelected, TKvSyncAction AAction, bool& ASingle) {
    const std::vector<int> targets = Targets(ASelected);
    ASingle = targets.size() == 1 && !FItems[targets[0]].Marked;
    bool refused = false;
    for (int index : targets) {
        if (ActionAllowed(FItems[index], AAction))
            FItems[index].Action = AAction;
        else
            refused = true;
    }
    return !(ASingle && refused);
}

void TKvCompareModel::ToggleMark(int AViewRow) {
    if (AViewRow >= 0 && AViewRow < ViewCount())
        FItems[FView[AViewRow]].Marked = !FItems[FView[AViewRow]].Marked;
}

void TKvCompareModel::MarkAll() {
    const bool all = !FView.empty() &&
                     std::all_of(FView.begin(), FView.end(), [&](int AIndex) { return FItems[AIndex].Marked; });
    for (int index : FView)
        FItems[index].Marked = !all;
}

void TKvCompareModel::CycleAction(int AViewRow) {
    if (AViewRow < 0 || AViewRow >= ViewCount())
        return;
    TKvCompareItem& item = FItems[FView[AViewRow]];
    if (item.Copying)
        return;
    static const TKvSyncAction cycle[] = {saNone, saToRight, saToLeft};
    int at = int(item.Action);
    for (int step = 1; step <= 3; ++step) {
        TKvSyncAction next = cycle[(at + step) % 3];
        if (ActionAllowed(item, next)) {
            item.Action = next;
            return;
        }
    }
}

TKvCopyPlan TKvCompareModel::PlanCopy() const {
    TKvCopyPlan plan;
    // Group key: direction and relative folder, in order of first appearance.
    std::map<std::string, size_t> groups;
    for (int index : FView) {
        const TKvCompareItem& item = FItems[index];
        if (item.Action == saNone || !ActionAllowed(item, item.Action))
            continue;
        const bool toRight = item.Action == saToRight;
        const TKvCompareRow& row = item.Row;
        const TKvRowSide from = toRight ? rsLeft : rsRight, to = toRight ? rsRight : rsLeft;
        const TKvCompareSide& source = toRight ? FLeft : FRight;
        const TKvCompareSide& dest = toRight ? FRight : FLeft;
        const TKvFileEntry& entry = toRight ? row.Left : row.Right;
        plan.Taken.push_back(index);
        (toRight ? plan.ToRight : plan.ToLeft) += 1;
        if (!entry.IsDir)
            (toRight ? plan.BytesToRight : plan.BytesToLeft) += std::max<int64_t>(entry.Size, 0);

        TKvTransferRequest request;
        request.Kind = tkCopy;
        request.SourceFs = source.Fs;
        request.SourceDir = RowSideFolder(*source.Fs, source.Root, row, from);
        request.DestFs = dest.Fs;
        request.Overwrite = true;
        const bool present = toRight ? row.HasRight : row.HasLeft;
        if (present && RowSideName(row, to) != entry.Name) {
            // The names paired without regard to case: the copy replaces the file under the
            // destination's own spelling instead of putting a second one beside it.
            request.Items = {entry};
            request.DestPath = RowSidePath(*dest.Fs, dest.Root, row, to);
            plan.Requests.push_back(std::move(request));
            continue;
        }
        const std::string key = std::to_string(int(item.Action)) + "|" + row.RelDir;
        auto [at, added] = groups.emplace(key, plan.Requests.size());
        if (added) {
            // A folder destination ends with a separator, so the engine copies into it (making
            // it under the destination's spelling when it is gone) and never takes it as the
            // new name of a single item.
            request.DestPath = RowSideFolder(*dest.Fs, dest.Root, row, to);
            if (request.DestPath.empty() || request.DestPath.back() != '/')
                request.DestPath += '/';
            plan.Requests.push_back(std::move(request));
        }
        plan.Requests[at->second].Items.push_back(entry);
    }
    return plan;
}

std::string TKvCompareModel::ConfirmText(const TKvCopyPlan& APlan) const {
    std::string text;
    if (APlan.ToRight > 0)
        text = Format("Copy %d item(s), %s, from the left to the right:\r\n%s", APlan.ToRight,
                      FormatSize(APlan.BytesToRight).c_str(), FRight.Title.c_str());
    if (APlan.ToLeft > 0) {
        if (!text.empty())
            text += "\r\n\r\n";
        text += Format("Copy %d item(s), %s, from the right to the left:\r\n%s", APlan.ToLeft,
                       FormatSize(APlan.BytesToLeft).c_str(), FLeft.Title.c_str());
    }
    return text + "\r\n\r\nFiles that are there are replaced without asking.";
}

void TKvCompareModel::MarkCopying(const TKvCopyPlan& APlan) {
    for (int index : APlan.Taken) {
        FItems[index].Copying = true;
        FItems[index].Marked = false;
    }
}

bool TKvCompareModel::BeginRecheck(std::vector<int>& AIndices, std::vector<TKvCompareRow>& ARows, int& AGen) {
    if (Busy())
        return false;
    AIndices.clear();
    ARows.clear();
    for (int i = 0; i < ItemCount(); ++i)
        if (FItems[i].Copying) {
            AIndices.push_back(i);
            ARows.push_back(FItems[i].Row);
        }
    if (AIndices.empty())
        return false;
    FChecking = true;
    AGen = ++FGen;
    return true;
}

bool TKvCompareModel::RecheckArrived(int AGen, const std::vector<int>& AIndices, std::vector<TKvCompareRow> ARows) {
    if (AGen != FGen)
        return false;
    FChecking = false;
    for (size_t k = 0; k < AIndices.size() && k < ARows.size(); ++k) {
        if (AIndices[k] >= ItemCount())
            continue;
        TKvCompareItem& item = FItems[AIndices[k]];
        item.Row = std::move(ARows[k]);
        item.Copying = false;
        item.Action = saNone;
    }
    return true;
}

std::string TKvCompareModel::SidePath(TKvRowSide ASide, const TKvCompareRow& ARow) const {
    const TKvCompareSide& side = ASide == rsLeft ? FLeft : FRight;
    return RowSidePath(*side.Fs, side.Root, ARow, ASide);
}

std::string TKvCompareModel::SideDisplayName(TKvRowSide ASide, const TKvCompareRow& ARow) const {
    const std::string& title = (ASide == rsLeft ? FLeft : FRight).Title;
    std::string path = RowPath(ARow);
    std::replace(path.begin(), path.end(), '/', FSep);
    return EndsWithSlash(title) ? title + path : title + FSep + path;
}

std::string TKvCompareModel::DisplayPath(const TKvCompareRow& ARow) const {
    std::string path = RowPath(ARow);
    std::replace(path.begin(), path.end(), '/', FSep);
    if (RowIsFolder(ARow))
        path += FSep;
    return path;
}

std::string TKvCompareModel::StatusText() const {
    std::string text;
    if (FRunning) {
        text = Format(" Comparing... %s files in %s folders   %s   (Esc to stop)", FormatBytes(FFiles).c_str(),
                      FormatBytes(FFolders).c_str(), FCurrent.c_str());
    } else if (FChecking) {
        text = " Comparing the copied files again...   (Esc to stop)";
    } else if (!FError.empty()) {
        text = " The comparison failed: " + FError;
    } else {
        int same = 0, differ = 0, leftOnly = 0, rightOnly = 0, errors = 0, copying = 0, toRight = 0, toLeft = 0;
        for (const auto& item : FItems) {
            switch (item.Row.State) {
            case crSame:
            case crSameText:
                ++same;
                break;
            case crDiffer:
            case crKindClash:
                ++differ;
                break;
            case crLeftOnly:
                ++leftOnly;
                break;
            case crRightOnly:
                ++rightOnly;
                break;
            case crError:
                ++errors;
                break;
            default:
                break;
            }
            if (item.Copying)
                ++copying;
            else if (item.Action == saToRight)
                ++toRight;
            else if (item.Action == saToLeft)
                ++toLeft;
        }
        text = Format(" %s%d same, %d differ, %d left only, %d right only", FStopped ? "Stopped: " : "", same,
                      differ, leftOnly, rightOnly);
        if (errors > 0)
            text += Format(", %d errors", errors);
        if (copying > 0)
            text += Format("   copying %d", copying);
        else if (toRight + toLeft > 0)
            text += Format("   to copy: %d \xe2\x86\x92, %d \xe2\x86\x90 (F5)", toRight, toLeft);
        text += "   F3 side by side, \xe2\x86\x92/\xe2\x86\x90 direction, Enter go to";
    }
    if (!ScopeIsEmpty(FScope))
        text += "   [only " + ScopeCaption(FScope) + "]";
    return text;
}

} // namespace kv
