#include "Kv.Zip.Crypto.h"

#include <algorithm>
#include <cstring>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/params.h>
#include <openssl/rand.h>
#include <zlib.h>

namespace kv {

namespace {

constexpr size_t KScratchSize = 32768;

// One step of the CRC-32 register, the way the cipher mixes its keys.
inline uint32_t CrcStep(uint32_t ACrc, uint8_t AByte) {
    static const z_crc_t* table = get_crc_table();
    return static_cast<uint32_t>(table[(ACrc ^ AByte) & 0xFF]) ^ (ACrc >> 8);
}

const EVP_CIPHER* CipherFor(size_t AKeyLength) {
    switch (AKeyLength) {
    case 16:
        return EVP_aes_128_ecb();
    case 24:
        return EVP_aes_192_ecb();
    case 32:
        return EVP_aes_256_ecb();
    default:
        return nullptr;
    }
}

[[noreturn]] void RaiseCrypto(const char* AWhat) {
    throw EKvFsError(std::string("The encryption library failed: ") + AWhat);
}

} // namespace

void TKvZipCryptoKeys::Init(std::string_view APassword) {
    K0 = 0x12345678;
    K1 = 0x23456789;
    K2 = 0x34567890;
    for (char c : APassword)
        UpdateKeys(static_cast<uint8_t>(c));
}

void TKvZipCryptoKeys::UpdateKeys(uint8_t AByte) {
    K0 = CrcStep(K0, AByte);
    K1 = (K1 + (K0 & 0xFF)) * 134775813u + 1;
    K2 = CrcStep(K2, static_cast<uint8_t>(K1 >> 24));
}

uint8_t TKvZipCryptoKeys::StreamByte() const {
    uint32_t t = (K2 | 2) & 0xFFFF;
    return static_cast<uint8_t>((t * (t ^ 1)) >> 8);
}

uint8_t TKvZipCryptoKeys::Decrypt(uint8_t AByte) {
    uint8_t plain = AByte ^ StreamByte();
    UpdateKeys(plain);
    return plain;
}

uint8_t TKvZipCryptoKeys::Encrypt(uint8_t AByte) {
    uint8_t t = StreamByte();
    UpdateKeys(AByte);
    return AByte ^ t;
}

TKvAes::TKvAes(const uint8_t* AKey, size_t ALength) {
    const EVP_CIPHER* cipher = CipherFor(ALength);
    if (!cipher)
        throw EKvFsError("The AES key has a wrong length");
    FRounds = static_cast<int>(ALength / 4) + 6;
    FCtx = EVP_CIPHER_CTX_new();
    if (!FCtx || EVP_EncryptInit_ex(FCtx, cipher, nullptr, AKey, nullptr) != 1) {
        EVP_CIPHER_CTX_free(FCtx);
        RaiseCrypto("AES");
    }
    EVP_CIPHER_CTX_set_padding(FCtx, 0);
}

TKvAes::~TKvAes() {
    EVP_CIPHER_CTX_free(FCtx);
}

void TKvAes::EncryptBlocks(const uint8_t* AIn, uint8_t* AOut, size_t ABlocks) {
    int outLength = 0;
    if (EVP_EncryptUpdate(FCtx, AOut, &outLength, AIn, static_cast<int>(ABlocks * 16)) != 1)
        RaiseCrypto("AES");
}

TKvAesCtr::TKvAesCtr(const uint8_t* AKey, size_t ALength) : FAes(AKey, ALength) {}

void TKvAesCtr::Refill() {
    // Counters for a batch of blocks, encrypted in one call; same bytes as one block at a time.
    uint8_t counters[sizeof(FStream)];
    for (size_t b = 0; b < KBatchBlocks; ++b) {
        std::memcpy(counters + 16 * b, FCounter, 16);
        for (uint8_t& byte : FCounter)
            if (++byte != 0)
                break;
    }
    FAes.EncryptBlocks(counters, FStream, KBatchBlocks);
    FPos = 0;
}

void TKvAesCtr::Process(uint8_t* ABuffer, size_t ACount) {
    while (ACount > 0) {
        if (FPos == sizeof(FStream))
            Refill();
        size_t n = std::min(ACount, sizeof(FStream) - FPos);
        for (size_t i = 0; i < n; ++i)
            ABuffer[i] ^= FStream[FPos + i];
        FPos += n;
        ABuffer += n;
        ACount -= n;
    }
}

TKvHmacSha1::TKvHmacSha1(const uint8_t* AKey, size_t ALength) {
    EVP_MAC* mac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
    if (!mac)
        RaiseCrypto("HMAC");
    FCtx = EVP_MAC_CTX_new(mac);
    EVP_MAC_free(mac);
    char digest[] = "SHA1";
    OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
                           OSSL_PARAM_construct_end()};
    static const uint8_t empty = 0;
    if (!FCtx || EVP_MAC_init(FCtx, ALength ? AKey : &empty, ALength, params) != 1) {
        EVP_MAC_CTX_free(FCtx);
        RaiseCrypto("HMAC");
    }
}

TKvHmacSha1::~TKvHmacSha1() {
    EVP_MAC_CTX_free(FCtx);
}

void TKvHmacSha1::Update(const uint8_t* AData, int64_t ACount) {
    if (ACount <= 0)
        return;
    if (EVP_MAC_update(FCtx, AData, static_cast<size_t>(ACount)) != 1)
        RaiseCrypto("HMAC");
}

TKvBytes TKvHmacSha1::Finish() {
    TKvBytes code(20);
    size_t length = 0;
    if (EVP_MAC_final(FCtx, code.data(), &length, code.size()) != 1 || length != 20)
        RaiseCrypto("HMAC");
    return code;
}

void FillRandom(void* ABuffer, size_t ACount) {
    if (RAND_bytes(static_cast<unsigned char*>(ABuffer), static_cast<int>(ACount)) != 1)
        throw EKvFsError("Could not give random numbers for the encryption");
}

TKvBytes HmacSha1(const TKvBytes& AKey, const TKvBytes& AData) {
    TKvHmacSha1 mac(AKey.data(), AKey.size());
    mac.Update(AData.data(), static_cast<int64_t>(AData.size()));
    return mac.Finish();
}

TKvBytes Pbkdf2HmacSha1(std::string_view APassword, const TKvBytes& ASalt, int AIterations,
                        size_t ALength) {
    TKvBytes out(ALength);
    if (PKCS5_PBKDF2_HMAC(APassword.data(), static_cast<int>(APassword.size()), ASalt.data(),
                          static_cast<int>(ASalt.size()), AIterations, EVP_sha1(),
                          static_cast<int>(ALength), out.data()) != 1)
        RaiseCrypto("PBKDF2");
    return out;
}

TKvZipCryptoReadStream::TKvZipCryptoReadStream(TKvStreamPtr AInner, const TKvZipCryptoKeys& AKeys)
    : FInner(std::move(AInner)), FKeys(AKeys) {}

int64_t TKvZipCryptoReadStream::Read(void* ABuffer, int64_t ACount) {
    int64_t n = FInner->Read(ABuffer, ACount);
    auto* bytes = static_cast<uint8_t*>(ABuffer);
    for (int64_t i = 0; i < n; ++i)
        bytes[i] = FKeys.Decrypt(bytes[i]);
    if (n > 0)
        FPos += n;
    return n;
}

int64_t TKvZipCryptoReadStream::Write(const void*, int64_t) {
    throw EKvFsError("Archives are read-only");
}

TKvAesReadStream::TKvAesReadStream(TKvStreamPtr AInner, const TKvBytes& AEncKey,
                                   const TKvBytes& AAuthKey, TKvBytes AExpectedAuth)
    : FInner(std::move(AInner)), FCtr(AEncKey.data(), AEncKey.size()),
      FHmac(AAuthKey.data(), AAuthKey.size()), FExpectedAuth(std::move(AExpectedAuth)) {}

int64_t TKvAesReadStream::Read(void* ABuffer, int64_t ACount) {
    int64_t n = FInner->Read(ABuffer, ACount);
    if (n > 0) {
        auto* bytes = static_cast<uint8_t*>(ABuffer);
        FHmac.Update(bytes, n); // the code covers the encrypted bytes
        FCtr.Process(bytes, static_cast<size_t>(n));
        FPos += n;
    }
    return n;
}

int64_t TKvAesReadStream::Write(const void*, int64_t) {
    throw EKvFsError("Archives are read-only");
}

void TKvAesReadStream::Verify() {
    std::vector<uint8_t> rest(8192);
    while (Read(rest.data(), static_cast<int64_t>(rest.size())) > 0) {
    }
    TKvBytes code = FHmac.Finish();
    if (FExpectedAuth.size() != KAesAuthLength ||
        !std::equal(FExpectedAuth.begin(), FExpectedAuth.end(), code.begin()))
        throw EKvFsError("the authentication code does not match, so the file is damaged");
}

TKvZipCryptoWriteStream::TKvZipCryptoWriteStream(TKvStream& ADest, const TKvZipCryptoKeys& AKeys)
    : FDest(ADest), FKeys(AKeys), FScratch(KScratchSize) {}

int64_t TKvZipCryptoWriteStream::Read(void*, int64_t) {
    throw EKvFsError("This stream is write-only");
}

int64_t TKvZipCryptoWriteStream::Write(const void* ABuffer, int64_t ACount) {
    auto* bytes = static_cast<const uint8_t*>(ABuffer);
    for (int64_t done = 0; done < ACount;) {
        int64_t n = std::min<int64_t>(ACount - done, KScratchSize);
        for (int64_t i = 0; i < n; ++i)
            FScratch[i] = FKeys.Encrypt(bytes[done + i]);
        FDest.WriteAll(FScratch.data(), n);
        done += n;
    }
    return ACount;
}

TKvAesWriteStream::TKvAesWriteStream(TKvStream& ADest, const TKvBytes& AEncKey,
                                     const TKvBytes& AAuthKey)
    : FDest(ADest), FCtr(AEncKey.data(), AEncKey.size()), FHmac(AAuthKey.data(), AAuthKey.size()),
      FScratch(KScratchSize) {}

int64_t TKvAesWriteStream::Read(void*, int64_t) {
    throw EKvFsError("This stream is write-only");
}

int64_t TKvAesWriteStream::Write(const void* ABuffer, int64_t ACount) {
    auto* bytes = static_cast<const uint8_t*>(ABuffer);
    for (int64_t done = 0; done < ACount;) {
        int64_t n = std::min<int64_t>(ACount - done, KScratchSize);
        std::memcpy(FScratch.data(), bytes + done, static_cast<size_t>(n));
        FCtr.Process(FScratch.data(), static_cast<size_t>(n));
        FHmac.Update(FScratch.data(), n);
        FDest.WriteAll(FScratch.data(), n);
        done += n;
    }
    return ACount;
}

void TKvAesWriteStream::WriteAuthCode() {
    TKvBytes code = FHmac.Finish();
    FDest.WriteAll(code.data(), KAesAuthLength);
}

} // namespace kv
