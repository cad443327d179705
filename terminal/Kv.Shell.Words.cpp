#include "Kv.Shell.Words.h"

#include <algorithm>
#include <locale.h>
#include <wctype.h>

namespace kv {

namespace {

constexpr std::string_view KLeadingMarks = "\"'(<[`{";
constexpr std::string_view KTrailingMarks = "\"'),:;>]`}";
constexpr std::string_view KClassifierMarks = "*=@|";
constexpr std::string_view KPermissionChars = "+-.@STrstwx";
constexpr size_t KMaxNameChars = 255;
constexpr int KMaxLogicalRows = 8;
constexpr int KMaxTokensPerName = 4;

bool Contains(std::string_view ASet, char AChar) {
    return ASet.find(AChar) != std::string_view::npos;
}

size_t CharCount(std::string_view AText) {
    return size_t(std::count_if(AText.begin(), AText.end(),
                                [](char c) { return (uint8_t(c) & 0xC0) != 0x80; }));
}

// Decodes one code point; an invalid byte yields 0xFFFFFFFF and advances by one.
uint32_t NextCodePoint(std::string_view AText, size_t& AIndex) {
    uint8_t b = uint8_t(AText[AIndex++]);
    if (b < 0x80)
        return b;
    int need = b >= 0xF0 ? 3 : b >= 0xE0 ? 2 : b >= 0xC0 ? 1 : -1;
    if (need < 0)
        return 0xFFFFFFFF;
    uint32_t cp = b & (0x3F >> need);
    for (int i = 0; i < need; ++i) {
        if (AIndex >= AText.size() || (uint8_t(AText[AIndex]) & 0xC0) != 0x80)
            return 0xFFFFFFFF;
        cp = (cp << 6) | (uint8_t(AText[AIndex++]) & 0x3F);
    }
    return cp;
}

// Month names in listings come in any language ("Jan", "янв.", "mars"), so letters of every
// alphabet count; the C.UTF-8 classification does not depend on the user's locale.
bool IsLetter(uint32_t ACodePoint) {
    if (ACodePoint < 0x80)
        return (ACodePoint >= 'a' && ACodePoint <= 'z') || (ACodePoint >= 'A' && ACodePoint <= 'Z');
    static const locale_t KLocale = ::newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t(0));
    if (KLocale == locale_t(0))
        return ACodePoint != 0xFFFFFFFF;
    return ACodePoint <= 0x10FFFF && ::iswalpha_l(wint_t(ACodePoint), KLocale) != 0;
}

bool IsDigits(std::string_view AText, size_t AMin, size_t AMax) {
    return AText.size() >= AMin && AText.size() <= AMax &&
           std::all_of(AText.begin(), AText.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool IsClock(std::string_view AText) {
    if (AText.size() < 4 || AText[0] < '0' || AText[0] > '9')
        return false;
    bool colon = false;
    for (char c : AText) {
        if (c == ':')
            colon = true;
        else if (c != '.' && (c < '0' || c > '9'))
            return false;
    }
    return colon;
}

bool IsMonth(std::string_view AText) {
    if (CharCount(AText) <= 2)
        return false;
    size_t i = 0;
    while (i < AText.size()) {
        uint32_t cp = NextCodePoint(AText, i);
        if (cp != '.' && !IsLetter(cp))
            return false;
    }
    return true;
}

} // namespace

bool IsPermissionText(std::string_view AText) {
    if (AText.size() != 10 && AText.size() != 11)
        return false;
    if (!Contains("-bcdlps", AText[0]))
        return false;
    return std::all_of(AText.begin() + 1, AText.end(),
                       [](char c) { return Contains(KPermissionChars, c); });
}

bool CleanToken(std::string_view ARaw, TKvCleanName& AResult) {
    AResult = TKvCleanName();
    std::string_view text = ARaw;
    while (!text.empty() && Contains(KLeadingMarks, text.front())) {
        text.remove_prefix(1);
        ++AResult.TrimmedAtStart;
    }
    while (!text.empty() && Contains(KTrailingMarks, text.back())) {
        text.remove_suffix(1);
        ++AResult.TrimmedAtEnd;
    }
    // The marks are ASCII, so "more than one character" is "more than one byte" here.
    if (text.size() > 1 && Contains(KClassifierMarks, text.back())) {
        text.remove_suffix(1);
        ++AResult.TrimmedAtEnd;
    }
    if (text.size() > 1 && text.back() == '/') {
        AResult.WantDir = true;
        while (text.size() >= 2 && text.back() == '/') {
            text.remove_suffix(1);
            ++AResult.TrimmedAtEnd;
        }
    }
    if (text.empty() || CharCount(text) > KMaxNameChars || text == "." || text == ".." ||
        text == "~" || text.front() == '-' || text.front() == '~' || IsPermissionText(text))
        return false;
    if (std::any_of(text.begin(), text.end(), [](char c) { return uint8_t(c) < ' '; }))
        return false;
    AResult.Name = text;
    return true;
}

int NameStartIndex(const std::vector<std::string_view>& ATokens) {
    int count = int(ATokens.size());
    int s = count >= 2 && IsDigits(ATokens[0], 1, 20) && IsPermissionText(ATokens[1]) ? 1 : 0;
    if (s >= count || !IsPermissionText(ATokens[size_t(s)]))
        return 0;
    if (count < s + 5)
        return count;
    for (int i = s + 4; i < count; ++i) {
        if (IsClock(ATokens[size_t(i)]))
            return i + 1;
        if (i >= s + 6 && IsDigits(ATokens[size_t(i)], 4, 4) &&
            IsDigits(ATokens[size_t(i - 1)], 1, 2) && IsMonth(ATokens[size_t(i - 2)]))
            return i + 1;
    }
    return count;
}

std::vector<TKvWord> SplitNames(const TKvVtCell* ACells, int ACount,
                                const std::u32string* const* AMarks) {
    std::vector<TRawToken> tokens;
    bool open = false;
    for (int col = 0; col < ACount; ++col) {
        const TKvVtCell& cell = ACells[col];
        if (cell.Flags & vfWideRight) {
            if (open)
                tokens.back().EndCol = std::max(tokens.back().EndCol, col + 1);
            continue;
        }
        if (cell.Ch > ' ') {
            if (!open) {
                tokens.push_back(TRawToken{std::string(), col, col});
                open = true;
            }
            AppendScreenChar(tokens.back().Raw, cell.Ch);
            if (AMarks && AMarks[col]) {
                for (char32_t mark : *AMarks[col])
                    AppendScreenChar(tokens.back().Raw, uint32_t(mark));
            }
            tokens.back().EndCol = col + ((cell.Flags & vfWideLeft) ? 2 : 1);
        } else {
            open = false;
        }
    }

    std::vector<std::string_view> raws;
    raws.reserve(tokens.size());
    for (const auto& token : tokens)
        raws.push_back(token.Raw);
    int start = NameStartIndex(raws);

    std::vector<TKvWord> words;
    TKvCleanName clean;
    for (int first = start; first < int(tokens.size()); ++first) {
        std::string text = tokens[size_t(first)].Raw;
        for (int last = first;; ++last) {
            if (CleanToken(text, clean)) {
                int from = tokens[size_t(first)].StartCol + clean.TrimmedAtStart;
                int to = tokens[size_t(last)].EndCol - clean.TrimmedAtEnd;
                if (from < to)
                    words.push_back(TKvWord{clean.Name, from, to, clean.WantDir});
            }
            // A name goes on over one single blank, never past a path.
            int next = last + 1;
            if (next >= int(tokens.size()) || next - first >= KMaxTokensPerName ||
                tokens[size_t(next)].StartCol != tokens[size_t(last)].EndCol + 1 ||
                tokens[size_t(last)].Raw.find('/') != std::string::npos)
                break;
            text += ' ';
            text += tokens[size_t(next)].Raw;
        }
    }
    return words;
}

TKvLogicalWords LogicalWords(const TKvVtScreen& AScreen, int AIndex) {
    int first = AIndex;
    for (int up = 0; up < KMaxLogicalRows - 1 && first > 0 && AScreen.AbsLine(first - 1).Wrapped;
         ++up)
        --first;
    int last = first;
    for (int down = 0; down < KMaxLogicalRows - 1 && AScreen.AbsLine(last).Wrapped &&
                       last < AScreen.LineCount() - 1;
         ++down)
        ++last;

    int cols = AScreen.Cols();
    std::vector<TKvVtCell> cells;
    cells.reserve(size_t(cols * (last - first + 1)));
    std::vector<const std::u32string*> marks;
    bool anyMarks = false;
    for (int index = first; index <= last; ++index) {
        const TKvVtLine& line = AScreen.AbsLine(index);
        const auto& lineCells = line.Cells;
        size_t take = std::min(lineCells.size(), size_t(cols));
        cells.insert(cells.end(), lineCells.begin(), lineCells.begin() + long(take));
        cells.resize(cells.size() + (size_t(cols) - take));
        anyMarks = anyMarks || !line.Marks.empty();
        marks.resize(cells.size(), nullptr);
        if (!line.Marks.empty()) {
            for (size_t c = 0; c < take; ++c)
                marks[cells.size() - size_t(cols) + c] = CellMarks(line, lineCells[c]);
        }
    }
    return TKvLogicalWords{first, SplitNames(cells.data(), int(cells.size()),
                                             anyMarks ? marks.data() : nullptr)};
}

std::vector<TKvWord> WordsOnRow(const TKvLogicalWords& AWords, int AIndex, int ACols) {
    int offset = ACols * (AIndex - AWords.FirstIndex);
    std::vector<TKvWord> words;
    for (const auto& word : AWords.Words) {
        if (word.ColTo <= offset || word.ColFrom >= offset + ACols)
            continue;
        TKvWord clipped = word;
        clipped.ColFrom = std::max(word.ColFrom, offset) - offset;
        clipped.ColTo = std::min(word.ColTo, offset + ACols) - offset;
        words.push_back(std::move(clipped));
    }
    return words;
}

} // namespace kv
