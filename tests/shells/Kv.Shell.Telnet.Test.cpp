// Telnet: the parser as a table of scripts (bytes in, data and replies out), the login
// answers, and the shell against a scripted peer on loopback.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <poll.h>
#include <thread>

#include "Kv.Shell.Telnet.h"
#include "../net/KvListener.h"

using namespace kv;
using namespace std::chrono_literals;

namespace {

std::string B(std::initializer_list<int> ABytes) {
    std::string s;
    for (int b : ABytes)
        s += static_cast<char>(b);
    return s;
}

const std::string TType = B({255, 250, 24, 0}) + "xterm-256color" + B({255, 240});

struct TParserScript {
    const char* Name;
    std::vector<std::string> Chunks; // each fed by itself, as separate receives
    std::string Data;
    std::string Replies;
    int Cols = 80, Rows = 24;
};

TEST(TelnetParser, Scripts) {
    const std::string sbLong = B({255, 250, 24, 1}) + std::string(400, 'x') + B({255, 240});
    const TParserScript scripts[] = {
        {"plain text passes", {"hello\r\n"}, "hello\r\n", ""},
        {"IAC IAC is one 255", {B({'a', 255, 255, 'b'})}, B({'a', 255, 'b'}), ""},
        {"IAC IAC split across reads", {B({'a', 255}), B({255, 'b'})}, B({'a', 255, 'b'}), ""},
        {"CR NUL is CR", {B({'x', 13, 0, 'y'})}, "x\ry", ""},
        {"CR NUL split across reads", {B({'x', 13}), B({0, 'y'})}, "x\ry", ""},
        {"CR then another byte keeps both", {B({13, 'y', 0})}, B({13, 'y', 0}), ""},
        {"WILL ECHO and SGA agreed once",
         {B({255, 251, 1, 255, 251, 3, 255, 251, 1})},
         "",
         B({255, 253, 1, 255, 253, 3})},
        {"WILL unknown refused every time",
         {B({255, 251, 5}), B({255, 251, 5})},
         "",
         B({255, 254, 5, 255, 254, 5})},
        {"WONT after WILL turns it off",
         {B({255, 251, 1, 255, 252, 1, 255, 252, 1})},
         "",
         B({255, 253, 1, 255, 254, 1})},
        {"DO unknown refused every time",
         {B({255, 253, 39, 255, 253, 39})},
         "",
         B({255, 252, 39, 255, 252, 39})},
        {"DO NAWS confirms and sends the size",
         {B({255, 253, 31})},
         "",
         B({255, 251, 31, 255, 250, 31, 0, 80, 0, 24, 255, 240})},
        {"a 255 in the size is doubled",
         {B({255, 253, 31})},
         "",
         B({255, 251, 31, 255, 250, 31, 0, 255, 255, 1, 44, 255, 240}),
         255,
         300},
        {"DO TTYPE then SEND gets the type",
         {B({255, 253, 24}), B({255, 250, 24, 1, 255, 240})},
         "",
         B({255, 251, 24}) + TType},
        {"IAC split inside a negotiation",
         {B({255}), B({253}), B({24, 'z'})},
         "z",
         B({255, 251, 24})},
        {"oversized sub-negotiation still ends at IAC SE", {sbLong + "after"}, "after", TType},
        {"other sub-negotiations ignored",
         {B({255, 250, 32, 1, 255, 255, 255, 240}) + "ok"},
         "ok",
         ""},
        {"DONT for ours turns it off once",
         {B({255, 253, 3, 255, 254, 3, 255, 254, 3})},
         "",
         B({255, 251, 3, 255, 252, 3})},
        {"other commands dropped", {B({'a', 255, 241, 'b', 255, 249})}, "ab", ""},
    };
    for (const auto& s : scripts) {
        SCOPED_TRACE(s.Name);
        TKvTelnetParser parser;
        parser.SetSize(s.Cols, s.Rows);
        std::string data, replies;
        for (const auto& chunk : s.Chunks)
            parser.Feed(chunk.data(), chunk.size(), data, replies);
        EXPECT_EQ(data, s.Data);
        EXPECT_EQ(replies, s.Replies);
    }
}

TEST(TelnetParser, OfferedOptionsAreNotOfferedAgainButNawsStillGetsTheSize) {
    TKvTelnetParser parser;
    EXPECT_EQ(parser.Offer(), B({255, 251, 24, 255, 251, 31}));
    EXPECT_TRUE(parser.NawsAgreed());
    parser.SetSize(100, 40);
    std::string data, replies, in = B({255, 253, 24, 255, 253, 31});
    parser.Feed(in.data(), in.size(), data, replies);
    EXPECT_EQ(replies, B({255, 250, 31, 0, 100, 0, 40, 255, 240}));
}

TEST(TelnetParser, TypedInputOnTheWire) {
    EXPECT_EQ(TKvTelnetParser::EncodeInput(B({'l', 's', 13, 255})),
              B({'l', 's', 13, 10, 255, 255}));
}

TEST(TelnetLogin, AnswersEachPromptOnce) {
    struct TCase {
        const char* Name;
        const char* User;
        const char* Secret;
        std::vector<std::string> Chunks;
        std::vector<std::string> Answers; // one per chunk
    } cases[] = {
        {"login then password",
         "ann",
         "pw",
         {"Debian\r\nhost login: ", "Password: ", "$ "},
         {"ann\r", "pw\r", ""}},
        {"prompt split over two reads", "ann", "pw", {"LOG", "IN: "}, {"", "ann\r"}},
        {"printable text after the colon", "ann", "pw", {"login: x"}, {""}},
        {"no user: never a name", "", "pw", {"login: ", "Password:"}, {"", "pw\r"}},
        {"no secret: never a password", "ann", "", {"Username:", "password:"}, {"ann\r", ""}},
        {"same chunk password waits for later text",
         "ann",
         "pw",
         {"login: ", "password: ", "Password:"},
         {"ann\r", "pw\r", ""}},
        {"answering the name ends the chunk",
         "ann",
         "pw",
         {"Password: login: ", "\r\n"},
         {"ann\r", ""}},
        {"a second login prompt is left to the user",
         "ann",
         "pw",
         {"login:", "Login incorrect\r\nlogin:"},
         {"ann\r", ""}},
        {"UTF-8 bytes are blanks", "ann", "", {"\xc3\xa4user:"}, {"ann\r"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        TKvTelnetLogin login(c.User, c.Secret);
        for (size_t i = 0; i < c.Chunks.size(); ++i)
            EXPECT_EQ(login.Feed(c.Chunks[i]), c.Answers[i]) << i;
    }
}

// The shell against a scripted peer.
class TelnetShell : public ::testing::Test {
protected:
    void StartShell(const std::string& AUser = "", const std::string& ASecret = "") {
        TKvConnector conn;
        conn.Host = "127.0.0.1";
        conn.Port = FListener.Port();
        conn.User = AUser;
        conn.Secret = ASecret;
        FShell = TKvTelnetShell::Create(conn);
        FShell->SetEvents(
            [this](const std::string& AData) {
                std::lock_guard lock(FLock);
                FData += AData;
                FCv.notify_all();
            },
            [this](const std::string& AReason) {
                std::lock_guard lock(FLock);
                FEnded = true;
                FReason = AReason;
                FCv.notify_all();
            },
            nullptr);
        FShell->Start(80, 24);
        FPeer = FListener.Accept();
        ASSERT_GE(FPeer, 0);
    }
    void TearDown() override {
        if (FShell)
            FShell->Close();
    }
    void Send(const std::string& ABytes) {
        ASSERT_EQ(::send(FPeer, ABytes.data(), ABytes.size(), 0), (ssize_t)ABytes.size());
    }
    // Reads from the peer until AWanted has arrived (in what came since the last call).
    bool Receive(const std::string& AWanted, std::chrono::milliseconds ALimit = 10s) {
        auto end = std::chrono::steady_clock::now() + ALimit;
        while (std::chrono::steady_clock::now() < end) {
            auto at = FReceived.find(AWanted);
            if (at != std::string::npos) {
                FReceived.erase(0, at + AWanted.size());
                return true;
            }
            pollfd p{FPeer, POLLIN, 0};
            if (::poll(&p, 1, 50) > 0) {
                char buf[65536];
                ssize_t n = ::recv(FPeer, buf, sizeof buf, 0);
                if (n <= 0)
                    return false;
                FReceived.append(buf, static_cast<size_t>(n));
            }
        }
        return false;
    }
    bool WaitData(const std::string& AText) {
        std::unique_lock lock(FLock);
        return FCv.wait_for(lock, 10s, [&] { return FData.find(AText) != std::string::npos; });
    }
    bool WaitEnded() {
        std::unique_lock lock(FLock);
        return FCv.wait_for(lock, 10s, [&] { return FEnded; });
    }

    test::TListener FListener;
    int FPeer = -1;
    std::string FReceived;
    std::shared_ptr<TKvTelnetShell> FShell;
    std::mutex FLock;
    std::condition_variable FCv;
    std::string FData;
    bool FEnded = false;
    std::string FReason;
};

TEST_F(TelnetShell, NegotiatesLogsInAndCarriesDataBothWays) {
    StartShell("ann", "secret");
    ASSERT_TRUE(Receive(B({255, 251, 24, 255, 251, 31})));
    // A resize before DO NAWS waits; the size current when DO NAWS comes is sent.
    FShell->Resize(90, 30);
    FShell->Resize(120, 40);
    Send(B({255, 251, 1, 255}));
    Send(B({251, 3, 255, 253, 31, 255, 253, 24}));
    ASSERT_TRUE(Receive(B({255, 253, 1, 255, 253, 3})));
    ASSERT_TRUE(Receive(B({255, 250, 31, 0, 120, 0, 40, 255, 240})));
    Send(B({255, 250, 24, 1, 255, 240}));
    ASSERT_TRUE(Receive(TType));
    Send("Welcome\r\nhost lo");
    Send("gin: ");
    ASSERT_TRUE(Receive("ann\r\n"));
    Send("Password: ");
    ASSERT_TRUE(Receive("secret\r\n"));
    // An oversized sub-negotiation split over two receives is cut, answered, and ends at IAC SE.
    Send(B({255, 250, 24, 1}) + std::string(300, 'x'));
    Send(std::string(300, 'y') + B({255, 240}));
    ASSERT_TRUE(Receive(TType));
    Send(B({'$', ' ', 255, 255}));
    ASSERT_TRUE(WaitData(B({'$', ' ', 255})));
    FShell->Write(B({'l', 's', 255, 13}));
    ASSERT_TRUE(Receive(B({'l', 's', 255, 255, 13, 10})));
    FShell->Resize(120, 40); // unchanged: nothing
    FShell->Resize(255, 40);
    ASSERT_TRUE(Receive(B({255, 250, 31, 0, 255, 255, 0, 40, 255, 240})));
    ::shutdown(FPeer, SHUT_RDWR);
    ASSERT_TRUE(WaitEnded());
    EXPECT_EQ(FReason, "");
    std::lock_guard lock(FLock);
    EXPECT_EQ(FData, "Welcome\r\nhost login: Password: " + B({'$', ' ', 255})) << FData;
}

TEST_F(TelnetShell, ALargePasteIsSentWhileTheServerEchoesIt) {
    StartShell();
    ASSERT_TRUE(Receive(B({255, 251, 24, 255, 251, 31})));
    std::string paste(4 << 20, 'p');
    FShell->Write(paste);
    // The peer echoes everything back, as a remote cat would; neither side may stall.
    size_t echoed = 0;
    char buf[65536];
    auto end = std::chrono::steady_clock::now() + 60s;
    while (echoed < paste.size() && std::chrono::steady_clock::now() < end) {
        ssize_t n = ::recv(FPeer, buf, sizeof buf, 0);
        if (n <= 0)
            break;
        ASSERT_EQ(::send(FPeer, buf, n, 0), n);
        echoed += static_cast<size_t>(n);
    }
    EXPECT_EQ(echoed, paste.size());
    EXPECT_TRUE(WaitData(std::string(1000, 'p')));
}

TEST_F(TelnetShell, AResetConnectionIsReportedAsLost) {
    StartShell();
    ASSERT_TRUE(Receive(B({255, 251, 24, 255, 251, 31})));
    linger hard{1, 0}; // close with a reset
    ::setsockopt(FPeer, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    FListener.ClosePeer();
    ASSERT_TRUE(WaitEnded());
    EXPECT_EQ(FReason, "The connection was lost: Connection reset by peer");
}

TEST_F(TelnetShell, CloseRaisesNoEndedEvent) {
    StartShell();
    ASSERT_TRUE(Receive(B({255, 251, 24, 255, 251, 31})));
    FShell->Close();
    char c;
    EXPECT_EQ(::recv(FPeer, &c, 1, 0), 0); // the shell's thread closed the socket
    std::this_thread::sleep_for(100ms);
    std::lock_guard lock(FLock);
    EXPECT_FALSE(FEnded);
}

TEST(TelnetShellConnect, ARefusedConnectionSaysSo) {
    int port;
    {
        test::TListener gone;
        port = gone.Port();
    }
    TKvConnector conn;
    conn.Host = "127.0.0.1";
    conn.Port = port;
    auto shell = TKvTelnetShell::Create(conn);
    std::mutex m;
    std::condition_variable cv;
    std::string reason;
    std::vector<std::string> status;
    bool ended = false;
    shell->SetEvents(
        nullptr,
        [&](const std::string& AReason) {
            std::lock_guard lock(m);
            ended = true;
            reason = AReason;
            cv.notify_all();
        },
        [&](const std::string& AText) {
            std::lock_guard lock(m);
            status.push_back(AText);
        });
    shell->Start(80, 24);
    std::unique_lock lock(m);
    ASSERT_TRUE(cv.wait_for(lock, 30s, [&] { return ended; }));
    EXPECT_EQ(reason, "Cannot connect to 127.0.0.1 port " + std::to_string(port) +
                          ". The server did not answer.");
    EXPECT_EQ(status, std::vector<std::string>{"Connecting to 127.0.0.1..."});
}

} // namespace
