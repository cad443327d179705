#include <gtest/gtest.h>

#include <QMessageBox>
#include <QTest>

#include "Kv.Settings.h"
#include "Kv.State.h"
#include "Kv.Ui.FilePanel.h"
#include "Kv.Ui.MainForm.h"
#include "KvMemoryFs.h"
#include "KvTestSupport.h"
#include "UiModalDriver.h"

using namespace kv;
using namespace kv::test;

namespace {

// Quitting while an edited server file is saved and not sent yet asks first; the status of the
// edit shows in the active panel.
TEST(MainFormEdits, QuittingWithAnEditNotSentAsksFirst) {
    TTempDir root;
    TKvAppState state;
    DefaultAppState(state);
    state.Panels[rhLeft].Path = root.Path();
    state.Panels[rhRight].Path = root.Path();
    SaveAppState(root / "state.json", state);
    TKvSettings old = CurrentSettings(), settings = old;
    settings.EditorExe = "/bin/true";
    SetCurrentSettings(settings);
    auto form = std::make_unique<TMainForm>(root / "state.json");
    form->show();
    for (TKvHalf half : {rhLeft, rhRight})
        ASSERT_TRUE(QTest::qWaitFor(
            [&] { return !form->Panel(half).Busy() && !form->Panel(half).Path().empty(); }, 10000));

    auto mem = std::make_shared<TKvMemoryFs>("mem:server");
    mem->AddFile("/notes.txt", "server text");
    form->Edits().Edit(mem, "/notes.txt", 11);
    TKvFilePanel& panel = form->Panel(form->ActiveHalf());
    ASSERT_TRUE(QTest::qWaitFor([&] { return form->Edits().Entries().size() == 1; }, 10000));
    EXPECT_EQ(panel.StatusText(), "Editing notes.txt. Saving the file sends it back.");
    WriteFile(form->Edits().Entries()[0].LocalPath, "my edits");

    QString question;
    {
        TModalDriver driver({{IsMessageBox(), [&question](QWidget* ABox) {
                                  question = static_cast<QMessageBox*>(ABox)->text();
                                  static_cast<QMessageBox*>(ABox)->button(QMessageBox::No)->click();
                              }}});
        EXPECT_FALSE(form->close());
    }
    EXPECT_EQ(question.toStdString(), "Something is still going on:\n  - a file you edited is being sent to the "
                                      "server, or was saved and is not sent yet\n\nQuit anyway?");
    // The timer sends it; then the window closes without a question.
    ASSERT_TRUE(QTest::qWaitFor([&] { return mem->Content("/notes.txt") == "my edits" && !form->Edits().Busy(); },
                                10000));
    EXPECT_TRUE(QTest::qWaitFor([&] { return panel.StatusText() == "Saved notes.txt"; }, 5000)) << panel.StatusText();
    EXPECT_TRUE(form->close());
    form.reset();
    SetCurrentSettings(old);
}

// A save sent back from the editor shows in a half showing that server folder, through this
// connection or another one to the same server, and the status line keeps saying it was saved.
TEST(MainFormEdits, ASavedEditShowsInTheHalvesShowingItsFolder) {
    TTempDir root;
    TKvAppState state;
    DefaultAppState(state);
    state.Panels[rhLeft].Path = root.Path();
    state.Panels[rhRight].Path = root.Path();
    SaveAppState(root / "state.json", state);
    TKvSettings old = CurrentSettings(), settings = old;
    settings.EditorExe = "/bin/true";
    SetCurrentSettings(settings);
    auto form = std::make_unique<TMainForm>(root / "state.json");
    form->show();
    for (TKvHalf half : {rhLeft, rhRight})
        ASSERT_TRUE(QTest::qWaitFor(
            [&] { return !form->Panel(half).Busy() && !form->Panel(half).Path().empty(); }, 10000));

    auto mem = std::make_shared<TKvMemoryFs>("mem:server");
    mem->SetDisplayPrefix("srv:");
    mem->AddFile("/docs/notes.txt", "server text");
    // The other half on a second connection to the same server.
    auto again = std::make_shared<TKvMemoryFs>("mem:server");
    again->SetDisplayPrefix("srv:");
    again->AddFile("/docs/notes.txt", "server text");
    form->Panel(rhLeft).AttachTo(mem, "", "/docs");
    form->Panel(rhRight).AttachTo(again, "", "/docs");
    auto sizeShown = [&](TKvHalf AHalf) -> int64_t {
        const auto& model = form->Panel(AHalf).Model();
        for (int i = 0; i < model.RowCount(); ++i)
            if (model.Row(i).Name == "notes.txt")
                return model.Row(i).Size;
        return -1;
    };
    ASSERT_TRUE(QTest::qWaitFor([&] { return sizeShown(rhLeft) == 11 && sizeShown(rhRight) == 11; }, 10000));

    form->Edits().Edit(mem, "/docs/notes.txt", 11);
    ASSERT_TRUE(QTest::qWaitFor([&] { return form->Edits().Entries().size() == 1; }, 10000));
    // What the second connection will find on the server once the save is there.
    again->AddFile("/docs/notes.txt", "my edits, a good deal longer");
    WriteFile(form->Edits().Entries()[0].LocalPath, "my edits, a good deal longer");
    ASSERT_TRUE(QTest::qWaitFor([&] { return !form->Edits().Busy() && mem->Content("/docs/notes.txt").size() == 28; },
                                10000));
    EXPECT_TRUE(QTest::qWaitFor([&] { return sizeShown(rhLeft) == 28 && sizeShown(rhRight) == 28; }, 10000))
        << sizeShown(rhLeft) << " " << sizeShown(rhRight);
    EXPECT_EQ(form->Panel(form->ActiveHalf()).StatusText(), "Saved notes.txt");
    EXPECT_TRUE(form->close());
    form.reset();
    SetCurrentSettings(old);
}

} // namespace
