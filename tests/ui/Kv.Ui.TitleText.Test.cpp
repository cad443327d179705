#include <gtest/gtest.h>

#include <QClipboard>
#include <QGuiApplication>
#include <QImage>
#include <QTest>

#include "Kv.Ui.TitleText.h"

using namespace kv;

namespace {

int FixedWidth(const QString& AText) {
    return 7 * static_cast<int>(AText.size());
}

// x in the middle of the 1-based shown character APos.
int XOf(int APos) {
    return 8 + 7 * (APos - 1) + 3;
}

const QString KLong = "user@host:/very/long/path/to/somewhere"; // 38 characters

} // namespace

TEST(TitleText, Shortening) {
    struct TCase {
        QString Text;
        int Width; // 16 pixels of it stay free
        QString Shown;
        int CutFrom, CutTo;
    } cases[] = {
        {"short", 100, "short", 0, 0},
        // user, "@", host, ":" and 6 characters of the path stay.
        {KLong, 16 + 7 * 30, "user@host:/very/...o/somewhere", 17, 27},
        {"abcdefghijklmnop", 16 + 7 * 10, "abc...mnop", 4, 12},
        // Not user@host:path: "@" first, or no host between "@" and ":".
        {"@host:/very/long/path", 16 + 7 * 10, "@ho...path", 4, 17},
        {"ann@:/very/long/path", 16 + 7 * 10, "ann...path", 4, 16},
        // A short path is kept whole and only the end can go.
        {"u@h:abcdefghijklmnopqrstuvwxyz", 16 + 7 * 16, "u@h:abcdef...xyz", 11, 27},
        // Far too narrow: one character of the end always stays.
        {"abcdefghij", 0, "abc...j", 4, 9},
        // Nothing would be removed: shown as it is.
        {"abcd", 0, "abcd", 0, 0},
        {"", 0, "", 0, 0},
    };
    for (const auto& c : cases) {
        TKvTitleCut cut = ShortenTitle(c.Text, c.Width, FixedWidth);
        EXPECT_EQ(cut.Shown, c.Shown) << c.Text.toStdString();
        EXPECT_EQ(cut.CutFrom, c.CutFrom) << c.Text.toStdString();
        EXPECT_EQ(cut.CutTo, c.CutTo) << c.Text.toStdString();
    }
}

TEST(TitleText, ShownPositionsMapBackToTheText) {
    EXPECT_EQ(TitleCharAt("abc", 0, FixedWidth), 0);
    EXPECT_EQ(TitleCharAt("abc", 7, FixedWidth), 0);
    EXPECT_EQ(TitleCharAt("abc", 8, FixedWidth), 1);
    EXPECT_EQ(TitleCharAt("abc", 14, FixedWidth), 1);
    EXPECT_EQ(TitleCharAt("abc", 15, FixedWidth), 2);
    EXPECT_EQ(TitleCharAt("abc", 500, FixedWidth), 3);

    const TKvTitleCut cut{"abc...mnop", 4, 12}; // of "abcdefghijklmnop"
    struct TCase {
        int Shown;
        bool End;
        int Text;
    } cases[] = {
        {1, false, 1}, {3, true, 3},  {4, false, 4},  {4, true, 12},
        {6, false, 4}, {6, true, 12}, {7, false, 13}, {10, true, 16},
    };
    for (const auto& c : cases)
        EXPECT_EQ(TitleTextPosition(cut, c.Shown, c.End), c.Text)
            << c.Shown << (c.End ? " end" : " start");
    EXPECT_EQ(TitleTextPosition({"abc", 0, 0}, 2, true), 2);
}

TEST(TitleText, DoubleClickParts) {
    const QString title = "user@host:/srv"; // "@" at 5, ":" at 10
    struct TCase {
        QString Text;
        int Pos;
        QString Selected;
    } cases[] = {
        {title, 1, "user"},  {title, 4, "user"},
        {title, 5, title},   {title, 6, "host"},
        {title, 9, "host"},  {title, 10, title},
        {title, 11, "/srv"}, {title, 14, "/srv"},
        {title, 0, title},   {"plain title", 3, "plain title"},
        {"a@b", 1, "a@b"},
    };
    for (const auto& c : cases) {
        auto [from, to] = TitleWordAt(c.Text, c.Pos);
        EXPECT_EQ(c.Text.mid(from - 1, to - from + 1), c.Selected)
            << c.Text.toStdString() << " at " << c.Pos;
    }
}

TEST(TitleText, DraggingSelectsAcrossTheHiddenMiddle) {
    TKvTitleModel model;
    model.SetText("abcdefghijklmnop");
    model.Layout(16 + 7 * 10, FixedWidth);
    ASSERT_EQ(model.Cut().Shown, "abc...mnop");
    struct TCase {
        int From, To; // shown characters pressed and released on
        QString Copied;
    } cases[] = {
        {2, 8, "bcdefghijklmn"},             // over the "...": the hidden part comes along
        {8, 2, "bcdefghijklmn"},             // backwards
        {5, 9, "defghijklmno"},              // starting inside the "..."
        {1, 3, "abc"},           {7, 7, ""}, // no movement: nothing selected, nothing copied
    };
    for (const auto& c : cases) {
        model.MouseDown(XOf(c.From), FixedWidth);
        model.MouseMove(XOf(c.To), FixedWidth);
        EXPECT_EQ(model.MouseUp(), c.Copied) << c.From << " to " << c.To;
    }

    // Back onto the anchor clears the selection; left of the text counts from the first character.
    model.MouseDown(XOf(3), FixedWidth);
    model.MouseMove(XOf(1), FixedWidth);
    model.MouseMove(XOf(3), FixedWidth);
    EXPECT_EQ(model.SelectedText(), "");
    model.MouseMove(2, FixedWidth);
    EXPECT_EQ(model.MouseUp(), "abc");
    EXPECT_TRUE(model.ShownSelected(1));
    EXPECT_FALSE(model.ShownSelected(4));

    // Pressing left of the text starts no drag.
    model.MouseDown(2, FixedWidth);
    model.MouseMove(XOf(5), FixedWidth);
    EXPECT_EQ(model.MouseUp(), "");

    // A new text drops the selection.
    model.MouseDown(XOf(1), FixedWidth);
    model.MouseMove(XOf(2), FixedWidth);
    model.SetText("other");
    EXPECT_EQ(model.SelectedText(), "");
}

TEST(TitleText, DoubleClickOnAShortenedTitle) {
    TKvTitleModel model;
    model.SetText(KLong);
    model.Layout(16 + 7 * 30, FixedWidth);
    ASSERT_EQ(model.Cut().Shown, "user@host:/very/...o/somewhere");
    EXPECT_EQ(model.DoubleClick(XOf(7), FixedWidth), "host");
    EXPECT_EQ(model.DoubleClick(XOf(2), FixedWidth), "user");
    EXPECT_EQ(model.DoubleClick(XOf(18), FixedWidth),
              "/very/long/path/to/somewhere");               // on the "..."
    EXPECT_EQ(model.DoubleClick(XOf(5), FixedWidth), KLong); // on the "@"
    // The hidden middle of the path is drawn selected as its "...".
    EXPECT_TRUE(model.ShownSelected(17));
}

TEST(TitleText, WidgetCopiesTheDoubleClickedHost) {
    QGuiApplication::clipboard()->setText("before");
    TKvTitleText title;
    title.resize(800, 24);
    title.SetText("ann@build-07:/var/log");
    title.show();
    QFontMetrics metrics = title.fontMetrics();
    int x = 8 + metrics.horizontalAdvance("ann@bu");
    QTest::mouseDClick(&title, Qt::LeftButton, {}, QPoint(x, 12));
    EXPECT_EQ(QGuiApplication::clipboard()->text(), "build-07");
    EXPECT_EQ(title.cursor().shape(), Qt::IBeamCursor);
}

TEST(HybridSwitch, SelectedHalfIsFilledAndAClickReports) {
    TKvHybridSwitch button;
    QPalette palette;
    palette.setColor(QPalette::Window, Qt::white);
    palette.setColor(QPalette::WindowText, Qt::black);
    button.setPalette(palette);
    button.resize(80, 32);
    // Dark pixels in the left and right half.
    auto dark = [&button] {
        QImage image = button.grab().toImage();
        std::pair<int, int> count{0, 0};
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                if (qGray(image.pixel(x, y)) < 128)
                    (x < image.width() / 2 ? count.first : count.second)++;
        return count;
    };
    auto shell = dark();
    EXPECT_GT(shell.first, 2 * shell.second);
    button.SetView(hvFiles);
    auto files = dark();
    EXPECT_GT(files.second, 2 * files.first);

    int clicks = 0;
    button.OnClick = [&](TKvHybridSwitch*) { ++clicks; };
    button.show();
    QTest::mouseClick(&button, Qt::LeftButton, {}, QPoint(40, 16));
    QTest::mouseClick(&button, Qt::RightButton, {}, QPoint(40, 16));
    EXPECT_EQ(clicks, 1);
}
