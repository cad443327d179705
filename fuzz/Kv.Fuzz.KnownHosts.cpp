// The known-hosts file on arbitrary bytes: adding a host must leave every other lookup as it
// was, so an add can never make a host known that nobody was asked about.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <unistd.h>
#include <vector>

#include "Kv.KnownHosts.h"
#include "KvFuzzWork.h"

namespace {

void Check(bool ACondition, const char* AWhat) {
    if (!ACondition) {
        std::fprintf(stderr, "broken: %s\n", AWhat);
        std::abort();
    }
}

const std::string& HostsFile() {
    static const std::string file = kv::fuzz::WorkFolder() + "/known_hosts.txt";
    return file;
}

struct TProbe {
    std::string Host;
    int Port;
    std::string Type;
};

// Every "[host]:port type" the bytes could hold, cut at any control character or blank, so
// that lines a reader might see differently are probed too.
std::vector<TProbe> ProbesIn(std::string_view AInput) {
    std::vector<TProbe> probes = {{"example.com", 22, "ssh-ed25519"}};
    std::vector<std::string_view> words;
    size_t start = 0;
    for (size_t i = 0; i <= AInput.size(); ++i) {
        if (i == AInput.size() || static_cast<unsigned char>(AInput[i]) <= ' ') {
            if (i > start)
                words.push_back(AInput.substr(start, i - start));
            start = i + 1;
        }
    }
    for (size_t i = 0; i + 1 < words.size() && probes.size() < 16; ++i) {
        std::string_view word = words[i];
        size_t open = word.find('[');
        size_t close = word.rfind("]:");
        if (open == std::string_view::npos || close == std::string_view::npos || close < open)
            continue;
        std::string_view port = word.substr(close + 2);
        if (port.empty() || port.size() > 5 ||
            port.find_first_not_of("0123456789") != std::string_view::npos)
            continue;
        probes.push_back({std::string(word.substr(open + 1, close - open - 1)),
                          std::stoi(std::string(port)), std::string(words[i + 1])});
    }
    return probes;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize) {
    const std::string& file = HostsFile();
    std::string_view input(reinterpret_cast<const char*>(AData), ASize);
    FILE* out = std::fopen(file.c_str(), "wb");
    Check(out != nullptr, "known hosts file");
    std::fwrite(AData, 1, ASize, out);
    std::fclose(out);

    std::vector<TProbe> probes = ProbesIn(input);
    std::vector<std::string> before;
    for (const TProbe& probe : probes) {
        before.push_back(kv::StoredFingerprint(file, probe.Host, probe.Port, probe.Type));
        kv::TKvKnownHostState state =
            kv::CheckKnownHost(file, probe.Host, probe.Port, probe.Type, "SHA256:probe");
        Check((state == kv::khUnknown) == before.back().empty(), "lookup agrees");
    }
    if (kv::AddKnownHost(file, "new.example", 2222, "ssh-ed25519", "SHA256:added")) {
        for (size_t i = 0; i < probes.size(); ++i) {
            if (kv::KnownHostKey(probes[i].Host, probes[i].Port) == "[new.example]:2222")
                continue;
            Check(kv::StoredFingerprint(file, probes[i].Host, probes[i].Port, probes[i].Type) ==
                      before[i],
                  "old line kept");
        }
        std::string added = kv::StoredFingerprint(file, "NEW.example ", 2222, "ssh-ed25519");
        Check(!added.empty(), "new line found");
    }
    return 0;
}
