// The main window connected to real servers: OpenSSH sshd (SFTP), vsftpd (explicit FTPS) and
// apache2 (WebDAV over HTTPS). A half connects from a typed address or a saved connection's name,
// the questions (server key or certificate, password) come up as the user sees them, a folder
// is copied to the server and back through the transfer engine, the other half attaches to the
// open connection, and "[ Disconnect ]" takes both back to the disk.
#include <gtest/gtest.h>

#include <QLabel>
#include <QTest>
#include <fstream>
#include <map>
#include <memory>
#include <unistd.h>

#include "Kv.Connectors.h"
#include "Kv.KnownHosts.h"
#include "KvFtpServers.h"
#include "KvMainDriver.h"
#include "KvUiServers.h"

using namespace kv;
using namespace kv::test;

namespace {

TModalStep LoginPassword(const std::string& APassword) {
    return {[](QWidget* AWidget) {
                return qobject_cast<QDialog*>(AWidget) && !qobject_cast<QMessageBox*>(AWidget) &&
                       AWidget->windowTitle().startsWith("Log in to ");
            },
            [APassword](QWidget* AWidget) {
                EditNamed(AWidget, "SecretEdit")->setText(QString::fromStdString(APassword));
                ButtonNamed(AWidget, "OK")->click();
            }};
}

QLabel* DisconnectLabel(TMainDriver& AForm, TKvHalf AHalf) {
    for (auto* label : AForm.Panel(AHalf).parentWidget()->findChildren<QLabel*>())
        if (label->text() == " [ Disconnect ] ")
            return label;
    return nullptr;
}

bool SameTree(const std::string& A, const std::string& B) {
    int code = 0;
    const std::string out = RunCommand("diff -r '" + A + "' '" + B + "' 2>&1", &code);
    EXPECT_EQ(code, 0) << out;
    return code == 0;
}

// F5 of the focused row, to the folder the dialog proposes (the other half's).
void CopyFocused(TMainDriver& AForm, TKvHalf AHalf) {
    TModalDriver dialogs({{IsDialog("Copy"), [](QWidget* AWidget) { qobject_cast<QDialog*>(AWidget)->accept(); }}});
    AForm.Key(Qt::Key_F5);
    ASSERT_TRUE(QTest::qWaitFor([&] {
        return AForm.Panel(AHalf).StatusText().rfind("Copied ", 0) == 0;
    }, 60000)) << AForm.Panel(AHalf).StatusText();
    EXPECT_FALSE(AForm.Panel(AHalf).MessageIsError()) << AForm.Panel(AHalf).StatusText();
}

// The round trip every kind of server goes through. ALogin: the questions the connection asks
// after the address; ARemote: the folder the right half should show; ADisk: the same folder on
// this machine's disk.
void ConnectAndCopyBothWays(TMainDriver& f, const std::string& AAddress, std::vector<TModalStep> ALogin,
                            const std::string& ARemote, const std::string& ADisk) {
    RunCommand("mkdir -p '" + f.Left + "/tree/inner' '" + f.Root.Path() + "/down'");
    RunCommand("head -c 2500000 /dev/urandom > '" + f.Left + "/tree/big.bin'");
    WriteFile(f.Left + "/tree/inner/note.txt", "a note\n");
    WriteFile(f.Left + "/tree/name with blanks ü.txt", "");
    f.Open();

    // F1 on the right half: the address typed into the picker, then the server's questions on
    // this thread.
    f.Form->SetActiveHalf(rhRight);
    {
        TModalDriver dialogs(ALogin);
        f.TypeInPicker(AAddress);
        ASSERT_TRUE(QTest::qWaitFor([&] {
            return dialogs.Finished() && !f.Panel(rhRight).Busy() && f.Panel(rhRight).IsRemote();
        }, 60000)) << f.Panel(rhRight).StatusText();
    }
    ASSERT_EQ(f.Panel(rhRight).Path(), ARemote);
    ASSERT_EQ(f.Form->OpenConnections().size(), 1u);
    EXPECT_EQ(f.Panel(rhRight).ConnectorId(), f.Form->OpenConnections()[0].ConnectorId);
    ASSERT_TRUE(DisconnectLabel(f, rhRight));
    EXPECT_TRUE(DisconnectLabel(f, rhRight)->isVisible());
    EXPECT_FALSE(DisconnectLabel(f, rhLeft)->isVisible());

    // Up: the folder from the disk to the server.
    f.Focus(rhLeft, "tree");
    CopyFocused(f, rhLeft);
    SameTree(f.Left + "/tree", ADisk + "/tree");
    ASSERT_TRUE(f.WaitRow(rhRight, "tree"));

    // Down: from the server into an empty disk folder.
    f.Panel(rhLeft).Navigate(f.Root.Path() + "/down");
    ASSERT_TRUE(f.WaitPath(rhLeft, f.Root.Path() + "/down"));
    f.Focus(rhRight, "tree");
    CopyFocused(f, rhRight);
    SameTree(f.Left + "/tree", f.Root.Path() + "/down/tree");

    // The left half attaches to the open connection by its title: the same file system.
    const std::string title = f.Form->OpenConnections()[0].Title;
    f.Form->SetActiveHalf(rhLeft);
    {
        f.TypeInPicker(title);
        ASSERT_TRUE(QTest::qWaitFor([&] {
            return !f.Panel(rhLeft).Busy() && f.Panel(rhLeft).IsRemote();
        }, 30000)) << f.Panel(rhLeft).StatusText();
    }
    EXPECT_EQ(f.Panel(rhLeft).FileSystem(), f.Panel(rhRight).FileSystem());
    EXPECT_EQ(f.Form->OpenConnections().size(), 1u);

    // "[ Disconnect ]": both halves go back to the disk folders they showed last.
    QTest::mouseClick(DisconnectLabel(f, rhRight), Qt::LeftButton);
    ASSERT_TRUE(f.WaitPath(rhRight, f.Right)) << f.Panel(rhRight).Path() << ": " << f.Panel(rhRight).StatusText();
    ASSERT_TRUE(f.WaitPath(rhLeft, f.Root.Path() + "/down")) << f.Panel(rhLeft).Path();
    EXPECT_TRUE(f.Panel(rhRight).IsPlainLocal());
    EXPECT_TRUE(f.Panel(rhLeft).IsPlainLocal());
    EXPECT_TRUE(f.Form->OpenConnections().empty());
    EXPECT_FALSE(DisconnectLabel(f, rhRight)->isVisible());
}

} // namespace

namespace {

// "Key server": the key user's saved connection, starting in AStartDir, written to the
// connections file.
TKvConnector SaveKeyServer(const std::string& APort, const std::string& AKeys,
                           const std::string& AStartDir) {
    TKvConnector conn = NewConnector();
    conn.Name = "Key server";
    conn.Host = "127.0.0.1";
    conn.Port = std::stoi(APort);
    conn.User = "kvkey";
    conn.Auth = amKeyFile;
    conn.KeyFile = AKeys + "/id_ed25519";
    conn.StartDir = AStartDir;
    EXPECT_TRUE(SaveConnectors(ConnectorsFilePath(), {conn}, "", {}, false));
    return conn;
}

} // namespace

TEST_F(SftpServer, TypedAddressWithHostKeyAndPassword) {
    const std::string remote = RemoteFolder("kvpw");
    TMainDriver f;
    std::string keyQuestion;
    ConnectAndCopyBothWays(f, "sftp://kvpw@127.0.0.1:" + Port() + remote,
                           {TrustKey(&keyQuestion), LoginPassword(Env.at("KV_SSH_PASSWORD_KVPW"))}, remote, remote);
    EXPECT_EQ(keyQuestion.rfind("Kolvan has not connected to \"127.0.0.1\" (port " + Port() + ") before", 0), 0u)
        << keyQuestion;
}

// A saved connection, named in the dialog, logs in with its key file and opens at its start
// folder; nothing is asked but the new server key.
TEST_F(SftpServer, SavedConnectionByName) {
    const std::string remote = RemoteFolder("kvkey");
    RunCommand("echo hi > '" + remote + "/hello.txt'");
    const TKvConnector conn = SaveKeyServer(Port(), Env.at("KV_SSH_KEYS"), remote);
    const std::string file = ConnectorsFilePath();

    TMainDriver f;
    f.Open();
    {
        TModalDriver dialogs({TrustKey()});
        f.TypeInPicker("key SERVER");
        ASSERT_TRUE(QTest::qWaitFor([&] {
            return dialogs.Finished() && !f.Panel(rhLeft).Busy() && f.Panel(rhLeft).IsRemote();
        }, 60000)) << f.Panel(rhLeft).StatusText();
    }
    EXPECT_EQ(f.Panel(rhLeft).Path(), remote);
    EXPECT_EQ(f.Panel(rhLeft).ConnectorId(), conn.Id);
    EXPECT_EQ(f.Names(rhLeft), ".. hello.txt");
    ASSERT_EQ(f.Form->OpenConnections().size(), 1u);
    EXPECT_EQ(f.Form->OpenConnections()[0].Title, "Key server");
    ::unlink(file.c_str());
}

// The server's connections die under the half: Ctrl+R and entering a folder connect again by
// themselves, with the saved login, in the same folder, asking nothing.
TEST_F(SftpServer, AHalfOnADeadConnectionConnectsAgain) {
    const std::string remote = RemoteFolder("kvkey");
    RunCommand("mkdir '" + remote + "/inner' && chown -R kvkey: '" + remote + "'");
    const TKvConnector conn = SaveKeyServer(Port(), Env.at("KV_SSH_KEYS"), remote);
    const std::string file = ConnectorsFilePath();
    TMainDriver f;
    f.Open();
    {
        TModalDriver dialogs({TrustKey()});
        f.TypeInPicker("Key server");
        ASSERT_TRUE(QTest::qWaitFor([&] {
            return dialogs.Finished() && !f.Panel(rhLeft).Busy() && f.Panel(rhLeft).IsRemote();
        }, 60000)) << f.Panel(rhLeft).StatusText();
    }
    ASSERT_EQ(f.Names(rhLeft), ".. inner");

    Sshd->KillConnections();
    RunCommand("echo new > '" + remote + "/after.txt'");
    f.Form->SetActiveHalf(rhLeft);
    f.Key(Qt::Key_R, Qt::ControlModifier);
    ASSERT_TRUE(f.WaitRow(rhLeft, "after.txt")) << f.Panel(rhLeft).StatusText();
    EXPECT_EQ(f.Panel(rhLeft).Path(), remote);
    EXPECT_FALSE(f.Panel(rhLeft).MessageIsError()) << f.Panel(rhLeft).StatusText();

    Sshd->KillConnections();
    f.Focus(rhLeft, "inner");
    f.Key(Qt::Key_Return);
    ASSERT_TRUE(f.WaitPath(rhLeft, remote + "/inner", 30000)) << f.Panel(rhLeft).StatusText();
    EXPECT_FALSE(f.Panel(rhLeft).MessageIsError()) << f.Panel(rhLeft).StatusText();
    ::unlink(file.c_str());
}

TEST(ConnectServers, VsftpdExplicitFtpsWithPassword) {
    const TFtpServers* servers = FtpServers();
    KV_NEED(servers, "vsftpd (ftp.sh)");
    // Certificates pinned by earlier runs belong to servers that are gone; a port used again
    // would show as a changed certificate.
    ::unlink(KnownHostsFile().c_str());
    const std::string remote = servers->VsRoot + "/kvui";
    RunCommand("rm -rf '" + remote + "' && mkdir -p '" + remote + "' && chown " + servers->User + " '" + remote + "'");
    TMainDriver f;
    ConnectAndCopyBothWays(f,
                           "ftps://" + servers->User + "@127.0.0.1:" + std::to_string(servers->ExplicitPort) + remote,
                           {LoginPassword(servers->Password)}, remote, remote);
}

TEST(ConnectServers, Apache2WebDavWithCertificateAndPassword) {
    TScriptServer dav("dav.sh", TestRoot() + "/ui-dav", "");
    KV_NEED(dav.Started, "apache2 (dav.sh)");
    ::unlink(KnownHostsFile().c_str());
    const auto env = ReadEnv(TestRoot() + "/ui-dav/servers.env");
    // The certificate is the test CA's, which this process does not trust: it is asked about.
    std::string certificate;
    TMainDriver f;
    ConnectAndCopyBothWays(f, "webdavs://kvdav@127.0.0.1:" + env.at("APACHE_PORT") + "/basic",
                           {TrustKey(&certificate), LoginPassword(env.at("DAV_PASSWORD"))}, "/",
                           env.at("APACHE_ROOT") + "/basic");
    EXPECT_NE(certificate.find("127.0.0.1"), std::string::npos) << certificate;
}
