// The command lines the terminal's file actions run on a server or type into its shell, and how
// their answers are read. Every path and name goes in as one shell word.
#pragma once

#include <cstdint>
#include <string>

namespace kv {

// The mode's permission bits in octal without leading zeros ("0" for none).
std::string ModeOctal(uint32_t AMode);
// The line typed for "Run as...": the program (empty for the file itself) and the file as the
// shell names it, then the parameters; "sudo " in front as administrator. AInCwd: the file lies
// in the shell's folder, so its bare name is enough.
std::string RunAsCommand(const std::string& AProgram, const std::string& AShellPath,
                         const std::string& AName, bool AInCwd, const std::string& AParams,
                         bool AAdmin);
// Run when the server accepted an SFTP mode change but did not make it.
std::string ChmodCommand(uint32_t AMode, const std::string& AShellPath);
// Asks for the owner and group names of a path ("user group" on one line).
std::string OwnerQueryCommand(const std::string& AShellPath);
// Reads that answer; false (both empty) for a failed command or anything but one such line.
bool ParseOwnerAnswer(int AExitCode, const std::string& AOutput, std::string& AOwner,
                      std::string& AGroup);
// The owner[:group] argument of chown; empty when there is nothing to set.
std::string OwnerSpec(const std::string& AOwner, const std::string& AGroup);
std::string ChownCommand(const std::string& ASpec, bool ARecursive, const std::string& AShellPath);
// What a failed chown said, for the status line; empty when it succeeded.
std::string ChownError(int AExitCode, const std::string& AOutput);

} // namespace kv
