// The two rounding rules the design uses.
#pragma once

#include <cstdint>

namespace kv {

// Nearest integer, halves to the even neighbour (12.5 -> 12, 13.5 -> 14).
int64_t RoundHalfEven(double AValue);
// A * B / C rounded to the nearest, halves away from zero; C == 0 gives -1.
int MulDiv(int A, int B, int C);

} // namespace kv
