// One FTP control connection and its passive-mode data connection: plain FTP, explicit FTPS
// ("AUTH TLS") and implicit FTPS. Used by one thread at a time; the file system's pool hands it
// out.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Kv.Connectors.h"
#include "Kv.Ftp.Parse.h"
#include "Kv.Net.h"
#include "Kv.Tls.h"

namespace kv {

// Time limits; tests shorten them.
struct TKvFtpLimits {
    int ConnectMs = KNetConnectLimitMs;
    int ReplyMs = 30000;
    int DataMs = 30000;
    int PingMs = 8000;
};

class TKvFtpClient {
public:
    // AKnownHostsFile: where certificates are pinned (empty: the data folder's known_hosts.txt).
    explicit TKvFtpClient(TKvFtpLimits ALimits = {}, std::string AKnownHostsFile = {});
    ~TKvFtpClient();
    TKvFtpClient(const TKvFtpClient&) = delete;
    TKvFtpClient& operator=(const TKvFtpClient&) = delete;

    // The token of the operation now running (may be null); also watched by the TLS channels.
    void SetToken(const IKvCancelToken* AToken);
    const IKvCancelToken* Token() const { return FToken; }
    bool Broken() const { return FBroken; }
    bool HasMlst() const { return FHasMlst; }
    bool HasMfmt() const { return FHasMfmt; }
    bool HasSize() const { return FHasSize; }
    bool HasMdtm() const { return FHasMdtm; }
    // Whether "LIST -a" was refused once on this connection.
    bool NoListAll() const { return FNoListAll; }
    void SetNoListAll() { FNoListAll = true; }
    uint64_t LastUsed() const { return FLastUsed; }
    void SetLastUsed(uint64_t ATick) { FLastUsed = ATick; }

    // Connect, TLS and greeting. AManual (in and out) is the file system's manual-validation flag:
    // a certificate the system does not trust sets it and the connection is made again.
    void Open(const TKvConnector& AConn, IKvConnectUi* AUi, bool& AManual);
    // False when the server refused the user or password.
    bool Login(const std::string& AUser, const std::string& APassword);
    // Data protection, binary type, features, UTF-8.
    void Prepare();

    int ReadReply(std::string& AText, int ATimeoutMs);
    // Sends a command and reads its reply.
    int Command(const std::string& ACommand, std::string& AText);
    // "NOOP" answered with 2xx in time.
    bool Ping();
    bool TryCwd(const std::string& APath);
    // The folder from "PWD", or "/".
    std::string CurrentDir();
    // A listing command over a data connection: 0 with the lines, or the refusing code with
    // AMessage.
    int RunListCommand(const std::string& ACommand, std::vector<std::string>& ALines,
                       std::string& AMessage);
    // Opens a data connection and starts "RETR" or "STOR" on APath; from AOffset on ("REST")
    // when it is not 0, which a server without restarts refuses (EFtpReply).
    void BeginTransfer(const std::string& AVerb, const std::string& APath, int64_t AOffset = 0);
    // 0 at the end of data.
    int DataRead(void* ABuffer, int ALength);
    void DataWrite(const void* AData, size_t ALength);
    // Ends TLS on the data connection and closes it.
    void CloseData();
    // Closes the data connection and reads the final reply; 0 when none came.
    int FinishTransfer(std::string& AText, int ATimeoutMs = -1);
    // RNFR and RNTO; AMessage is the server's reason on failure.
    bool Rename(const std::string& AOld, const std::string& ANew, std::string& AMessage);
    // Wakes a call blocked on this client in another thread; the client is broken afterwards.
    void Abort();
    void Disconnect();

private:
    void ConnectControl(const TKvConnector& AConn, IKvConnectUi* AUi, bool AManual);
    void StartTls(bool AManual, IKvConnectUi* AUi);
    void StartDataTls();
    void OpenDataConnection();
    void SendLine(const std::string& AText);
    int ReceiveControl(char* ABuffer, int ASize, int ATimeoutMs);
    [[noreturn]] void Lost(const std::string& AMessage);

    TKvFtpLimits FLimits;
    std::string FKnownHostsFile;
    TKvSocket FSock = KNoSocket;
    TKvSocket FData = KNoSocket;
    std::string FHost;
    int FPort = 0;
    TKvFtpReplyReader FReader;
    const IKvCancelToken* FToken = nullptr;
    bool FBroken = false;
    bool FHasMlst = false;
    bool FHasMfmt = false;
    bool FHasSize = false;
    bool FHasMdtm = false;
    bool FNoEpsv = false;
    bool FNoListAll = false;
    bool FSecure = false;
    uint64_t FLastUsed = 0;
    std::unique_ptr<TKvTlsCredentials> FCred;
    std::unique_ptr<TKvTlsChannel> FTls;
    std::unique_ptr<TKvTlsChannel> FDataTls;
    std::string FCertFp;
};

// Milliseconds of a steady clock, for the pool's ages.
uint64_t FtpTickMs();

} // namespace kv
