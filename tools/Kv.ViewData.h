// The viewer's paged reader: plain, wrapped, hex and Java-summary pages of a file of any size,
// read a window at a time, and a byte search with wrap-around. No Qt; the viewer window uses it
// from its own worker, one request at a time.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "Kv.FileSystem.h"
#include "Kv.ViewText.h"
#include "Kv.Worker.h"

namespace kv {

inline constexpr int64_t KViewBlock = 262144;
inline constexpr int64_t KViewScanBlock = 1048576;

enum class TKvViewMode { vmAt, vmDown, vmUp, vmEnd };
using enum TKvViewMode;

struct TKvViewResult {
    int64_t Pos = 0;
    std::vector<std::string> Lines;
    // Plain text: bytes of each row's line with its line feed; hex: bytes in the row; else 0.
    std::vector<int64_t> Lens;
    std::vector<bool> Hidden;
    std::vector<bool> Cont;
    int SubRow = 0;
    bool AtEnd = false;
    bool Java = false;
    // The file's first block is not text, so the page was made in hex though text was asked.
    bool OpenedInHex = false;
    std::string Error;
};

// One row of the Java summary: a line, or (Hidden > 0) that many folded lines from Pos on.
struct TKvSumEntry {
    int64_t Pos = 0;
    int64_t Hidden = 0;
};

// Where the summary's scan stood at a line start: the rows before it, and the open fold. A
// page is scanned again from the nearest mark, so the summary of a file of any size keeps a
// bounded number of marks rather than a row per line.
struct TKvSumMark {
    int64_t Pos = 0;
    int64_t Entries = 0;
    int64_t Frames = 0; // frames since the last other line
    int64_t RunStart = -1;
    int64_t RunCount = 0;
};

inline constexpr size_t KMaxSumMarks = 8192;

using TKvViewProgress = std::function<void(int APercent)>;

// A local temporary copy that is deleted when the stream goes.
class TKvTempStream final : public TKvStream {
public:
    TKvTempStream(TKvStreamPtr AInner, std::string ATempName);
    ~TKvTempStream() override;
    int64_t Read(void* ABuffer, int64_t ACount) override { return FInner->Read(ABuffer, ACount); }
    int64_t Write(const void* ABuffer, int64_t ACount) override {
        return FInner->Write(ABuffer, ACount);
    }
    int64_t Seek(int64_t AOffset, TKvSeekOrigin AOrigin) override {
        return FInner->Seek(AOffset, AOrigin);
    }
    int64_t Size() override { return FInner->Size(); }

private:
    TKvStreamPtr FInner;
    std::string FTempName;
};

class TKvViewData {
public:
    TKvViewData(IKvFileSystemPtr AFs, std::string APath, std::string AShown, int64_t ASize);
    ~TKvViewData();
    TKvViewData(const TKvViewData&) = delete;
    TKvViewData& operator=(const TKvViewData&) = delete;

    IKvFileSystemPtr Fs;
    std::string Path;
    std::string Shown;
    // A local copy made for viewing, deleted with this object; empty when none.
    std::string TempFile;
    // As given when the viewer opened; every clamp uses it.
    int64_t Size = 0;
    int64_t Pos = 0;
    int SubRow = 0;
    // The summary's marks (empty until built) and its number of rows.
    std::vector<TKvSumMark> SumMarks;
    int64_t SumEntries = 0;
    int64_t SumIndex = 0;
    bool HasSummary() const { return SumEntries > 0; }
    // Bytes between marks at first, and how many marks are kept before they thin out.
    int64_t SumMarkStride = KViewScanBlock;
    size_t SumMaxMarks = KMaxSumMarks;

    // The one page request. Hex wins, then the summary (when built), then wrapped text, then
    // plain text. Read failures raise EKvFsError.
    void Page(TKvViewMode AMode, int ARows, TKvViewResult& AResult, bool ACheckJava, bool AWrap,
              bool ASummary, bool AHex, int AWrapWidth, int64_t AValue);
    // Whether the file's first block reads as text (LooksLikeText). Read failures raise EKvFsError.
    bool FirstBlockIsText();
    // Builds the summary; returns the number of lines folded away.
    int64_t BuildSummary(const IKvCancelToken& AToken, const TKvViewProgress& AProgress);
    // Summary rows [AFirst, AFirst + ACount), and with ATexts the text of each (empty for folds).
    std::vector<TKvSumEntry> SummaryRows(int64_t AFirst, int64_t ACount,
                                         std::vector<std::string>* ATexts = nullptr);
    // Position of the match, or -1. With AFoldCase the file's A to Z compare as a to z.
    int64_t Find(std::string_view APattern, bool AFoldCase, bool& AWrapped,
                 const IKvCancelToken& AToken, const TKvViewProgress& AProgress, int64_t AFrom,
                 bool AForward);

    // The start of the line holding APosition (looking back at most 256 KiB).
    int64_t LineStartBefore(int64_t APosition);
    // The start of the line ACount lines above the one that starts at APosition.
    int64_t BackLines(int64_t ACount, int64_t APosition);

private:
    friend class TKvLineCache;

    void OpenStream();
    // Up to ACount bytes at APosition, never past Size.
    std::string ReadAt(int64_t ACount, int64_t APosition);

    void PlainPage(TKvViewMode AMode, int ARows, TKvViewResult& AResult, bool ACheckJava,
                   int64_t AValue);
    void WrappedPage(TKvViewMode AMode, int ARows, TKvViewResult& AResult, bool ACheckJava,
                     int AWidth, int64_t AValue);
    void HexPage(TKvViewMode AMode, int ARows, TKvViewResult& AResult, int64_t AValue);
    void SummaryPage(TKvViewMode AMode, int ARows, TKvViewResult& AResult, int64_t AValue);

    // Decodes up to ARows plain rows at APosition; returns the bytes they cover.
    int64_t DecodeRows(int64_t APosition, int ARows, std::vector<std::string>* ALines,
                       std::vector<int64_t>& ALens);
    // Scans lines from the mark's position on, calling AEmit (entry, its index, the line's bytes
    // as held, whether they reach its end) for each summary row; AEmit returns false to stop.
    // AMark, when given, is called at line starts with the state there.
    using TSumEmit = std::function<bool(const TKvSumEntry&, int64_t, std::string_view, bool)>;
    int64_t ScanSummary(TKvSumMark AFrom, const TSumEmit& AEmit,
                        const std::function<void(const TKvSumMark&)>* AMark,
                        const IKvCancelToken& AToken, const TKvViewProgress& AProgress);
    // The last mark at or before APosition, or holding fewer than AEntries rows before it.
    const TKvSumMark& MarkAtPos(int64_t APosition) const;
    const TKvSumMark& MarkAtEntry(int64_t AEntry) const;
    int64_t SearchRange(std::string_view APattern, bool AFoldCase, int64_t ALow, int64_t AHigh,
                        bool AForward, int64_t& ASearched, const IKvCancelToken& AToken,
                        const TKvViewProgress& AProgress);

    TKvStreamPtr FStream;
    // The last block read within the current request, so a movement and the page after it
    // do not read the same bytes twice.
    int64_t FBlockPos = -1;
    std::string FBlock;
};

using TKvViewDataPtr = std::shared_ptr<TKvViewData>;

// A block of the file for wrapped paging: lines are taken from it and it is reloaded around
// the position asked for when needed.
class TKvLineCache {
public:
    explicit TKvLineCache(TKvViewData& AData) : FData(AData) {}
    void Load(int64_t AAt);
    // The line at APosition, cleaned for display; ALength counts its bytes with the line feed.
    std::string LineFrom(int64_t APosition, int64_t& ALength);
    int64_t PrevStart(int64_t APosition);
    // The cached bytes of [AFrom, ATo), or empty when they are not all held.
    std::string_view Bytes(int64_t AFrom, int64_t ATo) const;

private:
    TKvViewData& FData;
    std::string FBuf;
    int64_t FBufPos = -1;
};

} // namespace kv
