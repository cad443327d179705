#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <mutex>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "Kv.FileActions.h"
#include "KvTestSupport.h"
#include "KvStubPrograms.h"

using namespace kv;
using namespace kv::test;
using namespace std::chrono_literals;

namespace {

// Names that break any command line built by pasting text together.
const std::vector<std::string> KHardNames = {
    "two  blanks", "it's", "say \"hi\"", "$HOME", "`id`", "line\nbreak", "Grüße ✓", "-n", "a=b", "*", "~x",
    "#x", "back\\slash", "semi;colon", "%s%%", "tab\there",
};

TEST(ShellWords, QuotedNamesComeBackIntactThroughEveryShell) {
    for (const char* shell : {"bash", "dash", "zsh", "mksh"}) {
        for (const auto& name : KHardNames) {
            std::string quoted = ShellWord(name);
            std::string line = "printf '%s' " + quoted;
            std::string out = RunCommand(std::string(shell) + " -c " + ShellWord(line));
            EXPECT_EQ(out, name) << shell << " with " << quoted;
        }
    }
    EXPECT_EQ(ShellWord("plain-name_1.txt"), "plain-name_1.txt");
    EXPECT_EQ(ShellWord(""), "''");
    EXPECT_EQ(RunBarPrefill("a b"), "'a b' ");
}

TEST(ShellWords, SplitsLikeShWithoutExpanding) {
    struct TCase {
        std::string Text;
        std::vector<std::string> Words;
    } cases[] = {
        {"", {}},
        {"  a   b  ", {"a", "b"}},
        {"'a b' \"c d\" e\\ f", {"a b", "c d", "e f"}},
        {"'$HOME' \"\\$x \\\" \\\\ \\n\"", {"$HOME", "$x \" \\ \\n"}},
        {"x'y'\"z\"", {"xyz"}},
        {"''", {""}},
        {"$HOME `id`", {"$HOME", "`id`"}},
    };
    for (const auto& c : cases) {
        std::vector<std::string> words;
        std::string error;
        ASSERT_TRUE(SplitShellWords(c.Text, words, error)) << c.Text;
        EXPECT_EQ(words, c.Words) << c.Text;
    }
    std::vector<std::string> words;
    std::string error;
    EXPECT_FALSE(SplitShellWords("a 'b", words, error));
    EXPECT_FALSE(SplitShellWords("a \"b", words, error));
    EXPECT_FALSE(error.empty());
}

TEST(RunLine, WhatALineMeansInAFolder) {
    TTempDir dir;
    WriteFile(dir / "my prog", "#!/bin/sh\n");
    ::chmod((dir / "my prog").c_str(), 0755);
    WriteFile(dir / "tool", "#!/bin/sh\n");
    ::chmod((dir / "tool").c_str(), 0755);
    ::mkdir((dir / "sub dir").c_str(), 0755);
    struct TCase {
        std::string Line;
        TKvRunLineKind Kind;
        std::string Program;
        std::vector<std::string> Args;
    } cases[] = {
        {"   ", rkNothing, "", {}},
        {" my prog ", rkFile, dir / "my prog", {}},
        {"sub dir", rkFile, dir / "sub dir", {}},
        {"'my prog' -a 'b c'", rkFile, dir / "my prog", {"-a", "b c"}},
        {"./tool x", rkFile, dir / "tool", {"x"}},
        {dir / "tool", rkFile, dir / "tool", {}},
        {"tool $HOME", rkShell, "", {}},
        {"tool x; ls", rkShell, "", {}},
        {"tool *.txt", rkShell, "", {}},
        {"ls -l", rkShell, "", {}},
        {"'no such' x", rkShell, "", {}},
    };
    for (const auto& c : cases) {
        TKvRunLine run = ParseRunLine(dir.Path(), c.Line);
        EXPECT_EQ(run.Kind, c.Kind) << c.Line;
        EXPECT_EQ(run.Program, c.Program) << c.Line;
        EXPECT_EQ(run.Args, c.Args) << c.Line;
    }
    EXPECT_EQ(RunLineArguments(ParseRunLine(dir.Path(), "ls -l | wc")),
              (std::vector<std::string>{"/bin/sh", "-c", "ls -l | wc"}));
    EXPECT_EQ(RunCommandLine(dir.Path(), " \t "), "Nothing to run");
}

TEST(Running, ExecutableMeansElfOrScriptThatMayBeRun) {
    TTempDir dir;
    WriteFile(dir / "script", "#!/bin/sh\n");
    WriteFile(dir / "text", "echo hi\n");
    WriteFile(dir / "noexec", "#!/bin/sh\n");
    ::chmod((dir / "script").c_str(), 0755);
    ::chmod((dir / "text").c_str(), 0755);
    ::symlink("/bin/true", (dir / "link").c_str());
    EXPECT_TRUE(IsExecutable(dir / "script"));
    EXPECT_TRUE(IsExecutable(dir / "link"));
    EXPECT_FALSE(IsExecutable(dir / "text"));
    EXPECT_FALSE(IsExecutable(dir / "noexec"));
    EXPECT_FALSE(IsExecutable(dir.Path()));
    EXPECT_FALSE(IsExecutable(dir / "missing"));
}

// Every way of starting a program, with names no command line survives, ends at a stub that
// records the vector and the folder it got.
class StubbedRun : public ::testing::Test {
protected:
    TStubPrograms Stubs;
};

TEST_F(StubbedRun, RunFileGivesEveryArgumentIntact) {
    for (const auto& name : KHardNames) {
        TTempDir dir;
        std::string file = Stubs.MakeStub(dir.Path(), name);
        std::string params = ShellWord(name) + " plain \"" + "dq $x" + "\"";
        ASSERT_EQ(RunFile(file, params, false, ""), "") << name;
        TStubRun run = Stubs.WaitFor(name);
        EXPECT_EQ(run.Args, (std::vector<std::string>{name, "plain", "dq $x"})) << name;
        EXPECT_EQ(run.Folder, dir.Path()) << name;
    }
}

TEST_F(StubbedRun, DocumentsOpenWithXdgOpenAndProgramsTakeTheFile) {
    TTempDir dir;
    Stubs.MakeStub(Stubs.Bin(), "xdg-open");
    Stubs.MakeStub(Stubs.Bin(), "my editor");
    std::string doc = dir / "it's a \"doc\" $1.txt";
    WriteFile(doc, "text");
    ASSERT_EQ(RunFile(doc, "ignored", false, ""), "");
    TStubRun open = Stubs.WaitFor("xdg-open");
    EXPECT_EQ(open.Args, std::vector<std::string>{doc});
    EXPECT_EQ(open.Folder, dir.Path());

    ASSERT_EQ(RunFile(doc, "-n 'two words'", false, Stubs.Bin() + "/my editor"), "");
    EXPECT_EQ(Stubs.WaitFor("my editor").Args, (std::vector<std::string>{doc, "-n", "two words"}));
    ASSERT_EQ(OpenWith(Stubs.Bin() + "/my editor", doc), "");
    EXPECT_EQ(Stubs.WaitFor("my editor").Args, std::vector<std::string>{doc});

    std::string error = RunFile(doc, "'open", false, "");
    EXPECT_NE(error.find("quote is not closed"), std::string::npos) << error;
    EXPECT_NE(OpenWith(dir / "no such program", doc).find(": No such file or directory"), std::string::npos);
}

TEST_F(StubbedRun, AdministratorRunsGoThroughPkexecAndADeclinedPasswordIsNoError) {
    TTempDir dir;
    std::string file = Stubs.MakeStub(dir.Path(), "tool `x`");
    std::mutex lock;
    std::vector<std::string> late;
    auto onLate = [&](const std::string& AMessage) {
        std::lock_guard guard(lock);
        late.push_back(AMessage);
    };
    Stubs.MakeStub(Stubs.Bin(), "pkexec", KPkexecDismissed);
    ASSERT_EQ(RunFile(file, "'a b' $c", true, "", onLate), "");
    TStubRun run = Stubs.WaitFor("pkexec");
    EXPECT_EQ(run.Args, (std::vector<std::string>{file, "a b", "$c"}));
    EXPECT_EQ(run.Folder, dir.Path());

    Stubs.MakeStub(Stubs.Bin(), "pkexec", KPkexecRefused);
    ASSERT_EQ(RunFile(file, "", true, "", onLate), "");
    Stubs.WaitFor("pkexec");
    auto deadline = std::chrono::steady_clock::now() + 10s;
    for (;;) {
        {
            std::lock_guard guard(lock);
            if (!late.empty() || std::chrono::steady_clock::now() > deadline)
                break;
        }
        std::this_thread::sleep_for(10ms);
    }
    std::lock_guard guard(lock);
    // Only the refusal speaks; the dismissed dialog before it said nothing.
    ASSERT_EQ(late.size(), 1u);
    EXPECT_EQ(late[0], file + ": the administrator's rights were not given");
}

TEST_F(StubbedRun, RunBarRunsTypedLinesThroughShAndNamedFilesDirectly) {
    TTempDir dir;
    Stubs.MakeStub(Stubs.Bin(), "stub");
    ASSERT_EQ(RunCommandLine(dir.Path(), "stub \"$KV_STUB_DIR\" 'x y' | cat"), "");
    TStubRun run = Stubs.WaitFor("stub");
    EXPECT_EQ(run.Args, (std::vector<std::string>{Stubs.Bin(), "x y"}));
    EXPECT_EQ(run.Folder, dir.Path());

    for (const auto& name : KHardNames) {
        Stubs.MakeStub(dir.Path(), name);
        ASSERT_EQ(RunCommandLine(dir.Path(), RunBarPrefill(name) + ShellWord(name)), "") << name;
        TStubRun direct = Stubs.WaitFor(name);
        EXPECT_EQ(direct.Args, std::vector<std::string>{name}) << name;
        EXPECT_EQ(direct.Folder, dir.Path()) << name;
    }

    std::mutex lock;
    std::string late;
    ASSERT_EQ(RunCommandLine(dir.Path(), "no-such-command-here x", [&](const std::string& AMessage) {
        std::lock_guard guard(lock);
        late = AMessage;
    }), "");
    for (int i = 0; i < 1000; ++i) {
        {
            std::lock_guard guard(lock);
            if (!late.empty())
                break;
        }
        std::this_thread::sleep_for(10ms);
    }
    std::lock_guard guard(lock);
    EXPECT_EQ(late, "no-such-command-here x: command not found");
}

TEST_F(StubbedRun, LaunchersPassTheValidatorAndStartWhatRunFileStarts) {
    for (const auto& name : KHardNames) {
        TTempDir dir;
        std::string file = Stubs.MakeStub(dir.Path(), name);
        std::string text, error;
        ASSERT_TRUE(MakeDesktopLauncher(file, ShellWord(name) + " 100%", false, "", "", text, error)) << error;
        std::string launcher = dir / "launcher.desktop";
        ASSERT_EQ(WriteLauncherFile(launcher, text), "");
        struct stat st {};
        ASSERT_EQ(::stat(launcher.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0755u);
        int code = -1;
        std::string out = RunCommand("desktop-file-validate " + ShellWord(launcher) + " 2>&1", &code);
        EXPECT_EQ(code, 0) << name << "\n" << out << "\n" << text;
        // GLib's own reading of the Exec line starts the same vector as RunFile. GLib looks for
        // the program under its escaped name, so one with "%" in its path never starts there.
        if (name.find('%') != std::string::npos)
            continue;
        RunCommand("cd / && gio launch " + ShellWord(launcher) + " >/dev/null 2>&1", &code);
        ASSERT_EQ(code, 0) << name << "\n" << text;
        TStubRun run = Stubs.WaitFor(name);
        EXPECT_EQ(run.Args, (std::vector<std::string>{name, "100%"})) << name << "\n" << text;
        EXPECT_EQ(run.Folder, dir.Path()) << name;
    }
    TTempDir dir;
    std::string program = Stubs.MakeStub(dir.Path(), "a b");
    std::string text, error;
    ASSERT_TRUE(MakeDesktopLauncher(program, "-x", true, "", "Run it", text, error));
    EXPECT_NE(text.find("\nExec=pkexec \"" + program + "\" -x\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\nName=Run it\n"), std::string::npos) << text;
    EXPECT_FALSE(MakeDesktopLauncher("/opt/\xff", "", false, "", "", text, error));
}

TEST(Launchers, FileNames) {
    struct TCase {
        std::string In, Out;
    } cases[] = {
        {"Run me", "Run me.desktop"},       {"  a:b*c?  ", "abc.desktop"},
        {"dots...", "dots.desktop"},        {"X.DESKTOP", "X.DESKTOP"},
        {"\\/:*?\"<>|", ""},                {"a/b\tc", "abc.desktop"},
        {" . ", ""},                        {"Grüße", "Grüße.desktop"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(LauncherFileName(c.In), c.Out) << c.In;
}

TEST(ClipboardFormats, FilesRoundTripByteForByte) {
    std::vector<std::string> paths;
    for (const auto& name : KHardNames)
        paths.push_back("/tmp/dir with blank/" + name);
    paths.push_back("/tmp/not-utf8-\xff\xfe");
    paths.push_back("/");
    std::string uris = UriListText(paths);
    EXPECT_EQ(uris.find('\n'), uris.find("\r\n") + 1);
    EXPECT_EQ(UriListText({"/a b/%"}), "file:///a%20b/%25\r\n");
    std::vector<std::string> back;
    ASSERT_TRUE(ParseUriList(uris, back));
    EXPECT_EQ(back, paths);
    bool move = false;
    ASSERT_TRUE(ParseGnomeCopiedFiles(GnomeCopiedFilesText(paths, true), back, move));
    EXPECT_EQ(back, paths);
    EXPECT_TRUE(move);
    ASSERT_TRUE(ParseGnomeCopiedFiles("copy\nfile:///x\n", back, move));
    EXPECT_FALSE(move);
    EXPECT_EQ(GnomeCopiedFilesText({"/x"}, false), "copy\nfile:///x");
}

TEST(ClipboardFormats, OtherProgramsLists) {
    char host[256] = {};
    ::gethostname(host, sizeof host - 1);
    struct TCase {
        std::string Text;
        bool Ok;
        std::vector<std::string> Paths;
    } cases[] = {
        {"# comment\r\nfile:///a%20b\r\nfile://localhost/c\r\n\r\n", true, {"/a b", "/c"}},
        {"file://" + std::string(host) + "/d/", true, {"/d"}},
        {"file:///a\nhttp://example.com/x\n", false, {}},
        {"file://otherhost/a\n", false, {}},
        {"file:///a%00b\n", false, {}},
        {"", false, {}},
        {"sftp://host/a\n", false, {}},
    };
    for (const auto& c : cases) {
        std::vector<std::string> paths;
        EXPECT_EQ(ParseUriList(c.Text, paths), c.Ok) << c.Text;
        EXPECT_EQ(paths, c.Paths) << c.Text;
    }
    std::vector<std::string> paths;
    bool move = true;
    EXPECT_FALSE(ParseGnomeCopiedFiles("link\nfile:///a", paths, move));
    EXPECT_FALSE(ParseGnomeCopiedFiles("cut\n", paths, move));
}

TEST(ClipboardFormats, TextCountsOnlyWhenEveryLineIsAFile) {
    TTempDir dir;
    WriteFile(dir / "a b", "");
    ::mkdir((dir / "c").c_str(), 0755);
    std::vector<std::string> paths;
    ASSERT_TRUE(ParseClipboardTextFiles("\"" + dir / "a b" + "\"\r\n\n" + LocalFileUrl(dir / "c") + "\n", paths));
    EXPECT_EQ(paths, (std::vector<std::string>{dir / "a b", dir / "c"}));
    EXPECT_FALSE(ParseClipboardTextFiles(dir / "a b" + "\n" + dir / "missing", paths));
    EXPECT_TRUE(paths.empty());
    EXPECT_FALSE(ParseClipboardTextFiles("hello world", paths));
}

TEST(Paste, GroupsByExactFolderAndSkipsWhatCannotBeCopied) {
    TTempDir dir;
    for (const char* folder : {"A", "a", "dest"})
        ::mkdir((dir / folder).c_str(), 0755);
    WriteFile(dir / "A/one", "1");
    WriteFile(dir / "a/two", "2");
    WriteFile(dir / "A/three", "3");
    WriteFile(dir / "dest/here", "h");
    int skipped = 0;
    auto groups = GroupPastePaths(
        {dir / "A/one", dir / "a/two", dir / "A/three", dir / "A/gone", dir / "dest/here", "/"}, dir / "dest", skipped);
    ASSERT_EQ(groups.size(), 2u);
    EXPECT_EQ(groups[0].Folder, dir / "A");
    EXPECT_EQ(groups[0].Names, (std::vector<std::string>{"one", "three"}));
    EXPECT_EQ(groups[1].Folder, dir / "a");
    EXPECT_EQ(groups[1].Names, std::vector<std::string>{"two"});
    EXPECT_EQ(skipped, 3);
}

} // namespace
