// Which pieces of terminal text might name files or folders: candidate names on a logical
// line (a line with the lines it wrapped into) with their exact cell ranges. Long directory
// listings are recognised so only their name column counts, and a name may hold up to three
// single blanks. Whether a candidate exists is decided by whoever looks it up.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "Kv.Vt.Screen.h"

namespace kv {

// A run of non-blank cells; columns count over the whole logical line, EndCol is exclusive.
struct TRawToken {
    std::string Raw;
    int StartCol = 0;
    int EndCol = 0;
};

struct TKvWord {
    std::string Text; // the cleaned candidate name
    int ColFrom = 0;  // cell range, end exclusive
    int ColTo = 0;
    bool WantDir = false; // the text ended with "/", so it only names a folder
    bool operator==(const TKvWord&) const = default;
};

struct TKvLogicalWords {
    int FirstIndex = 0; // absolute index of the logical line's first screen line
    // Columns count over the logical line: row k of it starts at k * screen columns.
    std::vector<TKvWord> Words;
};

struct TKvCleanName {
    std::string Name;
    bool WantDir = false;
    int TrimmedAtEnd = 0; // characters (each one cell) removed at either end
    int TrimmedAtStart = 0;
};

// "drwxr-xr-x", "-rw-r--r--@", "lrwxrwxrwx." and the like.
bool IsPermissionText(std::string_view AText);
// Strips quotes, brackets and punctuation around a token, a classifier mark (ls -F) and a
// trailing "/"; false when what is left cannot be a name (".", "..", options, permissions...).
bool CleanToken(std::string_view ARaw, TKvCleanName& AResult);
// The first token of the name column of a long listing line; 0 when the line is not a
// listing (every token may begin a name); the token count for a listing without a name.
int NameStartIndex(const std::vector<std::string_view>& ATokens);
// Candidate names among cells, ordered by first token, then by length; they overlap.
// AMarks, when given, holds each cell's combining marks (or null), which belong to the name.
std::vector<TKvWord> SplitNames(const TKvVtCell* ACells, int ACount,
                                const std::u32string* const* AMarks = nullptr);
// The candidates of the logical line holding absolute line AIndex (at most 8 screen lines).
// The caller holds the screen's lock.
TKvLogicalWords LogicalWords(const TKvVtScreen& AScreen, int AIndex);
// The words of a logical line that touch its screen line AIndex, in that line's columns.
std::vector<TKvWord> WordsOnRow(const TKvLogicalWords& AWords, int AIndex, int ACols);

} // namespace kv
