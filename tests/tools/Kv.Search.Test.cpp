#include <gtest/gtest.h>

#include <random>
#include <set>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

#include "Kv.FS.Local.h"
#include "Kv.Search.h"
#include "KvTestSupport.h"
#include "KvToolsTestFs.h"

using namespace kv;
using namespace kv::test;

namespace {

struct TOutcome {
    std::set<std::string> Hits; // paths relative to the start folder, folders end in "/"
    int Folders = 0;
    int Files = 0;
    int Reports = 0;
};

TOutcome Search(IKvFileSystem& AFs, const std::string& AStart, const TKvSearchSpec& ASpec) {
    TOutcome outcome;
    auto token = NewCancelToken();
    RunSearch(
        AFs, AStart, ASpec,
        [&](std::vector<TKvSearchHit> AHits, int AFolders, const std::string&, int AFiles) {
            for (const auto& hit : AHits) {
                EXPECT_EQ(hit.Path, AFs.Join(hit.Dir, hit.Name));
                outcome.Hits.insert(hit.Path.substr(AStart.size() + 1) + (hit.IsDir ? "/" : ""));
            }
            outcome.Folders = AFolders;
            outcome.Files = AFiles;
            ++outcome.Reports;
        },
        *token);
    return outcome;
}

void Put(const std::string& APath, const std::string& AContent = "x") {
    LocalFs()->MakeDir(LocalFs()->ParentOf(APath));
    WriteFile(APath, AContent);
}

} // namespace

TEST(SearchMasks, Normalized) {
    EXPECT_EQ(NormalizeMasks("txt"), "*txt*");
    EXPECT_EQ(NormalizeMasks("*.cpp; *.h"), "*.cpp;*.h");
    EXPECT_EQ(NormalizeMasks(" ; , "), "*");
    EXPECT_EQ(NormalizeMasks(""), "*");
    EXPECT_EQ(NormalizeMasks("a?c,,read me"), "a?c;*read me*");
    TKvSearchSpec spec = NewSearchSpec();
    EXPECT_EQ(spec.Masks, "*");
    EXPECT_TRUE(spec.Text.empty());
    EXPECT_FALSE(spec.MatchCase || spec.Subfolders);
    EXPECT_EQ(spec.MaxDepth, 0);
}

TEST(SearchNames, MasksDepthAndLinks) {
    TTempDir dir;
    Put(dir / "report.txt");
    Put(dir / "txtools.exe");
    Put(dir / "main.cpp");
    Put(dir / "sub/notes.TXT");
    Put(dir / "sub/deep/far.txt");
    Put(dir / "sub/deep/deeper/farther.txt");
    ::symlink((dir / "sub").c_str(), (dir / "txtlink").c_str());

    TKvSearchSpec spec;
    spec.Masks = "txt";
    auto outcome = Search(*LocalFs(), dir.Path(), spec);
    EXPECT_EQ(outcome.Hits, (std::set<std::string>{"report.txt", "txtools.exe", "txtlink/"}));
    EXPECT_EQ(outcome.Folders, 1);

    spec.Subfolders = true;
    spec.MaxDepth = 1;
    spec.Masks = "*.txt; *.exe";
    outcome = Search(*LocalFs(), dir.Path(), spec);
    EXPECT_EQ(outcome.Hits, (std::set<std::string>{"report.txt", "txtools.exe", "sub/notes.TXT"}));
    EXPECT_EQ(outcome.Folders, 2); // the link to sub is listed as a name, never entered

    spec.MaxDepth = 0;
    outcome = Search(*LocalFs(), dir.Path(), spec);
    EXPECT_EQ(outcome.Hits.size(), 5u);
    EXPECT_EQ(outcome.Folders, 4);
    EXPECT_EQ(outcome.Files, 6);

    spec.Masks = "deep*";
    outcome = Search(*LocalFs(), dir.Path(), spec);
    EXPECT_EQ(outcome.Hits, (std::set<std::string>{"sub/deep/", "sub/deep/deeper/"}));

    // An unreadable folder is skipped, through List as well as TryList.
    TFaultFs fs;
    fs.FailList = {dir / "sub"};
    spec.Masks = "*";
    outcome = Search(fs, dir.Path(), spec);
    EXPECT_FALSE(outcome.Hits.count("sub/notes.TXT"));
    EXPECT_TRUE(outcome.Hits.count("sub/"));
}

TEST(SearchText, ContentsCaseAndBlockBorders) {
    TTempDir dir;
    std::string big(KSearchBlock - 3, 'a');
    Put(dir / "border.bin", big + "Needle" + std::string(100, 'b'));
    Put(dir / "lower.txt", "a needle here");
    Put(dir / "accent.txt", "caf\xC3\xA9 NEEDLE");
    Put(dir / "accent2.txt", "CAF\xC3\x89");
    Put(dir / "none.txt", "nothing");
    Put(dir / "needle-folder/inside.txt", "no");

    TKvSearchSpec spec;
    spec.Text = "NEEDLE";
    spec.Subfolders = true;
    auto outcome = Search(*LocalFs(), dir.Path(), spec);
    // Folders are never hits when a text is wanted, whatever their names.
    EXPECT_EQ(outcome.Hits, (std::set<std::string>{"border.bin", "lower.txt", "accent.txt"}));
    spec.MatchCase = true;
    outcome = Search(*LocalFs(), dir.Path(), spec);
    EXPECT_EQ(outcome.Hits, (std::set<std::string>{"accent.txt"}));
    // Only A to Z fold: an accented capital finds only itself.
    spec.MatchCase = false;
    spec.Text = "CAF\xC3\x89";
    outcome = Search(*LocalFs(), dir.Path(), spec);
    EXPECT_EQ(outcome.Hits, (std::set<std::string>{"accent2.txt"}));
    // Files whose names do not match are never opened.
    TFaultFs fs;
    spec.Text = "needle";
    spec.Masks = "*.txt";
    outcome = Search(fs, dir.Path(), spec);
    EXPECT_EQ(outcome.Hits, (std::set<std::string>{"lower.txt", "accent.txt"}));
    EXPECT_EQ(fs.Opens, 5);

    auto token = NewCancelToken();
    EXPECT_TRUE(FileContains(*LocalFs(), dir / "border.bin", "needle", *token, true));
    EXPECT_FALSE(FileContains(*LocalFs(), dir / "border.bin", "needle", *token, false));
    EXPECT_FALSE(FileContains(*LocalFs(), dir / "missing", "x", *token, false));
    token->Cancel();
    EXPECT_THROW(FileContains(*LocalFs(), dir / "lower.txt", "x", *token, false), EKvCancelled);
    EXPECT_THROW(RunSearch(*LocalFs(), dir.Path(), spec, {}, *token), EKvCancelled);
}

TEST(SearchText, UnreadableFileIsSkippedQuietly) {
    TTempDir dir;
    Put(dir / "open.txt", "secret");
    Put(dir / "locked.txt", "secret");
    ::chmod((dir / "locked.txt").c_str(), 0);
    ::chmod(dir.Path().c_str(), 0755);
    std::string start = dir.Path();
    int code = RunAsNobody([&] {
        TKvSearchSpec spec;
        spec.Text = "secret";
        try {
            auto outcome = Search(*LocalFs(), start, spec);
            return outcome.Hits == std::set<std::string>{"open.txt"} ? 0 : 1;
        } catch (...) {
            return 2;
        }
    });
    EXPECT_EQ(code, 0);
}

// LC_ALL=C grep -rlF (and -rliF) find the same files as the content search.
TEST(SearchOracle, AgreesWithGrep) {
    TTempDir dir;
    std::mt19937 random(5);
    const char* words[] = {
        "alpha", "Beta", "GAMMA", "needle", "NeEdLe", "zeta\n", "\xC3\xA9t\xC3\xA9"};
    for (int k = 0; k < 80; ++k) {
        std::string content;
        int length = int(random() % 3000);
        for (int w = 0; w < length / 6; ++w)
            content += words[random() % 7] + std::string(random() % 3 ? " " : "");
        if (k % 7 == 0)
            content +=
                std::string(size_t(KSearchBlock) - content.size() % size_t(KSearchBlock) - 2, '.') +
                "needle";
        Put(dir / ("d" + std::to_string(k % 5) + "/s" + std::to_string(k % 3) + "/f" +
                   std::to_string(k)),
            content);
    }
    for (bool matchCase : {true, false}) {
        for (std::string text : {"needle", "GAMMA", "a b", "\xC3\xA9t\xC3\xA9"}) {
            TKvSearchSpec spec;
            spec.Text = text;
            spec.MatchCase = matchCase;
            spec.Subfolders = true;
            auto outcome = Search(*LocalFs(), dir.Path(), spec);
            std::istringstream out(RunCommand("cd '" + dir.Path() + "' && LC_ALL=C grep -rlF" +
                                              (matchCase ? "" : "i") + " -e '" + text + "' ."));
            std::set<std::string> grep;
            for (std::string line; std::getline(out, line);)
                grep.insert(line.substr(2));
            EXPECT_EQ(outcome.Hits, grep) << text << " case " << matchCase;
        }
    }
}
