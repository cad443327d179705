#include "Kv.Ui.DrivePopup.h"

#include <QKeyEvent>
#include <QPainter>
#include <QVBoxLayout>

#include "Kv.Text.h"
#include "Kv.Ui.Icons.h"
#include "Kv.Ui.Theme.h"

namespace kv {

namespace {

QString Q(const std::string& AText) {
    return QString::fromUtf8(AText.data(), static_cast<int>(AText.size()));
}

// The name a typed letter looks for: the last part of the path ("/" has none).
std::string DriveName(const std::string& APath) {
    size_t slash = APath.rfind('/');
    return slash == std::string::npos ? APath : APath.substr(slash + 1);
}

} // namespace

TDrivePopup::TDrivePopup(QWidget* AOwner) : TKvPopupWindow(AOwner) {}

void TDrivePopup::Build(QWidget* AOwner, int AX, int AY, const TKvDrives& ADrives,
                        const std::string& ACurrent,
                        const std::vector<TKvDriveConnection>& AConnections,
                        TKvDrivePickEvent AOnPick) {
    FDrives = ADrives;
    FConns = AConnections;
    FCurrent = ACurrent;
    FOnPick = std::move(AOnPick);
    PrepareFor(AOwner, [pick = FOnPick](int AKind, int AValue) {
        if (pick)
            pick(static_cast<TKvDrivePick>(AKind), AValue);
    });
    FRowHeight = Scale(Theme().FontHeight) + Scale(9);
    const int rows = RowCount();
    setFixedSize(Scale(340) + 2 * Scale(1), rows * FRowHeight + 2 * Scale(1));

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    FBox = new TKvPopupList(this);
    FBox->setFocusPolicy(Qt::NoFocus);
    FBox->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    FBox->SetRowHeight(FRowHeight);
    FBox->SetRowCount(rows);
    FBox->OnPaintRow = [this](QPainter& APainter, const QRect& ARect, int ARow, bool ASelected) {
        PaintRow(APainter, ARect, ARow, ASelected);
    };
    FBox->OnHover = [this](int ARow) {
        if (ARow >= 0)
            Select(ARow);
    };
    FBox->OnPress = [this](int ARow, Qt::MouseButton AButton, const QPoint&) {
        if (ARow >= 0 && AButton == Qt::LeftButton)
            ChooseRow(ARow);
    };
    layout->addWidget(FBox);
    WatchKeys(FBox);

    int selected = 0;
    for (int i = 0; i < static_cast<int>(FDrives.size()); ++i)
        if (FDrives[i].Path == FCurrent)
            selected = i;
    for (int i = 0; i < static_cast<int>(FConns.size()); ++i)
        if (FConns[i].Here)
            selected = static_cast<int>(FDrives.size()) + i;
    Select(selected);
    PlaceAt(AX, AY);
}

int TDrivePopup::RowCount() const {
    return static_cast<int>(FDrives.size() + FConns.size()) + 1;
}

int TDrivePopup::Selected() const {
    return FBox ? FBox->currentRow() : -1;
}

void TDrivePopup::Select(int ARow) {
    if (FBox && ARow >= 0 && ARow < RowCount() && ARow != FBox->currentRow())
        FBox->setCurrentRow(ARow);
}

void TDrivePopup::ChooseRow(int ARow) {
    const int drives = static_cast<int>(FDrives.size());
    const int conns = static_cast<int>(FConns.size());
    if (ARow < 0 || ARow >= RowCount())
        return;
    if (ARow < drives)
        Choose(dpDrive, ARow);
    else if (ARow < drives + conns)
        Choose(dpConnection, ARow - drives);
    else
        Choose(dpConnectors, 0);
}

void TDrivePopup::PaintRow(QPainter& APainter, const QRect& ARect, int ARow, bool ASelected) {
    const int drives = static_cast<int>(FDrives.size());
    const int conns = static_cast<int>(FConns.size());
    TKvPopupRow row;
    if (ARow < drives) {
        const TKvDriveInfo& drive = FDrives[ARow];
        row.Icon = [](QPainter& APaint, const QRect& AIcon) { DrawIcon(APaint, AIcon, icDrive); };
        // Paths are long where letters were short: the kind stays readable at the right, and a
        // long path loses its middle rather than its last folder.
        row.Text = Q(drive.Path);
        row.Second = Q(drive.TypeName);
        row.Elide = Qt::ElideMiddle;
        row.Current = drive.Path == FCurrent;
    } else if (ARow < drives + conns) {
        const TKvDriveConnection& conn = FConns[ARow - drives];
        row.Icon = [kind = conn.Kind](QPainter& APaint, const QRect& AIcon) {
            DrawConnectorIcon(APaint, AIcon, kind);
        };
        row.Text = Q(conn.Title);
        row.Second = conn.Here ? "here" : "open";
        row.Current = conn.Here;
    } else {
        row.Icon = [](QPainter& APaint, const QRect& AIcon) { DrawIcon(APaint, AIcon, icGear); };
        row.Text = "Connectors...";
        row.Second = "Ctrl+F";
    }
    DrawPopupRow(APainter, ARect, row, ASelected, [this](int AValue) { return Scale(AValue); });
}

bool TDrivePopup::PreviewKey(QKeyEvent* AEvent) {
    const int rows = RowCount();
    const Qt::KeyboardModifiers mods = AEvent->modifiers() & ~Qt::KeypadModifier;
    switch (AEvent->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        ChooseRow(Selected());
        return true;
    case Qt::Key_Escape:
        close();
        return true;
    case Qt::Key_Home:
        Select(0);
        return true;
    case Qt::Key_End:
        Select(rows - 1);
        return true;
    case Qt::Key_Up:
        Select(std::max(0, Selected() - 1));
        return true;
    case Qt::Key_Down:
        Select(std::min(rows - 1, Selected() + 1));
        return true;
    case Qt::Key_F:
        if (mods == Qt::ControlModifier) {
            ChooseRow(rows - 1);
            return true;
        }
        break;
    default:
        break;
    }
    // A typed letter goes to the place whose folder name starts with it: chosen at once when
    // it is the only one, else the next of them is selected.
    const QString text = AEvent->text();
    if ((mods & ~Qt::ShiftModifier) == Qt::NoModifier && text.size() == 1 &&
        text[0].isLetterOrNumber()) {
        const char letter = AsciiLower(static_cast<char>(text[0].toLatin1()));
        std::vector<int> matches;
        for (int i = 0; i < static_cast<int>(FDrives.size()); ++i) {
            std::string name = DriveName(FDrives[i].Path);
            if (!name.empty() && AsciiLower(name[0]) == letter)
                matches.push_back(i);
        }
        if (matches.size() == 1) {
            ChooseRow(matches[0]);
        } else if (!matches.empty()) {
            int next = matches[0];
            for (int match : matches)
                if (match > Selected()) {
                    next = match;
                    break;
                }
            Select(next);
        }
        return true;
    }
    return false;
}

TDrivePopup* OpenDrivePopup(QWidget* AOwner, int AX, int AY, const TKvDrives& ADrives,
                            const std::string& ACurrent,
                            const std::vector<TKvDriveConnection>& AConnections,
                            TKvDrivePickEvent AOnPick) {
    auto* popup = new TDrivePopup(AOwner);
    popup->Build(AOwner, AX, AY, ADrives, ACurrent, AConnections, std::move(AOnPick));
    popup->show();
    popup->raise();
    popup->activateWindow();
    return popup;
}

} // namespace kv
