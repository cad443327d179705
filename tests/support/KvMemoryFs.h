// File systems for tests: an in-memory one, and a decorator that fails or blocks a chosen call
// of any file system, so error paths run without servers.
#pragma once

#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "Kv.FS.Local.h"
#include "Kv.FileSystem.h"

namespace kv::test {

// Paths as on the local disk ("/"-rooted, exact names). Written files are kept at Finish, as
// a server keeps an upload only when it completes.
class TKvMemoryFs : public IKvFileSystem {
public:
    explicit TKvMemoryFs(std::string AId = "mem:test", bool AReadOnly = false);

    void AddFile(const std::string& APath, const std::string& AContent, TKvDateTime AModified = 0);
    void AddDir(const std::string& APath);
    void AddDirLink(const std::string& APath);
    bool HasFile(const std::string& APath) const;
    bool HasDir(const std::string& APath) const;
    std::string Content(const std::string& APath) const;
    TKvDateTime ModifiedOf(const std::string& APath) const;
    // Every path, sorted.
    std::vector<std::string> Paths() const;

    std::string Id() const override { return FId; }
    bool ReadOnly() const override { return FReadOnly; }
    std::string DisplayPrefix() const override { return FPrefix; }
    // A prefix makes it look like a server connection ("name:").
    void SetDisplayPrefix(std::string APrefix) { FPrefix = std::move(APrefix); }
    std::string Normalize(const std::string& APath) const override { return FPaths.Normalize(APath); }
    std::string Resolve(const std::string& ABaseDir, const std::string& AInput) const override {
        return FPaths.Resolve(ABaseDir, AInput);
    }
    std::string Join(const std::string& ADir, const std::string& AName) const override { return FPaths.Join(ADir, AName); }
    std::string ParentOf(const std::string& APath) const override { return FPaths.ParentOf(APath); }
    std::string NameOf(const std::string& APath) const override { return FPaths.NameOf(APath); }
    bool IsRoot(const std::string& APath) const override { return FPaths.IsRoot(APath); }
    bool SamePath(const std::string& A, const std::string& B) const override { return FPaths.SamePath(A, B); }

    TKvFileEntries List(const std::string& APath, const IKvCancelToken& AToken) override;
    bool Stat(const std::string& APath, TKvFileEntry& AEntry) override;
    TKvStreamPtr OpenRead(const std::string& APath) override;
    TKvStreamPtr OpenWrite(const std::string& APath) override;
    void MakeDir(const std::string& APath) override;
    void DeleteFileAt(const std::string& APath) override;
    void DeleteDirAt(const std::string& APath) override;
    void RenamePath(const std::string& AOld, const std::string& ANew, bool AOverwrite) override;
    void SetModified(const std::string& APath, TKvDateTime AWhen) override;
    bool CanRenameDirect(const std::string&, const std::string&) override { return true; }
    bool CanRecycle(const std::string&) override { return false; }
    void Recycle(const std::string& APath) override;
    int64_t FreeSpace(const std::string&) override { return -1; }

    // Called by the write stream.
    void Commit(const std::string& APath, const std::string& AData);

protected:
    // Whether OpenWrite shows the file at once (empty) or only when it is finished.
    virtual bool CreatesAtOpen() const { return true; }

private:
    struct TNode {
        bool IsDir = false;
        bool IsLink = false;
        std::string Data;
        TKvDateTime Modified = 0;
    };
    void CheckWritable() const;
    const TNode* Find(const std::string& APath) const;
    std::string Key(const std::string& APath) const;

    std::string FId;
    std::string FPrefix;
    bool FReadOnly;
    TKvLocalFileSystem FPaths; // only its text operations
    mutable std::mutex FLock;
    std::map<std::string, TNode> FNodes;
};

// Uploads appear under their final name only when complete (as on WebDAV).
class TKvMemoryDirectFs : public TKvMemoryFs, public IKvDirectWrite {
public:
    using TKvMemoryFs::TKvMemoryFs;

protected:
    bool CreatesAtOpen() const override { return false; }
};

enum class TKvFsOp { foList, foStat, foOpenRead, foOpenWrite, foRead, foWrite, foFinish, foMakeDir, foRename,
                     foDelete, foSetModified };
using enum TKvFsOp;

// Fails (or blocks until Release) the Nth call of one operation, counted from 1, for Times
// calls in a row. A stream's Read, Write and Finish count as their own operations. A blocking
// fault with Fail false is a gate: released, the call goes on normally.
struct TKvFault {
    TKvFsOp Op = foRead;
    int Nth = 1;
    int Times = 1;
    bool Block = false;
    bool Fail = true;
    // When set, only the calls on this path count for this fault.
    std::string Path = {};
};

class TKvFaultFs : public IKvFileSystem {
public:
    explicit TKvFaultFs(IKvFileSystemPtr AInner) : FInner(std::move(AInner)) {}

    void AddFault(const TKvFault& AFault);
    // Lets every blocked call go on (and fail).
    void Release();
    int Calls(TKvFsOp AOp) const;
    // Waits until some call is blocked; false after AWaitMs.
    bool WaitBlocked(int AWaitMs = 5000);
    // Counts the call and fails or blocks when a fault says so.
    void Hit(TKvFsOp AOp, const std::string& APath);

    std::string Id() const override { return FInner->Id(); }
    bool ReadOnly() const override { return FInner->ReadOnly(); }
    std::string DisplayPrefix() const override { return FInner->DisplayPrefix(); }
    std::string Normalize(const std::string& APath) const override { return FInner->Normalize(APath); }
    std::string Resolve(const std::string& ABaseDir, const std::string& AInput) const override {
        return FInner->Resolve(ABaseDir, AInput);
    }
    std::string Join(const std::string& ADir, const std::string& AName) const override { return FInner->Join(ADir, AName); }
    std::string ParentOf(const std::string& APath) const override { return FInner->ParentOf(APath); }
    std::string NameOf(const std::string& APath) const override { return FInner->NameOf(APath); }
    bool IsRoot(const std::string& APath) const override { return FInner->IsRoot(APath); }
    bool SamePath(const std::string& A, const std::string& B) const override { return FInner->SamePath(A, B); }

    TKvFileEntries List(const std::string& APath, const IKvCancelToken& AToken) override;
    bool Stat(const std::string& APath, TKvFileEntry& AEntry) override;
    TKvStreamPtr OpenRead(const std::string& APath) override;
    TKvStreamPtr OpenWrite(const std::string& APath) override;
    void MakeDir(const std::string& APath) override;
    void DeleteFileAt(const std::string& APath) override;
    void DeleteDirAt(const std::string& APath) override;
    void RenamePath(const std::string& AOld, const std::string& ANew, bool AOverwrite) override;
    void SetModified(const std::string& APath, TKvDateTime AWhen) override;
    bool CanRenameDirect(const std::string& AOld, const std::string& ANew) override {
        return FInner->CanRenameDirect(AOld, ANew);
    }
    bool CanRecycle(const std::string& APath) override { return FInner->CanRecycle(APath); }
    void Recycle(const std::string& APath) override;
    int64_t FreeSpace(const std::string& APath) override { return FInner->FreeSpace(APath); }

private:
    IKvFileSystemPtr FInner;
    mutable std::mutex FLock;
    std::condition_variable FChanged;
    std::vector<TKvFault> FFaults;
    std::map<TKvFsOp, int> FCalls;
    std::map<std::pair<TKvFsOp, std::string>, int> FPathCalls;
    bool FReleased = false;
    int FBlocked = 0;
};

} // namespace kv::test
