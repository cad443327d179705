#include "Kv.Vt.Input.h"

namespace kv {

namespace {

constexpr char KEsc = '\033';

int ModifierNumber(TKvKeyMods AMods) {
    return 1 + (AMods.Shift ? 1 : 0) + (AMods.Alt ? 2 : 0) + (AMods.Control ? 4 : 0);
}

// ESC O final in application mode, ESC [ final otherwise, ESC [ 1 ; m final with modifiers.
std::string Ss3OrCsi(char AFinal, bool AApp, TKvKeyMods AMods) {
    if (AMods.Any())
        return std::string("\033[1;") + std::to_string(ModifierNumber(AMods)) + AFinal;
    return std::string(1, KEsc) + (AApp ? 'O' : '[') + AFinal;
}

// ESC [ n ~, or ESC [ n ; m ~ with modifiers.
std::string Tilde(int ANumber, TKvKeyMods AMods) {
    std::string text = "\033[" + std::to_string(ANumber);
    if (AMods.Any())
        text += ";" + std::to_string(ModifierNumber(AMods));
    return text + "~";
}

std::string WithAlt(std::string ABytes, bool AAlt) {
    if (AAlt && !ABytes.empty())
        ABytes.insert(ABytes.begin(), KEsc);
    return ABytes;
}

// A keypad key in application keypad mode: ESC O final; otherwise its character.
std::string Keypad(char AFinal, char AChar, const TKvKeyModes& AModes, TKvKeyMods AMods) {
    if (AModes.AppKeypad && !AMods.Any())
        return std::string("\033O") + AFinal;
    return WithAlt(std::string(1, AChar), AMods.Alt);
}

} // namespace

std::string EncodeKey(TKvVtKey AKey, TKvKeyMods AMods, const TKvKeyModes& AModes) {
    switch (AKey) {
    case vkUp:
        return Ss3OrCsi('A', AModes.AppCursor, AMods);
    case vkDown:
        return Ss3OrCsi('B', AModes.AppCursor, AMods);
    case vkRight:
        return Ss3OrCsi('C', AModes.AppCursor, AMods);
    case vkLeft:
        return Ss3OrCsi('D', AModes.AppCursor, AMods);
    case vkHome:
        return Ss3OrCsi('H', AModes.AppCursor, AMods);
    case vkEnd:
        return Ss3OrCsi('F', AModes.AppCursor, AMods);
    case vkF1:
        return Ss3OrCsi('P', true, AMods);
    case vkF2:
        return Ss3OrCsi('Q', true, AMods);
    case vkF3:
        return Ss3OrCsi('R', true, AMods);
    case vkF4:
        return Ss3OrCsi('S', true, AMods);
    case vkInsert:
        return Tilde(2, AMods);
    case vkDelete:
        return Tilde(3, AMods);
    case vkPageUp:
        return Tilde(5, AMods);
    case vkPageDown:
        return Tilde(6, AMods);
    case vkF5:
        return Tilde(15, AMods);
    case vkF6:
        return Tilde(17, AMods);
    case vkF7:
        return Tilde(18, AMods);
    case vkF8:
        return Tilde(19, AMods);
    case vkF9:
        return Tilde(20, AMods);
    case vkF10:
        return Tilde(21, AMods);
    case vkF11:
        return Tilde(23, AMods);
    case vkF12:
        return Tilde(24, AMods);
    case vkTab:
        if (AMods.Control || AMods.Alt)
            return std::string(); // window switching belongs to the desktop and the window
        return AMods.Shift ? "\033[Z" : "\t";
    case vkBackspace:
        return WithAlt(AMods.Control ? "\b" : "\x7f", AMods.Alt);
    case vkEnter:
        return WithAlt(AModes.Newline ? "\r\n" : "\r", AMods.Alt);
    case vkEscape:
        return WithAlt("\033", AMods.Alt);
    case vkKpEnter:
        if (AModes.AppKeypad && !AMods.Any())
            return "\033OM";
        return WithAlt(AModes.Newline ? "\r\n" : "\r", AMods.Alt);
    case vkKpPlus:
        return Keypad('k', '+', AModes, AMods);
    case vkKpMinus:
        return Keypad('m', '-', AModes, AMods);
    case vkKpMultiply:
        return Keypad('j', '*', AModes, AMods);
    case vkKpDivide:
        return Keypad('o', '/', AModes, AMods);
    }
    return std::string();
}

std::string EncodeControlKey(char AKey, TKvKeyMods AMods) {
    int code = -1;
    if (AKey >= 'A' && AKey <= 'Z')
        code = AKey - 'A' + 1;
    else if (AKey >= 'a' && AKey <= 'z')
        code = AKey - 'a' + 1;
    else if (AKey >= '3' && AKey <= '7') // as xterm: Ctrl+3 is ESC ... Ctrl+7 is ^_
        code = AKey - '3' + 27;
    else {
        switch (AKey) {
        case ' ':
        case '@':
        case '2':
            code = 0;
            break;
        case '[':
            code = 27;
            break;
        case '\\':
            code = 28;
            break;
        case ']':
            code = 29;
            break;
        case '^':
        case '~':
            code = 30;
            break;
        case '_':
        case '-':
        case '/':
            code = 31;
            break;
        case '8':
        case '?':
            code = 127;
            break;
        default:
            break;
        }
    }
    if (code < 0)
        return std::string();
    return WithAlt(std::string(1, char(code)), AMods.Alt);
}

std::string EncodeText(std::string_view AText, bool AAlt) {
    if (!AAlt)
        return std::string(AText);
    std::string bytes;
    for (size_t i = 0; i < AText.size(); ++i) {
        // ESC goes before the first byte of each UTF-8 character.
        if ((uint8_t(AText[i]) & 0xC0) != 0x80)
            bytes += KEsc;
        bytes += AText[i];
    }
    return bytes;
}

std::string PasteBytes(std::string_view AText, bool ABracketed) {
    std::string bytes;
    bytes.reserve(AText.size() + 12);
    if (ABracketed)
        bytes += "\033[200~";
    for (size_t i = 0; i < AText.size(); ++i) {
        char c = AText[i];
        if (c == '\r') {
            bytes += '\r';
            if (i + 1 < AText.size() && AText[i + 1] == '\n')
                ++i;
        } else if (c == '\n') {
            bytes += '\r';
        } else if (c == KEsc && ABracketed) {
            // Dropped: pasted "\e[201~" would end the frame and run the rest as typed keys.
        } else {
            bytes += c;
        }
    }
    if (ABracketed)
        bytes += "\033[201~";
    return bytes;
}

bool MouseWanted(TKvVtMouseMode AMode, const TKvMouseReport& AReport) {
    switch (AMode) {
    case mmOff:
        return false;
    case mmClick:
        return AReport.Action != maMove;
    case mmDrag:
        return AReport.Action != maMove || AReport.Button != mbNone;
    case mmAny:
        return true;
    }
    return false;
}

std::string EncodeMouse(TKvVtMouseMode AMode, bool ASgr, const TKvMouseReport& AReport) {
    if (!MouseWanted(AMode, AReport) || AReport.Col < 0 || AReport.Row < 0)
        return std::string();
    int code = 0;
    switch (AReport.Button) {
    case mbLeft:
        code = 0;
        break;
    case mbMiddle:
        code = 1;
        break;
    case mbRight:
        code = 2;
        break;
    case mbNone:
        code = 3;
        break;
    case mbWheelUp:
        code = 64;
        break;
    case mbWheelDown:
        code = 65;
        break;
    }
    bool wheel = AReport.Button == mbWheelUp || AReport.Button == mbWheelDown;
    if (wheel && AReport.Action == maRelease)
        return std::string(); // a wheel notch is a press only
    if (AReport.Mods.Shift)
        code += 4;
    if (AReport.Mods.Alt)
        code += 8;
    if (AReport.Mods.Control)
        code += 16;
    if (AReport.Action == maMove)
        code += 32;
    if (ASgr) {
        return "\033[<" + std::to_string(code) + ";" + std::to_string(AReport.Col + 1) + ";" +
               std::to_string(AReport.Row + 1) + (AReport.Action == maRelease ? "m" : "M");
    }
    // The classic form cannot tell which button was released.
    if (AReport.Action == maRelease)
        code = (code & ~3) | 3;
    // One byte each, offset by 32: positions past 223 cannot be sent.
    if (AReport.Col + 1 + 32 > 255 || AReport.Row + 1 + 32 > 255)
        return std::string();
    std::string bytes = "\033[M";
    bytes += char(32 + code);
    bytes += char(32 + AReport.Col + 1);
    bytes += char(32 + AReport.Row + 1);
    return bytes;
}

} // namespace kv
