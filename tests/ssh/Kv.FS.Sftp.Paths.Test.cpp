// What the SFTP file system does without a server: paths, entries, names, key files.
#include <gtest/gtest.h>

#include "Kv.FS.Sftp.h"
#include "Kv.Libssh2.h"
#include "KvTestSupport.h"

namespace kv {
namespace {

TKvConnector Conn() {
    TKvConnector conn;
    conn.Name = "Build box";
    conn.Host = "Example.COM";
    conn.Port = 2222;
    conn.User = "Ann";
    return conn;
}

// Path rules need no session.
TKvSftpFileSystem& PathFs() {
    static auto fs = std::make_shared<TKvSftpFileSystem>(nullptr, Conn());
    return *fs;
}

TEST(SftpPaths, Normalize) {
    auto& fs = PathFs();
    const std::pair<const char*, const char*> cases[] = {
        // "\" is part of a name on a server, never a separator.
        {"a\\b/./c/../d//", "/a\\b/d"},
        {"../..", "/"},
        {"", "/"},
        {"/", "/"},
        {"//x//y/", "/x/y"},
        {"/a/b/../../..", "/"},
        {"/ä ö/ü", "/ä ö/ü"},
    };
    for (const auto& [input, expected] : cases)
        EXPECT_EQ(fs.Normalize(input), expected) << input;
}

TEST(SftpPaths, ResolveJoinParentName) {
    auto& fs = PathFs();
    EXPECT_EQ(fs.Resolve("/home/ann", "src/../doc"), "/home/ann/doc");
    EXPECT_EQ(fs.Resolve("/home/ann", "/etc"), "/etc");
    EXPECT_EQ(fs.Resolve("/home/ann", "\\etc\\x"), "/home/ann/\\etc\\x");
    EXPECT_EQ(fs.NameOf("/a\\b.txt"), "a\\b.txt");
    EXPECT_EQ(fs.ParentOf("/d/a\\b.txt"), "/d");
    EXPECT_EQ(fs.Join("/", "a"), "/a");
    EXPECT_EQ(fs.Join("/a", "b"), "/a/b");
    EXPECT_EQ(fs.Join("/a/", "b"), "/a/b");
    EXPECT_EQ(fs.ParentOf("/"), "");
    EXPECT_EQ(fs.ParentOf("/a"), "/");
    EXPECT_EQ(fs.ParentOf("/a/b/"), "/a");
    EXPECT_EQ(fs.NameOf("/a/b"), "b");
    EXPECT_EQ(fs.NameOf("/"), "");
    EXPECT_TRUE(fs.IsRoot("/./"));
    EXPECT_FALSE(fs.IsRoot("/a"));
    EXPECT_TRUE(fs.SamePath("/a/b/", "/a//b"));
    EXPECT_FALSE(fs.SamePath("/a/B", "/a/b"));
}

TEST(SftpPaths, IdentityAndFixedAnswers) {
    auto& fs = PathFs();
    EXPECT_EQ(fs.Id(), "sftp:ann@example.com:2222");
    EXPECT_EQ(fs.DisplayPrefix(), "Build box:");
    EXPECT_FALSE(fs.ReadOnly());
    EXPECT_FALSE(fs.CanRecycle("/a"));
    EXPECT_TRUE(fs.CanRenameDirect("/a", "/b"));
    EXPECT_THROW(fs.Recycle("/a"), EKvFsError);
}

TEST(SftpEntries, FromAttributes) {
    LIBSSH2_SFTP_ATTRIBUTES attrs{};
    attrs.flags =
        LIBSSH2_SFTP_ATTR_PERMISSIONS | LIBSSH2_SFTP_ATTR_SIZE | LIBSSH2_SFTP_ATTR_ACMODTIME;
    attrs.permissions = 0100444;
    attrs.filesize = 1234;
    attrs.mtime = 1700000000;
    TKvFileEntry file = SftpEntryOf(".profile", attrs);
    EXPECT_TRUE(file.IsHidden);
    EXPECT_TRUE(file.IsReadOnly);
    EXPECT_FALSE(file.IsDir);
    EXPECT_EQ(file.Size, 1234);
    EXPECT_EQ(file.Modified, DateTimeFromUnix(1700000000));

    attrs.permissions = 040755;
    TKvFileEntry dir = SftpEntryOf("d", attrs);
    EXPECT_TRUE(dir.IsDir);
    EXPECT_EQ(dir.Size, 0);
    EXPECT_FALSE(dir.IsReadOnly);

    attrs.permissions = 0120777;
    attrs.filesize = ~0ull;
    TKvFileEntry link = SftpEntryOf("l", attrs);
    EXPECT_TRUE(link.IsLink);
    EXPECT_EQ(link.Size, INT64_MAX);

    LIBSSH2_SFTP_ATTRIBUTES bare{};
    TKvFileEntry plain = SftpEntryOf("x", bare);
    EXPECT_FALSE(plain.IsDir || plain.IsLink || plain.IsReadOnly);
    EXPECT_EQ(plain.Modified, 0);
}

TEST(SshKeys, RsaKeysAreRecognised) {
    test::TTempDir dir;
    for (const char* type : {"rsa", "ed25519", "ecdsa"})
        test::RunCommand(std::string("ssh-keygen -q -N '' -t ") + type + " -f " + dir / type);
    EXPECT_TRUE(IsRsaKeyFile(dir / "rsa"));
    EXPECT_FALSE(IsRsaKeyFile(dir / "ed25519"));
    EXPECT_FALSE(IsRsaKeyFile(dir / "ecdsa"));
    // Without the public half, the private file tells (OpenSSH's format and the old PEM one).
    test::RunCommand("rm " + dir / "rsa.pub " + dir / "ed25519.pub");
    EXPECT_TRUE(IsRsaKeyFile(dir / "rsa"));
    EXPECT_FALSE(IsRsaKeyFile(dir / "ed25519"));
    test::RunCommand("ssh-keygen -q -N '' -t rsa -m PEM -f " + dir / "pem && rm " +
                     dir / "pem.pub");
    EXPECT_TRUE(IsRsaKeyFile(dir / "pem"));
    EXPECT_FALSE(IsRsaKeyFile(dir / "missing"));
    EXPECT_FALSE(ReadKeyFileInfo(dir / "ed25519").Encrypted);
    test::RunCommand("ssh-keygen -q -N 'phrase' -t ed25519 -f " + dir / "locked");
    EXPECT_TRUE(ReadKeyFileInfo(dir / "locked").Encrypted);
    EXPECT_FALSE(ReadKeyFileInfo(dir / "locked").Rsa);
    test::RunCommand("ssh-keygen -q -N 'phrase' -t rsa -m PEM -f " + dir / "lockedpem");
    EXPECT_TRUE(ReadKeyFileInfo(dir / "lockedpem").Encrypted);
    EXPECT_TRUE(ReadKeyFileInfo(dir / "lockedpem").Rsa);
}

} // namespace
} // namespace kv
