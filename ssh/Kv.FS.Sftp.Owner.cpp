// Owners and groups on an SSH server: SFTP carries only numbers, so the server's own stat and
// chown commands, which know its names, do the work.
#include "Kv.FS.Sftp.h"

namespace kv {

namespace {

// One word for the remote shell, whatever it holds.
std::string Quoted(const std::string& AText) {
    std::string quoted = "'";
    for (char c : AText)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

} // namespace

bool TKvSftpFileSystem::GetOwner(const std::string& APath, std::string& AUser, std::string& AGroup) {
    AUser.clear();
    AGroup.clear();
    std::string output;
    if (Exec("stat -c '%U %G' -- " + Quoted(APath), output) != 0)
        return false;
    size_t blank = output.find(' ');
    if (blank == std::string::npos || output.find('\n') != std::string::npos)
        return false;
    AUser = output.substr(0, blank);
    AGroup = output.substr(blank + 1);
    return true;
}

void TKvSftpFileSystem::SetOwner(const std::string& APath, const std::string& AUser, const std::string& AGroup,
                                 bool ARecursive) {
    if (AUser.empty() && AGroup.empty())
        return;
    std::string spec = AUser + (AGroup.empty() ? "" : ":" + AGroup);
    // -h: a link's own owner changes, never its target's.
    std::string command = "chown -h " + std::string(ARecursive ? "-R " : "") + "-- " + Quoted(spec) + " " +
                          Quoted(APath);
    std::string output;
    int code = Exec(command, output);
    if (code == 0)
        return;
    std::string error = output.empty() ? "exit " + std::to_string(code) : output;
    if (error.find("not permitted") != std::string::npos)
        error += " (changing the owner usually needs root)";
    throw EKvFsError(APath + ": " + error);
}

} // namespace kv
