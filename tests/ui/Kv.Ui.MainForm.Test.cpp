#include <gtest/gtest.h>

#include <QApplication>
#include <QInputDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTabWidget>
#include <QMenu>
#include <QTest>
#include <QTimer>
#include <sys/stat.h>
#include <unistd.h>

#include "Kv.FS.Local.h"
#include "Kv.Ui.Dpi.h"
#include "Kv.Ui.FilePanel.h"
#include "Kv.Ui.MainForm.h"
#include "Kv.Ui.MainModel.h"
#include "Kv.Ui.Theme.h"
#include "KvMainDriver.h"
#include "KvTestSupport.h"

using namespace kv;
using namespace kv::test;

namespace {

// The watchers still waiting for a dialog; the fixture stops them, so none outlives its test
// and answers a dialog of the next one.
std::vector<QPointer<QTimer>>& PendingWatchers() {
    static std::vector<QPointer<QTimer>> watchers;
    return watchers;
}

void StopPendingWatchers() {
    for (auto& timer : PendingWatchers())
        delete timer.data();
    PendingWatchers().clear();
}

// Answers the next modal dialog as soon as it shows.
void WhenDialog(std::function<void(QWidget*)> AAnswer) {
    auto* timer = new QTimer;
    timer->setInterval(5);
    QObject::connect(timer, &QTimer::timeout, [timer, AAnswer] {
        if (QWidget* dialog = QApplication::activeModalWidget()) {
            timer->stop();
            timer->deleteLater();
            AAnswer(dialog);
        }
    });
    timer->start();
    PendingWatchers().push_back(timer);
}

void AnswerText(const std::string& AText, std::string* APrompt = nullptr, std::string* AProposed = nullptr) {
    WhenDialog([=](QWidget* AWidget) {
        auto* dialog = qobject_cast<QInputDialog*>(AWidget);
        ASSERT_TRUE(dialog);
        if (APrompt)
            *APrompt = dialog->labelText().toStdString();
        if (AProposed)
            *AProposed = dialog->textValue().toStdString();
        dialog->setTextValue(QString::fromStdString(AText));
        dialog->accept();
    });
}

void AnswerButton(QMessageBox::StandardButton AButton, std::string* AText = nullptr) {
    WhenDialog([=](QWidget* AWidget) {
        auto* box = qobject_cast<QMessageBox*>(AWidget);
        ASSERT_TRUE(box);
        if (AText)
            *AText = box->text().toStdString();
        box->button(AButton)->click();
    });
}

// The rename-or-move dialog: choose a page, type, press OK.
void AnswerRenameOrMove(int APage, const std::string& AText) {
    WhenDialog([=](QWidget* AWidget) {
        auto* pages = AWidget->findChild<QTabWidget*>();
        ASSERT_TRUE(pages);
        pages->setCurrentIndex(APage);
        auto* edit = pages->currentWidget()->findChild<QLineEdit*>();
        ASSERT_TRUE(edit);
        edit->setText(QString::fromStdString(AText));
        for (auto* button : AWidget->findChildren<QPushButton*>())
            if (button->text() == "OK")
                button->click();
    });
}

// The shared driver, with the watchers this file's dialog answers leave stopped first.
struct TMainFixture : TMainDriver {
    ~TMainFixture() { StopPendingWatchers(); }
    // Start folders may move a half away from its saved folder, so only the listing is awaited.
    void Open(const TKvStartFolders& AStart = {}) {
        Form = std::make_unique<TMainForm>(StateFile, AStart);
        Form->show();
        WaitListed(rhLeft);
        WaitListed(rhRight);
    }
    void WaitListed(TKvHalf AHalf) {
        ASSERT_TRUE(QTest::qWaitFor([&] { return !Panel(AHalf).Busy() && !Panel(AHalf).Path().empty(); }, 10000));
    }
};

} // namespace

TEST(MainModel, TextsAndArithmetic) {
    TKvFileEntries one(1), two(2);
    one[0].Name = "a.txt";
    EXPECT_EQ(TransferPrompt("Copy", one), "Copy \"a.txt\" to:");
    EXPECT_EQ(TransferPrompt("Move", two), "Move 2 items to:");
    EXPECT_EQ(TransferPrompt("Copy", one, "Key server:"), "Copy \"a.txt\" to (on Key server):");
    // Both halves in one folder: the item's own name is proposed, so typing a new name duplicates it.
    EXPECT_EQ(ProposedDestination("local", "/a", "local", "/a", one), "a.txt");
    EXPECT_EQ(ProposedDestination("local", "/a", "local", "/a", two), "/a");
    EXPECT_EQ(ProposedDestination("local", "/a", "local", "/b", one), "/b");
    EXPECT_EQ(ProposedDestination("local", "/a", "sftp:u@h:22", "/a", one), "/a");

    TKvTransferResult result;
    result.Kind = tkMove;
    result.Succeeded = 3;
    bool error = true;
    EXPECT_EQ(JobDoneText(result, error), "Moved 3");
    EXPECT_FALSE(error);
    result.Kind = tkCopy;
    result.Skipped = 1;
    result.Failed = 2;
    result.Cancelled = true;
    result.FirstProblem = "Could not copy /x: full";
    EXPECT_EQ(JobDoneText(result, error), "Copied 3, skipped 1, failed 2, cancelled: Could not copy /x: full");
    EXPECT_TRUE(error);

    TKvFileEntry focused;
    focused.Name = "f";
    EXPECT_EQ(RenameCandidate({}, &focused, false), "f");
    EXPECT_EQ(RenameCandidate(one, &focused, false), "a.txt");
    EXPECT_EQ(RenameCandidate(two, &focused, false), "");
    EXPECT_EQ(RenameCandidate({}, &focused, true), "");

    EXPECT_EQ(LeftHalfWidth(1006, 6, 0.5, 120), 500);
    EXPECT_EQ(LeftHalfWidth(1006, 6, 0.02, 120), 120);
    EXPECT_EQ(LeftHalfWidth(206, 6, 0.9, 120), 100); // never more than half of what there is
    auto chars = [](const std::string& AText) { return static_cast<int>(AText.size()); };
    EXPECT_EQ(ShortenCaption("/short", 3, chars), "/short");
    EXPECT_EQ(ShortenCaption("/home/user/archive.zip", 14, chars), "/ho...hive.zip");

    EXPECT_EQ(KeyBarSlot(0, 1000, 10), 0);
    EXPECT_EQ(KeyBarSlot(999, 1000, 10), 9);
    EXPECT_EQ(KeyBarSlot(1000, 1000, 10), -1);
    EXPECT_EQ(KeyBarItems(klCtrl).size(), 13u);
    EXPECT_EQ(KeyBarItems(klAlt)[3].Label() + " " + KeyBarItems(klAlt)[3].Caption, "F7 Search");
    EXPECT_EQ(StillGoingOnText({"x", "y"}), "Something is still going on:\n  - x\n  - y\n\nQuit anyway?");
}

TEST(MainForm, CopyRenameMoveMakeFolderAndDelete) {
    TMainFixture f;
    WriteFile(f.Left + "/a.txt", "alpha");
    WriteFile(f.Left + "/b.txt", "beta");
    WriteFile(f.Left + "/c.txt", "gamma");
    WriteFile(f.Left + "/d.txt", "delta");
    f.Open();

    // F5 with a marked file: the dialog proposes the other half's folder.
    f.Focus(rhLeft, "a.txt");
    f.Key(Qt::Key_Insert);
    std::string prompt, proposed;
    AnswerText(f.Right, &prompt, &proposed);
    f.Key(Qt::Key_F5);
    EXPECT_EQ(prompt, "Copy \"a.txt\" to:");
    EXPECT_EQ(proposed, f.Right);
    ASSERT_TRUE(f.WaitStatus(rhLeft, "Copied 1"));
    EXPECT_EQ(ReadFile(f.Right + "/a.txt"), "alpha");
    EXPECT_TRUE(f.Panel(rhLeft).MarkedEntries().empty());
    EXPECT_TRUE(f.WaitRow(rhRight, "a.txt")) << "the other half shows the copy";

    // F6 on one focused file renames it in place.
    f.Focus(rhLeft, "b.txt");
    AnswerRenameOrMove(0, "bee.txt");
    f.Key(Qt::Key_F6);
    ASSERT_TRUE(QTest::qWaitFor([&] { return Exists(f.Left + "/bee.txt"); }, 10000));
    EXPECT_FALSE(Exists(f.Left + "/b.txt"));

    // F6 with two marked files moves them to the other half.
    f.Focus(rhLeft, "c.txt");
    f.Key(Qt::Key_Insert);
    f.Key(Qt::Key_Insert);
    AnswerRenameOrMove(1, f.Right);
    f.Key(Qt::Key_F6);
    ASSERT_TRUE(f.WaitStatus(rhLeft, "Moved 2"));
    EXPECT_EQ(ReadFile(f.Right + "/c.txt"), "gamma");
    EXPECT_EQ(ReadFile(f.Right + "/d.txt"), "delta");
    EXPECT_FALSE(Exists(f.Left + "/c.txt") || Exists(f.Left + "/d.txt"));

    // F7 makes a folder and focuses it.
    AnswerText("new folder");
    f.Key(Qt::Key_F7);
    ASSERT_TRUE(QTest::qWaitFor([&] { return f.Panel(rhLeft).Model().FocusedName() == "new folder"; }, 10000));
    EXPECT_TRUE(Exists(f.Left + "/new folder"));

    // Shift+F8 and Yes deletes for good.
    f.Focus(rhLeft, "new folder");
    std::string question;
    AnswerButton(QMessageBox::Yes, &question);
    f.Key(Qt::Key_F8, Qt::ShiftModifier);
    EXPECT_EQ(question, "Delete \"new folder\" permanently?");
    ASSERT_TRUE(f.WaitStatus(rhLeft, "Deleted 1"));
    EXPECT_FALSE(Exists(f.Left + "/new folder"));

    // F8 moves to the Trash, where trash-list finds it under its original path.
    f.Focus(rhLeft, "bee.txt");
    AnswerButton(QMessageBox::Yes);
    f.Key(Qt::Key_F8);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !Exists(f.Left + "/bee.txt"); }, 10000));
    EXPECT_NE(RunCommand("trash-list 2>/dev/null").find(f.Left + "/bee.txt"), std::string::npos);

    // No answers No: nothing happens.
    f.Focus(rhLeft, "a.txt");
    question.clear();
    AnswerButton(QMessageBox::No, &question);
    f.Key(Qt::Key_Delete);
    EXPECT_EQ(question, "Move \"a.txt\" to the Trash?");
    QTest::qWait(100);
    EXPECT_TRUE(Exists(f.Left + "/a.txt"));
}

TEST(MainForm, SameFolderCopyDuplicatesUnderATypedName) {
    TMainFixture f;
    WriteFile(f.Left + "/a.txt", "alpha");
    TKvAppState state;
    LoadAppState(f.StateFile, state);
    state.Panels[rhRight].Path = f.Left;
    SaveAppState(f.StateFile, state);
    f.Open();
    f.Focus(rhLeft, "a.txt");
    std::string proposed;
    AnswerText("copy of a.txt", nullptr, &proposed);
    f.Key(Qt::Key_F5);
    EXPECT_EQ(proposed, "a.txt");
    ASSERT_TRUE(f.WaitStatus(rhLeft, "Copied 1"));
    EXPECT_EQ(ReadFile(f.Left + "/copy of a.txt"), "alpha");
}

TEST(MainForm, ConflictsAreAskedInTheProgressWindow) {
    TMainFixture f;
    WriteFile(f.Left + "/a.txt", "new a");
    WriteFile(f.Left + "/b.txt", "new b");
    WriteFile(f.Right + "/a.txt", "old a");
    WriteFile(f.Right + "/b.txt", "old b");
    f.Open();
    f.Focus(rhLeft, "a.txt");
    f.Key(Qt::Key_A, Qt::ControlModifier);
    AnswerText(f.Right);
    f.Key(Qt::Key_F5);
    // The question shows the session's progress window; "Overwrite all" answers both files.
    QPushButton* overwriteAll = nullptr;
    ASSERT_TRUE(QTest::qWaitFor([&] {
        for (QWidget* window : QApplication::topLevelWidgets())
            for (auto* button : window->findChildren<QPushButton*>())
                if (window->isVisible() && button->isVisible() &&
                    button->text() == "Overwrite &all")
                    overwriteAll = button;
        return overwriteAll != nullptr;
    }, 10000));
    // Its menu's first entry, all files, is what the button alone did before.
    ASSERT_TRUE(overwriteAll->menu());
    EXPECT_EQ(overwriteAll->menu()->actions().front()->text(), "&All files");
    overwriteAll->menu()->actions().front()->trigger();
    ASSERT_TRUE(f.WaitStatus(rhLeft, "Copied 2"));
    EXPECT_EQ(ReadFile(f.Right + "/a.txt"), "new a");
    EXPECT_EQ(ReadFile(f.Right + "/b.txt"), "new b");
    EXPECT_EQ(RunCommand("ls -A '" + f.Right + "'"), "a.txt\nb.txt\n"); // no ".kvpart" left
}

TEST(MainForm, StartsInTheFoldersFromTheCommandLine) {
    TMainFixture f;
    std::string other = f.Root / "other";
    ::mkdir(other.c_str(), 0755);
    for (const char* name : {"a.txt", "b.txt", "c.txt"})
        WriteFile(other + "/" + name, "x");
    TKvAppState saved;
    LoadAppState(f.StateFile, saved);
    saved.ActiveHalf = rhRight;
    SaveAppState(f.StateFile, saved);
    TKvCommandLine line = ParseCommandLine({"other/b.txt"}, f.Root.Path(), "");
    ASSERT_TRUE(line.Problems.empty());
    f.Open(line.Halves);
    EXPECT_EQ(f.Panel(rhLeft).Path(), other);
    EXPECT_EQ(f.Panel(rhLeft).Model().FocusedName(), "b.txt");
    EXPECT_EQ(f.Panel(rhRight).Path(), f.Right) << "the other half keeps its saved folder";
    EXPECT_EQ(f.Form->ActiveHalf(), rhLeft);
}

TEST(MainForm, TabSwapAndStateAcrossARestart) {
    TMainFixture f;
    ::mkdir((f.Right + "/inner").c_str(), 0755);
    WriteFile(f.Left + "/x", "");
    f.Open();
    EXPECT_EQ(f.Form->ActiveHalf(), rhLeft);
    f.Key(Qt::Key_Tab);
    EXPECT_EQ(f.Form->ActiveHalf(), rhRight);
    f.Panel(rhRight).Navigate(f.Right + "/inner");
    ASSERT_TRUE(QTest::qWaitFor([&] { return f.Panel(rhRight).Path() == f.Right + "/inner"; }, 10000));

    // Ctrl+U: the halves change places and the focus goes with the content.
    f.Key(Qt::Key_U, Qt::ControlModifier);
    EXPECT_EQ(f.Panel(rhLeft).Path(), f.Right + "/inner");
    EXPECT_EQ(f.Panel(rhRight).Path(), f.Left);
    EXPECT_EQ(f.Form->ActiveHalf(), rhLeft);
    f.Form->resize(900, 500);
    f.Form->close();
    f.Form.reset();

    f.Open();
    EXPECT_EQ(f.Panel(rhLeft).Path(), f.Right + "/inner");
    EXPECT_EQ(f.Panel(rhRight).Path(), f.Left);
    EXPECT_EQ(f.Form->ActiveHalf(), rhLeft);
    EXPECT_EQ(f.Form->size(), QSize(900, 500));
}

TEST(MainForm, KeyBarLayersFollowTheModifiers) {
    TMainFixture f;
    f.Open();
    QTest::keyPress(f.Panel(rhLeft).focusProxy(), Qt::Key_Control, Qt::ControlModifier);
    EXPECT_EQ(f.Form->KeyLayer(), klCtrl);
    QTest::keyRelease(f.Panel(rhLeft).focusProxy(), Qt::Key_Control, Qt::ControlModifier);
    EXPECT_EQ(f.Form->KeyLayer(), klPlain);
    QTest::keyPress(f.Panel(rhLeft).focusProxy(), Qt::Key_Alt, Qt::AltModifier);
    EXPECT_EQ(f.Form->KeyLayer(), klAlt);
    QTest::keyRelease(f.Panel(rhLeft).focusProxy(), Qt::Key_Alt, Qt::AltModifier);
    EXPECT_EQ(f.Form->KeyLayer(), klPlain);
}

// The first visible button with this text in any window (the progress window's questions).
QPushButton* WaitButton(const QString& AText) {
    QPushButton* found = nullptr;
    (void)QTest::qWaitFor([&] {
        for (QWidget* window : QApplication::topLevelWidgets())
            for (auto* button : window->findChildren<QPushButton*>())
                if (window->isVisible() && button->isVisible() &&
                    button->text().remove('&') == AText)
                    found = button;
        return found != nullptr;
    }, 10000);
    return found;
}

TEST(MainForm, WhatGoesWrongIsShownAndNothingIsCopiedUnasked) {
    TMainFixture f;
    WriteFile(f.Left + "/a.txt", "alpha");
    WriteFile(f.Right + "/blocker", "a file where a folder should be");
    f.Open();

    // Esc at the copy dialog copies nothing.
    f.Focus(rhLeft, "a.txt");
    bool shown = false;
    WhenDialog([&](QWidget* ADialog) {
        shown = true;
        QTest::keyClick(ADialog, Qt::Key_Escape);
    });
    f.Key(Qt::Key_F5);
    EXPECT_TRUE(shown);
    QTest::qWait(200);
    EXPECT_FALSE(Exists(f.Right + "/a.txt"));
    EXPECT_EQ(f.Form->Transfers().SessionCount(), 0);

    // A folder that cannot be made: the error question, Skip, and a red status line.
    AnswerText(f.Right + "/blocker/sub/");
    f.Key(Qt::Key_F5);
    QPushButton* skip = WaitButton("Skip");
    ASSERT_TRUE(skip);
    skip->click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return f.Panel(rhLeft).StatusText().rfind("Copied 0, skipped 1: ", 0) == 0; },
                                10000))
        << f.Panel(rhLeft).StatusText();
    EXPECT_NE(f.Panel(rhLeft).StatusText().find(f.Right + "/blocker"), std::string::npos)
        << f.Panel(rhLeft).StatusText();
    EXPECT_TRUE(f.Panel(rhLeft).MessageIsError());
    EXPECT_EQ(ReadFile(f.Right + "/blocker"), "a file where a folder should be");

    // Closing while a copy waits on a question asks first; No keeps the window and the copy.
    WriteFile(f.Right + "/a.txt", "old");
    AnswerText(f.Right);
    f.Key(Qt::Key_F5);
    ASSERT_TRUE(WaitButton("Overwrite"));
    std::string question;
    AnswerButton(QMessageBox::No, &question);
    EXPECT_FALSE(f.Form->close());
    EXPECT_EQ(question, "Something is still going on:\n  - a copy, move or delete is running, and it will be "
                        "cancelled\n\nQuit anyway?");
    EXPECT_TRUE(f.Form->isVisible());
    WaitButton("Overwrite")->click();
    ASSERT_TRUE(f.WaitStatus(rhLeft, "Copied 1"));
    EXPECT_EQ(ReadFile(f.Right + "/a.txt"), "alpha");
}

TEST(MainForm, AStateFileThatCannotBeReadIsKeptAndReportedOnce) {
    TMainFixture f;
    WriteFile(f.StateFile, "{\"leftPanel\": " + std::string(100000, '['));
    const std::string kept = f.StateFile + ".unreadable";
    f.Open();
    EXPECT_TRUE(f.WaitStatus(f.Form->ActiveHalf(), "The window state could not be read; kept as state.json.unreadable."));
    EXPECT_TRUE(f.Panel(f.Form->ActiveHalf()).MessageIsError());
    EXPECT_EQ(ReadFile(kept).size(), 100014u);
    // The next save writes a fresh file beside the kept one, and the next start says nothing.
    f.Form->SaveStateNow();
    f.Form->close();
    f.Form.reset();
    f.Open();
    EXPECT_FALSE(f.Panel(f.Form->ActiveHalf()).MessageIsError());
    EXPECT_FALSE(Exists(f.StateFile + ".unreadable.2"));
}

namespace {

int RowOf(const TKvPanelModel& AModel, const std::string& AName) {
    for (int i = 0; i < AModel.RowCount(); ++i)
        if (AModel.Row(i).Name == AName)
            return i;
    return -1;
}

void MakeSparse(const std::string& APath, int64_t ASize) {
    WriteFile(APath, "");
    ASSERT_EQ(::truncate(APath.c_str(), ASize), 0) << APath;
}

} // namespace

TEST(MainForm, HugeSizesAreShownWholeOrShortNeverCut) {
    TMainFixture f;
    const int64_t sizes[] = {1572864000, 999999999999, 12};
    for (int64_t size : sizes)
        MakeSparse(f.Left + "/s" + std::to_string(size), size);
    f.Open();
    auto& panel = f.Panel(rhLeft);
    ASSERT_TRUE(f.WaitRow(rhLeft, "s12"));
    const auto& model = panel.Model();
    const QFontMetrics metrics(ThemeFont(ScaleFor(&panel, Theme().FontHeight)));
    // A narrow column and the default one.
    for (int column : {TKvPanelModel::KMinColumn, 100}) {
        TKvPanelState state;
        panel.SaveState(state);
        state.SizeColumn = column;
        panel.LoadState(state, f.Left);
        f.WaitListed(rhLeft);
        const TKvColumnLayout layout = model.Layout(panel.focusProxy()->width(), panel.Scale());
        const int room = layout.DateStart - layout.SizeStart - 2 * ScaleFor(&panel, 4);
        for (int64_t size : sizes) {
            const int row = RowOf(model, "s" + std::to_string(size));
            ASSERT_GE(row, 0);
            const std::string shown = panel.ShownSizeText(row);
            EXPECT_TRUE(shown == FormatBytes(size) || shown == FormatSize(size)) << shown;
            if (shown == FormatBytes(size)) {
                EXPECT_LE(metrics.horizontalAdvance(QString::fromStdString(shown)), room) << shown;
            } else {
                // The short form only when the whole number does not fit.
                EXPECT_GT(metrics.horizontalAdvance(QString::fromStdString(FormatBytes(size))),
                          room)
                    << shown;
            }
        }
    }
    EXPECT_EQ(panel.ShownSizeText(RowOf(model, "s12")), FormatBytes(12));
}

TEST(MainForm, DeleteSaysWhetherItGoesToTheTrashOrForGood) {
    TMainFixture f;
    TTempDir noTrash("/dev/shm");
    WriteFile(f.Left + "/a.txt", "a");
    WriteFile(noTrash / "b.txt", "b");
    f.Open();
    struct TCase {
        std::string Folder, Name;
        Qt::KeyboardModifiers Mods;
        std::string Question;
        QMessageBox::Icon Icon;
        QMessageBox::StandardButton Default;
    } cases[] = {
        {f.Left, "a.txt", Qt::NoModifier, "Move \"a.txt\" to the Trash?", QMessageBox::Question,
         QMessageBox::Yes},
        {f.Left, "a.txt", Qt::ShiftModifier, "Delete \"a.txt\" permanently?", QMessageBox::Warning,
         QMessageBox::No},
        // No Trash on this mount: F8 alone cannot be undone either.
        {noTrash.Path(), "b.txt", Qt::NoModifier, "Delete \"b.txt\" permanently?",
         QMessageBox::Warning, QMessageBox::No},
    };
    for (const auto& c : cases) {
        f.Panel(rhLeft).Navigate(c.Folder);
        ASSERT_TRUE(QTest::qWaitFor([&] { return f.Panel(rhLeft).Path() == c.Folder; }, 10000));
        f.Focus(rhLeft, c.Name);
        std::string text;
        QMessageBox::Icon icon = QMessageBox::NoIcon;
        QMessageBox::StandardButton preferred = QMessageBox::NoButton;
        WhenDialog([&](QWidget* AWidget) {
            auto* box = qobject_cast<QMessageBox*>(AWidget);
            ASSERT_TRUE(box);
            text = box->text().toStdString();
            icon = box->icon();
            preferred = box->standardButton(box->defaultButton());
            box->button(QMessageBox::No)->click();
        });
        f.Key(Qt::Key_F8, c.Mods);
        EXPECT_EQ(text, c.Question);
        EXPECT_EQ(icon, c.Icon) << c.Question;
        EXPECT_EQ(preferred, c.Default) << c.Question;
        EXPECT_TRUE(Exists(c.Folder + "/" + c.Name));
    }
    // Yes in the Trash-less folder deletes it.
    AnswerButton(QMessageBox::Yes);
    f.Key(Qt::Key_F8);
    ASSERT_TRUE(f.WaitStatus(rhLeft, "Deleted 1")) << f.Panel(rhLeft).StatusText();
    EXPECT_FALSE(Exists(noTrash / "b.txt"));
}

TEST(MainForm, AClickAnywhereInAHalfMakesItActiveKeysIncluded) {
    TMainFixture f;
    WriteFile(f.Right + "/apple", "");
    WriteFile(f.Right + "/berry", "");
    f.Open();
    ASSERT_EQ(f.Form->ActiveHalf(), rhLeft);
    auto& right = f.Panel(rhRight);
    // The header of the other half: it sorts and takes the keys.
    QWidget* header = right.childAt(ScaleFor(&right, 10), 2);
    ASSERT_TRUE(header);
    QTest::mouseClick(header, Qt::LeftButton, {}, QPoint(ScaleFor(&right, 10), 2));
    EXPECT_EQ(f.Form->ActiveHalf(), rhRight);
    EXPECT_TRUE(right.ListHasFocus());
    EXPECT_TRUE(right.Model().Descending());
    QTest::keyClicks(QApplication::focusWidget(), "b");
    EXPECT_EQ(right.Model().Filter(), "b");
    EXPECT_EQ(f.Panel(rhLeft).Model().Filter(), "");
}

TEST(MainForm, EnterWithAFilterThatMatchesNothingStaysPut) {
    TMainFixture f;
    ::mkdir((f.Left + "/inner").c_str(), 0755);
    WriteFile(f.Left + "/inner/file", "");
    f.Open();
    f.Focus(rhLeft, "inner");
    f.Key(Qt::Key_Return);
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return f.Panel(rhLeft).Path() == f.Left + "/inner"; }, 10000));
    f.WaitListed(rhLeft);
    QTest::keyClicks(f.Panel(rhLeft).focusProxy(), "zzz");
    ASSERT_EQ(f.Panel(rhLeft).Model().Filter(), "zzz");
    f.Key(Qt::Key_Return);
    QTest::qWait(300);
    EXPECT_EQ(f.Panel(rhLeft).Path(), f.Left + "/inner");
    EXPECT_FALSE(f.Panel(rhLeft).Busy());
}

TEST(MainForm, AFileThatCannotBeOpenedSaysWhyInRed) {
    TMainFixture f;
    ASSERT_EQ(::symlink("/nowhere/at/all", (f.Left + "/dangling").c_str()), 0);
    f.Open();
    f.Focus(rhLeft, "dangling");
    f.Key(Qt::Key_Return);
    ASSERT_TRUE(f.WaitStatus(rhLeft, f.Left + "/dangling: No such file or directory"))
        << f.Panel(rhLeft).StatusText();
    EXPECT_TRUE(f.Panel(rhLeft).MessageIsError());
}

TEST(MainForm, TheSplitIsRestoredInANormalWindow) {
    TMainFixture f;
    TKvAppState state;
    DefaultAppState(state);
    state.Panels[rhLeft].Path = f.Left;
    state.Panels[rhRight].Path = f.Right;
    state.SplitRatio = 0.3;
    state.Window.Valid = true;
    state.Window.Left = 40;
    state.Window.Top = 40;
    state.Window.Width = 900;
    state.Window.Height = 500;
    state.Window.Maximized = false;
    SaveAppState(f.StateFile, state);
    f.Open();
    ASSERT_FALSE(f.Form->isMaximized());
    auto ratio = [&] {
        const double left = f.Panel(rhLeft).width(), right = f.Panel(rhRight).width();
        return left / (left + right);
    };
    EXPECT_NEAR(ratio(), 0.3, 0.02);
    f.Form->resize(1100, 500);
    QApplication::processEvents();
    EXPECT_NEAR(ratio(), 0.3, 0.02);
}

TEST(MainForm, LinksOddNamesAndMarksShowAsTheyAre) {
    TMainFixture f;
    WriteFile(f.Left + "/file", "x");
    WriteFile(f.Left + "/two\nlines", "x");
    ASSERT_EQ(::symlink("file", (f.Left + "/link").c_str()), 0);
    ASSERT_EQ(::symlink("/nowhere", (f.Left + "/lost").c_str()), 0);
    f.Open();
    f.Focus(rhLeft, "link");
    auto& panel = f.Panel(rhLeft);
    const auto& model = panel.Model();
    EXPECT_EQ(model.NameText(RowOf(model, "file")), "file");
    EXPECT_EQ(model.NameText(RowOf(model, "two\nlines")), "two?lines");
    EXPECT_EQ(model.NameText(RowOf(model, "link")), std::string("link") + TKvPanelModel::KLinkMark);
    EXPECT_EQ(model.NameText(RowOf(model, "lost")),
              std::string("lost") + TKvPanelModel::KBrokenLinkMark);
    EXPECT_EQ(panel.StatusText(), "Link to file");
    f.Focus(rhLeft, "lost");
    EXPECT_EQ(panel.StatusText(), "Link to /nowhere, which does not exist");
    f.Focus(rhLeft, "file");
    EXPECT_EQ(panel.StatusText(), model.Summary());

    // A marked row under the cursor keeps the mark colour; an unmarked one does not have it.
    const QColor marked = ThemeColor(csMarked);
    EXPECT_NE(panel.RowTextColor(model.Focus()), marked);
    f.Key(Qt::Key_Insert);
    f.Key(Qt::Key_Up);
    ASSERT_TRUE(model.Marked(model.Focus()));
    EXPECT_EQ(panel.RowTextColor(model.Focus()), marked);
}

TEST(MainForm, LineDialogsFitTheirTitleAndProposal) {
    TMainFixture f;
    const std::string deep = f.Right + "/" + std::string(60, 'd');
    ::mkdir(deep.c_str(), 0755);
    WriteFile(f.Left + "/a.txt", "a");
    f.Open();
    f.Panel(rhRight).Navigate(deep);
    ASSERT_TRUE(QTest::qWaitFor([&] { return f.Panel(rhRight).Path() == deep; }, 10000));
    f.Focus(rhLeft, "a.txt");
    int fieldWidth = 0, textWidth = 0, dialogWidth = 0, titleWidth = 0;
    auto measure = [&](QWidget* AWidget) {
        auto* dialog = qobject_cast<QInputDialog*>(AWidget);
        ASSERT_TRUE(dialog);
        auto* edit = dialog->findChild<QLineEdit*>();
        ASSERT_TRUE(edit);
        fieldWidth = edit->width();
        textWidth = edit->fontMetrics().horizontalAdvance(edit->text());
        dialogWidth = dialog->width();
        titleWidth = dialog->fontMetrics().horizontalAdvance(dialog->windowTitle());
        dialog->reject();
    };
    WhenDialog(measure);
    f.Key(Qt::Key_F5);
    EXPECT_GE(fieldWidth, textWidth);
    EXPECT_GE(fieldWidth, dialogWidth * 3 / 4);
    WhenDialog(measure);
    f.Key(Qt::Key_F7);
    EXPECT_GE(dialogWidth, titleWidth + 100);
}

TEST(MainForm, AShownFolderFollowsChangesOnTheDiskKeepingMarksAndCursor) {
    TMainFixture f;
    for (const char* name : {"a", "c", "d"})
        WriteFile(f.Left + "/" + name, "");
    f.Open();
    auto& panel = f.Panel(rhLeft);
    f.Focus(rhLeft, "a");
    f.Key(Qt::Key_Insert); // marks "a", the cursor goes to "c"
    ASSERT_EQ(panel.Model().FocusedName(), "c");
    panel.ShowResult("Copied 1", false);

    // Made, grown and removed by another program: no key pressed here.
    WriteFile(f.Left + "/b", "");
    ASSERT_TRUE(f.WaitRow(rhLeft, "b"));
    WriteFile(f.Left + "/d", "now longer");
    ::unlink((f.Left + "/c").c_str());
    ASSERT_TRUE(QTest::qWaitFor([&] { return RowOf(panel.Model(), "c") < 0; }, 10000));
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return panel.Model().Row(RowOf(panel.Model(), "d")).Size == 10; }, 10000));
    const auto& model = panel.Model();
    EXPECT_TRUE(model.Marked(RowOf(model, "a")));
    EXPECT_FALSE(model.Marked(RowOf(model, "b")));
    EXPECT_EQ(panel.StatusText(), "Copied 1");
}
