// A listening loopback socket for socket and TLS tests that need a peer which says nothing.
#pragma once

#include <arpa/inet.h>
#include <exception>
#include <functional>
#include <netinet/in.h>
#include <stdexcept>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace kv::test {

// The message of what AAction raised; empty when it raised nothing.
inline std::string ErrorOf(const std::function<void()>& AAction) {
    try {
        AAction();
    } catch (const std::exception& error) {
        return error.what();
    }
    return "";
}

class TListener {
public:
    explicit TListener(bool AIpv6 = false) {
        FFd = ::socket(AIpv6 ? AF_INET6 : AF_INET, SOCK_STREAM, 0);
        sockaddr_storage address{};
        socklen_t length;
        if (AIpv6) {
            auto* a6 = reinterpret_cast<sockaddr_in6*>(&address);
            a6->sin6_family = AF_INET6;
            a6->sin6_addr = in6addr_loopback;
            length = sizeof(sockaddr_in6);
        } else {
            auto* a4 = reinterpret_cast<sockaddr_in*>(&address);
            a4->sin_family = AF_INET;
            a4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            length = sizeof(sockaddr_in);
        }
        if (::bind(FFd, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            ::listen(FFd, 8) != 0)
            throw std::runtime_error("cannot listen");
        ::getsockname(FFd, reinterpret_cast<sockaddr*>(&address), &length);
        FPort = ntohs(AIpv6 ? reinterpret_cast<sockaddr_in6*>(&address)->sin6_port
                            : reinterpret_cast<sockaddr_in*>(&address)->sin_port);
    }
    ~TListener() {
        if (FPeer >= 0)
            ::close(FPeer);
        ::close(FFd);
    }
    int Port() const { return FPort; }
    // The accepted connection, owned by the listener.
    int Accept() {
        FPeer = ::accept(FFd, nullptr, nullptr);
        return FPeer;
    }
    void ClosePeer() {
        ::close(FPeer);
        FPeer = -1;
    }

private:
    int FFd = -1;
    int FPeer = -1;
    int FPort = 0;
};

} // namespace kv::test
