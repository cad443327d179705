// The visible terminal: paints a TKvVtScreen, turns keys, the mouse and pastes into the bytes
// an xterm-like host expects, selects and copies text, scrolls back through the history and
// shows names of files and folders as links. It does not know where bytes go: typed input
// leaves through OnInput and size changes through OnGridChanged.
//
// Everything runs on the user-interface thread except NotifyChanged, which the shell's reader
// thread calls after feeding the screen. Whoever feeds the screen stops calling NotifyChanged
// before the control is destroyed.
#pragma once

#include <QFont>
#include <QList>
#include <QPoint>
#include <QPointF>
#include <QRawFont>
#include <QWidget>
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Kv.Settings.h"
#include "Kv.Vt.Input.h"
#include "Kv.Vt.View.h"

class QMenu;
class QPainter;

namespace kv {

// The font and colours the terminal paints with (the settings' font and colour slots).
struct TKvTermLook {
    TKvColors Colors = KDefaultPalette;
    std::string FontName = KDefaultFontName;
    int FontHeight = KDefaultFontHeight; // pixels at 96 dpi
};

class TKvTerminal : public QWidget {
    Q_OBJECT

public:
    using TInputEvent = std::function<void(TKvTerminal* ASender, const std::string& AData)>;
    using TGridEvent = std::function<void(TKvTerminal* ASender, int ACols, int ARows)>;
    using TNotifyEvent = std::function<void(TKvTerminal* ASender)>;
    using TLinkEvent = std::function<void(TKvTerminal* ASender, const TKvTermLink& ALink,
                                          const QPoint& AScreenPos)>;
    using TLinkDblEvent = std::function<void(TKvTerminal* ASender, const TKvTermLink& ALink)>;
    using TLinkActionEvent = std::function<void(TKvTerminal* ASender, TKvLinkAction AAction,
                                                const TKvTermLink& ALink)>;
    // A hyperlink a program printed (OSC 8): opened with Ctrl+click (AMenu false) or
    // right-clicked (AMenu true).
    using THyperlinkEvent = std::function<void(TKvTerminal* ASender, const std::string& AUri,
                                               const QPoint& AScreenPos, bool AMenu)>;

    explicit TKvTerminal(QWidget* AParent = nullptr);
    ~TKvTerminal() override;

    // The screen shown (not owned); setting it resets the scroll offset and the selection and
    // fits the screen to the control (once the control is shown).
    TKvVtScreen* Term() const { return FTerm; }
    void SetTerm(TKvVtScreen* AScreen);

    // Any thread: the screen changed. However many calls arrive, at most one repaint request
    // is pending.
    void NotifyChanged();

    // Sends text as typed (UTF-8).
    void TypeText(const std::string& AText);
    // Sends text as pasted: line ends as CR, bracketed when the program asked for it.
    void Paste(const std::string& AText);
    void PasteClipboard();
    void ScrollToLive();
    // Lines back from the live view (0 = live); ScrollBy moves back (positive) or forward.
    int ScrollOffset() const { return FOffset; }
    void ScrollBy(int ALines);

    // Puts the selection on the clipboard; false when nothing is selected.
    bool CopySelection();
    std::string SelectionText() const;
    bool HasSelection() const { return FHasSel && FSelAnchor != FSelCaret; }
    void ClearSelection();
    // Selects from one absolute position to another (inclusive), as the mouse would.
    void Select(TKvSelPos AFrom, TKvSelPos ATo);

    // Takes the font and colours again, re-measures the font and refits the grid.
    void ApplyTheme(const TKvTermLook& ALook);
    const TKvTermLook& Look() const { return FLook; }

    // Replaces the links; later entries with the same name win.
    void SetLinks(const std::vector<TKvTermLink>& ALinks);
    const TKvTermLinks& Links() const { return FKnown; }
    // The link under a point of the control, or null.
    const TKvTermLink* LinkAtPoint(QPoint APoint) const;
    // The hyperlink (OSC 8) under a point: its number, 0 for none, and its URI.
    uint32_t HyperlinkAtPoint(QPoint APoint, std::string* AUri = nullptr) const;
    // The hyperlink under the pointer, underlined with every piece of it; 0 for none.
    uint32_t HoverLink() const { return FHoverLink; }

    // Absolute indexes of the first and last line shown; 0 and -1 without a screen.
    void VisibleLines(int& AFirst, int& ALast) const;
    // The cell under a point of the control, as an absolute position.
    TKvSelPos CellAt(QPoint APoint) const;
    QSize CellSize() const { return QSize(FCellW, FCellH); }

    // Paint with the theme's two colours only (folders that are links drawn bold).
    bool IgnoreColors() const { return FIgnoreColors; }
    void SetIgnoreColors(bool AOn);
    // A right click copies the selection, or pastes when there is none.
    bool RightClickCopyPaste = false;

    TInputEvent OnInput;
    TGridEvent OnGridChanged;
    TNotifyEvent OnActivated;
    // A right click on a link; without a handler, the link menu opens and OnLinkAction gets
    // the chosen item.
    TLinkEvent OnLinkClick;
    TLinkDblEvent OnLinkDblClick;
    TLinkActionEvent OnLinkAction;
    // Without a handler, Ctrl+click opens web and mail links in the desktop's browser and a
    // right click on a hyperlink does what it does elsewhere.
    THyperlinkEvent OnHyperlink;

    // Opens the link menu for a link at a screen position.
    void PopupLinkMenu(const TKvTermLink& ALink, const QPoint& AScreenPos);

protected:
    bool event(QEvent* AEvent) override;
    bool focusNextPrevChild(bool) override { return false; } // Tab belongs to the shell
    void paintEvent(QPaintEvent* AEvent) override;
    void resizeEvent(QResizeEvent* AEvent) override;
    void showEvent(QShowEvent* AEvent) override;
    void keyPressEvent(QKeyEvent* AEvent) override;
    void mousePressEvent(QMouseEvent* AEvent) override;
    void mouseMoveEvent(QMouseEvent* AEvent) override;
    void mouseReleaseEvent(QMouseEvent* AEvent) override;
    void mouseDoubleClickEvent(QMouseEvent* AEvent) override;
    void wheelEvent(QWheelEvent* AEvent) override;
    void focusInEvent(QFocusEvent* AEvent) override;
    void focusOutEvent(QFocusEvent* AEvent) override;
    void inputMethodEvent(QInputMethodEvent* AEvent) override;
    QVariant inputMethodQuery(Qt::InputMethodQuery AQuery) const override;

private:
    struct TFontSet {
        QFont Fonts[4]; // plain, bold, italic, bold italic
        QRawFont Raw[4];
        quint32 Ascii[4][128] = {}; // glyph of each ASCII character in Raw; 0 = none
        qreal Ascent = 0;
    };

    void Send(const std::string& AData);
    // Tells the screen the default colours, for programs that ask for them.
    void TellColors();
    void Measure();
    void FitGrid();
    void Repaint(); // the posted repaint request
    // Follows lines that left the top of the scrollback since the last look, so that the view
    // and the selection stay on the same text while output flows. Under the screen's lock.
    void Track();
    bool HandleKey(QKeyEvent* AEvent, bool ADryRun);
    bool ReportMouse(QMouseEvent* AEvent, TKvMouseAction AAction);
    bool MouseReporting(Qt::KeyboardModifiers AMods) const;
    // Focus in and out, when the program asked for them (mode 1004).
    void ReportFocus(bool AIn);
    void PaintRow(QPainter& APainter, int ALine, int AY, int64_t ASelFrom, int64_t ASelTo,
                  int ACursorCol, bool AFocused);

    // Glyphs of one colour and font across the whole paint, drawn in one call each.
    struct TGlyphBatch {
        uint32_t Fg = 0;
        int Font = 0;
        QList<quint32> Glyphs;
        QList<QPointF> Positions;
    };
    void FlushGlyphs(QPainter& APainter);

    TKvVtScreen* FTerm = nullptr;
    TKvTermLook FLook;
    std::vector<TGlyphBatch> FBatches;
    std::unordered_map<uint64_t, size_t> FBatchIndex;
    TFontSet FFont;
    int FCellW = 8;
    int FCellH = 16;
    int FMetricsPpi = 0;
    int FOffset = 0;
    std::atomic<bool> FPosted{false};
    // While a program draws a frame (mode 2026) the paint waits, at most this long from the
    // first change it held.
    static constexpr int KSyncHoldMs = 200;
    int64_t FSyncSince = -1; // steady milliseconds; -1 when not holding
    bool FSyncTimer = false;
    TKvTermLinks FKnown;
    std::string FDownName;
    uint32_t FDownLink = 0; // the hyperlink a right button went down on
    uint32_t FHoverLink = 0;
    void SetHoverLink(uint32_t ALink);
    bool FIgnoreColors = false;
    bool FSelecting = false;
    bool FHasSel = false;
    // Selection ends as absolute index + DroppedCount, which stays put while output flows.
    struct TStablePos {
        int64_t Line = 0;
        int Col = 0;
        auto operator<=>(const TStablePos&) const = default;
    };
    TStablePos FSelAnchor, FSelCaret;
    int64_t FSeenDropped = 0;
    int FSeenBack = 0;
    // Triple click: a press soon after a double click at the same cell selects the line.
    qint64 FDoubleClickAt = 0;
    TKvSelPos FDoubleClickCell;
    bool FLineSelect = false;
    int FMouseButtons = 0; // buttons held, as reported to the host
    std::unique_ptr<QMenu> FLinkMenu;
};

// Opens a web or mail link (http, https, ftp, mailto) with the desktop; false for others.
bool OpenWebLink(const std::string& AUri);

// The unit's name for the control.
using TKvVtControl = TKvTerminal;

} // namespace kv
