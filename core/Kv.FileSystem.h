// The contract every place implements: the local disk, archives and servers.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "Kv.DateTime.h"
#include "Kv.Worker.h"

namespace kv {

struct TKvFileEntry {
    std::string Name;
    bool IsDir = false;
    bool IsLink = false;
    bool IsHidden = false;
    bool IsSystem = false;
    bool IsReadOnly = false;
    int64_t Size = 0;
    TKvDateTime Modified = 0;
    // For a link, where it points as written in the link, and whether nothing is there; file
    // systems that cannot tell leave them empty.
    std::string LinkTarget;
    bool LinkBroken = false;
    // The permission bits where the listing has them at no cost (links: their target's); 0 for
    // unknown. Copies use them so they need not ask again for every file.
    uint32_t Mode = 0;

    bool operator==(const TKvFileEntry&) const = default;
};

using TKvFileEntries = std::vector<TKvFileEntry>;

enum class TKvSortColumn { scName, scExt, scSize, scTime };
using enum TKvSortColumn;

// Every file-system and protocol failure; the message is ready for the user ("path: reason").
class EKvFsError : public std::runtime_error {
public:
    explicit EKvFsError(const std::string& AMessage) : std::runtime_error(AMessage) {}
};

// A move that the operating system cannot do by renaming (another mount): callers copy instead.
class EKvCrossDevice : public EKvFsError {
public:
    using EKvFsError::EKvFsError;
};

enum class TKvSeekOrigin { soBegin, soCurrent, soEnd };
using enum TKvSeekOrigin;

// The one byte-stream type. Failures raise EKvFsError; a short read means the end.
class TKvStream {
public:
    virtual ~TKvStream() = default;
    virtual int64_t Read(void* ABuffer, int64_t ACount) = 0;
    virtual int64_t Write(const void* ABuffer, int64_t ACount) = 0;
    virtual int64_t Seek(int64_t AOffset, TKvSeekOrigin AOrigin) = 0;
    virtual int64_t Size() = 0;

    int64_t Position() { return Seek(0, soCurrent); }
    // Reads until ACount bytes or the end; returns what was read.
    int64_t ReadFully(void* ABuffer, int64_t ACount);
    void WriteAll(const void* ABuffer, int64_t ACount);
};

using TKvStreamPtr = std::unique_ptr<TKvStream>;

// An upload that the server accepts only when Finish succeeds; destroying it without Finish abandons it.
class TKvFinishableStream : public TKvStream {
public:
    virtual void Finish() = 0;
};

class IKvFileSystem {
public:
    virtual ~IKvFileSystem() = default;

    virtual std::string Id() const = 0;
    virtual bool ReadOnly() const = 0;
    virtual std::string DisplayPrefix() const = 0;
    virtual std::string Normalize(const std::string& APath) const = 0;
    virtual std::string Resolve(const std::string& ABaseDir, const std::string& AInput) const = 0;
    virtual std::string Join(const std::string& ADir, const std::string& AName) const = 0;
    virtual std::string ParentOf(const std::string& APath) const = 0;
    virtual std::string NameOf(const std::string& APath) const = 0;
    virtual bool IsRoot(const std::string& APath) const = 0;
    virtual bool SamePath(const std::string& A, const std::string& B) const = 0;

    virtual TKvFileEntries List(const std::string& APath, const IKvCancelToken& AToken) = 0;
    virtual bool Stat(const std::string& APath, TKvFileEntry& AEntry) = 0;
    virtual TKvStreamPtr OpenRead(const std::string& APath) = 0;
    virtual TKvStreamPtr OpenWrite(const std::string& APath) = 0;
    virtual void MakeDir(const std::string& APath) = 0;
    virtual void DeleteFileAt(const std::string& APath) = 0;
    virtual void DeleteDirAt(const std::string& APath) = 0;
    virtual void RenamePath(const std::string& AOld, const std::string& ANew, bool AOverwrite) = 0;
    virtual void SetModified(const std::string& APath, TKvDateTime AWhen) = 0;
    virtual bool CanRenameDirect(const std::string& AOld, const std::string& ANew) = 0;
    virtual bool CanRecycle(const std::string& APath) = 0;
    virtual void Recycle(const std::string& APath) = 0;
    virtual int64_t FreeSpace(const std::string& APath) = 0;
};

using IKvFileSystemPtr = std::shared_ptr<IKvFileSystem>;

class IKvTryList {
public:
    virtual ~IKvTryList() = default;
    virtual bool TryList(const std::string& APath, const IKvCancelToken& AToken,
                         TKvFileEntries& AEntries) = 0;
    virtual bool CanRead(const std::string& APath) = 0;
};

class IKvFileMode {
public:
    virtual ~IKvFileMode() = default;
    virtual bool GetMode(const std::string& APath, uint32_t& AMode) = 0;
    virtual void SetMode(const std::string& APath, uint32_t AMode) = 0;
};

// Owner and group by name, where the place keeps them.
class IKvFileOwner {
public:
    virtual ~IKvFileOwner() = default;
    // False when the names cannot be told (they are then empty).
    virtual bool GetOwner(const std::string& APath, std::string& AUser, std::string& AGroup) = 0;
    // An empty name leaves that part as it is; ARecursive changes everything inside a folder
    // too (links themselves, never what they lead to). Raises EKvFsError.
    virtual void SetOwner(const std::string& APath, const std::string& AUser, const std::string& AGroup,
                          bool ARecursive) = 0;
};

class IKvRemoteExec {
public:
    virtual ~IKvRemoteExec() = default;
    virtual int Exec(const std::string& ACommand, std::string& AOutput) = 0;
};

class IKvSizedWrite {
public:
    virtual ~IKvSizedWrite() = default;
    virtual TKvStreamPtr OpenWriteSized(const std::string& APath, int64_t ASize) = 0;
};

// Whether two existing paths reach one file: a link or a bind mount shows one file under two
// names, and copying it "onto another file" would destroy it.
class IKvFileIdentity {
public:
    virtual ~IKvFileIdentity() = default;
    virtual bool SameFile(const std::string& A, const std::string& B) = 0;
    // Whether APath, with every link on its way resolved, is AFolder or lies below it; the
    // nearest existing folder of APath decides when APath itself is not there yet. A path
    // through a link can lead inside a folder that its text never names.
    virtual bool Contains(const std::string& AFolder, const std::string& APath) = 0;
};

// Symbolic links read and made as links: the target is text, never followed or checked.
class IKvSymlinks {
public:
    virtual ~IKvSymlinks() = default;
    // False when APath is no link.
    virtual bool ReadLink(const std::string& APath, std::string& ATarget) = 0;
    // Makes APath a link to ATarget; raises when APath exists.
    virtual void MakeLink(const std::string& APath, const std::string& ATarget) = 0;
};

// Places that leave some of their entries out of every listing (an archive's entries with unsafe
// names, or under one of its links), so a copy of everything can say that it was not everything.
class IKvLeftOut {
public:
    virtual ~IKvLeftOut() = default;
    virtual int LeftOutCount() const = 0;
};

// Servers that leave names out of a folder's listing (names that cannot be files): how many the
// last listing of AFolder (as Normalize gives it) left out.
class IKvFolderLeftOut {
public:
    virtual ~IKvFolderLeftOut() = default;
    virtual int LeftOutIn(const std::string& AFolder) const = 0;
};

// File systems that can write on at the end of a file a stopped copy left (it resumes there):
// opens the existing APath for writing at AOffset, cutting anything after it.
class IKvResumeWrite {
public:
    virtual ~IKvResumeWrite() = default;
    virtual TKvStreamPtr OpenWriteAt(const std::string& APath, int64_t AOffset) = 0;
};

// Servers whose connection can die: true once it was lost, until the next call connects again.
class IKvConnectionState {
public:
    virtual ~IKvConnectionState() = default;
    virtual bool ConnectionLost() const = 0;
};

// Marker: files appear under their final name only when complete, so no temporary name is needed.
class IKvDirectWrite {
public:
    virtual ~IKvDirectWrite() = default;
};

// Shared helpers.

void SortEntries(TKvFileEntries& AEntries, TKvSortColumn AColumn, bool ADescending);
// Natural order: runs of digits by value, letters without regard to case.
int CompareLogical(std::string_view A, std::string_view B);
bool MatchesMask(std::string_view AName, std::string_view AMask);
bool MatchesQuickFilter(std::string_view AName, std::string_view AFilter);
bool MatchesAnyMask(std::string_view AName, std::string_view AMaskList);
std::string FormatBytes(int64_t ACount);
std::string FormatSize(int64_t ACount);
std::string FormatStamp(TKvDateTime AWhen);

// The separators FormatBytes and FormatSize use; the user interface sets the user's at start.
void SetNumberSeparators(std::string AThousands, std::string ADecimal);

// The text from the last "." of a name, or empty; a leading dot does not start an extension.
std::string_view ExtensionOf(std::string_view AName);

// Text comparisons that ignore case as CompareLogical does.
bool SameTextIgnoringCase(std::string_view A, std::string_view B);
bool StartsWithIgnoringCase(std::string_view AText, std::string_view APrefix);

// Simple Unicode case folding for the scripts people name files in; other code points stay.
char32_t FoldCase(char32_t ACode);

} // namespace kv
