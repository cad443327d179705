#include "Kv.Ui.PanelPlaces.h"

#include <algorithm>
#include <charconv>

#include "Kv.FS.Dav.h"
#include "Kv.FS.Ftp.h"
#include "Kv.FS.Sftp.h"
#include "Kv.Log.h"
#include "Kv.Text.h"

namespace kv {

IKvFileSystemPtr OpenConnection(const TKvConnector& AConn, const IKvConnectUiPtr& AUi,
                                const IKvCancelToken& AToken, std::string& ALearnedSecret,
                                std::string& AStartPath) {
    ALearnedSecret.clear();
    AStartPath.clear();
    switch (AConn.Kind) {
    case ckSsh:
    case ckSftp:
        return OpenSftp(AConn, AUi, AToken, ALearnedSecret, AStartPath);
    case ckFtp:
    case ckFtps:
    case ckFtpsImplicit: {
        TKvFtpOpened opened = OpenFtp(AConn, AUi, AToken);
        ALearnedSecret = opened.TypedPassword;
        AStartPath = opened.StartDir;
        return opened.Fs;
    }
    case ckWebDavs: {
        TKvDavOpened opened = OpenDav(AConn, AUi, AToken);
        ALearnedSecret = opened.TypedPassword;
        AStartPath = opened.StartDir;
        return opened.Fs;
    }
    case ckTelnet:
        break;
    }
    throw EKvFsError("A Telnet connection has no access to files.");
}

namespace {

constexpr const char* KAddressForm =
    "Type a saved connection's name, or an address such as sftp://user@host:22/folder";

bool Refuse(std::string& AProblem, const std::string& AWhy) {
    AProblem = AWhy;
    return false;
}

} // namespace

bool ParseConnectionText(const std::string& AText, TKvConnector& AConn, std::string& AProblem) {
    const std::string text(TrimmedView(AText));
    const size_t scheme = text.find("://");
    if (scheme == std::string::npos)
        return Refuse(AProblem, KAddressForm);
    const std::string kindName = LowerAscii(text.substr(0, scheme));
    TKvConnectorKind kind;
    if (kindName == "https" || kindName == "davs")
        kind = ckWebDavs;
    else if (!ConnectorKindFromName(kindName, kind) || IsTerminalKind(kind))
        return Refuse(AProblem, "\"" + kindName +
                                    "\" is not a kind of file connection: use sftp, ftp, ftps, "
                                    "ftps-implicit or webdavs");
    std::string rest = text.substr(scheme + 3);
    std::string folder;
    if (const size_t slash = rest.find('/'); slash != std::string::npos) {
        folder = rest.substr(slash);
        rest.erase(slash);
    }
    std::string user;
    if (const size_t at = rest.rfind('@'); at != std::string::npos) {
        user = rest.substr(0, at);
        rest.erase(0, at + 1);
    }
    std::string host = rest, port;
    if (!rest.empty() && rest[0] == '[') {
        // An IPv6 address in brackets, its port after them.
        const size_t close = rest.find(']');
        if (close == std::string::npos)
            return Refuse(AProblem, "The address has \"[\" without \"]\": " + text);
        host = rest.substr(1, close - 1);
        if (close + 1 < rest.size()) {
            if (rest[close + 1] != ':')
                return Refuse(AProblem, KAddressForm);
            port = rest.substr(close + 2);
        }
    } else if (const size_t colon = rest.find(':'); colon != std::string::npos) {
        host = rest.substr(0, colon);
        port = rest.substr(colon + 1);
    }
    if (host.empty())
        return Refuse(AProblem, "The address names no host: " + text);
    int number = DefaultPortFor(kind);
    if (!port.empty()) {
        auto [end, error] = std::from_chars(port.data(), port.data() + port.size(), number);
        if (error != std::errc() || end != port.data() + port.size() || number < 1 || number > 65535)
            return Refuse(AProblem, "The port must be a number from 1 to 65535: " + port);
    }
    AConn = NewConnector();
    // Its title where the panel shows it: "user@host", so two servers on one host differ.
    AConn.Name = user.empty() ? host : user + "@" + host;
    AConn.Kind = kind;
    AConn.Port = number;
    AConn.User = user;
    AConn.SavePassword = false;
    if (kind == ckWebDavs) {
        // The WebDAV file system takes its base folder from the host field.
        const std::string shownHost = host.find(':') != std::string::npos ? "[" + host + "]" : host;
        AConn.Host = "https://" + shownHost + ":" + std::to_string(number) + folder;
    } else {
        AConn.Host = host;
        AConn.StartDir = folder;
    }
    return true;
}

std::string ArchivePasswordPrompt(const std::string& AName, bool AAfterWrongOne) {
    if (AAfterWrongOne)
        return "That password is not right for \"" + AName + "\". Try again:";
    return "The files in \"" + AName + "\" are password-protected. Type the password:";
}

std::string ArchivePasswordRefused(const std::string& AName) {
    return AName + ": the password was not given, so it is not opened";
}

} // namespace kv
