#include "Kv.Vt.Parser.h"

#include "Kv.Text.h"
#include "Kv.Utf8.h"

#include <algorithm>
#include <cstdio>
#include <unistd.h>

namespace kv {

namespace {

constexpr uint32_t KReplacement = 0xFFFD;

// Numbers from the stream stop growing here; every count is clamped again by the screen.
constexpr int KParamLimit = 100000;

bool IsC0(uint8_t AByte) {
    return AByte < 0x20;
}

} // namespace

TKvVtParser::TKvVtParser(TKvVtScreen& AScreen) : FScreen(AScreen) {
    FOsc.reserve(KMaxOsc);
}

void TKvVtParser::ClearParams() {
    FParamCount = 0;
    FCur = -1;
    FSubMask = 0;
    FCurIsSub = false;
    FMarker = 0;
    FInterCount = 0;
}

void TKvVtParser::StoreParam() {
    if (FParamCount < KMaxParams) {
        if (FCurIsSub)
            FSubMask |= 1u << FParamCount;
        FParams[FParamCount++] = FCur;
    }
    FCur = -1;
    FCurIsSub = false;
}

int TKvVtParser::Param(int AIndex, int ADefault) const {
    if (AIndex < FParamCount && FParams[AIndex] >= 0)
        return FParams[AIndex];
    return ADefault;
}

int TKvVtParser::Count(int AIndex) const {
    int value = Param(AIndex, 1);
    return value == 0 ? 1 : value;
}

void TKvVtParser::Execute(uint8_t AByte) {
    switch (AByte) {
    case 0x08:
        FScreen.Backspace();
        break;
    case 0x09:
        FScreen.Tab(1);
        break;
    case 0x0A:
    case 0x0B:
    case 0x0C:
        FScreen.LineFeed();
        break;
    case 0x0D:
        FScreen.CarriageReturn();
        break;
    case 0x0E:
        FScreen.ShiftOut();
        break;
    case 0x0F:
        FScreen.ShiftIn();
        break;
    default: // BEL and the rest do nothing
        break;
    }
}

void TKvVtParser::Feed(const char* ABuf, size_t ACount) {
    const uint8_t* p = reinterpret_cast<const uint8_t*>(ABuf);
    const uint8_t* end = p + ACount;
    while (p < end) {
        if (FState == psGround && FUtf8Need == 0) {
            // Runs of printable ASCII go to the screen in one call.
            const uint8_t* run = p;
            while (p < end && *p >= 0x20 && *p < 0x7F)
                ++p;
            if (p > run) {
                FScreen.PutAscii(reinterpret_cast<const char*>(run), size_t(p - run));
                continue;
            }
            // A whole two- or three-byte character in the buffer is decoded at once; anything
            // unusual takes the byte-by-byte path below.
            if (*p >= 0xC2 && *p <= 0xDF && end - p >= 2 && (p[1] & 0xC0) == 0x80) {
                Print(uint32_t(*p & 0x1F) << 6 | (p[1] & 0x3F));
                p += 2;
                continue;
            }
            if (*p >= 0xE0 && *p <= 0xEF && end - p >= 3 && (p[1] & 0xC0) == 0x80 &&
                (p[2] & 0xC0) == 0x80) {
                uint32_t cp =
                    uint32_t(*p & 0x0F) << 12 | uint32_t(p[1] & 0x3F) << 6 | (p[2] & 0x3F);
                if (cp >= 0x800 && (cp < 0xD800 || cp > 0xDFFF)) {
                    Print(cp);
                    p += 3;
                    continue;
                }
            }
        } else if (FState == psCsi) {
            // Parameters are most of a control sequence's bytes.
            while (p < end && ((*p >= '0' && *p <= '9') || *p == ';')) {
                if (*p == ';') {
                    StoreParam();
                } else {
                    if (FCur < 0)
                        FCur = 0;
                    if (FCur < KParamLimit)
                        FCur = FCur * 10 + (*p - '0');
                }
                ++p;
            }
            if (p == end)
                break;
        }
        Step(*p++);
    }
}

void TKvVtParser::Step(uint8_t b) {
    // CAN and SUB abort whatever is in progress.
    if (b == 0x18 || b == 0x1A) {
        FState = psGround;
        FUtf8Need = 0;
        return;
    }
    switch (FState) {
    case psGround:
        Ground(b);
        break;

    case psEscape:
        if (b == 0x1B) {
            ClearParams();
        } else if (IsC0(b)) {
            Execute(b);
        } else if (b <= 0x2F) {
            FInter[0] = char(b);
            FInterCount = 1;
            FState = psEscapeInter;
        } else if (b == 'P' || b == 'X' || b == '^' || b == '_') {
            FState = psString; // DCS, SOS, PM, APC: read and dropped
        } else if (b == '[') {
            ClearParams();
            FState = psCsi;
        } else if (b == ']') {
            FOsc.clear();
            FOscFlawed = false;
            FState = psOsc;
        } else if (b >= 0x7F) {
            FState = psGround;
        } else {
            FState = psGround;
            EscapeDispatch(b);
        }
        break;

    case psEscapeInter:
        if (b == 0x1B) {
            // A new sequence starts; losing this ESC would print the next one as text.
            ClearParams();
            FState = psEscape;
        } else if (IsC0(b)) {
            Execute(b);
        } else if (b <= 0x2F) {
            if (FInterCount < int(sizeof FInter))
                FInter[FInterCount++] = char(b);
        } else if (b < 0x7F) {
            FState = psGround;
            EscapeDispatch(b);
        } else {
            FState = psGround;
        }
        break;

    case psCsi:
        if (b == 0x1B) {
            ClearParams();
            FState = psEscape;
        } else if (IsC0(b)) {
            Execute(b);
        } else if (b >= '0' && b <= '9') {
            if (FCur < 0)
                FCur = 0;
            if (FCur < KParamLimit)
                FCur = FCur * 10 + (b - '0');
        } else if (b == ':' || b == ';') {
            StoreParam();
            FCurIsSub = b == ':';
        } else if (b >= '<' && b <= '?') {
            if (FParamCount == 0 && FCur < 0 && FMarker == 0)
                FMarker = char(b);
            else
                FState = psCsiIgnore;
        } else if (b <= 0x2F) {
            FInter[0] = char(b);
            FInterCount = 1;
            FState = psCsiInter;
        } else if (b < 0x7F) {
            if (FParamCount > 0 || FCur >= 0)
                StoreParam();
            FState = psGround;
            CsiDispatch(b);
        } else {
            FState = psGround;
        }
        break;

    case psCsiInter:
        if (b == 0x1B) {
            ClearParams();
            FState = psEscape;
        } else if (IsC0(b)) {
            Execute(b);
        } else if (b <= 0x2F) {
            if (FInterCount < int(sizeof FInter))
                FInter[FInterCount++] = char(b);
        } else if (b <= 0x3F) {
            FState = psCsiIgnore;
        } else if (b < 0x7F) {
            // Sequences with intermediates are not supported; CsiDispatch ignores them.
            if (FParamCount > 0 || FCur >= 0)
                StoreParam();
            FState = psGround;
            CsiDispatch(b);
        } else {
            FState = psGround;
        }
        break;

    case psCsiIgnore:
        // Controls inside a malformed sequence still act, and ESC still starts a new one.
        if (b == 0x1B) {
            ClearParams();
            FState = psEscape;
        } else if (IsC0(b)) {
            Execute(b);
        } else if (b >= 0x40 && b <= 0x7E) {
            FState = psGround;
        }
        break;

    case psOsc:
        if (b == 0x07) {
            FState = psGround;
            OscDispatch(true);
        } else if (b == 0x1B) {
            FState = psOscEscape;
        } else if (b >= 0x20 && b != 0x7F) {
            if (FOsc.size() < KMaxOsc)
                FOsc += char(b);
            else
                FOscFlawed = true;
        } else {
            FOscFlawed = true;
        }
        break;

    case psOscEscape:
        if (b == '\\') {
            FState = psGround;
            OscDispatch(false);
        } else {
            // Not a string terminator: the string is abandoned and the ESC starts a sequence.
            ClearParams();
            FState = psEscape;
            Step(b);
        }
        break;

    case psString:
        if (b == 0x07)
            FState = psGround;
        else if (b == 0x1B)
            FState = psStringEscape;
        break;

    case psStringEscape:
        FState = b == '\\' ? psGround : psString;
        break;
    }
}

void TKvVtParser::Ground(uint8_t b) {
    if (FUtf8Need > 0) {
        if (b >= 0x80 && b <= 0xBF) {
            FUtf8Cp = (FUtf8Cp << 6) | (b & 0x3F);
            if (--FUtf8Need == 0) {
                bool valid = FUtf8Cp >= FUtf8Min && FUtf8Cp <= 0x10FFFF &&
                             (FUtf8Cp < 0xD800 || FUtf8Cp > 0xDFFF);
                Print(valid ? FUtf8Cp : KReplacement);
            }
            return;
        }
        // The sequence ended early: mark it and read this byte afresh.
        FUtf8Need = 0;
        Print(KReplacement);
    }
    if (b == 0x1B) {
        ClearParams();
        FState = psEscape;
    } else if (b >= 0x20 && b <= 0x7E) {
        Print(b);
    } else if (b == 0x7F) {
        // DEL is ignored
    } else if (b >= 0xC2 && b <= 0xDF) {
        FUtf8Cp = b & 0x1F;
        FUtf8Need = 1;
        FUtf8Min = 0x80;
    } else if (b >= 0xE0 && b <= 0xEF) {
        FUtf8Cp = b & 0x0F;
        FUtf8Need = 2;
        FUtf8Min = 0x800;
    } else if (b >= 0xF0 && b <= 0xF4) {
        FUtf8Cp = b & 0x07;
        FUtf8Need = 3;
        FUtf8Min = 0x10000;
    } else if (b >= 0x80) {
        // Stray continuation bytes, C0/C1 leads of overlong forms, 0xF5..0xFF. C1 controls
        // are not controls here: in UTF-8 they would be two bytes anyway.
        Print(KReplacement);
    } else {
        Execute(b);
    }
}

void TKvVtParser::EscapeDispatch(uint8_t AFinal) {
    if (FInterCount > 0) {
        if (FInterCount == 1 && FInter[0] == '(')
            FScreen.DesignateCharset(0, char(AFinal));
        else if (FInterCount == 1 && FInter[0] == ')')
            FScreen.DesignateCharset(1, char(AFinal));
        else if (FInterCount == 1 && FInter[0] == '#' && AFinal == '8') // DECALN - Alignment
            FScreen.AlignmentPattern();
        return;
    }
    switch (AFinal) {
    case '7': // DECSC - Save Cursor
        FScreen.SaveCursor();
        break;
    case '8': // DECRC - Restore Cursor
        FScreen.RestoreCursor();
        break;
    case '=': // DECKPAM - Application Keypad
        FScreen.SetAppKeypad(true);
        break;
    case '>': // DECKPNM - Normal Keypad
        FScreen.SetAppKeypad(false);
        break;
    case 'D': // IND - Index
        FScreen.Index();
        break;
    case 'E': // NEL - Next Line
        FScreen.NextLine();
        break;
    case 'H': // HTS - Horizontal Tab Set
        FScreen.SetTabStop();
        break;
    case 'M': // RI - Reverse Index
        FScreen.ReverseIndex();
        break;
    case 'c': // RIS - Reset to Initial State
        FScreen.FullReset();
        break;
    default:
        break;
    }
}

void TKvVtParser::CsiDispatch(uint8_t AFinal) {
    if (FInterCount > 0) {
        if (FInterCount == 1 && FInter[0] == '$' && AFinal == 'p' &&
            (FMarker == 0 || FMarker == '?')) // DECRQM - Request Mode
            ModeRequest(FMarker == '?');
        return;
    }
    if (FMarker != 0) {
        if (FMarker == '>' && AFinal == 'c') { // Secondary DA
            FScreen.Reply("\033[>0;0;0c");
        } else if (FMarker == '?' && (AFinal == 'h' || AFinal == 'l')) { // DECSET / DECRST
            for (int i = 0; i < FParamCount; ++i)
                FScreen.SetPrivateMode(Param(i, 0), AFinal == 'h');
        } else if (FMarker == '?' && AFinal == 'n') { // DECDSR
            DeviceStatus(true);
        }
        return;
    }
    switch (AFinal) {
    case '@': // ICH - Insert Character
        FScreen.InsertChars(Count(0));
        break;
    case 'A': // CUU - Cursor Up
        FScreen.CursorUp(Count(0));
        break;
    case 'B': // CUD - Cursor Down
    case 'e': // VPR - Vertical Position Relative
        FScreen.CursorDown(Count(0));
        break;
    case 'C': // CUF - Cursor Forward
    case 'a': // HPR - Horizontal Position Relative
        FScreen.CursorForward(Count(0));
        break;
    case 'D': // CUB - Cursor Back
        FScreen.CursorBack(Count(0));
        break;
    case 'E': // CNL - Cursor Next Line
        FScreen.CursorDown(Count(0));
        FScreen.CarriageReturn();
        break;
    case 'F': // CPL - Cursor Previous Line
        FScreen.CursorUp(Count(0));
        FScreen.CarriageReturn();
        break;
    case 'G': // CHA - Cursor Horizontal Absolute
    case '`': // HPA - Horizontal Position Absolute
        FScreen.CursorToColumn(Count(0));
        break;
    case 'H': // CUP - Cursor Position
    case 'f': // HVP - Horizontal and Vertical Position
        FScreen.CursorTo(Count(0), Count(1));
        break;
    case 'I': // CHT - Cursor Horizontal Tab
        FScreen.Tab(Count(0));
        break;
    case 'J': // ED - Erase in Display
        FScreen.EraseInDisplay(Param(0, 0));
        break;
    case 'K': // EL - Erase in Line
        FScreen.EraseInLine(Param(0, 0));
        break;
    case 'L': // IL - Insert Line
        FScreen.InsertLines(Count(0));
        break;
    case 'M': // DL - Delete Line
        FScreen.DeleteLines(Count(0));
        break;
    case 'P': // DCH - Delete Character
        FScreen.DeleteChars(Count(0));
        break;
    case 'S': // SU - Scroll Up
        FScreen.ScrollUp(Count(0));
        break;
    case 'T': // SD - Scroll Down
        FScreen.ScrollDown(Count(0));
        break;
    case 'X': // ECH - Erase Character
        FScreen.EraseChars(Count(0));
        break;
    case 'Z': // CBT - Cursor Backward Tab
        FScreen.BackTab(Count(0));
        break;
    case 'b': // REP - Repeat; xterm-256color's terminfo advertises it, so curses uses it
        FScreen.RepeatChar(Count(0));
        break;
    case 'c': // DA - Device Attributes
        if (Param(0, 0) == 0)
            FScreen.Reply("\033[?1;2c");
        break;
    case 'd': // VPA - Vertical Position Absolute
        FScreen.CursorToRow(Count(0));
        break;
    case 'g': // TBC - Tab Clear
        FScreen.ClearTabStop(Param(0, 0));
        break;
    case 'h': // SM - Set Mode
    case 'l': // RM - Reset Mode
        for (int i = 0; i < FParamCount; ++i)
            FScreen.SetAnsiMode(Param(i, 0), AFinal == 'h');
        break;
    case 'm': // SGR - Select Graphic Rendition
        SelectGraphicRendition();
        break;
    case 'n': // DSR - Device Status Report
        DeviceStatus(false);
        break;
    case 'r': // DECSTBM - Set Top and Bottom Margins
        FScreen.SetScrollRegion(Param(0, 1), Param(1, 0));
        break;
    case 's': // SCOSC - Save Cursor
        FScreen.SaveCursor();
        break;
    case 't': // XTWINOPS: the size report and the title stack
        if (Param(0, 0) == 18)
            FScreen.Reply("\033[8;" + std::to_string(FScreen.Rows()) + ";" +
                          std::to_string(FScreen.Cols()) + "t");
        else if (Param(0, 0) == 22)
            FScreen.PushTitle();
        else if (Param(0, 0) == 23 && FScreen.PopTitle())
            FScreen.Changed();
        break;
    case 'u': // SCORC - Restore Cursor
        FScreen.RestoreCursor();
        break;
    default:
        break;
    }
}

void TKvVtParser::ModeRequest(bool APrivate) {
    int mode = Param(0, 0);
    std::string reply = APrivate ? "\033[?" : "\033[";
    reply += std::to_string(mode) + ";" + std::to_string(FScreen.ModeState(mode, APrivate)) + "$y";
    FScreen.Reply(reply);
}

void TKvVtParser::DeviceStatus(bool APrivate) {
    switch (Param(0, 0)) {
    case 5:
        FScreen.Reply("\033[0n");
        break;
    case 6:
        FScreen.ReportCursor(APrivate);
        break;
    default:
        break;
    }
}

void TKvVtParser::SelectGraphicRendition() {
    if (FParamCount == 0) {
        FScreen.ResetAttributes();
        return;
    }
    for (int i = 0; i < FParamCount; ++i) {
        int value = Param(i, 0);
        switch (value) {
        case 0:
            FScreen.ResetAttributes();
            break;
        case 1:
            FScreen.SetFlag(vfBold, true);
            break;
        case 2:
            FScreen.SetFlag(vfFaint, true);
            break;
        case 3:
            FScreen.SetFlag(vfItalic, true);
            break;
        case 4:
        case 21:
            FScreen.SetFlag(vfUnderline, true);
            break;
        case 5:
        case 6:
            FScreen.SetFlag(vfBlink, true);
            break;
        case 7:
            FScreen.SetFlag(vfInverse, true);
            break;
        case 8:
            FScreen.SetFlag(vfHidden, true);
            break;
        case 9:
            FScreen.SetFlag(vfStrike, true);
            break;
        case 22:
            FScreen.SetFlag(vfBold | vfFaint, false);
            break;
        case 23:
            FScreen.SetFlag(vfItalic, false);
            break;
        case 24:
            FScreen.SetFlag(vfUnderline, false);
            break;
        case 25:
            FScreen.SetFlag(vfBlink, false);
            break;
        case 27:
            FScreen.SetFlag(vfInverse, false);
            break;
        case 28:
            FScreen.SetFlag(vfHidden, false);
            break;
        case 29:
            FScreen.SetFlag(vfStrike, false);
            break;
        case 39:
            FScreen.SetForeground(KVtDefaultColor);
            break;
        case 49:
            FScreen.SetBackground(KVtDefaultColor);
            break;
        case 38:
        case 48: {
            bool foreground = value == 38;
            auto apply = [&](uint32_t AColor) {
                if (foreground)
                    FScreen.SetForeground(AColor);
                else
                    FScreen.SetBackground(AColor);
            };
            auto direct = [&](int ARed) {
                return VtDirectColor(uint8_t(Param(ARed, 0) % 256),
                                     uint8_t(Param(ARed + 1, 0) % 256),
                                     uint8_t(Param(ARed + 2, 0) % 256));
            };
            int kind = Param(i + 1, -1);
            if (i + 1 < FParamCount && (FSubMask & (1u << (i + 1)))) {
                // The colon form: the whole group belongs to this colour. 38:2:r:g:b, or with
                // the colour-space field 38:2:cs:r:g:b (also left empty, 38:2::r:g:b).
                int last = i + 1;
                while (last + 1 < FParamCount && (FSubMask & (1u << (last + 1))))
                    ++last;
                if (kind == 5) {
                    int index = Param(i + 2, -1);
                    if (i + 2 <= last && index >= 0 && index <= 255)
                        apply(uint32_t(index));
                } else if (kind == 2) {
                    apply(direct(last - (i + 1) >= 4 ? i + 3 : i + 2));
                }
                i = last;
                break;
            }
            if (kind == 5) {
                int index = Param(i + 2, -1);
                if (index >= 0 && index <= 255)
                    apply(uint32_t(index));
                i += 2;
            } else if (kind == 2) {
                // 38;2;r;g;b; an empty field after the 2 with all five there is read as an
                // empty colour space.
                int red = i + 2;
                if (FParamCount - i - 1 >= 5 && FParams[i + 2] < 0)
                    red = i + 3;
                apply(direct(red));
                i = red + 2;
            }
            break;
        }
        default:
            if (value >= 30 && value <= 37)
                FScreen.SetForeground(uint32_t(value - 30));
            else if (value >= 40 && value <= 47)
                FScreen.SetBackground(uint32_t(value - 40));
            else if (value >= 90 && value <= 97)
                FScreen.SetForeground(uint32_t(value - 82));
            else if (value >= 100 && value <= 107)
                FScreen.SetBackground(uint32_t(value - 92));
            break;
        }
    }
}

void TKvVtParser::ColorQuery(int ANumber, bool ABell) {
    uint32_t rgb = ANumber == 10   ? FScreen.DefaultForegroundRgb()
                   : ANumber == 11 ? FScreen.DefaultBackgroundRgb()
                                   : FScreen.CursorRgb();
    char text[64];
    // Each component as four hex digits, the byte repeated, as xterm answers.
    std::snprintf(text, sizeof text, "\033]%d;rgb:%02x%02x/%02x%02x/%02x%02x%s", ANumber,
                  (rgb >> 16) & 0xFF, (rgb >> 16) & 0xFF, (rgb >> 8) & 0xFF, (rgb >> 8) & 0xFF,
                  rgb & 0xFF, rgb & 0xFF, ABell ? "\a" : "\033\\");
    FScreen.Reply(text);
}

void TKvVtParser::OscDispatch(bool ABell) {
    std::string text = SanitizeUtf8(FOsc);
    size_t semicolon = text.find(';');
    if (semicolon == std::string::npos || semicolon == 0 || semicolon > 9)
        return;
    int number = 0;
    for (size_t i = 0; i < semicolon; ++i) {
        if (text[i] < '0' || text[i] > '9')
            return;
        number = number * 10 + (text[i] - '0');
    }
    std::string_view rest = std::string_view(text).substr(semicolon + 1);
    // A folder report is taken only as it was sent: nothing dropped or replaced on the way in, and
    // no control byte in the folder it names.
    const auto exactFolder = [&](std::string_view APath) {
        if (FOscFlawed || text != FOsc)
            return false;
        return std::none_of(APath.begin(), APath.end(), [](char AChar) {
            return uint8_t(AChar) < 0x20 || uint8_t(AChar) == 0x7F;
        });
    };
    switch (number) {
    case 0:
    case 2:
        FScreen.SetTitle(rest);
        FScreen.Changed();
        break;
    case 7:
        // One that is refused leaves the folder unknown: the shell is in none that can be named.
        FSeenOsc7 = true;
        FScreen.SetCwd(exactFolder(PercentDecode(rest)) ? rest : std::string_view());
        break;
    case 9:
        // ConEmu's folder report: 9;9;path
        if (rest.starts_with("9;") && !FSeenOsc7)
            FScreen.SetCwd(exactFolder(rest.substr(2)) ? MakeFileUrl(rest.substr(2)) : "");
        break;
    case 8: {
        // 8;params;URI with params "key=value" joined by ":"; only "id" means anything here.
        // A URI that lost bytes on the way in, or holds control characters, is no link.
        const size_t split = rest.find(';');
        if (split == std::string_view::npos)
            break;
        const std::string_view params = rest.substr(0, split), uri = rest.substr(split + 1);
        std::string_view id;
        for (size_t from = 0; from <= params.size();) {
            size_t to = params.find(':', from);
            if (to == std::string_view::npos)
                to = params.size();
            const std::string_view param = params.substr(from, to - from);
            if (param.starts_with("id="))
                id = param.substr(3);
            from = to + 1;
        }
        const bool clean = !FOscFlawed && text == FOsc &&
                           std::none_of(uri.begin(), uri.end(), [](char AChar) {
                               return uint8_t(AChar) < 0x20 || uint8_t(AChar) == 0x7F;
                           });
        FScreen.SetHyperlink(id, clean ? uri : std::string_view());
        break;
    }
    case 7701:
        FScreen.SetUser(rest);
        break;
    case 10:
    case 11:
    case 12:
        // Queries only; programs ask to pick colours that read well on this background.
        if (rest == "?")
            ColorQuery(number, ABell);
        break;
    default:
        break;
    }
}

// --- UTF-8 and file URLs --------------------------------------------------------------------

std::string SanitizeUtf8(std::string_view AText) {
    std::string out;
    out.reserve(AText.size());
    size_t i = 0;
    while (i < AText.size()) {
        uint8_t b = uint8_t(AText[i]);
        if (b < 0x80) {
            out += char(b);
            ++i;
            continue;
        }
        int need = 0;
        uint32_t cp = 0, min = 0;
        if (b >= 0xC2 && b <= 0xDF) {
            need = 1, cp = b & 0x1F, min = 0x80;
        } else if (b >= 0xE0 && b <= 0xEF) {
            need = 2, cp = b & 0x0F, min = 0x800;
        } else if (b >= 0xF0 && b <= 0xF4) {
            need = 3, cp = b & 0x07, min = 0x10000;
        } else {
            AppendUtf8(out, KReplacement);
            ++i;
            continue;
        }
        size_t j = i + 1;
        while (need > 0 && j < AText.size() && (uint8_t(AText[j]) & 0xC0) == 0x80) {
            cp = (cp << 6) | (uint8_t(AText[j]) & 0x3F);
            ++j;
            --need;
        }
        bool valid = need == 0 && cp >= min && cp <= 0x10FFFF && (cp < 0xD800 || cp > 0xDFFF);
        if (valid)
            out.append(AText.substr(i, j - i));
        else
            AppendUtf8(out, KReplacement);
        i = j;
    }
    return out;
}

namespace {

bool IsAsciiLetter(char AChar) {
    return (AChar >= 'a' && AChar <= 'z') || (AChar >= 'A' && AChar <= 'Z');
}

std::string LocalHostName() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0)
        return std::string();
    return name;
}

} // namespace

bool ParseFileUrl(std::string_view AUrl, std::string& AHost, std::string& APath) {
    constexpr std::string_view KScheme = "file://";
    if (AUrl.size() < KScheme.size() || !SameTextAscii(AUrl.substr(0, KScheme.size()), KScheme))
        return false;
    std::string_view rest = AUrl.substr(KScheme.size());
    size_t slash = rest.find('/');
    if (slash == std::string_view::npos)
        return false;
    AHost = rest.substr(0, slash);
    APath = PercentDecode(rest.substr(slash));
    return !APath.empty();
}

std::string MakeFileUrl(std::string_view APath) {
    auto isBlank = [](char AChar) { return uint8_t(AChar) <= ' '; };
    while (!APath.empty() && isBlank(APath.front()))
        APath.remove_prefix(1);
    while (!APath.empty() && isBlank(APath.back()))
        APath.remove_suffix(1);
    if (APath.size() >= 2 && APath.front() == '"' && APath.back() == '"')
        APath = APath.substr(1, APath.size() - 2);
    if (APath.empty())
        return std::string();
    std::string url = APath.front() == '/' ? "file://localhost" : "file://localhost/";
    for (char c : APath) {
        if (c == '%')
            url += "%25";
        else if (c == ' ')
            url += "%20";
        else
            url += c;
    }
    return url;
}

std::string FileUrlToLocalPath(std::string_view AUrl, std::string_view AHostName) {
    std::string host, path;
    if (!ParseFileUrl(AUrl, host, path))
        return std::string();
    if (!host.empty() && !SameTextAscii(host, "localhost") &&
        (AHostName.empty() || !SameTextAscii(host, AHostName)))
        return std::string();
    // A network form (//server/share) or a drive form (/C:/...) names no local folder here.
    if (path.size() >= 2 && path[1] == '/')
        return std::string();
    if (path.size() >= 3 && IsAsciiLetter(path[1]) && path[2] == ':' &&
        (path.size() == 3 || path[3] == '/' || path[3] == '\\'))
        return std::string();
    // %00 would cut the path short wherever it is used.
    if (path.find('\0') != std::string::npos)
        return std::string();
    return path;
}

std::string FileUrlToLocalPath(std::string_view AUrl) {
    return FileUrlToLocalPath(AUrl, LocalHostName());
}

} // namespace kv
