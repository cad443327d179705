// What Kolvan does with files through the desktop rather than its own file systems: running and
// opening them, the run bar's command lines, desktop launchers, the clipboard's file formats,
// and the properties window's lines. Plain C++; the clipboard itself is in the window library.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "Kv.FileSystem.h"

namespace kv {

// Hears, on another thread, a failure that shows only after the program started (a command the
// shell did not find, a refused administrator password, no program for a document).
using TKvLateFailure = std::function<void(const std::string& AMessage)>;

// ---- Shell words ---------------------------------------------------------------------------

// AText as one word of a run bar line: unchanged when it holds only characters neither sh nor
// the run bar's own reading treats specially ("=" is one: first on a line it would be an
// assignment), otherwise in single quotes. Empty gives ''.
std::string ShellWord(std::string_view AText);
// Splits parameters the way sh splits words, without expanding anything: blanks separate,
// '...' and "..." quote (in double quotes a backslash escapes " \ $ `), a backslash outside
// quotes escapes the next character. False with AError set for an unclosed quote.
bool SplitShellWords(std::string_view AText, std::vector<std::string>& AWords, std::string& AError);

// ---- Running and opening -------------------------------------------------------------------

// A file that is run rather than opened: a regular file (links followed) the user may execute
// that starts with an ELF header or "#!".
bool IsExecutable(const std::string& APath);

// The argument vector RunFile starts: AProgram (when given) with the file and the parameters,
// or the file itself with them when it is executable, or `xdg-open FILE`; `pkexec` in front as
// administrator. False with AError for parameters that do not split.
bool RunArguments(const std::string& AFile, const std::string& AParams, bool AAdmin,
                  const std::string& AProgram, std::vector<std::string>& AArgs, std::string& AError);
// Starts the file (or AProgram with it) in the file's folder. Empty on success, else
// "file: reason". A declined administrator password counts as success and is never reported.
std::string RunFile(const std::string& AFile, const std::string& AParams, bool AAdmin,
                    const std::string& AProgram, TKvLateFailure ALate = {});
// Opens AFile with AProgram in the file's folder; empty or "program: reason".
std::string OpenWith(const std::string& AProgram, const std::string& AFile, TKvLateFailure ALate = {});

// ---- The run bar ---------------------------------------------------------------------------

enum class TKvRunLineKind { rkNothing, rkFile, rkShell };
using enum TKvRunLineKind;

// What a typed line means in a folder. A line that names an existing file or folder there,
// whole or as its first plain word, runs (or opens) that file directly with the other words as
// its arguments, as the folder's own programs come first. Anything else, and every line that
// holds what only a shell understands ($, `, ;, |, &, <, >, globs...), runs as /bin/sh -c LINE.
struct TKvRunLine {
    TKvRunLineKind Kind = rkNothing;
    std::string Line;                  // the trimmed line
    std::string Program;               // rkFile: the absolute path
    std::vector<std::string> Args;     // rkFile: the words after it
};
TKvRunLine ParseRunLine(const std::string& AFolder, const std::string& ALine);
// The program a run bar line starts ("/bin/sh -c LINE" for a shell line).
std::vector<std::string> RunLineArguments(const TKvRunLine& ARun);
// Runs a typed line in AFolder. Empty on success, "Nothing to run" for a blank line, else
// "command: reason"; a command the shell cannot find is reported later through ALate.
std::string RunCommandLine(const std::string& AFolder, const std::string& ALine, TKvLateFailure ALate = {});
// The run bar's first text for a focused name: the name as one shell word, then a blank.
std::string RunBarPrefill(const std::string& AName);

// ---- Desktop launchers ---------------------------------------------------------------------

// A Desktop Entry file that runs like RunFile would (an administrator launcher through pkexec).
// AName is the entry's title; empty takes the file's name. False with AError when it cannot be
// written (parameters that do not split, a name that is not UTF-8).
bool MakeDesktopLauncher(const std::string& AFile, const std::string& AParams, bool AAdmin,
                         const std::string& AProgram, const std::string& AName, std::string& AText,
                         std::string& AError);
// One argument as the Exec key's rules quote it (before the key file's own escapes).
std::string DesktopExecQuote(const std::string& AArg);
// A safe file name for a launcher: characters no portable file name holds are dropped, blanks
// around and dots at the end go, ".desktop" is added unless it ends so already (any case).
// Empty when nothing is left.
std::string LauncherFileName(const std::string& AName);
// Writes the launcher with mode 0755 (replacing a file there atomically); empty or the reason.
std::string WriteLauncherFile(const std::string& APath, const std::string& AText);

// ---- Clipboard and drops -------------------------------------------------------------------

// file:// URL of a local path, every byte but unreserved ones and "/" percent-encoded.
std::string LocalFileUrl(const std::string& APath);
// The local path of a file URL (host empty, "localhost" or this machine's name), or empty.
std::string LocalPathOfUrl(std::string_view AUrl);

// text/uri-list: one URL a line, CR LF after each.
std::string UriListText(const std::vector<std::string>& APaths);
// x-special/gnome-copied-files: "copy" or "cut", then one URL a line (no line end at the end).
std::string GnomeCopiedFilesText(const std::vector<std::string>& APaths, bool AMove);
// Local paths of a uri-list (comments skipped). False when it names nothing, or anything that
// is not a local file: such a list cannot be pasted as files.
bool ParseUriList(std::string_view AText, std::vector<std::string>& APaths);
// The same for x-special/gnome-copied-files, with AMove true for "cut".
bool ParseGnomeCopiedFiles(std::string_view AText, std::vector<std::string>& APaths, bool& AMove);
// Plain text as files: one path or file URL a line; a line in double quotes loses them; blank
// lines skipped. Every line must name an existing file or folder, else nothing is taken.
bool ParseClipboardTextFiles(std::string_view AText, std::vector<std::string>& APaths);

// Pasted paths grouped by their folder (exact path: /x/A and /x/a are two folders), in first-seen
// order. Paths that no longer exist, and with ASkipInFolder those directly in that folder, are
// left out and counted in ASkipped.
struct TKvPasteGroup {
    std::string Folder;
    std::vector<std::string> Names;
};
std::vector<TKvPasteGroup> GroupPastePaths(const std::vector<std::string>& APaths,
                                           const std::string& ASkipInFolder, int& ASkipped);

// ---- Properties ----------------------------------------------------------------------------

// One line of the properties window; lines with an empty value are never added.
struct TKvProp {
    std::string Name;
    std::string Value;
    bool operator==(const TKvProp&) const = default;
};
// The description of a local file's type (the MIME type's comment), or empty.
using TKvTypeDescriber = std::function<std::string(const std::string& APath)>;

// "rwxr-xr-x (0755)": set-user-ID, set-group-ID and sticky as s/S and t/T.
std::string PermissionsText(uint32_t AMode);
// "1,023 bytes"; from 1024 on also the short size: "1,024 bytes (1.0 KB)".
std::string PropertySizeText(int64_t ASize);
// The properties of a path: the local disk from statx (size, times with birth where the disk
// keeps it, permissions, owner, group, link target, type), a server from Stat and its
// permission and owner calls. Never raises: a failure becomes a "Problem" line.
std::vector<TKvProp> CollectProperties(const IKvFileSystemPtr& AFs, const std::string& APath,
                                       const TKvTypeDescriber& ADescribe = {});

} // namespace kv
