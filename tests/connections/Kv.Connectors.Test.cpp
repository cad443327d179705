#include "Kv.Connectors.h"

#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <regex>
#include <set>
#include <sys/stat.h>

#include "Kv.Platform.AccountKey.h"
#include "Kv.Secrets.h"
#include "Kv.State.h"
#include "KvConnectorsPrint.h"
#include "KvTestSupport.h"

namespace kv {

namespace {

using test::TTempDir;

class ConnectorsTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetAccountKeyStore(std::make_shared<TKvAccountKeyFile>(FHome / "account.key"));
    }
    void TearDown() override { SetAccountKeyStore(nullptr); }

    TTempDir FHome;
};

// A connection read from one element, the rest of the file being plain.
TKvConnector ReadOne(const std::string& AMembers) {
    TKvConnectors list =
        ConnectorsFromJson(R"({"connectors": [{"id": "{A}", )" + AMembers + "}]}", "");
    return list.size() == 1 ? list[0] : TKvConnector();
}

TEST(ConnectorRecord, NewConnectorAndKindTable) {
    TKvConnector c = NewConnector();
    EXPECT_TRUE(std::regex_match(
        c.Id,
        std::regex(R"(\{[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}\})")))
        << c.Id;
    EXPECT_NE(NewConnector().Id, c.Id);
    EXPECT_EQ(c.Name, "New connection");
    EXPECT_EQ(c.Kind, ckSftp);
    EXPECT_EQ(c.Port, 22);
    EXPECT_TRUE(c.SavePassword && c.RememberOtherPath && c.Hybrid);
    EXPECT_FALSE(c.IgnoreColors || c.UpdateStartDir);

    const int ports[] = {22, 23, 22, 21, 21, 990, 443};
    const char* names[] = {"ssh", "telnet", "sftp", "ftp", "ftps", "ftps-implicit", "webdavs"};
    for (int i = 0; i < KConnectorKindCount; ++i) {
        auto kind = static_cast<TKvConnectorKind>(i);
        EXPECT_EQ(DefaultPortFor(kind), ports[i]);
        EXPECT_EQ(ConnectorKindName(kind), names[i]);
        EXPECT_EQ(IsTerminalKind(kind), i < 2);
        EXPECT_EQ(HasLoginChoice(kind), kind == ckSsh || kind == ckSftp);
        EXPECT_EQ(IsFtpKind(kind), i >= 3 && i <= 5);
        EXPECT_EQ(IsPlainFileKind(kind), i >= 3);
    }
    EXPECT_EQ(ConnectorKindCaption(ckWebDavs), "WebDAV (HTTPS, TLS/SSL implicit)");
}

TEST(ConnectorRecord, CompleteTitleAndIndex) {
    auto with = [](std::function<void(TKvConnector&)> AChange) {
        TKvConnector c = NewConnector();
        c.Host = "h";
        c.User = "u";
        AChange(c);
        return c;
    };
    EXPECT_TRUE(ConnectorComplete(with([](auto&) {})));
    EXPECT_FALSE(ConnectorComplete(with([](auto& c) { c.Host = " \t"; })));
    EXPECT_FALSE(ConnectorComplete(with([](auto& c) { c.User = "  "; })));
    EXPECT_TRUE(ConnectorComplete(with([](auto& c) { c.User = "", c.Kind = ckTelnet; })));
    EXPECT_FALSE(ConnectorComplete(with([](auto& c) { c.Port = 0; })));
    EXPECT_FALSE(ConnectorComplete(with([](auto& c) { c.Port = 65536; })));
    EXPECT_FALSE(ConnectorComplete(with([](auto& c) { c.Auth = amKeyFile, c.KeyFile = " "; })));
    EXPECT_TRUE(ConnectorComplete(with([](auto& c) { c.Auth = amKeyFile, c.Kind = ckFtp; })));

    TKvConnector named = with([](auto& c) { c.Name = ""; });
    EXPECT_EQ(ConnectorTitle(named), "h");
    named.Name = "Work";
    EXPECT_EQ(ConnectorTitle(named), "Work");

    TKvConnectors list = {with([](auto& c) { c.Id = "{AB-cd}"; }),
                          with([](auto& c) { c.Id = "{ab-CD}"; })};
    EXPECT_EQ(IndexOfConnector(list, "{Ab-Cd}"), 0);
    EXPECT_EQ(IndexOfConnector(list, "{Ab-Ce}"), -1);
}

TEST(ConnectorRecord, FilterMatchesEveryWord) {
    TKvConnector c = NewConnector();
    c.Name = "Build Box";
    c.User = "Deploy";
    c.Host = "CI.example.org";
    c.Folder = "Work";
    struct TCase {
        const char* Filter;
        bool Matches;
    };
    const TCase cases[] = {
        {"", true},
        {"   ", true},
        {"build", true},
        {"  BOX   ci.EXAMPLE ", true},
        {"deploy@ci", true},
        {"box work", true},
        {"box home", false},
        {"build\tbox", false},
        {"zz", false},
        {"box  deploy", true},
        {"ample.org w", true},
    };
    for (const TCase& t : cases)
        EXPECT_EQ(ConnectorMatches(c, t.Filter), t.Matches) << "'" << t.Filter << "'";
    c.Name = "";
    EXPECT_TRUE(ConnectorMatches(c, "ci.example.org deploy@ci.example.org"))
        << "the host stands in for an empty name";
}

TEST(ConnectorRecord, FoldersMergeByTrimmedNameWithoutCase) {
    TKvConnector a = NewConnector(), b = NewConnector(), c = NewConnector();
    a.Folder = "Servers";
    b.Folder = "Lab";
    c.Folder = "";
    TKvFolderNames folders =
        CollectFolders({a, b, c}, {" Work ", "work", "", "  ", "SERVERS ", "Home"});
    EXPECT_EQ(folders, (TKvFolderNames{"Work", "SERVERS", "Home", "Lab"}));

    EXPECT_EQ(FoldersFromJson(R"({"folders": ["B", 3, null, " a "], "connectors": [
                                   {"kind": "ssh", "folder": " c "}, {"kind": "nope", "folder": "d"}]})"),
              (TKvFolderNames{"B", "a", "c"}));
    EXPECT_EQ(FoldersFromJson(R"({"folders": "B"})"), TKvFolderNames());
    EXPECT_EQ(FoldersFromJson("not json"), TKvFolderNames());
}

TEST(ConnectorsRead, FollowsTheRulesForEachMember) {
    struct TCase {
        const char* Name;
        std::string Members;
        std::function<void(TKvConnector&)> Expect;
    };
    // Each expectation starts from the record an SSH object with only its id reads as.
    const TCase cases[] = {
        {"defaults", R"("kind": "ssh")", [](auto&) {}},
        {"kind in capitals", R"("kind": "SSH")", [](auto&) {}},
        {"default port of the kind", R"("kind": "ftps-implicit")",
         [](auto& c) { c.Kind = ckFtpsImplicit, c.Port = 990; }},
        {"port 0", R"("kind": "ssh", "port": 0)", [](auto&) {}},
        {"port 70000", R"("kind": "ssh", "port": 70000)", [](auto&) {}},
        {"port rounded", R"("kind": "ssh", "port": 2222.4)", [](auto& c) { c.Port = 2222; }},
        {"port half to even", R"("kind": "ssh", "port": 2222.5)", [](auto& c) { c.Port = 2222; }},
        {"port range before rounding", R"("kind": "ssh", "port": 65535.4)", [](auto&) {}},
        {"port at the top", R"("kind": "ssh", "port": 65535)", [](auto& c) { c.Port = 65535; }},
        {"port just out", R"("kind": "ssh", "port": 65535.6)", [](auto&) {}},
        {"port 0.6", R"("kind": "ssh", "port": 0.6)", [](auto&) {}},
        {"port huge", R"("kind": "ssh", "port": 1e300)", [](auto&) {}},
        {"port huge integer", R"("kind": "ssh", "port": 123456789012345678901234567890)",
         [](auto&) {}},
        {"port negative", R"("kind": "ssh", "port": -22)", [](auto&) {}},
        {"port as text", R"("kind": "ssh", "port": "2222")", [](auto&) {}},
        {"texts",
         R"("kind": "ssh", "name": " N ", "host": " H ", "user": "U", "keyFile": "/k", "startDir": "/s", "shell": "zsh", "folder": "  F  ")",
         [](auto& c) {
             c.Name = " N ", c.Host = " H ", c.User = "U", c.KeyFile = "/k", c.StartDir = "/s",
             c.Shell = "zsh";
             c.Folder = "F";
         }},
        {"texts of other types",
         R"("kind": "ssh", "name": 1, "host": [], "user": {}, "keyFile": true, "shell": null, "folder": 2)",
         [](auto& c) { c.Name = ""; }},
        {"flags on", R"("kind": "ssh", "ignoreColors": true, "updateStartDir": true)",
         [](auto& c) { c.IgnoreColors = c.UpdateStartDir = true; }},
        {"flags need true", R"("kind": "ssh", "ignoreColors": "true", "updateStartDir": 1)",
         [](auto&) {}},
        {"flags off need false", R"("kind": "ssh", "rememberOtherPath": false, "hybrid": false)",
         [](auto& c) { c.RememberOtherPath = c.Hybrid = false; }},
        {"agent off needs false", R"("kind": "sftp", "useAgent": false)",
         [](auto& c) { c.Kind = ckSftp, c.UseAgent = false; }},
        {"agent off as text stays on", R"("kind": "sftp", "useAgent": "no")",
         [](auto& c) { c.Kind = ckSftp; }},
        {"flags off as text stay on", R"("kind": "ssh", "rememberOtherPath": "false", "hybrid": 0)",
         [](auto&) {}},
        {"key login", R"("kind": "sftp", "auth": "KEY")",
         [](auto& c) { c.Kind = ckSftp, c.Auth = amKeyFile; }},
        {"key login on ftp", R"("kind": "ftp", "auth": "key")",
         [](auto& c) { c.Kind = ckFtp, c.Port = 21; }},
        {"secret without savePassword", R"("kind": "ssh", "secret": "AAAA")",
         [](auto& c) { c.SavePassword = false; }},
        {"savePassword and no secret", R"("kind": "ssh", "savePassword": true)",
         [](auto& c) { c.SavePassword = true; }},
        // A secret that does not open is kept as it stands, to be written back.
        {"savePassword, secret not Base64",
         R"("kind": "ssh", "savePassword": true, "secret": "@@@@")",
         [](auto& c) { c.SavePassword = true, c.KeptSecret = "@@@@"; }},
        {"savePassword, secret damaged",
         R"("kind": "ssh", "savePassword": true, "secret": "AQEBAQEBAQEBAQEBAQEBAQEBAQEBAQEBAQ==")",
         [](auto& c) {
             c.SavePassword = true, c.KeptSecret = "AQEBAQEBAQEBAQEBAQEBAQEBAQEBAQEBAQ==";
         }},
    };
    for (const TCase& t : cases) {
        SCOPED_TRACE(t.Name);
        TKvConnector expected = NewConnector();
        expected.Id = "{A}";
        expected.Name = "";
        expected.Kind = ckSsh;
        expected.SavePassword = false;
        t.Expect(expected);
        EXPECT_EQ(ReadOne(t.Members), expected);
    }
}

TEST(ConnectorsRead, HostileFilesKeepTheUsableEntries) {
    const std::string good = R"({"id": "{G}", "kind": "ftp", "host": "good"})";
    struct TCase {
        const char* Name;
        std::string Text;
        size_t Count;
        // A save may replace it without losing more than the skipped entries.
        bool ConnectorsFile;
    };
    const std::string huge = "1" + std::string(400, '0');
    const TCase cases[] = {
        {"not JSON", "{\"connectors\": [" + good, 0, false},
        {"top level array", "[" + good + "]", 0, false},
        {"connectors not an array", R"({"connectors": )" + good + "}", 0, false},
        {"elements of every type",
         R"({"connectors": [1, "x", null, true, [], {}, )" + good + ", " + good + "]}", 2, true},
        {"unknown and missing kinds",
         R"({"connectors": [{"kind": "gopher"}, {"kind": 3}, {"host": "h"}, )" + good + "]}", 1,
         true},
        {"members of wrong types",
         R"({"version": "x", "passkey": 1, "folders": 7, "connectors": [{"id": 5, "kind": "sftp",
           "port": {}, "auth": [], "savePassword": "yes", "secret": 12, "hybrid": null}, )" +
             good + "]}",
         2, true},
        {"byte-order mark", "\xEF\xBB\xBF{\"connectors\": [" + good + "]}", 1, true},
        {"numbers beyond a double",
         R"({"version": )" + huge + R"(, "connectors": [{"kind": "sftp", "port": 1e400}, )" + good +
             "]}",
         2, true},
        {"a number beyond a double in a broken text", R"({"port": 1e400, "connectors": [)" + good,
         0, false},
        {"no connectors", "{}", 0, true},
    };
    for (const TCase& t : cases) {
        SCOPED_TRACE(t.Name);
        EXPECT_EQ(JsonIsConnectorsFile(t.Text), t.ConnectorsFile);
        TKvConnectors list = ConnectorsFromJson(t.Text, "");
        ASSERT_EQ(list.size(), t.Count);
        if (t.Count > 0) {
            EXPECT_EQ(list.back().Host, "good");
        }
    }

    // A number beyond a double costs only its own member; strings that look like one stay.
    const std::string name = R"(1e400 \"-2E999\" \\)";
    TKvConnectors tolerant = ConnectorsFromJson(
        R"({"connectors": [{"kind": "ssh", "port": -1.5e999, "name": ")" + name +
            R"(", "hybrid": false}, {"kind": "ftps-implicit", "port": )" + huge + "}]}",
        "");
    ASSERT_EQ(tolerant.size(), 2u);
    EXPECT_EQ(tolerant[0].Port, 22);
    EXPECT_EQ(tolerant[0].Name, R"(1e400 "-2E999" \)");
    EXPECT_FALSE(tolerant[0].Hybrid);
    EXPECT_EQ(tolerant[1].Port, 990);

    // A missing id gets a new one at each read; a repeated id goes to the first holder only.
    std::string text = R"({"connectors": [{"kind": "ssh"}, )" + good + ", " + good + "]}";
    TKvConnectors first = ConnectorsFromJson(text, ""), second = ConnectorsFromJson(text, "");
    EXPECT_NE(first[0].Id, second[0].Id);
    EXPECT_EQ(first[1].Id, "{G}");
    EXPECT_NE(first[2].Id, "{G}");
    EXPECT_EQ(IndexOfConnector(first, "{g}"), 1);
}

TEST_F(ConnectorsTest, WritesTheFileMembersInOrderAndReadsThemBack) {
    TKvConnector a = NewConnector();
    a.Id = "{11111111-2222-4333-8444-555555555555}";
    a.Name = "Build \xE2\x9C\x93 \"box\"";
    a.Folder = "Work";
    a.Kind = ckSsh;
    a.Host = "ci.example.org";
    a.Port = 2222;
    a.User = "deploy";
    a.Auth = amKeyFile;
    a.SavePassword = false;
    a.KeyFile = "/home/me/.ssh/id_ed25519";
    a.StartDir = "/srv";
    a.IgnoreColors = true;
    a.Shell = "zsh";
    TKvConnector b = NewConnector();
    b.Id = "{22222222-2222-4333-8444-555555555555}";
    b.Name = "";
    b.Kind = ckFtp;
    b.Auth = amKeyFile;
    b.Host = "ftp.example.org";
    b.Port = 21;
    b.Hybrid = false;
    b.UpdateStartDir = true;
    const std::string expected = R"({
  "version": 2,
  "folders": [
    "Empty",
    "Work"
  ],
  "connectors": [
    {
      "id": "{11111111-2222-4333-8444-555555555555}",
      "name": "Build ✓ \"box\"",
      "folder": "Work",
      "kind": "ssh",
      "host": "ci.example.org",
      "port": 2222,
      "user": "deploy",
      "auth": "key",
      "keyFile": "/home/me/.ssh/id_ed25519",
      "startDir": "/srv",
      "savePassword": false,
      "ignoreColors": true,
      "rememberOtherPath": true,
      "updateStartDir": false,
      "hybrid": true,
      "shell": "zsh",
      "useAgent": true
    },
    {
      "id": "{22222222-2222-4333-8444-555555555555}",
      "name": "",
      "kind": "ftp",
      "host": "ftp.example.org",
      "port": 21,
      "user": "",
      "auth": "password",
      "keyFile": "",
      "startDir": "",
      "savePassword": true,
      "ignoreColors": false,
      "rememberOtherPath": true,
      "updateStartDir": true,
      "hybrid": false,
      "shell": ""
    }
  ]
})";
    std::string text = ConnectorsToJson({a, b}, "", false, {"Empty"});
    EXPECT_EQ(text, expected);
    TKvConnectors back = ConnectorsFromJson(text, "");
    b.Auth = amPassword;
    EXPECT_EQ(back, (TKvConnectors{a, b}));
    EXPECT_EQ(ConnectorsToJson(back, "", false, FoldersFromJson(text)), text);
    EXPECT_FALSE(test::Exists(FHome / "account.key")) << "no secret, no account key";

    // Through the file forms, byte for byte.
    ASSERT_TRUE(SaveConnectors(FHome / "connectors.json", back, "", FoldersFromJson(text), false));
    EXPECT_EQ(test::ReadFile(FHome / "connectors.json"), expected);
    EXPECT_EQ(LoadConnectors(FHome / "connectors.json", ""), back);
    EXPECT_EQ(LoadFolders(FHome / "connectors.json"), (TKvFolderNames{"Empty", "Work"}));
    EXPECT_EQ(LoadConnectors(FHome / "missing.json", ""), TKvConnectors());
}

TEST_F(ConnectorsTest, SecretsInEveryProtection) {
    TKvConnector c = NewConnector();
    c.Secret = "hunter2";
    TKvConnector noSecret = NewConnector();
    noSecret.Secret = "";
    TKvConnector notSaved = NewConnector();
    notSaved.SavePassword = false;
    notSaved.Secret = "typed but not saved";
    struct TCase {
        const char* Passkey;
        bool Portable;
        bool WritesPortable;
    };
    for (const TCase& t : {TCase{"", false, false}, TCase{"", true, false},
                           TCase{"pk", false, false}, TCase{"pk", true, true}}) {
        SCOPED_TRACE(std::string(t.Passkey) + (t.Portable ? " portable" : ""));
        std::string text = ConnectorsToJson({c, noSecret, notSaved}, t.Passkey, t.Portable, {});
        EXPECT_EQ(text.find("hunter2"), std::string::npos);
        EXPECT_EQ(text.find("typed but not saved"), std::string::npos);
        EXPECT_EQ(JsonHasPasskey(text), *t.Passkey != 0);
        EXPECT_EQ(JsonIsPortable(text), t.WritesPortable);
        EXPECT_EQ(text.find("\"secret\""), text.rfind("\"secret\""))
            << "only the first has a secret";

        TKvConnectors back = ConnectorsFromJson(text, t.Passkey);
        ASSERT_EQ(back.size(), 3u);
        EXPECT_EQ(back[0].Secret, "hunter2");
        EXPECT_TRUE(back[0].SavePassword);
        EXPECT_TRUE(back[1].SavePassword) << "saving an empty password stays chosen";
        EXPECT_EQ(back[2].Secret, "");

        if (*t.Passkey) {
            // Without the passkey nothing of the secrets arrives; with a wrong one they stay
            // sealed as stored.
            for (const char* wrong : {"", "pk2"}) {
                TKvConnectors locked = ConnectorsFromJson(text, wrong);
                EXPECT_EQ(locked[0].SavePassword, *wrong != 0);
                EXPECT_EQ(locked[0].Secret, "");
                EXPECT_EQ(locked[0].KeptSecret.empty(), *wrong == 0);
            }
        }
    }
}

TEST_F(ConnectorsTest, AFailedSaveLeavesTheFileAlone) {
    const std::string path = FHome / "connectors.json";
    TKvConnector c = NewConnector();
    c.Secret = "hunter2";
    ASSERT_TRUE(SaveConnectors(path, {c}, "", {}, false));
    std::string before = test::ReadFile(path);

    // The account key goes bad: the secret cannot be protected, so nothing is written.
    ::chmod((FHome / "account.key").c_str(), 0644);
    c.Name = "changed";
    EXPECT_FALSE(SaveConnectors(path, {c}, "", {}, false));
    EXPECT_EQ(test::ReadFile(path), before);
    EXPECT_FALSE(test::Exists(path + ".tmp"));
    // A folder in the way of the file.
    EXPECT_FALSE(SaveConnectors(FHome.Path(), {}, "", {}, false));
}

TEST(ConnectorTemplate, RecordsAppliesAndRoundTripsThroughTheStateFile) {
    EXPECT_EQ(TemplateToJson(TKvConnectorTemplate()), "");
    EXPECT_FALSE(TemplateFromJson("").Recorded);
    EXPECT_FALSE(TemplateFromJson("[1]").Recorded);

    TKvConnector shown = NewConnector();
    shown.Kind = ckSsh;
    shown.Auth = amKeyFile;
    shown.SavePassword = false;
    shown.IgnoreColors = true;
    TKvConnectorTemplate recorded = RecordTemplate(shown);
    std::string text = TemplateToJson(recorded);
    EXPECT_EQ(text, R"({"kind":"ssh","auth":"key","savePassword":false,"ignoreColors":true,)"
                    R"("rememberOtherPath":true,"updateStartDir":false,"hybrid":true,"useAgent":true})");
    EXPECT_EQ(TemplateFromJson(text), recorded);

    // The state file keeps the text byte for byte.
    TKvAppState state;
    state.NewConnection = text;
    TKvAppState again;
    ParseAppState(AppStateToJson(state), again);
    EXPECT_EQ(again.NewConnection, text);

    TKvConnector next = NewConnectorFrom(recorded);
    EXPECT_EQ(next.Kind, ckSsh);
    EXPECT_EQ(next.Auth, amKeyFile);
    EXPECT_FALSE(next.SavePassword);
    EXPECT_TRUE(next.IgnoreColors);
    EXPECT_TRUE(next.UseAgent);
    EXPECT_EQ(next.Name, "New connection");
    shown.UseAgent = false;
    EXPECT_FALSE(NewConnectorFrom(TemplateFromJson(TemplateToJson(RecordTemplate(shown)))).UseAgent);

    // Kind names in any case, flags only as booleans, key login only where the kind has it.
    TKvConnectorTemplate loose = TemplateFromJson(
        R"({"kind": "WEBDAVS", "auth": "Key", "hybrid": "no", "updateStartDir": true})");
    EXPECT_TRUE(loose.Recorded);
    EXPECT_EQ(loose.Kind, ckWebDavs);
    EXPECT_TRUE(loose.Hybrid);
    TKvConnector web = NewConnectorFrom(loose);
    EXPECT_EQ(web.Port, 443);
    EXPECT_EQ(web.Auth, amPassword);
    EXPECT_TRUE(web.UpdateStartDir);
    shown.Kind = ckFtp;
    EXPECT_EQ(RecordTemplate(shown).Auth, amPassword);
    TKvConnectorTemplate empty = TemplateFromJson("{}");
    EXPECT_TRUE(empty.Recorded);
    EXPECT_EQ(NewConnectorFrom(empty).Kind, ckSftp);
}

} // namespace
} // namespace kv
