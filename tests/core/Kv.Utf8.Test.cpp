// Text as bytes: the one UTF-8 encoder, the Latin-1 reading of other bytes, percent-decoding.
#include <gtest/gtest.h>

#include "Kv.Utf8.h"

using namespace kv;

TEST(Utf8, EncodesEveryLengthAndReplacesWhatCannotBeACharacter) {
    const std::pair<uint32_t, std::string> cases[] = {
        {0x41, "A"},
        {0x7F, "\x7f"},
        {0xE9, "\xc3\xa9"},
        {0x7FF, "\xdf\xbf"},
        {0x20AC, "\xe2\x82\xac"},
        {0xFFFF, "\xef\xbf\xbf"},
        {0x1F600, "\xf0\x9f\x98\x80"},
        {0x10FFFF, "\xf4\x8f\xbf\xbf"},
        {0xD800, "\xef\xbf\xbd"},
        {0xDFFF, "\xef\xbf\xbd"},
        {0x110000, "\xef\xbf\xbd"},
        {0xFFFFFFFF, "\xef\xbf\xbd"},
    };
    for (const auto& [code, bytes] : cases) {
        std::string out = "x";
        AppendUtf8(out, code);
        EXPECT_EQ(out, "x" + bytes) << std::hex << code;
        EXPECT_TRUE(IsValidUtf8(out)) << std::hex << code;
    }
}

TEST(Utf8, ReadableTextKeepsUtf8AndReadsOtherBytesAsLatin1) {
    EXPECT_EQ(ReadableText("caf\xc3\xa9"), "caf\xc3\xa9");
    EXPECT_EQ(ReadableText("caf\xe9"), "caf\xc3\xa9");
    EXPECT_EQ(ReadableText(std::string("a\0\xff", 3)), std::string("a\0\xc3\xbf", 4));
}
