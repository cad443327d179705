// The key that binds saved passwords to this user account: 32 random bytes in a private file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace kv {

inline constexpr size_t KAccountKeySize = 32;

enum class TKvAccountKeyStatus { akFound, akMissing, akRefused };
using enum TKvAccountKeyStatus;

// Where an account keeps its key. Tests give each pretend account a store of its own.
class IKvAccountKeyStore {
public:
    virtual ~IKvAccountKeyStore() = default;
    // Fills AKey (KAccountKeySize bytes) when found; AError gets the reason when refused.
    virtual TKvAccountKeyStatus Read(uint8_t* AKey, std::string& AError) = 0;
    // Stores AKey as the account's key unless a key (or anything) is already there; false then,
    // or on failure with the reason in AError.
    virtual bool Create(const uint8_t* AKey, std::string& AError) = 0;
};

// The key in one file: created exclusively with mode 0600, and read only while it is a regular
// file of this user with mode 0600 and exactly the key's size.
class TKvAccountKeyFile : public IKvAccountKeyStore {
public:
    explicit TKvAccountKeyFile(std::string APath) : FPath(std::move(APath)) {}
    TKvAccountKeyStatus Read(uint8_t* AKey, std::string& AError) override;
    bool Create(const uint8_t* AKey, std::string& AError) override;
    const std::string& Path() const { return FPath; }

private:
    std::string FPath;
};

// ${XDG_DATA_HOME:-$HOME/.local/share}/kolvan/account.key: never in a portable data folder,
// which may travel on a stick together with the files it protects.
std::string AccountKeyPath();

// The store in use; by default a TKvAccountKeyFile at AccountKeyPath(). Safe from any thread.
std::shared_ptr<IKvAccountKeyStore> CurrentAccountKeyStore();
// Null goes back to the default.
void SetAccountKeyStore(std::shared_ptr<IKvAccountKeyStore> AStore);

} // namespace kv
