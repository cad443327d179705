#include "Kv.Ui.ConnectionPicker.h"

#include <QApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QTimer>
#include <QVBoxLayout>

#include "Kv.Ui.Icons.h"
#include "Kv.Ui.Theme.h"

namespace kv {

namespace {

QString Q(const std::string& AText) {
    return QString::fromUtf8(AText.data(), static_cast<int>(AText.size()));
}

} // namespace

// The row above the filter: "New connection" on the left half, "Edit connections" on the right.
class TKvPickerTopRow : public QWidget {
public:
    explicit TKvPickerTopRow(TConnectionPicker& APicker) : QWidget(&APicker), FPicker(APicker) {
        setMouseTracking(true);
        setFocusPolicy(Qt::NoFocus);
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        FPicker.PaintTopRow(painter, rect());
    }
    void mouseMoveEvent(QMouseEvent* AEvent) override {
        FPicker.TopRowMouse(AEvent->position().toPoint(), false, Qt::NoButton);
    }
    void mousePressEvent(QMouseEvent* AEvent) override {
        FPicker.TopRowMouse(AEvent->position().toPoint(), true, AEvent->button());
    }

private:
    TConnectionPicker& FPicker;
};

TConnectionPicker::TConnectionPicker(QWidget* AOwner) : TKvPopupWindow(AOwner) {}

QWidget* TConnectionPicker::TopBox() const {
    return FTopBox;
}

void TConnectionPicker::Build(QWidget* AOwner, int AX, int AY, const TKvConnectors& AConns,
                              const TKvFolderNames& AFolders, TKvPickerEvent AOnPick,
                              TKvPickerDeleteFunc AOnDelete) {
    FConns = AConns;
    FFolders = CollectFolders(AConns, AFolders);
    FOnPick = std::move(AOnPick);
    FOnDelete = std::move(AOnDelete);
    PrepareFor(AOwner, [pick = FOnPick](int AKind, int AValue) {
        if (pick)
            pick(static_cast<TKvPickerPick>(AKind), AValue);
    });
    FRowHeight = Scale(Theme().FontHeight) + Scale(9);
    const int filterHeight = Scale(32);
    const int fixed = FRowHeight + filterHeight + 2 * Scale(1);
    FShownRows = PickerShownRows(static_cast<int>(FConns.size()), static_cast<int>(FFolders.size()),
                                 WorkAreaAt(QPoint(AX, AY)).height(), FRowHeight, fixed, Scale(24));
    setFixedSize(Scale(440) + 2 * Scale(1), fixed + FShownRows * FRowHeight);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    FTopBox = new TKvPickerTopRow(*this);
    FTopBox->setFixedHeight(FRowHeight);
    layout->addWidget(FTopBox);

    FFilterPanel = new QWidget(this);
    FFilterPanel->setFixedHeight(filterHeight);
    FFilterPanel->setAutoFillBackground(true);
    QPalette panelPalette = FFilterPanel->palette();
    panelPalette.setColor(QPalette::Window, ThemeColor(csBackground));
    FFilterPanel->setPalette(panelPalette);
    auto* panelLayout = new QVBoxLayout(FFilterPanel);
    panelLayout->setContentsMargins(Scale(4), Scale(4), Scale(4), Scale(4));
    FFilter = new QLineEdit(FFilterPanel);
    FFilter->setObjectName("filter");
    FFilter->setPlaceholderText("Type to filter connections");
    FFilter->setFont(DialogFont());
    panelLayout->addWidget(FFilter);
    layout->addWidget(FFilterPanel);

    FListBox = new TKvPopupList(this);
    FListBox->setFocusPolicy(Qt::NoFocus);
    FListBox->SetRowHeight(FRowHeight);
    FListBox->OnPaintRow = [this](QPainter& APainter, const QRect& ARect, int ARow,
                                  bool ASelected) { PaintRow(APainter, ARect, ARow, ASelected); };
    FListBox->OnHover = [this](int ARow) {
        if (ARow >= 0 && !FRows.empty() && FCursor != ARow + 1)
            SetCursor(ARow + 1);
    };
    FListBox->OnPress = [this](int ARow, Qt::MouseButton AButton, const QPoint& APos) {
        if (ARow < 0 || FRows.empty())
            return;
        SetCursor(ARow + 1);
        if (AButton == Qt::LeftButton)
            Activate();
        else if (AButton == Qt::RightButton)
            ShowContextMenu(APos);
    };
    layout->addWidget(FListBox, 1);

    FContextMenu = new QMenu(this);
    FContextMenu->addAction("Edit...");
    FContextMenu->addAction("Delete");

    for (QWidget* widget : {static_cast<QWidget*>(FTopBox), static_cast<QWidget*>(FFilter),
                            static_cast<QWidget*>(FListBox)})
        WatchKeys(widget);
    connect(FFilter, &QLineEdit::textChanged, this, [this] { FilterChanged(); });

    PlaceAt(AX, AY);
    RebuildRows();
    SetCursor(0);
    FFilter->setFocus();
}

void TConnectionPicker::RebuildRows() {
    FRows = BuildPickerRows(FConns, FFolders, FFilter->text().toStdString());
    // An empty list keeps one line, for the message.
    FListBox->SetRowCount(std::max<int>(1, static_cast<int>(FRows.size())));
}

void TConnectionPicker::FilterChanged() {
    RebuildRows();
    SetCursor(CursorAfterFilter(FRows, FFilter->text().toStdString()));
    FTopBox->update();
}

const TPickerRow* TConnectionPicker::CursorRow() const {
    if (FCursor < 1 || FCursor > static_cast<int>(FRows.size()))
        return nullptr;
    return &FRows[FCursor - 1];
}

void TConnectionPicker::SetCursor(int ACursor) {
    FCursor = ClampPickerCursor(ACursor, static_cast<int>(FRows.size()));
    if (FCursor >= 1) {
        FListBox->setCurrentRow(FCursor - 1);
        FListBox->ScrollToRow(FCursor - 1);
    } else {
        FListBox->setCurrentRow(-1);
    }
    FListBox->viewport()->update();
    FTopBox->update();
}

void TConnectionPicker::MoveCursor(int ADelta) {
    SetCursor(MovePickerCursor(FCursor, ADelta, static_cast<int>(FRows.size())));
}

void TConnectionPicker::SetFolderOpen(int ARow, bool AOpen) {
    if (ARow < 0 || ARow >= static_cast<int>(FRows.size()) || !FRows[ARow].IsFolder ||
        PickerFilterActive(FFilter->text().toStdString()))
        return;
    const std::string folder = FRows[ARow].Folder;
    SetPickerFolderOpen(folder, AOpen);
    RebuildRows();
    for (size_t i = 0; i < FRows.size(); ++i)
        if (FRows[i].IsFolder && FRows[i].Folder == folder)
            SetCursor(static_cast<int>(i) + 1);
}

void TConnectionPicker::Activate() {
    const QString typed = FFilter ? FFilter->text().trimmed() : QString();
    const TPickerRow* current = FCursor > 0 ? CursorRow() : nullptr;
    if (OnAddress && !typed.isEmpty() && (!current || current->IsFolder)) {
        auto handler = OnAddress;
        close();
        QTimer::singleShot(0, qApp, [handler, address = typed.toStdString()] { handler(address); });
        return;
    }
    if (FCursor < 0)
        return;
    if (FCursor == 0) {
        Choose(FTopCell == 1 ? cpManage : cpNew, 0);
        return;
    }
    const TPickerRow* row = CursorRow();
    if (!row)
        return;
    if (row->IsFolder)
        SetFolderOpen(FCursor - 1, !IsPickerFolderOpen(row->Folder));
    else
        Choose(cpConnect, row->Conn);
}

void TConnectionPicker::ShowContextMenu(const QPoint& APos) {
    const TPickerRow* row = CursorRow();
    if (!row || row->IsFolder)
        return;
    const int conn = row->Conn;
    Hold();
    // Acted on once the menu is gone: closing the popup from inside the menu's loop would free
    // the menu under it.
    QAction* chosen = FContextMenu->exec(FListBox->viewport()->mapToGlobal(APos));
    Release();
    if (chosen == FContextMenu->actions().value(0))
        Choose(cpEdit, conn);
    else if (chosen == FContextMenu->actions().value(1))
        DeleteSelected();
}

void TConnectionPicker::DeleteSelected() {
    const TPickerRow* row = CursorRow();
    if (!row || row->IsFolder || !FOnDelete)
        return;
    const int conn = row->Conn;
    const int cursor = FCursor;
    Hold();
    bool deleted = false;
    try {
        deleted = FOnDelete(conn, this);
    } catch (...) {
        Release();
        throw;
    }
    Release();
    if (!deleted || conn >= static_cast<int>(FConns.size()))
        return;
    FConns.erase(FConns.begin() + conn);
    RebuildRows();
    SetCursor(std::min(cursor, static_cast<int>(FRows.size())));
}

bool TConnectionPicker::PreviewKey(QKeyEvent* AEvent) {
    const Qt::KeyboardModifiers mods = AEvent->modifiers() & ~Qt::KeypadModifier;
    const TPickerRow* row = CursorRow();
    switch (AEvent->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        Activate();
        return true;
    case Qt::Key_Escape:
        if (!FFilter->text().isEmpty())
            FFilter->clear();
        else
            close();
        return true;
    case Qt::Key_PageUp:
        MoveCursor(-8);
        return true;
    case Qt::Key_PageDown:
        MoveCursor(8);
        return true;
    case Qt::Key_Up:
        MoveCursor(-1);
        return true;
    case Qt::Key_Down:
        MoveCursor(1);
        return true;
    case Qt::Key_Left:
    case Qt::Key_Right: {
        const bool right = AEvent->key() == Qt::Key_Right;
        if (row && row->IsFolder) {
            SetFolderOpen(FCursor - 1, right);
            return true;
        }
        if (FCursor == 0) {
            FTopCell = right ? 1 : 0;
            FTopBox->update();
            return true;
        }
        break;
    }
    case Qt::Key_Menu:
    case Qt::Key_F10:
        if (AEvent->key() == Qt::Key_F10 && mods != Qt::ShiftModifier)
            break;
        if (row && !row->IsFolder) {
            const int line = FCursor - 1 - FListBox->indexAt(QPoint(0, 0)).row();
            ShowContextMenu(QPoint(Scale(24), std::max(0, line) * FRowHeight));
        }
        return true;
    default:
        break;
    }
    // Everything else is the filter's; a character typed elsewhere goes there too.
    if (!FFilter->hasFocus()) {
        const QString text = AEvent->text();
        if (!text.isEmpty() && text[0].isPrint() && (mods & ~Qt::ShiftModifier) == Qt::NoModifier) {
            FFilter->setFocus();
            FFilter->insert(text);
            return true;
        }
    }
    return false;
}

void TConnectionPicker::TopRowMouse(const QPoint& APos, bool APress, Qt::MouseButton AButton) {
    FTopCell = APos.x() >= FTopBox->width() / 2 ? 1 : 0;
    SetCursor(0);
    if (APress && AButton == Qt::LeftButton)
        Activate();
}

void TConnectionPicker::PaintTopRow(QPainter& APainter, const QRect& ARect) {
    APainter.setFont(font());
    const int middle = ARect.left() + ARect.width() / 2;
    const QRect cells[2] = {QRect(ARect.left(), ARect.top(), middle - ARect.left(), ARect.height()),
                            QRect(middle, ARect.top(), ARect.right() + 1 - middle, ARect.height())};
    auto scale = [this](int AValue) { return Scale(AValue); };
    for (int cell = 0; cell < 2; ++cell) {
        TKvPopupRow row;
        const TKvIcon icon = cell == 0 ? icPlus : icGear;
        row.Icon = [icon](QPainter& APaint, const QRect& AIcon) { DrawIcon(APaint, AIcon, icon); };
        row.Text = cell == 0 ? "New connection" : "Edit connections";
        DrawPopupRow(APainter, cells[cell], row, FCursor == 0 && FTopCell == cell, scale);
    }
    APainter.setPen(ThemeColor(csHidden));
    APainter.drawLine(middle, ARect.top() + Scale(4), middle, ARect.bottom() - Scale(4));
}

void TConnectionPicker::PaintRow(QPainter& APainter, const QRect& ARect, int ARow, bool ASelected) {
    APainter.setFont(font());
    auto scale = [this](int AValue) { return Scale(AValue); };
    if (FRows.empty()) {
        APainter.fillRect(ARect, ThemeColor(csBackground));
        APainter.setPen(ThemeColor(csHidden));
        const std::string message = PickerMessage(!FConns.empty(), FFilter->text().toStdString());
        APainter.drawText(ARect.adjusted(Scale(8), 0, -Scale(6), 0),
                          Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine,
                          APainter.fontMetrics().elidedText(Q(message), Qt::ElideRight,
                                                            ARect.width() - Scale(14)));
        return;
    }
    if (ARow < 0 || ARow >= static_cast<int>(FRows.size()))
        return;
    const TPickerRow& row = FRows[ARow];
    if (!row.IsFolder) {
        const TKvConnector& conn = FConns[row.Conn];
        TKvPopupRow line;
        line.Indent = row.Folder.empty() ? 0 : Scale(20);
        line.Icon = [kind = conn.Kind](QPainter& APaint, const QRect& AIcon) {
            DrawConnectorIcon(APaint, AIcon, kind);
        };
        line.Text = Q(ConnectorTitle(conn));
        line.Second = Q(PickerSecondText(conn));
        const int iconRight = ARect.left() + Scale(5) + line.Indent + ARect.height() - Scale(6);
        line.SecondWidth = (ARect.right() - iconRight) / 2;
        line.RightGap = 6;
        DrawPopupRow(APainter, ARect, line, ASelected, scale);
        return;
    }

    APainter.fillRect(ARect, ASelected ? ThemeColor(csBars) : ThemeColor(csBackground));
    const QColor ink = ASelected ? QColor(Qt::black) : ThemeColor(csFolders);
    APainter.setRenderHint(QPainter::Antialiasing, true);
    // The arrow: right for a closed folder, down for an open one (always open under a filter).
    const int x = ARect.left() + Scale(10), y = ARect.top() + ARect.height() / 2, h = Scale(4);
    const bool open =
        PickerFilterActive(FFilter->text().toStdString()) || IsPickerFolderOpen(row.Folder);
    QPolygon arrow = open ? QPolygon({QPoint(x - h, y - h / 2), QPoint(x + h, y - h / 2),
                                      QPoint(x, y + h / 2 + 1)})
                          : QPolygon({QPoint(x - h / 2, y - h), QPoint(x + h / 2 + 1, y),
                                      QPoint(x - h / 2, y + h)});
    APainter.setPen(ink);
    APainter.setBrush(ink);
    APainter.drawPolygon(arrow);
    const int fh = ARect.height() - Scale(10);
    const int fw = static_cast<int>(std::lround(fh * 1.3));
    const QPoint corner(ARect.left() + Scale(20), ARect.top() + (ARect.height() - fh) / 2);
    QPolygon shape({QPoint(0, 0), QPoint(fw * 40 / 100, 0), QPoint(fw * 52 / 100, fh / 5),
                    QPoint(fw, fh / 5), QPoint(fw, fh), QPoint(0, fh)});
    shape.translate(corner);
    APainter.setPen(QColor("#d8a858"));
    APainter.setBrush(QColor("#f0c870"));
    APainter.drawPolygon(shape);
    QFont bold = font();
    bold.setBold(true);
    APainter.setFont(bold);
    APainter.setPen(ink);
    const QRect text(corner.x() + fw + Scale(8), ARect.top(), 0, ARect.height());
    QRect span = text;
    span.setRight(ARect.right() - Scale(6));
    const QString caption = Q(row.Folder) + "  (" + QString::number(row.Count) + ")";
    APainter.drawText(
        span, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine,
        APainter.fontMetrics().elidedText(caption, Qt::ElideRight, std::max(0, span.width())));
}

TConnectionPicker* OpenConnectionPicker(QWidget* AOwner, int AX, int AY,
                                        const TKvConnectors& AConns, const TKvFolderNames& AFolders,
                                        TKvPickerEvent AOnPick, TKvPickerDeleteFunc AOnDelete) {
    auto* picker = new TConnectionPicker(AOwner);
    picker->Build(AOwner, AX, AY, AConns, AFolders, std::move(AOnPick), std::move(AOnDelete));
    picker->show();
    picker->raise();
    picker->activateWindow();
    picker->Filter()->setFocus();
    return picker;
}

} // namespace kv
