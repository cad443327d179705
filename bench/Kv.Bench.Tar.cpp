// Opening, listing and reading every entry of a large .tar.xz and .tar.zst next to GNU tar
// (`tar -tJf`, `tar -xOJf`, `tar --zstd`). Both sides decompress the whole archive once;
// Kolvan keeps the index it built, so a second listing and the reads unpack nothing again.
// Run by hand: bench/run.sh tar [MiB] [rounds]   (default 256 MiB of tar, one round)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <string>
#include <unistd.h>
#include <vector>

#include "Kv.Archives.h"

using namespace kv;

namespace {

double Seconds(const std::function<void()>& AAction) {
    auto t0 = std::chrono::steady_clock::now();
    AAction();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

void Shell(const std::string& ACommand) {
    if (std::system(ACommand.c_str()) != 0)
        std::fprintf(stderr, "failed: %s\n", ACommand.c_str());
}

// Lists every folder below APath; returns the files seen.
int64_t ListAll(IKvFileSystem& AFs, const std::string& APath) {
    int64_t files = 0;
    auto token = NewCancelToken();
    for (const auto& entry : AFs.List(APath, *token))
        files += entry.IsDir ? ListAll(AFs, AFs.Join(APath, entry.Name)) : 1;
    return files;
}

// Reads every file below APath; returns the bytes read.
int64_t ReadAll(IKvFileSystem& AFs, const std::string& APath, std::vector<char>& ABuffer) {
    int64_t total = 0;
    auto token = NewCancelToken();
    for (const auto& entry : AFs.List(APath, *token)) {
        std::string path = AFs.Join(APath, entry.Name);
        if (entry.IsDir) {
            total += ReadAll(AFs, path, ABuffer);
            continue;
        }
        auto stream = AFs.OpenRead(path);
        int64_t n;
        while ((n = stream->Read(ABuffer.data(), static_cast<int64_t>(ABuffer.size()))) > 0)
            total += n;
    }
    return total;
}

} // namespace

int main(int argc, char** argv) {
    const int64_t mib = argc > 1 ? std::atoll(argv[1]) : 256;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 1;
    char pattern[] = "/tmp/kvbench-tar-XXXXXX";
    std::string root = ::mkdtemp(pattern);
    std::string tree = root + "/tree";
    // Files of 64 KiB to 4 MiB, two thirds text-like (compresses well), one third random.
    uint64_t state = 88172645463325252ULL;
    auto next = [&state] {
        state ^= state << 13, state ^= state >> 7, state ^= state << 17;
        return state;
    };
    std::vector<char> block(4 << 20);
    int64_t written = 0;
    int files = 0;
    while (written < mib << 20) {
        const size_t size = 65536 + next() % (block.size() - 65536);
        const bool random = files % 3 == 2;
        for (size_t k = 0; k < size; ++k) {
            const uint64_t r = next();
            block[k] = random ? static_cast<char>(r) : "etaoin shrdlu\n"[r % 14];
        }
        std::string folder = tree + "/d" + std::to_string(files % 16);
        std::filesystem::create_directories(folder);
        int fd = ::open((folder + "/f" + std::to_string(files) + ".dat").c_str(),
                        O_WRONLY | O_CREAT | O_TRUNC, 0644);
        (void)::write(fd, block.data(), size);
        ::close(fd);
        written += static_cast<int64_t>(size);
        ++files;
    }
    std::printf("making the archives: %d files, %lld MiB of tar...\n", files,
                static_cast<long long>(written >> 20));
    std::fflush(stdout);
    Shell("cd '" + root + "' && tar -cf t.tar tree && xz -T1 -6 -k t.tar && zstd -q -3 t.tar && rm t.tar");

    struct TFormat {
        const char* Name;
        const char* File;
        const char* TarFlag;
    } formats[] = {{"xz", "t.tar.xz", "-J"}, {"zstd", "t.tar.zst", "--zstd"}};
    std::vector<char> buffer(1 << 20);
    for (const auto& f : formats) {
        const std::string file = root + "/" + f.File;
        double kvOpen = 1e9, kvReopen = 1e9, kvRead = 1e9, tarList = 1e9, tarRead = 1e9;
        int64_t listed = 0, bytes = 0;
        for (int round = 0; round < rounds; ++round) {
            // A copy under a new name each round: an archive opened before is kept open.
            const std::string copy = root + "/r" + std::to_string(round) + f.File;
            std::filesystem::copy_file(file, copy);
            IKvFileSystemPtr fs;
            kvOpen = std::min(kvOpen, Seconds([&] {
                                  fs = OpenArchive(copy, *NewCancelToken());
                                  listed = ListAll(*fs, fs->Normalize(""));
                              }));
            kvReopen = std::min(kvReopen, Seconds([&] {
                                    auto again = OpenArchive(copy, *NewCancelToken());
                                    ListAll(*again, again->Normalize(""));
                                }));
            kvRead = std::min(kvRead, Seconds([&] { bytes = ReadAll(*fs, fs->Normalize(""), buffer); }));
            fs.reset();
            tarList = std::min(tarList, Seconds([&] {
                                   Shell(std::string("tar ") + f.TarFlag + " -tf '" + copy +
                                         "' > /dev/null");
                               }));
            tarRead = std::min(tarRead, Seconds([&] {
                                   Shell(std::string("tar ") + f.TarFlag + " -xOf '" + copy +
                                         "' > /dev/null");
                               }));
        }
        std::printf("%s, %lld files, %lld MiB: open and list: Kolvan %.2f s, tar -t %.2f s: "
                    "time ratio %.2f (goal <= 1)\n",
                    f.Name, static_cast<long long>(listed), static_cast<long long>(bytes >> 20),
                    kvOpen, tarList, kvOpen / tarList);
        std::printf("  open and list again: Kolvan %.4f s (the index and the copy are kept)\n",
                    kvReopen);
        std::printf("  open, list and read every entry: Kolvan %.2f s (reading %.2f s), tar -xO "
                    "%.2f s: time ratio %.2f (goal <= 1)\n",
                    kvOpen + kvRead, kvRead, tarRead, (kvOpen + kvRead) / tarRead);
        std::fflush(stdout);
    }
    std::filesystem::remove_all(root);
    return 0;
}
