#include "Kv.Ui.ShellPanel.h"

#include <QFontMetrics>
#include <QLabel>
#include <QTimer>
#include <QVBoxLayout>

#include "Kv.Log.h"
#include "Kv.Shell.Local.h"
#include "Kv.Shell.Ssh.h"
#include "Kv.Shell.Telnet.h"

namespace kv {

namespace {

QColor SlotColor(TKvColor AColor) {
    return QColor(int(AColor & 0xFF), int((AColor >> 8) & 0xFF), int((AColor >> 16) & 0xFF));
}

} // namespace

TKvShellPanel::TKvShellPanel(QWidget* AParent, TKvShellClock AClock)
    : QWidget(AParent), FModel(std::make_unique<TKvShellPanelModel>(std::move(AClock))) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    FTerminal = new TKvTerminal(this);
    FStatus = new QLabel(this);
    FStatus->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    FStatus->setAutoFillBackground(true);
    layout->addWidget(FTerminal, 1);
    layout->addWidget(FStatus);
    FTerminal->SetTerm(&FModel->Screen());
    ApplyTheme(FTerminal->Look());

    FTerminal->OnInput = [this](TKvTerminal*, const std::string& AData) { FModel->Input(AData); };
    FTerminal->OnGridChanged = [this](TKvTerminal*, int ACols, int ARows) {
        FModel->Resize(ACols, ARows);
    };
    FTerminal->OnActivated = [this](TKvTerminal*) {
        if (OnActivated)
            OnActivated(this);
    };
    FTerminal->OnLinkDblClick = [this](TKvTerminal*, const TKvTermLink& ALink) {
        // A folder: the shell goes there, by the name as shown (relative to its folder).
        if (ALink.IsDir && FModel->FilesReady())
            FModel->TypeCd(ALink.Name);
        ShowStatus();
    };

    TKvShellPanelModel::THooks hooks;
    // The reader thread: the control coalesces repaint requests from any thread.
    hooks.NotifyChanged = [this] { FTerminal->NotifyChanged(); };
    hooks.SetLinks = [this](const std::vector<TKvShellLink>& ALinks) {
        std::vector<TKvTermLink> links;
        links.reserve(ALinks.size());
        for (const auto& l : ALinks)
            links.push_back({l.Name, l.Path, l.IsDir, l.Size});
        FTerminal->SetLinks(links);
    };
    hooks.TitleChanged = [this] {
        if (OnTitleChanged)
            OnTitleChanged(this);
    };
    hooks.WorkChanged = [this] {
        if (OnWorkChanged)
            OnWorkChanged(this);
    };
    hooks.Ended = [this] {
        ShowStatus();
        if (OnEnded)
            OnEnded(this);
    };
    hooks.VisibleLines = [this](int& AFirst, int& ALast) { FTerminal->VisibleLines(AFirst, ALast); };
    hooks.Reconnect = [this] {
        const TKvConnector conn = FModel->ReconnectTarget();
        IKvSshShellPtr shell = conn.Kind == ckTelnet ? IKvSshShellPtr(TKvTelnetShell::Create(conn))
                                                     : IKvSshShellPtr(TKvSshShell::Create(conn, FModel->Ui()));
        FModel->Reconnect(std::move(shell));
        ShowStatus();
        if (OnTitleChanged)
            OnTitleChanged(this);
    };
    FModel->SetHooks(std::move(hooks));

    FTimer = new QTimer(this);
    FTimer->setInterval(250);
    connect(FTimer, &QTimer::timeout, this, [this] { Tick(); });
}

TKvShellPanel::~TKvShellPanel() {
    FTimer->stop();
    // The shell's reader thread stops reaching the control before anything goes.
    FModel->Close();
    FModel->SetHooks({});
    FTerminal->SetTerm(nullptr);
    FModel.reset();
}

void TKvShellPanel::Start(const TKvConnector& AConn, IKvConnectUiPtr AUi, IKvSshShellPtr AShell,
                          bool ALocal, const std::string& AName) {
    FTerminal->SetIgnoreColors(AConn.IgnoreColors);
    FTerminal->RightClickCopyPaste = ALocal;
    FTerminal->SetLinks({});
    show();
    // The control has fitted the screen to itself; the shell starts with that size.
    auto& screen = FModel->Screen();
    screen.Lock();
    const int cols = screen.Cols(), rows = screen.Rows();
    screen.Unlock();
    if (ALocal)
        FModel->OpenLocal(std::move(AShell), AName, cols, rows);
    else
        FModel->Open(AConn, std::move(AUi), std::move(AShell), cols, rows);
    FTimer->start();
    FocusTerminal();
    ShowStatus();
}

void TKvShellPanel::Open(const TKvConnector& AConn, IKvConnectUiPtr AUi) {
    IKvSshShellPtr shell;
    if (AConn.Kind == ckTelnet)
        shell = TKvTelnetShell::Create(AConn);
    else
        shell = TKvSshShell::Create(AConn, AUi);
    OpenShell(AConn, std::move(AUi), std::move(shell));
}

void TKvShellPanel::OpenShell(const TKvConnector& AConn, IKvConnectUiPtr AUi,
                              IKvSshShellPtr AShell) {
    Start(AConn, std::move(AUi), std::move(AShell), false, "");
}

void TKvShellPanel::OpenLocal(const std::string& ADir) {
    auto shell = TKvLocalShell::Create(ADir);
    const std::string name = shell->ShellName();
    Start({}, nullptr, std::move(shell), true, name);
}

void TKvShellPanel::Close() {
    FModel->Close();
    FTerminal->SetLinks({});
    ShowStatus();
}

IKvFileSystemPtr TKvShellPanel::FileSystem() {
    return FModel->Files() ? FModel->Files()->Fs() : nullptr;
}

void TKvShellPanel::FocusTerminal() {
    FTerminal->setFocus();
}

bool TKvShellPanel::TerminalHasFocus() const {
    return FTerminal->hasFocus();
}

bool TKvShellPanel::HasSelection() const {
    return FTerminal->HasSelection();
}

bool TKvShellPanel::FullScreenApp() {
    auto& screen = FModel->Screen();
    screen.Lock();
    const bool alt = screen.AltScreen();
    screen.Unlock();
    return alt;
}

void TKvShellPanel::ApplyTheme(const TKvTermLook& ALook) {
    QPalette palette = FStatus->palette();
    palette.setColor(QPalette::Window, SlotColor(ALook.Colors[csTerminalBackground]));
    palette.setColor(QPalette::WindowText, SlotColor(ALook.Colors[csHidden]));
    FStatus->setPalette(palette);
    setAutoFillBackground(true);
    QPalette own = this->palette();
    own.setColor(QPalette::Window, SlotColor(ALook.Colors[csTerminalBackground]));
    setPalette(own);
    QFont font(QString::fromStdString(ALook.FontName));
    font.setPixelSize(ALook.FontHeight * logicalDpiY() / 96);
    FStatus->setFont(font);
    FStatus->setFixedHeight(QFontMetrics(font).height() + 4);
    FTerminal->ApplyTheme(ALook);
}

void TKvShellPanel::RefreshLinks() {
    if (isVisible())
        FModel->RefreshLinks();
}

void TKvShellPanel::ChangeDir(const std::string& APath) {
    if (!FModel->Files())
        return;
    FModel->TypeCd(FModel->Files()->FromSftp(APath));
    ShowStatus();
}

QString TKvShellPanel::StatusText() const {
    return FStatus->text();
}

void TKvShellPanel::SetStatus(const std::string& AText, int ASeconds) {
    FModel->SetStatus(AText, ASeconds);
    ShowStatus();
}

void TKvShellPanel::Tick() {
    FModel->Tick();
    ShowStatus();
}

void TKvShellPanel::ShowStatus() {
    const std::string text = FModel->LastStatus();
    const QString shown = text.empty() ? QString() : " " + QString::fromStdString(text);
    if (FStatus->text() != shown)
        FStatus->setText(shown);
}

} // namespace kv
