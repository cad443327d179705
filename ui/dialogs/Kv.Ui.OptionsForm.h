// The Options window (F9): font and colours with a live preview, files, programs, log, about.
// It edits a copy of the settings and hands it back on OK; the caller saves and applies it.
#pragma once

#include <QDialog>

#include "Kv.Settings.h"

class QCheckBox;
class QColorDialog;
class QComboBox;
class QLineEdit;
class QListWidget;
class QPushButton;
class QRadioButton;
class QTabWidget;
class QWidget;

namespace kv {

class TOptionsForm : public QDialog {
    Q_OBJECT

public:
    // On OK ASettings is the edited copy and AShowLog tells whether the log is to be shown.
    static bool Execute(QWidget* AOwner, TKvSettings& ASettings, bool& AShowLog);

    TOptionsForm(QWidget* AOwner, const TKvSettings& ASettings);

    const TKvSettings& Work() const { return FWork; }
    bool ShowLogAfter() const { return FShowLogAfter; }
    QTabWidget* Pages() const { return FPages; }
    QWidget* Preview() const { return FPreview; }

    void SetPalette(int APalette);
    void SetSlotColor(int ASlot, TKvColor AColor);
    void OkClick();

protected:
    // The colour dialog; false when cancelled.
    virtual bool PickColor(TKvColor& AColor);
    // The program dialog; false when cancelled.
    virtual bool PickProgram(QString& APath);

private:
    void BuildLayoutPage(QWidget* APage);
    void BuildFilesPage(QWidget* APage);
    void BuildProgramsPage(QWidget* APage);
    void BuildLogPage(QWidget* APage);
    void BuildAboutPage(QWidget* APage);
    void FillControls();
    void SizeChanged();
    void ChangeColor();
    void ProgramChoiceChanged(int ATag);
    void BrowseProgram(int ATag);
    void UpdateProgramEnabling();

    TKvSettings FWork;
    QTabWidget* FPages = nullptr;
    QLineEdit* FSizeEdit = nullptr;
    QWidget* FSizeUpDown = nullptr; // two arrow buttons beside the edit
    QComboBox* FFontBox = nullptr;
    QListWidget* FColorList = nullptr;
    QWidget* FPreview = nullptr;
    QPushButton *FChange = nullptr, *FReset = nullptr, *FClassic = nullptr, *FLight = nullptr;
    QPushButton *FOk = nullptr, *FCancel = nullptr;
    QCheckBox *FHidden = nullptr, *FSystem = nullptr, *FLogging = nullptr, *FLogConsole = nullptr;
    QPushButton *FShowLog = nullptr, *FClearLog = nullptr;
    bool FShowLogAfter = false;
    QWidget* FProgramsTab = nullptr;
    QRadioButton *FViewerUsual = nullptr, *FViewerOther = nullptr, *FEditorUsual = nullptr,
                 *FEditorOther = nullptr;
    QLineEdit *FViewerEdit = nullptr, *FEditorEdit = nullptr;
    QPushButton *FViewerBrowse = nullptr, *FEditorBrowse = nullptr;
    bool FLoading = false;
};

// The installed fonts whose "i" is as wide as their "W" at 16 pixels.
QStringList FixedWidthFonts();

} // namespace kv
