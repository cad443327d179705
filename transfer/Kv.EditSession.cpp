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
#include "Kv.Transfer.Engine.h"

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

// The server's file now; not Known when nothing is there. A server that will not say raises.
TKvEditServerStamp ServerStampOf(IKvFileSystem& AFs, const std::string& APath) {
    TKvEditServerStamp stamp;
    TKvFileEntry entry;
    if (AFs.Stat(APath, entry) && !entry.IsDir) {
        stamp.Known = true;
        stamp.Size = entry.Size;
        stamp.Modified = entry.Modified;
    }
    return stamp;
}

// The same, only to be remembered: a server that will not say holds up no save.
TKvEditServerStamp NoteServerStamp(IKvFileSystem& AFs, const std::string& APath) {
    try {
        return ServerStampOf(AFs, APath);
    } catch (const EKvCancelled&) {
        throw;
    } catch (const std::exception& e) {
        Log(std::string("edit: ") + e.what());
        return {};
    }
}

std::string ChangedText(const std::string& AName, const TKvEditServerStamp& ANow, const TKvEditServerStamp& AOpened) {
    return AName + " was changed on the server since you opened it.\nNow: " + FormatBytes(ANow.Size) + " bytes, " +
           FormatStamp(ANow.Modified) + "\nWhen opened: " + FormatBytes(AOpened.Size) + " bytes, " +
           FormatStamp(AOpened.Modified);
}

// Sends the copy as copies are made: under a temporary name beside ATarget, then renamed over
// it, so a connection lost halfway leaves the server's file as it was. Places that show a file
// only once it is complete take it directly. Without AReplace an existing ATarget is kept.
void SendCopy(IKvFileSystem& AFs, const std::string& ALocal, const std::string& ATarget, bool AReplace,
              const IKvCancelToken& AToken) {
    std::string target = ATarget;
    // A link is saved where it leads: a rename over it would put a file in the link's place.
    if (auto* links = dynamic_cast<IKvSymlinks*>(&AFs)) {
        std::string to;
        try {
            for (int hops = 0; hops < 16 && links->ReadLink(target, to); ++hops)
                target = AFs.Resolve(AFs.ParentOf(target), to);
        } catch (const EKvFsError&) {
            // Nothing there (deleted meanwhile): the save makes the file anew.
        }
    }
    const bool direct = dynamic_cast<IKvDirectWrite*>(&AFs) != nullptr;
    std::string temporary = direct ? target : TKvRun::TemporaryName(AFs, target);
    // The new file keeps the old one's permission bits (a script stays runnable).
    uint32_t mode = 0;
    auto* modes = temporary != target ? dynamic_cast<IKvFileMode*>(&AFs) : nullptr;
    try {
        if (!modes || !AReplace || !modes->GetMode(target, mode))
            mode = 0;
    } catch (const EKvFsError&) {
        mode = 0;
    }
    TKvStreamPtr in = LocalFs()->OpenRead(ALocal);
    auto open = [&](const std::string& APath) {
        if (auto* sized = dynamic_cast<IKvSizedWrite*>(&AFs))
            return sized->OpenWriteSized(APath, in->Size());
        return AFs.OpenWrite(APath);
    };
    bool created = false;
    // A temporary file that was made and not renamed goes again; the server's file is untouched.
    const auto dropTemporary = [&] {
        if (created && temporary != target)
            try {
                AFs.DeleteFileAt(temporary);
            } catch (...) {
            }
    };
    try {
        TKvStreamPtr out;
        try {
            out = open(temporary);
        } catch (const EKvFsError& e) {
            if (temporary == target || !AReplace)
                throw;
            // A folder that takes no new file (the file alone is writable): saved in place, as
            // the only way left.
            Log("edit: " + std::string(e.what()) + "; saving " + target + " in place");
            temporary = target;
            out = open(target);
        }
        created = true;
        CopyStream(*in, *out, AToken);
        out.reset();
        if (temporary != target) {
            if (mode != 0) {
                try {
                    modes->SetMode(temporary, mode & 0777u);
                } catch (const EKvFsError& e) {
                    Log(std::string("edit: ") + e.what());
                }
            }
            AFs.RenamePath(temporary, target, AReplace);
        }
    } catch (const EKvCancelled&) {
        dropTemporary();
        throw;
    } catch (const std::exception& e) {
        dropTemporary();
        throw EKvFsError(NamingTheTarget(e.what(), temporary, target));
    }
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
            AddEntry(AFs, ARemotePath, copy, {});
            // The window fetched it; what the server holds is noted before any save can go.
            FWorker->Post([this, AFs, ARemotePath, copy, alive = FAlive](const IKvCancelToken&) {
                const TKvEditServerStamp server = NoteServerStamp(*AFs, ARemotePath);
                KvDeliver(alive, [this, copy, server] {
                    for (auto& entry : FEntries)
                        if (entry.LocalPath == copy && !entry.Server.Known)
                            entry.Server = server;
                });
            });
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
        TKvEditServerStamp server;
        try {
            if (ACreate)
                CreateEmptyFile(*AFs, ARemotePath);
            if (local) {
                copy = ARemotePath;
            } else {
                server = NoteServerStamp(*AFs, ARemotePath);
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
        KvDeliver(alive, [this, AFs, ARemotePath, copy, error, ACreate, local, name, AOnCreated, server] {
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
            AddEntry(AFs, ARemotePath, copy, server);
        });
    });
}

void TKvEditSessions::AddEntry(const IKvFileSystemPtr& AFs, const std::string& ARemotePath,
                               const std::string& ALocalPath, const TKvEditServerStamp& AServer) {
    TKvEditEntry entry;
    entry.Server = AServer;
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

void TKvEditSessions::Upload(TKvEditEntry& AEntry, const TKvEditStamp& AStamp, bool ACheck,
                             const std::string& ATarget) {
    const std::string name = AEntry.Fs->NameOf(AEntry.RemotePath);
    AEntry.Uploading = true;
    FStatus("Saving " + name + "...", false);
    FWorker->Post([this, fs = AEntry.Fs, remote = AEntry.RemotePath, local = AEntry.LocalPath, name, AStamp,
                   opened = ACheck ? AEntry.Server : TKvEditServerStamp{},
                   target = ATarget.empty() ? AEntry.RemotePath : ATarget,
                   alive = FAlive](const IKvCancelToken& AToken) {
        std::string error, question, beside;
        TKvEditServerStamp written;
        try {
            // Someone else's change is never written over unasked.
            if (opened.Known) {
                const TKvEditServerStamp now = ServerStampOf(*fs, remote);
                if (now.Known && !(now == opened)) {
                    question = ChangedText(name, now, opened);
                    beside = TKvRun::FreeName(*fs, remote);
                }
            }
            if (question.empty()) {
                SendCopy(*fs, local, target, target == remote, AToken);
                written = NoteServerStamp(*fs, target);
            }
        } catch (const EKvCancelled&) {
            error = "Cancelled";
        } catch (const std::exception& e) {
            error = name + ": " + e.what();
        }
        const std::string savedAs = fs->NameOf(target);
        if (!error.empty())
            Log("edit: upload of " + local + " failed: " + error);
        else if (!question.empty())
            Log("edit: " + fs->DisplayPrefix() + remote + " was changed on the server; asking before saving");
        else
            Log("edit: upload of " + local + " done" + (target == remote ? "" : " as " + target));
        KvDeliver(alive, [this, fs, local, name, savedAs, target, AStamp, error, question, beside, written] {
            if (error.empty() && !question.empty()) {
                Answer(local, AStamp, question, beside);
                return;
            }
            bool elsewhere = false;
            for (auto& entry : FEntries) {
                if (entry.LocalPath != local)
                    continue;
                entry.Uploading = false;
                entry.Failure = error;
                if (!error.empty())
                    continue;
                entry.LastStamp = AStamp;
                entry.Server = written;
                // Saved beside the changed file: later saves go to the copy's new name.
                elsewhere = entry.RemotePath != target;
                entry.RemotePath = target;
            }
            if (!error.empty())
                FStatus("Could not save: " + error, true);
            else if (elsewhere)
                FStatus("Saved as " + savedAs, false);
            else
                FStatus("Saved " + name, false);
            if (error.empty() && FOnSaved)
                FOnSaved(fs, target);
        });
    });
}

void TKvEditSessions::Answer(const std::string& ALocalPath, const TKvEditStamp& AStamp, const std::string& AText,
                             const std::string& ABeside) {
    std::string besideName = ABeside;
    for (const auto& entry : FEntries)
        if (entry.LocalPath == ALocalPath)
            besideName = entry.Fs->NameOf(ABeside);
    const TKvEditChoice choice = FAsker ? FAsker(AText, besideName) : ecCancel;
    // The list may have grown while the question waited: the entry is looked up afresh.
    for (auto& entry : FEntries) {
        if (entry.LocalPath != ALocalPath)
            continue;
        if (choice == ecOverwrite) {
            Upload(entry, AStamp, false);
            return;
        }
        if (choice == ecSaveBeside) {
            Upload(entry, AStamp, false, ABeside);
            return;
        }
        // Held back until the next save, which asks again; the edits stay in the copy.
        entry.Uploading = false;
        entry.LastStamp = AStamp;
        const std::string name = entry.Fs->NameOf(entry.RemotePath);
        Log("edit: not sent, as asked: " + entry.LocalPath);
        FStatus("Not saved: " + name + " was changed on the server", true);
        return;
    }
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
