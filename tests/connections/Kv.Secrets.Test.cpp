#include "Kv.Secrets.h"

#include <gtest/gtest.h>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

#include "Kv.Connectors.h"
#include "Kv.Platform.AccountKey.h"
#include "KvSecretsPython.h"
#include "KvTestSupport.h"

namespace kv {
namespace {

using test::TTempDir;

// Each test runs as one user account with a key file of its own; Switch moves to another.
class SecretsTest : public ::testing::Test {
protected:
    void SetUp() override { Switch(FHome / "account.key"); }
    void TearDown() override { SetAccountKeyStore(nullptr); }
    void Switch(const std::string& AKeyPath) {
        SetAccountKeyStore(std::make_shared<TKvAccountKeyFile>(AKeyPath));
    }

    TTempDir FHome;
};

std::string Sealed(const std::vector<uint8_t>& ABytes) {
    return Base64Encode(ABytes.data(), ABytes.size());
}

TEST(Base64, AcceptsOnlyTheStoredForm) {
    struct TCase {
        const char* Text;
        bool Ok;
        std::string Bytes;
    };
    const TCase cases[] = {
        {"", true, ""},
        {"QQ==", true, "A"},
        {"QUI=", true, "AB"},
        {"QUJD", true, "ABC"},
        {"AP8A", true, std::string("\0\xff\0", 3)},
        {"QUJ", false, ""},         // not a multiple of four
        {"Q===", false, ""},        // three padding characters
        {"Q=Q=", false, ""},        // padding inside
        {"QQ=A", false, ""},        // data after padding
        {"QUJD\n", false, ""},      // a line break
        {"QU JD", false, ""},       // a blank
        {"QUJ-", false, ""},        // the URL alphabet
        {"QUJDQUJD====", false, ""} // a whole block of padding
    };
    for (const TCase& c : cases) {
        std::vector<uint8_t> bytes;
        EXPECT_EQ(Base64Decode(c.Text, bytes), c.Ok) << c.Text;
        if (c.Ok) {
            EXPECT_EQ(std::string(bytes.begin(), bytes.end()), c.Bytes) << c.Text;
            EXPECT_EQ(Base64Encode(bytes.data(), bytes.size()), c.Text);
        }
    }
}

TEST(PortableProtection, OpensAFileMadeByPythonAndPythonOpensOurs) {
    TTempDir dir;
    test::WriteFile(dir / "oracle.py", test::KPortableOracle);
    const std::string passkey = "correct horse \xE2\x9C\x93";
    int code = -1;
    test::RunCommand(
        "/usr/bin/python3 " + dir / "oracle.py" + " make " + dir / "made.json" + " '" + passkey +
            "' 000102030405060708090a0b0c0d0e0f a0a1a2a3a4a5a6a7a8a9aaab 5000 's3cr\xC3\xA9t' x",
        &code);
    ASSERT_EQ(code, 0);
    std::string made = test::ReadFile(dir / "made.json");
    EXPECT_TRUE(JsonIsPortable(made));
    EXPECT_TRUE(JsonCheckPasskey(made, passkey));
    EXPECT_FALSE(JsonCheckPasskey(made, "correct horse"));
    TKvConnectors list = ConnectorsFromJson(made, passkey);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_TRUE(list[0].SavePassword);
    EXPECT_EQ(list[0].Secret, "s3cr\xC3\xA9t");
    EXPECT_EQ(list[1].Secret, "x");

    // Kolvan's own save, with a fresh salt and 300000 iterations, opens in Python.
    list.push_back(list[0]);
    list[2].Id = NewConnectorId();
    list[2].SavePassword = false;
    ASSERT_TRUE(SaveConnectors(dir / "ours.json", list, passkey, {}, true));
    std::string output = test::RunCommand("/usr/bin/python3 " + dir / "oracle.py" + " open " +
                                              dir / "ours.json" + " '" + passkey + "'",
                                          &code);
    ASSERT_EQ(code, 0) << output;
    std::istringstream lines(output);
    std::vector<nlohmann::json> values;
    for (std::string line; std::getline(lines, line);)
        values.push_back(nlohmann::json::parse(line));
    ASSERT_EQ(values.size(), 4u);
    EXPECT_EQ(values[0], "kolvan passkey check");
    EXPECT_EQ(values[1], "s3cr\xC3\xA9t");
    EXPECT_EQ(values[2], "x");
    EXPECT_TRUE(values[3].is_null())
        << "a connection that does not save its password has no secret";
}

TEST(PortableProtection, SealsWithAFreshNonceAndRefusesDamage) {
    TKvSecretBytes key;
    ASSERT_TRUE(DeriveKeyFromPasskey("pass", "AAECAwQFBgcICQoLDA0ODw==", 1000, key));
    ASSERT_EQ(key.Size(), 32u);
    std::string first = ProtectWithKey(key, "hunter2"), second = ProtectWithKey(key, "hunter2");
    EXPECT_NE(first, second);
    std::string plain;
    ASSERT_TRUE(UnprotectWithKey(key, first, plain));
    EXPECT_EQ(plain, "hunter2");

    std::vector<uint8_t> raw;
    ASSERT_TRUE(Base64Decode(first, raw));
    ASSERT_EQ(raw.size(), 12u + 16u + 7u);
    std::vector<uint8_t> flipped = raw;
    flipped.back() ^= 1;
    std::vector<uint8_t> badTag = raw;
    badTag[20] ^= 0x80;
    std::vector<uint8_t> exactly28(raw.begin(), raw.begin() + 28);
    TKvSecretBytes otherKey;
    ASSERT_TRUE(DeriveKeyFromPasskey("pass2", "AAECAwQFBgcICQoLDA0ODw==", 1000, otherKey));
    for (const std::string& text :
         {Sealed(flipped), Sealed(badTag), Sealed(exactly28), first + "=", first.substr(1)}) {
        plain = "left over";
        EXPECT_FALSE(UnprotectWithKey(key, text, plain)) << text;
        EXPECT_EQ(plain, "");
    }
    EXPECT_FALSE(UnprotectWithKey(otherKey, first, plain));
    EXPECT_FALSE(UnprotectWithKey(TKvSecretBytes(), first, plain)) << "a key that is not 32 bytes";
    EXPECT_THROW(ProtectWithKey(TKvSecretBytes(), "x"), EKvSecretError);

    // The empty secret is the empty text, both ways.
    EXPECT_EQ(ProtectWithKey(key, ""), "");
    plain = "left over";
    EXPECT_TRUE(UnprotectWithKey(key, "", plain));
    EXPECT_EQ(plain, "");
}

TEST(PortableProtection, DerivesOnlyFromUsableInput) {
    const std::string salt8 = "AAECAwQFBgc=", salt7 = "AAECAwQFBg==";
    struct TCase {
        const char* Passkey;
        std::string Salt;
        int Iterations;
        bool Ok;
    };
    const TCase cases[] = {
        {"p", salt8, 1000, true}, {"p", salt7, 1000, false},     {"", salt8, 1000, false},
        {"p", salt8, 999, false}, {"p", salt8, 20000001, false}, {"p", "not base64!", 1000, false},
        {"p", "", 1000, false},
    };
    for (const TCase& c : cases) {
        TKvSecretBytes key;
        EXPECT_EQ(DeriveKeyFromPasskey(c.Passkey, c.Salt, c.Iterations, key), c.Ok)
            << c.Passkey << " " << c.Salt << " " << c.Iterations;
        EXPECT_EQ(key.Size(), c.Ok ? 32u : 0u);
    }
}

TEST_F(SecretsTest, AccountProtectionNeedsTheSameAccountAndPasskey) {
    for (const char* passkey : {"", "second lock"}) {
        std::string sealed = ProtectForAccount("hunter2", passkey);
        std::string again = ProtectForAccount("hunter2", passkey);
        EXPECT_NE(sealed, again);
        std::string plain;
        ASSERT_TRUE(UnprotectForAccount(sealed, passkey, plain));
        EXPECT_EQ(plain, "hunter2");
        EXPECT_FALSE(UnprotectForAccount(sealed, std::string(passkey) + "x", plain));
        EXPECT_FALSE(UnprotectForAccount(sealed, *passkey ? "" : "x", plain));
        std::vector<uint8_t> raw;
        ASSERT_TRUE(Base64Decode(sealed, raw));
        EXPECT_EQ(raw[0], 1) << "version byte";
        EXPECT_EQ(raw.size(), 1u + 12u + 16u + 7u);
    }
    EXPECT_EQ(ProtectForAccount("", "p"), "");

    struct stat st {};
    ASSERT_EQ(::lstat((FHome / "account.key").c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(st.st_size, 32);

    std::string sealed = ProtectForAccount("hunter2", "");
    TTempDir elsewhere;
    Switch(elsewhere / "account.key");
    std::string plain;
    EXPECT_FALSE(UnprotectForAccount(sealed, "", plain)) << "another account has no key yet";
    ProtectForAccount("x", "");
    EXPECT_FALSE(UnprotectForAccount(sealed, "", plain)) << "another account has another key";
}

TEST_F(SecretsTest, RefusesAnAccountKeyOthersCouldKnow) {
    const std::string path = FHome / "account.key";
    std::string sealed = ProtectForAccount("hunter2", "");
    std::string original = test::ReadFile(path);
    std::string plain;

    // Each spoils the key file its own way; protection must fail and the file must stay.
    struct TCase {
        const char* Name;
        std::function<void()> Spoil;
    };
    const TCase cases[] = {
        {"readable by others", [&] { ::chmod(path.c_str(), 0644); }},
        {"owned by another user", [&] { ASSERT_EQ(::chown(path.c_str(), 65534, 65534), 0); }},
        {"too short", [&] { test::WriteFile(path, original.substr(0, 31)); }},
        {"a link to the key",
         [&] {
             test::WriteFile(FHome / "real.key", original);
             ::chmod((FHome / "real.key").c_str(), 0600);
             ::unlink(path.c_str());
             ASSERT_EQ(::symlink((FHome / "real.key").c_str(), path.c_str()), 0);
         }},
        {"a folder", [&] { ::unlink(path.c_str()), ::mkdir(path.c_str(), 0700); }},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        test::RemoveTree(path);
        ::unlink(path.c_str());
        test::WriteFile(path, original);
        ::chmod(path.c_str(), 0600);
        ASSERT_TRUE(UnprotectForAccount(sealed, "", plain));
        c.Spoil();
        EXPECT_FALSE(UnprotectForAccount(sealed, "", plain));
        EXPECT_THROW(ProtectForAccount("x", ""), EKvSecretError);
        EXPECT_TRUE(test::Exists(path)) << "a refused key is never replaced";
    }
}

TEST_F(SecretsTest, AnAccountKeyIsMadeOnceAndNeverReplaced) {
    TKvAccountKeyFile store(FHome / "sub/folder/account.key");
    uint8_t first[32] = {1}, second[32] = {2}, read[32] = {};
    std::string error;
    ASSERT_TRUE(store.Create(first, error)) << error;
    EXPECT_FALSE(store.Create(second, error));
    EXPECT_EQ(error, "") << "an existing key is not an error";
    ASSERT_EQ(store.Read(read, error), akFound) << error;
    EXPECT_EQ(read[0], 1);
    struct stat st {};
    ASSERT_EQ(::stat((FHome / "sub/folder").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 077, 0u) << "the key's folder is private";
    EXPECT_EQ(::rmdir((FHome / "sub/folder").c_str()), -1) << "no temporary file may be left";
    EXPECT_EQ(test::RunCommand("ls -A " + FHome / "sub/folder"), "account.key\n");

    TKvAccountKeyFile missing(FHome / "none/account.key");
    EXPECT_EQ(missing.Read(read, error), akMissing);
}

TEST_F(SecretsTest, PasskeyQuestionsOnFileTexts) {
    const std::string withCheck = ConnectorsToJson({}, "open sesame", false, {});
    const std::string portable = ConnectorsToJson({}, "open sesame", true, {});
    struct TCase {
        const char* Name;
        std::string Text;
        bool HasPasskey, IsPortable, EmptyOpens, RightOpens;
    };
    const TCase cases[] = {
        {"no passkey", R"({"version": 2, "connectors": []})", false, false, true, false},
        {"not JSON", "{", false, false, false, false},
        {"not an object", "[true]", false, false, false, false},
        {"passkey as text", R"({"passkey": "true", "protection": "portable"})", false, false, true,
         false},
        {"account and passkey", withCheck, true, false, false, true},
        {"portable", portable, true, true, false, true},
        {"no check stays locked", R"({"passkey": true})", true, false, false, false},
        {"portable in capitals, no kdf",
         R"({"passkey": true, "protection": "PORTABLE", "check": "AAAA"})", true, true, false,
         false},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        EXPECT_EQ(JsonHasPasskey(c.Text), c.HasPasskey);
        EXPECT_EQ(JsonIsPortable(c.Text), c.IsPortable);
        EXPECT_EQ(JsonCheckPasskey(c.Text, ""), c.EmptyOpens);
        EXPECT_EQ(JsonCheckPasskey(c.Text, "open sesame"), c.RightOpens);
        EXPECT_FALSE(JsonCheckPasskey(c.Text, "open sesame!"));
    }

    // Two saves of a portable file draw new salts, so the checks differ too.
    auto parsed = nlohmann::json::parse(portable),
         again = nlohmann::json::parse(ConnectorsToJson({}, "open sesame", true, {}));
    EXPECT_NE(parsed["kdf"]["salt"], again["kdf"]["salt"]);
    EXPECT_NE(parsed["check"], again["check"]);
    EXPECT_EQ(parsed["kdf"]["iterations"], 300000);
}

TEST_F(SecretsTest, PortableKdfLimits) {
    // The check is sealed with a key of 1000 iterations; the file's kdf says what to derive.
    auto fileWith = [](const std::string& AIterations, const std::string& ASalt) {
        TKvSecretBytes key;
        EXPECT_TRUE(DeriveKeyFromPasskey("pk", ASalt, 1000, key));
        return R"({"passkey": true, "protection": "portable", "kdf": {"salt": ")" + ASalt +
               R"(", "iterations": )" + AIterations + R"(}, "check": ")" +
               ProtectWithKey(key, KPasskeyCheckText) + R"("})";
    };
    const std::string salt8 = "AAECAwQFBgc=", salt7 = "AAECAwQFBg==";
    EXPECT_TRUE(JsonCheckPasskey(fileWith("1000", salt8), "pk"));
    EXPECT_TRUE(JsonCheckPasskey(fileWith("1000.4", salt8), "pk"))
        << "rounded after the range check";
    EXPECT_FALSE(JsonCheckPasskey(fileWith("999", salt8), "pk"));
    EXPECT_FALSE(JsonCheckPasskey(fileWith("999.6", salt8), "pk"))
        << "the range applies before rounding";
    EXPECT_FALSE(JsonCheckPasskey(fileWith("20000001", salt8), "pk"));
    EXPECT_FALSE(JsonCheckPasskey(fileWith("1e300", salt8), "pk"));
    EXPECT_FALSE(JsonCheckPasskey(fileWith("\"1000\"", salt8), "pk"));
    // A salt of 7 bytes cannot even make the check, so the 8-byte salt above is the accepted edge.
    TKvProtector protector;
    std::string text = fileWith("1000", salt8);
    text.replace(text.find(salt8), salt8.size(), salt7);
    EXPECT_FALSE(ProtectorFromJson(text, "pk", protector));
    EXPECT_TRUE(protector.Portable);
    EXPECT_TRUE(protector.Key.Empty());
}

TEST_F(SecretsTest, FileMovedToAnotherAccount) {
    TKvConnector connection = NewConnector();
    connection.Host = "example.com";
    connection.Secret = "hunter2";
    struct TCase {
        const char* Passkey;
        bool Portable;
        bool KeepsSecret;
    };
    for (const TCase& c :
         {TCase{"", false, false}, TCase{"pk", false, false}, TCase{"pk", true, true}}) {
        SCOPED_TRACE(std::string(c.Passkey) + (c.Portable ? " portable" : ""));
        Switch(FHome / "account.key");
        std::string text = ConnectorsToJson({connection}, c.Passkey, c.Portable, {});
        ASSERT_EQ(ConnectorsFromJson(text, c.Passkey).at(0).Secret, "hunter2");

        TTempDir otherHome;
        Switch(otherHome / "account.key");
        TKvConnector moved = ConnectorsFromJson(text, c.Passkey).at(0);
        EXPECT_TRUE(moved.SavePassword);
        EXPECT_EQ(moved.Secret, c.KeepsSecret ? "hunter2" : "");
        // Kept sealed, so that a save here does not lose it for the account it belongs to.
        EXPECT_EQ(moved.KeptSecret.empty(), c.KeepsSecret);
        EXPECT_EQ(JsonCheckPasskey(text, c.Passkey), c.KeepsSecret || !*c.Passkey);
    }
}

} // namespace
} // namespace kv
