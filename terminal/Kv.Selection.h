// Names in selected terminal text, for the copy, move and rename commands: each selected
// line read as one name and as a list of single shell words.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kv {

struct TKvLineNames {
    std::string Whole;              // the line read as one name, or empty
    std::vector<std::string> Parts; // single words that can be names, distinct, in order
    bool operator==(const TKvLineNames&) const = default;
};

// One record per non-empty line that yields a name. A long listing line gives its name column
// (without a symbolic link's target) as Whole; other lines are split into shell words.
std::vector<TKvLineNames> LineNames(std::string_view AText);

} // namespace kv
