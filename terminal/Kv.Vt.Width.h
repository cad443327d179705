// Display width of a code point in terminal cells.
#pragma once

#include <cstdint>

namespace kv {

// 0 for combining marks and invisible format characters (they are not drawn), 2 for wide
// East Asian characters and emoji, 1 otherwise. Agrees with the C library's wcwidth on every
// wide character, since the program on the other side counts columns with it.
int CharWidth(uint32_t ACodePoint);

} // namespace kv
