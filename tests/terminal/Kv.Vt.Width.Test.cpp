#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "Kv.Vt.Width.h"

using namespace kv;

namespace {

// data/widths.txt holds the width of every code point, made once from the C library and
// Unicode's data (data/make-widths.py), so a newer C library on another machine changes nothing.
TEST(CharWidth, EveryCodePointHasTheWidthOfTheTable) {
    std::ifstream table(std::string(KV_TESTS_DIR) + "/terminal/data/widths.txt");
    ASSERT_TRUE(table.good());
    std::string line;
    uint32_t expectedNext = 0, wide = 0, mismatches = 0;
    while (std::getline(table, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        unsigned first = 0, last = 0;
        int width = -1;
        ASSERT_EQ(std::sscanf(line.c_str(), "%X %X %d", &first, &last, &width), 3) << line;
        if (first == 0xE000) // the table leaves the surrogates out
            expectedNext = 0xE000;
        ASSERT_EQ(first, expectedNext) << "the table has a gap before " << line;
        for (uint32_t cp = first; cp <= last; ++cp) {
            if (CharWidth(cp) != width && ++mismatches <= 20)
                ADD_FAILURE() << "U+" << std::hex << cp << " has width " << CharWidth(cp) << ", not "
                              << width;
            wide += width == 2 ? 1 : 0;
        }
        expectedNext = last + 1;
    }
    EXPECT_EQ(expectedNext, 0x110000u) << "the table ends early";
    EXPECT_EQ(mismatches, 0u);
    EXPECT_GT(wide, 1000u) << "the table knows the wide ranges";
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
