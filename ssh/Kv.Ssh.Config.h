// The user's OpenSSH client configuration (~/.ssh/config and what it includes), read as ssh
// reads it for what a login here can use: HostName, User, Port, IdentityFile, and whether the
// host sits behind a jump host. The first value found wins; IdentityFile adds up. Files that
// are huge, not text, not regular or included in a loop are left out with a note, never read
// without bound.
#pragma once

#include <string>
#include <vector>

#include "Kv.Connectors.h"

namespace kv {

// What the configuration says about one host.
struct TKvSshHostConfig {
    // HostName with %h expanded, lower-cased; the host as asked when none is given.
    std::string HostName;
    std::string User;
    // 0 when not given.
    int Port = 0;
    // ServerAliveInterval in seconds; -1 when not given, 0 when switched off.
    int AliveInterval = -1;
    // Still with "~" and %-tokens: ExpandSshPath makes paths of them for a connection.
    std::vector<std::string> IdentityFiles;
    // "ProxyJump" or "ProxyCommand" when one applies (and is not "none"); where it was given.
    std::string Proxy;
    // ProxyJump's value ("[user@]host[:port],...").
    std::string ProxyJump;
    std::string ProxyFile;
    int ProxyLine = 0;
};

// Limits that keep a damaged or hostile configuration from stalling a connect.
inline constexpr size_t KSshConfigMaxBytes = 1 << 20;
inline constexpr int KSshConfigMaxDepth = 16;
inline constexpr int KSshConfigMaxFiles = 256;

class TKvSshConfig {
public:
    // Reads APath and its Includes (relative ones below AUserSshDir, as ssh does for the user's
    // file). A missing file is an empty configuration and no problem.
    static TKvSshConfig Load(const std::string& APath, const std::string& AUserSshDir);
    // The user's ~/.ssh/config.
    static TKvSshConfig LoadUser();

    TKvSshHostConfig Lookup(const std::string& AHost) const;
    // The names of Host lines that are plain names (no wildcard, no negation), in file order,
    // each once.
    std::vector<std::string> Aliases() const;
    // Sentences about what was left out ("FILE line N: ..."); naming no value from the file.
    const std::vector<std::string>& Problems() const { return FProblems; }

    struct TLine {
        int Number = 0;
        std::string Keyword; // lower case
        std::vector<std::string> Args;
    };
    struct TFile {
        std::string Path;
        std::vector<TLine> Lines;
    };

private:
    const TFile* Read(const std::string& APath);
    void Walk(const TFile& AFile, const std::string& AHost, bool ANeverMatch, int ADepth,
              std::vector<std::string>& AStack, TKvSshHostConfig* AResult,
              std::vector<std::string>* AAliases) const;
    std::vector<std::string> IncludedFiles(const std::string& APattern) const;

    std::string FRoot;
    std::string FSshDir;
    std::vector<TFile> FFiles;
    mutable std::vector<std::string> FProblems;
    // Files walked in one lookup: Includes that fan out many times over stop here.
    mutable int FWalks = 0;
};

// A whole regular text file of at most AMaxBytes, opened so that a FIFO or device never blocks.
// False with a sentence naming the file when it is missing (AMissing set), larger, not regular
// or holds NUL bytes.
bool ReadSshTextFile(const std::string& APath, size_t AMaxBytes, std::string& AText,
                     std::string& AProblem, bool& AMissing);

// Splits one configuration line as ssh does: keyword, then arguments separated by blanks
// (or one "=" after the keyword), double or single quotes grouping, "#" starting a comment.
// False when a quote is left open.
bool SplitSshConfigLine(const std::string& ALine, std::string& AKeyword,
                        std::vector<std::string>& AArgs);
// ssh's host patterns: "*" and "?" wildcards, any letter case.
bool SshPatternMatches(const std::string& APattern, const std::string& AText);
// A Host line's patterns: some pattern matches and no negated one ("!pattern") does.
bool SshHostMatches(const std::vector<std::string>& APatterns, const std::string& AHost);

// "~" and the %-tokens of IdentityFile: %d home, %h host name, %n the host as asked, %p port,
// %r remote user, %u local user, %l local host name, %% a percent sign.
std::string ExpandSshPath(const std::string& APath, const std::string& AHostName,
                          const std::string& AOriginalHost, int APort,
                          const std::string& ARemoteUser);
// The local account's name (for a connection that names no user, as ssh uses it).
std::string LocalUserName();

// What a connect uses: the connection with the configuration applied where the connection leaves
// a field open (no user, the default port 22, no key file), and the configuration's key files.
struct TKvSshTarget {
    TKvConnector Conn;
    // Existing key files from IdentityFile, tried after the agent when no key file is chosen.
    std::vector<std::string> KeyFiles;
    TKvSshHostConfig Config;
};
TKvSshTarget ApplySshConfig(const TKvConnector& AConn, const TKvSshConfig& AConfig);

// The configuration's plain host aliases as connections ready to open: filed under the folder
// "~/.ssh/config", ids "ssh-config:" + alias, SFTP with the agent, the alias as host and the
// configured (or local) user; the port and key files come from the configuration at connect.
TKvConnectors SshConfigConnections(const TKvSshConfig& AConfig);
TKvConnectors SshConfigConnections();

} // namespace kv
