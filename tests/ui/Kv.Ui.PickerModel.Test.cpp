// The plain rules behind the pickers and the Options window: picker rows and cursor, popup
// placement, the drive list, font sizes, programs, and the keys a text field keeps.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPushButton>

#include "Kv.Ui.DriveMenu.h"
#include "Kv.Ui.KeyRouting.h"
#include "Kv.Ui.OptionsModel.h"
#include "Kv.Ui.PickerModel.h"
#include "Kv.Ui.Popup.h"

using namespace kv;

namespace {

TKvConnector Conn(const std::string& AName, const std::string& AFolder = {},
                  const std::string& AHost = "h", const std::string& AUser = "") {
    TKvConnector c = NewConnector();
    c.Name = AName;
    c.Folder = AFolder;
    c.Host = AHost;
    c.User = AUser;
    return c;
}

std::vector<std::string> Texts(const TKvConnectors& AConns, const TPickerRows& ARows) {
    std::vector<std::string> texts;
    for (const auto& row : ARows)
        texts.push_back(row.IsFolder ? "[" + row.Folder + " " + std::to_string(row.Count) + "]"
                                     : AConns[row.Conn].Name);
    return texts;
}

// The open-folder set is the program's; each test starts from none.
struct TOpenFolders : ::testing::Test {
    void SetUp() override { SetPickerOpenFolders({}); }
    void TearDown() override { SetPickerOpenFolders({}); }
};

using PickerRows = TOpenFolders;

} // namespace

TEST_F(PickerRows, OpenFoldersShowTheirConnectionsAFilterShowsEveryMatch) {
    const TKvConnectors conns = {Conn("web1", "Prod", "web1.example", "deploy"),
                                 Conn("db", "prod", "db.example"), Conn("laptop", "", "10.0.0.2"),
                                 Conn("test web", "Test")};
    const TKvFolderNames folders = {"Prod", "Test", "Empty"};
    using V = std::vector<std::string>;
    EXPECT_EQ(Texts(conns, BuildPickerRows(conns, folders, "")),
              (V{"[Prod 2]", "[Test 1]", "[Empty 0]", "laptop"}));
    SetPickerFolderOpen("PROD", true);
    EXPECT_EQ(Texts(conns, BuildPickerRows(conns, folders, "  ")),
              (V{"[Prod 2]", "web1", "db", "[Test 1]", "[Empty 0]", "laptop"}));
    // With a filter every folder holding a match is open, whatever the set says, and counts
    // only the matches; folders without one are left out.
    SetPickerOpenFolders({});
    EXPECT_EQ(Texts(conns, BuildPickerRows(conns, folders, "WEB")),
              (V{"[Prod 1]", "web1", "[Test 1]", "test web"}));
    EXPECT_EQ(Texts(conns, BuildPickerRows(conns, folders, "deploy@web1")),
              (V{"[Prod 1]", "web1"}));
    EXPECT_TRUE(BuildPickerRows(conns, folders, "nothing").empty());
}

TEST_F(PickerRows, OpenFolderSetIgnoresCaseAndKeepsOrder) {
    SetPickerOpenFolders({"B", "", "a", "b", "C"});
    EXPECT_EQ(PickerOpenFolders(), (std::vector<std::string>{"B", "a", "C"}));
    EXPECT_FALSE(SetPickerFolderOpen("A", true));
    EXPECT_TRUE(SetPickerFolderOpen("A", false));
    EXPECT_FALSE(IsPickerFolderOpen("a"));
    EXPECT_EQ(PickerOpenFolders(), (std::vector<std::string>{"B", "C"}));
}

TEST(PickerCursor, MovesClampAndStartFromNothing) {
    struct TCase {
        int Cursor, Delta, Rows, Result;
    } cases[] = {
        {0, 1, 5, 1},  {3, 8, 5, 5},  {3, -8, 5, 0}, {-1, 1, 5, 0}, {-1, -1, 5, 5},
        {-1, 0, 5, 5}, {0, -1, 0, 0}, {0, 1, 0, 0},  {-1, 8, 0, 0}, {2, -1, 5, 1},
    };
    for (const auto& c : cases)
        EXPECT_EQ(MovePickerCursor(c.Cursor, c.Delta, c.Rows), c.Result)
            << c.Cursor << " " << c.Delta;
    EXPECT_EQ(ClampPickerCursor(9, 3), 3);
    EXPECT_EQ(ClampPickerCursor(-5, 3), -1);

    const TKvConnectors conns = {Conn("a", "F"), Conn("b")};
    EXPECT_EQ(CursorAfterFilter(BuildPickerRows(conns, {"F"}, "a"), "a"), 2); // past the folder row
    EXPECT_EQ(CursorAfterFilter(BuildPickerRows(conns, {"F"}, "zzz"), "zzz"), -1);
    EXPECT_EQ(CursorAfterFilter(BuildPickerRows(conns, {"F"}, ""), ""), 0);
}

TEST(PickerLayout, ShownRowsAndTexts) {
    struct TCase {
        int Conns, Folders, Work, Rows;
    } cases[] = {
        {0, 0, 1000, 3},   // at least three
        {5, 2, 1000, 7},   // as many as there are
        {50, 3, 1000, 14}, // at most fourteen
        {50, 3, 300, 9},   // only (300 - 24 - 76) / 22 fit
        {50, 3, 60, 2},    // never fewer than two
    };
    for (const auto& c : cases)
        EXPECT_EQ(PickerShownRows(c.Conns, c.Folders, c.Work, 22, 76, 24), c.Rows) << c.Work;

    EXPECT_EQ(PickerMessage(false, ""), "No saved connections yet. Choose New connection.");
    EXPECT_EQ(PickerMessage(true, "xyz"), "No connection matches \"xyz\"");
    EXPECT_EQ(PickerSecondText(Conn("n", "", "host", "me")), "me@host");
    EXPECT_EQ(PickerSecondText(Conn("n", "", "host")), "host");
}

TEST(PopupPlacement, StaysInsideTheWorkArea) {
    const QRect work(100, 0, 1000, 700); // a second monitor, a panel at the top taken out
    const QSize size(300, 200);
    struct TCase {
        QPoint At, Placed;
    } cases[] = {
        {{200, 100}, {200, 100}},  // fits
        {{950, 100}, {800, 100}},  // right edge
        {{200, 650}, {200, 500}},  // bottom edge
        {{1090, 690}, {800, 500}}, // corner
        {{50, -40}, {100, 0}},     // left of and above the area
    };
    for (const auto& c : cases)
        EXPECT_EQ(PlacePopup(work, size, c.At), c.Placed) << c.At.x() << "," << c.At.y();
    // Larger than the area: the top left corner stays visible.
    EXPECT_EQ(PlacePopup(QRect(0, 0, 200, 100), QSize(300, 200), QPoint(50, 50)), QPoint(0, 0));
}

TEST(DriveList, RootAndHomeFirstPseudoLeftOutKindsNamed) {
    const char* mountinfo = "30 1 8:1 / /boot rw - ext4 /dev/sda1 rw\n"
                            "28 1 254:0 / / rw - ext4 /dev/vda rw\n"
                            "22 28 0:21 / /proc rw - proc proc rw\n"
                            "23 28 0:22 / /run rw - tmpfs tmpfs rw\n"
                            "40 28 0:40 / /home/ann rw - ext4 /dev/sdb1 rw\n"
                            "41 28 0:41 / /mnt/nas rw - nfs4 nas:/export rw\n"
                            "42 41 0:42 / /mnt/nas/sub rw - ext4 /dev/sdc1 rw\n"
                            "43 28 0:43 / /media/ann/USB rw - vfat /dev/sdd1 rw\n"
                            "44 28 0:44 / /mnt/cd ro - iso9660 /dev/sr0 ro\n"
                            "45 28 0:45 / /tmp rw - tmpfs tmpfs rw\n"
                            "46 28 0:46 / /etc/hosts rw - ext4 /dev/vda rw\n"
                            "47 28 0:47 / /srv/sshfs rw - fuse.sshfs me@host: rw\n";
    const auto mounts = ParseMountInfo(mountinfo);
    std::vector<std::string> asked;
    auto isFolder = [&](const std::string& APath) {
        asked.push_back(APath);
        return APath != "/etc/hosts";
    };
    const TKvDrives drives = DrivesFromMounts(mounts, "/home/ann/", isFolder);
    const TKvDrives expected = {
        {"/", "Local disk", mkLocalDisk},
        {"/home/ann", "Local disk", mkLocalDisk},
        {"/boot", "Local disk", mkLocalDisk},
        {"/mnt/nas", "Network", mkNetwork},
        {"/mnt/nas/sub", "Local disk", mkLocalDisk},
        {"/media/ann/USB", "Removable", mkRemovable},
        {"/mnt/cd", "CD/DVD", mkOptical},
        {"/tmp", "RAM disk", mkRam},
        {"/srv/sshfs", "Network", mkNetwork},
    };
    EXPECT_EQ(drives, expected);
    // Nothing on or below a network mount is looked at: a hung server would block.
    for (const std::string& path : asked)
        EXPECT_FALSE(path.starts_with("/mnt/nas") || path == "/srv/sshfs") << path;

    // A home that is no mount of its own takes the kind of the one that holds it.
    const TKvDrives plain = DrivesFromMounts(mounts, "/mnt/nas/ann", nullptr);
    ASSERT_GE(plain.size(), 2u);
    EXPECT_EQ(plain[1], (TKvDriveInfo{"/mnt/nas/ann", "Network", mkNetwork}));
    EXPECT_EQ(DrivesFromMounts({}, "", nullptr), (TKvDrives{{"/", "Local disk", mkLocalDisk}}));
}

TEST(DriveList, ThisSystemListsTheRootFirst) {
    const TKvDrives drives = ListDrives();
    ASSERT_FALSE(drives.empty());
    EXPECT_EQ(drives[0].Path, "/");
    for (const auto& drive : drives)
        EXPECT_FALSE(drive.Path.starts_with("/proc") || drive.Path.starts_with("/sys"))
            << drive.Path;
}

TEST(OptionsRules, FontSizeTyped) {
    struct TCase {
        const char* Text;
        int Previous, Size;
    } cases[] = {
        {"14", 13, 14}, {" 20 ", 13, 20}, {"40", 13, 32},
        {"8", 13, 9},   {"-3", 13, 9},    {"abc", 15, 15},
        {"", 15, 15},   {"12px", 15, 15}, {"99999999999999999999999", 13, 32},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ParseFontSize(c.Text, c.Previous), c.Size) << c.Text;
}

TEST(OptionsRules, FontsProgramsPalettes) {
    EXPECT_EQ(FontChoices({"Mono A", "Mono B"}, "Mono B"),
              (std::vector<std::string>{"Mono A", "Mono B"}));
    // Not fixed-width or not installed: still offered, at the top.
    EXPECT_EQ(FontChoices({"Mono A"}, "Sans"), (std::vector<std::string>{"Sans", "Mono A"}));

    auto exists = [](const std::string& APath) { return APath == "/usr/bin/less"; };
    EXPECT_EQ(CheckPrograms(false, "", false, "", exists).Message, "");
    EXPECT_EQ(CheckPrograms(true, " /usr/bin/less ", true, "/usr/bin/less", exists).Message, "");
    TKvProgramCheck both = CheckPrograms(true, "/gone", true, "/gone", exists);
    EXPECT_TRUE(both.Viewer);
    EXPECT_EQ(both.Message,
              "The viewer program can not be found. Choose it again, or choose the usual viewer.");
    TKvProgramCheck editor = CheckPrograms(false, "/gone", true, "", exists);
    EXPECT_FALSE(editor.Viewer);
    EXPECT_EQ(editor.Message,
              "The editor program can not be found. Choose it again, or choose the usual editor.");
    EXPECT_EQ(ProgramSetting(true, " /usr/bin/less "), "/usr/bin/less");
    EXPECT_EQ(ProgramSetting(false, "/usr/bin/less"), "");
    EXPECT_TRUE(IsExistingFile("/bin/sh"));
    EXPECT_FALSE(IsExistingFile("/tmp")); // a folder is no program

    EXPECT_EQ(PaletteColors(plClassic)[csBackground], KvRgb(0, 0, 0x80));
    EXPECT_EQ(PaletteColors(plLight)[csMarked], KvRgb(0xff, 0, 0));
    EXPECT_EQ(PaletteColors(plDefault)[csBars], KvRgb(0x83, 0x85, 0xd8));
}

TEST(KeyRouting, TextFieldsKeepDeleteAndCtrlLetters) {
    struct TCase {
        int Key;
        Qt::KeyboardModifiers Mods;
        bool Kept;
    } cases[] = {
        {Qt::Key_Delete, Qt::NoModifier, true},
        {Qt::Key_Delete, Qt::ShiftModifier, true},
        {Qt::Key_H, Qt::ControlModifier, true},
        {Qt::Key_U, Qt::ControlModifier | Qt::ShiftModifier, true},
        {Qt::Key_A, Qt::ControlModifier | Qt::KeypadModifier, true},
        {Qt::Key_Delete, Qt::ControlModifier, false},
        {Qt::Key_F8, Qt::NoModifier, false},
        {Qt::Key_F5, Qt::ControlModifier, false},
        {Qt::Key_H, Qt::AltModifier, false},
        {Qt::Key_1, Qt::ControlModifier, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(IsTextFieldKey(c.Key, c.Mods), c.Kept) << c.Key;

    QLineEdit edit, readOnly;
    readOnly.setReadOnly(true);
    QComboBox list, editable;
    editable.setEditable(true);
    QPushButton button;
    QKeyEvent del(QEvent::KeyPress, Qt::Key_Delete, Qt::NoModifier);
    EXPECT_TRUE(KeyStaysInTextField(&edit, &del));
    EXPECT_TRUE(KeyStaysInTextField(&editable, &del));
    EXPECT_FALSE(KeyStaysInTextField(&readOnly, &del));
    EXPECT_FALSE(KeyStaysInTextField(&list, &del));
    EXPECT_FALSE(KeyStaysInTextField(&button, &del));
    EXPECT_FALSE(KeyStaysInTextField(nullptr, &del));
}
