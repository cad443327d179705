#include <gtest/gtest.h>

#include <cstring>

#include "Kv.FS.Archive.h"
#include "Kv.FS.Local.h"
#include "KvArchiveTestUtil.h"
#include "KvTestSupport.h"

using namespace kv;
using namespace kv::test;

namespace {

class TStringStream final : public TKvStream {
public:
    explicit TStringStream(std::string AData) : FData(std::move(AData)) {}
    int64_t Read(void* ABuffer, int64_t ACount) override {
        int64_t n = std::min<int64_t>(ACount, static_cast<int64_t>(FData.size()) - FPos);
        if (n <= 0)
            return 0;
        std::memcpy(ABuffer, FData.data() + FPos, static_cast<size_t>(n));
        FPos += n;
        return n;
    }
    int64_t Write(const void*, int64_t) override { return 0; }
    int64_t Seek(int64_t AOffset, TKvSeekOrigin AOrigin) override {
        FPos = (AOrigin == soBegin ? 0 : AOrigin == soCurrent ? FPos : Size()) + AOffset;
        return FPos;
    }
    int64_t Size() override { return static_cast<int64_t>(FData.size()); }

private:
    std::string FData;
    int64_t FPos = 0;
};

// The shared tree with entries added by hand; a file's data is its text.
class TTreeFs final : public TKvArchiveFileSystem {
public:
    bool AddFile(const std::string& APath, const std::string& AData) {
        FData.push_back(AData);
        return AddEntry(APath, false, static_cast<int32_t>(FData.size() - 1), 0,
                        static_cast<int64_t>(AData.size()));
    }
    bool AddDir(const std::string& APath, TKvDateTime AWhen = 0) {
        return AddEntry(APath, true, -1, AWhen, 0);
    }

protected:
    TKvStreamPtr OpenNode(const TKvArchiveNode& ANode) override {
        return std::make_unique<TStringStream>(FData.at(static_cast<size_t>(ANode.Tag)));
    }

private:
    std::vector<std::string> FData;
};

} // namespace

TEST(ArchiveTree, NamesBuildTheTreeSafely) {
    TTreeFs fs;
    EXPECT_FALSE(fs.AddFile("a/../b", "escape"));
    EXPECT_FALSE(fs.AddFile("..", "up"));
    EXPECT_FALSE(fs.AddFile("/", "nothing"));
    EXPECT_TRUE(fs.AddFile("./a//b", "b"));
    EXPECT_TRUE(fs.AddFile("/abs/file", "abs"));      // absolute names land inside
    // "\\" is a name character, as on the disk; a Shift-JIS name holds 0x5C inside letters.
    EXPECT_TRUE(fs.AddFile("back\\slash.txt", "bs"));
    EXPECT_TRUE(fs.AddFile("jp/\x83\x5C\x83\x74\x83\x67.txt", "sjis"));
    // Linux archives hold names that differ only in case: both stay.
    EXPECT_TRUE(fs.AddFile("Dir/File.txt", "upper"));
    EXPECT_TRUE(fs.AddFile("dir/file.TXT", "lower"));
    // A later entry of the same path wins.
    EXPECT_TRUE(fs.AddFile("dup", "first"));
    EXPECT_TRUE(fs.AddFile("dup", "second"));
    // A file that later gets children becomes a folder; a folder is never replaced by a file.
    EXPECT_TRUE(fs.AddFile("x", "was a file"));
    EXPECT_TRUE(fs.AddFile("x/y", "y"));
    EXPECT_TRUE(fs.AddDir("f/"));
    EXPECT_FALSE(fs.AddFile("f", "dropped"));
    EXPECT_TRUE(fs.AddFile(std::string("ctl\x01\x1f\x7f.txt"), "c"));

    EXPECT_EQ(TreeOf(fs, "\\"),
              (std::vector<std::string>{"Dir/", "Dir/File.txt", "a/", "a/b", "abs/", "abs/file",
                                        "back\\slash.txt", "ctl__\x7f.txt", "dir/", "dir/file.TXT",
                                        "dup", "f/", "jp/", "jp/\x83\x5C\x83\x74\x83\x67.txt",
                                        "x/", "x/y"}));
    EXPECT_EQ(ReadEntry(fs, fs.Join("/", "back\\slash.txt")), "bs");
    EXPECT_EQ(ReadEntry(fs, "/jp/\x83\x5C\x83\x74\x83\x67.txt"), "sjis");
    EXPECT_EQ(ReadEntry(fs, "\\dup"), "second");
    EXPECT_EQ(ReadEntry(fs, "/Dir/File.txt"), "upper");
    EXPECT_EQ(ReadEntry(fs, "\\dir\\file.TXT"), "lower");
    TKvFileEntry entry;
    EXPECT_TRUE(fs.Stat("\\x", entry));
    EXPECT_TRUE(entry.IsDir);
    EXPECT_EQ(entry.Size, 0);
    EXPECT_FALSE(fs.Stat("\\DIR", entry));
    EXPECT_EQ(entry, TKvFileEntry());

    EXPECT_EQ(MessageOf([&] { fs.OpenRead("/nope"); }), "/nope: not found in the archive");
    EXPECT_EQ(MessageOf([&] { fs.OpenRead("\\x"); }), "\\x: is a directory");
    EXPECT_EQ(MessageOf([&] { fs.List("\\dup", *NewCancelToken()); }), "\\dup: not a directory");
    EXPECT_EQ(MessageOf([&] { fs.List("\\none", *NewCancelToken()); }),
              "\\none: not found in the archive");
    EXPECT_EQ(MessageOf([&] { fs.OpenWrite("\\n"); }), "Archives are read-only");
    EXPECT_EQ(MessageOf([&] { fs.DeleteFileAt("\\dup"); }), "Archives are read-only");
    EXPECT_TRUE(fs.ReadOnly());
    EXPECT_EQ(fs.FreeSpace("\\"), -1);
}

TEST(ArchiveTree, FolderTimesAndCancelledListing) {
    TTreeFs fs;
    fs.AddFile("implicit/file", "1");
    fs.AddDir("explicit/", 44000.5);
    fs.AddDir("explicit/", 0); // a later entry without a time keeps the first one
    TKvFileEntry entry;
    ASSERT_TRUE(fs.Stat("\\implicit", entry));
    EXPECT_EQ(entry.Modified, 0);
    ASSERT_TRUE(fs.Stat("\\explicit", entry));
    EXPECT_EQ(entry.Modified, 44000.5);

    for (int i = 0; i < 2000; ++i)
        fs.AddFile("many/" + std::to_string(i), "");
    auto token = NewCancelToken();
    EXPECT_EQ(fs.List("\\many", *token).size(), 2000u);
    token->Cancel();
    EXPECT_THROW(fs.List("\\many", *token), EKvCancelled);
}

TEST(ArchiveTree, HostileDepthIsTornDownWithoutRecursion) {
    TTreeFs fs;
    std::string deep;
    for (int i = 0; i < 100000; ++i)
        deep += "d/";
    EXPECT_TRUE(fs.AddFile(deep + "leaf", "x"));
    // Destroying the tree must not overflow the stack.
}

TEST(ArchivePaths, BrowsePathsAreCanonical) {
    TTreeFs fs;
    struct TCase {
        const char* Input;
        const char* Normal;
        const char* Parent;
        const char* Name;
    } cases[] = {
        {"", "/", "", ""},
        {"/", "/", "", ""},
        {"/a/../../b", "/b", "/", "b"},
        {"/x/./y//z/", "/x/y/z", "/x/y", "z"},
        {"/a\\b", "/a\\b", "/", "a\\b"}, // one name
        // The older form, from callers that still write "\\": both separate there.
        {"\\", "/", "", ""},
        {"\\a\\..\\..\\b/c", "/b/c", "/b", "c"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(fs.Normalize(c.Input), c.Normal) << c.Input;
        EXPECT_EQ(fs.ParentOf(c.Input), c.Parent) << c.Input;
        EXPECT_EQ(fs.NameOf(c.Input), c.Name) << c.Input;
    }
    EXPECT_TRUE(fs.IsRoot("/./"));
    EXPECT_FALSE(fs.IsRoot("/a"));
    EXPECT_EQ(fs.Join("/", "a"), "/a");
    EXPECT_EQ(fs.Join("/a", "b\\c"), "/a/b\\c");
    EXPECT_EQ(fs.Resolve("/a/b", "../c"), "/a/c");
    EXPECT_EQ(fs.Resolve("/a/b", "x\\y"), "/a/b/x\\y");
    EXPECT_EQ(fs.Resolve("/a/b", "/top"), "/top");
    EXPECT_EQ(fs.Resolve("\\a\\b", "x\\y"), "/a/b/x\\y");
    EXPECT_TRUE(fs.SamePath("/a/b/", "\\a\\b"));
    EXPECT_FALSE(fs.SamePath("/A", "/a"));
}

TEST(ArchiveNames, DecodingAgainstPython) {
    // UTF-8 stays; anything else is CP437, compared with Python's codec for every high byte.
    EXPECT_EQ(DecodeEntryName("\xC3\xA9"), "\xC3\xA9");
    EXPECT_EQ(DecodeEntryName("\x82"), "\xC3\xA9");
    std::string high;
    for (int b = 0x80; b <= 0xFF; ++b)
        high += static_cast<char>(b);
    std::string expected = Python("import sys\n"
                                  "sys.stdout.buffer.write(bytes(range(128,256)).decode('cp437')"
                                  ".encode('utf-8'))\n");
    EXPECT_EQ(DecodeEntryName(high), expected);

    struct TCase {
        const char* Bytes;
        bool Valid;
    } cases[] = {
        {"plain", true}, {"\xC3\xA9", true},  {"\xE2\x82\xAC", true}, {"\xF0\x9F\x98\x80", true},
        {"\xC3", false}, {"\xC0\x80", false}, {"\xE2\x82", false},    {"\xF5\x80\x80\x80", false},
        {"\x80", false}, {"\xC3\x28", false},
        // Decoded as text they would mean something else, so they are not UTF-8 either.
        {"\xE0\x80\x80", false}, {"\xED\xA0\x80", false}, {"\xF4\x90\x80\x80", false}};
    for (const auto& c : cases)
        EXPECT_EQ(IsValidUtf8(c.Bytes), c.Valid) << c.Bytes;
}

TEST(ArchiveUtil, CrcAndFields) {
    EXPECT_EQ(Crc32Of(""), 0u);
    EXPECT_EQ(Crc32Of("123456789"), 0xCBF43926u);
    // The register form continues across pieces.
    uint32_t crc = UpdateCrc32(0xFFFFFFFF, "1234", 4);
    crc = UpdateCrc32(crc, "56789", 5);
    EXPECT_EQ(~crc, 0xCBF43926u);
    const uint8_t bytes[] = {1, 2, 3, 4, 5, 6, 7, 0x88};
    EXPECT_EQ(ReadU16LE(bytes, 0), 0x0201);
    EXPECT_EQ(ReadU32LE(bytes, 1), 0x05040302u);
    EXPECT_EQ(ReadU64LE(bytes, 0), 0x8807060504030201ull);
}

TEST(ArchiveSlice, ReadsItsWindowAndReportsTruncation) {
    TTempDir dir;
    WriteFile(dir / "data", "0123456789");
    TKvSliceStream slice(LocalFs()->OpenRead(dir / "data"), 2, 5);
    EXPECT_EQ(ReadAll(slice), "23456");
    EXPECT_EQ(slice.Seek(-2, soEnd), 3);
    EXPECT_EQ(ReadAll(slice), "56");
    EXPECT_EQ(slice.Seek(-100, soCurrent), 0);
    EXPECT_EQ(slice.Seek(INT64_MAX, soCurrent), 5);
    EXPECT_EQ(slice.Size(), 5);
    EXPECT_EQ(MessageOf([&] { slice.Write("x", 1); }), "Archives are read-only");

    TKvSliceStream beyond(LocalFs()->OpenRead(dir / "data"), 8, 10);
    char buffer[16];
    EXPECT_EQ(beyond.Read(buffer, 16), 2);
    EXPECT_EQ(MessageOf([&] { beyond.Read(buffer, 16); }), "The archive file is truncated");
}
