// The connection picker (F1, Ctrl+F): the saved connections grouped in folders, a filter box,
// and a top row for a new connection and for the Connections window.
#pragma once

#include <functional>

#include "Kv.Connectors.h"
#include "Kv.Ui.PickerModel.h"
#include "Kv.Ui.Popup.h"

class QLineEdit;
class QMenu;

namespace kv {

enum TKvPickerPick { cpConnect, cpNew, cpEdit, cpManage };
// cpConnect and cpEdit: the index into the connections given to the picker.
using TKvPickerEvent = std::function<void(TKvPickerPick AKind, int AValue)>;
// Asks and deletes; true when the connection was deleted. AOwner: the picker, for the box.
using TKvPickerDeleteFunc = std::function<bool(int AIndex, QWidget* AOwner)>;

class TKvPickerTopRow;

class TConnectionPicker : public TKvPopupWindow {
    Q_OBJECT

public:
    explicit TConnectionPicker(QWidget* AOwner);

    void Build(QWidget* AOwner, int AX, int AY, const TKvConnectors& AConns,
               const TKvFolderNames& AFolders, TKvPickerEvent AOnPick,
               TKvPickerDeleteFunc AOnDelete);

    // Text typed into the filter that no saved connection matches (an address such as
    // sftp://user@host/folder, or an open connection's title): Enter hands it on here, after the
    // picker has closed.
    std::function<void(const std::string& AAddress)> OnAddress;

    // What tests and the benchmark look at.
    const TPickerRows& Rows() const { return FRows; }
    const TKvConnectors& Connections() const { return FConns; }
    int Cursor() const { return FCursor; }
    int TopCell() const { return FTopCell; }
    QLineEdit* Filter() const { return FFilter; }
    TKvPopupList* List() const { return FListBox; }
    QWidget* TopBox() const;
    int ShownRows() const { return FShownRows; }

    void SetCursor(int ACursor);
    void MoveCursor(int ADelta);
    void Activate();
    void SetFolderOpen(int ARow, bool AOpen);
    // The context menu of the connection under the cursor, at APos in the list.
    void ShowContextMenu(const QPoint& APos);
    void DeleteSelected();

protected:
    bool PreviewKey(QKeyEvent* AEvent) override;

private:
    friend class TKvPickerTopRow;
    void RebuildRows();
    void FilterChanged();
    const TPickerRow* CursorRow() const;
    void PaintRow(QPainter& APainter, const QRect& ARect, int ARow, bool ASelected);
    void PaintTopRow(QPainter& APainter, const QRect& ARect);
    void TopRowMouse(const QPoint& APos, bool APress, Qt::MouseButton AButton);
    int ScaleOf(int AValue) const { return Scale(AValue); }

    TKvConnectors FConns;
    TKvFolderNames FFolders;
    TPickerRows FRows;
    TKvPickerEvent FOnPick;
    TKvPickerDeleteFunc FOnDelete;
    TKvPickerTopRow* FTopBox = nullptr;
    QWidget* FFilterPanel = nullptr;
    QLineEdit* FFilter = nullptr;
    TKvPopupList* FListBox = nullptr;
    QMenu* FContextMenu = nullptr;
    int FRowHeight = 0;
    int FCursor = -1;
    int FTopCell = 0;
    int FShownRows = 0;
};

TConnectionPicker* OpenConnectionPicker(QWidget* AOwner, int AX, int AY,
                                        const TKvConnectors& AConns, const TKvFolderNames& AFolders,
                                        TKvPickerEvent AOnPick, TKvPickerDeleteFunc AOnDelete);

} // namespace kv
