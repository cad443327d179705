#include "Kv.EditSession.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

#include "Kv.FS.Local.h"
#include "Kv.Log.h"
#include "Kv.Platform.Errors.h"
#include "Kv.Platform.Folders.h"
#include "Kv.Platform.Launch.h"
#include "Kv.Platform.TempFiles.h"
#include "Kv.Settings.h"

namespace kv {

namespace {

// The desktops' own text editors, in the order they are tried.
const char* const KEditors[] = {"gnome-text-editor", "gedit", "kate", "kwrite",
                                "mousepad", "xed", "pluma", "featherpad"};

bool IsRunnable(const std::string& APath) {
    struct stat st {};
    return ::stat(APath.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(APath.c_str(), X_OK) == 0;
}

std::string FindOnPath(const std::string& AName) {
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    size_t start = 0;
    while (start <= dirs.size()) {
        size_t end = dirs.find(':', start);
        if (end == std::string::npos)
            end = dirs.size();
        std::string dir = dirs.substr(start, end - start);
        if (!dir.empty() && IsRunnable(dir + "/" + AName))
            return dir + "/" + AName;
        start = end + 1;
    }
    return {};
}

// Copies everything from AIn to AOut in blocks, checking the token before each.
void CopyStream(TKvStream& AIn, TKvStream& AOut, const IKvCancelToken& AToken) {
    std::vector<char> buffer(KEditBlockSize);
    for (;;) {
        CheckCancelled(AToken);
        int64_t got = AIn.Read(buffer.data(), KEditBlockSize);
        if (got <= 0)
            break;
        AOut.WriteAll(buffer.data(), got);
    }
    if (auto* finishable = dynamic_cast<TKvFinishableStream*>(&AOut))
        finishable->Finish();
}

void CreateEmptyFile(IKvFileSystem& AFs, const std::string& APath) {
    if (AFs.ReadOnly())
        throw EKvFsError("This is read-only, so no file can be created here");
    TKvFileEntry entry;
    if (!AFs.Stat(APath, entry)) {
        TKvStreamPtr out = AFs.OpenWrite(APath);
        if (auto* finishable = dynamic_cast<TKvFinishableStream*>(out.get()))
            finishable->Finish();
        return;
    }
    if (entry.IsDir)
        throw EKvFsError("There is a folder with that name");
}

} // namespace

TKvEditStamp EditStampOf(const std::string& APath) {
    struct stat st {};
    if (::stat(APath.c_str(), &st) != 0)
        return {};
    TKvEditStamp stamp;
    stamp.ModifiedNs = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    if (stamp.ModifiedNs == 0)
        stamp.ModifiedNs = 1; // a file of 1970-01-01 00:00:00.000000000 is still there
    stamp.Inode = st.st_ino;
    stamp.Size = st.st_size;
    return stamp;
}

std::string FindEditor(const std::string& AEditorExe) {
    if (!AEditorExe.empty()) {
        std::string chosen = AEditorExe.find('/') == std::string::npos ? FindOnPath(AEditorExe) : AEditorExe;
        if (!chosen.empty() && IsRunnable(chosen))
            return chosen;
    }
    for (const char* editor : KEditors) {
        std::string found = FindOnPath(editor);
        if (!found.empty())
            return found;
    }
    return "xdg-open";
}

std::string OpenInEditor(const std::string& ALocalPath) {
    std::string editor = FindEditor(CurrentSettings().EditorExe);
    int error = StartProgram({editor, ALocalPath}, LocalFs()->ParentOf(ALocalPath));
    return error == 0 ? std::string() : editor + ": " + ErrorText(error);
}

std::string NewEditCopyFolder() {
    std::string guid = NewGuidText();
    std::string folder = PrivateTempFolder() + "/edit/" + guid.substr(1, guid.size() - 2);
    if (int error = MakeFolderChain(folder, 0700))
        throw EKvFsError(folder + ": " + ErrorText(error));
    return folder;
}

TKvEditSessions::TKvEditSessions(TKvEditStatus AStatus, TKvEditClock AClock, TKvEditorStart AEditor)
    : FWorker(std::make_unique<TKvWorker>()), FAlive(NewCancelToken()), FStatus(std::move(AStatus)),
      FClock(std::move(AClock)), FEditor(AEditor ? std::move(AEditor) : TKvEditorStart(OpenInEditor)) {}

TKvEditSessions::~TKvEditSessions() {
    FAlive->Cancel();
    FWorker->Stop(100);
}

int64_t TKvEditSessions::Now() const {
    if (FClock)
        return FClock();
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

void TKvEditSessions::Edit(const IKvFileSystemPtr& AFs, const std::string& ARemotePath, int64_t ASize) {
    Start(AFs, ARemotePath, ASize, false, {});
}

void TKvEditSessions::NewFile(const IKvFileSystemPtr& AFs, const std::string& ARemotePath,
                              std::function<void()> AOnCreated) {
    Start(AFs, ARemotePath, -1, true, std::move(AOnCreated));
}

void TKvEditSessions::StartEditor(const std::string& ALocalPath) {
    std::string error = FEditor(ALocalPath);
    if (!error.empty())
        FStatus("The editor could not be started: " + error, true);
}

void TKvEditSessions::Start(const IKvFileSystemPtr& AFs, const std::string& ARemotePath, int64_t ASize,
                            bool ACreate, std::function<void()> AOnCreated) {
    const std::string name = AFs->NameOf(ARemotePath);
    const bool local = AFs->Id() == LocalFs()->Id();
    if (!ACreate && !local && FDownloader) {
        std::string folder;
        try {
            folder = NewEditCopyFolder();
        } catch (const EKvFsError& e) {
            FStatus(name + ": " + e.what(), true);
            return;
        }
        std::string copy = folder + "/" + name;
        int result = FDownloader(AFs, ARemotePath, copy, ASize);
        if (result == 1) {
            AddEntry(AFs, ARemotePath, copy);
            return;
        }
        ::unlink(copy.c_str());
        ::rmdir(folder.c_str());
        if (result == 2) {
            FStatus("Not edited: " + name, false);
            return;
        }
    }
    FStatus((ACreate ? "Creating " : "Downloading ") + name + "...", false);
    ++FPending;
    FWorker->Post([this, AFs, ARemotePath, ACreate, local, name, AOnCreated = std::move(AOnCreated),
                   alive = FAlive](const IKvCancelToken& AToken) {
        std::string copy, error;
        try {
            if (ACreate)
                CreateEmptyFile(*AFs, ARemotePath);
            if (local) {
                copy = ARemotePath;
            } else {
                copy = NewEditCopyFolder() + "/" + name;
                TKvStreamPtr in = AFs->OpenRead(ARemotePath);
                TKvStreamPtr out = LocalFs()->OpenWrite(copy);
                CopyStream(*in, *out, AToken);
            }
        } catch (const EKvCancelled&) {
            error = "Cancelled";
        } catch (const std::exception& e) {
            error = name + ": " + e.what();
        }
        KvDeliver(alive, [this, AFs, ARemotePath, copy, error, ACreate, local, name, AOnCreated] {
            --FPending;
            if (!error.empty()) {
                FStatus(error, true);
                return;
            }
            if (ACreate && AOnCreated)
                AOnCreated();
            if (local) {
                StartEditor(copy);
                FStatus("Editing " + name, false);
                return;
            }
            AddEntry(AFs, ARemotePath, copy);
        });
    });
}

void TKvEditSessions::AddEntry(const IKvFileSystemPtr& AFs, const std::string& ARemotePath,
                               const std::string& ALocalPath) {
    TKvEditEntry entry;
    entry.Fs = AFs;
    entry.RemotePath = ARemotePath;
    entry.LocalPath = ALocalPath;
    entry.LastStamp = EditStampOf(ALocalPath);
    FEntries.push_back(std::move(entry));
    Log("edit: " + AFs->DisplayPrefix() + ARemotePath + " as " + ALocalPath);
    StartEditor(ALocalPath);
    FStatus("Editing " + AFs->NameOf(ARemotePath) + ". Saving the file sends it back.", false);
}

void TKvEditSessions::Poll() {
    const int64_t now = Now();
    if (FPolled && now - FLastPoll < KEditPollNs && now >= FLastPoll)
        return;
    FPolled = true;
    FLastPoll = now;
    for (auto& entry : FEntries) {
        if (entry.Uploading)
            continue;
        TKvEditStamp stamp = EditStampOf(entry.LocalPath);
        // A copy the user deleted is never sent: the server's file is all there is then.
        if (stamp.ModifiedNs == 0 || stamp == entry.LastStamp)
            continue;
        if (now - stamp.ModifiedNs > KEditSettleNs)
            Upload(entry, stamp);
    }
}

void TKvEditSessions::Retry(const std::string& ALocalPath) {
    for (auto& entry : FEntries) {
        if (entry.LocalPath != ALocalPath || entry.Uploading)
            continue;
        TKvEditStamp stamp = EditStampOf(entry.LocalPath);
        if (stamp.ModifiedNs != 0 && !(stamp == entry.LastStamp))
            Upload(entry, stamp);
    }
}

void TKvEditSessions::GiveUp(const std::string& ALocalPath) {
    std::erase_if(FEntries, [&](const TKvEditEntry& AEntry) {
        if (AEntry.LocalPath != ALocalPath || AEntry.Uploading)
            return false;
        Log("edit: no longer sent back: " + AEntry.LocalPath);
        return true;
    });
}

void TKvEditSessions::Upload(TKvEditEntry& AEntry, const TKvEditStamp& AStamp) {
    const std::string name = AEntry.Fs->NameOf(AEntry.RemotePath);
    AEntry.Uploading = true;
    FStatus("Saving " + name + "...", false);
    FWorker->Post([this, fs = AEntry.Fs, remote = AEntry.RemotePath, local = AEntry.LocalPath, name, AStamp,
                   alive = FAlive](const IKvCancelToken& AToken) {
        std::string error;
        try {
            TKvStreamPtr in = LocalFs()->OpenRead(local);
            TKvStreamPtr out;
            if (auto* sized = dynamic_cast<IKvSizedWrite*>(fs.get()))
                out = sized->OpenWriteSized(remote, in->Size());
            else
                out = fs->OpenWrite(remote);
            CopyStream(*in, *out, AToken);
        } catch (const EKvCancelled&) {
            error = "Cancelled";
        } catch (const std::exception& e) {
            error = name + ": " + e.what();
        }
        Log("edit: upload of " + local + (error.empty() ? " done" : " failed: " + error));
        KvDeliver(alive, [this, local, name, AStamp, error] {
            for (auto& entry : FEntries) {
                if (entry.LocalPath != local)
                    continue;
                entry.Uploading = false;
                entry.Failure = error;
                if (error.empty())
                    entry.LastStamp = AStamp;
            }
            if (error.empty())
                FStatus("Saved " + name, false);
            else
                FStatus("Could not save: " + error, true);
        });
    });
}

bool TKvEditSessions::Busy() const {
    if (FPending > 0)
        return true;
    for (const auto& entry : FEntries) {
        if (entry.Uploading)
            return true;
        TKvEditStamp stamp = EditStampOf(entry.LocalPath);
        if (stamp.ModifiedNs != 0 && !(stamp == entry.LastStamp))
            return true;
    }
    return false;
}

} // namespace kv
