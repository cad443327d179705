// The folder listings an FTP file system has read, kept for a short while so that a copy of many
// files asks the server "is this name free?" without listing the folder again for every file.
// Every change the file system makes itself is written into the kept listings; a failed change
// drops them. Only absences and folders are answered from here: a file's size and time are asked
// fresh, since an edit session compares them to see whether someone else changed the file.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <unordered_map>

#include "Kv.FileSystem.h"

namespace kv {

// How long a listing answers for its folder after it was read.
inline constexpr uint64_t KFtpListingKeepMs = 10000;

class TKvFtpListings {
public:
    enum TKvLookup { lkUnknown, lkAbsent, lkFound };

    // AKeepMs: the life of a listing; ANow: the clock, in milliseconds.
    explicit TKvFtpListings(uint64_t AKeepMs = KFtpListingKeepMs, uint64_t (*ANow)() = nullptr);

    // Take before a listing is read; Store keeps it only when nothing changed meanwhile (a
    // listing that raced with an upload may lack the uploaded file).
    uint64_t Generation();
    void Store(const std::string& AFolder, const TKvFileEntries& AEntries, uint64_t AGeneration);
    // lkUnknown when AFolder has no listing that is still young.
    TKvLookup Find(const std::string& AFolder, const std::string& AName, TKvFileEntry& AEntry);

    // What the file system changed; folders without a listing are left alone.
    void Put(const std::string& AFolder, const TKvFileEntry& AEntry);
    void Remove(const std::string& AFolder, const std::string& AName);
    // A folder was made. Its own listing is not taken as empty: someone may put files into it
    // before the copy gets there, and those must not be overwritten unasked.
    void Made(const std::string& AParent, const std::string& AName);
    void Renamed(const std::string& AOldParent, const std::string& AOldName,
                 const std::string& ANewParent, const std::string& ANewName,
                 const std::string& AOldPath, const std::string& ANewPath);
    // Drops APath's own listing and those below it (a folder renamed, removed or in doubt).
    void ForgetTree(const std::string& APath);
    void ForgetFolder(const std::string& AFolder);
    // Listings kept, young or not yet swept.
    size_t Count();

private:
    struct TFolder {
        uint64_t Read = 0; // when it was listed (or made)
        std::unordered_map<std::string, TKvFileEntry> Entries;
    };

    TFolder* Young(const std::string& AFolder);
    void ForgetTreeLocked(const std::string& APath);

    std::mutex FLock;
    std::map<std::string, TFolder> FFolders;
    uint64_t FGeneration = 0;
    uint64_t FKeepMs;
    uint64_t (*FNow)();
};

} // namespace kv
