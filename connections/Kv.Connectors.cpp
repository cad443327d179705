#include "Kv.Connectors.h"

#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "Kv.FileUtil.h"
#include "Kv.Log.h"
#include "Kv.Numbers.h"
#include "Kv.Secrets.Json.h"
#include "Kv.Secrets.h"
#include "Kv.Text.h"

namespace kv {

namespace {

// Written members keep the order they are set in.
using TOrderedJson = nlohmann::ordered_json;

struct TKindInfo {
    std::string_view Name;
    std::string_view Caption;
    int Port;
};

constexpr TKindInfo KKinds[KConnectorKindCount] = {
    {"ssh", "SSH (terminal)", 22},
    {"telnet", "Telnet (terminal, not encrypted)", 23},
    {"sftp", "SFTP (files over SSH)", 22},
    {"ftp", "FTP (plain, not encrypted)", 21},
    {"ftps", "FTPS (FTP over TLS, explicit)", 21},
    {"ftps-implicit", "FTPS (FTP over TLS, implicit)", 990},
    {"webdavs", "WebDAV (HTTPS, TLS/SSL implicit)", 443},
};

int Ordinal(TKvConnectorKind AKind) {
    int ordinal = static_cast<int>(AKind);
    return ordinal >= 0 && ordinal < KConnectorKindCount ? ordinal : static_cast<int>(ckSftp);
}

bool IsTrue(const TKvJson* AValue) {
    return AValue && AValue->is_boolean() && AValue->get<bool>();
}

// Missing or anything but false counts as true.
bool IsNotFalse(const TKvJson* AValue) {
    return !(AValue && AValue->is_boolean() && !AValue->get<bool>());
}

TKvConnector NewConnectorWithId(std::string AId) {
    TKvConnector connector;
    connector.Id = std::move(AId);
    connector.Name = "New connection";
    connector.Kind = ckSftp;
    connector.Port = DefaultPortFor(ckSftp);
    connector.Auth = amPassword;
    connector.SavePassword = true;
    connector.RememberOtherPath = true;
    connector.Hybrid = true;
    connector.UseAgent = true;
    return connector;
}

// One element of "connectors"; false when it is not a connection of a known kind.
bool ReadConnector(const TKvJson& AItem, const TKvProtector* AProtector, TKvConnector& AConnector) {
    if (!AItem.is_object())
        return false;
    TKvConnectorKind kind;
    if (!ConnectorKindFromName(StringMember(AItem, "kind"), kind))
        return false;
    std::string id = StringMember(AItem, "id");
    AConnector = NewConnectorWithId(id.empty() ? NewConnectorId() : std::move(id));
    AConnector.Kind = kind;
    AConnector.Port = DefaultPortFor(kind);
    AConnector.Name = StringMember(AItem, "name");
    AConnector.Folder = std::string(TrimmedView(StringMember(AItem, "folder")));
    AConnector.Host = StringMember(AItem, "host");
    AConnector.User = StringMember(AItem, "user");
    AConnector.KeyFile = StringMember(AItem, "keyFile");
    AConnector.StartDir = StringMember(AItem, "startDir");
    AConnector.Shell = StringMember(AItem, "shell");
    AConnector.IgnoreColors = IsTrue(FindMember(AItem, "ignoreColors"));
    AConnector.UpdateStartDir = IsTrue(FindMember(AItem, "updateStartDir"));
    AConnector.RememberOtherPath = IsNotFalse(FindMember(AItem, "rememberOtherPath"));
    AConnector.Hybrid = IsNotFalse(FindMember(AItem, "hybrid"));
    // Files written before the choice existed get the agent, as new connections do.
    AConnector.UseAgent = IsNotFalse(FindMember(AItem, "useAgent"));

    // The range applies to the number as written, before rounding.
    if (const TKvJson* port = FindMember(AItem, "port"); port && port->is_number()) {
        double value = port->get<double>();
        if (std::isfinite(value) && value >= 1 && value <= 65535)
            AConnector.Port = static_cast<int>(RoundHalfEven(value));
    }
    AConnector.Auth = HasLoginChoice(kind) && SameTextAscii(StringMember(AItem, "auth"), "key")
                          ? amKeyFile
                          : amPassword;

    AConnector.SavePassword = IsTrue(FindMember(AItem, "savePassword"));
    if (AConnector.SavePassword && !AProtector) {
        AConnector.SavePassword = false;
    } else if (AConnector.SavePassword) {
        std::string stored = StringMember(AItem, "secret");
        std::string plain;
        if (UnprotectSecret(*AProtector, stored, plain))
            AConnector.Secret = std::move(plain);
        else
            // Dropping it would lose the password for good at the next save, though the cause
            // (a missing key, say) may be mended.
            AConnector.KeptSecret = std::move(stored);
        Cleanse(plain);
    }
    return true;
}

// AProtector null: the saved secrets cannot be read.
TKvConnectors ReadConnectors(const TKvJson& ARoot, const TKvProtector* AProtector) {
    TKvConnectors list;
    const TKvJson* items = FindMember(ARoot, "connectors");
    if (!items || !items->is_array())
        return list;
    for (const TKvJson& item : *items) {
        TKvConnector connector;
        if (!ReadConnector(item, AProtector, connector))
            continue;
        // A hand-copied entry repeats its id; the copy gets its own, or deleting or updating
        // one of them by id would reach the other.
        if (IndexOfConnector(list, connector.Id) >= 0)
            connector.Id = NewConnectorId();
        list.push_back(std::move(connector));
    }
    return list;
}

TKvConnectors ReadConnectorsWithPasskey(const TKvJson& ARoot, std::string_view APasskey) {
    if (!ARoot.is_object())
        return TKvConnectors();
    TKvProtector protector;
    bool readable = !RootHasPasskey(ARoot) ||
                    (!APasskey.empty() && ProtectorFromRoot(ARoot, APasskey, protector));
    return ReadConnectors(ARoot, readable ? &protector : nullptr);
}

TKvFolderNames FoldersOf(const TKvJson& ARoot) {
    TKvFolderNames names;
    if (const TKvJson* folders = FindMember(ARoot, "folders"); folders && folders->is_array()) {
        for (const TKvJson& item : *folders) {
            if (item.is_string())
                names.push_back(item.get<std::string>());
        }
    }
    return CollectFolders(ReadConnectors(ARoot, nullptr), names);
}

TOrderedJson ConnectorToJson(const TKvConnector& AConnector, const TKvProtector& AProtector) {
    TOrderedJson item = TOrderedJson::object();
    item["id"] = AConnector.Id;
    item["name"] = AConnector.Name;
    if (!AConnector.Folder.empty())
        item["folder"] = AConnector.Folder;
    item["kind"] = std::string(ConnectorKindName(AConnector.Kind));
    item["host"] = AConnector.Host;
    item["port"] = AConnector.Port;
    item["user"] = AConnector.User;
    item["auth"] =
        AConnector.Auth == amKeyFile && HasLoginChoice(AConnector.Kind) ? "key" : "password";
    item["keyFile"] = AConnector.KeyFile;
    item["startDir"] = AConnector.StartDir;
    item["savePassword"] = AConnector.SavePassword;
    item["ignoreColors"] = AConnector.IgnoreColors;
    item["rememberOtherPath"] = AConnector.RememberOtherPath;
    item["updateStartDir"] = AConnector.UpdateStartDir;
    item["hybrid"] = AConnector.Hybrid;
    item["shell"] = AConnector.Shell;
    if (HasLoginChoice(AConnector.Kind))
        item["useAgent"] = AConnector.UseAgent;
    if (AConnector.SavePassword && !AConnector.Secret.empty())
        item["secret"] = ProtectSecret(AProtector, AConnector.Secret);
    else if (AConnector.SavePassword && !AConnector.KeptSecret.empty())
        item["secret"] = AConnector.KeptSecret;
    return item;
}

} // namespace

bool IsTerminalKind(TKvConnectorKind AKind) {
    return AKind == ckSsh || AKind == ckTelnet;
}

bool HasLoginChoice(TKvConnectorKind AKind) {
    return AKind == ckSsh || AKind == ckSftp;
}

bool IsFtpKind(TKvConnectorKind AKind) {
    return AKind == ckFtp || AKind == ckFtps || AKind == ckFtpsImplicit;
}

bool IsWebDavKind(TKvConnectorKind AKind) {
    return AKind == ckWebDavs;
}

bool IsPlainFileKind(TKvConnectorKind AKind) {
    return IsFtpKind(AKind) || IsWebDavKind(AKind);
}

int DefaultPortFor(TKvConnectorKind AKind) {
    return KKinds[Ordinal(AKind)].Port;
}

std::string_view ConnectorKindName(TKvConnectorKind AKind) {
    return KKinds[Ordinal(AKind)].Name;
}

std::string_view ConnectorKindCaption(TKvConnectorKind AKind) {
    return KKinds[Ordinal(AKind)].Caption;
}

bool ConnectorKindFromName(std::string_view AName, TKvConnectorKind& AKind) {
    for (int i = 0; i < KConnectorKindCount; ++i) {
        if (SameTextAscii(AName, KKinds[i].Name)) {
            AKind = static_cast<TKvConnectorKind>(i);
            return true;
        }
    }
    return false;
}

std::string NewConnectorId() {
    std::vector<uint8_t> bytes = RandomBytes(16);
    // A version 4 (random) GUID.
    bytes[6] = static_cast<uint8_t>((bytes[6] & 0x0f) | 0x40);
    bytes[8] = static_cast<uint8_t>((bytes[8] & 0x3f) | 0x80);
    char text[40];
    std::snprintf(
        text, sizeof text, "{%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
        bytes[0], bytes[1], bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7], bytes[8],
        bytes[9], bytes[10], bytes[11], bytes[12], bytes[13], bytes[14], bytes[15]);
    return text;
}

TKvConnector NewConnector() {
    return NewConnectorWithId(NewConnectorId());
}

std::string ConnectorTitle(const TKvConnector& AConnector) {
    return AConnector.Name.empty() ? AConnector.Host : AConnector.Name;
}

bool ConnectorComplete(const TKvConnector& AConnector) {
    if (TrimmedView(AConnector.Host).empty() || AConnector.Port < 1 || AConnector.Port > 65535)
        return false;
    if (AConnector.Kind != ckTelnet && TrimmedView(AConnector.User).empty())
        return false;
    if (HasLoginChoice(AConnector.Kind) && AConnector.Auth == amKeyFile &&
        TrimmedView(AConnector.KeyFile).empty())
        return false;
    return true;
}

int IndexOfConnector(const TKvConnectors& AList, std::string_view AId) {
    for (size_t i = 0; i < AList.size(); ++i) {
        if (SameTextAscii(AList[i].Id, AId))
            return static_cast<int>(i);
    }
    return -1;
}

bool ConnectorMatches(const TKvConnector& AConnector, std::string_view AFilter) {
    std::string searched = LowerAscii(ConnectorTitle(AConnector) + " " + AConnector.User + "@" +
                                      AConnector.Host + " " + AConnector.Folder);
    std::string filter = LowerAscii(TrimmedView(AFilter));
    size_t start = 0;
    while (start < filter.size()) {
        size_t end = filter.find(' ', start);
        if (end == std::string::npos)
            end = filter.size();
        if (end > start &&
            searched.find(std::string_view(filter).substr(start, end - start)) == std::string::npos)
            return false;
        start = end + 1;
    }
    return true;
}

void AddFolderName(TKvFolderNames& AFolders, std::string_view AName) {
    std::string_view name = TrimmedView(AName);
    if (name.empty())
        return;
    for (const std::string& folder : AFolders) {
        if (SameTextAscii(folder, name))
            return;
    }
    AFolders.emplace_back(name);
}

TKvFolderNames CollectFolders(const TKvConnectors& AList, const TKvFolderNames& AFolders) {
    TKvFolderNames merged;
    for (const std::string& folder : AFolders)
        AddFolderName(merged, folder);
    for (const TKvConnector& connector : AList)
        AddFolderName(merged, connector.Folder);
    return merged;
}

std::string ConnectorsFilePath() {
    std::string folder = DataFolder();
    if (folder.empty() || folder.back() != '/')
        folder += '/';
    return folder + "connectors.json";
}

std::string ConnectorsToJson(const TKvConnectors& AList, std::string_view APasskey, bool APortable,
                             const TKvFolderNames& AFolders) {
    std::string salt;
    TKvProtector protector = ProtectorForSave(APasskey, APortable, salt);

    TOrderedJson root = TOrderedJson::object();
    root["version"] = 2;
    if (!APasskey.empty()) {
        root["passkey"] = true;
        if (protector.Portable) {
            root["protection"] = "portable";
            TOrderedJson kdf = TOrderedJson::object();
            kdf["algorithm"] = "pbkdf2-sha256";
            kdf["salt"] = salt;
            kdf["iterations"] = KPortableIterations;
            root["kdf"] = std::move(kdf);
        }
        root["check"] = ProtectSecret(protector, KPasskeyCheckText);
        // The check fails alike for a wrong passkey and for another account key; this one,
        // sealed with the account key alone, tells the two apart at unlock.
        if (!protector.Portable)
            root["accountCheck"] = ProtectForAccount(KPasskeyCheckText, "");
    }
    root["folders"] = CollectFolders(AList, AFolders);
    TOrderedJson items = TOrderedJson::array();
    for (const TKvConnector& connector : AList)
        items.push_back(ConnectorToJson(connector, protector));
    root["connectors"] = std::move(items);
    // Paths are bytes on Linux; one that is not UTF-8 must not make saving fail.
    return root.dump(2, ' ', false, TOrderedJson::error_handler_t::replace);
}

TKvConnectors ConnectorsFromJson(std::string_view AText, std::string_view APasskey) {
    try {
        return ReadConnectorsWithPasskey(ParseJsonText(AText), APasskey);
    } catch (const std::exception&) {
        return TKvConnectors();
    }
}

TKvFolderNames FoldersFromJson(std::string_view AText) {
    try {
        TKvJson root = ParseJsonText(AText);
        return root.is_object() ? FoldersOf(root) : TKvFolderNames();
    } catch (const std::exception&) {
        return TKvFolderNames();
    }
}

bool JsonIsConnectorsFile(std::string_view AText) {
    TKvJson root = ParseJsonText(AText);
    const TKvJson* items = FindMember(root, "connectors");
    return root.is_object() && (!items || items->is_array());
}

TKvConnectors LoadConnectors(const std::string& APath, std::string_view APasskey) {
    std::string text;
    return LoadText(APath, text) ? ConnectorsFromJson(text, APasskey) : TKvConnectors();
}

TKvFolderNames LoadFolders(const std::string& APath) {
    std::string text;
    return LoadText(APath, text) ? FoldersFromJson(text) : TKvFolderNames();
}

bool FileHasPasskey(const std::string& APath) {
    std::string text;
    return LoadText(APath, text) && JsonHasPasskey(text);
}

bool FileIsPortable(const std::string& APath) {
    std::string text;
    return LoadText(APath, text) && JsonIsPortable(text);
}

bool FileCheckPasskey(const std::string& APath, std::string_view APasskey) {
    std::string text;
    return LoadText(APath, text) && JsonCheckPasskey(text, APasskey);
}

bool SaveConnectors(const std::string& APath, const TKvConnectors& AList, std::string_view APasskey,
                    const TKvFolderNames& AFolders, bool APortable) {
    std::string text;
    try {
        text = ConnectorsToJson(AList, APasskey, APortable, AFolders);
    } catch (const std::exception& AError) {
        Log(std::string("connections: not saved: ") + AError.what());
        return false;
    }
    // The file holds the saved passwords, however well protected: others have no business there.
    if (!SaveTextAtomic(APath, text, KSecretFileMode, KSecretFileMode)) {
        Log("connections: could not write " + APath);
        return false;
    }
    return true;
}

TKvConnectorTemplate RecordTemplate(const TKvConnector& AShown) {
    TKvConnectorTemplate recorded;
    recorded.Recorded = true;
    recorded.Kind = static_cast<TKvConnectorKind>(Ordinal(AShown.Kind));
    recorded.Auth =
        AShown.Auth == amKeyFile && HasLoginChoice(AShown.Kind) ? amKeyFile : amPassword;
    recorded.SavePassword = AShown.SavePassword;
    recorded.IgnoreColors = AShown.IgnoreColors;
    recorded.RememberOtherPath = AShown.RememberOtherPath;
    recorded.UpdateStartDir = AShown.UpdateStartDir;
    recorded.Hybrid = AShown.Hybrid;
    recorded.UseAgent = AShown.UseAgent;
    return recorded;
}

std::string TemplateToJson(const TKvConnectorTemplate& ATemplate) {
    if (!ATemplate.Recorded)
        return std::string();
    TOrderedJson stored = TOrderedJson::object();
    stored["kind"] = std::string(ConnectorKindName(ATemplate.Kind));
    stored["auth"] = ATemplate.Auth == amKeyFile ? "key" : "password";
    stored["savePassword"] = ATemplate.SavePassword;
    stored["ignoreColors"] = ATemplate.IgnoreColors;
    stored["rememberOtherPath"] = ATemplate.RememberOtherPath;
    stored["updateStartDir"] = ATemplate.UpdateStartDir;
    stored["hybrid"] = ATemplate.Hybrid;
    stored["useAgent"] = ATemplate.UseAgent;
    return stored.dump(-1, ' ', true);
}

TKvConnectorTemplate TemplateFromJson(std::string_view AText) {
    TKvConnectorTemplate stored;
    TKvJson root = ParseJsonText(AText);
    if (!root.is_object())
        return stored;
    stored.Recorded = true;
    ConnectorKindFromName(StringMember(root, "kind"), stored.Kind);
    if (SameTextAscii(StringMember(root, "auth"), "key"))
        stored.Auth = amKeyFile;
    struct TFlag {
        const char* Key;
        bool TKvConnectorTemplate::*Field;
    };
    constexpr TFlag flags[] = {
        {"savePassword", &TKvConnectorTemplate::SavePassword},
        {"ignoreColors", &TKvConnectorTemplate::IgnoreColors},
        {"rememberOtherPath", &TKvConnectorTemplate::RememberOtherPath},
        {"updateStartDir", &TKvConnectorTemplate::UpdateStartDir},
        {"hybrid", &TKvConnectorTemplate::Hybrid},
        {"useAgent", &TKvConnectorTemplate::UseAgent},
    };
    for (const TFlag& flag : flags) {
        if (const TKvJson* value = FindMember(root, flag.Key); value && value->is_boolean())
            stored.*flag.Field = value->get<bool>();
    }
    return stored;
}

TKvConnector NewConnectorFrom(const TKvConnectorTemplate& ATemplate) {
    TKvConnector connector = NewConnector();
    if (!ATemplate.Recorded)
        return connector;
    connector.Kind = static_cast<TKvConnectorKind>(Ordinal(ATemplate.Kind));
    connector.Port = DefaultPortFor(connector.Kind);
    connector.Auth = HasLoginChoice(connector.Kind) ? ATemplate.Auth : amPassword;
    connector.SavePassword = ATemplate.SavePassword;
    connector.IgnoreColors = ATemplate.IgnoreColors;
    connector.RememberOtherPath = ATemplate.RememberOtherPath;
    connector.UpdateStartDir = ATemplate.UpdateStartDir;
    connector.Hybrid = ATemplate.Hybrid;
    connector.UseAgent = ATemplate.UseAgent;
    return connector;
}

} // namespace kv
