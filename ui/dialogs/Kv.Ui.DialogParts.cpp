#include "Kv.Ui.DialogParts.h"

#include <QDialog>
#include <QFontMetrics>
#include <QLabel>
#include <string>

#include "Kv.Ui.Dpi.h"
#include "Kv.Ui.Theme.h"

namespace kv {

void PlaceAt96(QWidget* AWidget, int ALeft, int ATop, int AWidth, int AHeight) {
    AWidget->setGeometry(ScaleToScreen(ALeft), ScaleToScreen(ATop), ScaleToScreen(AWidth), ScaleToScreen(AHeight));
}

QDialog* NewFixedForm(QDialog* AForm, const QString& ATitle, int AClientWidth, int AClientHeight) {
    AForm->setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                          Qt::WindowCloseButtonHint | Qt::CustomizeWindowHint);
    AForm->setWindowTitle(ATitle);
    AForm->setFont(DialogFont());
    AForm->setFixedSize(ScaleToScreen(AClientWidth), ScaleToScreen(AClientHeight));
    AForm->setModal(true);
    return AForm;
}

void CentreOnWindow(QDialog* AForm, QWidget* AOn) {
    if (!AOn || !AOn->isVisible())
        return;
    QWidget* window = AOn->window();
    QPoint centre = window->mapToGlobal(window->rect().center());
    AForm->move(centre - QPoint(AForm->width() / 2, AForm->height() / 2));
}

QLabel* PlainLabel(QWidget* AParent, const QString& AText, int ALeft, int ATop, int AWidth, int AHeight, bool ABold,
                   bool AElide) {
    auto* label = new QLabel(AParent);
    label->setTextFormat(Qt::PlainText);
    label->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    if (ABold) {
        QFont font = label->font();
        font.setBold(true);
        label->setFont(font);
    }
    PlaceAt96(label, ALeft, ATop, AWidth, AHeight);
    QString text = AText;
    text.replace('\n', QChar(0x21B5)); // a name with a line break stays on one line
    if (AElide) {
        label->setToolTip(text);
        text = QFontMetrics(label->font()).elidedText(text, Qt::ElideMiddle, label->width());
    }
    label->setText(text);
    return label;
}

QString QStr(const std::string& AText) {
    return QString::fromUtf8(AText.data(), static_cast<qsizetype>(AText.size()));
}

} // namespace kv
