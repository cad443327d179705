// Owners on an OpenSSH server, through its own stat and chown, and the properties of its files.
#include <gtest/gtest.h>

#include "Kv.FS.Sftp.h"
#include "Kv.FileActions.h"
#include "Kv.Shell.Quote.h"
#include "KvSshPeers.h"
#include "KvTestSupport.h"

namespace kv {
namespace {

TEST(SftpOwner, NamesAreReadAndChangedByTheServerAndRefusalsSaySo) {
    KV_REQUIRE_SSH();
    test::TSshd server;
    std::string learned, start;
    auto token = NewCancelToken();
    IKvFileSystemPtr sftp =
        OpenSftp(test::KeyConn(server.Port()), std::make_shared<test::TScriptedUi>(), *token, learned, start);
    test::TRemoteDir there;
    const std::string dir = there / "it's $x `y`";
    test::RunCommand("mkdir '" + there.Path() + "/it'\\''s $x `y`' && touch '" + there.Path() +
                     "/it'\\''s $x `y`/inner' && chown -R kvkey: '" + there.Path() + "'");
    auto* owners = dynamic_cast<IKvFileOwner*>(sftp.get());
    ASSERT_NE(owners, nullptr);
    std::string user, group;
    ASSERT_TRUE(owners->GetOwner(dir, user, group));
    EXPECT_EQ(user, "kvkey");
    EXPECT_EQ(group, "kvkey");
    EXPECT_FALSE(owners->GetOwner(there / "missing", user, group));
    EXPECT_EQ(user, "");

    try {
        owners->SetOwner(dir, "root", "", true);
        ADD_FAILURE() << "an unprivileged user gave a file away";
    } catch (const EKvFsError& e) {
        std::string message = e.what();
        EXPECT_EQ(message.rfind(dir + ": ", 0), 0u) << message;
        EXPECT_NE(message.find("(changing the owner usually needs root)"), std::string::npos) << message;
    }
    // Its own group is the user's to give, into everything inside.
    test::RunCommand("chgrp -R users '" + there.Path() + "'");
    owners->SetOwner(dir, "", "kvkey", true);
    EXPECT_EQ(test::RunCommand("stat -c '%U:%G' " + ShellQuoteIfNeeded(dir + "/inner")), "kvkey:kvkey\n");

    auto props = CollectProperties(sftp, dir + "/inner");
    std::vector<std::string> lines;
    for (const auto& prop : props)
        lines.push_back(prop.Name + "=" + prop.Value);
    EXPECT_NE(std::find(lines.begin(), lines.end(), "Owner=kvkey"), lines.end());
    EXPECT_NE(std::find(lines.begin(), lines.end(), "Size=0 bytes"), lines.end());
    EXPECT_NE(std::find(lines.begin(), lines.end(), "Permissions=rw-r--r-- (0644)"), lines.end());
}

} // namespace
} // namespace kv
