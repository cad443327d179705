// The read-only folder tree that zip and tar backends build once, and what they share:
// safe entry names, path splitting, little-endian fields, CRC-32 and the slice stream.
#pragma once

#include "Kv.Utf8.h"

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "Kv.FileSystem.h"

namespace kv {

// One file or folder of an archive. A folder owns its children.
class TKvArchiveNode {
public:
    TKvArchiveNode(std::string AName, bool AIsDir);
    ~TKvArchiveNode();
    TKvArchiveNode(const TKvArchiveNode&) = delete;
    TKvArchiveNode& operator=(const TKvArchiveNode&) = delete;

    // Turns the node into a folder; children already present stay.
    void BecomeDir();
    TKvArchiveNode* AddChild(std::unique_ptr<TKvArchiveNode> AChild);
    // None also for a file node. Names compare exactly: Linux archives hold names that differ
    // only in case.
    TKvArchiveNode* FindChild(const std::string& AName) const;

    using TChildren = std::map<std::string, std::unique_ptr<TKvArchiveNode>>;
    const TChildren* Children() const { return FChildren.get(); }

    std::string Name; // already made safe; empty for the root
    bool IsDir = false;
    bool IsLink = false;
    std::string LinkTarget; // as stored
    int64_t Size = 0;
    TKvDateTime Modified = 0;
    int32_t Tag = -1; // the backend's index of the file's data record; -1 for folders

private:
    std::unique_ptr<TChildren> FChildren;
};

// Offered by archive file systems that can hold encrypted files; ask with dynamic_cast.
class IKvPasswordArchive {
public:
    virtual ~IKvPasswordArchive() = default;
    // Some file is encrypted and no password has been accepted yet.
    virtual bool NeedsPassword() = 0;
    // True when the password opens the archive; it is then kept for later reads.
    virtual bool TryPassword(const std::string& APassword) = 0;
};

inline constexpr const char* KArchivesReadOnly = "Archives are read-only";

// Paths are "/"-separated with the root "/"; "\" is an ordinary name character. A path that
// starts with "\" is read the older way, with "\" separating too.
class TKvArchiveFileSystem : public IKvFileSystem, public IKvSymlinks, public IKvLeftOut {
public:
    std::string Id() const override { return FId; }
    bool ReadOnly() const override { return true; }
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
    void MakeDir(const std::string& APath) override;
    void DeleteFileAt(const std::string& APath) override;
    void DeleteDirAt(const std::string& APath) override;
    void RenamePath(const std::string& AOld, const std::string& ANew, bool AOverwrite) override;
    void SetModified(const std::string& APath, TKvDateTime AWhen) override;
    bool CanRenameDirect(const std::string&, const std::string&) override { return false; }
    bool CanRecycle(const std::string&) override { return false; }
    void Recycle(const std::string& APath) override;
    int64_t FreeSpace(const std::string&) override { return -1; }

    bool ReadLink(const std::string& APath, std::string& ATarget) override;
    void MakeLink(const std::string& APath, const std::string& ATarget) override;

    // Entries no listing shows: unsafe names, entries under a link or behind a folder of their
    // name; each was logged when the archive was read.
    int LeftOutCount() const override { return static_cast<int>(FLeftOut.size()); }
    const std::vector<std::string>& LeftOut() const { return FLeftOut; }

protected:
    TKvArchiveFileSystem();

    // A new stream over the uncompressed data of a file node.
    virtual TKvStreamPtr OpenNode(const TKvArchiveNode& ANode) = 0;

    // False when the entry is left out: its path is unsafe or leads through a link, or a file
    // or link would replace a folder. The reason is logged and counted.
    bool AddEntry(const std::string& APath, bool AIsDir, int32_t ATag, TKvDateTime AModified,
                  int64_t ASize);
    bool AddLink(const std::string& APath, const std::string& ATarget, TKvDateTime AModified);
    // Logs and counts an entry the backend itself cannot list.
    void LeaveOut(const std::string& APath, const std::string& AReason);
    const TKvArchiveNode* FindNode(const std::string& APath) const;
    static TKvFileEntry NodeToEntry(const TKvArchiveNode& ANode);

    std::string FId;
    TKvArchiveNode FRoot;

private:
    enum class TKind { File, Dir, Link };
    bool Add(const std::string& APath, TKind AKind, int32_t ATag, TKvDateTime AModified,
             int64_t ASize, const std::string& ATarget);

    std::vector<std::string> FLeftOut;
};

// A read-only window of ASize bytes of ABase from AStart; owns ABase.
class TKvSliceStream final : public TKvStream {
public:
    TKvSliceStream(TKvStreamPtr ABase, int64_t AStart, int64_t ASize);
    int64_t Read(void* ABuffer, int64_t ACount) override;
    int64_t Write(const void* ABuffer, int64_t ACount) override;
    int64_t Seek(int64_t AOffset, TKvSeekOrigin AOrigin) override;
    int64_t Size() override { return FSize; }

private:
    TKvStreamPtr FBase;
    int64_t FStart;
    int64_t FSize;
    int64_t FPos = 0;
};

// Little-endian fields; callers check the bounds.
uint16_t ReadU16LE(const uint8_t* AData, size_t APos);
uint32_t ReadU32LE(const uint8_t* AData, size_t APos);
uint64_t ReadU64LE(const uint8_t* AData, size_t APos);

// The CRC-32 register advanced over the bytes, without the inversions at start and end.
uint32_t UpdateCrc32(uint32_t ACrc, const void* AData, size_t ALength);
// The finished CRC-32 of the bytes; 0 for none.
uint32_t Crc32Of(std::string_view ABytes);

// UTF-8 bytes stay; anything else is read as CP437, the code page of DOS-era zip tools.
std::string DecodeEntryName(std::string_view ABytes);
// Control characters become "_" so a name cannot disturb a listing or a terminal.
std::string SafeEntryName(const std::string& AName);
// Components of a stored name, split at "/" only; false when it holds ".." or nothing at all.
bool SplitEntryPath(const std::string& APath, std::vector<std::string>& AParts);
// Components of a browse path; ".." takes back the previous one and stops at the root.
std::vector<std::string> SplitBrowsePath(const std::string& APath);

} // namespace kv
