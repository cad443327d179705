// The compare and diff windows offscreen, alone and from the main window's F2 and Shift+F2,
// against real trees on the disk with GNU diff as the judge.
#include <gtest/gtest.h>

#include <QAbstractScrollArea>
#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <set>
#include <sys/stat.h>
#include <utime.h>

#include "Kv.FS.Local.h"
#include "Kv.Settings.h"
#include "Kv.Transfer.Engine.h"
#include "Kv.Ui.CompareForm.h"
#include "Kv.Ui.DiffForm.h"
#include "Kv.Ui.FilePanel.h"
#include "Kv.Ui.MainForm.h"
#include "KvTestSupport.h"

using namespace kv;
using namespace kv::test;

namespace {

template <class T> std::vector<T*> Windows() {
    std::vector<T*> found;
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (auto* form = qobject_cast<T*>(widget); form && form->isVisible())
            found.push_back(form);
    return found;
}

template <class T> void CloseAll() {
    for (T* form : Windows<T>())
        form->close();
    QApplication::processEvents();
}

// Answers the next message box with AButton once it shows, recording its text.
void AnswerBox(QMessageBox::StandardButton AButton, QString* AText) {
    auto* timer = new QTimer;
    timer->setInterval(5);
    QObject::connect(timer, &QTimer::timeout, [=] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box)
            return;
        timer->stop();
        timer->deleteLater();
        if (AText)
            *AText = box->text();
        box->button(AButton)->click();
    });
    timer->start();
}

void Touch(const std::string& APath, time_t AWhen) {
    struct utimbuf times{AWhen, AWhen};
    ::utime(APath.c_str(), &times);
}

void Mkdir(const std::string& APath) { ::mkdir(APath.c_str(), 0755); }

// Two trees with every kind of row: same, same text, differs (newer left), left only (a file and
// a folder), right only, a file against a folder.
struct TTrees {
    TTempDir Root;
    std::string Left = Root / "left", Right = Root / "right";
    TTrees() {
        Mkdir(Left);
        Mkdir(Right);
        WriteFile(Left + "/same.txt", "same\n");
        WriteFile(Right + "/same.txt", "same\n");
        WriteFile(Left + "/crlf.txt", "a\r\nb\r\n");
        WriteFile(Right + "/crlf.txt", "a\nb\n");
        WriteFile(Left + "/newer.txt", "new text\n");
        WriteFile(Right + "/newer.txt", "old text\n");
        Touch(Left + "/newer.txt", 1700000100);
        Touch(Right + "/newer.txt", 1700000000);
        Mkdir(Left + "/sub");
        Mkdir(Right + "/sub");
        WriteFile(Left + "/sub/only-left.txt", "L\n");
        Mkdir(Left + "/sub/newdir");
        WriteFile(Left + "/sub/newdir/deep.txt", "deep\n");
        WriteFile(Right + "/only-right.txt", "R\n");
        Mkdir(Left + "/clash");
        WriteFile(Right + "/clash", "file\n");
    }
};

TKvCompareForm* OpenCompare(const TTrees& ATrees, TKvCompareSync ASync = {}, TKvCompareGoTo AGoTo = {}) {
    TKvCompareOptions options;
    auto* form = TKvCompareForm::Open(nullptr, {LocalFs(), ATrees.Left, ATrees.Left},
                                      {LocalFs(), ATrees.Right, ATrees.Right}, options, {}, std::move(ASync),
                                      std::move(AGoTo));
    EXPECT_TRUE(QTest::qWaitFor([&] { return !form->Model().Busy(); }, 10000));
    return form;
}

int ViewRowOf(const TKvCompareForm& AForm, const std::string& APath) {
    const auto& model = AForm.Model();
    for (int i = 0; i < model.ViewCount(); ++i)
        if (RowPath(model.ViewRow(i).Row) == APath)
            return i;
    return -1;
}

void Key(QWidget* AWidget, Qt::Key AKey, Qt::KeyboardModifiers AMods = Qt::NoModifier, const QString& AText = {}) {
    QKeyEvent press(QEvent::KeyPress, AKey, AMods, AText);
    QApplication::sendEvent(AWidget, &press);
}

QWidget* ListOf(TKvCompareForm* AForm) { return AForm->findChild<QAbstractScrollArea*>(); }

// "diff -rq" as a set of relative paths that differ or exist on one side only.
std::set<std::string> DiffRq(const std::string& ALeft, const std::string& ARight, int* AExit = nullptr) {
    std::string output = RunCommand("LC_ALL=C diff -rq '" + ALeft + "' '" + ARight + "'", AExit);
    std::set<std::string> paths;
    for (const std::string& line : Split(output, '\n')) {
        if (line.rfind("Files ", 0) == 0) {
            std::string rest = line.substr(6 + ALeft.size() + 1);
            paths.insert(rest.substr(0, rest.find(" and ")));
        } else if (line.rfind("File ", 0) == 0) { // a file against a folder
            std::string rest = line.substr(5 + ALeft.size() + 1);
            paths.insert(rest.substr(0, rest.find(" is a ")));
        } else if (line.rfind("Only in ", 0) == 0) {
            std::string where = line.substr(8, line.find(": ") - 8);
            std::string base = where.rfind(ALeft, 0) == 0 ? ALeft : ARight;
            std::string dir = where.size() > base.size() ? where.substr(base.size() + 1) + "/" : "";
            paths.insert(dir + line.substr(line.find(": ") + 2));
        }
    }
    return paths;
}

} // namespace

TEST(CompareForm, RowsOptionsAndKeys) {
    TTrees trees;
    std::vector<std::string> goneTo;
    TKvCompareForm* form = OpenCompare(trees, {}, [&](IKvFileSystemPtr, const std::string& ALeft, IKvFileSystemPtr,
                                                      const std::string& ARight) {
        goneTo = {ALeft, ARight};
    });
    QPointer<TKvCompareForm> alive(form);
    const auto& model = form->Model();
    EXPECT_EQ(form->windowTitle().toStdString(), "Compare - " + trees.Left + "  <->  " + trees.Right);
    // Same rows are counted but not shown by default.
    EXPECT_EQ(form->StatusText(), " 2 same, 2 differ, 2 left only, 1 right only   to copy: 3 \xe2\x86\x92, 1 "
                                  "\xe2\x86\x90 (F5)   F3 side by side, \xe2\x86\x92/\xe2\x86\x90 direction, "
                                  "Enter go to");
    EXPECT_EQ(model.ViewCount(), 5);
    EXPECT_EQ(model.ViewRow(ViewRowOf(*form, "newer.txt")).Action, saToRight) << "the newer left proposes a copy";
    const int gen = model.Generation();

    // Ticking "Same" shows the same rows without comparing again.
    form->Check(7)->click();
    EXPECT_EQ(model.Generation(), gen);
    EXPECT_EQ(model.ViewCount(), 7);
    EXPECT_TRUE(CurrentSettings().Compare.ShowSame) << "the options are kept in the settings";
    // A changed exclusion is saved by a Show click but compared only by an ignore box or Enter.
    form->ExcludeEdit()->setText(" sub ");
    form->Check(7)->click();
    EXPECT_EQ(model.Generation(), gen);
    EXPECT_EQ(CurrentSettings().Compare.Exclude, "sub");
    form->Check(6)->click();
    EXPECT_NE(model.Generation(), gen);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !model.Busy(); }, 10000));
    EXPECT_EQ(ViewRowOf(*form, "sub/only-left.txt"), -1) << "the excluded folder is not entered";
    form->ExcludeEdit()->setText("");
    Key(form->ExcludeEdit(), Qt::Key_Return);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !model.Busy(); }, 10000));
    EXPECT_NE(ViewRowOf(*form, "sub/only-left.txt"), -1);
    QWidget* list = ListOf(form);
    EXPECT_TRUE(list->hasFocus()) << "Enter in the edit moves the focus to the list";
    form->Check(7)->click();

    // Right arrow on the file/folder row refuses and moves down; on a file it sets the direction.
    const int clash = ViewRowOf(*form, "clash");
    form->Select(clash);
    Key(list, Qt::Key_Right);
    EXPECT_EQ(model.ViewRow(clash).Action, saNone);
    EXPECT_EQ(form->Selected(), clash + 1);
    const int same = ViewRowOf(*form, "same.txt");
    form->Select(same);
    Key(list, Qt::Key_Less, Qt::NoModifier, "<");
    EXPECT_EQ(model.ViewRow(same).Action, saToLeft);
    form->Select(same);
    Key(list, Qt::Key_Equal, Qt::NoModifier, "=");
    EXPECT_EQ(model.ViewRow(same).Action, saNone);
    form->Select(same);
    Key(list, Qt::Key_Insert);
    EXPECT_TRUE(model.ViewRow(same).Marked);
    Key(list, Qt::Key_A, Qt::ControlModifier);
    Key(list, Qt::Key_A, Qt::ControlModifier);
    for (int i = 0; i < model.ViewCount(); ++i)
        EXPECT_FALSE(model.ViewRow(i).Marked);

    // Enter goes to the row on both sides, also where a side lacks it.
    form->Select(ViewRowOf(*form, "only-right.txt"));
    Key(list, Qt::Key_Return);
    EXPECT_EQ(goneTo, (std::vector<std::string>{trees.Left + "/only-right.txt", trees.Right + "/only-right.txt"}));

    // F3 on a folder row opens nothing; on a file on both sides, the diff.
    form->Select(ViewRowOf(*form, "sub/newdir"));
    Key(list, Qt::Key_F3);
    EXPECT_TRUE(Windows<TKvDiffForm>().empty());
    form->Select(ViewRowOf(*form, "newer.txt"));
    Key(list, Qt::Key_F3);
    ASSERT_EQ(Windows<TKvDiffForm>().size(), 1u);
    EXPECT_EQ(Windows<TKvDiffForm>()[0]->windowTitle(), "Compare - newer.txt");
    CloseAll<TKvDiffForm>();

    // Esc with nothing running closes the window.
    Key(list, Qt::Key_Escape);
    EXPECT_TRUE(QTest::qWaitFor([&] { return alive.isNull(); }, 5000));
}

TEST(CompareForm, CopyChosenAndRecheck) {
    TTrees trees;
    std::vector<TKvTransferRequest> handed;
    TKvCompareForm* form = OpenCompare(trees, [&](const std::vector<TKvTransferRequest>& ARequests) {
        handed = ARequests;
    });
    const auto& model = form->Model();
    QWidget* list = ListOf(form);

    // Nothing chosen: the message, no copy.
    Key(list, Qt::Key_A, Qt::ControlModifier);
    Key(list, Qt::Key_Delete);
    QString text;
    AnswerBox(QMessageBox::Ok, &text);
    Key(list, Qt::Key_F5);
    EXPECT_EQ(text.toStdString(), TKvCompareModel::KNothingChosen);
    EXPECT_TRUE(handed.empty());

    // Everything that can go right: Cancel first changes nothing, OK hands the requests over.
    Key(list, Qt::Key_Right);
    AnswerBox(QMessageBox::Cancel, &text);
    Key(list, Qt::Key_F5);
    EXPECT_TRUE(text.startsWith("Copy 3 item(s), ")) << text.toStdString();
    EXPECT_TRUE(handed.empty());
    AnswerBox(QMessageBox::Ok, &text);
    Key(list, Qt::Key_F5);
    ASSERT_EQ(handed.size(), 2u) << "one request per folder";
    EXPECT_EQ(handed[1].DestPath, trees.Right + "/sub/");
    EXPECT_NE(form->StatusText().find("copying 3"), std::string::npos) << form->StatusText();

    for (const auto& request : handed) {
        struct THost final : IKvTransferHost {
            void SetPhase(TKvTransferPhase, int, int64_t) override {}
            void SetCurrent(const std::string&, int64_t) override {}
            void SetProgress(int64_t, int64_t, int) override {}
            TKvPromptAnswer Ask(TKvPromptKind, const std::string&, const IKvCancelToken&, bool&) override {
                return paCancel;
            }
        };
        TKvRun(request, NewCancelToken(), std::make_shared<THost>()).Execute();
    }
    TKvCompareForm::TransfersFinishedAll();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !model.Busy(); }, 10000));
    EXPECT_EQ(form->StatusText(), " 5 same, 1 differ, 0 left only, 1 right only   F3 side by side, "
                                  "\xe2\x86\x92/\xe2\x86\x90 direction, Enter go to");
    form->close();
}

TEST(DiffForm, BlocksKeysAndStrip) {
    TTempDir dir;
    std::string left, right;
    for (int i = 0; i < 300; ++i) {
        const std::string line = "line " + std::to_string(i) + "\n";
        if (i == 20)
            right += "changed 20\n";
        else if (i != 150)
            right += line;
        left += line;
        if (i == 250)
            right += "added\n";
    }
    WriteFile(dir / "l.txt", left);
    WriteFile(dir / "r.txt", right);
    TKvDiffForm* form = TKvDiffForm::Open(nullptr, LocalFs(), dir / "l.txt", "L", LocalFs(), dir / "r.txt", "R", {});
    QPointer<TKvDiffForm> alive(form);
    form->resize(800, 400);
    ASSERT_TRUE(QTest::qWaitFor([&] { return form->Model().IsLoaded(); }, 10000));
    const auto& model = form->Model();
    EXPECT_EQ(form->StatusText(), " Left: UTF-8, LF   Right: UTF-8, LF.   3 differences.   N/P next/previous, Esc close");
    EXPECT_EQ(model.Current(), 20) << "the first block is shown at once";
    QWidget* box = form;
    Key(box, Qt::Key_N);
    EXPECT_EQ(model.Current(), 150);
    EXPECT_EQ(model.Kind(150), dkLeftOnly);
    Key(box, Qt::Key_Space);
    EXPECT_EQ(model.Current(), 251);
    EXPECT_EQ(model.Kind(251), dkRightOnly);
    const int top = model.Top();
    Key(box, Qt::Key_F8);
    EXPECT_EQ(model.Current(), 251) << "no block after the last";
    EXPECT_EQ(model.Top(), top);
    Key(box, Qt::Key_Up, Qt::AltModifier);
    EXPECT_EQ(model.Current(), 150);
    Key(box, Qt::Key_P, Qt::ShiftModifier);
    EXPECT_EQ(model.Current(), 150) << "Shift+P is not a command";
    Key(box, Qt::Key_Home);
    EXPECT_EQ(model.Top(), 0);
    EXPECT_EQ(model.Current(), -1);
    Key(box, Qt::Key_PageDown);
    EXPECT_EQ(model.Top(), form->VisibleRows() - 1);
    Key(box, Qt::Key_End);
    EXPECT_EQ(model.Top(), model.RowCount() - form->VisibleRows());
    Key(box, Qt::Key_Right);
    EXPECT_EQ(model.Col(), 8);

    // A press in the middle of the strip puts the middle row in the middle of the page.
    auto* strip = form->findChild<QWidget*>("overview");
    ASSERT_NE(strip, nullptr);
    QTest::mouseClick(strip, Qt::LeftButton, {}, QPoint(7, strip->height() / 2));
    EXPECT_NEAR(model.Top(), model.RowCount() / 2 - form->VisibleRows() / 2, 1);

    Key(box, Qt::Key_Escape);
    EXPECT_TRUE(QTest::qWaitFor([&] { return alive.isNull(); }, 5000));
}

TEST(DiffForm, FailureShowsInTheWindow) {
    TTempDir dir;
    WriteFile(dir / "a.txt", "a\n");
    TKvDiffForm* form = TKvDiffForm::Open(nullptr, LocalFs(), dir / "a.txt", "A", LocalFs(), dir / "none.txt", "N", {});
    ASSERT_TRUE(QTest::qWaitFor([&] { return form->Model().IsLoaded(); }, 10000));
    EXPECT_EQ(form->StatusText().rfind(" " + dir / "none.txt" + ": ", 0), 0u) << form->StatusText();
    form->close();
}

// From the main window: F2 and Shift+F2 on real folders, GNU diff as the judge.
struct TMainWithTrees {
    TTrees Trees;
    std::string StateFile = Trees.Root / "state.json";
    std::unique_ptr<TMainForm> Form;

    TMainWithTrees() {
        TKvAppState state;
        DefaultAppState(state);
        state.Panels[rhLeft].Path = Trees.Left;
        state.Panels[rhRight].Path = Trees.Right;
        SaveAppState(StateFile, state);
        TKvSettings settings = CurrentSettings();
        settings.Compare = TKvCompareOptions{};
        SetCurrentSettings(settings);
        Form = std::make_unique<TMainForm>(StateFile);
        Form->show();
        for (TKvHalf h : {rhLeft, rhRight})
            EXPECT_TRUE(QTest::qWaitFor([&] { return !Form->Panel(h).Busy() && !Form->Panel(h).Path().empty(); }, 10000));
    }
    ~TMainWithTrees() {
        CloseAll<TKvCompareForm>();
        CloseAll<TKvDiffForm>();
        Form->close();
    }
    void Focus(TKvHalf AHalf, const std::string& AName) {
        TKvFilePanel& panel = Form->Panel(AHalf);
        Form->SetActiveHalf(AHalf);
        const auto& model = panel.Model();
        ASSERT_TRUE(QTest::qWaitFor([&] {
            for (int i = 0; i < model.RowCount(); ++i)
                if (model.Row(i).Name == AName)
                    return true;
            return false;
        }, 10000));
        QTest::keyClick(panel.focusProxy(), Qt::Key_Home);
        while (model.FocusedName() != AName)
            QTest::keyClick(panel.focusProxy(), Qt::Key_Down);
    }
    void Mark(TKvHalf AHalf, const std::string& AName) {
        Focus(AHalf, AName);
        QTest::keyClick(Form->Panel(AHalf).focusProxy(), Qt::Key_Insert);
    }
};

TEST(MainFormCompare, F2OnTwoMarkedFilesOpensTheirDiff) {
    TMainWithTrees f;
    f.Mark(rhLeft, "newer.txt");
    f.Mark(rhRight, "only-right.txt");
    f.Form->RunKey(Qt::Key_F2, Qt::NoModifier);
    ASSERT_EQ(Windows<TKvDiffForm>().size(), 1u);
    EXPECT_TRUE(Windows<TKvCompareForm>().empty());
    TKvDiffForm* diff = Windows<TKvDiffForm>()[0];
    ASSERT_TRUE(QTest::qWaitFor([&] { return diff->Model().IsLoaded(); }, 10000));
    EXPECT_EQ(diff->Model().Text(0, dsLeft), "new text");
    EXPECT_EQ(diff->Model().Text(0, dsRight), "R");

    // Shift+F2 with the cursor on a folder refuses.
    CloseAll<TKvDiffForm>();
    QString text;
    AnswerBox(QMessageBox::Ok, &text);
    f.Focus(rhLeft, "sub");
    f.Form->RunKey(Qt::Key_F2, Qt::ShiftModifier);
    EXPECT_EQ(text, "Put the cursor on a file in each half: Shift+F2 shows the two side by side. F2 compares the "
                    "two folders.");
    EXPECT_TRUE(Windows<TKvDiffForm>().empty());
}

TEST(MainFormCompare, F2ListsWhatDiffListsAndCopyMakesTheTreesEqual) {
    TMainWithTrees f;
    // Same text is a difference to diff: compare exactly here.
    TKvSettings settings = CurrentSettings();
    settings.Compare.IgnoreEol = false;
    settings.Compare.IgnoreTrailingSpace = false;
    settings.Compare.IgnoreEndBlankLines = false;
    SetCurrentSettings(settings);
    // Names of one case only, and nothing on the right alone, so a copy to the right can make the
    // trees equal; the file against a folder goes too.
    RemoveTree(f.Trees.Right + "/only-right.txt");
    RemoveTree(f.Trees.Right + "/clash");
    f.Form->Panel(rhRight).Reload();

    f.Form->RunKey(Qt::Key_F2, Qt::NoModifier);
    ASSERT_EQ(Windows<TKvCompareForm>().size(), 1u);
    TKvCompareForm* form = Windows<TKvCompareForm>()[0];
    const auto& model = form->Model();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !model.Busy(); }, 10000));
    std::set<std::string> shown;
    for (int i = 0; i < model.ViewCount(); ++i)
        shown.insert(RowPath(model.ViewRow(i).Row));
    int exit = 0;
    EXPECT_EQ(shown, DiffRq(f.Trees.Left, f.Trees.Right, &exit));
    EXPECT_EQ(exit, 1);

    // The right folder "sub" goes away meanwhile: the copy makes it again and fills it.
    RemoveTree(f.Trees.Right + "/sub");
    QWidget* list = ListOf(form);
    Key(list, Qt::Key_A, Qt::ControlModifier);
    Key(list, Qt::Key_Right);
    AnswerBox(QMessageBox::Ok, nullptr);
    Key(list, Qt::Key_F5);
    ASSERT_TRUE(QTest::qWaitFor([&] { return form->StatusText().find("copying") == std::string::npos && !model.Busy(); },
                                20000))
        << form->StatusText();
    RunCommand("LC_ALL=C diff -rq '" + f.Trees.Left + "' '" + f.Trees.Right + "'", &exit);
    EXPECT_EQ(exit, 0) << RunCommand("diff -rq '" + f.Trees.Left + "' '" + f.Trees.Right + "'");
    EXPECT_EQ(form->StatusText().rfind(" 6 same, 0 differ, 0 left only, 0 right only", 0), 0u) << form->StatusText();
}

TEST(MainFormCompare, F2ScopeFromMarksAndFilter) {
    TMainWithTrees f;
    f.Mark(rhLeft, "sub");
    f.Mark(rhLeft, "newer.txt");
    f.Form->RunKey(Qt::Key_F2, Qt::NoModifier);
    ASSERT_EQ(Windows<TKvCompareForm>().size(), 1u);
    TKvCompareForm* form = Windows<TKvCompareForm>()[0];
    ASSERT_TRUE(QTest::qWaitFor([&] { return !form->Model().Busy(); }, 10000));
    EXPECT_EQ(form->windowTitle().toStdString(),
              "Compare - " + f.Trees.Left + "  <->  " + f.Trees.Right + "  (only 2 marked)");
    std::set<std::string> shown;
    for (int i = 0; i < form->Model().ViewCount(); ++i)
        shown.insert(RowPath(form->Model().ViewRow(i).Row));
    EXPECT_EQ(shown, (std::set<std::string>{"newer.txt", "sub/only-left.txt", "sub/newdir"}));
}
