#include "Kv.Ui.ConnectorsForm.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QFontDatabase>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QShowEvent>
#include <QTimer>

#include "Kv.Connectors.Exchange.h"
#include "Kv.Connectors.Store.h"
#include "Kv.Ui.Dpi.h"
#include "Kv.Ui.Icons.h"
#include "Kv.Ui.Prompts.h"
#include "Kv.Ui.Theme.h"

namespace kv {

namespace {

QString Q(const std::string& AText) {
    return QString::fromUtf8(AText.data(), static_cast<int>(AText.size()));
}
std::string S(const QString& AText) {
    return AText.toStdString();
}

TKvConnectorTemplate& Template() {
    static TKvConnectorTemplate value;
    return value;
}

constexpr int KRowHeight = 22;
// The hint below the start folder takes two lines, and a free row follows the option boxes:
// everything below them sits this much lower than in a tighter layout.
constexpr int KLowerShift = 36;
constexpr int KOptionsShift = 8;
// "Use the SSH agent" follows the file boxes of SFTP, and the hybrid box and its note of SSH.
constexpr int KAgentTopSftp = 426 + KOptionsShift;
constexpr int KAgentTopSsh = 490;

constexpr const char* KHybridNote =
    "On: Kolvan quietly sets up the shell to report its folder status,  so file "
    "names on screen become links you can drag, view and edit. ";

// Qt's filter form of "Name (*.x)|*.x|All files (*.*)|*.*".
QString QtFilter(const std::string& AFilter) {
    QStringList parts = Q(AFilter).split('|');
    QStringList out;
    for (int i = 0; i + 1 < parts.size(); i += 2)
        out << QString(parts[i]).replace("(*.*)", "(*)");
    return out.join(";;");
}

} // namespace

TKvConnectorTemplate ConnectorTemplate() {
    return Template();
}
void SetConnectorTemplate(const TKvConnectorTemplate& ATemplate) {
    Template() = ATemplate;
}

// ---- The dialogs of export and import ----

class TConnectorsForm::TExchangeUi final : public IKvConnectorsUi {
public:
    explicit TExchangeUi(TConnectorsForm& AForm) : FForm(AForm) {}

    void ShowMessage(const std::string& AText) override {
        QMessageBox::information(&FForm, "Connections", Q(AText));
    }
    void ShowError(const std::string& AText) override {
        QMessageBox::critical(&FForm, "Connections", Q(AText));
    }
    TKvAnswer AskYesNoCancel(const std::string& AText) override {
        auto answer =
            QMessageBox::question(&FForm, "Connections", Q(AText),
                                  QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
        return answer == QMessageBox::Yes ? anYes : answer == QMessageBox::No ? anNo : anCancel;
    }
    bool InputSecret(const std::string& ATitle, const std::string& APrompt,
                     std::string& AValue) override {
        return kv::InputSecret(ATitle, APrompt, AValue);
    }
    bool ChooseExportFile(std::string& APath) override {
        QString path = QFileDialog::getSaveFileName(&FForm, KExportDialogTitle, KExportProposedName,
                                                    QtFilter(KConnectionsFileFilter));
        if (path.isEmpty())
            return false;
        if (path.indexOf('.', path.lastIndexOf('/') + 1) < 0)
            path += QString(".") + KConnectionsFileExtension;
        APath = S(path);
        return true;
    }
    bool ChooseImportFile(std::string& APath) override {
        QString path = QFileDialog::getOpenFileName(&FForm, KImportDialogTitle, QString(),
                                                    QtFilter(KConnectionsFileFilter));
        APath = S(path);
        return !path.isEmpty();
    }
    void TakeEdits() override { FForm.TakeEdits(); }

private:
    TConnectorsForm& FForm;
};

// ---- The list ----

TKvConnList::TKvConnList(TConnectorsForm& AForm) : QListWidget(&AForm), FForm(AForm) {
    setUniformItemSizes(true);
    setMouseTracking(true);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollMode(QAbstractItemView::ScrollPerItem);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setContextMenuPolicy(Qt::NoContextMenu);
}

int TKvConnList::RowAt(const QPoint& APoint) const {
    QModelIndex index = indexAt(APoint);
    return index.isValid() ? index.row() : -1;
}

int TKvConnList::TopRow() const {
    QModelIndex index = indexAt(QPoint(2, 2));
    return index.isValid() ? index.row() : 0;
}

void TKvConnList::mousePressEvent(QMouseEvent* AEvent) {
    const QPoint pos = AEvent->position().toPoint();
    const int row = RowAt(pos);
    setFocus();
    if (row < 0) {
        if (AEvent->button() == Qt::RightButton)
            FForm.ShowListMenu(pos);
        return;
    }
    FForm.SelectRow(row);
    if (AEvent->button() == Qt::RightButton) {
        FForm.ShowListMenu(pos);
        return;
    }
    if (AEvent->button() != Qt::LeftButton || row >= static_cast<int>(FForm.FRows.size()))
        return;
    if (FForm.FRows[row].IsFolder) {
        if (pos.x() < ScaleToScreen(18))
            FForm.ToggleFolder(row);
        return;
    }
    FForm.FDragFrom = row;
    FForm.FPressAt = pos;
}

void TKvConnList::mouseMoveEvent(QMouseEvent* AEvent) {
    const QPoint pos = AEvent->position().toPoint();
    if (FForm.FDragFrom < 0 || !(AEvent->buttons() & Qt::LeftButton))
        return;
    if (!FForm.FDragging && (pos - FForm.FPressAt).manhattanLength() < 5)
        return;
    FForm.FDragging = true;
    const int rowHeight = ScaleToScreen(KRowHeight);
    // Near an edge the list scrolls a row, so a drop can reach every row.
    if (pos.y() < rowHeight / 2)
        verticalScrollBar()->setValue(verticalScrollBar()->value() - 1);
    else if (pos.y() > viewport()->height() - rowHeight / 2)
        verticalScrollBar()->setValue(verticalScrollBar()->value() + 1);
    TKvDropTarget target = DropTargetAt(FForm.FRows, pos.y(), rowHeight, TopRow());
    FForm.FDropAt = target.At;
    FForm.FDropInto = target.Into;
    viewport()->update();
}

void TKvConnList::mouseReleaseEvent(QMouseEvent* AEvent) {
    const bool dropped = FForm.FDragging && AEvent->button() == Qt::LeftButton;
    const int from = FForm.FDragFrom;
    const TKvDropTarget target{FForm.FDropAt, FForm.FDropInto};
    FForm.FDragFrom = FForm.FDropAt = FForm.FDropInto = -1;
    FForm.FDragging = false;
    viewport()->update();
    if (dropped && from >= 0 && from < static_cast<int>(FForm.FRows.size()) &&
        (target.At >= 0 || target.Into >= 0))
        FForm.DropConnection(FForm.FRows[from].Conn, target);
}

void TKvConnList::mouseDoubleClickEvent(QMouseEvent* AEvent) {
    const QPoint pos = AEvent->position().toPoint();
    const int row = RowAt(pos);
    if (row >= 0 && row < static_cast<int>(FForm.FRows.size()) && FForm.FRows[row].IsFolder &&
        pos.x() >= ScaleToScreen(18))
        FForm.ToggleFolder(row);
}

void TKvConnList::keyPressEvent(QKeyEvent* AEvent) {
    if (!FForm.ListKey(AEvent))
        QListWidget::keyPressEvent(AEvent);
}

void TKvConnList::paintEvent(QPaintEvent*) {
    QPainter painter(viewport());
    FForm.PaintList(painter);
}

// ---- The window ----

bool TConnectorsForm::Execute(QWidget* AOwner, TKvConnectors& AList, TKvFolderNames& AFolders,
                              TKvSaveConnectorsEvent AOnSave, std::string& AConnectId, bool ANew,
                              const std::string& ASelectId, bool& APortable,
                              std::string& APasskey) {
    TConnectorsForm form(AOwner, AList, AFolders, std::move(AOnSave), ANew, ASelectId, APortable,
                         APasskey);
    form.exec();
    if (form.FChanged) {
        AList = form.FList;
        AFolders = form.FFolders;
    }
    AConnectId = form.FConnectId;
    APasskey = form.FPasskey;
    APortable = form.FPortable;
    return form.FChanged;
}

TConnectorsForm::TConnectorsForm(QWidget* AOwner, const TKvConnectors& AList,
                                 const TKvFolderNames& AFolders, TKvSaveConnectorsEvent AOnSave,
                                 bool ANew, const std::string& ASelectId, bool APortable,
                                 const std::string& APasskey)
    : QDialog(AOwner), FOnSave(std::move(AOnSave)), FList(AList), FPasskey(APasskey),
      FPortable(APortable) {
    setWindowTitle("Connections");
    setFont(DialogFont());
    BuildControls();
    FFolders = CollectFolders(FList, AFolders);
    FCollapsed = FFolders;
    UpdatePasskeySentence();

    int select = IndexOfConnector(FList, ASelectId);
    if (select < 0 && !FList.empty())
        select = 0;
    if (ANew) {
        Rebuild(-1, std::string());
        NewConnection();
        FFocusName = true;
    } else if (select >= 0 && !FList[select].Folder.empty()) {
        Rebuild(-1, FList[select].Folder);
    } else {
        Rebuild(select, std::string());
    }
    // Opening is no change; a new connection made for the caller is one.
    if (!ANew)
        FChanged = false;
    if (AOwner) {
        const QRect owner = AOwner->window()->frameGeometry();
        move(owner.center() - QPoint(width() / 2, height() / 2));
    }
}

TConnectorsForm::~TConnectorsForm() {
    // The secret field held a password.
    FSecret->clear();
}

void TConnectorsForm::BuildControls() {
    auto s = [](int AValue) { return ScaleToScreen(AValue); };
    auto place = [&](QWidget* AWidget, int ALeft, int ATop, int AWidth, int AHeight) {
        AWidget->setGeometry(s(ALeft), s(ATop), s(AWidth), s(AHeight));
    };
    auto label = [&](const char* AText, int ARow) {
        auto* caption = new QLabel(AText, this);
        place(caption, 232, ARow + 4, 110, 18);
        return caption;
    };
    auto edit = [&](const char* AName, int ARow, int AWidth) {
        auto* field = new QLineEdit(this);
        field->setObjectName(AName);
        place(field, 352, ARow, AWidth, 24);
        return field;
    };
    auto check = [&](const char* AName, const char* AText, int ALeft, int ATop, int AWidth) {
        auto* box = new QCheckBox(AText, this);
        box->setObjectName(AName);
        place(box, ALeft, ATop, AWidth, 20);
        return box;
    };
    const int low = KLowerShift;
    setFixedSize(s(670), s(576 + low));

    FListBox = new TKvConnList(*this);
    place(FListBox, 12, 12, 200, 506 + low);
    const char* glyphTexts[] = {"+", "F", "R", "X", "E", "..."};
    const char* glyphHints[] = {"New connection",
                                "New folder",
                                "Rename folder (F2)",
                                "Delete the connection or folder (Del)",
                                "Export the connections to a file",
                                "Import connections from a file"};
    QPushButton* glyphs[6];
    for (int i = 0; i < 6; ++i) {
        glyphs[i] = new QPushButton(glyphTexts[i], this);
        glyphs[i]->setToolTip(glyphHints[i]);
        glyphs[i]->setAutoDefault(false);
        place(glyphs[i], 12 + 34 * i, 528 + low, 30, 28);
    }
    FNew = glyphs[0];
    FNewFolder = glyphs[1];
    FRenameFolder = glyphs[2];
    FDelete = glyphs[3];
    FExport = glyphs[4];
    FImport = glyphs[5];

    label("Name", 12);
    FName = edit("name", 12, 296);
    label("Type", 44);
    FType = new QComboBox(this);
    FType->setObjectName("type");
    for (int kind = 0; kind < KConnectorKindCount; ++kind)
        FType->addItem(Q(std::string(ConnectorKindCaption(static_cast<TKvConnectorKind>(kind)))));
    place(FType, 352, 44, 296, 24);
    label("Host", 76);
    FHost = edit("host", 76, 296);
    label("Port", 108);
    FPort = edit("port", 108, 80);
    label("User name", 140);
    FUser = edit("user", 140, 296);
    FLoginLabel = label("Log in with", 172);
    FAuthPassword = new QRadioButton("Password", this);
    FAuthPassword->setObjectName("authPassword");
    place(FAuthPassword, 352, 176, 100, 20);
    FAuthKey = new QRadioButton("Private key file", this);
    FAuthKey->setObjectName("authKey");
    place(FAuthKey, 462, 176, 150, 20);
    FSecretLabel = label("Password", 204);
    FSecret = edit("secret", 204, 230);
    FSecret->setEchoMode(QLineEdit::Password);
    FShowSecret = check("show", "Show", 592, 206, 56);
    FSavePassword =
        check("savePassword", "Remember it (encrypted, this user account)", 352, 236, 296);
    FKeyFileLabel = label("Key file", 264);
    FKeyFile = edit("keyFile", 264, 220);
    FBrowse = new QPushButton("Browse...", this);
    FBrowse->setAutoDefault(false);
    place(FBrowse, 578, 262, 70, 28);
    FShellLabel = label("Shell", 296);
    FShellBox = new QComboBox(this);
    FShellBox->setObjectName("shell");
    FShellBox->setEditable(true);
    FShellBox->addItem(KServerDefaultShell);
    for (std::string_view shell : KHybridShells)
        FShellBox->addItem(Q(std::string(shell)));
    place(FShellBox, 352, 296, 296, 24);
    FStartDirLabel = label("Start folder", 328);
    FStartDir = edit("startDir", 328, 296);
    auto* hint = new QLabel("Leave the start folder empty to begin in the home folder.", this);
    hint->setForegroundRole(QPalette::PlaceholderText);
    hint->setWordWrap(true);
    hint->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    place(hint, 352, 356, 296, 32);
    const int options = KOptionsShift;
    FIgnoreColors =
        check("ignoreColors", "Terminal: ignore colors (folders in bold)", 352, 382 + options, 296);
    FUpdateStart = check("updateStart", "Update start folder on exit", 352, 382 + options, 296);
    FRememberOther =
        check("rememberOther", "Remember the other half's local folder", 352, 404 + options, 296);
    FHybrid = check("hybrid", "Hybrid connection (terminal + files)", 352, 404 + options, 296);
    FHybridNote = new QLabel(KHybridNote, this);
    FHybridNote->setWordWrap(true);
    FHybridNote->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    FHybridNote->setForegroundRole(QPalette::PlaceholderText);
    place(FHybridNote, 370, 426 + options, 278, 54);
    FUseAgent = check("useAgent", "Use the SSH agent", 352, KAgentTopSftp, 296);
    FUseAgent->setToolTip("Log in with the keys of the running SSH agent first");
    FPasskeyLabel = new QLabel(this);
    FPasskeyLabel->setWordWrap(true);
    FPasskeyLabel->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    FPasskeyLabel->setForegroundRole(QPalette::PlaceholderText);
    place(FPasskeyLabel, 352, 492 + low, 296, 34);

    FPasskeyButton = new QPushButton("Passkey...", this);
    place(FPasskeyButton, 232, 528 + low, 110, 28);
    FSave = new QPushButton("Save", this);
    place(FSave, 350, 528 + low, 96, 28);
    FConnect = new QPushButton("Connect", this);
    place(FConnect, 452, 528 + low, 96, 28);
    FClose = new QPushButton("Close", this);
    place(FClose, 556, 528 + low, 96, 28);
    for (QPushButton* button : {FPasskeyButton, FSave, FClose})
        button->setAutoDefault(false);
    FConnect->setDefault(true);

    FMenu = new QMenu(this);

    connect(FNew, &QPushButton::clicked, this, [this] { NewConnection(); });
    connect(FNewFolder, &QPushButton::clicked, this, [this] { NewFolder(); });
    connect(FRenameFolder, &QPushButton::clicked, this, [this] { RenameSelectedFolder(); });
    connect(FDelete, &QPushButton::clicked, this, [this] { DeleteSelected(); });
    connect(FExport, &QPushButton::clicked, this, [this] { ExportClick(); });
    connect(FImport, &QPushButton::clicked, this, [this] { ImportClick(); });
    connect(FSave, &QPushButton::clicked, this, [this] { SaveClick(); });
    connect(FConnect, &QPushButton::clicked, this, [this] { ConnectClick(); });
    connect(FClose, &QPushButton::clicked, this, [this] { reject(); });
    connect(FPasskeyButton, &QPushButton::clicked, this, [this] { PasskeyClick(); });
    connect(FBrowse, &QPushButton::clicked, this, [this] {
        QString path = QFileDialog::getOpenFileName(this, "Choose a private key file",
                                                    FKeyFile->text().trimmed(), "All files (*)");
        if (!path.isEmpty())
            FKeyFile->setText(path);
    });
    connect(FShowSecret, &QCheckBox::toggled, this, [this](bool AOn) {
        FSecret->setEchoMode(AOn ? QLineEdit::Normal : QLineEdit::Password);
    });
    connect(FListBox, &QListWidget::currentRowChanged, this, [this](int ARow) {
        if (!FSelecting)
            SelectRow(ARow);
    });

    for (QLineEdit* field : {FPort, FUser, FSecret, FKeyFile})
        connect(field, &QLineEdit::textEdited, this, [this] { FieldChanged(false); });
    for (QLineEdit* field : {FName, FHost})
        connect(field, &QLineEdit::textEdited, this, [this] { TitleChanged(); });
    connect(FStartDir, &QLineEdit::textEdited, this, [this] {
        if (FLoading)
            return;
        FUpdateStart->setChecked(false);
        FieldChanged(false);
    });
    connect(FShellBox, &QComboBox::editTextChanged, this, [this] { FieldChanged(false); });
    connect(FType, &QComboBox::currentIndexChanged, this, [this] { TypeChanged(); });
    for (QRadioButton* button : {FAuthPassword, FAuthKey})
        connect(button, &QRadioButton::toggled, this, [this](bool AOn) {
            if (AOn)
                FieldChanged(true);
        });
    for (QCheckBox* box :
         {FSavePassword, FIgnoreColors, FRememberOther, FUpdateStart, FHybrid, FUseAgent})
        connect(box, &QCheckBox::toggled, this, [this] { FieldChanged(true); });
}

int TConnectorsForm::SelectedRow() const {
    return FListBox->currentRow();
}

bool TConnectorsForm::IsCollapsed(const std::string& AFolder) const {
    return ContainsFolder(FCollapsed, AFolder);
}

void TConnectorsForm::Rebuild(int ASelectConn, const std::string& ASelectFolder) {
    FFolders = CollectFolders(FList, FFolders);
    if (ASelectConn >= 0 && ASelectConn < static_cast<int>(FList.size()) &&
        !FList[ASelectConn].Folder.empty())
        RemoveFolderName(FCollapsed, FList[ASelectConn].Folder);
    FRows = BuildConnRows(FList, FFolders, FCollapsed);
    int row = ASelectConn >= 0 ? RowOfConnection(FRows, ASelectConn) : -1;
    if (row < 0 && !ASelectFolder.empty())
        row = RowOfFolder(FRows, ASelectFolder);
    FSelecting = true;
    FListBox->setUpdatesEnabled(false);
    while (FListBox->count() > static_cast<int>(FRows.size()))
        delete FListBox->takeItem(FListBox->count() - 1);
    while (FListBox->count() < static_cast<int>(FRows.size())) {
        auto* item = new QListWidgetItem(FListBox);
        item->setSizeHint(QSize(1, ScaleToScreen(KRowHeight)));
    }
    FListBox->setCurrentRow(row);
    if (row < 0)
        FListBox->clearSelection();
    FListBox->setUpdatesEnabled(true);
    FSelecting = false;
    FCurrent = row >= 0 && !FRows[row].IsFolder ? FRows[row].Conn : -1;
    FillFields();
    FListBox->viewport()->update();
}

void TConnectorsForm::SelectRow(int ARow) {
    const int count = static_cast<int>(FRows.size());
    if (ARow >= count)
        return;
    const int conn = ARow >= 0 && !FRows[ARow].IsFolder ? FRows[ARow].Conn : -1;
    if (FListBox->currentRow() != ARow) {
        FSelecting = true;
        FListBox->setCurrentRow(ARow);
        FSelecting = false;
    }
    if (conn >= 0 && conn == FCurrent)
        return;
    TakeEdits();
    FCurrent = conn;
    FillFields();
    FListBox->viewport()->update();
}

void TConnectorsForm::FillFields() {
    FLoading = true;
    FShowSecret->setChecked(false);
    const TKvConnEdits edits = FCurrent >= 0 ? EditsOf(FList[FCurrent]) : BlankEdits();
    FType->setCurrentIndex(edits.KindIndex);
    FName->setText(Q(edits.Name));
    FHost->setText(Q(edits.Host));
    FPort->setText(FCurrent >= 0 ? Q(edits.Port) : QString());
    FUser->setText(Q(edits.User));
    (edits.AuthKey ? FAuthKey : FAuthPassword)->setChecked(true);
    FSecret->setText(Q(edits.Secret));
    FSavePassword->setChecked(edits.SavePassword);
    FKeyFile->setText(Q(edits.KeyFile));
    FStartDir->setText(Q(edits.StartDir));
    FIgnoreColors->setChecked(edits.IgnoreColors);
    FRememberOther->setChecked(edits.RememberOther);
    FUpdateStart->setChecked(edits.UpdateStart);
    FHybrid->setChecked(edits.Hybrid);
    FUseAgent->setChecked(edits.UseAgent);
    FShellBox->setEditText(Q(edits.Shell));
    // Long texts show their beginning, as typed.
    for (QLineEdit* field : {FName, FHost, FUser, FKeyFile, FStartDir})
        field->setCursorPosition(0);
    FLoading = false;
    ApplyRules();
}

TKvConnEdits TConnectorsForm::ReadEdits() const {
    TKvConnEdits edits;
    edits.KindIndex = FType->currentIndex();
    edits.Name = S(FName->text());
    edits.Host = S(FHost->text());
    edits.Port = S(FPort->text());
    edits.User = S(FUser->text());
    edits.Secret = S(FSecret->text());
    edits.KeyFile = S(FKeyFile->text());
    edits.StartDir = S(FStartDir->text());
    edits.Shell = S(FShellBox->currentText());
    edits.AuthKey = FAuthKey->isChecked();
    edits.SavePassword = FSavePassword->isChecked();
    edits.IgnoreColors = FIgnoreColors->isChecked();
    edits.RememberOther = FRememberOther->isChecked();
    edits.UpdateStart = FUpdateStart->isChecked();
    edits.Hybrid = FHybrid->isChecked();
    edits.UseAgent = FUseAgent->isChecked();
    return edits;
}

void TConnectorsForm::TakeEdits() {
    if (FCurrent >= 0 && FCurrent < static_cast<int>(FList.size()))
        ApplyEdits(FList[FCurrent], ReadEdits());
}

void TConnectorsForm::ApplyRules() {
    const int row = FListBox->currentRow();
    TKvConnFieldState state;
    state.Shown = FCurrent >= 0;
    state.Kind = KindOfIndex(FType->currentIndex());
    state.SavePassword = FSavePassword->isChecked();
    state.AuthKey = FAuthKey->isChecked();
    state.Hybrid = FHybrid->isChecked();
    state.FolderRow = row >= 0 && row < static_cast<int>(FRows.size()) && FRows[row].IsFolder;
    const TKvConnFieldRules rules = ConnFieldRules(state);
    for (QWidget* widget : std::initializer_list<QWidget*>{FType, FName, FHost, FPort, FUser,
                                                           FSavePassword, FConnect})
        widget->setEnabled(rules.Fields);
    FAuthPassword->setEnabled(rules.Login);
    FAuthKey->setEnabled(rules.Login);
    FSecret->setEnabled(rules.Secret);
    FShowSecret->setEnabled(rules.Secret);
    FKeyFile->setEnabled(rules.KeyFile);
    FBrowse->setEnabled(rules.KeyFile);
    FSecretLabel->setText(rules.KeyPassphrase ? "Key passphrase" : "Password");
    FStartDir->setEnabled(rules.StartDir);
    FIgnoreColors->setVisible(rules.IgnoreColorsShown);
    FIgnoreColors->setEnabled(rules.IgnoreColorsEnabled);
    FUpdateStart->setVisible(rules.FileOptionsShown);
    FRememberOther->setVisible(rules.FileOptionsShown);
    for (QWidget* widget :
         std::initializer_list<QWidget*>{FHybrid, FHybridNote, FShellLabel, FShellBox})
        widget->setVisible(rules.HybridShown);
    FUseAgent->setVisible(rules.AgentShown);
    FUseAgent->move(FUseAgent->x(),
                    ScaleToScreen(rules.HybridShown ? KAgentTopSsh : KAgentTopSftp));
    FDelete->setEnabled(rules.Delete);
    FRenameFolder->setEnabled(rules.RenameFolder);
}

void TConnectorsForm::MarkChanged() {
    FChanged = true;
    FSave->setText("Save");
}

void TConnectorsForm::FieldChanged(bool ARecordTemplate) {
    if (FLoading)
        return;
    MarkChanged();
    if (ARecordTemplate) {
        TKvConnector shown = FCurrent >= 0 ? FList[FCurrent] : NewConnector();
        ApplyEdits(shown, ReadEdits());
        Template() = RecordTemplate(shown);
    }
    ApplyRules();
}

void TConnectorsForm::TitleChanged() {
    if (FLoading)
        return;
    FieldChanged(false);
    TakeEdits();
    FListBox->viewport()->update();
}

void TConnectorsForm::TypeChanged() {
    if (FLoading)
        return;
    if (FCurrent >= 0) {
        const TKvConnectorKind old = FList[FCurrent].Kind;
        const TKvConnectorKind kind = KindOfIndex(FType->currentIndex());
        FLoading = true;
        FPort->setText(Q(PortAfterKindChange(S(FPort->text()), old, kind)));
        if (!HasLoginChoice(kind))
            FAuthPassword->setChecked(true);
        FLoading = false;
    }
    FieldChanged(true);
    TakeEdits();
    FListBox->viewport()->update();
}

void TConnectorsForm::ToggleFolder(int ARow) {
    if (ARow < 0 || ARow >= static_cast<int>(FRows.size()) || !FRows[ARow].IsFolder)
        return;
    TakeEdits();
    const std::string folder = FRows[ARow].Folder;
    if (ContainsFolder(FCollapsed, folder))
        RemoveFolderName(FCollapsed, folder);
    else
        FCollapsed.push_back(folder);
    Rebuild(-1, folder);
}

void TConnectorsForm::NewConnection() {
    TakeEdits();
    TKvConnector connector = NewConnectorFrom(Template());
    const int row = FListBox->currentRow();
    if (row >= 0 && row < static_cast<int>(FRows.size()))
        connector.Folder = FRows[row].Folder;
    FList.push_back(connector);
    MarkChanged();
    Rebuild(static_cast<int>(FList.size()) - 1, std::string());
    if (isVisible()) {
        FName->setFocus();
        FName->selectAll();
    }
}

namespace {

// Asks for a folder name until it is usable; false for Cancel.
bool AskFolderName(QWidget* AOwner, const char* ATitle, const TKvFolderNames& AFolders,
                   const std::string& AOld, std::string& AName) {
    std::string answer = AOld;
    for (;;) {
        if (!AskLine(AOwner, ATitle, "Folder name:", answer, answer))
            return false;
        TKvFolderCheck check = CheckFolderName(AFolders, answer, AOld);
        if (check.Verdict == fvAccept) {
            AName = check.Name;
            return true;
        }
        if (check.Verdict == fvRefuse)
            QMessageBox::information(AOwner, ATitle, Q(check.Message));
    }
}

} // namespace

void TConnectorsForm::NewFolder() {
    std::string name;
    if (!AskFolderName(this, "New folder", FFolders, std::string(), name))
        return;
    TakeEdits();
    const int row = FListBox->currentRow();
    const std::string after =
        row >= 0 && row < static_cast<int>(FRows.size()) ? FRows[row].Folder : std::string();
    InsertFolder(FFolders, name, after);
    MarkChanged();
    Rebuild(-1, name);
}

void TConnectorsForm::RenameSelectedFolder() {
    const int row = FListBox->currentRow();
    if (row < 0 || row >= static_cast<int>(FRows.size()) || !FRows[row].IsFolder)
        return;
    const std::string old = FRows[row].Folder;
    std::string name;
    if (!AskFolderName(this, "Rename folder", FFolders, old, name) || name == old)
        return;
    TakeEdits();
    RenameFolder(FList, FFolders, FCollapsed, old, name);
    MarkChanged();
    Rebuild(-1, name);
}

void TConnectorsForm::DeleteSelected() {
    const int row = FListBox->currentRow();
    if (row >= 0 && row < static_cast<int>(FRows.size()) && FRows[row].IsFolder) {
        const std::string folder = FRows[row].Folder;
        const int count = ConnectionsInFolder(FList, folder);
        if (count > 0 &&
            !AskYesNo("Connections",
                      "Delete the folder \"" + folder + "\"? Its " + std::to_string(count) +
                          " connection(s) are kept, outside any folder.",
                      true, this))
            return;
        TakeEdits();
        DeleteFolder(FList, FFolders, FCollapsed, folder);
        MarkChanged();
        Rebuild(-1, std::string());
        return;
    }
    if (FCurrent < 0)
        return;
    if (!AskYesNo("Connections",
                  "Delete the connection \"" + ConnectorTitle(FList[FCurrent]) + "\"?", true, this))
        return;
    const int index = FCurrent;
    FCurrent = -1; // its fields go with it
    TKvConnSelection next = DeleteConnection(FList, index);
    MarkChanged();
    Rebuild(next.Conn, next.Folder);
}

void TConnectorsForm::DropConnection(int AConn, const TKvDropTarget& ATarget) {
    TakeEdits();
    const int moved = ApplyDrop(FList, FRows, AConn, ATarget);
    MarkChanged();
    Rebuild(moved, std::string());
}

void TConnectorsForm::SaveClick() {
    TakeEdits();
    if (FOnSave)
        FOnSave(FList, FFolders, FPortable, FPasskey);
    FChanged = true;
    FSave->setText("Saved");
}

void TConnectorsForm::ConnectClick() {
    TakeEdits();
    if (FCurrent < 0 || !ConnectorComplete(FList[FCurrent])) {
        QMessageBox::information(
            this, "Connections",
            "Fill in the host and the user name first. A key file is also needed when you "
            "log in with a key.");
        return;
    }
    FConnectId = FList[FCurrent].Id;
    if (FOnSave)
        FOnSave(FList, FFolders, FPortable, FPasskey);
    FChanged = true;
    accept();
}

void TConnectorsForm::reject() {
    TakeEdits();
    QDialog::reject();
}

void TConnectorsForm::PasskeyClick() {
    bool portable = FPortable;
    std::string passkey;
    switch (AskPasskey(!FPasskey.empty(), portable, passkey)) {
    case pcSet:
        FPasskey = passkey;
        FPortable = portable;
        MarkChanged();
        break;
    case pcRemove:
        FPasskey.clear();
        FPortable = false;
        MarkChanged();
        break;
    case pcCancel:
        break;
    }
    UpdatePasskeySentence();
}

void TConnectorsForm::UpdatePasskeySentence() {
    FPasskeyLabel->setText(Q(ProtectionSentence(!FPasskey.empty(), FPortable)));
}

void TConnectorsForm::ExportClick() {
    TakeEdits();
    TExchangeUi ui(*this);
    ExportConnectors(FList, FFolders, ui);
}

void TConnectorsForm::ImportClick() {
    TExchangeUi ui(*this);
    TKvImportResult result = ImportConnectors(FList, FFolders, ui);
    if (!result.Changed)
        return;
    MarkChanged();
    Rebuild(result.FirstIndex, std::string());
}

void TConnectorsForm::ShowListMenu(const QPoint& APos) {
    const int row = FListBox->currentRow();
    const bool folderRow = row >= 0 && row < static_cast<int>(FRows.size()) && FRows[row].IsFolder;
    FMenu->clear();
    FMenu->addAction("New connection", this, [this] { NewConnection(); });
    FMenu->addAction("New folder", this, [this] { NewFolder(); });
    FMenu->addAction("Rename folder", this, [this] { RenameSelectedFolder(); })
        ->setEnabled(folderRow);
    FMenu->addAction("Delete", this, [this] { DeleteSelected(); })->setEnabled(row >= 0);
    FMenu->popup(FListBox->viewport()->mapToGlobal(APos));
}

bool TConnectorsForm::ListKey(QKeyEvent* AEvent) {
    const int row = FListBox->currentRow();
    const bool folderRow = row >= 0 && row < static_cast<int>(FRows.size()) && FRows[row].IsFolder;
    const Qt::KeyboardModifiers mods = AEvent->modifiers() & ~Qt::KeypadModifier;
    if (mods != Qt::NoModifier)
        return false;
    switch (AEvent->key()) {
    case Qt::Key_Right:
    case Qt::Key_Left:
        if (folderRow && IsCollapsed(FRows[row].Folder) == (AEvent->key() == Qt::Key_Right))
            ToggleFolder(row);
        return folderRow;
    case Qt::Key_Delete:
        DeleteSelected();
        return true;
    case Qt::Key_F2:
        if (folderRow)
            RenameSelectedFolder();
        return true;
    default:
        return false;
    }
}

void TConnectorsForm::PaintList(QPainter& APainter) {
    const QPalette& colours = palette();
    const int rowHeight = ScaleToScreen(KRowHeight);
    const int top = FListBox->TopRow();
    const int width = FListBox->viewport()->width();
    APainter.fillRect(FListBox->viewport()->rect(), colours.color(QPalette::Base));
    APainter.setRenderHint(QPainter::Antialiasing, true);
    const QFontMetrics metrics(font());
    for (int row = top; row < static_cast<int>(FRows.size()); ++row) {
        const QRect rect(0, (row - top) * rowHeight, width, rowHeight);
        if (rect.top() > FListBox->viewport()->height())
            break;
        const bool selected = row == FListBox->currentRow();
        if (selected)
            APainter.fillRect(rect, colours.color(QPalette::Highlight));
        const QColor ink = colours.color(selected ? QPalette::HighlightedText : QPalette::Text);
        const TKvConnRow& item = FRows[row];
        if (item.IsFolder) {
            const int cx = rect.left() + ScaleToScreen(9), cy = rect.center().y(),
                      h = ScaleToScreen(4);
            const bool collapsed = IsCollapsed(item.Folder);
            QPolygon arrow = collapsed
                                 ? QPolygon({QPoint(cx - h / 2, cy - h), QPoint(cx + h / 2 + 1, cy),
                                             QPoint(cx - h / 2, cy + h)})
                                 : QPolygon({QPoint(cx - h, cy - h / 2), QPoint(cx + h, cy - h / 2),
                                             QPoint(cx, cy + h / 2 + 1)});
            APainter.setPen(ink);
            APainter.setBrush(ink);
            APainter.drawPolygon(arrow);
            const int fh = rect.height() - ScaleToScreen(9);
            const int fw = static_cast<int>(std::lround(fh * 1.3));
            const QRect shape(rect.left() + ScaleToScreen(18),
                              rect.top() + (rect.height() - fh) / 2, fw, fh);
            APainter.setPen(QColor("#d8a858"));
            APainter.setBrush(QColor("#f0c870"));
            APainter.drawRect(shape.adjusted(0, 0, -1, -1));
            QFont bold = font();
            bold.setBold(true);
            APainter.setFont(bold);
            APainter.setPen(ink);
            const QRect text(shape.right() + 1 + ScaleToScreen(6), rect.top(),
                             rect.right() - shape.right() - ScaleToScreen(8), rect.height());
            const QString caption = Q(item.Folder) + "  (" +
                                    QString::number(ConnectionsInFolder(FList, item.Folder)) + ")";
            APainter.drawText(text, Qt::AlignVCenter | Qt::TextSingleLine,
                              QFontMetrics(bold).elidedText(caption, Qt::ElideRight, text.width()));
            APainter.setFont(font());
        } else {
            const TKvConnector& conn = FList[item.Conn];
            const int indent = item.Folder.empty() ? 0 : ScaleToScreen(18);
            const int side = rect.height() - ScaleToScreen(6);
            const QRect icon(rect.left() + indent + ScaleToScreen(3), rect.top() + ScaleToScreen(3),
                             side, side);
            DrawConnectorIcon(APainter, icon, conn.Kind);
            APainter.setPen(ink);
            const QRect text(icon.right() + 1 + ScaleToScreen(6), rect.top(),
                             rect.right() - icon.right() - ScaleToScreen(8), rect.height());
            APainter.drawText(
                text, Qt::AlignVCenter | Qt::TextSingleLine,
                metrics.elidedText(Q(ConnectorTitle(conn)), Qt::ElideRight, text.width()));
        }
        if (FDragging && FDropInto == row) {
            APainter.setBrush(Qt::NoBrush);
            APainter.setPen(QPen(colours.color(QPalette::Highlight), 1));
            APainter.drawRect(rect.adjusted(0, 0, -1, -1));
            APainter.drawRect(rect.adjusted(1, 1, -2, -2));
        }
    }
    if (FDragging && FDropAt >= 0) {
        const int count = static_cast<int>(FRows.size());
        const int y = FDropAt < count ? (FDropAt - top) * rowHeight : (count - top) * rowHeight - 2;
        APainter.fillRect(QRect(0, y, width, 2), colours.color(QPalette::Highlight));
    }
}

void TConnectorsForm::showEvent(QShowEvent* AEvent) {
    QDialog::showEvent(AEvent);
    if (FFocusName)
        QTimer::singleShot(0, this, [this] {
            FName->setFocus();
            FName->selectAll();
        });
}

void TConnectorsForm::changeEvent(QEvent* AEvent) {
    QDialog::changeEvent(AEvent);
    if (AEvent->type() == QEvent::ActivationChange && isActiveWindow() && FFocusName) {
        FFocusName = false;
        FName->setFocus();
        FName->selectAll();
    }
}

} // namespace kv
