#include "Kv.Ssh.Config.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <glob.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "Kv.Log.h"
#include "Kv.Platform.Folders.h"
#include "Kv.Text.h"

namespace kv {

namespace {

// The keywords whose first value wins; IdentityFile adds up instead.
const char* const KFirstWins[] = {"hostname", "user", "port", "proxyjump", "proxycommand",
                                  "serveraliveinterval"};

bool IsPlainName(const std::string& APattern) {
    return !APattern.empty() && APattern.find_first_of("*?!") == std::string::npos;
}

std::string Where(const std::string& AFile, int ALine) {
    return AFile + " line " + std::to_string(ALine);
}

} // namespace

bool ReadSshTextFile(const std::string& APath, size_t AMaxBytes, std::string& AText,
                     std::string& AProblem, bool& AMissing) {
    AText.clear();
    AProblem.clear();
    AMissing = false;
    int fd = ::open(APath.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        AMissing = errno == ENOENT || errno == ENOTDIR;
        AProblem = APath + " cannot be read";
        return false;
    }
    struct stat st {};
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    if (!ok)
        AProblem = APath + " is not a regular file";
    else if (static_cast<uint64_t>(st.st_size) > AMaxBytes)
        AProblem = APath + " is larger than " + std::to_string(AMaxBytes / 1024) + " KiB";
    // Read one byte past the limit: a file that grows meanwhile still stops there.
    while (ok && AProblem.empty()) {
        char buffer[16384];
        ssize_t n = ::read(fd, buffer, sizeof(buffer));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            AProblem = APath + " cannot be read";
            break;
        }
        if (n == 0)
            break;
        AText.append(buffer, static_cast<size_t>(n));
        if (AText.size() > AMaxBytes)
            AProblem = APath + " is larger than " + std::to_string(AMaxBytes / 1024) + " KiB";
    }
    ::close(fd);
    if (AProblem.empty() && AText.find('\0') != std::string::npos)
        AProblem = APath + " is not a text file";
    if (!AProblem.empty())
        AText.clear();
    return AProblem.empty();
}

bool SplitSshConfigLine(const std::string& ALine, std::string& AKeyword,
                        std::vector<std::string>& AArgs) {
    AKeyword.clear();
    AArgs.clear();
    size_t i = 0;
    const size_t n = ALine.size();
    auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (i < n && blank(ALine[i]))
        ++i;
    if (i == n || ALine[i] == '#')
        return true;
    while (i < n && !blank(ALine[i]) && ALine[i] != '=')
        AKeyword += ALine[i++];
    AKeyword = LowerAscii(AKeyword);
    while (i < n && blank(ALine[i]))
        ++i;
    if (i < n && ALine[i] == '=')
        ++i;
    for (;;) {
        while (i < n && blank(ALine[i]))
            ++i;
        if (i == n || ALine[i] == '#')
            return true;
        std::string arg;
        while (i < n && !blank(ALine[i])) {
            char c = ALine[i];
            if (c == '"' || c == '\'') {
                size_t close = ALine.find(c, i + 1);
                if (close == std::string::npos)
                    return false;
                arg.append(ALine, i + 1, close - i - 1);
                i = close + 1;
            } else if (c == '\\' && i + 1 < n) {
                arg += ALine[i + 1];
                i += 2;
            } else {
                arg += c;
                ++i;
            }
        }
        AArgs.push_back(std::move(arg));
    }
}

bool SshPatternMatches(const std::string& APattern, const std::string& AText) {
    const std::string pattern = LowerAscii(APattern), text = LowerAscii(AText);
    // Iterative wildcard match with one backtrack point: linear enough for any line.
    size_t p = 0, t = 0, star = std::string::npos, mark = 0;
    while (t < text.size()) {
        if (p < pattern.size() && (pattern[p] == '?' || pattern[p] == text[t])) {
            ++p;
            ++t;
        } else if (p < pattern.size() && pattern[p] == '*') {
            star = p++;
            mark = t;
        } else if (star != std::string::npos) {
            p = star + 1;
            t = ++mark;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*')
        ++p;
    return p == pattern.size();
}

bool SshHostMatches(const std::vector<std::string>& APatterns, const std::string& AHost) {
    bool matched = false;
    for (const auto& pattern : APatterns) {
        if (!pattern.empty() && pattern[0] == '!') {
            if (SshPatternMatches(pattern.substr(1), AHost))
                return false;
        } else if (SshPatternMatches(pattern, AHost)) {
            matched = true;
        }
    }
    return matched;
}

std::string LocalUserName() {
    struct passwd entry {};
    struct passwd* found = nullptr;
    char buffer[4096];
    if (::getpwuid_r(::getuid(), &entry, buffer, sizeof(buffer), &found) == 0 && found &&
        found->pw_name)
        return found->pw_name;
    const char* user = std::getenv("USER");
    return user ? user : "";
}

std::string ExpandSshPath(const std::string& APath, const std::string& AHostName,
                          const std::string& AOriginalHost, int APort,
                          const std::string& ARemoteUser) {
    const std::string home = HomeFolder();
    std::string text = APath;
    if (text == "~" || text.rfind("~/", 0) == 0)
        text = home + text.substr(1);
    std::string result;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%' || i + 1 == text.size()) {
            result += text[i];
            continue;
        }
        char token = text[++i];
        switch (token) {
        case '%':
            result += '%';
            break;
        case 'd':
            result += home;
            break;
        case 'h':
            result += AHostName;
            break;
        case 'n':
            result += AOriginalHost;
            break;
        case 'p':
            result += std::to_string(APort);
            break;
        case 'r':
            result += ARemoteUser;
            break;
        case 'u':
            result += LocalUserName();
            break;
        case 'l': {
            char name[256] = {};
            ::gethostname(name, sizeof(name) - 1);
            std::string host = name;
            result += host.substr(0, host.find('.'));
            break;
        }
        default: // left as written: ssh itself refuses such a path
            result += '%';
            result += token;
        }
    }
    return result;
}

TKvSshConfig TKvSshConfig::Load(const std::string& APath, const std::string& AUserSshDir) {
    TKvSshConfig config;
    config.FRoot = APath;
    config.FSshDir = AUserSshDir;
    config.Read(APath);
    return config;
}

TKvSshConfig TKvSshConfig::LoadUser() {
    const std::string dir = HomeFolder() + "/.ssh";
    TKvSshConfig config = Load(dir + "/config", dir);
    for (const auto& problem : config.Problems())
        Log("ssh: " + problem + "; left out");
    return config;
}

const TKvSshConfig::TFile* TKvSshConfig::Read(const std::string& APath) {
    for (const auto& file : FFiles)
        if (file.Path == APath)
            return &file;
    if (static_cast<int>(FFiles.size()) >= KSshConfigMaxFiles) {
        FProblems.push_back(APath + ": more than " + std::to_string(KSshConfigMaxFiles) +
                            " configuration files");
        return nullptr;
    }
    std::string text, problem;
    bool missing = false;
    if (!ReadSshTextFile(APath, KSshConfigMaxBytes, text, problem, missing)) {
        if (!missing)
            FProblems.push_back(problem);
        return nullptr;
    }
    TFile file;
    file.Path = APath;
    int number = 0;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        ++number;
        TLine line;
        line.Number = number;
        if (!SplitSshConfigLine(text.substr(start, end - start), line.Keyword, line.Args))
            FProblems.push_back(Where(APath, number) + ": a quote is not closed");
        else if (!line.Keyword.empty())
            file.Lines.push_back(std::move(line));
        start = end + 1;
    }
    FFiles.push_back(std::move(file));
    // Includes are read now, so that a lookup needs no file access; which apply is decided then.
    const size_t index = FFiles.size() - 1;
    std::vector<std::string> includes;
    for (const auto& line : FFiles[index].Lines)
        if (line.Keyword == "include")
            for (const auto& pattern : line.Args)
                for (const auto& path : IncludedFiles(pattern))
                    includes.push_back(path);
    for (const auto& path : includes) {
        bool known = false;
        for (const auto& file : FFiles)
            known = known || file.Path == path;
        if (!known)
            Read(path);
    }
    return &FFiles[index];
}

std::vector<std::string> TKvSshConfig::IncludedFiles(const std::string& APattern) const {
    std::string pattern = APattern;
    if (pattern == "~" || pattern.rfind("~/", 0) == 0)
        pattern = HomeFolder() + pattern.substr(1);
    else if (pattern.empty() || pattern[0] != '/')
        pattern = FSshDir + "/" + pattern;
    std::vector<std::string> paths;
    glob_t found{};
    if (::glob(pattern.c_str(), 0, nullptr, &found) == 0)
        for (size_t i = 0; i < found.gl_pathc; ++i)
            paths.emplace_back(found.gl_pathv[i]);
    ::globfree(&found);
    return paths;
}

void TKvSshConfig::Walk(const TFile& AFile, const std::string& AHost, bool ANeverMatch, int ADepth,
                        std::vector<std::string>& AStack, TKvSshHostConfig* AResult,
                        std::vector<std::string>* AAliases) const {
    if (++FWalks > 4 * KSshConfigMaxFiles) {
        if (FWalks == 4 * KSshConfigMaxFiles + 1)
            FProblems.push_back(AFile.Path + ": Includes read too many files over");
        return;
    }
    // Options before the first Host line apply to every host.
    bool active = !ANeverMatch;
    for (const auto& line : AFile.Lines) {
        const std::string& keyword = line.Keyword;
        if (keyword == "host") {
            active = !ANeverMatch && SshHostMatches(line.Args, AHost);
            if (AAliases)
                for (const auto& name : line.Args)
                    if (IsPlainName(name) &&
                        std::find(AAliases->begin(), AAliases->end(), name) == AAliases->end())
                        AAliases->push_back(name);
            continue;
        }
        if (keyword == "match") {
            // Only "Match all" is understood; other criteria never apply here.
            active = !ANeverMatch && line.Args.size() == 1 && LowerAscii(line.Args[0]) == "all";
            continue;
        }
        if (keyword == "include") {
            if (ADepth + 1 >= KSshConfigMaxDepth) {
                FProblems.push_back(Where(AFile.Path, line.Number) + ": Include nested too deeply");
                continue;
            }
            for (const auto& pattern : line.Args)
                for (const auto& path : IncludedFiles(pattern)) {
                    if (std::find(AStack.begin(), AStack.end(), path) != AStack.end()) {
                        FProblems.push_back(Where(AFile.Path, line.Number) +
                                            ": Include of a file that includes it");
                        continue;
                    }
                    const TFile* included = nullptr;
                    for (const auto& file : FFiles)
                        if (file.Path == path)
                            included = &file;
                    if (!included)
                        continue;
                    AStack.push_back(path);
                    // An Include under a Host that does not apply reads nothing that applies.
                    Walk(*included, AHost, !active, ADepth + 1, AStack, AResult, AAliases);
                    AStack.pop_back();
                }
            continue;
        }
        if (!active || !AResult || line.Args.empty())
            continue;
        const std::string& value = line.Args[0];
        if (keyword == "identityfile") {
            if (std::find(AResult->IdentityFiles.begin(), AResult->IdentityFiles.end(), value) ==
                AResult->IdentityFiles.end())
                AResult->IdentityFiles.push_back(value);
            continue;
        }
        if (std::find_if(std::begin(KFirstWins), std::end(KFirstWins), [&](const char* AName) {
                return keyword == AName;
            }) == std::end(KFirstWins))
            continue; // a keyword that a login here has no use for
        if (keyword == "hostname" && AResult->HostName.empty()) {
            AResult->HostName = value;
        } else if (keyword == "user" && AResult->User.empty()) {
            AResult->User = value;
        } else if (keyword == "port" && AResult->Port == 0) {
            char* end = nullptr;
            long port = std::strtol(value.c_str(), &end, 10);
            if (end && *end == 0 && port >= 1 && port <= 65535)
                AResult->Port = static_cast<int>(port);
            else
                FProblems.push_back(Where(AFile.Path, line.Number) + ": not a port number");
        } else if (keyword == "serveraliveinterval" && AResult->AliveInterval < 0) {
            char* end = nullptr;
            long seconds = std::strtol(value.c_str(), &end, 10);
            if (end && *end == 0 && seconds >= 0 && seconds <= 86400)
                AResult->AliveInterval = static_cast<int>(seconds);
            else
                FProblems.push_back(Where(AFile.Path, line.Number) + ": not a number of seconds");
        } else if ((keyword == "proxyjump" || keyword == "proxycommand") &&
                   AResult->ProxyLine == 0) {
            // The first of the two decides, as in ssh; "none" switches it off.
            AResult->ProxyLine = line.Number;
            AResult->ProxyFile = AFile.Path;
            if (LowerAscii(value) != "none") {
                AResult->Proxy = keyword == "proxyjump" ? "ProxyJump" : "ProxyCommand";
                if (keyword == "proxyjump")
                    AResult->ProxyJump = value;
            }
        }
    }
}

TKvSshHostConfig TKvSshConfig::Lookup(const std::string& AHost) const {
    TKvSshHostConfig result;
    const std::string host = LowerAscii(std::string(TrimmedView(AHost)));
    FWalks = 0;
    if (!FFiles.empty()) {
        std::vector<std::string> stack{FFiles[0].Path};
        Walk(FFiles[0], host, false, 0, stack, &result, nullptr);
    }
    std::string name;
    for (size_t i = 0; i < result.HostName.size(); ++i) {
        if (result.HostName[i] == '%' && i + 1 < result.HostName.size()) {
            char token = result.HostName[++i];
            name += token == 'h' ? host : token == '%' ? "%" : std::string("%") + token;
        } else {
            name += result.HostName[i];
        }
    }
    result.HostName = name.empty() ? host : LowerAscii(name);
    if (result.Proxy.empty()) {
        result.ProxyLine = 0;
        result.ProxyFile.clear();
    }
    return result;
}

std::vector<std::string> TKvSshConfig::Aliases() const {
    std::vector<std::string> aliases;
    FWalks = 0;
    if (!FFiles.empty()) {
        std::vector<std::string> stack{FFiles[0].Path};
        Walk(FFiles[0], std::string(), false, 0, stack, nullptr, &aliases);
    }
    return aliases;
}

TKvSshTarget ApplySshConfig(const TKvConnector& AConn, const TKvSshConfig& AConfig) {
    TKvSshTarget target;
    target.Conn = AConn;
    const std::string asked = std::string(TrimmedView(AConn.Host));
    target.Config = AConfig.Lookup(asked);
    const TKvSshHostConfig& config = target.Config;
    TKvConnector& conn = target.Conn;
    // Prompts and titles keep the name the user knows.
    conn.Name = ConnectorTitle(AConn);
    if (!config.HostName.empty() && config.HostName != LowerAscii(asked))
        conn.Host = config.HostName;
    if (TrimmedView(conn.User).empty())
        conn.User = !config.User.empty() ? config.User : LocalUserName();
    if (conn.Port == DefaultPortFor(ckSsh) && config.Port != 0)
        conn.Port = config.Port;
    if (conn.Auth == amKeyFile && !TrimmedView(conn.KeyFile).empty())
        return target;
    for (const auto& file : config.IdentityFiles) {
        std::string path = ExpandSshPath(file, conn.Host, asked, conn.Port, conn.User);
        if (::access(path.c_str(), R_OK) == 0)
            target.KeyFiles.push_back(path);
    }
    return target;
}

TKvConnectors SshConfigConnections(const TKvSshConfig& AConfig) {
    TKvConnectors list;
    for (const auto& alias : AConfig.Aliases()) {
        // Only the alias and the user: the connect reads the rest from the configuration, so
        // nothing else of it can end up in connectors.json if the connection is saved.
        TKvConnector conn = NewConnector();
        conn.Id = "ssh-config:" + alias;
        conn.Name = alias;
        conn.Folder = "~/.ssh/config";
        conn.Host = alias;
        conn.SavePassword = false;
        conn.UseAgent = true;
        conn.User = ApplySshConfig(conn, AConfig).Conn.User;
        list.push_back(std::move(conn));
    }
    return list;
}

TKvConnectors SshConfigConnections() {
    return SshConfigConnections(TKvSshConfig::LoadUser());
}

} // namespace kv
