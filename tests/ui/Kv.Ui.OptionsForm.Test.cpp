// The Options window: live editing of size, font and colours, the programs checked at OK, the
// log page, and settings.json written only when the main window gets OK.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <QTest>
#include <filesystem>
#include <fstream>

#include "Kv.Log.h"
#include "Kv.Settings.h"
#include "Kv.Ui.FilePanel.h"
#include "Kv.Ui.MainForm.h"
#include "Kv.Ui.OptionsForm.h"
#include "KvTestSupport.h"
#include "UiModalDriver.h"

using namespace kv;
using namespace kv::test;

namespace {

// The Options window with its two dialogs answered by the test.
class TScriptedOptions : public TOptionsForm {
public:
    using TOptionsForm::TOptionsForm;
    bool ProgramAnswer = false;
    QString ProgramPath;
    int ProgramAsked = 0;
    TKvColor ColorAnswer = 0;
    bool ColorGiven = false;

protected:
    bool PickProgram(QString& APath) override {
        ++ProgramAsked;
        if (ProgramAnswer)
            APath = ProgramPath;
        return ProgramAnswer;
    }
    bool PickColor(TKvColor& AColor) override {
        if (ColorGiven)
            AColor = ColorAnswer;
        return ColorGiven;
    }
};

QRadioButton* Radio(QWidget* AForm, const QString& AText, int AIndex = 0) {
    QList<QRadioButton*> found;
    for (auto* radio : AForm->findChildren<QRadioButton*>())
        if (radio->text() == AText)
            found << radio;
    EXPECT_GT(found.size(), AIndex) << AText.toStdString();
    return found.value(AIndex);
}

QCheckBox* Box(QWidget* AForm, const QString& AText) {
    for (auto* box : AForm->findChildren<QCheckBox*>())
        if (box->text() == AText)
            return box;
    ADD_FAILURE() << AText.toStdString();
    return nullptr;
}

} // namespace

TEST(OptionsForm, SizeAndFontEditTheCopyAndThePreviewShowsIt) {
    TKvSettings settings;
    settings.FontName = "No Such Font";
    TScriptedOptions form(nullptr, settings);
    auto* size = form.findChild<QLineEdit*>("size");
    size->setText("40");
    EXPECT_EQ(form.Work().FontHeight, 32);
    size->setText("abc");
    EXPECT_EQ(form.Work().FontHeight, 32);
    size->setText("11");
    EXPECT_EQ(form.Work().FontHeight, 11);

    // The configured font is offered at the top although it is not installed.
    auto* fonts = form.findChild<QComboBox*>("font");
    EXPECT_EQ(fonts->itemText(0), "No Such Font");
    EXPECT_EQ(fonts->currentText(), "No Such Font");
    if (fonts->count() > 1) {
        fonts->setCurrentIndex(1);
        EXPECT_EQ(form.Work().FontName, fonts->itemText(1).toStdString());
    }

    // The palettes replace all nine colours; the preview paints from the copy.
    ButtonNamed(&form, "Light colours")->click();
    EXPECT_EQ(form.Work().Colors, KLightPalette);
    form.Preview()->resize(472, 116);
    QImage shot = form.Preview()->grab().toImage();
    EXPECT_EQ(QColor(shot.pixel(200, 110)), QColor("#ffffff")); // the panel's background
    EXPECT_EQ(QColor(shot.pixel(460, 110)), QColor("#000000")); // the terminal's
    ButtonNamed(&form, "Classic blue colours")->click();
    EXPECT_EQ(form.Work().Colors, KClassicPalette);
    shot = form.Preview()->grab().toImage();
    EXPECT_EQ(QColor(shot.pixel(200, 110)), QColor("#000080"));

    form.ColorGiven = true;
    form.ColorAnswer = KvRgb(1, 2, 3);
    ButtonNamed(&form, "Change...")->click(); // the first row is selected
    EXPECT_EQ(form.Work().Colors[csBackground], KvRgb(1, 2, 3));
    EXPECT_EQ(settings.Colors, KDefaultPalette); // only the copy changes
}

TEST(OptionsForm, ThisProgramWithNothingChosenReturnsToTheUsual) {
    TScriptedOptions form(nullptr, TKvSettings{});
    QRadioButton* other = Radio(&form, "This program:", 1);
    QRadioButton* usual = Radio(&form, "The desktop's text editor (the usual)");
    auto* edit = form.findChild<QLineEdit*>("editor");
    EXPECT_TRUE(usual->isChecked());
    EXPECT_FALSE(edit->isEnabled());
    other->click();
    EXPECT_EQ(form.ProgramAsked, 1);
    EXPECT_TRUE(usual->isChecked());
    EXPECT_FALSE(edit->isEnabled());

    form.ProgramAnswer = true;
    form.ProgramPath = "/bin/sh";
    other->click();
    EXPECT_TRUE(other->isChecked());
    EXPECT_TRUE(edit->isEnabled());
    EXPECT_EQ(edit->text(), "/bin/sh");
}

TEST(OptionsForm, OkRefusesAMissingProgramAndHandsBackTheRest) {
    TKvSettings settings;
    settings.ViewerExe = "/no/such/viewer";
    settings.EditorExe = "/bin/sh";
    bool showLog = true;
    QString message;
    TModalDriver driver({
        {IsDialog("Options"),
         [](QWidget* AWidget) {
             Box(AWidget, "Show hidden files")->click();
             Box(AWidget, "Write a log file for troubleshooting")->click();
             AWidget->findChild<QTabWidget*>()->setCurrentIndex(0);
             ButtonNamed(AWidget, "OK")->click();
         }},
        AcceptMessage(message),
        {IsDialog("Options"),
         [](QWidget* AWidget) {
             EXPECT_EQ(AWidget->findChild<QTabWidget*>()->currentIndex(), 2); // "Programs"
             Radio(AWidget, "The built-in viewer (the usual)")->click();
             ButtonNamed(AWidget, "OK")->click();
         }},
    });
    ASSERT_TRUE(TOptionsForm::Execute(nullptr, settings, showLog));
    EXPECT_EQ(message,
              "The viewer program can not be found. Choose it again, or choose the usual viewer.");
    EXPECT_TRUE(settings.ShowHidden);
    EXPECT_FALSE(settings.LogEnabled);
    EXPECT_EQ(settings.ViewerExe, "");
    EXPECT_EQ(settings.EditorExe, "/bin/sh");
    EXPECT_FALSE(showLog);
}

TEST(OptionsForm, CancelChangesNothingShowTheLogClosesWithOk) {
    TKvSettings settings;
    bool showLog = false;
    {
        TModalDriver driver({{IsDialog("Options"), [](QWidget* AWidget) {
                                  Box(AWidget, "Show system files")->click();
                                  ButtonNamed(AWidget, "Cancel")->click();
                              }}});
        EXPECT_FALSE(TOptionsForm::Execute(nullptr, settings, showLog));
    }
    EXPECT_EQ(settings, TKvSettings{});
    {
        TModalDriver driver({{IsDialog("Options"), [](QWidget* AWidget) {
                                  Box(AWidget, "Show system files")->click();
                                  ButtonNamed(AWidget, "Show the log...")->click();
                              }}});
        EXPECT_TRUE(TOptionsForm::Execute(nullptr, settings, showLog));
    }
    EXPECT_TRUE(showLog);
    EXPECT_TRUE(settings.ShowSystem);
}

TEST(OptionsForm, ClearTheLogSaysWhatHappened) {
    Log("options: a line to clear");
    TScriptedOptions form(nullptr, TKvSettings{});
    QPushButton* clear = ButtonNamed(&form, "Clear the log");
    clear->click();
    EXPECT_EQ(clear->text(), "The log is empty");
    std::ifstream log(LogPath());
    std::string text((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text.find("a line to clear"), std::string::npos);
}

TEST(OptionsForm, MainWindowWritesSettingsOnlyOnOk) {
    const std::string path = SettingsPath();
    std::filesystem::remove(path);
    SetCurrentSettings(TKvSettings{});
    TMainForm main(TestRoot() + "/options-state.json");
    {
        TModalDriver driver({{IsDialog("Options"), [](QWidget* AWidget) {
                                  AWidget->findChild<QLineEdit*>("size")->setText("20");
                                  ButtonNamed(AWidget, "Cancel")->click();
                              }}});
        main.RunKey(Qt::Key_F9, Qt::NoModifier);
    }
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_EQ(CurrentSettings().FontHeight, KDefaultFontHeight);
    {
        TModalDriver driver({{IsDialog("Options"), [](QWidget* AWidget) {
                                  AWidget->findChild<QLineEdit*>("size")->setText("20");
                                  ButtonNamed(AWidget, "OK")->click();
                              }}});
        main.RunKey(Qt::Key_F9, Qt::NoModifier);
    }
    ASSERT_TRUE(std::filesystem::exists(path));
    TKvSettings read;
    std::ifstream file(path);
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    ParseSettings(text, read);
    EXPECT_EQ(read.FontHeight, 20);
    EXPECT_EQ(CurrentSettings().FontHeight, 20);
    SetCurrentSettings(TKvSettings{});
    ApplySettings(TKvSettings{});
    std::filesystem::remove(path);
}

TEST(MainWindowKeys, ATextFieldKeepsCtrlLettersAndDelete) {
    SetCurrentSettings(TKvSettings{});
    TMainForm main(TestRoot() + "/keys-state.json");
    auto* field = new QLineEdit(&main);
    field->setGeometry(10, 10, 200, 24);
    main.show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&main));
    field->setFocus();
    ASSERT_TRUE(QTest::qWaitFor([&] { return field->hasFocus(); }, 5000));
    QTest::keyClick(field, Qt::Key_H, Qt::ControlModifier);
    QTest::keyClick(field, Qt::Key_U, Qt::ControlModifier);
    EXPECT_FALSE(CurrentSettings().ShowHidden); // Ctrl+H did not reach the panels
    // Away from the field the same key is the window's.
    main.Panel(main.ActiveHalf()).setFocus();
    main.RunKey(Qt::Key_H, Qt::ControlModifier);
    EXPECT_TRUE(CurrentSettings().ShowHidden);
    SetCurrentSettings(TKvSettings{});
    std::filesystem::remove(SettingsPath());
}
