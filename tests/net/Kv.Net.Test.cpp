#include "Kv.Net.h"

#include <chrono>
#include <csignal>
#include <future>
#include <gtest/gtest.h>
#include <thread>

#include "Kv.FileSystem.h"
#include "KvListener.h"

namespace kv {
namespace {

using namespace std::chrono_literals;
using test::ErrorOf;
using test::TListener;

TEST(Net, ConnectsOverIpv4AndIpv6AndNamesThePeer) {
    for (const auto& [host, v6] :
         {std::pair{"127.0.0.1", false}, {"::1", true}, {"localhost", false}}) {
        SCOPED_TRACE(host);
        TListener listener(v6);
        TKvSocket sock = NetConnect(host, listener.Port(), nullptr, 2000);
        const int peer = listener.Accept();
        EXPECT_EQ(NetPeerAddress(sock), v6 ? "::1" : "127.0.0.1");
        NetSend(sock, "ping", 4);
        char buffer[8] = {};
        ASSERT_EQ(::recv(peer, buffer, sizeof buffer, 0), 4);
        ::send(peer, "pong", 4, 0);
        EXPECT_EQ(NetRecv(sock, buffer, sizeof buffer, nullptr, 2000), 4);
        EXPECT_EQ(std::string(buffer, 4), "pong");
        listener.ClosePeer();
        EXPECT_EQ(NetRecv(sock, buffer, sizeof buffer, nullptr, 2000), 0);
        NetClose(sock);
        EXPECT_EQ(sock, KNoSocket);
    }
}

TEST(Net, FailuresAreSentences) {
    int port = 0;
    {
        TListener closed;
        port = closed.Port();
    }
    EXPECT_EQ(ErrorOf([&] { NetConnect("127.0.0.1", port, nullptr, 1000); }),
              "Cannot connect to 127.0.0.1 port " + std::to_string(port) +
                  ". The server did not answer.");
    EXPECT_EQ(ErrorOf([&] {
                  NetConnect("no-such-host.invalid", 21, nullptr, 1000);
              }).rfind("Cannot find the host \"no-such-host.invalid\" (error ", 0),
              0u);
    TListener silent;
    TKvSocket sock = NetConnect("127.0.0.1", silent.Port(), nullptr, 1000);
    char byte;
    EXPECT_EQ(ErrorOf([&] { NetRecv(sock, &byte, 1, nullptr, 150); }),
              "The server did not answer in time");
    NetClose(sock);
}

TEST(Net, CancelledTokenStopsAWait) {
    TListener silent;
    TKvSocket sock = NetConnect("127.0.0.1", silent.Port(), nullptr, 1000);
    TKvCancelToken token;
    auto waiting = std::async(std::launch::async, [&] {
        char byte;
        NetRecv(sock, &byte, 1, &token, 60000);
    });
    std::this_thread::sleep_for(50ms);
    token.Cancel();
    ASSERT_EQ(waiting.wait_for(10s), std::future_status::ready);
    EXPECT_THROW(waiting.get(), EKvCancelled);
    NetClose(sock);
}

TEST(Net, AbortWakesACallBlockedInAnotherThread) {
    TListener silent;
    TKvSocket sock = NetConnect("127.0.0.1", silent.Port(), nullptr, 1000);
    auto waiting = std::async(std::launch::async, [&] {
        char byte;
        return NetRecv(sock, &byte, 1, nullptr, 60000);
    });
    std::this_thread::sleep_for(50ms);
    NetAbort(sock);
    ASSERT_EQ(waiting.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(waiting.get(), 0);
    NetClose(sock);
}

TEST(Net, SendingToAClosedPeerRaisesInsteadOfKillingTheProcess) {
    TListener listener;
    TKvSocket sock = NetConnect("127.0.0.1", listener.Port(), nullptr, 1000);
    listener.Accept();
    listener.ClosePeer();
    // The default SIGPIPE action ends the process; the send must not raise the signal at all.
    auto previous = ::signal(SIGPIPE, SIG_DFL);
    const std::string block(65536, 'x');
    std::string error;
    for (int i = 0; i < 100 && error.empty(); ++i)
        error = ErrorOf([&] { NetSend(sock, block.data(), block.size()); });
    ::signal(SIGPIPE, previous);
    EXPECT_EQ(error, "The connection was lost");
    NetClose(sock);
}

} // namespace
} // namespace kv
