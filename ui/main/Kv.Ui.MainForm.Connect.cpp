// The main window's server connections: connecting a half, the open connections, attaching a
// half to one of them, the "[ Disconnect ]" label, and the saved passwords learned at login.
#include <QLabel>
#include <QMouseEvent>

#include "Kv.Connectors.Store.h"
#include "Kv.FileUtil.h"
#include "Kv.Log.h"
#include "Kv.Text.h"
#include "Kv.Ui.FilePanel.h"
#include "Kv.Ui.MainForm.h"
#include "Kv.Ui.PanelPlaces.h"
#include "Kv.Ui.Prompts.h"

namespace kv {

namespace {

class TKvClickLabel : public QLabel {
public:
    TKvClickLabel(const QString& AText, QWidget* AParent, std::function<void()> AClicked)
        : QLabel(AText, AParent), FClicked(std::move(AClicked)) {
        setCursor(Qt::PointingHandCursor);
    }

protected:
    // Taken, or the release would go to whoever took the press.
    void mousePressEvent(QMouseEvent* AEvent) override { AEvent->accept(); }
    void mouseReleaseEvent(QMouseEvent* AEvent) override {
        if (AEvent->button() == Qt::LeftButton && rect().contains(AEvent->position().toPoint()))
            FClicked();
    }

private:
    std::function<void()> FClicked;
};

class TKvPasskeyBox : public IKvPasskeyPrompt {
public:
    bool InputSecret(const std::string& ATitle, const std::string& APrompt, std::string& AValue) override {
        return kv::InputSecret(ATitle, APrompt, AValue);
    }
};

} // namespace

QLabel* NewDisconnectLabel(QWidget* AParent, std::function<void()> AClicked) {
    auto* label = new TKvClickLabel(" [ Disconnect ] ", AParent, std::move(AClicked));
    label->setToolTip("Close the connection and go back to the local disk");
    label->hide();
    return label;
}

TKvConnectorStore& TMainForm::Connectors() {
    if (!FConnectors) {
        FConnectors = std::make_unique<TKvConnectorStore>();
        FConnectors->Load();
    }
    FConnectors->ReloadIfChanged();
    return *FConnectors;
}

bool TMainForm::UnlockConnectors() {
    TKvPasskeyBox box;
    return Connectors().Unlock(box);
}

TMainForm::TKvOpenConnection* TMainForm::FindOpen(const std::string& AConnectorId) {
    for (auto& open : FOpen)
        if (SameTextAscii(open.ConnectorId, AConnectorId))
            return &open;
    return nullptr;
}

void TMainForm::ConnectHalf(TKvHalf AHalf, const TKvConnector& AConn, const std::string& AStartPath) {
    SetActiveHalf(AHalf);
    FHalves[AHalf].Panel->ConnectTo(AConn, AStartPath);
}

void TMainForm::AttachHalf(TKvHalf AHalf, const std::string& AConnectorId) {
    TKvOpenConnection* open = FindOpen(AConnectorId);
    if (!open)
        return;
    SetActiveHalf(AHalf);
    TKvFilePanel& panel = *FHalves[AHalf].Panel;
    if (panel.FileSystem() == open->Fs)
        return;
    panel.AttachTo(open->Fs, open->ConnectorId, open->LastPath);
}

void TMainForm::DisconnectHalf(TKvHalf AHalf) {
    THalf& half = FHalves[AHalf];
    if (half.Restore) {
        ShowFilePanel(AHalf);
        SetActiveHalf(AHalf);
        ScheduleSave();
        return;
    }
    // A terminal goes with the file view that shows its files.
    if (TKvShellPanel* shell = half.Shell ? half.Shell : HybridOf(AHalf)) {
        CloseTerminal(shell);
        SetActiveHalf(AHalf);
        return;
    }
    TKvFilePanel& panel = *half.Panel;
    if (!panel.IsRemote())
        return;
    const IKvFileSystemPtr fs = panel.FileSystem();
    const std::string id = panel.ConnectorId();
    if (FConnectors && !id.empty()) {
        const TKvOpenConnection* open = FindOpen(id);
        if (open && !open->LastPath.empty())
            FConnectors->UpdateStartDirs({{id, open->LastPath}});
    }
    std::erase_if(FOpen, [&](const TKvOpenConnection& AOpen) {
        return AOpen.Fs == fs || (!id.empty() && SameTextAscii(AOpen.ConnectorId, id));
    });
    // The connection closes when its last holder lets go: both panels leave it.
    for (TKvHalf h : {rhLeft, rhRight})
        if (FHalves[h].Panel->FileSystem() == fs)
            FHalves[h].Panel->Disconnect();
    Log("connect: disconnected " + fs->DisplayPrefix());
}

void TMainForm::ConnectTyped(TKvHalf AHalf, const std::string& AText) {
    const std::string text(TrimmedView(AText));
    if (text.empty())
        return;
    const TKvHalf half = AHalf;
    for (const auto& open : FOpen)
        if (SameTextAscii(open.Title, text)) {
            ShowFilePanel(half);
            AttachHalf(half, open.ConnectorId);
            return;
        }
    const TKvConnectors& saved = Connectors().Connectors();
    for (const auto& conn : saved)
        if (SameTextAscii(ConnectorTitle(conn), text)) {
            // A copy: unlocking the passwords reads the list again under this reference.
            const TKvConnector chosen = conn;
            OpenConnector(half, chosen, chosen.StartDir);
            return;
        }
    TKvConnector conn;
    std::string problem;
    if (!ParseConnectionText(text, conn, problem)) {
        ShowFilePanel(half);
        SetActiveHalf(half);
        ShowRefusal(problem);
        return;
    }
    ShowFilePanel(half);
    ConnectHalf(half, conn, conn.StartDir);
}

void TMainForm::PanelConnected(const std::string& AConnectorId, IKvFileSystemPtr AFs, const std::string& APath) {
    TKvOpenConnection entry;
    entry.ConnectorId = AConnectorId;
    entry.Title = AFs->DisplayPrefix();
    if (!entry.Title.empty() && entry.Title.back() == ':')
        entry.Title.pop_back();
    if (FConnectors) {
        const int index = IndexOfConnector(FConnectors->Connectors(), AConnectorId);
        if (index >= 0) {
            entry.Title = ConnectorTitle(FConnectors->Connectors()[index]);
            entry.Kind = FConnectors->Connectors()[index].Kind;
        }
    }
    entry.Fs = std::move(AFs);
    entry.LastPath = APath;
    Log("connect: " + entry.Title + " at " + APath);
    if (TKvOpenConnection* open = FindOpen(AConnectorId))
        *open = std::move(entry);
    else
        FOpen.push_back(std::move(entry));
    // The disk folder shown beside this connection last time comes back beside it.
    const IKvFileSystemPtr fs = FindOpen(AConnectorId)->Fs;
    for (TKvHalf h : {rhLeft, rhRight}) {
        const THalf& half = FHalves[h];
        if (half.Panel->FileSystem() != fs)
            continue;
        const THalf& other = FHalves[Other(h)];
        const std::string remembered = OtherPathOf(FState, AConnectorId);
        if (RemembersOtherPath(AConnectorId) && !other.Shell && !other.Restore && other.Panel->IsPlainLocal() &&
            !remembered.empty() && remembered != other.Panel->Path() && IsExistingFolder(remembered))
            other.Panel->Navigate(remembered);
        break;
    }
    RefreshTitles();
}

void TMainForm::StoreStartFolders() {
    if (!FConnectors)
        return;
    std::vector<std::pair<std::string, std::string>> folders;
    for (const auto& open : FOpen)
        if (!open.ConnectorId.empty() && !open.LastPath.empty())
            folders.emplace_back(open.ConnectorId, open.LastPath);
    if (!folders.empty())
        FConnectors->UpdateStartDirs(folders);
}

void TMainForm::PanelSecretLearned(const std::string& AConnectorId, const std::string& ASecret) {
    if (FConnectors && !FConnectors->Locked())
        FConnectors->StoreLearnedSecret(AConnectorId, ASecret);
}

bool TMainForm::RemembersOtherPath(const std::string& AConnectorId) {
    if (!FConnectors || AConnectorId.empty())
        return false;
    const int index = IndexOfConnector(FConnectors->Connectors(), AConnectorId);
    return index >= 0 && FConnectors->Connectors()[index].RememberOtherPath &&
           !IsTerminalKind(FConnectors->Connectors()[index].Kind);
}

void TMainForm::NoteOpenPath(const TKvFilePanel& APanel) {
    // A disk folder beside a saved server connection is remembered for that connection.
    for (TKvHalf h : {rhLeft, rhRight}) {
        const THalf& half = FHalves[h];
        const THalf& other = FHalves[Other(h)];
        if (half.Panel == &APanel && APanel.IsPlainLocal() && !half.Shell && !half.Restore && !other.Shell &&
            !other.Restore && other.Panel->IsRemote() && RemembersOtherPath(other.Panel->ConnectorId())) {
            SetOtherPath(FState, other.Panel->ConnectorId(), APanel.Path());
            ScheduleSave();
        }
    }
    if (!APanel.IsRemote() || APanel.ConnectorId().empty())
        return;
    for (auto& open : FOpen)
        if (SameTextAscii(open.ConnectorId, APanel.ConnectorId()))
            open.LastPath = APanel.Path();
}

} // namespace kv
