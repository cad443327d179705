// The WebDAV file system against real servers: apache2 with mod_dav (Basic, Digest MD5 with a
// short nonce lifetime, no WebDAV at the root), lighttpd with mod_webdav (Digest SHA-256, two
// challenges), nginx with the DAV extension (strict folder rules), and davfake.py for the
// answers none of them gives.
#include "Kv.FS.Dav.h"

#include <chrono>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <thread>

#include "Kv.FS.Local.h"
#include "KvFtpServers.h"
#include "KvTestSupport.h"
#include "TransferTestHost.h"

namespace kv {
namespace {

using test::TScriptedUi;
using test::TTempDir;

struct TDavServers {
    std::string Dir;
    std::map<std::string, std::string> Env;
    int Port(const std::string& AName) const { return std::stoi(Env.at(AName + "_PORT")); }
    std::string Root(const std::string& AName) const { return Env.at(AName + "_ROOT"); }
};

std::string Script() {
    return std::string(KV_SERVERS_DIR) + "/dav.sh";
}

std::unique_ptr<TDavServers> GDav;
bool GDavTried = false;

class TDavEnvironment : public ::testing::Environment {
public:
    void TearDown() override {
        if (GDav)
            test::RunCommand(Script() + " stop " + GDav->Dir + " 2>&1");
        GDav.reset();
    }
};

const TDavServers* DavServers() {
    if (GDavTried)
        return GDav.get();
    GDavTried = true;
    ::testing::AddGlobalTestEnvironment(new TDavEnvironment);
    auto servers = std::make_unique<TDavServers>();
    servers->Dir = test::TestRoot() + "/dav-servers";
    int code = 0;
    const std::string output =
        test::RunCommand(Script() + " start " + servers->Dir + " 2>&1", &code);
    if (code != 0) {
        std::fprintf(stderr, "dav.sh start failed:\n%s\n", output.c_str());
        test::RunCommand(Script() + " stop " + servers->Dir + " 2>&1");
        return nullptr;
    }
    std::ifstream in(servers->Dir + "/servers.env");
    for (std::string line; std::getline(in, line);)
        if (const size_t equals = line.find('='); equals != std::string::npos)
            servers->Env[line.substr(0, equals)] = line.substr(equals + 1);
    ::setenv("SSL_CERT_FILE", servers->Env["CA_FILE"].c_str(), 1);
    GDav = std::move(servers);
    return GDav.get();
}

std::string ErrorText(const std::function<void()>& AAction) {
    try {
        AAction();
    } catch (const std::exception& error) {
        return error.what();
    }
    return "(no error)";
}

std::string ReadAll(TKvStream& AStream) {
    std::string data;
    char buffer[65536];
    for (;;) {
        const int64_t got = AStream.Read(buffer, sizeof buffer);
        if (got <= 0)
            return data;
        data.append(buffer, static_cast<size_t>(got));
    }
}

void Upload(IKvFileSystem& AFs, const std::string& APath, const std::string& AData, bool ASized) {
    TKvStreamPtr out = ASized ? dynamic_cast<IKvSizedWrite&>(AFs).OpenWriteSized(
                                    APath, static_cast<int64_t>(AData.size()))
                              : AFs.OpenWrite(APath);
    out->WriteAll(AData.data(), static_cast<int64_t>(AData.size()));
    dynamic_cast<TKvFinishableStream&>(*out).Finish();
}

std::vector<std::string> Names(const TKvFileEntries& AEntries) {
    std::vector<std::string> names;
    for (const auto& entry : AEntries)
        names.push_back(entry.Name + (entry.IsDir ? "/" : ""));
    std::sort(names.begin(), names.end());
    return names;
}

class DavServer : public ::testing::Test {
protected:
    void SetUp() override {
        FServers = DavServers();
        if (!FServers) {
            if (test::MustHaveServers())
                FAIL() << "the WebDAV servers did not start (CI=true)";
            GTEST_SKIP() << "the WebDAV servers did not start";
        }
        FOptions.KnownHostsFile = FKnown / "known_hosts.txt";
        FOptions.HeadMs = 20000;
        FOptions.BodyMs = 20000;
    }

    TKvConnector Connector(const std::string& AServer, const std::string& AFolder,
                           const std::string& APassword = "") const {
        TKvConnector conn =
            test::FtpConnector(ckWebDavs, FServers->Port(AServer), FServers->Env.at("DAV_USER"),
                               APassword.empty() ? FServers->Env.at("DAV_PASSWORD") : APassword);
        conn.Host = "https://127.0.0.1:" + std::to_string(FServers->Port(AServer)) + AFolder;
        return conn;
    }

    TKvDavOpened Open(const std::string& AServer, const std::string& AFolder,
                      std::shared_ptr<TScriptedUi> AUi = nullptr) {
        TKvCancelToken token;
        return OpenDav(Connector(AServer, AFolder), AUi, token, FOptions);
    }

    // A fresh folder for this test on the server; its path on disk too.
    std::string Folder(TKvDavOpened& AOpened, const std::string& AServer,
                       const std::string& AFolder, std::string* ALocal = nullptr) {
        const std::string name =
            std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + " ü" +
            std::to_string(FCounter++);
        AOpened.Fs->MakeDir("/" + name);
        if (ALocal)
            *ALocal = FServers->Root(AServer) + AFolder + "/" + name;
        return "/" + name;
    }

    const TDavServers* FServers = nullptr;
    TTempDir FKnown;
    TKvDavOptions FOptions;
    int FCounter = 0;
};

TEST_F(DavServer, EveryLoginSchemeListsReadsAndWrites) {
    struct TCase {
        const char* Server;
        const char* Folder;
        TKvDavAuth Auth;
    };
    const TCase cases[] = {
        {"APACHE", "/basic", daBasic},  {"APACHE", "/digest", daDigest},
        {"LIGHTTPD", "/sha", daDigest}, {"LIGHTTPD", "/both", daDigest},
        {"LIGHTTPD", "/md5", daDigest}, {"NGINX", "", daBasic},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.Server) + c.Folder);
        TKvDavOpened opened = Open(c.Server, c.Folder);
        EXPECT_EQ(opened.StartDir, "/");
        EXPECT_EQ(opened.Fs->Auth(), c.Auth);
        std::string local;
        const std::string dir = Folder(opened, c.Server, c.Folder, &local);
        IKvFileSystem& fs = *opened.Fs;
        fs.MakeDir(dir + "/sub dir/ünïcode");
        Upload(fs, dir + "/a b.txt", "sized", true);
        Upload(fs, dir + "/chunked #1.bin", std::string(300000, 'c'), false);
        Upload(fs, dir + "/.dot", "", true);
        TKvCancelToken token;
        // nginx's DAV extension leaves names with a leading dot out of its listings.
        std::vector<std::string> names = {".dot", "a b.txt", "chunked #1.bin", "sub dir/"};
        if (std::string(c.Server) == "NGINX")
            names.erase(names.begin());
        EXPECT_EQ(Names(fs.List(dir, token)), names);
        EXPECT_EQ(test::ReadFile(local + "/chunked #1.bin"), std::string(300000, 'c'));
        TKvFileEntry entry;
        ASSERT_TRUE(fs.Stat(dir + "/a b.txt", entry));
        EXPECT_EQ(entry.Size, 5);
        EXPECT_FALSE(entry.IsDir);
        EXPECT_GT(entry.Modified, 0);
        ASSERT_TRUE(fs.Stat(dir + "/sub dir", entry));
        EXPECT_TRUE(entry.IsDir);
        EXPECT_FALSE(fs.Stat(dir + "/missing", entry));
        EXPECT_EQ(ReadAll(*fs.OpenRead(dir + "/a b.txt")), "sized");
        EXPECT_EQ(ErrorText([&] { fs.DeleteDirAt(dir + "/sub dir"); }),
                  dir + "/sub dir: the folder is not empty");
        fs.DeleteDirAt(dir + "/sub dir/ünïcode");
        fs.DeleteFileAt(dir + "/.dot");
        EXPECT_FALSE(fs.Stat(dir + "/.dot", entry));
        EXPECT_LE(opened.Fs->IdleCount(), KDavMaxIdle);
    }
}

TEST_F(DavServer, PasswordQuestionsAndWrongFolders) {
    auto ui = std::make_shared<TScriptedUi>();
    ui->Secrets = {"wrong", FServers->Env.at("DAV_PASSWORD")};
    TKvCancelToken token;
    TKvDavOpened opened = OpenDav(Connector("APACHE", "/digest", "bad"), ui, token, FOptions);
    EXPECT_EQ(opened.TypedPassword, FServers->Env.at("DAV_PASSWORD"));
    ASSERT_EQ(ui->Asked.size(), 2u);
    EXPECT_NE(ui->Asked[1].find("The password was not accepted. Password for kvdav on 127.0.0.1:"),
              std::string::npos);
    // No more answers: the question is cancelled.
    EXPECT_THROW(OpenDav(Connector("APACHE", "/basic", "bad"), ui, token, FOptions), EKvCancelled);

    // No WebDAV at the root: explained, unless the start folder holds it.
    const std::string refused = ErrorText([&] { Open("APACHE", ""); });
    EXPECT_NE(
        refused.find("The server answered HTTP 405 to a WebDAV request at https://127.0.0.1:"),
        std::string::npos)
        << refused;
    EXPECT_NE(refused.find("put it in the Host field"), std::string::npos);
    TKvConnector conn = Connector("APACHE", "");
    conn.StartDir = "/basic";
    opened = OpenDav(conn, nullptr, token, FOptions);
    EXPECT_EQ(opened.StartDir, "/basic");
}

// The wait also outlasts apache's keep-alive time: the pooled connection is closed by then.
TEST_F(DavServer, StaleDigestNonceIsRenewedWithoutAsking) {
    auto ui = std::make_shared<TScriptedUi>();
    TKvDavOpened opened = Open("APACHE", "/digest", ui);
    const std::string dir = Folder(opened, "APACHE", "/digest");
    std::this_thread::sleep_for(std::chrono::milliseconds(3500));
    TKvCancelToken token;
    EXPECT_TRUE(opened.Fs->List(dir, token).empty());
    Upload(*opened.Fs, dir + "/after", "x", true);
    EXPECT_TRUE(ui->Asked.empty());
}

TEST_F(DavServer, StatRaisesForEverythingButNotFound) {
    TKvDavOpened apache = Open("APACHE", "/basic");
    TKvFileEntry entry;
    EXPECT_EQ(ErrorText([&] { apache.Fs->Stat("/locked", entry); }), "/locked: access denied");
    TKvConnector fake = Connector("FAKE", "");
    auto fs = std::make_shared<TKvDavFs>(fake, nullptr, "", FOptions);
    EXPECT_EQ(ErrorText([&] { fs->Stat("/error", entry); }),
              "/error: the server answered with HTTP status 500");
}

TEST_F(DavServer, RefusalsNameThePath) {
    TKvDavOpened opened = Open("APACHE", "/basic");
    const std::string dir = Folder(opened, "APACHE", "/basic");
    IKvFileSystem& fs = *opened.Fs;
    EXPECT_EQ(ErrorText([&] { Upload(fs, dir + "/no/such/file", "x", true); }),
              dir + "/no/such/file: the folder it belongs in does not exist");
    Upload(fs, dir + "/one", "1", true);
    Upload(fs, dir + "/two", "2", true);
    EXPECT_EQ(ErrorText([&] { fs.RenamePath(dir + "/one", dir + "/two", false); }),
              dir + "/two: it already exists");
    fs.RenamePath(dir + "/one", dir + "/two", true);
    EXPECT_EQ(ReadAll(*fs.OpenRead(dir + "/two")), "1");
    EXPECT_EQ(ErrorText([&] { fs.OpenRead(dir + "/one"); }), dir + "/one: not found");
    EXPECT_EQ(ErrorText([&] { fs.DeleteFileAt(dir + "/one"); }), dir + "/one: not found");
}

TEST_F(DavServer, FoldersMoveAndCopyOnStrictServers) {
    for (const char* server : {"NGINX", "APACHE"}) {
        SCOPED_TRACE(server);
        const std::string folder = std::string(server) == "NGINX" ? "" : "/basic";
        TKvDavOpened opened = Open(server, folder);
        std::string local;
        const std::string dir = Folder(opened, server, folder, &local);
        TKvDavFs& fs = *opened.Fs;
        fs.MakeDir(dir + "/src/inner");
        Upload(fs, dir + "/src/inner/f", "data", true);
        fs.CopyPath(dir + "/src", dir + "/copy", false);
        fs.RenamePath(dir + "/src", dir + "/moved", false);
        EXPECT_EQ(test::ReadFile(local + "/copy/inner/f"), "data");
        EXPECT_EQ(test::ReadFile(local + "/moved/inner/f"), "data");
        TKvFileEntry entry;
        EXPECT_FALSE(fs.Stat(dir + "/src", entry));
        EXPECT_EQ(ErrorText([&] { fs.CopyPath(dir + "/moved", dir + "/copy", false); }),
                  dir + "/copy: it already exists");
    }
}

TEST_F(DavServer, FramingFaultsOfTheFakeServer) {
    auto fs = std::make_shared<TKvDavFs>(Connector("FAKE", ""), nullptr, "", FOptions);
    TKvCancelToken token;
    // PROPFIND answered after an interim 100 Continue.
    EXPECT_EQ(fs->Probe(&token), 207);
    EXPECT_EQ(ReadAll(*fs->OpenRead("/chunked")), [] {
        std::string body;
        for (int i = 0; i < 1000; ++i)
            body += "0123456789";
        return body;
    }());
    EXPECT_EQ(ReadAll(*fs->OpenRead("/whole")).size(), 10000u);
    const std::string cut = ErrorText([&] { ReadAll(*fs->OpenRead("/cut")); });
    EXPECT_EQ(cut, "/cut: The connection was cut before the end of the data");
    EXPECT_EQ(ErrorText([&] { fs->List("/elsewhere", token); }),
              "/elsewhere: the server answered with HTTP status 301");
    // Redirects on the same server are followed, at most three in a row, never in a circle.
    EXPECT_TRUE(fs->List("/moved", token).empty());
    EXPECT_TRUE(fs->List("/b", token).empty());
    EXPECT_EQ(ErrorText([&] { fs->List("/a", token); }),
              "/a: the server answered with HTTP status 301");
    EXPECT_EQ(ErrorText([&] { fs->List("/loop", token); }),
              "/loop: the server answered with HTTP status 301");
    const std::string big = ErrorText([&] {
        TKvStreamPtr out = fs->OpenWriteSized("/big", int64_t(1) << 30);
        const std::string block(1 << 20, 'b');
        for (int i = 0; i < 1024; ++i)
            out->WriteAll(block.data(), static_cast<int64_t>(block.size()));
        dynamic_cast<TKvFinishableStream&>(*out).Finish();
    });
    EXPECT_EQ(big, "/big: the server does not take files this large");
}

// Only names in the listed folder become entries: the folder itself is found by its path (a
// server that leaves it out loses no child), hrefs elsewhere, deeper or decoding to names that
// cannot be files are left out and counted, and a folder delete never takes what was left out.
TEST_F(DavServer, ListingsKeepToTheFolderAsked) {
    auto fs = std::make_shared<TKvDavFs>(Connector("FAKE", ""), nullptr, "", FOptions);
    TKvCancelToken token;
    std::vector<std::string> names;
    for (const auto& entry : fs->List("/hostile", token))
        names.push_back(entry.Name);
    EXPECT_EQ(names, (std::vector<std::string>{"first.txt", "back\\slash.txt"}));
    EXPECT_EQ(fs->LeftOutIn("/hostile"), 6);
    const auto lonely = fs->List("/lonely", token);
    ASSERT_EQ(lonely.size(), 1u);
    EXPECT_EQ(lonely[0].Name, "only.txt");
    EXPECT_EQ(ErrorText([&] { fs->DeleteDirAt("/lonely"); }), "/lonely: the folder is not empty");
    EXPECT_TRUE(fs->List("/veiled", token).empty());
    EXPECT_EQ(ErrorText([&] { fs->DeleteDirAt("/veiled"); }), "/veiled: the folder is not empty");
}

// Apache holds a file "a\\b.txt" beside a folder "a" with "b.txt", and a Latin-1 "caf\xE9"
// beside a UTF-8 "caf\xC3\xA9": each name reaches its own file and no other.
TEST_F(DavServer, NamesAreTheServersOwnBytes) {
    TKvDavOpened opened = Open("APACHE", "/basic");
    auto& fs = *opened.Fs;
    std::string local;
    const std::string dir = Folder(opened, "APACHE", "/basic", &local);
    fs.MakeDir(dir + "/a");
    Upload(fs, dir + "/a/b.txt", "the other file", true);
    Upload(fs, dir + "/a\\b.txt", "backslash", true);
    test::WriteFile(local + "/caf\xE9", "latin-1");
    test::WriteFile(local + "/caf\xC3\xA9", "utf-8");
    EXPECT_EQ(Names(fs.List(dir, TKvCancelToken())),
              (std::vector<std::string>{"a/", "a\\b.txt", "caf\xC3\xA9", "caf\xE9"}));
    EXPECT_EQ(ReadAll(*fs.OpenRead(dir + "/a\\b.txt")), "backslash");
    EXPECT_EQ(ReadAll(*fs.OpenRead(dir + "/caf\xE9")), "latin-1");
    fs.DeleteFileAt(dir + "/a\\b.txt");
    fs.DeleteFileAt(dir + "/caf\xE9");
    EXPECT_EQ(ReadAll(*fs.OpenRead(dir + "/a/b.txt")), "the other file");
    EXPECT_EQ(test::ReadFile(local + "/caf\xC3\xA9"), "utf-8");
    EXPECT_FALSE(test::Exists(local + "/caf\xE9"));
    EXPECT_FALSE(test::Exists(local + "/a\\b.txt"));
}

TEST_F(DavServer, UploadCutHalfWayKeepsTheServersFile) {
    for (const char* server : {"APACHE", "LIGHTTPD", "NGINX"}) {
        SCOPED_TRACE(server);
        const std::string folder = std::string(server) == "APACHE"     ? "/basic"
                                   : std::string(server) == "LIGHTTPD" ? "/sha"
                                                                       : "";
        TKvDavOpened opened = Open(server, folder);
        std::string local;
        const std::string dir = Folder(opened, server, folder, &local);
        Upload(*opened.Fs, dir + "/kept", "the original", true);
        for (bool sized : {true, false}) {
            TKvStreamPtr out = sized ? opened.Fs->OpenWriteSized(dir + "/kept", 2 << 20)
                                     : opened.Fs->OpenWrite(dir + "/kept");
            const std::string half(1 << 20, 'h');
            out->WriteAll(half.data(), static_cast<int64_t>(half.size()));
            out.reset(); // the copy failed: no Finish
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            EXPECT_EQ(test::ReadFile(local + "/kept"), "the original") << "sized " << sized;
        }
    }
}

// A tree with names outside ASCII and spaces, empty folders and files, and a large file that
// is mostly a hole with random blocks in it (fast to make, and any shift shows).
void MakeTree(const std::string& ARoot, int64_t ABigSize) {
    test::RunCommand("mkdir -p '" + ARoot + "/empty' '" + ARoot + "/Grüße mit Leer/пусто' '" +
                     ARoot + "/Grüße mit Leer/deep/er'");
    test::WriteFile(ARoot + "/Grüße mit Leer/naïve 文件 #1%.txt", "unicode content\n");
    test::WriteFile(ARoot + "/Grüße mit Leer/deep/er/leaf.bin", std::string(100000, '\x7f'));
    test::WriteFile(ARoot + "/zero.txt", "");
    test::WriteFile(ARoot + "/.hidden", "h");
    if (ABigSize > 0) {
        const std::string big = ARoot + "/big file.bin";
        test::RunCommand("truncate -s " + std::to_string(ABigSize) + " '" + big + "'");
        for (int64_t offset : {int64_t(0), ABigSize / 3, ABigSize / 2 + 12345, ABigSize - 65536})
            test::RunCommand("head -c 65536 /dev/urandom | dd of='" + big +
                             "' seek=" + std::to_string(offset) +
                             " conv=notrunc status=none oflag=seek_bytes iflag=fullblock bs=65536");
    }
}

// apache2's workers die in the middle of a 60 MB download: Retry connects again and asks for
// the rest of the file (Range), so the copy goes on where the data stopped and arrives whole.
TEST_F(DavServer, ADownloadWhoseConnectionDiedGoesOnWhereItStopped) {
    TKvDavOpened opened = Open("APACHE", "/basic");
    std::string serverLocal;
    const std::string dir = Folder(opened, "APACHE", "/basic", &serverLocal);
    test::RunCommand("head -c 60000000 /dev/urandom > '" + serverLocal + "/big.bin'");
    TTempDir here;
    auto host = std::make_shared<test::TCutHost>(15000000, [&] {
        test::RunCommand("d() { for c in $(cat /proc/$1/task/*/children 2>/dev/null); do echo $c; d $c; "
                         "done; }; kill -9 $(d $(cat '" + FServers->Dir + "/apache.pid')) 2>/dev/null");
    });
    host->Reply(paRetry);
    auto disk = std::make_shared<TKvLocalFileSystem>();
    auto outcome = test::RunRequest(
        test::Request(tkCopy, opened.Fs, dir, {"big.bin"}, disk, here.Path()), host);
    EXPECT_EQ(outcome.Result.Succeeded, 1) << outcome.Result.FirstProblem;
    ASSERT_EQ(host->Questions.size(), 1u);
    ASSERT_EQ(host->AttemptStarts.size(), 2u);
    EXPECT_GE(host->AttemptStarts[1], 5000000);
    EXPECT_EQ(test::RunCommand("cmp '" + serverLocal + "/big.bin' '" + here.Path() +
                               "/big.bin' && echo same"),
              "same\n");
    EXPECT_EQ(test::RunCommand("ls -A '" + here.Path() + "'"), "big.bin\n");
}

TEST_F(DavServer, TreeCopiesBothWaysThroughTheTransferEngine) {
    const std::tuple<const char*, const char*, int64_t> cases[] = {
        {"APACHE", "/basic", 300'000'000},
        {"NGINX", "", 0},
        {"LIGHTTPD", "/sha", 0},
    };
    for (const auto& [server, folder, bigSize] : cases) {
        SCOPED_TRACE(server);
        TKvDavOpened opened = Open(server, folder);
        const std::string dir = Folder(opened, server, folder);
        TTempDir local;
        MakeTree(local / "tree", bigSize);
        auto disk = std::make_shared<TKvLocalFileSystem>();
        auto up =
            test::RunRequest(test::Request(tkCopy, disk, local.Path(), {"tree"}, opened.Fs, dir));
        EXPECT_EQ(up.Result.Failed, 0) << up.Result.FirstProblem;
        EXPECT_EQ(up.Result.Skipped, 0);
        EXPECT_TRUE(up.Host->Questions.empty());
        test::RunCommand("mkdir -p '" + local.Path() + "/back'");
        auto down =
            test::RunRequest(test::Request(tkCopy, opened.Fs, dir, {"tree"}, disk, local / "back"));
        EXPECT_EQ(down.Result.Failed, 0) << down.Result.FirstProblem;
        int code = -1;
        // nginx lists no names with a leading dot, so those do not come back from it.
        const std::string skip = std::string(server) == "NGINX" ? "-x '.*' " : "";
        const std::string differences = test::RunCommand(
            "diff -r " + skip + "'" + local.Path() + "/tree' '" + local.Path() + "/back/tree' 2>&1",
            &code);
        EXPECT_EQ(code, 0) << differences;
        // Copying again asks before replacing: the server's files are seen.
        auto again =
            test::RunRequest(test::Request(tkCopy, disk, local.Path(), {"tree"}, opened.Fs, dir));
        EXPECT_FALSE(again.Host->Questions.empty());
    }
}

} // namespace
} // namespace kv
