#include "Kv.Ui.ViewerForm.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QDialog>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMessageBox>
#include <QMimeData>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QVBoxLayout>

#include "Kv.FS.Local.h"
#include "Kv.Ui.Dpi.h"
#include "Kv.Ui.Theme.h"
#include "Kv.Ui.ViewerDownload.h"

namespace kv {

namespace {

QString Q(const std::string& AText) {
    return QString::fromUtf8(AText.data(), int(AText.size()));
}

// Centred on the owner's window, or on the screen without one.
void CentreOn(QWidget* AWindow, QWidget* AOwner) {
    QRect area = AOwner ? AOwner->window()->frameGeometry()
                        : QGuiApplication::primaryScreen()->availableGeometry();
    AWindow->move(area.center() - QPoint(AWindow->width() / 2, AWindow->height() / 2));
}

} // namespace

TKvViewerCommand ViewerKeyCommand(int AKey, Qt::KeyboardModifiers AModifiers) {
    const Qt::KeyboardModifiers mods = AModifiers & ~Qt::KeypadModifier;
    const bool none = mods == Qt::NoModifier, shift = mods == Qt::ShiftModifier,
               ctrl = mods == Qt::ControlModifier;
    const bool plainOrShift = none || shift;
    switch (AKey) {
    case Qt::Key_F:
        return ctrl ? vcSearchDialog : vcNone;
    case Qt::Key_C:
        return ctrl ? vcCopy : vcNone;
    case Qt::Key_Insert:
        return ctrl ? vcCopy : vcNone;
    case Qt::Key_A:
        return ctrl ? vcSelectAll : vcNone;
    case Qt::Key_N:
        return none ? vcFindNext : shift ? vcFindPrevious : vcNone;
    case Qt::Key_F7:
        return none ? vcSearchDialog : shift ? vcFindNext : vcNone;
    case Qt::Key_Escape:
        return none ? vcEscape : vcNone;
    case Qt::Key_F3:
    case Qt::Key_F10:
        return none ? vcClose : vcNone;
    case Qt::Key_F1:
        return none ? vcSummary : vcNone;
    case Qt::Key_F4:
    case Qt::Key_H:
        return none ? vcHex : vcNone;
    case Qt::Key_W:
        return none ? vcWrap : vcNone;
    // Ctrl+Home and Ctrl+End as every text view has them: the start and the end.
    case Qt::Key_Home:
        return plainOrShift || ctrl ? vcHome : vcNone;
    case Qt::Key_End:
        return plainOrShift || ctrl ? vcEnd : vcNone;
    case Qt::Key_Up:
        return plainOrShift ? vcUp : vcNone;
    case Qt::Key_Down:
        return plainOrShift ? vcDown : vcNone;
    case Qt::Key_PageUp:
        return plainOrShift ? vcPageUp : vcNone;
    case Qt::Key_PageDown:
        return plainOrShift ? vcPageDown : vcNone;
    case Qt::Key_Left:
        return plainOrShift ? vcLeft : vcNone;
    case Qt::Key_Right:
        return plainOrShift ? vcRight : vcNone;
    default:
        return vcNone;
    }
}

namespace {

// A status text never sizes its window: it asks for no width and is cut in the middle, where a
// long path is, so its start and what was found stay readable (text() keeps all of it).
class TKvStatusLine final : public QLabel {
public:
    using QLabel::QLabel;
    QSize sizeHint() const override { return {0, QLabel::sizeHint().height()}; }
    QSize minimumSizeHint() const override { return {0, QLabel::minimumSizeHint().height()}; }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        const QRect area = contentsRect();
        painter.setPen(palette().color(QPalette::WindowText));
        painter.drawText(area, static_cast<int>(alignment()) | Qt::TextSingleLine,
                         fontMetrics().elidedText(text(), Qt::ElideMiddle, area.width()));
    }
};

} // namespace

QLabel* NewToolStatusLine(QWidget* AParent, int AHeight) {
    auto* label = new TKvStatusLine(AParent);
    label->setFixedHeight(AHeight);
    label->setAutoFillBackground(true);
    QPalette bar = label->palette();
    bar.setColor(QPalette::Window, ThemeColor(csBars));
    bar.setColor(QPalette::WindowText, Qt::black);
    label->setPalette(bar);
    label->setAlignment(Qt::AlignVCenter | Qt::AlignLeft);
    label->setTextFormat(Qt::PlainText);
    return label;
}

bool ViewAsksFirst(const IKvFileSystem& AFs, int64_t ASize) {
    return !AFs.DisplayPrefix().empty() && ASize >= 1048576;
}

std::string LargeViewText(const std::string& AName, int64_t ASize) {
    return "\"" + AName + "\" is " + FormatSize(ASize) +
           " on the server.\r\n\r\nView part: opens at once and reads only the lines on screen. "
           "Jumping around, searching (F7) and the Java summary (F1) read over the network, which "
           "is slow for a big file.\r\n\r\nDownload whole: copies the file to the temp folder "
           "first, then everything is fast. The copy is deleted when the viewer closes.";
}

// ---- The text area ----

TKvViewArea::TKvViewArea(QWidget* AParent, TKvViewerForm& AForm) : QWidget(AParent), FForm(AForm) {
    setCursor(Qt::IBeamCursor);
    setFocusPolicy(Qt::StrongFocus);
    setAttribute(Qt::WA_OpaquePaintEvent);
    ApplyFont();
}

void TKvViewArea::ApplyFont() {
    setFont(ThemeFont(ScaleFor(this, Theme().FontHeight)));
    QFontMetrics metrics(font());
    FLineH = std::max({1, metrics.boundingRect("Wg").height(), metrics.height()});
    // The true advance, fractions included, so that columns and highlights stay on the text.
    FCharW = std::max<qreal>(1, QFontMetricsF(font()).horizontalAdvance('W'));
}

int TKvViewArea::RowsOnScreen() const {
    return std::max(1, height() / FLineH);
}

int TKvViewArea::ColumnsOnScreen() const {
    return std::max(10, int((width() - 4) / FCharW));
}

void TKvViewArea::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), ThemeColor(csBackground));
    painter.setFont(font());
    TKvViewerModel& model = FForm.Model();
    const int ascent = QFontMetrics(font()).ascent();
    for (int row = 0; row < model.RowCount() && row * FLineH < height(); ++row) {
        const int y = row * FLineH;
        const QString text = Q(model.RowText(row));
        painter.setPen(model.RowIsFold(row) ? ThemeColor(csBars) : ThemeColor(csText));
        painter.drawText(QPointF(2, y + ascent), text);
        const std::u32string chars = text.toStdU32String();
        for (const TKvSpan& span : model.RowSpans(row)) {
            QRectF box(2 + span.Start * FCharW, y, span.Length * FCharW, FLineH);
            painter.fillRect(box, ThemeColor(span.Kind == skMatch ? csMarked : csBars));
            painter.setPen(Qt::black);
            if (size_t(span.Start) < chars.size())
                painter.drawText(QPointF(box.left(), y + ascent),
                                 QString::fromStdU32String(
                                     chars.substr(size_t(span.Start), size_t(span.Length))));
        }
    }
}

void TKvViewArea::resizeEvent(QResizeEvent*) {
    FForm.Model().SetArea(RowsOnScreen(), ColumnsOnScreen());
}

void TKvViewArea::mousePressEvent(QMouseEvent* AEvent) {
    setFocus();
    if (AEvent->button() != Qt::LeftButton || FForm.Model().RowCount() == 0)
        return;
    int row = 0, col = 0;
    const QPoint at = AEvent->position().toPoint();
    FForm.Model().CellAt(at.x(), at.y(), FLineH, FCharW, row, col);
    FForm.Model().PressAt(row, col);
}

void TKvViewArea::mouseMoveEvent(QMouseEvent* AEvent) {
    if (!FForm.Model().Dragging())
        return;
    int row = 0, col = 0;
    const QPoint at = AEvent->position().toPoint();
    FForm.Model().CellAt(at.x(), at.y(), FLineH, FCharW, row, col);
    FForm.Model().DragTo(row, col);
}

void TKvViewArea::mouseReleaseEvent(QMouseEvent*) {
    FForm.Model().Release();
}

void TKvViewArea::wheelEvent(QWheelEvent* AEvent) {
    FWheel += AEvent->angleDelta().y();
    const int notches = FWheel / 120;
    FWheel -= notches * 120;
    // A turn towards the user has a negative angle and moves down.
    FForm.Model().Wheel(-notches);
}

void TKvViewArea::keyPressEvent(QKeyEvent* AEvent) {
    TKvViewerCommand command = ViewerKeyCommand(AEvent->key(), AEvent->modifiers());
    if (command == vcNone)
        QWidget::keyPressEvent(AEvent);
    else
        FForm.RunCommand(command);
}

// ---- The window ----

TKvViewerForm::TKvViewerForm(QWidget* AOwner, std::shared_ptr<TKvViewData> AData)
    : QMainWindow(AOwner ? AOwner->window() : nullptr, Qt::Window),
      FModel(std::make_unique<TKvViewerModel>(std::move(AData))) {
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(Q(FModel->Title()));
    QPalette palette = this->palette();
    palette.setColor(QPalette::Window, ThemeColor(csBackground));
    setPalette(palette);

    auto* central = new QWidget(this);
    auto* layout = new QVBoxLayout(central);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    auto* middle = new QHBoxLayout;
    middle->setSpacing(0);
    FArea = new TKvViewArea(central, *this);
    FBar = new QScrollBar(Qt::Vertical, central);
    FBar->setRange(0, KViewBarMax);
    FBar->setPageStep(KViewBarMax / 20);
    FBar->setFocusPolicy(Qt::NoFocus);
    middle->addWidget(FArea, 1);
    middle->addWidget(FBar);
    layout->addLayout(middle, 1);
    FStatus = NewToolStatusLine(central, ScaleFor(this, 20));
    FStatus->setText(" Loading...");
    layout->addWidget(FStatus);
    setCentralWidget(central);
    BuildMenus();

    connect(FBar, &QScrollBar::actionTriggered, this, [this](int AAction) {
        switch (AAction) {
        case QAbstractSlider::SliderSingleStepAdd:
            FModel->LineDown();
            break;
        case QAbstractSlider::SliderSingleStepSub:
            FModel->LineUp();
            break;
        case QAbstractSlider::SliderPageStepAdd:
            FModel->PageDown();
            break;
        case QAbstractSlider::SliderPageStepSub:
            FModel->PageUp();
            break;
        default:
            break;
        }
    });
    connect(FBar, &QScrollBar::sliderPressed, this, [this] { FModel->SetBarDragging(true); });
    connect(FBar, &QScrollBar::sliderMoved, this, [this](int AValue) {
        if (!FSettingBar)
            FModel->BarMovedTo(AValue);
    });
    connect(FBar, &QScrollBar::sliderReleased, this, [this] {
        FModel->SetBarDragging(false);
        FModel->BarMovedTo(FBar->sliderPosition());
    });
    FModel->OnChanged = [this] { Refresh(); };

    resize(ScaleFor(this, 900), ScaleFor(this, 600));
    FArea->setFocus();
}

TKvViewerForm::~TKvViewerForm() {
    FModel->OnChanged = nullptr;
}

void TKvViewerForm::BuildMenus() {
    auto item = [this](QMenu* AMenu, const char* AText, const char* AKey,
                       std::function<void()> ARun) {
        // The key is shown after a tab, not bound: the window's own keys do the work.
        QAction* action = AMenu->addAction(QString(AText) + "\t" + AKey);
        connect(action, &QAction::triggered, this, [ARun] { ARun(); });
        return action;
    };
    QMenu* file = menuBar()->addMenu("&File");
    item(file, "&Close", "Esc", [this] { close(); });
    QMenu* edit = menuBar()->addMenu("&Edit");
    item(edit, "&Copy", "Ctrl+C", [this] { RunCommand(vcCopy); });
    item(edit, "Select &all on screen", "Ctrl+A", [this] { RunCommand(vcSelectAll); });
    QMenu* search = menuBar()->addMenu("&Search");
    item(search, "&Find...", "F7", [this] { RunCommand(vcSearchDialog); });
    item(search, "Find &next", "N", [this] { RunCommand(vcFindNext); });
    item(search, "Find &previous", "Shift+N", [this] { RunCommand(vcFindPrevious); });
    QMenu* view = menuBar()->addMenu("&View");
    FWrapItem = item(view, "&Word wrap", "W", [this] { RunCommand(vcWrap); });
    FHexItem = item(view, "&Hex", "F4", [this] { RunCommand(vcHex); });
    FSumItem = item(view, "&Java summary", "F1", [this] { RunCommand(vcSummary); });
    for (QAction* action : {FWrapItem, FHexItem, FSumItem})
        action->setCheckable(true);
    view->addSeparator();
    item(view, "Go to the &top", "Home", [this] { RunCommand(vcHome); });
    item(view, "Go to the &end", "End", [this] { RunCommand(vcEnd); });
    connect(view, &QMenu::aboutToShow, this, [this] {
        FWrapItem->setChecked(FModel->Wrap());
        FWrapItem->setEnabled(!FModel->Hex() && !FModel->SummaryMode());
        FHexItem->setChecked(FModel->Hex());
        FSumItem->setChecked(FModel->SummaryMode());
        FSumItem->setEnabled(!FModel->SummaryBuilding());
    });
}

void TKvViewerForm::Refresh() {
    FStatus->setText(Q(FModel->StatusText()));
    if (!FModel->BarDragging() && FBar->value() != FModel->BarPosition()) {
        FSettingBar = true;
        FBar->setValue(FModel->BarPosition());
        FSettingBar = false;
    }
    FArea->update();
}

void TKvViewerForm::keyPressEvent(QKeyEvent* AEvent) {
    TKvViewerCommand command = ViewerKeyCommand(AEvent->key(), AEvent->modifiers());
    if (command == vcNone)
        QMainWindow::keyPressEvent(AEvent);
    else
        RunCommand(command);
}

void TKvViewerForm::RunCommand(TKvViewerCommand ACommand) {
    TKvViewerModel& model = *FModel;
    switch (ACommand) {
    case vcNone:
        break;
    case vcSearchDialog:
        SearchDialog();
        break;
    case vcCopy:
        Copy();
        break;
    case vcSelectAll:
        model.SelectAll();
        break;
    case vcFindNext:
    case vcFindPrevious:
        if (!model.FindAgain(ACommand == vcFindNext))
            SearchDialog();
        break;
    case vcEscape:
        if (model.Escape())
            close();
        break;
    case vcClose:
        close();
        break;
    case vcSummary:
        model.ToggleSummary();
        break;
    case vcHex:
        model.ToggleHex();
        break;
    case vcWrap:
        model.ToggleWrap();
        break;
    case vcHome:
        model.Home();
        break;
    case vcEnd:
        model.End();
        break;
    case vcUp:
        model.LineUp();
        break;
    case vcDown:
        model.LineDown();
        break;
    case vcPageUp:
        model.PageUp();
        break;
    case vcPageDown:
        model.PageDown();
        break;
    case vcLeft:
        model.Left();
        break;
    case vcRight:
        model.Right();
        break;
    }
}

void TKvViewerForm::Copy() {
    const std::string text = FModel->SelectedText();
    if (text.empty())
        return;
    QClipboard* clipboard = QGuiApplication::clipboard();
    if (!clipboard) {
        FModel->CopyFailed("there is no clipboard");
        return;
    }
    clipboard->setText(Q(text));
    FModel->Copied(text);
}

bool TKvViewerForm::AskSearch(std::string& AText, bool& AMatchCase) {
    QDialog dialog(this);
    dialog.setWindowTitle("Search");
    dialog.setFont(DialogFont());
    auto* layout = new QVBoxLayout(&dialog);
    const bool hex = FModel->Hex();
    auto* label = new QLabel(hex ? "Bytes to find, in hex (for example 4D 5A 90):" : "Text to find:",
                             &dialog);
    auto* edit = new QLineEdit(Q(FModel->DialogText()), &dialog);
    edit->setObjectName("text");
    edit->selectAll();
    layout->addWidget(label);
    layout->addWidget(edit);
    QCheckBox* matchCase = nullptr;
    if (!hex) {
        matchCase = new QCheckBox("Match case", &dialog);
        matchCase->setChecked(FModel->MatchCase());
        layout->addWidget(matchCase);
    }
    layout->addStretch(1);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    auto* search = new QPushButton("Search", &dialog);
    auto* cancel = new QPushButton("Cancel", &dialog);
    search->setDefault(true);
    buttons->addWidget(search);
    buttons->addWidget(cancel);
    layout->addLayout(buttons);
    connect(search, &QPushButton::clicked, &dialog, &QDialog::accept);
    connect(cancel, &QPushButton::clicked, &dialog, &QDialog::reject);
    dialog.resize(ScaleFor(this, 380), ScaleFor(this, 130));
    edit->setFocus();
    if (dialog.exec() != QDialog::Accepted || edit->text().isEmpty())
        return false;
    AText = edit->text().toStdString();
    AMatchCase = matchCase && matchCase->isChecked();
    return true;
}

void TKvViewerForm::SearchDialog() {
    if (FModel->Searching())
        return;
    std::string text;
    bool matchCase = false;
    if (AskSearch(text, matchCase))
        FModel->SearchFromDialog(text, matchCase);
}

// ---- Opening ----

TKvViewerForm* TKvViewerForm::CreateViewer(QWidget* AOwner, IKvFileSystemPtr AFs,
                                           const std::string& APath, int64_t ASize,
                                           const std::string& AShown,
                                           const std::string& ATempFile) {
    auto data = std::make_shared<TKvViewData>(AFs, APath, AShown.empty() ? APath : AShown, ASize);
    data->TempFile = ATempFile;
    auto* form = new TKvViewerForm(AOwner, std::move(data));
    CentreOn(form, AOwner);
    form->show();
    form->raise();
    form->activateWindow();
    return form;
}

TKvViewerForm* TKvViewerForm::View(QWidget* AOwner, IKvFileSystemPtr AFs, const std::string& APath,
                                   int64_t ASize) {
    if (!ViewAsksFirst(*AFs, ASize))
        return CreateViewer(AOwner, AFs, APath, ASize);
    const std::string name = AFs->NameOf(APath);
    QMessageBox box(QMessageBox::Question, "View a large file", Q(LargeViewText(name, ASize)),
                    QMessageBox::NoButton, AOwner);
    auto* part = box.addButton("View part", QMessageBox::AcceptRole);
    auto* whole = box.addButton("Download whole", QMessageBox::AcceptRole);
    auto* cancel = box.addButton("Cancel", QMessageBox::RejectRole);
    for (QAbstractButton* button : {static_cast<QAbstractButton*>(part),
                                    static_cast<QAbstractButton*>(whole),
                                    static_cast<QAbstractButton*>(cancel)})
        button->setFixedWidth(ScaleToScreen(120));
    box.setDefaultButton(part);
    box.setEscapeButton(cancel);
    box.exec();
    if (box.clickedButton() == part)
        return CreateViewer(AOwner, AFs, APath, ASize);
    if (box.clickedButton() != whole)
        return nullptr;
    std::string copy;
    if (!DownloadForViewing(AOwner, AFs, APath, ASize, copy))
        return nullptr;
    int64_t size = ASize;
    TKvFileEntry entry;
    if (LocalFs()->Stat(copy, entry))
        size = entry.Size;
    auto* form = CreateViewer(AOwner, LocalFs(), copy, size,
                              AFs->DisplayPrefix() + APath + " (downloaded)", copy);
    form->setWindowTitle(Q("View - " + name));
    return form;
}

} // namespace kv
