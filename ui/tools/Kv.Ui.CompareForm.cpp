#include "Kv.Ui.CompareForm.h"

#include <QAbstractScrollArea>
#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QScrollBar>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <typeinfo>

#include "Kv.Log.h"
#include "Kv.Ui.DiffForm.h"
#include "Kv.Ui.Dpi.h"
#include "Kv.Ui.Theme.h"

namespace kv {

namespace {

QString Q(const std::string& AText) { return QString::fromUtf8(AText.data(), qsizetype(AText.size())); }

QColor C(TKvColor AColor) { return ToQColor(AColor); }

struct TCheckDef {
    const char* Caption;
    bool TKvCompareOptions::*Option;
};

constexpr std::array<TCheckDef, 11> KChecks = {{
    {"Subfolders", &TKvCompareOptions::Subfolders},
    {"Line endings (CR/LF)", &TKvCompareOptions::IgnoreEol},
    {"UTF-8 BOM", &TKvCompareOptions::IgnoreBom},
    {"Spaces at line ends", &TKvCompareOptions::IgnoreTrailingSpace},
    {"Amount of space", &TKvCompareOptions::IgnoreSpaceChange},
    {"Blank lines at the end", &TKvCompareOptions::IgnoreEndBlankLines},
    {"Case", &TKvCompareOptions::IgnoreCase},
    {"Same", &TKvCompareOptions::ShowSame},
    {"Different", &TKvCompareOptions::ShowDiffer},
    {"Left only", &TKvCompareOptions::ShowLeftOnly},
    {"Right only", &TKvCompareOptions::ShowRightOnly},
}};
constexpr int KFirstShowCheck = 7;

std::vector<TKvCompareForm*>& OpenForms() {
    static std::vector<TKvCompareForm*> forms;
    return forms;
}

TKvCompareViewer& Viewer() {
    static TKvCompareViewer viewer;
    return viewer;
}

} // namespace

void SetCompareViewer(TKvCompareViewer AViewer) { Viewer() = std::move(AViewer); }

class TKvCompareHeader : public QWidget {
public:
    explicit TKvCompareHeader(TKvCompareForm& AForm) : QWidget(&AForm), FForm(AForm) {}

protected:
    void paintEvent(QPaintEvent*) override;

private:
    TKvCompareForm& FForm;
};

// The virtual list: only the rows in sight are painted, so 100,000 rows cost what 40 do.
class TKvCompareList : public QAbstractScrollArea {
public:
    explicit TKvCompareList(TKvCompareForm& AForm) : QAbstractScrollArea(&AForm), FForm(AForm) {
        setFrameShape(QFrame::NoFrame);
        setFocusPolicy(Qt::StrongFocus);
        viewport()->setAttribute(Qt::WA_OpaquePaintEvent);
        setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        connect(verticalScrollBar(), &QScrollBar::valueChanged, viewport(), qOverload<>(&QWidget::update));
    }

    int RowHeight() const { return ScaleFor(this, Theme().FontHeight) + ScaleFor(this, 5); }
    int PageRows() const { return std::max(1, viewport()->height() / RowHeight()); }
    std::array<int, 9> Edges() const {
        const QFontMetrics metrics(ThemeFont(ScaleFor(this, Theme().FontHeight)));
        return CompareColumnEdges(viewport()->width(), [this](int AValue) { return ScaleFor(this, AValue); },
                                  metrics.horizontalAdvance(QLatin1Char('0')));
    }

    void CountChanged() {
        QScrollBar* bar = verticalScrollBar();
        bar->setRange(0, std::max(0, FForm.FModel.ViewCount() - PageRows()));
        bar->setPageStep(PageRows());
        viewport()->update();
    }

    void EnsureVisible(int ARow) {
        QScrollBar* bar = verticalScrollBar();
        if (ARow < bar->value())
            bar->setValue(ARow);
        else if (ARow >= bar->value() + PageRows())
            bar->setValue(ARow - PageRows() + 1);
    }

    int RowAt(int AY) const {
        int row = verticalScrollBar()->value() + AY / RowHeight();
        return row < FForm.FModel.ViewCount() ? row : -1;
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(viewport());
        painter.setFont(ThemeFont(ScaleFor(this, Theme().FontHeight)));
        const TKvColors& colors = Theme().Colors;
        const auto e = Edges();
        const int height = RowHeight(), first = verticalScrollBar()->value();
        const int inset = 3;
        const TKvCompareModel& model = FForm.FModel;
        for (int y = 0, row = first; y < viewport()->height(); y += height, ++row) {
            const QRect line(0, y, viewport()->width(), height);
            if (row >= model.ViewCount()) {
                painter.fillRect(line, C(colors[csBackground]));
                continue;
            }
            const TKvCompareItem& item = model.ViewRow(row);
            const bool highlighted = row == FForm.FSelected && hasFocus();
            painter.fillRect(line, highlighted ? C(colors[csBars]) : C(colors[csBackground]));
            auto cell = [&](int ALeft, int ARight, const std::string& AText, TKvColor AColor, Qt::Alignment AAlign,
                            Qt::TextElideMode AElide = Qt::ElideNone) {
                QRect box(e[ALeft] + inset, y, e[ARight] - e[ALeft] - 2 * inset, height);
                if (box.width() <= 0 || AText.empty())
                    return;
                painter.setPen(highlighted ? QColor(Qt::black) : C(AColor));
                QString text = Q(AText);
                if (AElide != Qt::ElideNone)
                    text = painter.fontMetrics().elidedText(text, AElide, box.width());
                painter.drawText(box, AAlign | Qt::AlignVCenter | Qt::TextSingleLine, text);
            };
            const TKvColor state = StateColor(item, colors);
            const TKvCompareRow& r = item.Row;
            cell(0, 1, model.DisplayPath(r), NameColor(item, colors), Qt::AlignLeft, Qt::ElideMiddle);
            cell(1, 2, SideSizeText(r, rsLeft), colors[csText], Qt::AlignRight);
            cell(2, 3, SideDateText(r, rsLeft), colors[csText], Qt::AlignLeft);
            cell(3, 4, StateLabel(item), state, Qt::AlignHCenter);
            cell(4, 5, SyncMark(item.Action), colors[csMarked], Qt::AlignHCenter);
            cell(5, 6, SideSizeText(r, rsRight), colors[csText], Qt::AlignRight);
            cell(6, 7, SideDateText(r, rsRight), colors[csText], Qt::AlignLeft);
            cell(7, 8, r.Note, colors[csText], Qt::AlignLeft, Qt::ElideRight);
        }
    }

    void resizeEvent(QResizeEvent* AEvent) override {
        QAbstractScrollArea::resizeEvent(AEvent);
        CountChanged();
        FForm.FHeader->update();
    }

    void focusInEvent(QFocusEvent* AEvent) override {
        QAbstractScrollArea::focusInEvent(AEvent);
        viewport()->update();
    }
    void focusOutEvent(QFocusEvent* AEvent) override {
        QAbstractScrollArea::focusOutEvent(AEvent);
        viewport()->update();
    }

    void mousePressEvent(QMouseEvent* AEvent) override {
        setFocus();
        const int row = RowAt(int(AEvent->position().y()));
        if (row < 0 || AEvent->button() != Qt::LeftButton)
            return;
        FForm.Select(row);
        const auto e = Edges();
        const int x = int(AEvent->position().x());
        if (x >= e[4] && x < e[5]) {
            FForm.FModel.CycleAction(row);
            viewport()->update();
            FForm.UpdateStatus();
        }
    }

    void mouseDoubleClickEvent(QMouseEvent* AEvent) override {
        const auto e = Edges();
        const int x = int(AEvent->position().x());
        if (x >= e[4] && x < e[5])
            return;
        if (RowAt(int(AEvent->position().y())) >= 0)
            FForm.OpenRow();
    }

    void keyPressEvent(QKeyEvent* AEvent) override {
        if (!FForm.HandleListKey(AEvent))
            AEvent->ignore();
    }

private:
    TKvCompareForm& FForm;
};

void TKvCompareHeader::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setFont(ThemeFont(ScaleFor(this, Theme().FontHeight)));
    const TKvColors& colors = Theme().Colors;
    painter.fillRect(rect(), C(colors[csBackground]));
    const auto e = FForm.FList->Edges();
    const int inset = 3;
    const int lineH = (height() - 2) / 2;
    const TKvCompareModel& model = FForm.FModel;
    auto draw = [&](int ALeft, int ARight, int ATop, const QString& AText, Qt::Alignment AAlign,
                    Qt::TextElideMode AElide = Qt::ElideNone) {
        QRect box(e[ALeft] + inset, ATop, e[ARight] - e[ALeft] - 2 * inset, lineH);
        QString text = AElide == Qt::ElideNone ? AText : painter.fontMetrics().elidedText(AText, AElide, box.width());
        painter.drawText(box, AAlign | Qt::AlignVCenter | Qt::TextSingleLine, text);
    };
    painter.setPen(C(colors[csFolders]));
    std::string left = "Left: " + model.Left().Title;
    const bool scoped = !ScopeIsEmpty(model.Scope());
    if (scoped)
        left += "  (only " + ScopeCaption(model.Scope()) + ")";
    draw(0, 3, 0, Q(left), Qt::AlignLeft, scoped ? Qt::ElideRight : Qt::ElideMiddle);
    draw(5, 8, 0, Q("Right: " + model.Right().Title), Qt::AlignLeft, Qt::ElideMiddle);
    painter.setPen(C(colors[csMarked]));
    const int second = lineH;
    draw(0, 1, second, "Name", Qt::AlignLeft);
    draw(1, 2, second, "Size", Qt::AlignRight);
    draw(2, 3, second, "Modified", Qt::AlignLeft);
    draw(3, 4, second, "Status", Qt::AlignHCenter);
    draw(4, 5, second, "Copy", Qt::AlignHCenter);
    draw(5, 6, second, "Size", Qt::AlignRight);
    draw(6, 7, second, "Modified", Qt::AlignLeft);
    draw(7, 8, second, "Note", Qt::AlignLeft);
    painter.setPen(C(colors[csBars]));
    painter.drawLine(0, height() - 1, width(), height() - 1);
}

TKvCompareForm* TKvCompareForm::Open(QWidget* AOwner, const TKvCompareSide& ALeft, const TKvCompareSide& ARight,
                                     const TKvCompareOptions& AOptions, const TKvCompareScope& AScope,
                                     TKvCompareSync ASync, TKvCompareGoTo AGoTo) {
    auto* form = new TKvCompareForm(AOwner, ALeft, ARight, AOptions, AScope, std::move(ASync), std::move(AGoTo));
    form->show();
    form->raise();
    form->activateWindow();
    form->StartCompare();
    return form;
}

TKvCompareForm::TKvCompareForm(QWidget* AOwner, const TKvCompareSide& ALeft, const TKvCompareSide& ARight,
                               const TKvCompareOptions& AOptions, const TKvCompareScope& AScope,
                               TKvCompareSync ASync, TKvCompareGoTo AGoTo)
    : QWidget(AOwner, Qt::Window), FModel(ALeft, ARight, AOptions, AScope), FSync(std::move(ASync)),
      FGoTo(std::move(AGoTo)) {
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(Q(FModel.WindowTitle()));
    QPalette palette = this->palette();
    palette.setColor(QPalette::Window, ThemeColor(csBackground));
    setPalette(palette);
    setAutoFillBackground(true);
    FAlive = NewCancelToken();
    FWorker = std::make_unique<TKvWorker>();

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    BuildTopBar();
    layout->addWidget(FTopBar);
    const int fontHeight = ScaleFor(this, Theme().FontHeight);
    FHeader = new TKvCompareHeader(*this);
    FHeader->setFixedHeight(2 * (fontHeight + ScaleFor(this, 5)) + 2);
    layout->addWidget(FHeader);
    FList = new TKvCompareList(*this);
    layout->addWidget(FList, 1);
    FStatus = new QLabel(this);
    FStatus->setObjectName(QStringLiteral("status"));
    FStatus->setAutoFillBackground(true);
    FStatus->setFont(ThemeFont(fontHeight));
    QPalette bars = FStatus->palette();
    bars.setColor(QPalette::Window, ThemeColor(csBars));
    bars.setColor(QPalette::WindowText, Qt::black);
    FStatus->setPalette(bars);
    FStatus->setFixedHeight(fontHeight + ScaleFor(this, 8));
    FStatus->setTextFormat(Qt::PlainText);
    FStatus->setAlignment(Qt::AlignVCenter | Qt::AlignLeft);
    layout->addWidget(FStatus);

    // Window keys reach the window whichever control has the focus.
    for (QWidget* child : findChildren<QWidget*>())
        child->installEventFilter(this);
    resize(ScaleFor(this, 1150), ScaleFor(this, 620));
    if (QWidget* owner = AOwner ? AOwner->window() : nullptr)
        move(owner->geometry().center() - rect().center());
    FList->setFocus();
    OpenForms().push_back(this);
}

TKvCompareForm::~TKvCompareForm() {
    std::erase(OpenForms(), this);
    auto step = [](auto&& AStep) {
        try {
            AStep();
        } catch (const std::exception& e) {
            Log(std::string("closing compare: ") + typeid(e).name() + ": " + e.what());
        }
    };
    step([this] {
        FAlive->Cancel();
        if (FToken)
            FToken->Cancel();
    });
    step([this] {
        FWorker->Stop(100);
        FWorker.reset();
    });
}

void TKvCompareForm::BuildTopBar() {
    FTopBar = new QWidget(this);
    FTopBar->setFixedHeight(ScaleFor(this, 86));
    FTopBar->setAutoFillBackground(true);
    FTopBar->setPalette(QApplication::palette());
    FTopBar->setFont(DialogFont());
    const QFontMetrics metrics(DialogFont());
    auto S = [this](int AValue) { return ScaleFor(this, AValue); };
    auto textWidth = [&](const QString& AText) { return metrics.horizontalAdvance(AText); };
    int x = 0, y = 0;
    auto label = [&](const QString& AText) {
        auto* widget = new QLabel(AText, FTopBar);
        const int width = textWidth(AText) + S(8);
        widget->setGeometry(x, y + S(3), width, S(20));
        x += width + S(10);
    };
    auto check = [&](int AIndex) {
        auto* box = new QCheckBox(QString::fromUtf8(KChecks[AIndex].Caption), FTopBar);
        box->setObjectName(QString("check%1").arg(AIndex));
        const int width = textWidth(box->text()) + S(24);
        box->setGeometry(x, y, width, S(20));
        x += width + S(10);
        FChecks[AIndex] = box;
        connect(box, &QCheckBox::clicked, this, [this, AIndex] { OptionClicked(AIndex); });
    };
    auto button = [&](const QString& AText) {
        auto* widget = new QPushButton(AText, FTopBar);
        widget->setFocusPolicy(Qt::TabFocus);
        const int width = textWidth(AText) + S(28);
        widget->setGeometry(x, y - S(2), width, S(25));
        x += width + S(10);
        return widget;
    };
    x = S(8), y = S(6);
    check(0);
    label("Leave out:");
    FExclude = new QLineEdit(FTopBar);
    FExclude->setObjectName(QStringLiteral("exclude"));
    FExclude->setPlaceholderText("such as .git;node_modules;*.bak");
    FExclude->setGeometry(x, y - S(1), S(260), S(22));
    x += S(260) + S(10);
    FAgainButton = button("Compare again (Ctrl+R)");
    connect(FAgainButton, &QPushButton::clicked, this, [this] {
        ReadOptions();
        StartCompare();
    });
    connect(FExclude, &QLineEdit::returnPressed, this, [this] { ApplyEdit(); });
    x = S(8), y = S(33);
    label("Text, ignore:");
    for (int i = 1; i <= 6; ++i)
        check(i);
    x = S(8), y = S(60);
    label("Show:");
    for (int i = KFirstShowCheck; i <= 10; ++i)
        check(i);
    FSyncButton = button("Copy the chosen files (F5)");
    connect(FSyncButton, &QPushButton::clicked, this, [this] { CopyChosen(); });
    FillChecks();
}

void TKvCompareForm::FillChecks() {
    FUpdating = true;
    for (int i = 0; i < 11; ++i)
        FChecks[i]->setChecked(FModel.Options().*KChecks[i].Option);
    FExclude->setText(Q(FModel.Options().Exclude));
    FUpdating = false;
}

void TKvCompareForm::ReadOptions() {
    TKvCompareOptions& options = FModel.Options();
    for (int i = 0; i < 11; ++i)
        options.*KChecks[i].Option = FChecks[i]->isChecked();
    options.Exclude = FExclude->text().trimmed().toStdString();
    TKvSettings settings = CurrentSettings();
    settings.Compare = options;
    SetCurrentSettings(settings);
    if (!SaveSettings())
        Log("compare: the settings could not be saved");
}

void TKvCompareForm::OptionClicked(int AIndex) {
    if (FUpdating)
        return;
    ReadOptions();
    if (AIndex >= KFirstShowCheck) {
        Select(FModel.RebuildView(FSelected));
        RowsChanged();
    } else if (!SameCompareOptions(FModel.Options(), FModel.RunOptions())) {
        StartCompare();
    }
}

void TKvCompareForm::ApplyEdit() {
    ReadOptions();
    StartCompare();
    FList->setFocus();
}

void TKvCompareForm::StartCompare() {
    if (FToken)
        FToken->Cancel();
    FPending.clear();
    const int gen = FModel.BeginRun();
    FSelected = -1;
    RowsChanged();
    TKvCompareSide left = FModel.Left(), right = FModel.Right();
    FToken = FWorker->Post([this, alive = FAlive, gen, left, right, options = FModel.Options(),
                            scope = FModel.Scope()](const IKvCancelToken& AToken) {
        auto report = [&](std::vector<TKvCompareRow> ARows, int AFolders, const std::string& ACurrent, int AFiles) {
            KvDeliver(alive, [this, gen, rows = std::move(ARows), AFolders, current = ACurrent, AFiles]() mutable {
                TPendingBatch batch;
                batch.Gen = gen;
                batch.Rows = std::move(rows);
                batch.Folders = AFolders;
                batch.Files = AFiles;
                batch.Current = current;
                Queue(std::move(batch));
            });
        };
        std::string error;
        try {
            RunCompare(*left.Fs, left.Root, *right.Fs, report, AToken, scope, options, right.Root);
        } catch (const EKvCancelled&) {
            return;
        } catch (const std::exception& e) {
            error = e.what();
            if (error.empty())
                error = "failed";
        }
        KvDeliver(alive, [this, gen, error] {
            TPendingBatch batch;
            batch.Gen = gen;
            batch.Finished = true;
            batch.Error = error;
            Queue(std::move(batch));
        });
    });
}

void TKvCompareForm::Queue(TPendingBatch ABatch) {
    FPending.push_back(std::move(ABatch));
    if (!FDraining) {
        FDraining = true;
        QTimer::singleShot(0, this, [this] { Drain(); });
    }
}

void TKvCompareForm::Drain() {
    // A slice of rows, then the event loop again: the window stays responsive whatever the
    // size of a batch.
    constexpr int KSliceRows = 500;
    constexpr qint64 KSliceMs = 8;
    QElapsedTimer clock;
    clock.start();
    bool changed = false;
    while (!FPending.empty() && clock.elapsed() < KSliceMs) {
        TPendingBatch& batch = FPending.front();
        if (batch.Finished) {
            if (FModel.RunFinished(batch.Gen, batch.Error))
                FToken.reset();
            changed = true;
            FPending.pop_front();
            continue;
        }
        const size_t end = std::min(batch.Rows.size(), batch.Next + KSliceRows);
        std::vector<TKvCompareRow> slice(std::make_move_iterator(batch.Rows.begin() + ptrdiff_t(batch.Next)),
                                         std::make_move_iterator(batch.Rows.begin() + ptrdiff_t(end)));
        batch.Next = end;
        changed = FModel.RowsArrived(batch.Gen, std::move(slice), batch.Folders, batch.Current, batch.Files) || changed;
        if (batch.Next >= batch.Rows.size())
            FPending.pop_front();
    }
    if (changed) {
        if (FSelected < 0 && FModel.ViewCount() > 0)
            FSelected = 0;
        RowsChanged();
    }

    if (FPending.empty())
        FDraining = false;
    else
        QTimer::singleShot(0, this, [this] { Drain(); });
}

void TKvCompareForm::StopJob() {
    if (!FModel.Stop())
        return;
    if (FToken)
        FToken->Cancel();
    FToken.reset();
    UpdateStatus();
}

void TKvCompareForm::TransfersFinishedAll() {
    for (TKvCompareForm* form : std::vector<TKvCompareForm*>(OpenForms()))
        form->TransfersFinished();
}

void TKvCompareForm::TransfersFinished() {
    std::vector<int> indices;
    std::vector<TKvCompareRow> rows;
    int gen = 0;
    if (!FModel.BeginRecheck(indices, rows, gen))
        return;
    UpdateStatus();
    TKvCompareSide left = FModel.Left(), right = FModel.Right();
    FToken = FWorker->Post([this, alive = FAlive, gen, left, right, options = FModel.RunOptions(), indices,
                            rows](const IKvCancelToken& AToken) mutable {
        try {
            for (auto& row : rows)
                RecheckRow(*left.Fs, left.Root, *right.Fs, row, AToken, options, right.Root);
        } catch (const EKvCancelled&) {
            return;
        }
        KvDeliver(alive, [this, gen, indices, rows = std::move(rows)]() mutable {
            if (!FModel.RecheckArrived(gen, indices, std::move(rows)))
                return;
            FToken.reset();
            Select(FModel.RebuildView(FSelected));
            RowsChanged();
        });
    });
}

void TKvCompareForm::Inform(const std::string& AText) {
    QMessageBox::information(this, "Kolvan", Q(AText), QMessageBox::Ok);
}

void TKvCompareForm::CopyChosen() {
    if (FModel.Busy()) {
        Inform(TKvCompareModel::KWaitText);
        return;
    }
    TKvCopyPlan plan = FModel.PlanCopy();
    if (plan.Taken.empty()) {
        Inform(TKvCompareModel::KNothingChosen);
        return;
    }
    QString text = Q(FModel.ConfirmText(plan));
    text.replace("\r\n", "\n");
    if (QMessageBox::question(this, "Kolvan", text, QMessageBox::Ok | QMessageBox::Cancel, QMessageBox::Ok) !=
        QMessageBox::Ok)
        return;
    FModel.MarkCopying(plan);
    RowsChanged();
    if (FSync)
        FSync(plan.Requests);
}

void TKvCompareForm::OpenRow() {
    if (FSelected < 0 || FSelected >= FModel.ViewCount())
        return;
    const TKvCompareRow& row = FModel.ViewRow(FSelected).Row;
    if (RowIsFolder(row)) {
        QApplication::beep();
        return;
    }
    const TKvCompareSide &left = FModel.Left(), &right = FModel.Right();
    if (row.HasLeft && row.HasRight) {
        TKvDiffForm::Open(this, left.Fs, FModel.SidePath(rsLeft, row), FModel.SideDisplayName(rsLeft, row), right.Fs,
                          FModel.SidePath(rsRight, row), FModel.SideDisplayName(rsRight, row), FModel.RunOptions());
        return;
    }
    const bool leftSide = row.HasLeft;
    if (!Viewer() || (!row.HasLeft && !row.HasRight)) {
        QApplication::beep();
        return;
    }
    Viewer()(this, leftSide ? left.Fs : right.Fs, FModel.SidePath(leftSide ? rsLeft : rsRight, row),
             leftSide ? row.Left.Size : row.Right.Size);
}

void TKvCompareForm::GoToRow() {
    if (!FGoTo || FSelected < 0 || FSelected >= FModel.ViewCount())
        return;
    const TKvCompareRow& row = FModel.ViewRow(FSelected).Row;
    FGoTo(FModel.Left().Fs, FModel.SidePath(rsLeft, row), FModel.Right().Fs, FModel.SidePath(rsRight, row));
}

void TKvCompareForm::SetDirection(TKvSyncAction AAction) {
    bool single = false;
    if (!FModel.SetDirection(FSelected, AAction, single))
        QApplication::beep();
    if (single && FSelected + 1 < FModel.ViewCount())
        Select(FSelected + 1);
    FList->viewport()->update();
    UpdateStatus();
}

void TKvCompareForm::Select(int AViewRow) {
    FSelected = AViewRow;
    if (AViewRow >= 0)
        FList->EnsureVisible(AViewRow);
    FList->viewport()->update();
}

void TKvCompareForm::RowsChanged() {
    FList->CountChanged();
    UpdateStatus();
}

void TKvCompareForm::UpdateStatus() { FStatus->setText(Q(FModel.StatusText())); }

std::string TKvCompareForm::StatusText() const { return FStatus->text().toStdString(); }

bool TKvCompareForm::HandleWindowKey(QKeyEvent* AEvent) {
    const Qt::KeyboardModifiers mods = AEvent->modifiers() & ~Qt::KeypadModifier;
    switch (AEvent->key()) {
    case Qt::Key_F5:
        if (mods != Qt::NoModifier)
            return false;
        CopyChosen();
        return true;
    case Qt::Key_R:
        if (mods != Qt::ControlModifier)
            return false;
        ReadOptions();
        StartCompare();
        return true;
    case Qt::Key_Escape:
        if (mods != Qt::NoModifier)
            return false;
        if (FModel.Busy())
            StopJob();
        else
            close();
        return true;
    default:
        return false;
    }
}

bool TKvCompareForm::HandleListKey(QKeyEvent* AEvent) {
    const Qt::KeyboardModifiers mods = AEvent->modifiers() & ~Qt::KeypadModifier;
    const QString text = AEvent->text();
    if (text == ">")
        SetDirection(saToRight);
    else if (text == "<")
        SetDirection(saToLeft);
    else if (text == "=")
        SetDirection(saNone);
    else
        switch (AEvent->key()) {
        case Qt::Key_Backspace:
        case Qt::Key_Delete:
            SetDirection(saNone);
            break;
        case Qt::Key_Right:
            SetDirection(saToRight);
            break;
        case Qt::Key_Left:
            SetDirection(saToLeft);
            break;
        case Qt::Key_Return:
        case Qt::Key_Enter:
            GoToRow();
            break;
        case Qt::Key_Insert:
        case Qt::Key_Space:
            FModel.ToggleMark(FSelected);
            if (FSelected + 1 < FModel.ViewCount())
                Select(FSelected + 1);
            FList->viewport()->update();
            break;
        case Qt::Key_A:
            if (mods != Qt::ControlModifier)
                return false;
            FModel.MarkAll();
            FList->viewport()->update();
            break;
        case Qt::Key_F3:
            OpenRow();
            break;
        case Qt::Key_Up:
        case Qt::Key_Down:
        case Qt::Key_PageUp:
        case Qt::Key_PageDown:
        case Qt::Key_Home:
        case Qt::Key_End: {
            const int count = FModel.ViewCount();
            if (count == 0)
                break;
            const int page = std::max(1, FList->PageRows() - 1);
            int row = std::max(0, FSelected);
            switch (AEvent->key()) {
            case Qt::Key_Up: row -= 1; break;
            case Qt::Key_Down: row += 1; break;
            case Qt::Key_PageUp: row -= page; break;
            case Qt::Key_PageDown: row += page; break;
            case Qt::Key_Home: row = 0; break;
            default: row = count - 1; break;
            }
            Select(std::clamp(row, 0, count - 1));
            break;
        }
        default:
            return false;
        }
    return true;
}

bool TKvCompareForm::eventFilter(QObject* AWatched, QEvent* AEvent) {
    if (AEvent->type() == QEvent::KeyPress && HandleWindowKey(static_cast<QKeyEvent*>(AEvent)))
        return true;
    return QWidget::eventFilter(AWatched, AEvent);
}

void TKvCompareForm::keyPressEvent(QKeyEvent* AEvent) {
    if (!HandleWindowKey(AEvent))
        QWidget::keyPressEvent(AEvent);
}

} // namespace kv
