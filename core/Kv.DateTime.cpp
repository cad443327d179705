#include "Kv.DateTime.h"

#include <chrono>
#include <cerrno>
#include <cmath>

namespace kv {

namespace {

constexpr double KMsPerDay = 86400000.0;

// Days from 1899-12-30 to a civil date in the proleptic Gregorian calendar.
int64_t DaysFromCivil(int64_t AYear, unsigned AMonth, unsigned ADay) {
    AYear -= AMonth <= 2;
    const int64_t era = (AYear >= 0 ? AYear : AYear - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(AYear - era * 400);
    const unsigned doy = (153 * (AMonth + (AMonth > 2 ? -3 : 9)) + 2) / 5 + ADay - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    const int64_t unixDays = era * 146097 + static_cast<int64_t>(doe) - 719468;
    return unixDays + 25569; // 1899-12-30 is 25569 days before 1970-01-01
}

void CivilFromDays(int64_t ADays, int& AYear, int& AMonth, int& ADay) {
    int64_t z = ADays - 25569 + 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t y = static_cast<int64_t>(yoe) + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    ADay = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    AMonth = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    AYear = static_cast<int>(y + (AMonth <= 2));
}

} // namespace

TKvDateTime EncodeDateTime(const TKvDateParts& AParts) {
    double days = static_cast<double>(DaysFromCivil(AParts.Year, AParts.Month, AParts.Day));
    double ms = ((AParts.Hour * 60.0 + AParts.Minute) * 60.0 + AParts.Second) * 1000.0 + AParts.Millisecond;
    // Before 1899-12-30 the fraction counts forward from the negative day, as the format defines.
    return days >= 0 ? days + ms / KMsPerDay : days - ms / KMsPerDay;
}

TKvDateParts DecodeDateTime(TKvDateTime AWhen) {
    TKvDateParts parts;
    double whole = std::trunc(AWhen);
    double fraction = std::fabs(AWhen - whole);
    auto ms = static_cast<int64_t>(std::llround(fraction * KMsPerDay));
    int64_t days = static_cast<int64_t>(whole);
    if (ms >= static_cast<int64_t>(KMsPerDay)) {
        ms -= static_cast<int64_t>(KMsPerDay);
        days += AWhen >= 0 ? 1 : -1;
    }
    CivilFromDays(days, parts.Year, parts.Month, parts.Day);
    parts.Millisecond = static_cast<int>(ms % 1000);
    ms /= 1000;
    parts.Second = static_cast<int>(ms % 60);
    ms /= 60;
    parts.Minute = static_cast<int>(ms % 60);
    parts.Hour = static_cast<int>(ms / 60);
    return parts;
}

TKvDateTime DateTimeFromUnix(int64_t ASeconds, int64_t ANanoseconds) {
    time_t t = static_cast<time_t>(ASeconds);
    struct tm local {};
    if (!::localtime_r(&t, &local))
        return 0;
    TKvDateParts parts{local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                       local.tm_min,         local.tm_sec,     static_cast<int>(ANanoseconds / 1000000)};
    return EncodeDateTime(parts);
}

bool UnixFromDateTime(TKvDateTime AWhen, int64_t& ASeconds, int64_t& ANanoseconds) {
    if (AWhen == 0 || !std::isfinite(AWhen) || std::fabs(AWhen) > 3e6)
        return false;
    TKvDateParts parts = DecodeDateTime(AWhen);
    struct tm local {};
    local.tm_year = parts.Year - 1900;
    local.tm_mon = parts.Month - 1;
    local.tm_mday = parts.Day;
    local.tm_hour = parts.Hour;
    local.tm_min = parts.Minute;
    local.tm_sec = parts.Second;
    local.tm_isdst = -1;
    errno = 0;
    time_t t = ::mktime(&local);
    if (t == static_cast<time_t>(-1) && errno != 0)
        return false;
    ASeconds = static_cast<int64_t>(t);
    ANanoseconds = static_cast<int64_t>(parts.Millisecond) * 1000000;
    return true;
}

TKvDateTime NowDateTime() {
    auto now = std::chrono::system_clock::now().time_since_epoch();
    auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(now).count();
    return DateTimeFromUnix(ns / 1000000000, ns % 1000000000);
}

} // namespace kv
