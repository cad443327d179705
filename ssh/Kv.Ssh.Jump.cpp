#include "Kv.Ssh.Jump.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "Kv.Libssh2.h"
#include "Kv.Log.h"
#include "Kv.Ssh.Session.h"
#include "Kv.Text.h"

namespace kv {

namespace {

// What either direction holds before it stops reading: the other side is slower.
constexpr size_t KPumpBuffer = 1 << 20;
// A pass of the pump also looks at libssh2's own buffer, which poll cannot see.
constexpr int KPumpPollMs = 10;

std::vector<std::string> CommaSeparated(const std::string& AText) {
    std::vector<std::string> pieces(1);
    for (char c : AText) {
        if (c == ',')
            pieces.emplace_back();
        else
            pieces.back() += c;
    }
    return pieces;
}

bool Refuse(std::string& AProblem, const std::string& AWhy) {
    AProblem = AWhy;
    return false;
}

} // namespace

bool ParseProxyJump(const std::string& AValue, std::vector<TKvJumpHop>& AHops, std::string& AProblem) {
    AHops.clear();
    for (const auto& piece : CommaSeparated(AValue)) {
        std::string text(TrimmedView(piece));
        if (text.rfind("ssh://", 0) == 0)
            text.erase(0, 6);
        TKvJumpHop hop;
        if (const size_t at = text.rfind('@'); at != std::string::npos) {
            hop.User = text.substr(0, at);
            text.erase(0, at + 1);
        }
        std::string port;
        if (!text.empty() && text[0] == '[') {
            const size_t close = text.find(']');
            if (close == std::string::npos)
                return Refuse(AProblem, "\"" + piece + "\" is not a jump host: a \"]\" is missing");
            hop.Host = text.substr(1, close - 1);
            if (close + 1 < text.size()) {
                if (text[close + 1] != ':')
                    return Refuse(AProblem, "\"" + piece + "\" is not a jump host");
                port = text.substr(close + 2);
            }
        } else if (const size_t colon = text.find(':'); colon != std::string::npos) {
            hop.Host = text.substr(0, colon);
            port = text.substr(colon + 1);
        } else {
            hop.Host = text;
        }
        if (!port.empty()) {
            char* end = nullptr;
            const long number = std::strtol(port.c_str(), &end, 10);
            if (!end || *end != 0 || number < 1 || number > 65535)
                return Refuse(AProblem, "\"" + piece + "\" is not a jump host: no port number");
            hop.Port = static_cast<int>(number);
        }
        if (hop.Host.empty())
            return Refuse(AProblem, "\"" + piece + "\" is not a jump host: no host name");
        AHops.push_back(hop);
    }
    if (AHops.empty())
        return Refuse(AProblem, "The jump host is empty");
    return true;
}

TKvConnector JumpConnector(const TKvJumpHop& AHop) {
    TKvConnector conn;
    conn.Kind = ckSsh;
    conn.Name = AHop.Host;
    conn.Host = AHop.Host;
    conn.Port = AHop.Port != 0 ? AHop.Port : DefaultPortFor(ckSsh);
    conn.User = AHop.User;
    conn.UseAgent = true;
    return conn;
}

TKvSshTunnel::TKvSshTunnel(std::unique_ptr<TKvSshSession> AJump, const std::string& AJumpName,
                           const std::string& AHost, int APort)
    : FJump(std::move(AJump)) {
    const auto& api = Ssh2();
    if (!api.libssh2_channel_direct_tcpip_ex)
        throw EKvFsError("This libssh2 cannot carry a connection through a jump host");
    {
        std::lock_guard lock(FJump->Mutex());
        FChannel = api.libssh2_channel_direct_tcpip_ex(FJump->Session(), AHost.c_str(), APort,
                                                       "127.0.0.1", 22);
        if (!FChannel)
            throw EKvFsError("The jump host " + AJumpName + " could not reach " + AHost + " port " +
                             std::to_string(APort) + ": " + FJump->LastError());
    }
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
        std::lock_guard lock(FJump->Mutex());
        api.libssh2_channel_free(FChannel);
        throw EKvFsError(std::string("No socket pair for the jump host: ") + std::strerror(errno));
    }
    FMine = pair[0];
    FTheirs = pair[1];
    ::fcntl(FMine, F_SETFL, ::fcntl(FMine, F_GETFL) | O_NONBLOCK);
    Log("ssh: through " + AJumpName + " to " + AHost + " port " + std::to_string(APort));
    FThread = std::thread([this] { Pump(); });
}

TKvSshTunnel::~TKvSshTunnel() {
    FStop = true;
    if (FThread.joinable())
        FThread.join();
    {
        std::lock_guard lock(FJump->Mutex());
        if (FChannel && !FJump->Broken()) {
            Ssh2().libssh2_session_set_blocking(FJump->Session(), 1);
            Ssh2().libssh2_channel_free(FChannel);
        }
    }
    if (FMine >= 0)
        ::close(FMine);
    if (FTheirs >= 0)
        ::close(FTheirs);
    FJump.reset();
}

int TKvSshTunnel::TakeSocket() {
    const int socket = FTheirs;
    FTheirs = -1;
    return socket;
}

void TKvSshTunnel::Pump() {
    const auto& api = Ssh2();
    {
        std::lock_guard lock(FJump->Mutex());
        api.libssh2_session_set_blocking(FJump->Session(), 0);
    }
    std::vector<char> toChannel, toSocket;
    char buffer[32768];
    bool socketEnd = false, channelEnd = false;
    std::string why;
    while (!FStop) {
        pollfd fds[2] = {{FMine, static_cast<short>((socketEnd ? 0 : POLLIN) |
                                                    (toSocket.empty() ? 0 : POLLOUT)),
                          0},
                         {FJump->Socket(), POLLIN, 0}};
        ::poll(fds, 2, KPumpPollMs);
        // The next session to the channel.
        if (!socketEnd && toChannel.size() < KPumpBuffer) {
            const ssize_t n = ::read(FMine, buffer, sizeof buffer);
            if (n > 0)
                toChannel.insert(toChannel.end(), buffer, buffer + n);
            else if (n == 0 || (errno != EAGAIN && errno != EINTR))
                socketEnd = true;
        }
        std::unique_lock lock(FJump->Mutex());
        while (!toChannel.empty()) {
            const ssize_t n =
                api.libssh2_channel_write_ex(FChannel, 0, toChannel.data(), toChannel.size());
            if (n == KSsh2WouldBlock)
                break;
            if (n < 0) {
                why = FJump->LastError();
                channelEnd = true;
                break;
            }
            toChannel.erase(toChannel.begin(), toChannel.begin() + n);
        }
        // The channel to the next session.
        while (!channelEnd && toSocket.size() < KPumpBuffer) {
            const ssize_t n = api.libssh2_channel_read_ex(FChannel, 0, buffer, sizeof buffer);
            if (n > 0) {
                toSocket.insert(toSocket.end(), buffer, buffer + n);
                continue;
            }
            if (n == KSsh2WouldBlock)
                break;
            if (n < 0)
                why = FJump->LastError();
            if (n < 0 || api.libssh2_channel_eof(FChannel))
                channelEnd = true;
            break;
        }
        lock.unlock();
        while (!toSocket.empty()) {
            const ssize_t n = ::write(FMine, toSocket.data(), toSocket.size());
            if (n < 0) {
                if (errno == EAGAIN || errno == EINTR)
                    break;
                socketEnd = true;
                toSocket.clear();
                break;
            }
            toSocket.erase(toSocket.begin(), toSocket.begin() + n);
        }
        if ((channelEnd && toSocket.empty()) || (socketEnd && toChannel.empty()))
            break;
    }
    if (!why.empty())
        Log("ssh: the jump host's channel ended: " + why);
    // The next session reads its end of the connection.
    ::shutdown(FMine, SHUT_RDWR);
}

} // namespace kv
