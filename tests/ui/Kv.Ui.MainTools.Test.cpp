#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QAbstractScrollArea>
#include <QTest>
#include <sys/stat.h>

#include "Kv.FS.Local.h"
#include "Kv.Log.h"
#include "Kv.Settings.h"
#include "Kv.Ui.FilePanel.h"
#include "Kv.Ui.MainForm.h"
#include "Kv.Ui.MainTools.h"
#include "Kv.Ui.SearchForm.h"
#include "Kv.Ui.ViewerForm.h"
#include "KvTestSupport.h"
#include "UiModalDriver.h"

using namespace kv;
using namespace kv::test;

namespace {

template <class TWindow> TWindow* WaitWindow() {
    TWindow* found = nullptr;
    QTest::qWaitFor([&] {
        for (QWidget* window : QApplication::topLevelWidgets())
            if (auto* candidate = qobject_cast<TWindow*>(window); candidate && candidate->isVisible())
                found = candidate;
        return found != nullptr;
    }, 10000);
    return found;
}

void CloseToolWindows() {
    for (QWidget* window : QApplication::topLevelWidgets())
        if (qobject_cast<TKvViewerForm*>(window) || qobject_cast<TKvSearchResults*>(window))
            window->close();
    QTest::qWait(20);
}

// The main window over two fresh folders.
struct TTools {
    TTempDir Root;
    std::string Left = Root / "left", Right = Root / "right";
    std::unique_ptr<TMainForm> Form;
    TKvSettings Saved = CurrentSettings();

    TTools() {
        ::mkdir(Left.c_str(), 0755);
        ::mkdir(Right.c_str(), 0755);
    }
    ~TTools() {
        CloseToolWindows();
        if (Form)
            Form->close();
        SetCurrentSettings(Saved);
    }
    void Open() {
        TKvAppState state;
        DefaultAppState(state);
        state.Panels[rhLeft].Path = Left;
        state.Panels[rhRight].Path = Right;
        SaveAppState(Root / "state.json", state);
        Form = std::make_unique<TMainForm>(Root / "state.json");
        Form->show();
        for (TKvHalf half : {rhLeft, rhRight})
            ASSERT_TRUE(QTest::qWaitFor([&] { return !Panel(half).Busy() && !Panel(half).Path().empty(); }, 10000));
    }
    TKvFilePanel& Panel(TKvHalf AHalf) { return Form->Panel(AHalf); }
    void Focus(const std::string& AName) {
        auto& panel = Panel(rhLeft);
        Form->SetActiveHalf(rhLeft);
        ASSERT_TRUE(QTest::qWaitFor([&] {
            const auto& model = panel.Model();
            for (int i = 0; i < model.RowCount(); ++i)
                if (model.Row(i).Name == AName)
                    return true;
            return false;
        }, 10000));
        QTest::keyClick(panel.focusProxy(), Qt::Key_Home);
        while (panel.Model().FocusedName() != AName)
            QTest::keyClick(panel.focusProxy(), Qt::Key_Down);
    }
    void Key(Qt::Key AKey, Qt::KeyboardModifiers AMods = Qt::NoModifier) {
        QTest::keyClick(Panel(Form->ActiveHalf()).focusProxy(), AKey, AMods);
    }
};

} // namespace

TEST(MainTools, EditRules) {
    EXPECT_TRUE(EditAsksFirst(true, 20971521));
    EXPECT_FALSE(EditAsksFirst(true, 20971520));
    EXPECT_FALSE(EditAsksFirst(false, int64_t(1) << 40));
    EXPECT_EQ(EditQuestion("big.bin", 20971521),
              "\"big.bin\" is " + FormatSize(20971521) + ". Fetch it from the server to edit it?");

}

TEST(MainTools, F3ViewsTheFileAndRefusesAFolder) {
    TTools t;
    WriteFile(t.Left + "/a.txt", "first line\nsecond line\n");
    ::mkdir((t.Left + "/docs").c_str(), 0755);
    t.Open();

    t.Focus("docs");
    t.Key(Qt::Key_F3);
    EXPECT_EQ(t.Panel(rhLeft).StatusText(), "\"docs\" is a folder, not a file");
    EXPECT_TRUE(t.Panel(rhLeft).MessageIsError());

    t.Focus("a.txt");
    t.Key(Qt::Key_F3);
    TKvViewerForm* viewer = WaitWindow<TKvViewerForm>();
    ASSERT_TRUE(viewer);
    ASSERT_TRUE(QTest::qWaitFor([&] { return viewer->Model().RowCount() > 0 && !viewer->Model().Busy(); }, 10000));
    EXPECT_EQ(viewer->Model().Pos(), 0);
    EXPECT_EQ(viewer->Model().RowText(0), "first line");
    EXPECT_EQ(viewer->windowTitle().toStdString(), "View - a.txt");
    viewer->close();
    QTest::qWait(20);

    // A viewer program that cannot start: said so, and the built-in viewer opens.
    TKvSettings settings = CurrentSettings();
    settings.ViewerExe = t.Root / "no-such-viewer";
    SetCurrentSettings(settings);
    t.Key(Qt::Key_F3);
    viewer = WaitWindow<TKvViewerForm>();
    ASSERT_TRUE(viewer);
    const std::string status = t.Panel(rhLeft).StatusText();
    EXPECT_EQ(status.substr(0, settings.ViewerExe.size() + 2), settings.ViewerExe + ": ");
    EXPECT_EQ(status.substr(status.size() - 30), " - the built-in viewer is used");
}

TEST(MainTools, ShowTheLogOpensItInTheBuiltInViewer) {
    TTools t;
    t.Open();
    // Whatever earlier tests left, this one reads a log of its own.
    TTempDir logs;
    const std::string oldLog = LogPath();
    const bool logging = LogEnabled();
    SetLogFolder(logs.Path());
    SetLogEnabled(true);
    Log("a line for the log window");
    {
        TModalDriver driver({{IsDialog("Options"), [](QWidget* AWidget) {
                                  ButtonNamed(AWidget, "Show the log...")->click();
                              }}});
        t.Form->ShowOptions();
        EXPECT_TRUE(driver.Finished());
    }
    TKvViewerForm* viewer = WaitWindow<TKvViewerForm>();
    ASSERT_TRUE(viewer) << t.Panel(t.Form->ActiveHalf()).StatusText();
    ASSERT_TRUE(QTest::qWaitFor([&] { return viewer->Model().RowCount() > 0 && !viewer->Model().Busy(); }, 10000));
    EXPECT_EQ(viewer->Model().Data().Path, LogPath());
    bool seen = false;
    for (int row = 0; row < viewer->Model().RowCount(); ++row)
        seen = seen || viewer->Model().RowText(row).find("a line for the log window") != std::string::npos;
    EXPECT_TRUE(seen);
    viewer->close();
    QTest::qWait(20);
    SetLogEnabled(logging);
    SetLogFolder(oldLog.substr(0, oldLog.rfind('/')));
}

TEST(MainTools, ShiftF4MakesTheFileAndStartsTheEditor) {
    TTools t;
    const std::string record = t.Root / "edited";
    const std::string editor = t.Root / "editor.sh";
    WriteFile(editor, "#!/bin/sh\nprintf '%s' \"$1\" > '" + record + "'\n");
    ::chmod(editor.c_str(), 0755);
    TKvSettings settings = CurrentSettings();
    settings.EditorExe = editor;
    SetCurrentSettings(settings);
    t.Open();
    {
        TModalDriver driver({{[](QWidget* AWidget) { return AWidget->windowTitle() == "Edit new file"; },
                              [](QWidget* ADialog) {
                                  auto* edit = ADialog->findChild<QLineEdit*>();
                                  ASSERT_TRUE(edit);
                                  edit->setText("  notes.md ");
                                  for (auto* button : ADialog->findChildren<QPushButton*>())
                                      if (button->text() == "OK")
                                          button->click();
                              }}});
        t.Key(Qt::Key_F4, Qt::ShiftModifier);
    }
    ASSERT_TRUE(QTest::qWaitFor([&] { return Exists(record); }, 10000));
    ASSERT_TRUE(QTest::qWaitFor([&] { return ReadFile(record) == t.Left + "/notes.md"; }, 5000));
    EXPECT_EQ(ReadFile(t.Left + "/notes.md"), "");
    EXPECT_TRUE(QTest::qWaitFor([&] { return t.Panel(rhLeft).StatusText() == "Editing notes.md"; }, 5000));
    EXPECT_TRUE(QTest::qWaitFor([&] {
        const auto& model = t.Panel(rhLeft).Model();
        for (int i = 0; i < model.RowCount(); ++i)
            if (model.Row(i).Name == "notes.md")
                return true;
        return false;
    }, 10000));
}

TEST(MainTools, AltF7FindsAFileAndGoesToIt) {
    TTools t;
    ::mkdir((t.Left + "/sub").c_str(), 0755);
    ::mkdir((t.Left + "/sub/deep").c_str(), 0755);
    WriteFile(t.Left + "/sub/deep/target.txt", "x");
    WriteFile(t.Left + "/other.txt", "x");
    t.Open();
    t.Form->SetActiveHalf(rhLeft);
    {
        TModalDriver driver({{IsDialog("Search for files"), [](QWidget* ADialog) {
                                  EXPECT_EQ(EditNamed(ADialog, "masks")->text(), "*");
                                  EditNamed(ADialog, "masks")->setText("target");
                                  for (auto* box : ADialog->findChildren<QCheckBox*>())
                                      if (box->text() == "Search in the folders below")
                                          box->setChecked(true);
                                  ButtonNamed(ADialog, "Search")->click();
                              }}});
        t.Key(Qt::Key_F7, Qt::AltModifier);
    }
    TKvSearchResults* results = WaitWindow<TKvSearchResults>();
    ASSERT_TRUE(results);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !results->Model().Running(); }, 10000));
    ASSERT_EQ(results->Model().Hits().size(), 1u);
    t.Form->SetActiveHalf(rhRight);
    QTest::keyClick(results->findChild<QAbstractScrollArea*>(), Qt::Key_Return);
    ASSERT_TRUE(QTest::qWaitFor([&] {
        return t.Panel(rhLeft).Path() == t.Left + "/sub/deep" && !t.Panel(rhLeft).Busy();
    }, 10000));
    EXPECT_EQ(t.Panel(rhLeft).Model().FocusedName(), "target.txt");
    EXPECT_EQ(t.Form->ActiveHalf(), rhLeft);

    // The next Alt+F7 starts from the last request.
    {
        TModalDriver driver({{IsDialog("Search for files"), [](QWidget* ADialog) {
                                  EXPECT_EQ(EditNamed(ADialog, "masks")->text(), "target");
                                  ButtonNamed(ADialog, "Cancel")->click();
                              }}});
        t.Key(Qt::Key_F7, Qt::AltModifier);
    }
}
