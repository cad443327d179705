#include "KvMemoryFs.h"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace kv::test {

namespace {

class TMemoryReadStream final : public TKvStream {
public:
    explicit TMemoryReadStream(std::string AData) : FData(std::move(AData)) {}
    int64_t Read(void* ABuffer, int64_t ACount) override {
        int64_t n = std::min<int64_t>(ACount, static_cast<int64_t>(FData.size()) - FPos);
        if (n <= 0)
            return 0;
        std::memcpy(ABuffer, FData.data() + FPos, static_cast<size_t>(n));
        FPos += n;
        return n;
    }
    int64_t Write(const void*, int64_t) override { throw EKvFsError("The stream is read-only"); }
    int64_t Seek(int64_t AOffset, TKvSeekOrigin AOrigin) override {
        FPos = AOrigin == soBegin ? AOffset : AOrigin == soCurrent ? FPos + AOffset : Size() + AOffset;
        return FPos;
    }
    int64_t Size() override { return static_cast<int64_t>(FData.size()); }

private:
    std::string FData;
    int64_t FPos = 0;
};

class TMemoryWriteStream final : public TKvFinishableStream {
public:
    TMemoryWriteStream(TKvMemoryFs& AFs, std::string APath) : FFs(AFs), FPath(std::move(APath)) {}
    int64_t Read(void*, int64_t) override { throw EKvFsError("The stream is write-only"); }
    int64_t Write(const void* ABuffer, int64_t ACount) override {
        FData.append(static_cast<const char*>(ABuffer), static_cast<size_t>(ACount));
        return ACount;
    }
    int64_t Seek(int64_t, TKvSeekOrigin) override { return static_cast<int64_t>(FData.size()); }
    int64_t Size() override { return static_cast<int64_t>(FData.size()); }
    void Finish() override { FFs.Commit(FPath, FData); }

private:
    TKvMemoryFs& FFs;
    std::string FPath;
    std::string FData;
};

// Passes everything to the inner stream, counting calls on the decorator.
class TFaultStream final : public TKvFinishableStream {
public:
    TFaultStream(TKvFaultFs& AFs, TKvStreamPtr AInner, std::string APath)
        : FFs(AFs), FInner(std::move(AInner)), FPath(std::move(APath)) {}
    int64_t Read(void* ABuffer, int64_t ACount) override {
        FFs.Hit(foRead, FPath);
        return FInner->Read(ABuffer, ACount);
    }
    int64_t Write(const void* ABuffer, int64_t ACount) override {
        FFs.Hit(foWrite, FPath);
        return FInner->Write(ABuffer, ACount);
    }
    int64_t Seek(int64_t AOffset, TKvSeekOrigin AOrigin) override { return FInner->Seek(AOffset, AOrigin); }
    int64_t Size() override { return FInner->Size(); }
    void Finish() override {
        FFs.Hit(foFinish, FPath);
        if (auto* finishable = dynamic_cast<TKvFinishableStream*>(FInner.get()))
            finishable->Finish();
    }

private:
    TKvFaultFs& FFs;
    TKvStreamPtr FInner;
    std::string FPath;
};

} // namespace

// TKvMemoryFs

TKvMemoryFs::TKvMemoryFs(std::string AId, bool AReadOnly) : FId(std::move(AId)), FReadOnly(AReadOnly) {
    FNodes["/"] = TNode{true, false, {}, 0};
}

std::string TKvMemoryFs::Key(const std::string& APath) const { return FPaths.Normalize(APath); }

const TKvMemoryFs::TNode* TKvMemoryFs::Find(const std::string& APath) const {
    auto it = FNodes.find(Key(APath));
    return it == FNodes.end() ? nullptr : &it->second;
}

void TKvMemoryFs::CheckWritable() const {
    if (FReadOnly)
        throw EKvFsError("Archives are read-only");
}

void TKvMemoryFs::AddFile(const std::string& APath, const std::string& AContent, TKvDateTime AModified) {
    AddDir(ParentOf(Key(APath)));
    std::lock_guard lock(FLock);
    FNodes[Key(APath)] = TNode{false, false, AContent, AModified};
}

void TKvMemoryFs::AddDir(const std::string& APath) {
    std::string key = Key(APath);
    if (key.empty())
        return;
    if (!IsRoot(key))
        AddDir(ParentOf(key));
    std::lock_guard lock(FLock);
    FNodes.try_emplace(key, TNode{true, false, {}, 0});
}

void TKvMemoryFs::AddDirLink(const std::string& APath) {
    AddDir(ParentOf(Key(APath)));
    std::lock_guard lock(FLock);
    FNodes[Key(APath)] = TNode{true, true, {}, 0};
}

bool TKvMemoryFs::HasFile(const std::string& APath) const {
    std::lock_guard lock(FLock);
    auto* node = Find(APath);
    return node && !node->IsDir;
}

bool TKvMemoryFs::HasDir(const std::string& APath) const {
    std::lock_guard lock(FLock);
    auto* node = Find(APath);
    return node && node->IsDir;
}

std::string TKvMemoryFs::Content(const std::string& APath) const {
    std::lock_guard lock(FLock);
    auto* node = Find(APath);
    return node ? node->Data : std::string();
}

TKvDateTime TKvMemoryFs::ModifiedOf(const std::string& APath) const {
    std::lock_guard lock(FLock);
    auto* node = Find(APath);
    return node ? node->Modified : 0;
}

std::vector<std::string> TKvMemoryFs::Paths() const {
    std::lock_guard lock(FLock);
    std::vector<std::string> paths;
    for (const auto& [path, node] : FNodes)
        paths.push_back(path);
    return paths;
}

TKvFileEntries TKvMemoryFs::List(const std::string& APath, const IKvCancelToken& AToken) {
    CheckCancelled(AToken);
    std::lock_guard lock(FLock);
    std::string key = Key(APath);
    auto* folder = Find(key);
    if (!folder || !folder->IsDir)
        throw EKvFsError(APath + ": No such file or directory");
    TKvFileEntries entries;
    if (folder->IsLink)
        return entries;
    std::string prefix = key == "/" ? "/" : key + "/";
    for (auto it = FNodes.lower_bound(prefix); it != FNodes.end() && it->first.compare(0, prefix.size(), prefix) == 0;
         ++it) {
        std::string rest = it->first.substr(prefix.size());
        if (rest.empty() || rest.find('/') != std::string::npos)
            continue;
        const TNode& node = it->second;
        TKvFileEntry entry;
        entry.Name = rest;
        entry.IsDir = node.IsDir;
        entry.IsLink = node.IsLink;
        entry.IsHidden = rest[0] == '.';
        entry.Size = node.IsDir ? 0 : static_cast<int64_t>(node.Data.size());
        entry.Modified = node.Modified;
        entries.push_back(entry);
    }
    return entries;
}

bool TKvMemoryFs::Stat(const std::string& APath, TKvFileEntry& AEntry) {
    AEntry = {};
    std::lock_guard lock(FLock);
    auto* node = Find(APath);
    if (!node)
        return false;
    AEntry.Name = NameOf(Key(APath));
    AEntry.IsDir = node->IsDir;
    AEntry.IsLink = node->IsLink;
    AEntry.IsHidden = !AEntry.Name.empty() && AEntry.Name[0] == '.';
    AEntry.Size = node->IsDir ? 0 : static_cast<int64_t>(node->Data.size());
    AEntry.Modified = node->Modified;
    return true;
}

TKvStreamPtr TKvMemoryFs::OpenRead(const std::string& APath) {
    std::lock_guard lock(FLock);
    auto* node = Find(APath);
    if (!node || node->IsDir)
        throw EKvFsError(APath + ": No such file or directory");
    return std::make_unique<TMemoryReadStream>(node->Data);
}

TKvStreamPtr TKvMemoryFs::OpenWrite(const std::string& APath) {
    CheckWritable();
    {
        std::lock_guard lock(FLock);
        auto* parent = Find(ParentOf(Key(APath)));
        if (!parent || !parent->IsDir)
            throw EKvFsError(APath + ": No such file or directory");
        auto* node = Find(APath);
        if (node && node->IsDir)
            throw EKvFsError(APath + ": Is a directory");
        if (CreatesAtOpen())
            FNodes[Key(APath)] = TNode{};
    }
    return std::make_unique<TMemoryWriteStream>(*this, Key(APath));
}

void TKvMemoryFs::Commit(const std::string& APath, const std::string& AData) {
    std::lock_guard lock(FLock);
    FNodes[APath] = TNode{false, false, AData, 0};
}

void TKvMemoryFs::MakeDir(const std::string& APath) {
    CheckWritable();
    {
        std::lock_guard lock(FLock);
        auto* node = Find(APath);
        if (node && !node->IsDir)
            throw EKvFsError(APath + ": File exists");
    }
    AddDir(APath);
}

void TKvMemoryFs::DeleteFileAt(const std::string& APath) {
    CheckWritable();
    std::lock_guard lock(FLock);
    auto it = FNodes.find(Key(APath));
    if (it == FNodes.end() || it->second.IsDir)
        throw EKvFsError(APath + ": No such file or directory");
    FNodes.erase(it);
}

void TKvMemoryFs::DeleteDirAt(const std::string& APath) {
    CheckWritable();
    std::lock_guard lock(FLock);
    std::string key = Key(APath);
    auto it = FNodes.find(key);
    if (it == FNodes.end() || !it->second.IsDir)
        throw EKvFsError(APath + ": No such file or directory");
    auto next = std::next(it);
    if (!it->second.IsLink && next != FNodes.end() && next->first.compare(0, key.size() + 1, key + "/") == 0)
        throw EKvFsError(APath + ": Directory not empty");
    FNodes.erase(it);
}

void TKvMemoryFs::RenamePath(const std::string& AOld, const std::string& ANew, bool AOverwrite) {
    CheckWritable();
    std::lock_guard lock(FLock);
    std::string from = Key(AOld), to = Key(ANew);
    if (!FNodes.count(from))
        throw EKvFsError(AOld + ": No such file or directory");
    if (FNodes.count(to) && !AOverwrite)
        throw EKvFsError(AOld + ": File exists");
    std::map<std::string, TNode> moved;
    for (auto it = FNodes.begin(); it != FNodes.end();) {
        if (it->first == from || it->first.compare(0, from.size() + 1, from + "/") == 0) {
            moved[to + it->first.substr(from.size())] = it->second;
            it = FNodes.erase(it);
        } else {
            ++it;
        }
    }
    for (auto& [path, node] : moved)
        FNodes[path] = node;
}

void TKvMemoryFs::SetModified(const std::string& APath, TKvDateTime AWhen) {
    CheckWritable();
    if (AWhen == 0)
        return;
    std::lock_guard lock(FLock);
    auto it = FNodes.find(Key(APath));
    if (it == FNodes.end())
        throw EKvFsError(APath + ": No such file or directory");
    it->second.Modified = AWhen;
}

void TKvMemoryFs::Recycle(const std::string&) { throw EKvFsError("A server has no Trash"); }

// TKvFaultFs

void TKvFaultFs::AddFault(const TKvFault& AFault) {
    std::lock_guard lock(FLock);
    FFaults.push_back(AFault);
}

void TKvFaultFs::Release() {
    std::lock_guard lock(FLock);
    FReleased = true;
    FChanged.notify_all();
}

int TKvFaultFs::Calls(TKvFsOp AOp) const {
    std::lock_guard lock(FLock);
    auto it = FCalls.find(AOp);
    return it == FCalls.end() ? 0 : it->second;
}

bool TKvFaultFs::WaitBlocked(int AWaitMs) {
    std::unique_lock lock(FLock);
    return FChanged.wait_for(lock, std::chrono::milliseconds(AWaitMs), [this] { return FBlocked > 0; });
}

void TKvFaultFs::Hit(TKvFsOp AOp, const std::string& APath) {
    std::unique_lock lock(FLock);
    const int anyCall = ++FCalls[AOp];
    const int pathCall = ++FPathCalls[{AOp, APath}];
    for (const auto& fault : FFaults) {
        const int call = fault.Path.empty() ? anyCall : pathCall;
        if (fault.Op != AOp || (!fault.Path.empty() && fault.Path != APath) || call < fault.Nth ||
            call >= fault.Nth + fault.Times)
            continue;
        if (fault.Block) {
            ++FBlocked;
            FChanged.notify_all();
            FChanged.wait(lock, [this] { return FReleased; });
            --FBlocked;
        }
        if (!fault.Fail)
            return;
        throw EKvFsError(APath + ": injected failure");
    }
}

TKvFileEntries TKvFaultFs::List(const std::string& APath, const IKvCancelToken& AToken) {
    Hit(foList, APath);
    return FInner->List(APath, AToken);
}

bool TKvFaultFs::Stat(const std::string& APath, TKvFileEntry& AEntry) {
    Hit(foStat, APath);
    return FInner->Stat(APath, AEntry);
}

TKvStreamPtr TKvFaultFs::OpenRead(const std::string& APath) {
    Hit(foOpenRead, APath);
    return std::make_unique<TFaultStream>(*this, FInner->OpenRead(APath), APath);
}

TKvStreamPtr TKvFaultFs::OpenWrite(const std::string& APath) {
    Hit(foOpenWrite, APath);
    return std::make_unique<TFaultStream>(*this, FInner->OpenWrite(APath), APath);
}

void TKvFaultFs::MakeDir(const std::string& APath) {
    Hit(foMakeDir, APath);
    FInner->MakeDir(APath);
}

void TKvFaultFs::DeleteFileAt(const std::string& APath) {
    Hit(foDelete, APath);
    FInner->DeleteFileAt(APath);
}

void TKvFaultFs::DeleteDirAt(const std::string& APath) {
    Hit(foDelete, APath);
    FInner->DeleteDirAt(APath);
}

void TKvFaultFs::RenamePath(const std::string& AOld, const std::string& ANew, bool AOverwrite) {
    Hit(foRename, AOld);
    FInner->RenamePath(AOld, ANew, AOverwrite);
}

void TKvFaultFs::SetModified(const std::string& APath, TKvDateTime AWhen) {
    Hit(foSetModified, APath);
    FInner->SetModified(APath, AWhen);
}

void TKvFaultFs::Recycle(const std::string& APath) {
    Hit(foDelete, APath);
    FInner->Recycle(APath);
}

} // namespace kv::test
