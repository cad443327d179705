#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <sstream>

#include "Kv.FS.Local.h"
#include "Kv.Platform.Folders.h"
#include "Kv.ViewData.h"
#include "KvTestSupport.h"
#include "KvToolsTestFs.h"

using namespace kv;
using namespace kv::test;

namespace {

using TLines = std::vector<std::string>;

struct TView {
    explicit TView(const std::string& APath, IKvFileSystemPtr AFs = LocalFs())
        : Data(std::move(AFs), APath, APath, int64_t(std::filesystem::file_size(APath))) {}

    TKvViewResult Plain(TKvViewMode AMode, int ARows, int64_t AValue = 0) {
        return Run(AMode, ARows, AValue, false, false);
    }
    TKvViewResult Wrapped(TKvViewMode AMode, int ARows, int AWidth, int64_t AValue = 0) {
        return Run(AMode, ARows, AValue, true, false, AWidth);
    }
    TKvViewResult Hex(TKvViewMode AMode, int ARows, int64_t AValue = 0) {
        return Run(AMode, ARows, AValue, false, true);
    }
    TKvViewResult Summary(TKvViewMode AMode, int ARows, int64_t AValue = 0) {
        TKvViewResult result;
        Data.Page(AMode, ARows, result, false, false, true, false, 80, AValue);
        return result;
    }
    TKvViewResult Run(TKvViewMode AMode, int ARows, int64_t AValue, bool AWrap, bool AHex,
                      int AWidth = 80) {
        TKvViewResult result;
        Data.Page(AMode, ARows, result, true, AWrap, false, AHex, AWidth, AValue);
        return result;
    }

    TKvViewData Data;
};

std::string Numbered(int ACount, const char* AEnding = "\n") {
    std::string out;
    for (int k = 1; k <= ACount; ++k)
        out += "line " + std::to_string(k) + AEnding;
    return out;
}

std::vector<int64_t> GrepOffsets(const std::string& APath, const std::string& APattern,
                                 bool AFold) {
    std::istringstream out(RunCommand(std::string("LC_ALL=C grep -boa") + (AFold ? "i" : "") +
                                      "F '" + APattern + "' '" + APath + "'"));
    std::vector<int64_t> offsets;
    for (std::string line; std::getline(out, line);)
        offsets.push_back(std::stoll(line.substr(0, line.find(':'))));
    return offsets;
}

} // namespace

TEST(ViewPlain, EmptyFileIsOneEmptyPageEverywhere) {
    TTempDir dir;
    WriteFile(dir / "empty", "");
    TView view(dir / "empty");
    for (TKvViewMode mode : {vmAt, vmDown, vmUp, vmEnd}) {
        for (int presentation = 0; presentation < 3; ++presentation) {
            TKvViewResult result = presentation == 0   ? view.Plain(mode, 10, 5)
                                   : presentation == 1 ? view.Wrapped(mode, 10, 40, 5)
                                                       : view.Hex(mode, 10, 5);
            EXPECT_TRUE(result.Lines.empty());
            EXPECT_TRUE(result.AtEnd);
            EXPECT_EQ(result.Pos, 0);
        }
    }
    bool wrapped = true;
    auto token = NewCancelToken();
    EXPECT_EQ(view.Data.Find("x", false, wrapped, *token, {}, 0, true), -1);
}

TEST(ViewPlain, MovementsEndingsAndLastPage) {
    TTempDir dir;
    WriteFile(dir / "five", Numbered(5));
    TView five(dir / "five");
    auto result = five.Plain(vmEnd, 20);
    EXPECT_EQ(result.Pos, 0);
    EXPECT_EQ(result.Lines, (TLines{"line 1", "line 2", "line 3", "line 4", "line 5"}));
    EXPECT_TRUE(result.AtEnd);

    // With or without a final line feed, the end shows the last line and no empty row.
    for (std::string text : {"a\nb\nc", "a\nb\nc\n"}) {
        WriteFile(dir / "abc", text);
        TView view(dir / "abc");
        result = view.Plain(vmEnd, 2);
        EXPECT_EQ(result.Lines, (TLines{"b", "c"})) << text;
        EXPECT_EQ(result.Pos, 2);
        EXPECT_TRUE(result.AtEnd);
    }

    WriteFile(dir / "thirty", Numbered(30));
    TView view(dir / "thirty");
    result = view.Plain(vmDown, 5, 3);
    EXPECT_EQ(result.Lines.front(), "line 4");
    EXPECT_EQ(result.Lens, (std::vector<int64_t>{7, 7, 7, 7, 7}));
    result = view.Plain(vmUp, 5, 2);
    EXPECT_EQ(result.Lines.front(), "line 2");
    result = view.Plain(vmUp, 5, 10);
    EXPECT_EQ(result.Pos, 0);
    result = view.Plain(vmEnd, 5);
    EXPECT_EQ(result.Lines.front(), "line 26");
    int64_t last = result.Pos;
    result = view.Plain(vmDown, 5, 10);
    EXPECT_EQ(result.Pos, last);
    EXPECT_TRUE(result.AtEnd);
    // Jumping into the middle of a line starts at that line; near the end the page fills up.
    result = view.Plain(vmAt, 5, 7 * 9 + 3);
    EXPECT_EQ(result.Lines.front(), "line 10");
    result = view.Plain(vmAt, 5, 1 << 30);
    EXPECT_EQ(result.Lines.front(), "line 26");

    WriteFile(dir / "crlf", "a\r\nb\rc\r\n\r\n");
    TView crlf(dir / "crlf");
    result = crlf.Plain(vmAt, 10);
    EXPECT_EQ(result.Lines, (TLines{"a", "b\rc", ""}));
    EXPECT_EQ(result.Lens, (std::vector<int64_t>{3, 5, 2}));
}

TEST(ViewPlain, OneHugeLineStillPages) {
    TTempDir dir;
    std::string line;
    for (int k = 0; line.size() < 1048576; ++k)
        line += "word" + std::to_string(k % 10) + " ";
    WriteFile(dir / "huge", line);
    TView view(dir / "huge");
    // 256 KiB without a line feed make a row, as moving back counts them.
    auto result = view.Plain(vmAt, 3);
    ASSERT_EQ(result.Lines.size(), 3u);
    EXPECT_EQ(result.Lines[0], line.substr(0, 2000) + "...");
    EXPECT_EQ(result.Lens[0], KViewBlock);
    EXPECT_EQ(result.Lines[1], line.substr(size_t(KViewBlock), 2000) + "...");
    EXPECT_FALSE(result.AtEnd);
    result = view.Plain(vmAt, 2, 600000);
    EXPECT_EQ(result.Pos, 600000 - KViewBlock);

    result = view.Wrapped(vmAt, 30, 100);
    ASSERT_EQ(result.Lines.size(), 30u);
    EXPECT_FALSE(result.Cont[0]);
    EXPECT_TRUE(result.Cont[1]);
    for (size_t k = 0; k + 1 < 20; ++k)
        EXPECT_LE(CharCount(result.Lines[k]), 100);
    std::string rejoined;
    size_t k = 0;
    for (; k < result.Lines.size() && (k == 0 || result.Cont[k]); ++k)
        rejoined += result.Lines[k];
    EXPECT_EQ(rejoined, line.substr(0, 2000) + "...");
    // Wrapped rows move one at a time, inside the line.
    result = view.Wrapped(vmDown, 30, 100, 3);
    EXPECT_EQ(result.Pos, 0);
    EXPECT_EQ(result.SubRow, 3);
    result = view.Wrapped(vmUp, 30, 100, 2);
    EXPECT_EQ(result.SubRow, 1);
}

TEST(ViewPlain, LinesAfterAVeryLongLineFillThePage) {
    TTempDir dir;
    const std::string longLine(size_t(KViewBlock) + 1000, 'q');
    WriteFile(dir / "f", "first\n" + longLine + "\n" + Numbered(10));
    TView view(dir / "f");
    auto result = view.Plain(vmAt, 6);
    EXPECT_EQ(result.Lines, (TLines{"first", longLine.substr(0, 2000) + "...",
                                    std::string(1000, 'q'), "line 1", "line 2", "line 3"}));
    EXPECT_EQ(result.Lens, (std::vector<int64_t>{6, KViewBlock, 1001, 7, 7, 7}));
    // Down and up walk over the long line a row at a time and come back to the same places.
    std::vector<int64_t> tops;
    for (int k = 0; k < 4; ++k)
        tops.push_back(view.Plain(vmDown, 6, 1).Pos);
    EXPECT_EQ(tops, (std::vector<int64_t>{6, 6 + KViewBlock, 6 + KViewBlock + 1001,
                                          6 + KViewBlock + 1001 + 7}));
    EXPECT_EQ(view.Plain(vmUp, 6, 1).Pos, tops[2]);
    EXPECT_EQ(view.Plain(vmEnd, 6).Lines.back(), "line 10");
}

TEST(ViewWrapped, RowsMovementsAndEnd) {
    TTempDir dir;
    // Line 2 wraps into three rows at width 10.
    WriteFile(dir / "w", "short\nabcd efgh ijkl mnop qrst\nthird\n\tfourth\n");
    TView view(dir / "w");
    auto result = view.Wrapped(vmAt, 10, 10);
    EXPECT_EQ(result.Lines,
              (TLines{"short", "abcd efgh ", "ijkl mnop ", "qrst", "third", "    fourth"}));
    EXPECT_EQ(result.Cont, (std::vector<bool>{false, false, true, true, false, false}));
    EXPECT_TRUE(result.AtEnd);
    result = view.Wrapped(vmDown, 3, 10, 2);
    EXPECT_EQ(result.Lines, (TLines{"ijkl mnop ", "qrst", "third"}));
    EXPECT_EQ(result.SubRow, 1);
    EXPECT_EQ(result.Pos, 6);
    result = view.Wrapped(vmUp, 3, 10, 2);
    EXPECT_EQ(result.Lines, (TLines{"short", "abcd efgh ", "ijkl mnop "}));
    result = view.Wrapped(vmEnd, 3, 10);
    EXPECT_EQ(result.Lines, (TLines{"qrst", "third", "    fourth"}));
    EXPECT_TRUE(result.AtEnd);
    result = view.Wrapped(vmDown, 3, 10, 50);
    EXPECT_EQ(result.Lines, (TLines{"qrst", "third", "    fourth"}));
}

TEST(ViewHex, RowsOffsetsAndPaging) {
    TTempDir dir;
    WriteFile(dir / "twenty", "ABCDEFGHIJKLMNOPQRS\x01");
    TView view(dir / "twenty");
    auto result = view.Hex(vmAt, 10);
    ASSERT_EQ(result.Lines.size(), 2u);
    EXPECT_EQ(result.Lines[0],
              "00000000  41 42 43 44 45 46 47 48  49 4A 4B 4C 4D 4E 4F 50  ABCDEFGHIJKLMNOP");
    EXPECT_EQ(result.Lines[1], "00000010  51 52 53 01 " + std::string(12, ' ') + " " +
                                   std::string(24, ' ') + " QRS.");
    EXPECT_EQ(result.Lens, (std::vector<int64_t>{16, 4}));
    EXPECT_TRUE(result.AtEnd);
    EXPECT_EQ(view.Hex(vmEnd, 10).Pos, 0);

    WriteFile(dir / "k", std::string(1000, 'k'));
    TView kilo(dir / "k");
    EXPECT_EQ(kilo.Hex(vmAt, 4, 37).Pos, 32);
    EXPECT_EQ(kilo.Hex(vmDown, 4, 2).Pos, 64);
    EXPECT_EQ(kilo.Hex(vmUp, 4, 10).Pos, 0);
    EXPECT_EQ(kilo.Hex(vmEnd, 4).Pos, 992 - 48);
    EXPECT_EQ(kilo.Hex(vmDown, 4, 1000).Pos, 992 - 48);
    EXPECT_FALSE(kilo.Hex(vmAt, 4, 0).AtEnd);
}

// A sparse file past 4 GiB costs no disk; pages at its start, middle and end read only a
// window, and hex offsets there take nine digits.
TEST(ViewLarge, SparseFilePastFourGiB) {
    TTempDir dir;
    std::string path = dir / "sparse";
    const int64_t size = 5LL << 30;
    const int64_t needle = 0x100000005LL;
    RunCommand("truncate -s " + std::to_string(size) + " '" + path + "'");
    RunCommand("printf 'first\\n' | dd of='" + path + "' conv=notrunc status=none");
    RunCommand("printf NEEDLE | dd of='" + path + "' bs=1 seek=" + std::to_string(needle) +
               " conv=notrunc status=none");
    RunCommand("printf '\\nlast line\\n' | dd of='" + path +
               "' bs=1 seek=" + std::to_string(size - 11) + " conv=notrunc status=none");
    TView view(path);
    ASSERT_EQ(view.Data.Size, size);

    auto result = view.Hex(vmAt, 4);
    EXPECT_EQ(result.Lines[0].substr(0, 27), "00000000  66 69 72 73 74 0A");

    result = view.Hex(vmEnd, 4);
    EXPECT_EQ(result.Pos, size - 64);
    EXPECT_EQ(result.Lines[3].substr(0, 11), "13FFFFFF0  ");
    EXPECT_TRUE(result.AtEnd);
    EXPECT_EQ(result.Lines[3].substr(result.Lines[3].size() - 16), "......last line.");

    // A page across 4 GiB: offsets grow a digit, and so do the columns of every byte.
    result = view.Hex(vmAt, 4, 0x100000000LL - 32);
    EXPECT_EQ(result.Lines[1].substr(0, 10), "FFFFFFF0  ");
    EXPECT_EQ(result.Lines[2].substr(0, 11), "100000000  ");
    const std::string& row = result.Lines[2];
    const int64_t rowOffset = 0x100000000LL;
    EXPECT_EQ(row.substr(size_t(HexDigitColumn(rowOffset, 5)), 2), "4E");
    EXPECT_EQ(row.substr(size_t(HexCharColumn(rowOffset, 5)), 6), "NEEDLE");
    EXPECT_EQ(HexCharColumn(rowOffset - 16, 5) + 1, HexCharColumn(rowOffset, 5));
    EXPECT_EQ(result.Lines[1].substr(size_t(HexCharColumn(rowOffset - 16, 0)), 16),
              std::string(16, '.'));
    // Paging back across the page boundary.
    result = view.Hex(vmUp, 4, 3);
    EXPECT_EQ(result.Pos, 0x100000000LL - 80);
    EXPECT_EQ(view.Hex(vmDown, 4, 4).Pos, 0x100000000LL - 16);

    result = view.Plain(vmAt, 3);
    EXPECT_EQ(result.Lines.front(), "first");
    result = view.Plain(vmEnd, 3);
    EXPECT_GE(result.Pos, size - 4 * KViewBlock);
    EXPECT_FALSE(result.Lines.empty());
    result = view.Plain(vmAt, 1, size - 3);
    EXPECT_EQ(result.Lines, (TLines{"last line"}));
    EXPECT_TRUE(result.AtEnd);
    result = view.Wrapped(vmEnd, 3, 80);
    EXPECT_EQ(result.Lines.back(), "last line");
    EXPECT_TRUE(result.AtEnd);
    result = view.Plain(vmAt, 3, size / 2);
    EXPECT_EQ(result.Pos, size / 2 - KViewBlock);
}

TEST(ViewFind, AgreesWithGrepAndWraps) {
    TTempDir dir;
    std::mt19937 random(3);
    std::string text;
    const char* variants[] = {"NEEDLE", "needle", "NeEdLe"};
    while (text.size() < 3 * 1048576) {
        text += char('a' + random() % 26);
        if (random() % 20000 == 0)
            text += variants[random() % 3];
    }
    // One across the first 1 MiB border, one at the very end.
    text.replace(1048576 - 3, 6, "NEEDLE");
    text += "needle";
    WriteFile(dir / "f", text);
    TView view(dir / "f");
    auto token = NewCancelToken();

    for (bool fold : {false, true}) {
        std::string pattern = fold ? "needle" : "NEEDLE";
        std::vector<int64_t> want = GrepOffsets(dir / "f", pattern, fold);
        ASSERT_GE(want.size(), 2u);
        std::vector<int64_t> forward, backward;
        bool wrapped = false;
        int progressCalls = 0;
        int64_t at = 0;
        for (;;) {
            int64_t hit = view.Data.Find(
                pattern, fold, wrapped, *token, [&](int) { ++progressCalls; }, at, true);
            ASSERT_GE(hit, 0);
            if (wrapped) {
                EXPECT_EQ(hit, want.front());
                break;
            }
            forward.push_back(hit);
            at = hit + 1;
        }
        EXPECT_EQ(forward, want) << "fold " << fold;
        EXPECT_GT(progressCalls, 0);
        at = view.Data.Size;
        for (;;) {
            int64_t hit = view.Data.Find(pattern, fold, wrapped, *token, {}, at, false);
            ASSERT_GE(hit, 0);
            if (wrapped) {
                EXPECT_EQ(hit, want.back());
                break;
            }
            backward.insert(backward.begin(), hit);
            at = hit;
        }
        EXPECT_EQ(backward, want) << "fold " << fold;
    }
    bool wrapped = false;
    EXPECT_EQ(view.Data.Find("", false, wrapped, *token, {}, 0, true), -1);
    EXPECT_EQ(view.Data.Find("absent-word", false, wrapped, *token, {}, 5, true), -1);
    EXPECT_FALSE(wrapped);
    token->Cancel();
    EXPECT_THROW(view.Data.Find("x", false, wrapped, *token, {}, 0, true), EKvCancelled);
}

TEST(ViewSummary, FoldsFrameworkFrames) {
    TTempDir dir;
    std::string trace = "Exception in thread \"main\" java.lang.IllegalStateException: boom\n"
                        "\tat org.springframework.a.B.c(B.java:1)\n"
                        "\tat org.springframework.a.B.d(B.java:2)\n"
                        "\tat org.springframework.a.B.e(B.java:3)\n"
                        "\tat app.billing.Invoice.total(Invoice.java:42)\n"
                        "Caused by: java.io.IOException\n"
                        "\tat java.base/java.io.File.open(File.java:9)\n"
                        "\tat com.acme.Proxy$$Enhancer.call(Unknown Source)\n"
                        "\t... 5 more\n"
                        "\n"
                        "done\n";
    WriteFile(dir / "trace", trace);
    TView view(dir / "trace");
    auto token = NewCancelToken();
    std::vector<int> progress;
    EXPECT_EQ(view.Data.BuildSummary(*token, [&](int APercent) { progress.push_back(APercent); }),
              2 + 3);
    EXPECT_FALSE(progress.empty());
    auto result = view.Summary(vmAt, 20);
    EXPECT_EQ(
        result.Lines,
        (TLines{"Exception in thread \"main\" java.lang.IllegalStateException: boom",
                "\tat org.springframework.a.B.c(B.java:1)", "        ... 2 lines hidden (F1 = all)",
                "\tat app.billing.Invoice.total(Invoice.java:42)", "Caused by: java.io.IOException",
                "\tat java.base/java.io.File.open(File.java:9)",
                "        ... 3 lines hidden (F1 = all)", "done"}));
    EXPECT_EQ(result.Hidden,
              (std::vector<bool>{false, false, true, false, false, false, true, false}));
    EXPECT_TRUE(result.Java);
    EXPECT_TRUE(result.AtEnd);
    // A position inside a fold lands on its placeholder; paging is by entries.
    result = view.Summary(vmAt, 2, int64_t(trace.find("B.d(")));
    EXPECT_EQ(result.Lines.front(), "        ... 2 lines hidden (F1 = all)");
    EXPECT_EQ(result.Pos, int64_t(trace.find("\tat org.springframework.a.B.d")));
    result = view.Summary(vmDown, 2, 2);
    EXPECT_EQ(result.Lines.front(), "Caused by: java.io.IOException");
    result = view.Summary(vmEnd, 3);
    EXPECT_EQ(result.Lines.back(), "done");
    // Plain pages still work and tell that they look like Java.
    EXPECT_TRUE(view.Plain(vmAt, 20).Java);

    WriteFile(dir / "plain", Numbered(50));
    TView plain(dir / "plain");
    EXPECT_EQ(plain.Data.BuildSummary(*token, {}), 0);
    EXPECT_EQ(plain.Summary(vmAt, 60).Lines.size(), 50u);
    EXPECT_FALSE(plain.Plain(vmAt, 20).Java);

    token->Cancel();
    EXPECT_THROW(plain.Data.BuildSummary(*token, {}), EKvCancelled);
}

TEST(ViewSummary, LineNearABlockEndIsReadWhole) {
    TTempDir dir;
    const int64_t lineAt = KViewScanBlock - 100;
    std::string frame = "\tat app.Main.run(Main.java:1)\n";
    std::string longName = "org.apache." + std::string(180, 'n') + ".Call";
    std::string framework = "\tat " + longName + ".go(Call.java:7)\n";
    std::string text;
    while (int64_t(text.size()) < lineAt - int64_t(frame.size()) - 40)
        text += "filler text line\n";
    text +=
        std::string(size_t(lineAt - int64_t(frame.size()) - int64_t(text.size()) - 1), 'x') + "\n";
    text += frame;
    ASSERT_EQ(int64_t(text.size()), lineAt);
    text += framework;
    // A line longer than the rest of the block, across the next border, is skipped whole.
    text += std::string(KViewScanBlock + 10, 'z') + "\n";
    text += "tail\n";
    WriteFile(dir / "f", text);
    TView view(dir / "f");
    auto token = NewCancelToken();
    EXPECT_EQ(view.Data.BuildSummary(*token, {}), 1);
    auto summary = view.Data.SummaryRows(0, 1 << 20);
    ASSERT_GE(summary.size(), 3u);
    EXPECT_EQ(summary[summary.size() - 3].Pos, lineAt);
    EXPECT_EQ(summary[summary.size() - 3].Hidden, 1);
    EXPECT_EQ(summary.back().Pos, int64_t(text.size()) - 5);
}

// The summary keeps marks, not rows: thinned out to a handful over a file of many traces, every
// page scanned again from them is the page a scan of the whole file gives.
TEST(ViewSummary, FewMarksGiveTheSameRowsAsTheWholeScan) {
    TTempDir dir;
    std::string text;
    std::mt19937 random(7);
    for (int k = 0; text.size() < 1536 * 1024; ++k) {
        switch (random() % 6) {
        case 0:
            text += "Exception " + std::to_string(k) + "\n";
            for (unsigned f = random() % 40; f > 0; --f)
                text += "\tat org.apache.x.Y" + std::to_string(f) + ".z(Y.java:1)\n";
            text += "\t... " + std::to_string(k % 9) + " more\n";
            break;
        case 1:
            text += "\tat app.Main.run(Main.java:" + std::to_string(k) + ")\n";
            break;
        case 2:
            text += "\n";
            break;
        case 3:
            // A fold longer than the marks' stride.
            for (int f = 0; f < 3000; ++f)
                text += "\tat java.util.Z.f(Z.java:" + std::to_string(f) + ")\n";
            break;
        default:
            text += "log line " + std::to_string(k) + std::string(random() % 300, '.') + "\n";
        }
    }
    WriteFile(dir / "log", text);
    auto token = NewCancelToken();
    TView whole(dir / "log");
    whole.Data.SumMarkStride = int64_t(text.size()) * 2; // one mark: every page scans from 0
    TView marked(dir / "log");
    marked.Data.SumMarkStride = 2048;
    marked.Data.SumMaxMarks = 16;
    int64_t hidden = whole.Data.BuildSummary(*token, {});
    EXPECT_EQ(marked.Data.BuildSummary(*token, {}), hidden);
    EXPECT_GT(hidden, 10000);
    EXPECT_EQ(whole.Data.SumMarks.size(), 1u);
    EXPECT_LE(marked.Data.SumMarks.size(), 16u);
    EXPECT_GE(marked.Data.SumMarks.size(), 8u);
    ASSERT_EQ(marked.Data.SumEntries, whole.Data.SumEntries);
    std::vector<std::string> texts, expectedTexts;
    auto all = whole.Data.SummaryRows(0, whole.Data.SumEntries, &expectedTexts);
    ASSERT_EQ(int64_t(all.size()), whole.Data.SumEntries);
    for (int64_t first : {int64_t(0), whole.Data.SumEntries / 3, whole.Data.SumEntries / 2,
                          whole.Data.SumEntries - 7}) {
        auto rows = marked.Data.SummaryRows(first, 40, &texts);
        ASSERT_FALSE(rows.empty());
        for (size_t k = 0; k < rows.size(); ++k) {
            EXPECT_EQ(rows[k].Pos, all[size_t(first) + k].Pos) << first << "+" << k;
            EXPECT_EQ(rows[k].Hidden, all[size_t(first) + k].Hidden);
            EXPECT_EQ(texts[k], expectedTexts[size_t(first) + k]);
        }
        // A position lands on the row that holds it.
        if (first + 5 > whole.Data.SumEntries)
            continue;
        const TKvSumEntry& target = all[size_t(first) + 2];
        auto page = marked.Summary(vmAt, 5, target.Pos + (target.Hidden > 0 ? 40 : 0));
        EXPECT_EQ(page.Pos, target.Pos);
    }
}

TEST(ViewText, HelpersTable) {
    std::string bytes;
    EXPECT_TRUE(ParseHexBytes("4D 5A 90", bytes));
    EXPECT_EQ(bytes, "\x4D\x5A\x90");
    EXPECT_TRUE(ParseHexBytes("0x4d,0X5a;x90", bytes));
    EXPECT_EQ(bytes, "\x4D\x5A\x90");
    EXPECT_FALSE(ParseHexBytes("4D5", bytes));
    EXPECT_FALSE(ParseHexBytes("4", bytes));
    EXPECT_FALSE(ParseHexBytes("", bytes));
    EXPECT_FALSE(ParseHexBytes("4G", bytes));

    EXPECT_EQ(WrapText("", 10), (TLines{""}));
    EXPECT_EQ(WrapText("abcdefghijkl", 5), (TLines{"abcde", "fghij", "kl"}));
    EXPECT_EQ(WrapText("ab cdefgh", 5), (TLines{"ab ", "cdefg", "h"}));
    EXPECT_EQ(WrapText("\xC3\xA9\xC3\xA9\xC3\xA9", 2), (TLines{"\xC3\xA9\xC3\xA9", "\xC3\xA9"}));
    EXPECT_EQ(CleanViewText(std::string("a\tb\0c", 5)), "a    b.c");

    EXPECT_EQ(DecodeViewLine("bad \xFF byte\r"), "bad \xEF\xBF\xBD byte");
    EXPECT_EQ(DecodeViewLine("cr\rin\r\r"), "cr\rin\r");

    bool framework = false;
    EXPECT_EQ(ClassifyJavaLine("\tat org.junit.Assert.fail(Assert.java:1)", framework), jlFrame);
    EXPECT_TRUE(framework);
    EXPECT_EQ(ClassifyJavaLine("  at app//com.x.Y.z(Y.java:3)", framework), jlFrame);
    EXPECT_FALSE(framework);
    EXPECT_EQ(ClassifyJavaLine("what at noDot(here)", framework), jlOther);
    EXPECT_EQ(ClassifyJavaLine("chat a.b(c)", framework), jlOther);
    EXPECT_EQ(ClassifyJavaLine("\t... 12 more", framework), jlMore);
    EXPECT_EQ(ClassifyJavaLine(" \t\r", framework), jlBlank);
    EXPECT_TRUE(LooksLikeJava("x\n at a.b(c)\n at d.e(f)\n", 100));
    EXPECT_FALSE(LooksLikeJava("x\n at a.b(c)\n at d.e(f)\n", 14));
}

TEST(ViewText, WhatReadsAsText) {
    using namespace std::string_literals;
    const std::string latin1 =
        "Gr\xfc\xdf" "e aus K\xf6ln, sch\xf6ne Stra\xdf" "e am Rhein und viele andere Worte ohne Umlaute\n";
    struct TCase {
        std::string Bytes;
        bool Text;
    } cases[] = {
        {"", true},
        {"plain words\r\n\ttabbed\fpage\n", true},
        {"\x1b[31mred\x1b[0m and a back\bspace\n", true},
        {"caf\xc3\xa9 \xe2\x86\x92 \xf0\x9f\x98\x80\n", true},
        // A character cut by the end of the sample.
        {"some text and then \xe2\x86", true},
        // A few Latin-1 letters in many words: one byte in ten at most.
        {latin1, true},
        {"text\0more text"s, false},
        {"\x7f" "ELF\x02\x01\x01"s + std::string(8, '\0'), false},
        {std::string(50, 'a') + std::string(6, '\x01'), false},
        {"\xff\xfe\xfd\xfc" "abcdefghij", false},
        {std::string(45, 'w') + "\xc0\xaf\xed\xa0\x80", true},
        {"\xc0\xaf\xed\xa0\x80\xc0\xaf" "ab", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(LooksLikeText(c.Bytes), c.Text) << c.Bytes;
}

TEST(ViewArchive, ReadOnlyEntriesAreViewedFromATemporaryCopy) {
    TTempDir dir;
    WriteFile(dir / "entry.txt", Numbered(100));
    auto fs = std::make_shared<TFaultFs>();
    fs->PretendArchive = true;
    fs->NoSeek = true;
    std::string copies = PrivateTempFolder();
    auto countCopies = [&] {
        int count = 0;
        for (const auto& item : std::filesystem::directory_iterator(copies))
            count += item.path().filename().string().rfind("kvarc-view-{", 0) == 0;
        return count;
    };
    {
        TView view(dir / "entry.txt", fs);
        auto result = view.Plain(vmEnd, 3);
        EXPECT_EQ(result.Lines, (TLines{"line 98", "line 99", "line 100"}));
        EXPECT_EQ(view.Plain(vmAt, 1, 0).Lines, (TLines{"line 1"}));
        EXPECT_EQ(countCopies(), 1);
        EXPECT_EQ(fs->Opens, 1);
    }
    EXPECT_EQ(countCopies(), 0);

    fs->FailOpen = {dir / "entry.txt"};
    TView failing(dir / "entry.txt", fs);
    EXPECT_THROW(failing.Plain(vmAt, 3), EKvFsError);
    EXPECT_EQ(countCopies(), 0);
}
