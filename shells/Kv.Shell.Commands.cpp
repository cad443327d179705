#include "Kv.Shell.Commands.h"

#include <cstdio>

#include "Kv.Shell.Quote.h"
#include "Kv.Text.h"

namespace kv {

std::string ModeOctal(uint32_t AMode) {
    char text[8];
    std::snprintf(text, sizeof text, "%o", static_cast<unsigned>(AMode & 07777));
    return text;
}

std::string RunAsCommand(const std::string& AProgram, const std::string& AShellPath,
                         const std::string& AName, bool AInCwd, const std::string& AParams,
                         bool AAdmin) {
    std::string command;
    if (AProgram.empty())
        command = ShellQuoteIfNeeded(AShellPath);
    else
        command = AProgram + " " + ShellQuoteIfNeeded(AInCwd ? AName : AShellPath);
    if (!AParams.empty())
        command += " " + AParams;
    return AAdmin ? "sudo " + command : command;
}

std::string ChmodCommand(uint32_t AMode, const std::string& AShellPath) {
    return "chmod " + ModeOctal(AMode) + " -- " + ShellQuoteIfNeeded(AShellPath);
}

std::string OwnerQueryCommand(const std::string& AShellPath) {
    return "stat -c '%U %G' -- " + ShellQuoteIfNeeded(AShellPath);
}

bool ParseOwnerAnswer(int AExitCode, const std::string& AOutput, std::string& AOwner,
                      std::string& AGroup) {
    AOwner.clear();
    AGroup.clear();
    const std::string text(TrimmedView(AOutput));
    const size_t blank = text.find(' ');
    if (AExitCode != 0 || blank == std::string::npos || text.find('\n') != std::string::npos)
        return false;
    AOwner = text.substr(0, blank);
    AGroup = text.substr(blank + 1);
    return true;
}

std::string OwnerSpec(const std::string& AOwner, const std::string& AGroup) {
    if (AGroup.empty())
        return AOwner;
    return AOwner + ":" + AGroup;
}

std::string ChownCommand(const std::string& ASpec, bool ARecursive, const std::string& AShellPath) {
    return "chown " + std::string(ARecursive ? "-R " : "") + ShellQuoteIfNeeded(ASpec) + " -- " +
           ShellQuoteIfNeeded(AShellPath);
}

std::string ChownError(int AExitCode, const std::string& AOutput) {
    if (AExitCode == 0)
        return {};
    std::string error(TrimmedView(AOutput));
    if (error.empty())
        error = "exit " + std::to_string(AExitCode);
    if (error.find("not permitted") != std::string::npos)
        error += " (changing the owner usually needs root)";
    return error;
}

} // namespace kv
