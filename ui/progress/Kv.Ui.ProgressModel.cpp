#include "Kv.Ui.ProgressModel.h"

#include <algorithm>
#include <cstdio>

#include "Kv.FileSystem.h"
#include "Kv.Numbers.h"

namespace kv {

namespace {

constexpr uint64_t KShowDelayMs = 250;
constexpr uint64_t KRateIntervalMs = 1000;
// Below this the speed is mostly start-up noise.
constexpr uint64_t KRateMinElapsedMs = 500;
constexpr uint64_t KBlinkMs = 700;

bool Working(const TKvTransferSnapshot& ASnap) {
    return ASnap.Phase == tpWorking;
}

std::string WithQueued(std::string AText, int AQueued) {
    if (AQueued > 0)
        AText += " (+" + std::to_string(AQueued) + ")";
    return AText;
}

std::string PercentText(double AFraction) {
    return std::to_string(Percentage(AFraction)) + "%";
}

} // namespace

// ---- Shared helpers ----

const char* KindWord(TKvTransferKind AKind) {
    switch (AKind) {
    case tkCopy:
        return "Copying";
    case tkMove:
        return "Moving";
    case tkDelete:
        return "Deleting";
    case tkZip:
        return "Zipping";
    }
    return "Copying";
}

double Fraction(int64_t ADone, int64_t ATotal) {
    if (ATotal <= 0)
        return 0;
    return std::clamp(static_cast<double>(ADone) / static_cast<double>(ATotal), 0.0, 1.0);
}

double SnapshotFraction(const TKvTransferSnapshot& ASnap) {
    if (ASnap.BytesTotal > 0)
        return Fraction(ASnap.BytesDone, ASnap.BytesTotal);
    return Fraction(ASnap.ItemsDone, ASnap.ItemsTotal);
}

std::string FormatDuration(int64_t ASeconds) {
    char buffer[48];
    if (ASeconds < 3600)
        std::snprintf(buffer, sizeof buffer, "%lld:%.2lld", static_cast<long long>(ASeconds / 60),
                      static_cast<long long>(ASeconds % 60));
    else
        std::snprintf(
            buffer, sizeof buffer, "%lld:%.2lld:%.2lld", static_cast<long long>(ASeconds / 3600),
            static_cast<long long>((ASeconds / 60) % 60), static_cast<long long>(ASeconds % 60));
    return buffer;
}

int Percentage(double AFraction) {
    return static_cast<int>(RoundHalfEven(AFraction * 100));
}

// ---- The progress window ----

std::vector<TKvPromptButton> PromptButtons(TKvPromptKind AKind) {
    switch (AKind) {
    case pkConflict:
        return {{"&Overwrite", paOverwrite, false},
                {"Overwrite &all", paOverwrite, true},
                {"&Skip", paSkip, false},
                {"S&kip all", paSkip, true},
                {"Keep &both", paRename, false}};
    case pkError:
        return {{"&Retry", paRetry, false}, {"&Skip", paSkip, false}, {"S&kip all", paSkip, true}};
    case pkSpace:
        return {{"&Retry", paRetry, false},
                {"Copy &anyway", paOverwrite, false},
                {"&Cancel", paCancel, false}};
    case pkNone:
        break;
    }
    return {};
}

std::vector<TKvPromptButton> PromptButtonMenu(TKvPromptKind AKind, int AIndex) {
    if (AKind != pkConflict || AIndex != 1)
        return {};
    return {{"&All files", paOverwrite, true},
            {"Only where the new one is &newer", paOverwriteNewer, true},
            {"Only where the &size differs", paOverwriteSizeDiffers, true}};
}

int PromptFocusButton(TKvPromptKind AKind) {
    switch (AKind) {
    case pkConflict:
        return 2; // Skip: Enter never replaces a file
    case pkError:
        return 1;
    case pkSpace:
        return 2; // Cancel: nothing fills the disk unasked
    case pkNone:
        break;
    }
    return -1;
}

std::vector<int> PromptButtonLefts(int ACount, int ARight, int AWidth, int AGap) {
    std::vector<int> lefts(std::max(0, ACount));
    int right = ARight;
    for (int i = ACount - 1; i >= 0; --i) {
        lefts[i] = right - AWidth;
        right = lefts[i] - AGap;
    }
    return lefts;
}

TKvProgressModel::TKvProgressModel(TKvClock AClock) : FClock(std::move(AClock)) {}

void TKvProgressModel::Watch() {
    FShowAtTick = FClock() + KShowDelayMs;
    FCancelling = false;
    FRateText.clear();
    FRateDueTick = 0;
}

TKvPollPlan TKvProgressModel::Poll(const TKvTransferSnapshot& ASnap, bool AVisible,
                                   bool AQueueVisible) {
    TKvPollPlan plan;
    const bool asking = ASnap.PromptKind != pkNone;
    if (!ASnap.Active) {
        plan.StopTimer = plan.HidePrompt = plan.Hide = true;
        return plan;
    }
    if (InQueue) {
        // A queued copy stays out of sight unless it asks while the user looks at the queue.
        if (!AVisible && asking && AQueueVisible) {
            plan.HidePrompt = plan.Show = true;
            Popped = true;
            AVisible = true;
        }
        if (AVisible) {
            plan.Update = true;
            if (Popped && !asking) {
                Popped = false;
                plan.Hide = true;
            }
        }
        return plan;
    }
    if (InStrip)
        return plan; // the tab shows it
    if (!AVisible && (FClock() >= FShowAtTick || asking)) {
        plan.Show = true;
        AVisible = true;
    }
    plan.Update = AVisible;
    return plan;
}

TKvProgressTexts TKvProgressModel::Texts(const TKvTransferSnapshot& ASnap) {
    TKvProgressTexts texts;
    if (FCancelling) {
        // Every job of the session is cancelled, so what was queued behind it no longer counts.
        texts.Action = "Cancelling";
    } else {
        texts.Action = KindWord(ASnap.Kind);
        if (!Working(ASnap))
            texts.Action += ": counting files";
        if (ASnap.Queued > 0)
            texts.Action += " (" + std::to_string(ASnap.Queued) + " more queued)";
        if (ASnap.Paused)
            texts.Action += ", paused";
        else if (ASnap.Held)
            texts.Action += ", waiting for its turn in the queue";
    }
    texts.File = ASnap.CurrentName;
    texts.FileFraction = Fraction(ASnap.FileDone, ASnap.FileTotal);
    texts.TotalFraction = SnapshotFraction(ASnap);
    if (Working(ASnap)) {
        texts.Stats =
            std::to_string(ASnap.ItemsDone) + " of " + std::to_string(ASnap.ItemsTotal) + " items";
        if (ASnap.BytesTotal > 0) {
            // The bytes shown with a speed are the ones the speed was computed from, so the
            // time left agrees with them.
            const std::string rate = ASnap.Paused ? std::string() : RateText(ASnap);
            texts.Stats += ", " + FormatSize(rate.empty() ? ASnap.BytesDone : FRateBytes) + " of " +
                           FormatSize(ASnap.BytesTotal) + rate;
        }
    }
    return texts;
}

std::string TKvProgressModel::RateText(const TKvTransferSnapshot& ASnap) {
    const uint64_t now = FClock();
    // Frozen while a question waits: the job makes no progress then.
    if (ASnap.PromptKind != pkNone || now < FRateDueTick)
        return FRateText;
    FRateDueTick = now + KRateIntervalMs;
    if (ASnap.ElapsedMs <= KRateMinElapsedMs || ASnap.BytesDone <= 0) {
        FRateText.clear();
        return FRateText;
    }
    const double rate =
        static_cast<double>(ASnap.BytesDone) / (static_cast<double>(ASnap.ElapsedMs) / 1000.0);
    const int64_t remaining = std::max<int64_t>(0, ASnap.BytesTotal - ASnap.BytesDone);
    const int64_t seconds = RoundHalfEven(static_cast<double>(remaining) / rate);
    FRateText = ", " + FormatSize(RoundHalfEven(rate)) + "/s, " + FormatDuration(seconds) + " left";
    FRateBytes = ASnap.BytesDone;
    return FRateText;
}

bool TKvProgressModel::ShowPrompt(TKvPromptKind AKind) {
    if (AKind == FShownPrompt)
        return false;
    FShownPrompt = AKind;
    return true;
}

bool TKvProgressModel::HidePrompt() {
    if (FShownPrompt == pkNone)
        return false;
    FShownPrompt = pkNone;
    return true;
}

// ---- The transfer strip ----

bool BlinkOn(uint64_t ANowMs) {
    return (ANowMs / KBlinkMs) % 2 == 0;
}

std::string QueueTabText(int AQueueCount, const TKvTransferSnapshot& AFirst, bool AWaiting) {
    const std::string head = "Queue " + std::to_string(AQueueCount) + ": ";
    if (AWaiting)
        return head + "waiting for you";
    if (AFirst.Paused)
        return head + "paused";
    if (Working(AFirst))
        return head + PercentText(SnapshotFraction(AFirst));
    return head + "counting";
}

std::string FormTabText(const TKvTransferSnapshot& ASnap, bool AWaiting) {
    std::string text = KindWord(ASnap.Kind);
    if (AWaiting)
        text += ": waiting for you";
    else if (ASnap.Paused)
        text += ": paused";
    else if (Working(ASnap))
        text += " " + PercentText(SnapshotFraction(ASnap));
    else
        text += ": counting";
    return WithQueued(text, ASnap.Queued);
}

TKvBoxLook TabLook(const TKvTransferSnapshot& ASnap, bool AWaiting, bool ABlinkOn) {
    if (AWaiting && ABlinkOn)
        return {ikMarked, 0, ikBlack};
    return {ikBlack, Working(ASnap) ? SnapshotFraction(ASnap) : 0, ikWhite};
}

int TKvTabGeometry::TabAt(int AX, int AY, int ACount) const {
    if (AY < Top || AY >= Bottom)
        return -1;
    for (int i = 0; i < ACount; ++i)
        if (AX >= LeftOf(i) && AX < LeftOf(i) + TabWidth)
            return i;
    return -1;
}

int TabTarget(int ATab, bool AHasQueueTab, int AFormCount) {
    if (ATab < 0)
        return KNoTab;
    if (AHasQueueTab) {
        if (ATab == 0)
            return KQueueTab;
        --ATab;
    }
    return ATab < AFormCount ? ATab : KNoTab;
}

// ---- The queue window ----

std::string QueueRowStatus(const TKvTransferSnapshot& ASnap) {
    std::string status;
    if (ASnap.PromptKind != pkNone)
        status = "waiting for you";
    else if (ASnap.Paused)
        status = "paused";
    else if (ASnap.Held)
        status = "waiting";
    else if (Working(ASnap))
        status = PercentText(SnapshotFraction(ASnap));
    else
        status = "counting";
    return WithQueued(status, ASnap.Queued);
}

std::string QueueRowTitle(int ARow, const std::string& ATitle) {
    return std::to_string(ARow + 1) + ".  " + ATitle;
}

TKvBoxLook QueueRowLook(const TKvTransferSnapshot& ASnap) {
    if (ASnap.PromptKind != pkNone)
        return {ikMarked, 0, ikBlack};
    const bool still = ASnap.Held || ASnap.Paused;
    const bool bar = !ASnap.Held && Working(ASnap);
    return {ikBlack, bar ? SnapshotFraction(ASnap) : 0, still ? ikSilver : ikWhite};
}

int DropIndexAt(int AY, int ARowHeight, int ATopRow, int ARowCount) {
    if (AY < 0 || ARowHeight <= 0)
        return 0;
    const int visible = AY / ARowHeight;
    const int row = ATopRow + visible;
    if (row >= ARowCount)
        return ARowCount;
    const int top = visible * ARowHeight;
    const int middle = (top + top + ARowHeight) / 2;
    return middle < AY ? row + 1 : row;
}

int DropMoveTarget(int AFrom, int ATarget) {
    return AFrom < ATarget ? ATarget - 1 : ATarget;
}

int RefreshedRow(int ASessionIndex, int ACurrentRow, int ACount) {
    if (ACount <= 0)
        return -1;
    if (ASessionIndex >= 0 && ASessionIndex < ACount)
        return ASessionIndex;
    return std::clamp(ACurrentRow, 0, ACount - 1);
}

} // namespace kv
