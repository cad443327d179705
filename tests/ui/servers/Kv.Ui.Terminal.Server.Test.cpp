// The whole window with terminal halves against a real sshd: what was open at the last close
// comes back as a placeholder that connects when asked, a hybrid SSH terminal switches to its
// files and back keeping the folder, copies go into a terminal's folder, and a smaller window
// under a full-screen program loses none of the shell's text.
#include <gtest/gtest.h>

#include <QLabel>
#include <QTest>
#include <algorithm>
#include <memory>
#include <vector>

#include "Kv.Connectors.h"
#include "Kv.Shell.Quote.h"
#include "Kv.Ui.RestoreBox.h"
#include "Kv.Ui.ShellPanel.h"
#include "Kv.Ui.TitleText.h"
#include "KvMainDriver.h"
#include "KvUiServers.h"

using namespace kv;
using namespace kv::test;

namespace {

class TerminalHalves : public SftpServer {
protected:
    // A saved connection of the key user, written to the connections file.
    TKvConnector Saved(TKvConnectorKind AKind, const std::string& AName, const std::string& AStartDir) {
        TKvConnector conn = NewConnector();
        conn.Name = AName;
        conn.Kind = AKind;
        conn.Host = "127.0.0.1";
        conn.Port = std::stoi(Port());
        conn.User = "kvkey";
        conn.Auth = amKeyFile;
        conn.KeyFile = Env.at("KV_SSH_KEYS") + "/id_ed25519";
        conn.StartDir = AStartDir;
        conn.Hybrid = true;
        FSaved.push_back(conn);
        EXPECT_TRUE(SaveConnectors(ConnectorsFilePath(), FSaved, "", {}, false));
        return conn;
    }
    void TearDown() override {
        ::unlink(ConnectorsFilePath().c_str());
        SftpServer::TearDown();
    }

private:
    TKvConnectors FSaved;
};

// The shell's folder once the hybrid half has its file connection.
bool WaitFolder(TKvShellPanel& AShell, const std::string& AFolder, int AMs = 30000) {
    return QTest::qWaitFor([&] { return AShell.FilesReady() && AShell.CurrentDir() == AFolder; }, AMs);
}

TEST_F(TerminalHalves, SavedSftpPanelComesBackAsPlaceholderAndConnectsWhenAsked) {
    const std::string remote = RemoteFolder("kvkey");
    RunCommand("mkdir '" + remote + "/sub' && echo hi > '" + remote + "/sub/a.txt' && chown -R kvkey: '" + remote + "'");
    const TKvConnector conn = Saved(ckSftp, "Files server", remote);

    TMainDriver f;
    {
        TKvAppState state;
        DefaultAppState(state);
        LoadAppState(f.StateFile, state);
        state.Sessions[rhRight] = {std::string(KSessionPanel), conn.Id, remote + "/sub"};
        ASSERT_TRUE(SaveAppState(f.StateFile, state));
    }
    f.Form = std::make_unique<TMainForm>(f.StateFile);
    f.Form->show();
    TKvRestoreBox* box = f.Form->Placeholder(rhRight);
    ASSERT_TRUE(box);
    EXPECT_TRUE(box->isVisible());
    EXPECT_EQ(box->Title().toStdString(), "Files server");
    // Nothing connects before the user asks: once the opening window has settled, the panel
    // behind the placeholder is still on the disk and no connection is open.
    ASSERT_TRUE(f.Settle());
    ASSERT_EQ(f.Form->Placeholder(rhRight), box);
    EXPECT_FALSE(f.Panel(rhRight).IsRemote());
    EXPECT_TRUE(f.Form->OpenConnections().empty());

    {
        TModalDriver dialogs({TrustKey()});
        QTest::keyClick(box, Qt::Key_Return);
        ASSERT_TRUE(f.WaitPath(rhRight, remote + "/sub", 60000)) << f.Panel(rhRight).StatusText();
    }
    EXPECT_EQ(f.Form->Placeholder(rhRight), nullptr);
    EXPECT_EQ(f.Form->ActiveHalf(), rhRight);
    EXPECT_EQ(f.Names(rhRight), ".. a.txt");

    // Closing keeps the session for the next start.
    f.Form->close();
    f.Form.reset();
    TKvAppState after;
    LoadAppState(f.StateFile, after);
    EXPECT_EQ(after.Sessions[rhRight].Kind, KSessionPanel);
    EXPECT_EQ(after.Sessions[rhRight].ConnectorId, conn.Id);
    EXPECT_EQ(after.Sessions[rhRight].Path, remote + "/sub");
}

// The server's connections die under a hybrid terminal: the screen says so and keeps what the
// shell printed; Enter connects again in the same folder, and the switch to the files works.
TEST_F(TerminalHalves, ALostConnectionIsSaidOnTheScreenAndEnterConnectsAgain) {
    const std::string remote = RemoteFolder("kvkey");
    RunCommand("mkdir -p '" + remote + "/deep' && chown -R kvkey: '" + remote + "'");
    const TKvConnector conn = Saved(ckSsh, "Shell server", remote);
    TMainDriver f;
    f.Open();
    {
        TModalDriver dialogs({TrustKey()});
        f.Form->OpenConnector(rhLeft, conn);
        ASSERT_TRUE(QTest::qWaitFor([&] { return dialogs.Finished(); }, 30000));
    }
    TKvShellPanel* shell = f.Form->Terminal(rhLeft);
    ASSERT_TRUE(shell);
    ASSERT_TRUE(WaitFolder(*shell, remote)) << shell->StatusText().toStdString();
    shell->TypeLine("cd deep; echo bef''ore-$((6*7))");
    ASSERT_TRUE(WaitFolder(*shell, remote + "/deep")) << shell->CurrentDir();
    // The scrollback and the screen.
    auto screenText = [&] {
        std::string text;
        auto& screen = shell->Model().Screen();
        screen.Lock();
        for (int i = 0; i < screen.LineCount(); ++i)
            text += screen.AbsText(i) + "\n";
        screen.Unlock();
        return text;
    };
    ASSERT_TRUE(QTest::qWaitFor([&] { return screenText().find("before-42") != std::string::npos; }, 10000));

    Sshd->KillConnections();
    ASSERT_TRUE(QTest::qWaitFor([&] { return shell->Model().ConnectionLost(); }, 30000))
        << shell->StatusText().toStdString();
    EXPECT_NE(screenText().find("Press Enter to connect again."), std::string::npos) << screenText();
    // Below what the shell printed, never over it.
    EXPECT_GT(screenText().find("Press Enter to connect again."), screenText().find("before-42"))
        << screenText();

    f.Form->SetActiveHalf(rhLeft);
    QTest::keyClick(shell->Terminal(), Qt::Key_Return);
    ASSERT_TRUE(WaitFolder(*shell, remote + "/deep")) << shell->CurrentDir() << " "
                                                      << shell->StatusText().toStdString();
    EXPECT_FALSE(shell->Model().ConnectionLost());
    EXPECT_NE(screenText().find("before-42"), std::string::npos) << screenText();
    shell->TypeLine("echo aft''er-$((6*7))");
    ASSERT_TRUE(QTest::qWaitFor([&] { return screenText().find("after-42") != std::string::npos; }, 10000))
        << screenText();
    // The switch to the files goes to the same folder on the new connection.
    f.Form->ToggleHybrid(rhLeft);
    ASSERT_TRUE(f.WaitPath(rhLeft, remote + "/deep", 30000)) << f.Panel(rhLeft).StatusText();
}

TEST_F(TerminalHalves, HybridTerminalSwitchesToItsFilesAndBackKeepingTheFolder) {
    const std::string remote = RemoteFolder("kvkey");
    RunCommand("mkdir -p '" + remote + "/one' '" + remote + "/two' && echo x > '" + remote +
               "/one/in-one.txt' && chown -R kvkey: '" + remote + "'");
    const TKvConnector conn = Saved(ckSsh, "Shell server", remote);

    TMainDriver f;
    WriteFile(f.Right + "/up.txt", "going up\n");
    f.Open();
    {
        TModalDriver dialogs({TrustKey()});
        f.Form->OpenConnector(rhLeft, conn);
        ASSERT_TRUE(QTest::qWaitFor([&] { return dialogs.Finished(); }, 30000));
    }
    TKvShellPanel* shell = f.Form->Terminal(rhLeft);
    ASSERT_TRUE(shell);
    EXPECT_FALSE(f.Panel(rhLeft).isVisible());
    ASSERT_TRUE(WaitFolder(*shell, remote)) << shell->CurrentDir() << " " << shell->StatusText().toStdString();
    shell->TypeLine("cd one");
    ASSERT_TRUE(WaitFolder(*shell, remote + "/one")) << shell->CurrentDir();

    // To the files: the panel opens in the shell's folder, on the terminal's own connection.
    f.Form->ToggleHybrid(rhLeft);
    EXPECT_EQ(f.Form->Terminal(rhLeft), nullptr);
    ASSERT_TRUE(f.WaitPath(rhLeft, remote + "/one", 30000)) << f.Panel(rhLeft).StatusText();
    EXPECT_EQ(f.Panel(rhLeft).FileSystem(), shell->FileSystem());
    EXPECT_EQ(f.Names(rhLeft), ".. in-one.txt");
    EXPECT_TRUE(f.Form->HybridSwitch(rhLeft)->isVisible());

    // Elsewhere in the panel, then back: the shell follows to that folder.
    f.Panel(rhLeft).NavigateWithin(remote + "/two");
    ASSERT_TRUE(f.WaitPath(rhLeft, remote + "/two"));
    f.Form->ToggleHybrid(rhLeft);
    ASSERT_EQ(f.Form->Terminal(rhLeft), shell);
    ASSERT_TRUE(WaitFolder(*shell, remote + "/two")) << shell->CurrentDir();

    // F5 from the other half copies into the terminal's folder.
    f.Focus(rhRight, "up.txt");
    {
        std::string proposed;
        TModalDriver dialogs({AnswerLine("Copy", remote + "/two", &proposed)});
        f.Key(Qt::Key_F5);
        ASSERT_TRUE(f.WaitStatus(rhRight, "Copied 1", 30000)) << f.Panel(rhRight).StatusText();
        EXPECT_EQ(proposed, remote + "/two");
    }
    EXPECT_EQ(ReadFile(remote + "/two/up.txt"), "going up\n");

    // Names selected in the terminal's ls -l, F5 in the window: into the other half's folder.
    shell->TypeLine("clear; ls -l");
    auto screenText = [&] {
        std::string text;
        auto& screen = shell->Model().Screen();
        screen.Lock();
        for (int r = 0; r < screen.Rows(); ++r)
            text += screen.RowText(r) + "\n";
        screen.Unlock();
        std::string links;
        for (const auto& [name, link] : shell->Terminal()->Links())
            links += "[" + name + "]";
        return text + links + " " + shell->LastStatus() + " " + shell->CurrentDir() + " rows " +
               std::to_string(screen.Rows()) + " size " + std::to_string(shell->Terminal()->width()) + "x" +
               std::to_string(shell->Terminal()->height()) + (shell->isVisible() ? " visible" : " hidden");
    };
    ASSERT_TRUE(QTest::qWaitFor([&] { return shell->Terminal()->Links().count("up.txt") > 0; }, 30000))
        << screenText();
    int line = -1;
    {
        auto& screen = shell->Model().Screen();
        screen.Lock();
        for (int r = 0; r < screen.Rows() && line < 0; ++r)
            if (screen.RowText(r).find(" up.txt") != std::string::npos)
                line = screen.BackCount() + r;
        screen.Unlock();
    }
    ASSERT_GE(line, 0);
    RunCommand("rm '" + f.Right + "/up.txt'");
    f.Form->SetActiveHalf(rhLeft);
    shell->Terminal()->Select({line, 0}, {line, shell->Model().Screen().Cols() - 1});
    QTest::keyClick(shell->Terminal(), Qt::Key_F5);
    ASSERT_TRUE(QTest::qWaitFor([&] { return ReadFile(f.Right + "/up.txt") == "going up\n"; }, 30000))
        << shell->LastStatus() << " | " << f.Panel(rhRight).StatusText() << " | " << shell->Terminal()->SelectionText();

    // The state keeps the terminal for the next start.
    f.Form->SaveStateNow();
    TKvAppState state;
    LoadAppState(f.StateFile, state);
    EXPECT_EQ(state.Sessions[rhLeft].Kind, KSessionShell);
    EXPECT_EQ(state.Sessions[rhLeft].ConnectorId, conn.Id);

    // "[ Disconnect ]" closes the terminal, and the half shows its file panel again.
    QLabel* disconnect = nullptr;
    for (auto* label : f.Panel(rhLeft).parentWidget()->findChildren<QLabel*>())
        if (label->text() == " [ Disconnect ] ")
            disconnect = label;
    ASSERT_TRUE(disconnect && disconnect->isVisible());
    QTest::mouseClick(disconnect, Qt::LeftButton);
    EXPECT_EQ(f.Form->Terminal(rhLeft), nullptr);
    EXPECT_TRUE(f.Panel(rhLeft).isVisible());
}

// Every logical line of the scrollback and the screen: wrapped rows joined, one line each.
std::vector<std::string> LogicalLines(TKvVtScreen& AScreen) {
    std::vector<std::string> lines;
    std::string current;
    TKvVtScreenLock lock(&AScreen);
    for (int i = 0; i < AScreen.LineCount(); ++i) {
        const TKvVtLine& line = AScreen.AbsLine(i);
        if (line.Wrapped) {
            for (const TKvVtCell& cell : line.Cells)
                if (!(cell.Flags & vfWideRight))
                    AppendCellText(current, line, cell);
            continue;
        }
        current += LineText(line);
        lines.push_back(current);
        current.clear();
    }
    return lines;
}

TEST_F(TerminalHalves, ASmallerWindowUnderVimKeepsEveryLineOfTheShell) {
    TKvConnector conn = NewConnector();
    conn.Name = "Shell server";
    conn.Kind = ckSsh;
    conn.Host = "127.0.0.1";
    conn.Port = std::stoi(Port());
    conn.User = "kvkey";
    conn.Auth = amKeyFile;
    conn.KeyFile = Env.at("KV_SSH_KEYS") + "/id_ed25519";
    auto ui = std::make_shared<TScriptedUi>();
    ui->TrustNew = true;
    TKvShellPanel panel;
    panel.resize(900, 560);
    panel.show();
    panel.Open(conn, ui);
    TKvVtScreen& screen = panel.Model().Screen();
    auto shown = [&] {
        std::string text;
        for (const std::string& line : LogicalLines(screen))
            text += line + "\n";
        return text;
    };
    auto has = [&](const std::string& ALine) {
        const auto lines = LogicalLines(screen);
        return std::find(lines.begin(), lines.end(), ALine) != lines.end();
    };
    panel.TypeLine("echo rea''dy");
    ASSERT_TRUE(QTest::qWaitFor([&] { return has("ready"); }, 30000)) << panel.LastStatus() << shown();
    const std::string command = "for i in $(seq 1 70); do echo line-$i; done";
    panel.TypeLine(command);
    ASSERT_TRUE(QTest::qWaitFor([&] { return has("line-70"); }, 30000)) << shown();
    const int wide = [&] {
        TKvVtScreenLock lock(&screen);
        return screen.Cols();
    }();

    panel.TypeLine("vi -u NONE");
    auto alternate = [&] {
        TKvVtScreenLock lock(&screen);
        return screen.AltScreen();
    };
    ASSERT_TRUE(QTest::qWaitFor(alternate, 30000)) << shown();
    panel.resize(380, 240);
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            TKvVtScreenLock lock(&screen);
            return screen.Cols() < wide / 2;
        },
        10000));
    QTest::qWait(300); // vi redraws for the new size
    panel.Model().Input("\x1b:q!\r");
    ASSERT_TRUE(QTest::qWaitFor([&] { return !alternate(); }, 30000)) << shown();
    panel.TypeLine("echo do''ne");
    ASSERT_TRUE(QTest::qWaitFor([&] { return has("done"); }, 30000)) << shown();

    // Every line printed before vi, and the command that printed them, are still there.
    const std::string text = shown();
    for (int i = 1; i <= 70; ++i)
        EXPECT_TRUE(has("line-" + std::to_string(i))) << i << "\n" << text;
    EXPECT_NE(text.find(command + "\n"), std::string::npos) << text;
    EXPECT_LT(text.find("line-70\n"), text.find("vi -u NONE")) << text;
}

} // namespace
