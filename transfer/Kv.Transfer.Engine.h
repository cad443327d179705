// One copy, move, delete or zip request carried out between any two file systems.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Kv.FileSystem.h"
#include "Kv.Worker.h"

namespace kv {

enum class TKvTransferKind { tkCopy, tkMove, tkDelete, tkZip };
using enum TKvTransferKind;

// "copy", "move", "delete", "zip": the words of the log lines.
const char* TransferKindName(TKvTransferKind AKind);

struct TKvTransferRequest {
    TKvTransferKind Kind = tkCopy;
    IKvFileSystemPtr SourceFs;
    std::string SourceDir;
    TKvFileEntries Items;
    IKvFileSystemPtr DestFs;
    // The folder to copy into, the new name of a single item, or the zip file to make.
    std::string DestPath;
    bool Permanent = false;
    std::string Password;
    bool ZipWeak = false;
    bool Overwrite = false;
};

struct TKvTransferResult {
    TKvTransferKind Kind = tkCopy;
    int32_t Succeeded = 0;
    int32_t Skipped = 0;
    int32_t Failed = 0;
    bool Cancelled = false;
    std::string FirstProblem;
};

struct TKvPlanItem {
    std::string Source;
    std::string Target; // empty for deletes; the entry name inside the archive for zips
    bool IsDir = false;
    bool IsLink = false;
    int64_t Size = 0;
    TKvDateTime Modified = 0;
    uint32_t Mode = 0; // as listed; 0 for unknown
};

// pkSpace: the copy needs more than the free space of its destination; paRetry checks again,
// paOverwrite copies anyway, paCancel stops before anything is copied.
enum class TKvPromptKind { pkNone, pkConflict, pkError, pkSpace };
using enum TKvPromptKind;
// paOverwriteNewer and paOverwriteSizeDiffers answer a conflict for all later ones too: the
// file is overwritten when the new one is newer (by whole seconds, as every place keeps them) or
// of another size, and skipped otherwise.
enum class TKvPromptAnswer {
    paOverwrite,
    paSkip,
    paRename,
    paRetry,
    paCancel,
    paOverwriteNewer,
    paOverwriteSizeDiffers
};
using enum TKvPromptAnswer;
enum class TKvTransferPhase { tpScanning, tpWorking };
using enum TKvTransferPhase;

// What a running job reports to, and asks of, the user. SetCurrent and SetProgress may block
// while the user holds the job; Ask blocks until answered and gives paCancel when AToken is
// cancelled meanwhile.
class IKvTransferHost {
public:
    virtual ~IKvTransferHost() = default;
    virtual void SetPhase(TKvTransferPhase APhase, int AItemsTotal, int64_t ABytesTotal) = 0;
    virtual void SetCurrent(const std::string& AName, int64_t ASize) = 0;
    virtual void SetProgress(int64_t AFileDone, int64_t ABytesDone, int AItemsDone) = 0;
    virtual TKvPromptAnswer Ask(TKvPromptKind AKind, const std::string& AText, const IKvCancelToken& AToken,
                                bool& AApplyAll) = 0;
};

using IKvTransferHostPtr = std::shared_ptr<IKvTransferHost>;

inline constexpr int64_t KTransferBufferSize = 1048576;
inline constexpr const char* KPartSuffix = ".kvpart";
// The longest file name most file systems take, in bytes.
inline constexpr size_t KMaxNameBytes = 255;

// The user chose the target; a message about the temporary name speaks of the target instead.
std::string NamingTheTarget(std::string AMessage, const std::string& ATemporary, const std::string& ATarget);

class TKvRun {
public:
    TKvRun(TKvTransferRequest AReq, IKvCancelTokenPtr AToken, IKvTransferHostPtr AHost);
    TKvRun(const TKvRun&) = delete;
    TKvRun& operator=(const TKvRun&) = delete;

    // Runs to the end; never raises.
    TKvTransferResult Execute();

    // The free name "name (N).ext" next to ATarget, N from 2; raises when none is left.
    static std::string FreeName(IKvFileSystem& AFs, const std::string& ATarget);
    // The name a copy is written under until it is complete: "name.kvpart" beside ATarget, or
    // "name.N.kvpart" when that is taken, never the name of an existing file. A name too long
    // for the suffix keeps its start and gets a short hash of the whole, so it stays unique.
    static std::string TemporaryName(IKvFileSystem& AFs, const std::string& ATarget);

private:
    void RunCopyOrMove();
    void RunDelete();
    void RunZip();

    void Check() const;
    void RecordSkip(const std::string& AText);
    void RecordFailure(const std::string& AText);
    // A finishing step that failed after the data arrived: the copy counts, the problem shows.
    void RecordProblem(const std::string& AText);
    // Gives ATarget the permission bits of ASource where both places have them.
    // AKnownMode: the bits the listing gave, 0 when they must be asked for.
    void CarryMode(const std::string& ASource, const std::string& ATarget, bool AIsDir,
                   const std::string& AShown, uint32_t AKnownMode);
    // Runs AAction, asking the user on failure; false when the user skipped it.
    template <typename TAction> bool Attempt(const std::string& AWhat, TAction&& AAction);
    // Raises EKvCancelled for paCancel; paSkip with apply-to-all skips every later error.
    TKvPromptAnswer AskError(const std::string& AText);
    bool EnsureFolder(const std::string& APath);
    // Before copying onto the local disk: asks when the data will not fit its free space.
    void CheckFreeSpace(const std::string& ADestPath);
    void AddToPlan(const TKvFileEntry& AEntry, const std::string& ASource, const std::string& ATarget);
    void ScanFolder(const std::string& ASource, const std::string& ATarget);
    bool InsideSkippedFolder(const std::string& APath) const;
    bool IsAncestorOrSelf(IKvFileSystem& AFs, const std::string& AAncestor, const std::string& APath) const;
    bool RenameInPlace(const std::string& ASource, const std::string& ATarget);
    void ProcessPlanItem(const TKvPlanItem& AItem);
    void CopyFile(const TKvPlanItem& AItem);
    // False when the source is no link after all, so it is copied as a file.
    bool CopyLink(const TKvPlanItem& AItem);
    // A copy of a whole archive says how many of its entries no listing showed.
    void ReportLeftOut();
    void CountLeftOut(const std::string& AFolder, TKvFileEntries& AEntries);
    // Whether ATarget's folder, with links resolved, is still the chosen one or below it.
    bool StaysInside(const std::string& ATarget) const;
    bool SameFile(const std::string& ASource, const std::string& ATarget) const;
    // Whether to copy onto ATarget (which may have been replaced by a free name).
    bool ResolveConflict(const TKvPlanItem& AItem, std::string& ATarget, bool& ATargetExisted);
    // ACreated turns true once ATemporary was opened for writing, that is, made by this run.
    // AFrom > 0 writes on at the end of what ATemporary holds (when the source can be read from
    // there; otherwise the copy starts over).
    void CopyData(const TKvPlanItem& AItem, const std::string& ATemporary, int64_t AFrom,
                  int64_t& AAttemptBytes, bool& ACreated);
    // Where a copy into ATemporary, which a stopped copy of AItem left, can write on: its size,
    // when the source is still as it was when the copy stopped; 0 to start over.
    int64_t ResumePoint(const TKvPlanItem& AItem, const std::string& ATarget,
                        const std::string& ATemporary);
    // Gives ATarget the time of ASource (AModified, or the exact one disk to disk); a failure
    // raises with ARaise, and is only logged without it (folders).
    void CarryTime(const std::string& ASource, const std::string& ATarget, TKvDateTime AModified,
                   bool ARaise = false);
    // Whether the connection to either place was lost (as against a refusal or a full disk).
    bool ConnectionLost() const;

    TKvTransferRequest FReq;
    IKvCancelTokenPtr FToken;
    IKvTransferHostPtr FHost;
    TKvTransferResult FResult;
    std::vector<TKvPlanItem> FPlan;
    std::vector<std::string> FSkippedDirs;
    // Folders this run made, in plan order; they get their permission bits at the end.
    std::vector<const TKvPlanItem*> FMadeDirs;
    IKvFileMode* FSourceModes = nullptr;
    // The local disk's file-creation mask, or -1 where new files get other bits.
    int FDestUmask = -1;
    IKvFileMode* FDestModes = nullptr;
    // Set when links are copied as links: the places differ and both have links.
    IKvSymlinks* FSourceLinks = nullptr;
    IKvSymlinks* FDestLinks = nullptr;
    bool FMadeLink = false;
    // The folder the copy goes into.
    std::string FDestRoot;
    std::unique_ptr<char[]> FBuffer;
    bool FSameFs = false;
    int64_t FBytesDone = 0;
    int64_t FBytesTotal = 0;
    int32_t FItemsDone = 0;
    bool FSkipAllErrors = false;
    bool FHasConflictAnswer = false;
    TKvPromptAnswer FConflictAnswer = paSkip;
};

} // namespace kv
