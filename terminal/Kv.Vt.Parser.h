// Turns the byte stream a shell sends into calls on a TKvVtScreen: UTF-8, C0 controls and the
// ESC, CSI and OSC sequences of an "xterm-256color" terminal. Queries are answered by queueing
// replies in the screen; OSC 7 and OSC 9;9 folder reports go to the screen's Cwd.
//
// The parser knows nothing of threads: the caller holds the screen's lock while feeding.
// State carries across Feed calls, so a sequence or a character may arrive split.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "Kv.Utf8.h"
#include "Kv.Vt.Screen.h"

namespace kv {

enum class TParserState {
    psGround,
    psEscape,
    psEscapeInter,
    psCsi,
    psCsiInter,
    psCsiIgnore,
    psOsc,
    psOscEscape,
    psString,
    psStringEscape,
};
using enum TParserState;

class TKvVtParser {
public:
    static constexpr int KMaxParams = 16;
    static constexpr size_t KMaxOsc = 4096;

    explicit TKvVtParser(TKvVtScreen& AScreen);

    void Feed(const char* ABuf, size_t ACount);
    void Feed(std::string_view AData) { Feed(AData.data(), AData.size()); }

    TParserState State() const { return FState; }

private:
    void Step(uint8_t AByte);
    void Execute(uint8_t AByte);
    void Print(uint32_t ACodePoint) { FScreen.PutChar(ACodePoint); }
    void ClearParams();
    void StoreParam();
    int Param(int AIndex, int ADefault) const;
    int Count(int AIndex) const;
    void EscapeDispatch(uint8_t AFinal);
    void CsiDispatch(uint8_t AFinal);
    void SelectGraphicRendition();
    void DeviceStatus(bool APrivate);
    // ABell: the string ended with BEL rather than ESC \ (replies end the same way).
    void OscDispatch(bool ABell);
    void ColorQuery(int ANumber, bool ABell);
    void ModeRequest(bool APrivate);
    // Bytes of the ground state (also the first byte after an interrupted UTF-8 sequence).
    void Ground(uint8_t AByte);

    TKvVtScreen& FScreen;
    TParserState FState = psGround;
    uint32_t FUtf8Cp = 0;
    int FUtf8Need = 0;
    uint32_t FUtf8Min = 0;
    int FParams[KMaxParams] = {};
    int FParamCount = 0;
    int FCur = -1; // -1 while no digit of the current parameter has been seen
    // Bit i: parameter i followed a ":" (a sub-parameter, as in 38:2:cs:r:g:b).
    uint32_t FSubMask = 0;
    bool FCurIsSub = false;
    char FMarker = 0;
    char FInter[4] = {};
    int FInterCount = 0;
    std::string FOsc;
    // The OSC string lost bytes on the way in (control bytes, DEL, a cut at KMaxOsc): it is no
    // longer the folder a shell reported.
    bool FOscFlawed = false;
    // An OSC 7 report came: from then on OSC 9;9 is ignored, since a shell that prints a folder's
    // name raw (a prompt, a title) would let that name forge one.
    bool FSeenOsc7 = false;
};

// "file://host/path": false without "file://" (any case) or without a "/" after the host.
bool ParseFileUrl(std::string_view AUrl, std::string& AHost, std::string& APath);
// The file URL of a folder a shell reported: "%" and blanks encoded, a backslash kept as a
// name character; "file://localhost" in front. Empty stays empty.
std::string MakeFileUrl(std::string_view APath);
// The local path of a file URL on this machine (host "", "localhost" or this host's name,
// path from "/"); empty for any other host, a drive or network form, or a path with NUL.
std::string FileUrlToLocalPath(std::string_view AUrl);
// The same against a given host name (the machine's own name is only a default).
std::string FileUrlToLocalPath(std::string_view AUrl, std::string_view AHostName);

// Turns bytes into valid UTF-8: each malformed sequence becomes U+FFFD.
std::string SanitizeUtf8(std::string_view AText);

} // namespace kv
