// A stand-in libssh2 for the binding's tests: every entry point as a plain symbol, with two
// left out (KV_STUB_OMIT_TWO) or an initialisation that fails (KV_STUB_INIT_FAILS).
#define KV_STUB(Name)                                                                              \
    extern "C" __attribute__((visibility("default"))) int Name() {                                 \
        return 0;                                                                                  \
    }

extern "C" __attribute__((visibility("default"))) int libssh2_init(int) {
#ifdef KV_STUB_INIT_FAILS
    return -1;
#else
    return 0;
#endif
}
KV_STUB(libssh2_exit)
KV_STUB(libssh2_version)
KV_STUB(libssh2_session_init_ex)
KV_STUB(libssh2_session_free)
KV_STUB(libssh2_session_handshake)
KV_STUB(libssh2_session_disconnect_ex)
KV_STUB(libssh2_session_set_blocking)
KV_STUB(libssh2_session_set_timeout)
KV_STUB(libssh2_session_last_error)
KV_STUB(libssh2_session_hostkey)
KV_STUB(libssh2_session_supported_algs)
KV_STUB(libssh2_session_method_pref)
KV_STUB(libssh2_free)
KV_STUB(libssh2_hostkey_hash)
KV_STUB(libssh2_userauth_list)
KV_STUB(libssh2_userauth_authenticated)
KV_STUB(libssh2_userauth_password_ex)
KV_STUB(libssh2_userauth_publickey_fromfile_ex)
KV_STUB(libssh2_userauth_keyboard_interactive_ex)
KV_STUB(libssh2_channel_open_ex)
KV_STUB(libssh2_channel_request_pty_ex)
KV_STUB(libssh2_channel_request_pty_size_ex)
KV_STUB(libssh2_channel_process_startup)
KV_STUB(libssh2_channel_read_ex)
KV_STUB(libssh2_channel_write_ex)
#ifndef KV_STUB_OMIT_TWO
KV_STUB(libssh2_channel_eof)
#endif
KV_STUB(libssh2_channel_close)
KV_STUB(libssh2_channel_get_exit_status)
KV_STUB(libssh2_channel_free)
KV_STUB(libssh2_sftp_init)
KV_STUB(libssh2_sftp_shutdown)
KV_STUB(libssh2_sftp_last_error)
KV_STUB(libssh2_sftp_open_ex)
KV_STUB(libssh2_sftp_close_handle)
KV_STUB(libssh2_sftp_seek64)
KV_STUB(libssh2_sftp_read)
KV_STUB(libssh2_sftp_write)
KV_STUB(libssh2_sftp_readdir_ex)
KV_STUB(libssh2_sftp_stat_ex)
KV_STUB(libssh2_sftp_mkdir_ex)
KV_STUB(libssh2_sftp_rmdir_ex)
KV_STUB(libssh2_sftp_unlink_ex)
KV_STUB(libssh2_sftp_rename_ex)
#ifndef KV_STUB_OMIT_TWO
KV_STUB(libssh2_sftp_symlink_ex)
#endif
KV_STUB(libssh2_session_banner_get)
KV_STUB(libssh2_agent_init)
KV_STUB(libssh2_agent_connect)
KV_STUB(libssh2_agent_list_identities)
KV_STUB(libssh2_agent_get_identity)
KV_STUB(libssh2_agent_userauth)
KV_STUB(libssh2_agent_disconnect)
KV_STUB(libssh2_agent_free)
KV_STUB(libssh2_agent_set_identity_path)
