// Drives modal dialogs from a test: each step waits until the active modal window matches, then
// acts on it. Acting may open another modal (a message box), which a later step handles inside
// that nested event loop.
#pragma once

#include <QApplication>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTimer>
#include <algorithm>
#include <deque>
#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <vector>

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

// A modal window as a failure message names it: its title and every text it shows.
inline std::string DescribeModal(QWidget* AWidget) {
    std::string text = "\"" + AWidget->windowTitle().toStdString() + "\"";
    for (auto* label : AWidget->findChildren<QLabel*>())
        if (!label->text().isEmpty())
            text += " | " + label->text().toStdString();
    return text;
}

class TModalDriver {
public:
    explicit TModalDriver(std::vector<TModalStep> ASteps) : FSteps(ASteps.begin(), ASteps.end()) {
        Live().push_back(this);
        Schedule();
    }
    ~TModalDriver() {
        std::erase(Live(), this);
        EXPECT_TRUE(FSteps.empty()) << FSteps.size() << " modal step(s) never ran";
    }
    TModalDriver(const TModalDriver&) = delete;
    TModalDriver& operator=(const TModalDriver&) = delete;

    bool Finished() const { return FSteps.empty(); }

    // True while some driver has a step to come or is acting on a window: the modal window
    // open now is that driver's business.
    static bool AnyExpecting() {
        return std::any_of(Live().begin(), Live().end(), [](const TModalDriver* ADriver) {
            return !ADriver->Finished() || ADriver->FActing;
        });
    }

private:
    static std::vector<TModalDriver*>& Live() {
        static std::vector<TModalDriver*> live;
        return live;
    }

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
            ADD_FAILURE() << "modal step did not match in time; the modal window open is "
                          << (modal ? DescribeModal(modal) : std::string("none"));
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
        FActing = true;
        step.Act(modal);
        FActing = false;
    }

    QObject FContext;
    std::deque<TModalStep> FSteps;
    int FPolls = 0;
    bool FActing = false;
};

// Fails the running test on a modal window that nothing expects, naming its title and text,
// and closes it: a question nobody answers would otherwise hold the test in its event loop
// until ctest's limit. A window is unexpected when no TModalDriver waits for one and nothing
// (a test's own watcher, for one) has answered it within some forty turns of the event loop.
class TModalGuard {
public:
    TModalGuard() {
        FTimer.setInterval(50);
        QObject::connect(&FTimer, &QTimer::timeout, [this] { Check(); });
        FTimer.start();
    }

private:
    void Check() {
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal || !modal->isVisible() || TModalDriver::AnyExpecting()) {
            FSeen = nullptr;
            return;
        }
        // Counted in turns of the event loop, not in time: a loaded machine that runs the loop
        // late gives a watcher the same chance to answer first.
        if (modal != FSeen) {
            FSeen = modal;
            FTurns = 0;
            return;
        }
        if (++FTurns < 40)
            return;
        FSeen = nullptr;
        ADD_FAILURE() << "a modal window that the test does not expect: " << DescribeModal(modal);
        if (auto* dialog = qobject_cast<QDialog*>(modal))
            dialog->reject();
        else
            modal->close();
    }

    QTimer FTimer;
    QPointer<QWidget> FSeen;
    int FTurns = 0;
};

} // namespace kv::test
