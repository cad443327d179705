// Files coming into the main window: pasted from the clipboard as desktop file managers put
// them there, dropped from another program, and zipped with Alt+F5 (checked with 7z).
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QClipboard>
#include <QDropEvent>
#include <QGuiApplication>
#include <QLineEdit>
#include <QMimeData>
#include <QTest>

#include "Kv.FileActions.h"
#include "Kv.Ui.Clipboard.h"
#include "Kv.Ui.FilePanel.h"
#include "Kv.Ui.MainForm.h"
#include "Kv.Ui.MainModel.h"
#include "KvMainDriver.h"
#include "KvTestSupport.h"

using namespace kv;
using namespace kv::test;

namespace {

// What a GNOME file manager puts on the clipboard for Copy or Cut.
QMimeData* GnomeClipboard(const std::vector<std::string>& APaths, bool ACut) {
    auto* data = new QMimeData;
    data->setData("x-special/gnome-copied-files",
                  QByteArray::fromStdString(GnomeCopiedFilesText(APaths, ACut)));
    data->setData("text/uri-list", QByteArray::fromStdString(UriListText(APaths)));
    return data;
}

// What KDE's file manager puts there: the URLs and a separate cut mark.
QMimeData* KdeClipboard(const std::vector<std::string>& APaths, bool ACut) {
    auto* data = new QMimeData;
    data->setData("text/uri-list", QByteArray::fromStdString(UriListText(APaths)));
    data->setData("application/x-kde-cutselection", ACut ? "1" : "0");
    return data;
}

void SetClipboard(QMimeData* AData) {
    QGuiApplication::clipboard()->setMimeData(AData);
}

bool ClipboardHasFiles() {
    std::vector<std::string> paths;
    bool move = false;
    return FilesFromMimeData(QGuiApplication::clipboard()->mimeData(), paths, move);
}

struct TPasteFixture : TMainDriver {
    std::string Src = Root / "src";
    TPasteFixture() { ::mkdir(Src.c_str(), 0755); }
    // After the panels settle: a listing on its way shows "Reading..." over any message.
    void Paste(TKvHalf AHalf) {
        EXPECT_TRUE(WaitIdle(rhLeft) && WaitIdle(rhRight));
        Form->SetActiveHalf(AHalf);
        Key(Qt::Key_V, Qt::ControlModifier);
    }
    std::string Status(TKvHalf AHalf) { return Panel(AHalf).StatusText(); }
};

} // namespace

TEST(MainFormPaste, CopiedFilesArrivePerFolderAndCutFilesMoveOnce) {
    TPasteFixture f;
    ::mkdir((f.Src + "/dir").c_str(), 0755);
    WriteFile(f.Src + "/a.txt", "alpha");
    WriteFile(f.Src + "/dir/b.txt", "beta");
    WriteFile(f.Src + "/cut1.txt", "one");
    WriteFile(f.Src + "/cut2.txt", "two");
    f.Open();

    // Copy from two folders, and a name that no longer exists: both files arrive, the sources
    // stay, and so does the clipboard.
    SetClipboard(
        GnomeClipboard({f.Src + "/a.txt", f.Src + "/dir/b.txt", f.Src + "/gone.txt"}, false));
    f.Paste(rhLeft);
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return Exists(f.Left + "/a.txt") && Exists(f.Left + "/b.txt"); }, 10000));
    EXPECT_EQ(ReadFile(f.Left + "/b.txt"), "beta");
    EXPECT_TRUE(Exists(f.Src + "/a.txt") && Exists(f.Src + "/dir/b.txt"));
    EXPECT_TRUE(f.WaitRow(rhLeft, "a.txt"));
    EXPECT_TRUE(ClipboardHasFiles());

    // A cut, as GNOME and as KDE mark it: moved, and a second paste while the move is under
    // way is refused. Once moved, the clipboard no longer offers them.
    struct TCase {
        const char* What;
        std::string File;
        QMimeData* (*Make)(const std::vector<std::string>&, bool);
    } cases[] = {{"gnome", "cut1.txt", GnomeClipboard}, {"kde", "cut2.txt", KdeClipboard}};
    for (const auto& c : cases) {
        SetClipboard(c.Make({f.Src + "/" + c.File}, true));
        f.Paste(rhRight);
        f.Paste(rhLeft);
        EXPECT_EQ(f.Status(rhLeft),
                  "The files on the clipboard are still being moved from the last paste")
            << c.What;
        ASSERT_TRUE(QTest::qWaitFor([&] { return !ClipboardHasFiles(); }, 10000)) << c.What;
        EXPECT_FALSE(Exists(f.Src + "/" + c.File)) << c.What;
        EXPECT_TRUE(Exists(f.Right + "/" + c.File)) << c.What;
        EXPECT_FALSE(Exists(f.Left + "/" + c.File)) << c.What;
    }

    // Something else put on the clipboard while a cut is being moved stays there.
    WriteFile(f.Src + "/cut3.txt", "three");
    SetClipboard(GnomeClipboard({f.Src + "/cut3.txt"}, true));
    f.Paste(rhRight);
    QGuiApplication::clipboard()->setText("copied meanwhile");
    // The move's end is where the clipboard would be cleared: no job is left by then.
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return Exists(f.Right + "/cut3.txt") && f.Form->Transfers().PendingJobs() == 0; },
        10000));
    EXPECT_EQ(QGuiApplication::clipboard()->text().toStdString(), "copied meanwhile");
}

TEST(MainFormPaste, NothingToPasteSaysWhy) {
    TPasteFixture f;
    WriteFile(f.Left + "/here.txt", "here");
    f.Open();
    struct TCase {
        const char* What;
        QMimeData* Data;
        const char* Status;
    } cases[] = {
        {"same folder", GnomeClipboard({f.Left + "/here.txt"}, false),
         "The files on the clipboard are already in this folder, or no longer exist"},
        {"all gone", KdeClipboard({f.Src + "/gone.txt"}, true),
         "The files on the clipboard are already in this folder, or no longer exist"},
        {"text", nullptr, "There are no files on the clipboard. Copy them in a file manager first"},
    };
    for (const auto& c : cases) {
        if (c.Data)
            SetClipboard(c.Data);
        else
            QGuiApplication::clipboard()->setText("no file by this name");
        f.Paste(rhLeft);
        EXPECT_EQ(f.Status(rhLeft), c.Status) << c.What;
        EXPECT_TRUE(f.Panel(rhLeft).MessageIsError()) << c.What;
    }
    EXPECT_EQ(f.Form->Transfers().SessionCount(), 0);
    EXPECT_EQ(ReadFile(f.Left + "/here.txt"), "here");
}

TEST(MainFormPaste, DropsCopyOrWithShiftMoveAndTellTheSourceCopy) {
    TPasteFixture f;
    f.Open();
    const QPoint overRight = f.Panel(rhRight).mapTo(f.Form.get(), f.Panel(rhRight).rect().center());
    // A drag enters the window, then moves or drops: the application sends moves and drops
    // only to the widget that took the enter.
    auto drop = [&](QMimeData* AData, Qt::DropActions AAllowed, Qt::KeyboardModifiers AMods,
                    QPoint AAt, QEvent::Type AType = QEvent::Drop) {
        std::unique_ptr<QMimeData> data(AData);
        QDragEnterEvent enter(AAt, AAllowed, data.get(), Qt::LeftButton, AMods);
        QApplication::sendEvent(f.Form.get(), &enter);
        std::unique_ptr<QDropEvent> event;
        if (AType == QEvent::DragMove)
            event =
                std::make_unique<QDragMoveEvent>(AAt, AAllowed, data.get(), Qt::LeftButton, AMods);
        else
            event = std::make_unique<QDropEvent>(AAt, AAllowed, data.get(), Qt::LeftButton, AMods);
        event->setDropAction(Qt::IgnoreAction);
        event->ignore();
        QApplication::sendEvent(f.Form.get(), event.get());
        return std::make_pair(event->isAccepted(), event->dropAction());
    };

    struct TCase {
        const char* Name;
        Qt::DropActions Allowed;
        Qt::KeyboardModifiers Mods;
        bool Moves;
    } cases[] = {
        {"plain.txt", Qt::CopyAction | Qt::MoveAction, Qt::NoModifier, false},
        {"shift.txt", Qt::CopyAction | Qt::MoveAction, Qt::ShiftModifier, true},
        {"shift-copy-only.txt", Qt::CopyAction, Qt::ShiftModifier, false},
    };
    for (const auto& c : cases) {
        const std::string source = f.Src + "/" + c.Name;
        WriteFile(source, c.Name);
        // While dragging, the cursor shows what the drop will do.
        auto [movesOver, shown] =
            drop(MimeDataForFiles({source}, false), c.Allowed, c.Mods, overRight, QEvent::DragMove);
        EXPECT_TRUE(movesOver) << c.Name;
        EXPECT_EQ(shown, c.Moves ? Qt::MoveAction : Qt::CopyAction) << c.Name;
        auto [accepted, told] =
            drop(MimeDataForFiles({source}, false), c.Allowed, c.Mods, overRight);
        EXPECT_TRUE(accepted) << c.Name;
        EXPECT_EQ(told, Qt::CopyAction) << c.Name;
        ASSERT_TRUE(QTest::qWaitFor([&] { return Exists(f.Right + "/" + c.Name); }, 10000))
            << c.Name;
        EXPECT_EQ(ReadFile(f.Right + "/" + c.Name), c.Name);
        ASSERT_TRUE(QTest::qWaitFor([&] { return Exists(source) != c.Moves; }, 10000)) << c.Name;
    }

    // Not taken: over the key bar; text that names no file; a source that offers only a move,
    // which could not be told "copy" and might delete its files before they were read.
    const std::string stays = f.Src + "/stays.txt";
    WriteFile(stays, "x");
    const QPoint overBar(f.Form->width() / 2, f.Form->height() - 3);
    auto* text = new QMimeData;
    text->setText("no such file");
    EXPECT_FALSE(
        drop(MimeDataForFiles({stays}, false), Qt::CopyAction, Qt::NoModifier, overBar).first);
    EXPECT_FALSE(drop(text, Qt::CopyAction | Qt::MoveAction, Qt::NoModifier, overRight).first);
    EXPECT_FALSE(
        drop(MimeDataForFiles({stays}, false), Qt::MoveAction, Qt::NoModifier, overRight).first);
    // A drop that is taken after them goes the same way (queued, then copied): once it has
    // arrived and no job is left, a copy started by a refused drop would have arrived too.
    const std::string after = f.Src + "/after.txt";
    WriteFile(after, "after");
    EXPECT_TRUE(
        drop(MimeDataForFiles({after}, false), Qt::CopyAction, Qt::NoModifier, overRight).first);
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return Exists(f.Right + "/after.txt") && f.Form->Transfers().PendingJobs() == 0; },
        10000));
    EXPECT_FALSE(Exists(f.Right + "/stays.txt"));
    EXPECT_TRUE(Exists(stays));
}

TEST(MainFormPaste, AltF5ZipsTheSelectionInTheOtherHalfFor7z) {
    // 7-Zip is "7zz" in Debian's 7zip package, "7z" elsewhere.
    std::string sevenZip = RunCommand("command -v 7zz || command -v 7z");
    while (!sevenZip.empty() && sevenZip.back() == '\n')
        sevenZip.pop_back();
    ASSERT_FALSE(sevenZip.empty()) << "7-Zip is needed (scripts/packages.sh installs it)";
    TPasteFixture f;
    WriteFile(f.Left + "/report.final.txt", std::string(5000, 'r'));
    ::mkdir((f.Left + "/sub").c_str(), 0755);
    WriteFile(f.Left + "/sub/inner.txt", "inner");
    f.Open();

    struct TCase {
        const char* What;
        bool Both;
        const char* Typed;
        const char* Password;
        const char* Proposed;
        const char* File;
        const char* Status;
    } cases[] = {
        {"one file", false, "plain", "", "report.final.zip", "plain.zip", "Zipped 1"},
        {"a file and a folder, with a password", true, "Locked.ZIP", "s3cret pass", "left.zip",
         "Locked.ZIP", "Zipped 3"},
    };
    for (const auto& c : cases) {
        f.Focus(rhLeft, "report.final.txt");
        if (c.Both) {
            f.Key(Qt::Key_Insert);
            f.Focus(rhLeft, "sub");
            f.Key(Qt::Key_Insert);
        }
        std::string proposed;
        {
            TModalDriver driver({{IsDialog("Make a zip file"), [&](QWidget* AForm) {
                                      auto* name = EditNamed(AForm, "NameEdit");
                                      proposed = name->text().toStdString();
                                      name->setText(c.Typed);
                                      if (*c.Password) {
                                          AForm->findChild<QCheckBox*>("UseCheck")->click();
                                          EditNamed(AForm, "Pass1")->setText(c.Password);
                                          EditNamed(AForm, "Pass2")->setText(c.Password);
                                      }
                                      ButtonNamed(AForm, "Create")->click();
                                  }}});
            f.Key(Qt::Key_F5, Qt::AltModifier);
        }
        EXPECT_EQ(proposed, c.Proposed) << c.What;
        ASSERT_TRUE(f.WaitStatus(rhLeft, c.Status)) << c.What << ": " << f.Status(rhLeft);
        const std::string zip = f.Right + "/" + c.File;
        int code = -1;
        const std::string password = *c.Password ? " -p'" + std::string(c.Password) + "'" : "";
        std::string out =
            RunCommand(sevenZip + " t" + password + " '" + zip + "' 2>&1 </dev/null", &code);
        EXPECT_EQ(code, 0) << c.What << ": " << out;
        EXPECT_NE(out.find("Everything is Ok"), std::string::npos) << out;
        if (c.Both) {
            EXPECT_NE(out.find("Files: 2"), std::string::npos) << out;
            std::string wrong =
                RunCommand(sevenZip + " t -pwrong '" + zip + "' 2>&1 </dev/null", &code);
            EXPECT_NE(code, 0) << "a wrong password opened it: " << wrong;
        }
    }
    EXPECT_FALSE(Exists(f.Right + "/Locked.ZIP.zip"));
}

TEST(MainFormPaste, ZipFileNames) {
    auto entry = [](const char* AName) {
        TKvFileEntry e;
        e.Name = AName;
        return e;
    };
    EXPECT_EQ(ZipProposedName({entry("photo.jpeg")}, "pics"), "photo.zip");
    EXPECT_EQ(ZipProposedName({entry(".bashrc")}, "home"), ".bashrc.zip");
    EXPECT_EQ(ZipProposedName({entry("a"), entry("b")}, "pics"), "pics.zip");
    EXPECT_EQ(ZipProposedName({entry("a"), entry("b")}, ""), "archive.zip");
    EXPECT_EQ(ZipFileName("x.Zip"), "x.Zip");
    EXPECT_EQ(ZipFileName("x.zip.txt"), "x.zip.txt.zip");
    EXPECT_EQ(ZipFileName("x"), "x.zip");
}
