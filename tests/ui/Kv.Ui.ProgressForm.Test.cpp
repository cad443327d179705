#include <gtest/gtest.h>

#include <QApplication>
#include <QListWidget>
#include <QMenu>
#include <QTimer>
#include <QMouseEvent>
#include <QPointer>
#include <QPushButton>
#include <QScrollBar>
#include <QTest>

#include "Kv.Ui.Dpi.h"
#include "Kv.Ui.ProgressForm.h"
#include "Kv.Ui.QueueForm.h"
#include "Kv.Ui.TransferStrip.h"
#include "Kv.Ui.Theme.h"
#include "KvMemoryFs.h"
#include "KvTestSupport.h"

using namespace kv;
using namespace kv::test;

namespace {

struct TManualClock {
    uint64_t Now = 100000;
    TKvClock Clock() {
        return [this] { return Now; };
    }
};

// A source folder "/src" in memory, and a destination "/d" whose calls can be gated.
struct TFolders {
    std::shared_ptr<TKvMemoryFs> Source = std::make_shared<TKvMemoryFs>("mem:src");
    std::shared_ptr<TKvMemoryFs> DestMem = std::make_shared<TKvMemoryFs>("mem:dst");
    std::shared_ptr<TKvFaultFs> Dest = std::make_shared<TKvFaultFs>(DestMem);
    TFolders() { DestMem->AddDir("/d"); }

    TKvTransferRequest Copy(std::initializer_list<const char*> ANames) {
        TKvTransferRequest request;
        request.Kind = tkCopy;
        request.SourceFs = Source;
        request.SourceDir = "/src";
        for (const char* name : ANames) {
            TKvFileEntry entry;
            EXPECT_TRUE(Source->Stat(std::string("/src/") + name, entry)) << name;
            request.Items.push_back(entry);
        }
        request.DestFs = Dest;
        request.DestPath = "/d";
        return request;
    }
    // The first write into the destination waits until Release.
    void GateFirstWrite() { Dest->AddFault({foWrite, 1, 1, true, false}); }
    bool HasPartFile() const {
        for (const auto& path : DestMem->Paths())
            if (path.find(KPartSuffix) != std::string::npos)
                return true;
        return false;
    }
};

// The windows as the main window wires them: a strip at the top of a stand-in main window,
// the queue window, and a progress window per session kept in the session's Data slot.
struct TWindows {
    TManualClock Clock;
    std::vector<TKvTransferResult> Results;
    int Ended = 0;
    QWidget Main;
    TKvTransferStrip* Strip = new TKvTransferStrip(&Main, Clock.Clock());
    std::vector<std::shared_ptr<TFolders>> Folders;
    TKvTransferManager Manager{
        [this](const TKvTransferResult& AResult) { Results.push_back(AResult); }};
    TKvQueueForm Queue{Strip, &Manager};
    std::vector<std::string> Confirmations;
    bool ConfirmAnswer = false;

    TWindows() {
        Main.setGeometry(100, 100, 900, 600);
        Main.show();
        Strip->SetQueueForm(&Queue);
        Manager.OnSessionEnded = [this](TKvTransferSession& ASession) {
            ++Ended;
            if (TProgressForm* form = ProgressFormOf(ASession))
                form->SessionEnded();
            ASession.Data.reset();
        };
        Queue.OnConfirm = [this](const std::string& AText) {
            Confirmations.push_back(AText);
            return ConfirmAnswer;
        };
    }
    ~TWindows() {
        for (auto& folders : Folders)
            folders->Dest->Release();
        if (!QTest::qWaitFor([this] { return Manager.SessionCount() == 0; }, 10000))
            ADD_FAILURE() << "sessions still running at the end of the test";
        Strip->Clear();
        Queue.Shutdown();
    }
    TFolders& NewFolders() { return *Folders.emplace_back(std::make_shared<TFolders>()); }

    // Starting a request as the main window does.
    TProgressForm& Start(const TKvTransferRequest& ARequest) {
        TKvTransferSession& session = Manager.Enqueue(ARequest);
        TProgressForm* form = ProgressFormOf(session);
        if (!form)
            form = &NewProgressForm(session, Strip, Clock.Clock());
        form->Watch();
        return *form;
    }
    bool WaitResults(size_t ACount) {
        return QTest::qWaitFor([&] { return Results.size() >= ACount; }, 10000);
    }
    // Polls until the session asks (the job runs on its own thread).
    static bool WaitQuestion(TProgressForm& AForm) {
        return QTest::qWaitFor(
            [&] { return AForm.Session() && AForm.Session()->Snapshot().PromptKind != pkNone; },
            10000);
    }
};

// Counts how often a window is shown.
class TShowCounter : public QObject {
public:
    int Shows = 0;
    bool eventFilter(QObject*, QEvent* AEvent) override {
        if (AEvent->type() == QEvent::Show)
            ++Shows;
        return false;
    }
};

void SendMouse(QWidget* AWidget, QEvent::Type AType, QPoint APoint, Qt::MouseButton AButton,
               Qt::MouseButtons AButtons) {
    QMouseEvent event(AType, QPointF(APoint), AWidget->mapToGlobal(QPointF(APoint)), AButton,
                      AButtons, Qt::NoModifier);
    QApplication::sendEvent(AWidget, &event);
}

// Drags a queue row by the mouse, from one point of the list to another.
void DragRow(QListWidget* AList, QPoint AFrom, QPoint ATo) {
    QWidget* viewport = AList->viewport();
    SendMouse(viewport, QEvent::MouseButtonPress, AFrom, Qt::LeftButton, Qt::LeftButton);
    SendMouse(viewport, QEvent::MouseMove, AFrom + QPoint(0, 2), Qt::NoButton, Qt::LeftButton);
    SendMouse(viewport, QEvent::MouseMove, ATo, Qt::NoButton, Qt::LeftButton);
    SendMouse(viewport, QEvent::MouseButtonRelease, ATo, Qt::LeftButton, Qt::NoButton);
}

int RowMiddle(int ARow) {
    return ARow * ScaleToScreen(28) + ScaleToScreen(28) / 2;
}

// Clicks an answer button whose menu opens as a popup, and takes the entry with ACaption from it.
void ChooseFromMenu(QPushButton* AButton, const QString& ACaption) {
    auto* poll = new QTimer(AButton);
    QObject::connect(poll, &QTimer::timeout, [poll, ACaption] {
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        if (!menu)
            return;
        poll->stop();
        poll->deleteLater();
        for (QAction* action : menu->actions())
            if (action->text() == ACaption) {
                menu->close();
                action->trigger();
                return;
            }
        ADD_FAILURE() << "no menu entry " << ACaption.toStdString();
        menu->close();
    });
    poll->start(10);
    QTest::mouseClick(AButton, Qt::LeftButton);
}

QPoint TabPoint(TKvTransferStrip* AStrip, int ATab) {
    TKvTabGeometry geometry = AStrip->Geometry();
    return QPoint(geometry.LeftOf(ATab) + 5, (geometry.Top + geometry.Bottom) / 2);
}

} // namespace

TEST(ProgressForm, QuickCopyNeverShowsAndSlowOneAppearsAfterAQuarterSecond) {
    TWindows w;
    TFolders& quick = w.NewFolders();
    quick.Source->AddFile("/src/a", "abc");
    TProgressForm& quickForm = w.Start(quick.Copy({"a"}));
    TShowCounter shows;
    quickForm.installEventFilter(&shows);
    QPointer<TProgressForm> quickAlive(&quickForm);
    ASSERT_TRUE(QTest::qWaitFor([&] { return w.Ended == 1; }, 10000));
    EXPECT_EQ(shows.Shows, 0);
    EXPECT_TRUE(quickAlive.isNull()); // released with its session
    EXPECT_EQ(quick.DestMem->Content("/d/a"), "abc");

    TFolders& slow = w.NewFolders();
    slow.Source->AddFile("/src/big", std::string(3000, 'x'));
    slow.GateFirstWrite();
    TProgressForm& form = w.Start(slow.Copy({"big"}));
    QPointer<TProgressForm> alive(&form);
    ASSERT_TRUE(slow.Dest->WaitBlocked());
    form.PollTimerTimer();
    EXPECT_FALSE(form.isVisible());
    w.Clock.Now += 249;
    form.PollTimerTimer();
    EXPECT_FALSE(form.isVisible());
    w.Clock.Now += 1;
    form.PollTimerTimer();
    ASSERT_TRUE(form.isVisible());

    EXPECT_EQ(form.windowTitle(), "Kolvan");
    EXPECT_EQ(form.ActionText(), "Copying");
    EXPECT_EQ(form.FileText(), "/src/big");
    EXPECT_EQ(form.StatsText().toStdString(),
              "0 of 1 items, " + FormatSize(0) + " of " + FormatSize(3000));
    EXPECT_EQ(form.size(), QSize(ScaleToScreen(520), ScaleToScreen(168)));
    EXPECT_FALSE(form.PromptVisible());
    // Centred over the main window.
    EXPECT_EQ(form.x(), w.Main.x() + (w.Main.width() - form.width()) / 2);
    EXPECT_EQ(form.y(), w.Main.y() + (w.Main.height() - form.height()) / 2);

    slow.Dest->Release();
    ASSERT_TRUE(QTest::qWaitFor([&] { return w.Ended == 2; }, 10000));
    EXPECT_TRUE(alive.isNull());
    EXPECT_EQ(slow.DestMem->Content("/d/big"), std::string(3000, 'x'));
}

TEST(ProgressForm, ConflictQuestionShowsAtOnceAndTakesOverwriteAll) {
    TWindows w;
    TFolders& f = w.NewFolders();
    f.Source->AddFile("/src/a", "new a");
    f.Source->AddFile("/src/b", "new b");
    f.DestMem->AddFile("/d/a", "old");
    f.DestMem->AddFile("/d/b", "old");
    TProgressForm& form = w.Start(f.Copy({"a", "b"}));
    ASSERT_TRUE(TWindows::WaitQuestion(form));
    form.PollTimerTimer(); // no time has passed: the question alone shows the window
    ASSERT_TRUE(form.isVisible());
    ASSERT_TRUE(form.PromptVisible());
    EXPECT_EQ(form.PromptText().toStdString(), form.Session()->Snapshot().PromptText);
    EXPECT_EQ(form.height(), ScaleToScreen(168) + ScaleToScreen(108));

    const char* captions[] = {"&Overwrite", "Overwrite &all", "&Skip", "S&kip all", "Keep &both"};
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(form.PromptButton(i)->text(), captions[i]);
        EXPECT_TRUE(form.PromptButton(i)->isVisible());
    }
    // Laid out from the right edge of the question text leftwards.
    EXPECT_EQ(form.PromptButton(4)->geometry().right() + 1, ScaleToScreen(508));
    EXPECT_EQ(form.PromptButton(1)->x() - form.PromptButton(0)->geometry().right() - 1,
              ScaleToScreen(6));
    EXPECT_EQ(form.focusWidget(), form.PromptButton(2));

    // Answering for all: the second conflict is never asked, so the job runs to its end.
    ChooseFromMenu(form.PromptButton(1), "&All files");
    EXPECT_FALSE(form.PromptVisible());
    EXPECT_EQ(form.height(), ScaleToScreen(168));
    ASSERT_TRUE(w.WaitResults(1));
    EXPECT_EQ(w.Results[0].Succeeded, 2);
    EXPECT_EQ(f.DestMem->Content("/d/a"), "new a");
    EXPECT_EQ(f.DestMem->Content("/d/b"), "new b");
}

// "Overwrite all" only where the new file is newer, or of another size: the others are kept and
// counted as skipped.
TEST(ProgressForm, OverwriteAllOnlyWhereNewerOrOfAnotherSize) {
    const TKvDateTime older = DateTimeFromUnix(1700000000), newer = DateTimeFromUnix(1700000100);
    struct TCase {
        const char* Choice;
        const char* Expected; // what /d/a, /d/b, /d/c hold afterwards
        int Overwritten;
    } cases[] = {
        {"Only where the new one is &newer", "new a|old bb|old c", 1},
        {"Only where the &size differs", "new a|new b|old c", 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Choice);
        TWindows w;
        TFolders& f = w.NewFolders();
        // a: the new one is newer; b: older, another size; c: the same size, a fraction newer.
        f.Source->AddFile("/src/a", "new a", newer);
        f.Source->AddFile("/src/b", "new b", older);
        f.Source->AddFile("/src/c", "new c", older + 0.4 / 86400);
        f.DestMem->AddFile("/d/a", "old aa", older);
        f.DestMem->AddFile("/d/b", "old bb", newer);
        f.DestMem->AddFile("/d/c", "old c", older);
        TProgressForm& form = w.Start(f.Copy({"a", "b", "c"}));
        ASSERT_TRUE(TWindows::WaitQuestion(form));
        form.PollTimerTimer();
        ASSERT_TRUE(form.PromptVisible());
        ChooseFromMenu(form.PromptButton(1), c.Choice);
        ASSERT_TRUE(w.WaitResults(1));
        EXPECT_EQ(f.DestMem->Content("/d/a") + "|" + f.DestMem->Content("/d/b") + "|" +
                      f.DestMem->Content("/d/c"),
                  c.Expected);
        EXPECT_EQ(w.Results[0].Succeeded, c.Overwritten);
        EXPECT_EQ(w.Results[0].Skipped, 3 - c.Overwritten);
    }
}

// Pause stops the copy between two blocks, and Resume lets it finish whole; the window, its
// strip tab and the queue say so meanwhile.
TEST(ProgressForm, PauseHoldsTheCopyBetweenBlocksUntilResume) {
    TWindows w;
    TFolders& f = w.NewFolders();
    const std::string data(5 * 1048576 + 17, 'p');
    f.Source->AddFile("/src/big", data);
    f.GateFirstWrite();
    TProgressForm& form = w.Start(f.Copy({"big"}));
    ASSERT_TRUE(QTest::qWaitFor([&] { return form.Session()->Snapshot().CurrentName != ""; }, 10000));
    EXPECT_EQ(form.PauseButton()->text(), "Pause");
    QTest::mouseClick(form.PauseButton(), Qt::LeftButton);
    EXPECT_EQ(form.PauseButton()->text(), "Resume");
    f.Dest->Release();
    // Held after the first block: nothing more arrives while paused.
    QTest::qWait(300);
    const auto snap = form.Session()->Snapshot();
    EXPECT_TRUE(snap.Paused);
    EXPECT_LE(snap.FileDone, KTransferBufferSize);
    EXPECT_TRUE(w.Results.empty());
    w.Clock.Now += 1000; // a slow copy: the window shows
    form.PollTimerTimer();
    ASSERT_TRUE(form.isVisible());
    EXPECT_NE(form.ActionText().toStdString().find(", paused"), std::string::npos)
        << form.ActionText().toStdString();
    // No speed or time left while nothing moves.
    EXPECT_EQ(form.StatsText().toStdString().find("/s"), std::string::npos)
        << form.StatsText().toStdString();
    EXPECT_EQ(FormTabText(snap, false), "Copying: paused");
    EXPECT_EQ(QueueRowStatus(snap), "paused");

    QTest::mouseClick(form.PauseButton(), Qt::LeftButton);
    EXPECT_EQ(form.PauseButton()->text(), "Pause");
    ASSERT_TRUE(w.WaitResults(1));
    EXPECT_EQ(w.Results[0].Succeeded, 1);
    EXPECT_EQ(f.DestMem->Content("/d/big"), data);
    EXPECT_FALSE(f.HasPartFile());
}

TEST(ProgressForm, ConflictQuestionAnswersFromTheKeyboard) {
    TWindows w;
    TFolders& f = w.NewFolders();
    f.Source->AddFile("/src/a", "new a");
    f.Source->AddFile("/src/b", "new b");
    f.DestMem->AddFile("/d/a", "old a");
    f.DestMem->AddFile("/d/b", "old b");
    TProgressForm& form = w.Start(f.Copy({"a", "b"}));
    // Enter takes the default, which keeps the file; Alt+O, the accelerator, overwrites the next.
    ASSERT_TRUE(TWindows::WaitQuestion(form));
    form.PollTimerTimer();
    ASSERT_TRUE(form.PromptVisible());
    // An accelerator reaches only the active window. qWaitForWindowActive() is no proof here: a
    // window counts as active while its transient parent (the main window) is.
    form.activateWindow();
    ASSERT_TRUE(QTest::qWaitFor([&] { return QApplication::activeWindow() == &form; }, 5000));
    QTest::keyClick(form.focusWidget(), Qt::Key_Return);
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            auto snap = form.Session()->Snapshot();
            return snap.PromptKind == pkConflict && snap.PromptText.find("/b") != std::string::npos;
        },
        10000));
    form.PollTimerTimer();
    ASSERT_TRUE(form.PromptVisible());
    // Answering keeps the window active, so the next question takes the keyboard at once.
    ASSERT_EQ(QApplication::activeWindow(), &form);
    QTest::keyClick(&form, Qt::Key_O, Qt::AltModifier);
    ASSERT_TRUE(w.WaitResults(1));
    EXPECT_EQ(f.DestMem->Content("/d/a"), "old a");
    EXPECT_EQ(f.DestMem->Content("/d/b"), "new b");
    EXPECT_EQ(w.Results[0].Succeeded, 1);
    EXPECT_EQ(w.Results[0].Skipped, 1);
}

TEST(ProgressForm, ErrorQuestionOffersRetryAndSkips) {
    TWindows w;
    TFolders& f = w.NewFolders();
    f.Source->AddFile("/src/a", "aaa");
    auto failing = std::make_shared<TKvFaultFs>(f.Source);
    failing->AddFault({foOpenRead, 1, 1, false, true});
    TKvTransferRequest request = f.Copy({"a"});
    request.SourceFs = failing;
    TProgressForm& form = w.Start(request);
    ASSERT_TRUE(TWindows::WaitQuestion(form));
    form.PollTimerTimer();
    ASSERT_TRUE(form.PromptVisible());
    EXPECT_EQ(form.PromptButton(0)->text(), "&Retry");
    EXPECT_EQ(form.PromptButton(1)->text(), "&Skip");
    EXPECT_EQ(form.PromptButton(2)->text(), "S&kip all");
    EXPECT_FALSE(form.PromptButton(3)->isVisible());
    EXPECT_FALSE(form.PromptButton(4)->isVisible());
    EXPECT_EQ(form.PromptButton(2)->geometry().right() + 1, ScaleToScreen(508));
    EXPECT_EQ(form.focusWidget(), form.PromptButton(1));

    // Retry goes on with the next attempt, which succeeds.
    QTest::mouseClick(form.PromptButton(0), Qt::LeftButton);
    ASSERT_TRUE(w.WaitResults(1));
    EXPECT_EQ(w.Results[0].Succeeded, 1);
    EXPECT_EQ(f.DestMem->Content("/d/a"), "aaa");
}

TEST(ProgressForm, CancelStopsEveryJobOfTheSessionAndLeavesNoPartFile) {
    TWindows w;
    TFolders& f = w.NewFolders();
    f.Source->AddFile("/src/big", std::string(5000, 'x'));
    f.Source->AddFile("/src/next", "n");
    f.GateFirstWrite();
    TProgressForm& form = w.Start(f.Copy({"big"}));
    EXPECT_EQ(&w.Start(f.Copy({"next"})), &form); // joins the running session
    ASSERT_TRUE(f.Dest->WaitBlocked());
    w.Clock.Now += 300;
    form.PollTimerTimer();
    ASSERT_TRUE(form.isVisible());
    EXPECT_EQ(form.ActionText(), "Copying (1 more queued)");
    EXPECT_TRUE(f.HasPartFile());

    QTest::keyClick(&form, Qt::Key_Escape);
    EXPECT_EQ(form.ActionText(), "Cancelling");
    EXPECT_FALSE(form.CancelButton()->isEnabled());
    // The close box does not leave a running copy without its window.
    EXPECT_FALSE(form.close());
    EXPECT_TRUE(form.isVisible());

    f.Dest->Release();
    ASSERT_TRUE(w.WaitResults(2));
    EXPECT_TRUE(w.Results[0].Cancelled);
    EXPECT_TRUE(w.Results[1].Cancelled);
    EXPECT_FALSE(f.HasPartFile());
    EXPECT_FALSE(f.DestMem->HasFile("/d/big"));
    EXPECT_FALSE(f.DestMem->HasFile("/d/next"));
}

TEST(ProgressForm, RequestAfterCancelCanBeCancelledAgain) {
    TWindows w;
    TFolders& f = w.NewFolders();
    f.Source->AddFile("/src/big", std::string(5000, 'x'));
    f.GateFirstWrite();
    TProgressForm& form = w.Start(f.Copy({"big"}));
    ASSERT_TRUE(f.Dest->WaitBlocked());
    form.BtnCancelClick();
    // Another request joins the session before the cancelled job has ended.
    EXPECT_EQ(&w.Start(f.Copy({"big"})), &form);
    EXPECT_TRUE(form.CancelButton()->isEnabled());
    w.Clock.Now += 300;
    form.PollTimerTimer();
    EXPECT_EQ(form.ActionText(), "Copying (1 more queued)");
    f.Dest->Release();
    ASSERT_TRUE(w.WaitResults(2));
    EXPECT_TRUE(w.Results[0].Cancelled);
    EXPECT_FALSE(w.Results[1].Cancelled);
    EXPECT_EQ(w.Results[1].Succeeded, 1);
}

TEST(StripTabs, PutAsideWindowBlinksForAQuestionAndComesBackOnClick) {
    TWindows w;
    TFolders& f = w.NewFolders();
    f.Source->AddFile("/src/a", std::string(100, 'a'));
    f.Source->AddFile("/src/b", std::string(100, 'b'));
    f.DestMem->AddFile("/d/b", "old");
    f.GateFirstWrite();
    TProgressForm& form = w.Start(f.Copy({"a", "b"}));
    ASSERT_TRUE(f.Dest->WaitBlocked());
    EXPECT_FALSE(w.Strip->isVisible());
    w.Clock.Now += 250;
    form.PollTimerTimer();
    ASSERT_TRUE(form.isVisible());

    QTest::mouseClick(form.HideButton(), Qt::LeftButton);
    EXPECT_FALSE(form.isVisible());
    EXPECT_TRUE(form.InStrip());
    EXPECT_TRUE(form.Session()->Detached()); // the next copy runs side by side
    EXPECT_TRUE(w.Strip->isVisible());
    ASSERT_EQ(w.Strip->TabCount(), 1);
    EXPECT_EQ(w.Strip->TabText(0), "Copying 0%");
    EXPECT_FALSE(w.Strip->TabFramed(0));
    EXPECT_EQ(w.Strip->height(), ScaleToScreen(Theme().FontHeight) + ScaleToScreen(11));

    f.Dest->Release();
    ASSERT_TRUE(TWindows::WaitQuestion(form));
    form.PollTimerTimer();
    EXPECT_FALSE(form.isVisible()); // put aside: no pop-up
    EXPECT_EQ(w.Strip->TabText(0), "Copying: waiting for you");
    w.Clock.Now = 7000; // blink on
    EXPECT_EQ(w.Strip->TabBoxLook(0), (TKvBoxLook{ikMarked, 0, ikBlack}));
    w.Clock.Now += 700;
    EXPECT_EQ(w.Strip->TabBoxLook(0).Fill, ikBlack);

    QTest::mouseClick(w.Strip, Qt::LeftButton, {}, TabPoint(w.Strip, 0));
    ASSERT_TRUE(form.isVisible());
    EXPECT_FALSE(form.InStrip());
    EXPECT_TRUE(form.PromptVisible());
    EXPECT_EQ(w.Strip->TabCount(), 1); // the tab stays, framed, until the session ends
    EXPECT_TRUE(w.Strip->TabFramed(0));
    EXPECT_EQ(w.Strip->TabText(0), "Copying 50%");

    QTest::mouseClick(form.PromptButton(2), Qt::LeftButton); // Skip
    ASSERT_TRUE(QTest::qWaitFor([&] { return w.Ended == 1; }, 10000));
    EXPECT_EQ(w.Results[0].Succeeded, 1);
    EXPECT_EQ(w.Results[0].Skipped, 1);
    EXPECT_EQ(w.Strip->TabCount(), 0);
    EXPECT_FALSE(w.Strip->isVisible());
}

TEST(QueueForm, QueuedCopiesWaitTheirTurnAndDragReorders) {
    TWindows w;
    std::vector<TProgressForm*> forms;
    std::vector<TKvTransferSession*> sessions;
    for (const char* name : {"one", "two", "three"}) {
        TFolders& f = w.NewFolders();
        f.Source->AddFile(std::string("/src/") + name, std::string(100, 'x'));
        f.GateFirstWrite();
        TProgressForm& form = w.Start(f.Copy({name}));
        ASSERT_TRUE(f.Dest->WaitBlocked());
        w.Clock.Now += 250;
        form.PollTimerTimer();
        ASSERT_TRUE(form.isVisible());
        QTest::mouseClick(form.QueueButton(), Qt::LeftButton);
        EXPECT_FALSE(form.isVisible());
        EXPECT_TRUE(form.InQueue());
        forms.push_back(&form);
        sessions.push_back(form.Session());
    }
    EXPECT_NE(sessions[0], sessions[1]); // each went into the queue on its own
    ASSERT_EQ(w.Manager.QueueCount(), 3);
    ASSERT_TRUE(w.Queue.isVisible());
    EXPECT_EQ(w.Queue.windowTitle(), "Kolvan - queue");
    EXPECT_EQ(w.Queue.size(), QSize(ScaleToScreen(520), ScaleToScreen(302)));
    ASSERT_EQ(w.Queue.RowCount(), 3);
    EXPECT_EQ(w.Queue.RowTitle(1), "2.  Copy \"two\" to /d");
    EXPECT_EQ(w.Queue.SelectedSession(), sessions[2]); // the one just queued
    EXPECT_EQ(w.Queue.RowStatus(0), "0%");
    EXPECT_EQ(w.Queue.RowStatus(2), "waiting");
    EXPECT_FALSE(sessions[0]->Snapshot().Held);
    EXPECT_TRUE(sessions[1]->Snapshot().Held);

    // A held window shown from the queue says why it waits.
    w.Queue.SelectRow(1);
    QTest::mouseClick(w.Queue.OpenButton(), Qt::LeftButton);
    ASSERT_TRUE(forms[1]->isVisible());
    EXPECT_EQ(forms[1]->ActionText(), "Copying, waiting for its turn in the queue");
    QTest::mouseClick(forms[1]->HideButton(), Qt::LeftButton);
    EXPECT_FALSE(forms[1]->isVisible());
    EXPECT_TRUE(forms[1]->InQueue());

    // The second row dragged below the third.
    QListWidget* list = w.Queue.List();
    const int x = ScaleToScreen(40);
    DragRow(list, QPoint(x, RowMiddle(1)), QPoint(x, 3 * ScaleToScreen(28) + 5));
    EXPECT_EQ(&w.Manager.QueueItem(1), sessions[2]);
    EXPECT_EQ(&w.Manager.QueueItem(2), sessions[1]);
    EXPECT_EQ(w.Queue.SelectedSession(), sessions[1]); // the dragged one stays chosen
    EXPECT_EQ(w.Queue.DropLine(), -1);
    EXPECT_EQ(w.Queue.DragFrom(), -1);

    // The first row dropped on its own place changes nothing.
    DragRow(list, QPoint(x, RowMiddle(0)), QPoint(x, RowMiddle(0) + 8));
    EXPECT_EQ(&w.Manager.QueueItem(0), sessions[0]);

    // The last row dragged to the top runs now; the others wait.
    DragRow(list, QPoint(x, RowMiddle(2)), QPoint(x, 2));
    EXPECT_EQ(&w.Manager.QueueItem(0), sessions[1]);
    EXPECT_EQ(&w.Manager.QueueItem(1), sessions[0]);
    EXPECT_FALSE(sessions[1]->Snapshot().Held);
    EXPECT_TRUE(sessions[0]->Snapshot().Held);
    EXPECT_TRUE(sessions[2]->Snapshot().Held);

    // The drop line follows the pointer while dragging.
    QWidget* viewport = list->viewport();
    SendMouse(viewport, QEvent::MouseButtonPress, QPoint(x, RowMiddle(0)), Qt::LeftButton,
              Qt::LeftButton);
    SendMouse(viewport, QEvent::MouseMove, QPoint(x, RowMiddle(0) + 2), Qt::NoButton,
              Qt::LeftButton);
    EXPECT_EQ(w.Queue.DropLine(), -1); // not yet a drag
    SendMouse(viewport, QEvent::MouseMove, QPoint(x, RowMiddle(1) + 3), Qt::NoButton,
              Qt::LeftButton);
    EXPECT_EQ(w.Queue.DropLine(), 2);
    QTest::keyClick(list, Qt::Key_Escape); // the drag is dropped, the queue stays
    EXPECT_EQ(w.Queue.DropLine(), -1);
    SendMouse(viewport, QEvent::MouseButtonRelease, QPoint(x, RowMiddle(1) + 3), Qt::LeftButton,
              Qt::NoButton);
    EXPECT_EQ(&w.Manager.QueueItem(0), sessions[1]);
}

TEST(QueueForm, RemovingAsksOnlyForTheRunningCopy) {
    TWindows w;
    std::vector<TKvTransferSession*> sessions;
    for (const char* name : {"one", "two"}) {
        TFolders& f = w.NewFolders();
        f.Source->AddFile(std::string("/src/") + name, "x");
        f.GateFirstWrite();
        TProgressForm& form = w.Start(f.Copy({name}));
        ASSERT_TRUE(f.Dest->WaitBlocked());
        form.BtnQueueClick();
        sessions.push_back(form.Session());
    }
    const uint64_t running = sessions[0]->Id();

    // The held one goes without a question and ends cancelled.
    w.Queue.SelectRow(1);
    QTest::keyClick(w.Queue.List(), Qt::Key_Delete);
    EXPECT_TRUE(w.Confirmations.empty());
    ASSERT_EQ(w.Manager.QueueCount(), 1);
    w.Folders[1]->Dest->Release();
    ASSERT_TRUE(w.WaitResults(1));
    EXPECT_TRUE(w.Results[0].Cancelled);

    // The running one asks; No keeps it.
    w.Queue.SelectRow(0);
    QTest::mouseClick(w.Queue.RemoveButton(), Qt::LeftButton);
    ASSERT_EQ(w.Confirmations.size(), 1u);
    EXPECT_EQ(w.Confirmations[0], "This copy is running. Stop it and take it out of the queue?");
    ASSERT_EQ(w.Manager.QueueCount(), 1);
    EXPECT_EQ(w.Manager.QueueItem(0).Id(), running);

    // Yes takes it out and cancels it; the empty queue hides its window and its tab.
    w.ConfirmAnswer = true;
    QTest::mouseClick(w.Queue.RemoveButton(), Qt::LeftButton);
    EXPECT_EQ(w.Manager.QueueCount(), 0);
    EXPECT_FALSE(w.Queue.isVisible());
    EXPECT_FALSE(w.Strip->HasQueueTab());
    w.Folders[0]->Dest->Release();
    ASSERT_TRUE(w.WaitResults(2));
    EXPECT_TRUE(w.Results[1].Cancelled);
}

TEST(QueueForm, CopyThatEndsWhileTheQuestionIsOpenIsLeftAlone) {
    TWindows w;
    TFolders& f = w.NewFolders();
    f.Source->AddFile("/src/one", "x");
    f.GateFirstWrite();
    TProgressForm& form = w.Start(f.Copy({"one"}));
    ASSERT_TRUE(f.Dest->WaitBlocked());
    form.BtnQueueClick();
    // The copy finishes while the user reads the question.
    w.Queue.OnConfirm = [&](const std::string&) {
        f.Dest->Release();
        EXPECT_TRUE(QTest::qWaitFor([&] { return w.Ended == 1; }, 10000));
        return true;
    };
    w.Queue.RemoveClick();
    EXPECT_EQ(w.Manager.QueueCount(), 0);
    ASSERT_EQ(w.Results.size(), 1u);
    EXPECT_FALSE(w.Results[0].Cancelled);
    EXPECT_EQ(f.DestMem->Content("/d/one"), "x");
}

TEST(QueueForm, QueuedQuestionPopsUpOnlyWhileTheQueueIsShown) {
    TWindows w;
    TFolders& f = w.NewFolders();
    f.Source->AddFile("/src/b", "new b");
    f.Source->AddFile("/src/c", "new c");
    f.DestMem->AddFile("/d/b", "old");
    f.GateFirstWrite(); // b is skipped below, so this holds c
    TProgressForm& form = w.Start(f.Copy({"b", "c"}));
    ASSERT_TRUE(TWindows::WaitQuestion(form));
    form.PollTimerTimer();
    ASSERT_TRUE(form.isVisible());
    QTest::mouseClick(form.QueueButton(), Qt::LeftButton);
    EXPECT_FALSE(form.isVisible());
    ASSERT_TRUE(w.Queue.isVisible());
    EXPECT_EQ(w.Queue.RowStatus(0), "waiting for you");

    // The queue put aside: the question shows on the queue tab, not as a window.
    QTest::mouseClick(w.Queue.HideButton(), Qt::LeftButton);
    EXPECT_FALSE(w.Queue.isVisible());
    EXPECT_TRUE(w.Queue.InStrip());
    ASSERT_TRUE(w.Strip->HasQueueTab());
    EXPECT_EQ(w.Strip->TabText(0), "Queue 1: waiting for you");
    form.PollTimerTimer();
    EXPECT_FALSE(form.isVisible());

    // The queue back on screen: the window pops up with its question.
    QTest::mouseClick(w.Strip, Qt::LeftButton, {}, TabPoint(w.Strip, 0));
    ASSERT_TRUE(w.Queue.isVisible());
    EXPECT_TRUE(w.Strip->TabFramed(0));
    EXPECT_EQ(w.Strip->TabText(0), "Queue 1: 0%");
    form.PollTimerTimer();
    ASSERT_TRUE(form.isVisible());
    ASSERT_TRUE(form.PromptVisible());

    // Answered, it goes back into the queue while the copy goes on.
    QTest::mouseClick(form.PromptButton(2), Qt::LeftButton); // Skip
    ASSERT_TRUE(f.Dest->WaitBlocked());
    form.PollTimerTimer();
    EXPECT_FALSE(form.isVisible());
    EXPECT_TRUE(form.InQueue());

    f.Dest->Release();
    ASSERT_TRUE(QTest::qWaitFor([&] { return w.Ended == 1; }, 10000));
    EXPECT_EQ(w.Results[0].Skipped, 1);
    EXPECT_EQ(w.Results[0].Succeeded, 1);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !w.Queue.isVisible(); },
                                10000)); // its timer sees the empty queue
    EXPECT_EQ(w.Strip->TabCount(), 0);
}
