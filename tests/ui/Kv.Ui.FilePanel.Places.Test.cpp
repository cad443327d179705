// Archives opened in a panel from the main window (made by zip, GNU tar and 7-Zip), the password
// loop, names that must never become paths, typed connections, and Esc while connecting.
#include <gtest/gtest.h>

#include <QTest>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "Kv.FS.Local.h"
#include "Kv.Ui.PanelPlaces.h"
#include "KvMainDriver.h"
#include "KvMemoryFs.h"

using namespace kv;
using namespace kv::test;

namespace {

// A folder "src" under ARoot with a binary file at the top and a text file one folder down.
std::string MakeSource(const TTempDir& ARoot) {
    const std::string src = ARoot / "src";
    RunCommand("mkdir -p '" + src + "/docs' && head -c 300000 /dev/urandom > '" + src + "/bin.dat'");
    WriteFile(src + "/docs/readme.txt", "read me\n");
    return src;
}

bool SameBytes(const std::string& A, const std::string& B) {
    int code = 0;
    RunCommand("cmp -s '" + A + "' '" + B + "'", &code);
    return code == 0;
}

// 7-Zip is "7zz" in Debian's 7zip package, "7z" elsewhere.
std::string SevenZip() {
    std::string path = RunCommand("command -v 7zz || command -v 7z");
    while (!path.empty() && path.back() == '\n')
        path.pop_back();
    return path;
}

} // namespace

TEST(PanelPlaces, ZipAndTarGzOpenBrowseAndCopyOutByteForByte) {
    TMainDriver f;
    const std::string src = MakeSource(f.Root);
    RunCommand("cd '" + src + "' && zip -qr '" + f.Left + "/pack.zip' . && tar czf '" + f.Left +
               "/pack.tar.gz' -C '" + src + "' .");
    f.Open();

    // Enter on the zip opens it read-only; F5 copies a file out through the transfer engine.
    f.Focus(rhLeft, "pack.zip");
    f.Key(Qt::Key_Return);
    ASSERT_TRUE(QTest::qWaitFor([&] { return f.Panel(rhLeft).ArchiveFile() == f.Left + "/pack.zip"; }, 10000));
    ASSERT_TRUE(f.WaitIdle(rhLeft));
    EXPECT_EQ(f.Names(rhLeft), ".. docs bin.dat");
    EXPECT_EQ(f.Panel(rhLeft).DisplayPath(), f.Left + "/pack.zip");
    EXPECT_EQ(f.Panel(rhLeft).StatusRight(), "Archive, read-only");
    EXPECT_FALSE(f.Panel(rhLeft).IsPlainLocal());
    f.Focus(rhLeft, "bin.dat");
    {
        std::string proposed;
        TModalDriver dialogs({{IsDialog("Copy"), [&](QWidget* AWidget) {
                                   auto* dialog = qobject_cast<QInputDialog*>(AWidget);
                                   proposed = dialog->textValue().toStdString();
                                   dialog->accept();
                               }}});
        f.Key(Qt::Key_F5);
        ASSERT_TRUE(f.WaitStatus(rhLeft, "Copied 1"));
        EXPECT_EQ(proposed, f.Right);
    }
    EXPECT_TRUE(SameBytes(src + "/bin.dat", f.Right + "/bin.dat"));

    // A folder that cannot be shown leaves the panel where it was: still inside the archive.
    f.Panel(rhLeft).Navigate(f.Root / "missing");
    ASSERT_TRUE(QTest::qWaitFor([&] { return f.Panel(rhLeft).MessageIsError(); }, 10000));
    EXPECT_EQ(f.Panel(rhLeft).ArchiveFile(), f.Left + "/pack.zip");
    EXPECT_FALSE(f.Panel(rhLeft).IsPlainLocal());

    // ".." at the archive's root goes back to its folder, the archive under the cursor.
    f.Key(Qt::Key_Home);
    f.Key(Qt::Key_Return);
    ASSERT_TRUE(f.WaitPath(rhLeft, f.Left));
    EXPECT_EQ(f.Panel(rhLeft).ArchiveFile(), "");
    EXPECT_TRUE(f.Panel(rhLeft).IsPlainLocal());
    EXPECT_EQ(f.Panel(rhLeft).Model().FocusedName(), "pack.zip");

    // The tar.gz: one folder down, a copy out, and up twice.
    f.Focus(rhLeft, "pack.tar.gz");
    f.Key(Qt::Key_Return);
    ASSERT_TRUE(QTest::qWaitFor([&] { return f.Panel(rhLeft).ArchiveFile() == f.Left + "/pack.tar.gz"; }, 10000));
    f.Focus(rhLeft, "docs");
    f.Key(Qt::Key_Return);
    ASSERT_TRUE(f.WaitRow(rhLeft, "readme.txt"));
    EXPECT_EQ(f.Panel(rhLeft).DisplayPath(), f.Left + "/pack.tar.gz/docs");
    f.Focus(rhLeft, "readme.txt");
    {
        TModalDriver dialogs({{IsDialog("Copy"), [](QWidget* AWidget) { qobject_cast<QDialog*>(AWidget)->accept(); }}});
        f.Key(Qt::Key_F5);
        ASSERT_TRUE(f.WaitStatus(rhLeft, "Copied 1"));
    }
    EXPECT_TRUE(SameBytes(src + "/docs/readme.txt", f.Right + "/readme.txt"));

    // Nothing can be made, renamed or deleted inside.
    f.Key(Qt::Key_F8);
    EXPECT_EQ(f.Panel(rhLeft).StatusText(), "Archives are read-only, so nothing can be deleted from them");
    f.Key(Qt::Key_Backspace);
    ASSERT_TRUE(QTest::qWaitFor([&] { return f.Panel(rhLeft).Model().FocusedName() == "docs"; }, 10000));
    f.Key(Qt::Key_Backspace);
    ASSERT_TRUE(f.WaitPath(rhLeft, f.Left));
    EXPECT_EQ(f.Panel(rhLeft).Model().FocusedName(), "pack.tar.gz");

    // A damaged archive says so, and the folder stays.
    WriteFile(f.Left + "/broken.zip", "not a zip at all");
    f.Focus(rhLeft, "broken.zip");
    f.Key(Qt::Key_Return);
    ASSERT_TRUE(f.WaitIdle(rhLeft));
    EXPECT_TRUE(f.Panel(rhLeft).MessageIsError());
    EXPECT_EQ(f.Panel(rhLeft).StatusText().rfind(f.Left + "/broken.zip: ", 0), 0u) << f.Panel(rhLeft).StatusText();
    EXPECT_EQ(f.Panel(rhLeft).Path(), f.Left);
    EXPECT_TRUE(f.Panel(rhLeft).IsPlainLocal());
}

TEST(PanelPlaces, AesZipAsksAgainAfterAWrongPasswordAndEscLeavesIt) {
    const std::string sevenZip = SevenZip();
    if (sevenZip.empty())
        GTEST_SKIP() << "7-Zip is not installed (package 7zip)";
    TMainDriver f;
    WriteFile(f.Root / "secret.txt", "the secret text\n");
    int code = 0;
    const std::string out = RunCommand("cd '" + f.Root.Path() + "' && " + sevenZip +
                                           " a -tzip -mem=AES256 -p'Right.pw' '" + f.Left +
                                           "/secret.zip' secret.txt 2>&1",
                                       &code);
    ASSERT_EQ(code, 0) << out;
    f.Open();

    f.Focus(rhLeft, "secret.zip");
    std::string first, second;
    {
        TModalDriver dialogs({AnswerSecret("Password", "wrong", &first), AnswerSecret("Password", "Right.pw", &second)});
        f.Key(Qt::Key_Return);
        ASSERT_TRUE(QTest::qWaitFor([&] { return dialogs.Finished() && !f.Panel(rhLeft).Busy(); }, 20000));
    }
    EXPECT_EQ(first, "The files in \"secret.zip\" are password-protected. Type the password:");
    EXPECT_EQ(second, "That password is not right for \"secret.zip\". Try again:");
    ASSERT_EQ(f.Panel(rhLeft).ArchiveFile(), f.Left + "/secret.zip");
    f.Focus(rhLeft, "secret.txt");
    {
        TModalDriver dialogs({{IsDialog("Copy"), [](QWidget* AWidget) { qobject_cast<QDialog*>(AWidget)->accept(); }}});
        f.Key(Qt::Key_F5);
        ASSERT_TRUE(f.WaitStatus(rhLeft, "Copied 1"));
    }
    EXPECT_EQ(ReadFile(f.Right + "/secret.txt"), "the secret text\n");

    // Leaving and coming back asks again; Cancel leaves it closed with the reason.
    f.Key(Qt::Key_Backspace);
    ASSERT_TRUE(f.WaitPath(rhLeft, f.Left));
    {
        TModalDriver dialogs({AnswerSecret("Password", "", nullptr, true)});
        f.Key(Qt::Key_Return);
        ASSERT_TRUE(QTest::qWaitFor([&] { return dialogs.Finished() && !f.Panel(rhLeft).Busy(); }, 20000));
    }
    EXPECT_EQ(f.Panel(rhLeft).StatusText(), "secret.zip: the password was not given, so it is not opened");
    EXPECT_TRUE(f.Panel(rhLeft).MessageIsError());
    EXPECT_TRUE(f.Panel(rhLeft).IsPlainLocal());
    EXPECT_EQ(f.Panel(rhLeft).Path(), f.Left);
}

// A server that lists names no path may be built from: the panel leaves them out, so no
// command can reach "../escape" or "a/b" through it.
TEST(PanelPlaces, NamesThatCannotBePathsNeverReachThePanel) {
    class THostileFs : public TKvMemoryFs {
    public:
        using TKvMemoryFs::TKvMemoryFs;
        TKvFileEntries List(const std::string& APath, const IKvCancelToken& AToken) override {
            TKvFileEntries entries = TKvMemoryFs::List(APath, AToken);
            for (const std::string& name : std::vector<std::string>{"../escape", "a/b", "", ".", "..", std::string("nul\0x", 5), "/"}) {
                TKvFileEntry entry;
                entry.Name = name;
                entries.push_back(entry);
            }
            return entries;
        }
    };
    auto fs = std::make_shared<THostileFs>("mem:hostile");
    fs->SetDisplayPrefix("hostile:");
    fs->AddFile("/srv/good.txt", "x");
    TKvFilePanel panel;
    panel.resize(500, 300);
    panel.show();
    panel.BeginList(fs, "/srv", false, "");
    ASSERT_TRUE(QTest::qWaitFor([&] { return !panel.Busy() && panel.Path() == "/srv"; }, 10000));
    ASSERT_EQ(panel.Model().RowCount(), 2);
    EXPECT_TRUE(panel.Model().IsUpRow(0));
    EXPECT_EQ(panel.Model().Row(1).Name, "good.txt");
    EXPECT_EQ(panel.Model().Summary(), "1 files, 0 dirs, 1 B");
}

TEST(PanelPlaces, TypedConnections) {
    struct TCase {
        const char* Text;
        bool Ok;
        TKvConnectorKind Kind;
        const char* Host;
        int Port;
        const char* User;
        const char* StartDir;
    };
    const TCase cases[] = {
        {"sftp://kvpw@127.0.0.1:2222/home/kvpw", true, ckSftp, "127.0.0.1", 2222, "kvpw", "/home/kvpw"},
        {"  SFTP://host  ", true, ckSftp, "host", 22, "", ""},
        {"ftp://u@files.example", true, ckFtp, "files.example", 21, "u", ""},
        {"ftps://u@h:2121/pub", true, ckFtps, "h", 2121, "u", "/pub"},
        {"ftps-implicit://u@h", true, ckFtpsImplicit, "h", 990, "u", ""},
        {"sftp://me@[::1]:22/tmp", true, ckSftp, "::1", 22, "me", "/tmp"},
        // A user name may hold "@"; the last one ends it.
        {"sftp://a@b.c@host", true, ckSftp, "host", 22, "a@b.c", ""},
        // WebDAV keeps its folder in the host field, as its file system reads it.
        {"webdavs://kvdav@127.0.0.1:8443/basic", true, ckWebDavs, "https://127.0.0.1:8443/basic", 8443, "kvdav", ""},
        {"https://h/dav", true, ckWebDavs, "https://h:443/dav", 443, "", ""},
        {"host.example", false, ckSftp, "", 0, "", ""},
        {"telnet://h", false, ckSftp, "", 0, "", ""},
        {"gopher://h", false, ckSftp, "", 0, "", ""},
        {"sftp://u@:22", false, ckSftp, "", 0, "", ""},
        {"sftp://h:0", false, ckSftp, "", 0, "", ""},
        {"sftp://h:65536", false, ckSftp, "", 0, "", ""},
        {"sftp://h:22x", false, ckSftp, "", 0, "", ""},
        {"sftp://[::1", false, ckSftp, "", 0, "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Text);
        TKvConnector conn;
        std::string problem;
        ASSERT_EQ(ParseConnectionText(c.Text, conn, problem), c.Ok) << problem;
        if (!c.Ok) {
            EXPECT_FALSE(problem.empty());
            continue;
        }
        EXPECT_EQ(conn.Kind, c.Kind);
        EXPECT_EQ(conn.Host, c.Host);
        EXPECT_EQ(conn.Port, c.Port);
        EXPECT_EQ(conn.User, c.User);
        EXPECT_EQ(conn.StartDir, c.StartDir);
        EXPECT_FALSE(conn.Id.empty());
    }
    // Its title, as panels and dialogs show it, tells two users of one host apart.
    TKvConnector conn;
    std::string problem;
    ASSERT_TRUE(ParseConnectionText("ftps://anna@files.example:2121/pub", conn, problem));
    EXPECT_EQ(ConnectorTitle(conn), "anna@files.example");
    ASSERT_TRUE(ParseConnectionText("sftp://files.example", conn, problem));
    EXPECT_EQ(ConnectorTitle(conn), "files.example");
}

// A server that takes the connection and never answers: Esc gives "Cancelled", the folder
// shown stays, and the late end of the attempt changes nothing.
TEST(PanelPlaces, EscWhileConnectingKeepsTheFolder) {
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener, 4), 0);
    socklen_t length = sizeof address;
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);

    TTempDir dir;
    TKvFilePanel panel;
    panel.resize(500, 300);
    panel.show();
    panel.Navigate(dir.Path());
    ASSERT_TRUE(QTest::qWaitFor([&] { return !panel.Busy() && panel.Path() == dir.Path(); }, 10000));
    int connected = 0;
    panel.OnConnected = [&](const std::string&, IKvFileSystemPtr, const std::string&) { ++connected; };

    TKvConnector conn = NewConnector();
    conn.Name = "Silent";
    conn.Host = "127.0.0.1";
    conn.Port = ntohs(address.sin_port);
    conn.User = "nobody";
    panel.ConnectTo(conn, "");
    EXPECT_EQ(panel.StatusText(), "Connecting to Silent... (Esc to cancel)");
    EXPECT_EQ(panel.ConnectingId(), conn.Id);
    QTest::qWait(200);
    QTest::keyClick(panel.focusProxy(), Qt::Key_Escape);
    EXPECT_FALSE(panel.Busy());
    EXPECT_EQ(panel.StatusText(), "Cancelled");
    EXPECT_FALSE(panel.MessageIsError());
    // The server goes away: the abandoned attempt ends, and nothing of it lands.
    ::close(listener);
    QTest::qWait(300);
    EXPECT_EQ(panel.Path(), dir.Path());
    EXPECT_TRUE(panel.IsPlainLocal());
    EXPECT_EQ(panel.ConnectorId(), "");
    EXPECT_EQ(connected, 0);
    EXPECT_EQ(panel.StatusText(), "Cancelled");
}
