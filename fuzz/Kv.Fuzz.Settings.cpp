// The settings and state readers on arbitrary bytes: they must never fail, and what they
// read must write out as text that reads back the same.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "Kv.Settings.h"
#include "Kv.State.h"

namespace {

void Check(bool ACondition, const char* AWhat) {
    if (!ACondition) {
        std::fprintf(stderr, "round trip broken: %s\n", AWhat);
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
    std::string_view input(reinterpret_cast<const char*>(AData), ASize);

    kv::TKvSettings settings;
    kv::ParseSettings(input, settings);
    kv::TKvSettings settingsAgain;
    kv::ParseSettings(kv::SettingsToJson(settings), settingsAgain);
    Check(settingsAgain == settings, "settings");

    kv::TKvAppState state;
    kv::ParseAppState(input, state);
    std::string text = kv::AppStateToJson(state);
    kv::TKvAppState stateAgain;
    kv::ParseAppState(text, stateAgain);
    // An invalid window is not written, so its maximized flag alone may be lost.
    kv::TKvAppState expected = state;
    if (!expected.Window.Valid)
        expected.Window = kv::TKvWindowState();
    Check(stateAgain == expected, "state");
    Check(kv::AppStateToJson(stateAgain) == text, "state text");
    return 0;
}
