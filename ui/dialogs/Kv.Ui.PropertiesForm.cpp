#include "Kv.Ui.PropertiesForm.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QMimeDatabase>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "Kv.Ui.Clipboard.h"
#include "Kv.Ui.DialogParts.h"
#include "Kv.Ui.Dpi.h"
#include "Kv.Ui.Prompts.h"
#include "Kv.Ui.Theme.h"

namespace kv {

TPropertiesForm::TPropertiesForm(QWidget* AOwner, const std::string& AName, const std::vector<TKvProp>& AProps)
    : QDialog(AOwner), FProps(AProps) {
    setWindowTitle("Properties - " + QStr(AName));
    setFont(DialogFont());
    setAttribute(Qt::WA_DeleteOnClose);
    auto* layout = new QVBoxLayout(this);
    FList = new QTreeWidget(this);
    FList->setColumnCount(2);
    FList->setHeaderLabels({"Property", "Value"});
    FList->setRootIsDecorated(false);
    FList->setSelectionMode(QAbstractItemView::ExtendedSelection);
    for (const auto& prop : AProps) {
        QString value = QStr(prop.Value);
        value.replace('\n', QChar(0x21B5));
        auto* item = new QTreeWidgetItem(FList, {QStr(prop.Name), value});
        item->setToolTip(1, QStr(prop.Value));
    }
    FList->header()->setSectionResizeMode(0, QHeaderView::ResizeToContents);
    FList->header()->setStretchLastSection(true);
    layout->addWidget(FList);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    auto* copy = new QPushButton("Copy", this);
    auto* close = new QPushButton("Close", this);
    close->setDefault(true);
    buttons->addWidget(copy);
    buttons->addWidget(close);
    layout->addLayout(buttons);
    connect(copy, &QPushButton::clicked, this, [this] { CopyTextToClipboard(CopyText()); });
    connect(close, &QPushButton::clicked, this, &QDialog::close);
    resize(ScaleToScreen(520), ScaleToScreen(380));
}

std::string TPropertiesForm::CopyText() const {
    std::string text;
    for (const auto& prop : FProps)
        text += prop.Name + ": " + prop.Value + "\n";
    return text;
}

std::string MimeDescription(const std::string& APath) {
    QMimeDatabase database;
    QMimeType type = database.mimeTypeForFile(QString::fromLocal8Bit(APath.c_str()));
    if (!type.isValid() || type.isDefault())
        return {};
    return (type.comment() + " (" + type.name() + ")").toStdString();
}

void ShowFileProperties(QWidget* AOwner, TKvWorker& AWorker, const IKvCancelTokenPtr& AAlive, const std::string& APath,
                        const IKvFileSystemPtr& AFs) {
    AWorker.Post([AOwner, AAlive, APath, AFs](const IKvCancelToken&) {
        std::vector<TKvProp> props = CollectProperties(AFs, APath, MimeDescription);
        KvDeliver(AAlive, [AOwner, APath, AFs, props] {
            auto* form = new TPropertiesForm(AOwner ? AOwner : DialogMainWindow(), AFs->NameOf(APath), props);
            form->show();
        });
    });
}

} // namespace kv
