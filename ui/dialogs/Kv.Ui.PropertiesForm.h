// The properties window: the lines CollectProperties gives, and a button that copies them.
#pragma once

#include <QDialog>
#include <string>
#include <vector>

#include "Kv.FileActions.h"
#include "Kv.Worker.h"

class QTreeWidget;

namespace kv {

class TPropertiesForm : public QDialog {
    Q_OBJECT

public:
    TPropertiesForm(QWidget* AOwner, const std::string& AName, const std::vector<TKvProp>& AProps);
    QTreeWidget* List() const { return FList; }
    // Every line as "name: value", each ended by a line break.
    std::string CopyText() const;

private:
    QTreeWidget* FList = nullptr;
    std::vector<TKvProp> FProps;
};

// The type's description from the desktop's MIME database.
std::string MimeDescription(const std::string& APath);
// Collects on AWorker and opens the window (not modal) on this thread unless AAlive is cancelled.
void ShowFileProperties(QWidget* AOwner, TKvWorker& AWorker, const IKvCancelTokenPtr& AAlive, const std::string& APath,
                        const IKvFileSystemPtr& AFs);

} // namespace kv
