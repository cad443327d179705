#include "Kv.Ssh.UserKnownHosts.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include "Kv.Platform.Folders.h"
#include "Kv.Secrets.h"
#include "Kv.Ssh.Config.h"
#include "Kv.Text.h"

namespace kv {

namespace {

struct TEntry {
    int Line = 0;
    std::string Marker; // "", "@revoked" or "@cert-authority"
    std::string Hosts;
    std::string KeyType;
    std::string KeyBase64;
};

std::vector<std::string> Fields(const std::string& ALine) {
    std::vector<std::string> fields;
    std::string field;
    for (char c : ALine) {
        if (c == ' ' || c == '\t' || c == '\r') {
            if (!field.empty())
                fields.push_back(std::move(field));
            field.clear();
        } else {
            field += c;
        }
    }
    if (!field.empty())
        fields.push_back(std::move(field));
    return fields;
}

std::vector<TEntry> Entries(const std::string& AText) {
    std::vector<TEntry> entries;
    int number = 0;
    size_t start = 0;
    while (start < AText.size()) {
        size_t end = AText.find('\n', start);
        if (end == std::string::npos)
            end = AText.size();
        ++number;
        std::vector<std::string> fields = Fields(AText.substr(start, end - start));
        start = end + 1;
        if (fields.empty() || fields[0][0] == '#')
            continue;
        TEntry entry;
        entry.Line = number;
        size_t at = 0;
        if (fields[0][0] == '@')
            entry.Marker = LowerAscii(fields[at++]);
        if (fields.size() < at + 3)
            continue;
        entry.Hosts = fields[at];
        entry.KeyType = fields[at + 1];
        entry.KeyBase64 = fields[at + 2];
        entries.push_back(std::move(entry));
    }
    return entries;
}

// "|1|" + Base64 salt + "|" + Base64 of HMAC-SHA1(salt, name).
bool HashedMatches(const std::string& AField, const std::string& AName) {
    size_t bar = AField.find('|', 3);
    if (AField.rfind("|1|", 0) != 0 || bar == std::string::npos)
        return false;
    std::vector<uint8_t> salt, hash;
    if (!Base64Decode(AField.substr(3, bar - 3), salt) ||
        !Base64Decode(AField.substr(bar + 1), hash) || hash.size() != 20)
        return false;
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!HMAC(EVP_sha1(), salt.data(), static_cast<int>(salt.size()),
              reinterpret_cast<const unsigned char*>(AName.data()), AName.size(), digest,
              &length) ||
        length != 20)
        return false;
    return CRYPTO_memcmp(digest, hash.data(), 20) == 0;
}

bool HostFieldMatches(const std::string& AField, const std::string& AName) {
    if (AField.rfind("|", 0) == 0)
        return HashedMatches(AField, AName);
    std::vector<std::string> patterns;
    size_t start = 0;
    while (start <= AField.size()) {
        size_t comma = AField.find(',', start);
        if (comma == std::string::npos)
            comma = AField.size();
        patterns.push_back(AField.substr(start, comma - start));
        start = comma + 1;
    }
    return SshHostMatches(patterns, AName);
}

std::string DecodedKey(const std::string& ABase64) {
    std::vector<uint8_t> bytes;
    if (!Base64Decode(ABase64, bytes))
        return {};
    return std::string(bytes.begin(), bytes.end());
}

} // namespace

std::string OpenSshHostName(const std::string& AHost, int APort) {
    std::string host = LowerAscii(std::string(TrimmedView(AHost)));
    return APort == 22 ? host : "[" + host + "]:" + std::to_string(APort);
}

std::vector<int> UserKnownHostsLines(const std::string& AText, const std::string& AHost,
                                     int APort) {
    std::vector<int> lines;
    const std::string name = OpenSshHostName(AHost, APort);
    for (const auto& entry : Entries(AText))
        if (HostFieldMatches(entry.Hosts, name))
            lines.push_back(entry.Line);
    return lines;
}

TKvUserKnownHost CheckUserKnownHosts(const std::string& AText, const std::string& AHost, int APort,
                                     const std::string& AKeyType, const std::string& AKey) {
    TKvUserKnownHost result;
    const std::string name = OpenSshHostName(AHost, APort);
    TKvUserKnownHost match, changed, other_type;
    for (const auto& entry : Entries(AText)) {
        if (entry.Marker == "@revoked") {
            if (HostFieldMatches(entry.Hosts, name) && DecodedKey(entry.KeyBase64) == AKey) {
                result.State = ukRevoked;
                result.Line = entry.Line;
                return result;
            }
            continue;
        }
        // Certificate authorities sign host certificates, which are not used here.
        if (!entry.Marker.empty() || !HostFieldMatches(entry.Hosts, name))
            continue;
        std::string stored = DecodedKey(entry.KeyBase64);
        if (LowerAscii(entry.KeyType) != LowerAscii(AKeyType)) {
            if (other_type.Line == 0)
                other_type = {ukChanged, entry.Line, stored, entry.KeyType};
            continue;
        }
        if (stored == AKey) {
            if (match.Line == 0)
                match = {ukMatch, entry.Line, {}, {}};
        } else if (changed.Line == 0) {
            changed = {ukChanged, entry.Line, stored, entry.KeyType};
        }
    }
    if (match.Line != 0)
        return match;
    if (changed.Line != 0)
        return changed;
    if (other_type.Line != 0)
        return other_type;
    return result;
}

std::vector<std::string> UserKnownHostKeyTypes(const std::string& AText, const std::string& AHost,
                                               int APort) {
    std::vector<std::string> types;
    const std::string name = OpenSshHostName(AHost, APort);
    for (const auto& entry : Entries(AText)) {
        if (!entry.Marker.empty() || !HostFieldMatches(entry.Hosts, name))
            continue;
        bool seen = false;
        for (const auto& type : types)
            seen = seen || LowerAscii(type) == LowerAscii(entry.KeyType);
        if (!seen)
            types.push_back(entry.KeyType);
    }
    return types;
}

std::string UserKnownHostsFile() {
    return HomeFolder() + "/.ssh/known_hosts";
}

} // namespace kv
