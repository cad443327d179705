#include <gtest/gtest.h>

#include <QTest>

#include "Kv.Ui.PathBar.h"

using namespace kv;

namespace {

// Every character 7 pixels wide.
int FixedWidth(const QString& AText) {
    return 7 * static_cast<int>(AText.size());
}

// "text>target" for each part, joined with spaces; a part without target is just its text.
std::string Describe(const TKvPathParts& AParts) {
    std::string result;
    for (const auto& part : AParts.Parts) {
        if (!result.empty())
            result += " ";
        result += part.Text + (part.Target.empty() ? "" : ">" + part.Target);
    }
    return result;
}

std::string Texts(const std::vector<TKvPathItem>& AItems) {
    std::string result;
    for (const auto& item : AItems)
        result += (result.empty() ? "" : "|") + item.Text;
    return result;
}

} // namespace

TEST(PathBar, Pieces) {
    struct TCase {
        std::string Path, Prefix, Separator, Parts;
    } cases[] = {
        {"/home/user/projects", "P", "/",
         "P>/ home>/home user>/home/user projects>/home/user/projects"},
        {"/home/user", "", "/", "/>/ home>/home user>/home/user"},
        {"/", "", "/", "/>/"},
        {"/", "sftp://ann@host", "/", "sftp://ann@host>/"},
        {"//a///b/", "", "/", "/>/ a>/a b>/a/b"},
        {"/with\\backslash", "", "/", "/>/ with\\backslash>/with\\backslash"},
        {"C:\\", "", "\\", "C:>C:\\"},
        {"C:", "", "\\", "C:"},
        {"C:\\Windows\\System32", "", "\\",
         "C:>C:\\ Windows>C:\\Windows System32>C:\\Windows\\System32"},
        {"\\\\server\\share\\docs", "", "\\",
         "\\\\server\\share>\\\\server\\share\\ docs>\\\\server\\share\\docs"},
        {"\\\\server\\share", "", "\\", "\\\\server\\share"},
        {"\\\\server", "", "\\", "\\\\server"},
        {"relative/path", "", "\\", "relative/path"},
        {"", "P", "\\", ""},
    };
    for (const auto& c : cases) {
        TKvPathParts parts = PathBarParts(c.Path, c.Prefix);
        EXPECT_EQ(parts.Separator, c.Separator) << c.Path;
        EXPECT_EQ(Describe(parts), c.Parts) << c.Path;
    }
}

TEST(PathBar, LayoutShortensFromTheFront) {
    struct TCase {
        std::string Path, Prefix;
        int Width;
        std::string Items;
    } cases[] = {
        {"/home/user/projects", "P", 1000, "P|/|home|/|user|/|projects"},
        // "P/home/user/projects" is 140 pixels; 134 are free.
        {"/home/user/projects", "P", 150, "P|/|...|/|user|/|projects"},
        // Nothing fits: the root, "..." and the last piece anyway.
        {"/home/user/projects", "P", 20, "P|/|...|/|projects"},
        {"/home/user/projects", "", 1000, "/|home|/|user|/|projects"},
        {"/home/user/projects", "", 20, "/|...|/|projects"},
        {"/home", "", 10, "/|home"},
        {"/", "", 100, "/"},
        {"/", "P", 100, "P|/"},
        {"C:\\", "", 100, "C:|\\"},
        {"C:", "", 100, "C:"},
        {"\\\\server\\share\\docs", "", 1000, "\\\\server\\share|\\|docs"},
        {"relative", "", 100, "relative"},
        {"", "", 100, ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Texts(PathBarLayout(PathBarParts(c.Path, c.Prefix), c.Width, FixedWidth)),
                  c.Items)
            << c.Path << " in " << c.Width;
}

TEST(PathBar, ItemsSitSideBySideAndOnlyPiecesAreHit) {
    auto items = PathBarLayout(PathBarParts("/home/user/projects", "P"), 150, FixedWidth);
    ASSERT_EQ(items.size(), 7u);
    int x = 8;
    for (const auto& item : items) {
        EXPECT_EQ(item.X1, x);
        EXPECT_EQ(item.X2, x + FixedWidth(QString::fromStdString(item.Text)));
        x = item.X2;
    }
    EXPECT_EQ(items[0].Target, "/");
    EXPECT_EQ(items[6].Target, "/home/user/projects");
    EXPECT_EQ(PathBarHit(items, 7), -1);
    EXPECT_EQ(PathBarHit(items, 8), 0);
    EXPECT_EQ(PathBarHit(items, items[1].X1), -1);     // separator
    EXPECT_EQ(PathBarHit(items, items[2].X1 + 3), -1); // "..."
    EXPECT_EQ(PathBarHit(items, items[4].X2 - 1), 4);
    EXPECT_EQ(PathBarHit(items, items[6].X2), -1);
}

TEST(PathBar, NavigatesOnlyWhenPressAndReleaseMeetOnOnePiece) {
    TKvPathBar bar;
    bar.resize(600, 24);
    bar.SetPath("/home/user/projects");
    bar.show();
    std::vector<std::string> targets;
    bar.OnNavigate = [&](TKvPathBar* ASender, const std::string& APath) {
        EXPECT_EQ(ASender, &bar);
        targets.push_back(APath);
    };
    const auto items = bar.Items();
    ASSERT_EQ(items.size(), 6u);
    auto centre = [&](int AIndex) { return QPoint((items[AIndex].X1 + items[AIndex].X2) / 2, 12); };

    // Items: "/", "home", "/", "user", "/", "projects" (the root shows the first slash itself).
    QTest::mouseMove(&bar, centre(1));
    EXPECT_EQ(bar.Hot(), 1);
    EXPECT_EQ(bar.cursor().shape(), Qt::PointingHandCursor);
    QTest::mouseMove(&bar, centre(2));
    EXPECT_EQ(bar.Hot(), -1);
    EXPECT_EQ(bar.cursor().shape(), Qt::ArrowCursor);

    QTest::mouseClick(&bar, Qt::LeftButton, {}, centre(1));
    QTest::mouseClick(&bar, Qt::LeftButton, {}, centre(0));
    QTest::mousePress(&bar, Qt::LeftButton, {}, centre(1));
    QTest::mouseRelease(&bar, Qt::LeftButton, {}, centre(3));
    QTest::mouseClick(&bar, Qt::LeftButton, {}, centre(2)); // a separator
    QTest::mouseClick(&bar, Qt::RightButton, {}, centre(3));
    EXPECT_EQ(targets, (std::vector<std::string>{"/home", "/"}));

    // A new path clears the hot piece.
    QTest::mouseMove(&bar, centre(3));
    EXPECT_EQ(bar.Hot(), 3);
    bar.SetPath("/tmp");
    EXPECT_EQ(bar.Hot(), -1);
}
