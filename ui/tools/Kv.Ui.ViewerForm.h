// The viewer window: one file of any size from any file system, page by page, as plain or
// wrapped text, hex or the Java summary, with search, selection and copy. The rules live in
// TKvViewerModel; this window paints its rows and forwards keys, mouse and scroll bar to it.
#pragma once

#include <QMainWindow>
#include <memory>
#include <string>

#include "Kv.FileSystem.h"
#include "Kv.ViewerModel.h"

class QAction;
class QLabel;
class QScrollBar;

namespace kv {

class TKvViewerForm;

// The text area: paints the model's rows and highlights, and forwards mouse, wheel and keys.
class TKvViewArea : public QWidget {
public:
    TKvViewArea(QWidget* AParent, TKvViewerForm& AForm);
    void ApplyFont();
    int LineH() const { return FLineH; }
    qreal CharW() const { return FCharW; }
    int RowsOnScreen() const;
    int ColumnsOnScreen() const;

protected:
    void paintEvent(QPaintEvent*) override;
    void resizeEvent(QResizeEvent*) override;
    void mousePressEvent(QMouseEvent* AEvent) override;
    void mouseMoveEvent(QMouseEvent* AEvent) override;
    void mouseReleaseEvent(QMouseEvent*) override;
    void wheelEvent(QWheelEvent* AEvent) override;
    void keyPressEvent(QKeyEvent* AEvent) override;
    bool focusNextPrevChild(bool) override { return false; }

private:
    TKvViewerForm& FForm;
    int FLineH = 1;
    qreal FCharW = 1;
    int FWheel = 0;
};

enum class TKvViewerCommand {
    vcNone,
    vcSearchDialog,
    vcCopy,
    vcSelectAll,
    vcFindNext,
    vcFindPrevious,
    vcEscape,
    vcClose,
    vcSummary,
    vcHex,
    vcWrap,
    vcHome,
    vcEnd,
    vcUp,
    vcDown,
    vcPageUp,
    vcPageDown,
    vcLeft,
    vcRight,
};
using enum TKvViewerCommand;

// The status line at the bottom of a tool window: black text on the bars colour, cut in the
// middle with an ellipsis instead of widening the window.
QLabel* NewToolStatusLine(QWidget* AParent, int AHeight);

// The window's keys.
TKvViewerCommand ViewerKeyCommand(int AKey, Qt::KeyboardModifiers AModifiers);

// Whether viewing a file asks first: a file of 1 MiB or more on a server.
bool ViewAsksFirst(const IKvFileSystem& AFs, int64_t ASize);
// The question of "View a large file".
std::string LargeViewText(const std::string& AName, int64_t ASize);

class TKvViewerForm : public QMainWindow {
    Q_OBJECT

public:
    // Opens a viewer on the file, asking first for a large file on a server; null when the
    // user cancelled or the download failed.
    static TKvViewerForm* View(QWidget* AOwner, IKvFileSystemPtr AFs, const std::string& APath,
                               int64_t ASize);
    // The window itself, shown at once; AShown names the file in the status line.
    static TKvViewerForm* CreateViewer(QWidget* AOwner, IKvFileSystemPtr AFs,
                                       const std::string& APath, int64_t ASize,
                                       const std::string& AShown = {},
                                       const std::string& ATempFile = {});
    ~TKvViewerForm() override;

    TKvViewerModel& Model() { return *FModel; }
    void RunCommand(TKvViewerCommand ACommand);
    // The search dialog: true when confirmed with a text.
    bool AskSearch(std::string& AText, bool& AMatchCase);
    QLabel* StatusLabel() const { return FStatus; }
    QScrollBar* Bar() const { return FBar; }
    TKvViewArea* Area() const { return FArea; }

protected:
    void keyPressEvent(QKeyEvent* AEvent) override;

private:
    TKvViewerForm(QWidget* AOwner, std::shared_ptr<TKvViewData> AData);
    void BuildMenus();
    void Refresh();
    void Copy();
    void SearchDialog();

    std::unique_ptr<TKvViewerModel> FModel;
    TKvViewArea* FArea = nullptr;
    QScrollBar* FBar = nullptr;
    QLabel* FStatus = nullptr;
    QAction* FWrapItem = nullptr;
    QAction* FHexItem = nullptr;
    QAction* FSumItem = nullptr;
    bool FSettingBar = false;
};

} // namespace kv
