#include <gtest/gtest.h>

#include <locale.h>
#include <wchar.h>

#include "Kv.Vt.Width.h"

using namespace kv;

namespace {

struct TRange {
    uint32_t First, Last;
};

// The ranges the width table has always had; they hold whatever the C library says.
const TRange KOwnZero[] = {{0x0300, 0x036F}, {0x0483, 0x0489}, {0x0591, 0x05BD}, {0x064B, 0x065F},
                           {0x200B, 0x200F}, {0x202A, 0x202E}, {0x2060, 0x2064}, {0x20D0, 0x20FF},
                           {0xFE00, 0xFE0F}, {0xFE20, 0xFE2F}, {0xFEFF, 0xFEFF}};
const TRange KOwnWide[] = {
    {0x1100, 0x115F}, {0x2E80, 0x303E},   {0x3041, 0x33FF},   {0x3400, 0x4DBF},  {0x4E00, 0xA4CF},
    {0xA960, 0xA97F}, {0xAC00, 0xD7A3},   {0xF900, 0xFAFF},   {0xFE30, 0xFE6F},  {0xFF00, 0xFF60},
    {0xFFE0, 0xFFE6}, {0x1F300, 0x1F64F}, {0x1F900, 0x1F9FF}, {0x20000, 0x3FFFD}};

template <size_t N> bool In(const TRange (&ARanges)[N], uint32_t ACodePoint) {
    for (const auto& range : ARanges) {
        if (ACodePoint >= range.First && ACodePoint <= range.Last)
            return true;
    }
    return false;
}

// The C library's wcwidth under C.UTF-8, for this thread only.
class TCUtf8 {
public:
    TCUtf8() : FLocale(::newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t(0))) {
        if (FLocale)
            FOld = ::uselocale(FLocale);
    }
    ~TCUtf8() {
        if (FLocale) {
            ::uselocale(FOld);
            ::freelocale(FLocale);
        }
    }
    bool Ok() const { return FLocale != locale_t(0); }

private:
    locale_t FLocale;
    locale_t FOld = locale_t(0);
};

TEST(CharWidth, EveryWideCharacterOfTheCLibraryIsWide) {
    TCUtf8 locale;
    ASSERT_TRUE(locale.Ok());
    int checked = 0;
    for (uint32_t cp = 0; cp <= 0x10FFFF; ++cp) {
        if (cp >= 0xD800 && cp <= 0xDFFF)
            continue;
        int libc = ::wcwidth(wchar_t(cp));
        int own = CharWidth(cp);
        if (In(KOwnZero, cp)) {
            ASSERT_EQ(own, 0) << std::hex << cp;
        } else if (In(KOwnWide, cp)) {
            ASSERT_EQ(own, 2) << std::hex << cp;
        } else if (libc == 2) {
            ASSERT_EQ(own, 2) << "U+" << std::hex << cp << " is wide in the C library";
            ++checked;
        } else {
            ASSERT_EQ(own, 1) << "U+" << std::hex << cp << " has width " << libc
                              << " in the C library";
        }
    }
    EXPECT_GT(checked, 1000) << "the C library knows the emoji ranges";
}

TEST(CharWidth, Samples) {
    EXPECT_EQ(CharWidth('a'), 1);
    EXPECT_EQ(CharWidth(0xE9), 1);
    EXPECT_EQ(CharWidth(0x0301), 0);
    EXPECT_EQ(CharWidth(0x4E2D), 2);
    EXPECT_EQ(CharWidth(0x1F680), 2); // rocket
    EXPECT_EQ(CharWidth(0x1FA90), 2); // ringed planet
    EXPECT_EQ(CharWidth(0x1F6C6), 1); // narrow in the C library too
    EXPECT_EQ(CharWidth(0x110000), 1);
}

} // namespace
