#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "Kv.Archives.h"
#include "Kv.FS.Tar.h"
#include "KvArchiveTestUtil.h"
#include "KvTestSupport.h"

// Hand-made headers name only the fields a case changes.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

using namespace kv;
using namespace kv::test;

namespace {

struct THeader {
    std::string Name;
    char Type = '0';
    int64_t Size = 0;
    std::string Prefix;
    bool Ustar = true;
    int64_t Mtime = 1600000000;
    bool SignedChecksum = false;
    bool Base256Size = false;
    std::string Link;
};

std::string Octal(int64_t AValue, int ADigits) {
    char text[32];
    std::snprintf(text, sizeof(text), "%0*llo", ADigits, static_cast<long long>(AValue));
    return text;
}

std::string Header(const THeader& AH) {
    std::string h(512, '\0');
    h.replace(0, std::min<size_t>(AH.Name.size(), 100), AH.Name.substr(0, 100));
    h.replace(100, 7, "0000644");
    h.replace(108, 7, "0000000");
    h.replace(116, 7, "0000000");
    if (AH.Base256Size) {
        h[124] = static_cast<char>(0x80);
        for (int i = 0; i < 8; ++i)
            h[135 - i] = static_cast<char>((AH.Size >> (8 * i)) & 0xFF);
    } else {
        h.replace(124, 11, Octal(AH.Size, 11));
    }
    h.replace(136, 11, Octal(AH.Mtime, 11));
    h[156] = AH.Type;
    h.replace(157, std::min<size_t>(AH.Link.size(), 100), AH.Link.substr(0, 100));
    if (AH.Ustar) {
        std::memcpy(&h[257],
                    "ustar\0"
                    "00",
                    8);
        h.replace(345, std::min<size_t>(AH.Prefix.size(), 155), AH.Prefix.substr(0, 155));
    }
    h.replace(148, 8, "        ");
    int64_t sum = 0;
    for (char c : h)
        sum += AH.SignedChecksum ? static_cast<int64_t>(static_cast<signed char>(c))
                                 : static_cast<uint8_t>(c);
    h.replace(148, 7, Octal(sum, 6) + std::string(1, '\0'));
    return h;
}

std::string Padded(const std::string& AData) {
    return AData + std::string((512 - AData.size() % 512) % 512, '\0');
}

std::string Entry(const THeader& AH, const std::string& AData) {
    return Header(AH) + Padded(AData);
}

std::string Pax(const std::string& AKey, const std::string& AValue) {
    std::string body = " " + AKey + "=" + AValue + "\n";
    size_t length = body.size() + 1;
    while (std::to_string(length).size() + body.size() != length)
        ++length;
    return std::to_string(length) + body;
}

const std::string KEnd(1024, '\0');

std::shared_ptr<TKvTarFileSystem> OpenTar(const std::string& APath, bool AGzip = false) {
    return std::make_shared<TKvTarFileSystem>(APath, AGzip, *NewCancelToken());
}

std::vector<std::string> TempFiles() {
    return Split(RunCommand("ls '" + ArchiveTempFolder() + "' | grep '^kvarc-' || true"), '\n');
}

} // namespace

TEST(TarReader, ReadsWhatOutsideToolsWrite) {
    TTempDir dir;
    std::string root = dir / "src";
    std::string longDir = std::string(60, 'd') + "/" + std::string(70, 'e');
    Sh("mkdir -p '" + root + "/" + longDir + "' '" + root + "/empty'");
    std::vector<std::pair<std::string, std::string>> files = {
        {"a.txt", "plain\n"},
        {"empty.txt", ""},
        {longDir + "/" + std::string(120, 'f') + ".txt", "long name"},
        {"caf\xC3\xA9.bin", std::string(70000, '\x9c')}};
    for (const auto& [name, data] : files)
        WriteFile(root + "/" + name, data);
    Sh("ln -s a.txt '" + root + "/link' && mkfifo '" + root + "/fifo'");
    std::vector<std::string> tree = {"a.txt",
                                     "caf\xC3\xA9.bin",
                                     std::string(60, 'd') + "/",
                                     std::string(60, 'd') + "/" + std::string(70, 'e') + "/",
                                     std::string(60, 'd') + "/" + std::string(70, 'e') + "/" +
                                         std::string(120, 'f') + ".txt",
                                     "empty.txt",
                                     "empty/",
                                     "link"};
    std::sort(tree.begin(), tree.end());

    const std::string py = "/usr/bin/python3 -c \"import "
                           "tarfile\nt=tarfile.open('OUT','FMODE',format=tarfile.FORMAT)\n"
                           "t.add('.',arcname='.')\nt.close()\"";
    auto python = [&](const std::string& AMode, const std::string& AFormat) {
        std::string command = py;
        command.replace(command.find("FMODE"), 5, AMode);
        command.replace(command.find("FORMAT"), 6, AFormat);
        return command;
    };
    struct TCase {
        std::string Name;
        std::string Command;
        std::string File;
    } cases[] = {
        {"gnu tar, gnu format", "tar --format=gnu -cf OUT .", "t.tar"},
        {"gnu tar, pax format", "tar --format=pax -cf OUT .", "t.tar"},
        {"gnu tar, gzip", "tar --format=gnu -czf OUT .", "t.tar.gz"},
        {"gnu tar, pax, gzip -9", "tar --format=pax -cf - . | gzip -9 > OUT", "t.tgz"},
        {"bsdtar", "bsdtar -cf OUT .", "t.tar"},
        {"python gnu", python("w", "GNU_FORMAT"), "t.tar"},
        {"python pax, gzip", python("w:gz", "PAX_FORMAT"), "t.tar.gz"},
    };
    int index = 0;
    for (const auto& c : cases) {
        std::string file = dir / (std::to_string(index++) + c.File);
        std::string command = c.Command;
        command.replace(command.find("OUT"), 3, file);
        std::string output;
        ASSERT_EQ(Sh("export LC_ALL=C.UTF-8; cd '" + root + "' && " + command, &output), 0)
            << c.Name << output;
        auto fs = OpenArchive(file, *NewCancelToken());
        EXPECT_EQ(TreeOf(*fs, "\\"), tree) << c.Name;
        for (const auto& [name, data] : files)
            EXPECT_EQ(ReadEntry(*fs, "\\" + name), data) << c.Name << ": " << name;
        TKvFileEntry link;
        ASSERT_TRUE(fs->Stat("\\link", link)) << c.Name;
        EXPECT_TRUE(link.IsLink && !link.IsDir) << c.Name;
        EXPECT_EQ(link.LinkTarget, "a.txt") << c.Name;
    }
}

// Each sparse form GNU tar and bsdtar write: the real name and size, holes read as zeros,
// compared byte for byte with what the writing tool extracts; the entry after it still lists.
TEST(TarReader, SparseFilesInEveryForm) {
    TTempDir dir;
    std::string src = dir / "src";
    Sh("mkdir -p '" + src + "'");
    // Holes before, between and after the pieces; 30 pieces need two GNU extension blocks.
    std::string script = "import os\n"
                         "f = open('" + src + "/disk.img', 'wb')\n"
                         "for i in range(30):\n"
                         "    f.seek(65536 + i * 40000)\n"
                         "    f.write(bytes([i + 1]) * (100 + i * 37))\n"
                         "f.truncate(3 * 1024 * 1024)\n"
                         "f.close()\n"
                         "h = open('" + src + "/holes.img', 'wb')\n"
                         "h.truncate(200000)\n"
                         "h.close()\n";
    Python(script);
    WriteFile(src + "/after.txt", "after the sparse files\n");
    struct TCase {
        const char* Name;
        const char* Make;
        const char* Extract;
    } cases[] = {
        {"gnu", "tar --format=gnu --sparse -cf OUT disk.img holes.img after.txt", "tar -xOf"},
        {"oldgnu", "tar --format=oldgnu --sparse -cf OUT disk.img holes.img after.txt",
         "tar -xOf"},
        {"pax 0.0",
         "tar --format=posix --sparse --sparse-version=0.0 -cf OUT disk.img holes.img after.txt",
         "tar -xOf"},
        {"pax 0.1",
         "tar --format=posix --sparse --sparse-version=0.1 -cf OUT disk.img holes.img after.txt",
         "tar -xOf"},
        {"pax 1.0",
         "tar --format=posix --sparse --sparse-version=1.0 -cf OUT disk.img holes.img after.txt",
         "tar -xOf"},
        {"pax 1.0, gzip",
         "tar --format=posix --sparse --sparse-version=1.0 -czf OUT disk.img holes.img after.txt",
         "tar -xOzf"},
        {"bsdtar", "bsdtar --read-sparse --format=pax -cf OUT disk.img holes.img after.txt",
         "bsdtar -xOf"},
    };
    int index = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        std::string file = dir / ("s" + std::to_string(index++) +
                                  (std::string(c.Extract).find('z') != std::string::npos ? ".tgz" : ".tar"));
        std::string make = c.Make;
        make.replace(make.find("OUT"), 3, file);
        std::string output;
        ASSERT_EQ(Sh("cd '" + src + "' && " + make, &output), 0) << output;
        auto fs = OpenArchive(file, *NewCancelToken());
        EXPECT_EQ(TreeOf(*fs, "/"),
                  (std::vector<std::string>{"after.txt", "disk.img", "holes.img"}));
        for (const char* name : {"disk.img", "holes.img", "after.txt"}) {
            TKvFileEntry entry;
            ASSERT_TRUE(fs->Stat(std::string("/") + name, entry)) << name;
            std::string expected =
                RunCommand(std::string(c.Extract) + " '" + file + "' " + name);
            EXPECT_EQ(entry.Size, static_cast<int64_t>(expected.size())) << name;
            EXPECT_TRUE(ReadEntry(*fs, std::string("/") + name) == expected) << name;
        }
        // Reading from the middle of a hole and of a piece, as a viewer pages.
        auto stream = fs->OpenRead("/disk.img");
        const std::string whole = RunCommand(std::string(c.Extract) + " '" + file + "' disk.img");
        for (int64_t at : {int64_t(0), int64_t(65536 + 50), int64_t(65536 + 39990),
                           int64_t(3 * 1024 * 1024 - 10)}) {
            stream->Seek(at, soBegin);
            char buffer[64] = {};
            const int64_t n = stream->ReadFully(buffer, sizeof(buffer));
            EXPECT_EQ(std::string(buffer, static_cast<size_t>(n)),
                      whole.substr(static_cast<size_t>(at), sizeof(buffer)))
                << at;
        }
    }
}

TEST(TarReader, GzipMembersTruncationAndOtherContent) {
    TTempDir dir;
    std::string tar = Entry({.Name = "one.txt", .Size = 3}, "111") +
                      Entry({.Name = "two.txt", .Size = 3}, "222") + KEnd;
    WriteFile(dir / "plain.tar", tar);
    // Two gzip members, the split falling inside the second header.
    ASSERT_EQ(Sh("cd '" + dir.Path() +
                 "' && head -c 1100 plain.tar | gzip > multi.tgz && tail -c +1101 plain.tar | "
                 "gzip >> multi.tgz"),
              0);
    auto multi = OpenTar(dir / "multi.tgz", true);
    EXPECT_EQ(TreeOf(*multi, "\\"), (std::vector<std::string>{"one.txt", "two.txt"}));
    EXPECT_EQ(ReadEntry(*multi, "\\two.txt"), "222");

    // Padding after the last member is not data; gzip ignores it as well.
    ASSERT_EQ(Sh("cd '" + dir.Path() +
                 "' && gzip -c plain.tar > padded.tgz && head -c 3000 /dev/zero >> padded.tgz"),
              0);
    EXPECT_EQ(TreeOf(*OpenTar(dir / "padded.tgz", true), "\\").size(), 2u);

    std::string gz = RunCommand("gzip -c '" + dir / "plain.tar" + "'");
    struct TCase {
        std::string Name;
        std::string Bytes;
        std::string Message;
    } cases[] = {
        {"cut inside the deflate data", gz.substr(0, gz.size() / 2), "The gzip file is truncated"},
        {"cut before the trailer", gz.substr(0, gz.size() - 4), "The gzip file is truncated"},
        {"not gzip", tar, "This is not a gzip file"},
        {"gzip of no tar",
         RunCommand("yes 'just some text, not a tar header' | head -c 2000 | gzip"),
         "This is not a tar archive"},
        {"damaged member", gz.substr(0, 10) + std::string(40, '\xff') + gz.substr(50), "invalid"},
    };
    const auto before = TempFiles();
    for (const auto& c : cases) {
        WriteFile(dir / "case.tgz", c.Bytes);
        std::string message = MessageOf([&] { OpenTar(dir / "case.tgz", true); });
        EXPECT_EQ(message.rfind(c.Message, 0), 0u) << c.Name << ": " << message;
    }
    // A failed opening leaves no temporary copy behind.
    EXPECT_EQ(TempFiles(), before);
}

TEST(TarReader, HeaderRulesAndHostileHeaders) {
    TTempDir dir;
    // A size field with NULs in front of its digits, as some writers pad it.
    std::string NulLedSize = Header({.Name = "nul-size", .Size = 3});
    NulLedSize.replace(124, 12, std::string(4, '\0') + "0000003" + std::string(1, '\0'));
    NulLedSize.replace(148, 8, "        ");
    {
        int64_t sum = 0;
        for (char c : NulLedSize)
            sum += static_cast<uint8_t>(c);
        NulLedSize.replace(148, 7, Octal(sum, 6) + std::string(1, '\0'));
    }
    NulLedSize += Padded("NUL");
    std::string tar =
        Entry({.Name = "./LongLink", .Type = 'L', .Size = 9}, std::string("long/name") + '\0') +
        Entry({.Name = "short", .Size = 1}, "L") + // takes the long name
        Entry({.Name = "after", .Size = 1}, "A") + // and the long name does not carry over
        Entry({.Name = "pax",
               .Type = 'x',
               .Size =
                   static_cast<int64_t>(Pax("path", "from/pax").size() + Pax("size", "4").size())},
              Pax("path", "from/pax") + Pax("size", "4")) +
        Entry({.Name = "./LongLink", .Type = 'L', .Size = 5}, std::string("lost") + '\0') +
        Entry({.Name = "header-name", .Size = 99}, "PPPP") + // pax path and size win
        Entry({.Name = "next", .Size = 2}, "NN") +           // the pax size was for one entry only
        Entry({.Name = "link", .Type = '2', .Size = 700, .Link = "after"},
              "") + // a link's size skips nothing
        Entry({.Name = "dev", .Type = '3'}, "") + Entry({.Name = "slashdir/", .Size = 0}, "") +
        Entry({.Name = "dirlink", .Type = '2', .Link = "slashdir"}, "") +
        Entry({.Name = "./LongLink", .Type = 'K', .Size = 11}, std::string("../../../up") + '\0') +
        Entry({.Name = "uplink", .Type = '2', .Link = "short"}, "") + // the long target wins
        Entry({.Name = "dirlink/under", .Size = 1}, "U") +            // never through a link
        Entry({.Name = "dirlink/", .Type = '5'}, "") +
        Entry({.Name = "hard", .Type = '1', .Link = "./after"}, "") +
        Entry({.Name = "hard-to-nothing", .Type = '1', .Link = "missing"}, "") +
        Entry({.Name = "../escape", .Size = 1}, "E") +
        Entry({.Name = "/abs/olute", .Size = 1}, "B") +
        Entry({.Name = "caf\xE9", .Size = 1, .SignedChecksum = true},
              "S") + // CP437, as old tars wrote
        Entry({.Name = "name", .Size = 2, .Prefix = "pre/fix"}, "PF") +
        Entry({.Name = "gnu-name", .Size = 1, .Prefix = "ignored", .Ustar = false}, "G") +
        // Old tars gave a folder a size but no data: the next header follows at once.
        Header({.Name = "olddir/", .Size = 1536}) + Entry({.Name = "olddir/in", .Size = 1}, "I") +
        Entry({.Name = "pax", .Type = 'x', .Size = static_cast<int64_t>(Pax("mtime", "-86400.5").size())},
              Pax("mtime", "-86400.5")) +
        Entry({.Name = "before1970", .Size = 1}, "T") + NulLedSize + KEnd;
    WriteFile(dir / "rules.tar", tar);
    auto fs = OpenTar(dir / "rules.tar");
    EXPECT_EQ(TreeOf(*fs, "\\"),
              (std::vector<std::string>{"abs/", "abs/olute", "after", "before1970", "caf\xCE\x98",
                                        "dirlink", "from/", "from/pax", "gnu-name", "hard", "link",
                                        "long/", "long/name", "next", "nul-size", "olddir/",
                                        "olddir/in", "pre/", "pre/fix/", "pre/fix/name",
                                        "slashdir/", "uplink"}));
    EXPECT_EQ(fs->LeftOut(), (std::vector<std::string>{"dirlink/under", "dirlink/",
                                                       "hard-to-nothing", "../escape"}));
    for (auto [name, target] : {std::pair{"link", "after"}, std::pair{"dirlink", "slashdir"},
                                std::pair{"uplink", "../../../up"}}) {
        std::string read;
        EXPECT_TRUE(fs->ReadLink("\\" + std::string(name), read));
        EXPECT_EQ(read, target);
    }
    EXPECT_EQ(ReadEntry(*fs, "\\hard"), "A");
    EXPECT_EQ(ReadEntry(*fs, "\\long\\name"), "L");
    EXPECT_EQ(ReadEntry(*fs, "\\after"), "A");
    EXPECT_EQ(ReadEntry(*fs, "\\from\\pax"), "PPPP");
    EXPECT_EQ(ReadEntry(*fs, "\\next"), "NN");
    EXPECT_EQ(ReadEntry(*fs, "\\pre\\fix\\name"), "PF");
    TKvFileEntry entry;
    ASSERT_TRUE(fs->Stat("\\next", entry));
    EXPECT_EQ(entry.Modified, DateTimeFromUnix(1600000000));
    ASSERT_TRUE(fs->Stat("/before1970", entry));
    EXPECT_EQ(entry.Modified, DateTimeFromUnix(-86401));
    EXPECT_EQ(ReadEntry(*fs, "/olddir/in"), "I");
    EXPECT_EQ(ReadEntry(*fs, "/nul-size"), "NUL");
    EXPECT_EQ(fs->Id(), "tar:" + dir / "rules.tar");

    std::string good = Entry({.Name = "ok", .Size = 1}, "1");
    std::string broken = Header({.Name = "bad"});
    broken[0] = 'X'; // the checksum no longer fits
    std::string huge =
        Header({.Name = "huge", .Size = (int64_t(9) << 30) + 5, .Base256Size = true});
    struct TCase {
        std::string Name;
        std::string Bytes;
        std::string Message;
    } cases[] = {
        {"first header broken", broken + KEnd, "This is not a tar archive"},
        {"later header broken", good + good + broken + KEnd,
         "The tar archive is damaged near offset 2048"},
        {"data past the end", Header({.Name = "cut", .Size = 5000}) + std::string(600, 'x'),
         "The tar archive is truncated"},
        {"long name too long", Header({.Name = "L", .Type = 'L', .Size = 0x100001}) + KEnd,
         "The tar archive is damaged"},
        {"huge file", huge + KEnd, "The tar archive is truncated"},
        {"cut inside a later header", good + Header({.Name = "next"}).substr(0, 300),
         "The tar archive is truncated"},
        {"cut inside the last data block", Header({.Name = "cut", .Size = 5}) + "12345",
         "The tar archive is truncated"},
        {"cut inside the first header", Header({.Name = "only"}).substr(0, 300),
         "This is not a tar archive"},
        {"less than a block of text", std::string(511, 'x'), "This is not a tar archive"},
        // An empty file is no archive; showing it as an empty one would hide a lost file.
        {"no bytes at all", "", "This is not a tar archive"},
    };
    for (const auto& c : cases) {
        WriteFile(dir / "case.tar", c.Bytes);
        EXPECT_EQ(MessageOf([&] { OpenTar(dir / "case.tar"); }), c.Message) << c.Name;
    }
    WriteFile(dir / "empty.tar", KEnd + good);
    EXPECT_TRUE(TreeOf(*OpenTar(dir / "empty.tar"), "/").empty());
    // End blocks cut short are still the end, as GNU tar and Python take them.
    for (size_t zeros : {1024u, 700u, 100u}) {
        WriteFile(dir / "ends.tar", good + std::string(zeros, '\0'));
        EXPECT_EQ(TreeOf(*OpenTar(dir / "ends.tar"), "\\"), (std::vector<std::string>{"ok"}));
    }

    // A size above 8 GiB in base-256 form, with the data really there (a sparse file).
    WriteFile(dir / "big.tar", huge);
    ASSERT_EQ(::truncate((dir / "big.tar").c_str(), 512 + (int64_t(9) << 30) + 512 + 1024), 0);
    auto big = OpenTar(dir / "big.tar");
    ASSERT_TRUE(big->Stat("\\huge", entry));
    EXPECT_EQ(entry.Size, (int64_t(9) << 30) + 5);
}

TEST(TarReader, NumberFields) {
    struct TCase {
        std::string Field;
        int64_t Value;
    } cases[] = {
        {"0000644\0", 0644},
        {"  12 \0\0\0", 10},
        {std::string(8, '\0'), 0},
        {"0000009\0", -1},
        {"77777777777777777777777", -1}, // beyond 63 bits
        {std::string("\x80\0\0\0\0\0\0\x01", 8), 1},
        {std::string("\xC0\0\0\0\0\0\0\x01", 8), -1}, // negative base-256
        {std::string("\xBF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF", 9), -1},
        {std::string("\x80\x7F\xFF\xFF\xFF\xFF\xFF\xFF\xFF", 9), INT64_MAX},
    };
    for (const auto& c : cases)
        EXPECT_EQ(
            ParseTarNumber(reinterpret_cast<const uint8_t*>(c.Field.data()), 0, c.Field.size()),
            c.Value)
            << c.Field;
}

TEST(TarTemps, CopiesGoWithTheirArchiveAndTheSweepSparesLiveOnes) {
    TTempDir dir;
    WriteFile(dir / "a.tar", Entry({.Name = "f", .Size = 1}, "1") + KEnd);
    ASSERT_EQ(Sh("gzip -c '" + dir / "a.tar" + "' > '" + dir / "a.tgz" + "'"), 0);
    std::string folder = ArchiveTempFolder();
    WriteFile(folder + "/kvarc-left-over.tmp", "from a crash");
    WriteFile(folder + "/kvarc-keep.txt", "other suffix");
    WriteFile(folder + "/other.tmp", "other prefix");

    std::string live;
    {
        auto fs = OpenTar(dir / "a.tgz", true);
        live = fs->TempFile();
        EXPECT_EQ(live.rfind(folder + "/kvarc-{", 0), 0u) << live;
        EXPECT_EQ(SweepArchiveTemps(), 1); // only the leftover
        EXPECT_TRUE(Exists(live));
        EXPECT_EQ(ReadEntry(*fs, "\\f"), "1");
        // Another running Kolvan sweeping at its start leaves the live copy alone too.
        pid_t child = ::fork();
        if (child == 0)
            ::_exit(SweepArchiveTemps());
        int status = -1;
        ::waitpid(child, &status, 0);
        EXPECT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0);
        EXPECT_TRUE(Exists(live));
    }
    EXPECT_FALSE(Exists(live));
    EXPECT_FALSE(Exists(folder + "/kvarc-left-over.tmp"));
    EXPECT_TRUE(Exists(folder + "/kvarc-keep.txt"));
    EXPECT_TRUE(Exists(folder + "/other.tmp"));
    ::unlink((folder + "/kvarc-keep.txt").c_str());
    ::unlink((folder + "/other.tmp").c_str());
}

TEST(ArchiveOpening, ChoosesTheBackendByName) {
    TTempDir dir;
    std::string tar = Entry({.Name = "f", .Size = 1}, "1") + KEnd;
    WriteFile(dir / "plain.tar", tar);
    ASSERT_EQ(Sh("cd '" + dir.Path() +
                 "' && gzip -c plain.tar > backup.TGZ && cp backup.TGZ x.tar.gz && zip -q a.ZIP "
                 "plain.tar"),
              0);
    for (const char* name : {"backup.TGZ", "x.tar.gz", "plain.tar", "a.ZIP"}) {
        EXPECT_TRUE(IsArchiveFile(name)) << name;
        auto fs = OpenArchive(dir / name, *NewCancelToken());
        EXPECT_FALSE(TreeOf(*fs, "/").empty()) << name;
    }
    EXPECT_EQ(OpenArchive(dir / "a.ZIP", *NewCancelToken())->Id().rfind("zip:", 0), 0u);
    EXPECT_EQ(OpenArchive(dir / "x.tar.gz", *NewCancelToken())->Id().rfind("tar:", 0), 0u);
    for (const char* name : {"notes.txt.GZ", "a.tar.xz", "a.TXZ", "a.tar.bz2", "a.tbz2", "a.tbz",
                             "a.tar.zst", "a.tzst", "a.tar.lz4", "n.xz", "n.bz2", "n.zst", "n.lz4"})
        EXPECT_TRUE(IsArchiveFile(name)) << name;
    for (const char* name : {"notes.txt", "a.tar.7z", "gz", "a.xzz"})
        EXPECT_FALSE(IsArchiveFile(name)) << name;
    EXPECT_EQ(MessageOf([&] { OpenArchive("notes.txt", *NewCancelToken()); }),
              "notes.txt: not a supported archive type");
}

// Tars in every compression GNU tar and bsdtar write, also several members one after another
// and names that lie about the compression, read through the same tar reader; contents
// compared with what tar extracts. A compressed single file is a folder holding it.
TEST(ArchiveOpening, CompressedTarsAndSingleFiles) {
    TTempDir dir;
    const std::string src = dir / "src";
    Sh("mkdir -p '" + src + "/sub'");
    std::string noise = RunCommand("head -c 200000 /dev/urandom | base64");
    std::vector<std::pair<std::string, std::string>> files = {
        {"a.txt", "plain\n"}, {"sub/noise.txt", noise}, {"back\\slash.txt", "bs"}};
    for (const auto& [name, data] : files)
        WriteFile(src + "/" + name, data);
    const std::vector<std::string> tree = {"a.txt", "back\\slash.txt", "sub/", "sub/noise.txt"};
    ASSERT_EQ(Sh("cd '" + src + "' && tar -cf ../t.tar a.txt sub back\\\\slash.txt"), 0);

    struct TCase {
        const char* File;
        const char* Make; // run in the folder of t.tar
    } cases[] = {
        {"t.tar.xz", "xz -c t.tar > OUT"},
        {"t.txz", "tar -C src -cJf OUT ."},
        {"t.tar.bz2", "bzip2 -c t.tar > OUT"},
        {"t.tbz2", "tar -C src -cjf OUT ."},
        {"t.tar.zst", "tar -C src --zstd -cf OUT ."},
        {"t.tzst", "zstd -q -19 -c t.tar > OUT"},
        {"t.tar.lz4", "lz4 -q -c t.tar > OUT"},
        {"bsdtar.tar.zst", "bsdtar -C src --zstd -cf OUT ."},
        {"bsdtar.tar.xz", "bsdtar -C src -cJf OUT ."},
        {"threads.tar.xz", "xz -T2 --block-size=65536 -c t.tar > OUT"},
        // Several members, the split falling inside the data.
        {"members.tar.xz", "head -c 70000 t.tar | xz > OUT && tail -c +70001 t.tar | xz >> OUT"},
        {"members.tar.bz2",
         "head -c 70000 t.tar | bzip2 > OUT && tail -c +70001 t.tar | bzip2 >> OUT"},
        {"members.tar.zst",
         "head -c 70000 t.tar | zstd -q > OUT && tail -c +70001 t.tar | zstd -q >> OUT"},
        {"members.tar.lz4",
         "head -c 70000 t.tar | lz4 -q > OUT && tail -c +70001 t.tar | lz4 -q >> OUT"},
        // The bytes tell, not the name.
        {"xz-named.tar", "xz -c t.tar > OUT"},
        {"unpacked.tar.gz", "cp t.tar OUT"},
        {"zst-named.tar.bz2", "zstd -q -c t.tar > OUT"},
        {"backup.gz", "gzip -c t.tar > OUT"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.File);
        std::string make = c.Make, output;
        make.replace(make.find("OUT"), 3, dir / c.File);
        if (make.find("OUT") != std::string::npos)
            make.replace(make.find("OUT"), 3, dir / c.File);
        ASSERT_EQ(Sh("cd '" + dir.Path() + "' && " + make, &output), 0) << output;
        auto fs = OpenArchive(dir / c.File, *NewCancelToken());
        EXPECT_EQ(fs->Id(), "tar:" + dir / c.File);
        EXPECT_EQ(TreeOf(*fs, "/"), tree);
        for (const auto& [name, data] : files)
            EXPECT_TRUE(ReadEntry(*fs, "/" + name) == data) << name;
        // bsdtar reads every one of these compressions, LZ4 included, by their bytes.
        const std::string expected = RunCommand("bsdtar -xOf '" + dir / c.File + "' '*noise.txt'");
        EXPECT_TRUE(ReadEntry(*fs, "/sub/noise.txt") == expected);
    }

    WriteFile(dir / "notes.txt", noise);
    struct TSingle {
        const char* File;
        const char* Make;
    } singles[] = {
        {"notes.txt.gz", "gzip -c notes.txt > OUT"},   {"notes.txt.xz", "xz -c notes.txt > OUT"},
        {"notes.txt.bz2", "bzip2 -c notes.txt > OUT"}, {"notes.txt.zst", "zstd -q -c notes.txt > OUT"},
        {"notes.txt.lz4", "lz4 -q -c notes.txt > OUT"}, {"empty.gz", "printf '' | gzip > OUT"},
    };
    for (const auto& c : singles) {
        SCOPED_TRACE(c.File);
        std::string make = c.Make, output;
        make.replace(make.find("OUT"), 3, dir / c.File);
        ASSERT_EQ(Sh("cd '" + dir.Path() + "' && " + make, &output), 0) << output;
        auto fs = OpenArchive(dir / c.File, *NewCancelToken());
        const bool empty = std::string(c.File) == "empty.gz";
        EXPECT_EQ(TreeOf(*fs, "/"), std::vector<std::string>{empty ? "empty" : "notes.txt"});
        EXPECT_TRUE(ReadEntry(*fs, empty ? "/empty" : "/notes.txt") == (empty ? "" : noise));
        TKvFileEntry entry;
        ASSERT_TRUE(fs->Stat(empty ? "/empty" : "/notes.txt", entry));
        EXPECT_EQ(entry.Size, empty ? 0 : static_cast<int64_t>(noise.size()));
    }

    std::string xz = RunCommand("xz -c '" + dir / "t.tar" + "'");
    std::string zst = RunCommand("zstd -q -c '" + dir / "t.tar" + "'");
    std::string bz2 = RunCommand("bzip2 -c '" + dir / "t.tar" + "'");
    std::string lz4 = RunCommand("lz4 -q -c '" + dir / "t.tar" + "'");
    struct TBad {
        const char* File;
        std::string Bytes;
        const char* Message;
    } bad[] = {
        {"text.xz", "just text", "This is not an xz file"},
        {"text.lz4", "just text", "This is not an LZ4 file"},
        {"cut.tar.xz", xz.substr(0, xz.size() / 2), "The xz file is truncated"},
        {"cut.tar.zst", zst.substr(0, zst.size() / 2), "The Zstandard file is truncated"},
        {"cut.tar.bz2", bz2.substr(0, bz2.size() / 2), "The bzip2 file is truncated"},
        {"cut.tar.lz4", lz4.substr(0, lz4.size() / 2), "The LZ4 file is truncated"},
        {"damaged.tar.xz", xz.substr(0, 200) + std::string(100, 'x') + xz.substr(300),
         "The xz data is damaged"},
        {"damaged.tar.zst", zst.substr(0, 200) + std::string(100, 'x') + zst.substr(300),
         "The Zstandard data is damaged"},
        {"damaged.tar.bz2", bz2.substr(0, 200) + std::string(100, 'x') + bz2.substr(300),
         "The bzip2 data is damaged"},
        {"damaged.tar.lz4", lz4.substr(0, 200) + std::string(100, 'x') + lz4.substr(300),
         "The LZ4 data is damaged"},
        {"no-tar.tar.xz", RunCommand("echo not a tar | xz"), "This is not a tar archive"},
        {"empty.tar.zst", RunCommand("printf '' | zstd -q"), "This is not a tar archive"},
    };
    const auto before = TempFiles();
    for (const auto& c : bad) {
        WriteFile(dir / c.File, c.Bytes);
        std::string message = MessageOf([&] { OpenArchive(dir / c.File, *NewCancelToken()); });
        EXPECT_EQ(message.rfind(c.Message, 0), 0u) << c.File << ": " << message;
    }
    // Neither does a cancelled one.
    auto cancelled = NewCancelToken();
    cancelled->Cancel();
    WriteFile(dir / "cancelled.tar.xz", xz);
    EXPECT_THROW(OpenArchive(dir / "cancelled.tar.xz", *cancelled), EKvCancelled);
    // A failed opening leaves no temporary copy behind.
    EXPECT_EQ(TempFiles(), before);
}

// Entering a compressed archive again, or in the other half, takes the index and the unpacked
// copy already made; a changed file is unpacked anew, and only the last two are kept.
TEST(ArchiveOpening, AnUnpackedArchiveIsKeptForTheNextOpening) {
    TTempDir dir;
    WriteFile(dir / "a.tar", Entry({.Name = "f", .Size = 1}, "1") + KEnd);
    ASSERT_EQ(Sh("cd '" + dir.Path() + "' && xz -k a.tar && zstd -q a.tar -o b.tar.zst && "
                 "gzip -c a.tar > c.tgz && gzip -c a.tar > d.gz"),
              0);
    auto first = OpenArchive(dir / "a.tar.xz", *NewCancelToken());
    const auto temps = TempFiles();
    EXPECT_EQ(OpenArchive(dir / "a.tar.xz", *NewCancelToken()), first);
    EXPECT_EQ(TempFiles(), temps); // nothing unpacked again

    WriteFile(dir / "a.tar", Entry({.Name = "g", .Size = 2}, "22") + KEnd);
    ASSERT_EQ(Sh("cd '" + dir.Path() + "' && xz -f a.tar"), 0);
    auto changed = OpenArchive(dir / "a.tar.xz", *NewCancelToken());
    EXPECT_NE(changed, first);
    EXPECT_EQ(TreeOf(*changed, "/"), std::vector<std::string>{"g"});

    first.reset();
    changed.reset();
    for (const char* name : {"b.tar.zst", "c.tgz", "d.gz"})
        EXPECT_EQ(TreeOf(*OpenArchive(dir / name, *NewCancelToken()), "/").size(), 1u) << name;
    EXPECT_EQ(TempFiles().size(), 2u);
}
