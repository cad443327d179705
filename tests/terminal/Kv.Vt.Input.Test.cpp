#include <gtest/gtest.h>

#include "Kv.Vt.Input.h"
#include "Kv.Vt.View.h"
#include "VtTestUtil.h"

using namespace kv;
using namespace kv::test;

namespace {

TEST(VtInput, MouseReportsFollowTheModeAndEncoding) {
    const TKvKeyMods none, ctrlShift{true, false, true};
    struct TCase {
        TKvVtMouseMode Mode;
        bool Sgr;
        TKvMouseReport Report;
        std::string Bytes;
    } cases[] = {
        {mmOff, true, {maPress, mbLeft, 0, 0, none}, ""},
        {mmClick, true, {maPress, mbLeft, 4, 2, none}, "\033[<0;5;3M"},
        {mmClick, true, {maRelease, mbRight, 4, 2, none}, "\033[<2;5;3m"},
        {mmClick, true, {maPress, mbMiddle, 0, 0, ctrlShift}, "\033[<21;1;1M"},
        {mmClick, true, {maMove, mbLeft, 1, 1, none}, ""},
        {mmDrag, true, {maMove, mbLeft, 1, 1, none}, "\033[<32;2;2M"},
        {mmDrag, true, {maMove, mbNone, 1, 1, none}, ""},
        {mmAny, true, {maMove, mbNone, 1, 1, none}, "\033[<35;2;2M"},
        {mmClick, true, {maPress, mbWheelDown, 0, 0, none}, "\033[<65;1;1M"},
        {mmClick, true, {maRelease, mbWheelDown, 0, 0, none}, ""},
        {mmClick, false, {maPress, mbLeft, 0, 0, none}, "\033[M !!"},
        {mmClick, false, {maRelease, mbLeft, 0, 0, none}, "\033[M#!!"},
        // The classic form carries positions up to 223 only; SGR has no limit.
        {mmClick, false, {maPress, mbLeft, 222, 0, none}, "\033[M \xff!"},
        {mmClick, false, {maPress, mbLeft, 223, 0, none}, ""},
        {mmClick, true, {maPress, mbLeft, 300, 0, none}, "\033[<0;301;1M"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(EncodeMouse(c.Mode, c.Sgr, c.Report), c.Bytes)
            << int(c.Mode) << " " << c.Sgr << " button " << int(c.Report.Button) << " col "
            << c.Report.Col;
    }
}

TEST(VtInput, PasteTurnsLineEndsIntoCarriageReturns) {
    EXPECT_EQ(PasteBytes("a\r\n\r\nb\n\rc\r", false), "a\r\rb\r\rc\r");
    EXPECT_EQ(PasteBytes("", true), "\033[200~\033[201~");
    EXPECT_EQ(PasteBytes("\033\033[201~\033", true), "\033[200~[201~\033[201~");
}

TEST(VtView, SelectionTextJoinsWrappedLinesAndSkipsWideRightHalves) {
    TVt vt(10, 4);
    vt << "0123456789abc\r\n\xe4\xb8\xad" "x  \r\ne\xcc\x81";
    // A wrapped line continues without a line break; a wide character counts once.
    EXPECT_EQ(SelectionText(vt.Screen, {0, 5}, {1, 2}), "56789abc");
    EXPECT_EQ(SelectionText(vt.Screen, {3, 9}, {1, 0}), "abc\r\n\xe4\xb8\xadx\r\ne\xcc\x81")
        << "either order; trailing blanks dropped, combining marks kept";
    TKvSelPos from, to;
    ASSERT_TRUE(WordRange(vt.Screen, 2, 1, from, to));
    EXPECT_EQ(SelectionText(vt.Screen, from, to), "\xe4\xb8\xadx");
    LineRange(vt.Screen, 1, from, to);
    EXPECT_EQ(from, (TKvSelPos{0, 0}));
    EXPECT_EQ(to, (TKvSelPos{1, 9}));
}

TEST(VtView, PaletteIsTheXterm256Layout) {
    EXPECT_EQ(VtPaletteRgb(1), 0xAA0000u);
    EXPECT_EQ(VtPaletteRgb(11), 0xFFFF55u);
    EXPECT_EQ(VtPaletteRgb(16), 0x000000u);
    EXPECT_EQ(VtPaletteRgb(16 + 36 * 1 + 6 * 2 + 5), 0x5F87FFu);
    EXPECT_EQ(VtPaletteRgb(231), 0xFFFFFFu);
    EXPECT_EQ(VtPaletteRgb(232), 0x080808u);
    EXPECT_EQ(VtPaletteRgb(255), 0xEEEEEEu);
}

} // namespace
