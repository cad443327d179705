// Date-times are local wall-clock days since 1899-12-30 with the time of day as the fraction.
#pragma once

#include <cstdint>
#include <ctime>

namespace kv {

using TKvDateTime = double;

struct TKvDateParts {
    int Year = 0, Month = 0, Day = 0, Hour = 0, Minute = 0, Second = 0, Millisecond = 0;
};

// Seconds and nanoseconds since the Unix epoch (UTC) to the local date-time, and back.
TKvDateTime DateTimeFromUnix(int64_t ASeconds, int64_t ANanoseconds = 0);
// False when the date-time is 0 or cannot be represented.
bool UnixFromDateTime(TKvDateTime AWhen, int64_t& ASeconds, int64_t& ANanoseconds);
TKvDateTime EncodeDateTime(const TKvDateParts& AParts);
TKvDateParts DecodeDateTime(TKvDateTime AWhen);
TKvDateTime NowDateTime();

} // namespace kv
