// File search: a breadth-first walk below a folder of any file system, by name masks and
// optionally by a text the file must contain.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "Kv.FileSystem.h"
#include "Kv.Worker.h"

namespace kv {

struct TKvSearchSpec {
    // Separated by ";" or ","; a word without wildcards is looked for anywhere in the name.
    std::string Masks = "*";
    // Empty: names only.
    std::string Text;
    bool MatchCase = false;
    bool Subfolders = false;
    // Folder levels below the start folder that are searched; 0 or less means all.
    int MaxDepth = 0;
};

struct TKvSearchHit {
    std::string Path;
    std::string Name;
    std::string Dir;
    bool IsDir = false;
    int64_t Size = 0;
    TKvDateTime Modified = 0;
};

// (new hits, folders listed, folder being listed, files looked at)
using TKvSearchReport = std::function<void(std::vector<TKvSearchHit> AHits, int AFolders,
                                           const std::string& ACurrent, int AFiles)>;

TKvSearchSpec NewSearchSpec();
std::string NormalizeMasks(std::string_view AMasks);

inline constexpr int64_t KSearchBlock = 1048576;

// Whether the file holds the pattern. With AFold the file's A to Z compare as a to z (the
// pattern is expected in lower case). Files that cannot be opened or read give false.
bool FileContains(IKvFileSystem& AFs, const std::string& APath, std::string_view APattern,
                  const IKvCancelToken& AToken, bool AFold);

// Runs the whole search on the calling worker thread. Unreadable folders and files are
// skipped; cancellation raises EKvCancelled.
void RunSearch(IKvFileSystem& AFs, const std::string& AStart, const TKvSearchSpec& ASpec,
               const TKvSearchReport& AReport, const IKvCancelToken& AToken);

} // namespace kv
