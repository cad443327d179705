// Editing server files in the user's own editor: a copy in the private temporary folder, the
// editor started on it, and every save sent back. Local files open in the editor directly.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Kv.FileSystem.h"
#include "Kv.Worker.h"

namespace kv {

// The owner's status line: (text, is error).
using TKvEditStatus = std::function<void(const std::string& AText, bool AIsError)>;
// A large-file downloader: 0 not handled, 1 downloaded, 2 not downloaded.
using TKvEditDownload = std::function<int(const IKvFileSystemPtr& AFs, const std::string& ARemotePath,
                                          const std::string& ALocalPath, int64_t ASize)>;
// The wall clock in nanoseconds since the Unix epoch; tests drive the watcher with their own.
using TKvEditClock = std::function<int64_t()>;
// A save reached the server's file at APath (the edited file, or the copy saved beside it).
using TKvEditSaved = std::function<void(const IKvFileSystemPtr& AFs, const std::string& APath)>;
// Starts the editor on a local file; empty, or the reason it could not be started.
using TKvEditorStart = std::function<std::string(const std::string& ALocalPath)>;

inline constexpr int64_t KEditBlockSize = 262144;
inline constexpr int64_t KEditPollNs = 1000000000;
// A copy is sent only once its last write is this old, so the editor has finished writing.
inline constexpr int64_t KEditSettleNs = 400000000;

// What tells one save from the next: the modification time to the nanosecond, and the inode and
// size, because an editor that saves by renaming a new file over the copy may keep the time.
struct TKvEditStamp {
    int64_t ModifiedNs = 0; // 0: the copy cannot be read
    uint64_t Inode = 0;
    int64_t Size = 0;
    bool operator==(const TKvEditStamp&) const = default;
};
TKvEditStamp EditStampOf(const std::string& APath);

// The server's file as it was when last read or written (size and time from Stat), so a save
// can tell whether someone else changed it meanwhile.
struct TKvEditServerStamp {
    bool Known = false;
    int64_t Size = 0;
    TKvDateTime Modified = 0;
    bool operator==(const TKvEditServerStamp&) const = default;
};

// What the user wants when the server's file changed after it was opened for editing.
enum class TKvEditChoice { ecOverwrite, ecSaveBeside, ecCancel };
using enum TKvEditChoice;
// Asks it: AText says what changed, ABeside is the free name the copy would be saved under.
using TKvEditAsk = std::function<TKvEditChoice(const std::string& AText, const std::string& ABeside)>;

struct TKvEditEntry {
    IKvFileSystemPtr Fs;
    std::string RemotePath;
    std::string LocalPath;
    // The copy's stamp when it was last known to match the server.
    TKvEditStamp LastStamp;
    TKvEditServerStamp Server;
    bool Uploading = false;
    // Why the last upload failed; empty once one succeeds. The copy then holds the only
    // version of the edits, so it is sent again until it gets there or the user gives up.
    std::string Failure;
};

// The editor for a file: AEditorExe when set and present; else the first of the desktops' text
// editors found on PATH; else xdg-open.
std::string FindEditor(const std::string& AEditorExe);
// Starts the editor of the settings' choice on the file, without waiting for it.
std::string OpenInEditor(const std::string& ALocalPath);
// A new folder for one edit copy: <private temp>/edit/<GUID>.
std::string NewEditCopyFolder();

class TKvEditSessions {
public:
    explicit TKvEditSessions(TKvEditStatus AStatus, TKvEditClock AClock = {}, TKvEditorStart AEditor = {});
    ~TKvEditSessions();
    TKvEditSessions(const TKvEditSessions&) = delete;
    TKvEditSessions& operator=(const TKvEditSessions&) = delete;

    void SetDownloader(TKvEditDownload ADownloader) { FDownloader = std::move(ADownloader); }
    // Without an asker, a file someone else changed is never overwritten (as if cancelled).
    void SetAsker(TKvEditAsk AAsker) { FAsker = std::move(AAsker); }
    // So the owner can show the folder as it now is.
    void SetOnSaved(TKvEditSaved AOnSaved) { FOnSaved = std::move(AOnSaved); }

    void Edit(const IKvFileSystemPtr& AFs, const std::string& ARemotePath, int64_t ASize);
    // Creates an empty file when there is none, then edits it; AOnCreated once it exists.
    void NewFile(const IKvFileSystemPtr& AFs, const std::string& ARemotePath, std::function<void()> AOnCreated);
    // From the owner's timer: sends copies that were saved. Does its work at most once a second.
    void Poll();
    // Sends the copy now, without waiting for the next poll (the user's "try again").
    void Retry(const std::string& ALocalPath);
    // Stops watching the copy; it stays on the disk with its edits.
    void GiveUp(const std::string& ALocalPath);

    // A download pending, an upload running, or a saved copy not sent yet (failed ones too).
    bool Busy() const;
    const std::vector<TKvEditEntry>& Entries() const { return FEntries; }

private:
    void Start(const IKvFileSystemPtr& AFs, const std::string& ARemotePath, int64_t ASize, bool ACreate,
               std::function<void()> AOnCreated);
    void AddEntry(const IKvFileSystemPtr& AFs, const std::string& ARemotePath, const std::string& ALocalPath,
                  const TKvEditServerStamp& AServer);
    void StartEditor(const std::string& ALocalPath);
    // ACheck: first compare the server's file with the one opened. ATarget: where to save,
    // empty for the file itself; another name is never written over.
    void Upload(TKvEditEntry& AEntry, const TKvEditStamp& AStamp, bool ACheck = true, const std::string& ATarget = {});
    // After the question about a file someone else changed.
    void Answer(const std::string& ALocalPath, const TKvEditStamp& AStamp, const std::string& AText,
                const std::string& ABeside);
    int64_t Now() const;

    std::unique_ptr<TKvWorker> FWorker;
    IKvCancelTokenPtr FAlive;
    std::vector<TKvEditEntry> FEntries;
    TKvEditStatus FStatus;
    int64_t FLastPoll = 0;
    bool FPolled = false;
    int FPending = 0;
    TKvEditDownload FDownloader;
    TKvEditAsk FAsker;
    TKvEditSaved FOnSaved;
    TKvEditClock FClock;
    TKvEditorStart FEditor;
};

} // namespace kv
