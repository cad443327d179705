// The base of the drive popup and the connection picker: a borderless window placed inside the
// work area of its monitor, closing as soon as it loses activation (unless held while a menu or
// box of its own is open), that hands its one choice to the owner after it is gone. Also the
// owner-drawn list both popups use.
#pragma once

#include <QAbstractListModel>
#include <QListView>
#include <QWidget>
#include <functional>

namespace kv {

// Where a popup of ASize asked at AAt goes so that it lies inside AWork: moved left to end at
// the right edge, then right to start at the left; the same for bottom and top.
QPoint PlacePopup(const QRect& AWork, const QSize& ASize, const QPoint& AAt);
// The available geometry of the screen nearest to APoint.
QRect WorkAreaAt(const QPoint& APoint);

using TKvPopupChoiceEvent = std::function<void(int AKind, int AValue)>;

// Time between the popup closing and its choice reaching the owner: the owner's window is
// active again by then, so a dialog the choice opens comes up in front.
inline constexpr int KPopupChoiceDelayMs = 60;

class TKvPopupWindow : public QWidget {
    Q_OBJECT

public:
    explicit TKvPopupWindow(QWidget* AOwner);

    void PrepareFor(QWidget* AOwner, TKvPopupChoiceEvent AOnChoice);
    // AValue at the dpi of the window the popup was opened for.
    int Scale(int AValue) const;
    void PlaceAt(int AX, int AY);
    // Only the first call counts: the choice is kept and the popup closes.
    void Choose(int AKind, int AValue);
    // While held, losing activation does not close the popup.
    void Hold();
    void Release();
    bool Held() const { return FHold > 0; }

protected:
    // Keys reach this before the popup's controls; true when taken.
    virtual bool PreviewKey(QKeyEvent* AEvent) = 0;
    // The controls whose keys PreviewKey sees first.
    void WatchKeys(QWidget* AWidget);

    bool event(QEvent* AEvent) override;
    bool eventFilter(QObject* AWatched, QEvent* AEvent) override;
    void closeEvent(QCloseEvent* AEvent) override;
    void paintEvent(QPaintEvent* AEvent) override;

private:
    int FPPI = 96;
    TKvPopupChoiceEvent FOnChoice;
    bool FChosen = false;
    bool FDone = false;
    int FChoiceKind = 0;
    int FChoiceValue = 0;
    int FHold = 0;
};

// The row both popups draw: filled with "bars" when selected, an icon square from
// Scale(5) + AIndent, the main text (ellipsis at the end) and a grey second text right-aligned.
struct TKvPopupRow {
    std::function<void(QPainter&, const QRect&)> Icon;
    QString Text;
    QString Second;
    bool Current = false; // the main text in "marked"
    int Indent = 0;
    int SecondWidth = -1; // -1: as wide as the text wants, within the row
    int RightGap = 4;     // between the texts' end and the row's right edge, unscaled
    Qt::TextElideMode Elide = Qt::ElideRight; // of the main text
};
void DrawPopupRow(QPainter& APainter, const QRect& ARect, const TKvPopupRow& ARow, bool ASelected,
                  const std::function<int(int)>& AScale);

// The number of rows of a popup list; the rows hold no data of their own.
class TKvRowCountModel : public QAbstractListModel {
public:
    using QAbstractListModel::QAbstractListModel;
    int rowCount(const QModelIndex& AParent = QModelIndex()) const override {
        return AParent.isValid() ? 0 : FCount;
    }
    QVariant data(const QModelIndex&, int) const override { return QVariant(); }
    void SetCount(int ACount);

private:
    int FCount = 0;
};

// A list of fixed-height rows that its owner paints. Changing the number of rows costs the same
// for five rows or five hundred: a filter keystroke must stay quick.
class TKvPopupList : public QListView {
    Q_OBJECT

public:
    explicit TKvPopupList(QWidget* AParent);

    void SetRowCount(int ACount);
    int count() const { return FModel->rowCount(); }
    void SetRowHeight(int AHeight);
    int RowHeight() const { return FRowHeight; }
    int RowAt(const QPoint& APoint) const;
    // -1 selects nothing.
    void setCurrentRow(int ARow);
    int currentRow() const;
    void ScrollToRow(int ARow);

    std::function<void(QPainter&, const QRect&, int ARow, bool ASelected)> OnPaintRow;
    std::function<void(int ARow)> OnHover;
    std::function<void(int ARow, Qt::MouseButton AButton, const QPoint& APos)> OnPress;

protected:
    void mouseMoveEvent(QMouseEvent* AEvent) override;
    void mousePressEvent(QMouseEvent* AEvent) override;
    void mouseReleaseEvent(QMouseEvent* AEvent) override;
    void mouseDoubleClickEvent(QMouseEvent* AEvent) override;

private:
    TKvRowCountModel* FModel = nullptr;
    int FRowHeight = 20;
};

} // namespace kv
