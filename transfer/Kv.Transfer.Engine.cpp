#include "Kv.Transfer.Engine.h"

#include <cstdio>
#include <cstring>
#include <functional>

#include "Kv.FS.Local.h"
#include "Kv.Log.h"
#include "Kv.ServerPaths.h"
#include "Kv.Platform.Files.h"
#include "Kv.Transfer.Partials.h"

namespace kv {

std::string NamingTheTarget(std::string AMessage, const std::string& ATemporary, const std::string& ATarget) {
    if (ATemporary == ATarget)
        return AMessage;
    for (size_t at = AMessage.find(ATemporary); at != std::string::npos;
         at = AMessage.find(ATemporary, at + ATarget.size()))
        AMessage.replace(at, ATemporary.size(), ATarget);
    return AMessage;
}

namespace {

std::string MessageOf(const std::exception& AError) { return AError.what(); }

// A link to a folder, to be copied as the link itself.
TKvFileEntry AsLinkItem(TKvFileEntry AEntry) {
    AEntry.IsDir = false;
    AEntry.Size = 0;
    return AEntry;
}

// FNV-1a: only to tell apart two long names that share their start.
uint32_t NameHash(const std::string& AName) {
    uint32_t hash = 2166136261u;
    for (unsigned char c : AName)
        hash = (hash ^ c) * 16777619u;
    return hash;
}

} // namespace

const char* TransferKindName(TKvTransferKind AKind) {
    switch (AKind) {
    case tkCopy:
        return "copy";
    case tkMove:
        return "move";
    case tkDelete:
        return "delete";
    case tkZip:
        return "zip";
    }
    return "copy";
}

TKvRun::TKvRun(TKvTransferRequest AReq, IKvCancelTokenPtr AToken, IKvTransferHostPtr AHost)
    : FReq(std::move(AReq)), FToken(std::move(AToken)), FHost(std::move(AHost)),
      FBuffer(new char[KTransferBufferSize]) {
    FResult.Kind = FReq.Kind;
    FSameFs = FReq.DestFs && FReq.SourceFs && FReq.SourceFs->Id() == FReq.DestFs->Id();
    // Permission bits travel only between places that both have them.
    FSourceModes = dynamic_cast<IKvFileMode*>(FReq.SourceFs.get());
    FDestModes = dynamic_cast<IKvFileMode*>(FReq.DestFs.get());
    if (!FSourceModes || !FDestModes)
        FSourceModes = FDestModes = nullptr;
    if (FDestModes && dynamic_cast<TKvLocalFileSystem*>(FReq.DestFs.get()))
        FDestUmask = static_cast<int>(CurrentUmask());
    // Links travel as links wherever both places can hold them, as cp -a copies them: a folder
    // link is never followed into, a broken or looping one is no error. A zip stores files.
    if (FReq.Kind == tkCopy || FReq.Kind == tkMove) {
        FSourceLinks = dynamic_cast<IKvSymlinks*>(FReq.SourceFs.get());
        FDestLinks = dynamic_cast<IKvSymlinks*>(FReq.DestFs.get());
        if (!FSourceLinks || !FDestLinks || FReq.DestFs->ReadOnly())
            FSourceLinks = FDestLinks = nullptr;
    }
    if (FReq.Overwrite) {
        FHasConflictAnswer = true;
        FConflictAnswer = paOverwrite;
    }
}

TKvTransferResult TKvRun::Execute() {
    const std::string kind = TransferKindName(FReq.Kind);
    const std::string count = std::to_string(FReq.Items.size());
    if (FReq.Kind == tkDelete)
        Log("job: delete " + count + " item(s) in " + FReq.SourceFs->Id() + " " + FReq.SourceDir +
            (FReq.Permanent ? " (permanently)" : " (to the Trash)"));
    else
        Log("job: " + kind + " " + count + " item(s) from " + FReq.SourceFs->Id() + " " + FReq.SourceDir + " to " +
            (FReq.DestFs ? FReq.DestFs->Id() : std::string()) + " " + FReq.DestPath);
    try {
        Check();
        switch (FReq.Kind) {
        case tkDelete:
            RunDelete();
            break;
        case tkZip:
            RunZip();
            break;
        case tkCopy:
        case tkMove:
            RunCopyOrMove();
            break;
        }
    } catch (const EKvCancelled&) {
        FResult.Cancelled = true;
    } catch (const std::exception& e) {
        RecordFailure(MessageOf(e));
    } catch (...) {
        RecordFailure("Unknown error");
    }
    std::string summary = "job: " + kind + " finished: " + std::to_string(FResult.Succeeded) + " done, " +
                          std::to_string(FResult.Skipped) + " skipped, " + std::to_string(FResult.Failed) + " failed";
    if (FResult.Cancelled)
        summary += ", cancelled";
    if (!FResult.FirstProblem.empty())
        summary += " [" + FResult.FirstProblem + "]";
    Log(summary);
    return FResult;
}

void TKvRun::Check() const { CheckCancelled(*FToken); }

void TKvRun::RecordSkip(const std::string& AText) {
    ++FResult.Skipped;
    if (FResult.FirstProblem.empty())
        FResult.FirstProblem = AText;
}

void TKvRun::RecordFailure(const std::string& AText) {
    ++FResult.Failed;
    if (FResult.FirstProblem.empty())
        FResult.FirstProblem = AText;
}

void TKvRun::RecordProblem(const std::string& AText) {
    Log("error: " + AText);
    if (FResult.FirstProblem.empty())
        FResult.FirstProblem = AText;
}

void TKvRun::CarryMode(const std::string& ASource, const std::string& ATarget, bool AIsDir,
                       const std::string& AShown, uint32_t AKnownMode) {
    if (!FSourceModes)
        return;
    try {
        uint32_t mode = AKnownMode;
        if (mode == 0 && !FSourceModes->GetMode(ASource, mode))
            return;
        // Never the set-user and set-group bits: a copy must not hand out another's rights.
        // The sticky bit means something only on a folder.
        mode &= AIsDir ? 01777u : 0777u;
        // The disk makes new files and folders with these bits already: one call less a file.
        if (FDestUmask >= 0 && mode == ((AIsDir ? 0777u : 0666u) & ~static_cast<uint32_t>(FDestUmask)))
            return;
        FDestModes->SetMode(ATarget, mode);
    } catch (const EKvCancelled&) {
        throw;
    } catch (const std::exception& e) {
        RecordProblem("Copied, but could not set the permissions of " + AShown + ": " +
                      NamingTheTarget(MessageOf(e), ATarget, AShown));
    }
}

TKvPromptAnswer TKvRun::AskError(const std::string& AText) {
    if (FSkipAllErrors)
        return paSkip;
    bool applyAll = false;
    TKvPromptAnswer answer = FHost->Ask(pkError, AText, *FToken, applyAll);
    if (answer == paCancel)
        throw EKvCancelled();
    if (answer == paSkip && applyAll)
        FSkipAllErrors = true;
    return answer;
}

template <typename TAction> bool TKvRun::Attempt(const std::string& AWhat, TAction&& AAction) {
    for (;;) {
        Check();
        std::string message;
        try {
            AAction();
            return true;
        } catch (const EKvCancelled&) {
            throw;
        } catch (const std::exception& e) {
            message = MessageOf(e);
        }
        Log("error: " + AWhat + ": " + message);
        if (AskError(AWhat + "\n" + message) == paSkip) {
            RecordSkip(AWhat + ": " + message);
            return false;
        }
    }
}

bool TKvRun::EnsureFolder(const std::string& APath) {
    return Attempt("Could not create " + APath, [&] {
        FReq.DestFs->MakeDir(APath);
        Log("mkdir: " + APath);
    });
}

void TKvRun::AddToPlan(const TKvFileEntry& AEntry, const std::string& ASource, const std::string& ATarget) {
    FPlan.push_back({ASource, ATarget, AEntry.IsDir, AEntry.IsLink, AEntry.IsDir ? 0 : AEntry.Size,
                     AEntry.Modified, AEntry.Mode});
    FBytesTotal += FPlan.back().Size;
    FHost->SetCurrent(ASource, FPlan.back().Size);
}

void TKvRun::ScanFolder(const std::string& ASource, const std::string& ATarget) {
    Check();
    TKvFileEntries entries;
    if (!Attempt("Could not read " + ASource, [&] { entries = FReq.SourceFs->List(ASource, *FToken); }))
        return;
    CountLeftOut(ASource, entries);
    const bool deleting = FReq.Kind == tkDelete;
    for (const auto& entry : entries) {
        std::string source = FReq.SourceFs->Join(ASource, entry.Name);
        std::string target = deleting ? std::string() : FReq.DestFs->Join(ATarget, entry.Name);
        if (entry.IsDir && entry.IsLink) {
            // A link to a folder is deleted or copied as a link, and never followed into.
            if (deleting)
                AddToPlan(entry, source, target);
            else if (FSourceLinks)
                AddToPlan(AsLinkItem(entry), source, target);
            else
                RecordSkip("Directory link not followed: " + source);
            continue;
        }
        AddToPlan(entry, source, target);
        if (entry.IsDir)
            ScanFolder(source, target);
    }
}

bool TKvRun::InsideSkippedFolder(const std::string& APath) const {
    if (FSkippedDirs.empty())
        return false;
    auto& fs = *FReq.SourceFs;
    for (std::string folder = fs.ParentOf(APath); !folder.empty(); folder = fs.ParentOf(folder)) {
        for (const auto& skipped : FSkippedDirs)
            if (fs.SamePath(folder, skipped))
                return true;
        if (fs.IsRoot(folder))
            break;
    }
    return false;
}

bool TKvRun::IsAncestorOrSelf(IKvFileSystem& AFs, const std::string& AAncestor, const std::string& APath) const {
    for (std::string folder = APath; !folder.empty(); folder = AFs.ParentOf(folder)) {
        if (AFs.SamePath(folder, AAncestor))
            return true;
        if (AFs.IsRoot(folder))
            break;
    }
    return false;
}

bool TKvRun::SameFile(const std::string& ASource, const std::string& ATarget) const {
    if (!FSameFs)
        return false;
    auto* identity = dynamic_cast<IKvFileIdentity*>(FReq.DestFs.get());
    return identity && identity->SameFile(ASource, ATarget);
}

bool TKvRun::RenameInPlace(const std::string& ASource, const std::string& ATarget) {
    try {
        if (!FReq.SourceFs->CanRenameDirect(ASource, ATarget))
            return false;
        TKvFileEntry existing;
        if (FReq.DestFs->Stat(ATarget, existing) && !FReq.DestFs->SamePath(ASource, ATarget))
            return false;
        FReq.SourceFs->RenamePath(ASource, ATarget, false);
    } catch (const EKvCancelled&) {
        throw;
    } catch (...) {
        return false; // copied and deleted instead
    }
    Log("move: " + ASource + " -> " + ATarget + " (renamed in place)");
    return true;
}

void TKvRun::RunCopyOrMove() {
    auto& source = *FReq.SourceFs;
    auto& dest = *FReq.DestFs;
    const bool moving = FReq.Kind == tkMove;
    if (dest.ReadOnly()) {
        RecordFailure("The destination is read-only");
        return;
    }
    if (moving && source.ReadOnly()) {
        RecordFailure("Cannot move out of a read-only location. Copy instead");
        return;
    }
    FHost->SetPhase(tpScanning, 0, 0);

    // A single item copied to a path that is no folder (and does not end with "/") takes that
    // path as its new name; otherwise the path is the folder to copy into.
    TKvFileEntry existing;
    const bool endsWithSeparator = !FReq.DestPath.empty() && FReq.DestPath.back() == '/';
    const bool intoFolder = FReq.Items.size() > 1 || endsWithSeparator ||
                            (dest.Stat(FReq.DestPath, existing) && existing.IsDir);
    const std::string destPath = dest.Normalize(FReq.DestPath);
    FDestRoot = intoFolder ? destPath : dest.ParentOf(destPath);
    if (intoFolder) {
        if (!EnsureFolder(destPath))
            return;
    } else {
        std::string parent = dest.ParentOf(destPath);
        if (!parent.empty() && !EnsureFolder(parent))
            return;
    }

    for (const auto& item : FReq.Items) {
        Check();
        std::string from = source.Join(FReq.SourceDir, item.Name);
        if (source.Id() != "local" && IsUnsafeListedName(item.Name)) {
            RecordFailure(ShownName(from) + ": the name cannot be a file name");
            continue;
        }
        std::string to = intoFolder ? dest.Join(destPath, item.Name) : destPath;
        if (FSameFs && dest.SamePath(from, to) && (!moving || from == to)) {
            RecordFailure("Cannot copy a file onto itself: " + from);
            continue;
        }
        auto* identity = FSameFs ? dynamic_cast<IKvFileIdentity*>(&dest) : nullptr;
        if (item.IsDir && FSameFs &&
            (IsAncestorOrSelf(dest, from, dest.ParentOf(to)) ||
             (identity && identity->Contains(from, dest.ParentOf(to))))) {
            RecordFailure("Cannot copy a directory into itself: " + from);
            continue;
        }
        if (moving && FSameFs && RenameInPlace(from, to)) {
            ++FResult.Succeeded;
            continue;
        }
        if (item.IsDir && item.IsLink) {
            if (FSourceLinks)
                AddToPlan(AsLinkItem(item), from, to);
            else
                RecordSkip("Directory link not followed: " + from);
            continue;
        }
        // A chosen item that came without a time (a name picked off a terminal's screen) gets
        // its time from the source, so the copy keeps it as F5 from a listing does.
        TKvFileEntry chosen = item;
        if (chosen.Modified == 0) {
            TKvFileEntry now;
            try {
                if (source.Stat(from, now))
                    chosen.Modified = now.Modified;
            } catch (const EKvFsError&) {
            }
        }
        AddToPlan(chosen, from, to);
        if (item.IsDir)
            ScanFolder(from, to);
    }

    CheckFreeSpace(destPath);
    FHost->SetPhase(tpWorking, static_cast<int>(FPlan.size()), FBytesTotal);
    for (const auto& item : FPlan) {
        Check();
        ProcessPlanItem(item);
        ++FItemsDone;
        FHost->SetProgress(0, FBytesDone, FItemsDone);
    }
    // A folder gets its bits and its time once its contents are in: a read-only one could not
    // take them, and every file written into it would change its time again.
    for (auto it = FMadeDirs.rbegin(); it != FMadeDirs.rend(); ++it) {
        CarryMode((*it)->Source, (*it)->Target, true, (*it)->Target, (*it)->Mode);
        CarryTime((*it)->Source, (*it)->Target, (*it)->Modified);
    }
    ReportLeftOut();

    if (moving) {
        // Folders emptied by the move go last, deepest first; one that still holds
        // something (a skipped file) simply stays.
        for (auto it = FPlan.rbegin(); it != FPlan.rend(); ++it) {
            if (!it->IsDir)
                continue;
            try {
                source.DeleteDirAt(it->Source);
            } catch (...) {
            }
        }
    }
}

void TKvRun::CheckFreeSpace(const std::string& ADestPath) {
    if (FReq.DestFs->Id() != "local" || FBytesTotal <= 0)
        return;
    auto& dest = *FReq.DestFs;
    std::string folder = ADestPath;
    TKvFileEntry entry;
    // The folder to copy into may not be there yet (a single item under a new name).
    if (!dest.Stat(folder, entry) || !entry.IsDir)
        folder = dest.ParentOf(folder);
    for (;;) {
        const int64_t free = dest.FreeSpace(folder);
        if (free < 0 || FBytesTotal <= free)
            return;
        // Sparse files take less than their size: only then are the blocks worth counting.
        int64_t needed = 0;
        if (FReq.SourceFs->Id() == "local") {
            for (const auto& item : FPlan)
                if (!item.IsDir)
                    needed += LocalAllocatedBytes(item.Source, item.Size);
            if (needed <= free)
                return;
        } else {
            needed = FBytesTotal;
        }
        bool applyAll = false;
        const std::string text = "There is not enough free space in " + folder +
                                 ".\nNeeded: " + FormatSize(needed) + ", free: " + FormatSize(free);
        switch (FHost->Ask(pkSpace, text, *FToken, applyAll)) {
        case paRetry:
            continue;
        case paOverwrite:
            Log("copy: not enough free space in " + folder + ", going on as asked");
            return;
        default:
            throw EKvCancelled();
        }
    }
}

void TKvRun::ProcessPlanItem(const TKvPlanItem& AItem) {
    FHost->SetCurrent(AItem.Source, AItem.Size);
    if (InsideSkippedFolder(AItem.Source))
        return;
    // A link made by this run never carries a later item elsewhere, as a listing that names a
    // link and a folder alike would make it do.
    if (FMadeLink && !StaysInside(AItem.Target)) {
        Log("error: not written through a link: " + AItem.Target);
        RecordSkip("Not written through a link: " + AItem.Target);
        if (AItem.IsDir)
            FSkippedDirs.push_back(AItem.Source);
        return;
    }
    if (AItem.IsDir) {
        // A server that refuses to say (403) is asked about like any failure: never read as
        // "absent", and never the end of the whole job.
        TKvFileEntry existing;
        bool existed = false;
        if (!Attempt("Could not create " + AItem.Target,
                     [&] { existed = FReq.DestFs->Stat(AItem.Target, existing); })) {
            FSkippedDirs.push_back(AItem.Source);
            return;
        }
        if (!EnsureFolder(AItem.Target))
            FSkippedDirs.push_back(AItem.Source);
        else if (!existed)
            FMadeDirs.push_back(&AItem);
        return;
    }
    CopyFile(AItem);
}

namespace {

// Servers keep whole seconds (FTP listings whole minutes at best): a fraction never makes a
// file newer than its copy.
bool NewerBySeconds(TKvDateTime ANew, TKvDateTime AOld) {
    int64_t newSeconds = 0, oldSeconds = 0, nanoseconds = 0;
    if (!UnixFromDateTime(ANew, newSeconds, nanoseconds))
        return false;
    if (!UnixFromDateTime(AOld, oldSeconds, nanoseconds))
        return true; // the old file's time is unknown
    return newSeconds > oldSeconds;
}

} // namespace

bool TKvRun::ResolveConflict(const TKvPlanItem& AItem, std::string& ATarget, bool& ATargetExisted) {
    ATargetExisted = false;
    TKvFileEntry existing;
    bool found = false;
    // A refused check (403) is neither "absent" nor the end of the job: the user says.
    if (!Attempt("Could not copy " + AItem.Source, [&] { found = FReq.DestFs->Stat(ATarget, existing); }))
        return false;
    if (!found)
        return true;
    ATargetExisted = true;
    if (existing.IsDir) {
        RecordSkip("A directory already has this name: " + ATarget);
        return false;
    }
    // Two names of one file (a link, a bind mount): overwriting one destroys the other.
    if (SameFile(AItem.Source, ATarget)) {
        RecordFailure("Cannot copy a file onto itself: " + AItem.Source);
        return false;
    }
    TKvPromptAnswer answer = FConflictAnswer;
    if (!FHasConflictAnswer) {
        std::string text = ATarget + " already exists.\nExisting: " + FormatBytes(existing.Size) + " bytes, " +
                           FormatStamp(existing.Modified) + "\nNew: " + FormatBytes(AItem.Size) + " bytes, " +
                           FormatStamp(AItem.Modified);
        bool applyAll = false;
        answer = FHost->Ask(pkConflict, text, *FToken, applyAll);
        if (answer == paCancel)
            throw EKvCancelled();
        if (applyAll) {
            FHasConflictAnswer = true;
            FConflictAnswer = answer;
        }
    }
    switch (answer) {
    case paOverwrite:
        return true;
    case paOverwriteNewer:
    case paOverwriteSizeDiffers: {
        const bool replace = answer == paOverwriteNewer ? NewerBySeconds(AItem.Modified, existing.Modified)
                                                        : AItem.Size != existing.Size;
        if (replace)
            return true;
        Log("copy: kept " + ATarget + " (" +
            (answer == paOverwriteNewer ? "not older than the new file" : "of the same size") + ")");
        ++FResult.Skipped;
        return false;
    }
    case paRename:
        if (!Attempt("Could not copy " + AItem.Source, [&] { ATarget = FreeName(*FReq.DestFs, ATarget); }))
            return false;
        ATargetExisted = false;
        return true;
    default:
        ++FResult.Skipped;
        return false;
    }
}

void TKvRun::CarryTime(const std::string& ASource, const std::string& ATarget,
                       TKvDateTime AModified, bool ARaise) {
    // Disk to disk the time goes to the nanosecond.
    if (FReq.SourceFs->Id() == "local" && FReq.DestFs->Id() == "local" && CopyLocalTime(ASource, ATarget))
        return;
    try {
        FReq.DestFs->SetModified(ATarget, AModified);
    } catch (const EKvCancelled&) {
        throw;
    } catch (const std::exception& e) {
        if (ARaise)
            throw;
        Log("copy: the time of " + ATarget + " was not set: " + MessageOf(e));
    }
}

bool TKvRun::ConnectionLost() const {
    for (const auto& fs : {FReq.SourceFs, FReq.DestFs})
        if (auto* state = dynamic_cast<IKvConnectionState*>(fs.get()); state && state->ConnectionLost())
            return true;
    return false;
}

int64_t TKvRun::ResumePoint(const TKvPlanItem& AItem, const std::string& ATarget,
                            const std::string& ATemporary) {
    // The source as it was when the partial file was left, asked the same way as now: a
    // listing's time may be coarser than a single file's (FTP).
    TKvPartial left;
    if (!FindPartial(FReq.DestFs->Id(), ATarget, left) || left.Temporary != ATemporary ||
        left.Size <= 0 || left.Modified == 0)
        return 0;
    TKvFileEntry source, partial;
    if (!FReq.SourceFs->Stat(AItem.Source, source) || source.Size != left.Size ||
        source.Modified != left.Modified)
        return 0;
    if (!FReq.DestFs->Stat(ATemporary, partial) || partial.IsDir || partial.Size > left.Size)
        return 0;
    return partial.Size;
}

void TKvRun::CopyData(const TKvPlanItem& AItem, const std::string& ATemporary, int64_t AFrom,
                      int64_t& AAttemptBytes, bool& ACreated) {
    auto& dest = *FReq.DestFs;
    TKvStreamPtr in = FReq.SourceFs->OpenRead(AItem.Source);
    auto* resume = dynamic_cast<IKvResumeWrite*>(&dest);
    if (AFrom > 0) {
        try {
            if (!resume || in->Seek(AFrom, soBegin) != AFrom)
                AFrom = 0;
        } catch (const EKvFsError&) {
            AFrom = 0; // a stream read only from the start: the copy starts over
        }
        if (AFrom == 0)
            in = FReq.SourceFs->OpenRead(AItem.Source);
    }
    TKvStreamPtr out;
    auto* sized = dynamic_cast<IKvSizedWrite*>(&dest);
    if (AFrom > 0)
        out = resume->OpenWriteAt(ATemporary, AFrom);
    else if (sized && AItem.Size >= 0)
        out = sized->OpenWriteSized(ATemporary, AItem.Size);
    else
        out = dest.OpenWrite(ATemporary);
    ACreated = true;
    auto progress = [&](int64_t ACount) {
        AAttemptBytes += ACount;
        FBytesDone += ACount;
        FHost->SetProgress(AAttemptBytes, FBytesDone, FItemsDone);
        Check();
    };
    if (AFrom > 0) {
        Log("copy: " + AItem.Source + " resumes at byte " + std::to_string(AFrom));
        progress(AFrom);
    }
    // Disk to disk the kernel copies, and a sparse file keeps its holes, as cp does.
    if (AFrom > 0 || !CopyLocalData(*in, *out, FBuffer.get(), KTransferBufferSize, progress)) {
        // Onto the disk a block of zeros becomes a hole, as cp does: a sparse file out of an
        // archive or off a server takes only its data.
        const bool holes = dest.Id() == "local";
        bool endsInHole = false;
        for (;;) {
            Check();
            int64_t n = in->Read(FBuffer.get(), KTransferBufferSize);
            if (n <= 0)
                break;
            const char* data = FBuffer.get();
            if (holes && data[0] == 0 && std::memcmp(data, data + 1, static_cast<size_t>(n - 1)) == 0) {
                out->Seek(n, soCurrent);
                endsInHole = true;
            } else {
                out->WriteAll(data, n);
                endsInHole = false;
            }
            progress(n);
        }
        // A hole at the end has no size of its own: its last byte is written.
        if (endsInHole) {
            out->Seek(-1, soCurrent);
            out->WriteAll("", 1);
        }
    }
    if (auto* finishable = dynamic_cast<TKvFinishableStream*>(out.get()))
        finishable->Finish();
    out.reset(); // the written stream goes first
}

void TKvRun::CountLeftOut(const std::string& AFolder, TKvFileEntries& AEntries) {
    // A name that cannot be a file never becomes a path: servers filter their listings and say
    // how many they left out; this catches a file system that does not. The local disk's names
    // are the user's own (a newline in one is legal) and stay.
    int count = FReq.SourceFs->Id() == "local" ? 0 : DropUnsafeNames(AEntries, AFolder);
    if (auto* filtered = dynamic_cast<IKvFolderLeftOut*>(FReq.SourceFs.get()))
        count += filtered->LeftOutIn(AFolder);
    if (count == 0)
        return;
    FResult.Skipped += count;
    const std::string text = AFolder + ": " + LeftOutText(count);
    Log("copy: " + text);
    if (FResult.FirstProblem.empty())
        FResult.FirstProblem = text;
}

void TKvRun::ReportLeftOut() {
    auto* leftOut = dynamic_cast<IKvLeftOut*>(FReq.SourceFs.get());
    if (!leftOut || leftOut->LeftOutCount() == 0 || !FReq.SourceFs->IsRoot(FReq.SourceDir))
        return;
    // Only when everything at the top was chosen: a copy of some files lacks nothing.
    TKvFileEntries top;
    try {
        top = FReq.SourceFs->List(FReq.SourceDir, *FToken);
    } catch (const EKvFsError&) {
        return;
    }
    if (FReq.Items.size() < top.size())
        return;
    const int count = leftOut->LeftOutCount();
    FResult.Skipped += count;
    std::string text = std::to_string(count) + (count == 1 ? " entry was" : " entries were") +
                       " left out: unsafe names or entries under links (the log names them)";
    Log("copy: " + text);
    if (FResult.FirstProblem.empty())
        FResult.FirstProblem = text;
}

bool TKvRun::StaysInside(const std::string& ATarget) const {
    auto* identity = dynamic_cast<IKvFileIdentity*>(FReq.DestFs.get());
    if (!identity || FDestRoot.empty())
        return true;
    try {
        return identity->Contains(FDestRoot, FReq.DestFs->ParentOf(ATarget));
    } catch (const EKvFsError&) {
        return false;
    }
}

bool TKvRun::CopyLink(const TKvPlanItem& AItem) {
    auto& dest = *FReq.DestFs;
    std::string linkTarget;
    try {
        if (!FSourceLinks->ReadLink(AItem.Source, linkTarget))
            return false;
    } catch (const EKvFsError&) {
        return false; // the file copy meets the same problem and asks about it
    }
    std::string target = AItem.Target;
    bool targetExisted = false;
    if (!ResolveConflict(AItem, target, targetExisted))
        return true;
    // Made under a temporary name and renamed over the target, which replaces a link or file
    // there and never writes into what an existing link points to. The target text is kept as
    // it is: it is never followed, so it cannot lead a write anywhere.
    const bool made = Attempt("Could not copy " + AItem.Source, [&] {
        const std::string temporary = TemporaryName(dest, target);
        FDestLinks->MakeLink(temporary, linkTarget);
        try {
            dest.RenamePath(temporary, target, true);
        } catch (...) {
            try {
                dest.DeleteFileAt(temporary);
            } catch (...) {
            }
            throw;
        }
    });
    if (!made)
        return true;
    Log("copy: " + AItem.Source + " -> " + target + " (a link to " + linkTarget + ")");
    FMadeLink = true;
    ++FResult.Succeeded;
    if (FReq.Kind == tkMove)
        Attempt("Copied, but could not remove the original " + AItem.Source, [&] {
            FReq.SourceFs->DeleteFileAt(AItem.Source);
            Log("delete: " + AItem.Source + " (the original of a move)");
        });
    return true;
}

void TKvRun::CopyFile(const TKvPlanItem& AItem) {
    auto& dest = *FReq.DestFs;
    const std::string& source = AItem.Source;
    std::string target = AItem.Target;
    if (FSameFs && dest.SamePath(source, target)) {
        RecordFailure("Cannot copy a file onto itself: " + source);
        return;
    }
    if (AItem.IsLink && FSourceLinks && CopyLink(AItem))
        return;
    bool targetExisted = false;
    if (!ResolveConflict(AItem, target, targetExisted))
        return;
    const bool direct = dynamic_cast<IKvDirectWrite*>(&dest) != nullptr;
    // A partial file is kept for a later attempt only where writing can go on at its end.
    const bool resumable = !direct && dynamic_cast<IKvResumeWrite*>(&dest) != nullptr;
    std::string temporary;
    // Only what this run made goes: writing straight to the target means the temporary file is
    // the user's file when it existed before, and a name the run never opened is someone else's.
    bool created = false;
    TKvPartial left;
    if (resumable && FindPartial(dest.Id(), target, left)) {
        // A stopped copy's partial file: written on when it is of this source (unchanged, which
        // ResumePoint checks); otherwise removed, so that partial files never pile up beside the
        // target.
        if (left.SourceFs == FReq.SourceFs->Id() && left.Source == source) {
            temporary = left.Temporary;
            created = true;
        } else {
            try {
                dest.DeleteFileAt(left.Temporary);
            } catch (const EKvFsError&) {
            }
            ForgetPartial(dest.Id(), target);
        }
    }
    if (direct) {
        temporary = target;
    } else if (temporary.empty() &&
               !Attempt("Could not copy " + source, [&] { temporary = TemporaryName(dest, target); })) {
        return;
    }
    auto dropTemporary = [&] {
        if (!created || (direct && targetExisted))
            return;
        created = false;
        ForgetPartial(dest.Id(), target);
        try {
            dest.DeleteFileAt(temporary);
        } catch (...) {
        }
    };
    // Kept for Retry and for the same copy started again; a retry never starts over what
    // already arrived.
    auto keepTemporary = [&] {
        TKvFileEntry now;
        bool known = false;
        try {
            known = FReq.SourceFs->Stat(source, now);
        } catch (const EKvFsError&) {
        }
        RememberPartial(dest.Id(), target,
                        {temporary, FReq.SourceFs->Id(), source, known ? now.Size : AItem.Size,
                         known ? now.Modified : AItem.Modified});
    };

    for (;;) {
        int64_t attemptBytes = 0;
        std::string message;
        std::string timeProblem;
        try {
            int64_t from = 0;
            if (resumable && created)
                from = ResumePoint(AItem, target, temporary);
            CopyData(AItem, temporary, from, attemptBytes, created);
            try {
                CarryTime(source, temporary, AItem.Modified, true);
            } catch (const EKvCancelled&) {
                throw;
            } catch (const std::exception& e) {
                // A time that cannot be set is no reason to lose the copy, but the user hears of it.
                timeProblem = NamingTheTarget(MessageOf(e), temporary, target);
            }
            CarryMode(source, temporary, false, target, AItem.Mode);
            if (temporary != target)
                dest.RenamePath(temporary, target, true);
            created = false;
            ForgetPartial(dest.Id(), target);
            if (!timeProblem.empty())
                RecordProblem("Copied, but could not set the time of " + target + ": " + timeProblem);
            Log("copy: " + source + " -> " + target + " " + std::to_string(attemptBytes) + " bytes");
            break;
        } catch (const EKvCancelled&) {
            FBytesDone -= attemptBytes;
            dropTemporary();
            throw;
        } catch (const std::exception& e) {
            message = NamingTheTarget(MessageOf(e), temporary, target);
        }
        // Only a lost connection keeps it: after a full disk or a refusal, the partial file
        // would only take space the next files need.
        if (resumable && created && AItem.Size > 0 && AItem.Modified != 0 && ConnectionLost())
            keepTemporary();
        else
            dropTemporary();
        Log("error: copy " + source + " -> " + target + ": " + message);
        FBytesDone -= attemptBytes;
        if (AskError("Could not copy " + source + "\n" + message) == paSkip) {
            RecordSkip("Could not copy " + source + ": " + message);
            return;
        }
    }
    ++FResult.Succeeded;
    if (FReq.Kind == tkMove)
        Attempt("Copied, but could not remove the original " + source, [&] {
            FReq.SourceFs->DeleteFileAt(source);
            Log("delete: " + source + " (the original of a move)");
        });
}

void TKvRun::RunDelete() {
    auto& fs = *FReq.SourceFs;
    if (fs.ReadOnly()) {
        RecordFailure("Cannot delete from a read-only location");
        return;
    }
    if (!FReq.Permanent) {
        // Each selected item goes to the Trash whole: nothing to scan.
        FHost->SetPhase(tpWorking, static_cast<int>(FReq.Items.size()), 0);
        for (const auto& item : FReq.Items) {
            Check();
            std::string path = fs.Join(FReq.SourceDir, item.Name);
            FHost->SetCurrent(path, 0);
            if (Attempt("Could not delete " + path, [&] {
                    fs.Recycle(path);
                    Log("recycle: " + path);
                }))
                ++FResult.Succeeded;
            ++FItemsDone;
            FHost->SetProgress(0, 0, FItemsDone);
        }
        return;
    }
    FHost->SetPhase(tpScanning, 0, 0);
    for (const auto& item : FReq.Items) {
        Check();
        std::string path = fs.Join(FReq.SourceDir, item.Name);
        AddToPlan(item, path, "");
        if (item.IsDir && !item.IsLink)
            ScanFolder(path, "");
    }
    FHost->SetPhase(tpWorking, static_cast<int>(FPlan.size()), 0);
    // Contents before their folder.
    for (auto it = FPlan.rbegin(); it != FPlan.rend(); ++it) {
        Check();
        const auto& item = *it;
        FHost->SetCurrent(item.Source, 0);
        // A link to a folder is listed as a folder, but it goes as a link (DeleteDirAt unlinks it).
        if (Attempt("Could not delete " + item.Source, [&] {
                if (item.IsDir)
                    fs.DeleteDirAt(item.Source);
                else
                    fs.DeleteFileAt(item.Source);
                Log("delete: " + item.Source);
            }))
            ++FResult.Succeeded;
        ++FItemsDone;
        FHost->SetProgress(0, 0, FItemsDone);
    }
}

// The zip routine (its own unit) retries its file actions through this helper.
template bool TKvRun::Attempt<std::function<void()>&>(const std::string&, std::function<void()>&);

std::string TKvRun::TemporaryName(IKvFileSystem& AFs, const std::string& ATarget) {
    const std::string folder = AFs.ParentOf(ATarget);
    std::string name = AFs.NameOf(ATarget);
    const std::string suffix = KPartSuffix;
    // Room for ".N" and the suffix; the hash tells apart long names that share their start.
    if (name.size() + suffix.size() + 5 > KMaxNameBytes) {
        char hash[16];
        std::snprintf(hash, sizeof hash, "~%08x", NameHash(name));
        size_t keep = KMaxNameBytes - suffix.size() - 5 - std::strlen(hash);
        // Cut between characters, not inside one.
        while (keep > 0 && (static_cast<unsigned char>(name[keep]) & 0xC0) == 0x80)
            --keep;
        name = name.substr(0, keep) + hash;
    }
    TKvFileEntry entry;
    for (int i = 1; i <= 9999; ++i) {
        std::string candidate = AFs.Join(folder, name + (i == 1 ? "" : "." + std::to_string(i)) + suffix);
        if (!AFs.Stat(candidate, entry))
            return candidate;
    }
    throw EKvFsError("No free temporary name for " + ATarget);
}

std::string TKvRun::FreeName(IKvFileSystem& AFs, const std::string& ATarget) {
    std::string folder = AFs.ParentOf(ATarget);
    std::string name = AFs.NameOf(ATarget);
    std::string extension(ExtensionOf(name));
    std::string base = name.substr(0, name.size() - extension.size());
    TKvFileEntry entry;
    for (int i = 2; i <= 9999; ++i) {
        std::string candidate = AFs.Join(folder, base + " (" + std::to_string(i) + ")" + extension);
        if (!AFs.Stat(candidate, entry))
            return candidate;
    }
    throw EKvFsError("No free name for " + ATarget);
}

} // namespace kv
