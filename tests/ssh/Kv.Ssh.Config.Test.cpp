// The readers of the user's OpenSSH files, each checked against OpenSSH itself on the same
// files: "ssh -G" for the configuration, "ssh-keygen -F" for known hosts.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "Kv.Platform.Folders.h"
#include "Kv.Secrets.h"
#include "Kv.Ssh.Config.h"
#include "Kv.Ssh.UserKnownHosts.h"
#include "KvTestSupport.h"

namespace kv {
namespace {

std::string Shell(const std::string& AText) {
    std::string quoted = "'";
    for (char c : AText)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

struct TSshSays {
    std::string HostName, User, Proxy;
    int Port = 0;
    int AliveInterval = 0;
    std::vector<std::string> IdentityFiles;
};

// What "ssh -G" resolves for the host from this configuration file alone.
TSshSays AskSsh(const std::string& AConfig, const std::string& AHost) {
    int code = 0;
    std::string output = test::RunCommand(
        "ssh -G -F " + Shell(AConfig) + " " + Shell(AHost) + " 2>/dev/null </dev/null", &code);
    EXPECT_EQ(code, 0) << "ssh -G " << AHost;
    TSshSays says;
    for (const auto& line : test::Split(output, '\n')) {
        size_t blank = line.find(' ');
        if (blank == std::string::npos)
            continue;
        std::string key = line.substr(0, blank), value = line.substr(blank + 1);
        if (key == "hostname")
            says.HostName = value;
        else if (key == "user")
            says.User = value;
        else if (key == "port")
            says.Port = std::stoi(value);
        else if (key == "identityfile")
            says.IdentityFiles.push_back(value);
        else if (key == "serveraliveinterval")
            says.AliveInterval = std::stoi(value);
        else if (key == "proxyjump")
            says.Proxy = "ProxyJump";
        else if (key == "proxycommand")
            says.Proxy = "ProxyCommand";
    }
    return says;
}

class SshConfigFiles : public ::testing::Test {
protected:
    void SetUp() override {
        FDir = std::make_unique<test::TTempDir>();
        test::RunCommand("mkdir -p " + Shell(FDir->Path() + "/conf.d"));
    }
    std::string Path(const std::string& AName) const { return FDir->Path() + "/" + AName; }
    void Write(const std::string& AName, const std::string& AText) {
        test::WriteFile(Path(AName), AText);
    }
    std::unique_ptr<test::TTempDir> FDir;
};

TEST_F(SshConfigFiles, LookupsAgreeWithSsh) {
    // Hosts in lower case: ssh 9.2 matches patterns against the name as typed but lower-cases
    // the patterns, so a typed capital never matches; Kolvan ignores letter case on both sides.
    Write("config", R"(# A comment, then options for the hosts below.
Host web "db?" !dbz
  HostName %h.example.org
  User "alice smith"
  Port=2202
  ServerAliveInterval 15
  IdentityFile ~/.ssh/id_web
  IdentityFile "~/.ssh/my keys/%r@%h" # a comment after a value
Host web
  Port 9999
  User carol
  IdentityFile ~/.ssh/id_web_second
Host bad?
  User mallory
Host db*
  User dbadmin
  IdentityFile %d/.ssh/id_db_%u
Host zz
  Include )" + Path("never.conf") +
                        R"(
Host *
Include )" + Path("conf.d/*.conf") +
                        R"(
Host jump-*
  ProxyJump gate.example.org
Host cmd
  ProxyCommand ssh -W %h:%p gate
Host nojump
  ProxyJump none
  PORT 2600
Host *
  User everyone
  IgnoreUnknown SomeUnknownKeyword
  SomeUnknownKeyword with values
  Port 2200
  ServerAliveInterval 40
)");
    Write("never.conf", "Host *\n  User never\n  Port 1\n");
    Write("conf.d/10-a.conf", "Host inc\n  HostName 10.0.0.1\n  Port 2300\n");
    Write("conf.d/20-b.conf", "Host inc other\n  Port 2400\n  User incuser\n");

    TKvSshConfig config = TKvSshConfig::Load(Path("config"), FDir->Path());
    EXPECT_TRUE(config.Problems().empty());
    for (const char* host : {"web", "db1", "dbz", "bad1", "inc", "other", "jump-1", "cmd", "nojump",
                             "elsewhere.example.com", "10.1.2.3"}) {
        SCOPED_TRACE(host);
        TKvSshHostConfig ours = config.Lookup(host);
        TSshSays ssh = AskSsh(Path("config"), host);
        EXPECT_EQ(ours.HostName, ssh.HostName);
        EXPECT_EQ(ours.User.empty() ? LocalUserName() : ours.User, ssh.User);
        EXPECT_EQ(ours.Port == 0 ? 22 : ours.Port, ssh.Port);
        EXPECT_EQ(ours.Proxy, ssh.Proxy);
        EXPECT_EQ(ours.AliveInterval < 0 ? 0 : ours.AliveInterval, ssh.AliveInterval);
        // Without an IdentityFile ssh lists its default keys, which the agent covers here.
        if (!ours.IdentityFiles.empty())
            EXPECT_EQ(ours.IdentityFiles, ssh.IdentityFiles);
        else
            for (const auto& file : ssh.IdentityFiles)
                EXPECT_EQ(file.rfind("~/.ssh/id_", 0), 0u) << file;
    }
    EXPECT_EQ(config.Lookup("jump-1").ProxyLine, 23);
    EXPECT_EQ(config.Lookup("jump-1").ProxyFile, Path("config"));
    EXPECT_EQ(config.Aliases(),
              (std::vector<std::string>{"web", "zz", "inc", "other", "cmd", "nojump"}));
}

TEST_F(SshConfigFiles, RelativeIncludesAndExpansion) {
    Write("config", "Include conf.d/*\nHost alias\n  HostName real.example.org\n");
    Write("conf.d/a", "Host alias\n  User %r-literal\n  IdentityFile ~/k_%h_%n_%r_%p_%%\n");
    TKvSshConfig config = TKvSshConfig::Load(Path("config"), FDir->Path());
    TKvSshHostConfig found = config.Lookup("ALIAS");
    EXPECT_EQ(found.HostName, "real.example.org");
    ASSERT_EQ(found.IdentityFiles.size(), 1u);
    EXPECT_EQ(ExpandSshPath(found.IdentityFiles[0], "real.example.org", "alias", 2222, "me"),
              HomeFolder() + "/k_real.example.org_alias_me_2222_%");
    EXPECT_EQ(ExpandSshPath("%d/x/%u", "h", "h", 22, "r"), HomeFolder() + "/x/" + LocalUserName());
}

TEST_F(SshConfigFiles, HostileFilesAreLeftOutAndTheRestApplies) {
    // An Include loop, a file too large, a binary one, a FIFO that nobody writes, a device.
    Write("config", "Host *\n  User kept\nInclude " + Path("loop") + "\nInclude " + Path("big") +
                        "\nInclude " + Path("binary") + "\nInclude " + Path("fifo") +
                        "\nInclude /dev/zero\nHost x\n  Port \"2201\n");
    Write("loop", "Include " + Path("loop2") + "\nHost *\n  Port 2500\n");
    Write("loop2", "Include " + Path("loop") + "\n");
    test::RunCommand("head -c " + std::to_string(KSshConfigMaxBytes + 1) +
                     " /dev/zero | tr '\\0' a > " + Shell(Path("big")) +
                     " && printf 'Host *\\n\\0User bin\\n' > " + Shell(Path("binary")) +
                     " && mkfifo " + Shell(Path("fifo")));
    TKvSshConfig config = TKvSshConfig::Load(Path("config"), FDir->Path());
    TKvSshHostConfig found = config.Lookup("x");
    EXPECT_EQ(found.User, "kept");
    EXPECT_EQ(found.Port, 2500);
    std::string problems;
    for (const auto& problem : config.Problems())
        problems += problem + "\n";
    for (const std::string& expected :
         {Path("loop2") + " line 1: Include of a file that includes it",
          Path("big") + " is larger than 1024 KiB", Path("binary") + " is not a text file",
          Path("fifo") + " is not a regular file", std::string("/dev/zero is not a regular file"),
          Path("config") + " line 9: a quote is not closed"})
        EXPECT_NE(problems.find(expected + "\n"), std::string::npos) << expected << "\n"
                                                                     << problems;
    // Nothing from the files in the notes: paths and line numbers only.
    EXPECT_EQ(problems.find("kept"), std::string::npos);

    // Includes that fan out many times over stop at a bound instead of taking hours.
    for (int level = 0; level < 14; ++level)
        Write("fan" + std::to_string(level), "Include " + Path("fan" + std::to_string(level + 1)) +
                                                 " " + Path("fan" + std::to_string(level + 1)) +
                                                 " " + Path("fan" + std::to_string(level + 1)) +
                                                 "\n");
    Write("fan14", "Host *\n  User deep\n");
    Write("config", "Include " + Path("fan0") + "\n");
    TKvSshConfig fan = TKvSshConfig::Load(Path("config"), FDir->Path());
    EXPECT_EQ(fan.Lookup("x").User, "deep");
    EXPECT_FALSE(fan.Problems().empty());
}

TEST_F(SshConfigFiles, ConnectionsTakeWhatTheyLeaveOpen) {
    test::WriteFile(Path("id_alias"), "not a key, but readable");
    Write("config", "Host alias\n  HostName 127.0.0.1\n  Port 2222\n  User cfguser\n  "
                    "IdentityFile " +
                        Path("id_alias") + "\n  IdentityFile " + Path("id_missing") +
                        "\nHost *.wild\n  User w\n");
    TKvSshConfig config = TKvSshConfig::Load(Path("config"), FDir->Path());
    TKvConnector conn = NewConnector();
    conn.Name = "";
    conn.Host = "alias";
    conn.User = "";
    TKvSshTarget open = ApplySshConfig(conn, config);
    EXPECT_EQ(open.Conn.Host, "127.0.0.1");
    EXPECT_EQ(open.Conn.Port, 2222);
    EXPECT_EQ(open.Conn.User, "cfguser");
    EXPECT_EQ(open.Conn.Name, "alias"); // prompts keep the name the user knows
    EXPECT_EQ(open.KeyFiles, std::vector<std::string>{Path("id_alias")});

    // What the connection sets stays: its user, a port other than 22, its own key file.
    conn.User = "me";
    conn.Port = 2020;
    conn.Auth = amKeyFile;
    conn.KeyFile = "/my/key";
    TKvSshTarget set = ApplySshConfig(conn, config);
    EXPECT_EQ(set.Conn.User, "me");
    EXPECT_EQ(set.Conn.Port, 2020);
    EXPECT_EQ(set.Conn.KeyFile, "/my/key");
    EXPECT_TRUE(set.KeyFiles.empty());

    TKvConnectors offered = SshConfigConnections(config);
    ASSERT_EQ(offered.size(), 1u); // "*.wild" is a pattern, not a host
    EXPECT_EQ(offered[0].Id, "ssh-config:alias");
    EXPECT_EQ(offered[0].Host, "alias");
    EXPECT_EQ(offered[0].User, "cfguser");
    // Port and key come from the configuration at connect, never into a saved connection.
    EXPECT_EQ(offered[0].Port, 22);
    EXPECT_EQ(offered[0].Auth, amPassword);
    EXPECT_EQ(offered[0].KeyFile, "");
    TKvSshTarget opened = ApplySshConfig(offered[0], config);
    EXPECT_EQ(opened.Conn.Port, 2222);
    EXPECT_EQ(opened.KeyFiles, std::vector<std::string>{Path("id_alias")});
    EXPECT_TRUE(offered[0].UseAgent);
    EXPECT_TRUE(ConnectorComplete(offered[0]));
}

TEST(SshConfigLine, SplitsAsSshDoes) {
    const struct {
        const char* Line;
        const char* Keyword;
        std::vector<std::string> Args;
    } cases[] = {
        {"  HostName   example.org  ", "hostname", {"example.org"}},
        {"Port=22", "port", {"22"}},
        {"Port = 22", "port", {"22"}},
        {"IdentityFile \"/a b/c\" 'd e' f\\ g", "identityfile", {"/a b/c", "d e", "f g"}},
        {"User x # comment", "user", {"x"}},
        {"# only a comment", "", {}},
        {"\tHOST\ta b", "host", {"a", "b"}},
    };
    for (const auto& c : cases) {
        std::string keyword;
        std::vector<std::string> args;
        EXPECT_TRUE(SplitSshConfigLine(c.Line, keyword, args)) << c.Line;
        EXPECT_EQ(keyword, c.Keyword) << c.Line;
        EXPECT_EQ(args, c.Args) << c.Line;
    }
    std::string keyword;
    std::vector<std::string> args;
    EXPECT_FALSE(SplitSshConfigLine("User \"open", keyword, args));
}

// ssh-keygen -F on the same file names the same lines: plain, hashed, bracketed ports,
// patterns, negations and markers.
TEST(UserKnownHosts, LinesAgreeWithSshKeygen) {
    test::TTempDir dir;
    const std::string key = dir / "key";
    test::RunCommand("ssh-keygen -q -t ed25519 -N '' -f " + Shell(key));
    test::RunCommand("ssh-keygen -q -t ed25519 -N '' -f " + Shell(key + "2"));
    // "type base64", without the comment.
    auto publicKey = [](const std::string& APath) {
        auto fields = test::Split(test::ReadFile(APath), ' ');
        return fields[0] + " " + fields[1];
    };
    const std::string pub = publicKey(key + ".pub");
    const std::string file = dir / "known_hosts";
    // The hashed lines come from ssh-keygen -H, which hashes a copy in place.
    test::WriteFile(file + ".h",
                    "hashed.example.org " + pub + "\n[hashed.example.org]:2222 " + pub + "\n");
    test::RunCommand("ssh-keygen -q -H -f " + Shell(file + ".h") + " >/dev/null 2>&1");
    const std::string hashed = test::ReadFile(file + ".h");
    test::WriteFile(
        file, "# a comment\n\nplain.example.org " + pub + "\n" + "[plain.example.org]:2222," +
                  "other.example.org " + pub + "\n" + "*.wild.org,!no.wild.org " + pub + "\n" +
                  "@revoked plain.example.org " + pub + "\n" + "@cert-authority *.example.org " +
                  pub + "\n" + hashed + "broken line\n" + "10.0.0.? " + pub + "\n");
    const std::string text = test::ReadFile(file);
    const struct {
        const char* Host;
        int Port;
    } cases[] = {
        {"plain.example.org", 22},    {"plain.example.org", 2222},  {"other.example.org", 22},
        {"a.wild.org", 22},           {"no.wild.org", 22},          {"hashed.example.org", 22},
        {"hashed.example.org", 2222}, {"hashed.example.org", 2200}, {"10.0.0.7", 22},
        {"nowhere.example.org", 22}};
    for (const auto& c : cases) {
        const std::string name = OpenSshHostName(c.Host, c.Port);
        std::string output = test::RunCommand("ssh-keygen -F " + Shell(name) + " -f " +
                                              Shell(file) + " 2>/dev/null");
        std::vector<int> expected;
        for (const auto& line : test::Split(output, '\n')) {
            size_t at = line.find(" found: line ");
            if (line.rfind("# Host ", 0) == 0 && at != std::string::npos)
                expected.push_back(std::stoi(line.substr(at + 13)));
        }
        EXPECT_EQ(UserKnownHostsLines(text, c.Host, c.Port), expected) << name;
    }

    // The key itself: the same key known, another key of the same type changed, a revoked key
    // refused, a key of another type changed too (a host known by any key is never new).
    auto blob = [&](const std::string& APub) {
        std::string base64 = test::Split(APub, ' ')[1];
        return test::RunCommand("printf %s " + Shell(base64) + " | base64 -d");
    };
    const std::string mine = blob(pub), other = blob(publicKey(key + "2.pub"));
    EXPECT_EQ(CheckUserKnownHosts(text, "hashed.example.org", 2222, "ssh-ed25519", mine).State,
              ukMatch);
    TKvUserKnownHost changed =
        CheckUserKnownHosts(text, "hashed.example.org", 22, "ssh-ed25519", other);
    EXPECT_EQ(changed.State, ukChanged);
    EXPECT_EQ(changed.Line, 8);
    EXPECT_EQ(changed.StoredKey, mine);
    EXPECT_EQ(CheckUserKnownHosts(text, "plain.example.org", 22, "ssh-ed25519", mine).State,
              ukRevoked);
    TKvUserKnownHost other_type =
        CheckUserKnownHosts(text, "a.wild.org", 22, "ecdsa-sha2-nistp256", other);
    EXPECT_EQ(other_type.State, ukChanged);
    EXPECT_EQ(other_type.Line, 5);
    EXPECT_EQ(other_type.StoredKey, mine);
    EXPECT_EQ(other_type.StoredKeyType, "ssh-ed25519");
    EXPECT_EQ(CheckUserKnownHosts(text, "nowhere.example.org", 22, "ssh-ed25519", other).State,
              ukUnknown);

    // The types a connection asks the server for first: markers do not make a host known.
    using TTypes = std::vector<std::string>;
    EXPECT_EQ(UserKnownHostKeyTypes(text, "plain.example.org", 22), TTypes{"ssh-ed25519"});
    EXPECT_EQ(UserKnownHostKeyTypes(text, "hashed.example.org", 2222), TTypes{"ssh-ed25519"});
    EXPECT_EQ(UserKnownHostKeyTypes(text, "x.example.org", 22), TTypes{});
    EXPECT_EQ(UserKnownHostKeyTypes(text, "nowhere.example.org", 22), TTypes{});
}

// With lines of several types for a host, the presented key decides by its own type first: a
// line with this very key anywhere wins, a same-type line with another key is the change
// reported, and only without either does a line of another type count.
TEST(UserKnownHosts, AnotherTypeCountsOnlyWithoutALineOfTheSameType) {
    const std::string ed = "ed-key", ec = "ec-key", ec2 = "ec-key-2";
    auto line = [](const std::string& AHost, const std::string& AType, const std::string& AKey) {
        return AHost + " " + AType + " " +
               Base64Encode(reinterpret_cast<const uint8_t*>(AKey.data()), AKey.size()) + "\n";
    };
    const std::string text =
        line("h.org", "ssh-ed25519", ed) + line("h.org", "ecdsa-sha2-nistp256", ec2) +
        line("h.org", "ECDSA-SHA2-NISTP256", ec) + line("k.org", "ssh-ed25519", ed);
    EXPECT_EQ(CheckUserKnownHosts(text, "h.org", 22, "ecdsa-sha2-nistp256", ec).State, ukMatch);
    TKvUserKnownHost changed =
        CheckUserKnownHosts(text, "h.org", 22, "ecdsa-sha2-nistp256", "ec-key-3");
    EXPECT_EQ(changed.State, ukChanged);
    EXPECT_EQ(changed.Line, 2);
    EXPECT_EQ(changed.StoredKeyType, "ecdsa-sha2-nistp256");
    TKvUserKnownHost other = CheckUserKnownHosts(text, "k.org", 22, "ecdsa-sha2-nistp256", ec);
    EXPECT_EQ(other.State, ukChanged);
    EXPECT_EQ(other.Line, 4);
    EXPECT_EQ(other.StoredKey, ed);
    EXPECT_EQ(CheckUserKnownHosts(text, "k.org", 2222, "ecdsa-sha2-nistp256", ec).State, ukUnknown);
    EXPECT_EQ(UserKnownHostKeyTypes(text, "h.org", 22),
              (std::vector<std::string>{"ssh-ed25519", "ecdsa-sha2-nistp256"}));
}

} // namespace
} // namespace kv
