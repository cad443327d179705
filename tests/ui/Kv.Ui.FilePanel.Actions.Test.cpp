// The panel's clipboard copies, run bar and context menu.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QTest>
#include <memory>
#include <sys/stat.h>

#include "Kv.Ui.Clipboard.h"
#include "Kv.Ui.FilePanel.h"
#include "KvMemoryFs.h"
#include "KvTestSupport.h"
#include "UiModalDriver.h"

using namespace kv;
using namespace kv::test;

namespace {

struct TPanel {
    TKvFilePanel Panel;
    TPanel() {
        Panel.resize(700, 400);
        Panel.show();
    }
    bool Show(IKvFileSystemPtr AFs, const std::string& APath) {
        Panel.BeginList(std::move(AFs), APath, false, "");
        return QTest::qWaitFor([&] { return !Panel.Busy() && Panel.Path() == APath; }, 10000);
    }
    void Key(Qt::Key AKey, Qt::KeyboardModifiers AMods = Qt::NoModifier) {
        QTest::keyClick(Panel.focusProxy(), AKey, AMods);
    }
    void Focus(const std::string& AName) {
        Key(Qt::Key_Home);
        for (int i = 0; i < Panel.Model().RowCount() && Panel.Model().FocusedName() != AName; ++i)
            Key(Qt::Key_Down);
        ASSERT_EQ(Panel.Model().FocusedName(), AName);
    }
    // "Item:enabled" for each entry of the context menu.
    std::string Menu() {
        std::unique_ptr<QMenu> menu(Panel.NewContextMenu());
        std::string out;
        for (QAction* action : menu->actions())
            out += (out.empty() ? "" : ", ") + action->text().toStdString() + (action->isEnabled() ? "" : " (off)");
        return out;
    }
    void Trigger(const QString& AItem) {
        std::unique_ptr<QMenu> menu(Panel.NewContextMenu());
        for (QAction* action : menu->actions())
            if (action->text() == AItem)
                action->trigger();
    }
};

std::string ClipboardText() { return QGuiApplication::clipboard()->text().toStdString(); }

} // namespace

TEST(PanelActions, ClipboardHoldsFilesFromTheDiskAndTextFromElsewhere) {
    TTempDir dir;
    WriteFile(dir / "a b.txt", "1");
    WriteFile(dir / "c.txt", "2");
    TPanel f;
    ASSERT_TRUE(f.Show(LocalFs(), dir.Path()));
    f.Key(Qt::Key_A, Qt::ControlModifier);
    f.Key(Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(f.Panel.StatusText(), "2 on the clipboard, ready to paste in the file manager");
    EXPECT_FALSE(f.Panel.MessageIsError());
    // What a desktop file manager pastes: both files, as a copy.
    std::vector<std::string> paths;
    bool move = true;
    ASSERT_TRUE(FilesFromMimeData(QGuiApplication::clipboard()->mimeData(), paths, move));
    EXPECT_EQ(paths, (std::vector<std::string>{dir / "a b.txt", dir / "c.txt"}));
    EXPECT_FALSE(move);

    f.Key(Qt::Key_C, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_EQ(ClipboardText(), "a b.txt\r\nc.txt");
    EXPECT_EQ(f.Panel.StatusText(), "2 name(s) on the clipboard");

    // A server: full paths as text, one a line, and no files a file manager would take.
    auto server = std::make_shared<TKvMemoryFs>("mem:server");
    server->SetDisplayPrefix("server:");
    server->AddFile("/srv/x.txt", "x");
    server->AddFile("/srv/y z.txt", "y");
    ASSERT_TRUE(f.Show(server, "/srv"));
    f.Key(Qt::Key_A, Qt::ControlModifier);
    f.Key(Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(ClipboardText(), "/srv/x.txt\r\n/srv/y z.txt");
    EXPECT_EQ(f.Panel.StatusText(), "2 path(s) on the clipboard");
    EXPECT_FALSE(HasFileData(QGuiApplication::clipboard()->mimeData()));

    // Nothing selected (".." under the cursor), nothing copied.
    f.Panel.ClearMarks();
    f.Focus("..");
    f.Key(Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(ClipboardText(), "/srv/x.txt\r\n/srv/y z.txt");
}

TEST(PanelActions, RunBarRunsTheTypedLineInTheShownFolder) {
    TTempDir dir;
    WriteFile(dir / "my file's.txt", "");
    TPanel f;
    ASSERT_TRUE(f.Show(LocalFs(), dir.Path()));
    f.Focus("my file's.txt");
    f.Key(Qt::Key_E, Qt::ControlModifier);
    ASSERT_TRUE(f.Panel.RunBarShown());
    QLineEdit* edit = f.Panel.RunBarEdit();
    // The name as one shell word, and the caret after it for parameters.
    EXPECT_EQ(edit->text().toStdString(), "'my file'\\''s.txt' ");
    EXPECT_EQ(edit->cursorPosition(), edit->text().size());
    EXPECT_TRUE(edit->hasFocus());

    // Tab stays in the bar.
    QTest::keyClick(edit, Qt::Key_Tab);
    EXPECT_TRUE(edit->hasFocus());

    edit->setText("  printf '%s' \"$PWD\" > where.txt  ");
    QTest::keyClick(edit, Qt::Key_Return);
    EXPECT_EQ(f.Panel.StatusText(), "Started: printf '%s' \"$PWD\" > where.txt");
    EXPECT_FALSE(f.Panel.RunBarShown());
    EXPECT_TRUE(f.Panel.ListHasFocus());
    ASSERT_TRUE(QTest::qWaitFor([&] { return ReadFile(dir / "where.txt") == dir.Path(); }, 10000));

    // An empty line only beeps; Esc closes the bar.
    f.Key(Qt::Key_E, Qt::ControlModifier);
    edit->setText("   ");
    QTest::keyClick(edit, Qt::Key_Return);
    EXPECT_TRUE(f.Panel.RunBarShown());
    QTest::keyClick(edit, Qt::Key_Escape);
    EXPECT_FALSE(f.Panel.RunBarShown());
    EXPECT_TRUE(f.Panel.ListHasFocus());

    // A command the shell does not know is reported when the shell says so.
    f.Key(Qt::Key_E, Qt::ControlModifier);
    edit->setText("kv-no-such-command-here --now");
    QTest::keyClick(edit, Qt::Key_Return);
    ASSERT_TRUE(QTest::qWaitFor([&] { return f.Panel.MessageIsError(); }, 10000)) << f.Panel.StatusText();
    EXPECT_NE(f.Panel.StatusText().find("kv-no-such-command-here"), std::string::npos) << f.Panel.StatusText();

    // Only on a disk folder.
    auto server = std::make_shared<TKvMemoryFs>("mem:server");
    server->SetDisplayPrefix("server:");
    server->AddDir("/srv");
    ASSERT_TRUE(f.Show(server, "/srv"));
    f.Key(Qt::Key_E, Qt::ControlModifier);
    EXPECT_FALSE(f.Panel.RunBarShown());
    EXPECT_EQ(f.Panel.StatusText(), "Ctrl+E runs files of a disk only");
    EXPECT_TRUE(f.Panel.MessageIsError());
}

TEST(PanelActions, ContextMenuFollowsTheRowAndThePlace) {
    TTempDir dir;
    WriteFile(dir / "f.txt", "f");
    ::mkdir((dir / "sub").c_str(), 0755);
    TPanel f;
    ASSERT_TRUE(f.Show(LocalFs(), dir.Path()));
    f.Focus("f.txt");
    // Paste and Rename are the window's: off until it takes them.
    EXPECT_EQ(f.Menu(), "Run as..., Copy, Copy names, Paste (off), Rename (off), Properties");

    int renames = 0, pastes = 0;
    f.Panel.OnRenameRequest = [&](TKvFilePanel*) { ++renames; };
    f.Panel.OnPasteRequest = [&](TKvFilePanel*) { ++pastes; };
    QGuiApplication::clipboard()->setText("no files here");
    EXPECT_EQ(f.Menu(), "Run as..., Copy, Copy names, Paste (off), Rename, Properties");
    CopyFilesToClipboard({dir / "f.txt"});
    EXPECT_EQ(f.Menu(), "Run as..., Copy, Copy names, Paste, Rename, Properties");
    f.Trigger("Rename");
    f.Trigger("Paste");
    EXPECT_EQ(renames + pastes, 2);

    // Properties opens its window for the focused file; Run as... asks first (Cancel: nothing).
    f.Trigger("Properties");
    ASSERT_TRUE(QTest::qWaitFor([] {
        for (QWidget* window : QApplication::topLevelWidgets())
            if (window->isVisible() && window->windowTitle() == "Properties - f.txt") {
                // Gone, not hidden: no later test may find it among the windows.
                delete window;
                return true;
            }
        return false;
    }, 10000));
    {
        TModalDriver dialogs({{[](QWidget* AWidget) { return qobject_cast<QDialog*>(AWidget) != nullptr; },
                               [](QWidget* AWidget) { qobject_cast<QDialog*>(AWidget)->reject(); }}});
        f.Key(Qt::Key_Return, Qt::ControlModifier);
        EXPECT_TRUE(dialogs.Finished());
    }

    f.Focus("sub");
    EXPECT_EQ(f.Menu(), "Run as... (off), Copy, Copy names, Paste, Rename, Properties");
    f.Focus("..");
    EXPECT_EQ(f.Menu(), "Run as... (off), Copy (off), Copy names (off), Paste, Rename (off), Properties");

    // A read-only place takes nothing in and renames nothing; a server runs nothing here.
    auto archive = std::make_shared<TKvMemoryFs>("mem:archive", true);
    archive->AddFile("/a/in.txt", "x");
    ASSERT_TRUE(f.Show(archive, "/a"));
    f.Focus("in.txt");
    EXPECT_EQ(f.Menu(), "Run as... (off), Copy, Copy names, Paste (off), Rename (off), Properties");

    f.Trigger("Copy");
    EXPECT_EQ(ClipboardText(), "/a/in.txt");
}
