#include "Kv.FS.Archive.h"

#include <algorithm>
#include <cstdint>
#include <zlib.h>

#include "Kv.Log.h"

namespace kv {

namespace {

// CP437 above 0x7F, as DOS and the first zip tools wrote names.
constexpr char16_t KCp437High[128] = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7, 0x00EA, 0x00EB, 0x00E8, 0x00EF,
    0x00EE, 0x00EC, 0x00C4, 0x00C5, 0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9,
    0x00FF, 0x00D6, 0x00DC, 0x00A2, 0x00A3, 0x00A5, 0x20A7, 0x0192, 0x00E1, 0x00ED, 0x00F3, 0x00FA,
    0x00F1, 0x00D1, 0x00AA, 0x00BA, 0x00BF, 0x2310, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB,
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x2561, 0x2562, 0x2556, 0x2555, 0x2563, 0x2551, 0x2557,
    0x255D, 0x255C, 0x255B, 0x2510, 0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F,
    0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x2567, 0x2568, 0x2564, 0x2565, 0x2559,
    0x2558, 0x2552, 0x2553, 0x256B, 0x256A, 0x2518, 0x250C, 0x2588, 0x2584, 0x258C, 0x2590, 0x2580,
    0x03B1, 0x00DF, 0x0393, 0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4, 0x03A6, 0x0398, 0x03A9, 0x03B4,
    0x221E, 0x03C6, 0x03B5, 0x2229, 0x2261, 0x00B1, 0x2265, 0x2264, 0x2320, 0x2321, 0x00F7, 0x2248,
    0x00B0, 0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2, 0x25A0, 0x00A0,
};

std::string JoinBrowse(const std::vector<std::string>& AParts, size_t ACount) {
    std::string out;
    for (size_t i = 0; i < ACount; ++i)
        out += "/" + AParts[i];
    return out.empty() ? "/" : out;
}

// Components between separators; "." and empty ones dropped. ".." is left to the caller.
template <typename TOnPart>
void SplitParts(const std::string& APath, bool ABackslashToo, TOnPart&& AOnPart) {
    size_t start = 0;
    const size_t n = APath.size();
    for (size_t i = 0; i <= n; ++i) {
        if (i < n && APath[i] != '/' && !(ABackslashToo && APath[i] == '\\'))
            continue;
        std::string part = APath.substr(start, i - start);
        start = i + 1;
        if (!part.empty() && part != ".")
            if (!AOnPart(std::move(part)))
                return;
    }
}

[[noreturn]] void RaiseReadOnly() {
    throw EKvFsError(KArchivesReadOnly);
}

} // namespace

TKvArchiveNode::TKvArchiveNode(std::string AName, bool AIsDir) : Name(std::move(AName)) {
    if (AIsDir)
        BecomeDir();
}

// Tears the subtree down without recursion: a hostile archive can nest names tens of
// thousands of levels deep.
TKvArchiveNode::~TKvArchiveNode() {
    if (!FChildren)
        return;
    std::vector<std::unique_ptr<TKvArchiveNode>> pending;
    auto take = [&pending](TKvArchiveNode& ANode) {
        for (auto& [name, child] : *ANode.FChildren)
            pending.push_back(std::move(child));
        ANode.FChildren.reset();
    };
    take(*this);
    while (!pending.empty()) {
        std::unique_ptr<TKvArchiveNode> node = std::move(pending.back());
        pending.pop_back();
        if (node->FChildren)
            take(*node);
    }
}

void TKvArchiveNode::BecomeDir() {
    IsDir = true;
    IsLink = false;
    LinkTarget.clear();
    Size = 0;
    Tag = -1;
    if (!FChildren)
        FChildren = std::make_unique<TChildren>();
}

TKvArchiveNode* TKvArchiveNode::AddChild(std::unique_ptr<TKvArchiveNode> AChild) {
    auto& slot = (*FChildren)[AChild->Name];
    slot = std::move(AChild);
    return slot.get();
}

TKvArchiveNode* TKvArchiveNode::FindChild(const std::string& AName) const {
    if (!FChildren)
        return nullptr;
    auto it = FChildren->find(AName);
    return it == FChildren->end() ? nullptr : it->second.get();
}

TKvArchiveFileSystem::TKvArchiveFileSystem() : FRoot("", true) {}

std::string TKvArchiveFileSystem::Normalize(const std::string& APath) const {
    auto parts = SplitBrowsePath(APath);
    return JoinBrowse(parts, parts.size());
}

std::string TKvArchiveFileSystem::Resolve(const std::string& ABaseDir,
                                          const std::string& AInput) const {
    if (!AInput.empty() && (AInput[0] == '/' || AInput[0] == '\\'))
        return Normalize(AInput);
    return Normalize(Normalize(ABaseDir) + "/" + AInput);
}

std::string TKvArchiveFileSystem::Join(const std::string& ADir, const std::string& AName) const {
    if (!ADir.empty() && ADir.back() == '/')
        return ADir + AName;
    return ADir + "/" + AName;
}

std::string TKvArchiveFileSystem::ParentOf(const std::string& APath) const {
    auto parts = SplitBrowsePath(APath);
    if (parts.empty())
        return {};
    return JoinBrowse(parts, parts.size() - 1);
}

std::string TKvArchiveFileSystem::NameOf(const std::string& APath) const {
    auto parts = SplitBrowsePath(APath);
    return parts.empty() ? std::string() : parts.back();
}

bool TKvArchiveFileSystem::IsRoot(const std::string& APath) const {
    return SplitBrowsePath(APath).empty();
}

bool TKvArchiveFileSystem::SamePath(const std::string& A, const std::string& B) const {
    return Normalize(A) == Normalize(B);
}

TKvFileEntries TKvArchiveFileSystem::List(const std::string& APath, const IKvCancelToken& AToken) {
    const TKvArchiveNode* node = FindNode(APath);
    if (!node)
        throw EKvFsError(APath + ": not found in the archive");
    if (!node->IsDir)
        throw EKvFsError(APath + ": not a directory");
    TKvFileEntries entries;
    entries.reserve(node->Children()->size());
    for (const auto& [name, child] : *node->Children()) {
        entries.push_back(NodeToEntry(*child));
        if (entries.size() % 1024 == 0)
            CheckCancelled(AToken);
    }
    return entries;
}

bool TKvArchiveFileSystem::Stat(const std::string& APath, TKvFileEntry& AEntry) {
    const TKvArchiveNode* node = FindNode(APath);
    if (!node) {
        AEntry = {};
        return false;
    }
    AEntry = NodeToEntry(*node);
    return true;
}

TKvStreamPtr TKvArchiveFileSystem::OpenRead(const std::string& APath) {
    const TKvArchiveNode* node = FindNode(APath);
    if (!node)
        throw EKvFsError(APath + ": not found in the archive");
    if (node->IsDir)
        throw EKvFsError(APath + ": is a directory");
    if (node->IsLink)
        throw EKvFsError(APath + ": is a link to " + node->LinkTarget);
    return OpenNode(*node);
}

bool TKvArchiveFileSystem::ReadLink(const std::string& APath, std::string& ATarget) {
    const TKvArchiveNode* node = FindNode(APath);
    ATarget = node && node->IsLink ? node->LinkTarget : std::string();
    return node && node->IsLink;
}

void TKvArchiveFileSystem::MakeLink(const std::string&, const std::string&) {
    RaiseReadOnly();
}

TKvStreamPtr TKvArchiveFileSystem::OpenWrite(const std::string&) {
    RaiseReadOnly();
}
void TKvArchiveFileSystem::MakeDir(const std::string&) {
    RaiseReadOnly();
}
void TKvArchiveFileSystem::DeleteFileAt(const std::string&) {
    RaiseReadOnly();
}
void TKvArchiveFileSystem::DeleteDirAt(const std::string&) {
    RaiseReadOnly();
}
void TKvArchiveFileSystem::RenamePath(const std::string&, const std::string&, bool) {
    RaiseReadOnly();
}
void TKvArchiveFileSystem::SetModified(const std::string&, TKvDateTime) {
    RaiseReadOnly();
}
void TKvArchiveFileSystem::Recycle(const std::string&) {
    RaiseReadOnly();
}

bool TKvArchiveFileSystem::AddEntry(const std::string& APath, bool AIsDir, int32_t ATag,
                                    TKvDateTime AModified, int64_t ASize) {
    return Add(APath, AIsDir ? TKind::Dir : TKind::File, ATag, AModified, ASize, {});
}

bool TKvArchiveFileSystem::AddLink(const std::string& APath, const std::string& ATarget,
                                   TKvDateTime AModified) {
    return Add(APath, TKind::Link, -1, AModified, static_cast<int64_t>(ATarget.size()), ATarget);
}

void TKvArchiveFileSystem::LeaveOut(const std::string& APath, const std::string& AReason) {
    const std::string shown = SafeEntryName(APath);
    Log("archive: left out " + shown + " (" + AReason + ") in " + FId);
    FLeftOut.push_back(shown);
}

bool TKvArchiveFileSystem::Add(const std::string& APath, TKind AKind, int32_t ATag,
                               TKvDateTime AModified, int64_t ASize, const std::string& ATarget) {
    std::vector<std::string> parts;
    if (!SplitEntryPath(APath, parts)) {
        // The archive's own top folder ("./") is no entry; anything else has no safe place.
        std::vector<std::string> none;
        const bool named = SplitEntryPath(APath + "/x", none);
        if (AKind == TKind::Dir && named)
            return false;
        LeaveOut(APath, named ? "an empty name" : "an unsafe name");
        return false;
    }
    // Find first, change after: an entry that is left out must leave the tree as it was.
    TKvArchiveNode* folder = &FRoot;
    size_t depth = 0;
    for (; depth + 1 < parts.size(); ++depth) {
        TKvArchiveNode* child = folder->FindChild(SafeEntryName(parts[depth]));
        if (!child)
            break;
        // Extracting it would write wherever the link points.
        if (child->IsLink) {
            LeaveOut(APath, "it lies under a link");
            return false;
        }
        if (!child->IsDir)
            child->BecomeDir();
        folder = child;
    }
    for (; depth + 1 < parts.size(); ++depth)
        folder =
            folder->AddChild(std::make_unique<TKvArchiveNode>(SafeEntryName(parts[depth]), true));
    std::string name = SafeEntryName(parts.back());
    TKvArchiveNode* node = folder->FindChild(name);
    if (node && node->IsDir && AKind != TKind::Dir) {
        LeaveOut(APath, "a folder has its name");
        return false;
    }
    if (node && node->IsLink && AKind == TKind::Dir) {
        LeaveOut(APath, "a link has its name");
        return false;
    }
    if (node && !node->IsDir && AKind == TKind::Dir)
        node->BecomeDir();
    if (!node)
        node = folder->AddChild(std::make_unique<TKvArchiveNode>(name, AKind == TKind::Dir));
    if (AKind == TKind::Dir) {
        if (AModified != 0)
            node->Modified = AModified;
    } else {
        // A later entry of the same path replaces an earlier one, as extracting would.
        node->Size = ASize;
        node->Modified = AModified;
        node->Tag = ATag;
        node->IsLink = AKind == TKind::Link;
        node->LinkTarget = ATarget;
    }
    return true;
}

const TKvArchiveNode* TKvArchiveFileSystem::FindNode(const std::string& APath) const {
    const TKvArchiveNode* node = &FRoot;
    for (const auto& part : SplitBrowsePath(APath)) {
        node = node->FindChild(part);
        if (!node)
            return nullptr;
    }
    return node;
}

TKvFileEntry TKvArchiveFileSystem::NodeToEntry(const TKvArchiveNode& ANode) {
    TKvFileEntry entry;
    entry.Name = ANode.Name;
    entry.IsDir = ANode.IsDir;
    entry.IsLink = ANode.IsLink;
    entry.LinkTarget = ANode.LinkTarget;
    entry.Size = ANode.Size;
    entry.Modified = ANode.Modified;
    return entry;
}

TKvSliceStream::TKvSliceStream(TKvStreamPtr ABase, int64_t AStart, int64_t ASize)
    : FBase(std::move(ABase)), FStart(AStart), FSize(ASize) {}

int64_t TKvSliceStream::Read(void* ABuffer, int64_t ACount) {
    if (FPos >= FSize || ACount <= 0)
        return 0;
    int64_t want = std::min(ACount, FSize - FPos);
    // Positioned before every read, so whoever else moved the base does not matter.
    FBase->Seek(FStart + FPos, soBegin);
    int64_t n = FBase->Read(ABuffer, want);
    if (n <= 0)
        throw EKvFsError("The archive file is truncated");
    FPos += n;
    return n;
}

int64_t TKvSliceStream::Write(const void*, int64_t) {
    RaiseReadOnly();
}

int64_t TKvSliceStream::Seek(int64_t AOffset, TKvSeekOrigin AOrigin) {
    int64_t from = AOrigin == soBegin ? 0 : AOrigin == soCurrent ? FPos : FSize;
    // Saturate instead of overflowing on absurd offsets.
    int64_t target = AOffset > 0 && from > INT64_MAX - AOffset ? FSize : from + AOffset;
    FPos = std::clamp<int64_t>(target, 0, FSize);
    return FPos;
}

uint16_t ReadU16LE(const uint8_t* AData, size_t APos) {
    return static_cast<uint16_t>(AData[APos] | (AData[APos + 1] << 8));
}

uint32_t ReadU32LE(const uint8_t* AData, size_t APos) {
    return static_cast<uint32_t>(AData[APos]) | (static_cast<uint32_t>(AData[APos + 1]) << 8) |
           (static_cast<uint32_t>(AData[APos + 2]) << 16) |
           (static_cast<uint32_t>(AData[APos + 3]) << 24);
}

uint64_t ReadU64LE(const uint8_t* AData, size_t APos) {
    return ReadU32LE(AData, APos) | (static_cast<uint64_t>(ReadU32LE(AData, APos + 4)) << 32);
}

uint32_t UpdateCrc32(uint32_t ACrc, const void* AData, size_t ALength) {
    // zlib inverts on the way in and out; the register form undoes both.
    return ~static_cast<uint32_t>(
        crc32_z(~ACrc & 0xFFFFFFFFu, static_cast<const Bytef*>(AData), ALength));
}

uint32_t Crc32Of(std::string_view ABytes) {
    if (ABytes.empty())
        return 0;
    return static_cast<uint32_t>(
        crc32_z(0, reinterpret_cast<const Bytef*>(ABytes.data()), ABytes.size()));
}

std::string DecodeEntryName(std::string_view ABytes) {
    if (ABytes.empty())
        return {};
    if (IsValidUtf8(ABytes))
        return std::string(ABytes);
    std::string out;
    out.reserve(ABytes.size() * 2);
    for (char c : ABytes) {
        auto byte = static_cast<uint8_t>(c);
        AppendUtf8(out, byte < 0x80 ? byte : KCp437High[byte - 0x80]);
    }
    return out;
}

std::string SafeEntryName(const std::string& AName) {
    std::string out = AName;
    for (char& c : out)
        if (static_cast<uint8_t>(c) < 32)
            c = '_';
    return out;
}

bool SplitEntryPath(const std::string& APath, std::vector<std::string>& AParts) {
    AParts.clear();
    bool safe = true;
    // Only "/" separates: on Linux "\" is a name character, and in Shift-JIS names it is the
    // second byte of many letters.
    SplitParts(APath, false, [&](std::string APart) {
        if (APart == "..")
            return safe = false;
        AParts.push_back(std::move(APart));
        return true;
    });
    if (!safe)
        AParts.clear();
    return !AParts.empty();
}

std::vector<std::string> SplitBrowsePath(const std::string& APath) {
    std::vector<std::string> parts;
    // Paths are "/"-separated; one that starts with "\" is the older form, where "\"
    // separated as well, still taken from callers that keep such paths.
    const bool older = !APath.empty() && APath[0] == '\\';
    SplitParts(APath, older, [&](std::string APart) {
        if (APart != "..")
            parts.push_back(std::move(APart));
        else if (!parts.empty())
            parts.pop_back();
        return true;
    });
    return parts;
}

} // namespace kv
