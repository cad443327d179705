// What the terminal sends to the host for keys, pastes, the mouse and focus changes: the byte
// sequences an xterm-like program expects. Plain functions over the screen's modes, so the
// terminal control only maps its toolkit's events onto them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "Kv.Vt.Screen.h"

namespace kv {

// Keys that are not characters.
enum class TKvVtKey {
    vkUp,
    vkDown,
    vkRight,
    vkLeft,
    vkHome,
    vkEnd,
    vkInsert,
    vkDelete,
    vkPageUp,
    vkPageDown,
    vkF1,
    vkF2,
    vkF3,
    vkF4,
    vkF5,
    vkF6,
    vkF7,
    vkF8,
    vkF9,
    vkF10,
    vkF11,
    vkF12,
    vkTab,
    vkBackspace,
    vkEnter,
    vkEscape,
    // The numeric keypad's keys that differ in application keypad mode.
    vkKpEnter,
    vkKpPlus,
    vkKpMinus,
    vkKpMultiply,
    vkKpDivide,
};
using enum TKvVtKey;

struct TKvKeyMods {
    bool Shift = false;
    bool Alt = false;
    bool Control = false;
    bool Any() const { return Shift || Alt || Control; }
};

// The screen's modes that change what keys send.
struct TKvKeyModes {
    bool AppCursor = false;
    bool AppKeypad = false;
    bool Newline = false;
};

// The bytes of a key that is not a character; empty for a combination the terminal leaves to
// the window (such as Alt+Tab).
std::string EncodeKey(TKvVtKey AKey, TKvKeyMods AMods, const TKvKeyModes& AModes = {});

// Control with a key, read from the key itself and not from the text the keyboard layer made
// of it (X11 and Wayland differ there). AKey is the key's ASCII identity: 'A' to 'Z', '2' to
// '8', ' ', '@', '[', '\\', ']', '^', '_', '/', '?'. Alt puts ESC in front. Empty when the key
// has no control code.
std::string EncodeControlKey(char AKey, TKvKeyMods AMods);

// Typed text (UTF-8); with Alt each character gets ESC in front.
std::string EncodeText(std::string_view AText, bool AAlt);

// Pasted text as the host receives it: line ends become CR; with bracketed paste the text is
// framed by ESC [ 200 ~ and ESC [ 201 ~, and ESC is removed from it so that the text cannot
// end the frame early and run as keys.
std::string PasteBytes(std::string_view AText, bool ABracketed);

// Mouse reporting.
enum class TKvMouseButton { mbLeft, mbMiddle, mbRight, mbNone, mbWheelUp, mbWheelDown };
using enum TKvMouseButton;
enum class TKvMouseAction { maPress, maRelease, maMove };
using enum TKvMouseAction;

struct TKvMouseReport {
    TKvMouseAction Action = maPress;
    TKvMouseButton Button = mbLeft; // for a move: the button held, or mbNone
    int Col = 0;                    // 0-based cell
    int Row = 0;
    TKvKeyMods Mods;
};

// Whether the mode asks for this event at all.
bool MouseWanted(TKvVtMouseMode AMode, const TKvMouseReport& AReport);
// The report in the SGR form (1006) or the classic form; empty when the mode does not ask
// for the event or the classic form cannot carry the position.
std::string EncodeMouse(TKvVtMouseMode AMode, bool ASgr, const TKvMouseReport& AReport);

// Focus in and out (mode 1004).
inline std::string FocusReport(bool AIn) { return AIn ? "\033[I" : "\033[O"; }

} // namespace kv
