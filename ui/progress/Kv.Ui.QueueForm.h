// The window of the sessions put into the queue.
#pragma once

#include <QPointer>
#include <QWidget>
#include <cstdint>
#include <functional>
#include <string>

#include "Kv.Transfer.Sessions.h"

class QListWidget;
class QPushButton;
class QTimer;

namespace kv {

class TKvTransferStrip;
class TKvElideLabel;
class TKvQueueList;

// The window of the sessions put into the queue; built once and then shown, hidden or put
// into the strip, never closed.
class TKvQueueForm final : public QWidget {
    Q_OBJECT

public:
    TKvQueueForm(TKvTransferStrip* AStrip, TKvTransferManager* AManager);
    ~TKvQueueForm() override;

    bool HasQueue() const;
    void RefreshQueue();
    void ShowQueue(int ALeft, int ATop, TKvTransferSession* ASession);
    void MoveToStrip();
    void RestoreFromStrip();
    void Shutdown();

    TKvTransferManager* Manager() const { return FManager; }
    bool InStrip() const { return FInStrip; }
    // The session of the selected row, or null.
    TKvTransferSession* SelectedSession() const;
    void SelectRow(int ARow);

    void OpenClick();
    void PauseClick();
    void RemoveClick();
    void HideClick();

    // The drag of a row: begins at a row, follows the pointer, drops before a position.
    void BeginDrag(int ARow);
    void DragOver(int AY, bool AInside);
    void DropAt(int AY);
    void EndDrag();
    int DropLine() const { return FDropLine; }
    int DragFrom() const { return FDragFrom; }
    int DropIndexAtY(int AY) const;

    // Asks before a running copy is taken out; tests answer it themselves.
    std::function<bool(const std::string&)> OnConfirm;

    int RowCount() const;
    std::string RowTitle(int ARow) const;
    std::string RowStatus(int ARow) const;
    QListWidget* List() const;
    QPushButton* OpenButton() const { return FBtnOpen; }
    QPushButton* PauseButton() const { return FBtnPause; }
    QPushButton* RemoveButton() const { return FBtnRemove; }
    QPushButton* HideButton() const { return FBtnHide; }

protected:
    void closeEvent(QCloseEvent* AEvent) override;
    void keyPressEvent(QKeyEvent* AEvent) override;

private:
    friend class TKvQueueList;
    friend class TKvQueueRowDelegate;
    void BuildControls();
    void ApplyColours();
    QWidget* MainWindow() const;
    int QueueIndexOf(uint64_t ASessionId) const;

    TKvTransferManager* FManager = nullptr;
    QPointer<TKvTransferStrip> FStrip;
    TKvElideLabel* FInfo = nullptr;
    TKvQueueList* FList = nullptr;
    QPushButton* FBtnOpen = nullptr;
    QPushButton* FBtnPause = nullptr;
    QPushButton* FBtnRemove = nullptr;
    QPushButton* FBtnHide = nullptr;
    QTimer* FTimer = nullptr;
    bool FInStrip = false;
    // Kept by id: a session may end while a dialog is open, and its object goes with it.
    uint64_t FSelSession = 0;
    int FDragFrom = -1;
    int FDropLine = -1;
};

} // namespace kv
