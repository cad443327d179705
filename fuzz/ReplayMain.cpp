// Feeds every file of the given folders to the fuzz target once; a crash fails the test, and so
// does a folder that is missing or empty (a renamed corpus would otherwise replay nothing).
// Runs in a private folder like every other test program, removed at the end.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "KvTestRoot.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize);

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s CORPUS_FOLDER...\n", argv[0]);
        return 2;
    }
    std::string root = kv::test::MakeTestRoot();
    if (root.empty())
        return 2;
    int failures = 0;
    for (int i = 1; i < argc; ++i) {
        int count = 0;
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator(argv[i], ec)) {
            if (!entry.is_regular_file())
                continue;
            std::ifstream in(entry.path(), std::ios::binary);
            std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
            ++count;
        }
        if (ec || count == 0) {
            std::fprintf(stderr, "%s: %s\n", argv[i], ec ? ec.message().c_str() : "no inputs to replay");
            ++failures;
        }
        std::printf("%s: replayed %d inputs\n", argv[i], count);
    }
    std::error_code ignored;
    std::filesystem::remove_all(root, ignored);
    return failures == 0 ? 0 : 1;
}
