// Telnet behind the shell contract: option negotiation, the protocol taken out of the byte
// stream, and the automatic answer to the login and password prompts.
#pragma once

#include <array>
#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include "Kv.Connectors.h"
#include "Kv.Shell.h"
#include "Kv.Worker.h"

namespace kv {

namespace telnet {
inline constexpr unsigned char IAC = 255, DONT = 254, DO = 253, WONT = 252, WILL = 251, SB = 250,
                               SE = 240;
inline constexpr unsigned char ECHO = 1, SGA = 3, TTYPE = 24, NAWS = 31;
} // namespace telnet

// The receive side of Telnet. It belongs to one thread; the size it answers DO NAWS with is the
// one last given to SetSize.
class TKvTelnetParser {
public:
    enum TParseState { psData, psIac, psWill, psWont, psDo, psDont, psSb, psSbIac };
    // A sub-negotiation body longer than this is cut; the rest up to IAC SE is dropped.
    static constexpr size_t KSbCap = 256;

    // The opening offer (WILL TTYPE, WILL NAWS), marking both as ours.
    std::string Offer();
    // Appends the data bytes to AData and the replies to send to AReplies.
    void Feed(const char* ABytes, size_t ALength, std::string& AData, std::string& AReplies);
    void SetSize(int ACols, int ARows) {
        FCols = ACols;
        FRows = ARows;
    }
    bool NawsAgreed() const { return FUsOn[telnet::NAWS]; }

    // IAC SB NAWS cols rows IAC SE, with a size byte 255 doubled.
    static std::string WindowSize(int ACols, int ARows);
    // Typed input on the wire: 255 doubled, CR sent as CR LF.
    static std::string EncodeInput(const std::string& AData);

private:
    void Negotiate(unsigned char ACommand, unsigned char AOption, std::string& AReplies);
    void SubNegotiation(std::string& AReplies);

    TParseState FState = psData;
    std::string FSb;
    bool FPrevCr = false;
    std::array<bool, 256> FHimOn{};
    std::array<bool, 256> FUsOn{};
    int FCols = 80;
    int FRows = 24;
};

// Answers a login prompt with the user name and a password prompt with the secret, each once.
class TKvTelnetLogin {
public:
    TKvTelnetLogin(std::string AUser, std::string ASecret)
        : FUser(std::move(AUser)), FSecret(std::move(ASecret)) {}
    // The text to type (name or secret and CR), or empty.
    std::string Feed(const std::string& AData);

private:
    std::string FUser, FSecret;
    std::string FTail; // the last received text, lower case, at most 80 characters
    bool FUserSent = false;
    bool FPassSent = false;
};

class TKvTelnetShell final : public IKvSshShell,
                             public std::enable_shared_from_this<TKvTelnetShell> {
public:
    static std::shared_ptr<TKvTelnetShell> Create(const TKvConnector& AConn);

    void Start(int ACols, int ARows) override;
    void Write(const std::string& AData) override;
    void Resize(int ACols, int ARows) override;
    void SetEvents(TKvShellDataEvent AOnData, TKvShellEndedEvent AOnEnded,
                   TKvShellStatusEvent AOnStatus) override;
    void Close() override;
    std::string LearnedSecret() override { return ""; }

private:
    explicit TKvTelnetShell(const TKvConnector& AConn);
    void Run();
    void Session(int& ASocket);

    TKvConnector FConn;
    IKvCancelTokenPtr FToken;
    TKvShellEvents FEvents;
    std::mutex FLock; // FOutgoing, FCols, FRows, FResizePending
    std::string FOutgoing;
    int FCols = 80;
    int FRows = 24;
    bool FResizePending = false;
    std::atomic<bool> FRunning{false};
};

} // namespace kv
