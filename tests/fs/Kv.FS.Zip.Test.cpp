#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <optional>
#include <zlib.h>

#include "Kv.FS.Zip.h"
#include "Kv.Log.h"
#include "KvArchiveTestUtil.h"
#include "KvTestSupport.h"

// Hand-made entries name only the fields a case changes.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

using namespace kv;
using namespace kv::test;

namespace {

// A source tree with the shapes archives must keep: text, binary, empty file, empty and nested
// folders, and a non-ASCII name.
struct TSourceTree {
    TTempDir Dir;
    std::string Root = Dir / "src";
    std::vector<std::pair<std::string, std::string>> Files;

    TSourceTree() {
        Sh("mkdir -p '" + Root + "/sub/deeper' '" + Root + "/empty dir'");
        std::string binary;
        for (int i = 0; i < 300000; ++i)
            binary += static_cast<char>((static_cast<unsigned>(i) * 7919u) >> 3);
        Files = {{"a.txt", "hello zip\n"},
                 {"empty.txt", ""},
                 {"sub/bin.dat", binary},
                 {"sub/deeper/caf\xC3\xA9.txt", std::string(5000, 'x') + "end"}};
        for (const auto& [name, data] : Files)
            WriteFile(Root + "/" + name, data);
    }
    std::vector<std::string> Tree() const {
        return {"a.txt",
                "empty dir/",
                "empty.txt",
                "sub/",
                "sub/bin.dat",
                "sub/deeper/",
                "sub/deeper/caf\xC3\xA9.txt"};
    }
};

std::string LE16(uint16_t AValue) {
    return {static_cast<char>(AValue), static_cast<char>(AValue >> 8)};
}
std::string LE32(uint32_t AValue) {
    return LE16(static_cast<uint16_t>(AValue)) + LE16(static_cast<uint16_t>(AValue >> 16));
}
std::string LE64(uint64_t AValue) {
    return LE32(static_cast<uint32_t>(AValue)) + LE32(static_cast<uint32_t>(AValue >> 32));
}

// One entry of a hand-made zip; unset fields take the honest value.
struct TRawEntry {
    std::string Name;
    std::string Data;
    uint16_t Method = 0;
    uint16_t Flags = 0;
    std::string Extra;
    uint32_t Attributes = 0;
    std::optional<uint32_t> Crc, Size, Comp, Offset;
};

std::string BuildZip(const std::vector<TRawEntry>& AEntries) {
    std::string out, central;
    for (const auto& e : AEntries) {
        uint32_t offset = static_cast<uint32_t>(out.size());
        uint32_t crc = e.Crc.value_or(Crc32Of(e.Data));
        out += LE32(0x04034b50) + LE16(20) + LE16(e.Flags) + LE16(e.Method) + LE16(0) +
               LE16(0x5A21) + LE32(crc) + LE32(static_cast<uint32_t>(e.Data.size())) +
               LE32(static_cast<uint32_t>(e.Data.size())) +
               LE16(static_cast<uint16_t>(e.Name.size())) + LE16(0) + e.Name + e.Data;
        central += LE32(0x02014b50) + LE16(20) + LE16(20) + LE16(e.Flags) + LE16(e.Method) +
                   LE16(0) + LE16(0x5A21) + LE32(crc) +
                   LE32(e.Comp.value_or(static_cast<uint32_t>(e.Data.size()))) +
                   LE32(e.Size.value_or(static_cast<uint32_t>(e.Data.size()))) +
                   LE16(static_cast<uint16_t>(e.Name.size())) +
                   LE16(static_cast<uint16_t>(e.Extra.size())) + LE16(0) + LE16(0) + LE16(0) +
                   LE32(e.Attributes) + LE32(e.Offset.value_or(offset)) + e.Name + e.Extra;
    }
    std::string end =
        LE32(0x06054b50) + LE16(0) + LE16(0) + LE16(static_cast<uint16_t>(AEntries.size())) +
        LE16(static_cast<uint16_t>(AEntries.size())) + LE32(static_cast<uint32_t>(central.size())) +
        LE32(static_cast<uint32_t>(out.size())) + LE16(0);
    return out + central + end;
}

std::string RawDeflate(const std::string& AData) {
    z_stream z{};
    deflateInit2(&z, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&z, AData.size()), '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(AData.data()));
    z.avail_in = static_cast<uInt>(AData.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

std::shared_ptr<TKvZipFileSystem> OpenZip(const std::string& APath) {
    return std::make_shared<TKvZipFileSystem>(APath, *NewCancelToken());
}

std::string OpenMessage(const std::string& APath) {
    return MessageOf([&] { OpenZip(APath); });
}

void ExpectSameTree(TKvZipFileSystem& AZip, const TSourceTree& ASource, const std::string& AWhat) {
    EXPECT_EQ(TreeOf(AZip, "\\"), ASource.Tree()) << AWhat;
    for (const auto& [name, data] : ASource.Files)
        EXPECT_EQ(ReadEntry(AZip, "\\" + name), data) << AWhat << ": " << name;
}

} // namespace

TEST(ZipReader, ReadsWhatOutsideToolsWrite) {
    TSourceTree source;
    const std::string& seven = SevenZip();
    struct TCase {
        std::string Name;
        std::string Command; // run in the source folder, writes OUT
        std::string Password;
    } cases[] = {
        {"info-zip", "zip -q -r OUT .", ""},
        {"info-zip zip64 fields", "zip -q -r -fz OUT .", ""},
        {"info-zip zipcrypto", "zip -q -r -P s3cret OUT .", "s3cret"},
        {"7z deflate", seven + " a -tzip OUT . >/dev/null", ""},
        {"7z aes-256", seven + " a -tzip -ps3cret -mem=AES256 OUT . >/dev/null", "s3cret"},
        {"7z aes-128 stored", seven + " a -tzip -ps3cret -mem=AES128 -mx0 OUT . >/dev/null",
         "s3cret"},
        {"7z zipcrypto", seven + " a -tzip -ps3cret -mem=ZipCrypto OUT . >/dev/null", "s3cret"},
        {"bsdtar", "bsdtar --format zip -cf OUT .", ""},
        {"bsdtar aes-256",
         "bsdtar --format zip --options zip:encryption=aes256 --passphrase s3cret -cf OUT .",
         "s3cret"},
        {"bsdtar zipcrypto",
         "bsdtar --format zip --options zip:encryption=zipcrypt --passphrase s3cret -cf OUT .",
         "s3cret"},
        {"python deflate",
         "/usr/bin/python3 -c \"import "
         "zipfile,os\nz=zipfile.ZipFile('OUT','w',zipfile.ZIP_DEFLATED)\n"
         "for r,ds,fs in os.walk('.'):\n for n in ds+fs: z.write(os.path.join(r,n))\nz.close()\"",
         ""},
        {"python stored, zip64 local headers",
         "/usr/bin/python3 -c \"import "
         "zipfile,os\nz=zipfile.ZipFile('OUT','w',zipfile.ZIP_STORED)\n"
         "for r,ds,fs in os.walk('.'):\n for n in ds:\n  z.write(os.path.join(r,n))\n for n in "
         "fs:\n"
         "  with open(os.path.join(r,n),'rb') as f, "
         "z.open(os.path.join(r,n)[2:],'w',force_zip64=True) "
         "as o: o.write(f.read())\nz.close()\"",
         ""},
    };
    int index = 0;
    for (const auto& c : cases) {
        std::string zip = source.Dir / ("t" + std::to_string(index++) + ".zip");
        std::string command = c.Command;
        command.replace(command.find("OUT"), 3, zip);
        std::string output;
        ASSERT_EQ(Sh("export LC_ALL=C.UTF-8; cd '" + source.Root + "' && " + command, &output), 0)
            << c.Name << ": " << output;
        auto fs = OpenZip(zip);
        EXPECT_EQ(fs->NeedsPassword(), !c.Password.empty()) << c.Name;
        if (!c.Password.empty()) {
            EXPECT_EQ(MessageOf([&] { fs->OpenRead("\\sub\\bin.dat"); }),
                      "bin.dat: this file is password-protected. Open the zip again and give the "
                      "password")
                << c.Name;
            EXPECT_FALSE(fs->TryPassword("wrong")) << c.Name;
            EXPECT_TRUE(fs->NeedsPassword()) << c.Name;
            ASSERT_TRUE(fs->TryPassword(c.Password)) << c.Name;
            EXPECT_FALSE(fs->NeedsPassword()) << c.Name;
        }
        ExpectSameTree(*fs, source, c.Name);
    }
}

TEST(ZipReader, PasswordsOnPlainArchivesAndWrongOnes) {
    TSourceTree source;
    std::string plain = source.Dir / "plain.zip";
    ASSERT_EQ(Sh("cd '" + source.Root + "' && zip -q -r '" + plain + "' ."), 0);
    auto fs = OpenZip(plain);
    EXPECT_FALSE(fs->NeedsPassword());
    EXPECT_TRUE(fs->TryPassword("anything"));
    EXPECT_FALSE(fs->NeedsPassword());

    // A wrong password that slips past the one-byte check shows as damage, with the hint. The
    // check byte depends on a random header, so the zip is a fixed one (Info-ZIP, password
    // "right") and "guess73" is a wrong password known to pass its check.
    auto locked = OpenZip(std::string(KV_TESTS_DIR) + "/fs/data/zipcrypto-right.zip");
    ASSERT_EQ(locked->Entries().size(), 1u);
    const TZipEntryInfo& entry = locked->Entries()[0];
    EXPECT_EQ(MessageOf([&] { ReadAll(*locked->OpenEntry("bin.dat", entry, "guess0")); }),
              "bin.dat: wrong password");
    std::string message = MessageOf([&] { ReadAll(*locked->OpenEntry("bin.dat", entry, "guess73")); });
    EXPECT_NE(message.find(" (or the password is wrong)"), std::string::npos) << message;
    EXPECT_EQ(ReadAll(*locked->OpenEntry("bin.dat", entry, "right")).size(), 20000u);

    // The password is tried on an entry with data: "guess502" passes the check byte of the empty
    // entry of this zip, and nothing in an empty entry could refuse it.
    auto withEmpty = OpenZip(std::string(KV_TESTS_DIR) + "/fs/data/zipcrypto-empty.zip");
    EXPECT_FALSE(withEmpty->TryPassword("guess502"));
    EXPECT_TRUE(withEmpty->NeedsPassword());
    EXPECT_TRUE(withEmpty->TryPassword("right"));
}

TEST(ZipReader, AlteredAesDataFailsItsAuthentication) {
    TSourceTree source;
    std::string zip = source.Dir / "aes.zip";
    ASSERT_EQ(Sh("cd '" + source.Root + "' && " + SevenZip() +
                 " a -tzip -ps3cret -mem=AES256 -mx0 '" + zip + "' a.txt sub >/dev/null"),
              0);
    size_t index = 0;
    {
        auto fs = OpenZip(zip);
        for (; index < fs->Entries().size(); ++index)
            if (fs->Entries()[index].Size == 300000)
                break;
        ASSERT_LT(index, fs->Entries().size());
        EXPECT_EQ(fs->Entries()[index].AesVersion, 2);
        EXPECT_EQ(fs->Entries()[index].AesStrength, 3);
    }
    std::string bytes = ReadFile(zip);
    // Flip one byte in the middle of the stored, encrypted data.
    auto local = bytes.find(std::string("sub/bin.dat"));
    ASSERT_NE(local, std::string::npos);
    bytes[local + 150000] ^= 0x40;
    WriteFile(zip, bytes);

    auto fs = OpenZip(zip);
    ASSERT_TRUE(fs->TryPassword("s3cret")); // the probe is the small a.txt
    auto stream = fs->OpenRead("\\sub\\bin.dat");
    // The CRC is not compared (AE-2 has none): the code is what catches it, at the end.
    EXPECT_EQ(MessageOf([&] { ReadAll(*stream); }),
              "bin.dat: the authentication code does not match, so the file is damaged (or the "
              "password is wrong)");
    EXPECT_THROW(ReadAll(*stream), EKvFsError); // still failing, never quietly done
}

TEST(ZipReader, EntryStreamsSeekAndCheckTheirData) {
    TSourceTree source;
    std::string zip = source.Dir / "seek.zip";
    ASSERT_EQ(Sh("cd '" + source.Root + "' && zip -q -r '" + zip + "' ."), 0);
    auto fs = OpenZip(zip);
    const std::string& binary = source.Files[2].second;
    auto stream = fs->OpenRead("\\sub\\bin.dat");
    EXPECT_EQ(stream->Size(), 300000);
    EXPECT_EQ(stream->Seek(200000, soBegin), 200000);
    char buffer[10];
    ASSERT_EQ(stream->Read(buffer, 10), 10);
    EXPECT_EQ(std::string(buffer, 10), binary.substr(200000, 10));
    EXPECT_EQ(stream->Seek(-200005, soCurrent), 5); // backwards: reopened and read again
    ASSERT_EQ(stream->Read(buffer, 10), 10);
    EXPECT_EQ(std::string(buffer, 10), binary.substr(5, 10));
    EXPECT_EQ(stream->Seek(0, soEnd), 300000);
    EXPECT_EQ(stream->Read(buffer, 10), 0);
    EXPECT_EQ(MessageOf([&] { stream->Write("x", 1); }), "Archives are read-only");

    // Damage inside entries is that entry's problem, reported with its name.
    std::string garbage = "this is not deflate data at all, not at all";
    WriteFile(source.Dir / "bad.zip",
              BuildZip({{.Name = "badcrc", .Data = "payload", .Crc = 1234},
                        {.Name = "short", .Data = "tiny", .Size = 100},
                        {.Name = "garbage", .Data = garbage, .Method = 8, .Size = 1000},
                        {.Name = "deflated",
                         .Data = RawDeflate("fine data"),
                         .Method = 8,
                         .Crc = Crc32Of("fine data"),
                         .Size = 9},
                        {.Name = "x.bin", .Data = "???", .Method = 99}}));
    auto bad = OpenZip(source.Dir / "bad.zip");
    EXPECT_EQ(MessageOf([&] { ReadEntry(*bad, "\\badcrc"); }),
              "badcrc: the CRC does not match, so the file is damaged");
    EXPECT_EQ(MessageOf([&] { ReadEntry(*bad, "\\short"); }),
              "short: the entry is shorter than its header says");
    EXPECT_EQ(MessageOf([&] {
                  ReadEntry(*bad, "\\garbage");
              }).rfind("garbage: the entry is damaged (", 0),
              0u);
    EXPECT_EQ(MessageOf([&] { bad->OpenRead("\\x.bin"); }),
              "x.bin: unsupported compression method 99 (only stored and deflate)");
    EXPECT_EQ(ReadEntry(*bad, "\\deflated"), "fine data");
}

// Zips with data in front (self-extractors, padding) read as unzip and bsdtar read them; the
// last part of a split zip is refused at once, not entry by entry.
TEST(ZipReader, DataInFrontAndSplitZips) {
    TSourceTree source;
    const std::string d = source.Dir.Path();
    ASSERT_EQ(Sh("cd '" + source.Root + "' && zip -q -r '" + d + "/x.zip' . && zip -q -r -fz '" + d +
                 "/x64.zip' . && head -c 70000 /dev/urandom > '" + d + "/stub.bin'"),
              0);
    struct TCase {
        const char* Name;
        const char* Make;
    } cases[] = {
        {"a program in front", "cat stub.bin x.zip > case.zip"},
        {"zip64 records, a program in front", "cat stub.bin x64.zip > case.zip"},
        {"offsets adjusted by zip -A", "cat stub.bin x.zip > case.zip && zip -q -A case.zip"},
        {"python appends to a file with data", "head -c 999 stub.bin > case.zip && /usr/bin/python3 "
                                               "-c \"import zipfile\nz=zipfile.ZipFile('case.zip',"
                                               "'a')\nz.write('x.zip','a.txt')\nz.close()\""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        std::string output;
        ASSERT_EQ(Sh("cd '" + d + "' && rm -f case.zip && " + c.Make, &output), 0) << output;
        // unzip warns of the bytes in front (exit code 1) and reads the entries.
        Sh("unzip -tq '" + d + "/case.zip'", &output);
        ASSERT_NE(output.find("No errors detected"), std::string::npos) << output;
        auto fs = OpenZip(d + "/case.zip");
        if (std::string(c.Name).find("python") == 0) {
            EXPECT_EQ(ReadEntry(*fs, "/a.txt"), ReadFile(d + "/x.zip"));
        } else {
            ExpectSameTree(*fs, source, c.Name);
        }
    }

    ASSERT_EQ(Sh("head -c 300000 /dev/urandom > '" + source.Root + "/noise' && cd '" + source.Root +
                 "' && zip -q -r -s 64k '" + d + "/split.zip' ."),
              0);
    EXPECT_EQ(OpenMessage(d + "/split.zip"),
              "This is the last part of a zip split over several files, which cannot be browsed. "
              "Extract the parts together with 7-Zip, or join them into one zip first");
}

// A right password is known as right even when the entries it opens are packed in a way this
// reader cannot unpack; those entries alone say so, and the rest of the zip reads.
TEST(ZipReader, PasswordsForEntriesItCannotUnpack) {
    TTempDir dir;
    WriteFile(dir / "plain.txt", "not encrypted\n");
    WriteFile(dir / "deflated.txt", std::string(3000, 'd'));
    WriteFile(dir / "packed.txt", std::string(3000, 'p'));
    struct TCase {
        const char* Name;
        const char* Locked; // 7-Zip options for the encrypted entries
        bool WithDeflated;
        const char* Message;
    } cases[] = {
        {"AES, bzip2", "-mm=BZip2 -mem=AES256", false, "12 (bzip2; "},
        {"AES, LZMA, beside deflate", "-mm=LZMA -mem=AES128", true, "14 (LZMA; "},
        {"ZipCrypto, PPMd, beside deflate", "-mm=PPMd -mem=ZipCrypto", true, "98 (PPMd; "},
    };
    int index = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        std::string zip = dir / ("p" + std::to_string(index++) + ".zip");
        std::string output;
        std::string command = "cd '" + dir.Path() + "' && " + SevenZip() + " a -tzip '" + zip +
                              "' plain.txt && " + SevenZip() + " a -tzip " + c.Locked +
                              " -pright '" + zip + "' packed.txt";
        if (c.WithDeflated)
            command += " && " + SevenZip() + " a -tzip -mm=Deflate -pright '" + zip + "' deflated.txt";
        ASSERT_EQ(Sh(command, &output), 0) << output;
        auto fs = OpenZip(zip);
        EXPECT_TRUE(fs->NeedsPassword());
        EXPECT_FALSE(fs->TryPassword("wrong"));
        EXPECT_TRUE(fs->TryPassword("right"));
        EXPECT_FALSE(fs->NeedsPassword());
        EXPECT_EQ(ReadEntry(*fs, "/plain.txt"), "not encrypted\n");
        if (c.WithDeflated) {
            EXPECT_EQ(ReadEntry(*fs, "/deflated.txt"), std::string(3000, 'd'));
        }
        EXPECT_EQ(MessageOf([&] { fs->OpenRead("/packed.txt"); }),
                  "packed.txt: unsupported compression method " + std::string(c.Message) +
                      "only stored and deflate)");
    }

    // PKWARE's strong encryption: no password opens it here, so none is asked for.
    WriteFile(dir / "strong.zip", BuildZip({{.Name = "plain", .Data = "P"},
                                            {.Name = "strong", .Data = "xxxxxxxxxxxxS", .Flags = 0x41}}));
    auto strong = OpenZip(dir / "strong.zip");
    EXPECT_FALSE(strong->NeedsPassword());
    EXPECT_EQ(ReadEntry(*strong, "/plain"), "P");
    EXPECT_EQ(MessageOf([&] { strong->OpenRead("/strong"); }),
              "strong: this kind of encryption is not supported");
}

TEST(ZipReader, NamesFoldersAndTimesFromTheDirectory) {
    TTempDir dir;
    std::string nameCrc = LE32(Crc32Of("raw-name"));
    std::string unicode = "\xE6\x97\xA5\xE6\x9C\xAC.txt";
    std::string goodField =
        LE16(0x7075) + LE16(static_cast<uint16_t>(5 + unicode.size())) + "\x01" + nameCrc + unicode;
    std::string staleField =
        LE16(0x7075) + LE16(static_cast<uint16_t>(5 + 5)) + "\x01" + LE32(1) + "stale";
    WriteFile(dir / "names.zip",
              BuildZip({{.Name = "../evil", .Data = "x"},
                        {.Name = "a/../../evil2", .Data = "x"},
                        {.Name = "/etc/passwd", .Data = "not really"},
                        {.Name = "raw-name", .Data = "u", .Extra = goodField},
                        {.Name = "stale-name", .Data = "s", .Extra = staleField},
                        {.Name = "caf\x82", .Data = "cp437"},
                        {.Name = "utf8-\xC3\xA9", .Data = "utf8", .Flags = 0x0800},
                        {.Name = "attrdir", .Data = "", .Attributes = 0x10},
                        {.Name = "attrfile", .Data = "data", .Attributes = 0x10},
                        {.Name = "Case", .Data = "1"},
                        {.Name = "case", .Data = "2"},
                        // A Shift-JIS name: 0x5C is the second byte of a letter, not a folder.
                        {.Name = "\x83\x5C\x83\x67.txt", .Data = "sjis"},
                        // Info-ZIP's older Unix field, as macOS writes it: access, modification.
                        {.Name = "ux", .Data = "x",
                         .Extra = LE16(0x5855) + LE16(8) + LE32(1500000000) + LE32(1600000000)}}));
    const std::string oldLog = LogPath();
    SetLogFolder(dir.Path());
    ClearLog();
    auto fs = OpenZip(dir / "names.zip");
    EXPECT_EQ(TreeOf(*fs, "\\"), (std::vector<std::string>{
                                     "Case", "attrdir/", "attrfile", "caf\xC3\xA9", "case", "etc/",
                                     "etc/passwd", "stale-name", "utf8-\xC3\xA9", "ux",
                                     "\xC3\xA2\\\xC3\xA2g.txt", unicode}));
    // Left out, and said so; a leading "/" is only dropped, as unzip and tar do.
    EXPECT_EQ(fs->LeftOut(), (std::vector<std::string>{"../evil", "a/../../evil2"}));
    EXPECT_EQ(fs->LeftOutCount(), 2);
    const std::string log = ReadFile(LogPath());
    for (const char* name : {"../evil", "a/../../evil2"})
        EXPECT_NE(log.find("archive: left out " + std::string(name) + " (an unsafe name) in zip:"),
                  std::string::npos)
            << log;
    SetLogFolder(oldLog.substr(0, oldLog.rfind('/')));
    TKvFileEntry entry;
    ASSERT_TRUE(fs->Stat("\\" + unicode, entry));
    EXPECT_EQ(ReadEntry(*fs, "/\xC3\xA2\\\xC3\xA2g.txt"), "sjis");
    TKvFileEntry ux;
    ASSERT_TRUE(fs->Stat("/ux", ux));
    EXPECT_EQ(ux.Modified, DateTimeFromUnix(1600000000));
    TKvDateParts when = DecodeDateTime(entry.Modified);
    EXPECT_EQ(when.Year, 2025);
    EXPECT_EQ(when.Month, 1);
    EXPECT_EQ(when.Day, 1);
    EXPECT_EQ(DosToDateTime(0x5A21, 0), EncodeDateTime({2025, 1, 1, 0, 0, 0, 0}));
    EXPECT_EQ(DosToDateTime((45 << 9) | (2 << 5) | 30, 0), 0); // 30 February
    EXPECT_EQ(DosToDateTime(0x5A00 | (13 << 5) | 1, 0), 0);    // month 13
    EXPECT_EQ(DosToDateTime(0x5A21, 24 << 11), 0);             // hour 24
    EXPECT_EQ(fs->Id(), "zip:" + dir / "names.zip");
}

TEST(ZipReader, DamagedAndHostileDirectories) {
    TTempDir dir;
    std::string endOnly = LE32(0x06054b50) + std::string(18, '\0');
    // End record that points to zip64 records; ALocator is the 20 bytes before it.
    auto zip64 = [&](const std::string& APrefix, const std::string& ALocator) {
        return APrefix + ALocator + LE32(0x06054b50) + LE16(0) + LE16(0) + LE16(0xFFFF) +
               LE16(0xFFFF) + LE32(0xFFFFFFFF) + LE32(0xFFFFFFFF) + LE16(0);
    };
    auto end64 = [](uint64_t ACount, uint64_t ASize, uint64_t AOffset) {
        return LE32(0x06064b50) + LE64(44) + LE16(45) + LE16(45) + LE32(0) + LE32(0) +
               LE64(ACount) + LE64(ACount) + LE64(ASize) + LE64(AOffset);
    };
    auto locator = [](uint64_t AAt) { return LE32(0x07064b50) + LE32(0) + LE64(AAt) + LE32(1); };
    const uint64_t huge = 0x7FFFFFFFFFFFFFF0ull;

    // A central record whose zip64 field puts the local header near 2^63.
    std::string farExtra = LE16(0x0001) + LE16(16) + LE64(huge) + LE64(huge);
    std::string farZip = BuildZip({{.Name = "far",
                                    .Data = "x",
                                    .Extra = farExtra,
                                    .Comp = 0xFFFFFFFF,
                                    .Offset = 0xFFFFFFFF}});
    std::string negExtra = LE16(0x0001) + LE16(8) + LE64(0x8000000000000000ull);
    std::string negZip =
        BuildZip({{.Name = "neg", .Data = "x", .Extra = negExtra, .Size = 0xFFFFFFFF}});

    struct TCase {
        std::string Name;
        std::string Bytes;
        std::string Message;
    } cases[] = {
        {"21 bytes", std::string(21, 'P'), "This is not a zip file"},
        {"no end record", std::string(70000, 'x') + endOnly + std::string(65536, 'x'),
         "This is not a zip file, or it is damaged (no end record)"},
        {"zip64 at the start", zip64("", ""), "The zip file is damaged"},
        {"bad locator", zip64("", LE32(0x12345678) + std::string(16, '\0')),
         "The zip file is damaged"},
        {"zip64 record near 2^63", zip64("", locator(huge)), "The zip file is damaged"},
        {"zip64 directory near 2^63", zip64(end64(1, 100, huge), locator(0)),
         "The zip file is damaged"},
        {"zip64 size near 2^63", zip64(end64(1, huge, 0), locator(0)), "The zip file is damaged"},
        {"zip64 negative count", zip64(end64(0x8000000000000000ull, 0, 0), locator(0)),
         "The zip file is damaged"},
        {"directory past the end",
         LE32(0x06054b50) + LE16(0) + LE16(0) + LE16(1) + LE16(1) + LE32(46) + LE32(0) + LE16(0),
         "The zip file is damaged"},
        {"negative size", negZip, "The zip file is damaged"},
    };
    for (const auto& c : cases) {
        WriteFile(dir / "case.zip", c.Bytes);
        EXPECT_EQ(OpenMessage(dir / "case.zip"), c.Message) << c.Name;
    }

    WriteFile(dir / "empty.zip", endOnly);
    EXPECT_TRUE(TreeOf(*OpenZip(dir / "empty.zip"), "\\").empty());
    // An empty zip64 archive reads through its records.
    WriteFile(dir / "empty64.zip", zip64(end64(0, 0, 0), locator(0)));
    EXPECT_TRUE(TreeOf(*OpenZip(dir / "empty64.zip"), "\\").empty());

    WriteFile(dir / "far.zip", farZip);
    auto far = OpenZip(dir / "far.zip");
    EXPECT_EQ(MessageOf([&] { far->OpenRead("\\far"); }), "far: the local header is damaged");
    std::string tooLong = BuildZip({{.Name = "long", .Data = "abc", .Comp = 0xFFFFFFF0}});
    WriteFile(dir / "long.zip", tooLong);
    EXPECT_EQ(MessageOf([&] { OpenZip(dir / "long.zip")->OpenRead("\\long"); }),
              "long: the zip file is truncated");
}

TEST(ZipReader, ManyEntriesUseTheZip64EndRecords) {
    TTempDir dir;
    int code = 0;
    std::string output = Python("import zipfile\n"
                                "z = zipfile.ZipFile('" +
                                    dir / "many.zip" +
                                    "', 'w')\n"
                                    "for i in range(70000):\n"
                                    "    z.writestr('d%d/f%d' % (i % 7, i), str(i))\n"
                                    "z.close()\n",
                                &code);
    ASSERT_EQ(code, 0) << output;
    auto fs = OpenZip(dir / "many.zip");
    EXPECT_EQ(fs->Entries().size(), 70000u);
    EXPECT_EQ(fs->List("\\d3", *NewCancelToken()).size(), 10000u);
    EXPECT_EQ(ReadEntry(*fs, "\\d6\\f69999"), "69999");
    auto cancelled = NewCancelToken();
    cancelled->Cancel();
    EXPECT_THROW(TKvZipFileSystem(dir / "many.zip", *cancelled), EKvCancelled);
}

TEST(ZipReader, TimesAndLinksAsOutsideToolsShowThem) {
    TTempDir dir;
    const std::string root = dir / "src";
    // A winter time: 7-Zip turns UTC into local time with today's offset, not that day's.
    ASSERT_EQ(Sh("mkdir -p '" + root + "/sub' && cd '" + root +
                 "' && echo a > a.txt && echo s > sub/s.txt && ln -s a.txt link && ln -s sub "
                 "dlink && TZ=UTC touch -h -d '2021-01-04 15:16:17' a.txt link dlink sub "
                 "sub/s.txt"),
              0);
    const std::string python = R"PY(
import sys, zipfile
with zipfile.ZipFile(sys.argv[1], "w") as z:
    for name, data in [("a.txt", "a\n"), ("sub/s.txt", "s\n")]:
        z.writestr(zipfile.ZipInfo(name, (2021, 1, 4, 10, 16, 16)), data)
    for name, target in [("link", "a.txt"), ("dlink", "sub")]:
        info = zipfile.ZipInfo(name, (2021, 1, 4, 10, 16, 16))
        info.create_system, info.external_attr = 3, 0o120777 << 16
        z.writestr(info, target)
)PY";
    WriteFile(dir / "make.py", python);
    struct TCase {
        const char* Name;
        std::string Command; // run in the source folder under New York time, writes OUT
    } cases[] = {
        {"info-zip, extended timestamp", "zip -q -r -y OUT ."},
        {"7z, NTFS times", SevenZip() + " a -tzip -snl OUT . >/dev/null"},
        {"python, DOS fields only", "/usr/bin/python3 '" + dir / "make.py" + "' OUT"},
    };
    int index = 0;
    for (const auto& c : cases) {
        const std::string zip = dir / ("t" + std::to_string(index++) + ".zip");
        {
            TZone zone("America/New_York");
            std::string command = c.Command;
            command.replace(command.find("OUT"), 3, zip);
            std::string output;
            ASSERT_EQ(Sh("cd '" + root + "' && " + command, &output), 0) << c.Name << output;
        }
        for (const char* zoneName : {"UTC", "America/New_York"}) {
            SCOPED_TRACE(std::string(c.Name) + ", read in " + zoneName);
            TZone zone(zoneName);
            auto fs = OpenZip(zip);
            auto expected = SevenZipTimes(zip);
            for (const char* path : {"a.txt", "sub/s.txt", "link", "dlink"}) {
                std::string browse = "\\" + std::string(path);
                std::replace(browse.begin(), browse.end(), '/', '\\');
                TKvFileEntry entry;
                ASSERT_TRUE(fs->Stat(browse, entry)) << path;
                EXPECT_EQ(Shown(entry.Modified), expected[path]) << path;
            }
            EXPECT_EQ(ReadEntry(*fs, "\\a.txt"), "a\n");
            // Links are links with their target, never small files holding its text.
            for (auto [name, target] : {std::pair{"link", "a.txt"}, std::pair{"dlink", "sub"}}) {
                TKvFileEntry entry;
                ASSERT_TRUE(fs->Stat("\\" + std::string(name), entry));
                EXPECT_TRUE(entry.IsLink) << name;
                EXPECT_FALSE(entry.IsDir) << name;
                EXPECT_EQ(entry.LinkTarget, target) << name;
                std::string read;
                EXPECT_TRUE(fs->ReadLink("\\" + std::string(name), read));
                EXPECT_EQ(read, target);
                EXPECT_EQ(MessageOf([&] { fs->OpenRead("\\" + std::string(name)); }),
                          "\\" + std::string(name) + ": is a link to " + target);
            }
            std::string none;
            EXPECT_FALSE(fs->ReadLink("\\a.txt", none));
        }
    }
}
