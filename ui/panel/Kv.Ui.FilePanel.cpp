#include "Kv.Ui.FilePanel.h"

#include <QAbstractScrollArea>
#include <QApplication>
#include <QFocusEvent>
#include <QHBoxLayout>
#include <QHelpEvent>
#include <QInputDialog>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QContextMenuEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>
#include <QSocketNotifier>
#include <QTimer>
#include <QToolButton>
#include <QToolTip>
#include <QVBoxLayout>
#include <chrono>
#include <optional>
#include <sys/inotify.h>
#include <unistd.h>

#include "Kv.Archives.h"
#include "Kv.FS.Local.h"
#include "Kv.Log.h"
#include "Kv.Platform.Errors.h"
#include "Kv.Platform.Folders.h"
#include "Kv.Platform.Launch.h"
#include "Kv.ServerPaths.h"
#include "Kv.Settings.h"
#include "Kv.Ui.Dpi.h"
#include "Kv.Ui.PanelPlaces.h"
#include "Kv.Ui.Theme.h"

namespace kv {

namespace {

QString Q(const std::string& AText) { return QString::fromUtf8(AText.data(), static_cast<int>(AText.size())); }

uint64_t SteadyMs() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

// Drops the last character (not just the last byte) of a UTF-8 text.
void PopLastCharacter(std::string& AText) {
    while (!AText.empty()) {
        unsigned char last = static_cast<unsigned char>(AText.back());
        AText.pop_back();
        if ((last & 0xC0) != 0x80)
            break;
    }
}

const QColor KErrorBackground(170, 0, 0);

// How long after a change in the shown folder it is listed again; changes meanwhile wait for
// the same listing, so a copy of thousands of files lists the folder a few times a second at most.
constexpr int KLiveReloadMs = 300;

} // namespace

// Watches one local folder with inotify and calls back on any change of its entries, their
// names, sizes or times.
class TKvFolderWatch {
public:
    // The inotify descriptor, shared with listing jobs so they can prime a watch on their thread.
    struct TFd {
        int Fd = -1;
        ~TFd() {
            if (Fd >= 0)
                ::close(Fd);
        }
    };
    using TFdPtr = std::shared_ptr<const TFd>;
    static constexpr uint32_t KMask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_MODIFY |
                                      IN_CLOSE_WRITE | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

    explicit TKvFolderWatch(QObject* AOwner, std::function<void()> AChanged)
        : FChanged(std::move(AChanged)) {
        auto fd = std::make_shared<TFd>();
        fd->Fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        FFd = fd;
        if (fd->Fd < 0)
            return;
        FNotifier = new QSocketNotifier(fd->Fd, QSocketNotifier::Read, AOwner);
        QObject::connect(FNotifier, &QSocketNotifier::activated, AOwner, [this] { Drain(); });
    }
    ~TKvFolderWatch() { delete FNotifier; }

    const TFdPtr& Descriptor() const { return FFd; }

    // Starting to watch a folder makes the kernel mark every cached entry of it, which takes
    // milliseconds for a folder of 100,000 files. A listing job does that on its own thread; the
    // window's Watch of the same folder then gets the same watch back at no cost.
    static void Prime(const TFdPtr& AFd, const std::string& APath) {
        if (AFd && AFd->Fd >= 0)
            ::inotify_add_watch(AFd->Fd, APath.c_str(), KMask);
    }

    // An empty path watches nothing.
    void Watch(const std::string& APath) {
        if (FFd->Fd < 0 || APath == FPath)
            return;
        if (FWatch >= 0)
            ::inotify_rm_watch(FFd->Fd, FWatch);
        FWatch = -1;
        FPath = APath;
        if (!APath.empty())
            FWatch = ::inotify_add_watch(FFd->Fd, APath.c_str(), KMask);
    }

private:
    void Drain() {
        alignas(struct inotify_event) char buffer[8192];
        bool changed = false;
        for (;;) {
            ssize_t n = ::read(FFd->Fd, buffer, sizeof buffer);
            if (n <= 0)
                break;
            // Only the shown folder counts: a job that was replaced may have primed another.
            for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
                if (event->wd == FWatch && FWatch >= 0)
                    changed = true;
                at += sizeof(inotify_event) + event->len;
            }
        }
        if (changed)
            FChanged();
    }

    TFdPtr FFd;
    int FWatch = -1;
    std::string FPath;
    QSocketNotifier* FNotifier = nullptr;
    std::function<void()> FChanged;
};

// The header: column titles, dividers that can be dragged, clicks that sort.
class TKvPanelHeader : public QWidget {
public:
    explicit TKvPanelHeader(TKvFilePanel& APanel) : QWidget(&APanel), FPanel(APanel) { setMouseTracking(true); }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        const auto& model = FPanel.Model();
        painter.fillRect(rect(), ThemeColor(csBackground));
        painter.setFont(ThemeFont(ScaleFor(this, Theme().FontHeight)));
        TKvColumnLayout layout = model.Layout(width(), FPanel.Scale());
        const int pad = ScaleFor(this, 4);
        painter.setPen(ThemeColor(csMarked));
        painter.drawText(QRect(pad, 0, layout.SizeStart - 2 * pad, height()), Qt::AlignVCenter | Qt::AlignLeft,
                         Q(model.HeaderText(hhName)));
        if (layout.ShowSize)
            painter.drawText(QRect(layout.SizeStart + pad, 0, layout.DateStart - layout.SizeStart - 2 * pad, height()),
                             Qt::AlignVCenter | Qt::AlignRight, Q(model.HeaderText(hhSize)));
        if (layout.ShowDate)
            painter.drawText(QRect(layout.DateStart + pad, 0, width() - layout.DateStart - 2 * pad, height()),
                             Qt::AlignVCenter | Qt::AlignLeft, Q(model.HeaderText(hhTime)));
        painter.setPen(ThemeColor(csBars));
        if (layout.ShowSize)
            painter.drawLine(layout.SizeStart, 0, layout.SizeStart, height());
        if (layout.ShowDate)
            painter.drawLine(layout.DateStart, 0, layout.DateStart, height());
        painter.drawLine(0, height() - 1, width(), height() - 1);
    }

    void mousePressEvent(QMouseEvent* AEvent) override {
        if (AEvent->button() != Qt::LeftButton)
            return;
        TKvHeaderHit hit = FPanel.Model().HitHeader(AEvent->position().toPoint().x(), width(), FPanel.Scale());
        if (hit == hhSizeDivider || hit == hhDateDivider) {
            FDrag = hit;
            FMoved = false;
            return;
        }
        FPanel.SortBy(hit == hhName ? scName : hit == hhTime ? scTime : scSize);
    }

    void mouseMoveEvent(QMouseEvent* AEvent) override {
        const int x = AEvent->position().toPoint().x();
        if (FDrag) {
            if (FPanel.FModel.DragDivider(*FDrag, x, width(), FPanel.Scale())) {
                FMoved = true;
                FPanel.ModelChanged();
            }
            return;
        }
        TKvHeaderHit hit = FPanel.Model().HitHeader(x, width(), FPanel.Scale());
        setCursor(hit == hhSizeDivider || hit == hhDateDivider ? Qt::SplitHCursor : Qt::ArrowCursor);
    }

    void mouseReleaseEvent(QMouseEvent*) override {
        bool changed = FDrag && FMoved;
        FDrag.reset();
        if (changed && FPanel.OnStateChanged)
            FPanel.OnStateChanged(&FPanel);
    }

private:
    TKvFilePanel& FPanel;
    std::optional<TKvHeaderHit> FDrag;
    bool FMoved = false;
};

// The rows: only the visible ones are painted, so a folder of 100,000 entries scrolls as
// fast as one of ten.
class TKvPanelList : public QAbstractScrollArea {
public:
    explicit TKvPanelList(TKvFilePanel& APanel) : QAbstractScrollArea(&APanel), FPanel(APanel) {
        setFocusPolicy(Qt::StrongFocus);
        setFrameShape(QFrame::NoFrame);
        setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        viewport()->setAutoFillBackground(false);
        connect(verticalScrollBar(), &QScrollBar::valueChanged, this, [this](int AValue) {
            if (AValue != FPanel.Model().Top()) {
                FPanel.FModel.SetTop(AValue);
                viewport()->update();
            }
        });
    }

    int PageRows() const { return std::max(1, viewport()->height() / std::max(1, FPanel.RowHeight())); }

    void Sync() {
        FPanel.FModel.SetPageRows(PageRows());
        auto* bar = verticalScrollBar();
        QSignalBlocker block(bar);
        bar->setRange(0, std::max(0, FPanel.Model().RowCount() - PageRows()));
        bar->setPageStep(PageRows());
        bar->setValue(FPanel.Model().Top());
        viewport()->update();
    }

    int RowAt(int AY) const { return FPanel.Model().Top() + AY / std::max(1, FPanel.RowHeight()); }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(viewport());
        const auto& model = FPanel.Model();
        const int rowHeight = FPanel.RowHeight();
        const int w = viewport()->width();
        painter.fillRect(viewport()->rect(), ThemeColor(csBackground));
        painter.setFont(ThemeFont(ScaleFor(this, Theme().FontHeight)));
        TKvColumnLayout layout = model.Layout(w, FPanel.Scale());
        const int pad = ScaleFor(this, 4);
        const QFontMetrics metrics(painter.font());
        const int last = std::min(model.RowCount(), model.Top() + PageRows() + 1);
        for (int i = model.Top(); i < last; ++i) {
            QRect rowRect(0, (i - model.Top()) * rowHeight, w, rowHeight);
            if (i == model.Focus() && hasFocus())
                painter.fillRect(rowRect, ThemeColor(csBars));
            painter.setPen(FPanel.RowTextColor(i));
            QRect name(pad, rowRect.top(), layout.SizeStart - 2 * pad, rowHeight);
            painter.drawText(
                name, Qt::AlignVCenter | Qt::AlignLeft,
                metrics.elidedText(Q(model.NameText(i)), Qt::ElideRight, name.width()));
            if (layout.ShowSize) {
                QRect size(layout.SizeStart + pad, rowRect.top(),
                           layout.DateStart - layout.SizeStart - 2 * pad, rowHeight);
                const QString text = Q(FPanel.ShownSizeText(i));
                // Even the short form too wide: cut on the right, where a number loses least.
                if (metrics.horizontalAdvance(text) > size.width())
                    painter.drawText(size, Qt::AlignVCenter | Qt::AlignLeft,
                                     metrics.elidedText(text, Qt::ElideRight, size.width()));
                else
                    painter.drawText(size, Qt::AlignVCenter | Qt::AlignRight, text);
            }
            if (layout.ShowDate)
                painter.drawText(QRect(layout.DateStart + pad, rowRect.top(), w - layout.DateStart - pad, rowHeight),
                                 Qt::AlignVCenter | Qt::AlignLeft, Q(model.DateText(i)));
        }
    }

    void resizeEvent(QResizeEvent* AEvent) override {
        QAbstractScrollArea::resizeEvent(AEvent);
        Sync();
    }

    void keyPressEvent(QKeyEvent* AEvent) override {
        if (!FPanel.HandleKey(AEvent->key(), AEvent->modifiers(), AEvent->text()))
            QAbstractScrollArea::keyPressEvent(AEvent);
    }

    void mousePressEvent(QMouseEvent* AEvent) override {
        setFocus();
        if (AEvent->button() == Qt::LeftButton) {
            int row = RowAt(AEvent->position().toPoint().y());
            if (row < FPanel.Model().RowCount()) {
                FPanel.FModel.SetFocus(row);
                FPanel.ModelChanged();
            }
        }
    }

    // A right click focuses the row under the mouse first.
    void contextMenuEvent(QContextMenuEvent* AEvent) override {
        if (AEvent->reason() == QContextMenuEvent::Mouse) {
            int row = RowAt(AEvent->pos().y());
            if (row < FPanel.Model().RowCount()) {
                FPanel.FModel.SetFocus(row);
                FPanel.ModelChanged();
            }
        }
        std::unique_ptr<QMenu> menu(FPanel.NewContextMenu());
        menu->exec(AEvent->globalPos());
    }

    void mouseDoubleClickEvent(QMouseEvent* AEvent) override {
        if (AEvent->button() == Qt::LeftButton && RowAt(AEvent->position().toPoint().y()) < FPanel.Model().RowCount())
            FPanel.OpenFocused();
    }

    void wheelEvent(QWheelEvent* AEvent) override {
        const int steps = AEvent->angleDelta().y() / 40;
        FPanel.FModel.SetTop(FPanel.Model().Top() - steps);
        Sync();
    }

    void focusInEvent(QFocusEvent* AEvent) override {
        QAbstractScrollArea::focusInEvent(AEvent);
        viewport()->update();
        if (FPanel.OnActivated)
            FPanel.OnActivated(&FPanel);
    }

    void focusOutEvent(QFocusEvent* AEvent) override {
        QAbstractScrollArea::focusOutEvent(AEvent);
        viewport()->update();
    }

private:
    TKvFilePanel& FPanel;
};

// The status line: counts or the message on the left, free space on the right.
class TKvPanelStatus : public QWidget {
public:
    explicit TKvPanelStatus(TKvFilePanel& APanel) : QWidget(&APanel), FPanel(APanel) {}

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        const bool error = FPanel.MessageIsError() && !FPanel.Busy();
        painter.fillRect(rect(), error ? KErrorBackground : ThemeColor(csBars));
        painter.setPen(error ? Qt::white : Qt::black);
        painter.setFont(ThemeFont(ScaleFor(this, Theme().FontHeight)));
        const int pad = ScaleFor(this, 4);
        // A problem takes the whole line: the free space can wait, the reason cannot.
        QString right = error ? QString() : Q(FPanel.StatusRight());
        int rightWidth = right.isEmpty() ? 0 : painter.fontMetrics().horizontalAdvance(right) + 2 * pad;
        QRect left(pad, 0, width() - rightWidth - 2 * pad, height());
        // One line: a name with a newline in a message must not spill over a second row.
        QString text = Q(FPanel.StatusText());
        for (QChar& c : text)
            if (c.category() == QChar::Other_Control)
                c = QLatin1Char('?');
        painter.drawText(left, Qt::AlignVCenter | Qt::AlignLeft,
                         painter.fontMetrics().elidedText(text, Qt::ElideRight, left.width()));
        if (!right.isEmpty())
            painter.drawText(QRect(width() - rightWidth, 0, rightWidth - pad, height()),
                             Qt::AlignVCenter | Qt::AlignRight, right);
    }

    // What does not fit is shown whole when the mouse rests on it.
    bool event(QEvent* AEvent) override {
        if (AEvent->type() != QEvent::ToolTip)
            return QWidget::event(AEvent);
        QString text = Q(FPanel.StatusText());
        if (fontMetrics().horizontalAdvance(text) > width() / 2)
            QToolTip::showText(static_cast<QHelpEvent*>(AEvent)->globalPos(), text, this);
        else
            QToolTip::hideText();
        return true;
    }

private:
    TKvFilePanel& FPanel;
};

TKvFilePanel::TKvFilePanel(QWidget* AParent)
    : QWidget(AParent), FListWorker(std::make_unique<TKvWorker>()), FOpsWorker(std::make_unique<TKvWorker>()),
      FAlive(NewCancelToken()), FFs(LocalFs()), FClock(SteadyMs) {
    FHeader = new TKvPanelHeader(*this);
    FList = new TKvPanelList(*this);
    FStatus = new TKvPanelStatus(*this);

    FFilterBar = new QWidget(this);
    auto* filterLayout = new QHBoxLayout(FFilterBar);
    filterLayout->setContentsMargins(2, 0, 2, 0);
    filterLayout->addWidget(new QLabel("Filter", FFilterBar));
    FFilterEdit = new QLineEdit(FFilterBar);
    FFilterEdit->setReadOnly(true);
    FFilterEdit->setFocusPolicy(Qt::NoFocus);
    filterLayout->addWidget(FFilterEdit, 1);
    auto* close = new QToolButton(FFilterBar);
    close->setText("X");
    close->setFocusPolicy(Qt::NoFocus);
    connect(close, &QToolButton::clicked, this, [this] {
        SetFilter("");
        FocusList();
    });
    filterLayout->addWidget(close);
    FFilterBar->hide();

    FLiveTimer = new QTimer(this);
    FLiveTimer->setSingleShot(true);
    FLiveTimer->setInterval(KLiveReloadMs);
    connect(FLiveTimer, &QTimer::timeout, this, [this] { LiveReload(); });
    FWatch = std::make_unique<TKvFolderWatch>(this, [this] {
        if (!FLiveTimer->isActive())
            FLiveTimer->start();
    });

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(FHeader);
    layout->addWidget(FList, 1);
    auto* filterRow = new QHBoxLayout;
    filterRow->addStretch(1);
    filterRow->addWidget(FFilterBar);
    layout->addLayout(filterRow);
    layout->addWidget(FStatus);
    setFocusProxy(FList);
    ApplyTheme();
}

TKvFilePanel::~TKvFilePanel() { Shutdown(); }

double TKvFilePanel::Scale() const { return WidgetPpi(this) / 96.0; }

int TKvFilePanel::RowHeight() const { return ScaleFor(this, Theme().FontHeight) + ScaleFor(this, 5); }

void TKvFilePanel::ApplyTheme() {
    const int height = RowHeight();
    FHeader->setFixedHeight(height);
    FStatus->setFixedHeight(height);
    FFilterBar->setFixedWidth(ScaleFor(this, 220));
    QPalette palette = FFilterBar->palette();
    palette.setColor(QPalette::Window, ThemeColor(csBars));
    palette.setColor(QPalette::WindowText, Qt::black);
    FFilterBar->setPalette(palette);
    FFilterBar->setAutoFillBackground(true);
    FList->Sync();
    update();
}

void TKvFilePanel::Shutdown() {
    if (FAlive->IsCancelled())
        return;
    FLiveTimer->stop();
    FWatch->Watch("");
    FAlive->Cancel();
    if (FListToken)
        FListToken->Cancel();
    for (auto* worker : {&FListWorker, &FOpsWorker}) {
        try {
            (*worker)->Stop(worker == &FListWorker ? 200 : 100);
        } catch (const std::exception& e) {
            Log(std::string("closing panel: TKvWorker: ") + e.what());
        }
    }
}

void TKvFilePanel::RestartListWorker() {
    FListWorker->Stop(0);
    FListWorker = std::make_unique<TKvWorker>();
}

void TKvFilePanel::LoadState(const TKvPanelState& AState, const std::string& ADefaultPath) {
    FModel.SetSortOrder(AState.Sort, AState.Descending);
    FModel.SetColumnWidths(AState.SizeColumn, AState.DateColumn);
    ApplyTheme();
    BeginList(LocalFs(), AState.Path.empty() ? ADefaultPath : AState.Path, true, AState.FocusName);
}

void TKvFilePanel::SaveState(TKvPanelState& AState) const {
    if (!FArchiveFile.empty()) {
        AState.Path = LocalFs()->ParentOf(FArchiveFile);
        AState.FocusName = LocalFs()->NameOf(FArchiveFile);
    } else if (!IsRemote()) {
        AState.Path = FPath;
        TKvFileEntry focused;
        AState.FocusName = FModel.FocusedEntry(focused) ? focused.Name : std::string();
    }
    AState.Sort = FModel.Sort();
    AState.Descending = FModel.Descending();
    AState.SizeColumn = FModel.SizeColumn();
    AState.DateColumn = FModel.DateColumn();
}

void TKvFilePanel::Navigate(const std::string& APath) {
    BeginList(LocalFs(), APath, false, "");
}

void TKvFilePanel::NavigateWithin(const std::string& APath) {
    // Coming up from below, focus the child we came from.
    std::string focus;
    std::string walk = FPath;
    for (int step = 0; step < 256 && !walk.empty() && !FFs->IsRoot(walk); ++step) {
        std::string parent = FFs->ParentOf(walk);
        if (FFs->SamePath(parent, APath)) {
            focus = FFs->NameOf(walk);
            break;
        }
        walk = parent;
    }
    BeginList(FFs, APath, false, focus);
}

void TKvFilePanel::ShowItem(const std::string& APath) {
    BeginList(FFs, FFs->ParentOf(APath), false, FFs->NameOf(APath));
}

void TKvFilePanel::Reload() {
    if (!FPath.empty())
        BeginList(FFs, FPath, true, FModel.FocusedName());
}

void TKvFilePanel::ReloadQuietly() {
    if (!FPath.empty())
        BeginList(FFs, FPath, true, FModel.FocusedName(), true);
}

void TKvFilePanel::LiveReload() {
    if (FPath.empty() || !IsPlainLocal())
        return;
    // A listing on its way may have read the folder before the change: try again after it.
    if (FListToken) {
        FLiveTimer->start();
        return;
    }
    BeginList(FFs, FPath, true, FModel.FocusedName(), true);
}

TKvListView TKvFilePanel::ListView() const {
    const TKvSettings settings = CurrentSettings();
    return {settings.ShowHidden, settings.ShowSystem, FModel.Sort(), FModel.Descending()};
}

void TKvListView::Prepare(TKvFileEntries& AEntries, const IKvFileSystem& AFs) const {
    if (AFs.Id() != "local")
        DropUnsafeNames(AEntries, AFs.DisplayPrefix());
    std::erase_if(AEntries, [this](const TKvFileEntry& AEntry) {
        return (AEntry.IsHidden && !ShowHidden) || (AEntry.IsSystem && !ShowSystem);
    });
    SortEntries(AEntries, Sort, Descending);
}

void TKvFilePanel::ShowBusy(const std::string& AText) {
    FMessage.clear();
    FBusyText = AText;
    FBusy = true;
    FStatus->update();
}

void TKvFilePanel::DropRunningListing() {
    if (FListToken) {
        FListToken->Cancel();
        RestartListWorker();
    }
}

void TKvFilePanel::BeginList(IKvFileSystemPtr AFs, const std::string& APath, bool AFallback,
                             const std::string& AFocusName, bool AQuiet) {
    if (FAlive->IsCancelled())
        return;
    DropRunningListing();
    FQuietList = AQuiet;
    const TKvListView view = ListView();
    // A folder of the archive shown stays inside it; any other file system leaves it.
    const std::string archive = AFs.get() == FFs.get() ? FArchiveFile : std::string();
    FConnectingId.clear();
    FPendingConnectorId = FConnectorId;
    // A live reload keeps what the status line says and never shows "Reading".
    if (!AQuiet)
        ShowBusy("Reading... (Esc to cancel)");

    FListToken = FListWorker->Post([this, AFs, archive, APath, AFallback, AFocusName, view, alive = FAlive,
                                    watchFd = FWatch->Descriptor()](const IKvCancelToken& AToken) {
        std::string path = AFs->Normalize(APath);
        std::string message;
        TKvFileEntries entries;
        bool triedHome = false;
        auto* connection = dynamic_cast<IKvConnectionState*>(AFs.get());
        bool triedAgain = false;
        for (;;) {
            try {
                entries = AFs->List(path, AToken);
                message.clear();
                break;
            } catch (const EKvCancelled&) {
                return;
            } catch (const std::exception& e) {
                if (message.empty())
                    message = e.what();
            }
            // A connection that died says nothing about the folder: the same folder once more,
            // on a new connection, before any other.
            if (connection && connection->ConnectionLost() && !triedAgain) {
                triedAgain = true;
                message.clear();
                continue;
            }
            if (connection && connection->ConnectionLost()) {
                message += " (Ctrl+R connects again)";
                break;
            }
            if (!AFallback)
                break;
            if (!AFs->IsRoot(path)) {
                path = AFs->ParentOf(path);
                continue;
            }
            // Even the root could not be read: the home folder is the last resort on the disk.
            if (triedHome || AFs->Id() != "local")
                break;
            triedHome = true;
            path = AFs->Normalize(HomeFolder());
        }
        if (message.empty())
            view.Prepare(entries, *AFs);
        if (message.empty() && archive.empty() && AFs->Id() == "local")
            TKvFolderWatch::Prime(watchFd, path);
        int64_t free = -1;
        bool canRecycle = false;
        try {
            free = AFs->FreeSpace(path);
            canRecycle = AFs->CanRecycle(path);
        } catch (...) {
        }
        if (AToken.IsCancelled())
            return;
        KvDeliver(alive, [this, AFs, archive, path, entries = std::move(entries), message, AFocusName, canRecycle,
                          free, job = &AToken]() mutable {
            // A listing that was cancelled or replaced meanwhile never lands: only the job whose
            // token the panel still holds may apply its result.
            if (!FListToken || FListToken.get() != job)
                return;
            ApplyListing(AFs, archive, path, std::move(entries), message, AFocusName, canRecycle, free);
        });
    });
}

void TKvFilePanel::CancelListing() {
    if (!FBusy)
        return;
    DropRunningListing();
    FListToken.reset();
    FConnectingId.clear();
    FPendingConnectorId = FConnectorId;
    FBusy = false;
    ShowResult("Cancelled", false);
}

void TKvFilePanel::ApplyListing(IKvFileSystemPtr AFs, const std::string& AArchive, const std::string& APath,
                                TKvFileEntries AEntries, const std::string& AMessage, const std::string& AFocusName,
                                bool ACanRecycle, int64_t AFree) {
    FListToken.reset();
    FBusy = false;
    FConnectingId.clear();
    if (!AMessage.empty()) {
        FPendingConnectorId = FConnectorId;
        ShowResult(AMessage, true);
        return;
    }
    // A quiet listing that ended in another folder (the shown one was removed) is still news.
    if (FQuietList && !AFs->SamePath(FPath, APath))
        FMessage.clear();
    const bool sameFolder = !FPath.empty() && AFs.get() == FFs.get() && AFs->SamePath(FPath, APath);
    FFs = std::move(AFs);
    FArchiveFile = AArchive;
    FPath = APath;
    if (FArchiveFile.empty() && FFs->DisplayPrefix().empty())
        FLastLocalPath = APath;
    FConnectorId = IsRemote() ? FPendingConnectorId : std::string();
    FPendingConnectorId = FConnectorId;
    FFreeSpace = AFree;
    FCanRecycle = ACanRecycle;
    FModel.Apply(std::move(AEntries), !FArchiveFile.empty() || !FFs->IsRoot(FPath), sameFolder, AFocusName);
    FWatch->Watch(IsPlainLocal() ? FPath : std::string());
    UpdateFilterBar();
    ModelChanged();
    // Names a server sent that cannot be files are left out of the list: the user hears so.
    if (auto* filtered = dynamic_cast<IKvFolderLeftOut*>(FFs.get()))
        if (const int count = filtered->LeftOutIn(FPath); count > 0)
            ShowResult(LeftOutText(count), false);
    if (FQuietList && sameFolder)
        return;
    if (OnPathChanged)
        OnPathChanged(this);
    if (OnStateChanged)
        OnStateChanged(this);
}

std::string TKvFilePanel::DisplayPath() const {
    if (!FArchiveFile.empty())
        return FFs->IsRoot(FPath) ? FArchiveFile : FArchiveFile + FPath;
    return FFs->DisplayPrefix() + FPath;
}

bool TKvFilePanel::IsRemote() const { return !FFs->DisplayPrefix().empty(); }

bool TKvFilePanel::IsPlainLocal() const { return !IsRemote() && FArchiveFile.empty(); }

std::string TKvFilePanel::LocalFolder(std::string& AFocus) const {
    AFocus.clear();
    if (!FArchiveFile.empty()) {
        AFocus = LocalFs()->NameOf(FArchiveFile);
        return LocalFs()->ParentOf(FArchiveFile);
    }
    return IsRemote() ? std::string() : FPath;
}

void TKvFilePanel::ClearMarks() {
    FModel.ClearMarks();
    ModelChanged();
}

void TKvFilePanel::ShowResult(const std::string& AText, bool AIsError) {
    FMessage = AText;
    FMessageIsError = AIsError;
    FStatus->update();
}

std::string TKvFilePanel::StatusText() const {
    if (FBusy)
        return FBusyText;
    if (!FMessage.empty())
        return FMessage;
    std::string link = FModel.FocusedLinkText();
    return link.empty() ? FModel.Summary() : link;
}

std::string TKvFilePanel::ShownSizeText(int ARow) const {
    const QFontMetrics metrics(ThemeFont(ScaleFor(FList, Theme().FontHeight)));
    const TKvColumnLayout layout = FModel.Layout(FList->viewport()->width(), Scale());
    const int pad = ScaleFor(FList, 4);
    return FModel.SizeTextFitting(
        ARow, layout.DateStart - layout.SizeStart - 2 * pad,
        [&](const std::string& AText) { return metrics.horizontalAdvance(Q(AText)); });
}

QColor TKvFilePanel::RowTextColor(int ARow) const {
    const auto& row = FModel.Row(ARow);
    // A marked row keeps its colour under the cursor, so the mark stays visible there.
    if (FModel.Marked(ARow))
        return ThemeColor(csMarked);
    if (ARow == FModel.Focus() && FList->hasFocus())
        return Qt::black;
    return row.IsHidden ? ThemeColor(csHidden)
           : row.IsDir  ? ThemeColor(csFolders)
                        : ThemeColor(csFileNames);
}

std::string TKvFilePanel::StatusRight() const {
    if (FFreeSpace >= 0)
        return "Free " + FormatSize(FFreeSpace);
    if (!FArchiveFile.empty())
        return "Archive, read-only";
    return {};
}

void TKvFilePanel::FocusList() { FList->setFocus(); }

bool TKvFilePanel::ListHasFocus() const { return FList->hasFocus(); }

void TKvFilePanel::ModelChanged() {
    FList->Sync();
    FHeader->update();
    FStatus->update();
}

void TKvFilePanel::UpdateFilterBar() {
    FFilterEdit->setText(Q(FModel.Filter()));
    FFilterBar->setVisible(!FModel.Filter().empty());
}

void TKvFilePanel::SetFilter(const std::string& AFilter) {
    FModel.SetFilter(AFilter);
    UpdateFilterBar();
    ModelChanged();
}

void TKvFilePanel::SortBy(TKvSortColumn AColumn) {
    FModel.SortBy(AColumn);
    ModelChanged();
    if (OnStateChanged)
        OnStateChanged(this);
}

void TKvFilePanel::GoUp() {
    if (FPath.empty())
        return;
    if (!FFs->IsRoot(FPath)) {
        BeginList(FFs, FFs->ParentOf(FPath), false, FFs->NameOf(FPath));
        return;
    }
    if (!FArchiveFile.empty()) {
        // Up from an archive's root leaves the archive.
        BeginList(LocalFs(), LocalFs()->ParentOf(FArchiveFile), true, LocalFs()->NameOf(FArchiveFile));
    }
}

void TKvFilePanel::OpenFocused() {
    if (FModel.RowCount() == 0)
        return;
    if (FModel.IsUpRow(FModel.Focus())) {
        GoUp();
        return;
    }
    const TKvFileEntry entry = FModel.Row(FModel.Focus());
    const std::string path = FFs->Join(FPath, entry.Name);
    if (entry.IsDir) {
        BeginList(FFs, path, false, "");
        return;
    }
    if (!FArchiveFile.empty() || FFs->Id() != "local") {
        ShowResult("Copy the file out with F5 to open it", false);
        return;
    }
    if (IsArchiveFile(entry.Name)) {
        BeginOpenArchive(path);
        return;
    }
    const std::string folder = FPath;
    FOpsWorker->Post([this, path, folder, alive = FAlive](const IKvCancelToken&) {
        auto failed = [this, path, alive](const std::string& AReason) {
            KvDeliver(alive, [this, path, AReason] { ShowResult(path + ": " + AReason, true); });
        };
        std::string reason = OpenDocument(path, folder, failed);
        if (!reason.empty())
            failed(reason);
    });
}

void TKvFilePanel::MakeDirectory(const std::string& AName) {
    if (FFs->ReadOnly()) {
        ShowResult("Archives are read-only", true);
        return;
    }
    FOpsWorker->Post([this, fs = FFs, folder = FPath, AName, alive = FAlive](const IKvCancelToken&) {
        std::string path = fs->Normalize(fs->Resolve(folder, AName));
        std::string error;
        try {
            fs->MakeDir(path);
            Log("mkdir: " + path);
        } catch (const std::exception& e) {
            error = e.what();
        }
        KvDeliver(alive, [this, fs, path, error] {
            if (!error.empty()) {
                ShowResult(error, true);
                return;
            }
            BeginList(FFs, FPath, true, fs->NameOf(path));
        });
    });
}

void TKvFilePanel::RenameItem(const std::string& AOldName, const std::string& ANewName) {
    if (FFs->ReadOnly()) {
        ShowResult("Archives are read-only", true);
        return;
    }
    FOpsWorker->Post([this, fs = FFs, folder = FPath, AOldName, ANewName, alive = FAlive](const IKvCancelToken&) {
        std::string from = fs->Join(folder, AOldName), to = fs->Join(folder, ANewName);
        std::string error;
        try {
            fs->RenamePath(from, to, false);
            Log("rename: " + from + " -> " + to);
        } catch (const std::exception& e) {
            error = e.what();
        }
        KvDeliver(alive, [this, id = fs->Id(), ANewName, error] {
            if (!error.empty()) {
                ShowResult("Rename failed: " + error, true);
                return;
            }
            if (FFs->Id() == id)
                BeginList(FFs, FPath, true, ANewName);
        });
    });
}

void TKvFilePanel::SelectByMask(const std::string& AMask, bool ASelect) {
    auto first = AMask.find_first_not_of(" \t");
    if (first == std::string::npos)
        return;
    std::string mask = AMask.substr(first, AMask.find_last_not_of(" \t") - first + 1);
    FLastMask = mask;
    if (FModel.SelectByMask(mask, ASelect) == 0)
        ShowResult("No files match " + mask, false);
    ModelChanged();
}

void TKvFilePanel::AskMask(bool ASelect) {
    if (FPath.empty())
        return;
    bool ok = false;
    QString mask = QInputDialog::getText(this, ASelect ? "Select files" : "Unselect files",
                                         "Mask, such as *.txt or *.jpg;*.png", QLineEdit::Normal, Q(FLastMask), &ok);
    if (ok)
        SelectByMask(mask.toStdString(), ASelect);
}

bool TKvFilePanel::HandleKey(int AKey, Qt::KeyboardModifiers AModifiers, const QString& AText) {
    const Qt::KeyboardModifiers mods = AModifiers & ~Qt::KeypadModifier;
    const bool ctrl = mods == Qt::ControlModifier;
    const bool plain = mods == Qt::NoModifier || mods == Qt::ShiftModifier;
    auto changed = [this] {
        ModelChanged();
        return true;
    };
    switch (AKey) {
    case Qt::Key_Up:
        FModel.MoveFocus(-1);
        return changed();
    case Qt::Key_Down:
        FModel.MoveFocus(1);
        return changed();
    case Qt::Key_PageUp:
        FModel.MoveFocus(-FModel.PageRows() + 1);
        return changed();
    case Qt::Key_PageDown:
        FModel.MoveFocus(FModel.PageRows() - 1);
        return changed();
    case Qt::Key_Home:
        FModel.SetFocus(0);
        return changed();
    case Qt::Key_End:
        FModel.SetFocus(FModel.RowCount() - 1);
        return changed();
    case Qt::Key_Return:
    case Qt::Key_Enter:
        // With nothing matching the typed filter, ".." is under the cursor only by accident.
        if (FModel.FilterMatchesNothing())
            QApplication::beep();
        else if (mods == Qt::NoModifier)
            OpenFocused();
        else if (ctrl)
            RunAsFocused();
        return true;
    case Qt::Key_Backspace:
        if (!FModel.Filter().empty()) {
            std::string filter = FModel.Filter();
            PopLastCharacter(filter);
            SetFilter(filter);
        } else {
            GoUp();
        }
        return true;
    case Qt::Key_Escape:
        if (FBusy)
            CancelListing();
        else
            SetFilter("");
        return true;
    case Qt::Key_Insert:
        FModel.ToggleMarkAndAdvance();
        return changed();
    case Qt::Key_Asterisk:
        if (AModifiers & Qt::KeypadModifier) {
            FModel.InvertMarks();
            return changed();
        }
        break;
    case Qt::Key_F3:
    case Qt::Key_F4:
    case Qt::Key_F5:
    case Qt::Key_F6:
        if (!ctrl)
            return false;
        SortBy(AKey == Qt::Key_F3 ? scName : AKey == Qt::Key_F4 ? scExt : AKey == Qt::Key_F5 ? scTime : scSize);
        return true;
    default:
        break;
    }
    if (ctrl) {
        switch (AKey) {
        case Qt::Key_A:
            FModel.MarkAll();
            return changed();
        case Qt::Key_C:
            CopyToClipboard();
            return true;
        case Qt::Key_E:
            ShowRunBar();
            return true;
        case Qt::Key_R:
            Reload();
            return true;
        case Qt::Key_V:
            if (OnPasteRequest)
                OnPasteRequest(this);
            return true;
        default:
            return false;
        }
    }
    if (AKey == Qt::Key_C && mods == (Qt::ControlModifier | Qt::ShiftModifier)) {
        CopyToClipboard(true);
        return true;
    }
    if (!plain || AText.isEmpty() || !AText.at(0).isPrint())
        return false;
    const std::string text = AText.toStdString();
    if ((text == "+" || text == "-") && FModel.Filter().empty()) {
        AskMask(text == "+");
        return true;
    }
    if (IsPlainLocal()) {
        // Space marks like Insert until a filter is being typed.
        if (text == " " && FModel.Filter().empty()) {
            FModel.ToggleMarkAndAdvance();
            return changed();
        }
        SetFilter(FModel.Filter() + text);
        return true;
    }
    FModel.TypeAhead(text, FClock());
    return changed();
}

} // namespace kv
