#include "Kv.Ui.MainModel.h"

#include <algorithm>
#include <cmath>

#include "Kv.Text.h"

namespace kv {

const std::vector<TFKeyItem>& KeyBarItems(TKvKeyLayer ALayer) {
    static const std::vector<TFKeyItem> plain = {
        {1, "", "Connect"}, {2, "", "Compare"}, {3, "", "View"},  {4, "", "Edit"},    {5, "", "Copy"},
        {6, "", "RenMov"},  {7, "", "Mkdir"},   {8, "", "Delete"}, {9, "", "Options"}, {10, "", "Quit"}};
    static const std::vector<TFKeyItem> alt = {{1, "", "Left"}, {2, "", "Right"}, {5, "", "Zip"}, {7, "", "Search"}};
    static const std::vector<TFKeyItem> ctrl = {
        {0, "Enter", "Run as"}, {0, "E", "Run"},      {0, "O", "Shell"},   {0, "F", "Connect"}, {0, "H", "Hidden"},
        {0, "U", "Swap"},       {0, "R", "Reload"},   {0, "C", "Clipbrd"}, {0, "A", "SelAll"},  {0, "F3", "ByName"},
        {0, "F4", "ByExt"},     {0, "F5", "ByTime"},  {0, "F6", "BySize"}};
    return ALayer == klAlt ? alt : ALayer == klCtrl ? ctrl : plain;
}

int KeyBarSlotLeft(int AIndex, int AWidth, int ACount) {
    return ACount <= 0 ? 0 : static_cast<int>(static_cast<int64_t>(AWidth) * AIndex / ACount);
}

int KeyBarSlot(int AX, int AWidth, int ACount) {
    if (AX < 0 || AX >= AWidth || ACount <= 0)
        return -1;
    for (int i = ACount - 1; i >= 0; --i)
        if (AX >= KeyBarSlotLeft(i, AWidth, ACount))
            return i;
    return -1;
}

std::string ObjectText(const TKvFileEntries& AItems) {
    return AItems.size() == 1 ? "\"" + AItems.front().Name + "\"" : std::to_string(AItems.size()) + " items";
}

std::string TransferPrompt(const std::string& AVerb, const TKvFileEntries& AItems,
                           const std::string& APlace) {
    // A server's folder reads like one of this machine: the prompt names where it is.
    std::string place = APlace;
    if (!place.empty() && place.back() == ':')
        place.pop_back();
    return AVerb + " " + ObjectText(AItems) + (place.empty() ? " to:" : " to (on " + place + "):");
}

std::string ProposedDestination(const std::string& ASourceId, const std::string& ASourceDir,
                                const std::string& ADestId, const std::string& ADestDir, const TKvFileEntries& AItems) {
    if (!ADestDir.empty() && !(ASourceId == ADestId && ASourceDir == ADestDir))
        return ADestDir;
    return AItems.size() == 1 ? AItems.front().Name : ASourceDir;
}

std::string DeleteQuestion(const TKvFileEntries& AItems, bool APermanent) {
    return APermanent ? "Delete " + ObjectText(AItems) + " permanently?"
                      : "Move " + ObjectText(AItems) + " to the Trash?";
}

std::string JobDoneText(const TKvTransferResult& AResult, bool& AIsError) {
    static const char* const words[] = {"Copied", "Moved", "Deleted", "Zipped"};
    std::string text = std::string(words[static_cast<int>(AResult.Kind)]) + " " + std::to_string(AResult.Succeeded);
    if (AResult.Skipped)
        text += ", skipped " + std::to_string(AResult.Skipped);
    if (AResult.Failed)
        text += ", failed " + std::to_string(AResult.Failed);
    if (AResult.Cancelled)
        text += ", cancelled";
    if (!AResult.FirstProblem.empty())
        text += ": " + AResult.FirstProblem;
    AIsError = AResult.Failed > 0 || AResult.Skipped > 0 || !AResult.FirstProblem.empty();
    return text;
}

std::string RenameCandidate(const TKvFileEntries& AMarked, const TKvFileEntry* AFocused, bool AReadOnly) {
    if (AReadOnly)
        return {};
    if (AMarked.empty())
        return AFocused ? AFocused->Name : std::string();
    return AMarked.size() == 1 ? AMarked.front().Name : std::string();
}

int LeftHalfWidth(int AClientWidth, int ASplitter, double ARatio, int AMinHalf) {
    const int available = std::max(0, AClientWidth - ASplitter);
    const int minimum = std::min(AMinHalf, available / 2);
    const int left = static_cast<int>(std::lround(available * ARatio));
    return std::clamp(left, minimum, available - minimum);
}

std::string ShortenCaption(const std::string& AText, int AWidth,
                           const std::function<int(const std::string&)>& AMeasure) {
    std::string text = AText;
    bool cut = false;
    while (text.size() >= 8 && AMeasure(text) > AWidth) {
        if (!cut) {
            text = text.substr(0, 3) + "..." + text.substr(3);
            cut = true;
        }
        // Drop the first character after "...", keeping UTF-8 sequences whole.
        size_t next = 7;
        while (next < text.size() && (static_cast<unsigned char>(text[next]) & 0xC0) == 0x80)
            ++next;
        text.erase(6, next - 6);
    }
    return text;
}

std::string StillGoingOnText(const std::vector<std::string>& AItems) {
    if (AItems.empty())
        return {};
    std::string text = "Something is still going on:";
    for (const auto& item : AItems)
        text += "\n  - " + item;
    return text + "\n\nQuit anyway?";
}

std::string ZipProposedName(const TKvFileEntries& AItems, const std::string& AFolderName) {
    std::string name = AFolderName;
    if (AItems.size() == 1) {
        name = AItems.front().Name;
        name.resize(name.size() - ExtensionOf(name).size());
    }
    return (name.empty() ? std::string("archive") : name) + ".zip";
}

std::string ZipFileName(const std::string& AName) {
    return SameTextAscii(ExtensionOf(AName), ".zip") ? AName : AName + ".zip";
}

} // namespace kv
