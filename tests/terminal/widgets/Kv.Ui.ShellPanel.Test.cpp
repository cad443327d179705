// The terminal half as a widget: keys reach the shell and its output the control, the status
// line shows the half's texts, and a hybrid half's links reach the control, where a double
// click on a folder types the cd.
#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QTest>
#include <mutex>

#include "Kv.Ui.ShellPanel.h"
#include "KvMemoryFs.h"
#include "KvScriptedShell.h"
#include "KvTestSupport.h"

using namespace kv;

namespace {

bool WaitFor(const std::function<bool()>& APredicate, int AMs = 15000) {
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < AMs) {
        QApplication::processEvents(QEventLoop::AllEvents, 20);
        if (APredicate())
            return true;
        QTest::qWait(20);
    }
    return false;
}

std::string ScreenText(TKvVtScreen& AScreen) {
    std::string text;
    AScreen.Lock();
    for (int r = 0; r < AScreen.Rows(); ++r)
        text += AScreen.RowText(r) + "\n";
    AScreen.Unlock();
    return text;
}

TEST(ShellPanel, TheLocalShellTakesKeysShowsOutputAndSaysWhenItEnds) {
    test::TTempDir dir;
    TKvShellPanel panel;
    panel.resize(700, 400);
    panel.show();
    ::setenv("SHELL", "/bin/bash", 1);
    panel.OpenLocal(dir.Path());
    ASSERT_TRUE(panel.IsOpen());
    EXPECT_FALSE(panel.HasFiles());
    ASSERT_TRUE(WaitFor([&] { return panel.CurrentDir() == dir.Path(); }))
        << ScreenText(panel.Model().Screen());
    EXPECT_EQ(panel.Title(), "bash: " + dir.Path());
    QTest::keyClicks(panel.Terminal(), "echo pan''el-$((6*7))");
    QTest::keyClick(panel.Terminal(), Qt::Key_Return);
    ASSERT_TRUE(WaitFor([&] {
        return ScreenText(panel.Model().Screen()).find("\npanel-42\n") != std::string::npos;
    })) << ScreenText(panel.Model().Screen());
    panel.TypeLine("exit");
    ASSERT_TRUE(WaitFor([&] { return !panel.IsOpen(); }));
    EXPECT_EQ(panel.StatusText().toStdString(), " bash has ended.");
}

TEST(ShellPanel, AHybridHalfUnderlinesNamesAndADoubleClickOnAFolderTypesTheCd) {
    std::atomic<uint64_t> now{100000};
    TKvShellPanel panel(nullptr, [&] { return now.load(); });
    auto mem = std::make_shared<test::TKvMemoryFs>();
    mem->AddFile("/home/ann/notes 2024.txt", "notes");
    mem->AddDir("/home/ann/my dir");
    panel.Model().SetFilesFactory([&](const TKvConnector&, IKvConnectUiPtr) {
        return std::make_unique<TKvShellFiles>(mem);
    });
    panel.resize(700, 400);
    panel.show();
    auto shell = std::make_shared<test::TScriptedShell>();
    TKvConnector conn;
    conn.Kind = ckSsh;
    conn.Host = "srv";
    conn.User = "ann";
    conn.Hybrid = true;
    panel.OpenShell(conn, nullptr, shell);
    auto advance = [&](int AMs) {
        for (int done = 0; done < AMs; done += 250) {
            now += 250;
            panel.Tick();
            QApplication::processEvents();
        }
    };
    shell->Send("Welcome\r\n$ ");
    advance(750);
    ASSERT_NE(shell->TakeWritten().find("tput cuu1"), std::string::npos);
    shell->Send("\x1b]7;file://srv/home/ann\x07$ ");
    panel.Terminal()->TypeText("ls\r");
    EXPECT_EQ(shell->TakeWritten(), "ls\r");
    shell->Send("ls\r\nmy dir  notes 2024.txt\r\n\x1b]7;file://srv/home/ann\x07$ ");
    advance(500);
    ASSERT_TRUE(WaitFor([&] { return panel.Terminal()->Links().size() == 2; }));
    EXPECT_EQ(panel.Title(), "ann@srv:/home/ann");
    EXPECT_EQ(panel.FileSystem(), mem);

    // The name under the pointer is the link; a double click on the folder types the cd.
    const QSize cell = panel.Terminal()->CellSize();
    const int row = 2; // Welcome, the prompt with ls, then the listing
    const TKvTermLink* link =
        panel.Terminal()->LinkAtPoint(QPoint(9 * cell.width() + 2, row * cell.height() + 2));
    ASSERT_NE(link, nullptr) << ScreenText(panel.Model().Screen());
    EXPECT_EQ(link->Name, "notes 2024.txt");
    EXPECT_EQ(link->Path, "/home/ann/notes 2024.txt");
    QTest::mouseDClick(panel.Terminal(), Qt::LeftButton, {},
                       QPoint(cell.width() + 2, row * cell.height() + 2));
    EXPECT_EQ(shell->TakeWritten(), "cd -- 'my dir'\r");
    panel.ChangeDir("/home/ann/it's\x15");
    EXPECT_EQ(shell->TakeWritten(), "");
    EXPECT_NE(panel.StatusText().toStdString().find("control characters"), std::string::npos);
}

} // namespace
