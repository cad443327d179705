// Saved passwords in connectors.json: never stored in plain text.
//
// Three protections: the user account alone (the default), the account and a passkey, or the
// passkey alone ("portable": PBKDF2-HMAC-SHA256 and AES-256-GCM, so the file opens on any
// computer). Every protected text is one line of standard Base64; an empty secret is an empty
// text in every mode.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "Kv.Platform.AccountKey.h"

namespace kv {

// Raised by the protect operations; the message is a sentence for the user.
class EKvSecretError : public std::runtime_error {
public:
    explicit EKvSecretError(const std::string& AMessage) : std::runtime_error(AMessage) {}
};

// Bytes that held key material: overwritten when replaced or destroyed.
class TKvSecretBytes {
public:
    TKvSecretBytes() = default;
    TKvSecretBytes(const uint8_t* AData, size_t ASize) : FBytes(AData, AData + ASize) {}
    TKvSecretBytes(const TKvSecretBytes&) = default;
    TKvSecretBytes(TKvSecretBytes&& AOther) noexcept : FBytes(std::move(AOther.FBytes)) {}
    TKvSecretBytes& operator=(const TKvSecretBytes& AOther);
    TKvSecretBytes& operator=(TKvSecretBytes&& AOther) noexcept;
    ~TKvSecretBytes() { Clear(); }

    void Clear();
    void Resize(size_t ASize);
    uint8_t* Data() { return FBytes.data(); }
    const uint8_t* Data() const { return FBytes.data(); }
    size_t Size() const { return FBytes.size(); }
    bool Empty() const { return FBytes.empty(); }

private:
    std::vector<uint8_t> FBytes;
};

// Overwrites the bytes of a buffer that held a secret or a passkey.
void Cleanse(std::string& AText);

// The protection in force for one file. Portable: mode 3 with Key; otherwise an empty Passkey
// is mode 1 (account alone) and a non-empty one mode 2 (account and passkey).
struct TKvProtector {
    bool Portable = false;
    TKvSecretBytes Key;
    std::string Passkey;

    TKvProtector() = default;
    TKvProtector(const TKvProtector&) = default;
    TKvProtector& operator=(const TKvProtector&) = default;
    ~TKvProtector() { Cleanse(Passkey); }
};

inline constexpr std::string_view KSecretEntropyLabel = "Kolvan connector secrets v1";
inline constexpr std::string_view KPasskeyCheckText = "kolvan passkey check";
inline constexpr int KPortableIterations = 300000;
inline constexpr int KMinPortableIterations = 1000;
inline constexpr int KMaxPortableIterations = 20000000;
inline constexpr size_t KSaltBytes = 16;
inline constexpr size_t KMinSaltBytes = 8;
inline constexpr size_t KPortableKeyBytes = 32;

// Messages of the protect operations.
inline constexpr const char* KNoRandomData = "Could not make random data";
inline constexpr const char* KNoEncryptionSetUp = "Could not set up the encryption";
inline constexpr const char* KNoEncryption = "Could not encrypt";
inline constexpr const char* KNoPasskeyKey = "Could not make the key from the passkey";

// Standard Base64 with padding on one line. Decoding accepts exactly that and nothing else.
std::string Base64Encode(const uint8_t* AData, size_t ASize);
bool Base64Decode(std::string_view AText, std::vector<uint8_t>& ABytes);

// Modes 1 and 2: sealed with the account key (platform/Kv.Platform.AccountKey), the entropy
// bytes (label, or label, zero byte and passkey) as associated data. Protecting makes the
// account key on first use.
std::string ProtectForAccount(std::string_view APlain, std::string_view APasskey);
bool UnprotectForAccount(std::string_view AText, std::string_view APasskey, std::string& APlain);

// The account key as it stands, without making one: akFound, or akMissing / akRefused with what
// is wrong with it in AReason. APath gets where it is kept.
TKvAccountKeyStatus AccountKeyState(std::string& APath, std::string& AReason);

// From the system's generator; raises KNoRandomData when it fails.
std::vector<uint8_t> RandomBytes(size_t ACount);
// Base64 of KSaltBytes random bytes.
std::string NewSalt();

// PBKDF2-HMAC-SHA256 into a 32-byte key. False (and an empty key) for an empty passkey,
// iterations outside 1000..20000000, or a salt that is not Base64 of at least 8 bytes.
bool DeriveKeyFromPasskey(std::string_view APasskey, std::string_view ASalt, int AIterations,
                          TKvSecretBytes& AKey);

// Mode 3: Base64 of nonce (12), GCM tag (16) and ciphertext.
std::string ProtectWithKey(const TKvSecretBytes& AKey, std::string_view APlain);
bool UnprotectWithKey(const TKvSecretBytes& AKey, std::string_view AText, std::string& APlain);

// The pair the protector selects. Protecting raises EKvSecretError; unprotecting never raises.
std::string ProtectSecret(const TKvProtector& AProtector, std::string_view APlain);
bool UnprotectSecret(const TKvProtector& AProtector, std::string_view AText, std::string& APlain);

// Fills AProtector from the text of a connectors.json and the passkey the caller holds. A
// portable file needs a usable "kdf" (iterations 1000..20000000, a salt of 8 bytes or more).
bool ProtectorFromJson(std::string_view AText, std::string_view APasskey, TKvProtector& AProtector);
// A protector for writing: none, account and passkey, or portable with a fresh salt, whose
// Base64 text goes to ASalt. Raises KNoPasskeyKey when the key cannot be made.
TKvProtector ProtectorForSave(std::string_view APasskey, bool APortable, std::string& ASalt);

// The questions the windows ask about a file text; none of them raises.
// "passkey" is the JSON value true.
bool JsonHasPasskey(std::string_view AText);
// ... and "protection" is "portable" in any letter case.
bool JsonIsPortable(std::string_view AText);
// The passkey opens the file's "check"; a file without a passkey accepts only an empty one.
bool JsonCheckPasskey(std::string_view AText, std::string_view APasskey);

enum class TKvAccountKeyFit { afFits, afDiffers, afUnknown };
using enum TKvAccountKeyFit;
// A file locked with the account and a passkey: whether the account key in use now is the one
// it was locked with, which the passkey check alone cannot tell. afUnknown for other files and
// for files written without "accountCheck".
TKvAccountKeyFit JsonAccountKeyFits(std::string_view AText);

} // namespace kv
