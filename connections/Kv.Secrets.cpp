#include "Kv.Secrets.h"

#include <climits>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include "Kv.Numbers.h"
#include "Kv.Platform.AccountKey.h"
#include "Kv.Secrets.Json.h"
#include "Kv.Text.h"

namespace kv {

namespace {

constexpr size_t KNonceBytes = 12;
constexpr size_t KTagBytes = 16;
// Leads the account blob, so that another sealing can follow without guessing.
constexpr uint8_t KAccountBlobVersion = 1;

using TCipherContext = std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)>;

TCipherContext NewCipherContext() {
    return TCipherContext(EVP_CIPHER_CTX_new(), &EVP_CIPHER_CTX_free);
}

bool IsBase64Char(char AChar) {
    return (AChar >= 'A' && AChar <= 'Z') || (AChar >= 'a' && AChar <= 'z') ||
           (AChar >= '0' && AChar <= '9') || AChar == '+' || AChar == '/';
}

void RandomFill(uint8_t* ABuffer, size_t ACount) {
    if (ACount > INT_MAX || RAND_bytes(ABuffer, static_cast<int>(ACount)) != 1)
        throw EKvSecretError(KNoRandomData);
}

// Label, or label, zero byte and passkey: the associated data of the account sealing.
std::string EntropyBytes(std::string_view APasskey) {
    std::string entropy;
    entropy.reserve(KSecretEntropyLabel.size() + 1 + APasskey.size());
    entropy.append(KSecretEntropyLabel);
    if (!APasskey.empty()) {
        entropy.push_back('\0');
        entropy.append(APasskey);
    }
    return entropy;
}

// AES-256-GCM; the ciphertext is as long as the plain text. False when OpenSSL refuses the key
// (AKeyRefused) or the encryption.
bool GcmSeal(const uint8_t* AKey, const uint8_t* ANonce, std::string_view AAad,
             std::string_view APlain, uint8_t* ACipher, uint8_t* ATag, bool& AKeyRefused) {
    AKeyRefused = true;
    TCipherContext ctx = NewCipherContext();
    if (!ctx || EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, nullptr, nullptr) != 1 ||
        EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_IVLEN, KNonceBytes, nullptr) != 1 ||
        EVP_EncryptInit_ex(ctx.get(), nullptr, nullptr, AKey, ANonce) != 1)
        return false;
    AKeyRefused = false;
    int n = 0;
    if (APlain.size() > INT_MAX || AAad.size() > INT_MAX)
        return false;
    if (!AAad.empty() &&
        EVP_EncryptUpdate(ctx.get(), nullptr, &n, reinterpret_cast<const uint8_t*>(AAad.data()),
                          static_cast<int>(AAad.size())) != 1)
        return false;
    if (EVP_EncryptUpdate(ctx.get(), ACipher, &n, reinterpret_cast<const uint8_t*>(APlain.data()),
                          static_cast<int>(APlain.size())) != 1)
        return false;
    int tail = 0;
    if (EVP_EncryptFinal_ex(ctx.get(), ACipher + n, &tail) != 1 ||
        static_cast<size_t>(n + tail) != APlain.size())
        return false;
    return EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, KTagBytes, ATag) == 1;
}

// The plain text only when the tag authenticates; otherwise APlain stays empty.
bool GcmOpen(const uint8_t* AKey, const uint8_t* ANonce, std::string_view AAad, const uint8_t* ATag,
             const uint8_t* ACipher, size_t ACipherSize, std::string& APlain) {
    APlain.clear();
    if (ACipherSize > INT_MAX || AAad.size() > INT_MAX)
        return false;
    TCipherContext ctx = NewCipherContext();
    if (!ctx || EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, nullptr, nullptr) != 1 ||
        EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_IVLEN, KNonceBytes, nullptr) != 1 ||
        EVP_DecryptInit_ex(ctx.get(), nullptr, nullptr, AKey, ANonce) != 1)
        return false;
    int n = 0;
    if (!AAad.empty() &&
        EVP_DecryptUpdate(ctx.get(), nullptr, &n, reinterpret_cast<const uint8_t*>(AAad.data()),
                          static_cast<int>(AAad.size())) != 1)
        return false;
    std::string plain(ACipherSize, '\0');
    bool ok = EVP_DecryptUpdate(ctx.get(), reinterpret_cast<uint8_t*>(plain.data()), &n, ACipher,
                                static_cast<int>(ACipherSize)) == 1 &&
              EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, KTagBytes,
                                  const_cast<uint8_t*>(ATag)) == 1;
    int tail = 0;
    ok = ok &&
         EVP_DecryptFinal_ex(ctx.get(), reinterpret_cast<uint8_t*>(plain.data()) + n, &tail) == 1 &&
         static_cast<size_t>(n + tail) == ACipherSize;
    if (!ok) {
        // Unauthenticated output is nobody's business.
        Cleanse(plain);
        return false;
    }
    APlain = std::move(plain);
    return true;
}

// The account's key, made on first use when AMake. Raises with the store's reason.
bool AccountKey(bool AMake, TKvSecretBytes& AKey) {
    std::shared_ptr<IKvAccountKeyStore> store = CurrentAccountKeyStore();
    AKey.Resize(KAccountKeySize);
    std::string error;
    TKvAccountKeyStatus status = store->Read(AKey.Data(), error);
    if (status == akMissing && AMake) {
        TKvSecretBytes fresh;
        fresh.Resize(KAccountKeySize);
        RandomFill(fresh.Data(), fresh.Size());
        if (store->Create(fresh.Data(), error)) {
            AKey = std::move(fresh);
            return true;
        }
        // Another Kolvan may have made one at the same moment; theirs counts.
        std::string createError = error;
        status = store->Read(AKey.Data(), error);
        if (status == akMissing)
            error = createError;
    }
    if (status == akFound)
        return true;
    AKey.Clear();
    if (AMake)
        throw EKvSecretError(
            error.empty() ? std::string("Could not make the key of your user account") : error);
    return false;
}

} // namespace

TKvSecretBytes& TKvSecretBytes::operator=(const TKvSecretBytes& AOther) {
    if (this != &AOther) {
        Clear();
        FBytes = AOther.FBytes;
    }
    return *this;
}

TKvSecretBytes& TKvSecretBytes::operator=(TKvSecretBytes&& AOther) noexcept {
    if (this != &AOther) {
        Clear();
        FBytes = std::move(AOther.FBytes);
        AOther.FBytes.clear();
    }
    return *this;
}

void TKvSecretBytes::Clear() {
    if (!FBytes.empty())
        OPENSSL_cleanse(FBytes.data(), FBytes.size());
    FBytes.clear();
}

void TKvSecretBytes::Resize(size_t ASize) {
    Clear();
    FBytes.resize(ASize);
}

void Cleanse(std::string& AText) {
    if (!AText.empty())
        OPENSSL_cleanse(AText.data(), AText.size());
    AText.clear();
}

std::string Base64Encode(const uint8_t* AData, size_t ASize) {
    if (ASize == 0)
        return std::string();
    if (ASize > (INT_MAX / 4) * 3 - 3)
        throw EKvSecretError("The data is too large to encode");
    std::string text(4 * ((ASize + 2) / 3) + 1, '\0');
    int n =
        EVP_EncodeBlock(reinterpret_cast<uint8_t*>(text.data()), AData, static_cast<int>(ASize));
    text.resize(n < 0 ? 0 : static_cast<size_t>(n));
    return text;
}

bool Base64Decode(std::string_view AText, std::vector<uint8_t>& ABytes) {
    ABytes.clear();
    if (AText.size() % 4 != 0 || AText.size() > INT_MAX / 2)
        return false;
    // EVP_DecodeBlock skips blanks and reads "=" anywhere as zero bits; the stored form is
    // stricter, so anything but the alphabet and end padding is refused here first.
    size_t padding = 0;
    for (size_t i = 0; i < AText.size(); ++i) {
        char c = AText[i];
        if (c == '=') {
            if (i + 2 < AText.size() || (i + 2 == AText.size() && AText.back() != '='))
                return false;
            ++padding;
        } else if (!IsBase64Char(c) || padding > 0) {
            return false;
        }
    }
    if (AText.empty())
        return true;
    ABytes.resize(AText.size() / 4 * 3);
    int n = EVP_DecodeBlock(ABytes.data(), reinterpret_cast<const uint8_t*>(AText.data()),
                            static_cast<int>(AText.size()));
    if (n < 0 || static_cast<size_t>(n) != ABytes.size()) {
        ABytes.clear();
        return false;
    }
    ABytes.resize(ABytes.size() - padding);
    return true;
}

std::string ProtectForAccount(std::string_view APlain, std::string_view APasskey) {
    if (APlain.empty())
        return std::string();
    TKvSecretBytes key;
    AccountKey(true, key);
    std::vector<uint8_t> blob(1 + KNonceBytes + KTagBytes + APlain.size());
    blob[0] = KAccountBlobVersion;
    uint8_t* nonce = blob.data() + 1;
    uint8_t* tag = nonce + KNonceBytes;
    RandomFill(nonce, KNonceBytes);
    std::string entropy = EntropyBytes(APasskey);
    bool keyRefused = false;
    bool sealed = GcmSeal(key.Data(), nonce, entropy, APlain, tag + KTagBytes, tag, keyRefused);
    Cleanse(entropy);
    if (!sealed)
        throw EKvSecretError(keyRefused ? KNoEncryptionSetUp : KNoEncryption);
    return Base64Encode(blob.data(), blob.size());
}

bool UnprotectForAccount(std::string_view AText, std::string_view APasskey, std::string& APlain) {
    APlain.clear();
    if (AText.empty())
        return true;
    std::vector<uint8_t> blob;
    if (!Base64Decode(AText, blob) || blob.size() <= 1 + KNonceBytes + KTagBytes ||
        blob[0] != KAccountBlobVersion)
        return false;
    TKvSecretBytes key;
    try {
        if (!AccountKey(false, key))
            return false;
    } catch (const std::exception&) {
        return false;
    }
    const uint8_t* nonce = blob.data() + 1;
    const uint8_t* tag = nonce + KNonceBytes;
    std::string entropy = EntropyBytes(APasskey);
    bool ok = GcmOpen(key.Data(), nonce, entropy, tag, tag + KTagBytes,
                      blob.size() - 1 - KNonceBytes - KTagBytes, APlain);
    Cleanse(entropy);
    return ok;
}

TKvAccountKeyStatus AccountKeyState(std::string& APath, std::string& AReason) {
    std::shared_ptr<IKvAccountKeyStore> store = CurrentAccountKeyStore();
    const auto* file = dynamic_cast<const TKvAccountKeyFile*>(store.get());
    APath = file ? file->Path() : AccountKeyPath();
    TKvSecretBytes key;
    key.Resize(KAccountKeySize);
    TKvAccountKeyStatus status = store->Read(key.Data(), AReason);
    if (status == akMissing)
        AReason = "there is no such file";
    // The store says "path: reason"; the path is given apart.
    else if (AReason.compare(0, APath.size() + 2, APath + ": ") == 0)
        AReason.erase(0, APath.size() + 2);
    return status;
}

std::vector<uint8_t> RandomBytes(size_t ACount) {
    std::vector<uint8_t> bytes(ACount);
    if (ACount > 0)
        RandomFill(bytes.data(), ACount);
    return bytes;
}

std::string NewSalt() {
    std::vector<uint8_t> salt = RandomBytes(KSaltBytes);
    return Base64Encode(salt.data(), salt.size());
}

bool DeriveKeyFromPasskey(std::string_view APasskey, std::string_view ASalt, int AIterations,
                          TKvSecretBytes& AKey) {
    AKey.Clear();
    if (APasskey.empty() || APasskey.size() > INT_MAX || AIterations < KMinPortableIterations ||
        AIterations > KMaxPortableIterations)
        return false;
    std::vector<uint8_t> salt;
    if (!Base64Decode(ASalt, salt) || salt.size() < KMinSaltBytes || salt.size() > INT_MAX)
        return false;
    AKey.Resize(KPortableKeyBytes);
    if (PKCS5_PBKDF2_HMAC(APasskey.data(), static_cast<int>(APasskey.size()), salt.data(),
                          static_cast<int>(salt.size()), AIterations, EVP_sha256(),
                          static_cast<int>(AKey.Size()), AKey.Data()) != 1) {
        AKey.Clear();
        return false;
    }
    return true;
}

std::string ProtectWithKey(const TKvSecretBytes& AKey, std::string_view APlain) {
    if (APlain.empty())
        return std::string();
    std::vector<uint8_t> sealed(KNonceBytes + KTagBytes + APlain.size());
    uint8_t* nonce = sealed.data();
    uint8_t* tag = nonce + KNonceBytes;
    RandomFill(nonce, KNonceBytes);
    if (AKey.Size() != KPortableKeyBytes)
        throw EKvSecretError(KNoEncryptionSetUp);
    bool keyRefused = false;
    if (!GcmSeal(AKey.Data(), nonce, std::string_view(), APlain, tag + KTagBytes, tag, keyRefused))
        throw EKvSecretError(keyRefused ? KNoEncryptionSetUp : KNoEncryption);
    return Base64Encode(sealed.data(), sealed.size());
}

bool UnprotectWithKey(const TKvSecretBytes& AKey, std::string_view AText, std::string& APlain) {
    APlain.clear();
    if (AText.empty())
        return true;
    std::vector<uint8_t> sealed;
    // At least one byte of ciphertext: an empty secret is stored as an empty text instead.
    if (!Base64Decode(AText, sealed) || sealed.size() <= KNonceBytes + KTagBytes ||
        AKey.Size() != KPortableKeyBytes)
        return false;
    const uint8_t* nonce = sealed.data();
    const uint8_t* tag = nonce + KNonceBytes;
    return GcmOpen(AKey.Data(), nonce, std::string_view(), tag, tag + KTagBytes,
                   sealed.size() - KNonceBytes - KTagBytes, APlain);
}

std::string ProtectSecret(const TKvProtector& AProtector, std::string_view APlain) {
    if (AProtector.Portable)
        return ProtectWithKey(AProtector.Key, APlain);
    return ProtectForAccount(APlain, AProtector.Passkey);
}

bool UnprotectSecret(const TKvProtector& AProtector, std::string_view AText, std::string& APlain) {
    if (AProtector.Portable)
        return UnprotectWithKey(AProtector.Key, AText, APlain);
    return UnprotectForAccount(AText, AProtector.Passkey, APlain);
}

namespace {

// The JSON grammar of a number, whole token.
bool IsJsonNumber(std::string_view AToken) {
    size_t i = 0, n = AToken.size();
    auto digits = [&] {
        size_t start = i;
        while (i < n && AToken[i] >= '0' && AToken[i] <= '9')
            ++i;
        return i > start;
    };
    if (i < n && AToken[i] == '-')
        ++i;
    if (i < n && AToken[i] == '0')
        ++i;
    else if (!digits())
        return false;
    if (i < n && AToken[i] == '.' && (++i, !digits()))
        return false;
    if (i < n && (AToken[i] == 'e' || AToken[i] == 'E')) {
        ++i;
        if (i < n && (AToken[i] == '+' || AToken[i] == '-'))
            ++i;
        if (!digits())
            return false;
    }
    return i == n;
}

bool OverflowsDouble(std::string_view AToken) {
    // The C locale, as the decimal point of a JSON number is always ".".
    static const locale_t numeric = ::newlocale(LC_NUMERIC_MASK, "C", locale_t(0));
    std::string token(AToken);
    return numeric && std::isinf(::strtod_l(token.c_str(), nullptr, numeric));
}

// Puts null where a number lies beyond the range of a double (1e400, 400 digits), which the
// parser refuses with the whole text; strings are left alone. False when there is none.
bool NullOverflowingNumbers(std::string_view AText, std::string& ATamed) {
    ATamed.clear();
    bool changed = false, inString = false;
    size_t i = 0;
    while (i < AText.size()) {
        char c = AText[i];
        if (inString) {
            size_t step = c == '\\' && i + 1 < AText.size() ? 2 : 1;
            inString = c != '"';
            ATamed.append(AText.substr(i, step));
            i += step;
        } else if (c == '-' || (c >= '0' && c <= '9')) {
            size_t end = AText.find_first_not_of("0123456789+-.eE", i);
            std::string_view token = AText.substr(i, end == std::string_view::npos ? end : end - i);
            bool overflows = IsJsonNumber(token) && OverflowsDouble(token);
            ATamed.append(overflows ? std::string_view("null") : token);
            changed = changed || overflows;
            i += token.size();
        } else {
            inString = c == '"';
            ATamed.push_back(c);
            ++i;
        }
    }
    return changed;
}

TKvJson ParseOrDiscard(std::string_view AText) {
    // Refused before parsing: building a document nested this deep recurses past the stack.
    if (!JsonNestingWithin(AText))
        return TKvJson(TKvJson::value_t::discarded);
    try {
        return TKvJson::parse(AText.begin(), AText.end(), nullptr, false);
    } catch (const std::exception&) {
        return TKvJson(TKvJson::value_t::discarded);
    }
}

} // namespace

TKvJson ParseJsonText(std::string_view AText) {
    TKvJson root = ParseOrDiscard(AText);
    // Such a number is a malformed value like any other: it falls back to its default and
    // costs none of the other entries.
    std::string tamed;
    if (root.is_discarded() && NullOverflowingNumbers(AText, tamed))
        root = ParseOrDiscard(tamed);
    Cleanse(tamed);
    return root;
}

const TKvJson* FindMember(const TKvJson& AObject, const char* AKey) {
    if (!AObject.is_object())
        return nullptr;
    auto it = AObject.find(AKey);
    return it == AObject.end() ? nullptr : &*it;
}

std::string StringMember(const TKvJson& AObject, const char* AKey) {
    const TKvJson* value = FindMember(AObject, AKey);
    return value && value->is_string() ? value->get<std::string>() : std::string();
}

bool RootHasPasskey(const TKvJson& ARoot) {
    const TKvJson* value = FindMember(ARoot, "passkey");
    return value && value->is_boolean() && value->get<bool>();
}

bool RootIsPortable(const TKvJson& ARoot) {
    const TKvJson* value = FindMember(ARoot, "protection");
    return RootHasPasskey(ARoot) && value && value->is_string() &&
           SameTextAscii(value->get_ref<const std::string&>(), "portable");
}

bool ProtectorFromRoot(const TKvJson& ARoot, std::string_view APasskey, TKvProtector& AProtector) {
    AProtector = TKvProtector();
    AProtector.Passkey = std::string(APasskey);
    if (!RootIsPortable(ARoot))
        return true;
    AProtector.Portable = true;
    const TKvJson* kdf = FindMember(ARoot, "kdf");
    if (!kdf || !kdf->is_object())
        return false;
    const TKvJson* iterations = FindMember(*kdf, "iterations");
    if (!iterations || !iterations->is_number())
        return false;
    // The range applies to the number as written, before rounding.
    double count = iterations->get<double>();
    if (!std::isfinite(count) || count < KMinPortableIterations || count > KMaxPortableIterations)
        return false;
    return DeriveKeyFromPasskey(APasskey, StringMember(*kdf, "salt"),
                                static_cast<int>(RoundHalfEven(count)), AProtector.Key);
}

bool CheckWithProtector(const TKvJson& ARoot, const TKvProtector& AProtector) {
    std::string plain;
    bool ok = UnprotectSecret(AProtector, StringMember(ARoot, "check"), plain) &&
              plain == KPasskeyCheckText;
    Cleanse(plain);
    return ok;
}

bool RootCheckPasskey(const TKvJson& ARoot, std::string_view APasskey) {
    if (!ARoot.is_object())
        return false;
    if (!RootHasPasskey(ARoot))
        return APasskey.empty();
    if (APasskey.empty())
        return false;
    TKvProtector protector;
    return ProtectorFromRoot(ARoot, APasskey, protector) && CheckWithProtector(ARoot, protector);
}

bool ProtectorFromJson(std::string_view AText, std::string_view APasskey,
                       TKvProtector& AProtector) {
    TKvJson root = ParseJsonText(AText);
    if (!root.is_object()) {
        AProtector = TKvProtector();
        AProtector.Passkey = std::string(APasskey);
        return false;
    }
    return ProtectorFromRoot(root, APasskey, AProtector);
}

TKvProtector ProtectorForSave(std::string_view APasskey, bool APortable, std::string& ASalt) {
    TKvProtector protector;
    protector.Passkey = std::string(APasskey);
    ASalt.clear();
    if (APasskey.empty() || !APortable)
        return protector;
    protector.Portable = true;
    ASalt = NewSalt();
    if (!DeriveKeyFromPasskey(APasskey, ASalt, KPortableIterations, protector.Key))
        throw EKvSecretError(KNoPasskeyKey);
    return protector;
}

bool JsonHasPasskey(std::string_view AText) {
    return RootHasPasskey(ParseJsonText(AText));
}

bool JsonIsPortable(std::string_view AText) {
    return RootIsPortable(ParseJsonText(AText));
}

bool JsonCheckPasskey(std::string_view AText, std::string_view APasskey) {
    return RootCheckPasskey(ParseJsonText(AText), APasskey);
}

TKvAccountKeyFit JsonAccountKeyFits(std::string_view AText) {
    TKvJson root = ParseJsonText(AText);
    std::string sealed = StringMember(root, "accountCheck");
    if (!RootHasPasskey(root) || RootIsPortable(root) || sealed.empty())
        return afUnknown;
    std::string plain;
    bool fits = UnprotectForAccount(sealed, "", plain) && plain == KPasskeyCheckText;
    Cleanse(plain);
    return fits ? afFits : afDiffers;
}

} // namespace kv
