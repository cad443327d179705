// What the compare window shows and how it reacts, without any widget: the rows received, the
// view through the Show options, directions and marks, the copy requests, generations that keep
// a superseded job's rows out, the column layout and the texts and colours of rows and status.
#pragma once

#include <array>
#include <deque>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "Kv.Compare.h"
#include "Kv.Settings.h"
#include "Kv.Transfer.Engine.h"

namespace kv {

struct TKvCompareSide {
    IKvFileSystemPtr Fs;
    std::string Root;
    std::string Title;
};

enum class TKvSyncAction { saNone, saToRight, saToLeft };
using enum TKvSyncAction;

struct TKvCompareItem {
    TKvCompareRow Row;
    TKvSyncAction Action = saNone;
    bool Marked = false;
    // Handed to the transfer engine and not compared again yet.
    bool Copying = false;
};

// The mark the Copy column shows: empty, an arrow to the right or to the left.
const char* SyncMark(TKvSyncAction AAction);
// "waiting", "same", ... "error"; "copying" for a row being copied.
const char* StateLabel(const TKvCompareItem& AItem);
TKvSyncAction DefaultAction(const TKvCompareRow& ARow);
bool ActionAllowed(const TKvCompareItem& AItem, TKvSyncAction AAction);
bool RowVisible(const TKvCompareItem& AItem, const TKvCompareOptions& AOptions);

// Colours of a row as the list paints it (not selected).
TKvColor StateColor(const TKvCompareItem& AItem, const TKvColors& AColors);
TKvColor NameColor(const TKvCompareItem& AItem, const TKvColors& AColors);
inline constexpr TKvColor KCompareAlarm = KvRgb(0xff, 0x80, 0x80);

// "<DIR>", the formatted size, or empty for a missing side; likewise the stamp.
std::string SideSizeText(const TKvCompareRow& ARow, TKvRowSide ASide);
std::string SideDateText(const TKvCompareRow& ARow, TKvRowSide ASide);

// The column edges E0..E8 for a list of client width AWidth; AScale scales a 96-dpi size.
// ACharWidth, when given, widens the date and status columns to what their texts need in a
// font wider than the one the sizes were chosen for.
std::array<int, 9> CompareColumnEdges(int AWidth, const std::function<int(int)>& AScale, int ACharWidth = 0);

// A copy in one confirmed step: the requests in group order and what the question tells.
struct TKvCopyPlan {
    std::vector<TKvTransferRequest> Requests;
    std::vector<int> Taken; // item indices
    int ToRight = 0, ToLeft = 0;
    int64_t BytesToRight = 0, BytesToLeft = 0;
};

class TKvCompareModel {
public:
    static constexpr const char* KWaitText = "Wait until the comparison is done, or stop it with Esc.";
    static constexpr const char* KNothingChosen =
        "Nothing is chosen to be copied. Pick a direction for a row first: Right arrow copies to "
        "the right, Left arrow to the left.";

    TKvCompareModel(TKvCompareSide ALeft, TKvCompareSide ARight, TKvCompareOptions AOptions,
                    TKvCompareScope AScope);

    const TKvCompareSide& Left() const { return FLeft; }
    const TKvCompareSide& Right() const { return FRight; }
    const TKvCompareScope& Scope() const { return FScope; }
    TKvCompareOptions& Options() { return FOptions; }
    const TKvCompareOptions& RunOptions() const { return FRunOptions; }
    char Separator() const { return FSep; }
    std::string WindowTitle() const;

    // A new comparison: everything received is dropped; the generation to give the job.
    int BeginRun();
    // False when the generation is not the current one (the delivery is dropped).
    bool RowsArrived(int AGen, std::vector<TKvCompareRow> ARows, int AFolders, const std::string& ACurrent,
                     int AFiles);
    bool RunFinished(int AGen, const std::string& AError);
    // Esc: false when no job runs.
    bool Stop();
    bool Busy() const { return FRunning || FChecking; }
    bool Running() const { return FRunning; }
    bool Checking() const { return FChecking; }
    int Generation() const { return FGen; }

    // The view: indices into the items of the rows the Show options let through.
    int ItemCount() const { return static_cast<int>(FItems.size()); }
    const TKvCompareItem& Item(int AIndex) const { return FItems[AIndex]; }
    int ViewCount() const { return static_cast<int>(FView.size()); }
    int ViewItem(int AViewRow) const { return FView[AViewRow]; }
    const TKvCompareItem& ViewRow(int AViewRow) const { return FItems[FView[AViewRow]]; }
    // Rebuilt from every item; the selection (a view row, -1 for none) keeps to its item or the
    // next one shown, else the last row.
    int RebuildView(int ASelected);

    // Targets: the marked shown rows, or else the selected one.
    std::vector<int> Targets(int ASelected) const;
    // False when a single unmarked target refused the direction (the caller beeps).
    bool SetDirection(int ASelected, TKvSyncAction AAction, bool& ASingle);
    void ToggleMark(int AViewRow);
    void MarkAll();
    // A click in the Copy column: the next allowed direction.
    void CycleAction(int AViewRow);

    // The rows a copy takes and the requests for them; empty when nothing is chosen.
    TKvCopyPlan PlanCopy() const;
    std::string ConfirmText(const TKvCopyPlan& APlan) const;
    void MarkCopying(const TKvCopyPlan& APlan);

    // After the transfers: the rows to compare again, or false when there are none.
    bool BeginRecheck(std::vector<int>& AIndices, std::vector<TKvCompareRow>& ARows, int& AGen);
    bool RecheckArrived(int AGen, const std::vector<int>& AIndices, std::vector<TKvCompareRow> ARows);

    // A side's full path of a row, and the name that shows it to the user.
    std::string SidePath(TKvRowSide ASide, const TKvCompareRow& ARow) const;
    std::string SideDisplayName(TKvRowSide ASide, const TKvCompareRow& ARow) const;
    // RowPath with the display separator, and the separator after a folder.
    std::string DisplayPath(const TKvCompareRow& ARow) const;

    std::string StatusText() const;

private:
    TKvCompareSide FLeft, FRight;
    TKvCompareOptions FOptions, FRunOptions;
    TKvCompareScope FScope;
    int FGen = 0;
    // A deque: 100,000 rows arrive in slices, and growing never moves the rows already held.
    std::deque<TKvCompareItem> FItems;
    std::vector<int> FView;
    bool FRunning = false;
    bool FChecking = false;
    int FFolders = 0, FFiles = 0;
    std::string FCurrent;
    std::string FError;
    bool FStopped = false;
    char FSep = '/';
};

} // namespace kv
