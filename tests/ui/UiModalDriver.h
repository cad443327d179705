// Drives modal dialogs from a test: each step waits until the active modal window matches, then
// acts on it. Acting may open another modal (a message box), which a later step handles inside
// that nested event loop.
#pragma once

#include <QApplication>
#include <QDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <deque>
#include <functional>
#include <gtest/gtest.h>

namespace kv::test {

struct TModalStep {
    std::function<bool(QWidget*)> Match;
    std::function<void(QWidget*)> Act;
};

inline std::function<bool(QWidget*)> IsDialog(const QString& ATitle) {
    return [ATitle](QWidget* AWidget) {
        return qobject_cast<QDialog*>(AWidget) && !qobject_cast<QMessageBox*>(AWidget) &&
               AWidget->windowTitle() == ATitle;
    };
}

inline std::function<bool(QWidget*)> IsMessageBox() {
    return [](QWidget* AWidget) { return qobject_cast<QMessageBox*>(AWidget) != nullptr; };
}

inline QPushButton* ButtonNamed(QWidget* AForm, const QString& AText) {
    for (auto* button : AForm->findChildren<QPushButton*>())
        if (button->text() == AText)
            return button;
    ADD_FAILURE() << "no button " << AText.toStdString();
    return nullptr;
}

inline QLineEdit* EditNamed(QWidget* AForm, const char* AName) {
    auto* edit = AForm->findChild<QLineEdit*>(QLatin1String(AName));
    EXPECT_NE(edit, nullptr) << AName;
    return edit;
}

// A step that records a message box's text and closes it with OK.
inline TModalStep AcceptMessage(QString& AText) {
    return {IsMessageBox(), [&AText](QWidget* AWidget) {
                auto* box = qobject_cast<QMessageBox*>(AWidget);
                AText = box->text();
                box->accept();
            }};
}

class TModalDriver {
public:
    explicit TModalDriver(std::vector<TModalStep> ASteps) : FSteps(ASteps.begin(), ASteps.end()) {
        Schedule();
    }
    ~TModalDriver() { EXPECT_TRUE(FSteps.empty()) << FSteps.size() << " modal step(s) never ran"; }

    bool Finished() const { return FSteps.empty(); }

private:
    void Schedule() {
        QTimer::singleShot(10, &FContext, [this] { Poll(); });
    }

    void Poll() {
        if (FSteps.empty())
            return;
        // Rescheduled before acting: the act may run a nested event loop.
        Schedule();
        QWidget* modal = QApplication::activeModalWidget();
        if (++FPolls > 1000) {
            // Something waits for a step that cannot match: close it rather than hang the run.
            ADD_FAILURE() << "modal step did not match in time";
            FSteps.clear();
            if (auto* dialog = qobject_cast<QDialog*>(modal))
                dialog->reject();
            return;
        }
        if (!modal || !modal->isVisible() || !FSteps.front().Match(modal))
            return;
        TModalStep step = FSteps.front();
        FSteps.pop_front();
        FPolls = 0;
        step.Act(modal);
    }

    QObject FContext;
    std::deque<TModalStep> FSteps;
    int FPolls = 0;
};

} // namespace kv::test
