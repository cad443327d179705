#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

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

    TSink sink;
    TKvZipWriter writer(sink, "", false);
    TSource huge("");
    EXPECT_EQ(MessageOf([&] { writer.AddFile("huge", 0, huge, 0xF0000000); }),
              "huge is larger than 4 GB, which a zip file made here cannot hold");
    EXPECT_EQ(huge.Reads, 0);
    for (int i = 0; i < KZipMaxEntries; ++i)
        writer.AddDirectory("d" + std::to_string(i), 0);
    EXPECT_EQ(MessageOf([&] { writer.AddDirectory("one more", 0); }),
              "A zip file made here can hold at most 65534 files");
    writer.Finish();
    TTempDir dir;
    WriteFile(dir / "full.zip", sink.Data);
    TKvZipFileSystem fs(dir / "full.zip", *NewCancelToken());
    EXPECT_EQ(fs.List("\\", *NewCancelToken()).size(), 65534u);
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
