#include "Kv.Ui.DiffForm.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QScrollBar>
#include <QVBoxLayout>
#include <QWheelEvent>
#include <typeinfo>

#include "Kv.Log.h"
#include "Kv.Ui.Dpi.h"
#include "Kv.Ui.Theme.h"

namespace kv {

namespace {

QString Q(const std::string& AText) { return QString::fromUtf8(AText.data(), qsizetype(AText.size())); }

QColor C(TKvColor AColor) { return ToQColor(AColor); }

constexpr int KMaxDrawnChars = 4000;

// The part of a line from code point AFrom on, at most ACount code points.
QString Slice(const std::string& ALine, int AFrom, int ACount) {
    const QList<uint> codes = Q(ALine).toUcs4();
    if (AFrom >= codes.size())
        return {};
    const int count = std::min<int>(ACount, int(codes.size()) - AFrom);
    return QString::fromUcs4(reinterpret_cast<const char32_t*>(codes.constData()) + AFrom, count);
}

} // namespace

class TKvDiffBox : public QWidget {
public:
    explicit TKvDiffBox(TKvDiffForm& AForm) : QWidget(&AForm), FForm(AForm) {
        setFocusPolicy(Qt::StrongFocus);
        setAttribute(Qt::WA_OpaquePaintEvent);
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        const TKvDiffModel& model = FForm.FModel;
        const TKvColors& colors = Theme().Colors;
        if (!model.IsLoaded() || !model.Error().empty()) {
            painter.fillRect(rect(), C(colors[csBackground]));
            painter.setPen(C(colors[csText]));
            const QString text = model.IsLoaded() ? Q(model.Error()) : QStringLiteral("Loading...");
            painter.drawText(QRect(8, 8, width() - 16, height() - 16), Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap,
                             text);
            return;
        }
        const int half = width() / 2;
        const int lineH = FForm.FLineH;
        const int last = std::min(model.RowCount() - 1, model.Top() + model.PageRows());
        int y = 0;
        for (int row = model.Top(); row <= last; ++row, y += lineH) {
            PaintSide(painter, row, dsLeft, QRect(0, y, half - 1, lineH));
            PaintSide(painter, row, dsRight, QRect(half + 1, y, width() - half - 1, lineH));
        }
        if (y < height())
            painter.fillRect(QRect(0, y, width(), height() - y), C(colors[csBackground]));
        painter.fillRect(QRect(half - 1, 0, 2, height()), C(colors[csBars]));
    }

    void PaintSide(QPainter& APainter, int ARow, TKvDiffSide ASide, const QRect& ACell) {
        const TKvDiffModel& model = FForm.FModel;
        const TKvColors& colors = Theme().Colors;
        const int charW = FForm.FCharW;
        auto [background, textColor] = model.Colors(ARow, ASide, colors);
        APainter.fillRect(ACell, C(background));
        const bool present = model.Present(ARow, ASide);
        const bool current = ARow == model.Current();
        const int gutter = model.GutterChars();
        if (!model.Binary()) {
            const QRect box(ACell.left(), ACell.top(), gutter * charW + 2, ACell.height());
            APainter.fillRect(box, current ? C(colors[csBars]) : C(BlendColors(colors[csBackground], 0, 20)));
            if (present) {
                APainter.setPen(C(colors[csHidden]));
                APainter.drawText(box.adjusted(0, 1, -3, 0), Qt::AlignRight | Qt::AlignTop,
                                  QString::number(model.LineNumber(ARow, ASide)));
            }
        } else if (current) {
            APainter.fillRect(QRect(ACell.left(), ACell.top(), 3, ACell.height()), C(colors[csBars]));
        }
        if (!present)
            return;
        const int textLeft = ACell.left() + gutter * charW + 4;
        const QRect textPart(textLeft, ACell.top(), std::max(0, ACell.right() + 1 - textLeft), ACell.height());
        APainter.save();
        APainter.setClipRect(textPart);
        const QColor mark = C(BlendColors(colors[csBackground], KvRgb(0xff, 0, 0), 70));
        for (auto [first, last] : model.Highlights(ARow, ASide)) {
            const int left = textLeft + (first - model.Col()) * charW;
            const int right = textLeft + (last - model.Col()) * charW;
            if (right > left)
                APainter.fillRect(QRect(left, ACell.top(), right - left, ACell.height()), mark);
        }
        const int fit = textPart.width() / charW + 2;
        const QString text = Slice(model.Text(ARow, ASide), model.Col(), std::min(KMaxDrawnChars, fit));
        if (!text.isEmpty()) {
            APainter.setPen(C(textColor));
            APainter.drawText(QPoint(textLeft, ACell.top() + 1 + APainter.fontMetrics().ascent()), text);
        }
        APainter.restore();
    }

    void mousePressEvent(QMouseEvent* AEvent) override {
        TKvDiffModel& model = FForm.FModel;
        const int row = int(AEvent->position().y()) / FForm.FLineH + model.Top();
        if (row >= 0 && row < model.RowCount()) {
            model.SetCurrent(row);
            FForm.Refresh();
        }
    }

    void wheelEvent(QWheelEvent* AEvent) override {
        TKvDiffModel& model = FForm.FModel;
        const int notches = AEvent->angleDelta().y() / 120;
        if (notches == 0)
            return;
        if (AEvent->modifiers() & Qt::ShiftModifier) {
            model.ScrollColumns(-notches * 8);
            FForm.Refresh();
        } else {
            FForm.ScrollTo(model.Top() - notches * 3);
        }
    }

private:
    TKvDiffForm& FForm;
};

class TKvDiffHeader : public QWidget {
public:
    explicit TKvDiffHeader(TKvDiffForm& AForm) : QWidget(&AForm), FForm(AForm) {}

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.fillRect(rect(), ThemeColor(csBars));
        painter.setPen(Qt::black);
        const int textWidth = FForm.FBox ? FForm.FBox->width() : width();
        const int half = textWidth / 2;
        const int inset = ScaleFor(this, 4);
        auto draw = [&](int ALeft, int ARight, const std::string& AText) {
            QRect cell(ALeft + inset, 0, std::max(0, ARight - ALeft - 2 * inset), height());
            painter.drawText(cell, Qt::AlignVCenter | Qt::AlignLeft | Qt::TextSingleLine,
                             painter.fontMetrics().elidedText(Q(AText), Qt::ElideMiddle, cell.width()));
        };
        draw(0, half, FForm.FLeftTitle);
        draw(half, width(), FForm.FRightTitle);
        painter.setPen(ThemeColor(csBackground));
        painter.drawLine(half, 0, half, height());
    }

private:
    TKvDiffForm& FForm;
};

class TKvDiffStrip : public QWidget {
public:
    explicit TKvDiffStrip(TKvDiffForm& AForm) : QWidget(&AForm), FForm(AForm) {}

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        const TKvColors& colors = Theme().Colors;
        painter.fillRect(rect(), C(BlendColors(colors[csBackground], 0, 30)));
        const TKvDiffModel& model = FForm.FModel;
        if (model.RowCount() == 0)
            return;
        for (const auto& bar : model.StripBars(height()))
            painter.fillRect(QRect(2, bar.Top, width() - 4, bar.Bottom - bar.Top), C(bar.Color));
        auto [top, bottom] = model.StripVisible(height());
        painter.setPen(C(colors[csBars]));
        painter.setBrush(Qt::NoBrush);
        painter.drawRect(QRect(0, top, width() - 1, bottom - top - 1));
    }

    void mousePressEvent(QMouseEvent* AEvent) override {
        const TKvDiffModel& model = FForm.FModel;
        if (model.RowCount() > 0)
            FForm.ScrollTo(model.StripRowAt(int(AEvent->position().y()), height()));
    }

private:
    TKvDiffForm& FForm;
};

TKvDiffForm* TKvDiffForm::Open(QWidget* AOwner, IKvFileSystemPtr ALeftFs, const std::string& ALeftPath,
                               const std::string& ALeftTitle, IKvFileSystemPtr ARightFs,
                               const std::string& ARightPath, const std::string& ARightTitle,
                               const TKvCompareOptions& AOptions) {
    auto* form = new TKvDiffForm(AOwner, std::move(ALeftFs), ALeftPath, ALeftTitle, std::move(ARightFs), ARightPath,
                                 ARightTitle, AOptions);
    form->show();
    form->raise();
    form->activateWindow();
    return form;
}

TKvDiffForm::TKvDiffForm(QWidget* AOwner, IKvFileSystemPtr ALeftFs, const std::string& ALeftPath,
                         const std::string& ALeftTitle, IKvFileSystemPtr ARightFs, const std::string& ARightPath,
                         const std::string& ARightTitle, const TKvCompareOptions& AOptions)
    : QWidget(AOwner, Qt::Window), FLeftFs(std::move(ALeftFs)), FRightFs(std::move(ARightFs)), FLeftPath(ALeftPath),
      FRightPath(ARightPath), FLeftTitle(ALeftTitle), FRightTitle(ARightTitle), FModel(AOptions) {
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(Q("Compare - " + FLeftFs->NameOf(FLeftPath)));
    QPalette palette = this->palette();
    palette.setColor(QPalette::Window, ThemeColor(csBackground));
    setPalette(palette);
    setAutoFillBackground(true);
    const int fontHeight = ScaleFor(this, Theme().FontHeight);
    setFont(ThemeFont(fontHeight));
    const QFontMetrics metrics(font());
    FLineH = std::max(1, metrics.height() + 2);
    FCharW = std::max(1, metrics.horizontalAdvance(QLatin1Char('W')));

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    FHeader = new TKvDiffHeader(*this);
    FHeader->setFixedHeight(metrics.height() + ScaleFor(this, 8));
    layout->addWidget(FHeader);
    auto* middle = new QHBoxLayout;
    middle->setContentsMargins(0, 0, 0, 0);
    middle->setSpacing(0);
    FBox = new TKvDiffBox(*this);
    FMap = new TKvDiffStrip(*this);
    FMap->setObjectName(QStringLiteral("overview"));
    FMap->setFixedWidth(ScaleFor(this, 14));
    FBar = new QScrollBar(Qt::Vertical, this);
    FBar->setFocusPolicy(Qt::NoFocus);
    FBar->setEnabled(false);
    middle->addWidget(FBox, 1);
    middle->addWidget(FMap);
    middle->addWidget(FBar);
    layout->addLayout(middle, 1);
    FStatus = new QLabel(this);
    FStatus->setObjectName(QStringLiteral("status"));
    FStatus->setAutoFillBackground(true);
    QPalette bars = FStatus->palette();
    bars.setColor(QPalette::Window, ThemeColor(csBars));
    bars.setColor(QPalette::WindowText, Qt::black);
    FStatus->setPalette(bars);
    FStatus->setFixedHeight(metrics.height() + ScaleFor(this, 8));
    FStatus->setAlignment(Qt::AlignVCenter | Qt::AlignLeft);
    FStatus->setTextFormat(Qt::PlainText);
    FStatus->setText(Q(FModel.StatusText()));
    layout->addWidget(FStatus);

    connect(FBar, &QScrollBar::valueChanged, this, [this](int AValue) {
        if (FSettingBar)
            return;
        ScrollTo(AValue);
    });

    resize(ScaleFor(this, 1100), ScaleFor(this, 650));
    if (QWidget* owner = AOwner ? AOwner->window() : nullptr)
        move(owner->geometry().center() - rect().center());
    FBox->setFocus();

    FAlive = NewCancelToken();
    FWorker = std::make_unique<TKvWorker>();
    FWorker->Post([alive = FAlive, this, leftFs = FLeftFs, rightFs = FRightFs, leftPath = FLeftPath,
                   rightPath = FRightPath, options = AOptions](const IKvCancelToken& AToken) {
        TKvDiffLoadPtr load = LoadDiff(*leftFs, leftPath, *rightFs, rightPath, options, AToken);
        KvDeliver(alive, [this, load] { Loaded(std::move(*load)); });
    });
}

TKvDiffForm::~TKvDiffForm() {
    auto step = [](auto&& AStep) {
        try {
            AStep();
        } catch (const std::exception& e) {
            Log(std::string("closing diff: ") + typeid(e).name() + ": " + e.what());
        }
    };
    step([this] { FAlive->Cancel(); });
    step([this] {
        FWorker->Stop(100);
        FWorker.reset();
    });
}

std::string TKvDiffForm::StatusText() const { return FModel.StatusText(); }

int TKvDiffForm::VisibleRows() const { return std::max(1, FBox->height() / FLineH); }

void TKvDiffForm::Loaded(TKvDiffLoad ALoad) {
    FModel.Loaded(std::move(ALoad));
    FModel.SetPageRows(VisibleRows());
    UpdateBar();
    FStatus->setText(Q(FModel.StatusText()));
    if (!FModel.Blocks().empty())
        FModel.NextBlock();
    Refresh();
}

void TKvDiffForm::ScrollTo(int ARow) {
    FModel.SetPageRows(VisibleRows());
    if (FModel.ScrollTo(ARow))
        Refresh();
    UpdateBar();
}

void TKvDiffForm::Refresh() {
    UpdateBar();
    FBox->update();
    FMap->update();
}

void TKvDiffForm::UpdateBar() {
    FSettingBar = true;
    const int rows = FModel.RowCount(), page = FModel.PageRows();
    FBar->setEnabled(page < rows);
    // Qt's range ends where the last page starts; the page step is the slider's length.
    FBar->setRange(0, std::max(0, rows - page));
    FBar->setPageStep(std::clamp(page, 1, 32767));
    FBar->setSingleStep(1);
    FBar->setValue(FModel.Top());
    FSettingBar = false;
}

void TKvDiffForm::Jump(bool ANext) {
    FModel.SetPageRows(VisibleRows());
    if (!(ANext ? FModel.NextBlock() : FModel.PreviousBlock()))
        QApplication::beep();
    Refresh();
}

void TKvDiffForm::keyPressEvent(QKeyEvent* AEvent) {
    const Qt::KeyboardModifiers mods = AEvent->modifiers() & ~Qt::KeypadModifier;
    const bool none = mods == Qt::NoModifier, shift = mods == Qt::ShiftModifier, alt = mods == Qt::AltModifier;
    const int page = VisibleRows();
    FModel.SetPageRows(page);
    switch (AEvent->key()) {
    case Qt::Key_Escape:
    case Qt::Key_F3:
    case Qt::Key_F10:
        close();
        return;
    case Qt::Key_N:
        if (!none)
            break;
        Jump(true);
        return;
    case Qt::Key_P:
        if (!none)
            break;
        Jump(false);
        return;
    case Qt::Key_Space:
    case Qt::Key_F8:
        if (!none && !shift)
            break;
        Jump(none);
        return;
    case Qt::Key_Up:
    case Qt::Key_Down:
        if (alt)
            Jump(AEvent->key() == Qt::Key_Down);
        else
            ScrollTo(FModel.Top() + (AEvent->key() == Qt::Key_Down ? 1 : -1));
        return;
    case Qt::Key_PageUp:
        ScrollTo(FModel.Top() - std::max(1, page - 1));
        return;
    case Qt::Key_PageDown:
        ScrollTo(FModel.Top() + std::max(1, page - 1));
        return;
    case Qt::Key_Home:
        FModel.Home();
        Refresh();
        return;
    case Qt::Key_End:
        FModel.End();
        Refresh();
        return;
    case Qt::Key_Left:
    case Qt::Key_Right:
        FModel.ScrollColumns(AEvent->key() == Qt::Key_Right ? 8 : -8);
        Refresh();
        return;
    default:
        break;
    }
    QWidget::keyPressEvent(AEvent);
}

void TKvDiffForm::resizeEvent(QResizeEvent* AEvent) {
    QWidget::resizeEvent(AEvent);
    if (!FBox)
        return;
    ScrollTo(FModel.Top());
    FHeader->update();
    FMap->update();
}

} // namespace kv
