// The folder compare engine: walks two trees on any two file systems, pairs their entries and
// classifies each pair, comparing file contents as text (with ignore options) or as bytes.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "Kv.FileSystem.h"
#include "Kv.Settings.h"
#include "Kv.Worker.h"

namespace kv {

TKvCompareOptions DefaultCompareOptions();
// Equal in everything that changes a result; the Show fields only filter the window's view.
bool SameCompareOptions(const TKvCompareOptions& A, const TKvCompareOptions& B);

enum class TKvCompareState {
    crPending,
    crSame,
    crSameText,
    crDiffer,
    crLeftOnly,
    crRightOnly,
    crKindClash,
    crError,
};
using enum TKvCompareState;

enum class TKvRowSide { rsLeft, rsRight };
using enum TKvRowSide;

struct TKvCompareRow {
    // Folder of the row relative to both roots, "/"-joined, empty at the top; spelled as the
    // left side spells it (the right side for a folder that only the right side has).
    std::string RelDir;
    std::string Name;
    bool HasLeft = false;
    bool HasRight = false;
    TKvFileEntry Left;
    TKvFileEntry Right;
    TKvCompareState State = crPending;
    bool IsText = false;
    std::string Note;
    // Each side's own spelling of RelDir. Names may pair without regard to case while a side
    // tells case apart, so every path on a side is built from that side's spelling.
    std::string LeftDir;
    std::string RightDir;
};

bool RowIsFolder(const TKvCompareRow& ARow);
// RelDir + "/" + Name, or Name at the top.
std::string RowPath(const TKvCompareRow& ARow);
// The side's own relative folder and entry name (the row's Name when the entry has none).
const std::string& RowSideDir(const TKvCompareRow& ARow, TKvRowSide ASide);
const std::string& RowSideName(const TKvCompareRow& ARow, TKvRowSide ASide);
// The full path of the row's name on a side, and the folder that holds it there: the folder
// is where a copy to that side goes (it exists whenever the row was reached by descending).
std::string RowSidePath(IKvFileSystem& AFs, const std::string& ARoot, const TKvCompareRow& ARow,
                        TKvRowSide ASide);
std::string RowSideFolder(IKvFileSystem& AFs, const std::string& ARoot, const TKvCompareRow& ARow,
                          TKvRowSide ASide);

struct TKvCompareScope {
    std::vector<std::string> Names;
    std::vector<std::string> Filters;
};

bool ScopeIsEmpty(const TKvCompareScope& AScope);
bool ScopeMatches(const TKvCompareScope& AScope, std::string_view AName);
std::string ScopeCaption(const TKvCompareScope& AScope);

// (rows, folder pairs listed, relative path being worked on, file pairs compared)
using TKvCompareReport = std::function<void(std::vector<TKvCompareRow> ARows, int AFolders,
                                            const std::string& ACurrent, int AFiles)>;

// The root joined by the file system's Join with each non-empty component of ARelDir, then
// with AName when given.
std::string JoinRelPath(IKvFileSystem& AFs, const std::string& ARoot, std::string_view ARelDir,
                        std::string_view AName = {});

bool IsBinaryExtension(std::string_view AFileName);
bool LooksLikeText(std::string_view ABytes, int64_t ALimit);
// Applies the ignore options that work inside a line, on ASCII bytes only.
std::string NormalizeLine(std::string_view ALine, const TKvCompareOptions& AOptions);
bool HasUtf8Bom(std::string_view ABytes);

inline constexpr int64_t KLineReaderBuffer = 262144;
inline constexpr int64_t KSampleSize = 8192;

// Buffered line reader over one stream (not owned). Endings: 0 none (last line), 1 LF,
// 2 CR LF, 3 lone CR.
class TLineReader {
public:
    // ABuffer lends storage from an earlier reader (ReleaseBuffer), saving an allocation per file.
    TLineReader(TKvStream& AStream, const IKvCancelToken& AToken, std::vector<char> ABuffer = {});
    std::vector<char> ReleaseBuffer();

    void FillTo(int64_t ACount);
    // Up to 8192 unread bytes, not consumed.
    std::string Sample() const;
    bool NextLine(std::string& ALine, int& AEnding);
    int64_t ReadRaw(char* ABuffer, int64_t ACount);
    // "mixed", "CRLF", "LF", "CR" or "none".
    std::string EolStyle() const;
    // Every byte of the stream is held: it ended within what FillTo read.
    bool HoldsAll() const { return FEof; }
    std::string_view Held() const { return {FBuf.data() + FPos, size_t(Unread())}; }

    bool SawZero = false;
    int CrLfs = 0;
    int Lfs = 0;
    int Crs = 0;

    // A line longer than this is returned in pieces without an ending, so one endless line
    // cannot take all memory.
    static constexpr int64_t KMaxLine = 16 * 1048576;

private:
    bool ReadMore();
    int64_t Unread() const { return FLen - FPos; }

    TKvStream& FStream;
    const IKvCancelToken& FToken;
    std::vector<char> FBuf;
    int64_t FLen = 0;
    int64_t FPos = 0;
    bool FEof = false;
};

TKvCompareState CompareFiles(IKvFileSystem& ALeftFs, const std::string& ALeftPath,
                             IKvFileSystem& ARightFs, std::string& ANote, bool& AIsText,
                             const IKvCancelToken& AToken, const TKvCompareOptions& AOptions,
                             int64_t ALeftSize, const std::string& ARightPath, int64_t ARightSize);

// The two-stream comparison behind CompareFiles; AFileName decides the binary extension.
TKvCompareState CompareStreams(TKvStream& ALeft, TKvStream& ARight, std::string_view AFileName,
                               int64_t ALeftSize, int64_t ARightSize, std::string& ANote,
                               bool& AIsText, const IKvCancelToken& AToken,
                               const TKvCompareOptions& AOptions);

void ClassifyRow(IKvFileSystem& ALeftFs, const std::string& ALeftRoot, IKvFileSystem& ARightFs,
                 TKvCompareRow& ARow, const IKvCancelToken& AToken,
                 const TKvCompareOptions& AOptions, const std::string& ARightRoot);

void RecheckRow(IKvFileSystem& ALeftFs, const std::string& ALeftRoot, IKvFileSystem& ARightFs,
                TKvCompareRow& ARow, const IKvCancelToken& AToken,
                const TKvCompareOptions& AOptions, const std::string& ARightRoot);

// Runs on the calling worker thread until the whole tree is done. A top-level listing failure
// raises EKvFsError, cancellation EKvCancelled; every other failure becomes a row.
void RunCompare(IKvFileSystem& ALeftFs, const std::string& ALeftRoot, IKvFileSystem& ARightFs,
                const TKvCompareReport& AReport, const IKvCancelToken& AToken,
                const TKvCompareScope& AScope, const TKvCompareOptions& AOptions,
                const std::string& ARightRoot);

} // namespace kv
