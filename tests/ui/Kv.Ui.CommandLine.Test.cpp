#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include "Kv.Ui.CommandLine.h"
#include "KvTestSupport.h"

using namespace kv;
using namespace kv::test;

namespace kv {
void PrintTo(const TKvStartFolder& AStart, std::ostream* AOut) {
    *AOut << "{\"" << AStart.Folder << "\", \"" << AStart.FocusName << "\"}";
}
} // namespace kv

namespace {

// A name that is not UTF-8, as a disk written by another system may hold.
const std::string KLatin1 = "caf\xe9";

struct TArgsFixture {
    TTempDir Root;
    TArgsFixture() {
        for (const char* folder : {"dir", "sp ace", "--help"})
            ::mkdir((Root / folder).c_str(), 0755);
        ::mkdir((Root / KLatin1).c_str(), 0755);
        WriteFile(Root / "dir/file.txt", "x");
        WriteFile(Root / (KLatin1 + "/" + KLatin1 + ".txt"), "x");
        ::symlink("dir", (Root / "link").c_str());
    }
};

} // namespace

TEST(CommandLine, HelpAndVersionWinUnlessAfterDoubleDash) {
    EXPECT_EQ(StartAction({}), saRun);
    EXPECT_EQ(StartAction({"/tmp", "--help"}), saHelp);
    EXPECT_EQ(StartAction({"-h"}), saHelp);
    EXPECT_EQ(StartAction({"--version", "/missing"}), saVersion);
    EXPECT_EQ(StartAction({"--", "--version"}), saRun);
    EXPECT_NE(VersionText().find("Kolvan "), std::string::npos);
}

TEST(CommandLine, FoldersFilesAndUrlsGoToTheHalves) {
    TArgsFixture f;
    const std::string root = f.Root.Path();
    struct TCase {
        const char* Label;
        std::vector<std::string> Args;
        TKvStartFolder Left, Right;
    };
    const TCase cases[] = {
        {"relative folder", {"dir"}, {root + "/dir", ""}, {}},
        {"two folders, one with a blank",
         {root + "/dir", "sp ace/"},
         {root + "/dir", ""},
         {root + "/sp ace", ""}},
        {"a file focuses itself", {"dir/file.txt"}, {root + "/dir", "file.txt"}, {}},
        {"dots are resolved", {"./dir/../sp ace/."}, {root + "/sp ace", ""}, {}},
        {"a link to a folder opens as a folder", {"link"}, {root + "/link", ""}, {}},
        {"a name that is not UTF-8",
         {KLatin1 + "/" + KLatin1 + ".txt"},
         {root + "/" + KLatin1, KLatin1 + ".txt"},
         {}},
        {"file URLs are percent-decoded",
         {"file://" + root + "/sp%20ace", "FILE://localhost" + root + "/caf%E9/caf%e9.txt"},
         {root + "/sp ace", ""},
         {root + "/" + KLatin1, KLatin1 + ".txt"}},
        {"this computer's own name is local",
         {"file://kolvanhost" + root + "/dir"},
         {root + "/dir", ""},
         {}},
        {"after -- a dash starts a name", {"--", "--help"}, {root + "/--help", ""}, {}},
        {"a bad first argument keeps its position", {"missing", "dir"}, {}, {root + "/dir", ""}},
        {"an unknown option takes no position", {"--bogus", "dir"}, {root + "/dir", ""}, {}},
    };
    for (const TCase& c : cases) {
        TKvCommandLine line = ParseCommandLine(c.Args, root, "kolvanhost");
        EXPECT_EQ(line.Action, saRun) << c.Label;
        EXPECT_EQ(line.Halves[rhLeft], c.Left)
            << c.Label << ": left " << line.Halves[rhLeft].Folder;
        EXPECT_EQ(line.Halves[rhRight], c.Right)
            << c.Label << ": right " << line.Halves[rhRight].Folder;
    }
}

TEST(CommandLine, BadArgumentsAreExplainedOneLineEach) {
    TArgsFixture f;
    struct TCase {
        std::vector<std::string> Args;
        std::string Problem;
    };
    const TCase cases[] = {
        {{"missing"}, "kolvan: missing: No such file or directory"},
        {{"dir", "dir", "sp ace"},
         "kolvan: \"sp ace\" left out: there are two halves, so at most two folders can be opened"},
        {{"--bogus"}, "kolvan: unknown option \"--bogus\" (kolvan --help lists the options)"},
        {{""}, "kolvan: : an empty argument names no folder"},
        {{"file://server/share"},
         "kolvan: file://server/share: the file is on another computer (server); only local files "
         "can be opened"},
        {{"sftp://host/x"}, "kolvan: sftp://host/x: only file:// URLs can be opened"},
        {{"file://server"}, "kolvan: file://server: not a valid file URL"},
        {{"file://"}, "kolvan: file://: not a valid file URL"},
        {{"file:dir"}, "kolvan: file:dir: not a valid file URL"},
        // "%2F" and "%00" would turn one name into a path or cut it short.
        {{"file:///tmp%2Fdir"}, "kolvan: file:///tmp%2Fdir: not a valid file URL"},
        {{"file:///tmp%00"}, "kolvan: file:///tmp%00: not a valid file URL"},
        {{"file:///tmp%4"}, "kolvan: file:///tmp%4: not a valid file URL"},
        {{"file:///tmp%zz"}, "kolvan: file:///tmp%zz: not a valid file URL"},
        {{"file:///tmp?x"},
         "kolvan: file:///tmp?x: not a valid file URL (it has a query or fragment)"},
    };
    for (const TCase& c : cases) {
        TKvCommandLine line = ParseCommandLine(c.Args, f.Root.Path(), "kolvanhost");
        ASSERT_EQ(line.Problems.size(), 1u) << c.Problem;
        EXPECT_EQ(line.Problems[0], c.Problem);
    }
    // A relative path needs a current folder (it may have been deleted under us).
    TKvCommandLine orphan = ParseCommandLine({"dir", "/"}, "", "kolvanhost");
    ASSERT_EQ(orphan.Problems.size(), 1u);
    EXPECT_EQ(orphan.Halves[rhRight].Folder, "/");
}

TEST(CommandLine, StartFoldersReplaceTheSavedOnesAndChooseTheActiveHalf) {
    TKvAppState state;
    state.Panels[rhLeft] = {"/saved/left", "l.txt"};
    state.Panels[rhRight] = {"/saved/right", "r.txt"};
    state.Sessions[rhRight] = {std::string(KSessionPanel), "sftp:u@h:22", "/remote"};
    state.ActiveHalf = rhLeft;

    TKvAppState kept = state;
    ApplyStartFolders({}, kept);
    EXPECT_EQ(kept, state) << "no folders: the saved state stands";

    ApplyStartFolders({TKvStartFolder{}, TKvStartFolder{"/new", "f.txt"}}, state);
    EXPECT_EQ(state.Panels[rhLeft].Path, "/saved/left");
    EXPECT_EQ(state.Panels[rhRight].Path, "/new");
    EXPECT_EQ(state.Panels[rhRight].FocusName, "f.txt");
    EXPECT_EQ(state.Sessions[rhRight], TKvSessionState{})
        << "the connection would cover the folder asked for";
    EXPECT_EQ(state.ActiveHalf, rhRight);
}
