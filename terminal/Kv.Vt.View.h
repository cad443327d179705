// What the terminal control shows and picks on a screen, without a window: the colour
// palette, selections and their text, words and lines under the mouse, and links. The control
// paints and forwards events; these rules are tested here. Callers hold the screen's lock.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "Kv.Shell.Words.h"
#include "Kv.Vt.Screen.h"

namespace kv {

// A name on screen that is a file or folder.
struct TKvTermLink {
    std::string Name; // the text as shown on screen, the dictionary key
    std::string Path; // full path of the file or folder
    bool IsDir = false;
    int64_t Size = 0;
};
using TKvTermLinks = std::unordered_map<std::string, TKvTermLink>;

// A position in the text: an absolute line (scrollback first, then the rows) and a cell.
struct TKvSelPos {
    int Line = 0;
    int Col = 0;
    auto operator<=>(const TKvSelPos&) const = default;
};

// The xterm 256-colour palette as 0xRRGGBB.
uint32_t VtPaletteRgb(int AIndex);

// The selected text from AStart to AEnd inclusive (either order): trailing blanks of lines
// that did not wrap are dropped, lines are joined with CR LF except after a wrapped line.
std::string SelectionText(const TKvVtScreen& AScreen, TKvSelPos AStart, TKvSelPos AEnd);

// The run of non-blank cells around a cell, as [first, last] on that line; false on a blank.
bool WordRange(const TKvVtScreen& AScreen, int ALine, int ACol, TKvSelPos& AFrom,
               TKvSelPos& ATo);
// The logical line (with the lines it wrapped into) around a line, first to last cell.
void LineRange(const TKvVtScreen& AScreen, int ALine, TKvSelPos& AFrom, TKvSelPos& ATo);

// Whether a line's names may be links: lines printed while another folder was current, and
// the alternate screen, have none.
bool LinksApply(const TKvVtScreen& AScreen, int ALine);
// The link at a cell, or null. A word that names only a folder ("build/") matches only one.
const TKvTermLink* LinkAt(const TKvVtScreen& AScreen, const TKvTermLinks& ALinks, int ALine,
                          int ACol);
// The words on a line that are links, in that line's columns (for underlining).
std::vector<TKvWord> LinkWordsOnLine(const TKvVtScreen& AScreen, const TKvTermLinks& ALinks,
                                     int ALine);

// The menu a right click on a link opens, in its order; the first three act on files only.
enum class TKvLinkAction {
    laView,
    laEdit,
    laRunAs,
    laCopyPath,
    laCopyToOther,
    laMoveToOther,
    laRename,
    laDelete,
    laChmod,
    laChown,
    laProperties,
};
using enum TKvLinkAction;

struct TKvLinkMenuItem {
    TKvLinkAction Action;
    const char* Text;
    bool Enabled;
};
std::vector<TKvLinkMenuItem> LinkMenuItems(const TKvTermLink& ALink);

} // namespace kv
