// The Connections window: the saved connections in folders on the left (drag and drop between
// folders), the fields of the selected one on the right. It edits its own copy; only the save
// callback reaches connectors.json.
#pragma once

#include <QDialog>
#include <QListWidget>
#include <functional>
#include <string>
#include <vector>

#include "Kv.Connectors.h"
#include "Kv.Ui.ConnectorsModel.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;
class QRadioButton;

namespace kv {

// Receives (list, folders, portable, passkey) to keep and write.
using TKvSaveConnectorsEvent =
    std::function<void(const TKvConnectors& AList, const TKvFolderNames& AFolders, bool APortable,
                       const std::string& APasskey)>;

// The choices of the last new connection, for the whole run; the main window keeps them in the
// state file.
TKvConnectorTemplate ConnectorTemplate();
void SetConnectorTemplate(const TKvConnectorTemplate& ATemplate);

// A free row below the option boxes (352, 436, 296 x 20, at 96 dpi) for one more check box of
// SSH and SFTP connections; the parts below sit further down to leave it.
inline constexpr int KConnFreeRowTop = 436;

class TConnectorsForm;

// The list of the window: rows painted from the window's data, drag and drop by hand.
class TKvConnList : public QListWidget {
    Q_OBJECT

public:
    explicit TKvConnList(TConnectorsForm& AForm);
    int RowAt(const QPoint& APoint) const;
    int TopRow() const;

protected:
    void mousePressEvent(QMouseEvent* AEvent) override;
    void mouseMoveEvent(QMouseEvent* AEvent) override;
    void mouseReleaseEvent(QMouseEvent* AEvent) override;
    void mouseDoubleClickEvent(QMouseEvent* AEvent) override;
    void keyPressEvent(QKeyEvent* AEvent) override;
    void paintEvent(QPaintEvent* AEvent) override;

private:
    TConnectorsForm& FForm;
};

class TConnectorsForm : public QDialog {
    Q_OBJECT

public:
    // AConnectId: the connection to open after "Connect", empty otherwise. The result tells
    // whether anything was changed or saved; then AList and AFolders are the window's.
    static bool Execute(QWidget* AOwner, TKvConnectors& AList, TKvFolderNames& AFolders,
                        TKvSaveConnectorsEvent AOnSave, std::string& AConnectId, bool ANew,
                        const std::string& ASelectId, bool& APortable, std::string& APasskey);

    TConnectorsForm(QWidget* AOwner, const TKvConnectors& AList, const TKvFolderNames& AFolders,
                    TKvSaveConnectorsEvent AOnSave, bool ANew, const std::string& ASelectId,
                    bool APortable, const std::string& APasskey);
    ~TConnectorsForm() override;

    // What the window holds, for its caller and for tests.
    const TKvConnectors& List() const { return FList; }
    const TKvFolderNames& Folders() const { return FFolders; }
    const TKvConnRows& Rows() const { return FRows; }
    int Current() const { return FCurrent; }
    int SelectedRow() const;
    bool Changed() const { return FChanged; }
    const std::string& ConnectId() const { return FConnectId; }
    const std::string& Passkey() const { return FPasskey; }
    bool Portable() const { return FPortable; }
    bool IsCollapsed(const std::string& AFolder) const;

    // The actions of the buttons, keys and menu.
    void SelectRow(int ARow);
    void NewConnection();
    void NewFolder();
    void RenameSelectedFolder();
    void DeleteSelected();
    void ToggleFolder(int ARow);
    void DropConnection(int AConn, const TKvDropTarget& ATarget);
    void SaveClick();
    void ConnectClick();
    void PasskeyClick();
    void ExportClick();
    void ImportClick();
    void TakeEdits();

    void reject() override;

protected:
    void showEvent(QShowEvent* AEvent) override;
    void changeEvent(QEvent* AEvent) override;

private:
    friend class TKvConnList;
    class TExchangeUi;

    void BuildControls();
    void Rebuild(int ASelectConn, const std::string& ASelectFolder);
    void FillFields();
    TKvConnEdits ReadEdits() const;
    void ApplyRules();
    void FieldChanged(bool ARecordTemplate);
    void TitleChanged();
    void TypeChanged();
    void MarkChanged();
    void UpdatePasskeySentence();
    void ShowListMenu(const QPoint& APos);
    void PaintList(QPainter& APainter);
    bool ListKey(QKeyEvent* AEvent);

    TKvSaveConnectorsEvent FOnSave;
    QPushButton* FSave = nullptr;
    TKvConnectors FList;
    TKvFolderNames FFolders;
    std::vector<std::string> FCollapsed;
    TKvConnRows FRows;
    QPushButton *FNewFolder = nullptr, *FRenameFolder = nullptr, *FImport = nullptr,
                *FExport = nullptr;
    QMenu* FMenu = nullptr;
    int FCurrent = -1;
    bool FChanged = false;
    bool FLoading = false;
    std::string FConnectId;
    TKvConnList* FListBox = nullptr;
    QLineEdit *FName = nullptr, *FHost = nullptr, *FPort = nullptr, *FUser = nullptr,
              *FSecret = nullptr, *FKeyFile = nullptr, *FStartDir = nullptr;
    QRadioButton *FAuthPassword = nullptr, *FAuthKey = nullptr;
    QCheckBox *FSavePassword = nullptr, *FShowSecret = nullptr, *FIgnoreColors = nullptr,
              *FRememberOther = nullptr, *FUpdateStart = nullptr, *FHybrid = nullptr,
              *FUseAgent = nullptr;
    QLabel* FHybridNote = nullptr;
    QComboBox *FType = nullptr, *FShellBox = nullptr;
    QLabel *FShellLabel = nullptr, *FSecretLabel = nullptr, *FKeyFileLabel = nullptr,
           *FStartDirLabel = nullptr, *FLoginLabel = nullptr;
    QPushButton *FBrowse = nullptr, *FNew = nullptr, *FDelete = nullptr, *FConnect = nullptr,
                *FClose = nullptr;
    std::string FPasskey;
    bool FPortable = false;
    QLabel* FPasskeyLabel = nullptr;
    QPushButton* FPasskeyButton = nullptr;
    bool FFocusName = false;
    int FDragFrom = -1;
    int FDropAt = -1;
    int FDropInto = -1;
    bool FDragging = false;
    QPoint FPressAt;
    bool FSelecting = false;
};

} // namespace kv
