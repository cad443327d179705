// The server keys the user has trusted: SSH host keys and pinned TLS certificates, one line
// each in known_hosts.txt ("[host]:port type fingerprint"). A changed key is never written over;
// the user removes the old line by hand.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kv {

enum class TKvKnownHostState { khUnknown, khMatch, khChanged };
using enum TKvKnownHostState;

// The key type under which TLS certificates are pinned.
inline constexpr const char* KTlsCertificateKeyType = "tls-certificate";

// The data folder joined with "known_hosts.txt".
std::string KnownHostsFile();
// "[" + the host without surrounding blanks, in lower case + "]:" + the port.
std::string KnownHostKey(std::string_view AHost, int APort);

// Each operation holds one process-wide lock from reading the file to writing it. A missing or
// unreadable file counts as empty; the first line for the host and key type counts.
TKvKnownHostState CheckKnownHost(const std::string& AFile, std::string_view AHost, int APort,
                                 std::string_view AKeyType, std::string_view AFingerprint);
// Empty when there is none.
std::string StoredFingerprint(const std::string& AFile, std::string_view AHost, int APort,
                              std::string_view AKeyType);
// The key types stored for the host, each once, in the order of their first lines (TLS
// certificates included): a host known under one type is not new when it shows another.
std::vector<std::string> KnownHostKeyTypes(const std::string& AFile, std::string_view AHost,
                                           int APort);
// Appends one line ending in CR LF to the bytes already there (after a line end when the last
// line has none) and writes the file back atomically. False when the file cannot be read, the
// write failed, or when a field is empty or holds a blank or a control character, which would
// make the line mean something else (callers go on either way).
bool AddKnownHost(const std::string& AFile, std::string_view AHost, int APort,
                  std::string_view AKeyType, std::string_view AFingerprint);

} // namespace kv
