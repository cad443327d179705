// The drive popup (Alt+F1, Alt+F2): the local places, the connections open now, and a last row
// that leads on to the connection picker.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "Kv.Connectors.h"
#include "Kv.Ui.DriveMenu.h"
#include "Kv.Ui.Popup.h"

namespace kv {

struct TKvDriveConnection {
    std::string Title;
    TKvConnectorKind Kind = ckSftp;
    bool Here = false; // shown in the half the popup is for
};

enum TKvDrivePick { dpDrive, dpConnection, dpConnectors };
// dpDrive: the index into the drives; dpConnection: the index into the connections.
using TKvDrivePickEvent = std::function<void(TKvDrivePick AKind, int AValue)>;

class TDrivePopup : public TKvPopupWindow {
    Q_OBJECT

public:
    explicit TDrivePopup(QWidget* AOwner);

    // ACurrent: the path of the drive the half shows now (the last drive with it is current).
    void Build(QWidget* AOwner, int AX, int AY, const TKvDrives& ADrives,
               const std::string& ACurrent, const std::vector<TKvDriveConnection>& AConnections,
               TKvDrivePickEvent AOnPick);

    int RowCount() const;
    int Selected() const;
    void ChooseRow(int ARow);

protected:
    bool PreviewKey(QKeyEvent* AEvent) override;

private:
    void PaintRow(QPainter& APainter, const QRect& ARect, int ARow, bool ASelected);
    void Select(int ARow);

    TKvDrives FDrives;
    std::vector<TKvDriveConnection> FConns;
    std::string FCurrent;
    TKvDrivePickEvent FOnPick;
    TKvPopupList* FBox = nullptr;
    int FRowHeight = 0;
};

// Creates the popup, builds and shows it; it frees itself when it closes.
TDrivePopup* OpenDrivePopup(QWidget* AOwner, int AX, int AY, const TKvDrives& ADrives,
                            const std::string& ACurrent,
                            const std::vector<TKvDriveConnection>& AConnections,
                            TKvDrivePickEvent AOnPick);

} // namespace kv
