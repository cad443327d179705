// The connectors.json reader, the protector reader and the known-hosts reader on arbitrary bytes:
// none may fail, and what the connections reader gives must write out as text that reads back
// the same.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <unistd.h>

#include "Kv.Connectors.h"
#include "Kv.KnownHosts.h"
#include "Kv.Platform.AccountKey.h"
#include "Kv.Secrets.h"
#include "KvFuzzWork.h"

namespace {

void Check(bool ACondition, const char* AWhat) {
    if (!ACondition) {
        std::fprintf(stderr, "broken: %s\n", AWhat);
        std::abort();
    }
}

// A private folder for the known-hosts file and an account key store that is not the user's.
const std::string& WorkFolder() {
    // TMPDIR may point at a memory file system: every added host is flushed to disk.
    static const std::string folder = [] {
        const std::string& work = kv::fuzz::WorkFolder();
        kv::SetAccountKeyStore(std::make_shared<kv::TKvAccountKeyFile>(work + "/account.key"));
        return work;
    }();
    return folder;
}

// A derivation of millions of iterations is legal but would stall the fuzzer for seconds.
bool CheapToDerive(std::string_view AInput) {
    nlohmann::json root = nlohmann::json::parse(AInput.begin(), AInput.end(), nullptr, false);
    if (!root.is_object() || !root.contains("kdf") || !root["kdf"].is_object())
        return true;
    const nlohmann::json& iterations = root["kdf"]["iterations"];
    return !iterations.is_number() || iterations.get<double>() <= 5000;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
    const std::string& folder = WorkFolder();
    std::string_view input(reinterpret_cast<const char*>(AData), ASize);

    kv::TKvConnectors list = kv::ConnectorsFromJson(input, "");
    kv::TKvFolderNames folders = kv::FoldersFromJson(input);
    std::string text = kv::ConnectorsToJson(list, "", false, folders);
    kv::TKvConnectors again = kv::ConnectorsFromJson(text, "");
    Check(again == list, "connections round trip");
    Check(kv::FoldersFromJson(text) == folders, "folders round trip");
    Check(kv::ConnectorsToJson(again, "", false, folders) == text, "connections text");

    kv::TKvConnectorTemplate stored = kv::TemplateFromJson(input);
    Check(kv::TemplateFromJson(kv::TemplateToJson(stored)) == stored, "template round trip");

    bool hasPasskey = kv::JsonHasPasskey(input);
    bool portable = kv::JsonIsPortable(input);
    Check(!portable || hasPasskey, "portable without a passkey");
    Check(!hasPasskey || !kv::JsonCheckPasskey(input, ""), "an empty passkey opens a locked file");
    if (CheapToDerive(input)) {
        kv::TKvProtector protector;
        kv::ProtectorFromJson(input, "fuzz passkey", protector);
        kv::JsonCheckPasskey(input, "fuzz passkey");
        kv::ConnectorsFromJson(input, "fuzz passkey");
    }
    std::string plain;
    kv::TKvSecretBytes key;
    key.Resize(32);
    kv::UnprotectWithKey(key, input, plain);
    kv::UnprotectForAccount(input, "", plain);

    std::string hosts = folder + "/known_hosts.txt";
    FILE* out = std::fopen(hosts.c_str(), "wb");
    Check(out != nullptr, "known hosts file");
    std::fwrite(AData, 1, ASize, out);
    std::fclose(out);
    kv::TKvKnownHostState state =
        kv::CheckKnownHost(hosts, "Example.com", 22, "ssh-ed25519", "SHA256:x");
    std::string before = kv::StoredFingerprint(hosts, "example.com", 22, "SSH-ED25519");
    Check((state == kv::khUnknown) == before.empty(), "lookup agrees");
    if (kv::AddKnownHost(hosts, "new.example", 2222, "ssh-ed25519", "SHA256:added")) {
        Check(kv::StoredFingerprint(hosts, "example.com", 22, "ssh-ed25519") == before,
              "old line kept");
        std::string added = kv::StoredFingerprint(hosts, "NEW.example ", 2222, "ssh-ed25519");
        Check(!added.empty(), "new line found");
    }
    return 0;
}
