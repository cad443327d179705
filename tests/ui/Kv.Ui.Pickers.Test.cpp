// The drive popup and the connection picker as a user drives them: keys, the one choice that
// arrives after the popup is gone, closing when another window is activated, deleting from the
// picker, and the icons they draw.
#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>
#include <QLineEdit>
#include <QMenu>
#include <QPainter>
#include <QPointer>
#include <QTest>

#include "Kv.Ui.ConnectionPicker.h"
#include "Kv.Ui.DrivePopup.h"
#include "Kv.Ui.Icons.h"
#include "Kv.Ui.Prompts.h"
#include "UiModalDriver.h"

using namespace kv;
using namespace kv::test;

namespace {

struct TPick {
    int Kind = -1;
    int Value = -1;
    int Count = 0;
    bool PopupGone = false;
};

TKvConnector Conn(const std::string& AName, const std::string& AFolder = {},
                  TKvConnectorKind AKind = ckSftp) {
    TKvConnector c = NewConnector();
    c.Name = AName;
    c.Folder = AFolder;
    c.Kind = AKind;
    c.Host = AName + ".example";
    c.User = "me";
    return c;
}

void Key(QWidget* AWidget, Qt::Key AKey, Qt::KeyboardModifiers AMods = Qt::NoModifier) {
    QTest::keyClick(AWidget, AKey, AMods);
}

const TKvDrives KDrives = {{"/", "Local disk", mkLocalDisk},
                           {"/home/ann", "Local disk", mkLocalDisk},
                           {"/media/ann/USB", "Removable", mkRemovable},
                           {"/mnt/usr2", "Network", mkNetwork}};

struct Pickers : ::testing::Test {
    void SetUp() override { SetPickerOpenFolders({}); }
    void TearDown() override {
        SetPickerOpenFolders({});
        QTest::qWait(100);
    }

    TDrivePopup* OpenDrives(TPick& APick, const std::vector<TKvDriveConnection>& AConns = {}) {
        QPointer<TDrivePopup>* guard = &FDrivePopup;
        TDrivePopup* popup = OpenDrivePopup(&FOwner, 10, 10, KDrives, "/home/ann", AConns,
                                            [&APick, guard](TKvDrivePick AKind, int AValue) {
                                                APick.Kind = AKind;
                                                APick.Value = AValue;
                                                ++APick.Count;
                                                APick.PopupGone = guard->isNull();
                                            });
        FDrivePopup = popup;
        return popup;
    }

    QWidget FOwner;
    QPointer<TDrivePopup> FDrivePopup;
};

} // namespace

TEST_F(Pickers, DrivePopupGivesOneChoiceOnlyAfterItIsGone) {
    TPick pick;
    TDrivePopup* popup =
        OpenDrives(pick, {{"build server", ckSsh, false}, {"files", ckSftp, true}});
    QPointer<TDrivePopup> alive(popup);
    // The connection shown here is selected; the rows are drives, connections and the last one.
    EXPECT_EQ(popup->RowCount(), 7);
    EXPECT_EQ(popup->Selected(), 5);
    Key(popup, Qt::Key_Up);
    Key(popup, Qt::Key_Return);
    Key(popup, Qt::Key_Return); // too late: the first choice counts
    EXPECT_EQ(pick.Count, 0);   // not while the popup is there
    ASSERT_TRUE(QTest::qWaitFor([&] { return pick.Count > 0; }, 5000));
    QTest::qWait(150);
    EXPECT_EQ(pick.Count, 1);
    EXPECT_EQ(pick.Kind, dpConnection);
    EXPECT_EQ(pick.Value, 0);
    EXPECT_TRUE(pick.PopupGone);
    EXPECT_TRUE(alive.isNull());
}

TEST_F(Pickers, DrivePopupKeys) {
    struct TCase {
        const char* What;
        std::vector<std::pair<Qt::Key, Qt::KeyboardModifiers>> Keys;
        int Kind, Value;
    } cases[] = {
        {"the current drive is selected", {{Qt::Key_Enter, Qt::NoModifier}}, dpDrive, 1},
        {"Home, Down", {{Qt::Key_Home, {}}, {Qt::Key_Down, {}}, {Qt::Key_Return, {}}}, dpDrive, 1},
        {"Up stops at the top",
         {{Qt::Key_Up, {}}, {Qt::Key_Up, {}}, {Qt::Key_Up, {}}, {Qt::Key_Return, {}}},
         dpDrive,
         0},
        {"End is the last row",
         {{Qt::Key_End, {}}, {Qt::Key_Down, {}}, {Qt::Key_Return, {}}},
         dpConnectors,
         0},
        {"Ctrl+F", {{Qt::Key_F, Qt::ControlModifier}}, dpConnectors, 0},
        // One place whose name starts with the letter: chosen at once, in either case.
        {"a capital letter", {{Qt::Key_A, Qt::ShiftModifier}}, dpDrive, 1},
        {"a small letter", {{Qt::Key_A, {}}}, dpDrive, 1},
        // Several ("USB", "usr2"): the next of them is selected.
        {"a letter shared by two",
         {{Qt::Key_Home, {}}, {Qt::Key_U, {}}, {Qt::Key_U, {}}, {Qt::Key_Return, {}}},
         dpDrive,
         3},
    };
    for (const auto& c : cases) {
        TPick pick;
        TDrivePopup* popup = OpenDrives(pick);
        for (const auto& [key, mods] : c.Keys)
            Key(popup, key, mods);
        if (FDrivePopup)
            FDrivePopup->close();
        EXPECT_TRUE(QTest::qWaitFor([&] { return pick.Count > 0; }, 2000)) << c.What;
        EXPECT_EQ(pick.Kind, c.Kind) << c.What;
        EXPECT_EQ(pick.Value, c.Value) << c.What;
    }
}

TEST_F(Pickers, PopupClosesWhenAnotherWindowIsActivatedUnlessHeld) {
    TPick pick;
    QPointer<TDrivePopup> popup = OpenDrives(pick);
    ASSERT_TRUE(QTest::qWaitForWindowActive(popup.data()));
    popup->Hold();
    QWidget other;
    other.show();
    other.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&other));
    QTest::qWait(50);
    EXPECT_FALSE(popup.isNull()); // held: a box of its own is open
    popup->Release();
    ASSERT_TRUE(QTest::qWaitForWindowActive(popup.data())); // brought back
    other.activateWindow();
    EXPECT_TRUE(QTest::qWaitFor([&] { return popup.isNull(); }, 5000));
    QTest::qWait(100);
    EXPECT_EQ(pick.Count, 0); // closing without a choice reports nothing
}

TEST_F(Pickers, DialogsNeverTakeAPopupAsTheirOwner) {
    QWidget main;
    SetDialogMainWindow(&main);
    TPick pick;
    QPointer<TDrivePopup> popup = OpenDrives(pick);
    ASSERT_TRUE(QTest::qWaitForWindowActive(popup.data()));
    EXPECT_EQ(DialogOwner(), &main);
    popup->close();
    SetDialogMainWindow(nullptr);
}

TEST_F(Pickers, PopupIsPlacedInsideTheScreen) {
    TPick pick;
    const QRect work = WorkAreaAt(QPoint(0, 0));
    auto* popup = OpenDrivePopup(&FOwner, work.right() - 5, work.bottom() - 5, KDrives, "/", {},
                                 [](TKvDrivePick, int) {});
    EXPECT_TRUE(work.contains(popup->frameGeometry())) << popup->x() << "," << popup->y();
    popup->close();
}

namespace {

struct TPickerRun {
    TPick Pick;
    std::vector<int> Deleted;
    QPointer<TConnectionPicker> Picker;
    bool HeldWhileAsking = false;
};

TConnectionPicker* OpenPicker(QWidget* AOwner, TPickerRun& ARun, const TKvConnectors& AConns,
                              const TKvFolderNames& AFolders, bool AConfirm = true) {
    TConnectionPicker* picker = OpenConnectionPicker(
        AOwner, 20, 20, AConns, AFolders,
        [&ARun](TKvPickerPick AKind, int AValue) {
            ARun.Pick.Kind = AKind;
            ARun.Pick.Value = AValue;
            ++ARun.Pick.Count;
        },
        [&ARun, AConfirm](int AIndex, QWidget* AOwnerBox) {
            auto* picker = qobject_cast<TConnectionPicker*>(AOwnerBox);
            ARun.HeldWhileAsking = picker && picker->Held();
            ARun.Deleted.push_back(AIndex);
            return AConfirm;
        });
    ARun.Picker = picker;
    return picker;
}

std::vector<std::string> RowNames(const TConnectionPicker& APicker) {
    std::vector<std::string> names;
    for (const auto& row : APicker.Rows())
        names.push_back(row.IsFolder ? "[" + row.Folder + "]"
                                     : APicker.Connections()[row.Conn].Name);
    return names;
}

} // namespace

TEST_F(Pickers, PickerFilterEscAndFolders) {
    TPickerRun run;
    const TKvConnectors conns = {Conn("alpha", "Work"), Conn("beta", "Work"), Conn("gamma")};
    TConnectionPicker* picker = OpenPicker(&FOwner, run, conns, {"Work", "Empty"});
    using V = std::vector<std::string>;
    EXPECT_EQ(picker->Cursor(), 0);
    EXPECT_EQ(RowNames(*picker), (V{"[Work]", "[Empty]", "gamma"}));

    // Right on a closed folder opens it, for the whole program.
    Key(picker->Filter(), Qt::Key_Down);
    Key(picker->Filter(), Qt::Key_Right);
    EXPECT_EQ(RowNames(*picker), (V{"[Work]", "alpha", "beta", "[Empty]", "gamma"}));
    EXPECT_EQ(PickerOpenFolders(), (V{"Work"}));
    EXPECT_EQ(picker->Cursor(), 1);

    // Typing filters; the cursor goes to the first match; Left and Right on a folder row then
    // change nothing.
    QTest::keyClicks(picker->Filter(), "ET");
    EXPECT_EQ(RowNames(*picker), (V{"[Work]", "beta"}));
    EXPECT_EQ(picker->Cursor(), 2);
    Key(picker->Filter(), Qt::Key_Up);
    Key(picker->Filter(), Qt::Key_Left);
    EXPECT_EQ(RowNames(*picker), (V{"[Work]", "beta"}));
    EXPECT_EQ(PickerOpenFolders(), (V{"Work"}));

    // Nothing matches: the message row; Esc clears the filter, a second Esc closes.
    QTest::keyClicks(picker->Filter(), "zz");
    EXPECT_TRUE(picker->Rows().empty());
    EXPECT_EQ(picker->List()->count(), 1);
    EXPECT_EQ(picker->Cursor(), -1);
    Key(picker->Filter(), Qt::Key_Return); // no cursor: nothing
    Key(picker->Filter(), Qt::Key_Escape);
    EXPECT_EQ(picker->Filter()->text(), "");
    EXPECT_EQ(picker->Cursor(), 0);
    ASSERT_FALSE(run.Picker.isNull());
    Key(picker->Filter(), Qt::Key_Escape);
    EXPECT_TRUE(QTest::qWaitFor([&] { return run.Picker.isNull(); }, 2000));
    QTest::qWait(100);
    EXPECT_EQ(run.Pick.Count, 0);
}

TEST_F(Pickers, PickerChoices) {
    struct TCase {
        const char* What;
        std::function<void(TConnectionPicker&)> Act;
        int Kind, Value;
    } cases[] = {
        {"top row, left", [](TConnectionPicker& p) { Key(p.Filter(), Qt::Key_Return); }, cpNew, 0},
        {"top row, right",
         [](TConnectionPicker& p) {
             Key(p.Filter(), Qt::Key_Right);
             Key(p.Filter(), Qt::Key_Enter);
         },
         cpManage, 0},
        {"a filtered connection",
         [](TConnectionPicker& p) {
             QTest::keyClicks(p.Filter(), "gam");
             Key(p.Filter(), Qt::Key_Return);
         },
         cpConnect, 2},
        {"Page Down to the last",
         [](TConnectionPicker& p) {
             Key(p.Filter(), Qt::Key_PageDown);
             Key(p.Filter(), Qt::Key_Return);
         },
         cpConnect, 2},
        {"a click on a row",
         [](TConnectionPicker& p) {
             QTest::mouseClick(p.List()->viewport(), Qt::LeftButton, {},
                               QPoint(40, p.List()->RowHeight() + 3));
         },
         cpConnect, 2},
        {"a click on the top row's right half",
         [](TConnectionPicker& p) {
             QWidget* top = p.TopBox();
             QTest::mouseMove(top, QPoint(top->width() - 10, 5));
             QTest::mouseClick(top, Qt::LeftButton, {}, QPoint(top->width() - 10, 5));
         },
         cpManage, 0},
    };
    const TKvConnectors conns = {Conn("alpha", "Work"), Conn("beta", "Work"), Conn("gamma")};
    for (const auto& c : cases) {
        TPickerRun run;
        TConnectionPicker* picker = OpenPicker(&FOwner, run, conns, {});
        c.Act(*picker);
        ASSERT_TRUE(QTest::qWaitFor([&] { return run.Pick.Count > 0; }, 3000)) << c.What;
        EXPECT_EQ(run.Pick.Kind, c.Kind) << c.What;
        EXPECT_EQ(run.Pick.Value, c.Value) << c.What;
    }
}

TEST_F(Pickers, DeletingKeepsThePickerOpenAndShowsTheRest) {
    TPickerRun run;
    const TKvConnectors conns = {Conn("alpha"), Conn("beta"), Conn("gamma")};
    TConnectionPicker* picker = OpenPicker(&FOwner, run, conns, {});
    Key(picker->Filter(), Qt::Key_Down);
    Key(picker->Filter(), Qt::Key_Down); // beta
    picker->DeleteSelected();
    EXPECT_EQ(run.Deleted, std::vector<int>{1});
    EXPECT_TRUE(run.HeldWhileAsking);
    EXPECT_FALSE(picker->Held());
    ASSERT_FALSE(run.Picker.isNull());
    EXPECT_EQ(RowNames(*picker), (std::vector<std::string>{"alpha", "gamma"}));
    EXPECT_EQ(picker->Cursor(), 2);

    // The menu key opens the menu for a connection; the popup stays while it is open.
    QTimer::singleShot(100, [&] {
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        ASSERT_NE(menu, nullptr);
        EXPECT_TRUE(picker->Held());
        QTest::keyClick(menu, Qt::Key_Down); // "Edit..."
        QTest::keyClick(menu, Qt::Key_Return);
    });
    Key(picker->Filter(), Qt::Key_F10, Qt::ShiftModifier);
    ASSERT_TRUE(QTest::qWaitFor([&] { return run.Pick.Count > 0; }, 3000));
    EXPECT_EQ(run.Pick.Kind, cpEdit);
    EXPECT_EQ(run.Pick.Value, 1); // gamma, now the second in the picker's copy
}

TEST_F(Pickers, RefusedDeleteChangesNothing) {
    TPickerRun run;
    TConnectionPicker* picker = OpenPicker(&FOwner, run, {Conn("alpha"), Conn("beta")}, {}, false);
    Key(picker->Filter(), Qt::Key_Down);
    picker->DeleteSelected();
    EXPECT_EQ(RowNames(*picker), (std::vector<std::string>{"alpha", "beta"}));
    EXPECT_EQ(picker->Cursor(), 1);
    picker->close();
}

TEST_F(Pickers, PickerHeightFollowsTheConnections) {
    TPickerRun run;
    TConnectionPicker* few = OpenPicker(&FOwner, run, {Conn("a")}, {});
    EXPECT_EQ(few->ShownRows(), 3);
    few->close();
    TKvConnectors many;
    for (int i = 0; i < 40; ++i)
        many.push_back(Conn("c" + std::to_string(i)));
    TPickerRun run2;
    TConnectionPicker* tall = OpenPicker(&FOwner, run2, many, {});
    EXPECT_EQ(tall->ShownRows(), 14);
    EXPECT_LE(tall->List()->viewport()->height(), 14 * tall->List()->RowHeight() + 2);
    EXPECT_GE(tall->List()->viewport()->height(), 14 * tall->List()->RowHeight() - 2);
    tall->close();
}

TEST(Icons, DrawnOnTheGridCentredAndNeverTiny) {
    EXPECT_EQ(IconSquare(QRect(0, 0, 40, 20)), QRect(10, 0, 20, 20));
    EXPECT_EQ(IconSquare(QRect(5, 5, 16, 32)), QRect(5, 13, 16, 16));
    EXPECT_EQ(IconGrid(32, 7.5), 15);
    EXPECT_EQ(IconGrid(20, 10.5), 13);

    QImage image(32, 32, QImage::Format_RGB32);
    image.fill(Qt::white);
    {
        QPainter painter(&image);
        DrawIcon(painter, QRect(0, 0, 32, 32), icDrive);
    }
    // The drive's light (grid 11..13 x 9..10.5) is green, its body grey, outside is untouched.
    EXPECT_EQ(QColor(image.pixel(24, 19)), QColor("#00c000"));
    EXPECT_EQ(QColor(image.pixel(8, 20)), QColor("#c8c8c8"));
    EXPECT_EQ(QColor(image.pixel(16, 4)), QColor(Qt::white));

    image.fill(Qt::white);
    {
        QPainter painter(&image);
        DrawConnectorIcon(painter, QRect(0, 0, 32, 32), ckTelnet);
        DrawIcon(painter, QRect(0, 0, 3, 3), icGlobe); // too small: nothing
    }
    EXPECT_EQ(QColor(image.pixel(1, 1)), QColor(Qt::white));
    EXPECT_EQ(QColor(image.pixel(24, 23)), QColor("#ff8000")); // Telnet's badge
    EXPECT_EQ(QColor(image.pixel(4, 14)), QColor(Qt::black));  // the terminal's screen
}
