// The rules behind the progress windows, the transfer strip and the queue window, as plain
// code: what each shows for a session snapshot and the clock, when a window appears, and how
// tabs, rows and drops map to sessions. The Qt windows paint what these say.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Kv.Transfer.Sessions.h"

namespace kv {

// ---- Shared helpers ----

// "Copying", "Moving", "Deleting", "Zipping".
const char* KindWord(TKvTransferKind AKind);
// done / total clamped to 0..1; 0 when there is no total.
double Fraction(int64_t ADone, int64_t ATotal);
// By bytes when the job has any (copies), else by items (deletes).
double SnapshotFraction(const TKvTransferSnapshot& ASnap);
// "m:ss" below an hour, else "h:mm:ss".
std::string FormatDuration(int64_t ASeconds);
// A fraction as a whole percentage, halves to even.
int Percentage(double AFraction);

// The few colours the gauges, tabs and rows are drawn with.
enum class TKvInk { ikBlack, ikWhite, ikSilver, ikMarked, ikBars, ikBackground };
using enum TKvInk;

// How a gauge-like box (a strip tab or a queue row) is filled and written on.
struct TKvBoxLook {
    TKvInk Fill = ikBlack;
    double Bar = 0; // fraction of the width filled with "bars" from the left
    TKvInk Text = ikWhite;
    bool operator==(const TKvBoxLook&) const = default;
};

// ---- The progress window ----

struct TKvPromptButton {
    const char* Caption;
    TKvPromptAnswer Answer;
    bool All; // applies the answer to every later question of the kind
};
// The answer buttons of a question, left to right, and which of them takes the focus.
std::vector<TKvPromptButton> PromptButtons(TKvPromptKind AKind);
int PromptFocusButton(TKvPromptKind AKind);
// The answers in the menu behind a button, top to bottom; empty for a button that answers at
// once. The conflict's "Overwrite all" asks which files: all, or only where the new one is newer
// or of another size.
std::vector<TKvPromptButton> PromptButtonMenu(TKvPromptKind AKind, int AIndex);
// Lefts of ACount buttons laid out leftwards from ARight, the last one rightmost.
std::vector<int> PromptButtonLefts(int ACount, int ARight, int AWidth, int AGap);

// Everything the window writes for one snapshot.
struct TKvProgressTexts {
    std::string Action;
    std::string File;
    std::string Stats;
    double FileFraction = 0;
    double TotalFraction = 0;
};

// What one poll of the window does, in this order.
struct TKvPollPlan {
    bool StopTimer = false;
    bool HidePrompt = false; // before showing or hiding
    bool Show = false;       // centred over the main window
    bool Update = false;     // show the snapshot
    bool Hide = false;
};

// One progress window's state apart from its widgets.
class TKvProgressModel {
public:
    explicit TKvProgressModel(TKvClock AClock = MonotonicMs);

    // A request started on the session: the window may appear 250 ms from now.
    void Watch();
    void SetCancelling() { FCancelling = true; }
    void ClearCancelling() { FCancelling = false; }
    bool Cancelling() const { return FCancelling; }

    // Where the window is: put aside into the strip, in the queue, popped up from the queue for
    // a question.
    bool InStrip = false;
    bool InQueue = false;
    bool Popped = false;

    // The poll of a window with a session; AVisible is whether it is on screen now.
    TKvPollPlan Poll(const TKvTransferSnapshot& ASnap, bool AVisible, bool AQueueVisible);
    // The texts of a snapshot; the speed text is recomputed at most once a second.
    TKvProgressTexts Texts(const TKvTransferSnapshot& ASnap);

    // The question whose buttons are set up. True when the buttons must be set up anew.
    bool ShowPrompt(TKvPromptKind AKind);
    // True when a question area was shown and now is to be hidden.
    bool HidePrompt();
    TKvPromptKind ShownPrompt() const { return FShownPrompt; }

    uint64_t Now() const { return FClock(); }

private:
    std::string RateText(const TKvTransferSnapshot& ASnap);

    TKvClock FClock;
    uint64_t FShowAtTick = 0;
    bool FCancelling = false;
    std::string FRateText;
    int64_t FRateBytes = 0;
    uint64_t FRateDueTick = 0;
    TKvPromptKind FShownPrompt = pkNone;
};

// ---- The transfer strip ----

// The blinking of a tab that waits for the user: on, off, every 700 ms.
bool BlinkOn(uint64_t ANowMs);
// The widest text a tab has to hold.
inline constexpr const char* KWidestTabText = "Deleting: waiting for you (+99)";

// The queue tab: the snapshot is that of the first queued session; AWaiting when the queue
// window is put aside and some queued session asks.
std::string QueueTabText(int AQueueCount, const TKvTransferSnapshot& AFirst, bool AWaiting);
// A progress window's tab; AWaiting when it is in the strip and its session asks.
std::string FormTabText(const TKvTransferSnapshot& ASnap, bool AWaiting);
TKvBoxLook TabLook(const TKvTransferSnapshot& ASnap, bool AWaiting, bool ABlinkOn);

struct TKvTabGeometry {
    int TabWidth = 0;
    int Gap = 0;
    int Top = 0;
    int Bottom = 0;
    int LeftOf(int AIndex) const { return Gap + AIndex * (Gap + TabWidth); }
    // The tab under a point, or -1.
    int TabAt(int AX, int AY, int ACount) const;
};

// What a tab stands for: -1 the queue window, else the index of a progress window; -2 nothing.
inline constexpr int KQueueTab = -1;
inline constexpr int KNoTab = -2;
int TabTarget(int ATab, bool AHasQueueTab, int AFormCount);

// ---- The queue window ----

// "waiting for you", "waiting", "37%" or "counting", with "(+n)" for jobs behind the current one.
std::string QueueRowStatus(const TKvTransferSnapshot& ASnap);
// "1.  Copy "a" to /b".
std::string QueueRowTitle(int ARow, const std::string& ATitle);
TKvBoxLook QueueRowLook(const TKvTransferSnapshot& ASnap);

// The position a drop at AY goes to, rows of ARowHeight from ATopRow at y 0: the row count past
// the last row, 0 above the first, else the row under AY, or the one after it when AY is below
// the row's middle.
int DropIndexAt(int AY, int ARowHeight, int ATopRow, int ARowCount);
// The queue index a row dragged from AFrom ends at when dropped before position ATarget.
int DropMoveTarget(int AFrom, int ATarget);
// The row to select after a refresh: the selected session's queue index, or when it left the
// queue the current row clamped into the queue; -1 for an empty queue.
int RefreshedRow(int ASessionIndex, int ACurrentRow, int ACount);

} // namespace kv
