// The command lines of the terminal's file actions: every name goes in as one shell word,
// whatever it holds, and the answers are read strictly.
#include <gtest/gtest.h>

#include "Kv.Shell.Commands.h"

using namespace kv;

TEST(ShellCommands, NamesGoInAsOneShellWord) {
    struct TCase {
        std::string Built, Expected;
    };
    const TCase cases[] = {
        {ChmodCommand(0755, "/srv/a b"), "chmod 755 -- '/srv/a b'"},
        {ChmodCommand(0100644, "/x"), "chmod 644 -- /x"}, // the file type bits are not sent
        {ChmodCommand(0, "-rf"), "chmod 0 -- -rf"},
        {OwnerQueryCommand("/it's"), "stat -c '%U %G' -- '/it'\\''s'"},
        {ChownCommand("web:www data", false, "/d/$(reboot)"),
         "chown 'web:www data' -- '/d/$(reboot)'"},
        {ChownCommand("root", true, "/d"), "chown -R root -- /d"},
        {RunAsCommand("", "/srv/run me.sh", "run me.sh", true, "", false), "'/srv/run me.sh'"},
        {RunAsCommand("less", "/srv/a;b", "a;b", true, "-N", true), "sudo less 'a;b' -N"},
        {RunAsCommand("less", "/srv/a;b", "a;b", false, "", false), "less '/srv/a;b'"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.Built, c.Expected);
    EXPECT_EQ(OwnerSpec("web", ""), "web");
    EXPECT_EQ(OwnerSpec("web", "staff"), "web:staff");
    EXPECT_EQ(OwnerSpec("", "staff"), ":staff");
}

TEST(ShellCommands, OwnerAnswerIsOneLineOfTwoNamesOrNothing) {
    struct TCase {
        int Code;
        std::string Output;
        bool Read;
        std::string Owner, Group;
    };
    const TCase cases[] = {
        {0, "root wheel\n", true, "root", "wheel"},
        {0, "john Domain Users\n", true, "john", "Domain Users"},
        {1, "root wheel\n", false, "", ""},
        {0, "stat: cannot stat\nx y\n", false, "", ""},
        {0, "", false, "", ""},
        {0, "lonely\n", false, "", ""},
    };
    for (const auto& c : cases) {
        std::string owner = "stale", group = "stale";
        EXPECT_EQ(ParseOwnerAnswer(c.Code, c.Output, owner, group), c.Read) << c.Output;
        EXPECT_EQ(owner, c.Owner) << c.Output;
        EXPECT_EQ(group, c.Group) << c.Output;
    }
}

TEST(ShellCommands, ChownErrorSaysWhatFailed) {
    EXPECT_EQ(ChownError(0, "ignored"), "");
    EXPECT_EQ(ChownError(1, "chown: changing ownership of 'x': Operation not permitted\n"),
              "chown: changing ownership of 'x': Operation not permitted (changing the owner "
              "usually needs root)");
    EXPECT_EQ(ChownError(2, "  \n"), "exit 2");
}
