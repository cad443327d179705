// The terminal control's look: font metrics, fitting the grid, and painting the screen.
#include "Kv.Vt.Control.h"

#include <QFontDatabase>
#include <QFontInfo>
#include <QFontMetrics>
#include <QGlyphRun>
#include <QPainter>
#include <algorithm>
#include <cmath>

namespace kv {

namespace {

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

} // namespace

// --- Look -------------------------------------------------------------------------------------

void TKvTerminal::SetIgnoreColors(bool AOn) {
    FIgnoreColors = AOn;
    update();
}

void TKvTerminal::TellColors() {
    if (!FTerm)
        return;
    uint32_t fg = SlotRgb(FLook.Colors[csTerminalText]);
    TKvVtScreenLock lock(FTerm);
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
        QChar ascii[128];
        for (int c = 0; c < 128; ++c)
            ascii[c] = QChar(char16_t(c));
        int count = 128;
        if (!FFont.Raw[i].isValid() ||
            !FFont.Raw[i].glyphIndexesForChars(ascii, 128, FFont.Ascii[i], &count))
            std::fill(std::begin(FFont.Ascii[i]), std::end(FFont.Ascii[i]), 0u);
    }
    QFontMetrics metrics(font);
    FCellW = std::max(1, metrics.horizontalAdvance(QLatin1Char('W')));
    FCellH = std::max(1, metrics.height());
    FFont.Ascent = metrics.ascent();
    FMetricsPpi = ppi;
}

void TKvTerminal::FitGrid() {
    // A control not shown yet has no size of its own: fitting then would tell the shell a
    // size of a few columns before the layout gives the real one.
    if (!FTerm || !isVisible())
        return;
    if (FMetricsPpi != std::max(logicalDpiX(), 96))
        Measure();
    int cols = std::max(width() / FCellW, 2);
    int rows = std::max(height() / FCellH, 1);
    bool changed = false;
    {
        TKvVtScreenLock lock(FTerm);
        if (cols != FTerm->Cols() || rows != FTerm->Rows()) {
            // Lines are rewrapped at a new width: a selection no longer names the same text.
            if (cols != FTerm->Cols()) {
                FHasSel = false;
                FSelecting = false;
            }
            FTerm->Resize(cols, rows);
            Track();
            changed = true;
        }
    }
    if (changed && OnGridChanged)
        OnGridChanged(this, cols, rows);
}

void TKvTerminal::showEvent(QShowEvent* AEvent) {
    QWidget::showEvent(AEvent);
    FitGrid();
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
    TKvVtScreenLock lock(FTerm);
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
    FlushGlyphs(painter);
    if (live && FTerm->CursorVisible() && !focused) {
        painter.setPen(SlotColor(FLook.Colors[csTerminalText]));
        painter.setBrush(Qt::NoBrush);
        painter.drawRect(FTerm->CursorX() * FCellW, cursorRow * FCellH, FCellW - 1, FCellH - 1);
    }
}

void TKvTerminal::FlushGlyphs(QPainter& APainter) {
    for (TGlyphBatch& batch : FBatches) {
        if (batch.Glyphs.isEmpty())
            continue;
        QGlyphRun run;
        run.setRawFont(FFont.Raw[batch.Font]);
        run.setGlyphIndexes(batch.Glyphs);
        run.setPositions(batch.Positions);
        APainter.setPen(Rgb(batch.Fg));
        APainter.drawGlyphRun(QPointF(0, 0), run);
        batch.Glyphs.clear();
        batch.Positions.clear();
    }
    // Colours of this paint only; a long session would otherwise keep every colour it saw.
    if (FBatches.size() > 64) {
        FBatches.clear();
        FBatchIndex.clear();
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
            // Characters the font has are collected per colour and drawn as glyph runs placed
            // cell by cell, so that a font whose advance is not a whole pixel keeps the grid;
            // the rest (other fonts' glyphs, combining marks) are drawn one cell at a time.
            const QRawFont& raw = FFont.Raw[look.Font];
            TGlyphBatch* batch = nullptr;
            for (int c = start; c < end; ++c) {
                const TKvVtCell& cell = line.Cells[size_t(c)];
                if ((cell.Flags & vfWideRight) || cell.Ch <= ' ')
                    continue;
                const std::u32string* marks = CellMarks(line, cell);
                quint32 glyph = 0;
                if (!marks && cell.Ch < 128) {
                    glyph = FFont.Ascii[look.Font][cell.Ch];
                } else if (!marks && cell.Ch < 0x10000 && raw.isValid()) {
                    QChar ch(char16_t(cell.Ch));
                    int n = 1;
                    raw.glyphIndexesForChars(&ch, 1, &glyph, &n);
                }
                if (glyph != 0 && !(cell.Flags & vfWideLeft)) {
                    if (!batch) {
                        uint64_t key = uint64_t(look.Fg) << 2 | uint64_t(look.Font);
                        auto [it, added] = FBatchIndex.try_emplace(key, FBatches.size());
                        if (added)
                            FBatches.push_back(TGlyphBatch{look.Fg, look.Font, {}, {}});
                        batch = &FBatches[it->second];
                    }
                    batch->Glyphs.append(glyph);
                    batch->Positions.append(QPointF(c * FCellW, baseline));
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
        }
        if (look.Underline) {
            APainter.fillRect(x, AY + FCellH - 2, w, 1, fg);
        }
        if (look.Strike) {
            APainter.fillRect(x, AY + FCellH / 2, w, 1, fg);
        }
    }
    if (FHoverLink != 0 && !line.LinkIds.empty()) {
        // The hyperlink under the pointer, every piece of it.
        QColor colour = SlotColor(FLook.Colors[csFileNames]);
        for (int c = 0; c < count;) {
            if (CellLink(line, size_t(c)) != FHoverLink) {
                ++c;
                continue;
            }
            int end = c + 1;
            while (end < count && CellLink(line, size_t(end)) == FHoverLink)
                ++end;
            APainter.fillRect(c * FCellW, AY + FCellH - 2, (end - c) * FCellW, 1, colour);
            c = end;
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
