#include "Kv.Shell.Quote.h"

namespace kv {

std::string ShellQuote(std::string_view AText) {
    std::string out = "'";
    for (char c : AText) {
        if (c == '\'')
            out += "'\\''";
        else
            out += c;
    }
    return out + "'";
}

std::string ShellQuoteIfNeeded(std::string_view AText) {
    bool plain = !AText.empty();
    for (unsigned char c : AText) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                        std::string_view("%+,-./:=@_").find(char(c)) != std::string_view::npos;
        if (!ok) {
            plain = false;
            break;
        }
    }
    return plain ? std::string(AText) : ShellQuote(AText);
}

bool HoldsControlCharacters(std::string_view AText) {
    for (size_t i = 0; i < AText.size(); ++i) {
        const auto c = static_cast<unsigned char>(AText[i]);
        if (c < 0x20 || c == 0x7F)
            return true;
        // U+0080..U+009F: a terminal in 8-bit mode reads them as CSI, OSC and the like.
        if (c == 0xC2 && i + 1 < AText.size()) {
            const auto next = static_cast<unsigned char>(AText[i + 1]);
            if (next >= 0x80 && next <= 0x9F)
                return true;
        }
    }
    return false;
}

bool ShellCdCommand(std::string_view AFolder, std::string& ACommand, std::string& AError) {
    ACommand.clear();
    AError.clear();
    if (AFolder.empty()) {
        AError = "There is no folder to change to";
        return false;
    }
    if (HoldsControlCharacters(AFolder)) {
        // The name as the user can read it: controls shown as "?".
        std::string shown;
        for (size_t i = 0; i < AFolder.size(); ++i) {
            const std::string_view one = AFolder.substr(i, AFolder[i] == '\xC2' ? 2 : 1);
            if (HoldsControlCharacters(one)) {
                shown += '?';
                i += one.size() - 1;
            } else {
                shown += AFolder[i];
            }
        }
        AError = "The folder \"" + shown +
                 "\" has control characters in its name, so it cannot be typed into the shell";
        return false;
    }
    // "--" so that a folder named like an option is still a folder.
    ACommand = "cd -- " + ShellQuote(AFolder);
    return true;
}

} // namespace kv
