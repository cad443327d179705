#include "Kv.Ftp.Listings.h"

#include <chrono>

namespace kv {

namespace {

uint64_t SteadyMs() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

bool IsBelow(const std::string& APath, const std::string& AFolder) {
    if (AFolder == "/")
        return true;
    return APath.size() > AFolder.size() && APath.compare(0, AFolder.size(), AFolder) == 0 &&
           APath[AFolder.size()] == '/';
}

} // namespace

TKvFtpListings::TKvFtpListings(uint64_t AKeepMs, uint64_t (*ANow)())
    : FKeepMs(AKeepMs), FNow(ANow ? ANow : SteadyMs) {}

uint64_t TKvFtpListings::Generation() {
    std::lock_guard lock(FLock);
    return FGeneration;
}

void TKvFtpListings::Store(const std::string& AFolder, const TKvFileEntries& AEntries,
                           uint64_t AGeneration) {
    std::lock_guard lock(FLock);
    if (AGeneration != FGeneration)
        return;
    const uint64_t now = FNow();
    // Old listings go here too, or a long session would keep every folder it ever listed.
    std::erase_if(FFolders, [&](const auto& AItem) { return now - AItem.second.Read >= FKeepMs; });
    TFolder folder;
    folder.Read = now;
    for (const auto& entry : AEntries)
        folder.Entries[entry.Name] = entry;
    FFolders[AFolder] = std::move(folder);
}

TKvFtpListings::TFolder* TKvFtpListings::Young(const std::string& AFolder) {
    const auto found = FFolders.find(AFolder);
    if (found == FFolders.end())
        return nullptr;
    if (FNow() - found->second.Read >= FKeepMs) {
        FFolders.erase(found);
        return nullptr;
    }
    return &found->second;
}

TKvFtpListings::TKvLookup TKvFtpListings::Find(const std::string& AFolder,
                                               const std::string& AName, TKvFileEntry& AEntry) {
    std::lock_guard lock(FLock);
    TFolder* folder = Young(AFolder);
    if (!folder)
        return lkUnknown;
    const auto found = folder->Entries.find(AName);
    if (found == folder->Entries.end())
        return lkAbsent;
    AEntry = found->second;
    return lkFound;
}

size_t TKvFtpListings::Count() {
    std::lock_guard lock(FLock);
    return FFolders.size();
}

void TKvFtpListings::Put(const std::string& AFolder, const TKvFileEntry& AEntry) {
    std::lock_guard lock(FLock);
    ++FGeneration;
    if (TFolder* folder = Young(AFolder))
        folder->Entries[AEntry.Name] = AEntry;
}

void TKvFtpListings::Remove(const std::string& AFolder, const std::string& AName) {
    std::lock_guard lock(FLock);
    ++FGeneration;
    if (TFolder* folder = Young(AFolder))
        folder->Entries.erase(AName);
}

void TKvFtpListings::Made(const std::string& AParent, const std::string& AName) {
    std::lock_guard lock(FLock);
    ++FGeneration;
    if (TFolder* parent = Young(AParent)) {
        TKvFileEntry entry;
        entry.Name = AName;
        entry.IsDir = true;
        entry.IsHidden = !AName.empty() && AName[0] == '.';
        parent->Entries[AName] = std::move(entry);
    }
}

void TKvFtpListings::Renamed(const std::string& AOldParent, const std::string& AOldName,
                             const std::string& ANewParent, const std::string& ANewName,
                             const std::string& AOldPath, const std::string& ANewPath) {
    std::lock_guard lock(FLock);
    ++FGeneration;
    TKvFileEntry entry;
    bool known = false;
    if (TFolder* from = Young(AOldParent)) {
        if (const auto found = from->Entries.find(AOldName); found != from->Entries.end()) {
            entry = std::move(found->second);
            known = true;
            from->Entries.erase(found);
        }
    }
    // What moved and what it replaced may both have been folders with listings of their own.
    ForgetTreeLocked(AOldPath);
    ForgetTreeLocked(ANewPath);
    if (TFolder* to = Young(ANewParent)) {
        if (known) {
            entry.Name = ANewName;
            entry.IsHidden = !ANewName.empty() && ANewName[0] == '.';
            to->Entries[ANewName] = std::move(entry);
        } else {
            // Whatever it is, it is there now: only a new listing can say what.
            FFolders.erase(ANewParent);
        }
    }
}

void TKvFtpListings::ForgetTree(const std::string& APath) {
    std::lock_guard lock(FLock);
    ++FGeneration;
    ForgetTreeLocked(APath);
}

void TKvFtpListings::ForgetFolder(const std::string& AFolder) {
    std::lock_guard lock(FLock);
    ++FGeneration;
    FFolders.erase(AFolder);
}

void TKvFtpListings::ForgetTreeLocked(const std::string& APath) {
    // Keys that start with the path sit together, but "/a b" comes between "/a" and "/a/x".
    for (auto it = FFolders.lower_bound(APath);
         it != FFolders.end() && it->first.compare(0, APath.size(), APath) == 0;) {
        if (it->first == APath || IsBelow(it->first, APath))
            it = FFolders.erase(it);
        else
            ++it;
    }
}

} // namespace kv
