// The main window's rules that need no widget: the key bar, the texts of the file commands,
// the halves' arithmetic and the caption shortening.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "Kv.FileSystem.h"
#include "Kv.Transfer.Engine.h"

namespace kv {

struct TFKeyItem {
    int Key = 0; // n for Fn; 0 when the key is named
    std::string Name;
    std::string Caption;
    std::string Label() const { return Key ? "F" + std::to_string(Key) : Name; }
};

enum class TKvKeyLayer { klPlain, klAlt, klCtrl };
using enum TKvKeyLayer;

const std::vector<TFKeyItem>& KeyBarItems(TKvKeyLayer ALayer);
// The slot under AX in a bar AWidth wide; -1 outside.
int KeyBarSlot(int AX, int AWidth, int ACount);
// The left edge of slot AIndex: slots share the width equally, the last takes the rest.
int KeyBarSlotLeft(int AIndex, int AWidth, int ACount);

// "Copy "a.txt" to:" or "Move 3 items to:".
// APlace: the destination's display prefix ("Key server:"), empty for the local disk.
std::string TransferPrompt(const std::string& AVerb, const TKvFileEntries& AItems,
                           const std::string& APlace = {});
// The folder to propose; the item's own name (one) or the source folder (several) when both
// halves show the same folder, so that typing a new name duplicates in place.
std::string ProposedDestination(const std::string& ASourceId, const std::string& ASourceDir,
                                const std::string& ADestId, const std::string& ADestDir, const TKvFileEntries& AItems);
// ""a.txt"" or "3 items".
std::string ObjectText(const TKvFileEntries& AItems);
// "Move "a.txt" to the Trash?" or, when it cannot be undone, "Delete 3 items permanently?".
std::string DeleteQuestion(const TKvFileEntries& AItems, bool APermanent);
// "Copied 2, skipped 1: reason"; AIsError when anything failed or was skipped.
std::string JobDoneText(const TKvTransferResult& AResult, bool& AIsError);
// The rename-or-move dialog's old name: the focused row's with nothing marked, the one marked
// row's, or none.
std::string RenameCandidate(const TKvFileEntries& AMarked, const TKvFileEntry* AFocused, bool AReadOnly);

// Width of the left half for a client width, a splitter width and a ratio; each half keeps at
// least AMinHalf (but never more than half of what there is).
int LeftHalfWidth(int AClientWidth, int ASplitter, double ARatio, int AMinHalf);

// Shortens a title to AWidth: "..." after the first three characters, then characters after
// it dropped one by one while the text is at least 8 characters and too wide.
std::string ShortenCaption(const std::string& AText, int AWidth, const std::function<int(const std::string&)>& AMeasure);

// "Something is still going on:" with one indented line per item, or empty for none.
std::string StillGoingOnText(const std::vector<std::string>& AItems);

// The zip file's proposed name: the single item's name without its extension, or the folder's
// name for several items, or "archive" when that leaves nothing; then ".zip".
std::string ZipProposedName(const TKvFileEntries& AItems, const std::string& AFolderName);
// The typed name with ".zip" added unless its extension is that already (any case).
std::string ZipFileName(const std::string& AName);

inline constexpr const char* KOtherHalfArchive = "The other panel shows an archive, which is read-only";
inline constexpr const char* KNoMoveFromArchive = "Files cannot be moved out of an archive. Use F5 to copy them";

} // namespace kv
