// Files on the desktop's clipboard and in drags, in the formats other file managers read and
// write: text/uri-list, x-special/gnome-copied-files ("copy" or "cut" first),
// application/x-kde-cutselection, and the paths as text/plain. "Cut" is a move.
#pragma once

#include <string>
#include <vector>

class QMimeData;

namespace kv {

// A new data object holding the files (and whether a paste moves them); the caller owns it
// until it hands it to the clipboard or a drag.
QMimeData* MimeDataForFiles(const std::vector<std::string>& APaths, bool AMove);
// Puts the files on the clipboard; nothing for an empty list.
void CopyFilesToClipboard(const std::vector<std::string>& APaths, bool AMove = false);
void CopyTextToClipboard(const std::string& AText);

// The local files a data object (clipboard or drop) names, byte for byte as their URLs spell
// them, and whether it asks for a move. False when it names none, or anything that is no local
// file. Text counts only when every line names an existing file or folder.
bool FilesFromMimeData(const QMimeData* AData, std::vector<std::string>& APaths, bool& AMove);
// Whether a drag or the clipboard offers files in a form FilesFromMimeData reads.
bool HasFileData(const QMimeData* AData);
// The clipboard's files; logs what was found, or the formats that were there when nothing was.
bool ReadClipboardFiles(std::vector<std::string>& APaths, bool& AMove);

} // namespace kv
