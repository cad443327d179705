#include "Kv.Ui.SearchForm.h"

#include <QAbstractScrollArea>
#include <QCheckBox>
#include <QDialog>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QVBoxLayout>

#include "Kv.Ui.Dpi.h"
#include "Kv.Ui.Theme.h"
#include "Kv.Ui.ViewerForm.h"

namespace kv {

namespace {

QString Q(const std::string& AText) {
    return QString::fromUtf8(AText.data(), int(AText.size()));
}

int FontPixels(const QWidget* AWidget) {
    return ScaleFor(AWidget, Theme().FontHeight);
}

// The depth edit and its label are usable exactly while the box is ticked.
struct TDepthSwitch {
    QCheckBox* Box = nullptr;
    QLineEdit* Edit = nullptr;
    QLabel* Caption = nullptr;
    void Changed() const {
        Edit->setEnabled(Box->isChecked());
        Caption->setEnabled(Box->isChecked());
    }
};

} // namespace

bool AskSearchSpec(QWidget* AOwner, const std::string& AWhere, TKvSearchSpec& ASpec) {
    QDialog dialog(AOwner);
    dialog.setWindowTitle("Search for files");
    dialog.setFont(DialogFont());
    auto s = [&](int AValue) { return ScaleFor(&dialog, AValue); };
    auto place = [&](QWidget* AWidget, int ALeft, int ATop, int AWidth, int AHeight) {
        AWidget->setGeometry(s(ALeft), s(ATop), s(AWidth), s(AHeight));
    };
    auto* where = new QLabel(&dialog);
    QFont bold = dialog.font();
    bold.setBold(true);
    where->setFont(bold);
    where->setTextFormat(Qt::PlainText);
    where->setText(QFontMetrics(bold).elidedText(Q("Search in " + AWhere), Qt::ElideMiddle, s(446)));
    place(where, 12, 12, 446, 18);
    auto* masksLabel = new QLabel(
        "File name, such as *.txt (a word alone is looked for in the whole name):", &dialog);
    place(masksLabel, 12, 42, 446, 18);
    auto* masks = new QLineEdit(Q(ASpec.Masks), &dialog);
    masks->setObjectName("masks");
    place(masks, 12, 62, 446, 24);
    auto* textLabel =
        new QLabel("Containing the text (leave empty to look at the names only):", &dialog);
    place(textLabel, 12, 96, 446, 18);
    auto* text = new QLineEdit(Q(ASpec.Text), &dialog);
    text->setObjectName("text");
    place(text, 12, 116, 446, 24);
    auto* matchCase = new QCheckBox("Match case in the text", &dialog);
    matchCase->setChecked(ASpec.MatchCase);
    place(matchCase, 12, 150, 300, 20);
    TDepthSwitch depth;
    depth.Box = new QCheckBox("Search in the folders below", &dialog);
    depth.Box->setChecked(ASpec.Subfolders);
    place(depth.Box, 12, 180, 220, 20);
    depth.Caption = new QLabel("How many levels (0 is all):", &dialog);
    place(depth.Caption, 240, 182, 150, 18);
    // A wider system font keeps the whole caption, ending where it did, before the edit.
    if (const int wide = depth.Caption->sizeHint().width(); wide > s(150))
        depth.Caption->setGeometry(s(390) - wide, s(182), wide, s(18));
    depth.Edit = new QLineEdit(QString::number(std::max(ASpec.MaxDepth, 0)), &dialog);
    depth.Edit->setObjectName("levels");
    place(depth.Edit, 398, 178, 60, 24);
    QObject::connect(depth.Box, &QCheckBox::toggled, &dialog, [depth] { depth.Changed(); });
    depth.Changed();
    auto* search = new QPushButton("Search", &dialog);
    search->setDefault(true);
    place(search, 280, 220, 86, 28);
    auto* cancel = new QPushButton("Cancel", &dialog);
    place(cancel, 372, 220, 86, 28);
    QObject::connect(search, &QPushButton::clicked, &dialog, &QDialog::accept);
    QObject::connect(cancel, &QPushButton::clicked, &dialog, &QDialog::reject);
    dialog.setFixedSize(s(470), s(262));
    masks->setFocus();
    masks->selectAll();
    if (dialog.exec() != QDialog::Accepted)
        return false;
    ASpec = SearchSpecFromFields(masks->text().toStdString(), text->text().toStdString(),
                                 matchCase->isChecked(), depth.Box->isChecked(),
                                 depth.Edit->text().toStdString());
    return true;
}

// ---- The results list ----

class TKvHitList : public QAbstractScrollArea {
public:
    TKvHitList(TKvSearchResults& AForm, QWidget* AParent) : QAbstractScrollArea(AParent), FForm(AForm) {
        setFrameShape(QFrame::NoFrame);
        setFocusPolicy(Qt::StrongFocus);
        viewport()->setAutoFillBackground(false);
    }

    int ItemHeight() const { return FontPixels(this) + 5; }
    int VisibleRows() const { return std::max(1, viewport()->height() / ItemHeight()); }

    void Sync() {
        const int count = int(FForm.Model().Hits().size());
        verticalScrollBar()->setRange(0, std::max(0, count - VisibleRows()));
        verticalScrollBar()->setPageStep(VisibleRows());
        viewport()->update();
    }

    void EnsureVisible(int ARow) {
        const int top = verticalScrollBar()->value();
        if (ARow < top)
            verticalScrollBar()->setValue(ARow);
        else if (ARow >= top + VisibleRows())
            verticalScrollBar()->setValue(ARow - VisibleRows() + 1);
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(viewport());
        painter.setFont(ThemeFont(FontPixels(this)));
        const int w = viewport()->width(), h = ItemHeight();
        painter.fillRect(viewport()->rect(), ThemeColor(csBackground));
        const TKvHitColumns columns = HitColumns(w, ScaleFor(this, 110), ScaleFor(this, 80));
        const auto& hits = FForm.Model().Hits();
        const int top = verticalScrollBar()->value();
        const QFontMetrics metrics(painter.font());
        for (int row = top; row < int(hits.size()) && (row - top) * h < viewport()->height(); ++row) {
            const TKvSearchHit& hit = hits[size_t(row)];
            const QRect line(0, (row - top) * h, w, h);
            const bool selected = row == FForm.Model().Selected() && hasFocus();
            painter.fillRect(line, selected ? ThemeColor(csBars) : ThemeColor(csBackground));
            auto cell = [&](int ALeft, int ARight, const QString& AText, Qt::TextElideMode AElide,
                            Qt::Alignment AAlign, const QColor& AColor) {
                const QRect box(ALeft + 3, line.top(), ARight - ALeft - 6, h);
                painter.setPen(selected ? QColor(Qt::black) : AColor);
                painter.drawText(box, AAlign | Qt::AlignVCenter | Qt::TextSingleLine,
                                 metrics.elidedText(AText, AElide, box.width()));
            };
            cell(0, columns.Folder, Q(hit.Name), Qt::ElideRight, Qt::AlignLeft,
                 ThemeColor(hit.IsDir ? csFolders : csFileNames));
            cell(columns.Folder, columns.Size, Q(hit.Dir), Qt::ElideMiddle, Qt::AlignLeft,
                 ThemeColor(csText));
            cell(columns.Size, w, Q(HitSizeText(hit)), Qt::ElideLeft, Qt::AlignRight,
                 ThemeColor(csText));
        }
    }

    void resizeEvent(QResizeEvent* AEvent) override {
        QAbstractScrollArea::resizeEvent(AEvent);
        Sync();
    }

    void keyPressEvent(QKeyEvent* AEvent) override {
        if (FForm.HandleKey(AEvent->key(), AEvent->modifiers()))
            return;
        TKvSearchModel& model = FForm.Model();
        const int row = model.Selected(), count = int(model.Hits().size());
        int next = row;
        switch (AEvent->key()) {
        case Qt::Key_Up:
            next = row - 1;
            break;
        case Qt::Key_Down:
            next = row + 1;
            break;
        case Qt::Key_PageUp:
            next = row - VisibleRows() + 1;
            break;
        case Qt::Key_PageDown:
            next = row + VisibleRows() - 1;
            break;
        case Qt::Key_Home:
            next = 0;
            break;
        case Qt::Key_End:
            next = count - 1;
            break;
        default:
            QAbstractScrollArea::keyPressEvent(AEvent);
            return;
        }
        if (count > 0) {
            model.Select(next);
            EnsureVisible(model.Selected());
        }
    }

    void mousePressEvent(QMouseEvent* AEvent) override {
        setFocus();
        const int row = verticalScrollBar()->value() + int(AEvent->position().y()) / ItemHeight();
        if (row < int(FForm.Model().Hits().size()))
            FForm.Model().Select(row);
    }

    void mouseDoubleClickEvent(QMouseEvent* AEvent) override {
        mousePressEvent(AEvent);
        FForm.Model().GoToSelected();
    }

    void focusInEvent(QFocusEvent* AEvent) override {
        QAbstractScrollArea::focusInEvent(AEvent);
        viewport()->update();
    }
    void focusOutEvent(QFocusEvent* AEvent) override {
        QAbstractScrollArea::focusOutEvent(AEvent);
        viewport()->update();
    }

private:
    TKvSearchResults& FForm;
};

// The column captions over the list.
class TKvHitHeader : public QWidget {
public:
    TKvHitHeader(TKvSearchResults& AForm, QWidget* AParent) : QWidget(AParent), FForm(AForm) {}

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.fillRect(rect(), ThemeColor(csBackground));
        painter.setFont(ThemeFont(FontPixels(this)));
        painter.setPen(ThemeColor(csMarked));
        const int w = FForm.List()->viewport()->width();
        const TKvHitColumns columns = HitColumns(w, ScaleFor(this, 110), ScaleFor(this, 80));
        const int h = height();
        painter.drawText(QRect(3, 0, columns.Folder - 3, h), Qt::AlignVCenter, "Name");
        painter.drawText(QRect(columns.Folder + 3, 0, columns.Size - columns.Folder, h),
                         Qt::AlignVCenter, "Folder");
        painter.drawText(QRect(columns.Size + 3, 0, w - columns.Size, h), Qt::AlignVCenter, "Size");
        painter.setPen(ThemeColor(csBars));
        painter.drawLine(0, h - 1, width(), h - 1);
    }

private:
    TKvSearchResults& FForm;
};

// ---- The results window ----

TKvSearchResults::TKvSearchResults(QWidget* AOwner, std::unique_ptr<TKvSearchModel> AModel)
    : QWidget(AOwner ? AOwner->window() : nullptr, Qt::Window), FModel(std::move(AModel)) {
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(Q(FModel->Title()));
    QPalette palette = this->palette();
    palette.setColor(QPalette::Window, ThemeColor(csBackground));
    setPalette(palette);
    setAutoFillBackground(true);
    setFont(ThemeFont(FontPixels(this)));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    FHeader = new TKvHitHeader(*this, this);
    FHeader->setFixedHeight(FontPixels(this) + 6);
    FList = new TKvHitList(*this, this);
    FStatus = NewToolStatusLine(this, FontPixels(this) + 8);
    layout->addWidget(FHeader);
    layout->addWidget(FList, 1);
    layout->addWidget(FStatus);
    FModel->OnChanged = [this] { Refresh(); };
    resize(ScaleFor(this, 820), ScaleFor(this, 520));
    FList->setFocus();
}

TKvSearchResults::~TKvSearchResults() {
    FModel->OnChanged = nullptr;
}

void TKvSearchResults::Refresh() {
    FStatus->setText(Q(FModel->StatusText()));
    FList->Sync();
}

bool TKvSearchResults::HandleKey(int AKey, Qt::KeyboardModifiers AModifiers) {
    if ((AModifiers & ~Qt::KeypadModifier) != Qt::NoModifier)
        return false;
    switch (AKey) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        FModel->GoToSelected();
        return true;
    case Qt::Key_F3: {
        TKvSearchHit hit;
        if (FModel->SelectedFile(hit))
            TKvViewerForm::View(parentWidget(), FModel->FileSystem(), hit.Path, hit.Size);
        return true;
    }
    case Qt::Key_Escape:
        if (FModel->Escape())
            close();
        return true;
    default:
        return false;
    }
}

TKvSearchResults* TKvSearchResults::Open(QWidget* AOwner, IKvFileSystemPtr AFs,
                                         const std::string& ARoot, const std::string& AWhere,
                                         const TKvSearchSpec& ASpec, TKvSearchGoTo AGoTo) {
    auto* form = new TKvSearchResults(
        AOwner, std::make_unique<TKvSearchModel>(AFs, ARoot, AWhere, ASpec, std::move(AGoTo)));
    QRect area = AOwner ? AOwner->window()->frameGeometry()
                        : QGuiApplication::primaryScreen()->availableGeometry();
    form->move(area.center() - QPoint(form->width() / 2, form->height() / 2));
    form->show();
    form->raise();
    form->activateWindow();
    form->Model().Start();
    return form;
}

} // namespace kv
