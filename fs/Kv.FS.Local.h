// The local disk: canonical "/" paths, names as bytes, the Trash for Recycle.
#pragma once

#include <functional>

#include "Kv.FileSystem.h"

namespace kv {

class TKvLocalFileSystem final : public IKvFileSystem,
                                 public IKvTryList,
                                 public IKvFileIdentity,
                                 public IKvFileMode,
                                 public IKvFileOwner,
                                 public IKvSymlinks,
                                 public IKvResumeWrite {
public:
    std::string Id() const override { return "local"; }
    bool ReadOnly() const override { return false; }
    std::string DisplayPrefix() const override { return {}; }
    std::string Normalize(const std::string& APath) const override;
    std::string Resolve(const std::string& ABaseDir, const std::string& AInput) const override;
    std::string Join(const std::string& ADir, const std::string& AName) const override;
    std::string ParentOf(const std::string& APath) const override;
    std::string NameOf(const std::string& APath) const override;
    bool IsRoot(const std::string& APath) const override;
    bool SamePath(const std::string& A, const std::string& B) const override;

    TKvFileEntries List(const std::string& APath, const IKvCancelToken& AToken) override;
    bool Stat(const std::string& APath, TKvFileEntry& AEntry) override;
    TKvStreamPtr OpenRead(const std::string& APath) override;
    TKvStreamPtr OpenWrite(const std::string& APath) override;
    TKvStreamPtr OpenWriteAt(const std::string& APath, int64_t AOffset) override;
    void MakeDir(const std::string& APath) override;
    void DeleteFileAt(const std::string& APath) override;
    void DeleteDirAt(const std::string& APath) override;
    void RenamePath(const std::string& AOld, const std::string& ANew, bool AOverwrite) override;
    void SetModified(const std::string& APath, TKvDateTime AWhen) override;
    bool CanRenameDirect(const std::string& AOld, const std::string& ANew) override;
    bool CanRecycle(const std::string& APath) override;
    void Recycle(const std::string& APath) override;
    int64_t FreeSpace(const std::string& APath) override;

    bool TryList(const std::string& APath, const IKvCancelToken& AToken, TKvFileEntries& AEntries) override;
    bool CanRead(const std::string& APath) override;

    // Device and inode.
    bool SameFile(const std::string& A, const std::string& B) override;
    bool Contains(const std::string& AFolder, const std::string& APath) override;

    // The permission bits of what the path leads to (links followed, as copies read them).
    bool GetMode(const std::string& APath, uint32_t& AMode) override;
    void SetMode(const std::string& APath, uint32_t AMode) override;

    // Names from the user and group databases (numbers where a name is missing); a name that
    // is all digits and unknown is taken as the number.
    bool GetOwner(const std::string& APath, std::string& AUser, std::string& AGroup) override;
    void SetOwner(const std::string& APath, const std::string& AUser, const std::string& AGroup,
                  bool ARecursive) override;

    bool ReadLink(const std::string& APath, std::string& ATarget) override;
    void MakeLink(const std::string& APath, const std::string& ATarget) override;
};

// Copies a local file into a local write stream inside the kernel: a file with holes keeps them
// (SEEK_DATA and SEEK_HOLE, only the data is read and written), any other goes through
// copy_file_range. AProgress hears each step's bytes, holes included, and may raise to stop.
// False, with nothing done, when either stream is not a local file or the kernel cannot do it
// here: the caller then copies through its own buffer.
// Gives ATarget the modification time of ASource to the nanosecond (the date-time type keeps
// milliseconds); links are followed. False when either cannot be reached.
bool CopyLocalTime(const std::string& ASource, const std::string& ATarget);

bool CopyLocalData(TKvStream& AIn, TKvStream& AOut, char* ABuffer, int64_t ABufferSize,
                   const std::function<void(int64_t)>& AProgress);

// The bytes a local file takes on its disk (its blocks), or AFallback when it cannot be seen.
int64_t LocalAllocatedBytes(const std::string& APath, int64_t AFallback);

// The program's one shared instance.
IKvFileSystemPtr LocalFs();

} // namespace kv
