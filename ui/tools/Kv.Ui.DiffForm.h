// The diff window: two files side by side, as aligned lines with the differences coloured or as
// aligned hex rows, with the blocks of differences on an overview strip. It loads on its own
// worker and paints what TKvDiffModel says.
#pragma once

#include <QWidget>
#include <memory>
#include <string>

#include "Kv.FileSystem.h"
#include "Kv.Ui.DiffModel.h"
#include "Kv.Worker.h"

class QLabel;
class QScrollBar;

namespace kv {

class TKvDiffBox;
class TKvDiffHeader;
class TKvDiffStrip;

class TKvDiffForm : public QWidget {
    Q_OBJECT

public:
    // Shows a new window in front (it frees itself on close); loading starts at once.
    static TKvDiffForm* Open(QWidget* AOwner, IKvFileSystemPtr ALeftFs, const std::string& ALeftPath,
                             const std::string& ALeftTitle, IKvFileSystemPtr ARightFs,
                             const std::string& ARightPath, const std::string& ARightTitle,
                             const TKvCompareOptions& AOptions);
    ~TKvDiffForm() override;

    const TKvDiffModel& Model() const { return FModel; }
    std::string StatusText() const;
    int VisibleRows() const;

protected:
    void keyPressEvent(QKeyEvent* AEvent) override;
    void resizeEvent(QResizeEvent* AEvent) override;

private:
    friend class TKvDiffBox;
    friend class TKvDiffHeader;
    friend class TKvDiffStrip;

    TKvDiffForm(QWidget* AOwner, IKvFileSystemPtr ALeftFs, const std::string& ALeftPath,
                const std::string& ALeftTitle, IKvFileSystemPtr ARightFs, const std::string& ARightPath,
                const std::string& ARightTitle, const TKvCompareOptions& AOptions);
    void Loaded(TKvDiffLoad ALoad);
    void ScrollTo(int ARow);
    void UpdateBar();
    void Refresh();
    void Jump(bool ANext);

    IKvFileSystemPtr FLeftFs, FRightFs;
    std::string FLeftPath, FRightPath, FLeftTitle, FRightTitle;
    TKvDiffModel FModel;
    std::unique_ptr<TKvWorker> FWorker;
    IKvCancelTokenPtr FAlive;
    int FLineH = 1, FCharW = 1;
    bool FSettingBar = false;
    TKvDiffHeader* FHeader = nullptr;
    TKvDiffBox* FBox = nullptr;
    TKvDiffStrip* FMap = nullptr;
    QScrollBar* FBar = nullptr;
    QLabel* FStatus = nullptr;
};

} // namespace kv
