#include "Kv.Ui.TransferStrip.h"

#include <QMouseEvent>
#include <QPainter>
#include <QTimer>
#include <algorithm>

#include "Kv.Ui.ProgressForm.h"
#include "Kv.Ui.ProgressParts.h"
#include "Kv.Ui.QueueForm.h"
#include "Kv.Ui.Theme.h"

namespace kv {

using namespace progress;

TKvTransferStrip::TKvTransferStrip(QWidget* AParent, TKvClock AClock)
    : QWidget(AParent), FClock(std::move(AClock)) {
    setCursor(Qt::PointingHandCursor);
    FTimer = new QTimer(this);
    FTimer->setInterval(KRefreshMs);
    // The tick repaints, which also drives the blinking.
    connect(FTimer, &QTimer::timeout, this, [this] { Update(); });
    ApplyTheme();
    hide();
}

TKvTransferStrip::~TKvTransferStrip() {
    FTimer->stop();
    FForms.clear();
}

void TKvTransferStrip::ApplyTheme() {
    const int height = Scaled(Theme().FontHeight);
    setFont(ThemeFont(height));
    setFixedHeight(height + Scaled(11));
    update();
}

void TKvTransferStrip::SetQueueForm(TKvQueueForm* AQueueForm) {
    FQueueForm = AQueueForm;
    Update();
}

void TKvTransferStrip::AddForm(TProgressForm* AForm) {
    if (AForm && std::find(FForms.begin(), FForms.end(), AForm) == FForms.end())
        FForms.push_back(AForm);
    Update();
}

void TKvTransferStrip::RemoveForm(TProgressForm* AForm) {
    auto it = std::find(FForms.begin(), FForms.end(), AForm);
    if (it != FForms.end())
        FForms.erase(it);
    Update();
}

void TKvTransferStrip::QueueChanged() {
    Update();
}

void TKvTransferStrip::Clear() {
    FTimer->stop();
    FForms.clear();
    FQueueForm = nullptr;
    hide();
}

bool TKvTransferStrip::HasQueueTab() const {
    return FQueueForm && FQueueForm->HasQueue();
}

int TKvTransferStrip::TabCount() const {
    return static_cast<int>(FForms.size()) + (HasQueueTab() ? 1 : 0);
}

void TKvTransferStrip::Update() {
    const bool any = TabCount() > 0;
    if (any && !FTimer->isActive())
        FTimer->start();
    else if (!any)
        FTimer->stop();
    setVisible(any);
    update();
}

TKvTabGeometry TKvTransferStrip::Geometry() const {
    TKvTabGeometry geometry;
    geometry.TabWidth =
        fontMetrics().horizontalAdvance(QString::fromUtf8(KWidestTabText)) + Scaled(16);
    geometry.Gap = Scaled(4);
    geometry.Top = Scaled(2);
    geometry.Bottom = height() - Scaled(2);
    return geometry;
}

bool TKvTransferStrip::TabState(int AIndex, TKvTransferSnapshot& ASnap, bool& AWaiting,
                                bool& AFramed, std::string& AText) const {
    const bool queueTab = HasQueueTab();
    if (queueTab && AIndex == 0) {
        TKvTransferManager& manager = *FQueueForm->Manager();
        const int count = manager.QueueCount();
        bool asking = false;
        for (int i = 0; i < count; ++i)
            asking = asking || manager.QueueItem(i).Snapshot().PromptKind != pkNone;
        ASnap = manager.QueueItem(0).Snapshot();
        AWaiting = FQueueForm->InStrip() && asking;
        AFramed = FQueueForm->isVisible();
        AText = QueueTabText(count, ASnap, AWaiting);
        return true;
    }
    const int index = AIndex - (queueTab ? 1 : 0);
    if (index < 0 || index >= static_cast<int>(FForms.size()))
        return false;
    const TProgressForm* form = FForms[index];
    if (!form->Session())
        return false; // its slot stays empty
    ASnap = form->Session()->Snapshot();
    AWaiting = ASnap.PromptKind != pkNone && form->InStrip();
    AFramed = !form->InStrip();
    AText = FormTabText(ASnap, AWaiting);
    return true;
}

std::string TKvTransferStrip::TabText(int AIndex) const {
    TKvTransferSnapshot snap;
    bool waiting = false, framed = false;
    std::string text;
    TabState(AIndex, snap, waiting, framed, text);
    return text;
}

TKvBoxLook TKvTransferStrip::TabBoxLook(int AIndex) const {
    TKvTransferSnapshot snap;
    bool waiting = false, framed = false;
    std::string text;
    if (!TabState(AIndex, snap, waiting, framed, text))
        return {ikBackground, 0, ikBackground};
    return TabLook(snap, waiting, BlinkOn(FClock()));
}

bool TKvTransferStrip::TabFramed(int AIndex) const {
    TKvTransferSnapshot snap;
    bool waiting = false, framed = false;
    std::string text;
    return TabState(AIndex, snap, waiting, framed, text) && framed;
}

void TKvTransferStrip::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), ThemeColor(csBackground));
    const TKvTabGeometry geometry = Geometry();
    const bool blink = BlinkOn(FClock());
    const int count = TabCount();
    for (int i = 0; i < count; ++i) {
        TKvTransferSnapshot snap;
        bool waiting = false, framed = false;
        std::string text;
        if (!TabState(i, snap, waiting, framed, text))
            continue;
        const QRect tab(geometry.LeftOf(i), geometry.Top, geometry.TabWidth,
                        geometry.Bottom - geometry.Top);
        const TKvBoxLook look = TabLook(snap, waiting, blink);
        PaintBox(painter, tab, look);
        painter.setPen(InkColor(look.Text));
        painter.drawText(
            QRect(tab.left() + Scaled(8), tab.top(), tab.width() - Scaled(8), tab.height()),
            Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, Q(text));
        if (framed) {
            painter.setPen(InkColor(ikMarked));
            painter.setBrush(Qt::NoBrush);
            painter.drawRect(tab.adjusted(0, 0, -1, -1));
        }
    }
}

void TKvTransferStrip::ClickAt(QPoint APoint) {
    const int tab = Geometry().TabAt(APoint.x(), APoint.y(), TabCount());
    const int target = TabTarget(tab, HasQueueTab(), static_cast<int>(FForms.size()));
    if (target == KQueueTab)
        FQueueForm->RestoreFromStrip();
    else if (target >= 0)
        FForms[target]->RestoreFromStrip();
}

void TKvTransferStrip::mouseReleaseEvent(QMouseEvent* AEvent) {
    if (AEvent->button() == Qt::LeftButton)
        ClickAt(AEvent->position().toPoint());
    QWidget::mouseReleaseEvent(AEvent);
}

} // namespace kv
