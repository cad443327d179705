#include "Kv.Compare.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <deque>
#include <unordered_map>

#include "Kv.Utf8.h"

namespace kv {

namespace {

constexpr int64_t KRawBlock = 262144;
constexpr int64_t KReportMs = 150;

constexpr std::array<std::string_view, 68> KBinaryExtensions = {
    "exe",  "dll",   "so",   "o",    "obj",  "a",   "lib",    "dcu", "bpl",  "res", "pyc",  "class",
    "jar",  "war",   "ear",  "zip",  "gz",   "tgz", "bz2",    "xz",  "zst",  "7z",  "rar",  "cab",
    "msi",  "iso",   "img",  "dmg",  "png",  "jpg", "jpeg",   "gif", "bmp",  "ico", "webp", "tif",
    "tiff", "psd",   "heic", "avif", "mp3",  "mp4", "m4a",    "avi", "mkv",  "mov", "wav",  "ogg",
    "flac", "webm",  "pdf",  "doc",  "docx", "xls", "xlsx",   "ppt", "pptx", "odt", "ods",  "odp",
    "woff", "woff2", "ttf",  "otf",  "eot",  "db",  "sqlite", "mdb",
};

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

char LowerAscii(char AChar) {
    return AChar >= 'A' && AChar <= 'Z' ? char(AChar + 32) : AChar;
}

std::string LowerAscii(std::string_view AText) {
    std::string out(AText);
    for (char& c : out)
        c = LowerAscii(c);
    return out;
}

// A name folded the way masks fold it, so pairing and matching agree on what "case" means.
// Bytes that are not valid UTF-8 stay as they are.
std::string FoldName(std::string_view AName) {
    std::string out;
    out.reserve(AName.size());
    for (size_t i = 0; i < AName.size();) {
        auto byte = static_cast<unsigned char>(AName[i]);
        if (byte < 0x80) {
            out += LowerAscii(char(byte));
            ++i;
            continue;
        }
        int length = byte >= 0xC2 && byte < 0xE0    ? 2
                     : byte >= 0xE0 && byte < 0xF0  ? 3
                     : byte >= 0xF0 && byte <= 0xF4 ? 4
                                                    : 0;
        char32_t code = length ? byte & (0x7F >> length) : 0;
        bool valid = length > 0 && i + length <= AName.size();
        for (int k = 1; valid && k < length; ++k) {
            auto next = static_cast<unsigned char>(AName[i + k]);
            valid = (next & 0xC0) == 0x80;
            code = (code << 6) | (next & 0x3F);
        }
        valid = valid && !((length == 3 && code < 0x800) || (length == 4 && code < 0x10000) ||
                           code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF));
        if (!valid) {
            out += char(byte);
            ++i;
            continue;
        }
        AppendUtf8(out, FoldCase(code));
        i += length;
    }
    return out;
}

std::string Trimmed(std::string_view AText) {
    auto first = AText.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos)
        return {};
    auto last = AText.find_last_not_of(" \t\r\n");
    return std::string(AText.substr(first, last - first + 1));
}

std::string JoinRel(const std::string& ADir, const std::string& AName) {
    return ADir.empty() ? AName : ADir + "/" + AName;
}

void SplitRel(const std::string& ARel, std::string& ADir, std::string& AName) {
    auto slash = ARel.rfind('/');
    if (slash == std::string::npos) {
        ADir.clear();
        AName = ARel;
    } else {
        ADir = ARel.substr(0, slash);
        AName = ARel.substr(slash + 1);
    }
}

int EndingLength(int AEnding) {
    return AEnding == 2 ? 2 : AEnding == 0 ? 0 : 1;
}

// Storage reused from one file pair to the next, so a tree of small files does not pay for
// four fresh 256 KiB buffers per pair.
struct TCompareBuffers {
    std::vector<char> LeftReader, RightReader;
    std::vector<char> LeftRaw, RightRaw;
};

TKvCompareState CompareRawRest(TLineReader& ALeft, TLineReader& ARight, int64_t AStart,
                               std::string& ANote, const IKvCancelToken& AToken,
                               TCompareBuffers& ABuffers) {
    ABuffers.LeftRaw.resize(KRawBlock);
    ABuffers.RightRaw.resize(KRawBlock);
    char* left = ABuffers.LeftRaw.data();
    char* right = ABuffers.RightRaw.data();
    int64_t done = 0;
    for (;;) {
        CheckCancelled(AToken);
        int64_t leftCount = ALeft.ReadRaw(left, KRawBlock);
        int64_t rightCount = ARight.ReadRaw(right, KRawBlock);
        int64_t common = std::min(leftCount, rightCount);
        if (std::memcmp(left, right, static_cast<size_t>(common)) != 0) {
            int64_t index = 0;
            while (left[index] == right[index])
                ++index;
            ANote = "first difference at byte " + FormatBytes(AStart + done + index);
            return crDiffer;
        }
        if (leftCount != rightCount) {
            ANote = "one file ends at byte " + FormatBytes(AStart + done + common);
            return crDiffer;
        }
        if (leftCount == 0)
            return crSame;
        done += leftCount;
    }
}

// Reads the rest of a side and tells whether every line of it is blank under the options.
bool BlankToEnd(TLineReader& AReader, std::string AFirst, const TKvCompareOptions& AOptions) {
    std::string line = std::move(AFirst);
    int ending = 0;
    do {
        if (AReader.SawZero || !NormalizeLine(line, AOptions).empty())
            return false;
    } while (AReader.NextLine(line, ending));
    return !AReader.SawZero;
}

TKvCompareState CompareTextLines(TLineReader& ALeft, TLineReader& ARight, std::string& ANote,
                                 const IKvCancelToken& AToken, const TKvCompareOptions& AOptions,
                                 TCompareBuffers& ABuffers) {
    bool identical = true;
    int lineNo = 0;
    int64_t same = 0;
    bool eolFlag = false, bomFlag = false, spacesFlag = false, caseFlag = false, blankFlag = false;
    std::string left, right;
    int leftEnding = 0, rightEnding = 0;
    for (;;) {
        CheckCancelled(AToken);
        bool hasLeft = ALeft.NextLine(left, leftEnding);
        bool hasRight = ARight.NextLine(right, rightEnding);

        if (ALeft.SawZero || ARight.SawZero) {
            if (!identical) {
                ANote = "binary data further on";
                return crDiffer;
            }
            if (hasLeft && hasRight) {
                if (left != right || leftEnding != rightEnding) {
                    ANote = "first difference after byte " + FormatBytes(same);
                    return crDiffer;
                }
                same += int64_t(left.size()) + EndingLength(leftEnding);
            }
            if (hasLeft == hasRight)
                return CompareRawRest(ALeft, ARight, same, ANote, AToken, ABuffers);
            ANote = "one file ends at byte " + FormatBytes(same);
            return crDiffer;
        }
        if (!hasLeft && !hasRight)
            break;
        if (hasLeft != hasRight) {
            identical = false;
            ++lineNo;
            TLineReader& rest = hasLeft ? ALeft : ARight;
            if (AOptions.IgnoreEndBlankLines &&
                BlankToEnd(rest, hasLeft ? std::move(left) : std::move(right), AOptions)) {
                blankFlag = true;
                break;
            }
            if (ALeft.SawZero || ARight.SawZero) {
                ANote = "binary data further on";
                return crDiffer;
            }
            ANote = "line " + std::to_string(lineNo) + " is on one side only";
            return crDiffer;
        }
        ++lineNo;
        if (identical) {
            if (left == right && leftEnding == rightEnding) {
                same += int64_t(left.size()) + EndingLength(leftEnding);
                continue;
            }
            identical = false;
        }
        if (lineNo == 1) {
            bool leftBom = HasUtf8Bom(left), rightBom = HasUtf8Bom(right);
            if (leftBom != rightBom) {
                if (!AOptions.IgnoreBom) {
                    ANote = "UTF-8 BOM on one side only";
                    return crDiffer;
                }
                bomFlag = true;
            }
            if (leftBom)
                left.erase(0, 3);
            if (rightBom)
                right.erase(0, 3);
        }
        if (NormalizeLine(left, AOptions) != NormalizeLine(right, AOptions)) {
            ANote = "line " + std::to_string(lineNo);
            return crDiffer;
        }
        if (left != right) {
            if (AOptions.IgnoreCase) {
                TKvCompareOptions keepCase = AOptions;
                keepCase.IgnoreCase = false;
                if (NormalizeLine(left, keepCase) == NormalizeLine(right, keepCase))
                    spacesFlag = true;
                else
                    caseFlag = true;
            } else {
                spacesFlag = true;
            }
        }
        if (leftEnding != rightEnding) {
            if (!AOptions.IgnoreEol) {
                ANote = "line ending of line " + std::to_string(lineNo);
                return crDiffer;
            }
            eolFlag = true;
        }
    }
    if (identical)
        return crSame;
    std::vector<std::string> items;
    if (eolFlag)
        items.push_back("line endings " + ALeft.EolStyle() + " / " + ARight.EolStyle());
    if (bomFlag)
        items.push_back("BOM");
    if (spacesFlag)
        items.push_back("spaces");
    if (caseFlag)
        items.push_back("case");
    if (blankFlag)
        items.push_back("blank lines at the end");
    ANote = "differs only in ";
    for (size_t k = 0; k < items.size(); ++k)
        ANote += (k ? ", " : "") + items[k];
    return crSameText;
}

bool SizesDiffer(int64_t ALeftSize, int64_t ARightSize) {
    return ALeftSize >= 0 && ARightSize >= 0 && ALeftSize != ARightSize;
}

TKvCompareState CompareStreamsWith(TKvStream& ALeft, TKvStream& ARight, std::string_view AFileName,
                                   int64_t ALeftSize, int64_t ARightSize, std::string& ANote,
                                   bool& AIsText, const IKvCancelToken& AToken,
                                   const TKvCompareOptions& AOptions, TCompareBuffers& ABuffers) {
    ANote.clear();
    AIsText = false;
    bool binaryName = IsBinaryExtension(AFileName);
    if (binaryName && SizesDiffer(ALeftSize, ARightSize)) {
        ANote = "size differs";
        return crDiffer;
    }
    TLineReader left(ALeft, AToken, std::move(ABuffers.LeftReader));
    TLineReader right(ARight, AToken, std::move(ABuffers.RightReader));
    struct TGiveBack {
        TLineReader &L, &R;
        TCompareBuffers& B;
        ~TGiveBack() {
            B.LeftReader = L.ReleaseBuffer();
            B.RightReader = R.ReleaseBuffer();
        }
    } giveBack{left, right, ABuffers};
    left.FillTo(KSampleSize);
    right.FillTo(KSampleSize);
    bool text = !binaryName && LooksLikeText(left.Sample(), KSampleSize);
    // Small files held whole and equal byte for byte: every comparison below ends in crSame,
    // so it is decided here (most pairs of a synchronised tree are like this).
    size_t held = left.Held().size();
    if (!left.HoldsAll() && right.Held().size() == held && held < size_t(KLineReaderBuffer / 2)) {
        // The first read usually took the whole file; one more tells whether it ended there.
        left.FillTo(int64_t(held) + 1);
        right.FillTo(int64_t(held) + 1);
    }
    if (left.HoldsAll() && right.HoldsAll() && left.Held() == right.Held()) {
        AIsText = text && !left.SawZero;
        return crSame;
    }
    text = text && LooksLikeText(right.Sample(), KSampleSize);
    if (text) {
        TKvCompareState state = CompareTextLines(left, right, ANote, AToken, AOptions, ABuffers);
        AIsText = !left.SawZero && !right.SawZero;
        return state;
    }
    if (SizesDiffer(ALeftSize, ARightSize)) {
        ANote = "size differs";
        return crDiffer;
    }
    return CompareRawRest(left, right, 0, ANote, AToken, ABuffers);
}

TKvCompareState CompareFilesWith(IKvFileSystem& ALeftFs, const std::string& ALeftPath,
                                 IKvFileSystem& ARightFs, std::string& ANote, bool& AIsText,
                                 const IKvCancelToken& AToken, const TKvCompareOptions& AOptions,
                                 int64_t ALeftSize, const std::string& ARightPath,
                                 int64_t ARightSize, TCompareBuffers& ABuffers) {
    ANote.clear();
    AIsText = false;
    std::string name = ALeftFs.NameOf(ALeftPath);
    if (SizesDiffer(ALeftSize, ARightSize) && IsBinaryExtension(name)) {
        ANote = "size differs";
        return crDiffer;
    }
    TKvStreamPtr left = ALeftFs.OpenRead(ALeftPath);
    TKvStreamPtr right = ARightFs.OpenRead(ARightPath);
    return CompareStreamsWith(*left, *right, name, ALeftSize, ARightSize, ANote, AIsText, AToken,
                              AOptions, ABuffers);
}

void ClassifyRowWith(IKvFileSystem& ALeftFs, const std::string& ALeftRoot, IKvFileSystem& ARightFs,
                     TKvCompareRow& ARow, const IKvCancelToken& AToken,
                     const TKvCompareOptions& AOptions, const std::string& ARightRoot,
                     TCompareBuffers& ABuffers) {
    ARow.IsText = false;
    ARow.Note.clear();
    if (ARow.HasLeft && !ARow.HasRight) {
        ARow.State = crLeftOnly;
    } else if (!ARow.HasLeft && ARow.HasRight) {
        ARow.State = crRightOnly;
    } else if (!ARow.HasLeft) {
        ARow.State = crError;
        ARow.Note = "gone from both sides";
    } else if (ARow.Left.IsDir != ARow.Right.IsDir) {
        ARow.State = crKindClash;
        ARow.Note = ARow.Left.IsDir ? "a folder on the left, a file on the right"
                                    : "a file on the left, a folder on the right";
    } else if (ARow.Left.IsDir) {
        ARow.State = crSame;
        ARow.Note = "folder on both sides now, its files not compared again";
    } else {
        try {
            std::string leftPath = RowSidePath(ALeftFs, ALeftRoot, ARow, rsLeft);
            std::string rightPath = RowSidePath(ARightFs, ARightRoot, ARow, rsRight);
            ARow.State =
                CompareFilesWith(ALeftFs, leftPath, ARightFs, ARow.Note, ARow.IsText, AToken,
                                 AOptions, ARow.Left.Size, rightPath, ARow.Right.Size, ABuffers);
        } catch (const EKvCancelled&) {
            throw;
        } catch (const std::exception& e) {
            ARow.State = crError;
            ARow.IsText = false;
            ARow.Note = e.what();
        }
    }
}

// One folder pair waiting to be compared: each side's own spelling and the displayed one.
struct TFolderKey {
    std::string Left, Right, Display;
};

class TKvCompareRun {
public:
    TKvCompareRun(IKvFileSystem& ALeftFs, const std::string& ALeftRoot, IKvFileSystem& ARightFs,
                  const std::string& ARightRoot, const TKvCompareOptions& AOptions,
                  const IKvCancelToken& AToken, const TKvCompareReport& AReport,
                  const TKvCompareScope& AScope)
        : FLeftFs(ALeftFs), FRightFs(ARightFs), FLeftRoot(ALeftRoot), FRightRoot(ARightRoot),
          FOptions(AOptions), FToken(AToken), FReport(AReport), FScope(AScope),
          FExclude(Trimmed(AOptions.Exclude)) {}

    void Run() {
        FBatch.clear();
        FLastReport = NowMs();
        DoFolder(TFolderKey{}, true);
        FCurrent.clear();
        Report(true);
    }

private:
    bool Excluded(const std::string& AName) const {
        if (AName == "." || AName == "..")
            return true;
        return !FExclude.empty() && MatchesAnyMask(AName, FExclude);
    }

    void Report(bool AForce) {
        int64_t now = NowMs();
        if (!AForce && now - FLastReport < KReportMs)
            return;
        FLastReport = now;
        std::vector<TKvCompareRow> rows;
        rows.swap(FBatch);
        if (FReport)
            FReport(std::move(rows), FFolders, FCurrent, FFiles);
    }

    // Lists one side; false after adding the error row for a folder below the top.
    bool ListSide(IKvFileSystem& AFs, const std::string& ARoot, const TFolderKey& AKey, bool ATop,
                  bool ALeft, TKvFileEntries& AEntries) {
        try {
            AEntries = AFs.List(JoinRelPath(AFs, ARoot, ALeft ? AKey.Left : AKey.Right), FToken);
            return true;
        } catch (const EKvCancelled&) {
            throw;
        } catch (const std::exception& e) {
            if (ATop)
                throw EKvFsError(e.what());
            TKvCompareRow row;
            SplitRel(AKey.Display, row.RelDir, row.Name);
            std::string leftName, rightName;
            SplitRel(AKey.Left, row.LeftDir, leftName);
            SplitRel(AKey.Right, row.RightDir, rightName);
            row.HasLeft = row.HasRight = true;
            row.Left.Name = leftName;
            row.Left.IsDir = true;
            row.Right.Name = rightName;
            row.Right.IsDir = true;
            row.State = crError;
            row.Note = std::string(ALeft ? "left: " : "right: ") + e.what();
            FBatch.push_back(std::move(row));
            return false;
        }
    }

    void DoFolder(const TFolderKey& AKey, bool ATop) {
        CheckCancelled(FToken);
        FCurrent = AKey.Display;
        TKvFileEntries leftEntries, rightEntries;
        if (!ListSide(FLeftFs, FLeftRoot, AKey, ATop, true, leftEntries))
            return;
        if (!ListSide(FRightFs, FRightRoot, AKey, ATop, false, rightEntries))
            return;
        ++FFolders;

        std::unordered_map<std::string, size_t> exact;
        exact.reserve(rightEntries.size());
        for (size_t k = 0; k < rightEntries.size(); ++k)
            exact[rightEntries[k].Name] = k;
        // The case-blind index is built only when some name has no exact partner.
        std::unordered_map<std::string, size_t> folded; // SIZE_MAX: ambiguous
        bool foldedBuilt = false;
        auto foldedIndex = [&]() -> const std::unordered_map<std::string, size_t>& {
            if (!foldedBuilt) {
                foldedBuilt = true;
                folded.reserve(rightEntries.size());
                for (size_t k = 0; k < rightEntries.size(); ++k) {
                    auto [it, added] = folded.emplace(FoldName(rightEntries[k].Name), k);
                    if (!added)
                        it->second = SIZE_MAX;
                }
            }
            return folded;
        };
        std::vector<bool> paired(rightEntries.size(), false);
        auto inScope = [&](const std::string& AName) {
            return !ATop || ScopeMatches(FScope, AName);
        };

        std::vector<TKvCompareRow> rows;
        for (auto& entry : leftEntries) {
            if (Excluded(entry.Name) || !inScope(entry.Name))
                continue;
            TKvCompareRow row;
            row.RelDir = AKey.Display;
            row.LeftDir = AKey.Left;
            row.RightDir = AKey.Right;
            row.Name = entry.Name;
            row.HasLeft = true;
            size_t partner = SIZE_MAX;
            auto hit = exact.find(entry.Name);
            if (hit != exact.end() && !paired[hit->second]) {
                partner = hit->second;
            } else {
                const auto& index = foldedIndex();
                auto near = index.find(FoldName(entry.Name));
                if (near != index.end() && near->second != SIZE_MAX && !paired[near->second])
                    partner = near->second;
            }
            if (partner != SIZE_MAX) {
                paired[partner] = true;
                row.Right = rightEntries[partner];
                row.HasRight = true;
            } else {
                row.Right.Name = entry.Name;
            }
            row.Left = std::move(entry);
            rows.push_back(std::move(row));
        }
        for (size_t k = 0; k < rightEntries.size(); ++k) {
            auto& entry = rightEntries[k];
            if (paired[k] || Excluded(entry.Name) || !inScope(entry.Name))
                continue;
            TKvCompareRow row;
            row.RelDir = AKey.Display;
            row.LeftDir = AKey.Left;
            row.RightDir = AKey.Right;
            row.Name = entry.Name;
            row.Left.Name = entry.Name;
            row.HasRight = true;
            row.Right = std::move(entry);
            rows.push_back(std::move(row));
        }

        std::vector<std::string> keys(rows.size());
        for (size_t k = 0; k < rows.size(); ++k)
            keys[k] = LowerAscii(rows[k].Name);
        std::vector<size_t> order(rows.size());
        for (size_t k = 0; k < order.size(); ++k)
            order[k] = k;
        std::sort(order.begin(), order.end(), [&](size_t A, size_t B) {
            bool folderA = RowIsFolder(rows[A]), folderB = RowIsFolder(rows[B]);
            if (folderA != folderB)
                return folderA;
            if (int c = keys[A].compare(keys[B]); c != 0)
                return c < 0;
            return rows[A].Name < rows[B].Name;
        });

        std::vector<TFolderKey> descend;
        for (size_t index : order) {
            CheckCancelled(FToken);
            TKvCompareRow& row = rows[index];
            bool bothPresent = row.HasLeft && row.HasRight;
            if (bothPresent && row.Left.IsDir && row.Right.IsDir) {
                if (FOptions.Subfolders && !row.Left.IsLink && !row.Right.IsLink)
                    descend.push_back(TFolderKey{JoinRel(AKey.Left, row.Left.Name),
                                                 JoinRel(AKey.Right, row.Right.Name),
                                                 RowPath(row)});
                continue;
            }
            if (bothPresent && !row.Left.IsDir && !row.Right.IsDir) {
                ++FFiles;
                FCurrent = RowPath(row);
                Report(false);
            }
            ClassifyRowWith(FLeftFs, FLeftRoot, FRightFs, row, FToken, FOptions, FRightRoot,
                            FBuffers);
            FBatch.push_back(std::move(row));
            Report(false);
        }
        for (const auto& key : descend)
            DoFolder(key, false);
    }

    IKvFileSystem& FLeftFs;
    IKvFileSystem& FRightFs;
    std::string FLeftRoot, FRightRoot;
    TKvCompareOptions FOptions;
    const IKvCancelToken& FToken;
    const TKvCompareReport& FReport;
    const TKvCompareScope& FScope;
    std::vector<TKvCompareRow> FBatch;
    int FFolders = 0;
    int FFiles = 0;
    int64_t FLastReport = 0;
    std::string FCurrent;
    std::string FExclude;
    TCompareBuffers FBuffers;
};

} // namespace

TKvCompareOptions DefaultCompareOptions() {
    return TKvCompareOptions{};
}

bool SameCompareOptions(const TKvCompareOptions& A, const TKvCompareOptions& B) {
    return A.Subfolders == B.Subfolders && A.IgnoreEol == B.IgnoreEol &&
           A.IgnoreBom == B.IgnoreBom && A.IgnoreTrailingSpace == B.IgnoreTrailingSpace &&
           A.IgnoreSpaceChange == B.IgnoreSpaceChange &&
           A.IgnoreEndBlankLines == B.IgnoreEndBlankLines && A.IgnoreCase == B.IgnoreCase &&
           A.Exclude == B.Exclude;
}

bool RowIsFolder(const TKvCompareRow& ARow) {
    return (ARow.HasLeft && ARow.Left.IsDir) || (ARow.HasRight && ARow.Right.IsDir);
}

std::string RowPath(const TKvCompareRow& ARow) {
    return JoinRel(ARow.RelDir, ARow.Name);
}

const std::string& RowSideDir(const TKvCompareRow& ARow, TKvRowSide ASide) {
    const std::string& own = ASide == rsLeft ? ARow.LeftDir : ARow.RightDir;
    return own.empty() ? ARow.RelDir : own;
}

const std::string& RowSideName(const TKvCompareRow& ARow, TKvRowSide ASide) {
    const std::string& own = ASide == rsLeft ? ARow.Left.Name : ARow.Right.Name;
    return own.empty() ? ARow.Name : own;
}

std::string RowSidePath(IKvFileSystem& AFs, const std::string& ARoot, const TKvCompareRow& ARow,
                        TKvRowSide ASide) {
    return JoinRelPath(AFs, ARoot, RowSideDir(ARow, ASide), RowSideName(ARow, ASide));
}

std::string RowSideFolder(IKvFileSystem& AFs, const std::string& ARoot, const TKvCompareRow& ARow,
                          TKvRowSide ASide) {
    return JoinRelPath(AFs, ARoot, RowSideDir(ARow, ASide));
}

bool ScopeIsEmpty(const TKvCompareScope& AScope) {
    return AScope.Names.empty() && AScope.Filters.empty();
}

bool ScopeMatches(const TKvCompareScope& AScope, std::string_view AName) {
    if (ScopeIsEmpty(AScope))
        return true;
    if (!AScope.Names.empty()) {
        std::string folded = FoldName(AName);
        for (const auto& name : AScope.Names)
            if (FoldName(name) == folded)
                return true;
    }
    for (const auto& filter : AScope.Filters)
        if (MatchesQuickFilter(AName, filter))
            return true;
    return false;
}

std::string ScopeCaption(const TKvCompareScope& AScope) {
    std::string text;
    if (!AScope.Names.empty())
        text = std::to_string(AScope.Names.size()) + " marked";
    for (const auto& filter : AScope.Filters) {
        if (!text.empty())
            text += ", ";
        text += "filter " + filter;
    }
    return text;
}

std::string JoinRelPath(IKvFileSystem& AFs, const std::string& ARoot, std::string_view ARelDir,
                        std::string_view AName) {
    std::string path = ARoot;
    size_t start = 0;
    while (start <= ARelDir.size()) {
        size_t slash = ARelDir.find('/', start);
        if (slash == std::string_view::npos)
            slash = ARelDir.size();
        if (slash > start)
            path = AFs.Join(path, std::string(ARelDir.substr(start, slash - start)));
        start = slash + 1;
    }
    if (!AName.empty())
        path = AFs.Join(path, std::string(AName));
    return path;
}

bool IsBinaryExtension(std::string_view AFileName) {
    std::string_view extension = ExtensionOf(AFileName);
    if (extension.size() < 2)
        return false;
    std::string lower = LowerAscii(extension.substr(1));
    return std::find(KBinaryExtensions.begin(), KBinaryExtensions.end(), lower) !=
           KBinaryExtensions.end();
}

bool LooksLikeText(std::string_view ABytes, int64_t ALimit) {
    size_t length = std::min<size_t>(ABytes.size(), ALimit < 0 ? 0 : size_t(ALimit));
    if (length == 0)
        return true;
    auto byte = [&](size_t AIndex) { return static_cast<unsigned char>(ABytes[AIndex]); };
    if (length >= 2 &&
        ((byte(0) == 0xFF && byte(1) == 0xFE) || (byte(0) == 0xFE && byte(1) == 0xFF)))
        return false;
    if (std::memchr(ABytes.data(), 0, length))
        return false;
    // Control bytes: 1 to 7, 14 to 25 and 28 to 31 (tab, line ends, form feed, backspace,
    // 26 and 27 are at home in text).
    constexpr uint32_t KControlMask = 0xF3FFC0FEu;
    size_t controls = 0;
    for (size_t k = 0; k < length; ++k) {
        unsigned char c = byte(k);
        controls += c < 32 ? (KControlMask >> c) & 1 : 0;
    }
    return length >= 100 * controls;
}

std::string NormalizeLine(std::string_view ALine, const TKvCompareOptions& AOptions) {
    if (AOptions.IgnoreTrailingSpace) {
        size_t end = ALine.size();
        while (end > 0 && (ALine[end - 1] == ' ' || ALine[end - 1] == '\t'))
            --end;
        ALine = ALine.substr(0, end);
    }
    std::string out;
    out.reserve(ALine.size());
    for (size_t k = 0; k < ALine.size(); ++k) {
        char c = ALine[k];
        if (AOptions.IgnoreSpaceChange && (c == ' ' || c == '\t')) {
            while (k + 1 < ALine.size() && (ALine[k + 1] == ' ' || ALine[k + 1] == '\t'))
                ++k;
            out += ' ';
            continue;
        }
        out += AOptions.IgnoreCase ? LowerAscii(c) : c;
    }
    return out;
}

bool HasUtf8Bom(std::string_view ABytes) {
    return ABytes.substr(0, 3) == "\xEF\xBB\xBF";
}

// ---- TLineReader ----

TLineReader::TLineReader(TKvStream& AStream, const IKvCancelToken& AToken,
                         std::vector<char> ABuffer)
    : FStream(AStream), FToken(AToken), FBuf(std::move(ABuffer)) {
    // A buffer that grew for one long line is not kept for the next file.
    if (FBuf.size() != size_t(KLineReaderBuffer)) {
        FBuf.clear();
        FBuf.shrink_to_fit();
        FBuf.resize(KLineReaderBuffer);
    }
}

std::vector<char> TLineReader::ReleaseBuffer() {
    FLen = FPos = 0;
    return std::move(FBuf);
}

bool TLineReader::ReadMore() {
    CheckCancelled(FToken);
    if (FEof)
        return false;
    if (FPos > 0) {
        std::memmove(FBuf.data(), FBuf.data() + FPos, size_t(Unread()));
        FLen -= FPos;
        FPos = 0;
    }
    if (FLen >= int64_t(FBuf.size()) - 1024)
        FBuf.resize(FBuf.size() * 2);
    int64_t count = FStream.Read(FBuf.data() + FLen, int64_t(FBuf.size()) - FLen);
    if (count <= 0) {
        FEof = true;
        return false;
    }
    if (!SawZero && std::memchr(FBuf.data() + FLen, 0, size_t(count)))
        SawZero = true;
    FLen += count;
    return true;
}

void TLineReader::FillTo(int64_t ACount) {
    while (Unread() < ACount && ReadMore()) {
    }
}

std::string TLineReader::Sample() const {
    return std::string(FBuf.data() + FPos, size_t(std::min(Unread(), KSampleSize)));
}

bool TLineReader::NextLine(std::string& ALine, int& AEnding) {
    int64_t scanned = 0; // bytes after FPos known to hold no line end
    for (;;) {
        const char* start = FBuf.data() + FPos;
        int64_t held = Unread();
        int64_t k = scanned;
        while (k < held && start[k] != '\n' && start[k] != '\r')
            ++k;
        if (k < held) {
            int64_t next = k + 1;
            if (start[k] == '\n') {
                AEnding = 1;
            } else if (k + 1 < held) {
                AEnding = start[k + 1] == '\n' ? 2 : 3;
                next = AEnding == 2 ? k + 2 : k + 1;
            } else if (!FEof && ReadMore()) {
                // A CR that ends what is held may be half of a CR LF; decide after reading on.
                scanned = k;
                continue;
            } else {
                AEnding = 3;
            }
            ALine.assign(start, size_t(k));
            FPos += next;
            (AEnding == 1 ? Lfs : AEnding == 2 ? CrLfs : Crs)++;
            return true;
        }
        if (held >= KMaxLine) {
            ALine.assign(start, size_t(KMaxLine));
            FPos += KMaxLine;
            AEnding = 0;
            return true;
        }
        scanned = held;
        if (!ReadMore()) {
            if (Unread() == 0)
                return false;
            ALine.assign(FBuf.data() + FPos, size_t(Unread()));
            FPos = FLen;
            AEnding = 0;
            return true;
        }
    }
}

int64_t TLineReader::ReadRaw(char* ABuffer, int64_t ACount) {
    int64_t done = 0;
    while (done < ACount) {
        if (Unread() == 0 && !ReadMore())
            break;
        int64_t take = std::min(Unread(), ACount - done);
        std::memcpy(ABuffer + done, FBuf.data() + FPos, size_t(take));
        FPos += take;
        done += take;
    }
    return done;
}

std::string TLineReader::EolStyle() const {
    int kinds = (CrLfs > 0) + (Lfs > 0) + (Crs > 0);
    if (kinds > 1)
        return "mixed";
    if (CrLfs > 0)
        return "CRLF";
    if (Lfs > 0)
        return "LF";
    if (Crs > 0)
        return "CR";
    return "none";
}

// ---- Public comparisons ----

TKvCompareState CompareStreams(TKvStream& ALeft, TKvStream& ARight, std::string_view AFileName,
                               int64_t ALeftSize, int64_t ARightSize, std::string& ANote,
                               bool& AIsText, const IKvCancelToken& AToken,
                               const TKvCompareOptions& AOptions) {
    TCompareBuffers buffers;
    return CompareStreamsWith(ALeft, ARight, AFileName, ALeftSize, ARightSize, ANote, AIsText,
                              AToken, AOptions, buffers);
}

TKvCompareState CompareFiles(IKvFileSystem& ALeftFs, const std::string& ALeftPath,
                             IKvFileSystem& ARightFs, std::string& ANote, bool& AIsText,
                             const IKvCancelToken& AToken, const TKvCompareOptions& AOptions,
                             int64_t ALeftSize, const std::string& ARightPath, int64_t ARightSize) {
    TCompareBuffers buffers;
    return CompareFilesWith(ALeftFs, ALeftPath, ARightFs, ANote, AIsText, AToken, AOptions,
                            ALeftSize, ARightPath, ARightSize, buffers);
}

void ClassifyRow(IKvFileSystem& ALeftFs, const std::string& ALeftRoot, IKvFileSystem& ARightFs,
                 TKvCompareRow& ARow, const IKvCancelToken& AToken,
                 const TKvCompareOptions& AOptions, const std::string& ARightRoot) {
    TCompareBuffers buffers;
    ClassifyRowWith(ALeftFs, ALeftRoot, ARightFs, ARow, AToken, AOptions, ARightRoot, buffers);
}

void RecheckRow(IKvFileSystem& ALeftFs, const std::string& ALeftRoot, IKvFileSystem& ARightFs,
                TKvCompareRow& ARow, const IKvCancelToken& AToken,
                const TKvCompareOptions& AOptions, const std::string& ARightRoot) {
    std::string leftName = RowSideName(ARow, rsLeft);
    std::string rightName = RowSideName(ARow, rsRight);
    try {
        TKvFileEntry entry;
        ARow.HasLeft = ALeftFs.Stat(RowSidePath(ALeftFs, ALeftRoot, ARow, rsLeft), entry);
        ARow.Left = ARow.HasLeft ? entry : TKvFileEntry{};
        ARow.Left.Name = leftName;
        ARow.HasRight = ARightFs.Stat(RowSidePath(ARightFs, ARightRoot, ARow, rsRight), entry);
        ARow.Right = ARow.HasRight ? entry : TKvFileEntry{};
        ARow.Right.Name = rightName;
    } catch (const EKvCancelled&) {
        throw;
    } catch (const std::exception& e) {
        ARow.State = crError;
        ARow.IsText = false;
        ARow.Note = e.what();
        return;
    }
    ClassifyRow(ALeftFs, ALeftRoot, ARightFs, ARow, AToken, AOptions, ARightRoot);
}

void RunCompare(IKvFileSystem& ALeftFs, const std::string& ALeftRoot, IKvFileSystem& ARightFs,
                const TKvCompareReport& AReport, const IKvCancelToken& AToken,
                const TKvCompareScope& AScope, const TKvCompareOptions& AOptions,
                const std::string& ARightRoot) {
    TKvCompareRun run(ALeftFs, ALeftRoot, ARightFs, ARightRoot, AOptions, AToken, AReport, AScope);
    run.Run();
}

} // namespace kv
