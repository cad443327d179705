#include "Kv.FileActions.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "Kv.FS.Local.h"
#include "Kv.FileUtil.h"
#include "Kv.Platform.Errors.h"
#include "Kv.Platform.Launch.h"
#include "Kv.Shell.Quote.h"
#include "Kv.Text.h"
#include "Kv.Utf8.h"

namespace kv {

namespace {

// How long after a start an exit status still tells about the start itself: pkexec's own
// statuses come after the password dialog, which a person may take a while to answer.
constexpr int KQuickEndMs = 5000;
constexpr int KPasswordDialogMs = 120000;
// pkexec's exit statuses for a dismissed dialog and for refused or failed authorisation.
constexpr int KPkexecDismissed = 126;
constexpr int KPkexecRefused = 127;

bool IsShellSafe(unsigned char AChar) {
    if (AChar >= 0x80)
        return true; // no shell gives bytes of non-ASCII characters a meaning
    if ((AChar >= 'a' && AChar <= 'z') || (AChar >= 'A' && AChar <= 'Z') || (AChar >= '0' && AChar <= '9'))
        return true;
    return std::string_view("_@%+:,./-").find(static_cast<char>(AChar)) != std::string_view::npos;
}

// Characters that mean something to sh outside quotes; a line holding one goes to the shell.
bool IsShellSpecial(char AChar) {
    return std::string_view("$`;|&<>()*?[]{}~#!=\n").find(AChar) != std::string_view::npos;
}

// SplitShellWords, telling also whether the text used anything but blanks, quotes and
// backslashes (APlain false), which only a shell can carry out.
bool SplitWords(std::string_view AText, std::vector<std::string>& AWords, std::string& AError, bool& APlain) {
    AWords.clear();
    APlain = true;
    std::string word;
    bool inWord = false;
    size_t i = 0;
    while (i < AText.size()) {
        char c = AText[i];
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
            if (c == '\n')
                APlain = false;
            if (inWord)
                AWords.push_back(std::move(word));
            word.clear();
            inWord = false;
            ++i;
            continue;
        }
        inWord = true;
        if (c == '\'') {
            size_t end = AText.find('\'', i + 1);
            if (end == std::string_view::npos) {
                AError = "A single quote is not closed";
                return false;
            }
            word.append(AText.substr(i + 1, end - i - 1));
            i = end + 1;
        } else if (c == '"') {
            ++i;
            bool closed = false;
            while (i < AText.size()) {
                char d = AText[i];
                if (d == '"') {
                    closed = true;
                    ++i;
                    break;
                }
                if (d == '$' || d == '`')
                    APlain = false;
                if (d == '\\' && i + 1 < AText.size() &&
                    std::string_view("\"\\$`").find(AText[i + 1]) != std::string_view::npos) {
                    word += AText[i + 1];
                    i += 2;
                    continue;
                }
                word += d;
                ++i;
            }
            if (!closed) {
                AError = "A double quote is not closed";
                return false;
            }
        } else if (c == '\\') {
            if (i + 1 < AText.size())
                word += AText[i + 1];
            i += 2;
        } else {
            if (IsShellSpecial(c))
                APlain = false;
            word += c;
            ++i;
        }
    }
    if (inWord)
        AWords.push_back(std::move(word));
    return true;
}

bool Exists(const std::string& APath, bool AFileOnly = false) {
    struct stat st {};
    if (::stat(APath.c_str(), &st) != 0)
        return false;
    return !AFileOnly || S_ISREG(st.st_mode);
}

std::string FolderOf(const std::string& APath) { return LocalFs()->ParentOf(APath); }

// Starts AArgs in AFolder; empty or "AWhat: reason". Exit statuses that tell about the start
// itself reach ALate; a run through pkexec treats a dismissed dialog as nothing happening.
std::string Start(const std::vector<std::string>& AArgs, const std::string& AFolder, const std::string& AWhat,
                  TKvLateFailure ALate) {
    const bool viaPkexec = !AArgs.empty() && AArgs[0] == "pkexec";
    const bool viaShell = AArgs.size() == 3 && AArgs[0] == "/bin/sh";
    TKvEndedSoon ended;
    int within = 0;
    if (ALate && viaPkexec) {
        within = KPasswordDialogMs;
        ended = [ALate, AWhat](int AStatus) {
            if (AStatus == KPkexecRefused)
                ALate(AWhat + ": the administrator's rights were not given");
        };
    } else if (ALate && viaShell) {
        within = KQuickEndMs;
        ended = [ALate, AWhat](int AStatus) {
            if (AStatus == 127)
                ALate(AWhat + ": command not found");
            else if (AStatus == 126)
                ALate(AWhat + ": the command could not be run");
        };
    }
    int error = StartProgram(AArgs, AFolder, std::move(ended), within);
    if (error == 0)
        return {};
    return AWhat + ": " + ErrorText(error);
}

std::string TrimmedCopy(std::string_view AText) { return std::string(TrimmedView(AText)); }

} // namespace

// ---- Shell words ---------------------------------------------------------------------------

std::string ShellWord(std::string_view AText) {
    bool safe = !AText.empty();
    for (char c : AText)
        safe = safe && IsShellSafe(static_cast<unsigned char>(c));
    return safe ? std::string(AText) : ShellQuote(AText);
}

bool SplitShellWords(std::string_view AText, std::vector<std::string>& AWords, std::string& AError) {
    bool plain = true;
    return SplitWords(AText, AWords, AError, plain);
}

// ---- Running and opening -------------------------------------------------------------------

bool IsExecutable(const std::string& APath) {
    struct stat st {};
    if (::stat(APath.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || ::access(APath.c_str(), X_OK) != 0)
        return false;
    int fd = ::open(APath.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return false;
    char head[4] = {};
    ssize_t got = ::read(fd, head, sizeof head);
    ::close(fd);
    return (got >= 4 && std::string_view(head, 4) == "\x7f" "ELF") ||
           (got >= 2 && head[0] == '#' && head[1] == '!');
}

bool RunArguments(const std::string& AFile, const std::string& AParams, bool AAdmin,
                  const std::string& AProgram, std::vector<std::string>& AArgs, std::string& AError) {
    std::vector<std::string> params;
    if (!SplitShellWords(AParams, params, AError)) {
        AError = "The parameters cannot be used: " + AError;
        return false;
    }
    AArgs.clear();
    if (AAdmin)
        AArgs.push_back("pkexec");
    const std::string program = TrimmedCopy(AProgram);
    if (!program.empty()) {
        AArgs.push_back(program);
        AArgs.push_back(AFile);
    } else if (IsExecutable(AFile)) {
        AArgs.push_back(AFile);
    } else {
        // A document has no parameters of its own: its program is the desktop's choice.
        AArgs.push_back("xdg-open");
        AArgs.push_back(AFile);
        return true;
    }
    AArgs.insert(AArgs.end(), params.begin(), params.end());
    return true;
}

std::string RunFile(const std::string& AFile, const std::string& AParams, bool AAdmin,
                    const std::string& AProgram, TKvLateFailure ALate) {
    std::vector<std::string> args;
    std::string error;
    if (!RunArguments(AFile, AParams, AAdmin, AProgram, args, error))
        return AFile + ": " + error;
    if (!AAdmin && args[0] == "xdg-open") {
        std::string reason = OpenDocument(AFile, FolderOf(AFile), [ALate, AFile](const std::string& AReason) {
            if (ALate)
                ALate(AFile + ": " + AReason);
        });
        return reason.empty() ? std::string() : AFile + ": " + reason;
    }
    return Start(args, FolderOf(AFile), AFile, ALate);
}

std::string OpenWith(const std::string& AProgram, const std::string& AFile, TKvLateFailure ALate) {
    return Start({AProgram, AFile}, FolderOf(AFile), AProgram, ALate);
}

// ---- The run bar ---------------------------------------------------------------------------

TKvRunLine ParseRunLine(const std::string& AFolder, const std::string& ALine) {
    TKvRunLine run;
    run.Line = TrimmedCopy(ALine);
    if (run.Line.empty())
        return run;
    auto fs = LocalFs();
    std::string whole = fs->Normalize(fs->Resolve(AFolder, run.Line));
    if (Exists(whole)) {
        run.Kind = rkFile;
        run.Program = whole;
        return run;
    }
    std::vector<std::string> words;
    std::string error;
    bool plain = true;
    if (SplitWords(run.Line, words, error, plain) && plain && !words.empty() && !words[0].empty()) {
        std::string first = fs->Normalize(fs->Resolve(AFolder, words[0]));
        if (Exists(first, true)) {
            run.Kind = rkFile;
            run.Program = first;
            run.Args.assign(words.begin() + 1, words.end());
            return run;
        }
    }
    run.Kind = rkShell;
    return run;
}

std::vector<std::string> RunLineArguments(const TKvRunLine& ARun) {
    switch (ARun.Kind) {
    case rkNothing:
        return {};
    case rkShell:
        return {"/bin/sh", "-c", ARun.Line};
    case rkFile:
        break;
    }
    if (!IsExecutable(ARun.Program))
        return {"xdg-open", ARun.Program};
    std::vector<std::string> args{ARun.Program};
    args.insert(args.end(), ARun.Args.begin(), ARun.Args.end());
    return args;
}

std::string RunCommandLine(const std::string& AFolder, const std::string& ALine, TKvLateFailure ALate) {
    TKvRunLine run = ParseRunLine(AFolder, ALine);
    if (run.Kind == rkNothing)
        return "Nothing to run";
    std::vector<std::string> args = RunLineArguments(run);
    if (args[0] == "xdg-open") {
        std::string reason = OpenDocument(run.Program, AFolder, [ALate, run](const std::string& AReason) {
            if (ALate)
                ALate(run.Line + ": " + AReason);
        });
        return reason.empty() ? std::string() : run.Line + ": " + reason;
    }
    return Start(args, AFolder, run.Line, ALate);
}

std::string RunBarPrefill(const std::string& AName) { return ShellWord(AName) + " "; }

// ---- Desktop launchers ---------------------------------------------------------------------

namespace {

// A value of type string in a key file: backslash, line breaks and tabs escaped; a leading
// blank kept with \s.
std::string KeyFileEscape(const std::string& AValue) {
    std::string out;
    for (size_t i = 0; i < AValue.size(); ++i) {
        char c = AValue[i];
        switch (c) {
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\t': out += "\\t"; break;
        case '\r': out += "\\r"; break;
        case ' ': out += i == 0 ? "\\s" : " "; break;
        default: out += c; break;
        }
    }
    return out;
}

} // namespace

std::string DesktopExecQuote(const std::string& AArg) {
    std::string escaped;
    for (char c : AArg)
        escaped += c == '%' ? std::string("%%") : std::string(1, c);
    bool reserved = AArg.empty() ||
                    AArg.find_first_of(std::string_view(" \t\n\"'\\><~|&;$*?#()`=")) != std::string::npos;
    if (!reserved)
        return escaped;
    std::string quoted = "\"";
    for (char c : escaped) {
        if (c == '"' || c == '`' || c == '$' || c == '\\')
            quoted += '\\';
        quoted += c;
    }
    return quoted + "\"";
}

bool MakeDesktopLauncher(const std::string& AFile, const std::string& AParams, bool AAdmin,
                         const std::string& AProgram, const std::string& AName, std::string& AText,
                         std::string& AError) {
    std::vector<std::string> args;
    if (!RunArguments(AFile, AParams, AAdmin, AProgram, args, AError))
        return false;
    std::string name = AName.empty() ? LocalFs()->NameOf(AFile) : AName;
    std::string folder = FolderOf(AFile);
    std::string exec;
    for (const auto& arg : args) {
        if (!IsValidUtf8(arg)) {
            AError = "A launcher can only hold names in UTF-8";
            return false;
        }
        exec += (exec.empty() ? "" : " ") + DesktopExecQuote(arg);
    }
    if (!IsValidUtf8(name) || !IsValidUtf8(folder)) {
        AError = "A launcher can only hold names in UTF-8";
        return false;
    }
    AText = "[Desktop Entry]\n"
            "Type=Application\n"
            "Version=1.0\n"
            "Name=" + KeyFileEscape(name) + "\n"
            "Comment=Made by Kolvan\n"
            "Exec=" + KeyFileEscape(exec) + "\n"
            "Path=" + KeyFileEscape(folder) + "\n"
            "Terminal=false\n";
    AError.clear();
    return true;
}

std::string LauncherFileName(const std::string& AName) {
    std::string kept;
    for (char c : AName)
        if (static_cast<unsigned char>(c) >= 32 && std::string_view("\\/:*?\"<>|").find(c) == std::string_view::npos)
            kept += c;
    std::string name = TrimmedCopy(kept);
    while (!name.empty() && name.back() == '.')
        name.pop_back();
    name = TrimmedCopy(name);
    if (name.empty())
        return {};
    constexpr std::string_view suffix = ".desktop";
    if (name.size() >= suffix.size() && SameTextAscii(std::string_view(name).substr(name.size() - suffix.size()), suffix))
        return name;
    return name + std::string(suffix);
}

std::string WriteLauncherFile(const std::string& APath, const std::string& AText) {
    if (!SaveTextAtomic(APath, AText, 0755) || ::chmod(APath.c_str(), 0755) != 0)
        return APath + ": " + ErrorText(errno != 0 ? errno : EIO);
    return {};
}

// ---- Clipboard and drops -------------------------------------------------------------------

std::string LocalFileUrl(const std::string& APath) {
    static const char* const hex = "0123456789ABCDEF";
    std::string url = "file://";
    for (unsigned char c : APath) {
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
            std::string_view("-._~/").find(static_cast<char>(c)) != std::string_view::npos) {
            url += static_cast<char>(c);
        } else {
            url += '%';
            url += hex[c >> 4];
            url += hex[c & 15];
        }
    }
    return url;
}

std::string LocalPathOfUrl(std::string_view AUrl) {
    constexpr std::string_view scheme = "file://";
    if (AUrl.size() < scheme.size() || !SameTextAscii(AUrl.substr(0, scheme.size()), scheme))
        return {};
    std::string_view rest = AUrl.substr(scheme.size());
    size_t slash = rest.find('/');
    if (slash == std::string_view::npos)
        return {};
    std::string_view host = rest.substr(0, slash);
    if (!host.empty() && !SameTextAscii(host, "localhost")) {
        char own[256] = {};
        if (::gethostname(own, sizeof own - 1) != 0 || !SameTextAscii(host, own))
            return {};
    }
    std::string path;
    std::string_view encoded = rest.substr(slash);
    for (size_t i = 0; i < encoded.size(); ++i) {
        if (encoded[i] == '%' && i + 2 < encoded.size() && HexDigitValue(encoded[i + 1]) >= 0 &&
            HexDigitValue(encoded[i + 2]) >= 0) {
            path += static_cast<char>(HexDigitValue(encoded[i + 1]) * 16 + HexDigitValue(encoded[i + 2]));
            i += 2;
        } else {
            path += encoded[i];
        }
    }
    // A NUL cannot be in a path.
    if (path.find('\0') != std::string::npos)
        return {};
    return path;
}

std::string UriListText(const std::vector<std::string>& APaths) {
    std::string text;
    for (const auto& path : APaths)
        text += LocalFileUrl(path) + "\r\n";
    return text;
}

std::string GnomeCopiedFilesText(const std::vector<std::string>& APaths, bool AMove) {
    std::string text = AMove ? "cut" : "copy";
    for (const auto& path : APaths)
        text += "\n" + LocalFileUrl(path);
    return text;
}

namespace {

std::vector<std::string_view> Lines(std::string_view AText) {
    std::vector<std::string_view> lines;
    size_t start = 0;
    for (size_t i = 0; i <= AText.size(); ++i) {
        if (i == AText.size() || AText[i] == '\n' || AText[i] == '\r') {
            lines.push_back(AText.substr(start, i - start));
            if (i + 1 < AText.size() && AText[i] == '\r' && AText[i + 1] == '\n')
                ++i;
            start = i + 1;
        }
    }
    return lines;
}

bool UrlLines(const std::vector<std::string_view>& ALines, size_t AFirst, std::vector<std::string>& APaths) {
    APaths.clear();
    for (size_t i = AFirst; i < ALines.size(); ++i) {
        std::string_view line = TrimmedView(ALines[i]);
        if (line.empty() || line[0] == '#')
            continue;
        std::string path = LocalPathOfUrl(line);
        if (path.empty()) {
            APaths.clear();
            return false;
        }
        APaths.push_back(LocalFs()->Normalize(path));
    }
    return !APaths.empty();
}

} // namespace

bool ParseUriList(std::string_view AText, std::vector<std::string>& APaths) {
    return UrlLines(Lines(AText), 0, APaths);
}

bool ParseGnomeCopiedFiles(std::string_view AText, std::vector<std::string>& APaths, bool& AMove) {
    auto lines = Lines(AText);
    APaths.clear();
    if (lines.empty())
        return false;
    std::string_view verb = TrimmedView(lines[0]);
    if (verb != "copy" && verb != "cut")
        return false;
    if (!UrlLines(lines, 1, APaths))
        return false;
    AMove = verb == "cut";
    return true;
}

bool ParseClipboardTextFiles(std::string_view AText, std::vector<std::string>& APaths) {
    APaths.clear();
    for (std::string_view raw : Lines(AText)) {
        std::string_view line = TrimmedView(raw);
        if (line.size() >= 2 && line.front() == '"' && line.back() == '"')
            line = line.substr(1, line.size() - 2);
        if (line.empty())
            continue;
        std::string path = line[0] == '/' ? std::string(line) : LocalPathOfUrl(line);
        if (path.empty() || !Exists(path)) {
            APaths.clear();
            return false;
        }
        APaths.push_back(LocalFs()->Normalize(path));
    }
    return !APaths.empty();
}

std::vector<TKvPasteGroup> GroupPastePaths(const std::vector<std::string>& APaths,
                                           const std::string& ASkipInFolder, int& ASkipped) {
    auto fs = LocalFs();
    std::vector<TKvPasteGroup> groups;
    ASkipped = 0;
    for (const auto& raw : APaths) {
        std::string path = fs->Normalize(raw);
        struct stat st {};
        std::string folder = fs->ParentOf(path);
        if (fs->IsRoot(path) || ::lstat(path.c_str(), &st) != 0 ||
            (!ASkipInFolder.empty() && fs->SamePath(folder, fs->Normalize(ASkipInFolder)))) {
            ++ASkipped;
            continue;
        }
        TKvPasteGroup* group = nullptr;
        for (auto& g : groups)
            if (fs->SamePath(g.Folder, folder))
                group = &g;
        if (!group)
            group = &groups.emplace_back(TKvPasteGroup{folder, {}});
        group->Names.push_back(fs->NameOf(path));
    }
    return groups;
}

} // namespace kv
