// Real shells (bash, zsh, dash, mksh, ksh93, fish) report a folder whose name holds BEL, ESC, a
// newline and a byte that is not UTF-8; what they send goes through the terminal's own reader.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "Kv.Platform.Pty.h"
#include "Kv.Shell.Local.h"
#include "KvRealShell.h"
#include "KvTestSupport.h"
#include "VtTestUtil.h"

namespace kv {
namespace {

class ShellFolderReport : public test::TRealShellTest {
protected:
    void TearDown() override {
        TRealShellTest::TearDown();
        ::unsetenv("KV_TEST_HOSTILE");
        ::unsetenv("KV_TEST_PLAIN");
    }
    // The report as every reporter writes it.
    static std::string Report(const std::string& APath) {
        return "\x1b]7;file://" + HostName() + FolderReportPath(APath) + "\x07";
    }
    // Waits for the report of APath and checks it independently of FolderReportPath: printable
    // ASCII only, and decoded it names exactly APath.
    void ExpectReport(const std::string& APath, const std::string& AAfter = "") {
        const std::string report = Report(APath);
        ASSERT_TRUE(FScreen.WaitFor(report + AAfter)) << FScreen.Output();
        FScreen.SkipPast(report + AAfter);
        const std::string payload = report.substr(4, report.size() - 5);
        for (unsigned char c : payload)
            EXPECT_TRUE(c > 0x20 && c < 0x7F) << "byte " << int(c) << " in " << payload;
        EXPECT_EQ(PercentDecode(payload), "file://" + HostName() + APath);
    }
};

TEST_P(ShellFolderReport, AFolderNameCannotBreakOrForgeTheReport) {
    test::TTempDir dir;
    // Sent raw, the name would end the report at the BEL and go on with a ConEmu report of "etc"
    // and the start of another OSC 7.
    const std::string hostile = dir / "x\a\x1b]9;9;etc\a\x1b]7;file:\n\xe9 y%41";
    const std::string plain = dir / "caf\xe9 \xc3\xbc%41";
    std::filesystem::create_directory(hostile);
    std::filesystem::create_directory(plain);
    // Typed, BEL and ESC would go to the line editor: the shell reads the names from its
    // environment.
    ::setenv("KV_TEST_HOSTILE", hostile.c_str(), 1);
    ::setenv("KV_TEST_PLAIN", plain.c_str(), 1);
    FShell = TKvLocalShell::Create(dir.Path(), GetParam());
    FScreen.Attach(*FShell);
    FShell->Start(200, 24);
    ExpectReport(dir.Path());

    FShell->Write(" cd \"$KV_TEST_HOSTILE\"\r");
    ExpectReport(hostile);
    FShell->Write(" cd \"$KV_TEST_PLAIN\"\r");
    ExpectReport(plain);
    if (Name() == "bash" || Name() == "zsh") {
        // The command typed into remote shells has its own bash and zsh reporters.
        FShell->Write(FolderReportCommand() + "\r");
        FShell->Write(" cd \"$KV_TEST_HOSTILE\"\r");
        ExpectReport(hostile, "\x1b]7701;");
    }

    // The terminal reads it all, prompts and titles included (fish prints the name raw in
    // both): the folder is never one the shell was not in, the hostile one is refused, and the
    // plain one names exactly that folder.
    const std::string output = FScreen.Output();
    const std::string dirUrl = Report(dir.Path()).substr(4, Report(dir.Path()).size() - 5);
    const std::string plainUrl = Report(plain).substr(4, Report(plain).size() - 5);
    test::TVt vt(200, 24);
    bool sawPlain = false;
    for (char c : output) {
        vt << std::string_view(&c, 1);
        if (c != '\a')
            continue;
        const std::string cwd = vt.Screen.Cwd();
        EXPECT_TRUE(cwd.empty() || cwd == dirUrl || cwd == plainUrl) << cwd;
        if (cwd == plainUrl) {
            sawPlain = true;
            EXPECT_EQ(FileUrlToLocalPath(cwd, HostName()), plain);
        }
    }
    EXPECT_TRUE(sawPlain) << output;
    EXPECT_EQ(vt.Screen.Cwd(), Name() == "bash" || Name() == "zsh" ? "" : plainUrl)
        << "the hostile folder is refused: no folder is known in it";
}

INSTANTIATE_TEST_SUITE_P(Shells, ShellFolderReport,
                         ::testing::Values("/bin/bash", "/bin/zsh", "/bin/dash", "/usr/bin/mksh",
                                           "/usr/bin/ksh93", "/usr/bin/fish"),
                         [](const auto& AInfo) {
                             return std::filesystem::path(AInfo.param).filename().string();
                         });

} // namespace
} // namespace kv
