#include <gtest/gtest.h>

#include "Kv.FileSystem.h"
#include "Kv.Ui.ProgressModel.h"

using namespace kv;

namespace {

struct TManualClock {
    uint64_t Now = 5000;
    TKvClock Clock() {
        return [this] { return Now; };
    }
};

TKvTransferSnapshot Working(int64_t ABytesDone, int64_t ABytesTotal, uint64_t AElapsedMs) {
    TKvTransferSnapshot snap;
    snap.Active = true;
    snap.Phase = tpWorking;
    snap.ItemsDone = 1;
    snap.ItemsTotal = 4;
    snap.BytesDone = ABytesDone;
    snap.BytesTotal = ABytesTotal;
    snap.ElapsedMs = AElapsedMs;
    return snap;
}

} // namespace

TEST(ProgressModel, FractionsDurationsAndPercentages) {
    EXPECT_EQ(Fraction(5, 0), 0);
    EXPECT_EQ(Fraction(5, -1), 0);
    EXPECT_EQ(Fraction(-3, 10), 0);
    EXPECT_EQ(Fraction(30, 10), 1);
    EXPECT_DOUBLE_EQ(Fraction(1, 4), 0.25);

    // A delete has no bytes: the items carry the fraction.
    TKvTransferSnapshot snap;
    snap.ItemsDone = 3;
    snap.ItemsTotal = 4;
    EXPECT_DOUBLE_EQ(SnapshotFraction(snap), 0.75);
    snap.BytesDone = 10;
    snap.BytesTotal = 40;
    EXPECT_DOUBLE_EQ(SnapshotFraction(snap), 0.25);

    const std::pair<int64_t, const char*> durations[] = {
        {0, "0:00"},       {59, "0:59"},      {61, "1:01"},         {3599, "59:59"},
        {3600, "1:00:00"}, {3661, "1:01:01"}, {360000, "100:00:00"}};
    for (const auto& [seconds, text] : durations)
        EXPECT_EQ(FormatDuration(seconds), text) << seconds;

    // Halves go to the even neighbour.
    EXPECT_EQ(Percentage(0.125), 12);
    EXPECT_EQ(Percentage(0.375), 38);
    EXPECT_EQ(Percentage(0.994), 99);
    EXPECT_EQ(Percentage(1), 100);
}

TEST(ProgressModel, ActionAndStatisticsTexts) {
    TManualClock clock;
    TKvProgressModel model(clock.Clock());
    model.Watch();

    TKvTransferSnapshot scanning;
    scanning.Active = true;
    scanning.Kind = tkMove;
    scanning.CurrentName = "/src/a";
    auto texts = model.Texts(scanning);
    EXPECT_EQ(texts.Action, "Moving: counting files");
    EXPECT_EQ(texts.Stats, "");
    EXPECT_EQ(texts.File, "/src/a");

    TKvTransferSnapshot queued = Working(0, 1000, 0);
    queued.Queued = 2;
    queued.Held = true;
    EXPECT_EQ(model.Texts(queued).Action,
              "Copying (2 more queued), waiting for its turn in the queue");
    EXPECT_EQ(model.Texts(queued).Stats,
              "1 of 4 items, " + FormatSize(0) + " of " + FormatSize(1000));

    TKvTransferSnapshot deleting = Working(0, 0, 2000);
    deleting.Kind = tkDelete;
    texts = model.Texts(deleting);
    EXPECT_EQ(texts.Stats, "1 of 4 items"); // no sizes and no speed without bytes
    EXPECT_DOUBLE_EQ(texts.TotalFraction, 0.25);

    model.SetCancelling();
    EXPECT_EQ(model.Texts(queued).Action, "Cancelling");
    model.Watch();
    EXPECT_EQ(model.Texts(deleting).Action, "Deleting");
}

TEST(ProgressModel, SpeedIsRecomputedOnceASecondAndFreezesWhileAsking) {
    TManualClock clock;
    TKvProgressModel model(clock.Clock());
    model.Watch();
    const std::string sizes = ", " + FormatSize(1000) + " of " + FormatSize(4000);

    // Too early for a speed.
    EXPECT_EQ(model.Texts(Working(1000, 4000, 500)).Stats, "1 of 4 items" + sizes);
    // Still inside the second since the last computation: the empty text stays.
    clock.Now += 999;
    EXPECT_EQ(model.Texts(Working(1000, 4000, 1000)).Stats, "1 of 4 items" + sizes);

    clock.Now += 1;
    const std::string rate = ", " + FormatSize(1000) + "/s, 0:03 left";
    EXPECT_EQ(model.Texts(Working(1000, 4000, 1000)).Stats, "1 of 4 items" + sizes + rate);

    // Within the second the bytes go on, but the line shows the bytes the speed was computed
    // from, so that the time left agrees with them.
    clock.Now += 500;
    EXPECT_EQ(model.Texts(Working(1500, 4000, 1500)).Stats, "1 of 4 items" + sizes + rate);

    // A question keeps the last text even when the second is over.
    clock.Now += 5000;
    TKvTransferSnapshot asking = Working(1000, 4000, 9000);
    asking.PromptKind = pkConflict;
    EXPECT_EQ(model.Texts(asking).Stats, "1 of 4 items" + sizes + rate);

    // Nothing left gives 0:00, never a negative time.
    TKvTransferSnapshot done = Working(5000, 4000, 2000);
    EXPECT_NE(model.Texts(done).Stats.find(", 0:00 left"), std::string::npos);

    // Watch starts afresh: no speed until the next computation.
    model.Watch();
    EXPECT_EQ(model.Texts(Working(0, 4000, 100)).Stats,
              "1 of 4 items, " + FormatSize(0) + " of " + FormatSize(4000));
}

TEST(ProgressModel, PollShowsAfterAQuarterSecondOrAtOnceForAQuestion) {
    TManualClock clock;
    TKvProgressModel model(clock.Clock());
    model.Watch();
    TKvTransferSnapshot snap = Working(0, 10, 0);

    auto plan = model.Poll(snap, false, false);
    EXPECT_FALSE(plan.Show);
    EXPECT_FALSE(plan.Update);
    clock.Now += 249;
    EXPECT_FALSE(model.Poll(snap, false, false).Show);
    clock.Now += 1;
    plan = model.Poll(snap, false, false);
    EXPECT_TRUE(plan.Show);
    EXPECT_TRUE(plan.Update);

    model.Watch();
    snap.PromptKind = pkError;
    EXPECT_TRUE(model.Poll(snap, false, false).Show);

    // Put aside: nothing pops up, not even for a question.
    model.InStrip = true;
    plan = model.Poll(snap, false, false);
    EXPECT_FALSE(plan.Show || plan.Update || plan.Hide || plan.StopTimer);

    // Idle: stop, take the question away, hide.
    snap.Active = false;
    plan = model.Poll(snap, true, false);
    EXPECT_TRUE(plan.StopTimer && plan.HidePrompt && plan.Hide);
}

TEST(ProgressModel, QueuedWindowPopsUpOnlyWhileTheQueueIsShown) {
    TManualClock clock;
    TKvProgressModel model(clock.Clock());
    model.Watch();
    model.InQueue = true;
    clock.Now += 10000;
    TKvTransferSnapshot snap = Working(0, 10, 0);

    EXPECT_FALSE(model.Poll(snap, false, true).Show); // no question: stays in the queue
    snap.PromptKind = pkConflict;
    EXPECT_FALSE(model.Poll(snap, false, false).Show); // the queue window is put aside
    auto plan = model.Poll(snap, false, true);
    EXPECT_TRUE(plan.Show && plan.HidePrompt && plan.Update);
    EXPECT_FALSE(plan.Hide);
    EXPECT_TRUE(model.Popped);

    snap.PromptKind = pkNone;
    plan = model.Poll(snap, true, true);
    EXPECT_TRUE(plan.Update && plan.Hide);
    EXPECT_FALSE(model.Popped);

    // Opened by the user from the queue: it stays.
    plan = model.Poll(snap, true, true);
    EXPECT_TRUE(plan.Update);
    EXPECT_FALSE(plan.Hide);
}

TEST(ProgressModel, PromptButtonsAndTheirLayout) {
    auto conflict = PromptButtons(pkConflict);
    ASSERT_EQ(conflict.size(), 5u);
    const std::tuple<const char*, TKvPromptAnswer, bool> expected[] = {
        {"&Overwrite", paOverwrite, false},
        {"Overwrite &all", paOverwrite, true},
        {"&Skip", paSkip, false},
        {"S&kip all", paSkip, true},
        {"Keep &both", paRename, false}};
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_STREQ(conflict[i].Caption, std::get<0>(expected[i]));
        EXPECT_EQ(conflict[i].Answer, std::get<1>(expected[i]));
        EXPECT_EQ(conflict[i].All, std::get<2>(expected[i]));
    }
    auto error = PromptButtons(pkError);
    ASSERT_EQ(error.size(), 3u);
    EXPECT_STREQ(error[0].Caption, "&Retry");
    EXPECT_EQ(error[0].Answer, paRetry);
    EXPECT_STREQ(error[2].Caption, "S&kip all");
    EXPECT_TRUE(error[2].All);
    EXPECT_EQ(PromptFocusButton(pkConflict), 2); // Skip, never Overwrite
    EXPECT_EQ(PromptFocusButton(pkError), 1);

    // Five buttons land on the designed places; three keep to the right.
    EXPECT_EQ(PromptButtonLefts(5, 508, 92, 6), (std::vector<int>{24, 122, 220, 318, 416}));
    EXPECT_EQ(PromptButtonLefts(3, 508, 92, 6), (std::vector<int>{220, 318, 416}));

    TKvProgressModel model;
    EXPECT_TRUE(model.ShowPrompt(pkConflict));
    EXPECT_FALSE(model.ShowPrompt(pkConflict)); // same question kind: buttons stay
    EXPECT_TRUE(model.ShowPrompt(pkError));
    EXPECT_TRUE(model.HidePrompt());
    EXPECT_FALSE(model.HidePrompt());
}

TEST(StripModel, TabTextsLooksAndBlinking) {
    TKvTransferSnapshot snap = Working(250, 1000, 0);
    snap.Kind = tkDelete;
    EXPECT_EQ(FormTabText(snap, false), "Deleting 25%");
    snap.Queued = 3;
    EXPECT_EQ(FormTabText(snap, true), "Deleting: waiting for you (+3)");
    snap.Phase = tpScanning;
    snap.Queued = 0;
    EXPECT_EQ(FormTabText(snap, false), "Deleting: counting");

    TKvTransferSnapshot first = Working(500, 1000, 0);
    EXPECT_EQ(QueueTabText(2, first, false), "Queue 2: 50%");
    EXPECT_EQ(QueueTabText(2, first, true), "Queue 2: waiting for you");
    first.Phase = tpScanning;
    EXPECT_EQ(QueueTabText(1, first, false), "Queue 1: counting");

    EXPECT_TRUE(BlinkOn(0));
    EXPECT_TRUE(BlinkOn(699));
    EXPECT_FALSE(BlinkOn(700));
    EXPECT_TRUE(BlinkOn(1400));

    TKvTransferSnapshot working = Working(500, 1000, 0);
    EXPECT_EQ(TabLook(working, true, true), (TKvBoxLook{ikMarked, 0, ikBlack}));
    EXPECT_EQ(TabLook(working, true, false), (TKvBoxLook{ikBlack, 0.5, ikWhite}));
    EXPECT_EQ(TabLook(working, false, true), (TKvBoxLook{ikBlack, 0.5, ikWhite}));
}

TEST(StripModel, TabGeometryAndWhatAClickMeans) {
    TKvTabGeometry geometry{100, 4, 2, 22};
    EXPECT_EQ(geometry.LeftOf(0), 4);
    EXPECT_EQ(geometry.LeftOf(2), 212);
    EXPECT_EQ(geometry.TabAt(4, 10, 3), 0);
    EXPECT_EQ(geometry.TabAt(103, 10, 3), 0);
    EXPECT_EQ(geometry.TabAt(106, 10, 3), -1); // the gap
    EXPECT_EQ(geometry.TabAt(250, 10, 3), 2);
    EXPECT_EQ(geometry.TabAt(250, 10, 2), -1); // no third tab
    EXPECT_EQ(geometry.TabAt(50, 1, 3), -1);   // above the tabs
    EXPECT_EQ(geometry.TabAt(50, 22, 3), -1);

    EXPECT_EQ(TabTarget(0, true, 2), KQueueTab);
    EXPECT_EQ(TabTarget(1, true, 2), 0);
    EXPECT_EQ(TabTarget(2, true, 2), 1);
    EXPECT_EQ(TabTarget(3, true, 2), KNoTab);
    EXPECT_EQ(TabTarget(0, false, 2), 0);
    EXPECT_EQ(TabTarget(-1, false, 2), KNoTab);
}

TEST(QueueModel, RowStatusTitleAndLook) {
    TKvTransferSnapshot snap = Working(300, 1000, 0);
    EXPECT_EQ(QueueRowStatus(snap), "30%");
    EXPECT_EQ(QueueRowLook(snap), (TKvBoxLook{ikBlack, 0.3, ikWhite}));
    snap.Queued = 1;
    snap.Held = true;
    EXPECT_EQ(QueueRowStatus(snap), "waiting (+1)");
    EXPECT_EQ(QueueRowLook(snap), (TKvBoxLook{ikBlack, 0, ikSilver})); // no bar while held
    snap.PromptKind = pkError;
    EXPECT_EQ(QueueRowStatus(snap), "waiting for you (+1)");
    EXPECT_EQ(QueueRowLook(snap), (TKvBoxLook{ikMarked, 0, ikBlack}));
    TKvTransferSnapshot scanning;
    EXPECT_EQ(QueueRowStatus(scanning), "counting");
    EXPECT_EQ(QueueRowTitle(0, "Copy \"a&b\" to /d"), "1.  Copy \"a&b\" to /d");
}

TEST(QueueModel, DropPositionsAndMoves) {
    // Rows of 28 pixels, three rows, not scrolled.
    const std::pair<int, int> drops[] = {{-5, 0}, {0, 0},  {14, 0}, {15, 1}, {41, 1},
                                         {43, 2}, {83, 3}, {84, 3}, {400, 3}};
    for (const auto& [y, index] : drops)
        EXPECT_EQ(DropIndexAt(y, 28, 0, 3), index) << y;
    // Scrolled by two rows: the top row on screen is row 2.
    EXPECT_EQ(DropIndexAt(20, 28, 2, 5), 3);
    EXPECT_EQ(DropIndexAt(100, 28, 2, 5), 5);

    // The second of three dropped below the third ends last; on its own place it stays.
    EXPECT_EQ(DropMoveTarget(1, DropIndexAt(90, 28, 0, 3)), 2);
    EXPECT_EQ(DropMoveTarget(1, 1), 1);
    EXPECT_EQ(DropMoveTarget(1, 2), 1);
    EXPECT_EQ(DropMoveTarget(2, 0), 0);

    EXPECT_EQ(RefreshedRow(2, 0, 3), 2);  // the selected session moved
    EXPECT_EQ(RefreshedRow(-1, 5, 3), 2); // it left: the current row, clamped
    EXPECT_EQ(RefreshedRow(-1, -1, 3), 0);
    EXPECT_EQ(RefreshedRow(-1, 1, 0), -1);
}
