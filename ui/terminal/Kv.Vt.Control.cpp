#include "Kv.Vt.Control.h"

#include <QApplication>
#include <QClipboard>
#include <QDesktopServices>
#include <QUrl>
#include <QDateTime>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QStyleHints>
#include <QTimer>
#include <QWheelEvent>
#include <algorithm>
#include <chrono>

namespace kv {

namespace {

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
        TKvVtScreenLock lock(FTerm);
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
        TKvVtScreenLock lock(FTerm);
        Track();
        if (FTerm->SyncOutput()) {
            // Half a frame would tear: hold until the program ends it, or the time is up (a
            // program that died mid-frame must not freeze the window).
            const int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                                    std::chrono::steady_clock::now().time_since_epoch())
                                    .count();
            if (FSyncSince < 0)
                FSyncSince = now;
            const int64_t left = FSyncSince + KSyncHoldMs - now;
            if (left > 0) {
                if (!FSyncTimer) {
                    FSyncTimer = true;
                    QTimer::singleShot(int(left), this, [this] {
                        FSyncTimer = false;
                        Repaint();
                    });
                }
                return;
            }
        } else {
            FSyncSince = -1;
        }
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
        TKvVtScreenLock lock(FTerm);
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
        TKvVtScreenLock lock(FTerm);
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
    if (AEvent->type() == QEvent::Leave)
        SetHoverLink(0);
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
        TKvVtScreenLock lock(FTerm);
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
        TKvVtScreenLock lock(FTerm);
        return QRect(FTerm->CursorX() * FCellW, (FTerm->CursorY() + FOffset) * FCellH, FCellW,
                     FCellH);
    }
    if (AQuery == Qt::ImFont)
        return FFont.Fonts[0];
    return QWidget::inputMethodQuery(AQuery);
}

void TKvTerminal::ReportFocus(bool AIn) {
    bool report = false;
    if (FTerm) {
        TKvVtScreenLock lock(FTerm);
        report = FTerm->FocusEvents();
    }
    if (report && OnInput)
        OnInput(this, FocusReport(AIn));
    update(); // the cursor's look follows the focus
}

void TKvTerminal::focusInEvent(QFocusEvent* AEvent) {
    QWidget::focusInEvent(AEvent);
    ReportFocus(true);
    if (OnActivated)
        OnActivated(this);
}

void TKvTerminal::focusOutEvent(QFocusEvent* AEvent) {
    QWidget::focusOutEvent(AEvent);
    ReportFocus(false);
}

// --- Selection and clipboard -------------------------------------------------------------------

std::string TKvTerminal::SelectionText() const {
    if (!HasSelection() || !FTerm)
        return std::string();
    TKvVtScreenLock lock(FTerm);
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
    TKvVtScreenLock lock(FTerm);
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
    TKvVtScreenLock lock(FTerm);
    AFirst = std::max(FTerm->BackCount() - FOffset, 0);
    ALast = std::min(AFirst + FTerm->Rows(), FTerm->LineCount()) - 1;
}

// --- Mouse ------------------------------------------------------------------------------------

bool TKvTerminal::MouseReporting(Qt::KeyboardModifiers AMods) const {
    // Shift keeps selection by mouse, as in xterm.
    if (!FTerm || (AMods & Qt::ShiftModifier))
        return false;
    TKvVtScreenLock lock(FTerm);
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
        TKvVtScreenLock lock(FTerm);
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
    FDownLink = 0;
    if (AEvent->button() == Qt::RightButton) {
        const TKvTermLink* link = LinkAtPoint(pos);
        FDownName = link ? link->Name : std::string();
        if (link)
            return;
        if (OnHyperlink && !MouseReporting(AEvent->modifiers())) {
            FDownLink = HyperlinkAtPoint(pos);
            if (FDownLink)
                return;
        }
    }
    if (AEvent->button() == Qt::LeftButton && (AEvent->modifiers() & Qt::ControlModifier) &&
        !MouseReporting(AEvent->modifiers())) {
        std::string uri;
        if (HyperlinkAtPoint(pos, &uri)) {
            setFocus(Qt::MouseFocusReason);
            if (OnHyperlink)
                OnHyperlink(this, uri, AEvent->globalPosition().toPoint(), false);
            else
                OpenWebLink(uri);
            return;
        }
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
                TKvVtScreenLock lock(FTerm);
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
            TKvVtScreenLock lock(FTerm);
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
            TKvVtScreenLock lock(FTerm);
            alt = FTerm->AltScreen();
        }
        // Dragging past the edges scrolls the history (the alternate screen has none).
        if (pos.y() < 0 && !alt)
            ScrollBy(1);
        else if (pos.y() >= height() && !alt)
            ScrollBy(-1);
        TKvSelPos cell = CellAt(QPoint(pos.x(), std::clamp(pos.y(), 0, height() - 1)));
        TKvVtScreenLock lock(FTerm);
        FSelCaret = TStablePos{cell.Line + FTerm->DroppedCount(), cell.Col};
        update();
        return;
    }
    const uint32_t hyperlink = HyperlinkAtPoint(pos);
    SetHoverLink(hyperlink);
    setCursor(LinkAtPoint(pos) || hyperlink ? Qt::PointingHandCursor : Qt::IBeamCursor);
}

void TKvTerminal::SetHoverLink(uint32_t ALink) {
    if (ALink == FHoverLink)
        return;
    FHoverLink = ALink;
    update();
}

void TKvTerminal::mouseReleaseEvent(QMouseEvent* AEvent) {
    QPoint pos = AEvent->position().toPoint();
    if (AEvent->button() == Qt::RightButton && FDownLink) {
        const uint32_t down = FDownLink;
        FDownLink = 0;
        std::string uri;
        if (OnHyperlink && HyperlinkAtPoint(pos, &uri) == down)
            OnHyperlink(this, uri, AEvent->globalPosition().toPoint(), true);
        return;
    }
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
        TKvVtScreenLock lock(FTerm);
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
            TKvVtScreenLock lock(FTerm);
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
        TKvVtScreenLock lock(FTerm);
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

bool OpenWebLink(const std::string& AUri) {
    // Other schemes (file, and anything a program may invent) are not handed to the desktop
    // blindly: what they name depends on which machine printed them.
    const QUrl url(QString::fromStdString(AUri), QUrl::StrictMode);
    const QString scheme = url.scheme().toLower();
    if (!url.isValid() ||
        (scheme != "http" && scheme != "https" && scheme != "ftp" && scheme != "mailto"))
        return false;
    return QDesktopServices::openUrl(url);
}

uint32_t TKvTerminal::HyperlinkAtPoint(QPoint APoint, std::string* AUri) const {
    if (!FTerm || APoint.y() < 0 || APoint.x() < 0)
        return 0;
    TKvSelPos cell = CellAt(APoint);
    TKvVtScreenLock lock(FTerm);
    if (APoint.x() / FCellW >= FTerm->Cols())
        return 0;
    const uint32_t link = CellLink(FTerm->AbsLine(cell.Line), size_t(cell.Col));
    const std::string* uri = link ? FTerm->HyperlinkUri(link) : nullptr;
    if (!uri)
        return 0;
    if (AUri)
        *AUri = *uri;
    return link;
}

const TKvTermLink* TKvTerminal::LinkAtPoint(QPoint APoint) const {
    if (!FTerm || FKnown.empty() || APoint.y() < 0 || APoint.x() < 0)
        return nullptr;
    TKvSelPos cell = CellAt(APoint);
    TKvVtScreenLock lock(FTerm);
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

} // namespace kv
