#include "Kv.KnownHosts.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <thread>
#include <vector>

#include "Kv.FileUtil.h"
#include "KvTestSupport.h"

namespace kv {
namespace {

using test::TTempDir;

TEST(KnownHosts, HostKeyAndFilePath) {
    EXPECT_EQ(KnownHostKey(" Example.COM\t", 22), "[example.com]:22");
    EXPECT_EQ(KnownHostKey("::1", 2222), "[::1]:2222");
    EXPECT_EQ(KnownHostsFile(), DataFolder() + "/known_hosts.txt");
}

TEST(KnownHosts, LooksUpTheFirstLineOfHostAndType) {
    TTempDir dir;
    const std::string file = dir / "known_hosts.txt";
    test::WriteFile(file,
                    "[example.com]:22 SSH-ED25519 SHA256:first\r\n"
                    "[example.com]:22 ssh-ed25519 SHA256:second\n"
                    "\n"
                    "  \t[tabbed.org]:2222\t\tecdsa-sha2-nistp256 \t SHA256:tab extra fields\r"
                    "[short.org]:22 ssh-ed25519\n"
                    "[example.com]:22 tls-certificate AB:CD\n"
                    "[Upper.org]:22 ssh-ed25519 SHA256:upper");
    struct TCase {
        const char* Host;
        int Port;
        const char* Type;
        const char* Fingerprint;
        TKvKnownHostState State;
        const char* Stored;
    };
    const TCase cases[] = {
        {" Example.COM ", 22, "ssh-ed25519", "SHA256:first", khMatch, "SHA256:first"},
        {"example.com", 22, "ssh-ed25519", "SHA256:second", khChanged, "SHA256:first"},
        {"example.com", 22, "ssh-ed25519", "sha256:FIRST", khChanged, "SHA256:first"},
        {"example.com", 2222, "ssh-ed25519", "SHA256:first", khUnknown, ""},
        {"example.com", 22, "ssh-rsa", "SHA256:first", khUnknown, ""},
        {"example.com", 22, "TLS-Certificate", "AB:CD", khMatch, "AB:CD"},
        {"tabbed.org", 2222, "ecdsa-sha2-nistp256", "SHA256:tab", khMatch, "SHA256:tab"},
        {"short.org", 22, "ssh-ed25519", "x", khUnknown, ""},
        // The stored host key is compared exactly; a hand-written capital never matches.
        {"upper.org", 22, "ssh-ed25519", "SHA256:upper", khUnknown, ""},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(std::string(c.Host) + " " + c.Type + " " + c.Fingerprint);
        EXPECT_EQ(CheckKnownHost(file, c.Host, c.Port, c.Type, c.Fingerprint), c.State);
        EXPECT_EQ(StoredFingerprint(file, c.Host, c.Port, c.Type), c.Stored);
    }
    EXPECT_EQ(CheckKnownHost(dir / "missing.txt", "example.com", 22, "ssh-ed25519", "x"),
              khUnknown);
    EXPECT_EQ(CheckKnownHost(dir.Path(), "example.com", 22, "ssh-ed25519", "x"), khUnknown)
        << "a folder reads as empty";
}

TEST(KnownHosts, AddsALineAndKeepsTheOthers) {
    TTempDir dir;
    const std::string file = dir / "sub/known_hosts.txt";
    ASSERT_TRUE(AddKnownHost(file, " Example.COM ", 22, "ssh-ed25519", "SHA256:abc"));
    EXPECT_EQ(test::ReadFile(file), "[example.com]:22 ssh-ed25519 SHA256:abc\r\n");
    EXPECT_EQ(CheckKnownHost(file, "example.com", 22, "ssh-ed25519", "SHA256:abc"), khMatch);

    // Lines kept as they are, breaks made CR LF, a byte-order mark dropped.
    test::WriteFile(file, "\xEF\xBB\xBF[a.org]:22 ssh-ed25519 SHA256:a\n  odd\tline  \r\rlast");
    EXPECT_EQ(CheckKnownHost(file, "a.org", 22, "ssh-ed25519", "SHA256:a"), khMatch);
    ASSERT_TRUE(AddKnownHost(file, "b.org", 990, "tls-certificate", "AA:BB"));
    EXPECT_EQ(test::ReadFile(file), "[a.org]:22 ssh-ed25519 SHA256:a\r\n  odd\tline  "
                                    "\r\n\r\nlast\r\n[b.org]:990 tls-certificate AA:BB\r\n");

    // A new key type for a known host is another line, not a change.
    ASSERT_TRUE(AddKnownHost(file, "a.org", 22, "ecdsa-sha2-nistp256", "SHA256:e"));
    EXPECT_EQ(CheckKnownHost(file, "a.org", 22, "ssh-ed25519", "SHA256:a"), khMatch);
    EXPECT_EQ(CheckKnownHost(file, "a.org", 22, "ecdsa-sha2-nistp256", "SHA256:e"), khMatch);
}

TEST(KnownHosts, ANewFileIsPrivateAndAnOldOneKeepsItsMode) {
    mode_t before = ::umask(022);
    TTempDir dir;
    const std::string file = dir / "known_hosts.txt";
    auto modeOf = [&] {
        struct stat st {};
        ::stat(file.c_str(), &st);
        return st.st_mode & 07777;
    };
    ASSERT_TRUE(AddKnownHost(file, "a.org", 22, "ssh-ed25519", "SHA256:a"));
    EXPECT_EQ(modeOf(), 0600u);
    ::chmod(file.c_str(), 0644);
    ASSERT_TRUE(AddKnownHost(file, "b.org", 22, "ssh-ed25519", "SHA256:b"));
    EXPECT_EQ(modeOf(), 0644u) << "the owner chose to share it";
    ::umask(before);
}

TEST(KnownHosts, RefusesFieldsThatWouldWriteAnotherLine) {
    TTempDir dir;
    const std::string file = dir / "known_hosts.txt";
    // A host name from an imported connection tries to plant trust for another server.
    const std::string planted = "x\r\n[bank.example]:22 ssh-ed25519 SHA256:attacker";
    struct TCase {
        std::string Host;
        int Port;
        std::string Type, Fingerprint;
    };
    const TCase cases[] = {
        {planted, 22, "ssh-ed25519", "SHA256:x"},
        {"a b", 22, "ssh-ed25519", "SHA256:x"},
        {"h", 22, "ssh-ed25519", "SHA256:x\n[bank.example]:22 ssh-ed25519 SHA256:attacker"},
        {"h", 22, "ssh ed25519", "SHA256:x"},
        {"h", 22, "", "SHA256:x"},
        {"h", 22, "ssh-ed25519", ""},
        {"  ", 22, "ssh-ed25519", "SHA256:x"},
        {"h", 0, "ssh-ed25519", "SHA256:x"},
        {"h", 65536, "ssh-ed25519", "SHA256:x"},
    };
    for (const TCase& c : cases) {
        EXPECT_FALSE(AddKnownHost(file, c.Host, c.Port, c.Type, c.Fingerprint))
            << c.Host << " " << c.Fingerprint;
        EXPECT_FALSE(test::Exists(file));
    }
    EXPECT_EQ(CheckKnownHost(file, "bank.example", 22, "ssh-ed25519", "SHA256:attacker"),
              khUnknown);
}

TEST(KnownHosts, ConcurrentAddsLoseNoLine) {
    TTempDir dir;
    const std::string file = dir / "known_hosts.txt";
    constexpr int threads = 4, each = 25;
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            for (int i = 0; i < each; ++i)
                AddKnownHost(file, "host" + std::to_string(t), 1000 + i, "ssh-ed25519",
                             "SHA256:" + std::to_string(i));
        });
    }
    for (std::thread& worker : workers)
        worker.join();
    for (int t = 0; t < threads; ++t) {
        for (int i = 0; i < each; ++i)
            EXPECT_EQ(CheckKnownHost(file, "host" + std::to_string(t), 1000 + i, "ssh-ed25519",
                                     "SHA256:" + std::to_string(i)),
                      khMatch);
    }
}

TEST(KnownHosts, AFailedWriteIsReportedAndChangesNothing) {
    TTempDir dir;
    const std::string file = dir / "known_hosts.txt";
    ASSERT_TRUE(AddKnownHost(file, "a.org", 22, "ssh-ed25519", "SHA256:a"));
    // The temporary file's place is taken by a folder, so the save cannot happen.
    ASSERT_EQ(::mkdir((file + ".tmp").c_str(), 0700), 0);
    EXPECT_FALSE(AddKnownHost(file, "b.org", 22, "ssh-ed25519", "SHA256:b"));
    EXPECT_EQ(test::ReadFile(file), "[a.org]:22 ssh-ed25519 SHA256:a\r\n");
}

} // namespace
} // namespace kv
