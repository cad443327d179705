#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QTest>
#include <QVBoxLayout>
#include <atomic>
#include <thread>

#include "Kv.Vt.Control.h"
#include "Kv.Vt.Parser.h"

using namespace kv;

namespace {

// Counts its paints and the repaint requests queued to it, to see what a flood of output
// costs the window.
class TCountingTerminal : public TKvTerminal {
public:
    using TKvTerminal::TKvTerminal;
    int Paints = 0;
    int Requests = 0;

protected:
    void paintEvent(QPaintEvent* AEvent) override {
        ++Paints;
        TKvTerminal::paintEvent(AEvent);
    }
    bool event(QEvent* AEvent) override {
        if (AEvent->type() == QEvent::MetaCall)
            ++Requests;
        return TKvTerminal::event(AEvent);
    }
};

// A 40 x 10 terminal over a screen with its parser; what the terminal sends is collected.
struct TTerm {
    TKvVtScreen Screen{40, 10, 50};
    TKvVtParser Parser{Screen};
    TCountingTerminal Term;
    std::string Sent;

    TTerm() {
        QSize cell = Term.CellSize();
        Term.resize(40 * cell.width(), 10 * cell.height());
        Term.SetTerm(&Screen);
        Term.OnInput = [this](TKvTerminal*, const std::string& AData) { Sent += AData; };
    }
    ~TTerm() { Term.SetTerm(nullptr); }
    void Feed(std::string_view ABytes) {
        Screen.Lock();
        Parser.Feed(ABytes);
        Screen.Changed();
        Screen.Unlock();
        Term.NotifyChanged();
        QApplication::processEvents();
    }
    // The centre of a visible cell.
    QPoint At(int ARow, int ACol) const {
        QSize cell = Term.CellSize();
        return QPoint(ACol * cell.width() + cell.width() / 2, ARow * cell.height() + cell.height() / 2);
    }
    // A mouse move with buttons held (QTest's moves do not reach a hidden widget).
    void Move(int ARow, int ACol, Qt::MouseButtons AButtons = Qt::NoButton) {
        QPoint at = At(ARow, ACol);
        QMouseEvent move(QEvent::MouseMove, at, Term.mapToGlobal(at), Qt::NoButton, AButtons,
                         Qt::NoModifier);
        QApplication::sendEvent(&Term, &move);
    }
    std::string Take() {
        std::string sent;
        sent.swap(Sent);
        return sent;
    }
    std::string Key(int AKey, Qt::KeyboardModifiers AMods = Qt::NoModifier, const QString& AText = {}) {
        QKeyEvent press(QEvent::KeyPress, AKey, AMods, AText);
        QApplication::sendEvent(&Term, &press);
        return Take();
    }
};

} // namespace

TEST(VtControl, FitsTheScreenToItsSize) {
    TTerm t;
    int cols = 0, rows = 0;
    t.Term.OnGridChanged = [&](TKvTerminal*, int ACols, int ARows) { cols = ACols, rows = ARows; };
    QSize cell = t.Term.CellSize();
    // Not shown yet: its size is not the layout's, so the shell keeps its size.
    t.Term.resize(5 * cell.width(), 2 * cell.height());
    EXPECT_EQ(t.Screen.Cols(), 40);
    EXPECT_EQ(cols, 0);
    t.Term.resize(40 * cell.width(), 10 * cell.height());
    t.Term.show();
    EXPECT_EQ(t.Screen.Cols(), 40);
    EXPECT_EQ(t.Screen.Rows(), 10);
    t.Term.resize(30 * cell.width() + cell.width() / 2, 7 * cell.height());
    EXPECT_EQ(cols, 30);
    EXPECT_EQ(rows, 7);
    EXPECT_EQ(t.Screen.Cols(), 30);
}

TEST(VtControl, KeysBecomeTheBytesAnXtermSends) {
    const Qt::KeyboardModifiers S = Qt::ShiftModifier, C = Qt::ControlModifier, A = Qt::AltModifier,
                                K = Qt::KeypadModifier, N = Qt::NoModifier;
    struct TCase {
        const char* Modes; // fed first
        int Key;
        Qt::KeyboardModifiers Mods;
        QString Text;
        std::string Bytes;
    } cases[] = {
        {"", Qt::Key_Up, N, "", "\033[A"},
        {"\033[?1h", Qt::Key_Up, N, "", "\033OA"},
        {"\033[?1h", Qt::Key_Up, C, "", "\033[1;5A"},
        {"", Qt::Key_Up, S, "", "\033[1;2A"},
        {"", Qt::Key_Left, A, "", "\033[1;3D"},
        {"", Qt::Key_Right, S | A | C, "", "\033[1;8C"},
        {"", Qt::Key_Home, N, "", "\033[H"},
        {"\033[?1h", Qt::Key_End, N, "", "\033OF"},
        {"", Qt::Key_F1, N, "", "\033OP"},
        {"", Qt::Key_F4, C, "", "\033[1;5S"},
        {"", Qt::Key_F5, N, "", "\033[15~"},
        {"", Qt::Key_F12, S, "", "\033[24;2~"},
        {"", Qt::Key_Insert, N, "", "\033[2~"},
        {"", Qt::Key_Delete, C | S, "", "\033[3;6~"},
        {"", Qt::Key_PageUp, N, "", "\033[5~"},
        {"", Qt::Key_PageDown, C, "", "\033[6;5~"},
        {"", Qt::Key_Tab, N, "\t", "\t"},
        {"", Qt::Key_Backtab, S, "", "\033[Z"},
        {"", Qt::Key_Backspace, N, "\b", "\x7f"},
        {"", Qt::Key_Backspace, C, "", "\b"},
        {"", Qt::Key_Backspace, A, "", "\033\x7f"},
        {"", Qt::Key_Return, N, "\r", "\r"},
        {"\033[20h", Qt::Key_Return, N, "\r", "\r\n"},
        {"", Qt::Key_Escape, N, "\033", "\033"},
        {"\033=", Qt::Key_Enter, K, "\r", "\033OM"},
        {"\033=", Qt::Key_Plus, K, "+", "\033Ok"},
        {"", Qt::Key_Plus, K, "+", "+"},
        // Control letters come from the key: X11 and Wayland give different texts.
        {"", Qt::Key_A, C, "\x01", "\x01"},
        {"", Qt::Key_A, C, "a", "\x01"},
        {"", Qt::Key_Z, C | S, "", "\x1a"},
        {"", Qt::Key_Space, C, "", std::string(1, '\0')},
        {"", Qt::Key_BracketLeft, C, "", "\033"},
        {"", Qt::Key_Backslash, C, "", "\x1c"},
        {"", Qt::Key_A, C | A, "", "\033\x01"},
        {"", Qt::Key_X, A, "x", "\033x"},
        {"", Qt::Key_C, C, "\x03", "\x03"},
        {"", Qt::Key_unknown, N, QString::fromUtf8("é"), "\xc3\xa9"},
        {"", Qt::Key_unknown, A, QString::fromUtf8("é"), "\033\xc3\xa9"},
        // Left to the window: switching halves, the drive menus, Alt+Y.
        {"", Qt::Key_Tab, C, "", ""},
        {"", Qt::Key_F1, A, "", ""},
        {"", Qt::Key_F2, A, "", ""},
        {"", Qt::Key_Y, A, "y", ""},
        {"", Qt::Key_Shift, S, "", ""},
    };
    for (const auto& c : cases) {
        TTerm t;
        t.Feed(c.Modes);
        EXPECT_EQ(t.Key(c.Key, c.Mods, c.Text), c.Bytes) << c.Modes << " key " << std::hex << c.Key;
    }
}

TEST(VtControl, ShortcutKeysOfTheWindowStayInTheTerminal) {
    QWidget window;
    auto* layout = new QVBoxLayout(&window);
    TTerm t;
    layout->addWidget(&t.Term);
    int fired = 0, switched = 0;
    auto* f5 = new QAction(&window);
    f5->setShortcut(Qt::Key_F5);
    QObject::connect(f5, &QAction::triggered, [&] { ++fired; });
    window.addAction(f5);
    auto* ctrlTab = new QAction(&window);
    ctrlTab->setShortcut(QKeySequence(Qt::ControlModifier | Qt::Key_Tab));
    QObject::connect(ctrlTab, &QAction::triggered, [&] { ++switched; });
    window.addAction(ctrlTab);
    window.show();
    window.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    t.Term.setFocus();
    QTest::keyClick(window.windowHandle(), Qt::Key_F5);
    EXPECT_EQ(t.Take(), "\033[15~");
    EXPECT_EQ(fired, 0);
    QTest::keyClick(window.windowHandle(), Qt::Key_Tab, Qt::ControlModifier);
    EXPECT_EQ(switched, 1);
    EXPECT_EQ(t.Take(), "");
    // Tab moves no focus: it completes in the shell.
    QTest::keyClick(window.windowHandle(), Qt::Key_Tab);
    EXPECT_EQ(t.Take(), "\t");
    EXPECT_TRUE(t.Term.hasFocus());
    layout->removeWidget(&t.Term);
    t.Term.setParent(nullptr);
}

TEST(VtControl, SelectionByMouseCopiesText) {
    TTerm t;
    t.Feed("hello world\r\n  second  line  \r\n");
    // Drag from "world" to "second" on the next line.
    QTest::mousePress(&t.Term, Qt::LeftButton, Qt::NoModifier, t.At(0, 6));
    t.Move(1, 7, Qt::LeftButton);
    QTest::mouseRelease(&t.Term, Qt::LeftButton, Qt::NoModifier, t.At(1, 7));
    EXPECT_TRUE(t.Term.HasSelection());
    EXPECT_EQ(t.Term.SelectionText(), "world\r\n  second");
    // Control+C copies and sends nothing while text is selected; then it interrupts again.
    QApplication::clipboard()->clear();
    EXPECT_EQ(t.Key(Qt::Key_C, Qt::ControlModifier, "\x03"), "");
    EXPECT_EQ(QApplication::clipboard()->text(), "world\r\n  second");
    EXPECT_FALSE(t.Term.HasSelection());
    EXPECT_EQ(t.Key(Qt::Key_C, Qt::ControlModifier, "\x03"), "\x03");
    // Trailing blanks of a line that did not wrap are not copied.
    t.Term.Select(TKvSelPos{1, 0}, TKvSelPos{1, 39});
    EXPECT_EQ(t.Term.SelectionText(), "  second  line");
    // A click without a drag selects nothing.
    QTest::mouseClick(&t.Term, Qt::LeftButton, Qt::NoModifier, t.At(0, 2));
    EXPECT_FALSE(t.Term.HasSelection());
}

TEST(VtControl, DoubleClickSelectsAWordAndTripleClickTheWrappedLine) {
    TTerm t;
    // 50 characters wrap into the second row.
    t.Feed("one two/three four " + std::string(31, 'x') + "\r\nnext");
    QTest::mouseDClick(&t.Term, Qt::LeftButton, Qt::NoModifier, t.At(0, 6));
    EXPECT_EQ(t.Term.SelectionText(), "two/three");
    QTest::mousePress(&t.Term, Qt::LeftButton, Qt::NoModifier, t.At(0, 6));
    QTest::mouseRelease(&t.Term, Qt::LeftButton, Qt::NoModifier, t.At(0, 6));
    EXPECT_EQ(t.Term.SelectionText(), "one two/three four " + std::string(31, 'x'));
    // A double click on a blank clears the selection.
    QTest::mouseDClick(&t.Term, Qt::LeftButton, Qt::NoModifier, t.At(1, 30));
    EXPECT_FALSE(t.Term.HasSelection());
}

TEST(VtControl, SelectionStaysOnItsTextWhileOutputScrollsThroughAFullHistory) {
    TTerm t;
    for (int i = 0; i < 60; ++i) // fills the 50-line history
        t.Feed("line " + std::to_string(i) + "\r\n");
    t.Term.Select(TKvSelPos{t.Screen.BackCount() + 2, 0}, TKvSelPos{t.Screen.BackCount() + 2, 39});
    std::string selected = t.Term.SelectionText();
    EXPECT_EQ(selected, "line 53");
    t.Feed("more\r\nand more\r\n");
    EXPECT_EQ(t.Term.SelectionText(), selected);
    // Once the text has left the history, nothing is selected.
    for (int i = 0; i < 60; ++i)
        t.Feed("flood\r\n");
    EXPECT_FALSE(t.Term.HasSelection());
}

TEST(VtControl, ScrollbackViewHoldsWhileOutputArrivesAndTypingReturnsToLive) {
    TTerm t;
    for (int i = 0; i < 30; ++i)
        t.Feed("line " + std::to_string(i) + "\r\n");
    t.Key(Qt::Key_PageUp, Qt::ShiftModifier);
    EXPECT_EQ(t.Term.ScrollOffset(), 9);
    int first = 0, last = 0;
    t.Term.VisibleLines(first, last);
    std::string top = t.Screen.AbsText(first);
    t.Feed("new 1\r\nnew 2\r\n");
    t.Term.VisibleLines(first, last);
    EXPECT_EQ(t.Screen.AbsText(first), top);
    // The wheel scrolls three lines a notch on the main screen.
    QWheelEvent wheel(t.At(2, 2), t.Term.mapToGlobal(t.At(2, 2)), QPoint(), QPoint(0, 120),
                      Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(&t.Term, &wheel);
    EXPECT_EQ(t.Term.ScrollOffset(), 14);
    EXPECT_EQ(t.Key(Qt::Key_A, Qt::NoModifier, "a"), "a");
    EXPECT_EQ(t.Term.ScrollOffset(), 0);
}

TEST(VtControl, WheelOnTheAlternateScreenSendsCursorKeys) {
    TTerm t;
    t.Feed("\033[?1049h\033[?1h");
    QWheelEvent wheel(t.At(2, 2), t.Term.mapToGlobal(t.At(2, 2)), QPoint(), QPoint(0, -120),
                      Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(&t.Term, &wheel);
    EXPECT_EQ(t.Take(), "\033OB\033OB\033OB");
}

TEST(VtControl, PasteWithAndWithoutBracketedPaste) {
    TTerm t;
    t.Term.Paste("one\r\ntwo\nthree\rfour");
    EXPECT_EQ(t.Take(), "one\rtwo\rthree\rfour");
    // Without bracketed paste an ESC is the user's own business.
    t.Term.Paste("a\033b");
    EXPECT_EQ(t.Take(), "a\033b");
    t.Feed("\033[?2004h");
    t.Term.Paste("one\r\ntwo");
    EXPECT_EQ(t.Take(), "\033[200~one\rtwo\033[201~");
    // A pasted end marker cannot end the paste and run the rest as typed keys.
    t.Term.Paste("ls\033[201~rm -rf ~\r");
    EXPECT_EQ(t.Take(), "\033[200~ls[201~rm -rf ~\r\033[201~");
    // Control+V and Shift+Insert paste the clipboard; byte 22 is never sent.
    QApplication::clipboard()->setText("clip");
    EXPECT_EQ(t.Key(Qt::Key_V, Qt::ControlModifier, "\x16"), "\033[200~clip\033[201~");
    EXPECT_EQ(t.Key(Qt::Key_Insert, Qt::ShiftModifier), "\033[200~clip\033[201~");
}

TEST(VtControl, MouseReportingWhenTheProgramAsks) {
    TTerm t;
    t.Feed("\033[?1000h\033[?1006h");
    QTest::mousePress(&t.Term, Qt::LeftButton, Qt::NoModifier, t.At(2, 3));
    QTest::mouseRelease(&t.Term, Qt::LeftButton, Qt::NoModifier, t.At(2, 3));
    EXPECT_EQ(t.Take(), "\033[<0;4;3M\033[<0;4;3m");
    EXPECT_FALSE(t.Term.HasSelection());
    // The classic encoding; a release does not say which button.
    t.Feed("\033[?1006l");
    QTest::mousePress(&t.Term, Qt::RightButton, Qt::ControlModifier, t.At(0, 0));
    QTest::mouseRelease(&t.Term, Qt::RightButton, Qt::ControlModifier, t.At(0, 0));
    EXPECT_EQ(t.Take(), std::string("\033[M") + char(32 + 2 + 16) + "!!" + "\033[M" + char(32 + 3 + 16) + "!!");
    // Motion: with mode 1002 only while a button is held, with 1003 always.
    t.Move(3, 3, Qt::LeftButton);
    EXPECT_EQ(t.Take(), "");
    t.Feed("\033[?1002h\033[?1006h");
    t.Move(3, 3);
    EXPECT_EQ(t.Take(), "");
    t.Move(3, 4, Qt::LeftButton);
    EXPECT_EQ(t.Take(), "\033[<32;5;4M");
    t.Feed("\033[?1003h");
    t.Move(4, 4);
    EXPECT_EQ(t.Take(), "\033[<35;5;5M");
    t.Feed("\033[?1003l\033[?1000h\033[?1006l");
    // Shift keeps selection by mouse.
    QTest::mousePress(&t.Term, Qt::LeftButton, Qt::ShiftModifier, t.At(0, 0));
    QTest::mouseRelease(&t.Term, Qt::LeftButton, Qt::ShiftModifier, t.At(0, 0));
    EXPECT_EQ(t.Take(), "");
    // The wheel reports buttons 64 and 65.
    t.Feed("\033[?1006h");
    QWheelEvent wheel(t.At(1, 1), t.Term.mapToGlobal(t.At(1, 1)), QPoint(), QPoint(0, 120),
                      Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(&t.Term, &wheel);
    EXPECT_EQ(t.Take(), "\033[<64;2;2M");
}

TEST(VtControl, LinksUnderThePointer) {
    TTerm t;
    t.Feed("old.txt\r\n");
    t.Feed("\033]7;file://host/home/ann\a");
    t.Feed("notes 2024.txt  build/  src/ a.txt\r\n");
    t.Feed("\033]7;file://host/home/ann\a"); // the prompt after the listing
    t.Term.SetLinks({{"notes 2024.txt", "/home/ann/notes 2024.txt", false, 10},
                     {"build", "/home/ann/build", false, 0}, // a file: "build/" asks for a folder
                     {"src", "/home/ann/src", true, 0},
                     {"old.txt", "/home/ann/old.txt", false, 1}});
    auto nameAt = [&](int ARow, int ACol) {
        const TKvTermLink* link = t.Term.LinkAtPoint(t.At(ARow, ACol));
        return link ? link->Name : std::string("-");
    };
    EXPECT_EQ(nameAt(1, 0), "notes 2024.txt");
    EXPECT_EQ(nameAt(1, 8), "notes 2024.txt");
    EXPECT_EQ(nameAt(1, 14), "-");
    EXPECT_EQ(nameAt(1, 16), "-"); // build/ names a folder, and build is a file
    EXPECT_EQ(nameAt(1, 24), "src");
    EXPECT_EQ(nameAt(1, 27), "-"); // the slash is not part of the link
    EXPECT_EQ(nameAt(1, 30), "-"); // not a known name
    EXPECT_EQ(nameAt(0, 2), "-");  // printed before the folder was reported
    // The pointer shows which names are links.
    auto hover = [&](int ARow, int ACol) {
        t.Move(ARow, ACol);
        return t.Term.cursor().shape();
    };
    EXPECT_EQ(hover(1, 24), Qt::PointingHandCursor);
    EXPECT_EQ(hover(1, 30), Qt::IBeamCursor);
    // Nothing is a link on the alternate screen.
    t.Feed("\033[?1049h");
    EXPECT_EQ(nameAt(1, 24), "-");
    t.Feed("\033[?1049l");
    EXPECT_EQ(nameAt(1, 24), "src");

    // A right click that goes down and up on the same link raises the event.
    std::vector<std::string> clicked, doubled;
    t.Term.OnLinkClick = [&](TKvTerminal*, const TKvTermLink& ALink, const QPoint&) {
        clicked.push_back(ALink.Path);
    };
    t.Term.OnLinkDblClick = [&](TKvTerminal*, const TKvTermLink& ALink) { doubled.push_back(ALink.Path); };
    QTest::mouseClick(&t.Term, Qt::RightButton, Qt::NoModifier, t.At(1, 25));
    EXPECT_EQ(clicked, std::vector<std::string>{"/home/ann/src"});
    // Down on one link and up on another raises nothing.
    QTest::mousePress(&t.Term, Qt::RightButton, Qt::NoModifier, t.At(1, 2));
    QTest::mouseRelease(&t.Term, Qt::RightButton, Qt::NoModifier, t.At(1, 25));
    EXPECT_EQ(clicked.size(), 1u);
    QTest::mouseDClick(&t.Term, Qt::LeftButton, Qt::NoModifier, t.At(1, 3));
    EXPECT_EQ(doubled, std::vector<std::string>{"/home/ann/notes 2024.txt"});
    // A folder change makes the old names plain text.
    t.Feed("\033]7;file://host/tmp\a");
    EXPECT_EQ(nameAt(1, 24), "-");
}

TEST(VtControl, HyperlinksAreUnderlinedOnHoverAndOpenedWithCtrlClick) {
    TTerm t;
    t.Term.show();
    t.Feed("see \033]8;id=d;https://example.org/doc\033\\the\033]8;;\033\\ and\r\n"
           "\033]8;id=d;https://example.org/doc\033\\docs\033]8;;\033\\ \033]8;;file://h/x\aX\033]8;;\a");
    std::vector<std::string> opened;
    t.Term.OnHyperlink = [&](TKvTerminal*, const std::string& AUri, const QPoint&, bool AMenu) {
        opened.push_back(std::string(AMenu ? "menu " : "open ") + AUri);
    };
    t.Move(0, 1);
    EXPECT_EQ(t.Term.HoverLink(), 0u);
    EXPECT_EQ(t.Term.cursor().shape(), Qt::IBeamCursor);
    t.Move(0, 5);
    const uint32_t hover = t.Term.HoverLink();
    EXPECT_NE(hover, 0u);
    EXPECT_EQ(t.Term.cursor().shape(), Qt::PointingHandCursor);
    EXPECT_EQ(t.Term.HyperlinkAtPoint(t.At(1, 2)), hover) << "one id, one link over two lines";
    EXPECT_NE(t.Term.HyperlinkAtPoint(t.At(1, 5)), hover);

    // The hovered link is underlined on both lines; the other words are not.
    QImage image = t.Term.grab().toImage();
    const QSize cell = t.Term.CellSize();
    auto underlined = [&](int ARow, int ACol) {
        const int y = ARow * cell.height() + cell.height() - 2;
        for (int x = ACol * cell.width(); x < (ACol + 1) * cell.width(); ++x)
            if (image.pixelColor(x, y) != image.pixelColor(x, y + 1))
                return true;
        return false;
    };
    EXPECT_TRUE(underlined(0, 5));
    EXPECT_TRUE(underlined(1, 0));
    EXPECT_FALSE(underlined(0, 9));
    EXPECT_FALSE(underlined(1, 5));

    // A plain click selects as ever; Ctrl+click opens, a right click asks for the menu.
    QTest::mouseClick(&t.Term, Qt::LeftButton, Qt::NoModifier, t.At(0, 5));
    QTest::mouseClick(&t.Term, Qt::LeftButton, Qt::ControlModifier, t.At(0, 5));
    QTest::mouseClick(&t.Term, Qt::RightButton, Qt::NoModifier, t.At(1, 5));
    QTest::mouseClick(&t.Term, Qt::LeftButton, Qt::ControlModifier, t.At(0, 1));
    EXPECT_EQ(opened, (std::vector<std::string>{"open https://example.org/doc", "menu file://h/x"}));

    // A program that reads the mouse gets the click instead.
    t.Feed("\033[?1000h\033[?1006h");
    t.Take();
    QTest::mouseClick(&t.Term, Qt::LeftButton, Qt::ControlModifier, t.At(0, 5));
    EXPECT_EQ(opened.size(), 2u);
    EXPECT_NE(t.Take(), "");
}

TEST(VtControl, LinkMenuOffersFileActionsOnlyForFiles) {
    auto enabled = [](bool AIsDir) {
        std::string text;
        for (const auto& item : LinkMenuItems(TKvTermLink{"n", "/n", AIsDir, 0}))
            text += std::string(item.Enabled ? "+" : "-") + item.Text + "|";
        return text;
    };
    EXPECT_EQ(enabled(false), "+View|+Edit|+Run as...|+Copy path|+Copy to the other half|"
                              "+Move to the other half|+Rename|+Delete...|+Permissions (chmod)|"
                              "+Owner (chown)|+Properties|");
    EXPECT_EQ(enabled(true).substr(0, 25), "-View|-Edit|-Run as...|+C");
}

TEST(VtControl, AFloodOfOutputCostsOneRepaintAtATime) {
    TTerm t;
    t.Term.show();
    QApplication::processEvents();
    t.Term.Paints = 0;
    t.Term.Requests = 0;
    // The reader thread feeds and notifies while the window is busy elsewhere.
    std::thread reader([&] {
        for (int i = 0; i < 2000; ++i) {
            t.Screen.Lock();
            t.Parser.Feed("\033[31mred \033[32mgreen " + std::to_string(i) + "\r\n");
            t.Screen.Changed();
            t.Screen.Unlock();
            t.Term.NotifyChanged();
        }
    });
    reader.join();
    QApplication::processEvents();
    QApplication::processEvents();
    EXPECT_EQ(t.Term.Requests, 1);
    EXPECT_LE(t.Term.Paints, 2);
    EXPECT_GE(t.Term.Paints, 1);
    // The request is taken: the next change is painted too, not lost.
    int before = t.Term.Paints;
    t.Feed("last");
    QApplication::processEvents();
    EXPECT_EQ(t.Term.Requests, 2);
    EXPECT_GT(t.Term.Paints, before);
    EXPECT_EQ(t.Screen.RowText(t.Screen.CursorY()), "last");
}

TEST(VtControl, AFrameDrawnInSynchronizedOutputIsPaintedWhenItEnds) {
    TTerm t;
    t.Term.show();
    QApplication::processEvents();
    t.Term.Paints = 0;
    t.Feed("\033[?2026h\033[2J\033[Hhalf a fra");
    QTest::qWait(50);
    EXPECT_EQ(t.Term.Paints, 0) << "the frame is still being drawn";
    t.Feed("me\033[?2026l");
    ASSERT_TRUE(QTest::qWaitFor([&] { return t.Term.Paints > 0; }, 2000));
    EXPECT_EQ(t.Screen.RowText(0), "half a frame");

    // A frame that never ends holds the paint only for a while.
    t.Term.Paints = 0;
    t.Feed("\033[?2026hstuck");
    QTest::qWait(50);
    EXPECT_EQ(t.Term.Paints, 0);
    ASSERT_TRUE(QTest::qWaitFor([&] { return t.Term.Paints > 0; }, 5000));
    t.Feed(" more");
    ASSERT_TRUE(QTest::qWaitFor([&] { return t.Term.Paints > 1; }, 2000))
        << "past the limit, output is painted as it comes";
}

TEST(VtControl, FocusChangesAreReportedOnlyWhenAsked) {
    TTerm t;
    QFocusEvent in(QEvent::FocusIn), out(QEvent::FocusOut);
    int activated = 0;
    t.Term.OnActivated = [&](TKvTerminal*) { ++activated; };
    QApplication::sendEvent(&t.Term, &in);
    QApplication::sendEvent(&t.Term, &out);
    EXPECT_EQ(t.Take(), "");
    EXPECT_EQ(activated, 1);
    t.Feed("\033[?1004h");
    QApplication::sendEvent(&t.Term, &in);
    QApplication::sendEvent(&t.Term, &out);
    EXPECT_EQ(t.Take(), "\033[I\033[O");
}

TEST(VtControl, PaintsCellColoursInverseSelectionAndPlainMode) {
    TTerm t;
    TKvTermLook look;
    look.Colors[csTerminalBackground] = KvRgb(0, 0, 0);
    look.Colors[csTerminalText] = KvRgb(192, 192, 192);
    t.Term.ApplyTheme(look);
    QSize cell = t.Term.CellSize();
    t.Term.resize(40 * cell.width(), 10 * cell.height());
    // Red and direct-colour backgrounds, an inverse cell, a wide character, a default cell.
    t.Feed("\033[41m  \033[48;2;1;2;3m  \033[0m\033[7m \033[0m\xe4\xb8\xad  \r\n");
    auto pixel = [&](int ARow, int ACol) {
        QImage image = t.Term.grab().toImage();
        QPoint at = t.At(ARow, ACol);
        // A corner of the cell: glyphs never reach there.
        return image.pixelColor(at.x() - cell.width() / 2, at.y() - cell.height() / 2 + 1).rgb() & 0xFFFFFF;
    };
    EXPECT_EQ(pixel(0, 0), 0xAA0000u);
    EXPECT_EQ(pixel(0, 3), 0x010203u);
    EXPECT_EQ(pixel(0, 4), 0xC0C0C0u) << "inverse: the text colour behind";
    EXPECT_EQ(pixel(0, 8), 0x000000u);
    // Selected cells swap their colours.
    t.Term.Select(TKvSelPos{0, 0}, TKvSelPos{0, 1});
    EXPECT_EQ(pixel(0, 0), 0xC0C0C0u) << "the default text colour on red, swapped";
    t.Term.ClearSelection();
    // Plain mode paints the theme's colours only.
    t.Term.SetIgnoreColors(true);
    EXPECT_EQ(pixel(0, 0), 0x000000u);
    EXPECT_EQ(pixel(0, 3), 0x000000u);
}
