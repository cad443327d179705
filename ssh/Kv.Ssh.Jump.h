// SSH through jump hosts (ProxyJump): a direct-tcpip channel on the jump host's session carries
// the next connection, which talks to one end of a socket pair while a pump thread moves the
// bytes between the other end and the channel.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Kv.Connectors.h"

struct _LIBSSH2_CHANNEL;

namespace kv {

class TKvSshSession;

// One hop of a ProxyJump value: "[user@]host[:port]", also "ssh://..." and "[v6 address]:port".
struct TKvJumpHop {
    std::string User;
    std::string Host;
    int Port = 0; // 0: not given
};
// The hops in the order they are passed (the first is reached directly); false with a sentence
// in AProblem when one cannot be read.
bool ParseProxyJump(const std::string& AValue, std::vector<TKvJumpHop>& AHops, std::string& AProblem);
// The connection to log in to a hop with: the agent, the SSH configuration's keys, then a password.
TKvConnector JumpConnector(const TKvJumpHop& AHop);

class TKvSshTunnel {
public:
    // Opens a channel from AJump (logged in) to AHost:APort and starts the pump; raises
    // EKvFsError when the jump host cannot reach it.
    TKvSshTunnel(std::unique_ptr<TKvSshSession> AJump, const std::string& AJumpName,
                 const std::string& AHost, int APort);
    // Stops the pump and lets the jump session go.
    ~TKvSshTunnel();
    TKvSshTunnel(const TKvSshTunnel&) = delete;
    TKvSshTunnel& operator=(const TKvSshTunnel&) = delete;

    // The end of the pair the next session connects through; closed by whoever takes it.
    int TakeSocket();

private:
    void Pump();

    std::unique_ptr<TKvSshSession> FJump;
    _LIBSSH2_CHANNEL* FChannel = nullptr;
    int FMine = -1;
    int FTheirs = -1;
    std::atomic<bool> FStop{false};
    std::thread FThread;
};

} // namespace kv
