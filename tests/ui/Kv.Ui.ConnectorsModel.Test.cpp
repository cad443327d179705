#include <gtest/gtest.h>

#include "Kv.Ui.ConnectorsModel.h"

using namespace kv;

namespace {

TKvConnector Conn(const std::string& AName, const std::string& AFolder = {},
                  TKvConnectorKind AKind = ckSftp) {
    TKvConnector c = NewConnector();
    c.Name = AName;
    c.Folder = AFolder;
    c.Kind = AKind;
    c.Port = DefaultPortFor(AKind);
    return c;
}

std::vector<std::string> Names(const TKvConnectors& AList) {
    std::vector<std::string> names;
    for (const auto& c : AList)
        names.push_back(c.Name + (c.Folder.empty() ? "" : "@" + c.Folder));
    return names;
}

// "[Work]", "a" for a connection row.
std::vector<std::string> RowTexts(const TKvConnectors& AList, const TKvConnRows& ARows) {
    std::vector<std::string> texts;
    for (const auto& row : ARows)
        texts.push_back(row.IsFolder ? "[" + row.Folder + "]" : AList[row.Conn].Name);
    return texts;
}

} // namespace

TEST(ConnectorsRows, FoldersFirstThenUnfiledCollapsedHideTheirConnections) {
    TKvConnectors list = {Conn("a", "work"), Conn("b"), Conn("c", "Home"), Conn("d", "WORK"),
                          Conn("e")};
    TKvFolderNames folders = {"Work", "Home", "Empty"};
    using V = std::vector<std::string>;
    EXPECT_EQ(RowTexts(list, BuildConnRows(list, folders, {})),
              (V{"[Work]", "a", "d", "[Home]", "c", "[Empty]", "b", "e"}));
    // A collapsed name matches in any letter case.
    EXPECT_EQ(RowTexts(list, BuildConnRows(list, folders, {"work"})),
              (V{"[Work]", "[Home]", "c", "[Empty]", "b", "e"}));
    TKvConnRows rows = BuildConnRows(list, folders, {"Home"});
    EXPECT_EQ(RowOfConnection(rows, 3), 2);
    EXPECT_EQ(RowOfConnection(rows, 2), -1);
    EXPECT_EQ(RowOfFolder(rows, "HOME"), 3);
    EXPECT_EQ(ConnectionsInFolder(list, "Work"), 2);
}

TEST(ConnectorsFields, EnablingRulesPerKind) {
    struct TCase {
        const char* What;
        TKvConnFieldState State;
        TKvConnFieldRules Rules;
    };
    // clang-format off
    //                              Fields Login Secret Key  Pass  Start IgnS  IgnE  File  Hyb   Del   Ren   Agent
    auto rules = [](bool f, bool l, bool s, bool k, bool p, bool st, bool is, bool ie, bool fo, bool h, bool d,
                    bool r, bool a) { return TKvConnFieldRules{f, l, s, k, p, st, is, ie, fo, h, d, r, a}; };
    const TCase cases[] = {
        // Nothing shown: only the terminal box shows, greyed; the file boxes in the same place stay
        // hidden although the blank form says SFTP.
        {"none", {false, ckSftp, false, false, true, false}, rules(0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0)},
        {"folder row", {false, ckSftp, false, false, true, true}, rules(0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 1, 1, 0)},
        {"ssh hybrid", {true, ckSsh, true, false, true, false}, rules(1, 1, 1, 0, 0, 1, 1, 1, 0, 1, 1, 0, 1)},
        {"ssh plain key", {true, ckSsh, false, true, false, false}, rules(1, 1, 0, 1, 1, 0, 1, 1, 0, 1, 1, 0, 1)},
        {"telnet", {true, ckTelnet, true, true, true, false}, rules(1, 0, 1, 0, 0, 0, 1, 1, 0, 0, 1, 0, 0)},
        {"sftp key", {true, ckSftp, true, true, true, false}, rules(1, 1, 1, 1, 1, 1, 0, 0, 1, 0, 1, 0, 1)},
        // A key login kept from SFTP means nothing for FTP: no key file, a password label.
        {"ftp", {true, ckFtp, false, true, true, false}, rules(1, 0, 0, 0, 0, 1, 0, 0, 1, 0, 1, 0, 0)},
        {"webdav", {true, ckWebDavs, true, false, true, false}, rules(1, 0, 1, 0, 0, 1, 0, 0, 1, 0, 1, 0, 0)},
    };
    // clang-format on
    for (const auto& c : cases) {
        TKvConnFieldRules got = ConnFieldRules(c.State);
        EXPECT_EQ(got, c.Rules) << c.What;
        // The two pairs of boxes that share a place never show together.
        EXPECT_FALSE(got.IgnoreColorsShown && got.FileOptionsShown) << c.What;
        EXPECT_FALSE(got.HybridShown && got.FileOptionsShown) << c.What;
    }
}

TEST(ConnectorsFields, PortParsing) {
    struct TCase {
        const char* Text;
        TKvConnectorKind Kind;
        int Port;
    } cases[] = {
        {"2222", ckSsh, 2222},      {" 21 ", ckFtp, 21},      {"+443", ckWebDavs, 443},
        {"1", ckSftp, 1},           {"65535", ckSftp, 65535}, {"70000", ckSftp, 22},
        {"0", ckFtpsImplicit, 990}, {"-22", ckSsh, 22},       {"", ckTelnet, 23},
        {"22a", ckSsh, 22},         {"0x16", ckSsh, 22},      {"99999999999999999999", ckFtp, 21},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ParsePort(c.Text, c.Kind), c.Port) << c.Text;
}

TEST(ConnectorsFields, KindChangeMovesOnlyTheDefaultPort) {
    struct TCase {
        const char* Port;
        TKvConnectorKind From, To;
        const char* Result;
    } cases[] = {
        {"22", ckSftp, ckFtpsImplicit, "990"},
        {"2222", ckSftp, ckFtpsImplicit, "2222"},
        {" 22 ", ckSsh, ckTelnet, "23"},
        {"21", ckFtp, ckFtps, "21"},
        {"", ckSftp, ckFtp, ""},
        {"990", ckFtpsImplicit, ckWebDavs, "443"},
        {"22", ckSsh, ckSftp, "22"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(PortAfterKindChange(c.Port, c.From, c.To), c.Result) << c.Port;
}

TEST(ConnectorsFields, TakingTheEditsTrimsParsesAndDropsWhatIsNotKept) {
    TKvConnector c = Conn("old", "Work", ckSsh);
    c.Secret = "was";
    TKvConnEdits edits = EditsOf(c);
    EXPECT_EQ(edits.Shell, KServerDefaultShell);
    edits.KindIndex = 99; // outside the list: SFTP
    edits.Name = "  name ";
    edits.Host = " host.example ";
    edits.Port = "70000";
    edits.User = " me ";
    edits.AuthKey = true;
    edits.KeyFile = " /k/id ";
    edits.SavePassword = false;
    edits.Secret = "typed";
    edits.Shell = "server DEFAULT";
    ApplyEdits(c, edits);
    EXPECT_EQ(c.Kind, ckSftp);
    EXPECT_EQ(c.Name, "name");
    EXPECT_EQ(c.Host, "host.example");
    EXPECT_EQ(c.Port, 22);
    EXPECT_EQ(c.User, "me");
    EXPECT_EQ(c.Auth, amKeyFile);
    EXPECT_EQ(c.KeyFile, "/k/id");
    EXPECT_EQ(c.Secret, ""); // not remembered: not kept
    EXPECT_EQ(c.Shell, "");
    EXPECT_EQ(c.Folder, "Work"); // not a field

    edits.KindIndex = static_cast<int>(ckFtp);
    edits.SavePassword = true;
    edits.Shell = " zsh ";
    ApplyEdits(c, edits);
    EXPECT_EQ(c.Auth, amPassword); // FTP has no key login
    EXPECT_EQ(c.Secret, "typed");
    EXPECT_EQ(c.Shell, "zsh");
    EXPECT_EQ(c.Port, 21);
}

TEST(ConnectorsFolders, NameChecks) {
    const TKvFolderNames folders = {"Work", "Home"};
    struct TCase {
        const char* Answer;
        const char* Old;
        TKvFolderVerdict Verdict;
        const char* Message;
    } cases[] = {
        {"", "", fvAskAgain, ""},
        {"   ", "Work", fvAskAgain, ""},
        {"Servers", "", fvAccept, ""},
        {" work ", "", fvRefuse, "There is already a folder \"Work\"."},
        {"HOME", "Work", fvRefuse, "There is already a folder \"Home\"."},
        {"WORK", "Work", fvAccept, ""}, // a change of case renames it
        {"Work", "Work", fvAccept, ""},
    };
    for (const auto& c : cases) {
        TKvFolderCheck check = CheckFolderName(folders, c.Answer, c.Old);
        EXPECT_EQ(check.Verdict, c.Verdict) << c.Answer;
        EXPECT_EQ(check.Message, c.Message) << c.Answer;
    }
    EXPECT_EQ(CheckFolderName(folders, "  Servers ", "").Name, "Servers");
}

TEST(ConnectorsFolders, InsertRenameDelete) {
    TKvFolderNames folders = {"A", "B"};
    InsertFolder(folders, "N", "a");
    InsertFolder(folders, "M", "");
    InsertFolder(folders, "O", "missing");
    EXPECT_EQ(folders, (TKvFolderNames{"A", "N", "B", "M", "O"}));

    TKvConnectors list = {Conn("x", "b"), Conn("y"), Conn("z", "B")};
    folders = {"A", "B"};
    std::vector<std::string> collapsed = {"b"};
    RenameFolder(list, folders, collapsed, "B", "Bee");
    EXPECT_EQ(folders, (TKvFolderNames{"A", "Bee"}));
    EXPECT_EQ(Names(list), (std::vector<std::string>{"x@Bee", "y", "z@Bee"}));
    EXPECT_EQ(collapsed, (std::vector<std::string>{"Bee"}));

    DeleteFolder(list, folders, collapsed, "bee");
    EXPECT_EQ(folders, (TKvFolderNames{"A"}));
    EXPECT_TRUE(collapsed.empty());
    EXPECT_EQ(Names(list), (std::vector<std::string>{"x", "y", "z"}));
}

TEST(ConnectorsDelete, SelectionAfterwards) {
    struct TCase {
        const char* What;
        int Index;
        TKvConnSelection Selection;
    } cases[] = {
        {"next in the same folder", 0, {0, ""}},
        {"next in another folder: the folder row", 1, {-1, "F"}},
        {"unfiled, the last: the one before it", 3, {2, ""}},
        {"unfiled, next in a folder: nothing", 2, {-1, ""}},
    };
    for (const auto& c : cases) {
        TKvConnectors list = {Conn("a", "F"), Conn("b", "F"), Conn("c"), Conn("d")};
        if (c.Index == 2)
            list[3].Folder = "G";
        EXPECT_EQ(DeleteConnection(list, c.Index), c.Selection) << c.What;
        EXPECT_EQ(list.size(), 3u);
    }
    TKvConnectors one = {Conn("only", "F")};
    EXPECT_EQ(DeleteConnection(one, 0), (TKvConnSelection{-1, "F"}));
    EXPECT_TRUE(one.empty());
}

TEST(ConnectorsDrop, TargetUnderThePointer) {
    TKvConnectors list = {Conn("a", "F"), Conn("b")};
    TKvConnRows rows = BuildConnRows(list, {"F"}, {}); // [F] a b
    struct TCase {
        int Y, Top;
        TKvDropTarget Target;
    } cases[] = {
        {5, 0, {-1, 0}},   // over the folder row: into it
        {23, 0, {1, -1}},  // upper half of "a": before it
        {40, 0, {2, -1}},  // lower half of "a": before "b"
        {60, 0, {3, -1}},  // lower half of the last row: the end
        {500, 0, {3, -1}}, // below the rows: the end
        {5, 1, {1, -1}},   // scrolled by one: the first visible row is "a"
    };
    for (const auto& c : cases)
        EXPECT_EQ(DropTargetAt(rows, c.Y, 22, c.Top), c.Target) << c.Y << " " << c.Top;
}

TEST(ConnectorsDrop, MovesAndRefiles) {
    // List: a@F b@F c d e@G ; rows: [F] a b [G] e c d
    auto fresh = [] {
        return TKvConnectors{Conn("a", "F"), Conn("b", "F"), Conn("c"), Conn("d"), Conn("e", "G")};
    };
    const TKvFolderNames folders = {"F", "G"};
    struct TCase {
        const char* What;
        int Conn;
        TKvDropTarget Target;
        std::vector<std::string> After;
        int NewIndex;
    } cases[] = {
        {"into a folder: after its last connection",
         2,
         {-1, 0},
         {"a@F", "b@F", "c@F", "d", "e@G"},
         2},
        {"into a folder it is in: to its end", 0, {-1, 0}, {"b@F", "a@F", "c", "d", "e@G"}, 1},
        {"into another folder: after its last connection",
         3,
         {-1, 3},
         {"a@F", "b@F", "c", "e@G", "d@G"},
         4},
        {"before a connection: its folder, just before it",
         3,
         {1, -1},
         {"d@F", "a@F", "b@F", "c", "e@G"},
         0},
        {"before itself: nothing moves", 2, {5, -1}, {"a@F", "b@F", "c", "d", "e@G"}, 2},
        {"at the end: the folder of the row above", 0, {7, -1}, {"b@F", "c", "d", "a", "e@G"}, 3},
        {"before a folder row: the folder above", 2, {3, -1}, {"a@F", "b@F", "c@F", "d", "e@G"}, 2},
        {"before the first row: no folder", 4, {0, -1}, {"a@F", "b@F", "c", "d", "e"}, 4},
    };
    for (const auto& c : cases) {
        TKvConnectors list = fresh();
        TKvConnRows rows = BuildConnRows(list, folders, {});
        int index = ApplyDrop(list, rows, c.Conn, c.Target);
        EXPECT_EQ(Names(list), c.After) << c.What;
        EXPECT_EQ(index, c.NewIndex) << c.What;
    }
}
