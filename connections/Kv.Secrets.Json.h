// The secret questions on a file that is already parsed, so that reading connectors.json
// parses it (and derives a portable key) once. Private to kv_connections.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "Kv.Secrets.h"

namespace kv {

using TKvJson = nlohmann::json;

// A text that does not parse gives a discarded value.
TKvJson ParseJsonText(std::string_view AText);
const TKvJson* FindMember(const TKvJson& AObject, const char* AKey);
std::string StringMember(const TKvJson& AObject, const char* AKey);

bool RootHasPasskey(const TKvJson& ARoot);
bool RootIsPortable(const TKvJson& ARoot);
bool ProtectorFromRoot(const TKvJson& ARoot, std::string_view APasskey, TKvProtector& AProtector);
bool RootCheckPasskey(const TKvJson& ARoot, std::string_view APasskey);
// The check with a protector already made from the file.
bool CheckWithProtector(const TKvJson& ARoot, const TKvProtector& AProtector);

} // namespace kv
