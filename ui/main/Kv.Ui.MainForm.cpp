#include "Kv.Ui.MainForm.h"

#include <QApplication>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QInputDialog>
#include <QLabel>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QSplitter>
#include <QVBoxLayout>
#include <functional>
#include <typeinfo>

#include "Kv.FS.Local.h"
#include "Kv.Log.h"
#include "Kv.Platform.Folders.h"
#include "Kv.Settings.h"
#include "Kv.Ui.CompareForm.h"
#include "Kv.Ui.Dpi.h"
#include "Kv.Ui.FilePanel.h"
#include "Kv.Ui.KeyRouting.h"
#include "Kv.Ui.PathBar.h"
#include "Kv.Ui.ProgressForm.h"
#include "Kv.Ui.QueueForm.h"
#include "Kv.Ui.Prompts.h"
#include "Kv.Ui.RestoreBox.h"
#include "Kv.Ui.ShellActions.h"
#include "Kv.Ui.ShellPanel.h"
#include "Kv.Ui.TitleText.h"
#include "Kv.Ui.Theme.h"
#include "Kv.Ui.TransferStrip.h"

#ifndef KV_BUILD_NUMBER
#define KV_BUILD_NUMBER "0"
#endif

namespace kv {

namespace {

QString Q(const std::string& AText) { return QString::fromUtf8(AText.data(), static_cast<int>(AText.size())); }

std::string Trimmed(const QString& AText) { return AText.trimmed().toStdString(); }

// Runs one closing step; a failure is logged and the next step runs anyway.
template <typename TStep> void ClosingStep(const char* AName, TStep&& AStep) {
    try {
        AStep();
    } catch (const std::exception& e) {
        Log(std::string("closing: ") + AName + ": " + typeid(e).name() + ": " + e.what());
    } catch (...) {
        Log(std::string("closing: ") + AName + ": unknown failure");
    }
}

// The halves' splitter tells when its own width changed: only then is the ratio laid out on the
// width the halves really get, whether the window was maximized, restored or resized.
class TKvHalvesSplitter : public QSplitter {
public:
    TKvHalvesSplitter(QWidget* AParent, std::function<void()> AResized)
        : QSplitter(Qt::Horizontal, AParent), FResized(std::move(AResized)) {}

protected:
    void resizeEvent(QResizeEvent* AEvent) override {
        QSplitter::resizeEvent(AEvent);
        FResized();
    }

private:
    std::function<void()> FResized;
};

} // namespace

// The function-key bar: the layer for the keys held; plain and Alt slots are clickable.
class TKvKeyBar : public QWidget {
public:
    explicit TKvKeyBar(TMainForm& AForm) : QWidget(&AForm), FForm(AForm) { setMouseTracking(true); }

    void Refresh() {
        setFixedHeight(ScaleFor(this, Theme().FontHeight) + ScaleFor(this, 11));
        update();
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setFont(ThemeFont(ScaleFor(this, Theme().FontHeight)));
        const auto& items = KeyBarItems(FForm.FLayer);
        const int count = static_cast<int>(items.size());
        painter.fillRect(rect(), Qt::black);
        for (int i = 0; i < count; ++i) {
            const int left = KeyBarSlotLeft(i, width(), count);
            const int right = KeyBarSlotLeft(i + 1, width(), count);
            QString key = Q(items[i].Label() + " ");
            const int keyWidth = painter.fontMetrics().horizontalAdvance(key);
            painter.setPen(ToQColor(KeyTextColor()));
            painter.drawText(QRect(left + 2, 0, keyWidth, height()), Qt::AlignVCenter, key);
            const bool hot = i == FHover && FForm.FLayer != klCtrl;
            QRect caption(left + 2 + keyWidth, 2, right - left - keyWidth - 4, height() - 4);
            painter.fillRect(caption, hot ? ToQColor(HoverColor()) : ThemeColor(csBars));
            painter.setPen(Qt::black);
            painter.drawText(caption.adjusted(2, 0, 0, 0), Qt::AlignVCenter, Q(items[i].Caption));
        }
    }

    void mouseMoveEvent(QMouseEvent* AEvent) override {
        int slot = KeyBarSlot(AEvent->position().toPoint().x(), width(),
                              static_cast<int>(KeyBarItems(FForm.FLayer).size()));
        if (slot != FHover) {
            FHover = slot;
            update();
        }
    }

    void leaveEvent(QEvent*) override {
        FHover = -1;
        update();
    }

    void mouseReleaseEvent(QMouseEvent* AEvent) override {
        // The Ctrl layer is only a legend.
        if (AEvent->button() != Qt::LeftButton || FForm.FLayer == klCtrl)
            return;
        const auto& items = KeyBarItems(FForm.FLayer);
        int slot = KeyBarSlot(AEvent->position().toPoint().x(), width(), static_cast<int>(items.size()));
        if (slot < 0)
            return;
        FForm.RunKey(Qt::Key_F1 + items[slot].Key - 1, FForm.FLayer == klAlt ? Qt::AltModifier : Qt::NoModifier);
    }

private:
    TMainForm& FForm;
    int FHover = -1;
};

TMainForm::TMainForm(const std::string& AStateFile, const TKvStartFolders& AStart,
                     const std::string& AProblem)
    : FStateFile(AStateFile.empty() ? StatePath() : AStateFile) {
    setWindowTitle(Q(WindowTitle()));
    SetDialogMainWindow(this);
    SetDpiReferenceWindow(this);
    InstallThemeListener();
    ApplySettings(CurrentSettings());
    std::string problem = LoadAppState(FStateFile, FState);
    if (!AProblem.empty())
        problem = problem.empty() ? AProblem : AProblem + " " + problem;
    ApplyStartFolders(AStart, FState);

    FAlive = NewCancelToken();
    FMiscWorker = std::make_unique<TKvWorker>();
    FPrompts = std::make_shared<TKvUiPrompts>();
    FTransfers = std::make_unique<TKvTransferManager>([this](const TKvTransferResult& AResult) { JobDone(AResult); });
    FTransfers->OnSessionEnded = [this](TKvTransferSession& ASession) { SessionEnded(ASession); };
    StartEditSessions();

    auto* central = FCentral = new QWidget(this);
    auto* layout = new QVBoxLayout(central);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    FStrip = new TKvTransferStrip(central);
    FQueueForm = new TKvQueueForm(FStrip, FTransfers.get());
    FStrip->SetQueueForm(FQueueForm);
    layout->addWidget(FStrip);
    FSplitter = new TKvHalvesSplitter(central, [this] { LayoutHalves(); });
    FSplitter->setHandleWidth(6);
    FSplitter->setChildrenCollapsible(false);
    layout->addWidget(FSplitter, 1);
    FKeyBar = new TKvKeyBar(*this);
    layout->addWidget(FKeyBar);
    setCentralWidget(central);

    BuildHalf(rhLeft);
    BuildHalf(rhRight);
    connect(FSplitter, &QSplitter::splitterMoved, this, [this] {
        auto sizes = FSplitter->sizes();
        const int available = sizes[0] + sizes[1];
        if (available > 0)
            FState.SplitRatio = static_cast<double>(sizes[0]) / available;
        ScheduleSave();
    });

    FSaveTimer.setSingleShot(true);
    FSaveTimer.setInterval(500);
    connect(&FSaveTimer, &QTimer::timeout, this, [this] { SaveStateNow(); });

    RestoreBounds();
    const std::string home = HomeFolder();
    for (TKvHalf half : {rhLeft, rhRight})
        FHalves[half].Panel->LoadState(FState.Panels[half], home);
    BuildPlaceholders();
    FKeyBar->Refresh();
    SetActiveHalf(FState.ActiveHalf);
    if (!problem.empty())
        ShowRefusal(problem);
    qApp->installEventFilter(this);
    setAcceptDrops(true);
    FReady = true;
}

TMainForm::~TMainForm() {
    qApp->removeEventFilter(this);
    Shutdown();
    // The queue window is a window of its own (it stays above ours), not one of our children.
    FStrip->SetQueueForm(nullptr);
    delete FQueueForm;
    FQueueForm = nullptr;
    SetDialogMainWindow(nullptr);
    SetDpiReferenceWindow(nullptr);
}

std::string TMainForm::WindowTitle() { return std::string("Kolvan (build ") + KV_BUILD_NUMBER + ")"; }

void TMainForm::BuildHalf(TKvHalf AHalf) {
    THalf& half = FHalves[AHalf];
    half.Box = new QWidget(FSplitter);
    auto* layout = new QVBoxLayout(half.Box);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    half.Title = new QWidget(half.Box);
    half.Title->setAutoFillBackground(true);
    // The path bar and caption take their font and colours from the title panel.
    half.Title->setFont(ThemeFont(ScaleFor(this, Theme().FontHeight)));
    half.Title->setFixedHeight(ScaleFor(this, Theme().FontHeight) + ScaleFor(this, 9));
    auto* titleLayout = new QHBoxLayout(half.Title);
    titleLayout->setContentsMargins(0, 0, 0, 0);
    half.Caption = new QLabel(half.Title);
    half.PathBar = new TKvPathBar(half.Title);
    half.TermTitle = new TKvTitleText(half.Title);
    half.TermTitle->hide();
    titleLayout->addWidget(half.PathBar, 1);
    titleLayout->addWidget(half.Caption, 1);
    titleLayout->addWidget(half.TermTitle, 1);
    half.Switch = new TKvHybridSwitch(half.Title);
    half.Switch->hide();
    half.Switch->OnClick = [this, title = half.Title](TKvHybridSwitch*) {
        for (TKvHalf h : {rhLeft, rhRight})
            if (FHalves[h].Title == title)
                ToggleHybrid(h);
    };
    titleLayout->addWidget(half.Switch);
    half.Disconnect = NewDisconnectLabel(half.Title, [this, title = half.Title] {
        for (TKvHalf h : {rhLeft, rhRight})
            if (FHalves[h].Title == title)
                DisconnectHalf(h);
    });
    titleLayout->addWidget(half.Disconnect);
    layout->addWidget(half.Title);
    half.Panel = new TKvFilePanel(half.Box);
    layout->addWidget(half.Panel, 1);
    FSplitter->addWidget(half.Box);

    TKvFilePanel* panel = half.Panel;
    half.PathBar->OnNavigate = [this, panel](TKvPathBar*, const std::string& APath) {
        for (TKvHalf h : {rhLeft, rhRight})
            if (FHalves[h].Panel == panel)
                SetActiveHalf(h);
        if (!APath.empty() && APath[0] == '/')
            panel->NavigateWithin(APath);
        else
            panel->Navigate(APath);
    };
    panel->OnActivated = [this, panel](TKvFilePanel*) {
        for (TKvHalf h : {rhLeft, rhRight})
            if (FHalves[h].Panel == panel && FActive != h) {
                FActive = h;
                RefreshTitles();
                ScheduleSave();
            }
    };
    panel->OnPathChanged = [this, panel](TKvFilePanel*) {
        NoteOpenPath(*panel);
        for (TKvHalf h : {rhLeft, rhRight})
            if (FHalves[h].Panel == panel && FHalves[h].Hybrid)
                SendHybridFolder(h);
        RefreshTitles();
    };
    panel->OnRenameRequest = [this](TKvFilePanel*) { CopyOrMove(true); };
    panel->OnPasteRequest = [this](TKvFilePanel* APanel) { PasteInto(*APanel); };
    panel->SetPrompts(FPrompts);
    panel->OnConnected = [this](const std::string& AId, IKvFileSystemPtr AFs, const std::string& APath) {
        PanelConnected(AId, std::move(AFs), APath);
    };
    panel->OnSecretLearned = [this](const std::string& AId, const std::string& ASecret) {
        PanelSecretLearned(AId, ASecret);
    };
    panel->OnStateChanged = [this](TKvFilePanel*) { ScheduleSave(); };
    half.Box->installEventFilter(this);
}

void TMainForm::SetActiveHalf(TKvHalf AHalf) {
    FActive = AHalf;
    if (FHalves[AHalf].Restore)
        FHalves[AHalf].Restore->setFocus();
    else if (FHalves[AHalf].Shell)
        FHalves[AHalf].Shell->FocusTerminal();
    else
        FHalves[AHalf].Panel->FocusList();
    RefreshTitles();
    ScheduleSave();
}

void TMainForm::RefreshTitles() {
    for (TKvHalf h : {rhLeft, rhRight}) {
        THalf& half = FHalves[h];
        const bool active = h == FActive;
        QPalette palette = half.Title->palette();
        palette.setColor(QPalette::Window, active ? ThemeColor(csBars) : ThemeColor(csBackground));
        palette.setColor(QPalette::WindowText, active ? QColor(Qt::black) : ThemeColor(csText));
        half.Title->setPalette(palette);
        half.Caption->setPalette(palette);
        half.PathBar->setPalette(palette);
        const TKvFilePanel& panel = *half.Panel;
        half.Disconnect->setPalette(palette);
        half.TermTitle->setPalette(palette);
        TKvShellPanel* hybrid = HybridOf(h);
        half.Switch->setVisible(hybrid != nullptr);
        if (hybrid) {
            half.Switch->SetView(half.Shell ? hvShell : hvFiles);
            half.Switch->setFixedWidth(half.Title->height() * 5 / 2);
        }
        if (half.Restore || half.Shell) {
            QString text;
            if (half.Restore)
                text = " " + half.Restore->Title() + " (not connected) ";
            else if (const TTerminal* term = FindTerminal(half.Shell)) {
                const std::string shown = half.Shell->Title();
                text = " " + Q(shown.empty() ? term->Title : shown) + " ";
            }
            half.Disconnect->show();
            half.PathBar->hide();
            half.Caption->hide();
            half.TermTitle->SetText(text);
            half.TermTitle->show();
            continue;
        }
        half.TermTitle->hide();
        half.Disconnect->setVisible(panel.IsRemote());
        const std::string path = panel.Path();
        const bool local = panel.IsPlainLocal();
        const bool serverPath = panel.IsRemote() && !path.empty() && path[0] == '/';
        if (local || serverPath) {
            half.PathBar->SetPrefix(local ? std::string() : panel.FileSystem()->DisplayPrefix());
            half.PathBar->SetPath(path);
            half.PathBar->show();
            half.Caption->hide();
        } else {
            const QFontMetrics metrics(half.Caption->font());
            std::string text = ShortenCaption(panel.DisplayPath(), panel.width() - ScaleFor(this, 16),
                                              [&](const std::string& AText) {
                                                  return metrics.horizontalAdvance(Q(AText));
                                              });
            half.Caption->setText(" " + Q(text).replace("&", "&&") + " ");
            half.Caption->show();
            half.PathBar->hide();
        }
    }
}

void TMainForm::ScheduleSave() {
    if (FReady && !FClosing)
        FSaveTimer.start();
}

void TMainForm::CollectState() {
    FState.ActiveHalf = FActive;
    CollectSessions();
    for (TKvHalf h : {rhLeft, rhRight})
        FHalves[h].Panel->SaveState(FState.Panels[h]);
    const QRect normal = normalGeometry().isValid() ? normalGeometry() : geometry();
    FState.Window.Valid = true;
    FState.Window.Left = normal.left();
    FState.Window.Top = normal.top();
    FState.Window.Width = normal.width();
    FState.Window.Height = normal.height();
    FState.Window.Maximized = isMaximized();
}

void TMainForm::SaveStateNow() {
    FSaveTimer.stop();
    CollectState();
    SaveAppState(FStateFile, FState);
}

void TMainForm::RestoreBounds() {
    setMinimumSize(480, 240);
    const auto& window = FState.Window;
    QRect stored(window.Left, window.Top, window.Width, window.Height);
    bool onScreen = false;
    for (QScreen* screen : QGuiApplication::screens())
        onScreen = onScreen || screen->geometry().intersects(stored);
    if (window.Valid && onScreen) {
        setGeometry(stored);
        if (window.Maximized)
            setWindowState(windowState() | Qt::WindowMaximized);
    } else {
        resize(1000, 600);
        if (QScreen* screen = QGuiApplication::primaryScreen())
            move(screen->availableGeometry().center() - rect().center());
    }
}

void TMainForm::resizeEvent(QResizeEvent* AEvent) {
    QMainWindow::resizeEvent(AEvent);
    ScheduleSave();
}

void TMainForm::LayoutHalves() {
    if (FHalves[rhRight].Box == nullptr)
        return;
    const int client = FSplitter->width();
    const int left = LeftHalfWidth(client, FSplitter->handleWidth(), FState.SplitRatio, ScaleFor(this, 120));
    FSplitter->setSizes({left, client - FSplitter->handleWidth() - left});
    RefreshTitles();
}

void TMainForm::moveEvent(QMoveEvent* AEvent) {
    QMainWindow::moveEvent(AEvent);
    ScheduleSave();
}

bool TMainForm::focusNextPrevChild(bool) {
    SetActiveHalf(Other(FActive));
    return true;
}

bool TMainForm::eventFilter(QObject* AWatched, QEvent* AEvent) {
    // The few window keys a terminal lets through are taken before the terminal sees them.
    if (AEvent->type() == QEvent::KeyPress && qobject_cast<TKvTerminal*>(AWatched) &&
        static_cast<QWidget*>(AWatched)->window() == this && TerminalKey(static_cast<QKeyEvent*>(AEvent)))
        return true;
    // The key bar follows the modifiers held, whichever widget of this window has the focus.
    if ((AEvent->type() == QEvent::KeyPress || AEvent->type() == QEvent::KeyRelease) && AWatched->isWidgetType() &&
        static_cast<QWidget*>(AWatched)->window() == this) {
        auto* key = static_cast<QKeyEvent*>(AEvent);
        // Whether a modifier's own press already carries it in the event's set differs between
        // platforms: the key itself decides.
        Qt::KeyboardModifiers mods = key->modifiers();
        const bool press = AEvent->type() == QEvent::KeyPress;
        auto follow = [&](int AKey, Qt::KeyboardModifier AModifier) {
            if (key->key() == AKey)
                mods = press ? (mods | AModifier) : (mods & ~AModifier);
        };
        follow(Qt::Key_Alt, Qt::AltModifier);
        follow(Qt::Key_Control, Qt::ControlModifier);
        UpdateLayer(mods);
    }
    // A press anywhere in a half makes it the active one, and its keys go there too, unless
    // the press lands on something that takes the focus itself (the path bar's editor).
    if (AEvent->type() == QEvent::MouseButtonPress && AWatched->isWidgetType())
        for (TKvHalf h : {rhLeft, rhRight}) {
            auto* widget = static_cast<QWidget*>(AWatched);
            if (widget != FHalves[h].Box && !FHalves[h].Box->isAncestorOf(widget))
                continue;
            if (widget->focusPolicy() & Qt::ClickFocus) {
                if (FActive != h) {
                    FActive = h;
                    RefreshTitles();
                    ScheduleSave();
                }
            } else if (FActive != h || !FHalves[h].Panel->ListHasFocus()) {
                SetActiveHalf(h);
            }
        }
    return QMainWindow::eventFilter(AWatched, AEvent);
}

void TMainForm::UpdateLayer(Qt::KeyboardModifiers AModifiers) {
    TKvKeyLayer layer = (AModifiers & Qt::AltModifier) ? klAlt : (AModifiers & Qt::ControlModifier) ? klCtrl : klPlain;
    if (layer != FLayer) {
        FLayer = layer;
        FKeyBar->update();
    }
}

void TMainForm::keyPressEvent(QKeyEvent* AEvent) {
    // A text field ignores some keys it does not use; they are still not the panel's.
    if (KeyStaysInTextField(QApplication::focusWidget(), AEvent))
        return;
    RunKey(AEvent->key(), AEvent->modifiers());
}

void TMainForm::changeEvent(QEvent* AEvent) {
    if (AEvent->type() == QEvent::ActivationChange && !isActiveWindow())
        UpdateLayer(Qt::NoModifier);
    QMainWindow::changeEvent(AEvent);
}

void TMainForm::RunKey(int AKey, Qt::KeyboardModifiers AModifiers) {
    const Qt::KeyboardModifiers mods = AModifiers & ~Qt::KeypadModifier;
    const bool none = mods == Qt::NoModifier, shift = mods == Qt::ShiftModifier, alt = mods == Qt::AltModifier,
               ctrl = mods == Qt::ControlModifier;
    if (FConsole && FConsole->isVisible()) {
        if (AKey == Qt::Key_O && ctrl)
            ToggleCommandLine();
        return;
    }
    const THalf& active = FHalves[FActive];
    TKvShellPanel* shell = active.Shell;
    TTerminal* term = shell ? FindTerminal(shell) : nullptr;
    // F3 to F8 have nothing to work on in a placeholder or a terminal.
    const bool fileKey = ((AKey >= Qt::Key_F3 && AKey <= Qt::Key_F8) || AKey == Qt::Key_Delete) && (none || shift) &&
                         !(AKey == Qt::Key_F4 && shift) && !(AKey == Qt::Key_F6 && shift && shell);
    if (fileKey && (active.Restore || (shell && !(none && (AKey == Qt::Key_F5 || AKey == Qt::Key_F6))))) {
        QApplication::beep();
        return;
    }
    switch (AKey) {
    case Qt::Key_F1:
        if (none)
            ShowConnectionPicker(FActive);
        else if (alt)
            ShowDriveMenu(rhLeft);
        return;
    case Qt::Key_F2:
        if (none)
            CompareHalves();
        else if (shift)
            SideBySide();
        else if (alt)
            ShowDriveMenu(rhRight);
        return;
    case Qt::Key_F3:
        if (none)
            ViewFocused();
        return;
    case Qt::Key_F:
        if (ctrl)
            ShowConnectionPicker(FActive);
        return;
    case Qt::Key_F4:
        if (alt)
            close();
        else if (none)
            EditFocused();
        else if (shift)
            EditNewFile();
        return;
    case Qt::Key_F5:
        if (alt) {
            // A terminal has no selection of files to zip.
            if (shell || active.Restore)
                QApplication::beep();
            else
                ZipSelection();
        } else if (none && shell) {
            TerminalCommand(term, tcCopy);
        } else if (none) {
            CopyOrMove(false);
        }
        return;
    case Qt::Key_F6:
        if (shell && (none || shift)) {
            TerminalCommand(term, none ? tcMove : tcRename);
        } else if (none) {
            CopyOrMove(true);
        }
        return;
    case Qt::Key_F7:
        if (none)
            MakeFolder();
        else if (alt)
            SearchFiles();
        return;
    case Qt::Key_F8:
    case Qt::Key_Delete:
        if (none || shift)
            DeleteSelection(shift);
        return;
    case Qt::Key_F9:
        if (none || shift)
            ShowOptions();
        return;
    case Qt::Key_F10:
        if (none)
            close();
        return;
    case Qt::Key_H:
        if (ctrl)
            ToggleHidden();
        return;
    case Qt::Key_O:
        if (ctrl)
            ToggleCommandLine();
        return;
    case Qt::Key_U:
        if (ctrl || mods == (Qt::ControlModifier | Qt::ShiftModifier))
            SwapHalves();
        return;
    default:
        return;
    }
}

void TMainForm::ShowHalves(bool AOn) {
    FSplitter->setVisible(AOn);
    FKeyBar->setVisible(AOn);
}

void TMainForm::ShowRefusal(const std::string& AText) { FHalves[FActive].Panel->ShowResult(AText, true); }

void TMainForm::CopyOrMove(bool AMove) {
    TKvFilePanel& source = *FHalves[FActive].Panel;
    TKvFileEntries items = source.SelectedEntries();
    if (items.empty() || source.Path().empty())
        return;
    // The other half may be a terminal: its files' folder is where copies go.
    IKvFileSystemPtr destFs;
    std::string destDir, refusal;
    if (!TransferTarget(Other(FActive), destFs, destDir, refusal)) {
        ShowRefusal(refusal);
        return;
    }
    auto sourceFs = source.FileSystem();
    if (destFs->ReadOnly())
        refusal = KOtherHalfArchive;
    else if (AMove && sourceFs->ReadOnly())
        refusal = KNoMoveFromArchive;
    const std::string verb = AMove ? "Move" : "Copy";
    const std::string prompt = TransferPrompt(verb, items, destFs->DisplayPrefix());
    const std::string proposed =
        ProposedDestination(sourceFs->Id(), source.Path(), destFs->Id(), destDir, items);
    auto resolve = [&](const std::string& AText) {
        return destFs->Resolve(sourceFs->Id() == destFs->Id() ? source.Path() : destDir, AText);
    };

    std::string target;
    if (!AMove) {
        if (!refusal.empty()) {
            ShowRefusal(refusal);
            return;
        }
        std::string answer;
        if (!AskLine(this, "Copy", Q(prompt).replace("&", "&&").toStdString(), proposed, answer) ||
            Trimmed(Q(answer)).empty())
            return;
        target = resolve(Trimmed(Q(answer)));
    } else {
        TKvFileEntry focused;
        const bool hasFocused = source.FocusedEntry(focused);
        const TKvFileEntries marked = source.MarkedEntries();
        const std::string oldName = RenameCandidate(marked, hasFocused ? &focused : nullptr, sourceFs->ReadOnly());
        if (oldName.empty() && !refusal.empty()) {
            ShowRefusal(refusal);
            return;
        }
        bool isDir = false;
        for (const auto& item : items)
            if (item.Name == oldName)
                isDir = item.IsDir;
        bool movePage = marked.size() > 1;
        std::string text;
        if (!AskRenameOrMove(oldName, isDir, prompt, refusal, proposed, movePage, text))
            return;
        if (!movePage) {
            source.RenameItem(oldName, text);
            return;
        }
        target = resolve(text);
    }
    TKvTransferRequest request;
    request.Kind = AMove ? tkMove : tkCopy;
    request.SourceFs = sourceFs;
    request.SourceDir = source.Path();
    request.Items = items;
    request.DestFs = destFs;
    request.DestPath = target;
    StartRequest(request);
    source.ClearMarks();
}

void TMainForm::StartRequest(const TKvTransferRequest& ARequest) {
    TKvTransferSession& session = FTransfers->Enqueue(ARequest);
    TProgressForm* form = ProgressFormOf(session);
    if (!form)
        form = &NewProgressForm(session, FStrip);
    form->Watch();
}

void TMainForm::MakeFolder() {
    TKvFilePanel& panel = *FHalves[FActive].Panel;
    if (panel.Path().empty())
        return;
    if (panel.FileSystem()->ReadOnly()) {
        ShowRefusal("Archives are read-only");
        return;
    }
    std::string name;
    if (AskLine(this, "Make directory", "Name:", "", name) && !Trimmed(Q(name)).empty())
        panel.MakeDirectory(Trimmed(Q(name)));
}

void TMainForm::DeleteSelection(bool APermanent) {
    TKvFilePanel& panel = *FHalves[FActive].Panel;
    TKvFileEntries items = panel.SelectedEntries();
    if (items.empty())
        return;
    if (panel.FileSystem()->ReadOnly()) {
        ShowRefusal("Archives are read-only, so nothing can be deleted from them");
        return;
    }
    const bool permanent = APermanent || !panel.CanRecycle();
    QMessageBox box(permanent ? QMessageBox::Warning : QMessageBox::Question, "Kolvan",
                    Q(DeleteQuestion(items, permanent)), QMessageBox::Yes | QMessageBox::No, this);
    // What cannot be undone is never the default.
    box.setDefaultButton(permanent ? QMessageBox::No : QMessageBox::Yes);
    if (box.exec() != QMessageBox::Yes)
        return;
    TKvTransferRequest request;
    request.Kind = tkDelete;
    request.SourceFs = panel.FileSystem();
    request.SourceDir = panel.Path();
    request.Items = items;
    request.Permanent = permanent;
    StartRequest(request);
    panel.ClearMarks();
}

void TMainForm::SwapHalves() {
    QWidget* left = FHalves[rhLeft].Box;
    std::swap(FHalves[rhLeft], FHalves[rhRight]);
    FSplitter->insertWidget(0, FHalves[rhLeft].Box);
    FSplitter->insertWidget(1, left);
    // The content moved: the focus goes with it.
    FActive = Other(FActive);
    SetActiveHalf(FActive);
    LayoutHalves();
}

void TMainForm::ToggleHidden() {
    TKvSettings settings = CurrentSettings();
    settings.ShowHidden = !settings.ShowHidden;
    SetCurrentSettings(settings);
    SaveSettings();
    for (TKvHalf h : {rhLeft, rhRight})
        FHalves[h].Panel->Reload();
}

void TMainForm::JobDone(const TKvTransferResult& AResult) {
    if (FClosing)
        return;
    for (TKvHalf h : {rhLeft, rhRight})
        FHalves[h].Panel->Reload();
    for (auto& term : FTerminals)
        term->Shell->RefreshLinks();
    bool isError = false;
    std::string text = JobDoneText(AResult, isError);
    FHalves[FActive].Panel->ShowResult(text, isError);
    if (FTransfers->PendingJobs() == 0)
        TKvCompareForm::TransfersFinishedAll();
}

void TMainForm::SessionEnded(TKvTransferSession& ASession) {
    if (TProgressForm* form = ProgressFormOf(ASession))
        form->SessionEnded();
    ASession.Data.reset();
}

void TMainForm::closeEvent(QCloseEvent* AEvent) {
    std::vector<std::string> going;
    if (FTransfers->IsBusy())
        going.push_back("a copy, move or delete is running, and it will be cancelled");
    if (FEdits && FEdits->Busy())
        going.push_back("a file you edited is being sent to the server, or was saved and is not sent yet");
    for (const auto& term : FTerminals)
        if (term->Shell->IsOpen())
            going.push_back("the terminal \"" + term->Title + "\" is connected, and a command may still be running in it");
    if (!going.empty()) {
        QMessageBox box(QMessageBox::Warning, "Kolvan", Q(StillGoingOnText(going)), QMessageBox::Yes | QMessageBox::No,
                        this);
        box.setDefaultButton(QMessageBox::No);
        if (box.exec() != QMessageBox::Yes) {
            AEvent->ignore();
            return;
        }
    }
    Shutdown();
    AEvent->accept();
}

void TMainForm::Shutdown() {
    if (FShutDown)
        return;
    FShutDown = true;
    FSaveTimer.stop();
    ClosingStep("save", [this] { SaveStateNow(); });
    ClosingStep("start folders", [this] { StoreStartFolders(); });
    FClosing = true;
    ClosingStep("cancel", [this] { FAlive->Cancel(); });
    ClosingStep("transfers", [this] { FTransfers->Shutdown(2000); });
    ClosingStep("copy windows", [this] {
        FStrip->Clear();
        FQueueForm->Shutdown();
        for (int i = 0; i < FTransfers->SessionCount(); ++i) {
            TKvTransferSession& session = FTransfers->SessionAt(i);
            if (TProgressForm* form = ProgressFormOf(session))
                form->Shutdown();
            session.Data.reset();
        }
    });
    ClosingStep("panel", [this] {
        for (TKvHalf h : {rhLeft, rhRight})
            FHalves[h].Panel->Shutdown();
    });
    ClosingStep("terminal", [this] {
        for (auto& term : FTerminals)
            term->Shell->Close();
        for (TKvHalf h : {rhLeft, rhRight})
            FHalves[h].Hybrid = nullptr;
    });
    ClosingStep("console", [this] {
        if (FConsole)
            FConsole->Close();
    });
    ClosingStep("worker", [this] { FMiscWorker->Stop(100); });
}

} // namespace kv
