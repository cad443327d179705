#include "Kv.Tls.h"

#include <chrono>
#include <future>
#include <gtest/gtest.h>
#include <thread>

#include "KvListener.h"

namespace kv {
namespace {

using namespace std::chrono_literals;

// A server that accepts and never answers: the handshake waits on the socket, and only the
// token can end it before the limit.
TEST(Tls, CancelEndsAStalledHandshake) {
    test::TListener silent;
    TKvSocket sock = NetConnect("127.0.0.1", silent.Port(), nullptr, 1000);
    TKvCancelToken token;
    TKvTlsCredentials credentials(false);
    TKvTlsChannel channel(sock, &token, "127.0.0.1", credentials);
    auto handshake = std::async(std::launch::async, [&] { channel.Handshake(60000); });
    std::this_thread::sleep_for(100ms);
    const auto cancelled = std::chrono::steady_clock::now();
    token.Cancel();
    // Far below the 60-second limit: the wait noticed the token.
    ASSERT_EQ(handshake.wait_for(5s), std::future_status::ready);
    EXPECT_THROW(handshake.get(), EKvCancelled);
    EXPECT_LT(std::chrono::steady_clock::now() - cancelled, 5s);
    NetClose(sock);
}

TEST(Tls, ClosedConnectionDuringHandshake) {
    test::TListener listener;
    TKvSocket sock = NetConnect("127.0.0.1", listener.Port(), nullptr, 1000);
    listener.Accept();
    listener.ClosePeer();
    TKvTlsCredentials credentials(false);
    TKvTlsChannel channel(sock, nullptr, "localhost", credentials);
    try {
        channel.Handshake(5000);
        ADD_FAILURE() << "handshake succeeded";
    } catch (const EKvTlsCertError&) {
        ADD_FAILURE() << "a closed connection is not a certificate problem";
    } catch (const EKvFsError& error) {
        EXPECT_STREQ(error.what(), "The server closed the connection while TLS was starting");
    }
    NetClose(sock);
}

} // namespace
} // namespace kv
