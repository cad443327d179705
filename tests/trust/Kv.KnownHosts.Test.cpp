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

    // The bytes already there stay as they are, byte-order mark and line breaks included.
    test::WriteFile(file, "\xEF\xBB\xBF[a.org]:22 ssh-ed25519 SHA256:a\n  odd\tline  \r\rlast");
    EXPECT_EQ(CheckKnownHost(file, "a.org", 22, "ssh-ed25519", "SHA256:a"), khMatch);
    ASSERT_TRUE(AddKnownHost(file, "b.org", 990, "tls-certificate", "AA:BB"));
    EXPECT_EQ(test::ReadFile(file), "\xEF\xBB\xBF[a.org]:22 ssh-ed25519 SHA256:a\n  odd\tline  "
                                    "\r\rlast\r\n[b.org]:990 tls-certificate AA:BB\r\n");

    // Each key type of a host is a line of its own, and the store lists the host's types (the
    // session refuses a host known by one type that shows another).
    using TTypes = std::vector<std::string>;
    EXPECT_EQ(KnownHostKeyTypes(file, "A.org", 22), TTypes{"ssh-ed25519"});
    ASSERT_TRUE(AddKnownHost(file, "a.org", 22, "ecdsa-sha2-nistp256", "SHA256:e"));
    ASSERT_TRUE(AddKnownHost(file, "a.org", 22, "SSH-ED25519", "SHA256:dup"));
    EXPECT_EQ(CheckKnownHost(file, "a.org", 22, "ssh-ed25519", "SHA256:a"), khMatch);
    EXPECT_EQ(CheckKnownHost(file, "a.org", 22, "ecdsa-sha2-nistp256", "SHA256:e"), khMatch);
    EXPECT_EQ(KnownHostKeyTypes(file, "a.org", 22), (TTypes{"ssh-ed25519", "ecdsa-sha2-nistp256"}));
    EXPECT_EQ(KnownHostKeyTypes(file, "b.org", 990), TTypes{"tls-certificate"});
    EXPECT_EQ(KnownHostKeyTypes(file, "a.org", 2222), TTypes{});
    EXPECT_EQ(KnownHostKeyTypes(dir / "missing.txt", "a.org", 22), TTypes{});
}

// Adding a host appends its line to the bytes that are there, so no other host's answer can
// change: a file that an add rewrote used to lose a byte-order mark and make a host known that
// nobody had been asked about.
TEST(KnownHosts, AddingAHostChangesNoOtherAnswer) {
    const std::string longLine = "[long.org]:22 ssh-ed25519 SHA256:" + std::string(200000, 'L');
    struct TCase {
        const char* Name;
        std::string Text;
        // What example.com:22 ssh-ed25519 reads as, before and after.
        const char* Example;
        // A line end goes in front of the new line.
        bool NeedsBreak;
    };
    const TCase cases[] = {
        {"two byte-order marks, lone CR",
         "\xEF\xBB\xBF\xEF\xBB\xBF[example.com]:22 ssh-ed25519 SHA256:abc\r"
         "[a.org]:22 ssh-ed25519 SHA256:a\r",
         "", false},
        {"one byte-order mark", "\xEF\xBB\xBF[example.com]:22 ssh-ed25519 SHA256:abc\n",
         "SHA256:abc", false},
        {"byte-order mark after a line", "\n\xEF\xBB\xBF[example.com]:22 ssh-ed25519 SHA256:abc\n",
         "", false},
        {"CR LF", "[a.org]:22 ssh-ed25519 SHA256:a\r\n[example.com]:22 ssh-ed25519 SHA256:abc\r\n",
         "SHA256:abc", false},
        {"lone CR", "[a.org]:22 ssh-ed25519 SHA256:a\r[example.com]:22 ssh-ed25519 SHA256:abc\r",
         "SHA256:abc", false},
        {"no final line end", "[example.com]:22 ssh-ed25519 SHA256:abc", "SHA256:abc", true},
        {"ends in a half line", "[a.org]:22 ssh-ed25519 SHA256:a\n[example.com]:22", "", true},
        {"blank and comment lines",
         "# [example.com]:22 ssh-ed25519 SHA256:comment\n\n \t \r\n"
         "[example.com]:22 ssh-ed25519 SHA256:abc\n\n",
         "SHA256:abc", false},
        {"a very long line", longLine + "\r\n[example.com]:22 ssh-ed25519 SHA256:abc", "SHA256:abc",
         true},
        {"only a byte-order mark", "\xEF\xBB\xBF", "", true},
        {"empty", "", "", false},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        TTempDir dir;
        const std::string file = dir / "known_hosts.txt";
        test::WriteFile(file, c.Text);
        struct TProbe {
            const char* Host;
            const char* Type;
        };
        const TProbe probes[] = {{"example.com", "ssh-ed25519"},
                                 {"a.org", "ssh-ed25519"},
                                 {"long.org", "ssh-ed25519"},
                                 {"new.example", "ssh-ed25519"}};
        std::vector<std::string> before;
        for (const TProbe& p : probes)
            before.push_back(StoredFingerprint(file, p.Host, 22, p.Type));
        EXPECT_EQ(before[0], c.Example);

        ASSERT_TRUE(AddKnownHost(file, "New.Example", 22, "ssh-ed25519", "SHA256:new"));
        EXPECT_EQ(test::ReadFile(file), c.Text + (c.NeedsBreak ? "\r\n" : "") +
                                            "[new.example]:22 ssh-ed25519 SHA256:new\r\n");
        for (size_t i = 0; i + 1 < std::size(probes); ++i)
            EXPECT_EQ(StoredFingerprint(file, probes[i].Host, 22, probes[i].Type), before[i])
                << probes[i].Host;
        EXPECT_EQ(CheckKnownHost(file, "new.example", 22, "ssh-ed25519", "SHA256:new"), khMatch);
    }
}

// A file that is there but cannot be read is not empty: replacing it would lose every host.
TEST(KnownHosts, AFileThatCannotBeReadIsNotReplaced) {
    TTempDir dir;
    const std::string file = dir / "known_hosts.txt";
    ASSERT_TRUE(AddKnownHost(file, "a.org", 22, "ssh-ed25519", "SHA256:a"));
    ::chmod(file.c_str(), 0);
    ::chmod(dir.Path().c_str(), 0777);
    EXPECT_EQ(test::RunAsNobody([&] {
                  return AddKnownHost(file, "b.org", 22, "ssh-ed25519", "SHA256:b") ? 1 : 0;
              }),
              0);
    EXPECT_EQ(test::ReadFile(file), "[a.org]:22 ssh-ed25519 SHA256:a\r\n");
    EXPECT_FALSE(AddKnownHost(dir.Path(), "b.org", 22, "ssh-ed25519", "SHA256:b"))
        << "a folder in the file's place";
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
    // A folder nobody may write to, as an ordinary user (root writes anywhere): the file can be
    // read, but no save can happen.
    ::chmod(file.c_str(), 0644);
    ::chmod(dir.Path().c_str(), 0555);
    int code = test::RunAsNobody(
        [&] { return AddKnownHost(file, "b.org", 22, "ssh-ed25519", "SHA256:b") ? 1 : 0; });
    ::chmod(dir.Path().c_str(), 0755);
    EXPECT_EQ(code, 0);
    EXPECT_EQ(test::ReadFile(file), "[a.org]:22 ssh-ed25519 SHA256:a\r\n");
    EXPECT_EQ(test::RunCommand("ls -A '" + dir.Path() + "'"), "known_hosts.txt\n");
}

} // namespace
} // namespace kv
