#include "Kv.Vt.View.h"

#include <algorithm>

namespace kv {

namespace {

constexpr uint32_t KBasic[16] = {
    0x000000, 0xAA0000, 0x00AA00, 0xAA5500, 0x0000AA, 0xAA00AA, 0x00AAAA, 0xAAAAAA,
    0x555555, 0xFF5555, 0x55FF55, 0xFFFF55, 0x5555FF, 0xFF55FF, 0x55FFFF, 0xFFFFFF,
};
constexpr uint32_t KCubeLevels[6] = {0, 95, 135, 175, 215, 255};

bool BlankCell(const TKvVtCell& ACell) {
    return !(ACell.Flags & vfWideRight) && (ACell.Ch == 0 || ACell.Ch == ' ');
}

// Keeps a word when its text is a link and it asks for a folder only where the link is one.
const TKvTermLink* Known(const TKvTermLinks& ALinks, const TKvWord& AWord) {
    auto it = ALinks.find(AWord.Text);
    if (it == ALinks.end() || (AWord.WantDir && !it->second.IsDir))
        return nullptr;
    return &it->second;
}

} // namespace

uint32_t VtPaletteRgb(int AIndex) {
    AIndex = std::clamp(AIndex, 0, 255);
    if (AIndex < 16)
        return KBasic[AIndex];
    if (AIndex < 232) {
        int i = AIndex - 16;
        return KCubeLevels[i / 36] << 16 | KCubeLevels[(i / 6) % 6] << 8 | KCubeLevels[i % 6];
    }
    uint32_t grey = uint32_t(8 + 10 * (AIndex - 232));
    return grey << 16 | grey << 8 | grey;
}

std::string SelectionText(const TKvVtScreen& AScreen, TKvSelPos AStart, TKvSelPos AEnd) {
    if (AEnd < AStart)
        std::swap(AStart, AEnd);
    std::string text;
    AStart.Line = std::max(AStart.Line, 0);
    AEnd.Line = std::min(AEnd.Line, AScreen.LineCount() - 1);
    for (int index = AStart.Line; index <= AEnd.Line; ++index) {
        const TKvVtLine& line = AScreen.AbsLine(index);
        int count = int(line.Cells.size());
        int from = index == AStart.Line ? std::max(AStart.Col, 0) : 0;
        int to = index == AEnd.Line ? std::min(AEnd.Col + 1, count) : count; // exclusive
        if (!line.Wrapped) {
            while (to > from && BlankCell(line.Cells[size_t(to - 1)]))
                --to;
        }
        for (int c = from; c < to; ++c) {
            const TKvVtCell& cell = line.Cells[size_t(c)];
            if (cell.Flags & vfWideRight)
                continue;
            AppendCellText(text, line, cell);
        }
        if (index < AEnd.Line && !line.Wrapped)
            text += "\r\n";
    }
    return text;
}

bool WordRange(const TKvVtScreen& AScreen, int ALine, int ACol, TKvSelPos& AFrom,
               TKvSelPos& ATo) {
    const TKvVtLine& line = AScreen.AbsLine(ALine);
    int count = int(line.Cells.size());
    if (ACol < 0 || ACol >= count || BlankCell(line.Cells[size_t(ACol)]))
        return false;
    int from = ACol, to = ACol;
    while (from > 0 && !BlankCell(line.Cells[size_t(from - 1)]))
        --from;
    while (to + 1 < count && !BlankCell(line.Cells[size_t(to + 1)]))
        ++to;
    AFrom = TKvSelPos{ALine, from};
    ATo = TKvSelPos{ALine, to};
    return true;
}

void LineRange(const TKvVtScreen& AScreen, int ALine, TKvSelPos& AFrom, TKvSelPos& ATo) {
    int first = ALine, last = ALine;
    while (first > 0 && AScreen.AbsLine(first - 1).Wrapped)
        --first;
    while (last + 1 < AScreen.LineCount() && AScreen.AbsLine(last).Wrapped)
        ++last;
    AFrom = TKvSelPos{first, 0};
    ATo = TKvSelPos{last, std::max(int(AScreen.AbsLine(last).Cells.size()) - 1, 0)};
}

bool LinksApply(const TKvVtScreen& AScreen, int ALine) {
    if (AScreen.AltScreen() || AScreen.CwdId() == 0)
        return false;
    return AScreen.AbsLine(ALine).CwdId == AScreen.CwdId();
}

const TKvTermLink* LinkAt(const TKvVtScreen& AScreen, const TKvTermLinks& ALinks, int ALine,
                          int ACol) {
    if (ALinks.empty() || !LinksApply(AScreen, ALine))
        return nullptr;
    TKvLogicalWords words = LogicalWords(AScreen, ALine);
    for (const TKvWord& word : WordsOnRow(words, ALine, AScreen.Cols())) {
        if (ACol < word.ColFrom || ACol >= word.ColTo)
            continue;
        // Candidates overlap ("notes", "notes 2024.txt"): the first known one under the mouse.
        if (const TKvTermLink* link = Known(ALinks, word))
            return link;
    }
    return nullptr;
}

std::vector<TKvWord> LinkWordsOnLine(const TKvVtScreen& AScreen, const TKvTermLinks& ALinks,
                                     int ALine) {
    std::vector<TKvWord> result;
    if (ALinks.empty() || !LinksApply(AScreen, ALine))
        return result;
    TKvLogicalWords words = LogicalWords(AScreen, ALine);
    for (TKvWord& word : WordsOnRow(words, ALine, AScreen.Cols())) {
        if (Known(ALinks, word))
            result.push_back(std::move(word));
    }
    return result;
}

std::vector<TKvLinkMenuItem> LinkMenuItems(const TKvTermLink& ALink) {
    bool file = !ALink.IsDir;
    return {
        {laView, "View", file},
        {laEdit, "Edit", file},
        {laRunAs, "Run as...", file},
        {laCopyPath, "Copy path", true},
        {laCopyToOther, "Copy to the other half", true},
        {laMoveToOther, "Move to the other half", true},
        {laRename, "Rename", true},
        {laDelete, "Delete...", true},
        {laChmod, "Permissions (chmod)", true},
        {laChown, "Owner (chown)", true},
        {laProperties, "Properties", true},
    };
}

} // namespace kv
