#include "Kv.Shell.Telnet.h"

#include <algorithm>
#include <thread>

#include "Kv.FileSystem.h"
#include "Kv.Net.h"

namespace kv {

using namespace telnet;

namespace {

// Running, the loop never waits longer, so typed input, size changes and Close act quickly.
constexpr int KWaitMs = 20;
constexpr size_t KReadSize = 32768;
// Sends go out in steps between reads: a server echoing a large paste must be read meanwhile.
constexpr size_t KSendStep = 16384;

std::string Cmd(unsigned char ACommand, unsigned char AOption) {
    return std::string{static_cast<char>(IAC), static_cast<char>(ACommand),
                       static_cast<char>(AOption)};
}

bool EndsWith(const std::string& AText, const char* ASuffix) {
    std::string s(ASuffix);
    return AText.size() >= s.size() && AText.compare(AText.size() - s.size(), s.size(), s) == 0;
}

} // namespace

std::string TKvTelnetParser::Offer() {
    FUsOn[TTYPE] = true;
    FUsOn[NAWS] = true;
    return Cmd(WILL, TTYPE) + Cmd(WILL, NAWS);
}

std::string TKvTelnetParser::WindowSize(int ACols, int ARows) {
    std::string out = {static_cast<char>(IAC), static_cast<char>(SB), static_cast<char>(NAWS)};
    auto put = [&](int AValue) {
        unsigned v = static_cast<unsigned>(std::clamp(AValue, 0, 65535));
        for (unsigned char b :
             {static_cast<unsigned char>(v >> 8), static_cast<unsigned char>(v)}) {
            out += static_cast<char>(b);
            if (b == IAC)
                out += static_cast<char>(IAC);
        }
    };
    put(ACols);
    put(ARows);
    out += static_cast<char>(IAC);
    out += static_cast<char>(SE);
    return out;
}

std::string TKvTelnetParser::EncodeInput(const std::string& AData) {
    std::string out;
    out.reserve(AData.size() + 16);
    for (char c : AData) {
        out += c;
        if (static_cast<unsigned char>(c) == IAC)
            out += c;
        else if (c == '\r')
            out += '\n';
    }
    return out;
}

void TKvTelnetParser::Feed(const char* ABytes, size_t ALength, std::string& AData,
                           std::string& AReplies) {
    for (size_t i = 0; i < ALength; ++i) {
        const unsigned char b = static_cast<unsigned char>(ABytes[i]);
        switch (FState) {
        case psData:
            if (b == IAC)
                FState = psIac;
            else if (b == 0 && FPrevCr)
                FPrevCr = false; // CR NUL stands for a bare CR
            else {
                AData += static_cast<char>(b);
                FPrevCr = b == '\r';
            }
            break;
        case psIac:
            FState = psData;
            if (b == SB) {
                FSb.clear();
                FState = psSb;
            } else if (b == WILL)
                FState = psWill;
            else if (b == WONT)
                FState = psWont;
            else if (b == DO)
                FState = psDo;
            else if (b == DONT)
                FState = psDont;
            else if (b == IAC) {
                AData += static_cast<char>(IAC);
                FPrevCr = false;
            }
            break;
        case psWill:
        case psWont:
        case psDo:
        case psDont: {
            const unsigned char command = FState == psWill   ? WILL
                                          : FState == psWont ? WONT
                                          : FState == psDo   ? DO
                                                             : DONT;
            FState = psData;
            Negotiate(command, b, AReplies);
            break;
        }
        case psSb:
            if (b == IAC)
                FState = psSbIac;
            else if (FSb.size() < KSbCap)
                FSb += static_cast<char>(b);
            break;
        case psSbIac:
            if (b == SE) {
                FState = psData;
                SubNegotiation(AReplies);
            } else {
                FState = psSb;
                if (b == IAC && FSb.size() < KSbCap)
                    FSb += static_cast<char>(IAC);
            }
            break;
        }
    }
}

void TKvTelnetParser::Negotiate(unsigned char ACommand, unsigned char AOption,
                                std::string& AReplies) {
    switch (ACommand) {
    case WILL:
        if (AOption == ECHO || AOption == SGA) {
            if (!FHimOn[AOption]) {
                FHimOn[AOption] = true;
                AReplies += Cmd(DO, AOption);
            }
        } else
            AReplies += Cmd(DONT, AOption);
        break;
    case WONT:
        if (FHimOn[AOption]) {
            FHimOn[AOption] = false;
            AReplies += Cmd(DONT, AOption);
        }
        break;
    case DO:
        if (AOption == SGA || AOption == TTYPE || AOption == NAWS) {
            if (!FUsOn[AOption]) {
                FUsOn[AOption] = true;
                AReplies += Cmd(WILL, AOption);
            }
            if (AOption == NAWS)
                AReplies += WindowSize(FCols, FRows);
        } else
            AReplies += Cmd(WONT, AOption);
        break;
    case DONT:
        if (FUsOn[AOption]) {
            FUsOn[AOption] = false;
            AReplies += Cmd(WONT, AOption);
        }
        break;
    }
}

void TKvTelnetParser::SubNegotiation(std::string& AReplies) {
    if (FSb.size() >= 2 && static_cast<unsigned char>(FSb[0]) == TTYPE && FSb[1] == 1) {
        AReplies += std::string{static_cast<char>(IAC), static_cast<char>(SB),
                                static_cast<char>(TTYPE), 0} +
                    "xterm-256color" + std::string{static_cast<char>(IAC), static_cast<char>(SE)};
    }
}

std::string TKvTelnetLogin::Feed(const std::string& AData) {
    const bool wantUser = !FUserSent && !FUser.empty();
    const bool wantPass = !FPassSent && !FSecret.empty();
    if (!wantUser && !wantPass)
        return "";
    for (char c : AData) {
        const unsigned char b = static_cast<unsigned char>(c);
        FTail += b >= 32 && b <= 126 ? static_cast<char>(std::tolower(b)) : ' ';
    }
    if (FTail.size() > 80)
        FTail.erase(0, FTail.size() - 80);
    std::string copy = FTail;
    while (!copy.empty() && static_cast<unsigned char>(copy.back()) < 33)
        copy.pop_back();
    if (wantUser) {
        for (const char* p : {"login:", "username:", "user name:", "login name:", "user:"})
            if (EndsWith(copy, p)) {
                FUserSent = true;
                FTail.clear();
                return FUser + "\r";
            }
    }
    if (wantPass) {
        for (const char* p : {"password:", "passwd:", "passcode:"})
            if (EndsWith(copy, p)) {
                FPassSent = true;
                FTail.clear();
                return FSecret + "\r";
            }
    }
    return "";
}

std::shared_ptr<TKvTelnetShell> TKvTelnetShell::Create(const TKvConnector& AConn) {
    return std::shared_ptr<TKvTelnetShell>(new TKvTelnetShell(AConn));
}

TKvTelnetShell::TKvTelnetShell(const TKvConnector& AConn)
    : FConn(AConn), FToken(NewCancelToken()) {}

void TKvTelnetShell::SetEvents(TKvShellDataEvent AOnData, TKvShellEndedEvent AOnEnded,
                               TKvShellStatusEvent AOnStatus) {
    FEvents.Set(std::move(AOnData), std::move(AOnEnded), std::move(AOnStatus));
}

void TKvTelnetShell::Write(const std::string& AData) {
    std::lock_guard lock(FLock);
    FOutgoing += AData;
}

void TKvTelnetShell::Resize(int ACols, int ARows) {
    std::lock_guard lock(FLock);
    if (ACols == FCols && ARows == FRows)
        return;
    FCols = ACols;
    FRows = ARows;
    FResizePending = true;
}

void TKvTelnetShell::Close() {
    FToken->Cancel();
    FEvents.Clear();
}

void TKvTelnetShell::Start(int ACols, int ARows) {
    if (FRunning.exchange(true))
        return;
    {
        std::lock_guard lock(FLock);
        FCols = ACols;
        FRows = ARows;
    }
    auto self = shared_from_this();
    std::thread([self] { self->Run(); }).detach();
}

void TKvTelnetShell::Run() {
    std::string reason;
    TKvSocket sock = KNoSocket;
    try {
        Session(sock);
    } catch (const EKvCancelled&) {
    } catch (const std::exception& e) {
        if (!FToken->IsCancelled())
            reason = e.what();
    }
    NetClose(sock);
    if (!FToken->IsCancelled())
        FEvents.Ended(reason);
}

void TKvTelnetShell::Session(int& ASocket) {
    FEvents.Status("Connecting to " + FConn.Host + "...");
    ASocket = NetConnect(FConn.Host, FConn.Port, FToken.get(), KNetConnectLimitMs);
    CheckCancelled(*FToken);
    FEvents.Status("");
    TKvTelnetParser parser;
    TKvTelnetLogin login(FConn.User, FConn.Secret);
    std::string pending = parser.Offer(); // bytes for the wire, sent in steps
    std::string buffer(KReadSize, '\0');
    while (!FToken->IsCancelled()) {
        // Flush: the size first (only once NAWS is agreed), then the typed bytes.
        std::string typed;
        bool resize;
        int cols, rows;
        {
            std::lock_guard lock(FLock);
            typed.swap(FOutgoing);
            resize = FResizePending;
            FResizePending = false;
            cols = FCols;
            rows = FRows;
        }
        parser.SetSize(cols, rows);
        if (resize && parser.NawsAgreed())
            pending += TKvTelnetParser::WindowSize(cols, rows);
        pending += TKvTelnetParser::EncodeInput(typed);

        TKvNetReady ready = NetWait(ASocket, !pending.empty(), KWaitMs);
        if (ready.Writable && !pending.empty())
            pending.erase(
                0, NetSendSome(ASocket, pending.data(), std::min(pending.size(), KSendStep)));
        if (!ready.Readable)
            continue;
        long got = NetRecvSome(ASocket, buffer.data(), buffer.size());
        if (got == 0)
            return; // the server closed the connection
        if (got < 0)
            continue;
        std::string data, replies;
        parser.Feed(buffer.data(), static_cast<size_t>(got), data, replies);
        // Appended, never inserted: the queue may hold the unsent half of a sequence.
        pending += replies;
        if (!data.empty()) {
            FEvents.Data(data);
            std::string answer = login.Feed(data);
            if (!answer.empty())
                Write(answer);
        }
    }
}

} // namespace kv
