#include <gtest/gtest.h>

#include <QCheckBox>
#include <QTabWidget>
#include <QTest>
#include <atomic>
#include <stdexcept>
#include <thread>

#include "Kv.Ui.Prompts.h"
#include "UiModalDriver.h"

using namespace kv;
using namespace kv::test;

namespace {

// Waits, processing events, until a condition holds.
bool WaitFor(const std::function<bool()>& ACondition, int AMs = 10000) {
    return QTest::qWaitFor(ACondition, AMs);
}

} // namespace

// ---- Checks ----

TEST(PromptChecks, ZipDialogRefusesInOrder) {
    struct TCase {
        QString Name;
        bool Use;
        QString Pass1, Pass2, Message;
    } cases[] = {
        {"", false, "", "", "Type a name for the zip file."},
        {"   ", true, "", "x", "Type a name for the zip file."},
        {"out", true, "", "", "Type the password, or turn off the password."},
        {"out", true, "secret", "Secret", "The two passwords are not the same."},
        {"out", true, "secret", "secret", ""},
        {"out", false, "", "", ""},           // no password needed when it is off
        {"out", false, "typed", "other", ""}, // fields of a switched-off password are ignored
        {" out ", true, " ", " ", ""},        // a password of blanks is a password
    };
    for (const auto& c : cases)
        EXPECT_EQ(ZipDialogProblem(c.Name, c.Use, c.Pass1, c.Pass2), c.Message)
            << c.Name.toStdString();
}

TEST(PromptChecks, Passkey) {
    EXPECT_EQ(PasskeyProblem("", ""), "Type the passkey first.");
    EXPECT_EQ(PasskeyProblem("", "x"), "Type the passkey first.");
    EXPECT_EQ(PasskeyProblem("a few words", "a few word"), "The two passkeys are not the same.");
    EXPECT_EQ(PasskeyProblem("a few words", "a few words"), "");
}

TEST(PromptChecks, RenameOrMove) {
    const QString nameOnly = "Type a name only. To put it in another folder, use the Move tab.";
    struct TCase {
        bool Move, Enabled;
        QString Text, Old;
        TKvRenameVerdict Verdict;
        QString Message;
    } cases[] = {
        {false, true, "  ", "a.txt", rvRefuse, "Type the new name."},
        {false, true, "sub/a.txt", "a.txt", rvRefuse, nameOnly},
        {false, true, "sub\\a.txt", "a.txt", rvRefuse, nameOnly},
        {false, true, "a.txt", "a.txt", rvCancel, ""},
        {false, true, " a.txt ", "a.txt", rvCancel, ""},
        {false, true, "A.txt", "a.txt", rvAccept, ""}, // case counts: this is a rename
        {false, true, "b.txt", "a.txt", rvAccept, ""},
        {false, false, "", "", rvIgnore, ""},
        {true, true, " ", "a.txt", rvRefuse, "Type where to move it."},
        {true, true, "/srv/x", "a.txt", rvAccept, ""},
        {true, false, "", "a.txt", rvIgnore, ""},
    };
    for (const auto& c : cases) {
        TKvRenameCheck check = RenameMoveCheck(c.Move, c.Enabled, c.Text, c.Old);
        EXPECT_EQ(check.Verdict, c.Verdict) << c.Text.toStdString();
        EXPECT_EQ(check.Message, c.Message) << c.Text.toStdString();
    }
}

TEST(PromptChecks, RenamePreselectsTheNameWithoutItsExtension) {
    struct TCase {
        QString Text;
        bool IsDir;
        TKvTextRange Range;
    } cases[] = {
        {"report.txt", false, {0, 6}}, {"archive.tar.gz", false, {0, 11}},
        {"my.photos", true, {0, 9}},   {".bashrc", false, {0, 7}},
        {"Makefile", false, {0, 8}},   {"", false, {0, 0}},
        {"trailing.", false, {0, 8}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(RenameSelection(c.Text, c.IsDir), c.Range) << c.Text.toStdString();
}

// ---- Masked input and Yes/No ----

TEST(PromptDialogs, InputSecretGivesExactlyWhatWasTyped) {
    struct TCase {
        QString Typed;
        bool Confirm;
        bool Result;
        std::string Value;
    } cases[] = {
        {"", true, true, ""}, // OK without typing is an empty answer, not a cancel
        {" pa ss ", true, true, " pa ss "},
        {"secret", false, false, ""},
    };
    for (const auto& c : cases) {
        TModalDriver driver({{IsDialog("Login"), [&](QWidget* AForm) {
                                  QLineEdit* edit = EditNamed(AForm, "SecretEdit");
                                  // Activation may trail the first show of a busy process.
                                  EXPECT_TRUE(QTest::qWaitFor([&] { return edit->hasFocus(); }, 5000));
                                  EXPECT_EQ(edit->echoMode(), QLineEdit::Password);
                                  QTest::keyClicks(edit, c.Typed);
                                  QTest::keyClick(edit,
                                                  c.Confirm ? Qt::Key_Return : Qt::Key_Escape);
                              }}});
        std::string value = "left over";
        EXPECT_EQ(InputSecret("Login", "Password for ann@host:", value), c.Result);
        EXPECT_EQ(value, c.Value);
    }
}

TEST(PromptDialogs, YesNoDefaultButtonFollowsTheCaller) {
    struct TCase {
        bool DefaultYes;
        Qt::Key Key;
        bool Result;
    } cases[] = {
        {true, Qt::Key_Return, true},
        {false, Qt::Key_Return, false},
        {true, Qt::Key_Escape, false},
    };
    for (const auto& c : cases) {
        TModalDriver driver({{IsDialog("Delete"), [&](QWidget* AForm) {
                                  QWidget* focused = AForm->focusWidget();
                                  ASSERT_NE(focused, nullptr);
                                  EXPECT_EQ(qobject_cast<QPushButton*>(focused)->text(),
                                            c.DefaultYes ? "Yes" : "No");
                                  QTest::keyClick(focused, c.Key);
                              }}});
        EXPECT_EQ(AskYesNo("Delete", "Delete the connection \"A & B\"?", c.DefaultYes), c.Result);
    }
}

// ---- Zip ----

TEST(PromptDialogs, ZipPasswordFieldsFollowTheCheckBox) {
    QString lastPass1 = "unset";
    {
        TZipDialogHelper helper(nullptr, "/home/ann", 3, "photos");
        QObject::connect(helper.Pass1, &QLineEdit::textChanged,
                         [&](const QString& AText) { lastPass1 = AText; });
        helper.Form->show();
        EXPECT_EQ(helper.NameEdit->text(), "photos");
        EXPECT_EQ(helper.Form->focusWidget(), helper.NameEdit);
        EXPECT_FALSE(helper.Pass1->isEnabled());
        EXPECT_FALSE(helper.Pass2->isEnabled());
        EXPECT_FALSE(helper.WeakCheck->isEnabled());

        helper.UseCheck->setChecked(true);
        EXPECT_TRUE(helper.Pass1->isEnabled());
        EXPECT_TRUE(helper.Pass2->isEnabled());
        EXPECT_TRUE(helper.WeakCheck->isEnabled());
        EXPECT_EQ(helper.Form->focusWidget(), helper.Pass1);
        QTest::keyClicks(helper.Pass1, "hunter2");

        helper.UseCheck->setChecked(false);
        EXPECT_FALSE(helper.Pass1->isEnabled());
        EXPECT_FALSE(helper.WeakCheck->isEnabled());
    }
    // The password was wiped from the edit before the dialog went away.
    EXPECT_EQ(lastPass1, "");
}

TEST(PromptDialogs, ZipDialogStaysOpenUntilItsChecksPass) {
    QString first, second, third;
    TModalDriver driver({
        {IsDialog("Make a zip file"),
         [](QWidget* AForm) {
             QLineEdit* name = EditNamed(AForm, "NameEdit");
             name->selectAll();
             QTest::keyClicks(name, "   ");
             ButtonNamed(AForm, "Create")->click();
         }},
        AcceptMessage(first),
        {IsDialog("Make a zip file"),
         [](QWidget* AForm) {
             QTest::keyClicks(EditNamed(AForm, "NameEdit"), " backup ");
             AForm->findChild<QCheckBox*>("UseCheck")->click();
             QTest::keyClick(AForm->focusWidget(), Qt::Key_Return);
         }},
        AcceptMessage(second),
        {IsDialog("Make a zip file"),
         [](QWidget* AForm) {
             QTest::keyClicks(EditNamed(AForm, "Pass1"), "s3cret pw");
             QTest::keyClicks(EditNamed(AForm, "Pass2"), "s3cret");
             ButtonNamed(AForm, "Create")->click();
         }},
        AcceptMessage(third),
        {IsDialog("Make a zip file"),
         [](QWidget* AForm) {
             QTest::keyClicks(EditNamed(AForm, "Pass2"), " pw");
             AForm->findChild<QCheckBox*>("WeakCheck")->click();
             QTest::keyClick(EditNamed(AForm, "Pass2"), Qt::Key_Return);
         }},
    });
    std::string name, password;
    bool weak = false;
    ASSERT_TRUE(AskZipOptions("/home/ann", 2, "ann", name, password, weak));
    EXPECT_EQ(first, "Type a name for the zip file.");
    EXPECT_EQ(second, "Type the password, or turn off the password.");
    EXPECT_EQ(third, "The two passwords are not the same.");
    EXPECT_EQ(name, "backup");
    EXPECT_EQ(password, "s3cret pw");
    EXPECT_TRUE(weak);
}

TEST(PromptDialogs, ZipWithoutPasswordIgnoresWhatWasTypedThere) {
    TModalDriver driver({{IsDialog("Make a zip file"), [](QWidget* AForm) {
                              auto* use = AForm->findChild<QCheckBox*>("UseCheck");
                              use->click();
                              QTest::keyClicks(EditNamed(AForm, "Pass1"), "abc");
                              AForm->findChild<QCheckBox*>("WeakCheck")->click();
                              use->click();
                              ButtonNamed(AForm, "Create")->click();
                          }}});
    std::string name, password = "x";
    bool weak = true;
    ASSERT_TRUE(AskZipOptions("/tmp", 1, "one", name, password, weak));
    EXPECT_EQ(name, "one");
    EXPECT_EQ(password, "");
    EXPECT_FALSE(weak);
}

// ---- Rename or move ----

TEST(PromptDialogs, RenameMoveOpensOnThePageThatCanBeUsed) {
    struct TCase {
        QString Old, Refusal;
        bool AskMove;
        bool OpensOnMove, RenameEnabled, MoveEnabled;
        QString FocusName;
    } cases[] = {
        {"a.txt", "", false, false, true, true, "RenameEdit"},
        {"a.txt", "", true, true, true, true, "MoveEdit"},
        {"", "", false, true, false, true, "MoveEdit"}, // nothing to rename
        {"a.txt", "Archives are read-only", true, false, true, false, "RenameEdit"},
        {"", "Archives are read-only", false, true, false, false, ""}, // OK does nothing there
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Old.toStdString() + " / " + c.Refusal.toStdString() +
                     (c.AskMove ? " move" : " rename"));
        TRenameMoveHelper helper(nullptr, c.Old, false, "Move \"a.txt\" to:", c.Refusal,
                                 "/srv/dest", c.AskMove);
        helper.Form->show();
        EXPECT_EQ(helper.MovePageActive(), c.OpensOnMove);
        EXPECT_EQ(helper.RenameEdit->isEnabled(), c.RenameEnabled);
        EXPECT_EQ(helper.MoveEdit->isEnabled(), c.MoveEnabled);
        EXPECT_EQ(helper.MoveEdit->text(), c.Refusal.isEmpty() ? "/srv/dest" : "");
        QWidget* focus = helper.Form->focusWidget();
        EXPECT_EQ(focus && focus->isEnabled() ? focus->objectName() : QString(), c.FocusName);
        if (!c.Refusal.isEmpty() && c.Old.isEmpty()) {
            helper.OkClick();
            EXPECT_TRUE(helper.Form->isVisible());
            EXPECT_EQ(helper.Form->result(), 0);
        }
    }
}

TEST(PromptDialogs, RenameSelectsTheNameWhenShownAndWhenItsPageReturns) {
    struct TCase {
        QString Old;
        bool IsDir;
        QString Selected;
    } cases[] = {
        {"report.final.txt", false, "report.final"},
        {"my.photos", true, "my.photos"},
        {".profile", false, ".profile"},
        {"README", false, "README"},
    };
    for (const auto& c : cases) {
        TRenameMoveHelper helper(nullptr, c.Old, c.IsDir, "Move to:", "", "/dest/dir", false);
        helper.Form->show();
        EXPECT_EQ(helper.RenameEdit->selectedText(), c.Selected) << c.Old.toStdString();
        helper.Pages->setCurrentWidget(helper.MoveTab);
        EXPECT_EQ(helper.Form->focusWidget(), helper.MoveEdit);
        EXPECT_EQ(helper.MoveEdit->selectedText(), "/dest/dir");
        helper.RenameEdit->deselect();
        helper.Pages->setCurrentWidget(helper.RenameTab);
        EXPECT_EQ(helper.Form->focusWidget(), helper.RenameEdit);
        EXPECT_EQ(helper.RenameEdit->selectedText(), c.Selected) << c.Old.toStdString();
    }
}

TEST(PromptDialogs, RenameOrMoveResults) {
    // Unchanged name: the dialog closes as cancelled.
    {
        TModalDriver driver({{IsDialog("Rename / Move"), [](QWidget* AForm) {
                                  QTest::keyClick(EditNamed(AForm, "RenameEdit"), Qt::Key_Return);
                              }}});
        bool movePage = false;
        std::string text = "x";
        EXPECT_FALSE(
            AskRenameOrMove("A.txt", false, "Move \"A.txt\" to:", "", "/b", movePage, text));
        EXPECT_EQ(text, "");
    }
    // A slash on the rename page is refused; typing over the preselected name keeps the extension.
    {
        QString message;
        TModalDriver driver({
            {IsDialog("Rename / Move"),
             [](QWidget* AForm) {
                 QTest::keyClicks(EditNamed(AForm, "RenameEdit"), "sub/new");
                 ButtonNamed(AForm, "OK")->click();
             }},
            AcceptMessage(message),
            {IsDialog("Rename / Move"),
             [](QWidget* AForm) {
                 QLineEdit* edit = EditNamed(AForm, "RenameEdit");
                 EXPECT_EQ(edit->text(), "sub/new.txt");
                 edit->setText(" new.txt ");
                 ButtonNamed(AForm, "OK")->click();
             }},
        });
        bool movePage = true; // asked for the move page, which a refusal rules out
        std::string text;
        ASSERT_TRUE(AskRenameOrMove("A.txt", false, "",
                                    "Files cannot be moved out of an archive. Use F5 to copy them",
                                    "", movePage, text));
        EXPECT_EQ(message, "Type a name only. To put it in another folder, use the Move tab.");
        EXPECT_FALSE(movePage);
        EXPECT_EQ(text, "new.txt");
    }
    // The move page gives its trimmed text.
    {
        TModalDriver driver({{IsDialog("Rename / Move"), [](QWidget* AForm) {
                                  auto* pages = AForm->findChild<QTabWidget*>();
                                  pages->setCurrentIndex(1);
                                  QTest::keyClicks(EditNamed(AForm, "MoveEdit"), "  /srv/other  ");
                                  ButtonNamed(AForm, "OK")->click();
                              }}});
        bool movePage = false;
        std::string text;
        ASSERT_TRUE(AskRenameOrMove("a", true, "Move \"a\" to:", "", "/srv/dest", movePage, text));
        EXPECT_TRUE(movePage);
        EXPECT_EQ(text, "/srv/other");
    }
}

// ---- Passkey ----

TEST(PromptDialogs, PasskeySetChecksBothFields) {
    QString first, second;
    TModalDriver driver({
        {IsDialog("Passkey for saved passwords"),
         [](QWidget* AForm) {
             EXPECT_FALSE(AForm->findChild<QPushButton*>("RemoveButton")->isEnabled());
             EXPECT_TRUE(QTest::qWaitFor([&] { return EditNamed(AForm, "First")->hasFocus(); }, 5000));
             QTest::keyClick(AForm->focusWidget(), Qt::Key_Return);
         }},
        AcceptMessage(first),
        {IsDialog("Passkey for saved passwords"),
         [](QWidget* AForm) {
             QTest::keyClicks(EditNamed(AForm, "First"), "correct horse");
             QTest::keyClicks(EditNamed(AForm, "Second"), "correct horse ");
             ButtonNamed(AForm, "Set passkey")->click();
         }},
        AcceptMessage(second),
        {IsDialog("Passkey for saved passwords"),
         [](QWidget* AForm) {
             QTest::keyClick(EditNamed(AForm, "Second"), Qt::Key_Backspace);
             AForm->findChild<QCheckBox*>("PortableCheck")->click();
             ButtonNamed(AForm, "Set passkey")->click();
         }},
    });
    bool portable = false;
    std::string passkey;
    EXPECT_EQ(AskPasskey(false, portable, passkey), pcSet);
    EXPECT_EQ(first, "Type the passkey first.");
    EXPECT_EQ(second, "The two passkeys are not the same.");
    EXPECT_EQ(passkey, "correct horse");
    EXPECT_TRUE(portable);
}

TEST(PromptDialogs, PasskeyRemoveAndCancel) {
    {
        TModalDriver driver({{IsDialog("Passkey for saved passwords"), [](QWidget* AForm) {
                                  ButtonNamed(AForm, "Remove passkey")->click();
                              }}});
        bool portable = true;
        std::string passkey = "kept";
        EXPECT_EQ(AskPasskey(true, portable, passkey), pcRemove);
        EXPECT_FALSE(portable);
        EXPECT_EQ(passkey, "kept");
    }
    {
        TModalDriver driver({{IsDialog("Passkey for saved passwords"), [](QWidget* AForm) {
                                  QTest::keyClicks(EditNamed(AForm, "First"), "abc");
                                  QTest::keyClicks(EditNamed(AForm, "Second"), "abc");
                                  AForm->findChild<QCheckBox*>("PortableCheck")->click();
                                  QTest::keyClick(AForm->focusWidget(), Qt::Key_Escape);
                              }}});
        bool portable = true;
        std::string passkey = "kept";
        EXPECT_EQ(AskPasskey(true, portable, passkey), pcCancel);
        EXPECT_TRUE(portable);
        EXPECT_EQ(passkey, "kept");
    }
}

// ---- Prompts for worker threads ----

TEST(WorkerPrompts, AnsweredQuestionReachesTheWorker) {
    auto prompts = std::make_shared<TKvUiPrompts>();
    auto token = NewCancelToken();
    std::atomic<bool> returned{false};
    bool result = false;
    std::string value;
    TModalDriver driver({{IsDialog("Login to ann@host"), [](QWidget* AForm) {
                              QTest::keyClicks(EditNamed(AForm, "SecretEdit"), "pw 1");
                              ButtonNamed(AForm, "OK")->click();
                          }}});
    std::thread worker([&] {
        result = prompts->AskSecret("Login to ann@host", "Password:", *token, value);
        returned = true;
    });
    EXPECT_TRUE(WaitFor([&] { return returned.load(); }));
    worker.join();
    EXPECT_TRUE(result);
    EXPECT_EQ(value, "pw 1");
}

TEST(WorkerPrompts, CancelledWorkerReturnsWhileTheBoxStaysOpen) {
    auto prompts = std::make_shared<TKvUiPrompts>();
    auto token = NewCancelToken();
    std::atomic<bool> returned{false};
    bool result = true;
    std::string value = "before";
    bool returnedWhileOpen = false;
    TModalDriver driver({{IsDialog("Login"), [&](QWidget* AForm) {
                              token->Cancel();
                              returnedWhileOpen = WaitFor([&] { return returned.load(); }, 5000) &&
                                                  AForm->isVisible();
                              // The worker's frame is gone; the late answer must go nowhere near
                              // it.
                              token.reset();
                              QTest::keyClicks(EditNamed(AForm, "SecretEdit"), "too late");
                              ButtonNamed(AForm, "OK")->click();
                          }}});
    std::thread worker([&, raw = token.get()] {
        result = prompts->AskSecret("Login", "Password:", *raw, value);
        returned = true;
    });
    EXPECT_TRUE(WaitFor([&] {
        return returned.load() && driver.Finished() && !QApplication::activeModalWidget();
    }));
    worker.join();
    EXPECT_TRUE(returnedWhileOpen);
    EXPECT_FALSE(result);
    EXPECT_EQ(value, "");
}

TEST(WorkerPrompts, TokenCancelledBeforeTheUiRunsShowsNothing) {
    bool sawDialog = false;
    bool ran = false;
    bool result = true;
    {
        auto token = NewCancelToken();
        std::thread worker([&] { result = RunPromptOnUi(*token, [&ran] { ran = true; }); });
        // The UI thread is busy (not pumping) while the worker gives up.
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        token->Cancel();
        worker.join();
    } // the token is gone before the queued call runs
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        if (auto* modal = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
            sawDialog = true;
            modal->reject();
        }
    });
    watch.start(10);
    QTest::qWait(200);
    EXPECT_FALSE(result);
    EXPECT_FALSE(ran);
    EXPECT_FALSE(sawDialog);
}

TEST(WorkerPrompts, NewHostKeyDefaultsToCancel) {
    struct TCase {
        bool Trust;
        bool Result;
    } cases[] = {{false, false}, {true, true}};
    for (const auto& c : cases) {
        auto prompts = std::make_shared<TKvUiPrompts>();
        auto token = NewCancelToken();
        std::atomic<bool> returned{false};
        bool result = !c.Result;
        QString text;
        TModalDriver driver({{IsMessageBox(), [&](QWidget* AWidget) {
                                  auto* box = qobject_cast<QMessageBox*>(AWidget);
                                  text = box->text();
                                  EXPECT_EQ(box->defaultButton()->text(), "Cancel");
                                  if (c.Trust)
                                      ButtonNamed(box, "Trust and connect")->click();
                                  else
                                      QTest::keyClick(box, Qt::Key_Return);
                              }}});
        std::thread worker([&] {
            result = prompts->ConfirmNewHostKey("example.org", 2222, "ssh-ed25519", "SHA256:abc%1",
                                                *token);
            returned = true;
        });
        EXPECT_TRUE(WaitFor([&] { return returned.load(); }));
        worker.join();
        EXPECT_EQ(result, c.Result);
        EXPECT_TRUE(
            text.startsWith("Kolvan has not connected to \"example.org\" (port 2222) before"))
            << text.toStdString();
        EXPECT_TRUE(text.contains("\n\nKey type: ssh-ed25519\nFingerprint: SHA256:abc%1\n\n"))
            << text.toStdString();
    }
}

TEST(WorkerPrompts, ChangedHostKeyNamesTheFileAndWaits) {
    auto prompts = std::make_shared<TKvUiPrompts>();
    auto token = NewCancelToken();
    std::atomic<bool> returned{false};
    QString text;
    bool returnedBeforeClose = false;
    TModalDriver driver({{IsMessageBox(), [&](QWidget* AWidget) {
                              returnedBeforeClose = returned.load();
                              text = qobject_cast<QMessageBox*>(AWidget)->text();
                              qobject_cast<QMessageBox*>(AWidget)->accept();
                          }}});
    std::thread worker([&] {
        prompts->ReportChangedHostKey("h", 22, "ecdsa-sha2-nistp256", "SHA256:new", "SHA256:old",
                                      "/home/ann/.config/kolvan/known_hosts.txt", *token);
        returned = true;
    });
    EXPECT_TRUE(WaitFor([&] { return returned.load(); }));
    worker.join();
    EXPECT_FALSE(returnedBeforeClose);
    EXPECT_TRUE(text.contains("Trusted before: SHA256:old\nOffered now: SHA256:new\n"))
        << text.toStdString();
    EXPECT_TRUE(text.endsWith("from:\n/home/ann/.config/kolvan/known_hosts.txt"))
        << text.toStdString();
}

TEST(WorkerPrompts, WorkThatRaisesStillReleasesTheWorker) {
    auto token = NewCancelToken();
    // On the UI thread the work runs at once.
    EXPECT_TRUE(RunPromptOnUi(*token, [] { throw std::runtime_error("boom"); }));
    std::atomic<int> state{0};
    std::thread worker(
        [&] { state = RunPromptOnUi(*token, [] { throw std::runtime_error("boom"); }) ? 1 : 2; });
    EXPECT_TRUE(WaitFor([&] { return state.load() != 0; }));
    worker.join();
    EXPECT_EQ(state.load(), 1);
    // A cancelled token on the UI thread skips the work.
    token->Cancel();
    bool ran = false;
    EXPECT_FALSE(RunPromptOnUi(*token, [&ran] { ran = true; }));
    EXPECT_FALSE(ran);
}
