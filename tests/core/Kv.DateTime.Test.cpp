#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "Kv.DateTime.h"
#include "Kv.Numbers.h"

using namespace kv;

TEST(DateTime, KnownDayNumbers) {
    EXPECT_DOUBLE_EQ(EncodeDateTime({1899, 12, 30}), 0.0);
    EXPECT_DOUBLE_EQ(EncodeDateTime({1970, 1, 1}), 25569.0);
    EXPECT_DOUBLE_EQ(EncodeDateTime({2000, 1, 1, 12}), 36526.5);
    EXPECT_DOUBLE_EQ(EncodeDateTime({1899, 12, 29, 6}), -1.25); // fraction counts from the day
    TKvDateParts parts = DecodeDateTime(-1.25);
    EXPECT_EQ(parts.Day, 29);
    EXPECT_EQ(parts.Hour, 6);
}

TEST(DateTime, UnixRoundTripInLocalTime) {
    // A zone with summer time, so the conversion has to take the right offset each season.
    const char* old = std::getenv("TZ");
    std::string saved = old ? old : "";
    ::setenv("TZ", "Europe/Berlin", 1);
    ::tzset();
    // Times in the hour that repeats when summer time ends are ambiguous in local time by
    // nature; these are on either side of both switches.
    for (int64_t seconds : {0LL, 1711846800LL /* 2024-03-31 01:00 UTC, just after the switch */,
                            1698548400LL /* 2023-10-29 03:00 UTC */, 4102444800LL}) {
        TKvDateTime when = DateTimeFromUnix(seconds, 250000000);
        int64_t back = 0, ns = 0;
        ASSERT_TRUE(UnixFromDateTime(when, back, ns));
        EXPECT_EQ(back, seconds);
        EXPECT_EQ(ns, 250000000);
    }
    TKvDateParts summer = DecodeDateTime(DateTimeFromUnix(1719835200)); // 2024-07-01 12:00 UTC
    EXPECT_EQ(summer.Hour, 14);
    int64_t s = 0, ns = 0;
    EXPECT_FALSE(UnixFromDateTime(0, s, ns));
    if (old)
        ::setenv("TZ", saved.c_str(), 1);
    else
        ::unsetenv("TZ");
    ::tzset();
}

TEST(Rounding, HalvesToEvenAndMulDiv) {
    EXPECT_EQ(RoundHalfEven(12.5), 12);
    EXPECT_EQ(RoundHalfEven(13.5), 14);
    EXPECT_EQ(RoundHalfEven(-2.5), -2);
    EXPECT_EQ(RoundHalfEven(2.6), 3);
    EXPECT_EQ(MulDiv(3, 1, 2), 2);   // 1.5 away from zero
    EXPECT_EQ(MulDiv(-3, 1, 2), -2);
    EXPECT_EQ(MulDiv(5, 144, 96), 8); // 7.5
    EXPECT_EQ(MulDiv(100, 120, 96), 125);
    EXPECT_EQ(MulDiv(1, 2, 0), -1);
    EXPECT_EQ(MulDiv(1 << 30, 4, 8), 1 << 29); // the product passes 32 bits on the way
}
