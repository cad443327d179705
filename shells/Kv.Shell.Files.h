// The file side of a hybrid SSH half: a second, SFTP connection beside the shell. It learns how
// the shell's paths map to SFTP paths (the SFTP root may be a subtree of the shell's view, or
// reach it through links) and answers which names on screen exist in the shell's folder, from a
// cache that is refilled when the folder changes. All server work runs on its own worker.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Kv.Connectors.h"
#include "Kv.FileSystem.h"
#include "Kv.Ssh.Session.h"
#include "Kv.Worker.h"

namespace kv {

// How shell paths continue over SFTP: a shell path under MapFrom continues under MapTo (empty:
// the SFTP root); MapReal is the link-free folder the SFTP root really is, MapTop the first
// folder below MapFrom that the probe saw; the home folder may have an SFTP name of its own.
struct TKvPathMap {
    std::string MapFrom, MapTo, MapReal, MapTop, MapHomeSftp, MapHomeShell;
};

// Shared by the object and its queued jobs, so that a job may finish after the object is gone.
struct TKvFilesData : TKvPathMap {
    std::mutex Lock; // guards every field below
    TKvConnector Conn;
    IKvConnectUiPtr Ui;
    IKvFileSystemPtr Fs;
    std::string Error;
    std::string ListedCwd;
    std::string StartDir;
    bool Probed = false;
    // The folder whose probe found no mapping: a later folder is probed again, since a chrooted
    // home reports a folder that SFTP calls "/", which no shorter name can show.
    std::string ProbeMissed;
    std::map<std::string, TKvFileEntry> Dir;
    std::map<std::string, TKvFileEntry> Stats;
    std::map<std::string, bool> Missing;
};

// Whether APath is APrefix or lies below it; false for an empty prefix. Letter case counts.
bool IsUnder(const std::string& APath, const std::string& APrefix);

// The mapping rules alone (the caller holds the data's lock).
std::string MapToSftp(const TKvPathMap& AData, const std::string& APath);
std::string MapFromSftp(const TKvPathMap& AData, const std::string& APath);

// "#" and one line per entry (name|folder|size), sorted, each ended by CR LF: two folders with
// the same signature hold the same names. Empty when the folder cannot be listed.
std::string ListingSignature(IKvFileSystem& AFs, const std::string& AFolder,
                             const IKvCancelToken& AToken);

class TKvShellFiles {
public:
    TKvShellFiles(const TKvConnector& AConn, IKvConnectUiPtr AUi);
    // Over a file system that is connected already (its start folder is its login folder).
    explicit TKvShellFiles(IKvFileSystemPtr AFs);
    ~TKvShellFiles();
    TKvShellFiles(const TKvShellFiles&) = delete;
    TKvShellFiles& operator=(const TKvShellFiles&) = delete;

    // AOnDone runs on the UI thread with an empty text on success, else the reason.
    void Connect(std::function<void(const std::string&)> AOnDone);
    IKvFileSystemPtr Fs();
    std::string ConnectError();
    IKvCancelTokenPtr Post(TKvWorkProc AWork);
    // ADone runs on the UI thread once the cache holds answers for ANames in ACwd.
    void Scan(const std::string& ACwd, const std::vector<std::string>& ANames, bool ARefresh,
              std::function<void()> ADone);
    // From the cache alone; APath is the name's SFTP path either way.
    bool Lookup(const std::string& ACwd, const std::string& AName, std::string& APath,
                TKvFileEntry& AEntry);
    std::string ToSftp(const std::string& APath);
    std::string FromSftp(const std::string& APath);
    void Forget();

    // The data block, for tests that look at the learned mapping.
    std::shared_ptr<TKvFilesData> Data() const { return FData; }

private:
    std::shared_ptr<TKvFilesData> FData;
    std::unique_ptr<TKvWorker> FWorker;
    IKvCancelTokenPtr FAlive;
};

// Also known as the hybrid map.
using TKvHybridMap = TKvShellFiles;

} // namespace kv
