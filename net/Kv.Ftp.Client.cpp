#include "Kv.Ftp.Client.h"

#include <chrono>

#include "Kv.KnownHosts.h"
#include "Kv.Log.h"
#include "Kv.Text.h"

namespace kv {

namespace {

// Listings are held in memory; a server that sends more than this is not a folder listing.
constexpr size_t KMaxListing = 0x10000000;
constexpr int KControlPiece = 4096;
constexpr int KListPiece = 8192;

bool Is2xx(int ACode) {
    return ACode >= 200 && ACode <= 299;
}

} // namespace

uint64_t FtpTickMs() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

TKvFtpClient::TKvFtpClient(TKvFtpLimits ALimits, std::string AKnownHostsFile)
    : FLimits(ALimits),
      FKnownHostsFile(AKnownHostsFile.empty() ? KnownHostsFile() : std::move(AKnownHostsFile)),
      FLastUsed(FtpTickMs()) {}

TKvFtpClient::~TKvFtpClient() {
    Disconnect();
}

void TKvFtpClient::SetToken(const IKvCancelToken* AToken) {
    FToken = AToken;
    if (FTls)
        FTls->SetToken(AToken);
    if (FDataTls)
        FDataTls->SetToken(AToken);
}

void TKvFtpClient::Disconnect() {
    FDataTls.reset();
    NetClose(FData);
    FTls.reset();
    FCred.reset();
    NetClose(FSock);
    FReader.Clear();
}

void TKvFtpClient::Abort() {
    FBroken = true;
    NetAbort(FData);
    NetAbort(FSock);
}

void TKvFtpClient::Lost(const std::string& AMessage) {
    FBroken = true;
    throw EFtpLost(AMessage);
}

void TKvFtpClient::Open(const TKvConnector& AConn, IKvConnectUi* AUi, bool& AManual) {
    FHost = AConn.Host;
    FPort = AConn.Port;
    FSecure = AConn.Kind == ckFtps || AConn.Kind == ckFtpsImplicit;
    try {
        ConnectControl(AConn, AUi, AManual);
    } catch (const EKvTlsCertError& error) {
        if (AManual)
            throw;
        Log(std::string("ftp: ") + error.what() + "; asking the user");
        AManual = true;
        ConnectControl(AConn, AUi, true);
    }
}

void TKvFtpClient::ConnectControl(const TKvConnector& AConn, IKvConnectUi* AUi, bool AManual) {
    Disconnect();
    FBroken = false;
    FSock = NetConnect(FHost, FPort, FToken, FLimits.ConnectMs);
    if (AConn.Kind == ckFtpsImplicit)
        StartTls(AManual, AUi);
    std::string text;
    int code = ReadReply(text, FLimits.ReplyMs);
    if (code == 120)
        code = ReadReply(text, FLimits.ReplyMs);
    if (code != 220)
        throw EFtpReply(code, "The server did not accept the connection: " + ReplyMessage(text));
    if (AConn.Kind == ckFtps) {
        code = Command("AUTH TLS", text);
        if (code != 234)
            throw EFtpReply(code,
                            "The server does not offer FTPS (AUTH TLS): " + ReplyMessage(text));
        StartTls(AManual, AUi);
    }
}

void TKvFtpClient::StartTls(bool AManual, IKvConnectUi* AUi) {
    FCred = std::make_unique<TKvTlsCredentials>(AManual, true);
    FTls = std::make_unique<TKvTlsChannel>(FSock, FToken, FHost, *FCred);
    FTls->Handshake(FLimits.ReplyMs);
    if (AManual) {
        TrustServerCertificate(*FTls, FHost, FPort, AUi, FToken, FKnownHostsFile);
        FCertFp = FTls->Fingerprint();
    }
}

void TKvFtpClient::SendLine(const std::string& AText) {
    CheckCommandText(AText);
    const std::string line = AText + "\r\n";
    try {
        if (FTls)
            FTls->Send(line.data(), line.size());
        else
            NetSend(FSock, line.data(), line.size());
    } catch (const EKvFsError& error) {
        Lost(error.what());
    }
}

int TKvFtpClient::ReceiveControl(char* ABuffer, int ASize, int ATimeoutMs) {
    try {
        return FTls ? FTls->Recv(ABuffer, ASize, ATimeoutMs)
                    : NetRecv(FSock, ABuffer, ASize, FToken, ATimeoutMs);
    } catch (const EKvCancelled&) {
        // Half a reply may be on its way: the connection cannot be trusted to stay in step.
        FBroken = true;
        throw;
    } catch (const EKvFsError& error) {
        Lost(error.what());
    }
}

int TKvFtpClient::ReadReply(std::string& AText, int ATimeoutMs) {
    if (FSock == KNoSocket)
        Lost("The server closed the connection");
    int code = 0;
    try {
        char buffer[KControlPiece];
        while (!FReader.Next(code, AText)) {
            const int got = ReceiveControl(buffer, sizeof buffer, ATimeoutMs);
            if (got == 0)
                Lost("The server closed the connection");
            FReader.Feed(buffer, static_cast<size_t>(got));
        }
    } catch (const EFtpLost&) {
        FBroken = true;
        throw;
    }
    if (code == 421)
        Lost("The server closed the connection: " + ReplyMessage(AText));
    return code;
}

int TKvFtpClient::Command(const std::string& ACommand, std::string& AText) {
    SendLine(ACommand);
    return ReadReply(AText, FLimits.ReplyMs);
}

bool TKvFtpClient::Login(const std::string& AUser, const std::string& APassword) {
    std::string text;
    int code = Command("USER " + AUser, text);
    if (code == 331)
        code = Command("PASS " + APassword, text);
    if (code == 202 || code == 230)
        return true;
    if (code == 430 || code == 530)
        return false;
    throw EFtpReply(code, "Login failed: " + ReplyMessage(text));
}

void TKvFtpClient::Prepare() {
    std::string text;
    if (FSecure) {
        Command("PBSZ 0", text);
        const int code = Command("PROT P", text);
        if (code != 200)
            throw EFtpReply(code, "The server would not encrypt the data connections: " +
                                      ReplyMessage(text));
    }
    Command("TYPE I", text);
    if (Command("FEAT", text) == 211) {
        // Feature lines start with a space; the first and last lines are the reply's own.
        for (const auto& line : SplitListing(text)) {
            if (line.empty() || line[0] != ' ')
                continue;
            const std::string feature = LowerAscii(TrimmedView(line));
            if (feature.starts_with("mlst"))
                FHasMlst = true;
            if (feature.starts_with("mfmt"))
                FHasMfmt = true;
            if (feature == "size" || feature.starts_with("size "))
                FHasSize = true;
            if (feature == "mdtm" || feature.starts_with("mdtm "))
                FHasMdtm = true;
        }
    }
    Command("OPTS UTF8 ON", text);
}

bool TKvFtpClient::Ping() {
    try {
        SendLine("NOOP");
        std::string text;
        return Is2xx(ReadReply(text, FLimits.PingMs));
    } catch (const EKvCancelled&) {
        throw;
    } catch (const std::exception&) {
        FBroken = true;
        return false;
    }
}

bool TKvFtpClient::TryCwd(const std::string& APath) {
    std::string text;
    return Command("CWD " + APath, text) == 250;
}

std::string TKvFtpClient::CurrentDir() {
    std::string text, path;
    if (Command("PWD", text) == 257 && ParsePwdReply(text, path))
        return path;
    return "/";
}

void TKvFtpClient::OpenDataConnection() {
    std::string text;
    int port = 0;
    if (!FNoEpsv) {
        const int code = Command("EPSV", text);
        if (code == 229)
            port = ParsePassivePort(text.substr(0, text.find('\n')));
        if (port == 0)
            FNoEpsv = true;
    }
    if (port == 0) {
        const int code = Command("PASV", text);
        if (code == 227)
            port = ParsePassivePort(text.substr(0, text.find('\n')));
        if (port == 0)
            throw EFtpReply(code,
                            "The server would not open a data connection: " + ReplyMessage(text));
    }
    // The address inside a PASV reply is never dialled: a hostile server could aim it anywhere.
    std::string address = NetPeerAddress(FSock);
    if (address.empty())
        address = FHost;
    FData = NetConnect(address, port, FToken, FLimits.ConnectMs);
}

void TKvFtpClient::StartDataTls() {
    if (!FSecure)
        return;
    FDataTls = std::make_unique<TKvTlsChannel>(FData, FToken, FHost, *FCred, true);
    FDataTls->Handshake(FLimits.DataMs);
    if (FCred->Manual() && FDataTls->Fingerprint() != FCertFp)
        throw EKvFsError(
            "The data connection offered another certificate than the control connection");
}

void TKvFtpClient::CloseData() {
    if (FDataTls) {
        FDataTls->Shutdown();
        FDataTls.reset();
    }
    NetClose(FData);
}

void TKvFtpClient::BeginTransfer(const std::string& AVerb, const std::string& APath,
                                 int64_t AOffset) {
    CheckCommandText(APath);
    std::string text;
    try {
        OpenDataConnection();
        if (AOffset > 0) {
            const int rest = Command("REST " + std::to_string(AOffset), text);
            if (rest != 350)
                throw EFtpReply(rest, "The server cannot start a transfer in the middle of a file: " +
                                          ReplyMessage(text));
        }
        const int code = Command(AVerb + " " + APath, text);
        if (code != 125 && code != 150)
            throw EFtpReply(code, ReplyMessage(text));
    } catch (...) {
        CloseData();
        throw;
    }
    try {
        StartDataTls();
    } catch (...) {
        CloseData();
        FBroken = true;
        throw;
    }
}

int TKvFtpClient::DataRead(void* ABuffer, int ALength) {
    try {
        return FDataTls ? FDataTls->Recv(ABuffer, ALength, FLimits.DataMs)
                        : NetRecv(FData, ABuffer, ALength, FToken, FLimits.DataMs);
    } catch (const EKvCancelled&) {
        FBroken = true;
        throw;
    } catch (const std::exception& error) {
        FBroken = true;
        throw EKvFsError(error.what());
    }
}

void TKvFtpClient::DataWrite(const void* AData, size_t ALength) {
    try {
        if (FDataTls)
            FDataTls->Send(AData, ALength);
        else
            NetSend(FData, AData, ALength);
    } catch (...) {
        FBroken = true;
        throw;
    }
}

int TKvFtpClient::FinishTransfer(std::string& AText, int ATimeoutMs) {
    CloseData();
    try {
        return ReadReply(AText, ATimeoutMs < 0 ? FLimits.ReplyMs : ATimeoutMs);
    } catch (const EKvCancelled&) {
        FBroken = true;
        throw;
    } catch (const std::exception&) {
        FBroken = true;
        return 0;
    }
}

int TKvFtpClient::RunListCommand(const std::string& ACommand, std::vector<std::string>& ALines,
                                 std::string& AMessage) {
    std::string text;
    int code = 0;
    try {
        OpenDataConnection();
        code = Command(ACommand, text);
    } catch (...) {
        CloseData();
        throw;
    }
    if (code != 125 && code != 150) {
        CloseData();
        AMessage = text;
        return code == 0 ? 500 : code;
    }
    std::string data;
    try {
        StartDataTls();
        char buffer[KListPiece];
        for (;;) {
            const int got = DataRead(buffer, sizeof buffer);
            if (got == 0)
                break;
            data.append(buffer, static_cast<size_t>(got));
            if (data.size() > KMaxListing)
                throw EKvFsError("The folder listing is too large");
        }
    } catch (...) {
        CloseData();
        FBroken = true;
        throw;
    }
    code = FinishTransfer(text);
    if (code == 0)
        Lost("The server did not finish the listing");
    if (!Is2xx(code)) {
        AMessage = text;
        return code;
    }
    ALines = SplitListing(data);
    return 0;
}

bool TKvFtpClient::Rename(const std::string& AOld, const std::string& ANew, std::string& AMessage) {
    CheckCommandText(ANew);
    std::string text;
    int code = Command("RNFR " + AOld, text);
    if (code < 300 || code > 399) {
        AMessage = ReplyMessage(text);
        return false;
    }
    code = Command("RNTO " + ANew, text);
    if (Is2xx(code))
        return true;
    AMessage = ReplyMessage(text);
    return false;
}

} // namespace kv
