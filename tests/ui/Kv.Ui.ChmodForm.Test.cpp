#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLineEdit>
#include <QTest>
#include <sys/stat.h>

#include "Kv.FS.Local.h"
#include "Kv.Ui.ChmodForm.h"
#include "KvTestSupport.h"
#include "UiModalDriver.h"

using namespace kv;
using namespace kv::test;

namespace {

uint32_t Checked(const TChmodForm& AForm) {
    uint32_t bits = 0;
    for (int bit = 0; bit < 12; ++bit)
        bits |= AForm.Box(bit)->isChecked() ? 1u << bit : 0;
    return bits;
}

TEST(ChmodForm, OctalText) {
    struct TCase {
        uint32_t Mode;
        std::string Text;
    } cases[] = {{0, "000"}, {0644, "644"}, {04755, "4755"}, {07777, "7777"}, {0100644, "644"}, {01, "001"}};
    for (const auto& c : cases)
        EXPECT_EQ(OctalText(c.Mode), c.Text) << c.Mode;
    uint32_t mode = 0;
    EXPECT_TRUE(ParseOctalMode("0755", mode));
    EXPECT_EQ(mode, 0755u);
    for (const char* bad : {"", "8", "12345", "7a", " 7", "-1"})
        EXPECT_FALSE(ParseOctalMode(bad, mode)) << bad;
}

TEST(ChmodForm, BoxesAndOctalFieldStayInStep) {
    struct TShow {
        uint32_t Mode;
        uint32_t Bits;
        const char* Text;
    } shows[] = {{0, 0, "000"}, {07777, 07777, "7777"}, {0100644, 0644, "644"}, {04711, 04711, "4711"}};
    for (const auto& s : shows) {
        TChmodForm form(nullptr, "file", s.Mode);
        EXPECT_EQ(Checked(form), s.Bits);
        EXPECT_EQ(form.OctalEdit()->text().toStdString(), s.Text);
        EXPECT_EQ(form.Mode(), s.Bits);
    }
    TChmodForm form(nullptr, "file", 04755);
    // Text that is no mode leaves the boxes as they were.
    for (const char* bad : {"8", "", "9"}) {
        form.OctalEdit()->setText(bad);
        EXPECT_EQ(form.Mode(), 04755u) << bad;
    }
    form.OctalEdit()->setText("75");
    EXPECT_EQ(form.Mode(), 075u);
    form.OctalEdit()->setText("0755");
    EXPECT_EQ(form.Mode(), 0755u);
    // A click writes the text in its canonical form.
    form.show();
    QTest::mouseClick(form.Box(9), Qt::LeftButton);
    EXPECT_EQ(form.OctalEdit()->text().toStdString(), "1755");
    QTest::mouseClick(form.Box(9), Qt::LeftButton);
    EXPECT_EQ(form.OctalEdit()->text().toStdString(), "755");
}

TEST(ChmodForm, AskPermissionsReturnsTheBoxesOrLeavesTheModeAlone) {
    uint32_t mode = 0100600;
    {
        TModalDriver driver({{IsDialog("Permissions"), [](QWidget* AForm) {
                                  auto* form = static_cast<TChmodForm*>(AForm);
                                  form->OctalEdit()->setText("640");
                                  form->OctalEdit()->setText("64x");
                                  ButtonNamed(AForm, "OK")->click();
                              }}});
        EXPECT_TRUE(AskPermissions(nullptr, "a file", mode));
    }
    EXPECT_EQ(mode, 0640u);
    {
        TModalDriver driver({{IsDialog("Permissions"), [](QWidget* AForm) {
                                  static_cast<TChmodForm*>(AForm)->OctalEdit()->setText("777");
                                  static_cast<QDialog*>(AForm)->reject();
                              }}});
        EXPECT_FALSE(AskPermissions(nullptr, "a file", mode));
    }
    EXPECT_EQ(mode, 0640u);
}

TEST(OwnerForm, IncludeOnlyForFoldersAndNamesTrimmed) {
    for (bool dir : {false, true}) {
        TOwnerForm form(nullptr, "x", dir, true, "staff", "me");
        EXPECT_EQ(form.IncludeBox()->isEnabled(), dir);
        EXPECT_EQ(form.IncludeBox()->isChecked(), dir);
    }
    bool include = true;
    std::string group = "g", user = "u";
    {
        TModalDriver driver({{IsDialog("Owner"), [](QWidget* AForm) {
                                  auto* form = static_cast<TOwnerForm*>(AForm);
                                  form->OwnerEdit()->setText("  alice ");
                                  form->GroupEdit()->setText("   ");
                                  ButtonNamed(AForm, "OK")->click();
                              }}});
        EXPECT_TRUE(AskOwner(nullptr, "file", false, include, group, user));
    }
    EXPECT_EQ(user, "alice");
    EXPECT_EQ(group, "");
    EXPECT_FALSE(include);
    {
        TModalDriver driver({{IsDialog("Owner"), [](QWidget* AForm) {
                                  static_cast<TOwnerForm*>(AForm)->OwnerEdit()->setText("bob");
                                  static_cast<QDialog*>(AForm)->reject();
                              }}});
        EXPECT_FALSE(AskOwner(nullptr, "file", true, include, group, user));
    }
    EXPECT_EQ(user, "alice");
}

// The dialogs' answers go through the file system's own calls, on its worker.
TEST(ChmodForm, ChangesAreAppliedThroughTheFileSystem) {
    TTempDir dir;
    WriteFile(dir / "f", "");
    ::chmod((dir / "f").c_str(), 0600);
    ::mkdir((dir / "d").c_str(), 0755);
    WriteFile(dir / "d/inner", "");
    TKvWorker worker;
    auto alive = NewCancelToken();
    std::vector<std::pair<std::string, bool>> reports;
    auto report = [&](const std::string& AText, bool AError) { reports.emplace_back(AText, AError); };
    {
        TModalDriver driver({{IsDialog("Permissions"), [](QWidget* AForm) {
                                  EXPECT_EQ(static_cast<TChmodForm*>(AForm)->OctalEdit()->text(), "600");
                                  static_cast<TChmodForm*>(AForm)->OctalEdit()->setText("4755");
                                  ButtonNamed(AForm, "OK")->click();
                              }}});
        EditPermissions(nullptr, worker, alive, LocalFs(), dir / "f", report);
        ASSERT_TRUE(QTest::qWaitFor([&] { return !reports.empty(); }, 10000));
    }
    EXPECT_EQ(reports.back(), std::make_pair(std::string("Permissions of f changed"), false));
    struct stat st {};
    ::stat((dir / "f").c_str(), &st);
    EXPECT_EQ(st.st_mode & 07777, 04755u);

    {
        TModalDriver driver({{IsDialog("Owner"), [](QWidget* AForm) {
                                  auto* form = static_cast<TOwnerForm*>(AForm);
                                  EXPECT_EQ(form->OwnerEdit()->text(), "root");
                                  form->OwnerEdit()->setText("nobody");
                                  form->GroupEdit()->setText("nogroup");
                                  form->IncludeBox()->setChecked(true);
                                  ButtonNamed(AForm, "OK")->click();
                              }}});
        EditOwner(nullptr, worker, alive, LocalFs(), dir / "d", true, report);
        ASSERT_TRUE(QTest::qWaitFor([&] { return reports.size() == 2; }, 10000));
    }
    EXPECT_EQ(reports.back(), std::make_pair(std::string("Owner of d changed to nobody:nogroup"), false));
    std::string user, group;
    auto* owners = dynamic_cast<IKvFileOwner*>(LocalFs().get());
    ASSERT_TRUE(owners->GetOwner(dir / "d/inner", user, group));
    EXPECT_EQ(user + ":" + group, "nobody:nogroup");

    {
        TModalDriver driver({{IsDialog("Owner"), [](QWidget* AForm) {
                                  static_cast<TOwnerForm*>(AForm)->OwnerEdit()->setText("no-such-user-here");
                                  ButtonNamed(AForm, "OK")->click();
                              }}});
        EditOwner(nullptr, worker, alive, LocalFs(), dir / "f", false, report);
        ASSERT_TRUE(QTest::qWaitFor([&] { return reports.size() == 3; }, 10000));
    }
    EXPECT_EQ(reports.back(), std::make_pair(std::string("chown failed: no-such-user-here: there is no such user"), true));
    worker.Stop(1000);
}

} // namespace
