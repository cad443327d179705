#include <gtest/gtest.h>

#include <QTest>

#include "Kv.Ui.RestoreBox.h"

using namespace kv;

TEST(RestoreBox, ReconnectsOnPlainEnterSpaceOrClick) {
    struct TCase {
        Qt::Key Key;
        Qt::KeyboardModifiers Modifiers;
        bool Reconnects;
    } cases[] = {
        {Qt::Key_Return, Qt::NoModifier, true},    {Qt::Key_Enter, Qt::KeypadModifier, true},
        {Qt::Key_Space, Qt::NoModifier, true},     {Qt::Key_Return, Qt::ControlModifier, false},
        {Qt::Key_Space, Qt::ShiftModifier, false}, {Qt::Key_Return, Qt::AltModifier, false},
        {Qt::Key_A, Qt::NoModifier, false},
    };
    QWidget window;
    auto* other = new QWidget(&window);
    other->setFocusPolicy(Qt::StrongFocus);
    auto* box = new TKvRestoreBox(&window);
    box->setGeometry(0, 30, 400, 200);
    box->Describe("ann@host", "SSH");
    int calls = 0;
    box->OnReconnect = [&](TKvRestoreBox* ASender) {
        EXPECT_EQ(ASender, box);
        ++calls;
    };
    window.show();
    for (const auto& c : cases) {
        calls = 0;
        QTest::keyClick(box, c.Key, c.Modifiers);
        EXPECT_EQ(calls, c.Reconnects ? 1 : 0) << c.Key << " " << c.Modifiers.toInt();
    }

    other->setFocus();
    ASSERT_EQ(window.focusWidget(), other);
    calls = 0;
    QTest::mouseClick(box, Qt::RightButton, {}, QPoint(10, 10));
    EXPECT_EQ(calls, 0);
    QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(10, 10));
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(window.focusWidget(), box);
}
