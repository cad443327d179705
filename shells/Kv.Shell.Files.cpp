#include "Kv.Shell.Files.h"

#include <algorithm>

#include "Kv.FS.Sftp.h"
#include "Kv.Log.h"
#include "Kv.Shell.Quote.h"
#include "Kv.Text.h"

namespace kv {

namespace {

std::string WithoutTrailingSlash(std::string APath) {
    while (APath.size() > 1 && APath.back() == '/')
        APath.pop_back();
    return APath;
}

std::vector<std::string> PathParts(const std::string& APath) {
    std::vector<std::string> parts;
    size_t at = 0;
    while (at <= APath.size()) {
        size_t next = APath.find('/', at);
        if (next == std::string::npos)
            next = APath.size();
        if (next > at)
            parts.push_back(APath.substr(at, next - at));
        at = next + 1;
    }
    return parts;
}

bool StatQuietly(IKvFileSystem& AFs, const std::string& APath, TKvFileEntry& AEntry) {
    try {
        return AFs.Stat(APath, AEntry);
    } catch (const EKvCancelled&) {
        throw;
    } catch (const std::exception&) {
        return false;
    }
}

// A command's first output line when it exits with 0; empty otherwise (failures are logged).
bool RunCommand(IKvRemoteExec& AExec, const std::string& ACommand, std::string* AFirstLine) {
    std::string output;
    int code = -1;
    try {
        code = AExec.Exec(ACommand, output);
    } catch (const EKvCancelled&) {
        throw;
    } catch (const std::exception& e) {
        Log("files: \"" + ACommand + "\" failed: " + e.what());
        return false;
    }
    if (code != 0)
        return false;
    if (!AFirstLine)
        return true;
    const std::string_view text = TrimmedView(output);
    *AFirstLine = std::string(TrimmedView(text.substr(0, text.find('\n'))));
    return !AFirstLine->empty();
}

// Learns where the SFTP root lies in the shell's view, and the home folder's SFTP name, by
// asking the server's own shell tools.
void ProbeMapping(TKvFilesData& AData, IKvFileSystem& AFs, const std::string& APrefix,
                  const std::string& ATop, const IKvCancelToken& AToken) {
    auto* exec = dynamic_cast<IKvRemoteExec*>(&AFs);
    if (!exec) {
        Log("files: the server cannot run commands; plain mapping");
        return;
    }
    {
        std::lock_guard lock(AData.Lock);
        AData.MapTop = ATop;
        AData.MapReal.clear();
        AData.MapHomeSftp.clear();
        AData.MapHomeShell.clear();
    }
    std::string real;
    const std::string topPath = APrefix + "/" + ATop;
    std::string output;
    if (RunCommand(*exec, "readlink -f " + ShellQuote(topPath), &output)) {
        Log("files: readlink of " + topPath + " gave " + output);
        const std::string ending = "/" + ATop;
        if (output.size() > ending.size() && output[0] == '/' &&
            output.compare(output.size() - ending.size(), ending.size(), ending) == 0)
            real = output.substr(0, output.size() - ending.size());
        if (real == APrefix)
            real.clear();
        if (!real.empty()) {
            std::lock_guard lock(AData.Lock);
            AData.MapReal = real;
            Log("files: the SFTP root is really " + real);
        }
    }
    CheckCancelled(AToken);
    std::string home;
    if (!RunCommand(*exec, "printf '%s\\n' \"$HOME\"", &home) || home[0] != '/') {
        Log("files: $HOME not known");
        return;
    }
    home = WithoutTrailingSlash(home);
    std::string homeSftp;
    if (IsUnder(home, APrefix))
        homeSftp = home.substr(APrefix.size());
    else if (IsUnder(home, real))
        homeSftp = home.substr(real.size());
    Log("files: $HOME is " + home + ", over SFTP " + homeSftp);

    std::string start;
    try {
        auto* sftp = dynamic_cast<TKvSftpFileSystem*>(&AFs);
        if (sftp)
            start = sftp->RealPathOf(".");
    } catch (const EKvCancelled&) {
        throw;
    } catch (const std::exception&) {
        start.clear();
    }
    while (!start.empty() && start.back() == '/')
        start.pop_back();
    Log("files: SFTP starts in " + start);
    if (!start.empty() && start != "/" && start != homeSftp) {
        std::lock_guard lock(AData.Lock);
        AData.MapHomeSftp = start;
        AData.MapHomeShell = home;
        Log("files: home is " + start + " over SFTP");
        return;
    }
    if (real.empty() || homeSftp.empty())
        return;
    TKvFileEntries root;
    try {
        root = AFs.List("/", AToken);
    } catch (const EKvCancelled&) {
        throw;
    } catch (const std::exception&) {
        return;
    }
    std::string homeSignature;
    for (const auto& entry : root) {
        CheckCancelled(AToken);
        if (!entry.IsDir || entry.Name == "." || entry.Name == ".." || entry.Name == ATop)
            continue;
        if (RunCommand(*exec, "test -d " + ShellQuote(real + "/" + entry.Name), nullptr))
            continue;
        Log("files: /" + entry.Name + " is not in " + real + ", compared with the home folder");
        if (homeSignature.empty())
            homeSignature = ListingSignature(AFs, homeSftp, AToken);
        if (!homeSignature.empty() &&
            homeSignature == ListingSignature(AFs, "/" + entry.Name, AToken)) {
            std::lock_guard lock(AData.Lock);
            AData.MapHomeSftp = "/" + entry.Name;
            AData.MapHomeShell = home;
            Log("files: home is /" + entry.Name + " over SFTP");
            return;
        }
    }
}

// The first look at a shell folder: when it is not there over SFTP under the same name, the
// longest tail of it that is names the part the SFTP root hides.
// False when neither the folder nor any tail of it is there over SFTP.
bool ProbeRoot(TKvFilesData& AData, IKvFileSystem& AFs, const std::string& ACwd,
               const IKvCancelToken& AToken) {
    TKvFileEntry entry;
    if (StatQuietly(AFs, ACwd, entry))
        return true;
    const auto parts = PathParts(ACwd);
    std::string prefix;
    for (size_t k = 1; k < parts.size(); ++k) {
        CheckCancelled(AToken);
        prefix += "/" + parts[k - 1];
        const std::string rest = ACwd.substr(prefix.size());
        if (StatQuietly(AFs, rest, entry) && entry.IsDir) {
            {
                std::lock_guard lock(AData.Lock);
                AData.MapFrom = prefix;
                AData.MapTo.clear();
            }
            Log("files: " + ACwd + " is " + rest + " over SFTP");
            ProbeMapping(AData, AFs, prefix, parts[k], AToken);
            return true;
        }
    }
    Log("files: " + ACwd + " was not found over SFTP under any shorter name");
    return false;
}

void ScanJob(TKvFilesData& AData, const std::string& ACwd, const std::vector<std::string>& ANames,
             bool ARefresh, const IKvCancelToken& AToken) {
    IKvFileSystemPtr fs;
    bool relist = false, firstProbe = false;
    {
        std::lock_guard lock(AData.Lock);
        fs = AData.Fs;
        relist = ARefresh || AData.ListedCwd != ACwd;
        firstProbe = !AData.Probed && AData.ProbeMissed != ACwd;
        if (fs)
            AData.Probed = true;
    }
    if (!fs)
        return;
    if (firstProbe && !ProbeRoot(AData, *fs, ACwd, AToken)) {
        std::lock_guard lock(AData.Lock);
        AData.Probed = false;
        AData.ProbeMissed = ACwd;
    }
    std::string sftpCwd;
    {
        std::lock_guard lock(AData.Lock);
        sftpCwd = MapToSftp(AData, ACwd);
    }
    Log("files: scan in " + ACwd + " as " + sftpCwd + ", " + std::to_string(ANames.size()) +
        " names, refresh " + (relist ? "True" : "False"));
    if (relist) {
        TKvFileEntries entries;
        try {
            entries = fs->List(sftpCwd, AToken);
        } catch (const EKvCancelled&) {
            throw;
        } catch (const std::exception&) {
            entries.clear();
        }
        Log("files: listing gave " + std::to_string(entries.size()) + " entries");
        if (entries.size() <= 12)
            for (const auto& e : entries)
                Log("files:   entry [" + e.Name + "]" + (e.IsDir ? " dir" : "") +
                    (e.IsLink ? " link" : ""));
        std::lock_guard lock(AData.Lock);
        AData.Dir.clear();
        AData.Stats.clear();
        AData.Missing.clear();
        for (auto& e : entries)
            AData.Dir[e.Name] = e;
        AData.ListedCwd = ACwd;
    }
    for (const auto& name : ANames) {
        CheckCancelled(AToken);
        const std::string path = fs->Resolve(sftpCwd, name);
        const bool plain = name.find('/') == std::string::npos;
        {
            std::lock_guard lock(AData.Lock);
            if (AData.Stats.count(path) || AData.Missing.count(path))
                continue;
            if (plain) {
                auto it = AData.Dir.find(name);
                if (it != AData.Dir.end() && !it->second.IsLink)
                    continue;
                // A complete listing of this folder that lacks the name: it is not there.
                if (AData.ListedCwd == ACwd && !AData.Dir.empty() && it == AData.Dir.end())
                    continue;
            }
        }
        TKvFileEntry entry;
        const bool found = StatQuietly(*fs, path, entry);
        std::lock_guard lock(AData.Lock);
        if (found) {
            entry.Name = name;
            AData.Stats[path] = entry;
        } else {
            AData.Missing[path] = true;
        }
    }
}

} // namespace

bool IsUnder(const std::string& APath, const std::string& APrefix) {
    if (APrefix.empty() || APath.compare(0, APrefix.size(), APrefix) != 0)
        return false;
    return APath.size() == APrefix.size() || APath[APrefix.size()] == '/' || APrefix == "/";
}

std::string MapToSftp(const TKvPathMap& AData, const std::string& APath) {
    if (!AData.MapHomeShell.empty() && AData.MapHomeShell != "/" &&
        IsUnder(APath, AData.MapHomeShell))
        return AData.MapHomeSftp + APath.substr(AData.MapHomeShell.size());
    if (IsUnder(APath, AData.MapReal)) {
        const std::string rest = APath.substr(AData.MapReal.size());
        return rest.empty() ? "/" : rest;
    }
    if (IsUnder(APath, AData.MapFrom)) {
        const std::string result =
            (AData.MapTo == "/" ? "" : WithoutTrailingSlash(AData.MapTo)) +
            APath.substr(AData.MapFrom.size());
        return result.empty() ? "/" : result;
    }
    return APath;
}

std::string MapFromSftp(const TKvPathMap& AData, const std::string& APath) {
    if (!AData.MapHomeSftp.empty() && AData.MapHomeSftp != "/" && IsUnder(APath, AData.MapHomeSftp))
        return AData.MapHomeShell + APath.substr(AData.MapHomeSftp.size());
    std::string result;
    if (!AData.MapFrom.empty() && AData.MapTo.empty()) {
        if (AData.MapReal.empty())
            result = AData.MapFrom + APath;
        else if (IsUnder(APath, "/" + AData.MapTop))
            result = AData.MapFrom + APath;
        else
            result = AData.MapReal + APath;
    } else if (!AData.MapFrom.empty() && IsUnder(APath, AData.MapTo)) {
        result = AData.MapFrom + APath.substr(AData.MapTo.size());
    } else {
        return APath;
    }
    return WithoutTrailingSlash(result);
}

std::string ListingSignature(IKvFileSystem& AFs, const std::string& AFolder,
                             const IKvCancelToken& AToken) {
    TKvFileEntries entries;
    try {
        entries = AFs.List(AFolder, AToken);
    } catch (const EKvCancelled&) {
        throw;
    } catch (const std::exception&) {
        return {};
    }
    std::vector<std::string> lines;
    for (const auto& e : entries)
        if (e.Name != "." && e.Name != "..")
            lines.push_back(e.Name + "|" + (e.IsDir ? "True" : "False") + "|" +
                            std::to_string(e.Size));
    std::sort(lines.begin(), lines.end());
    std::string result = "#";
    for (const auto& line : lines)
        result += line + "\r\n";
    return result;
}

TKvShellFiles::TKvShellFiles(const TKvConnector& AConn, IKvConnectUiPtr AUi)
    : FData(std::make_shared<TKvFilesData>()), FWorker(std::make_unique<TKvWorker>()),
      FAlive(NewCancelToken()) {
    FData->Conn = AConn;
    FData->Ui = std::move(AUi);
}

TKvShellFiles::TKvShellFiles(IKvFileSystemPtr AFs)
    : FData(std::make_shared<TKvFilesData>()), FWorker(std::make_unique<TKvWorker>()),
      FAlive(NewCancelToken()) {
    FData->Fs = std::move(AFs);
}

TKvShellFiles::~TKvShellFiles() {
    FAlive->Cancel();
    // A job still running keeps the data (and the connection) until it lets go.
    FWorker.reset();
}

void TKvShellFiles::Connect(std::function<void(const std::string&)> AOnDone) {
    auto data = FData;
    auto alive = FAlive;
    if (Fs()) {
        if (AOnDone)
            KvDeliver(alive, [AOnDone] { AOnDone(""); });
        return;
    }
    FWorker->Post([data, alive, AOnDone](const IKvCancelToken& AToken) {
        TKvConnector conn;
        IKvConnectUiPtr ui;
        {
            std::lock_guard lock(data->Lock);
            conn = data->Conn;
            ui = data->Ui;
        }
        IKvFileSystemPtr fs;
        std::string error, learned, start;
        try {
            fs = OpenSftp(conn, ui, AToken, learned, start);
        } catch (const EKvCancelled&) {
            return;
        } catch (const std::exception& e) {
            error = e.what();
        }
        {
            std::lock_guard lock(data->Lock);
            data->Fs = fs;
            data->Error = error;
            data->StartDir = start;
        }
        if (AOnDone)
            KvDeliver(alive, [AOnDone, error] { AOnDone(error); });
    });
}

IKvFileSystemPtr TKvShellFiles::Fs() {
    std::lock_guard lock(FData->Lock);
    return FData->Fs;
}

std::string TKvShellFiles::ConnectError() {
    std::lock_guard lock(FData->Lock);
    return FData->Error;
}

IKvCancelTokenPtr TKvShellFiles::Post(TKvWorkProc AWork) {
    return FWorker->Post(std::move(AWork));
}

void TKvShellFiles::Scan(const std::string& ACwd, const std::vector<std::string>& ANames,
                         bool ARefresh, std::function<void()> ADone) {
    auto data = FData;
    auto alive = FAlive;
    FWorker->Post([data, alive, ACwd, ANames, ARefresh, ADone](const IKvCancelToken& AToken) {
        try {
            ScanJob(*data, ACwd, ANames, ARefresh, AToken);
        } catch (const EKvCancelled&) {
            return;
        }
        if (ADone)
            KvDeliver(alive, ADone);
    });
}

bool TKvShellFiles::Lookup(const std::string& ACwd, const std::string& AName, std::string& APath,
                           TKvFileEntry& AEntry) {
    std::lock_guard lock(FData->Lock);
    APath.clear();
    if (!FData->Fs)
        return false;
    APath = FData->Fs->Resolve(MapToSftp(*FData, ACwd), AName);
    auto stat = FData->Stats.find(APath);
    if (stat != FData->Stats.end()) {
        AEntry = stat->second;
        return true;
    }
    if (AName.find('/') == std::string::npos && FData->ListedCwd == ACwd) {
        auto it = FData->Dir.find(AName);
        if (it != FData->Dir.end() && !it->second.IsLink) {
            AEntry = it->second;
            return true;
        }
    }
    return false;
}

std::string TKvShellFiles::ToSftp(const std::string& APath) {
    std::lock_guard lock(FData->Lock);
    return MapToSftp(*FData, APath);
}

std::string TKvShellFiles::FromSftp(const std::string& APath) {
    std::lock_guard lock(FData->Lock);
    return MapFromSftp(*FData, APath);
}

void TKvShellFiles::Forget() {
    std::lock_guard lock(FData->Lock);
    FData->ListedCwd.clear();
    FData->Dir.clear();
    FData->Stats.clear();
    FData->Missing.clear();
}

} // namespace kv
