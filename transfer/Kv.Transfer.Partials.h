// The partial files that stopped copies left behind (a lost connection, a skipped error), so that
// a Retry or the same copy started again, also after a restart, writes on where the data stopped
// instead of starting over beside them. Kept in "partials.json" in the data folder; shared by
// every run.
#pragma once

#include <cstdint>
#include <string>

#include "Kv.DateTime.h"

namespace kv {

struct TKvPartial {
    // The temporary file on the destination, and what it is a copy of.
    std::string Temporary;
    std::string SourceFs;
    std::string Source;
    int64_t Size = 0;
    TKvDateTime Modified = 0;
};

// Keyed by the destination's file system id and the final target path.
void RememberPartial(const std::string& ADestFs, const std::string& ATarget, const TKvPartial& APartial);
bool FindPartial(const std::string& ADestFs, const std::string& ATarget, TKvPartial& APartial);
void ForgetPartial(const std::string& ADestFs, const std::string& ATarget);
// The file they are kept in (tests); setting it forgets what was loaded.
void SetPartialsFile(const std::string& APath);

} // namespace kv
