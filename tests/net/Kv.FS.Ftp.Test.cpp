#include "Kv.FS.Ftp.h"

#include <chrono>
#include <future>
#include <gtest/gtest.h>
#include <thread>

#include "KvListener.h"

namespace kv {
namespace {

// Path rules need no server: the file system connects only when an operation needs a client.
TEST(FtpFs, PathsAndIdentity) {
    TKvConnector conn = NewConnector();
    conn.Name = "Work";
    conn.Kind = ckFtpsImplicit;
    conn.Host = "Files.Example.COM";
    conn.Port = 990;
    conn.User = "Alice";
    auto fs = std::make_shared<TKvFtpFileSystem>(conn, "secret", nullptr, false);
    EXPECT_EQ(fs->Id(), "ftps-implicit:alice@files.example.com:990");
    EXPECT_EQ(fs->DisplayPrefix(), "Work:");
    EXPECT_FALSE(fs->ReadOnly());
    EXPECT_EQ(fs->FreeSpace("/"), -1);
    EXPECT_FALSE(fs->CanRecycle("/a"));
    EXPECT_THROW(fs->Recycle("/a"), EKvFsError);

    const std::pair<const char*, const char*> normalized[] = {
        {"", "/"},          {"/", "/"},         {"a/b", "/a/b"},
        {"/a//b/", "/a/b"}, {"\\a\\b", "/\\a\\b"}, {"/a/./b/../c", "/a/c"},
        {"/../..", "/"},
    };
    for (const auto& [in, out] : normalized)
        EXPECT_EQ(fs->Normalize(in), out) << in;
    EXPECT_EQ(fs->Resolve("/home/u", "docs/x"), "/home/u/docs/x");
    EXPECT_EQ(fs->Resolve("/home/u", "../v"), "/home/v");
    EXPECT_EQ(fs->Resolve("/home/u", "/etc"), "/etc");
    // "\\" is part of a name on a server.
    EXPECT_EQ(fs->Resolve("/home/u", "\\etc"), "/home/u/\\etc");
    EXPECT_EQ(fs->NameOf("/d/a\\b.txt"), "a\\b.txt");
    EXPECT_EQ(fs->Join("/", "a"), "/a");
    EXPECT_EQ(fs->Join("/a", "b c"), "/a/b c");
    EXPECT_EQ(fs->ParentOf("/a/b"), "/a");
    EXPECT_EQ(fs->ParentOf("/a"), "/");
    EXPECT_EQ(fs->ParentOf("/"), "");
    EXPECT_EQ(fs->NameOf("/a/b"), "b");
    EXPECT_EQ(fs->NameOf("/"), "");
    EXPECT_TRUE(fs->IsRoot("/./"));
    EXPECT_FALSE(fs->IsRoot("/a"));
    EXPECT_TRUE(fs->SamePath("/a/b/", "a//b"));
    EXPECT_FALSE(fs->SamePath("/A", "/a"));
    TKvFileEntry root;
    EXPECT_TRUE(fs->Stat("/", root));
    EXPECT_TRUE(root.IsDir);
}

// Implicit FTPS to a server that accepts and stays silent: cancelling the connect ends the
// TLS handshake at once instead of after the 30-second limit.
TEST(FtpFs, CancelEndsAStalledConnect) {
    test::TListener silent;
    TKvConnector conn = NewConnector();
    conn.Kind = ckFtpsImplicit;
    conn.Host = "127.0.0.1";
    conn.Port = silent.Port();
    conn.User = "u";
    conn.Secret = "p";
    TKvCancelToken token;
    auto opening = std::async(std::launch::async, [&] { OpenFtp(conn, nullptr, token); });
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    token.Cancel();
    ASSERT_EQ(opening.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_THROW(opening.get(), EKvCancelled);
}

} // namespace
} // namespace kv
