#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "Kv.RunStore.h"
#include "KvTestSupport.h"

using namespace kv;
using namespace kv::test;

namespace {

class RunStore : public ::testing::Test {
protected:
    TTempDir Dir;
    std::string File = Dir / "runas.json";
    void SetUp() override { SetRunMemoryFile(File); }
    void TearDown() override { SetRunMemoryFile({}); }
    // As a new Kolvan would find it.
    void Reload() { SetRunMemoryFile(File); }
};

TEST_F(RunStore, EachWayOfRunningKeepsItsParametersAcrossRuns) {
    RememberParams(LocalRunKey("/x/Tool"), false, "-v 'a b'");
    RememberParams(LocalRunKey("/x/Tool"), true, "--admin");
    Reload();
    TKvRunMemory memory = GetRunMemory("/x/Tool");
    EXPECT_TRUE(memory.Known);
    EXPECT_TRUE(memory.LastAdmin);
    EXPECT_EQ(memory.Params, "-v 'a b'");
    EXPECT_EQ(memory.AdminParams, "--admin");
    // Names differ by case here: another file, another memory.
    EXPECT_FALSE(GetRunMemory(LocalRunKey("/x/tool")).Known);

    auto json = nlohmann::json::parse(ReadFile(File));
    EXPECT_EQ(json["version"], 1);
    EXPECT_EQ(json["files"]["/x/Tool"],
              nlohmann::json::parse(R"({"parameters":"-v 'a b'","adminParameters":"--admin","lastAdmin":true})"));
    EXPECT_NE(ReadFile(File).find("\n  \"files\": {\n"), std::string::npos) << "two-space indentation";
}

TEST_F(RunStore, OpenersPerFileAndPerExtension) {
    EXPECT_EQ(ExtensionRunKey("/x/Report.PDF"), "ext|.pdf");
    EXPECT_EQ(TerminalExtensionRunKey("/x/make.Sh"), "rext|.sh");
    EXPECT_EQ(ExtensionRunKey("/x/.bashrc"), "ext|");
    EXPECT_EQ(TerminalRunKey("conn-1", "/home/A"), "conn-1|/home/A");

    RememberOpenWith("ext|.pdf", "");
    EXPECT_FALSE(Exists(File)) << "forgetting what was never known writes nothing";
    RememberOpenWith("ext|.pdf", "/usr/bin/evince");
    RememberOpenWith("/x/a.pdf", "/usr/bin/okular");
    Reload();
    EXPECT_EQ(GetRunMemory("ext|.pdf").OpenWith, "/usr/bin/evince");
    EXPECT_EQ(GetRunMemory("/x/a.pdf").OpenWith, "/usr/bin/okular");
    RememberOpenWith("/x/a.pdf", "");
    Reload();
    EXPECT_EQ(GetRunMemory("/x/a.pdf").OpenWith, "");
    EXPECT_EQ(nlohmann::json::parse(ReadFile(File))["files"]["/x/a.pdf"].count("openWith"), 0u);
}

TEST_F(RunStore, DamagedFilesGiveWhatCanBeRead) {
    struct TCase {
        std::string Text;
        TKvRunMemory Expected;
    } cases[] = {
        {R"({"version":1,"files":{"k":{"parameters":"p","lastAdmin":"true","openWith":5}}})", {"p", "", false, "", true}},
        {R"({"files":{"k":{"adminParameters":"a","lastAdmin":true}, "other": 3}})", {"", "a", true, "", true}},
        {R"({"files":{"k":{"parameters":"p"}}, "files2": )", {}},
        {"[1,2]", {}},
        {"", {}},
        {std::string(1000, '[') , {}},
    };
    for (const auto& c : cases) {
        WriteFile(File, c.Text);
        Reload();
        EXPECT_EQ(GetRunMemory("k"), c.Expected) << c.Text;
        EXPECT_FALSE(GetRunMemory("other").Known);
    }
}

} // namespace
