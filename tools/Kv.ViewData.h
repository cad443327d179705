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
    std::string Error;
};

// One row of the Java summary: a line, or (Hidden > 0) that many folded lines from Pos on.
struct TKvSumEntry {
    int64_t Pos = 0;
    int64_t Hidden = 0;
};

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
    std::vector<TKvSumEntry> Summary;
    int SumIndex = 0;

    // The one page request. Hex wins, then the summary (when built), then wrapped text, then
    // plain text. Read failures raise EKvFsError.
    void Page(TKvViewMode AMode, int ARows, TKvViewResult& AResult, bool ACheckJava, bool AWrap,
              bool ASummary, bool AHex, int AWrapWidth, int64_t AValue);
    // Builds Summary; returns the number of lines folded away.
    int64_t BuildSummary(const IKvCancelToken& AToken, const TKvViewProgress& AProgress);
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
