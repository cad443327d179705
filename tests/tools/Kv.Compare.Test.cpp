#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

#include "Kv.Compare.h"
#include "Kv.FS.Local.h"
#include "KvTestSupport.h"
#include "KvToolsTestFs.h"

using namespace kv;
using namespace kv::test;

namespace {

TKvCompareOptions Strict() {
    TKvCompareOptions options;
    options.IgnoreEol = options.IgnoreBom = options.IgnoreTrailingSpace = false;
    options.IgnoreSpaceChange = options.IgnoreEndBlankLines = options.IgnoreCase = false;
    return options;
}

struct TFileResult {
    TKvCompareState State;
    std::string Note;
    bool IsText;
};

TFileResult CompareContents(const std::string& ALeft, const std::string& ARight,
                            const TKvCompareOptions& AOptions, const std::string& AName = "f.txt",
                            bool AKnownSizes = true) {
    TTempDir dir;
    WriteFile(dir / ("l-" + AName), ALeft);
    WriteFile(dir / ("r-" + AName), ARight);
    auto token = NewCancelToken();
    TFileResult result{};
    result.State =
        CompareFiles(*LocalFs(), dir / ("l-" + AName), *LocalFs(), result.Note, result.IsText,
                     *token, AOptions, AKnownSizes ? int64_t(ALeft.size()) : -1,
                     dir / ("r-" + AName), AKnownSizes ? int64_t(ARight.size()) : -1);
    return result;
}

std::map<std::string, TKvCompareRow> RunTree(IKvFileSystem& AFs, const std::string& ALeft,
                                             const std::string& ARight,
                                             const TKvCompareOptions& AOptions,
                                             const TKvCompareScope& AScope = {},
                                             std::vector<TKvCompareRow>* AOrder = nullptr) {
    std::map<std::string, TKvCompareRow> rows;
    auto token = NewCancelToken();
    RunCompare(
        AFs, ALeft, AFs,
        [&](std::vector<TKvCompareRow> ARows, int, const std::string&, int) {
            for (auto& row : ARows) {
                if (AOrder)
                    AOrder->push_back(row);
                EXPECT_TRUE(rows.emplace(RowPath(row), row).second) << RowPath(row);
            }
        },
        *token, AScope, AOptions, ARight);
    return rows;
}

void MakeTree(const std::string& ARoot, const std::map<std::string, std::string>& AFiles) {
    for (const auto& [path, content] : AFiles) {
        std::string full = ARoot + "/" + path;
        std::string parent = full.substr(0, full.rfind('/'));
        LocalFs()->MakeDir(parent);
        if (path.back() == '/')
            LocalFs()->MakeDir(full);
        else
            WriteFile(full, content);
    }
}

} // namespace

TEST(CompareText, NotesFollowTheIgnoreOptions) {
    struct TCase {
        const char* Title;
        std::string Left, Right;
        std::function<void(TKvCompareOptions&)> Set;
        TKvCompareState State;
        std::string Note;
    };
    auto none = [](TKvCompareOptions&) {};
    const std::vector<TCase> cases = {
        {"two empty files", "", "", none, crSame, ""},
        {"identical", "a\nb\n", "a\nb\n", none, crSame, ""},
        {"CRLF against LF, ignored", "a\r\nb\r\n", "a\nb\n", [](auto& o) { o.IgnoreEol = true; },
         crSameText, "differs only in line endings CRLF / LF"},
        {"CRLF against LF, strict", "a\r\nb\r\n", "a\nb\n", none, crDiffer,
         "line ending of line 1"},
        {"last line ending only", "a\n", "a", [](auto& o) { o.IgnoreEol = true; }, crSameText,
         "differs only in line endings LF / none"},
        {"three empty lines at the end", "a\nb\n", "a\nb\n\n\n\n",
         [](auto& o) { o.IgnoreEndBlankLines = true; }, crSameText,
         "differs only in blank lines at the end"},
        {"blank lines on the left", "a\n\n\n", "a\n", [](auto& o) { o.IgnoreEndBlankLines = true; },
         crSameText, "differs only in blank lines at the end"},
        {"a line of spaces is not blank by itself", "a\n", "a\n  \n",
         [](auto& o) { o.IgnoreEndBlankLines = true; }, crDiffer, "line 2 is on one side only"},
        {"a line of spaces with trailing space ignored", "a\n", "a\n  \n",
         [](auto& o) { o.IgnoreEndBlankLines = o.IgnoreTrailingSpace = true; }, crSameText,
         "differs only in blank lines at the end"},
        {"text after the blank lines", "a\n", "a\n\n\nb\n",
         [](auto& o) { o.IgnoreEndBlankLines = true; }, crDiffer, "line 2 is on one side only"},
        {"case wins over spaces", "x  Hello\n", "x hello\n",
         [](auto& o) { o.IgnoreSpaceChange = o.IgnoreCase = true; }, crSameText,
         "differs only in case"},
        {"spaces only under both options", "x  hello\n", "x hello\n",
         [](auto& o) { o.IgnoreSpaceChange = o.IgnoreCase = true; }, crSameText,
         "differs only in spaces"},
        {"case not ignored", "Hello\n", "hello\n", none, crDiffer, "line 1"},
        {"accented case is never folded", "\xC3\x89t\xC3\xA9\n", "\xC3\xA9t\xC3\xA9\n",
         [](auto& o) { o.IgnoreCase = true; }, crDiffer, "line 1"},
        {"trailing tab", "a\t\nb\n", "a\nb\n", [](auto& o) { o.IgnoreTrailingSpace = true; },
         crSameText, "differs only in spaces"},
        {"BOM on one side", "\xEF\xBB\xBFx\n", "x\n", none, crDiffer, "UTF-8 BOM on one side only"},
        {"BOM ignored", "\xEF\xBB\xBFx\n", "x\n", [](auto& o) { o.IgnoreBom = true; }, crSameText,
         "differs only in BOM"},
        {"BOM on both sides", "\xEF\xBB\xBFx\n", "\xEF\xBB\xBFy\n", none, crDiffer, "line 1"},
        {"second line differs", "a\nb\nc\n", "a\nB\nc\n", none, crDiffer, "line 2"},
        {"extra line strict", "a\nb\n", "a\nb\nc\n", none, crDiffer, "line 3 is on one side only"},
        {"every item in order",
         "\xEF\xBB\xBF"
         "a \r\nB\r\n",
         "a\nb\n\n",
         [](auto& o) {
             o.IgnoreEol = o.IgnoreBom = o.IgnoreTrailingSpace = o.IgnoreCase = true;
             o.IgnoreEndBlankLines = true;
         },
         crSameText,
         "differs only in line endings CRLF / LF, BOM, spaces, case, blank lines at the end"},
        {"mixed endings named", "a\r\nb\nc\r\n", "a\nb\nc\n", [](auto& o) { o.IgnoreEol = true; },
         crSameText, "differs only in line endings mixed / LF"},
    };
    for (const auto& c : cases) {
        TKvCompareOptions options = Strict();
        c.Set(options);
        auto result = CompareContents(c.Left, c.Right, options);
        EXPECT_EQ(result.State, c.State) << c.Title;
        EXPECT_EQ(result.Note, c.Note) << c.Title;
        EXPECT_TRUE(result.IsText) << c.Title;
    }
}

TEST(CompareText, CrLfSplitByTheReadBufferStaysOneEnding) {
    // The CR lands on the last byte of the first read, its LF on the first byte of the next.
    std::string body(KLineReaderBuffer - 1, 'x');
    std::string left = body + "\r\nend\r\n";
    std::string right = body + "\nend\n";
    TKvCompareOptions options = Strict();
    options.IgnoreEol = true;
    auto result = CompareContents(left, right, options);
    EXPECT_EQ(result.State, crSameText);
    EXPECT_EQ(result.Note, "differs only in line endings CRLF / LF");
}

TEST(CompareText, LineReaderCountsEndingsAndCutsEndlessLines) {
    TTempDir dir;
    std::string endless = "d" + std::string(3 * TLineReader::KMaxLine, 'y');
    WriteFile(dir / "f", "a\r\nb\rc\n" + endless + "\nz");
    auto stream = LocalFs()->OpenRead(dir / "f");
    auto token = NewCancelToken();
    TLineReader reader(*stream, *token);
    std::string line;
    int ending = -1;
    std::vector<std::pair<std::string, int>> got;
    for (int k = 0; k < 3 && reader.NextLine(line, ending); ++k)
        got.emplace_back(line, ending);
    EXPECT_EQ(got, (std::vector<std::pair<std::string, int>>{{"a", 2}, {"b", 3}, {"c", 1}}));
    // The endless line comes in bounded pieces without endings, then its real end.
    std::string joined;
    int pieces = 0;
    while (reader.NextLine(line, ending) && ending == 0) {
        EXPECT_LE(int64_t(line.size()), 2 * TLineReader::KMaxLine);
        joined += line;
        ++pieces;
    }
    joined += line;
    EXPECT_EQ(ending, 1);
    EXPECT_GE(pieces, 1);
    EXPECT_TRUE(joined == endless);
    ASSERT_TRUE(reader.NextLine(line, ending));
    EXPECT_EQ(line, "z");
    EXPECT_EQ(ending, 0);
    EXPECT_FALSE(reader.NextLine(line, ending));
    EXPECT_EQ(reader.EolStyle(), "mixed");
    EXPECT_EQ(reader.CrLfs, 1);
    EXPECT_EQ(reader.Crs, 1);
    EXPECT_EQ(reader.Lfs, 2);
}

TEST(CompareBinary, SizesOffsetsAndZeroBytes) {
    TKvCompareOptions options = DefaultCompareOptions();
    // Known different sizes with a binary extension: decided without opening either file.
    {
        std::string note;
        bool isText = true;
        auto token = NewCancelToken();
        EXPECT_EQ(CompareFiles(*LocalFs(), "/nonexistent/a.png", *LocalFs(), note, isText, *token,
                               options, 10, "/nonexistent/b.PNG", 12),
                  crDiffer);
        EXPECT_EQ(note, "size differs");
        EXPECT_FALSE(isText);
    }
    std::string a(8000, '\0'), b(8000, '\0');
    for (size_t k = 0; k < a.size(); ++k)
        a[k] = b[k] = char(k * 7 % 251);
    b[4096] ^= 1;
    auto result = CompareContents(a, b, options, "data.bin");
    EXPECT_EQ(result.State, crDiffer);
    EXPECT_EQ(result.Note, "first difference at byte 4,096");
    EXPECT_FALSE(result.IsText);

    result = CompareContents(a, a.substr(0, 5000), options, "data.bin", false);
    EXPECT_EQ(result.Note, "one file ends at byte 5,000");
    result = CompareContents(a, a.substr(0, 5000), options, "data.bin", true);
    EXPECT_EQ(result.Note, "size differs");
    result = CompareContents(a, a, options, "same.png");
    EXPECT_EQ(result.State, crSame);
    EXPECT_EQ(result.Note, "");

    // Text that turns binary after 300 KB: lines first, then bytes, and not text in the end.
    std::string text;
    while (text.size() < 300000)
        text += "line " + std::to_string(text.size()) + "\n";
    std::string zeroed = text + std::string(1, '\0') + "tail\n";
    result = CompareContents(zeroed, zeroed, options);
    EXPECT_EQ(result.State, crSame);
    EXPECT_FALSE(result.IsText);
    std::string changed = zeroed;
    changed[changed.size() - 2] = 'X';
    result = CompareContents(zeroed, changed, options);
    EXPECT_EQ(result.State, crDiffer);
    EXPECT_EQ(result.Note, "first difference at byte " + FormatBytes(int64_t(changed.size()) - 2));
    EXPECT_FALSE(result.IsText);
    // A zero byte read with the first lines: the lines before it still name the difference.
    std::string body;
    while (body.size() < 9000)
        body += "filler line\n";
    body += std::string(1, '\0');
    result = CompareContents("abc\n" + body, "abd\n" + body, options);
    EXPECT_EQ(result.Note, "first difference after byte 0");
    EXPECT_FALSE(result.IsText);
    // Equal lines hand the rest to the byte comparison, which counts from where they end.
    result = CompareContents("abc\nx\n" + body, "abc\ny\n" + body, options);
    EXPECT_EQ(result.Note, "first difference at byte 4");
}

TEST(CompareHelpers, TextSniffingAndNames) {
    EXPECT_TRUE(LooksLikeText("", 8192));
    EXPECT_FALSE(LooksLikeText("\xFF\xFEh\0", 8192));
    EXPECT_FALSE(LooksLikeText(std::string("ab\0c", 4), 8192));
    EXPECT_TRUE(LooksLikeText(std::string("ab\0c", 4), 2)); // only the limit counts
    std::string controls(99, 'a');
    controls += '\x01';
    EXPECT_TRUE(LooksLikeText(controls, 8192)); // 100 bytes, one control byte
    EXPECT_FALSE(LooksLikeText(controls.substr(1), 8192));
    EXPECT_TRUE(LooksLikeText("tab\tvt\vff\fbs\b\x1a\x1b\r\n", 8192));

    EXPECT_TRUE(IsBinaryExtension("photo.JPG"));
    EXPECT_TRUE(IsBinaryExtension("lib.so"));
    EXPECT_FALSE(IsBinaryExtension("notes.txt"));
    EXPECT_FALSE(IsBinaryExtension(".png"));
    EXPECT_FALSE(IsBinaryExtension("png"));

    TKvCompareOptions options = Strict();
    options.IgnoreTrailingSpace = options.IgnoreSpaceChange = options.IgnoreCase = true;
    EXPECT_EQ(NormalizeLine("\t A  B\t \xC3\x89 ", options), " a b \xC3\x89");

    TKvCompareScope scope;
    EXPECT_TRUE(ScopeIsEmpty(scope));
    EXPECT_TRUE(ScopeMatches(scope, "any"));
    scope.Names = {"Src", "docs"};
    scope.Filters = {"*.md", "rea"};
    EXPECT_TRUE(ScopeMatches(scope, "SRC"));
    EXPECT_TRUE(ScopeMatches(scope, "README"));
    EXPECT_FALSE(ScopeMatches(scope, "build"));
    EXPECT_EQ(ScopeCaption(scope), "2 marked, filter *.md, filter rea");
    EXPECT_EQ(ScopeCaption({{}, {"x"}}), "filter x");

    EXPECT_EQ(JoinRelPath(*LocalFs(), "/r", "a//b/", "n"), "/r/a/b/n");
    EXPECT_EQ(JoinRelPath(*LocalFs(), "/", ""), "/");

    TKvCompareOptions other = options;
    other.ShowSame = !other.ShowSame;
    EXPECT_TRUE(SameCompareOptions(options, other));
    other.Exclude = "x";
    EXPECT_FALSE(SameCompareOptions(options, other));
}

TEST(CompareTree, PairsClassifiesAndOrdersRows) {
    TTempDir dir;
    MakeTree(dir / "L", {{"Readme.txt", "same\n"},
                         {"a", "1\n"},
                         {"both/inner.txt", "x\n"},
                         {"both/.git/config", "l\n"},
                         {"only-left/deep.txt", "x\n"},
                         {"clash", "file\n"},
                         {"skip.bak", "x\n"},
                         {"bin.dat", std::string("\0\1\2", 3)},
                         {"text.txt", "a\r\n"}});
    MakeTree(dir / "R", {{"README.TXT", "same\n"},
                         {"a", "1\n"},
                         {"A", "2\n"},
                         {"both/inner.txt", "y\n"},
                         {"both/.git/config", "r\n"},
                         {"clash/x", "x\n"},
                         {"right.txt", "r\n"},
                         {"bin.dat", std::string("\0\1\3", 3)},
                         {"text.txt", "a\n"}});
    TKvCompareOptions options = DefaultCompareOptions();
    options.Exclude = " .git; *.bak ";
    std::vector<TKvCompareRow> order;
    auto rows = RunTree(*LocalFs(), dir / "L", dir / "R", options, {}, &order);

    std::map<std::string, std::pair<TKvCompareState, std::string>> want = {
        {"Readme.txt", {crSame, ""}},
        {"a", {crSame, ""}},
        {"A", {crRightOnly, ""}},
        {"both/inner.txt", {crDiffer, "line 1"}},
        {"only-left", {crLeftOnly, ""}},
        {"clash", {crKindClash, "a file on the left, a folder on the right"}},
        {"right.txt", {crRightOnly, ""}},
        {"bin.dat", {crDiffer, "first difference at byte 2"}},
        {"text.txt", {crSameText, "differs only in line endings CRLF / LF"}},
    };
    ASSERT_EQ(rows.size(), want.size());
    for (const auto& [path, expected] : want) {
        ASSERT_TRUE(rows.count(path)) << path;
        EXPECT_EQ(rows[path].State, expected.first) << path;
        EXPECT_EQ(rows[path].Note, expected.second) << path;
    }
    EXPECT_EQ(rows["Readme.txt"].Right.Name, "README.TXT");
    EXPECT_TRUE(rows["text.txt"].IsText);
    EXPECT_FALSE(rows["bin.dat"].IsText);
    EXPECT_EQ(rows["A"].Left.Name, "A");
    EXPECT_FALSE(rows["A"].HasLeft);

    // Folder rows first, then names without regard to case; subfolders after their parent.
    std::vector<std::string> paths;
    for (const auto& row : order)
        paths.push_back(RowPath(row));
    EXPECT_EQ(paths,
              (std::vector<std::string>{"clash", "only-left", "A", "a", "bin.dat", "Readme.txt",
                                        "right.txt", "text.txt", "both/inner.txt"}));

    // Without subfolders the common folder is neither a row nor entered.
    options.Subfolders = false;
    rows = RunTree(*LocalFs(), dir / "L", dir / "R", options);
    EXPECT_FALSE(rows.count("both/inner.txt"));
    EXPECT_FALSE(rows.count("both"));

    // A scope of one marked folder: only it at the top, everything inside it.
    options.Subfolders = true;
    TKvCompareScope scope;
    scope.Names = {"BOTH"};
    rows = RunTree(*LocalFs(), dir / "L", dir / "R", options, scope);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_TRUE(rows.count("both/inner.txt"));
}

TEST(CompareTree, CaseBlindPairsKeepEachSidesSpelling) {
    TTempDir dir;
    MakeTree(dir / "L", {{"Src/Main.cpp", "int x;\n"}, {"Src/new.h", "h\n"}});
    MakeTree(dir / "R", {{"src/main.CPP", "int x;\n"}});
    auto rows = RunTree(*LocalFs(), dir / "L", dir / "R", DefaultCompareOptions());
    ASSERT_EQ(rows.size(), 2u);
    const TKvCompareRow& same = rows.at("Src/Main.cpp");
    EXPECT_EQ(same.State, crSame) << same.Note;
    EXPECT_EQ(same.LeftDir, "Src");
    EXPECT_EQ(same.RightDir, "src");
    EXPECT_EQ(RowSidePath(*LocalFs(), dir / "R", same, rsRight), dir / "R/src/main.CPP");

    // A copy to the right goes into the right side's own folder, under the file's own name.
    TKvCompareRow leftOnly = rows.at("Src/new.h");
    EXPECT_EQ(leftOnly.State, crLeftOnly);
    std::string target = RowSideFolder(*LocalFs(), dir / "R", leftOnly, rsRight);
    EXPECT_EQ(target, dir / "R/src");
    WriteFile(target + "/" + leftOnly.Left.Name, "h\n");
    auto token = NewCancelToken();
    RecheckRow(*LocalFs(), dir / "L", *LocalFs(), leftOnly, *token, DefaultCompareOptions(),
               dir / "R");
    EXPECT_EQ(leftOnly.State, crSame);
    EXPECT_TRUE(leftOnly.HasRight);
    EXPECT_FALSE(Exists(dir / "R/Src"));

    // Recheck reads each side afresh: gone from the left, then from both.
    ::unlink((dir / "L/Src/new.h").c_str());
    RecheckRow(*LocalFs(), dir / "L", *LocalFs(), leftOnly, *token, DefaultCompareOptions(),
               dir / "R");
    EXPECT_EQ(leftOnly.State, crRightOnly);
    EXPECT_EQ(leftOnly.Left.Name, "new.h");
    ::unlink((dir / "R/src/new.h").c_str());
    RecheckRow(*LocalFs(), dir / "L", *LocalFs(), leftOnly, *token, DefaultCompareOptions(),
               dir / "R");
    EXPECT_EQ(leftOnly.State, crError);
    EXPECT_EQ(leftOnly.Note, "gone from both sides");
}

TEST(CompareTree, AmbiguousCaseAndFolderCopiedLater) {
    TTempDir dir;
    MakeTree(dir / "L", {{"x", "1\n"}, {"docs/", ""}});
    MakeTree(dir / "R", {{"X", "1\n"}, {"x ", "1\n"}});
    MakeTree(dir / "R", {{"Docs/a", "1\n"}, {"DOCS/b", "1\n"}});
    auto rows = RunTree(*LocalFs(), dir / "L", dir / "R", DefaultCompareOptions());
    // "x" pairs with "X" (the only spelling that folds alike); two folders that fold alike are
    // ambiguous and pair with nothing.
    EXPECT_EQ(rows.at("x").State, crSame);
    EXPECT_EQ(rows.at("docs").State, crLeftOnly);
    EXPECT_EQ(rows.at("Docs").State, crRightOnly);
    EXPECT_EQ(rows.at("DOCS").State, crRightOnly);

    TKvCompareRow row = rows.at("docs");
    LocalFs()->MakeDir(dir / "R/docs");
    auto token = NewCancelToken();
    RecheckRow(*LocalFs(), dir / "L", *LocalFs(), row, *token, DefaultCompareOptions(), dir / "R");
    EXPECT_EQ(row.State, crSame);
    EXPECT_EQ(row.Note, "folder on both sides now, its files not compared again");
}

TEST(CompareTree, FailuresBecomeRowsBelowTheTopAndRaiseAtIt) {
    TTempDir dir;
    MakeTree(dir / "L", {{"sub/a.txt", "a\n"}, {"f.txt", "x\n"}});
    MakeTree(dir / "R", {{"sub/a.txt", "a\n"}, {"f.txt", "y\n"}});
    TFaultFs fs;
    fs.FailList = {dir / "R/sub"};
    fs.FailOpen = {dir / "L/f.txt"};
    auto rows = RunTree(fs, dir / "L", dir / "R", DefaultCompareOptions());
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows.at("sub").State, crError);
    EXPECT_EQ(rows.at("sub").Note, "right: " + dir / "R/sub: listing refused");
    EXPECT_TRUE(rows.at("sub").Left.IsDir);
    EXPECT_EQ(rows.at("f.txt").State, crError);
    EXPECT_EQ(rows.at("f.txt").Note, dir / "L/f.txt: read refused");

    fs.FailList = {dir / "L"};
    try {
        RunTree(fs, dir / "L", dir / "R", DefaultCompareOptions());
        FAIL() << "no exception";
    } catch (const EKvFsError& e) {
        EXPECT_EQ(std::string(e.what()), dir / "L: listing refused");
    }

    auto token = NewCancelToken();
    token->Cancel();
    EXPECT_THROW(RunCompare(*LocalFs(), dir / "L", *LocalFs(), {}, *token, {},
                            DefaultCompareOptions(), dir / "R"),
                 EKvCancelled);
}

TEST(CompareTree, ReportsBatchesWithCounts) {
    TTempDir dir;
    std::map<std::string, std::string> files;
    for (int k = 0; k < 30; ++k)
        files["d" + std::to_string(k % 3) + "/f" + std::to_string(k)] = "x\n";
    MakeTree(dir / "L", files);
    MakeTree(dir / "R", files);
    auto token = NewCancelToken();
    int rows = 0, lastFolders = 0, lastFiles = 0, reports = 0;
    std::string lastCurrent = "unset";
    RunCompare(
        *LocalFs(), dir / "L", *LocalFs(),
        [&](std::vector<TKvCompareRow> ARows, int AFolders, const std::string& ACurrent,
            int AFiles) {
            rows += int(ARows.size());
            lastFolders = AFolders;
            lastFiles = AFiles;
            lastCurrent = ACurrent;
            ++reports;
        },
        *token, {}, DefaultCompareOptions(), dir / "R");
    EXPECT_EQ(rows, 30);
    EXPECT_EQ(lastFolders, 4);
    EXPECT_EQ(lastFiles, 30);
    EXPECT_EQ(lastCurrent, "");
    EXPECT_GE(reports, 1);
}

// GNU diff -rq and cmp, on strict settings, agree with the compare about every name.
TEST(CompareOracle, AgreesWithDiffAndCmp) {
    TTempDir dir;
    std::mt19937 random(7);
    auto text = [&](int ALines) {
        std::string out;
        for (int k = 0; k < ALines; ++k)
            out += "line " + std::to_string(random() % 5) + (random() % 4 ? "\n" : "\r\n");
        return out;
    };
    std::map<std::string, std::string> left, right;
    for (int k = 0; k < 60; ++k) {
        std::string folder = k % 3 == 0 ? "" : "d" + std::to_string(k % 4) + "/";
        std::string name = folder + "file" + std::to_string(k) + (k % 5 == 0 ? ".bin" : ".txt");
        std::string content = k % 5 == 0 ? std::string(size_t(100 + k), char(k)) + '\0' : text(k);
        switch (k % 6) {
        case 0: // identical
        case 1:
            left[name] = right[name] = content;
            break;
        case 2: { // one byte changed
            left[name] = right[name] = content + "z";
            right[name][right[name].size() / 2] ^= 0x20;
            break;
        }
        case 3:
            left[name] = content;
            break;
        case 4:
            right[name] = content;
            break;
        case 5: // a prefix
            left[name] = content + "more\n";
            right[name] = content;
            break;
        }
    }
    MakeTree(dir / "L", left);
    MakeTree(dir / "R", right);
    LocalFs()->MakeDir(dir / "L/emptyleft");

    auto rows = RunTree(*LocalFs(), dir / "L", dir / "R", Strict());
    std::set<std::string> kolvan, gnu;
    for (const auto& [path, row] : rows) {
        ASSERT_NE(row.State, crError) << path << ": " << row.Note;
        ASSERT_NE(row.State, crSameText) << path;
        if (row.State == crDiffer)
            kolvan.insert("differ " + path);
        else if (row.State == crLeftOnly)
            kolvan.insert("left " + path);
        else if (row.State == crRightOnly)
            kolvan.insert("right " + path);
        if (row.HasLeft && row.HasRight) {
            int code = -1;
            RunCommand("cmp -s '" + dir / "L/" + path + "' '" + dir / "R/" + path + "'", &code);
            EXPECT_EQ(code == 0, row.State == crSame) << path;
        }
    }
    std::istringstream out(RunCommand("cd '" + dir.Path() + "' && LC_ALL=C diff -rq L R"));
    for (std::string line; std::getline(out, line);) {
        if (line.rfind("Files L/", 0) == 0) {
            gnu.insert("differ " + line.substr(8, line.find(" and ") - 8));
        } else if (line.rfind("Only in ", 0) == 0) {
            std::string where = line.substr(8, line.find(": ") - 8);
            std::string name = line.substr(line.find(": ") + 2);
            std::string rel = where.size() > 1 ? where.substr(2) + "/" : "";
            gnu.insert((where[0] == 'L' ? "left " : "right ") + rel + name);
        } else {
            ADD_FAILURE() << "unexpected diff output: " << line;
        }
    }
    EXPECT_EQ(kolvan, gnu);
    EXPECT_GT(gnu.size(), 20u);
}
