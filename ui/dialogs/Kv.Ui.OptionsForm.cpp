#include "Kv.Ui.OptionsForm.h"

#include <QCheckBox>
#include <QColorDialog>
#include <QComboBox>
#include <QDesktopServices>
#include <QFileDialog>
#include <QFontDatabase>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QRadioButton>
#include <QStyledItemDelegate>
#include <QTabWidget>
#include <QToolButton>
#include <QUrl>
#include <QVBoxLayout>

#include "Kv.Log.h"
#include "Kv.Ui.Dpi.h"
#include "Kv.Ui.OptionsModel.h"
#include "Kv.Ui.Theme.h"

#ifndef KV_VERSION
#define KV_VERSION "0"
#endif
#ifndef KV_BUILD_NUMBER
#define KV_BUILD_NUMBER "0"
#endif

namespace kv {

namespace {

QString Q(const std::string& AText) {
    return QString::fromUtf8(AText.data(), static_cast<int>(AText.size()));
}
std::string S(const QString& AText) {
    return AText.toStdString();
}

constexpr const char* KWebSite = "https://kolvan.invalid/";

int Sc(int AValue) {
    return ScaleToScreen(AValue);
}

void Place(QWidget* AWidget, int ALeft, int ATop, int AWidth, int AHeight) {
    AWidget->setGeometry(Sc(ALeft), Sc(ATop), Sc(AWidth), Sc(AHeight));
}

QLabel* Label(QWidget* AParent, const QString& AText, int ALeft, int ATop, int AWidth,
              int AHeight = 18, bool AGrey = false) {
    auto* label = new QLabel(AText, AParent);
    label->setWordWrap(true);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    label->setTextFormat(Qt::PlainText);
    if (AGrey)
        label->setForegroundRole(QPalette::PlaceholderText);
    Place(label, ALeft, ATop, AWidth, AHeight);
    return label;
}

QCheckBox* Check(QWidget* AParent, const char* AText, int ALeft, int ATop) {
    auto* box = new QCheckBox(AText, AParent);
    Place(box, ALeft, ATop, 470, 20);
    return box;
}

// The font the preview draws with: the one chosen, at the height chosen.
QFont PreviewFont(const TKvSettings& ASettings) {
    QFont font(Q(ASettings.FontName));
    font.setStyleHint(QFont::Monospace);
    font.setPixelSize(Sc(ASettings.FontHeight));
    return font;
}

class TPreview : public QWidget {
public:
    TPreview(QWidget* AParent, const TKvSettings& AWork) : QWidget(AParent), FWork(AWork) {}

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        const QFont font = PreviewFont(FWork);
        painter.setFont(font);
        const int rowHeight = font.pixelSize() + 5;
        const TKvColors& colors = FWork.Colors;
        const int panel = width() * KPreviewPanelPercent / 100;
        painter.fillRect(QRect(0, 0, panel, height()), ToQColor(colors[csBackground]));
        for (int i = 0; i < static_cast<int>(KPreviewRows.size()); ++i) {
            const TKvPreviewRow& row = KPreviewRows[i];
            const QRect rect(0, i * rowHeight, panel, rowHeight);
            if (row.Cursor)
                painter.fillRect(rect, ToQColor(colors[csBars]));
            painter.setPen(row.Cursor ? QColor(Qt::black) : ToQColor(colors[row.Slot]));
            painter.drawText(rect.adjusted(4, 0, 0, 0), Qt::AlignLeft | Qt::AlignVCenter, row.Text);
        }
        const QRect terminal(panel, 0, width() - panel, height());
        painter.fillRect(terminal, ToQColor(colors[csTerminalBackground]));
        painter.setPen(ToQColor(colors[csTerminalText]));
        painter.drawText(QRect(panel + 6, 4, terminal.width() - 6, rowHeight),
                         Qt::AlignLeft | Qt::AlignTop, "user@host:~$ ls");
        painter.drawText(QRect(panel + 6, 4 + rowHeight, terminal.width() - 6, rowHeight),
                         Qt::AlignLeft | Qt::AlignTop, "a.txt  b.txt");
    }

private:
    const TKvSettings& FWork;
};

class TColorRowDelegate : public QStyledItemDelegate {
public:
    TColorRowDelegate(QObject* AParent, const TKvSettings& AWork)
        : QStyledItemDelegate(AParent), FWork(AWork) {}

    void paint(QPainter* APainter, const QStyleOptionViewItem& AOption,
               const QModelIndex& AIndex) const override {
        const QRect rect = AOption.rect;
        const bool selected = AOption.state & QStyle::State_Selected;
        const QPalette& colours = AOption.palette;
        APainter->fillRect(rect, colours.color(selected ? QPalette::Highlight : QPalette::Base));
        const QRect swatch(rect.left() + 6, rect.top() + 4, 32, rect.height() - 8);
        APainter->fillRect(swatch, ToQColor(FWork.Colors[AIndex.row()]));
        APainter->setPen(QColor("#808080"));
        APainter->drawRect(swatch.adjusted(0, 0, -1, -1));
        APainter->setPen(colours.color(selected ? QPalette::HighlightedText : QPalette::Text));
        APainter->drawText(rect.adjusted(swatch.right() + 1 + 8 - rect.left(), 0, 0, 0),
                           Qt::AlignVCenter, AIndex.data().toString());
    }
    QSize sizeHint(const QStyleOptionViewItem&, const QModelIndex&) const override {
        return QSize(1, Sc(22));
    }

private:
    const TKvSettings& FWork;
};

} // namespace

QStringList FixedWidthFonts() {
    QStringList fonts;
    for (const QString& family : QFontDatabase::families()) {
        if (family.isEmpty() || family.startsWith('@'))
            continue;
        QFont font(family);
        font.setPixelSize(16);
        const QFontMetrics metrics(font);
        if (metrics.horizontalAdvance('i') == metrics.horizontalAdvance('W'))
            fonts << family;
    }
    return fonts;
}

bool TOptionsForm::Execute(QWidget* AOwner, TKvSettings& ASettings, bool& AShowLog) {
    TOptionsForm form(AOwner, ASettings);
    if (form.exec() != QDialog::Accepted)
        return false;
    ASettings = form.FWork;
    AShowLog = form.FShowLogAfter;
    return true;
}

TOptionsForm::TOptionsForm(QWidget* AOwner, const TKvSettings& ASettings)
    : QDialog(AOwner), FWork(ASettings) {
    setWindowTitle("Options");
    setFont(DialogFont());
    setFixedSize(Sc(520), Sc(456));
    FPages = new QTabWidget(this);
    Place(FPages, 8, 8, 504, 400);
    const char* titles[] = {"Layout", "Files", "Programs", "Log", "About"};
    QWidget* pages[5];
    for (int i = 0; i < 5; ++i) {
        pages[i] = new QWidget();
        FPages->addTab(pages[i], titles[i]);
    }
    FProgramsTab = pages[2];
    BuildLayoutPage(pages[0]);
    BuildFilesPage(pages[1]);
    BuildProgramsPage(pages[2]);
    BuildLogPage(pages[3]);
    BuildAboutPage(pages[4]);

    FOk = new QPushButton("OK", this);
    Place(FOk, 338, 418, 84, 28);
    FOk->setDefault(true);
    FCancel = new QPushButton("Cancel", this);
    Place(FCancel, 428, 418, 84, 28);
    FCancel->setAutoDefault(false);
    connect(FOk, &QPushButton::clicked, this, [this] { OkClick(); });
    connect(FCancel, &QPushButton::clicked, this, [this] { reject(); });
    FillControls();
    if (AOwner) {
        const QRect owner = AOwner->window()->frameGeometry();
        move(owner.center() - QPoint(width() / 2, height() / 2));
    }
}

void TOptionsForm::BuildLayoutPage(QWidget* APage) {
    Label(APage, "Character size, in pixels:", 12, 16, 170);
    FSizeEdit = new QLineEdit(APage);
    FSizeEdit->setObjectName("size");
    Place(FSizeEdit, 186, 12, 40, 24);
    FSizeUpDown = new QWidget(APage);
    Place(FSizeUpDown, 226, 12, 16, 24);
    auto* arrows = new QVBoxLayout(FSizeUpDown);
    arrows->setContentsMargins(0, 0, 0, 0);
    arrows->setSpacing(0);
    for (int step : {1, -1}) {
        auto* button = new QToolButton(FSizeUpDown);
        button->setArrowType(step > 0 ? Qt::UpArrow : Qt::DownArrow);
        button->setAutoRepeat(true);
        button->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
        arrows->addWidget(button);
        connect(button, &QToolButton::clicked, this, [this, step] {
            FSizeEdit->setText(QString::number(
                std::clamp(FWork.FontHeight + step, KMinFontHeight, KMaxFontHeight)));
            SizeChanged();
        });
    }
    Label(APage, QString("The usual size is %1.").arg(KDefaultFontHeight), 254, 16, 220);
    Label(APage, "Font (fixed width):", 12, 50, 170);
    FFontBox = new QComboBox(APage);
    FFontBox->setObjectName("font");
    FFontBox->setMaxVisibleItems(16);
    Place(FFontBox, 186, 46, 200, 24);
    Label(APage, "Colours (double-click one to change it):", 12, 80, 300);
    FColorList = new QListWidget(APage);
    FColorList->setObjectName("colors");
    FColorList->setItemDelegate(new TColorRowDelegate(FColorList, FWork));
    for (std::string_view label : KColorSlotLabels)
        FColorList->addItem(Q(std::string(label)));
    Place(FColorList, 12, 100, 300, 118);
    const char* buttons[] = {"Change...", "Kolvan default colours", "Classic blue colours",
                             "Light colours"};
    QPushButton** fields[] = {&FChange, &FReset, &FClassic, &FLight};
    for (int i = 0; i < 4; ++i) {
        *fields[i] = new QPushButton(buttons[i], APage);
        (*fields[i])->setAutoDefault(false);
        Place(*fields[i], 324, 100 + 28 * i, 160, 26);
    }
    Label(APage, "How it looks:", 12, 224, 200);
    FPreview = new TPreview(APage, FWork);
    Place(FPreview, 12, 244, 472, 116);

    connect(FSizeEdit, &QLineEdit::textChanged, this, [this] { SizeChanged(); });
    connect(FFontBox, &QComboBox::currentTextChanged, this, [this](const QString& AFont) {
        if (FLoading || AFont.isEmpty())
            return;
        FWork.FontName = S(AFont);
        FPreview->update();
    });
    connect(FColorList, &QListWidget::currentRowChanged, this,
            [this](int ARow) { FChange->setEnabled(ARow >= 0); });
    connect(FColorList, &QListWidget::itemDoubleClicked, this, [this] { ChangeColor(); });
    connect(FChange, &QPushButton::clicked, this, [this] { ChangeColor(); });
    connect(FReset, &QPushButton::clicked, this, [this] { SetPalette(plDefault); });
    connect(FClassic, &QPushButton::clicked, this, [this] { SetPalette(plClassic); });
    connect(FLight, &QPushButton::clicked, this, [this] { SetPalette(plLight); });
}

void TOptionsForm::BuildFilesPage(QWidget* APage) {
    FHidden = Check(APage, "Show hidden files", 12, 16);
    FSystem = Check(APage, "Show system files", 12, 46);
    Label(
        APage,
        "Hidden files are those whose names start with a dot. System files are devices, pipes and "
        "sockets. A file that is both needs both boxes. Ctrl+H turns hidden files on and off in a "
        "moment.",
        12, 84, 470, 64, true);
}

void TOptionsForm::BuildProgramsPage(QWidget* APage) {
    struct TGroup {
        const char* Title;
        int Top;
        const char* Usual;
        QRadioButton** UsualButton;
        QRadioButton** OtherButton;
        QLineEdit** Edit;
        QPushButton** Browse;
    } groups[] = {
        {"Viewer (F3)", 12, "The built-in viewer (the usual)", &FViewerUsual, &FViewerOther,
         &FViewerEdit, &FViewerBrowse},
        {"Editor (F4)", 172, "The desktop's text editor (the usual)", &FEditorUsual, &FEditorOther,
         &FEditorEdit, &FEditorBrowse},
    };
    for (int tag = 1; tag <= 2; ++tag) {
        const TGroup& group = groups[tag - 1];
        auto* box = new QGroupBox(group.Title, APage);
        Place(box, 12, group.Top, 472, 112);
        *group.UsualButton = new QRadioButton(group.Usual, box);
        Place(*group.UsualButton, 12, 22, 450, 20);
        *group.OtherButton = new QRadioButton("This program:", box);
        Place(*group.OtherButton, 12, 46, 450, 20);
        *group.Edit = new QLineEdit(box);
        (*group.Edit)->setObjectName(tag == 1 ? "viewer" : "editor");
        Place(*group.Edit, 32, 72, 318, 24);
        *group.Browse = new QPushButton("Browse...", box);
        (*group.Browse)->setAutoDefault(false);
        Place(*group.Browse, 358, 70, 100, 28);
        connect(*group.OtherButton, &QRadioButton::toggled, this,
                [this, tag] { ProgramChoiceChanged(tag); });
        connect(*group.Browse, &QPushButton::clicked, this, [this, tag] { BrowseProgram(tag); });
    }
    Label(APage,
          "A program chosen here opens files on a disk. Files on a server and files inside an "
          "archive always "
          "open in the built-in viewer.",
          12, 130, 470, 34, true);
    Label(APage,
          "A file on a server is fetched, opened in this program, and sent back each time you save "
          "it.",
          12, 290, 470, 34, true);
}

void TOptionsForm::BuildLogPage(QWidget* APage) {
    FLogging = Check(APage, "Write a log file for troubleshooting", 12, 16);
    Label(APage,
          "The log lists what Kolvan does with connections and files, including file and server "
          "names. It "
          "never contains passwords. It is kept in the temporary folder as kolvan.log, and a full "
          "one is "
          "moved to kolvan.old.log, so it stays small.",
          12, 46, 470, 64, true);
    FShowLog = new QPushButton("Show the log...", APage);
    Place(FShowLog, 12, 120, 160, 28);
    FClearLog = new QPushButton("Clear the log", APage);
    Place(FClearLog, 180, 120, 160, 28);
    for (QPushButton* button : {FShowLog, FClearLog})
        button->setAutoDefault(false);
    FLogConsole = Check(APage, "Also write what the command line (Ctrl+O) shows", 12, 164);
    Label(APage,
          "Each line of output goes into the log as \"cmd: ...\", without colours. Only while the "
          "log above "
          "is on.",
          12, 188, 470, 34, true);
    connect(FShowLog, &QPushButton::clicked, this, [this] {
        FShowLogAfter = true;
        OkClick();
        if (result() != QDialog::Accepted)
            FShowLogAfter = false;
    });
    connect(FClearLog, &QPushButton::clicked, this,
            [this] { FClearLog->setText(ClearLog() ? "The log is empty" : "Could not clear it"); });
}

void TOptionsForm::BuildAboutPage(QWidget* APage) {
    auto* name = Label(APage, "Kolvan", 12, 16, 470, 36);
    QFont bold = font();
    bold.setBold(true);
    bold.setPixelSize(font().pixelSize() * 2);
    name->setFont(bold);
    Label(APage, QString("Version %1 (build %2)").arg(KV_VERSION, KV_BUILD_NUMBER), 12, 58, 470);
    Label(APage, "A free two-panel file manager and SSH terminal for Linux.", 12, 80, 470, 18,
          true);
    auto* link = new QLabel(QString("<a href=\"%1\">%1</a>").arg(KWebSite), APage);
    link->setTextFormat(Qt::RichText);
    link->setOpenExternalLinks(true);
    Place(link, 12, 110, 300, 18);
}

void TOptionsForm::FillControls() {
    FLoading = true;
    FSizeEdit->setText(QString::number(FWork.FontHeight));
    FFontBox->clear();
    std::vector<std::string> fixed;
    for (const QString& family : FixedWidthFonts())
        fixed.push_back(S(family));
    for (const std::string& font : FontChoices(fixed, FWork.FontName))
        FFontBox->addItem(Q(font));
    FFontBox->setCurrentText(Q(FWork.FontName));
    FHidden->setChecked(FWork.ShowHidden);
    FSystem->setChecked(FWork.ShowSystem);
    FLogging->setChecked(FWork.LogEnabled);
    FLogConsole->setChecked(FWork.LogConsole);
    FViewerEdit->setText(Q(FWork.ViewerExe));
    FEditorEdit->setText(Q(FWork.EditorExe));
    (FWork.ViewerExe.empty() ? FViewerUsual : FViewerOther)->setChecked(true);
    (FWork.EditorExe.empty() ? FEditorUsual : FEditorOther)->setChecked(true);
    FColorList->setCurrentRow(0);
    FLoading = false;
    UpdateProgramEnabling();
    FColorList->viewport()->update();
    FPreview->update();
}

void TOptionsForm::SizeChanged() {
    if (FLoading)
        return;
    FWork.FontHeight = ParseFontSize(S(FSizeEdit->text()), FWork.FontHeight);
    FPreview->update();
}

void TOptionsForm::SetPalette(int APalette) {
    FWork.Colors = PaletteColors(static_cast<TKvPalette>(APalette));
    FColorList->viewport()->update();
    FPreview->update();
}

void TOptionsForm::SetSlotColor(int ASlot, TKvColor AColor) {
    if (ASlot < 0 || ASlot >= KColorSlotCount)
        return;
    FWork.Colors[ASlot] = AColor;
    FColorList->viewport()->update();
    FPreview->update();
}

bool TOptionsForm::PickColor(TKvColor& AColor) {
    QColor chosen = QColorDialog::getColor(ToQColor(AColor), this, "Colour");
    if (!chosen.isValid())
        return false;
    AColor = KvRgb(chosen.red(), chosen.green(), chosen.blue());
    return true;
}

void TOptionsForm::ChangeColor() {
    const int slot = FColorList->currentRow();
    if (slot < 0)
        return;
    TKvColor color = FWork.Colors[slot];
    if (PickColor(color))
        SetSlotColor(slot, color);
}

bool TOptionsForm::PickProgram(QString& APath) {
    QString start = APath.trimmed();
    if (!IsExistingFile(S(start)))
        start.clear();
    QString path = QFileDialog::getOpenFileName(this, "Choose a program", start, "All files (*)");
    if (path.isEmpty())
        return false;
    APath = path;
    return true;
}

void TOptionsForm::UpdateProgramEnabling() {
    FViewerEdit->setEnabled(FViewerOther->isChecked());
    FViewerBrowse->setEnabled(FViewerOther->isChecked());
    FEditorEdit->setEnabled(FEditorOther->isChecked());
    FEditorBrowse->setEnabled(FEditorOther->isChecked());
}

void TOptionsForm::ProgramChoiceChanged(int ATag) {
    UpdateProgramEnabling();
    if (FLoading)
        return;
    QRadioButton* other = ATag == 1 ? FViewerOther : FEditorOther;
    QLineEdit* edit = ATag == 1 ? FViewerEdit : FEditorEdit;
    if (other->isChecked() && edit->text().trimmed().isEmpty())
        BrowseProgram(ATag);
}

void TOptionsForm::BrowseProgram(int ATag) {
    QLineEdit* edit = ATag == 1 ? FViewerEdit : FEditorEdit;
    QString path = edit->text();
    if (PickProgram(path)) {
        edit->setText(path);
    } else if (edit->text().trimmed().isEmpty()) {
        // Nothing chosen and nothing typed: the usual program again.
        (ATag == 1 ? FViewerUsual : FEditorUsual)->setChecked(true);
    }
}

void TOptionsForm::OkClick() {
    FWork.FontHeight = ParseFontSize(S(FSizeEdit->text()), FWork.FontHeight);
    TKvProgramCheck check =
        CheckPrograms(FViewerOther->isChecked(), S(FViewerEdit->text()), FEditorOther->isChecked(),
                      S(FEditorEdit->text()), IsExistingFile);
    if (!check.Message.empty()) {
        FPages->setCurrentWidget(FProgramsTab);
        QMessageBox::information(this, "Options", Q(check.Message));
        return;
    }
    FWork.ShowHidden = FHidden->isChecked();
    FWork.ShowSystem = FSystem->isChecked();
    FWork.LogEnabled = FLogging->isChecked();
    FWork.LogConsole = FLogConsole->isChecked();
    FWork.ViewerExe = ProgramSetting(FViewerOther->isChecked(), S(FViewerEdit->text()));
    FWork.EditorExe = ProgramSetting(FEditorOther->isChecked(), S(FEditorEdit->text()));
    accept();
}

} // namespace kv
