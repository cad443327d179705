#include "Kv.Net.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include "Kv.FileSystem.h"

namespace kv {

namespace {

// Waits are cut into steps so a cancelled token is seen within this time.
constexpr int KWaitStepMs = 100;
constexpr int KSendTimeoutMs = 30000;

using TClock = std::chrono::steady_clock;

int ElapsedMs(TClock::time_point AStart) {
    return static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(TClock::now() - AStart).count());
}

void SetBlocking(int AFd, bool ABlocking) {
    const int flags = ::fcntl(AFd, F_GETFL, 0);
    ::fcntl(AFd, F_SETFL, ABlocking ? flags & ~O_NONBLOCK : flags | O_NONBLOCK);
}

// One address: true when connected within the limit.
bool TryConnect(int AFd, const addrinfo& AAddr, const IKvCancelToken* AToken, int ALimitMs) {
    SetBlocking(AFd, false);
    if (::connect(AFd, AAddr.ai_addr, AAddr.ai_addrlen) == 0)
        return true;
    if (errno != EINPROGRESS)
        return false;
    const auto start = TClock::now();
    for (;;) {
        if (AToken)
            CheckCancelled(*AToken);
        const int left = ALimitMs - ElapsedMs(start);
        if (left <= 0)
            return false;
        pollfd pfd{AFd, POLLOUT, 0};
        const int ready = ::poll(&pfd, 1, std::min(left, KWaitStepMs));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0)
            return false;
        if (ready == 0)
            continue;
        int error = 0;
        socklen_t length = sizeof error;
        return ::getsockopt(AFd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
    }
}

} // namespace

bool IsIpAddress(const std::string& AHost) {
    in6_addr address6;
    in_addr address4;
    return ::inet_pton(AF_INET, AHost.c_str(), &address4) == 1 ||
           ::inet_pton(AF_INET6, AHost.c_str(), &address6) == 1;
}

TKvSocket NetConnect(const std::string& AHost, int APort, const IKvCancelToken* AToken,
                     int ALimitMs) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* list = nullptr;
    const std::string port = std::to_string(APort);
    const int status = ::getaddrinfo(AHost.c_str(), port.c_str(), &hints, &list);
    if (status != 0)
        throw EKvFsError("Cannot find the host \"" + AHost + "\" (error " + std::to_string(status) +
                         "): " + ::gai_strerror(status));
    std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> guard(list, &::freeaddrinfo);
    for (const addrinfo* address = list; address; address = address->ai_next) {
        int fd =
            ::socket(address->ai_family, address->ai_socktype | SOCK_CLOEXEC, address->ai_protocol);
        if (fd < 0)
            continue;
        bool connected = false;
        try {
            connected = TryConnect(fd, *address, AToken, ALimitMs);
        } catch (...) {
            ::close(fd);
            throw;
        }
        if (!connected) {
            ::close(fd);
            continue;
        }
        SetBlocking(fd, true);
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
        timeval sendLimit{KSendTimeoutMs / 1000, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &sendLimit, sizeof sendLimit);
        return fd;
    }
    throw EKvFsError("Cannot connect to " + AHost + " port " + std::to_string(APort) +
                     ". The server did not answer.");
}

int NetRecv(TKvSocket ASock, void* ABuffer, int ASize, const IKvCancelToken* AToken, int ALimitMs) {
    const auto start = TClock::now();
    for (;;) {
        if (AToken)
            CheckCancelled(*AToken);
        const int left = ALimitMs - ElapsedMs(start);
        pollfd pfd{ASock, POLLIN, 0};
        // Every path waits at least once, so a short limit still gives the peer a chance.
        const int ready = ::poll(&pfd, 1, std::max(1, std::min(left, KWaitStepMs)));
        if (ready < 0 && errno != EINTR)
            throw EKvFsError("The connection was lost");
        if (ready > 0) {
            const ssize_t got = ::recv(ASock, ABuffer, ASize > 0 ? ASize : 0, 0);
            if (got >= 0)
                return static_cast<int>(got);
            if (errno == EINTR || errno == EAGAIN)
                continue;
            throw EKvFsError("The connection was lost");
        }
        if (ElapsedMs(start) >= ALimitMs)
            throw EKvFsError("The server did not answer in time");
    }
}

void NetSend(TKvSocket ASock, const void* AData, size_t ALength) {
    const char* data = static_cast<const char*>(AData);
    while (ALength > 0) {
        const ssize_t sent = ::send(ASock, data, ALength, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent <= 0)
            throw EKvFsError("The connection was lost");
        data += sent;
        ALength -= static_cast<size_t>(sent);
    }
}

namespace {

[[noreturn]] void RaiseLost(int AErr) {
    char buf[256];
    throw EKvFsError(std::string("The connection was lost: ") + strerror_r(AErr, buf, sizeof buf));
}

} // namespace

TKvNetReady NetWait(TKvSocket ASock, bool AWantWrite, int ALimitMs) {
    pollfd pfd{ASock, static_cast<short>(POLLIN | (AWantWrite ? POLLOUT : 0)), 0};
    TKvNetReady r;
    const int ready = ::poll(&pfd, 1, ALimitMs);
    if (ready < 0) {
        if (errno == EINTR)
            return r;
        RaiseLost(errno);
    }
    r.Readable = (pfd.revents & (POLLIN | POLLHUP | POLLERR)) != 0;
    r.Writable = (pfd.revents & POLLOUT) != 0;
    return r;
}

long NetRecvSome(TKvSocket ASock, void* ABuffer, size_t ASize) {
    for (;;) {
        const ssize_t got = ::recv(ASock, ABuffer, ASize, MSG_DONTWAIT);
        if (got >= 0)
            return static_cast<long>(got);
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return -1;
        RaiseLost(errno);
    }
}

size_t NetSendSome(TKvSocket ASock, const void* AData, size_t ALength) {
    for (;;) {
        const ssize_t sent = ::send(ASock, AData, ALength, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (sent >= 0)
            return static_cast<size_t>(sent);
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return 0;
        RaiseLost(errno);
    }
}

void NetClose(TKvSocket& ASock) {
    if (ASock == KNoSocket)
        return;
    ::shutdown(ASock, SHUT_RDWR);
    ::close(ASock);
    ASock = KNoSocket;
}

void NetAbort(TKvSocket ASock) {
    if (ASock != KNoSocket)
        ::shutdown(ASock, SHUT_RDWR);
}

std::string NetPeerAddress(TKvSocket ASock) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (::getpeername(ASock, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return {};
    char text[INET6_ADDRSTRLEN] = {};
    if (address.ss_family == AF_INET)
        ::inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(&address)->sin_addr, text,
                    sizeof text);
    else if (address.ss_family == AF_INET6)
        ::inet_ntop(AF_INET6, &reinterpret_cast<sockaddr_in6*>(&address)->sin6_addr, text,
                    sizeof text);
    return text;
}

} // namespace kv
