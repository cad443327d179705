// The main window on two fresh folders, driven by keys as a user drives it, with the waits that
// background listings, connections and copies need; and the dialog steps those commands ask.
#pragma once

#include <QApplication>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QTimer>
#include <QTest>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "Kv.Ui.ConnectionPicker.h"
#include "Kv.Ui.FilePanel.h"
#include "Kv.Ui.MainForm.h"
#include "KvTestSupport.h"
#include "UiModalDriver.h"

namespace kv::test {

struct TMainDriver {
    // A question the test does not expect fails it at once instead of hanging it.
    TModalGuard Guard;
    TTempDir Root;
    std::string Left = Root / "left", Right = Root / "right";
    std::string StateFile = Root / "state.json";
    std::unique_ptr<TMainForm> Form;

    TMainDriver() {
        ::mkdir(Left.c_str(), 0755);
        ::mkdir(Right.c_str(), 0755);
        TKvAppState state;
        DefaultAppState(state);
        state.Panels[rhLeft].Path = Left;
        state.Panels[rhRight].Path = Right;
        SaveAppState(StateFile, state);
    }
    ~TMainDriver() {
        if (!Form)
            return;
        // A test that stopped early may leave a terminal connected: the close question that
        // brings is answered, so the failure is reported instead of waiting for ever.
        QTimer answer;
        answer.setInterval(50);
        QObject::connect(&answer, &QTimer::timeout, [] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (box && box->text().startsWith("Something is still going on"))
                box->button(QMessageBox::Yes)->click();
        });
        answer.start();
        Form->close();
    }
    void Open() {
        Form = std::make_unique<TMainForm>(StateFile);
        Form->show();
        EXPECT_TRUE(WaitPath(rhLeft, Left));
        EXPECT_TRUE(WaitPath(rhRight, Right));
    }
    TKvFilePanel& Panel(TKvHalf AHalf) { return Form->Panel(AHalf); }
    bool WaitPath(TKvHalf AHalf, const std::string& APath, int AMs = 10000) {
        return QTest::qWaitFor([&] { return !Panel(AHalf).Busy() && Panel(AHalf).Path() == APath; }, AMs);
    }
    bool WaitIdle(TKvHalf AHalf, int AMs = 10000) {
        return QTest::qWaitFor([&] { return !Panel(AHalf).Busy(); }, AMs);
    }
    // Returns once everything queued in the event loop before this call has run.
    static bool RunQueued() {
        auto reached = std::make_shared<bool>(false);
        QMetaObject::invokeMethod(qApp, [reached] { *reached = true; }, Qt::QueuedConnection);
        return QTest::qWaitFor([&] { return *reached; }, 10000);
    }
    // Waits until what a window that just opened set going has come back (both halves listed)
    // and what it queued behind that has run: a step it would take by itself is taken by then,
    // so a test can show that it was not.
    bool Settle() { return WaitIdle(rhLeft) && WaitIdle(rhRight) && RunQueued(); }
    bool HasRow(TKvHalf AHalf, const std::string& AName) {
        const auto& model = Panel(AHalf).Model();
        for (int i = 0; i < model.RowCount(); ++i)
            if (model.Row(i).Name == AName)
                return true;
        return false;
    }
    bool WaitRow(TKvHalf AHalf, const std::string& AName) {
        return QTest::qWaitFor([&] { return HasRow(AHalf, AName); }, 10000);
    }
    bool WaitStatus(TKvHalf AHalf, const std::string& AText, int AMs = 20000) {
        return QTest::qWaitFor([&] { return Panel(AHalf).StatusText() == AText; }, AMs);
    }
    std::string Names(TKvHalf AHalf) {
        std::string out;
        const auto& model = Panel(AHalf).Model();
        for (int i = 0; i < model.RowCount(); ++i)
            out += (i ? " " : "") + model.Row(i).Name;
        return out;
    }
    void Focus(TKvHalf AHalf, const std::string& AName) {
        Form->SetActiveHalf(AHalf);
        ASSERT_TRUE(WaitRow(AHalf, AName)) << AName << " in " << Names(AHalf);
        auto& panel = Panel(AHalf);
        QTest::keyClick(panel.focusProxy(), Qt::Key_Home);
        for (int i = 0; i < panel.Model().RowCount() && panel.Model().FocusedName() != AName; ++i)
            QTest::keyClick(panel.focusProxy(), Qt::Key_Down);
        ASSERT_EQ(panel.Model().FocusedName(), AName);
    }
    void Key(Qt::Key AKey, Qt::KeyboardModifiers AMods = Qt::NoModifier) {
        QTest::keyClick(Panel(Form->ActiveHalf()).focusProxy(), AKey, AMods);
    }
    // F1, then AText typed into the connection picker's filter and Enter.
    void TypeInPicker(const std::string& AText) {
        Key(Qt::Key_F1);
        TConnectionPicker* picker = nullptr;
        ASSERT_TRUE(QTest::qWaitFor([&] {
            for (QWidget* widget : QApplication::topLevelWidgets())
                if (auto* found = qobject_cast<TConnectionPicker*>(widget); found && found->isVisible())
                    picker = found;
            return picker != nullptr;
        }, 5000));
        picker->Filter()->setText(QString::fromStdString(AText));
        QTest::keyClick(picker->Filter(), Qt::Key_Return);
    }
};

// A line asked with AskLine (QInputDialog) titled ATitle: answered with AText; the proposed
// text is recorded when AProposed is given.
inline TModalStep AnswerLine(const QString& ATitle, const std::string& AText, std::string* AProposed = nullptr) {
    return {IsDialog(ATitle), [AText, AProposed](QWidget* AWidget) {
                auto* dialog = qobject_cast<QInputDialog*>(AWidget);
                ASSERT_TRUE(dialog);
                if (AProposed)
                    *AProposed = dialog->textValue().toStdString();
                dialog->setTextValue(QString::fromStdString(AText));
                dialog->accept();
            }};
}

// The masked input box titled ATitle: its question recorded, AText typed and OK pressed; or
// Cancel when ACancel.
inline TModalStep AnswerSecret(const QString& ATitle, const std::string& AText, std::string* AQuestion = nullptr,
                               bool ACancel = false) {
    return {IsDialog(ATitle), [AText, AQuestion, ACancel](QWidget* AWidget) {
                if (AQuestion)
                    for (auto* label : AWidget->findChildren<QLabel*>())
                        if (!label->text().isEmpty())
                            *AQuestion = label->text().toStdString();
                if (ACancel) {
                    ButtonNamed(AWidget, "Cancel")->click();
                    return;
                }
                EditNamed(AWidget, "SecretEdit")->setText(QString::fromStdString(AText));
                ButtonNamed(AWidget, "OK")->click();
            }};
}

// The server-key or certificate question: trusted.
inline TModalStep TrustKey(std::string* AText = nullptr) {
    return {IsMessageBox(), [AText](QWidget* AWidget) {
                auto* box = qobject_cast<QMessageBox*>(AWidget);
                if (AText)
                    *AText = box->text().toStdString();
                ButtonNamed(box, "Trust and connect")->click();
            }};
}

} // namespace kv::test
