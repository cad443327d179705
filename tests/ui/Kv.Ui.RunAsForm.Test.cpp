#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLineEdit>
#include <QRadioButton>
#include <sys/stat.h>

#include "Kv.FileActions.h"
#include "Kv.Platform.Folders.h"
#include "Kv.RunStore.h"
#include "Kv.Ui.RunAsForm.h"
#include "KvTestSupport.h"
#include "UiModalDriver.h"

using namespace kv;
using namespace kv::test;

namespace {

class RunAsForm : public ::testing::Test {
protected:
    TTempDir Dir;
    void SetUp() override { SetRunMemoryFile(Dir / "runas.json"); }
    void TearDown() override { SetRunMemoryFile({}); }
    std::string Program(const std::string& AName) {
        WriteFile(Dir / AName, "#!/bin/sh\n");
        ::chmod((Dir / AName).c_str(), 0755);
        return Dir / AName;
    }
};

TEST_F(RunAsForm, EachWayOfRunningShowsItsOwnParameters) {
    std::string tool = Program("tool");
    RememberParams(tool, false, "normal");
    RememberParams(tool, true, "as admin");
    TRunAsForm form(nullptr, tool, tool, false, false);
    EXPECT_TRUE(form.Box->isChecked());
    EXPECT_EQ(form.Edit->text(), "as admin");
    EXPECT_EQ(form.UsualRadio, nullptr) << "a program needs no opener";
    form.Edit->setText("changed admin");
    form.Box->setChecked(false);
    EXPECT_EQ(form.Edit->text(), "normal");
    form.Box->setChecked(true);
    EXPECT_EQ(form.Edit->text(), "changed admin");
    form.Box->setChecked(false);
    form.Edit->setText("  new normal ");
    TKvRunAsResult result;
    form.Finish(result);
    EXPECT_FALSE(result.Admin);
    EXPECT_EQ(result.Params, "new normal");
    TKvRunMemory memory = GetRunMemory(tool);
    EXPECT_EQ(memory.Params, "new normal");
    EXPECT_EQ(memory.AdminParams, "as admin") << "only the way that ran is stored";
    EXPECT_FALSE(memory.LastAdmin);
}

TEST_F(RunAsForm, OpenersAreRememberedPerExtensionWhileTheyExist) {
    std::string viewer = Program("viewer");
    WriteFile(Dir / "a.log", "");
    WriteFile(Dir / "b.LOG", "");
    {
        TRunAsForm form(nullptr, Dir / "a.log", Dir / "a.log", true, false);
        ASSERT_NE(form.OtherRadio, nullptr);
        EXPECT_TRUE(form.UsualRadio->isChecked());
        EXPECT_FALSE(form.ProgEdit->isEnabled());
        form.ProgEdit->setText(QString::fromStdString(viewer));
        form.OtherRadio->setChecked(true);
        EXPECT_TRUE(form.ProgEdit->isEnabled());
        EXPECT_EQ(form.CloseProblem(), "");
        TKvRunAsResult result;
        form.Finish(result);
        EXPECT_EQ(result.Program, viewer);
    }
    {
        TRunAsForm form(nullptr, Dir / "b.LOG", Dir / "b.LOG", true, false);
        EXPECT_TRUE(form.OtherRadio->isChecked());
        EXPECT_EQ(form.ProgEdit->text().toStdString(), viewer);
    }
    ::unlink(viewer.c_str());
    TRunAsForm form(nullptr, Dir / "b.LOG", Dir / "b.LOG", true, false);
    EXPECT_TRUE(form.UsualRadio->isChecked());
    form.OtherRadio->blockSignals(true);
    form.OtherRadio->setChecked(true);
    form.ProgEdit->setText(QString::fromStdString(viewer));
    EXPECT_EQ(form.CloseProblem(), "That program can not be found. Choose it again, or choose the usual program.");
}

TEST_F(RunAsForm, TheLauncherIsMadeOnTheDesktopAndPassesTheValidator) {
    std::string tool = Program("my tool");
    ::mkdir((HomeFolder() + "/Desktop").c_str(), 0755);
    {
        TRunAsForm form(nullptr, tool, tool, false, false);
        form.CmdBox->setChecked(true);
        form.CmdName->setText("/:*?");
        EXPECT_EQ(form.CloseProblem(), "Type a name for the launcher.");
    }
    std::string launcher = DesktopFolder() + "/Tool it.desktop";
    WriteFile(launcher, "old");
    QString asked;
    TKvRunAsResult result;
    {
        TModalDriver driver({{IsDialog("Run as..."), [](QWidget* AForm) {
                                  auto* form = static_cast<TRunAsForm*>(AForm);
                                  EXPECT_FALSE(form->CmdName->isEnabled());
                                  EXPECT_EQ(form->CmdName->text(), "my tool");
                                  form->CmdBox->setChecked(true);
                                  form->CmdName->setText("Tool it");
                                  form->Edit->setText("-x 'two words'");
                                  ButtonNamed(AForm, "Run")->click();
                              }},
                             {IsMessageBox(), [&asked](QWidget* ABox) {
                                  asked = static_cast<QMessageBox*>(ABox)->text();
                                  static_cast<QMessageBox*>(ABox)->button(QMessageBox::Yes)->click();
                              }}});
        ASSERT_TRUE(RunAsDialog(nullptr, tool, tool, false, result));
    }
    EXPECT_EQ(asked.toStdString(), "There is already a file called Tool it.desktop on the desktop. Replace it?");
    EXPECT_EQ(result.LauncherPath, launcher);
    EXPECT_EQ(result.LauncherError, "");
    EXPECT_EQ(result.Params, "-x 'two words'");
    int code = -1;
    std::string out = RunCommand("desktop-file-validate '" + launcher + "' 2>&1", &code);
    EXPECT_EQ(code, 0) << out;
    EXPECT_NE(ReadFile(launcher).find("\nExec=\"" + tool + "\" -x \"two words\"\n"), std::string::npos)
        << ReadFile(launcher);
}

TEST_F(RunAsForm, TerminalVariantAsksForARunner) {
    const std::string key = TerminalRunKey("conn", "/srv/build.sh");
    RememberOpenWith(TerminalExtensionRunKey("/srv/other.sh"), "bash");
    TRunAsForm form(nullptr, "/srv/build.sh", key, true, true);
    EXPECT_EQ(form.Box->text(), "Run as administrator (with sudo)");
    EXPECT_EQ(form.CmdBox, nullptr);
    EXPECT_EQ(form.RunnerEdit->text(), "bash");
    form.RunnerEdit->setText("sh");
    TKvRunAsResult result;
    form.Finish(result);
    EXPECT_EQ(result.Program, "sh");
    EXPECT_EQ(GetRunMemory(key).OpenWith, "sh");
    EXPECT_EQ(GetRunMemory(TerminalExtensionRunKey("/srv/x.sh")).OpenWith, "sh");
}

} // namespace
