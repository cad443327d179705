// The file search windows: the modal query dialog "Search for files", and the results window
// that runs the search on its own worker and lists the hits as they arrive. The rules live in
// TKvSearchModel; these paint and forward keys.
#pragma once

#include <QWidget>
#include <memory>
#include <string>

#include "Kv.SearchModel.h"

class QLabel;

namespace kv {

class TKvHitList;

// The query dialog: true when the user pressed "Search"; ASpec is then updated.
bool AskSearchSpec(QWidget* AOwner, const std::string& AWhere, TKvSearchSpec& ASpec);

class TKvSearchResults : public QWidget {
    Q_OBJECT

public:
    // Creates, shows and starts the results window.
    static TKvSearchResults* Open(QWidget* AOwner, IKvFileSystemPtr AFs, const std::string& ARoot,
                                  const std::string& AWhere, const TKvSearchSpec& ASpec,
                                  TKvSearchGoTo AGoTo);
    ~TKvSearchResults() override;

    TKvSearchModel& Model() { return *FModel; }
    TKvHitList* List() const { return FList; }
    QLabel* StatusLabel() const { return FStatus; }
    // Enter, F3 and Esc of the list.
    bool HandleKey(int AKey, Qt::KeyboardModifiers AModifiers);

private:
    TKvSearchResults(QWidget* AOwner, std::unique_ptr<TKvSearchModel> AModel);
    void Refresh();

    std::unique_ptr<TKvSearchModel> FModel;
    QWidget* FHeader = nullptr;
    TKvHitList* FList = nullptr;
    QLabel* FStatus = nullptr;
};

} // namespace kv
