#include <gtest/gtest.h>

#include "Kv.FS.Local.h"
#include "Kv.SearchModel.h"
#include "KvMemoryFs.h"
#include "KvTestSupport.h"

using namespace kv;
using namespace kv::test;

TEST(SearchFields, DialogFieldsBecomeTheRequest) {
    struct TCase {
        std::string Masks, Levels;
        std::string WantMasks;
        int WantDepth;
    };
    for (const TCase& c : std::vector<TCase>{{"", "", "*", 0},
                                             {"  *.txt; *.log ", " 2 ", "*.txt; *.log", 2},
                                             {"   ", "abc", "*", 0},
                                             {"a", "-3", "a", 0},
                                             {"a", "4x", "a", 0}}) {
        TKvSearchSpec spec = SearchSpecFromFields(c.Masks, " Some text ", true, true, c.Levels);
        EXPECT_EQ(spec.Masks, c.WantMasks) << c.Masks;
        EXPECT_EQ(spec.MaxDepth, c.WantDepth) << c.Levels;
        EXPECT_EQ(spec.Text, " Some text ");
        EXPECT_TRUE(spec.MatchCase && spec.Subfolders);
    }
    // The folder column keeps at least its minimum before the size column.
    EXPECT_EQ(HitColumns(820, 110, 80).Size, 710);
    EXPECT_EQ(HitColumns(820, 110, 80).Folder, 278);
    EXPECT_EQ(HitColumns(250, 110, 80).Folder, 80);
    TKvSearchHit hit;
    hit.Size = 1234567;
    EXPECT_EQ(HitSizeText(hit), FormatBytes(1234567));
    hit.IsDir = true;
    EXPECT_EQ(HitSizeText(hit), "<DIR>");
}

namespace {

struct TSearch {
    TDeliverQueue Queue;
    std::shared_ptr<TKvMemoryFs> Memory = std::make_shared<TKvMemoryFs>();
    std::shared_ptr<TKvFaultFs> Fs = std::make_shared<TKvFaultFs>(Memory);
    std::unique_ptr<TKvSearchModel> Model;
    std::vector<std::tuple<std::string, std::string, bool>> GoTos;

    TSearch() {
        // 120 files at the top fill a batch before the folder below is listed.
        Memory->AddDir("/root");
        for (int k = 0; k < 120; ++k)
            Memory->AddFile("/root/top" + std::to_string(k) + ".txt", "x");
        Memory->AddDir("/root/sub");
        Memory->AddFile("/root/sub/deep.txt", "needle");
        Memory->AddFile("/root/sub/other.log", "needle");
    }
    void Open(TKvSearchSpec ASpec) {
        Model = std::make_unique<TKvSearchModel>(
            Fs, "/root", "mem:/root", ASpec,
            [this](IKvFileSystemPtr AFs, const std::string& APath, bool AIsDir) {
                EXPECT_EQ(AFs, Fs);
                GoTos.emplace_back(APath, "", AIsDir);
            });
        Model->Start();
    }
};

} // namespace

TEST(SearchModel, HitsArriveInBatchesAndKeepTheUsersRow) {
    TSearch search;
    search.Fs->AddFault({foList, 2, 1, true, false}); // the folder below waits
    TKvSearchSpec spec = NewSearchSpec();
    spec.Masks = "txt";
    spec.Subfolders = true;
    search.Open(spec);
    ASSERT_TRUE(search.Queue.PumpUntil([&] { return !search.Model->Hits().empty(); }));
    ASSERT_TRUE(search.Fs->WaitBlocked());
    search.Queue.Pump();
    const size_t first = search.Model->Hits().size();
    EXPECT_GE(first, 100u);
    EXPECT_LE(first, 120u);
    EXPECT_EQ(search.Model->Selected(), 0); // the first batch selects the first row
    EXPECT_EQ(search.Model->StatusText().substr(0, 14), " Searching... ");
    EXPECT_NE(search.Model->StatusText().find("(Esc to stop)   /root"), std::string::npos);
    search.Model->Select(5);
    search.Fs->Release();
    ASSERT_TRUE(search.Queue.PumpUntil([&] { return !search.Model->Running(); }));
    EXPECT_EQ(search.Model->Hits().size(), 121u);
    EXPECT_EQ(search.Model->Selected(), 5);
    EXPECT_EQ(search.Model->StatusText(),
              " Done: 121 found in 2 folders and 122 files   Enter = go to it, F3 = view, Esc = "
              "close");
    EXPECT_EQ(search.Model->Hits().back().Path, "/root/sub/deep.txt");

    search.Model->Select(120);
    search.Model->GoToSelected();
    ASSERT_EQ(search.GoTos.size(), 1u);
    EXPECT_EQ(std::get<0>(search.GoTos[0]), "/root/sub/deep.txt");
    TKvSearchHit hit;
    EXPECT_TRUE(search.Model->SelectedFile(hit));
    EXPECT_TRUE(search.Model->Escape()); // finished: Esc closes
}

TEST(SearchModel, EscStopsAndKeepsWhatWasFound) {
    TSearch search;
    search.Fs->AddFault({foList, 2, 1, true, false});
    TKvSearchSpec spec = NewSearchSpec();
    spec.Subfolders = true;
    search.Open(spec);
    ASSERT_TRUE(search.Fs->WaitBlocked());
    ASSERT_TRUE(search.Queue.PumpUntil([&] { return !search.Model->Hits().empty(); }));
    EXPECT_FALSE(search.Model->Escape());
    EXPECT_FALSE(search.Model->Running());
    const size_t found = search.Model->Hits().size();
    search.Fs->Release();
    search.Queue.PumpUntil([] { return false; }, 300);
    EXPECT_EQ(search.Model->Hits().size(), found);
    EXPECT_EQ(search.Model->StatusText().substr(0, 10), " Stopped: ");
    EXPECT_EQ(search.Model->StatusText().find("Stopped", 3), std::string::npos);
    EXPECT_TRUE(search.Model->Escape());

    // A folder hit goes to its folder; F3 leaves it alone.
    TSearch folders;
    spec.Masks = "sub";
    folders.Open(spec);
    ASSERT_TRUE(folders.Queue.PumpUntil([&] { return !folders.Model->Running(); }));
    ASSERT_EQ(folders.Model->Hits().size(), 1u);
    TKvSearchHit hit;
    EXPECT_FALSE(folders.Model->SelectedFile(hit));
    folders.Model->GoToSelected();
    ASSERT_EQ(folders.GoTos.size(), 1u);
    EXPECT_TRUE(std::get<2>(folders.GoTos[0]));
}
