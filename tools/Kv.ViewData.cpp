#include "Kv.ViewData.h"

#include <algorithm>
#include <cstring>
#include <random>

#include "Kv.FS.Local.h"
#include "Kv.Platform.Folders.h"

namespace kv {

namespace {

// Where a short line near the end of a summary block is read again from the next block, so
// every line is classified from its first 512 bytes.
constexpr int64_t KSummaryTail = 512;
constexpr size_t KMinSummaryMarks = 256;

std::string NewGuidText() {
    std::random_device random;
    static const char digits[] = "0123456789ABCDEF";
    std::string guid = "{";
    for (int k = 0; k < 32; ++k) {
        if (k == 8 || k == 12 || k == 16 || k == 20)
            guid += '-';
        guid += digits[random() & 15];
    }
    guid += '}';
    return guid;
}

void LowerAsciiInPlace(char* AData, size_t ACount) {
    for (size_t k = 0; k < ACount; ++k)
        if (AData[k] >= 'A' && AData[k] <= 'Z')
            AData[k] = char(AData[k] + 32);
}

const IKvCancelToken& NeverCancelled() {
    static TKvCancelToken token;
    return token;
}

std::string FoldedRowText(int64_t ACount) {
    return "        ... " + std::to_string(ACount) + " lines hidden (F1 = all)";
}

} // namespace

// ---- TKvTempStream ----

TKvTempStream::TKvTempStream(TKvStreamPtr AInner, std::string ATempName)
    : FInner(std::move(AInner)), FTempName(std::move(ATempName)) {}

TKvTempStream::~TKvTempStream() {
    FInner.reset();
    try {
        LocalFs()->DeleteFileAt(FTempName);
    } catch (const std::exception&) {
        // Already gone; the start-up sweep would take it otherwise.
    }
}

// ---- TKvViewData ----

TKvViewData::TKvViewData(IKvFileSystemPtr AFs, std::string APath, std::string AShown, int64_t ASize)
    : Fs(std::move(AFs)), Path(std::move(APath)), Shown(std::move(AShown)),
      Size(std::max<int64_t>(ASize, 0)) {}

TKvViewData::~TKvViewData() {
    FStream.reset();
    if (!TempFile.empty()) {
        try {
            LocalFs()->DeleteFileAt(TempFile);
        } catch (const std::exception&) {
        }
    }
}

void TKvViewData::OpenStream() {
    if (FStream)
        return;
    // Archive entries cannot seek; a local copy can.
    if (Fs->ReadOnly() && Fs->DisplayPrefix().empty()) {
        auto local = LocalFs();
        std::string copy = local->Join(PrivateTempFolder(), "kvarc-view-" + NewGuidText() + ".tmp");
        try {
            TKvStreamPtr source = Fs->OpenRead(Path);
            TKvStreamPtr target = local->OpenWrite(copy);
            std::vector<char> buffer(KViewBlock);
            for (;;) {
                int64_t count = source->Read(buffer.data(), KViewBlock);
                if (count <= 0)
                    break;
                target->WriteAll(buffer.data(), count);
            }
            target.reset();
            FStream = std::make_unique<TKvTempStream>(local->OpenRead(copy), copy);
        } catch (...) {
            try {
                local->DeleteFileAt(copy);
            } catch (const std::exception&) {
            }
            throw;
        }
        return;
    }
    FStream = Fs->OpenRead(Path);
}

std::string TKvViewData::ReadAt(int64_t ACount, int64_t APosition) {
    if (APosition < 0 || APosition >= Size || ACount <= 0)
        return {};
    int64_t count = std::min(ACount, Size - APosition);
    if (FBlockPos >= 0 && APosition >= FBlockPos) {
        int64_t offset = APosition - FBlockPos;
        int64_t held = int64_t(FBlock.size());
        bool heldToEnd = FBlockPos + held >= Size;
        if (offset + count <= held || (heldToEnd && offset <= held))
            return FBlock.substr(size_t(offset), size_t(std::min(count, held - offset)));
    }
    OpenStream();
    FStream->Seek(APosition, soBegin);
    std::string data(size_t(count), '\0');
    data.resize(size_t(FStream->ReadFully(data.data(), count)));
    if (count >= KViewBlock / 2) {
        FBlockPos = APosition;
        FBlock = data;
    }
    return data;
}

int64_t TKvViewData::LineStartBefore(int64_t APosition) {
    if (APosition <= 0)
        return 0;
    APosition = std::min(APosition, Size);
    int64_t start = std::max<int64_t>(0, APosition - KViewBlock);
    std::string data = ReadAt(APosition - start, start);
    const void* lf = ::memrchr(data.data(), '\n', data.size());
    return lf ? start + (static_cast<const char*>(lf) - data.data()) + 1 : start;
}

int64_t TKvViewData::BackLines(int64_t ACount, int64_t APosition) {
    APosition = std::clamp<int64_t>(APosition, 0, Size);
    if (ACount <= 0)
        return APosition;
    int64_t end = APosition;
    int64_t found = 0;
    bool skipped = false;
    // A stretch of 256 KiB without a line feed counts as a line of its own, as paging down
    // shows it: otherwise End in a huge file without line feeds would read all of it.
    int64_t boundary = APosition;
    while (end > 0) {
        int64_t start = std::max<int64_t>(0, end - KViewBlock);
        std::string data = ReadAt(end - start, start);
        int64_t k = int64_t(data.size()) - 1;
        if (!skipped) {
            // The line feed that ends the line above the position.
            skipped = true;
            if (int64_t(data.size()) == end - start)
                --k;
        }
        // Between line feeds, the stretch boundaries follow from the arithmetic alone.
        while (true) {
            const void* lf = k >= 0 ? ::memrchr(data.data(), '\n', size_t(k + 1)) : nullptr;
            int64_t lfIndex = lf ? static_cast<const char*>(lf) - data.data() : -1;
            int64_t lfAt = lf ? start + lfIndex : -1;
            for (int64_t at = boundary - KViewBlock; at > lfAt && at >= start;
                 at = boundary - KViewBlock) {
                boundary = at;
                if (++found == ACount)
                    return boundary;
            }
            if (!lf)
                break;
            boundary = lfAt + 1;
            if (++found == ACount)
                return boundary;
            k = lfIndex - 1;
        }
        end = start;
    }
    return 0;
}

bool TKvViewData::FirstBlockIsText() { return LooksLikeText(ReadAt(KViewBlock, 0)); }

void TKvViewData::Page(TKvViewMode AMode, int ARows, TKvViewResult& AResult, bool ACheckJava,
                       bool AWrap, bool ASummary, bool AHex, int AWrapWidth, int64_t AValue) {
    AResult = TKvViewResult{};
    FBlockPos = -1;
    FBlock.clear();
    ARows = std::max(ARows, 1);
    if (AHex)
        HexPage(AMode, ARows, AResult, AValue);
    else if (ASummary && HasSummary())
        SummaryPage(AMode, ARows, AResult, AValue);
    else if (AWrap)
        WrappedPage(AMode, ARows, AResult, ACheckJava, AWrapWidth, AValue);
    else
        PlainPage(AMode, ARows, AResult, ACheckJava, AValue);
    FBlockPos = -1;
    FBlock.clear();
}

// ---- Plain text ----

int64_t TKvViewData::DecodeRows(int64_t APosition, int ARows, std::vector<std::string>* ALines,
                                std::vector<int64_t>& ALens) {
    ALens.clear();
    int64_t covered = 0;
    // A block at a time: a line cut by a block's end is taken again from its start in the
    // next one, and 256 KiB without a line feed make a row of their own (as moving back counts
    // them), so the lines after a very long one still fill the page.
    while (int(ALens.size()) < ARows && APosition + covered < Size) {
        std::string block = ReadAt(KViewBlock, APosition + covered);
        if (block.empty())
            break;
        bool full = int64_t(block.size()) == KViewBlock;
        size_t at = 0;
        while (int(ALens.size()) < ARows && at < block.size()) {
            size_t lf = block.find('\n', at);
            size_t length;
            if (lf != std::string::npos) {
                length = lf - at + 1;
            } else {
                if (full && at > 0)
                    break;
                length = block.size() - at;
            }
            if (ALines) {
                size_t text = lf != std::string::npos ? lf - at : length;
                ALines->push_back(DecodeViewLine(std::string_view(block).substr(at, text)));
            }
            ALens.push_back(int64_t(length));
            at += length;
        }
        covered += int64_t(at);
        if (!full)
            break;
    }
    return covered;
}

void TKvViewData::PlainPage(TKvViewMode AMode, int ARows, TKvViewResult& AResult, bool ACheckJava,
                            int64_t AValue) {
    SubRow = 0;
    int64_t position = Pos;
    std::vector<int64_t> lens;
    switch (AMode) {
    case vmAt:
        position = LineStartBefore(std::clamp<int64_t>(AValue, 0, Size));
        break;
    case vmDown: {
        int64_t value = std::max<int64_t>(AValue, 0);
        int rows = int(std::min<int64_t>(value + 1, 1 << 20));
        DecodeRows(Pos, rows, nullptr, lens);
        int64_t moved = Pos;
        int64_t steps = std::min<int64_t>(value, int64_t(lens.size()) - 1);
        for (int64_t k = 0; k < steps; ++k)
            moved += lens[size_t(k)];
        if (moved < Size)
            position = moved;
        break;
    }
    case vmUp:
        position = BackLines(AValue, Pos);
        break;
    case vmEnd:
        position = BackLines(ARows, Size);
        break;
    }
    std::vector<std::string> lines;
    int64_t covered = DecodeRows(position, ARows, &lines, lens);
    if (int(lines.size()) < ARows && position > 0 && position + covered >= Size) {
        // The last page is always full when the file has the lines for it.
        int64_t back = BackLines(ARows, Size);
        if (back < position) {
            position = back;
            lines.clear();
            covered = DecodeRows(position, ARows, &lines, lens);
        }
    }
    Pos = position;
    AResult.Pos = position;
    AResult.Lines = std::move(lines);
    AResult.Lens = lens;
    AResult.Hidden.assign(AResult.Lines.size(), false);
    AResult.Cont.assign(AResult.Lines.size(), false);
    AResult.AtEnd = position + covered >= Size;
    if (ACheckJava) {
        std::string bytes = ReadAt(std::min(covered, KViewBlock), position);
        AResult.Java = LooksLikeJava(bytes, int64_t(bytes.size()));
    }
}

// ---- Wrapped text ----

void TKvLineCache::Load(int64_t AAt) {
    FBufPos = std::max<int64_t>(AAt, 0);
    FBuf = FData.ReadAt(KViewBlock, FBufPos);
}

std::string TKvLineCache::LineFrom(int64_t APosition, int64_t& ALength) {
    ALength = 0;
    auto inside = [&] {
        return FBufPos >= 0 && APosition >= FBufPos && APosition < FBufPos + int64_t(FBuf.size());
    };
    if (!inside())
        Load(APosition - 65536);
    if (!inside())
        return {};
    size_t offset = size_t(APosition - FBufPos);
    size_t lf = FBuf.find('\n', offset);
    if (lf == std::string::npos && FBufPos + int64_t(FBuf.size()) < FData.Size && offset != 0) {
        Load(APosition);
        offset = 0;
        lf = FBuf.find('\n');
    }
    size_t end = lf == std::string::npos ? FBuf.size() : lf;
    ALength = int64_t(end - offset) + (lf == std::string::npos ? 0 : 1);
    return CleanViewText(DecodeViewLine(std::string_view(FBuf).substr(offset, end - offset)));
}

int64_t TKvLineCache::PrevStart(int64_t APosition) {
    if (APosition <= 0)
        return 0;
    int64_t before = APosition - 1;
    bool held = FBufPos >= 0 && before >= FBufPos && before < FBufPos + int64_t(FBuf.size());
    if (!held || (before == FBufPos && FBufPos != 0))
        Load(APosition - 196608);
    // Skip the line feed that ends the line above, then look for the one before it.
    for (int64_t k = before - 1 - FBufPos; k >= 0; --k)
        if (FBuf[size_t(k)] == '\n')
            return FBufPos + k + 1;
    return FBufPos != 0 ? FData.BackLines(1, APosition) : 0;
}

std::string_view TKvLineCache::Bytes(int64_t AFrom, int64_t ATo) const {
    if (FBufPos < 0 || AFrom < FBufPos || ATo > FBufPos + int64_t(FBuf.size()) || ATo < AFrom)
        return {};
    return std::string_view(FBuf).substr(size_t(AFrom - FBufPos), size_t(ATo - AFrom));
}

void TKvViewData::WrappedPage(TKvViewMode AMode, int ARows, TKvViewResult& AResult, bool ACheckJava,
                              int AWidth, int64_t AValue) {
    TKvLineCache cache(*this);
    auto piecesAt = [&](int64_t APosition, int64_t& ALength) {
        return WrapText(cache.LineFrom(APosition, ALength), AWidth);
    };
    auto up = [&](int64_t ACount) {
        if (SubRow >= ACount) {
            SubRow -= int(ACount);
            return;
        }
        ACount -= SubRow;
        SubRow = 0;
        while (ACount > 0 && Pos > 0) {
            Pos = cache.PrevStart(Pos);
            int64_t length = 0;
            int64_t rows = int64_t(piecesAt(Pos, length).size());
            if (rows >= ACount) {
                SubRow = int(rows - ACount);
                return;
            }
            ACount -= rows;
        }
    };
    auto down = [&](int64_t ACount) {
        int64_t length = 0;
        int64_t rows = int64_t(piecesAt(Pos, length).size());
        SubRow = int(std::min<int64_t>(SubRow, rows - 1));
        while (ACount > 0) {
            if (SubRow + ACount < rows) {
                SubRow += int(ACount);
                return;
            }
            if (length == 0 || Pos + length >= Size) {
                SubRow = int(rows - 1);
                return;
            }
            ACount -= rows - SubRow;
            Pos += length;
            SubRow = 0;
            rows = int64_t(piecesAt(Pos, length).size());
        }
    };
    auto toEnd = [&] {
        Pos = BackLines(1, Size);
        int64_t length = 0;
        SubRow = std::max(0, int(piecesAt(Pos, length).size()) - 1);
        up(ARows - 1);
    };
    int64_t shownTo = Pos; // end of the last line shown
    auto fill = [&] {
        AResult.Lines.clear();
        AResult.Cont.clear();
        bool atEnd = Size == 0;
        int64_t position = Pos;
        bool first = true;
        shownTo = Pos;
        while (int(AResult.Lines.size()) < ARows && position < Size) {
            int64_t length = 0;
            auto pieces = piecesAt(position, length);
            size_t k = first ? std::min<size_t>(size_t(SubRow), pieces.size() - 1) : 0;
            for (; k < pieces.size() && int(AResult.Lines.size()) < ARows; ++k) {
                AResult.Lines.push_back(std::move(pieces[k]));
                AResult.Cont.push_back(k > 0);
            }
            shownTo = position + length;
            if (length == 0 || position + length >= Size) {
                atEnd = k == pieces.size();
                break;
            }
            position += length;
            first = false;
        }
        AResult.AtEnd = atEnd;
    };

    switch (AMode) {
    case vmAt:
        Pos = LineStartBefore(std::clamp<int64_t>(AValue, 0, Size));
        SubRow = 0;
        break;
    case vmDown:
        down(std::max<int64_t>(AValue, 0));
        break;
    case vmUp:
        up(std::max<int64_t>(AValue, 0));
        break;
    case vmEnd:
        toEnd();
        break;
    }
    fill();
    if (int(AResult.Lines.size()) < ARows && (Pos > 0 || SubRow > 0)) {
        toEnd();
        fill();
    }
    AResult.Pos = Pos;
    AResult.SubRow = SubRow;
    AResult.Lens.assign(AResult.Lines.size(), 0);
    AResult.Hidden.assign(AResult.Lines.size(), false);
    if (ACheckJava) {
        std::string_view held = cache.Bytes(Pos, shownTo);
        std::string bytes = held.empty() && shownTo > Pos
                                ? ReadAt(std::min(shownTo - Pos, KViewBlock), Pos)
                                : std::string(held);
        AResult.Java = LooksLikeJava(bytes, int64_t(bytes.size()));
    }
}

// ---- Hex ----

void TKvViewData::HexPage(TKvViewMode AMode, int ARows, TKvViewResult& AResult, int64_t AValue) {
    SubRow = 0;
    int64_t last = Size > 0 ? (Size - 1) / 16 * 16 : 0;
    int64_t span = 16 * int64_t(ARows - 1);
    int64_t position = Pos / 16 * 16;
    switch (AMode) {
    case vmAt:
        position = std::clamp<int64_t>(AValue, 0, Size) / 16 * 16;
        break;
    case vmDown: {
        int64_t step = std::max<int64_t>(AValue, 0);
        position = step <= (last - position) / 16 ? position + 16 * step : last;
        break;
    }
    case vmUp: {
        int64_t step = std::max<int64_t>(AValue, 0);
        position = step <= position / 16 ? position - 16 * step : 0;
        break;
    }
    case vmEnd:
        position = last - span;
        break;
    }
    position = std::max<int64_t>(0, std::min(position, last - span));
    Pos = position;
    AResult.Pos = position;
    AResult.AtEnd = position + 16 * int64_t(ARows) > last;
    std::string data = ReadAt(16 * int64_t(ARows), position);
    const auto* bytes = reinterpret_cast<const unsigned char*>(data.data());
    for (size_t at = 0; at < data.size(); at += 16) {
        int count = int(std::min<size_t>(16, data.size() - at));
        AResult.Lines.push_back(FormatHexRow(position + int64_t(at), bytes + at, count));
        AResult.Lens.push_back(count);
    }
    AResult.Hidden.assign(AResult.Lines.size(), false);
    AResult.Cont.assign(AResult.Lines.size(), false);
}

// ---- Java summary ----

const TKvSumMark& TKvViewData::MarkAtPos(int64_t APosition) const {
    auto after = std::upper_bound(SumMarks.begin(), SumMarks.end(), APosition,
                                  [](int64_t V, const TKvSumMark& M) { return V < M.Pos; });
    return after == SumMarks.begin() ? SumMarks.front() : *(after - 1);
}

const TKvSumMark& TKvViewData::MarkAtEntry(int64_t AEntry) const {
    // The last of the marks holding at most AEntry rows before them: inside a long fold that is
    // the one nearest its end.
    auto after = std::upper_bound(SumMarks.begin(), SumMarks.end(), AEntry,
                                  [](int64_t V, const TKvSumMark& M) { return V < M.Entries; });
    return after == SumMarks.begin() ? SumMarks.front() : *(after - 1);
}

int64_t TKvViewData::ScanSummary(TKvSumMark AFrom, const TSumEmit& AEmit,
                                 const std::function<void(const TKvSumMark&)>* AMark,
                                 const IKvCancelToken& AToken, const TKvViewProgress& AProgress) {
    TKvSumMark state = AFrom;
    int64_t hidden = 0;
    bool stopped = false;
    auto emit = [&](const TKvSumEntry& AEntry, std::string_view ALine, bool AWhole) {
        if (!AEmit(AEntry, state.Entries++, ALine, AWhole))
            stopped = true;
    };
    auto closeRun = [&] {
        if (state.RunCount > 0)
            emit({state.RunStart, state.RunCount}, {}, true);
        state.RunStart = -1;
        state.RunCount = 0;
    };
    auto fold = [&](int64_t APosition) {
        if (state.RunCount == 0)
            state.RunStart = APosition;
        ++state.RunCount;
        ++hidden;
    };

    int64_t blockStart = AFrom.Pos;
    bool skipping = false; // inside a line that began in an earlier block
    std::string block;
    while (blockStart < Size && !stopped) {
        CheckCancelled(AToken);
        if (!AMark && !skipping && SumMarks.size() > 1) {
            // Paging: no row starts before a later mark that still holds as many rows before
            // it, so the scan goes on from there (a long fold is not read again).
            const TKvSumMark& mark = MarkAtEntry(state.Entries);
            if (mark.Entries == state.Entries && mark.Pos > blockStart) {
                state = mark;
                blockStart = mark.Pos;
            }
        }
        OpenStream();
        FStream->Seek(blockStart, soBegin);
        int64_t want = std::min(KViewScanBlock, Size - blockStart);
        block.resize(size_t(want));
        block.resize(size_t(FStream->ReadFully(block.data(), want)));
        int64_t n = int64_t(block.size());
        if (n == 0)
            break;
        bool fileEnd = blockStart + n >= Size;
        int64_t at = 0;
        if (skipping) {
            size_t lf = block.find('\n');
            if (lf == std::string::npos) {
                at = n;
            } else {
                at = int64_t(lf) + 1;
                skipping = false;
            }
        }
        int64_t next = blockStart + n;
        while (at < n && !stopped) {
            // A line near the block's end is read again from its start, so it is classified
            // from its first 512 bytes.
            if (n - at < KSummaryTail && !fileEnd && at > 0) {
                next = blockStart + at;
                break;
            }
            int64_t position = blockStart + at;
            if (AMark) {
                state.Pos = position;
                (*AMark)(state);
            }
            size_t lf = block.find('\n', size_t(at));
            int64_t end = lf == std::string::npos ? n : int64_t(lf);
            bool framework = false;
            std::string_view line(block.data() + at, size_t(end - at));
            bool whole = lf != std::string::npos || fileEnd;
            auto plain = [&] {
                closeRun();
                if (!stopped)
                    emit({position, 0}, line, whole);
            };
            switch (ClassifyJavaLine(line, framework)) {
            case jlFrame:
                if (state.Frames > 0 && framework)
                    fold(position);
                else
                    plain();
                ++state.Frames;
                break;
            case jlMore:
                fold(position);
                break;
            case jlBlank:
                if (state.RunCount > 0)
                    fold(position);
                else
                    plain();
                break;
            case jlOther:
                state.Frames = 0;
                plain();
                break;
            }
            if (lf == std::string::npos) {
                skipping = !fileEnd;
                at = n;
            } else {
                at = end + 1;
            }
        }
        blockStart = next;
        if (AProgress && Size > 0)
            AProgress(int(std::min<int64_t>(99, blockStart * 100 / Size)));
    }
    if (!stopped)
        closeRun();
    return hidden;
}

int64_t TKvViewData::BuildSummary(const IKvCancelToken& AToken, const TKvViewProgress& AProgress) {
    OpenStream();
    std::vector<TKvSumMark> marks;
    marks.reserve(KMinSummaryMarks);
    int64_t stride = std::max<int64_t>(SumMarkStride, 1);
    std::function<void(const TKvSumMark&)> mark = [&](const TKvSumMark& AState) {
        if (!marks.empty() && AState.Pos - marks.back().Pos < stride)
            return;
        if (marks.size() >= std::max<size_t>(SumMaxMarks, 2)) {
            // Full: every other mark goes and they stand twice as far apart from now on.
            size_t kept = 0;
            for (size_t k = 0; k < marks.size(); k += 2)
                marks[kept++] = marks[k];
            marks.resize(kept);
            stride *= 2;
            if (AState.Pos - marks.back().Pos < stride)
                return;
        }
        marks.push_back(AState);
    };
    int64_t entries = 0;
    TSumEmit count = [&](const TKvSumEntry&, int64_t, std::string_view, bool) {
        ++entries;
        return true;
    };
    int64_t hidden = ScanSummary(TKvSumMark{}, count, &mark, AToken, AProgress);
    if (marks.empty())
        marks.push_back(TKvSumMark{});
    SumMarks = std::move(marks);
    SumEntries = entries;
    SumIndex = 0;
    return hidden;
}

std::vector<TKvSumEntry> TKvViewData::SummaryRows(int64_t AFirst, int64_t ACount,
                                                  std::vector<std::string>* ATexts) {
    std::vector<TKvSumEntry> rows;
    if (ATexts)
        ATexts->clear();
    AFirst = std::max<int64_t>(AFirst, 0);
    int64_t last = std::min(SumEntries, AFirst + ACount);
    if (SumMarks.empty() || AFirst >= last)
        return rows;
    TSumEmit collect = [&](const TKvSumEntry& AEntry, int64_t AIndex, std::string_view ALine,
                           bool AWhole) {
        if (AIndex < AFirst)
            return true;
        rows.push_back(AEntry);
        if (ATexts) {
            std::string text;
            if (AEntry.Hidden > 0)
                text = FoldedRowText(AEntry.Hidden);
            else if (AWhole || int64_t(ALine.size()) >= KViewLineBytes)
                text = DecodeViewLine(ALine);
            else {
                // Cut by the scan's block: read the line where it stands.
                std::string bytes = ReadAt(KViewLineBytes, AEntry.Pos);
                text = DecodeViewLine(std::string_view(bytes).substr(0, bytes.find('\n')));
            }
            ATexts->push_back(std::move(text));
        }
        return AIndex + 1 < last;
    };
    ScanSummary(MarkAtEntry(AFirst), collect, nullptr, NeverCancelled(), {});
    return rows;
}

void TKvViewData::SummaryPage(TKvViewMode AMode, int ARows, TKvViewResult& AResult,
                              int64_t AValue) {
    SubRow = 0;
    int64_t entries = SumEntries;
    int64_t index = SumIndex;
    switch (AMode) {
    case vmAt: {
        // The last row that starts at or before the value.
        int64_t value = std::clamp<int64_t>(AValue, 0, Size);
        index = 0;
        TSumEmit find = [&](const TKvSumEntry& AEntry, int64_t AIndex, std::string_view, bool) {
            if (AEntry.Pos > value)
                return false;
            index = AIndex;
            return true;
        };
        ScanSummary(MarkAtPos(value), find, nullptr, NeverCancelled(), {});
        break;
    }
    case vmDown:
        index = std::min(SumIndex + std::max<int64_t>(AValue, 0), entries - 1);
        break;
    case vmUp:
        index = std::max<int64_t>(SumIndex - std::max<int64_t>(AValue, 0), 0);
        break;
    case vmEnd:
        index = entries - ARows;
        break;
    }
    index = std::max<int64_t>(0, std::min(index, entries - ARows));
    SumIndex = index;
    AResult.AtEnd = index + ARows >= entries;
    std::vector<TKvSumEntry> rows = SummaryRows(index, ARows, &AResult.Lines);
    for (const TKvSumEntry& row : rows)
        AResult.Hidden.push_back(row.Hidden > 0);
    Pos = rows.empty() ? 0 : rows.front().Pos;
    AResult.Pos = Pos;
    AResult.Lens.assign(AResult.Lines.size(), 0);
    AResult.Cont.assign(AResult.Lines.size(), false);
    AResult.Java = true;
}

// ---- Find ----

int64_t TKvViewData::SearchRange(std::string_view APattern, bool AFoldCase, int64_t ALow,
                                 int64_t AHigh, bool AForward, int64_t& ASearched,
                                 const IKvCancelToken& AToken, const TKvViewProgress& AProgress) {
    const int64_t extra = int64_t(APattern.size()) - 1;
    int64_t chunkLow = AForward ? ALow : std::max(ALow, AHigh - KViewScanBlock);
    while (AForward ? chunkLow < AHigh : AHigh > ALow) {
        CheckCancelled(AToken);
        int64_t chunkHigh = AForward ? std::min(AHigh, chunkLow + KViewScanBlock) : AHigh;
        if (!AForward)
            chunkLow = std::max(ALow, chunkHigh - KViewScanBlock);
        OpenStream();
        int64_t want = std::min(chunkHigh - chunkLow + extra, Size - chunkLow);
        std::string data(size_t(want), '\0');
        FStream->Seek(chunkLow, soBegin);
        data.resize(size_t(FStream->ReadFully(data.data(), want)));
        if (AFoldCase)
            LowerAsciiInPlace(data.data(), data.size());
        int64_t found = -1;
        // Only matches that start inside the chunk count; the extra bytes finish them.
        size_t limit = size_t(std::min<int64_t>(chunkHigh - chunkLow, int64_t(data.size())));
        const char* base = data.data();
        for (size_t from = 0; from < limit;) {
            const void* hit =
                ::memmem(base + from, data.size() - from, APattern.data(), APattern.size());
            if (!hit)
                break;
            size_t offset = size_t(static_cast<const char*>(hit) - base);
            if (offset >= limit)
                break;
            found = chunkLow + int64_t(offset);
            if (AForward)
                break;
            from = offset + 1;
        }
        ASearched += chunkHigh - chunkLow;
        if (AProgress && Size > 0)
            AProgress(int(std::min<int64_t>(99, ASearched * 100 / Size)));
        if (found >= 0)
            return found;
        if (AForward)
            chunkLow = chunkHigh;
        else
            AHigh = chunkLow;
    }
    return -1;
}

int64_t TKvViewData::Find(std::string_view APattern, bool AFoldCase, bool& AWrapped,
                          const IKvCancelToken& AToken, const TKvViewProgress& AProgress,
                          int64_t AFrom, bool AForward) {
    AWrapped = false;
    if (APattern.empty() || Size == 0)
        return -1;
    std::string pattern(APattern);
    if (AFoldCase)
        LowerAsciiInPlace(pattern.data(), pattern.size());
    int64_t start = std::clamp<int64_t>(AFrom, 0, Size);
    int64_t searched = 0;
    int64_t found =
        AForward ? SearchRange(pattern, AFoldCase, start, Size, true, searched, AToken, AProgress)
                 : SearchRange(pattern, AFoldCase, 0, start, false, searched, AToken, AProgress);
    if (found >= 0)
        return found;
    if (AForward && start > 0)
        found = SearchRange(pattern, AFoldCase, 0, start, true, searched, AToken, AProgress);
    else if (!AForward && start < Size)
        found = SearchRange(pattern, AFoldCase, start, Size, false, searched, AToken, AProgress);
    AWrapped = found >= 0;
    return found;
}

} // namespace kv
