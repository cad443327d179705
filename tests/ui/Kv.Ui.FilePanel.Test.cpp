#include <gtest/gtest.h>

#include <QTest>
#include <sys/stat.h>

#include "Kv.FS.Local.h"
#include "Kv.Log.h"
#include "Kv.Ui.FilePanel.h"
#include "KvMemoryFs.h"
#include "KvTestSupport.h"

using namespace kv;
using namespace kv::test;

namespace {

struct TPanelFixture {
    TKvFilePanel Panel;
    int PathChanges = 0;
    TPanelFixture() {
        Panel.resize(600, 400);
        Panel.show();
        Panel.OnPathChanged = [this](TKvFilePanel*) { ++PathChanges; };
    }
    QWidget* List() { return Panel.focusProxy(); }
    bool WaitIdle() {
        return QTest::qWaitFor([this] { return !Panel.Busy(); }, 10000);
    }
    // Waits until the panel has taken a listing of APath.
    bool WaitPath(const std::string& APath) {
        return QTest::qWaitFor([&] { return !Panel.Busy() && Panel.Path() == APath; }, 10000);
    }
    void Keys(const char* AText) { QTest::keyClicks(List(), AText); }
    void Key(Qt::Key AKey, Qt::KeyboardModifiers AMods = Qt::NoModifier) {
        QTest::keyClick(List(), AKey, AMods);
    }
    std::string Names() {
        std::string out;
        const auto& model = Panel.Model();
        for (int i = 0; i < model.RowCount(); ++i)
            out += (i ? " " : "") + model.Row(i).Name + (model.Marked(i) ? "*" : "");
        return out;
    }
};

void MakeFolder(const TTempDir& ADir) {
    for (const char* name : {"report.txt", "prep.doc", "alpha.log", ".hidden"})
        WriteFile(ADir / name, std::string(100, 'x'));
    WriteFile(ADir / "big.bin", std::string(5000, 'x'));
    ::mkdir((ADir / "sub").c_str(), 0755);
}

} // namespace

TEST(FilePanel, ListsSortsAndMarksWithKeys) {
    TTempDir dir;
    MakeFolder(dir);
    TPanelFixture f;
    f.Panel.Navigate(dir.Path());
    ASSERT_TRUE(f.WaitPath(dir.Path()));
    EXPECT_EQ(f.Names(),
              ".. sub alpha.log big.bin prep.doc report.txt"); // hidden files are not shown
    EXPECT_EQ(f.Panel.StatusText(), "4 files, 1 dirs, 5.2 KB");
    EXPECT_EQ(f.Panel.StatusRight().rfind("Free ", 0), 0u);
    EXPECT_EQ(f.PathChanges, 1);

    f.List()->setFocus();
    f.Key(Qt::Key_F6, Qt::ControlModifier); // by size
    EXPECT_EQ(f.Names(), ".. sub alpha.log prep.doc report.txt big.bin");
    f.Key(Qt::Key_F6, Qt::ControlModifier); // again: descending
    EXPECT_EQ(f.Names(),
              ".. sub big.bin report.txt prep.doc alpha.log"); // equal sizes: names reversed too
    f.Key(Qt::Key_F3, Qt::ControlModifier);

    f.Key(Qt::Key_Home);
    f.Key(Qt::Key_Down);
    f.Key(Qt::Key_Down);
    f.Key(Qt::Key_Insert); // alpha.log
    f.Key(Qt::Key_Space);  // big.bin
    EXPECT_EQ(f.Names(), ".. sub alpha.log* big.bin* prep.doc report.txt");
    EXPECT_EQ(f.Panel.StatusText(), "Marked 2, 5 KB");
    f.Key(Qt::Key_Asterisk, Qt::KeypadModifier);
    EXPECT_EQ(f.Names(), ".. sub* alpha.log big.bin prep.doc* report.txt*");
    f.Key(Qt::Key_A, Qt::ControlModifier);
    EXPECT_EQ(f.Panel.MarkedEntries().size(), 5u);

    // Enter on a folder opens it; Backspace comes back with the focus on it.
    f.Panel.ClearMarks();
    f.Key(Qt::Key_Home);
    f.Key(Qt::Key_Down);
    f.Key(Qt::Key_Return);
    ASSERT_TRUE(f.WaitPath(dir / "sub"));
    f.Key(Qt::Key_Backspace);
    ASSERT_TRUE(f.WaitPath(dir.Path()));
    EXPECT_EQ(f.Panel.Model().FocusedName(), "sub");
}

TEST(FilePanel, QuickFilterOnTheDisk) {
    TTempDir dir;
    MakeFolder(dir);
    TPanelFixture f;
    f.Panel.Navigate(dir.Path());
    ASSERT_TRUE(f.WaitPath(dir.Path()));
    f.List()->setFocus();
    f.Keys("rep");
    EXPECT_EQ(f.Panel.Model().Filter(), "rep");
    EXPECT_EQ(f.Names(), ".. prep.doc report.txt");
    EXPECT_EQ(f.Panel.Model().Focus(), 1);
    f.Key(Qt::Key_Backspace);
    f.Key(Qt::Key_Backspace);
    f.Key(Qt::Key_Backspace);
    EXPECT_EQ(f.Panel.Model().Filter(), "");
    EXPECT_EQ(f.Panel.Model().RowCount(), 6);
    f.Keys("zz");
    EXPECT_EQ(f.Names(), "..");
    f.Key(Qt::Key_Escape);
    EXPECT_EQ(f.Panel.Model().Filter(), "");
    f.Keys("al");
    f.Panel.Navigate(dir / "sub"); // another folder clears the filter
    ASSERT_TRUE(f.WaitPath(dir / "sub"));
    EXPECT_EQ(f.Panel.Model().Filter(), "");
}

TEST(FilePanel, TypeAheadOnOtherFileSystems) {
    auto mem = std::make_shared<TKvMemoryFs>("mem:server");
    mem->SetDisplayPrefix("server:");
    for (const char* name : {"/srv/apple", "/srv/banana", "/srv/blueberry", "/srv/cherry"})
        mem->AddFile(name, "");
    TPanelFixture f;
    uint64_t now = 10000;
    f.Panel.SetClock([&] { return now; });
    f.Panel.BeginList(mem, "/srv", false, "");
    ASSERT_TRUE(f.WaitPath("/srv"));
    f.List()->setFocus();
    f.Keys("bl");
    EXPECT_EQ(f.Panel.Model().FocusedName(), "blueberry");
    EXPECT_EQ(f.Panel.Model().Filter(), "");
    now += 1500;
    f.Keys("c");
    EXPECT_EQ(f.Panel.Model().FocusedName(), "cherry");
    f.Key(Qt::Key_Return); // a file on another file system is not opened
    EXPECT_EQ(f.Panel.StatusText(), "Copy the file out with F5 to open it");
}

// A server that left two names out of its listing and still sent one that cannot be a file.
class TLeavingOutFs : public TKvMemoryFs, public IKvFolderLeftOut {
public:
    using TKvMemoryFs::TKvMemoryFs;
    TKvFileEntries List(const std::string& APath, const IKvCancelToken& AToken) override {
        TKvFileEntries entries = TKvMemoryFs::List(APath, AToken);
        entries.push_back(TKvFileEntry{.Name = "esc\x1b]0;title\x07"});
        return entries;
    }
    int LeftOutIn(const std::string& AFolder) const override { return AFolder == "/srv" ? 2 : 0; }
};

TEST(FilePanel, NamesLeftOutOfAServerListingAreCounted) {
    auto server = std::make_shared<TLeavingOutFs>("mem:server");
    server->AddFile("/srv/ok.txt", "x");
    TPanelFixture f;
    f.Panel.BeginList(server, "/srv", false, "");
    ASSERT_TRUE(f.WaitPath("/srv"));
    EXPECT_EQ(f.Names(), ".. ok.txt");
    EXPECT_EQ(f.Panel.StatusText(),
              "2 names were left out: the server sent names that cannot be files (the log names them)");
}

TEST(FilePanel, MakeFolderAndRename) {
    TTempDir dir;
    MakeFolder(dir);
    TTempDir logs;
    SetLogFolder(logs.Path());
    TPanelFixture f;
    f.Panel.Navigate(dir.Path());
    ASSERT_TRUE(f.WaitPath(dir.Path()));
    f.Panel.MakeDirectory("New folder");
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return f.Panel.Model().FocusedName() == "New folder"; }, 10000));
    EXPECT_TRUE(Exists(dir / "New folder"));

    f.Panel.RenameItem("report.txt", "Report.txt");
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return f.Panel.Model().FocusedName() == "Report.txt"; }, 10000));
    EXPECT_TRUE(Exists(dir / "Report.txt"));
    f.Panel.RenameItem("Report.txt", "prep.doc"); // never replaces
    ASSERT_TRUE(QTest::qWaitFor([&] { return f.Panel.MessageIsError(); }, 10000));
    EXPECT_EQ(f.Panel.StatusText(), "Rename failed: " + dir / "Report.txt" + ": File exists");
    EXPECT_EQ(ReadFile(dir / "prep.doc"), std::string(100, 'x'));

    f.Panel.MakeDirectory("Report.txt"); // a file has that name
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return f.Panel.StatusText() == dir / "Report.txt" + ": File exists"; }, 10000));
    std::string log = ReadFile(LogPath());
    EXPECT_NE(log.find("mkdir: " + dir / "New folder"), std::string::npos);
    EXPECT_NE(log.find("rename: " + dir / "report.txt" + " -> " + dir / "Report.txt"),
              std::string::npos);
}

TEST(FilePanel, EscapeDropsAStuckListingAndFallbackFindsAParent) {
    TTempDir dir;
    ::mkdir((dir / "a").c_str(), 0755);
    ::mkdir((dir / "a/b").c_str(), 0755);
    TPanelFixture f;
    f.Panel.Navigate(dir / "a/b");
    ASSERT_TRUE(f.WaitPath(dir / "a/b"));

    // A listing that hangs like a dead network share.
    auto stuck = std::make_shared<TKvFaultFs>(LocalFs());
    stuck->AddFault({foList, 1, 1, true});
    f.Panel.BeginList(stuck, dir.Path(), false, "");
    ASSERT_TRUE(stuck->WaitBlocked());
    EXPECT_EQ(f.Panel.StatusText(), "Reading... (Esc to cancel)");
    f.List()->setFocus();
    f.Key(Qt::Key_Escape);
    EXPECT_FALSE(f.Panel.Busy());
    EXPECT_EQ(f.Panel.StatusText(), "Cancelled");
    EXPECT_EQ(f.Panel.Path(), dir / "a/b"); // the old rows stay
    stuck->Release();

    // The shown folder disappears: a reload lands on its nearest existing parent.
    RemoveTree(dir / "a/b");
    f.Panel.Reload();
    ASSERT_TRUE(f.WaitPath(dir / "a"));
    // Without fallback the error shows and the rows stay.
    f.Panel.Navigate(dir / "missing");
    ASSERT_TRUE(f.WaitIdle());
    EXPECT_TRUE(f.Panel.MessageIsError());
    EXPECT_EQ(f.Panel.StatusText(), dir / "missing" + ": No such file or directory");
    EXPECT_EQ(f.Panel.Path(), dir / "a");
}

TEST(FilePanel, StateRoundTrip) {
    TTempDir dir;
    MakeFolder(dir);
    TKvPanelState saved;
    {
        TPanelFixture f;
        TKvPanelState initial;
        initial.Path = dir.Path();
        initial.FocusName = "prep.doc";
        initial.Sort = scTime;
        initial.Descending = true;
        initial.SizeColumn = 90;
        f.Panel.LoadState(initial, "/");
        ASSERT_TRUE(f.WaitPath(dir.Path()));
        EXPECT_EQ(f.Panel.Model().FocusedName(), "prep.doc");
        f.Panel.SaveState(saved);
    }
    EXPECT_EQ(saved.Path, dir.Path());
    EXPECT_EQ(saved.FocusName, "prep.doc");
    EXPECT_EQ(saved.Sort, scTime);
    EXPECT_TRUE(saved.Descending);
    EXPECT_EQ(saved.SizeColumn, 90);
    EXPECT_EQ(saved.DateColumn, 130);
}
