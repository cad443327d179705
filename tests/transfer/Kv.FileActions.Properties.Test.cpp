#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include "Kv.FS.Local.h"
#include "Kv.FileActions.h"
#include "KvMemoryFs.h"
#include "KvTestSupport.h"

using namespace kv;
using namespace kv::test;

namespace {

std::string Value(const std::vector<TKvProp>& AProps, const std::string& AName) {
    for (const auto& prop : AProps)
        if (prop.Name == AName)
            return prop.Value;
    return "(none)";
}

TEST(Properties, PermissionsAndSizes) {
    struct TCase {
        uint32_t Mode;
        const char* Text;
    } cases[] = {
        {0755, "rwxr-xr-x (0755)"}, {0100644, "rw-r--r-- (0644)"}, {04755, "rwsr-xr-x (4755)"},
        {04644, "rwSr--r-- (4644)"}, {02750, "rwxr-s--- (2750)"}, {02740, "rwxr-S--- (2740)"},
        {01777, "rwxrwxrwt (1777)"}, {01776, "rwxrwxrwT (1776)"}, {0, "--------- (0000)"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(PermissionsText(c.Mode), c.Text);
    EXPECT_EQ(PropertySizeText(1023), "1,023 bytes");
    EXPECT_EQ(PropertySizeText(1024), "1,024 bytes (1 KB)");
}

TEST(Properties, LocalFilesLinksAndFolders) {
    TTempDir dir;
    WriteFile(dir / "data.txt", std::string(1024, 'x'));
    ::chmod((dir / "data.txt").c_str(), 04750);
    ::symlink("data.txt", (dir / "link").c_str());
    ::symlink("missing", (dir / "broken").c_str());
    ::mkdir((dir / "sub").c_str(), 0700);
    auto describe = [](const std::string& APath) { return "described " + LocalFs()->NameOf(APath); };

    auto file = CollectProperties(LocalFs(), dir / "data.txt", describe);
    EXPECT_EQ(Value(file, "Name"), "data.txt");
    EXPECT_EQ(Value(file, "Folder"), dir.Path());
    EXPECT_EQ(Value(file, "Path"), dir / "data.txt");
    EXPECT_EQ(Value(file, "Type"), "described data.txt");
    EXPECT_EQ(Value(file, "Size"), "1,024 bytes (1 KB)");
    EXPECT_EQ(Value(file, "Permissions"), "rwsr-x--- (4750)");
    EXPECT_EQ(Value(file, "Owner"), "root");
    EXPECT_EQ(Value(file, "Group"), "root");
    EXPECT_EQ(Value(file, "Link target"), "(none)");
    EXPECT_EQ(Value(file, "Modified").size(), 19u) << Value(file, "Modified");

    auto link = CollectProperties(LocalFs(), dir / "link", describe);
    EXPECT_EQ(Value(link, "Type"), "described link, link");
    EXPECT_EQ(Value(link, "Link target"), "data.txt");
    EXPECT_EQ(Value(link, "Permissions"), "rwsr-x--- (4750)");
    EXPECT_EQ(Value(link, "Size"), "(none)");

    auto broken = CollectProperties(LocalFs(), dir / "broken");
    EXPECT_EQ(Value(broken, "Type"), "Link, link that leads nowhere");
    EXPECT_EQ(Value(broken, "Link target"), "missing");

    auto folder = CollectProperties(LocalFs(), dir / "sub", describe);
    EXPECT_EQ(Value(folder, "Type"), "Folder");
    EXPECT_EQ(Value(folder, "Size"), "(none)");
    EXPECT_EQ(Value(folder, "Permissions"), "rwx------ (0700)");

    auto gone = CollectProperties(LocalFs(), dir / "gone");
    EXPECT_EQ(Value(gone, "Problem"), "No such file or directory");
}

TEST(Properties, ServerFiles) {
    auto mem = std::make_shared<TKvMemoryFs>("mem:server");
    mem->SetDisplayPrefix("host:");
    mem->AddFile("/srv/.hidden", "12345");
    auto props = CollectProperties(mem, "/srv/.hidden");
    EXPECT_EQ(Value(props, "Path"), "host:/srv/.hidden");
    EXPECT_EQ(Value(props, "Server"), "host:");
    EXPECT_EQ(Value(props, "Type"), "File");
    EXPECT_EQ(Value(props, "Size"), "5 bytes");
    EXPECT_EQ(Value(props, "Attributes"), "hidden (the name starts with a dot)");
    EXPECT_EQ(Value(CollectProperties(mem, "/srv/gone"), "Problem"), "The server does not know this name any more");
}

} // namespace
