// The row of small tabs along the top of the main window that stands for the queue window and
// the progress windows put aside.
#pragma once

#include <QPointer>
#include <QWidget>
#include <string>
#include <vector>

#include "Kv.Transfer.Sessions.h"
#include "Kv.Ui.ProgressModel.h"

class QTimer;

namespace kv {

class TProgressForm;
class TKvQueueForm;

// The row of tabs along the top of the main window: the queue window and the progress windows
// put aside. Hidden while it has no tab.
class TKvTransferStrip final : public QWidget {
    Q_OBJECT

public:
    explicit TKvTransferStrip(QWidget* AParent = nullptr, TKvClock AClock = MonotonicMs);
    ~TKvTransferStrip() override;

    void AddForm(TProgressForm* AForm);
    void RemoveForm(TProgressForm* AForm);
    void QueueChanged();
    void Clear();
    void ApplyTheme();
    void SetQueueForm(TKvQueueForm* AQueueForm);
    TKvQueueForm* QueueForm() const { return FQueueForm; }

    int TabCount() const;
    bool HasQueueTab() const;
    const std::vector<TProgressForm*>& Forms() const { return FForms; }
    // The text, look and frame of tab AIndex as painted now.
    std::string TabText(int AIndex) const;
    TKvBoxLook TabBoxLook(int AIndex) const;
    bool TabFramed(int AIndex) const;
    TKvTabGeometry Geometry() const;
    // A left click at a point of the strip, as a mouse release does.
    void ClickAt(QPoint APoint);

protected:
    void paintEvent(QPaintEvent* AEvent) override;
    void mouseReleaseEvent(QMouseEvent* AEvent) override;

private:
    void Update();
    // What tab AIndex stands for: its snapshot, whether it waits for the user, whether framed.
    bool TabState(int AIndex, TKvTransferSnapshot& ASnap, bool& AWaiting, bool& AFramed,
                  std::string& AText) const;

    std::vector<TProgressForm*> FForms;
    QTimer* FTimer = nullptr;
    QPointer<TKvQueueForm> FQueueForm;
    TKvClock FClock;
};

} // namespace kv
