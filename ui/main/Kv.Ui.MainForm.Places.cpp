// What a half shows, chosen from the main window's popups: the connection picker (F1, Ctrl+F),
// the drive menu (Alt+F1, Alt+F2) with the connections open now, and the Connections window.
#include <QMessageBox>

#include "Kv.Log.h"
#include "Kv.Text.h"
#include "Kv.Ui.ConnectionPicker.h"
#include "Kv.Ui.ConnectorsForm.h"
#include "Kv.Ui.DrivePopup.h"
#include "Kv.Ui.FilePanel.h"
#include "Kv.Ui.MainForm.h"
#include "Kv.Ui.Prompts.h"
#include "Kv.Ui.ShellPanel.h"

namespace kv {

namespace {

// The drive that holds a folder: the longest mount point it lies under.
int DriveOf(const TKvDrives& ADrives, const std::string& APath) {
    int best = -1;
    size_t bestLength = 0;
    for (size_t i = 0; i < ADrives.size(); ++i) {
        const std::string& root = ADrives[i].Path;
        const bool under = APath == root || root == "/" ||
                           (APath.size() > root.size() && APath.compare(0, root.size(), root) == 0 &&
                            APath[root.size()] == '/');
        if (under && (best < 0 || root.size() > bestLength)) {
            best = static_cast<int>(i);
            bestLength = root.size();
        }
    }
    return best;
}

} // namespace

void TMainForm::ShowConnectionPicker(TKvHalf AHalf) {
    TKvConnectorStore& store = Connectors();
    const TKvConnectors conns = store.Connectors();
    const QPoint at = FHalves[AHalf].Box->mapToGlobal(QPoint(0, FHalves[AHalf].Title->height()));
    TConnectionPicker* picker = OpenConnectionPicker(
        this, at.x(), at.y(), conns, store.Folders(),
        [this, AHalf, conns](TKvPickerPick AKind, int AValue) {
            if (FClosing)
                return;
            if (AKind == cpConnect && AValue >= 0 && AValue < static_cast<int>(conns.size()))
                OpenConnector(AHalf, conns[AValue], conns[AValue].StartDir);
            else if (AKind == cpEdit && AValue >= 0 && AValue < static_cast<int>(conns.size()))
                ManageConnections(AHalf, false, conns[AValue].Id);
            else if (AKind == cpNew || AKind == cpManage)
                ManageConnections(AHalf, AKind == cpNew, {});
        },
        [this, conns](int AIndex, QWidget* AOwner) {
            if (AIndex < 0 || AIndex >= static_cast<int>(conns.size()))
                return false;
            if (Connectors().Locked() && !UnlockConnectors())
                return false;
            const TKvConnector& conn = conns[AIndex];
            if (!AskYesNo("Delete connection", "Delete the connection \"" + ConnectorTitle(conn) + "\"?", false, AOwner))
                return false;
            return Connectors().RemoveConnector(conn.Id);
        });
    if (picker)
        picker->OnAddress = [this, AHalf](const std::string& AAddress) {
            if (!FClosing)
                ConnectTyped(AHalf, AAddress);
        };
}

void TMainForm::ManageConnections(TKvHalf AHalf, bool ANew, const std::string& ASelectId) {
    TKvConnectorStore& store = Connectors();
    // The window shows and saves passwords: without the passkey it does not open.
    if (store.Locked() && !UnlockConnectors())
        return;
    TKvConnectors list = store.Connectors();
    TKvFolderNames folders = store.Folders();
    bool portable = store.Portable();
    std::string passkey = store.Passkey(), connectId;
    auto save = [this](const TKvConnectors& AList, const TKvFolderNames& AFolders, bool APortable,
                       const std::string& APasskey) {
        if (!Connectors().Replace(AList, AFolders, APasskey, APortable))
            QMessageBox::warning(this, "Kolvan", "The connections could not be saved.");
    };
    TConnectorsForm::Execute(this, list, folders, save, connectId, ANew, ASelectId, portable, passkey);
    store.TakePasskey(passkey, portable);
    if (connectId.empty() || FClosing)
        return;
    const int index = IndexOfConnector(store.Connectors(), connectId);
    if (index >= 0) {
        const TKvConnector conn = store.Connectors()[index];
        OpenConnector(AHalf, conn, conn.StartDir);
    } else if (const int own = IndexOfConnector(list, connectId); own >= 0) {
        // Connected without saving: the window's copy.
        OpenConnector(AHalf, list[own], list[own].StartDir);
    }
}

void TMainForm::ShowDriveMenu(TKvHalf AHalf) {
    FMiscWorker->Post([this, AHalf, alive = FAlive](const IKvCancelToken&) {
        TKvDrives drives = ListDrives();
        KvDeliver(alive, [this, AHalf, drives = std::move(drives)] {
            if (FClosing)
                return;
            std::vector<TKvDriveConnection> conns;
            const THalf& half = FHalves[AHalf];
            const bool panelShown = !half.Shell && !half.Restore;
            for (const auto& open : FOpen)
                conns.push_back({open.Title, open.Kind, panelShown && half.Panel->FileSystem() == open.Fs});
            for (const auto& term : FTerminals)
                conns.push_back({term->Title + (term->Shell->IsOpen() ? "" : " (ended)"), term->Conn.Kind,
                                 half.Shell == term->Shell});
            std::string current;
            if (panelShown && half.Panel->IsPlainLocal()) {
                const int drive = DriveOf(drives, half.Panel->Path());
                if (drive >= 0)
                    current = drives[drive].Path;
            }
            const QPoint at = half.Box->mapToGlobal(QPoint(0, half.Title->height()));
            OpenDrivePopup(this, at.x(), at.y(), drives, current, conns,
                           [this, AHalf, drives](TKvDrivePick AKind, int AValue) {
                               if (FClosing)
                                   return;
                               if (AKind == dpDrive && AValue >= 0 && AValue < static_cast<int>(drives.size())) {
                                   const TKvFilePanel& other = *FHalves[Other(AHalf)].Panel;
                                   std::string target = drives[AValue].Path, focus;
                                   // The other half's folder when it is on that drive.
                                   if (!FHalves[Other(AHalf)].Shell && other.IsPlainLocal() &&
                                       DriveOf(drives, other.Path()) == AValue) {
                                       target = other.Path();
                                       TKvFileEntry entry;
                                       if (other.FocusedEntry(entry))
                                           focus = entry.Name;
                                   }
                                   GoToDrive(AHalf, target);
                                   if (!focus.empty())
                                       FHalves[AHalf].Panel->ShowItem(Panel(AHalf).FileSystem()->Join(target, focus));
                               } else if (AKind == dpConnection) {
                                   ShowOpenConnection(AHalf, AValue);
                               } else if (AKind == dpConnectors) {
                                   ShowConnectionPicker(AHalf);
                               }
                           });
        });
    });
}

void TMainForm::GoToDrive(TKvHalf AHalf, const std::string& APath) {
    ShowFilePanel(AHalf);
    SetActiveHalf(AHalf);
    TKvFilePanel& panel = *FHalves[AHalf].Panel;
    if (panel.IsRemote())
        panel.Disconnect();
    panel.Navigate(APath);
}

void TMainForm::ShowOpenConnection(TKvHalf AHalf, int AIndex) {
    if (AIndex < 0)
        return;
    if (AIndex < static_cast<int>(FOpen.size())) {
        const TKvOpenConnection open = FOpen[AIndex];
        ShowFilePanel(AHalf);
        SetActiveHalf(AHalf);
        if (FHalves[AHalf].Panel->FileSystem() != open.Fs)
            FHalves[AHalf].Panel->AttachTo(open.Fs, open.ConnectorId, open.LastPath);
        return;
    }
    AIndex -= static_cast<int>(FOpen.size());
    if (AIndex < static_cast<int>(FTerminals.size()))
        PlaceTerminal(AHalf, FTerminals[AIndex]->Shell);
    RefreshTitles();
}

} // namespace kv
