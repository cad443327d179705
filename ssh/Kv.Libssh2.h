// libssh2, bound at run time: the library is found and checked the first time an SSH session
// opens, and every SSH unit calls it only through the table here. Also the three texts that
// belong to the binding: SFTP status codes, host key type names and SHA-256 fingerprints.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Only for the types and constants; the library is never linked.
#include <libssh2.h>
#include <libssh2_sftp.h>

namespace kv {

// The entry points every libssh2 must have, in the order they are resolved and listed when
// missing.
#define KV_LIBSSH2_REQUIRED(X)                                                                     \
    X(libssh2_init)                                                                                \
    X(libssh2_exit)                                                                                \
    X(libssh2_version)                                                                             \
    X(libssh2_session_init_ex)                                                                     \
    X(libssh2_session_free)                                                                        \
    X(libssh2_session_handshake)                                                                   \
    X(libssh2_session_disconnect_ex)                                                               \
    X(libssh2_session_set_blocking)                                                                \
    X(libssh2_session_set_timeout)                                                                 \
    X(libssh2_session_last_error)                                                                  \
    X(libssh2_session_hostkey)                                                                     \
    X(libssh2_session_supported_algs)                                                              \
    X(libssh2_session_method_pref)                                                                 \
    X(libssh2_free)                                                                                \
    X(libssh2_hostkey_hash)                                                                        \
    X(libssh2_userauth_list)                                                                       \
    X(libssh2_userauth_authenticated)                                                              \
    X(libssh2_userauth_password_ex)                                                                \
    X(libssh2_userauth_publickey_fromfile_ex)                                                      \
    X(libssh2_userauth_keyboard_interactive_ex)                                                    \
    X(libssh2_channel_open_ex)                                                                     \
    X(libssh2_channel_request_pty_ex)                                                              \
    X(libssh2_channel_request_pty_size_ex)                                                         \
    X(libssh2_channel_process_startup)                                                             \
    X(libssh2_channel_read_ex)                                                                     \
    X(libssh2_channel_write_ex)                                                                    \
    X(libssh2_channel_eof)                                                                         \
    X(libssh2_channel_close)                                                                       \
    X(libssh2_channel_get_exit_status)                                                             \
    X(libssh2_channel_free)                                                                        \
    X(libssh2_sftp_init)                                                                           \
    X(libssh2_sftp_shutdown)                                                                       \
    X(libssh2_sftp_last_error)                                                                     \
    X(libssh2_sftp_open_ex)                                                                        \
    X(libssh2_sftp_close_handle)                                                                   \
    X(libssh2_sftp_seek64)                                                                         \
    X(libssh2_sftp_read)                                                                           \
    X(libssh2_sftp_write)                                                                          \
    X(libssh2_sftp_readdir_ex)                                                                     \
    X(libssh2_sftp_stat_ex)                                                                        \
    X(libssh2_sftp_mkdir_ex)                                                                       \
    X(libssh2_sftp_rmdir_ex)                                                                       \
    X(libssh2_sftp_unlink_ex)                                                                      \
    X(libssh2_sftp_rename_ex)                                                                      \
    X(libssh2_sftp_symlink_ex)                                                                     \
    X(libssh2_session_banner_get)                                                                  \
    X(libssh2_agent_init)                                                                          \
    X(libssh2_agent_connect)                                                                       \
    X(libssh2_agent_list_identities)                                                               \
    X(libssh2_agent_get_identity)                                                                  \
    X(libssh2_agent_userauth)                                                                      \
    X(libssh2_agent_disconnect)                                                                    \
    X(libssh2_agent_free)                                                                          \
    X(libssh2_agent_set_identity_path)

// Used when present: free space (the statvfs@openssh.com extension), the handle-based stat,
// keepalives, jump hosts.
#define KV_LIBSSH2_OPTIONAL(X)                                                                     \
    X(libssh2_sftp_statvfs)                                                                        \
    X(libssh2_sftp_fstat_ex)                                                                       \
    X(libssh2_keepalive_config)                                                                    \
    X(libssh2_keepalive_send)                                                                      \
    X(libssh2_channel_direct_tcpip_ex)

// One pointer per entry point, named as the function and typed from libssh2's own header.
struct TKvLibssh2Api {
#define KV_LIBSSH2_MEMBER(Name) decltype(&::Name) Name = nullptr;
    KV_LIBSSH2_REQUIRED(KV_LIBSSH2_MEMBER)
    KV_LIBSSH2_OPTIONAL(KV_LIBSSH2_MEMBER)
#undef KV_LIBSSH2_MEMBER
};

// libssh2 error codes tested by value.
inline constexpr int KSsh2Timeout = -9;
inline constexpr int KSsh2Closed = -13;
inline constexpr int KSsh2KeyFile = -16;
inline constexpr int KSsh2AuthFailed = -18;
inline constexpr int KSsh2KeyRefused = -19;
inline constexpr int KSsh2SftpError = -31;
inline constexpr int KSsh2WouldBlock = -37;

// Binds the library once per process (the program folder first, then the default search).
// False with the message for the user when it cannot; a failed attempt does not stick.
bool LoadLibssh2(std::string& AMessage);
// The bound table; only valid after LoadLibssh2 returned true.
const TKvLibssh2Api& Ssh2();

// One binding attempt from the given files, in order, into AApi, without touching the
// process-wide state (tests point it at stub libraries). Same results and messages as
// LoadLibssh2; AHandle receives the library handle on success.
bool BindLibssh2From(const std::vector<std::string>& AFiles, TKvLibssh2Api& AApi, void*& AHandle,
                     std::string& AMessage);

std::string SftpErrorText(uint32_t ACode);
std::string HostKeyTypeName(int AType);
// "SHA256:" + the unpadded Base64 of the 32 digest bytes.
std::string HostKeyFingerprint(const unsigned char* ADigest32);

} // namespace kv
