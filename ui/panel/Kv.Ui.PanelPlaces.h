// What a file panel needs to show places beyond the disk, without any widget: opening a
// connection of any file kind, reading a typed connection, the archive password texts, and the
// names a listing may hand on.
#pragma once

#include <string>

#include "Kv.Connectors.h"
#include "Kv.FileSystem.h"
#include "Kv.Ssh.Session.h"

namespace kv {

// Connects and logs in by the connection's kind (SFTP, also for an SSH connection's files;
// FTP, explicit or implicit FTPS; WebDAV), asking AUi (may be null). Gives the file system, the
// password learned at login (empty when none was typed) and the server's start folder.
IKvFileSystemPtr OpenConnection(const TKvConnector& AConn, const IKvConnectUiPtr& AUi,
                                const IKvCancelToken& AToken, std::string& ALearnedSecret,
                                std::string& AStartPath);

// A connection typed as "kind://user@host:port/folder" (kinds as the connections file names
// them: sftp, ftp, ftps, ftps-implicit, webdavs; also https:// for WebDAV). False with a
// sentence for the user in AProblem when the text is no such address.
bool ParseConnectionText(const std::string& AText, TKvConnector& AConn, std::string& AProblem);

// The archive password questions; AName is the archive's file name.
std::string ArchivePasswordPrompt(const std::string& AName, bool AAfterWrongOne);
std::string ArchivePasswordRefused(const std::string& AName);

} // namespace kv
