#include "Kv.Ui.CommandLine.h"

#include <cerrno>
#include <sys/stat.h>

#include "Kv.FS.Local.h"
#include "Kv.Platform.Errors.h"
#include "Kv.Text.h"

#ifndef KV_VERSION
#define KV_VERSION "0"
#endif
#ifndef KV_BUILD_NUMBER
#define KV_BUILD_NUMBER "0"
#endif

namespace kv {

namespace {

constexpr const char* KHelpHint = " (kolvan --help lists the options)";

std::string Quoted(const std::string& AText) {
    return "\"" + AText + "\"";
}

// "scheme://": an argument of that shape is a URL, not a relative path.
bool LooksLikeUrl(const std::string& AArg, std::string& AScheme) {
    auto colon = AArg.find(':');
    if (colon == 0 || colon == std::string::npos || AArg.compare(colon, 3, "://") != 0)
        return false;
    for (size_t i = 0; i < colon; ++i) {
        char c = AArg[i];
        bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        if (!letter && (i == 0 || !((c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.')))
            return false;
    }
    AScheme = LowerAscii(AArg.substr(0, colon));
    return true;
}

// A folder, or a file's folder with the file to focus; false with AProblem for what cannot
// be opened. APath is absolute.
bool TargetOf(const std::string& APath, TKvStartFolder& ATarget, std::string& AProblem) {
    auto fs = LocalFs();
    const std::string path = fs->Normalize(APath);
    // Follows links: a link to a folder opens the folder, as the desktop would.
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        AProblem = ErrorText(errno);
        return false;
    }
    if (S_ISDIR(st.st_mode)) {
        ATarget = {path, ""};
    } else {
        ATarget = {fs->ParentOf(path), fs->NameOf(path)};
    }
    return true;
}

} // namespace

TKvStartAction StartAction(const std::vector<std::string>& AArgs) {
    for (const std::string& arg : AArgs) {
        if (arg == "--")
            break;
        if (arg == "--help" || arg == "-h")
            return saHelp;
        if (arg == "--version")
            return saVersion;
    }
    return saRun;
}

std::string PathOfFileUrl(const std::string& AUrl, const std::string& AHostName,
                          std::string& AProblem) {
    AProblem.clear();
    const std::string invalid = "not a valid file URL";
    if (AUrl.size() < 5 || LowerAscii(AUrl.substr(0, 5)) != "file:") {
        AProblem = "only file:// URLs can be opened";
        return {};
    }
    std::string rest = AUrl.substr(5);
    if (rest.rfind("//", 0) == 0) {
        auto slash = rest.find('/', 2);
        if (slash == std::string::npos) {
            AProblem = invalid;
            return {};
        }
        const std::string host = rest.substr(2, slash - 2);
        if (!host.empty() && !SameTextAscii(host, "localhost") && !SameTextAscii(host, AHostName)) {
            AProblem =
                "the file is on another computer (" + host + "); only local files can be opened";
            return {};
        }
        rest = rest.substr(slash);
    }
    if (rest.empty() || rest[0] != '/') {
        AProblem = invalid;
        return {};
    }
    // A query or fragment has no meaning for a file; a "?" or "#" in a name arrives encoded.
    if (rest.find_first_of("?#") != std::string::npos) {
        AProblem = invalid + " (it has a query or fragment)";
        return {};
    }
    std::string path;
    path.reserve(rest.size());
    for (size_t i = 0; i < rest.size(); ++i) {
        if (rest[i] != '%') {
            path += rest[i];
            continue;
        }
        int high = i + 2 < rest.size() ? HexDigitValue(rest[i + 1]) : -1;
        int low = high >= 0 ? HexDigitValue(rest[i + 2]) : -1;
        // A NUL or "/" cannot be part of a name; decoding them would name another file.
        if (low < 0 || (high == 0 && low == 0) || (high == 2 && low == 15)) {
            AProblem = invalid;
            return {};
        }
        path += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return path;
}

TKvCommandLine ParseCommandLine(const std::vector<std::string>& AArgs,
                                const std::string& ACurrentFolder, const std::string& AHostName) {
    TKvCommandLine result;
    result.Action = StartAction(AArgs);
    if (result.Action != saRun)
        return result;

    size_t half = 0;
    bool options = true;
    for (const std::string& arg : AArgs) {
        if (options && arg == "--") {
            options = false;
            continue;
        }
        if (options && arg.size() > 1 && arg[0] == '-') {
            result.Problems.push_back("kolvan: unknown option " + Quoted(arg) + KHelpHint);
            continue;
        }
        // Positions count even for a bad argument: the second folder always goes right.
        const size_t index = half++;
        if (index >= result.Halves.size()) {
            result.Problems.push_back(
                "kolvan: " + Quoted(arg) +
                " left out: there are two halves, so at most two folders can be opened");
            continue;
        }
        std::string problem, path, scheme;
        if (arg.empty()) {
            problem = "an empty argument names no folder";
        } else if (LooksLikeUrl(arg, scheme) || LowerAscii(arg.substr(0, 5)) == "file:") {
            path = PathOfFileUrl(arg, AHostName, problem);
        } else if (arg[0] == '/') {
            path = arg;
        } else if (ACurrentFolder.empty()) {
            problem = "the current folder is unknown, so a relative path cannot be found";
        } else {
            path = ACurrentFolder + "/" + arg;
        }
        TKvStartFolder target;
        if (problem.empty() && TargetOf(path, target, problem))
            result.Halves[index] = target;
        else
            result.Problems.push_back("kolvan: " + arg + ": " + problem);
    }
    return result;
}

void ApplyStartFolders(const TKvStartFolders& AStart, TKvAppState& AState) {
    bool any = false;
    for (TKvHalf half : {rhLeft, rhRight}) {
        const TKvStartFolder& start = AStart[half];
        if (start.Folder.empty())
            continue;
        AState.Panels[half].Path = start.Folder;
        AState.Panels[half].FocusName = start.FocusName;
        // A half that showed a connection shows the folder that was asked for instead.
        AState.Sessions[half] = {};
        if (!any)
            AState.ActiveHalf = half;
        any = true;
    }
}

std::string VersionText() {
    return std::string("Kolvan ") + KV_VERSION + " (build " + KV_BUILD_NUMBER + ")\n";
}

std::string HelpText() {
    return "Usage: kolvan [OPTION]... [FOLDER [FOLDER]]\n"
           "A two-panel file manager and terminal.\n"
           "\n"
           "The first FOLDER opens in the left half, the second in the right one. A FOLDER may be\n"
           "a path or a file:// URL; a file opens its folder with the file focused. Without\n"
           "folders, both halves show what they showed last time.\n"
           "\n"
           "  -h, --help     print this help and exit\n"
           "      --version  print the version and exit\n"
           "  --             take what follows as folders, even when it starts with \"-\"\n"
           "\n"
           "Kolvan keeps its settings in ${XDG_CONFIG_HOME:-~/.config}/kolvan when it is\n"
           "installed, and in its own folder when it runs from a writable folder of its own.\n";
}

} // namespace kv
