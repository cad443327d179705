#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "Kv.FS.Archive.h"
#include "Kv.FS.Local.h"
#include "Kv.FS.Zip.h"
#include "Kv.Zip.Crypto.h"
#include "Kv.Zip.Writer.h"
#include "KvArchiveTestUtil.h"
#include "KvTestSupport.h"

using namespace kv;
using namespace kv::test;

namespace {

class TSource final : public TKvStream {
public:
    explicit TSource(std::string AData, int64_t APiece = 1 << 20)
        : FData(std::move(AData)), FPiece(APiece) {}
    int64_t Read(void* ABuffer, int64_t ACount) override {
        int64_t n = std::min({ACount, FPiece, static_cast<int64_t>(FData.size() - FPos)});
        std::memcpy(ABuffer, FData.data() + FPos, static_cast<size_t>(n));
        FPos += static_cast<size_t>(n);
        ++Reads;
        return n;
    }
    int64_t Write(const void*, int64_t) override { return 0; }
    int64_t Seek(int64_t, TKvSeekOrigin) override { return 0; }
    int64_t Size() override { return static_cast<int64_t>(FData.size()); }
    int Reads = 0;

private:
    std::string FData;
    int64_t FPiece;
    size_t FPos = 0;
};

class TSink final : public TKvStream {
public:
    int64_t Read(void*, int64_t) override { return 0; }
    int64_t Write(const void* ABuffer, int64_t ACount) override {
        Data.append(static_cast<const char*>(ABuffer), static_cast<size_t>(ACount));
        return ACount;
    }
    int64_t Seek(int64_t, TKvSeekOrigin) override { return 0; }
    int64_t Size() override { return static_cast<int64_t>(Data.size()); }
    std::string Data;
};

struct TItem {
    std::string Name;
    bool IsDir;
    std::string Data;
};

std::vector<TItem> SampleItems() {
    std::string binary;
    uint32_t x = 12345;
    for (int i = 0; i < 700000; ++i) {
        x = x * 1103515245 + 12345;
        binary += static_cast<char>(i % 3 == 0 ? (x >> 16) : 'a' + i % 26);
    }
    return {{"dir", true, ""},        {"dir/inner.txt", false, "inner text\n"},
            {"dir/empty", true, ""},  {"big.bin", false, binary},
            {"empty.txt", false, ""}, {"caf\xC3\xA9 \xE6\x97\xA5.txt", false, "unicode name"}};
}

void WriteZip(const std::string& APath, const std::vector<TItem>& AItems,
              const std::string& APassword, bool AWeak) {
    auto out = LocalFs()->OpenWrite(APath);
    TKvZipWriter writer(*out, APassword, AWeak);
    for (const auto& item : AItems) {
        if (item.IsDir) {
            writer.AddDirectory(item.Name, EncodeDateTime({2021, 6, 7, 8, 9, 10, 0}));
        } else {
            TSource source(item.Data, 100000);
            writer.AddFile(item.Name, EncodeDateTime({2021, 6, 7, 8, 9, 10, 0}), source,
                           static_cast<int64_t>(item.Data.size()));
        }
    }
    writer.Finish();
}

// Extracted files compared with what went in; folders must exist.
void ExpectExtracted(const std::string& AFolder, const std::vector<TItem>& AItems,
                     const std::string& AWhat) {
    for (const auto& item : AItems) {
        if (item.IsDir)
            EXPECT_EQ(Sh("test -d '" + AFolder + "/" + item.Name + "'"), 0)
                << AWhat << ": " << item.Name;
        else
            EXPECT_EQ(ReadFile(AFolder + "/" + item.Name), item.Data) << AWhat << ": " << item.Name;
    }
}

} // namespace

TEST(ZipWriter, OutsideToolsTestAndExtractWhatItWrites) {
    auto items = SampleItems();
    struct TCase {
        const char* Name;
        std::string Password;
        bool Weak;
    } cases[] = {{"plain", "", false},
                 {"zipcrypto", "pa ss\xC3\xA9", true},
                 {"aes-256", "pa ss\xC3\xA9", false}};
    for (const auto& c : cases) {
        TTempDir dir;
        std::string zip = dir / "out.zip";
        WriteZip(zip, items, c.Password, c.Weak);
        std::string pw = c.Password.empty() ? "" : " -p'" + c.Password + "'";
        std::string output;
        EXPECT_EQ(
            Sh("export LC_ALL=C.UTF-8; " + SevenZip() + " t" + pw + " '" + zip + "'", &output), 0)
            << c.Name << ": " << output;
        EXPECT_NE(output.find("Everything is Ok"), std::string::npos) << c.Name << ": " << output;
        EXPECT_EQ(Sh("export LC_ALL=C.UTF-8; " + SevenZip() + " x -y" + pw + " -o'" + dir / "7z" +
                     "' '" + zip + "' >/dev/null"),
                  0)
            << c.Name;
        ExpectExtracted(dir / "7z", items, std::string(c.Name) + " by 7z");
        if (c.Weak || c.Password.empty()) {
            // Info-ZIP cannot read AES.
            std::string upw = c.Password.empty() ? "" : " -P '" + c.Password + "'";
            EXPECT_EQ(Sh("unzip -t" + upw + " '" + zip + "'", &output), 0)
                << c.Name << ": " << output;
            EXPECT_EQ(Sh("export LC_ALL=C.UTF-8; unzip -q" + upw + " -d '" + dir / "unzip" + "' '" +
                             zip + "'",
                         &output),
                      0)
                << output;
            ExpectExtracted(dir / "unzip", items, std::string(c.Name) + " by unzip");
        }
        if (!c.Password.empty()) {
            EXPECT_EQ(Sh("export LC_ALL=C.UTF-8; mkdir '" + dir / "bsd" + "' && bsdtar -xf '" +
                             zip + "' --passphrase '" + c.Password + "' -C '" + dir / "bsd" + "'",
                         &output),
                      0)
                << c.Name << ": " << output;
            ExpectExtracted(dir / "bsd", items, std::string(c.Name) + " by bsdtar");
            EXPECT_NE(Sh("unzip -t -P wrong '" + zip + "'"), 0) << c.Name;
        }

        // And Kolvan's own reader agrees.
        TKvZipFileSystem fs(zip, *NewCancelToken());
        EXPECT_EQ(fs.NeedsPassword(), !c.Password.empty());
        EXPECT_TRUE(fs.TryPassword(c.Password));
        for (const auto& item : items) {
            if (item.IsDir)
                continue;
            EXPECT_EQ(ReadEntry(fs, "\\" + item.Name), item.Data) << c.Name << ": " << item.Name;
        }
    }
}

TEST(ZipWriter, EntryLayoutByKind) {
    TTempDir dir;
    std::string zip = dir / "layout.zip";
    auto out = LocalFs()->OpenWrite(zip);
    {
        TKvZipWriter writer(*out, "pw", false);
        TSource empty("");
        writer.AddFile("empty", 0, empty, 0);
        // Announced as empty (the scan saw it so) or of unknown size, but there is data now.
        TSource grew("grown since the scan");
        writer.AddFile("grew", 0, grew, 0);
        TSource unknown("size was unknown");
        writer.AddFile("unknown", 0, unknown, -1);
        writer.Finish();
    }
    out.reset();
    TKvZipFileSystem fs(zip, *NewCancelToken());
    ASSERT_EQ(fs.Entries().size(), 3u);
    const auto& empty = fs.Entries()[0];
    EXPECT_EQ(empty.Method, 0);
    EXPECT_EQ(empty.Flags, 0x0800); // stored, no descriptor, not encrypted even with a password
    EXPECT_EQ(empty.CompressedSize, 0);
    const auto& grew = fs.Entries()[1];
    EXPECT_EQ(grew.Flags, 0x0809);
    EXPECT_EQ(grew.Method, 8); // inside the AES field
    EXPECT_EQ(grew.AesStrength, 3);
    EXPECT_EQ(grew.AesVersion, 2);
    EXPECT_EQ(grew.Crc, 0u);
    EXPECT_EQ(grew.Size, 20);
    ASSERT_TRUE(fs.TryPassword("pw"));
    EXPECT_EQ(ReadEntry(fs, "\\grew"), "grown since the scan");
    EXPECT_EQ(ReadEntry(fs, "\\unknown"), "size was unknown");
    EXPECT_EQ(ReadEntry(fs, "\\empty"), "");
    std::string bytes = ReadFile(zip);
    // The AES field appears in the local and the central header of each encrypted entry.
    const std::string aesField("\x01\x99\x07\x00\x02\x00\x41\x45\x03\x08\x00", 11);
    size_t count = 0;
    for (size_t at = bytes.find(aesField); at != std::string::npos;
         at = bytes.find(aesField, at + 1))
        ++count;
    EXPECT_EQ(count, 4u);
    EXPECT_EQ(Sh(SevenZip() + " t -ppw '" + zip + "' >/dev/null"), 0);
}

TEST(ZipWriter, ZipCryptoHeaderChecksWithTheTime) {
    TSink sink;
    TKvZipWriter writer(sink, "weak", true);
    TSource source("some data to protect");
    writer.AddFile("f", EncodeDateTime({2022, 3, 4, 17, 45, 30, 0}), source, 20);
    writer.Finish();
    const auto* bytes = reinterpret_cast<const uint8_t*>(sink.Data.data());
    uint16_t flags = ReadU16LE(bytes, 6);
    uint16_t dosTime = ReadU16LE(bytes, 10);
    EXPECT_EQ(flags, 0x0809);
    EXPECT_EQ(dosTime, 17 * 2048 + 45 * 32 + 15);
    size_t dataStart = 30 + ReadU16LE(bytes, 26) + ReadU16LE(bytes, 28);
    TKvZipCryptoKeys keys;
    keys.Init("weak");
    uint8_t last = 0;
    for (size_t i = 0; i < 12; ++i)
        last = keys.Decrypt(bytes[dataStart + i]);
    EXPECT_EQ(last, dosTime >> 8);
}

TEST(ZipWriter, NamesTimesAndLimits) {
    struct TCase {
        const char* Name;
        bool IsDir;
        const char* Stored;
    } cases[] = {{"a\\b", true, "a/b/"},
                 {"/x.txt", false, "x.txt"},
                 {"//a/b/", true, "a/b/"},
                 {"", true, "/"}};
    for (const auto& c : cases)
        EXPECT_EQ(ZipEntryName(c.Name, c.IsDir), c.Stored) << c.Name;
    for (std::string bad :
         {std::string(""), std::string("/"), std::string("../up"), std::string("a/../../b"),
          std::string("a\\..\\b"), std::string(60001, 'n')})
        EXPECT_EQ(MessageOf([&] { CheckZipEntryName(bad, false); }),
                  "The name \"" + bad + "\" cannot be stored in a zip file")
            << bad;
    EXPECT_NO_THROW(CheckZipEntryName("a..b/..c", false));

    // Times DOS fields cannot hold become the time of writing.
    uint16_t date = 0, time = 0;
    ToDosDateTime(EncodeDateTime({1970, 1, 1, 0, 0, 0, 0}), date, time);
    TKvDateTime stored = DosToDateTime(date, time);
    EXPECT_LT(std::fabs(stored - NowDateTime()), 5.0 / 86400);
    ToDosDateTime(EncodeDateTime({2107, 12, 31, 0, 0, 1, 0}), date, time);
    EXPECT_LT(std::fabs(DosToDateTime(date, time) - NowDateTime()), 5.0 / 86400);
    ToDosDateTime(EncodeDateTime({1999, 12, 31, 23, 59, 59, 0}), date, time);
    EXPECT_EQ(DosToDateTime(date, time), EncodeDateTime({1999, 12, 31, 23, 59, 58, 0}));

    TSink empty;
    TKvZipWriter nothing(empty, "", false);
    nothing.Finish();
    EXPECT_EQ(empty.Data, std::string("PK\x05\x06", 4) + std::string(18, '\0'));
}

namespace {

// Writes a file on the disk, leaving holes for blocks of zeros, so gigabytes of stored zeros
// cost neither disk space nor much time.
class TSparseSink final : public TKvStream {
public:
    explicit TSparseSink(const std::string& APath)
        : FFd(::open(APath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644)) {}
    ~TSparseSink() override { ::close(FFd); }
    int64_t Read(void*, int64_t) override { return 0; }
    int64_t Write(const void* ABuffer, int64_t ACount) override {
        const char* data = static_cast<const char*>(ABuffer);
        const bool zeros = ACount > 0 && data[0] == 0 &&
                           std::memcmp(data, data + 1, static_cast<size_t>(ACount - 1)) == 0;
        if (zeros ? ::lseek(FFd, ACount, SEEK_CUR) < 0 : ::write(FFd, data, ACount) != ACount)
            throw EKvFsError("sparse sink failed");
        FSize += ACount;
        return ACount;
    }
    int64_t Seek(int64_t, TKvSeekOrigin) override { return FSize; }
    int64_t Size() override { return FSize; }
    void Close() { EXPECT_EQ(::ftruncate(FFd, FSize), 0); }

private:
    int FFd;
    int64_t FSize = 0;
};

// Outside tools must all accept the zip: Info-ZIP, 7-Zip and Python, run side by side. Python
// reads only the last entry of a big zip, since the other two read everything.
void ExpectToolsAccept(const std::string& AZip, size_t AEntries, bool ABig = false) {
    const std::string python =
        "import sys, zipfile\n"
        "z = zipfile.ZipFile(sys.argv[1])\n"
        "assert len(z.infolist()) == int(sys.argv[2]), len(z.infolist())\n" +
        std::string(ABig ? "z.read(z.infolist()[-1])\n" : "assert z.testzip() is None\n");
    TTempDir dir;
    WriteFile(dir / "check.py", python);
    std::string output;
    EXPECT_EQ(Sh("unzip -tqq '" + AZip + "' > '" + dir / "u" + "' 2>&1 & a=$!; " + SevenZip() +
                     " t '" + AZip + "' > '" + dir / "s" + "' 2>&1 & b=$!; /usr/bin/python3 '" +
                     dir / "check.py" + "' '" + AZip + "' " + std::to_string(AEntries) +
                     " || exit 3; wait $a || { cat '" + dir / "u" +
                     "'; exit 1; }; wait $b || "
                     "{ cat '" +
                     dir / "s" + "'; exit 2; }",
                 &output),
              0)
        << output;
}

} // namespace

// Zip64 records appear where a size, an offset or the count needs them, and only there.
TEST(ZipWriter, Zip64WhereNeededOnly) {
    TTempDir dir;
    {
        // 70,000 entries: a count the end record cannot hold.
        auto out = LocalFs()->OpenWrite(dir / "many.zip");
        TKvZipWriter writer(*out, "", false);
        for (int i = 0; i < 70000; ++i) {
            TSource empty(i % 7 == 0 ? "x" : "");
            writer.AddFile("d" + std::to_string(i / 1000) + "/f" + std::to_string(i), 0, empty, 0);
        }
        writer.Finish();
    }
    ExpectToolsAccept(dir / "many.zip", 70000);
    TKvZipFileSystem many(dir / "many.zip", *NewCancelToken());
    EXPECT_EQ(many.Entries().size(), 70000u);
    EXPECT_EQ(ReadEntry(many, "\\d69\\f69993"), "x");
    std::string bytes = ReadFile(dir / "many.zip");
    EXPECT_NE(bytes.find(std::string("PK\x06\x06", 4)), std::string::npos);
    // No entry needed zip64 fields: none has one.
    EXPECT_EQ(bytes.find(std::string("\x01\x00\x10\x00", 4)), std::string::npos);

    // A 5 GB file, and one after it whose offset is beyond 4 GB; stored, from a sparse file.
    const int64_t big = (int64_t(5) << 30) + 12345;
    WriteFile(dir / "big.bin", "");
    ASSERT_EQ(::truncate((dir / "big.bin").c_str(), big), 0);
    {
        TSparseSink out(dir / "big.zip");
        TKvZipWriter writer(out, "", false, 0);
        auto in = LocalFs()->OpenRead(dir / "big.bin");
        writer.AddFile("big.bin", 0, *in, big);
        TSource small("after the big one");
        writer.AddFile("small.txt", 0, small, 17);
        writer.Finish();
        out.Close();
    }
    ExpectToolsAccept(dir / "big.zip", 2, true);
    TKvZipFileSystem fs(dir / "big.zip", *NewCancelToken());
    ASSERT_EQ(fs.Entries().size(), 2u);
    EXPECT_EQ(fs.Entries()[0].Size, big);
    EXPECT_GT(fs.Entries()[1].LocalOffset, int64_t(0xFFFFFFFF));
    EXPECT_EQ(ReadEntry(fs, "\\small.txt"), "after the big one");

    // Small zips keep the plain records.
    TSink plain;
    TKvZipWriter small(plain, "", false);
    TSource data("data");
    small.AddFile("a", 0, data, 4);
    small.Finish();
    EXPECT_EQ(plain.Data.find(std::string("PK\x06\x06", 4)), std::string::npos);
    EXPECT_EQ(plain.Data.find(std::string("\x01\x00\x10\x00", 4)), std::string::npos);
}

TEST(ZipWriter, OtherToolsSeeTheExactTimeInAnyZone) {
    TTempDir dir;
    {
        TZone zone("America/New_York");
        auto out = LocalFs()->OpenWrite(dir / "t.zip");
        TKvZipWriter writer(*out, "", false);
        // An odd second, which the DOS fields cannot hold.
        const TKvDateTime when = EncodeDateTime({2021, 1, 4, 10, 16, 17, 0});
        writer.AddDirectory("dir", when);
        TSource source("data");
        writer.AddFile("dir/f.txt", when, source, 4);
        writer.Finish();
    }
    for (const char* zoneName : {"UTC", "America/New_York"}) {
        TZone zone(zoneName);
        const std::string expected =
            std::string(zoneName) == "UTC" ? "2021-01-04 15:16:17" : "2021-01-04 10:16:17";
        auto times = SevenZipTimes(dir / "t.zip");
        EXPECT_EQ(times["dir"], expected) << zoneName;
        EXPECT_EQ(times["dir/f.txt"], expected) << zoneName;
        TKvZipFileSystem fs(dir / "t.zip", *NewCancelToken());
        TKvFileEntry entry;
        ASSERT_TRUE(fs.Stat("\\dir\\f.txt", entry));
        EXPECT_EQ(Shown(entry.Modified), expected) << zoneName;
    }
    std::string output;
    EXPECT_EQ(Sh("unzip -tq '" + dir / "t.zip" + "'", &output), 0) << output;
}
