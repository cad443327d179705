#include "Kv.Numbers.h"

#include <cfenv>
#include <cmath>
#include <cstdlib>

namespace kv {

int64_t RoundHalfEven(double AValue) {
    // nearbyint follows the current rounding mode, which is to-nearest-even unless someone
    // changed it; rint under an explicit mode keeps the rule independent of that.
    int previous = std::fegetround();
    std::fesetround(FE_TONEAREST);
    double rounded = std::nearbyint(AValue);
    std::fesetround(previous);
    return static_cast<int64_t>(rounded);
}

int MulDiv(int A, int B, int C) {
    if (C == 0)
        return -1;
    int64_t product = static_cast<int64_t>(A) * B;
    int64_t quotient = product / C;
    int64_t remainder = product % C;
    // Halves and more go away from zero.
    if (2 * std::llabs(remainder) >= std::llabs(static_cast<int64_t>(C)))
        quotient += ((product < 0) != (C < 0)) ? -1 : 1;
    return static_cast<int>(quotient);
}

} // namespace kv
