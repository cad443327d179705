#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/sha.h>

#include "Kv.Libssh2.h"
#include "KvTestSupport.h"

namespace kv {
namespace {

TEST(Libssh2, MissingLibraryNamesTheFileEveryTime) {
    TKvLibssh2Api api;
    void* handle = nullptr;
    std::string message;
    for (int attempt = 0; attempt < 2; ++attempt) {
        EXPECT_FALSE(BindLibssh2From({"/nonexistent/libssh2.so.1"}, api, handle, message));
        EXPECT_EQ(message, "libssh2.so.1 was not found. Put the 64-bit libssh2.so.1 in the same folder as "
                           "kolvan, or install the libssh2-1 package.");
        EXPECT_EQ(handle, nullptr);
    }
}

TEST(Libssh2, MissingFunctionsAreListedInTableOrder) {
    TKvLibssh2Api api;
    void* handle = nullptr;
    std::string message;
    // The first file is missing, so the search goes on to the stub.
    EXPECT_FALSE(BindLibssh2From({"/nonexistent/libssh2.so.1", KV_STUB_MISSING_TWO}, api, handle, message));
    EXPECT_EQ(message, "This libssh2.so.1 is missing functions: libssh2_channel_eof libssh2_sftp_symlink_ex. "
                       "Use libssh2 version 1.10 or newer.");
    EXPECT_EQ(api.libssh2_init, nullptr); // nothing half-bound
}

TEST(Libssh2, FailedInitialisation) {
    TKvLibssh2Api api;
    void* handle = nullptr;
    std::string message;
    EXPECT_FALSE(BindLibssh2From({KV_STUB_INIT_FAILS}, api, handle, message));
    EXPECT_EQ(message, "libssh2 could not be initialised");
}

TEST(Libssh2, StubWithEverythingBinds) {
    TKvLibssh2Api api;
    void* handle = nullptr;
    std::string message;
    EXPECT_TRUE(BindLibssh2From({KV_STUB_COMPLETE}, api, handle, message)) << message;
    EXPECT_TRUE(message.empty());
    EXPECT_NE(api.libssh2_sftp_symlink_ex, nullptr);
    EXPECT_EQ(api.libssh2_sftp_statvfs, nullptr); // optional, and the stub lacks it
}

TEST(Libssh2, TheInstalledLibraryBinds) {
    std::string message;
    ASSERT_TRUE(LoadLibssh2(message)) << message;
    EXPECT_TRUE(LoadLibssh2(message)); // once bound, stays bound
    EXPECT_NE(Ssh2().libssh2_sftp_read, nullptr);
    EXPECT_NE(Ssh2().libssh2_sftp_statvfs, nullptr);
}

TEST(Libssh2, SftpStatusTexts) {
    const std::pair<uint32_t, const char*> cases[] = {
        {1, "end of file"},          {2, "no such file or directory"},
        {3, "permission denied"},    {4, "the server reported a failure"},
        {8, "operation not supported by the server"},
        {14, "no space left on the server"},
        {18, "directory not empty"}, {21, "too many symbolic links"},
        {0, "SFTP error 0"},         {16, "SFTP error 16"},
        {17, "SFTP error 17"},       {22, "SFTP error 22"},
        {4000000000u, "SFTP error 4000000000"},
    };
    for (const auto& [code, text] : cases)
        EXPECT_EQ(SftpErrorText(code), text) << code;
}

TEST(Libssh2, HostKeyTypeNames) {
    EXPECT_EQ(HostKeyTypeName(1), "ssh-rsa");
    EXPECT_EQ(HostKeyTypeName(3), "ecdsa-sha2-nistp256");
    EXPECT_EQ(HostKeyTypeName(5), "ecdsa-sha2-nistp521");
    EXPECT_EQ(HostKeyTypeName(6), "ssh-ed25519");
    EXPECT_EQ(HostKeyTypeName(7), "unknown-7");
    EXPECT_EQ(HostKeyTypeName(0), "unknown-0");
}

TEST(Libssh2, FingerprintAgreesWithSshKeygen) {
    test::TTempDir dir;
    test::RunCommand("ssh-keygen -q -t ed25519 -N '' -f " + dir / "k");
    std::string line = test::RunCommand("ssh-keygen -l -E sha256 -f " + dir / "k.pub");
    std::string expected = test::Split(line, ' ').at(1);
    // The fingerprint is of the key blob: the Base64 middle field of the public key line.
    std::string blob64 = test::Split(test::ReadFile(dir / "k.pub"), ' ').at(1);
    std::string blob(blob64.size(), '\0');
    int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(blob.data()),
                            reinterpret_cast<const unsigned char*>(blob64.data()), static_cast<int>(blob64.size()));
    ASSERT_GT(n, 0);
    size_t padding = blob64.size() - blob64.find_last_not_of('=') - 1;
    blob.resize(static_cast<size_t>(n) - padding);
    unsigned char digest[32];
    SHA256(reinterpret_cast<const unsigned char*>(blob.data()), blob.size(), digest);
    std::string text = HostKeyFingerprint(digest);
    EXPECT_EQ(text, expected);
    EXPECT_EQ(text.size(), 7u + 43u);
    EXPECT_EQ(text.find('='), std::string::npos);
}

} // namespace
} // namespace kv
