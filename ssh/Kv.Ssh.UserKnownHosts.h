// The user's OpenSSH known hosts (~/.ssh/known_hosts), read only: plain and hashed ("|1|")
// host fields, "[host]:port" for ports other than 22, patterns, and the "@revoked" marker.
// A key found there is known without asking; one that differs from it is refused. Kolvan's own
// known_hosts.txt stays the file that it writes.
#pragma once

#include <string>
#include <vector>

namespace kv {

// Larger files are left out with a note rather than read without bound.
inline constexpr size_t KUserKnownHostsMaxBytes = 16 << 20;

enum class TKvUserKnownHostState { ukUnknown, ukMatch, ukChanged, ukRevoked };
using enum TKvUserKnownHostState;

struct TKvUserKnownHost {
    TKvUserKnownHostState State = ukUnknown;
    // The line that decided (1-based), 0 for none.
    int Line = 0;
    // For ukChanged: the key there, as its raw blob, and its type.
    std::string StoredKey;
    std::string StoredKeyType;
};

// The name under which OpenSSH files a host: "host" on port 22, "[host]:port" otherwise.
std::string OpenSshHostName(const std::string& AHost, int APort);

// The lines (1-based) whose host field matches the host and port, markers included, as
// "ssh-keygen -F" finds them.
std::vector<int> UserKnownHostsLines(const std::string& AText, const std::string& AHost, int APort);

// The presented key (its type name and raw blob) against the lines for the host: a revoked key
// wins, then a line with this very key, then a line with another key of the same type
// (changed), then a line with a key of another type (changed too: a man in the middle chooses
// the type he shows, so a host known by any key is never new).
TKvUserKnownHost CheckUserKnownHosts(const std::string& AText, const std::string& AHost, int APort,
                                     const std::string& AKeyType, const std::string& AKey);

// The key types of the lines for the host (markers left out), each once, in file order.
std::vector<std::string> UserKnownHostKeyTypes(const std::string& AText, const std::string& AHost,
                                               int APort);

// ~/.ssh/known_hosts.
std::string UserKnownHostsFile();

} // namespace kv
