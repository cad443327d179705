#include "Kv.Vt.Control.h"

#include <QApplication>
#include <QClipboard>
#include <QDateTime>
#include <QFontDatabase>
#include <QFontInfo>
#include <QFontMetrics>
#include <QGlyphRun>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QStyleHints>
#include <QWheelEvent>
#include <algorithm>
#include <cmath>

namespace kv {

namespace {

// Holds the screen's lock for a scope.
class TScreenLock {
public:
    explicit TScreenLock(TKvVtScreen* AScreen) : FScreen(AScreen) {
        if (FScreen)
            FScreen->Lock();
    }
    ~TScreenLock() {
        if (FScreen)
            FScreen->Unlock();
    }
    TScreenLock(const TScreenLock&) = delete;
    TScreenLock& operator=(const TScreenLock&) = delete;

private:
    TKvVtScreen* FScreen;
};

QColor Rgb(uint32_t ARgb) {
    return QColor(int((ARgb >> 16) & 0xFF), int((ARgb >> 8) & 0xFF), int(ARgb & 0xFF));
}

// A settings colour (red in the low byte) as 0xRRGGBB.
uint32_t SlotRgb(TKvColor AColor) {
    return (AColor & 0xFF) << 16 | (AColor & 0xFF00) | ((AColor >> 16) & 0xFF);
}

QColor SlotColor(TKvColor AColor) {
    return Rgb(SlotRgb(AColor));
}

TKvKeyMods Mods(Qt::KeyboardModifiers AMods) {
    return TKvKeyMods{bool(AMods & Qt::ShiftModifier), bool(AMods & Qt::AltModifier),
                      bool(AMods & Qt::ControlModifier)};
}

bool SpecialKey(int AKey, Qt::KeyboardModifiers AMods, TKvVtKey& AResult) {
    bool keypad = AMods & Qt::KeypadModifier;
    switch (AKey) {
    case Qt::Key_Up:
        AResult = vkUp;
        return true;
    case Qt::Key_Down:
        AResult = vkDown;
        return true;
    case Qt::Key_Right:
        AResult = vkRight;
        return true;
    case Qt::Key_Left:
        AResult = vkLeft;
        return true;
    case Qt::Key_Home:
        AResult = vkHome;
        return true;
    case Qt::Key_End:
        AResult = vkEnd;
        return true;
    case Qt::Key_Insert:
        AResult = vkInsert;
        return true;
    case Qt::Key_Delete:
        AResult = vkDelete;
        return true;
    case Qt::Key_PageUp:
        AResult = vkPageUp;
        return true;
    case Qt::Key_PageDown:
        AResult = vkPageDown;
        return true;
    case Qt::Key_Tab:
    case Qt::Key_Backtab:
        AResult = vkTab;
        return true;
    case Qt::Key_Backspace:
        AResult = vkBackspace;
        return true;
    case Qt::Key_Return:
        AResult = vkEnter;
        return true;
    case Qt::Key_Enter:
        AResult = vkKpEnter;
        return true;
    case Qt::Key_Escape:
        AResult = vkEscape;
        return true;
    case Qt::Key_Plus:
        AResult = vkKpPlus;
        return keypad;
    case Qt::Key_Minus:
        AResult = vkKpMinus;
        return keypad;
    case Qt::Key_Asterisk:
        AResult = vkKpMultiply;
        return keypad;
    case Qt::Key_Slash:
        AResult = vkKpDivide;
        return keypad;
    default:
        break;
    }
    if (AKey >= Qt::Key_F1 && AKey <= Qt::Key_F12) {
        AResult = TKvVtKey(int(vkF1) + (AKey - Qt::Key_F1));
        return true;
    }
    return false;
}

// Keys that stay with the window: switching halves and the drive menus.
bool WindowKey(int AKey, Qt::KeyboardModifiers AMods) {
    bool alt = AMods & Qt::AltModifier, control = AMods & Qt::ControlModifier;
    if (control && (AKey == Qt::Key_Tab || AKey == Qt::Key_Backtab))
        return true;
    if (alt && !control && (AKey == Qt::Key_F1 || AKey == Qt::Key_F2))
        return true;
    if (alt && !control && AKey == Qt::Key_Y)
        return true;
    return false;
}

} // namespace

TKvTerminal::TKvTerminal(QWidget* AParent) : QWidget(AParent) {
    setFocusPolicy(Qt::StrongFocus);
    setAttribute(Qt::WA_OpaquePaintEvent); // every pixel is painted
    setAttribute(Qt::WA_InputMethodEnabled);
    setMouseTracking(true); // links under the pointer, and mode 1003
    ApplyTheme(TKvTermLook());
}

TKvTerminal::~TKvTerminal() = default;

void TKvTerminal::SetTerm(TKvVtScreen* AScreen) {
    FTerm = AScreen;
    FOffset = 0;
    FHasSel = false;
    FSelecting = false;
    if (FTerm) {
        TScreenLock lock(FTerm);
        FSeenDropped = FTerm->DroppedCount();
        FSeenBack = FTerm->BackCount();
    }
    TellColors();
    FitGrid();
    update();
}

// --- Repaint coalescing ---------------------------------------------------------------------

void TKvTerminal::NotifyChanged() {
    if (FPosted.exchange(true))
        return;
    // Queued to the control's thread; Qt drops it if the control is gone by then.
    QMetaObject::invokeMethod(this, [this] { Repaint(); }, Qt::QueuedConnection);
}

void TKvTerminal::Repaint() {
    FPosted.store(false);
    if (FTerm) {
        TScreenLock lock(FTerm);
        Track();
    }
    update();
}

void TKvTerminal::Track() {
    int64_t dropped = FTerm->DroppedCount();
    int back = FTerm->BackCount();
    if (FOffset > 0) {
        // Scrolled back: the view keeps its text while new lines arrive below.
        int64_t offset = int64_t(FOffset) + (back - FSeenBack) + (dropped - FSeenDropped);
        FOffset = int(std::clamp<int64_t>(offset, 0, back));
    }
    FOffset = std::min(FOffset, back);
    if (FHasSel && std::min(FSelAnchor, FSelCaret).Line < dropped) {
        // The selected text has left the history.
        FHasSel = false;
        FSelecting = false;
    }
    FSeenDropped = dropped;
    FSeenBack = back;
}

// --- Input ------------------------------------------------------------------------------------

void TKvTerminal::Send(const std::string& AData) {
    if (AData.empty() || !OnInput)
        return;
    ClearSelection();
    ScrollToLive();
    OnInput(this, AData);
}

void TKvTerminal::TypeText(const std::string& AText) {
    Send(AText);
}

void TKvTerminal::Paste(const std::string& AText) {
    if (AText.empty())
        return;
    bool bracketed = false;
    if (FTerm) {
        TScreenLock lock(FTerm);
        bracketed = FTerm->BracketedPaste();
    }
    Send(PasteBytes(AText, bracketed));
}

void TKvTerminal::PasteClipboard() {
    Paste(QApplication::clipboard()->text().toStdString());
}

void TKvTerminal::ScrollToLive() {
    if (FOffset != 0) {
        FOffset = 0;
        update();
    }
}

void TKvTerminal::ScrollBy(int ALines) {
    if (!FTerm)
        return;
    int back;
    {
        TScreenLock lock(FTerm);
        Track();
        back = FTerm->BackCount();
    }
    int offset = std::clamp(FOffset + ALines, 0, back);
    if (offset != FOffset) {
        FOffset = offset;
        update();
    }
}

bool TKvTerminal::event(QEvent* AEvent) {
    if (AEvent->type() == QEvent::ShortcutOverride) {
        // Keys the terminal uses are not taken by the window's shortcuts.
        auto* key = static_cast<QKeyEvent*>(AEvent);
        if (HandleKey(key, true)) {
            key->accept();
            return true;
        }
    }
    return QWidget::event(AEvent);
}

void TKvTerminal::keyPressEvent(QKeyEvent* AEvent) {
    if (!HandleKey(AEvent, false))
        AEvent->ignore();
}

bool TKvTerminal::HandleKey(QKeyEvent* AEvent, bool ADryRun) {
    int key = AEvent->key();
    Qt::KeyboardModifiers mods = AEvent->modifiers();
    TKvKeyMods m = Mods(mods);
    if (WindowKey(key, mods))
        return false;
    if (key == Qt::Key_Shift || key == Qt::Key_Control || key == Qt::Key_Alt ||
        key == Qt::Key_Meta || key == Qt::Key_AltGr || key == Qt::Key_CapsLock ||
        key == Qt::Key_NumLock || key == Qt::Key_Super_L || key == Qt::Key_Super_R)
        return false;

    // The terminal's own commands.
    if (m.Shift && !m.Control && !m.Alt) {
        if (key == Qt::Key_PageUp || key == Qt::Key_PageDown) {
            if (!ADryRun) {
                int rows = FTerm ? std::max(FTerm->Rows() - 1, 1) : 1;
                ScrollBy(key == Qt::Key_PageUp ? rows : -rows);
            }
            return true;
        }
        if (key == Qt::Key_Insert) {
            if (!ADryRun)
                PasteClipboard();
            return true;
        }
    }
    if (m.Control && !m.Alt && key == Qt::Key_Insert && !m.Shift) {
        if (!ADryRun)
            CopySelection();
        return true;
    }
    if (m.Control && !m.Alt && key == Qt::Key_C) {
        // Control+C copies while something is selected, else interrupts; with Shift (the
        // usual copy key of Linux terminals) it only ever copies.
        if (ADryRun)
            return true;
        if (HasSelection()) {
            CopySelection();
            ClearSelection();
        } else if (!m.Shift) {
            Send("\x03");
        }
        return true;
    }
    if (m.Control && !m.Alt && key == Qt::Key_V) {
        if (!ADryRun)
            PasteClipboard();
        return true;
    }

    TKvKeyModes modes;
    if (FTerm) {
        TScreenLock lock(FTerm);
        modes = TKvKeyModes{FTerm->AppCursorKeys(), FTerm->AppKeypad(), FTerm->NewlineMode()};
    }
    TKvVtKey special;
    if (SpecialKey(key, mods, special)) {
        if (key == Qt::Key_Backtab)
            m.Shift = true;
        std::string bytes = EncodeKey(special, m, modes);
        if (bytes.empty())
            return false;
        if (!ADryRun)
            Send(bytes);
        return true;
    }
    if (m.Control) {
        // From the key, not the text: X11 gives "\x01" for Control+A, Wayland may give "a".
        std::string bytes;
        if (key > 0 && key < 0x7F)
            bytes = EncodeControlKey(char(key), m);
        if (bytes.empty()) {
            QString text = AEvent->text();
            if (text.size() == 1 && text[0].unicode() < 0x20)
                bytes = EncodeText(std::string(1, char(text[0].unicode())), m.Alt);
        }
        if (bytes.empty())
            return false;
        if (!ADryRun)
            Send(bytes);
        return true;
    }
    QString text = AEvent->text();
    if (text.isEmpty())
        return false;
    // A lone surrogate half cannot be sent as UTF-8.
    QString clean;
    for (qsizetype i = 0; i < text.size(); ++i) {
        QChar c = text[i];
        if (c.isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate()) {
            clean += c;
            clean += text[++i];
        } else if (!c.isSurrogate()) {
            clean += c;
        }
    }
    if (clean.isEmpty())
        return false;
    if (!ADryRun)
        Send(EncodeText(clean.toStdString(), m.Alt));
    return true;
}

void TKvTerminal::inputMethodEvent(QInputMethodEvent* AEvent) {
    if (!AEvent->commitString().isEmpty())
        Send(AEvent->commitString().toStdString());
    AEvent->accept();
}

QVariant TKvTerminal::inputMethodQuery(Qt::InputMethodQuery AQuery) const {
    if (AQuery == Qt::ImCursorRectangle && FTerm) {
        TScreenLock lock(FTerm);
        return QRect(FTerm->CursorX() * FCellW, (FTerm->CursorY() + FOffset) * FCellH, FCellW,
                     FCellH);
    }
    if (AQuery == Qt::ImFont)
        return FFont.Fonts[0];
    return QWidget::inputMethodQuery(AQuery);
}

void TKvTerminal::focusInEvent(QFocusEvent* AEvent) {
    QWidget::focusInEvent(AEvent);
    bool report = false;
    if (FTerm) {
        TScreenLock lock(FTerm);
        report = FTerm->FocusEvents();
    }
    if (report && OnInput)
        OnInput(this, FocusReport(true));
    if (OnActivated)
        OnActivated(this);
    update();
}

void TKvTerminal::focusOutEvent(QFocusEvent* AEvent) {
    QWidget::focusOutEvent(AEvent);
    bool report = false;
    if (FTerm) {
        TScreenLock lock(FTerm);
        report = FTerm->FocusEvents();
    }
    if (report && OnInput)
        OnInput(this, FocusReport(false));
    update();
}

// --- Selection and clipboard -------------------------------------------------------------------

std::string TKvTerminal::SelectionText() const {
    if (!HasSelection() || !FTerm)
        return std::string();
    TScreenLock lock(FTerm);
    int64_t dropped = FTerm->DroppedCount();
    TKvSelPos from{int(FSelAnchor.Line - dropped), FSelAnchor.Col};
    TKvSelPos to{int(FSelCaret.Line - dropped), FSelCaret.Col};
    return kv::SelectionText(*FTerm, from, to);
}

bool TKvTerminal::CopySelection() {
    std::string text = SelectionText();
    if (text.empty())
        return false;
    QApplication::clipboard()->setText(QString::fromStdString(text));
    return true;
}

void TKvTerminal::ClearSelection() {
    if (FHasSel) {
        FHasSel = false;
        update();
    }
    FSelecting = false;
}

void TKvTerminal::Select(TKvSelPos AFrom, TKvSelPos ATo) {
    if (!FTerm)
        return;
    TScreenLock lock(FTerm);
    int64_t dropped = FTerm->DroppedCount();
    FSelAnchor = TStablePos{AFrom.Line + dropped, AFrom.Col};
    FSelCaret = TStablePos{ATo.Line + dropped, ATo.Col};
    FHasSel = true;
    update();
}

TKvSelPos TKvTerminal::CellAt(QPoint APoint) const {
    int first = 0, last = -1;
    VisibleLines(first, last);
    int cols = FTerm ? FTerm->Cols() : 1;
    int row = APoint.y() >= 0 ? APoint.y() / FCellH : -1 - (-APoint.y() - 1) / FCellH;
    int col = std::clamp(APoint.x() / FCellW, 0, cols - 1);
    return TKvSelPos{first + row, col};
}

void TKvTerminal::VisibleLines(int& AFirst, int& ALast) const {
    AFirst = 0;
    ALast = -1;
    if (!FTerm)
        return;
    TScreenLock lock(FTerm);
    AFirst = std::max(FTerm->BackCount() - FOffset, 0);
    ALast = std::min(AFirst + FTerm->Rows(), FTerm->LineCount()) - 1;
}

// --- Mouse ------------------------------------------------------------------------------------

bool TKvTerminal::MouseReporting(Qt::KeyboardModifiers AMods) const {
    // Shift keeps selection by mouse, as in xterm.
    if (!FTerm || (AMods & Qt::ShiftModifier))
        return false;
    TScreenLock lock(FTerm);
    return FTerm->MouseMode() != mmOff;
}

bool TKvTerminal::ReportMouse(QMouseEvent* AEvent, TKvMouseAction AAction) {
    if (!MouseReporting(AEvent->modifiers()))
        return false;
    TKvMouseReport report;
    report.Action = AAction;
    auto button = [](Qt::MouseButton AButton) {
        switch (AButton) {
        case Qt::LeftButton:
            return mbLeft;
        case Qt::MiddleButton:
            return mbMiddle;
        case Qt::RightButton:
            return mbRight;
        default:
            return mbNone;
        }
    };
    if (AAction == maMove) {
        Qt::MouseButtons held = AEvent->buttons();
        report.Button = (held & Qt::LeftButton)     ? mbLeft
                        : (held & Qt::MiddleButton) ? mbMiddle
                        : (held & Qt::RightButton)  ? mbRight
                                                    : mbNone;
    } else {
        report.Button = button(AEvent->button());
        if (report.Button == mbNone)
            return true;
    }
    QPoint pos = AEvent->position().toPoint();
    report.Col = pos.x() / FCellW;
    report.Row = pos.y() / FCellH;
    report.Mods = Mods(AEvent->modifiers());
    std::string bytes;
    {
        TScreenLock lock(FTerm);
        report.Col = std::clamp(report.Col, 0, FTerm->Cols() - 1);
        report.Row = std::clamp(report.Row, 0, FTerm->Rows() - 1);
        bytes = EncodeMouse(FTerm->MouseMode(), FTerm->SgrMouse(), report);
    }
    if (!bytes.empty() && OnInput)
        OnInput(this, bytes);
    return true;
}

void TKvTerminal::mousePressEvent(QMouseEvent* AEvent) {
    QPoint pos = AEvent->position().toPoint();
    if (AEvent->button() == Qt::RightButton) {
        const TKvTermLink* link = LinkAtPoint(pos);
        FDownName = link ? link->Name : std::string();
        if (link)
            return;
    }
    if (ReportMouse(AEvent, maPress)) {
        setFocus(Qt::MouseFocusReason);
        return;
    }
    if (AEvent->button() == Qt::LeftButton) {
        setFocus(Qt::MouseFocusReason);
        TKvSelPos cell = CellAt(pos);
        qint64 now = QDateTime::currentMSecsSinceEpoch();
        if (now - FDoubleClickAt <= QGuiApplication::styleHints()->mouseDoubleClickInterval() &&
            cell.Line == FDoubleClickCell.Line && FTerm) {
            // The third click: the whole line, with the lines it wrapped into.
            TKvSelPos from, to;
            {
                TScreenLock lock(FTerm);
                LineRange(*FTerm, cell.Line, from, to);
            }
            FDoubleClickAt = 0;
            Select(from, to);
            FLineSelect = true;
            return;
        }
        FLineSelect = false;
        ClearSelection();
        if (FTerm) {
            TScreenLock lock(FTerm);
            int64_t dropped = FTerm->DroppedCount();
            FSelAnchor = FSelCaret = TStablePos{cell.Line + dropped, cell.Col};
        }
        FSelecting = true;
        FHasSel = true;
        update();
    }
}

void TKvTerminal::mouseMoveEvent(QMouseEvent* AEvent) {
    QPoint pos = AEvent->position().toPoint();
    if (ReportMouse(AEvent, maMove))
        return;
    if (FSelecting && (AEvent->buttons() & Qt::LeftButton) && FTerm) {
        bool alt;
        {
            TScreenLock lock(FTerm);
            alt = FTerm->AltScreen();
        }
        // Dragging past the edges scrolls the history (the alternate screen has none).
        if (pos.y() < 0 && !alt)
            ScrollBy(1);
        else if (pos.y() >= height() && !alt)
            ScrollBy(-1);
        TKvSelPos cell = CellAt(QPoint(pos.x(), std::clamp(pos.y(), 0, height() - 1)));
        TScreenLock lock(FTerm);
        FSelCaret = TStablePos{cell.Line + FTerm->DroppedCount(), cell.Col};
        update();
        return;
    }
    setCursor(LinkAtPoint(pos) ? Qt::PointingHandCursor : Qt::IBeamCursor);
}

void TKvTerminal::mouseReleaseEvent(QMouseEvent* AEvent) {
    QPoint pos = AEvent->position().toPoint();
    if (AEvent->button() == Qt::RightButton) {
        std::string down = FDownName;
        FDownName.clear();
        if (!down.empty()) {
            const TKvTermLink* link = LinkAtPoint(pos);
            if (link && link->Name == down) {
                TKvTermLink copy = *link;
                QPoint global = AEvent->globalPosition().toPoint();
                if (OnLinkClick)
                    OnLinkClick(this, copy, global);
                else
                    PopupLinkMenu(copy, global);
            }
            return;
        }
    }
    if (ReportMouse(AEvent, maRelease))
        return;
    if (AEvent->button() == Qt::LeftButton) {
        FSelecting = false;
        return;
    }
    if (AEvent->button() == Qt::RightButton && RightClickCopyPaste) {
        if (HasSelection()) {
            CopySelection();
            ClearSelection();
        } else {
            PasteClipboard();
        }
    }
}

void TKvTerminal::mouseDoubleClickEvent(QMouseEvent* AEvent) {
    if (AEvent->button() != Qt::LeftButton) {
        mousePressEvent(AEvent);
        return;
    }
    if (MouseReporting(AEvent->modifiers())) {
        ReportMouse(AEvent, maPress);
        return;
    }
    QPoint pos = AEvent->position().toPoint();
    if (const TKvTermLink* link = LinkAtPoint(pos)) {
        TKvTermLink copy = *link;
        FSelecting = false;
        ClearSelection();
        if (OnLinkDblClick)
            OnLinkDblClick(this, copy);
        return;
    }
    TKvSelPos cell = CellAt(pos);
    FDoubleClickAt = QDateTime::currentMSecsSinceEpoch();
    FDoubleClickCell = cell;
    FSelecting = false;
    TKvSelPos from, to;
    bool word = false;
    if (FTerm) {
        TScreenLock lock(FTerm);
        word = WordRange(*FTerm, cell.Line, cell.Col, from, to);
    }
    if (word)
        Select(from, to);
    else
        ClearSelection();
}

void TKvTerminal::wheelEvent(QWheelEvent* AEvent) {
    if (!FTerm)
        return;
    int delta = AEvent->angleDelta().y();
    if (delta == 0)
        return;
    int notches = std::max(std::abs(delta) / 120, 1);
    bool up = delta > 0;
    if (MouseReporting(AEvent->modifiers())) {
        TKvMouseReport report;
        report.Button = up ? mbWheelUp : mbWheelDown;
        QPoint pos = AEvent->position().toPoint();
        std::string bytes;
        {
            TScreenLock lock(FTerm);
            report.Col = std::clamp(pos.x() / FCellW, 0, FTerm->Cols() - 1);
            report.Row = std::clamp(pos.y() / FCellH, 0, FTerm->Rows() - 1);
            std::string one = EncodeMouse(FTerm->MouseMode(), FTerm->SgrMouse(), report);
            for (int i = 0; i < notches; ++i)
                bytes += one;
        }
        if (!bytes.empty() && OnInput)
            OnInput(this, bytes);
        return;
    }
    bool alt;
    TKvKeyModes modes;
    {
        TScreenLock lock(FTerm);
        alt = FTerm->AltScreen();
        modes.AppCursor = FTerm->AppCursorKeys();
    }
    if (alt) {
        // Full-screen programs scroll themselves: three cursor keys a notch.
        std::string one = EncodeKey(up ? vkUp : vkDown, TKvKeyMods(), modes), bytes;
        for (int i = 0; i < notches * 3; ++i)
            bytes += one;
        Send(bytes);
        return;
    }
    ScrollBy((up ? 1 : -1) * notches * 3);
}

// --- Links --------------------------------------------------------------------------------

void TKvTerminal::SetLinks(const std::vector<TKvTermLink>& ALinks) {
    FKnown.clear();
    for (const TKvTermLink& link : ALinks)
        FKnown[link.Name] = link;
    update();
}

const TKvTermLink* TKvTerminal::LinkAtPoint(QPoint APoint) const {
    if (!FTerm || FKnown.empty() || APoint.y() < 0 || APoint.x() < 0)
        return nullptr;
    TKvSelPos cell = CellAt(APoint);
    TScreenLock lock(FTerm);
    if (APoint.x() / FCellW >= FTerm->Cols())
        return nullptr;
    return LinkAt(*FTerm, FKnown, cell.Line, cell.Col);
}

void TKvTerminal::PopupLinkMenu(const TKvTermLink& ALink, const QPoint& AScreenPos) {
    FLinkMenu = std::make_unique<QMenu>(this);
    for (const TKvLinkMenuItem& item : LinkMenuItems(ALink)) {
        QAction* action = FLinkMenu->addAction(QString::fromUtf8(item.Text));
        action->setEnabled(item.Enabled);
        TKvLinkAction kind = item.Action;
        connect(action, &QAction::triggered, this, [this, kind, ALink] {
            if (OnLinkAction)
                OnLinkAction(this, kind, ALink);
        });
    }
    FLinkMenu->popup(AScreenPos);
}

// --- Look -------------------------------------------------------------------------------------

void TKvTerminal::SetIgnoreColors(bool AOn) {
    FIgnoreColors = AOn;
    update();
}

void TKvTerminal::TellColors() {
    if (!FTerm)
        return;
    uint32_t fg = SlotRgb(FLook.Colors[csTerminalText]);
    TScreenLock lock(FTerm);
    FTerm->SetDefaultColors(fg, SlotRgb(FLook.Colors[csTerminalBackground]), fg);
}

void TKvTerminal::ApplyTheme(const TKvTermLook& ALook) {
    FLook = ALook;
    TellColors();
    FMetricsPpi = 0;
    Measure();
    FitGrid();
    update();
}

void TKvTerminal::Measure() {
    int ppi = std::max(logicalDpiX(), 96);
    // Qt's logical pixels carry the screen's scale; only a dpi above 96 scales further.
    int pixels = std::max(1, int(std::lround(FLook.FontHeight * ppi / 96.0)));
    QFont font(QString::fromStdString(FLook.FontName));
    font.setStyleHint(QFont::Monospace);
    if (!QFontInfo(font).fixedPitch())
        font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    font.setPixelSize(pixels);
    font.setKerning(false);
    for (int i = 0; i < 4; ++i) {
        QFont variant = font;
        variant.setBold(i & 1);
        variant.setItalic(i & 2);
        FFont.Fonts[i] = variant;
        FFont.Raw[i] = QRawFont::fromFont(variant);
    }
    QFontMetrics metrics(font);
    FCellW = std::max(1, metrics.horizontalAdvance(QLatin1Char('W')));
    FCellH = std::max(1, metrics.height());
    FFont.Ascent = metrics.ascent();
    FMetricsPpi = ppi;
}

void TKvTerminal::FitGrid() {
    if (!FTerm)
        return;
    if (FMetricsPpi != std::max(logicalDpiX(), 96))
        Measure();
    int cols = std::max(width() / FCellW, 2);
    int rows = std::max(height() / FCellH, 1);
    bool changed = false;
    {
        TScreenLock lock(FTerm);
        if (cols != FTerm->Cols() || rows != FTerm->Rows()) {
            FTerm->Resize(cols, rows);
            Track();
            changed = true;
        }
    }
    if (changed && OnGridChanged)
        OnGridChanged(this, cols, rows);
}

void TKvTerminal::resizeEvent(QResizeEvent* AEvent) {
    QWidget::resizeEvent(AEvent);
    FitGrid();
}

// --- Painting ---------------------------------------------------------------------------------

void TKvTerminal::paintEvent(QPaintEvent* /*AEvent*/) {
    QPainter painter(this);
    QColor background = SlotColor(FLook.Colors[csTerminalBackground]);
    painter.fillRect(rect(), background);
    if (!FTerm)
        return;
    if (FMetricsPpi != std::max(logicalDpiX(), 96)) {
        Measure();
        FitGrid();
    }
    bool focused = hasFocus();
    TScreenLock lock(FTerm);
    Track();
    int first = FTerm->BackCount() - FOffset;
    int rows = std::min(FTerm->Rows(), height() / FCellH + 1);
    int64_t dropped = FTerm->DroppedCount();
    int64_t selFrom = -1, selTo = -1;
    if (HasSelection()) {
        auto [a, b] = std::minmax(FSelAnchor, FSelCaret);
        selFrom = (a.Line - dropped) * 100000 + a.Col;
        selTo = (b.Line - dropped) * 100000 + b.Col;
    }
    bool live = FOffset == 0;
    int cursorRow = FTerm->CursorY();
    for (int r = 0; r < rows; ++r) {
        int line = first + r;
        int cursorCol = live && FTerm->CursorVisible() && r == cursorRow ? FTerm->CursorX() : -1;
        PaintRow(painter, line, r * FCellH, selFrom, selTo, cursorCol, focused);
    }
    if (live && FTerm->CursorVisible() && !focused) {
        painter.setPen(SlotColor(FLook.Colors[csTerminalText]));
        painter.setBrush(Qt::NoBrush);
        painter.drawRect(FTerm->CursorX() * FCellW, cursorRow * FCellH, FCellW - 1, FCellH - 1);
    }
}

void TKvTerminal::PaintRow(QPainter& APainter, int ALine, int AY, int64_t ASelFrom,
                           int64_t ASelTo, int ACursorCol, bool AFocused) {
    const TKvVtLine& line = FTerm->AbsLine(ALine);
    int count = std::min(int(line.Cells.size()), FTerm->Cols());
    if (count == 0)
        return;
    const uint32_t themeFg = SlotRgb(FLook.Colors[csTerminalText]);
    const uint32_t themeBg = SlotRgb(FLook.Colors[csTerminalBackground]);
    std::vector<TKvWord> links = LinkWordsOnLine(*FTerm, FKnown, ALine);
    bool plain = FIgnoreColors && !FTerm->AltScreen();

    // Bold folder links when colours are ignored.
    std::vector<bool> boldCells;
    if (plain && !links.empty()) {
        boldCells.assign(size_t(count), false);
        for (const TKvWord& word : links) {
            auto it = FKnown.find(word.Text);
            if (it != FKnown.end() && it->second.IsDir)
                for (int c = word.ColFrom; c < word.ColTo && c < count; ++c)
                    boldCells[size_t(c)] = true;
        }
    }

    // What a cell looks like; neighbours that look alike are painted as one run.
    struct TLook {
        uint32_t Fg = 0, Bg = 0;
        int Font = 0; // bold 1, italic 2
        bool Underline = false, Strike = false, Hidden = false, Filled = false;
        bool operator==(const TLook&) const = default;
    };
    auto lookOf = [&](int ACol) {
        const TKvVtCell& cell = line.Cells[size_t(ACol)];
        TLook look;
        uint16_t flags = cell.Flags;
        bool bold;
        if (plain) {
            look.Fg = themeFg;
            look.Bg = themeBg;
            bold = !boldCells.empty() && boldCells[size_t(ACol)];
        } else {
            bold = flags & vfBold;
            auto colour = [&](uint32_t AValue, bool AForeground) {
                if (AValue == KVtDefaultColor)
                    return AForeground ? themeFg : themeBg;
                if (AValue & KVtDirectColor)
                    return AValue & 0xFFFFFF;
                int index = int(AValue & 0xFF);
                if (AForeground && bold && index < 8)
                    index += 8;
                return VtPaletteRgb(index);
            };
            look.Fg = colour(cell.Fg, true);
            look.Bg = colour(cell.Bg, false);
            if (flags & vfFaint) {
                auto mix = [](uint32_t A, uint32_t B, int AShift) {
                    return ((((A >> AShift) & 0xFF) + ((B >> AShift) & 0xFF)) / 2) << AShift;
                };
                look.Fg = mix(look.Fg, look.Bg, 16) | mix(look.Fg, look.Bg, 8) |
                          mix(look.Fg, look.Bg, 0);
            }
        }
        bool cursor = ACol == ACursorCol && AFocused;
        int64_t key = int64_t(ALine) * 100000 + ACol;
        bool selected = ASelFrom >= 0 && key >= ASelFrom && key <= ASelTo;
        int swaps = ((flags & vfInverse) && !plain ? 1 : 0) + (cursor ? 1 : 0) + (selected ? 1 : 0);
        if (swaps % 2 == 1)
            std::swap(look.Fg, look.Bg);
        look.Filled = look.Bg != themeBg || cursor || selected || (swaps > 0);
        look.Font = (bold ? 1 : 0) + ((flags & vfItalic) ? 2 : 0);
        look.Underline = flags & vfUnderline;
        look.Strike = flags & vfStrike;
        look.Hidden = flags & vfHidden;
        return look;
    };

    qreal baseline = AY + FFont.Ascent;
    std::vector<quint32> codes;
    std::vector<quint32> glyphs;
    std::vector<QPointF> positions;
    QList<quint32> glyphList;
    QList<QPointF> positionList;
    int col = 0;
    while (col < count) {
        if (line.Cells[size_t(col)].Flags & vfWideRight) {
            // An orphan right half (its left half was cut off by a resize); paint it blank.
            TLook look = lookOf(col);
            if (look.Filled)
                APainter.fillRect(col * FCellW, AY, FCellW, FCellH, Rgb(look.Bg));
            ++col;
            continue;
        }
        TLook look = lookOf(col);
        int start = col;
        int end = col + ((line.Cells[size_t(col)].Flags & vfWideLeft) && col + 1 < count ? 2 : 1);
        while (end < count) {
            const TKvVtCell& next = line.Cells[size_t(end)];
            if ((next.Flags & vfWideRight) || !(lookOf(end) == look))
                break;
            end += (next.Flags & vfWideLeft) && end + 1 < count ? 2 : 1;
        }
        col = end;
        int x = start * FCellW, w = (end - start) * FCellW;
        if (look.Filled)
            APainter.fillRect(x, AY, w, FCellH, Rgb(look.Bg));
        QColor fg = Rgb(look.Fg);
        if (!look.Hidden) {
            // Characters the font has go out as one glyph run placed cell by cell, so that a
            // font whose advance is not a whole pixel keeps the grid; the rest (other fonts'
            // glyphs, combining marks) are drawn one cell at a time.
            const QRawFont& raw = FFont.Raw[look.Font];
            glyphList.clear();
            positionList.clear();
            for (int c = start; c < end; ++c) {
                const TKvVtCell& cell = line.Cells[size_t(c)];
                if ((cell.Flags & vfWideRight) || cell.Ch <= ' ')
                    continue;
                const std::u32string* marks = CellMarks(line, cell);
                quint32 glyph = 0;
                if (!marks && cell.Ch < 0x10000 && raw.isValid()) {
                    QChar ch(char16_t(cell.Ch));
                    int n = 1;
                    raw.glyphIndexesForChars(&ch, 1, &glyph, &n);
                }
                if (glyph != 0 && !(cell.Flags & vfWideLeft)) {
                    glyphList.append(glyph);
                    positionList.append(QPointF(c * FCellW, 0));
                    continue;
                }
                QString text = QString::fromUcs4(reinterpret_cast<const char32_t*>(&cell.Ch), 1);
                if (marks)
                    text += QString::fromUcs4(marks->data(), qsizetype(marks->size()));
                APainter.setFont(FFont.Fonts[look.Font]);
                APainter.setPen(fg);
                int cells = (cell.Flags & vfWideLeft) ? 2 : 1;
                APainter.save();
                APainter.setClipRect(c * FCellW, AY, cells * FCellW, FCellH);
                APainter.drawText(QPointF(c * FCellW, baseline), text);
                APainter.restore();
            }
            if (!glyphList.isEmpty()) {
                QGlyphRun run;
                run.setRawFont(raw);
                run.setGlyphIndexes(glyphList);
                run.setPositions(positionList);
                APainter.setPen(fg);
                APainter.drawGlyphRun(QPointF(0, baseline), run);
            }
        }
        if (look.Underline) {
            APainter.fillRect(x, AY + FCellH - 2, w, 1, fg);
        }
        if (look.Strike) {
            APainter.fillRect(x, AY + FCellH / 2, w, 1, fg);
        }
    }
    if (!links.empty()) {
        QColor linkColour = SlotColor(FLook.Colors[csFileNames]);
        for (const TKvWord& word : links) {
            int from = std::clamp(word.ColFrom, 0, count), to = std::clamp(word.ColTo, 0, count);
            if (to > from)
                APainter.fillRect(from * FCellW, AY + FCellH - 2, (to - from) * FCellW, 1,
                                  linkColour);
        }
    }
}

} // namespace kv
