#include "Kv.Ftp.Parse.h"

#include <gtest/gtest.h>

namespace kv {
namespace {

struct TReplyScript {
    const char* Name;
    std::string Bytes;
    // Replies as "code|text", in order; an error text when the reader must give up.
    std::vector<std::string> Replies;
    const char* Error;
};

// Feeds the bytes one at a time, as a slow server would, and collects every reply.
std::vector<std::string> ReadAll(const std::string& ABytes, std::string& AError) {
    TKvFtpReplyReader reader;
    std::vector<std::string> replies;
    try {
        for (char c : ABytes) {
            reader.Feed(&c, 1);
            int code = 0;
            std::string text;
            while (reader.Next(code, text))
                replies.push_back(std::to_string(code) + "|" + text);
        }
    } catch (const EFtpLost& error) {
        AError = error.what();
    }
    return replies;
}

TEST(FtpReplies, ReaderScripts) {
    const std::string longLine = "220 " + std::string(KFtpMaxLine + 10, 'x');
    std::string endless = "211-start\r\n";
    for (int i = 0; endless.size() < 2 * KFtpMaxReply; ++i)
        endless += "211-more " + std::to_string(i) + "\r\n";
    const TReplyScript scripts[] = {
        {"single line", "220 ready\r\n", {"220|220 ready"}, nullptr},
        {"bare line feeds", "200 ok\n331 pass\n", {"200|200 ok", "331|331 pass"}, nullptr},
        {"code alone", "220\r\n", {"220|220"}, nullptr},
        {"multi-line with a look-alike inside",
         "211-Features:\r\n MLST type*;\r\n211-x\r\n 211 not the end\r\n211 End\r\n",
         {"211|211-Features:\n MLST type*;\n211-x\n 211 not the end\n211 End"},
         nullptr},
        {"another code does not end it",
         "250-a\r\n226 b\r\n250 c\r\n",
         {"250|250-a\n226 b\n250 c"},
         nullptr},
        {"two replies in one piece",
         "150 go\r\n226 done\r\n",
         {"150|150 go", "226|226 done"},
         nullptr},
        {"no code",
         "hello there\r\n",
         {},
         "The server sent something that is not FTP: hello there"},
        {"code cut short", "22\r\n", {}, "The server sent something that is not FTP: 22"},
        {"line over the cap", longLine, {}, "The server sent a line that is too long"},
        {"endless multi-line reply", endless, {}, "The server sent a reply that is too long"},
    };
    for (const auto& script : scripts) {
        SCOPED_TRACE(script.Name);
        std::string error;
        EXPECT_EQ(ReadAll(script.Bytes, error), script.Replies);
        EXPECT_EQ(error, script.Error ? script.Error : "");
    }
}

TEST(FtpReplies, NoCodeMessageKeepsSixtyCharacters) {
    std::string error;
    ReadAll("\xC3\xA9" + std::string(100, 'z') + "\r\n", error);
    EXPECT_EQ(error, "The server sent something that is not FTP: \xC3\xA9" + std::string(59, 'z'));
}

TEST(FtpReplies, MessagesAndText) {
    EXPECT_EQ(ReplyMessage("550 No such file\nmore"), "No such file");
    EXPECT_EQ(ReplyMessage("211-Features:\n x"), "Features:");
    EXPECT_EQ(ReplyMessage("550  \t"), "the server refused");
    EXPECT_EQ(ReplyMessage(""), "the server refused");
    EXPECT_EQ(DecodeServerText("caf\xE9"), "caf\xC3\xA9");     // Windows-1252
    EXPECT_EQ(DecodeServerText("caf\xC3\xA9"), "caf\xC3\xA9"); // UTF-8 stays
    EXPECT_EQ(DecodeServerText("\x80"), "\xE2\x82\xAC");       // the euro sign
    EXPECT_EQ(DecodeServerText("\xED\xA0\x80"),
              "\xC3\xAD\xC2\xA0\xE2\x82\xAC"); // a surrogate is not UTF-8
    EXPECT_EQ(SplitListing("a\r\n\r\nb\nc"), (std::vector<std::string>{"a", "b", "c"}));
    // Listing lines keep the server's bytes: a name goes back to the server as it came.
    EXPECT_EQ(SplitListing("caf\xE9\r\n"), (std::vector<std::string>{"caf\xE9"}));
}

TEST(FtpReplies, PassivePorts) {
    const std::pair<const char*, int> cases[] = {
        {"227 Entering Passive Mode (192,168,1,2,19,137)", 5001},
        {"227 Entering Passive Mode (10,0,0,1,0,21", 21},
        {"229 Entering Extended Passive Mode (|||6446|)", 6446},
        {"229 Entering Extended Passive Mode (||| 6446 |)", 6446},
        {"229 Entering Extended Passive Mode (|||0|)", 0},
        {"229 Entering Extended Passive Mode (|||70000|)", 0},
        {"229 Entering Extended Passive Mode (||6446)", 0},
        {"227 Entering Passive Mode (1,2,3,4,x,5)", 0},
        {"227 Entering Passive Mode (1,2,3,4,5)", 0},
        {"227 =192,168,1,2,19,137", 5001},
        {"227 192,168,1,2,19,137", 5001},
        {"", 0},
        {"(", 0},
    };
    for (const auto& [text, port] : cases)
        EXPECT_EQ(ParsePassivePort(text), port) << text;
}

TEST(FtpReplies, PwdReplies) {
    std::string path;
    EXPECT_TRUE(ParsePwdReply("257 \"/home/u\" is the current directory", path));
    EXPECT_EQ(path, "/home/u");
    EXPECT_TRUE(ParsePwdReply("257 \"/a \"\"quoted\"\" b\"", path));
    EXPECT_EQ(path, "/a \"quoted\" b");
    EXPECT_TRUE(ParsePwdReply("257 \"/open", path));
    EXPECT_EQ(path, "/open");
    path = "kept";
    EXPECT_FALSE(ParsePwdReply("257 \"\" empty", path));
    EXPECT_FALSE(ParsePwdReply("257 /no/quotes", path));
    EXPECT_EQ(path, "kept");
}

TEST(FtpPaths, SplitAndCheck) {
    EXPECT_EQ(SplitFtpPath("/a//b/./c/"), (std::vector<std::string>{"a", "b", "c"}));
    // "\\" is an ordinary character of a name on the server.
    EXPECT_EQ(SplitFtpPath("/d/a\\b.txt"), (std::vector<std::string>{"d", "a\\b.txt"}));
    EXPECT_EQ(SplitFtpPath("/../../x"), (std::vector<std::string>{"x"}));
    EXPECT_TRUE(SplitFtpPath("/").empty());
    EXPECT_NO_THROW(CheckCommandText("RETR /a b"));
    EXPECT_THROW(CheckCommandText("RETR a\nDELE b"), EKvFsError);
    EXPECT_THROW(CheckCommandText(std::string("RETR a\0b", 8)), EKvFsError);
    EXPECT_THROW(CheckCommandText("RETR a\r"), EKvFsError);
}

TKvDateTime Local(int AYear, int AMonth, int ADay, int AHour = 0, int AMinute = 0) {
    return EncodeDateTime({AYear, AMonth, ADay, AHour, AMinute, 0, 0});
}

struct TListCase {
    const char* Line;
    bool Parses;
    TKvFileEntry Entry;
    const char* Target;
};

TKvFileEntry Entry(const char* AName, bool ADir, int64_t ASize, TKvDateTime AWhen,
                   bool ALink = false, bool AReadOnly = false) {
    TKvFileEntry entry;
    entry.Name = AName;
    entry.IsDir = ADir;
    entry.IsLink = ALink;
    entry.Size = ASize;
    entry.Modified = AWhen;
    entry.IsReadOnly = AReadOnly;
    entry.IsHidden = AName[0] == '.';
    return entry;
}

TEST(FtpListing, UnixAndDosLines) {
    const TKvDateTime now = Local(2024, 6, 15, 12, 0);
    const TListCase cases[] = {
        {"-rw-r--r--    1 ftp      ftp          1234 Mar 05  2021 notes.txt", true,
         Entry("notes.txt", false, 1234, Local(2021, 3, 5)), ""},
        {"drwxr-xr-x 2 u g 4096 Jun 14 09:30 my folder", true,
         Entry("my folder", true, 0, Local(2024, 6, 14, 9, 30)), ""},
        {"lrwxrwxrwx 1 u g 7 Jan 05 12:00 www -> /var/www", true,
         Entry("www", false, 7, Local(2024, 1, 5, 12, 0), true), "/var/www"},
        {"-r--r--r-- 1 owner 5 Jul 01 2020 .hidden", true,
         Entry(".hidden", false, 5, Local(2020, 7, 1), false, true), ""},
        // More than two days ahead of "now": last year's.
        {"-rw-r--r-- 1 u g 1 Jun 20 10:00 future", true,
         Entry("future", false, 1, Local(2023, 6, 20, 10, 0)), ""},
        {"-rw-r--r-- 1 u g 1 Feb 30 2020 badday", true, Entry("badday", false, 1, 0), ""},
        {"-rw-r--r-- 1 u g 1 Foo 10 2020 badmonth", false, {}, ""},
        {"-rw-r--r-- 1 u g 1 Jan 10 2020 -> x", true, Entry("-> x", false, 1, Local(2020, 1, 10)),
         ""},
        {"total 12", false, {}, ""},
        // Owners and groups of more than one word (Windows and Cygwin servers): the size is the
        // number before the date, whatever comes before it.
        {"drwx------ 4 maxm Domain Users 512 Oct 2 10:59 .metadata", true,
         Entry(".metadata", true, 0, Local(2023, 10, 2, 10, 59)), ""},
        {"-rw-r--r-- 1 john smith users 1234 Mar 05 2021 owner.txt", true,
         Entry("owner.txt", false, 1234, Local(2021, 3, 5)), ""},
        {"-rw-r--r-- 1 0 my group 77 Mar 05 2021 group.txt", true,
         Entry("group.txt", false, 77, Local(2021, 3, 5)), ""},
        // The first size and date end the owner: a name may hold another.
        {"-rw-r--r-- 1 u g 9 Jun 01 2020 copy 5 Jan 01 2019 x", true,
         Entry("copy 5 Jan 01 2019 x", false, 9, Local(2020, 6, 1)), ""},
        // The name starts one blank after the time or year; its own blanks stay.
        {"-rw-r--r-- 1 u g 10 Jun 14 15:13   zxbox", true,
         Entry("  zxbox", false, 10, Local(2024, 6, 14, 15, 13)), ""},
        {"lrwxrwxrwx 1 u g 3 Jun 14 2019  sp -> /t", true,
         Entry(" sp", false, 3, Local(2019, 6, 14), true), "/t"},
        // Chinese and Japanese dates, in UTF-8 and in GBK.
        {"-rw-r--r-- 1 u g 5 6\u6708 3\u65E5 2003\u5E74 cn.txt", true,
         Entry("cn.txt", false, 5, Local(2003, 6, 3)), ""},
        {"-rw-r--r-- 1 u g 5 3\u6708 2 15:13 jp.txt", true,
         Entry("jp.txt", false, 5, Local(2024, 3, 2, 15, 13)), ""},
        {"-rw-r--r-- 1 u g 5 12\xD4\xC2 31\xC8\xD5 2003\xC4\xEA gbk.txt", true,
         Entry("gbk.txt", false, 5, Local(2003, 12, 31)), ""},
        {"-rw-r--r-- 1 u g 5 13\u6708 3\u65E5 2003\u5E74 month13", false, {}, ""},
        // A link count right after the ACL mark, a device's numbers, the "f" type.
        {"drwxr-x---+1464 u g 4096 Jan 05 2020 acl", true,
         Entry("acl", true, 0, Local(2020, 1, 5)), ""},
        {"crw-rw-rw- 1 root root 0, 27 Jun 01 2020 null", true,
         Entry("null", false, 0, Local(2020, 6, 1)), ""},
        {"brw-rw----  1 root disk   8,   0 Jun 01 2020 sda", true,
         Entry("sda", false, 0, Local(2020, 6, 1)), ""},
        {"frw-r--r-- 1 u g 9 Jun 01 2020 ftype", true,
         Entry("ftype", false, 9, Local(2020, 6, 1)), ""},
        {"12-31-99 11:00PM <DIR> old", true, Entry("old", true, 0, Local(1999, 12, 31, 23, 0)), ""},
        {"01-02-05  12:15AM       1048576 big file.bin", true,
         Entry("big file.bin", false, 1048576, Local(2005, 1, 2, 0, 15)), ""},
        {"07-04-2010  09:05 77 plain", true, Entry("plain", false, 77, Local(2010, 7, 4, 9, 5)),
         ""},
    };
    for (const auto& item : cases) {
        SCOPED_TRACE(item.Line);
        TKvFileEntry entry;
        std::string target;
        ASSERT_EQ(ParseListLine(item.Line, entry, target, now), item.Parses);
        if (!item.Parses)
            continue;
        EXPECT_EQ(entry, item.Entry);
        EXPECT_EQ(target, item.Target);
    }
}

TEST(FtpListing, YearOfRecentDatesAroundNewYear) {
    TKvFileEntry entry;
    std::string target;
    ASSERT_TRUE(ParseListLine("-rw-r--r-- 1 u g 1 Dec 31 23:59 late", entry, target,
                              Local(2025, 1, 1, 8, 0)));
    EXPECT_EQ(entry.Modified, Local(2024, 12, 31, 23, 59));
    ASSERT_TRUE(ParseListLine("-rw-r--r-- 1 u g 1 Jan 02 10:00 soon", entry, target,
                              Local(2025, 1, 1, 8, 0)));
    EXPECT_EQ(entry.Modified, Local(2025, 1, 2, 10, 0));
}

TEST(FtpListing, MlsdFacts) {
    struct TCase {
        const char* Line;
        bool Parses;
        const char* Name;
        bool Dir, Link, ReadOnly;
        int64_t Size;
        const char* Target;
    };
    const TCase cases[] = {
        {"type=cdir;modify=20240101000000; .", false, "", false, false, false, 0, ""},
        {"type=pdir; ..", false, "", false, false, false, 0, ""},
        {"Type=Dir;Size=4096;Modify=20240101000000; sub dir", true, "sub dir", true, false, false,
         0, ""},
        {"type=file;size=12;perm=r; a b.txt", true, "a b.txt", false, false, true, 12, ""},
        {"type=file;size=x;perm=adfrw; w", true, "w", false, false, false, 0, ""},
        {"type=file;size=-5; negative", true, "negative", false, false, false, 0, ""},
        {"type=OS.unix=slink:/etc/hosts; hosts", true, "hosts", false, true, false, 0,
         "/etc/hosts"},
        {"type=special; fifo", true, "fifo", false, false, false, 0, ""},
        // The type fact is optional.
        {"size=3;modify=20240101000000; notype", true, "notype", false, false, false, 3, ""},
        {"type=file;", false, "", false, false, false, 0, ""},
        {"type=file; ", false, "", false, false, false, 0, ""},
        {"   type=file;size=1; indented", true, "indented", false, false, false, 1, ""},
    };
    for (const auto& item : cases) {
        SCOPED_TRACE(item.Line);
        TKvFileEntry entry;
        std::string target;
        ASSERT_EQ(ParseMlsdLine(item.Line, entry, target), item.Parses);
        if (!item.Parses)
            continue;
        EXPECT_EQ(entry.Name, item.Name);
        EXPECT_EQ(entry.IsDir, item.Dir);
        EXPECT_EQ(entry.IsLink, item.Link);
        EXPECT_EQ(entry.IsReadOnly, item.ReadOnly);
        EXPECT_EQ(entry.Size, item.Size);
        EXPECT_EQ(target, item.Target);
    }
    TKvFileEntry entry;
    std::string target;
    ASSERT_TRUE(ParseMlsdLine("type=file;modify=20240229123456.789; t", entry, target));
    EXPECT_EQ(entry.Modified, DateTimeFromUnix(1709210096));
    ASSERT_TRUE(ParseMlsdLine("type=file;modify=20230229123456; t", entry, target));
    EXPECT_EQ(entry.Modified, 0);
}

} // namespace
} // namespace kv
