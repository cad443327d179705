#include "Kv.Search.h"

#include <chrono>
#include <cstring>
#include <deque>

namespace kv {

namespace {

constexpr size_t KReportHits = 100;
constexpr int64_t KReportMs = 150;

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void LowerAsciiInPlace(char* AData, size_t ACount) {
    for (size_t k = 0; k < ACount; ++k)
        AData[k] = char(AData[k] + ((unsigned char)(AData[k] - 'A') < 26 ? 32 : 0));
}

struct TQueued {
    std::string Path;
    int Depth = 0;
};

class TSearchRun {
public:
    TSearchRun(const TKvSearchReport& AReport) : FReport(AReport), FLast(NowMs()) {}

    void Report(bool AForce) {
        int64_t now = NowMs();
        if (!AForce && FPending.size() < KReportHits && now - FLast < KReportMs)
            return;
        FLast = now;
        std::vector<TKvSearchHit> hits;
        hits.swap(FPending);
        if (FReport)
            FReport(std::move(hits), Folders, Current, Files);
    }

    void Add(IKvFileSystem& AFs, const std::string& ADir, const TKvFileEntry& AEntry) {
        FPending.push_back(TKvSearchHit{AFs.Join(ADir, AEntry.Name), AEntry.Name, ADir,
                                        AEntry.IsDir, AEntry.Size, AEntry.Modified});
    }

    int Folders = 0;
    int Files = 0;
    std::string Current;

private:
    const TKvSearchReport& FReport;
    std::vector<TKvSearchHit> FPending;
    int64_t FLast;
};

std::string Trim(std::string_view AText) {
    auto first = AText.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos)
        return {};
    auto last = AText.find_last_not_of(" \t\r\n");
    return std::string(AText.substr(first, last - first + 1));
}

} // namespace

TKvSearchSpec NewSearchSpec() {
    return TKvSearchSpec{};
}

std::string NormalizeMasks(std::string_view AMasks) {
    std::string out;
    size_t start = 0;
    while (start <= AMasks.size()) {
        size_t end = AMasks.find_first_of(";,", start);
        if (end == std::string_view::npos)
            end = AMasks.size();
        std::string piece = Trim(AMasks.substr(start, end - start));
        start = end + 1;
        if (piece.empty())
            continue;
        if (piece.find_first_of("*?") == std::string::npos)
            piece = "*" + piece + "*";
        if (!out.empty())
            out += ';';
        out += piece;
    }
    return out.empty() ? "*" : out;
}

bool FileContains(IKvFileSystem& AFs, const std::string& APath, std::string_view APattern,
                  const IKvCancelToken& AToken, bool AFold) {
    if (APattern.empty())
        return true;
    TKvStreamPtr stream;
    try {
        stream = AFs.OpenRead(APath);
    } catch (const EKvCancelled&) {
        throw;
    } catch (const std::exception&) {
        return false;
    }
    std::string pattern(APattern);
    if (AFold)
        LowerAsciiInPlace(pattern.data(), pattern.size());
    const size_t keep = pattern.size() - 1;
    std::vector<char> buffer(pattern.size() + size_t(KSearchBlock));
    size_t held = 0;
    try {
        for (;;) {
            CheckCancelled(AToken);
            int64_t count = stream->Read(buffer.data() + held, KSearchBlock);
            if (count <= 0)
                return false;
            if (AFold)
                LowerAsciiInPlace(buffer.data() + held, size_t(count));
            held += size_t(count);
            if (held >= pattern.size() &&
                ::memmem(buffer.data(), held, pattern.data(), pattern.size()) != nullptr)
                return true;
            // The tail that could begin a match across the next read.
            size_t tail = std::min(keep, held);
            std::memmove(buffer.data(), buffer.data() + held - tail, tail);
            held = tail;
        }
    } catch (const EKvCancelled&) {
        throw;
    } catch (const std::exception&) {
        return false;
    }
}

void RunSearch(IKvFileSystem& AFs, const std::string& AStart, const TKvSearchSpec& ASpec,
               const TKvSearchReport& AReport, const IKvCancelToken& AToken) {
    std::string masks = NormalizeMasks(ASpec.Masks);
    std::string pattern = ASpec.Text;
    if (!ASpec.MatchCase)
        LowerAsciiInPlace(pattern.data(), pattern.size());
    auto* tryList = dynamic_cast<IKvTryList*>(&AFs);

    TSearchRun run(AReport);
    std::deque<TQueued> queue;
    queue.push_back({AStart, 0});
    TKvFileEntries entries;
    while (!queue.empty()) {
        TQueued folder = std::move(queue.front());
        queue.pop_front();
        CheckCancelled(AToken);
        run.Current = folder.Path;
        bool readable = false;
        if (tryList) {
            readable = tryList->TryList(folder.Path, AToken, entries);
        } else {
            try {
                entries = AFs.List(folder.Path, AToken);
                readable = true;
            } catch (const EKvCancelled&) {
                throw;
            } catch (const std::exception&) {
                readable = false;
            }
        }
        if (!readable) {
            run.Report(false);
            continue;
        }
        ++run.Folders;
        for (const auto& entry : entries) {
            CheckCancelled(AToken);
            if (entry.IsDir) {
                if (ASpec.Subfolders && !entry.IsLink &&
                    (ASpec.MaxDepth <= 0 || folder.Depth < ASpec.MaxDepth))
                    queue.push_back({AFs.Join(folder.Path, entry.Name), folder.Depth + 1});
                if (pattern.empty() && MatchesAnyMask(entry.Name, masks))
                    run.Add(AFs, folder.Path, entry);
            } else {
                ++run.Files;
                if (MatchesAnyMask(entry.Name, masks)) {
                    if (pattern.empty()) {
                        run.Add(AFs, folder.Path, entry);
                    } else {
                        std::string path = AFs.Join(folder.Path, entry.Name);
                        if ((!tryList || tryList->CanRead(path)) &&
                            FileContains(AFs, path, pattern, AToken, !ASpec.MatchCase))
                            run.Add(AFs, folder.Path, entry);
                    }
                }
            }
            run.Report(false);
        }
    }
    run.Report(true);
}

} // namespace kv
