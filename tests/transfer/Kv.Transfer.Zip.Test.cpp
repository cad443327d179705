#include <gtest/gtest.h>

#include <sys/stat.h>

#include "../fs/KvArchiveTestUtil.h"
#include "Kv.Archives.h"
#include "Kv.FS.Local.h"
#include "Kv.FS.Zip.h"
#include "Kv.Log.h"
#include "Kv.Transfer.Engine.h"
#include "KvMemoryFs.h"
#include "KvTestSupport.h"
#include "TransferTestHost.h"

using namespace kv;
using namespace kv::test;

namespace {

TKvTransferRequest ZipRequest(IKvFileSystemPtr ASource, const std::string& ASourceDir,
                              const std::vector<std::string>& ANames, const std::string& AZip,
                              IKvFileSystemPtr ADest = LocalFs()) {
    return Request(tkZip, ASource, ASourceDir, ANames, ADest, AZip);
}

TRunOutcome RunZip(const TKvTransferRequest& ARequest, std::shared_ptr<TScriptedHost> AHost = nullptr,
                   IKvCancelTokenPtr AToken = nullptr) {
    return RunRequest(ARequest, AHost, AToken);
}

bool Has(const std::string& AText, const std::string& APart) {
    return AText.find(APart) != std::string::npos;
}

// A source folder with a file, a tree and an empty folder.
struct TSource {
    TTempDir Dir;
    TSource() {
        WriteFile(Dir / "a.txt", "alpha\n");
        ::mkdir((Dir / "dir").c_str(), 0755);
        ::mkdir((Dir / "dir/empty").c_str(), 0755);
        std::string big;
        for (int i = 0; i < 3 * 1048576; ++i)
            big += static_cast<char>("kolvan zip "[i % 11] ^ (i >> 12));
        WriteFile(Dir / "dir/big.bin", big);
        WriteFile(Dir / "dir/\xC3\xA9t\xC3\xA9.txt", "summer");
    }
};

} // namespace

TEST(TransferZip, MakesZipsThatOutsideToolsAccept) {
    TSource source;
    struct TCase {
        const char* Name;
        std::string Password;
        bool Weak;
    } cases[] = {{"plain", "", false},
                 {"zipcrypto", "open sesame", true},
                 {"aes-256", "open sesame", false}};
    for (const auto& c : cases) {
        TTempDir dest;
        std::string zip = dest / "made/out.zip"; // the folder is made too
        auto request = ZipRequest(LocalFs(), source.Dir.Path(), {"a.txt", "dir"}, zip);
        request.Password = c.Password;
        request.ZipWeak = c.Weak;
        auto outcome = RunZip(request);
        EXPECT_EQ(outcome.Result.Succeeded, 5) << c.Name; // 3 files and 2 folders
        EXPECT_EQ(outcome.Result.Failed + outcome.Result.Skipped, 0) << outcome.Result.FirstProblem;
        EXPECT_FALSE(Exists(zip + ".kvpart"));
        EXPECT_EQ(outcome.Host->ItemsDone, 5);
        EXPECT_EQ(outcome.Host->BytesDone, outcome.Host->BytesTotal);
        EXPECT_TRUE(Has(outcome.Log,
                        "zip: " + source.Dir / "dir/big.bin" + " -> dir/big.bin 3145728 bytes"));
        EXPECT_TRUE(Has(outcome.Log, "zip: made " + zip +
                                         (c.Password.empty() ? "\n" : " (password protected)\n")))
            << outcome.Log;

        std::string pw = c.Password.empty() ? "" : " -p'" + c.Password + "'";
        std::string output;
        EXPECT_EQ(Sh(SevenZip() + " t" + pw + " '" + zip + "'", &output), 0) << c.Name << output;
        if (c.Password.empty() || c.Weak) {
            EXPECT_EQ(Sh("unzip -t" +
                             std::string(c.Password.empty() ? "" : " -P '" + c.Password + "'") +
                             " '" + zip + "'",
                         &output),
                      0)
                << c.Name << output;
        }
        ASSERT_EQ(Sh("export LC_ALL=C.UTF-8; mkdir '" + dest / "x" + "' && bsdtar -xf '" + zip +
                         "'" + (c.Password.empty() ? "" : " --passphrase '" + c.Password + "'") +
                         " -C '" + dest / "x" + "'",
                     &output),
                  0)
            << output;
        EXPECT_EQ(Sh("diff -r '" + source.Dir.Path() + "' '" + dest / "x" + "'", &output), 0)
            << c.Name << output;
    }
}

TEST(TransferZip, RefusesServersAndAddsNothingToItself) {
    TSource source;
    auto server = std::make_shared<TKvMemoryFs>("sftp:me@host:22");
    auto onServer = RunZip(ZipRequest(LocalFs(), source.Dir.Path(), {"a.txt"}, "/out.zip", server));
    EXPECT_EQ(onServer.Result.Failed, 1);
    EXPECT_EQ(onServer.Result.FirstProblem, "A zip file can only be made on a disk");

    // Zipping a folder into itself, with an older zip of the same name selected too. A file of
    // the user's that happens to have the temporary name is theirs: it goes in and stays.
    WriteFile(source.Dir / "out.zip", "old zip");
    WriteFile(source.Dir / "out.zip.kvpart", "the user's own");
    auto host = std::make_shared<TScriptedHost>();
    host->Reply(paOverwrite);
    auto self = RunZip(ZipRequest(LocalFs(), source.Dir.Path(),
                                  {"a.txt", "out.zip", "out.zip.kvpart"}, source.Dir / "out.zip"),
                       host);
    EXPECT_EQ(self.Result.Succeeded, 2);
    EXPECT_EQ(self.Result.Skipped, 1);
    EXPECT_EQ(self.Result.FirstProblem, "Not added to itself: " + source.Dir / "out.zip");
    TKvZipFileSystem made(source.Dir / "out.zip", *NewCancelToken());
    EXPECT_EQ(TreeOf(made, "\\"), (std::vector<std::string>{"a.txt", "out.zip.kvpart"}));
    EXPECT_EQ(ReadFile(source.Dir / "out.zip.kvpart"), "the user's own");

    // The same path on another file system is another file: it goes in.
    auto memory = std::make_shared<TKvMemoryFs>("mem:other");
    memory->AddDir(source.Dir.Path());
    memory->AddFile(source.Dir / "out.zip", "a file that only shares the name");
    auto other =
        RunZip(ZipRequest(memory, source.Dir.Path(), {"out.zip"}, source.Dir / "out.zip"), [] {
            auto h = std::make_shared<TScriptedHost>();
            h->Reply(paOverwrite);
            return h;
        }());
    EXPECT_EQ(other.Result.Succeeded, 1);
    EXPECT_EQ(other.Result.Skipped, 0) << other.Result.FirstProblem;
    TKvZipFileSystem remade(source.Dir / "out.zip", *NewCancelToken());
    EXPECT_EQ(ReadEntry(remade, "\\out.zip"), "a file that only shares the name");
}

TEST(TransferZip, AnExistingZipIsAlwaysAskedAbout) {
    TSource source;
    TTempDir dest;
    WriteFile(dest / "out.zip", "mine");
    WriteFile(dest / "out (2).zip", "also mine");
    auto request = ZipRequest(LocalFs(), source.Dir.Path(), {"a.txt"}, dest / "out.zip");
    request.Overwrite = true; // answers file conflicts of copies, never this one

    auto host = std::make_shared<TScriptedHost>();
    host->Reply(paRename);
    auto renamed = RunZip(request, host);
    ASSERT_EQ(host->Questions.size(), 1u);
    EXPECT_EQ(host->Questions[0].Kind, pkConflict);
    EXPECT_EQ(host->Questions[0].Text, dest / "out.zip" + " already exists.");
    EXPECT_EQ(ReadFile(dest / "out.zip"), "mine");
    EXPECT_EQ(Sh("unzip -t '" + dest / "out (3).zip" + "' >/dev/null"), 0);
    EXPECT_EQ(renamed.Result.Succeeded, 1);

    auto skipHost = std::make_shared<TScriptedHost>();
    skipHost->Reply(paSkip);
    auto skipped = RunZip(request, skipHost);
    EXPECT_EQ(skipped.Result.Skipped, 1);
    EXPECT_EQ(skipped.Result.Succeeded, 0);
    EXPECT_EQ(ReadFile(dest / "out.zip"), "mine");

    auto cancelled = RunZip(request); // no reply: the host answers cancel
    EXPECT_TRUE(cancelled.Result.Cancelled);
    EXPECT_EQ(ReadFile(dest / "out.zip"), "mine");

    ::mkdir((dest / "folder.zip").c_str(), 0755);
    auto folder = RunZip(ZipRequest(LocalFs(), source.Dir.Path(), {"a.txt"}, dest / "folder.zip"));
    EXPECT_EQ(folder.Result.FirstProblem, "A folder already has this name: " + dest / "folder.zip");
}

TEST(TransferZip, FailuresAndCancellingLeaveNoPartFile) {
    TSource source;
    TTempDir dest;
    std::string zip = dest / "out.zip";

    // A read error inside a file's data ends the run: the zip would be incomplete.
    auto failing = std::make_shared<TKvFaultFs>(LocalFs());
    failing->AddFault({.Op = foRead, .Nth = 3});
    auto broken = RunZip(ZipRequest(failing, source.Dir.Path(), {"a.txt", "dir"}, zip));
    EXPECT_EQ(broken.Result.Failed, 1);
    EXPECT_FALSE(broken.Result.FirstProblem.empty());
    EXPECT_FALSE(Exists(zip));
    EXPECT_FALSE(Exists(zip + ".kvpart"));

    // A file that cannot be opened is asked about; skipping it still makes the zip.
    auto unopenable = std::make_shared<TKvFaultFs>(LocalFs());
    unopenable->AddFault({.Op = foOpenRead, .Nth = 1});
    auto host = std::make_shared<TScriptedHost>();
    host->Reply(paSkip);
    auto skipped = RunZip(ZipRequest(unopenable, source.Dir.Path(), {"a.txt", "dir"}, zip), host);
    EXPECT_EQ(skipped.Result.Skipped, 1);
    EXPECT_EQ(skipped.Result.Succeeded, 4);
    EXPECT_EQ(skipped.Result.FirstProblem.rfind("Could not read " + source.Dir / "a.txt" + ": ", 0),
              0u);
    TKvZipFileSystem made(zip, *NewCancelToken());
    EXPECT_EQ(TreeOf(made, "\\").size(), 4u);
    ::unlink(zip.c_str());

    // Cancelled in the middle of the big file.
    class TCancellingHost : public TScriptedHost {
    public:
        IKvCancelTokenPtr Token = NewCancelToken();
        void SetProgress(int64_t AFileDone, int64_t ABytesDone, int AItemsDone) override {
            TScriptedHost::SetProgress(AFileDone, ABytesDone, AItemsDone);
            if (AFileDone > 0)
                Token->Cancel();
        }
    };
    auto cancelling = std::make_shared<TCancellingHost>();
    auto cancelled = RunZip(ZipRequest(LocalFs(), source.Dir.Path(), {"dir"}, zip), cancelling,
                            cancelling->Token);
    EXPECT_TRUE(cancelled.Result.Cancelled);
    EXPECT_FALSE(Exists(zip));
    EXPECT_FALSE(Exists(zip + ".kvpart"));
}

TEST(TransferZip, AFileThatGrewAfterTheScanIsZippedWhole) {
    TTempDir dir;
    WriteFile(dir / "log.txt", "");
    auto request = ZipRequest(LocalFs(), dir.Path(), {"log.txt"}, dir / "logs.zip");
    ASSERT_EQ(request.Items[0].Size, 0);
    WriteFile(dir / "log.txt", "written after the scan");
    auto outcome = RunZip(request);
    EXPECT_EQ(outcome.Result.Succeeded, 1);
    TKvZipFileSystem made(dir / "logs.zip", *NewCancelToken());
    EXPECT_EQ(ReadEntry(made, "\\log.txt"), "written after the scan");
    EXPECT_EQ(Sh("unzip -t '" + dir / "logs.zip" + "' >/dev/null"), 0);
}

TEST(ArchiveCopyOut, HostileNamesNeverLandOutsideTheChosenFolder) {
    TTempDir sandbox;
    const std::string zip = sandbox / "hostile.zip", tar = sandbox / "hostile.tar";
    const std::string script = R"PY(
import io, sys, tarfile, zipfile
names = ["../x", "a/../../b", "/abs/olute", "back\\..\\..\\slash", "dir/../../up", "ok.txt"]
with zipfile.ZipFile(sys.argv[1], "w") as z:
    for name in names:
        z.writestr(zipfile.ZipInfo(name), "zip " + name)
with tarfile.open(sys.argv[2], "w", format=tarfile.GNU_FORMAT) as t:
    def add(info, data=b""):
        info.size = len(data)
        t.addfile(info, io.BytesIO(data))
    for name in names:
        add(tarfile.TarInfo(name), ("tar " + name).encode())
    for name, kind, target in [("soft", tarfile.SYMTYPE, "../../outside"),
                               ("hard", tarfile.LNKTYPE, "../outside"),
                               ("linkdir", tarfile.SYMTYPE, "/")]:
        info = tarfile.TarInfo(name)
        info.type, info.linkname = kind, target
        add(info)
    add(tarfile.TarInfo("linkdir/escape"), b"through a link")
)PY";
    WriteFile(sandbox / "make.py", script);
    int code = -1;
    std::string output = RunCommand("/usr/bin/python3 '" + sandbox / "make.py" + "' '" + zip + "' '" + tar + "' 2>&1", &code);
    ASSERT_EQ(code, 0) << output;

    // Left out: the three names with ".." between slashes, and in the tar the hard link to
    // nothing in it and the entry under a link. "\" is a character of a name on Linux, so
    // "back\..\..\slash" is one file in the chosen folder.
    for (auto [archive, leftOut] : {std::pair{zip, 3}, std::pair{tar, 5}}) {
        SCOPED_TRACE(archive);
        TTempDir out(sandbox.Path());
        auto fs = OpenArchive(archive, *NewCancelToken());
        ASSERT_TRUE(fs);
        TKvTransferRequest request;
        request.Kind = tkCopy;
        request.SourceFs = fs;
        request.SourceDir = "/";
        request.Items = fs->List("/", *NewCancelToken());
        ASSERT_FALSE(request.Items.empty());
        request.DestFs = LocalFs();
        request.DestPath = out.Path();
        // Twice, the second time over what the first made: the links then exist, and nothing
        // may be written through them either.
        for (bool again : {false, true}) {
            SCOPED_TRACE(again ? "again, overwriting" : "first");
            request.Overwrite = again;
            auto outcome = RunRequest(request);
            EXPECT_GT(outcome.Result.Succeeded, 0);
            EXPECT_EQ(outcome.Result.Failed, 0) << outcome.Result.FirstProblem;
            // A copy of everything says that it was not everything.
            EXPECT_GE(outcome.Result.Skipped, leftOut);
            // The second time an existing link to a folder is a conflict, reported first.
            if (!again) {
                EXPECT_TRUE(Has(outcome.Result.FirstProblem,
                                std::to_string(leftOut) + " entries were left out"))
                    << outcome.Result.FirstProblem;
            }
            EXPECT_EQ(ReadFile(out / "ok.txt").substr(4), "ok.txt");
            EXPECT_EQ(ReadFile(out / "abs/olute"),
                      std::string(archive == zip ? "zip" : "tar") + " /abs/olute");
            EXPECT_EQ(ReadFile(out / "back\\..\\..\\slash"),
                      std::string(archive == zip ? "zip" : "tar") + " back\\..\\..\\slash");
            // Everything in the sandbox is the two archives, the script, or inside the chosen
            // folder.
            std::string strays =
                RunCommand("cd '" + sandbox.Path() + "' && find . -mindepth 1 -not -path './" +
                           out.Path().substr(sandbox.Path().size() + 1) +
                           "*' -not -name 'hostile.*' -not -name make.py");
            EXPECT_EQ(strays, "");
            // Links are made with their stored text only, and are never written through.
            if (archive == tar) {
                EXPECT_EQ(RunCommand("cd '" + out.Path() + "' && find . -type l | sort"),
                          "./linkdir\n./soft\n");
                EXPECT_EQ(RunCommand("readlink '" + out / "soft" + "'"), "../../outside\n");
                EXPECT_EQ(RunCommand("readlink '" + out / "linkdir" + "'"), "/\n");
            } else {
                EXPECT_EQ(RunCommand("find '" + out.Path() + "' -type l"), "");
            }
            EXPECT_FALSE(Exists("/abs/olute"));
            EXPECT_FALSE(Exists("/escape"));
            EXPECT_FALSE(Exists(sandbox.Path() + "/../outside"));
        }
    }
}

// Links of an archive arrive as links with their target, beside the files that share a folder
// with them; a place without links gets no junk files holding the target's text.
TEST(ArchiveCopyOut, LinksArriveAsLinks) {
    TTempDir dir;
    ASSERT_EQ(Sh("mkdir -p '" + dir / "src/sub" + "' && cd '" + dir / "src" +
                 "' && echo data > file.txt && echo s > sub/s.txt && ln -s file.txt flink && "
                 "ln -s sub dlink && ln -s missing dangling && zip -q -r -y ../l.zip . && "
                 "tar cf ../l.tar ."),
              0);
    for (const std::string& archive : {dir / "l.zip", dir / "l.tar"}) {
        SCOPED_TRACE(archive);
        TTempDir out(dir.Path());
        auto fs = OpenArchive(archive, *NewCancelToken());
        TKvTransferRequest request;
        request.Kind = tkCopy;
        request.SourceFs = fs;
        request.SourceDir = "\\";
        request.Items = fs->List("\\", *NewCancelToken());
        request.DestFs = LocalFs();
        request.DestPath = out.Path();
        auto outcome = RunRequest(request);
        EXPECT_EQ(outcome.Result.Failed + outcome.Result.Skipped, 0) << outcome.Result.FirstProblem;
        EXPECT_EQ(RunCommand("cd '" + out.Path() + "' && for l in flink dlink dangling; do "
                             "readlink $l; done"),
                  "file.txt\nsub\nmissing\n");
        EXPECT_EQ(ReadFile(out / "flink"), "data\n"); // the link leads to the copied file
        EXPECT_EQ(ReadFile(out / "dlink/s.txt"), "s\n");
        EXPECT_EQ(RunCommand("find '" + out.Path() + "' -name '*.kvpart'"), "");
    }
}

// A sparse file out of a tar (GNU tar's own sparse form) lands as a sparse file: the same bytes,
// the data's blocks alone.
TEST(ArchiveCopyOut, SparseFilesLandWithTheirHoles) {
    TTempDir dir;
    ASSERT_EQ(Sh("cd '" + dir.Path() + "' && truncate -s 48M disk.img && "
                 "printf data | dd of=disk.img bs=1M seek=5 conv=notrunc status=none && "
                 "printf tail | dd of=disk.img bs=1M seek=20 conv=notrunc status=none && "
                 "truncate -s 32M end-hole.img && printf head | dd of=end-hole.img conv=notrunc "
                 "status=none && tar --sparse -cf s.tar disk.img end-hole.img"),
              0);
    TTempDir out(dir.Path());
    auto fs = OpenArchive(dir / "s.tar", *NewCancelToken());
    TKvTransferRequest request;
    request.Kind = tkCopy;
    request.SourceFs = fs;
    request.SourceDir = "/";
    request.Items = fs->List("/", *NewCancelToken());
    request.DestFs = LocalFs();
    request.DestPath = out.Path();
    auto outcome = RunRequest(request);
    EXPECT_EQ(outcome.Result.Succeeded, 2) << outcome.Result.FirstProblem;
    for (const char* name : {"disk.img", "end-hole.img"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(RunCommand("cmp '" + dir / name + "' '" + out / name + "' && echo same"), "same\n");
        struct stat st {};
        ASSERT_EQ(::stat((out / name).c_str(), &st), 0);
        if (st.st_blocks * 512 >= 8 << 20) {
            // Some file systems keep no holes at all: then the source has none either.
            struct stat source {};
            ::stat((dir / name).c_str(), &source);
            EXPECT_GE(source.st_blocks * 512, 8 << 20) << "the copy lost the holes";
        }
    }
}

// Files deflated ahead on other threads land in plan order, byte for byte as one thread writes
// them, and non-ASCII names come back out of 7-Zip unchanged.
TEST(TransferZip, ZippingAheadKeepsTheOrderAndTheBytes) {
    TTempDir dir;
    const std::string tree = dir / "tree";
    std::string text;
    for (int i = 0; i < 18 << 20; i += 32)
        text += "line " + std::to_string(i) + " of a large text file\n";
    ::mkdir(tree.c_str(), 0755);
    WriteFile(tree + "/large.txt", text); // beyond what is deflated ahead
    for (int d = 0; d < 6; ++d) {
        const std::string folder = tree + "/d" + std::to_string(d) + "-\xC3\xBC\xE6\x97\xA5";
        ::mkdir(folder.c_str(), 0755);
        for (int f = 0; f < 40; ++f)
            WriteFile(folder + "/f" + std::to_string(f) + "-\xC3\xA9.txt",
                      text.substr(static_cast<size_t>(f * 997), static_cast<size_t>(f * 301)));
    }
    // The same disk behind a wrapper is no longer known to be safe to share: one thread.
    auto wrapped = std::make_shared<TKvFaultFs>(LocalFs());
    auto parallel = RunZip(ZipRequest(LocalFs(), dir.Path(), {"tree"}, dir / "parallel.zip"));
    auto single = RunZip(ZipRequest(wrapped, dir.Path(), {"tree"}, dir / "single.zip"));
    EXPECT_EQ(parallel.Result.Succeeded, 1 + 1 + 6 + 240);
    EXPECT_EQ(single.Result.Succeeded, parallel.Result.Succeeded);
    EXPECT_EQ(parallel.Host->BytesDone, parallel.Host->BytesTotal);
    EXPECT_TRUE(ReadFile(dir / "parallel.zip") == ReadFile(dir / "single.zip"));

    std::string output;
    ASSERT_EQ(Sh("mkdir '" + dir / "x" + "' && cd '" + dir / "x" + "' && " + SevenZip() +
                     " x '" + dir / "parallel.zip" + "' >/dev/null && diff -r '" + tree +
                     "' '" + dir / "x/tree" + "'",
                 &output),
              0)
        << output;
}

namespace {

// A hostile server: it lists "a" twice, as a link that leads out and as a folder with a file.
class TTwoFacedFs final : public TKvMemoryFs, public IKvSymlinks {
public:
    explicit TTwoFacedFs(std::string AOutside) : TKvMemoryFs("mem:two-faced"), FOutside(AOutside) {
        AddDir("/a");
        AddFile("/a/x", "through the link");
    }
    TKvFileEntries List(const std::string& APath, const IKvCancelToken& AToken) override {
        auto entries = TKvMemoryFs::List(APath, AToken);
        if (IsRoot(APath)) {
            TKvFileEntry link;
            link.Name = "a";
            link.IsLink = true;
            entries.insert(entries.begin(), link);
        }
        return entries;
    }
    bool ReadLink(const std::string& APath, std::string& ATarget) override {
        ATarget = FOutside;
        return APath == "/a";
    }
    void MakeLink(const std::string&, const std::string&) override {
        throw EKvFsError("read-only");
    }

private:
    std::string FOutside;
};

} // namespace

TEST(ArchiveCopyOut, NothingIsWrittenThroughALinkTheCopyMade) {
    TTempDir sandbox;
    ::mkdir((sandbox / "outside").c_str(), 0755);
    ::mkdir((sandbox / "out").c_str(), 0755);
    auto source = std::make_shared<TTwoFacedFs>(sandbox / "outside");
    TKvTransferRequest request;
    request.Kind = tkCopy;
    request.SourceFs = source;
    request.SourceDir = "/";
    request.Items = source->List("/", *NewCancelToken());
    request.DestFs = LocalFs();
    request.DestPath = sandbox / "out";
    auto outcome = RunRequest(request);
    EXPECT_EQ(RunCommand("readlink '" + sandbox / "out/a" + "'"), sandbox / "outside" + "\n");
    EXPECT_EQ(RunCommand("ls -A '" + sandbox / "outside" + "'"), "");
    EXPECT_EQ(outcome.Result.Skipped, 1);
    EXPECT_EQ(outcome.Result.FirstProblem, "Not written through a link: " + sandbox / "out/a/x");
}
