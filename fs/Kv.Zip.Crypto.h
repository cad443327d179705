// Zip encryption: the traditional PKWARE cipher ("ZipCrypto") and WinZip AES (AE-1, AE-2:
// AES in counter mode, HMAC-SHA1, PBKDF2-HMAC-SHA1), as streams that work on the fly.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "Kv.FileSystem.h"

struct evp_cipher_ctx_st;
struct evp_mac_ctx_st;

namespace kv {

using TKvBytes = std::vector<uint8_t>;

struct TKvZipCryptoKeys {
    uint32_t K0 = 0x12345678;
    uint32_t K1 = 0x23456789;
    uint32_t K2 = 0x34567890;

    void Init(std::string_view APassword);
    uint8_t Decrypt(uint8_t AByte);
    uint8_t Encrypt(uint8_t AByte);

private:
    void UpdateKeys(uint8_t AByte);
    uint8_t StreamByte() const;
};

// AES encryption of whole blocks; counter mode needs no other direction.
class TKvAes {
public:
    TKvAes(const uint8_t* AKey, size_t ALength);
    ~TKvAes();
    TKvAes(const TKvAes&) = delete;
    TKvAes& operator=(const TKvAes&) = delete;
    void EncryptBlocks(const uint8_t* AIn, uint8_t* AOut, size_t ABlocks);
    int Rounds() const { return FRounds; }

private:
    evp_cipher_ctx_st* FCtx = nullptr;
    int FRounds = 0;
};

// Counter mode as WinZip uses it: the counter starts at 1 and counts little-endian.
class TKvAesCtr {
public:
    TKvAesCtr(const uint8_t* AKey, size_t ALength);
    // XORs the key stream into the buffer; pieces of any size continue one stream.
    void Process(uint8_t* ABuffer, size_t ACount);

private:
    static constexpr size_t KBatchBlocks = 256;
    void Refill();

    TKvAes FAes;
    uint8_t FCounter[16] = {1};
    uint8_t FStream[16 * KBatchBlocks];
    size_t FPos = sizeof(FStream);
};

class TKvHmacSha1 {
public:
    TKvHmacSha1(const uint8_t* AKey, size_t ALength);
    ~TKvHmacSha1();
    TKvHmacSha1(const TKvHmacSha1&) = delete;
    TKvHmacSha1& operator=(const TKvHmacSha1&) = delete;
    void Update(const uint8_t* AData, int64_t ACount);
    TKvBytes Finish();

private:
    evp_mac_ctx_st* FCtx = nullptr;
};

inline constexpr int KAesVerifierLength = 2;
inline constexpr int KAesAuthLength = 10;
inline constexpr int KAesIterations = 1000;

// Strength 1, 2, 3: AES-128, -192, -256.
inline int AesSaltLength(int AStrength) {
    return 4 * AStrength + 4;
}
inline int AesKeyLength(int AStrength) {
    return 8 * AStrength + 8;
}

void FillRandom(void* ABuffer, size_t ACount);
TKvBytes HmacSha1(const TKvBytes& AKey, const TKvBytes& AData);
TKvBytes Pbkdf2HmacSha1(std::string_view APassword, const TKvBytes& ASalt, int AIterations,
                        size_t ALength);

class TKvZipCryptoReadStream final : public TKvStream {
public:
    TKvZipCryptoReadStream(TKvStreamPtr AInner, const TKvZipCryptoKeys& AKeys);
    int64_t Read(void* ABuffer, int64_t ACount) override;
    int64_t Write(const void* ABuffer, int64_t ACount) override;
    int64_t Seek(int64_t, TKvSeekOrigin) override { return FPos; }
    int64_t Size() override { return FInner->Size(); }

private:
    TKvStreamPtr FInner;
    TKvZipCryptoKeys FKeys;
    int64_t FPos = 0;
};

class TKvAesReadStream final : public TKvStream {
public:
    TKvAesReadStream(TKvStreamPtr AInner, const TKvBytes& AEncKey, const TKvBytes& AAuthKey,
                     TKvBytes AExpectedAuth);
    int64_t Read(void* ABuffer, int64_t ACount) override;
    int64_t Write(const void* ABuffer, int64_t ACount) override;
    int64_t Seek(int64_t, TKvSeekOrigin) override { return FPos; }
    int64_t Size() override { return FInner->Size(); }
    // Reads what the reader above left, so the code covers every byte, and checks it.
    void Verify();

private:
    TKvStreamPtr FInner;
    TKvAesCtr FCtr;
    TKvHmacSha1 FHmac;
    TKvBytes FExpectedAuth;
    int64_t FPos = 0;
};

class TKvZipCryptoWriteStream final : public TKvStream {
public:
    TKvZipCryptoWriteStream(TKvStream& ADest, const TKvZipCryptoKeys& AKeys);
    int64_t Read(void* ABuffer, int64_t ACount) override;
    int64_t Write(const void* ABuffer, int64_t ACount) override;
    int64_t Seek(int64_t, TKvSeekOrigin) override { return 0; }
    int64_t Size() override { return 0; }

private:
    TKvStream& FDest;
    TKvZipCryptoKeys FKeys;
    TKvBytes FScratch;
};

class TKvAesWriteStream final : public TKvStream {
public:
    TKvAesWriteStream(TKvStream& ADest, const TKvBytes& AEncKey, const TKvBytes& AAuthKey);
    int64_t Read(void* ABuffer, int64_t ACount) override;
    int64_t Write(const void* ABuffer, int64_t ACount) override;
    int64_t Seek(int64_t, TKvSeekOrigin) override { return 0; }
    int64_t Size() override { return 0; }
    // The 10-byte code, written after the last data.
    void WriteAuthCode();

private:
    TKvStream& FDest;
    TKvAesCtr FCtr;
    TKvHmacSha1 FHmac;
    TKvBytes FScratch;
};

} // namespace kv
