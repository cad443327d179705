// Failures show a connection as its file text. One definition for every test file, so that
// each sees the same printer.
#pragma once

#include <ostream>

#include "Kv.Connectors.h"

namespace kv {

inline void PrintTo(const TKvConnector& AConnector, std::ostream* AOut) {
    TKvConnector shown = AConnector;
    shown.Secret.clear();
    *AOut << ConnectorsToJson({shown}, "", false, {}) << " secret \"" << AConnector.Secret << "\"";
}

} // namespace kv
