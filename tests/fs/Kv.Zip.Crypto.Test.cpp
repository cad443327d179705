#include <gtest/gtest.h>

#include <cstring>
#include <openssl/evp.h>

#include "Kv.Zip.Crypto.h"
#include "KvArchiveTestUtil.h"

using namespace kv;
using namespace kv::test;

namespace {

TKvBytes Bytes(const std::string& AText) {
    return TKvBytes(AText.begin(), AText.end());
}

// AES of one block by OpenSSL directly, for the counter-mode reference.
void ReferenceBlock(const TKvBytes& AKey, const uint8_t* AIn, uint8_t* AOut) {
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    EVP_EncryptInit_ex(ctx, EVP_aes_256_ecb(), nullptr, AKey.data(), nullptr);
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    int n = 0;
    EVP_EncryptUpdate(ctx, AOut, &n, AIn, 16);
    EVP_CIPHER_CTX_free(ctx);
}

class TSink final : public TKvStream {
public:
    int64_t Read(void*, int64_t) override { return 0; }
    int64_t Write(const void* ABuffer, int64_t ACount) override {
        Data.append(static_cast<const char*>(ABuffer), static_cast<size_t>(ACount));
        return ACount;
    }
    int64_t Seek(int64_t, TKvSeekOrigin) override { return 0; }
    int64_t Size() override { return static_cast<int64_t>(Data.size()); }
    std::string Data;
};

class TSource final : public TKvStream {
public:
    explicit TSource(std::string AData) : FData(std::move(AData)) {}
    int64_t Read(void* ABuffer, int64_t ACount) override {
        int64_t n = std::min<int64_t>(ACount, static_cast<int64_t>(FData.size() - FPos));
        std::memcpy(ABuffer, FData.data() + FPos, static_cast<size_t>(n));
        FPos += static_cast<size_t>(n);
        return n;
    }
    int64_t Write(const void*, int64_t) override { return 0; }
    int64_t Seek(int64_t, TKvSeekOrigin) override { return 0; }
    int64_t Size() override { return static_cast<int64_t>(FData.size()); }

private:
    std::string FData;
    size_t FPos = 0;
};

} // namespace

TEST(ZipCrypto, KeysAndRoundTrip) {
    TKvZipCryptoKeys keys;
    keys.Init("");
    EXPECT_EQ(keys.K0, 0x12345678u);
    EXPECT_EQ(keys.K1, 0x23456789u);
    EXPECT_EQ(keys.K2, 0x34567890u);

    std::string plain = "The quick brown fox jumps over the lazy dog, twice over.";
    TKvZipCryptoKeys writer, reader;
    writer.Init("secret");
    reader.Init("secret");
    std::string cipher, back;
    for (char c : plain)
        cipher += static_cast<char>(writer.Encrypt(static_cast<uint8_t>(c)));
    for (char c : cipher)
        back += static_cast<char>(reader.Decrypt(static_cast<uint8_t>(c)));
    EXPECT_NE(cipher, plain);
    EXPECT_EQ(back, plain);
    EXPECT_EQ(writer.K0, reader.K0); // both advance with the plain bytes
}

TEST(ZipCrypto, CounterModeCountsLittleEndianInAnyPieces) {
    TKvBytes key(32);
    for (size_t i = 0; i < key.size(); ++i)
        key[i] = static_cast<uint8_t>(i * 7 + 1);
    const size_t blocks = 300; // past 256, so the counter carries into its second byte
    std::vector<uint8_t> expected(blocks * 16);
    uint8_t counter[16] = {1};
    for (size_t b = 0; b < blocks; ++b) {
        ReferenceBlock(key, counter, expected.data() + 16 * b);
        for (uint8_t& byte : counter)
            if (++byte != 0)
                break;
    }
    for (size_t piece : {size_t(1), size_t(16), size_t(17), size_t(4096), size_t(5000)}) {
        TKvAesCtr ctr(key.data(), key.size());
        std::vector<uint8_t> stream(blocks * 16, 0);
        for (size_t at = 0; at < stream.size(); at += piece)
            ctr.Process(stream.data() + at, std::min(piece, stream.size() - at));
        EXPECT_EQ(stream, expected) << "pieces of " << piece;
    }
    EXPECT_EQ(MessageOf([] {
                  uint8_t twenty[20] = {};
                  TKvAes aes(twenty, sizeof(twenty));
              }),
              "The AES key has a wrong length");
}

TEST(ZipCrypto, HmacAndPbkdf2) {
    // RFC 2202 test case 2, then the long-key rule.
    TKvBytes code = HmacSha1(Bytes("Jefe"), Bytes("what do ya want for nothing?"));
    EXPECT_EQ(code, (TKvBytes{0xef, 0xfc, 0xdf, 0x6a, 0xe5, 0xeb, 0x2f, 0xa2, 0xd2, 0x74,
                              0x16, 0xd5, 0xf1, 0x84, 0xdf, 0x9c, 0x25, 0x9a, 0x7c, 0x79}));
    TKvBytes longKey(65, 0xAA);
    TKvBytes hashed(20);
    EVP_Digest(longKey.data(), longKey.size(), hashed.data(), nullptr, EVP_sha1(), nullptr);
    EXPECT_EQ(HmacSha1(longKey, Bytes("data")), HmacSha1(hashed, Bytes("data")));

    // RFC 6070, 2 iterations; then the AES-256 length with its verifier at the end.
    TKvBytes derived = Pbkdf2HmacSha1("password", Bytes("salt"), 2, 20);
    EXPECT_EQ(derived, (TKvBytes{0xea, 0x6c, 0x01, 0x4d, 0xc7, 0x2d, 0x6f, 0x8c, 0xcd, 0x1e,
                                 0xd9, 0x2a, 0xce, 0x1d, 0x41, 0xf0, 0xd8, 0xde, 0x89, 0x57}));
    EXPECT_EQ(Pbkdf2HmacSha1("pw", TKvBytes(16, 1), 1000, 2 * AesKeyLength(3) + 2).size(), 66u);
    EXPECT_EQ(AesSaltLength(1), 8);
    EXPECT_EQ(AesKeyLength(2), 24);
}

TEST(ZipCrypto, AesStreamsAuthenticateEveryByte) {
    TKvBytes enc(32, 3), auth(32, 9);
    std::string plain(100000, '\0');
    for (size_t i = 0; i < plain.size(); ++i)
        plain[i] = static_cast<char>(i * 31);
    TSink sink;
    {
        TKvAesWriteStream writer(sink, enc, auth);
        writer.WriteAll(plain.data(), 40000);
        writer.WriteAll(plain.data() + 40000, 60000);
        writer.WriteAuthCode();
    }
    ASSERT_EQ(sink.Data.size(), plain.size() + 10);
    std::string cipher = sink.Data.substr(0, plain.size());
    TKvBytes storedCode(sink.Data.end() - 10, sink.Data.end());

    {
        TKvAesReadStream reader(std::make_unique<TSource>(cipher), enc, auth, storedCode);
        EXPECT_EQ(ReadAll(reader), plain);
        EXPECT_NO_THROW(reader.Verify());
    }
    {
        // A reader that stopped early still has the whole data authenticated.
        TKvAesReadStream reader(std::make_unique<TSource>(cipher), enc, auth, storedCode);
        char some[100];
        reader.Read(some, sizeof(some));
        EXPECT_NO_THROW(reader.Verify());
    }
    {
        std::string altered = cipher;
        altered[77777] ^= 1;
        TKvAesReadStream reader(std::make_unique<TSource>(altered), enc, auth, storedCode);
        char some[100];
        reader.Read(some, sizeof(some));
        EXPECT_EQ(MessageOf([&] { reader.Verify(); }),
                  "the authentication code does not match, so the file is damaged");
    }
    {
        TKvAesReadStream reader(std::make_unique<TSource>(cipher), enc, auth,
                                TKvBytes(storedCode.begin(), storedCode.begin() + 9));
        EXPECT_THROW(reader.Verify(), EKvFsError);
    }
}
