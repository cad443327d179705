// Typed cd commands, read back by real shells.
#include <gtest/gtest.h>

#include "Kv.Shell.Quote.h"
#include "KvTestSupport.h"

namespace kv {
namespace {

TEST(ShellQuote, PlainNamesStayUnquotedOnlyWhenEveryCharacterIsSafe) {
    EXPECT_EQ(ShellQuoteIfNeeded("src"), "src");
    EXPECT_EQ(ShellQuoteIfNeeded("a-b_c.d/e:f=g@h%i+j,k"), "a-b_c.d/e:f=g@h%i+j,k");
    EXPECT_EQ(ShellQuoteIfNeeded("my dir"), "'my dir'");
    EXPECT_EQ(ShellQuoteIfNeeded("it's"), "'it'\\''s'");
    EXPECT_EQ(ShellQuoteIfNeeded(""), "''");
    EXPECT_EQ(ShellQuoteIfNeeded("\xc3\xbc"), "'\xc3\xbc'");
}

// Each folder name is made, then cd'ed into by the typed command in each shell; the shell must
// land in exactly that folder.
TEST(ShellCd, EveryShellLandsInTheNamedFolder) {
    test::TTempDir base;
    const std::vector<std::string> names = {
        "plain", "my dir", "it's", "say \"hi\"", "$HOME", "`id`", "back\\slash", "-P",
        "semi;colon", "star*", "a  two  blanks", "\xc3\xbcml\xc3\xa4ut", "100%", "'", "!bang"};
    std::string mkdir = "mkdir";
    for (const auto& name : names)
        mkdir += " " + ShellQuote(base / name);
    test::RunCommand(mkdir);
    std::string missing;
    for (const char* sh : {"bash", "dash", "zsh", "mksh"}) {
        int found = 0;
        test::RunCommand(std::string("command -v ") + sh + " >/dev/null", &found);
        if (found != 0) {
            missing += std::string(" ") + sh;
            continue;
        }
        // One run of the shell for all names: each cd in a subshell, each pwd on a line.
        std::string script, expected;
        for (const auto& name : names) {
            const std::string dir = base / name;
            std::string command, error;
            ASSERT_TRUE(ShellCdCommand(dir, command, error)) << name;
            EXPECT_EQ(command.rfind("cd -- '", 0), 0u) << command;
            script += "(" + command + " && pwd || echo failed)\n";
            expected += dir + "\n";
        }
        int code = 0;
        const std::string out = test::RunCommand(std::string(sh) + " -c " + ShellQuote(script), &code);
        EXPECT_EQ(code, 0) << sh;
        EXPECT_EQ(out, expected) << sh;
    }
    // The shells that are here were checked; a missing one still shows (and fails a strict run).
    if (!missing.empty())
        GTEST_SKIP() << "shells not installed (scripts/packages.sh lists them):" << missing;
}

TEST(ShellCd, NamesWithControlCharactersAreRefusedWithAReason) {
    for (const std::string name : {"a\x03z", "a\x15z", "a\x04z", "two\nlines", "a\x7fz",
                                   "a\xc2\x9b" "1m"}) {
        std::string command, error;
        EXPECT_FALSE(ShellCdCommand("/tmp/" + name, command, error)) << name;
        EXPECT_TRUE(command.empty());
        EXPECT_NE(error.find("has control characters in its name, so it cannot be typed into the "
                             "shell"),
                  std::string::npos)
            << error;
        // The reason shows the name without the controls themselves.
        EXPECT_FALSE(HoldsControlCharacters(error)) << error;
    }
    std::string command, error;
    EXPECT_TRUE(ShellCdCommand("/tmp/\xc3\xa9t\xc3\xa9", command, error)); // é is not a C1 control
}

} // namespace
} // namespace kv
