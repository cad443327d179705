// TCP sockets for every plain-socket client (TLS, FTP, WebDAV, Telnet): connect, receive and
// send with time limits and cancellation. Every failure is an EKvFsError with a sentence.
#pragma once

#include <cstddef>
#include <string>

#include "Kv.Worker.h"

namespace kv {

using TKvSocket = int;
inline constexpr TKvSocket KNoSocket = -1;

// The limit every caller in the program passes to NetConnect.
inline constexpr int KNetConnectLimitMs = 15000;

// Tries each address of AHost (IPv4 and IPv6) with ALimitMs per address. The socket comes back
// blocking, with TCP_NODELAY, SO_KEEPALIVE and a 30-second send time-out. A cancelled AToken
// (may be null) closes the unfinished socket and raises EKvCancelled.
TKvSocket NetConnect(const std::string& AHost, int APort, const IKvCancelToken* AToken,
                     int ALimitMs);
// At least one byte, or 0 when the peer closed the connection.
int NetRecv(TKvSocket ASock, void* ABuffer, int ASize, const IKvCancelToken* AToken, int ALimitMs);
// All bytes, or an error; never raises SIGPIPE.
void NetSend(TKvSocket ASock, const void* AData, size_t ALength);
// For a session loop that reads and writes in turn: waits up to ALimitMs for ASock to have data
// (or the peer's close) and, with AWantWrite, for room to send. A failed wait raises
// "The connection was lost: " and the system's reason.
struct TKvNetReady {
    bool Readable = false;
    bool Writable = false;
};
TKvNetReady NetWait(TKvSocket ASock, bool AWantWrite, int ALimitMs);
// What one receive gives without waiting: bytes (> 0), 0 when the peer closed, -1 when nothing
// is there. A failure raises "The connection was lost: " and the system's reason.
long NetRecvSome(TKvSocket ASock, void* ABuffer, size_t ASize);
// Sends what fits now without waiting: bytes sent (>= 0). A failure raises as NetRecvSome does.
size_t NetSendSome(TKvSocket ASock, const void* AData, size_t ALength);
// Shuts down both directions and closes; the variable becomes KNoSocket.
void NetClose(TKvSocket& ASock);
// Wakes a call blocked on ASock in another thread; the socket stays open for its owner to close.
void NetAbort(TKvSocket ASock);
// The numeric address the socket is connected to ("127.0.0.1", "::1"); empty when unknown.
std::string NetPeerAddress(TKvSocket ASock);
// True when the host is an IPv4 or IPv6 address rather than a name.
bool IsIpAddress(const std::string& AHost);

} // namespace kv
