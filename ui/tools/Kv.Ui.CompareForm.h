// The compare window: the rows of a folder comparison in a painted eight-column list, the
// options that made them, directions and marks, and copying the chosen rows across through the
// main window's transfers. The comparison runs on the window's own worker; TKvCompareModel
// holds the rules.
#pragma once

#include <QWidget>
#include <array>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Kv.Ui.CompareModel.h"
#include "Kv.Worker.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace kv {

// The main window starts each request as a transfer.
using TKvCompareSync = std::function<void(const std::vector<TKvTransferRequest>& ARequests)>;
// Shows each path in its own half: (left file system, left path, right file system, right path).
using TKvCompareGoTo = std::function<void(IKvFileSystemPtr ALeftFs, const std::string& ALeftPath,
                                          IKvFileSystemPtr ARightFs, const std::string& ARightPath)>;
// Opens the viewer on a file; the window that has one sets it.
using TKvCompareViewer =
    std::function<void(QWidget* AOwner, IKvFileSystemPtr AFs, const std::string& APath, int64_t ASize)>;
void SetCompareViewer(TKvCompareViewer AViewer);

class TKvCompareHeader;
class TKvCompareList;

class TKvCompareForm : public QWidget {
    Q_OBJECT

public:
    static TKvCompareForm* Open(QWidget* AOwner, const TKvCompareSide& ALeft, const TKvCompareSide& ARight,
                                const TKvCompareOptions& AOptions, const TKvCompareScope& AScope,
                                TKvCompareSync ASync, TKvCompareGoTo AGoTo);
    ~TKvCompareForm() override;

    // The transfer queue has nothing pending: every open compare window compares its copied
    // rows again.
    static void TransfersFinishedAll();
    void TransfersFinished();

    // The commands, as keys and buttons run them.
    void StartCompare();
    void StopJob();
    void CopyChosen();
    void OpenRow();
    void GoToRow();
    void SetDirection(TKvSyncAction AAction);

    const TKvCompareModel& Model() const { return FModel; }
    int Selected() const { return FSelected; }
    void Select(int AViewRow);
    std::string StatusText() const;
    QCheckBox* Check(int AIndex) const { return FChecks[AIndex]; }
    QLineEdit* ExcludeEdit() const { return FExclude; }

protected:
    bool eventFilter(QObject* AWatched, QEvent* AEvent) override;
    void keyPressEvent(QKeyEvent* AEvent) override;

private:
    friend class TKvCompareHeader;
    friend class TKvCompareList;

    TKvCompareForm(QWidget* AOwner, const TKvCompareSide& ALeft, const TKvCompareSide& ARight,
                   const TKvCompareOptions& AOptions, const TKvCompareScope& AScope, TKvCompareSync ASync,
                   TKvCompareGoTo AGoTo);
    void BuildTopBar();
    void FillChecks();
    void ReadOptions();
    void OptionClicked(int AIndex);
    void ApplyEdit();
    void RowsChanged();
    void UpdateStatus();
    bool HandleWindowKey(QKeyEvent* AEvent);
    bool HandleListKey(QKeyEvent* AEvent);
    void Inform(const std::string& AText);
    // Rows are taken in slices, so a large batch never holds the window's thread for long.
    struct TPendingBatch {
        int Gen = 0;
        std::vector<TKvCompareRow> Rows;
        size_t Next = 0;
        int Folders = 0, Files = 0;
        std::string Current;
        bool Finished = false;
        std::string Error;
    };
    void Queue(TPendingBatch ABatch);
    void Drain();

    TKvCompareModel FModel;
    TKvCompareSync FSync;
    TKvCompareGoTo FGoTo;
    std::unique_ptr<TKvWorker> FWorker;
    IKvCancelTokenPtr FAlive;
    IKvCancelTokenPtr FToken;
    std::deque<TPendingBatch> FPending;
    bool FDraining = false;
    int FSelected = -1;
    bool FUpdating = false;
    QWidget* FTopBar = nullptr;
    std::array<QCheckBox*, 11> FChecks{};
    QLineEdit* FExclude = nullptr;
    QPushButton* FAgainButton = nullptr;
    QPushButton* FSyncButton = nullptr;
    TKvCompareHeader* FHeader = nullptr;
    TKvCompareList* FList = nullptr;
    QLabel* FStatus = nullptr;
};

} // namespace kv
