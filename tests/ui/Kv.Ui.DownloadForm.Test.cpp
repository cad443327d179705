#include <gtest/gtest.h>

#include <QMessageBox>
#include <QTest>

#include "Kv.Ui.DownloadForm.h"
#include "KvMemoryFs.h"
#include "KvTestSupport.h"
#include "UiModalDriver.h"

using namespace kv;
using namespace kv::test;

namespace {

TEST(DownloadForm, LargeFilesComeThroughTheWindowAndNothingIsLeftWhenTheyDoNot) {
    auto mem = std::make_shared<TKvMemoryFs>("mem:server");
    std::string big(3 * 1048576 + 5, 'x');
    mem->AddFile("/big.bin", big);
    auto faulty = std::make_shared<TKvFaultFs>(mem);
    TTempDir dir;
    const std::string local = dir / "big.bin";

    TKvEditDownload downloader = NewEditDownloader();
    EXPECT_EQ(downloader(mem, "/big.bin", local, 1048575), 0) << "small files come in the background";
    EXPECT_EQ(downloader(mem, "/big.bin", local, -1), 0);
    EXPECT_FALSE(Exists(local));
    EXPECT_EQ(downloader(mem, "/big.bin", local, static_cast<int64_t>(big.size())), 1);
    EXPECT_EQ(ReadFile(local), big);

    // Cancelled while a read waits: no copy is left.
    faulty->AddFault({foRead, 3, 1, true});
    {
        TModalDriver driver({{IsDialog("Download"), [&](QWidget* AForm) {
                                  ASSERT_TRUE(faulty->WaitBlocked());
                                  ButtonNamed(AForm, "Cancel")->click();
                                  faulty->Release();
                              }}});
        EXPECT_FALSE(DownloadWithDialog(nullptr, faulty, "/big.bin", local, static_cast<int64_t>(big.size())));
    }
    EXPECT_FALSE(Exists(local));

    // A failed read: the error is shown and the partial copy goes.
    faulty->AddFault({foRead, 6, 1});
    QString shown;
    {
        TModalDriver driver({{IsMessageBox(), [&shown](QWidget* ABox) {
                                  shown = static_cast<QMessageBox*>(ABox)->text();
                                  static_cast<QMessageBox*>(ABox)->accept();
                              }}});
        EXPECT_FALSE(DownloadWithDialog(nullptr, faulty, "/big.bin", local, static_cast<int64_t>(big.size())));
    }
    EXPECT_EQ(shown.toStdString().rfind("The file could not be downloaded: ", 0), 0u) << shown.toStdString();
    EXPECT_FALSE(Exists(local));
}

} // namespace
