// The terminal half's file actions against OpenSSH sshd: a bash login with a real SFTP
// connection beside it, names printed by ls -l as links, and the link menu, the double click
// and F5 on selected lines doing their work on the server. Questions that change something
// must name the full path they act on.
#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QLabel>
#include <QMenu>
#include <QTest>
#include <sys/stat.h>

#include <fstream>
#include <unistd.h>

#include "Kv.EditSession.h"
#include "Kv.KnownHosts.h"
#include "Kv.Shell.Quote.h"
#include "Kv.Ui.ChmodForm.h"
#include "Kv.Ui.ShellActions.h"
#include "KvFtpServers.h"
#include "KvMainDriver.h"
#include "KvTestSupport.h"

using namespace kv;
using namespace kv::test;

namespace {

const std::string KScripts = KV_SERVERS_DIR;

std::string SshState() {
    const char* preset = std::getenv("KV_SSH_STATE");
    return preset && *preset ? preset : "/tmp/kolvan-ssh-state-" + std::to_string(::getuid());
}

// kvpw's password, from the state ssh-setup.sh writes once per machine; empty when it failed.
std::string SshPassword() {
    static const std::string password = [] {
        int code = 0;
        RunCommand(KScripts + "/ssh-setup.sh '" + SshState() + "' >/dev/null 2>&1", &code);
        std::ifstream in(SshState() + "/ssh.env");
        const std::string key = "KV_SSH_PASSWORD_KVPW=";
        for (std::string line; code == 0 && std::getline(in, line);)
            if (line.rfind(key, 0) == 0)
                return line.substr(key.size());
        return std::string();
    }();
    return password;
}

// One sshd for the suite, stopped by its PID at the end.
class TSshServer {
public:
    TSshServer() : FDir(TestRoot() + "/actions-sshd") {
        int code = 0;
        Port = RunCommand(KScripts + "/sshd.sh start '" + FDir + "' --owner " +
                              std::to_string(::getpid()) + " 2>/dev/null",
                          &code);
        while (!Port.empty() && (Port.back() == '\n' || Port.back() == ' '))
            Port.pop_back();
        if (code != 0)
            Port.clear();
    }
    ~TSshServer() { RunCommand(KScripts + "/sshd.sh stop '" + FDir + "' >/dev/null 2>&1"); }
    std::string Port;

private:
    std::string FDir;
};

struct TTransfer {
    bool Move = false;
    std::string Folder;
    std::vector<std::string> Names;
    std::vector<bool> Dirs;
};

// Every label of a dialog, joined: the question as the user reads it.
std::string DialogText(QWidget* AWidget) {
    std::string text;
    for (auto* label : AWidget->findChildren<QLabel*>())
        text += label->text().toStdString() + "\n";
    return text;
}

class ShellActions : public ::testing::Test {
protected:
    static void TearDownTestSuite() { GServer.reset(); }

    void SetUp() override {
        const bool ready =
            !SshPassword().empty() && (GServer || (GServer = std::make_unique<TSshServer>()));
        if (!ready || GServer->Port.empty()) {
            if (MustHaveServers())
                FAIL() << "sshd did not start (CI=true)";
            GTEST_SKIP() << "sshd did not start";
        }
        ::unlink(KnownHostsFile().c_str());
        FBase = std::make_unique<TTempDir>("/tmp");
        // A blank and a quote in the folder: every path below must survive quoting.
        FDir = FBase->Path() + "/work it's";
        RunCommand("mkdir -p " + ShellQuote(FDir) + " && chmod 0755 " + ShellQuote(FBase->Path()));
    }
    void TearDown() override {
        FActions.reset();
        FPanel.reset();
        FEdits.reset();
        FBase.reset();
    }

    // Logs in as kvpw, changes to the work folder and lists it with ls -l until AWanted are links.
    void OpenAndList(const std::vector<std::string>& AWanted) {
        RunCommand("chown -R kvpw: " + ShellQuote(FDir));
        FPanel = std::make_unique<TKvShellPanel>();
        FPanel->resize(1000, 600);
        FEdits = std::make_unique<TKvEditSessions>([](const std::string&, bool) {});
        FActions = std::make_unique<TKvShellActions>(*FPanel, *FEdits, FPanel.get());
        FActions->OnTransfer = [this](bool AMove, IKvFileSystemPtr, const std::string& AFolder,
                                      const TKvFileEntries& AItems) {
            TTransfer t{AMove, AFolder, {}, {}};
            for (const auto& item : AItems) {
                t.Names.push_back(item.Name);
                t.Dirs.push_back(item.IsDir);
            }
            FTransfers.push_back(t);
        };
        TKvConnector conn;
        conn.Name = "Test server";
        conn.Kind = ckSsh;
        conn.Host = "127.0.0.1";
        conn.Port = std::stoi(GServer->Port);
        conn.User = "kvpw";
        conn.Auth = amPassword;
        conn.Secret = SshPassword();
        conn.Hybrid = true;
        auto ui = std::make_shared<TScriptedUi>();
        ui->TrustNew = true;
        FPanel->Open(conn, ui);
        ASSERT_TRUE(QTest::qWaitFor(
            [&] { return FPanel->FilesReady() && !FPanel->CurrentDir().empty(); }, 30000))
            << FPanel->LastStatus() << "\n"
            << Screen();
        ASSERT_TRUE(FPanel->Model().TypeCd(FDir));
        ASSERT_TRUE(QTest::qWaitFor([&] { return FPanel->CurrentDir() == FDir; }, 30000))
            << Screen();
        List(AWanted);
    }
    void List(const std::vector<std::string>& AWanted) {
        FPanel->RefreshLinks();
        FPanel->Model().Input("clear; ls -l\r");
        ASSERT_TRUE(QTest::qWaitFor(
            [&] {
                for (const auto& name : AWanted)
                    if (!Link(name))
                        return false;
                return true;
            },
            30000))
            << Screen();
    }
    const TKvTermLink* Link(const std::string& AName) {
        const auto& links = FPanel->Terminal()->Links();
        auto found = links.find(AName);
        return found == links.end() ? nullptr : &found->second;
    }
    std::string Screen() {
        std::string text;
        auto& s = FPanel->Model().Screen();
        s.Lock();
        for (int r = 0; r < s.Rows(); ++r)
            text += s.RowText(r) + "\n";
        s.Unlock();
        return text;
    }
    // The absolute index of the first live row that is AText, or ends with the name AText
    // (ls puts names with blanks in quotes); -1 when there is none.
    int LineOf(const std::string& AText, bool AWhole = false) {
        auto& s = FPanel->Model().Screen();
        s.Lock();
        int found = -1;
        for (int r = 0; r < s.Rows() && found < 0; ++r) {
            std::string row = s.RowText(r);
            row.erase(row.find_last_not_of(' ') + 1);
            auto ends = [&](const std::string& AEnd) {
                return row.size() >= AEnd.size() &&
                       row.compare(row.size() - AEnd.size(), AEnd.size(), AEnd) == 0;
            };
            if (AWhole ? row == AText : ends(" " + AText) || ends(" '" + AText + "'"))
                found = s.BackCount() + r;
        }
        s.Unlock();
        return found;
    }
    void SelectLines(int AFrom, int ATo) {
        FPanel->Terminal()->Select({AFrom, 0}, {ATo, FPanel->Model().Screen().Cols() - 1});
    }
    // Chooses an item of the link menu, as a right click on the link and a click on it would.
    void ChooseFromMenu(const std::string& ALink, const QString& AItem) {
        const TKvTermLink* link = Link(ALink);
        ASSERT_TRUE(link) << ALink << "\n" << Screen();
        const TKvTermLink copy = *link;
        FPanel->Terminal()->OnLinkClick(FPanel->Terminal(), copy, QPoint(10, 10));
        auto* menu = FPanel->Terminal()->findChild<QMenu*>();
        ASSERT_TRUE(menu);
        QAction* chosen = nullptr;
        for (QAction* action : menu->actions())
            if (action->text() == AItem)
                chosen = action;
        ASSERT_TRUE(chosen) << AItem.toStdString();
        menu->hide();
        chosen->trigger();
    }
    bool WaitStatus(const std::string& AText) {
        return QTest::qWaitFor([&] { return FPanel->LastStatus() == AText; }, 30000);
    }

    static inline std::unique_ptr<TSshServer> GServer;
    std::unique_ptr<TTempDir> FBase;
    std::string FDir;
    std::unique_ptr<TKvEditSessions> FEdits;
    std::unique_ptr<TKvShellPanel> FPanel;
    std::unique_ptr<TKvShellActions> FActions;
    std::vector<TTransfer> FTransfers;
};

TEST_F(ShellActions, RenameAndDeleteFromTheLinkMenuNameTheFullServerPath) {
    WriteFile(FDir + "/old name.txt", "old\n");
    WriteFile(FDir + "/doomed.txt", "x\n");
    ASSERT_NO_FATAL_FAILURE(OpenAndList({"old name.txt", "doomed.txt"}));
    // The main window lists a half showing a folder these change again.
    std::vector<std::string> changed;
    FActions->OnFolderChanged = [&](IKvFileSystemPtr AFs, const std::string& AFolder) {
        changed.push_back(AFs->DisplayPrefix() + AFolder);
    };
    const std::string folder = FPanel->FileSystem()->DisplayPrefix() + FDir;

    {
        std::string proposed;
        TModalDriver dialogs({AnswerLine("Rename", "new name.txt", &proposed)});
        ChooseFromMenu("old name.txt", "Rename");
        ASSERT_TRUE(WaitStatus("Renamed to new name.txt")) << FPanel->LastStatus();
        EXPECT_EQ(proposed, "old name.txt");
    }
    EXPECT_EQ(ReadFile(FDir + "/new name.txt"), "old\n");
    EXPECT_FALSE(Exists(FDir + "/old name.txt"));
    EXPECT_EQ(changed, std::vector<std::string>{folder});

    // The question names the full path; "No" leaves the file alone, "Yes" deletes it.
    for (const bool yes : {false, true}) {
        std::string question;
        TModalDriver dialogs({{IsDialog("Delete"), [&](QWidget* AWidget) {
                                   question = DialogText(AWidget);
                                   ButtonNamed(AWidget, yes ? "Yes" : "No")->click();
                               }}});
        ChooseFromMenu("doomed.txt", "Delete...");
        ASSERT_TRUE(QTest::qWaitFor([&] { return dialogs.Finished(); }, 10000));
        EXPECT_NE(question.find("\"" + FDir + "/doomed.txt\""), std::string::npos) << question;
        if (yes) {
            ASSERT_TRUE(WaitStatus("Deleted doomed.txt")) << FPanel->LastStatus();
        }
        EXPECT_EQ(Exists(FDir + "/doomed.txt"), !yes);
    }
    EXPECT_EQ(changed, (std::vector<std::string>{folder, folder}));
}

TEST_F(ShellActions, DeletingALinkToAFolderRemovesOnlyTheLink) {
    RunCommand("mkdir -p " + ShellQuote(FDir + "/real") + " && echo keep > " +
               ShellQuote(FDir + "/real/keep.txt") + " && ln -s real " +
               ShellQuote(FDir + "/dirlink"));
    ASSERT_NO_FATAL_FAILURE(OpenAndList({"dirlink", "real"}));
    ASSERT_TRUE(Link("dirlink")->IsDir);

    TModalDriver dialogs(
        {{IsDialog("Delete"), [](QWidget* AWidget) { ButtonNamed(AWidget, "Yes")->click(); }}});
    ChooseFromMenu("dirlink", "Delete...");
    ASSERT_TRUE(WaitStatus("Deleted dirlink")) << FPanel->LastStatus();
    struct stat info {};
    EXPECT_NE(::lstat((FDir + "/dirlink").c_str(), &info), 0);
    EXPECT_EQ(ReadFile(FDir + "/real/keep.txt"), "keep\n");
}

TEST_F(ShellActions, F5TakesTheNamesOfSelectedLinesAndCountsWordsThatAreNoFiles) {
    WriteFile(FDir + "/a b.txt", "hello");
    WriteFile(FDir + "/a.txt", "a");
    WriteFile(FDir + "/plain.txt", "x");
    RunCommand("mkdir -p " + ShellQuote(FDir + "/my dir"));
    ASSERT_NO_FATAL_FAILURE(OpenAndList({"a b.txt", "my dir", "plain.txt"}));

    // ls -l in the C locale sorts "a b.txt", "a.txt", "my dir", "plain.txt".
    const int first = LineOf("a b.txt");
    ASSERT_GE(first, 0) << Screen();
    ASSERT_EQ(LineOf("a.txt"), first + 1) << Screen();
    ASSERT_EQ(LineOf("my dir"), first + 2) << Screen();
    SelectLines(first, first + 2);
    FActions->TransferSelected(false);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !FTransfers.empty(); }, 30000))
        << FPanel->LastStatus();
    ASSERT_EQ(FTransfers.size(), 1u);
    EXPECT_FALSE(FTransfers[0].Move);
    EXPECT_EQ(FTransfers[0].Folder, FDir);
    EXPECT_EQ(FTransfers[0].Names, (std::vector<std::string>{"a b.txt", "a.txt", "my dir"}));
    EXPECT_EQ(FTransfers[0].Dirs, (std::vector<bool>{false, false, true}));
    EXPECT_EQ(FPanel->LastStatus(), "");

    // A command line: only the word that is a file here is taken.
    FTransfers.clear();
    FPanel->Model().Input("clear; echo cp a.txt b.txt\r");
    int line = -1;
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return (line = LineOf("cp a.txt b.txt", true)) >= 0; }, 30000))
        << Screen();
    SelectLines(line, line);
    ASSERT_EQ(FPanel->Terminal()->SelectionText(), "cp a.txt b.txt");
    FActions->TransferSelected(true);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !FTransfers.empty(); }, 30000))
        << FPanel->LastStatus();
    EXPECT_TRUE(FTransfers[0].Move);
    EXPECT_EQ(FTransfers[0].Names, std::vector<std::string>{"a.txt"});
    EXPECT_EQ(FPanel->LastStatus(),
              "2 of the selected words are not files here, and were left out");
}

TEST_F(ShellActions, ChmodShowsTheFullPathAndTheServerKeepsTheNewMode) {
    WriteFile(FDir + "/script.sh", "#!/bin/sh\n");
    ::chmod((FDir + "/script.sh").c_str(), 0644);
    ASSERT_NO_FATAL_FAILURE(OpenAndList({"script.sh"}));

    std::string shown, octal;
    TModalDriver dialogs({{IsDialog("Permissions"), [&](QWidget* AWidget) {
                               shown = DialogText(AWidget);
                               auto* form = qobject_cast<TChmodForm*>(AWidget);
                               octal = form->OctalEdit()->text().toStdString();
                               form->OctalEdit()->setText("750");
                               ButtonNamed(AWidget, "OK")->click();
                           }}});
    ChooseFromMenu("script.sh", "Permissions (chmod)");
    ASSERT_TRUE(WaitStatus("Permissions of script.sh changed")) << FPanel->LastStatus();
    EXPECT_NE(shown.find(FDir + "/script.sh"), std::string::npos) << shown;
    EXPECT_EQ(octal, "644");
    struct stat info {};
    ASSERT_EQ(::stat((FDir + "/script.sh").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0750u);
}

TEST_F(ShellActions, DoubleClickOnAFolderTypesAQuotedCdAndRefusesControlCharacters) {
    RunCommand("mkdir -p " + ShellQuote(FDir + "/my dir") + " " +
               ShellQuote(FDir + "/bad\x01name"));
    ASSERT_NO_FATAL_FAILURE(OpenAndList({"my dir"}));

    // A name with a control character (as a faked report or a crafted listing could offer):
    // nothing is typed, and the status says why.
    FActions->OpenLink({"bad\x01name", FDir + "/bad\x01name", true, 0});
    EXPECT_NE(FPanel->LastStatus().find("control characters"), std::string::npos)
        << FPanel->LastStatus();
    // The shell's answer to a line typed after it says where the shell is: anything typed for
    // the refused name would have run first.
    FPanel->Model().Input("[ \"$PWD\" = " + ShellQuote(FDir) +
                          " ] && echo same-''folder || echo moved-''folder\r");
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return LineOf("same-folder", true) >= 0 || LineOf("moved-folder", true) >= 0; },
        30000))
        << Screen();
    EXPECT_GE(LineOf("same-folder", true), 0) << Screen();
    EXPECT_EQ(FPanel->CurrentDir(), FDir);

    TKvTermLink folder = *Link("my dir");
    FActions->OpenLink(folder);
    ASSERT_TRUE(QTest::qWaitFor([&] { return FPanel->CurrentDir() == FDir + "/my dir"; }, 30000))
        << Screen();
}

TEST_F(ShellActions, HyperlinksFromLsAreTheExactFilesWhateverTheShellsFolder) {
    RunCommand("mkdir -p " + ShellQuote(FDir + "/sub dir") + " " + ShellQuote(FDir + "/deep") +
               " && echo inner > " + ShellQuote(FDir + "/deep/inner.txt"));
    ASSERT_NO_FATAL_FAILURE(OpenAndList({"sub dir", "deep"}));

    // Listed from elsewhere: the names are not in the shell's folder, only the links say where.
    FPanel->Model().Input("clear; cd /; ls --hyperlink=always " + ShellQuote(FDir) + " " +
                          ShellQuote(FDir + "/deep") + "\r");
    ASSERT_TRUE(QTest::qWaitFor([&] { return FPanel->CurrentDir() == "/"; }, 30000)) << Screen();
    auto cellOf = [&](const std::string& AText) {
        auto& s = FPanel->Model().Screen();
        TKvVtScreenLock lock(&s);
        for (int r = 0; r < s.Rows(); ++r) {
            const std::string row = s.RowText(r);
            const size_t at = row.find(AText);
            if (at != std::string::npos && row.find("ls --") == std::string::npos) {
                const QSize cell = FPanel->Terminal()->CellSize();
                return QPoint(int(at + 1) * cell.width() + cell.width() / 2,
                              r * cell.height() + cell.height() / 2);
            }
        }
        return QPoint(-1, -1);
    };
    const QPoint file = cellOf("inner.txt"), folder = cellOf("sub dir");
    ASSERT_GE(file.x(), 0) << Screen();
    ASSERT_GE(folder.x(), 0) << Screen();
    std::string uri;
    ASSERT_NE(FPanel->Terminal()->HyperlinkAtPoint(file, &uri), 0u) << Screen();
    EXPECT_NE(uri.find("/deep/inner.txt"), std::string::npos) << uri;

    // A right click gives the link menu of that very file.
    QTest::mouseClick(FPanel->Terminal(), Qt::RightButton, Qt::NoModifier, file);
    QMenu* menu = nullptr;
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return (menu = FPanel->Terminal()->findChild<QMenu*>()) && menu->isVisible(); },
        30000))
        << FPanel->LastStatus();
    QAction* copyPath = nullptr;
    for (QAction* action : menu->actions()) {
        if (action->text() == "View") {
            EXPECT_TRUE(action->isEnabled()) << "a file";
        }
        if (action->text() == "Copy path")
            copyPath = action;
    }
    ASSERT_TRUE(copyPath);
    menu->hide();
    copyPath->trigger();
    EXPECT_EQ(QApplication::clipboard()->text().toStdString(), FDir + "/deep/inner.txt");

    // Ctrl+click on the folder: the shell goes to that folder, not to one of that name here.
    QTest::mouseClick(FPanel->Terminal(), Qt::LeftButton, Qt::ControlModifier, folder);
    ASSERT_TRUE(QTest::qWaitFor([&] { return FPanel->CurrentDir() == FDir + "/sub dir"; }, 30000))
        << FPanel->LastStatus() << "\n"
        << Screen();
}

} // namespace
