#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QAbstractScrollArea>
#include <QClipboard>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QScrollBar>
#include <QTest>

#include "Kv.FS.Local.h"
#include "Kv.Ui.Dpi.h"
#include "Kv.Ui.SearchForm.h"
#include "Kv.Ui.ViewerForm.h"
#include "KvMemoryFs.h"
#include "KvTestSupport.h"
#include "UiModalDriver.h"

using namespace kv;
using namespace kv::test;

namespace {

std::string Numbered(int ACount) {
    std::string out;
    for (int k = 1; k <= ACount; ++k)
        out += "line " + std::to_string(k) + "\n";
    return out;
}

std::string Status(TKvViewerForm* AForm) {
    return AForm->StatusLabel()->text().toStdString();
}

bool WaitIdle(TKvViewerForm* AForm) {
    return QTest::qWaitFor([&] {
        auto& model = AForm->Model();
        return model.RowCount() > 0 && !model.Busy() && !model.Searching() &&
               !model.SummaryBuilding();
    }, 10000);
}

} // namespace

TEST(ViewerKeys, KeysMapToCommands) {
    struct TCase {
        int Key;
        Qt::KeyboardModifiers Mods;
        TKvViewerCommand Want;
    };
    const Qt::KeyboardModifiers none = Qt::NoModifier, shift = Qt::ShiftModifier,
                                ctrl = Qt::ControlModifier, alt = Qt::AltModifier;
    for (const TCase& c : std::vector<TCase>{
             {Qt::Key_F, ctrl, vcSearchDialog},   {Qt::Key_F, none, vcNone},
             {Qt::Key_C, ctrl, vcCopy},           {Qt::Key_Insert, ctrl, vcCopy},
             {Qt::Key_A, ctrl, vcSelectAll},      {Qt::Key_N, none, vcFindNext},
             {Qt::Key_N, shift, vcFindPrevious},  {Qt::Key_N, ctrl, vcNone},
             {Qt::Key_F7, none, vcSearchDialog},  {Qt::Key_F7, shift, vcFindNext},
             {Qt::Key_Escape, none, vcEscape},    {Qt::Key_F3, none, vcClose},
             {Qt::Key_F10, none, vcClose},        {Qt::Key_F1, none, vcSummary},
             {Qt::Key_F4, none, vcHex},           {Qt::Key_H, none, vcHex},
             {Qt::Key_W, none, vcWrap},           {Qt::Key_W, alt, vcNone},
             {Qt::Key_Home, none, vcHome},        {Qt::Key_End, none, vcEnd},
             {Qt::Key_Home, ctrl, vcHome},        {Qt::Key_End, ctrl, vcEnd},
             {Qt::Key_Home, alt, vcNone},
             {Qt::Key_Up, none, vcUp},            {Qt::Key_Down, Qt::KeypadModifier, vcDown},
             {Qt::Key_PageUp, none, vcPageUp},    {Qt::Key_PageDown, none, vcPageDown},
             {Qt::Key_Left, none, vcLeft},        {Qt::Key_Right, none, vcRight},
             {Qt::Key_Q, none, vcNone}})
        EXPECT_EQ(ViewerKeyCommand(c.Key, c.Mods), c.Want) << c.Key << " " << int(c.Mods);

    auto server = std::make_shared<TKvMemoryFs>("mem:srv");
    server->SetDisplayPrefix("srv:");
    EXPECT_TRUE(ViewAsksFirst(*server, 2 * 1048576));
    EXPECT_FALSE(ViewAsksFirst(*server, 1048575));
    EXPECT_FALSE(ViewAsksFirst(*LocalFs(), int64_t(1) << 40));
    const std::string question = LargeViewText("big.log", 2 * 1048576);
    EXPECT_EQ(question.substr(0, question.find("\r")),
              "\"big.log\" is " + FormatSize(2 * 1048576) + " on the server.");
    EXPECT_NE(question.find("\r\n\r\nDownload whole: copies the file"), std::string::npos);
}

TEST(ViewerWindow, PagesModesSearchAndCopyThroughTheKeys) {
    TTempDir dir;
    const std::string path = dir / "notes.txt";
    WriteFile(path, "first Needle\n" + Numbered(200) + "last needle\n");
    QPointer<TKvViewerForm> form = TKvViewerForm::CreateViewer(nullptr, LocalFs(), path,
                                                               int64_t(13 + Numbered(200).size() + 12));
    ASSERT_TRUE(WaitIdle(form));
    EXPECT_EQ(form->windowTitle().toStdString(), "View - notes.txt");
    EXPECT_EQ(Status(form).substr(0, path.size() + 8), " " + path + "   0 of");
    EXPECT_EQ(form->Model().RowText(0), "first Needle");
    QWidget* area = form->Area();

    QTest::keyClick(area, Qt::Key_End);
    ASSERT_TRUE(WaitIdle(form));
    EXPECT_EQ(form->Model().RowText(form->Model().RowCount() - 1), "last needle");
    EXPECT_EQ(form->Bar()->value(), KViewBarMax);
    QTest::keyClick(area, Qt::Key_Home);
    ASSERT_TRUE(WaitIdle(form));
    EXPECT_EQ(form->Bar()->value(), 0);

    // F7 asks; Search finds the next occurrence from the top.
    {
        TModalDriver driver({{IsDialog("Search"), [](QWidget* ADialog) {
                                  EditNamed(ADialog, "text")->setText("needle");
                                  ButtonNamed(ADialog, "Search")->click();
                              }}});
        QTest::keyClick(area, Qt::Key_F7);
        ASSERT_TRUE(QTest::qWaitFor([&] { return driver.Finished(); }, 5000));
    }
    ASSERT_TRUE(WaitIdle(form));
    EXPECT_EQ(form->Model().MatchPos(), 6);
    QTest::keyClick(area, Qt::Key_N);
    ASSERT_TRUE(WaitIdle(form));
    EXPECT_EQ(form->Model().MatchPos(), int64_t(13 + Numbered(200).size() + 5));
    EXPECT_NE(Status(form).find("Found at "), std::string::npos);

    QTest::keyClick(area, Qt::Key_F4);
    ASSERT_TRUE(WaitIdle(form));
    EXPECT_NE(Status(form).find("   HEX   F4 = text"), std::string::npos);
    QTest::keyClick(area, Qt::Key_F4);
    ASSERT_TRUE(WaitIdle(form));
    QTest::keyClick(area, Qt::Key_Home);
    ASSERT_TRUE(WaitIdle(form));

    // A drag over the first two rows, then Ctrl+C.
    const int h = form->Area()->LineH();
    const qreal w = form->Area()->CharW();
    QTest::mousePress(area, Qt::LeftButton, {}, QPoint(int(2 + 6 * w), h / 2));
    QMouseEvent move(QEvent::MouseMove, QPointF(2 + 4 * w, h + h / 2), QPointF(), Qt::NoButton,
                     Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(area, &move);
    QTest::mouseRelease(area, Qt::LeftButton, {}, QPoint(int(2 + 4 * w), h + h / 2));
    QTest::keyClick(area, Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(QGuiApplication::clipboard()->text().toStdString(), "Needle\nline");
    EXPECT_NE(Status(form).find("copied 11 characters"), std::string::npos);

    QTest::keyClick(area, Qt::Key_Escape);
    EXPECT_TRUE(QTest::qWaitFor([&] { return form.isNull(); }, 5000));
}

TEST(ViewerWindow, AFileThatIsNotTextOpensInHex) {
    TTempDir dir;
    struct TCase {
        const char* Name;
        std::string Bytes;
        bool Hex;
        std::string FirstRow;
    } cases[] = {
        {"program", std::string("\x7f" "ELF\x02\x01\x01\0\0\0\0", 10) + Numbered(40), true,
         "00000000  7F 45 4C 46 02 01 01 00"},
        {"noise.bin", std::string(200, '\x01') + "\xff\xfe" + Numbered(5), true, "00000000  01 01 01 01"},
        {"notes.txt", "caf\xc3\xa9\n" + Numbered(40), false, "caf\xc3\xa9"},
    };
    for (const auto& c : cases) {
        const std::string path = dir / c.Name;
        WriteFile(path, c.Bytes);
        QPointer<TKvViewerForm> form =
            TKvViewerForm::CreateViewer(nullptr, LocalFs(), path, int64_t(c.Bytes.size()));
        ASSERT_TRUE(WaitIdle(form));
        EXPECT_EQ(form->Model().Hex(), c.Hex) << c.Name;
        EXPECT_EQ(Status(form).find("   HEX   F4 = text") != std::string::npos, c.Hex) << c.Name;
        EXPECT_EQ(form->Model().RowText(0).substr(0, c.FirstRow.size()), c.FirstRow) << c.Name;
        if (c.Hex) {
            // The user may still read it as text, and it stays so.
            QTest::keyClick(form->Area(), Qt::Key_F4);
            ASSERT_TRUE(WaitIdle(form));
            EXPECT_FALSE(form->Model().Hex());
            QTest::keyClick(form->Area(), Qt::Key_End);
            ASSERT_TRUE(WaitIdle(form));
            EXPECT_FALSE(form->Model().Hex());
            EXPECT_NE(Status(form).find("   TEXT"), std::string::npos);
        }
        form->close();
        EXPECT_TRUE(QTest::qWaitFor([&] { return form.isNull(); }, 5000));
    }
}

TEST(ViewerWindow, ALongStatusNeverWidensTheWindow) {
    TTempDir dir;
    const std::string path = dir / (std::string(200, 'n') + ".txt");
    WriteFile(path, "a needle\n" + Numbered(50));
    QPointer<TKvViewerForm> form =
        TKvViewerForm::CreateViewer(nullptr, LocalFs(), path, int64_t(9 + Numbered(50).size()));
    ASSERT_TRUE(WaitIdle(form));
    const int width = form->width();
    EXPECT_EQ(width, ScaleFor(form, 900));
    {
        TModalDriver driver({{IsDialog("Search"), [](QWidget* ADialog) {
                                  EditNamed(ADialog, "text")->setText("needle");
                                  ButtonNamed(ADialog, "Search")->click();
                              }}});
        QTest::keyClick(form->Area(), Qt::Key_F7);
        ASSERT_TRUE(QTest::qWaitFor([&] { return driver.Finished(); }, 5000));
    }
    ASSERT_TRUE(WaitIdle(form));
    ASSERT_NE(Status(form).find("Found at "), std::string::npos);
    // The whole text is kept (the path and the keys), only the drawing is cut.
    EXPECT_NE(Status(form).find(path), std::string::npos);
    QApplication::processEvents();
    EXPECT_EQ(form->width(), width);
    EXPECT_LE(form->StatusLabel()->width(), width);
    form->close();
    EXPECT_TRUE(QTest::qWaitFor([&] { return form.isNull(); }, 5000));
}

TEST(ViewerWindow, LargeServerFileAsksFirst) {
    auto server = std::make_shared<TKvMemoryFs>("mem:srv");
    server->SetDisplayPrefix("srv:");
    server->AddDir("/d");
    server->AddFile("/d/big.log", Numbered(200000));
    const int64_t size = int64_t(Numbered(200000).size());
    ASSERT_GE(size, 2 * 1048576);
    QString question;
    {
        TModalDriver driver({{IsMessageBox(), [&](QWidget* ABox) {
                                  question = qobject_cast<QMessageBox*>(ABox)->text();
                                  ButtonNamed(ABox, "Cancel")->click();
                              }}});
        EXPECT_EQ(TKvViewerForm::View(nullptr, server, "/d/big.log", size), nullptr);
    }
    EXPECT_TRUE(question.startsWith("\"big.log\" is "));
    {
        TModalDriver driver({{IsMessageBox(), [](QWidget* ABox) {
                                  ButtonNamed(ABox, "View part")->click();
                              }}});
        QPointer<TKvViewerForm> form = TKvViewerForm::View(nullptr, server, "/d/big.log", size);
        ASSERT_TRUE(form);
        ASSERT_TRUE(WaitIdle(form));
        EXPECT_EQ(form->Model().RowText(0), "line 1");
        form->close();
    }
    // Download whole: the viewer reads a local copy, which goes with the window.
    {
        TModalDriver driver({{IsMessageBox(), [](QWidget* ABox) {
                                  ButtonNamed(ABox, "Download whole")->click();
                              }}});
        QPointer<TKvViewerForm> form = TKvViewerForm::View(nullptr, server, "/d/big.log", size);
        ASSERT_TRUE(form);
        ASSERT_TRUE(WaitIdle(form));
        const std::string copy = form->Model().Data().TempFile;
        EXPECT_NE(copy.find("kvarc-view-{"), std::string::npos);
        EXPECT_EQ(ReadFile(copy), Numbered(200000));
        EXPECT_NE(Status(form).find("srv:/d/big.log (downloaded)"), std::string::npos);
        EXPECT_EQ(form->windowTitle().toStdString(), "View - big.log");
        form->close();
        ASSERT_TRUE(QTest::qWaitFor([&] { return form.isNull(); }, 5000));
        EXPECT_TRUE(QTest::qWaitFor([&] { return !Exists(copy); }, 5000));
    }
    // A server file just below 1 MiB opens at once.
    server->AddFile("/d/small.log", std::string(1048575, 'x'));
    QPointer<TKvViewerForm> small = TKvViewerForm::View(nullptr, server, "/d/small.log", 1048575);
    ASSERT_TRUE(small);
    small->close();
}

TEST(SearchWindow, QueryDialogAndResults) {
    TTempDir dir;
    LocalFs()->MakeDir(dir / "sub");
    WriteFile(dir / "a.txt", "alpha");
    WriteFile(dir / "sub/b.txt", "beta");
    WriteFile(dir / "c.log", "gamma");
    TKvSearchSpec spec = NewSearchSpec();
    {
        TModalDriver driver({{IsDialog("Search for files"), [](QWidget* ADialog) {
                                  auto* levels = EditNamed(ADialog, "levels");
                                  EXPECT_FALSE(levels->isEnabled());
                                  EditNamed(ADialog, "masks")->setText("  ");
                                  for (auto* box : ADialog->findChildren<QCheckBox*>())
                                      if (box->text() == "Search in the folders below")
                                          box->setChecked(true);
                                  EXPECT_TRUE(levels->isEnabled());
                                  levels->setText("-3");
                                  EditNamed(ADialog, "text")->setText("ta");
                                  ButtonNamed(ADialog, "Search")->click();
                              }}});
        ASSERT_TRUE(AskSearchSpec(nullptr, dir.Path(), spec));
    }
    EXPECT_EQ(spec.Masks, "*");
    EXPECT_EQ(spec.Text, "ta");
    EXPECT_TRUE(spec.Subfolders);
    EXPECT_EQ(spec.MaxDepth, 0);

    std::vector<std::string> wentTo;
    QPointer<TKvSearchResults> results = TKvSearchResults::Open(
        nullptr, LocalFs(), dir.Path(), dir.Path(), spec,
        [&](IKvFileSystemPtr, const std::string& APath, bool) { wentTo.push_back(APath); });
    ASSERT_TRUE(QTest::qWaitFor([&] { return !results->Model().Running(); }, 10000));
    EXPECT_EQ(results->windowTitle().toStdString(), "Search - " + dir.Path());
    ASSERT_EQ(results->Model().Hits().size(), 1u);
    EXPECT_EQ(results->Model().Hits()[0].Path, dir / "sub/b.txt");
    EXPECT_EQ(results->StatusLabel()->text().toStdString().substr(0, 15), " Done: 1 found ");
    QWidget* list = results->findChild<QAbstractScrollArea*>();
    ASSERT_TRUE(list);
    QTest::keyClick(list, Qt::Key_Return);
    EXPECT_EQ(wentTo, (std::vector<std::string>{dir / "sub/b.txt"}));
    // F3 views the file.
    QTest::keyClick(list, Qt::Key_F3);
    TKvViewerForm* viewer = nullptr;
    ASSERT_TRUE(QTest::qWaitFor([&] {
        for (QWidget* window : QApplication::topLevelWidgets())
            if ((viewer = qobject_cast<TKvViewerForm*>(window)) && window->isVisible())
                return true;
        return false;
    }, 5000));
    ASSERT_TRUE(WaitIdle(viewer));
    EXPECT_EQ(viewer->Model().RowText(0), "beta");
    viewer->close();
    QTest::keyClick(list, Qt::Key_Escape);
    EXPECT_TRUE(QTest::qWaitFor([&] { return results.isNull(); }, 5000));
}
