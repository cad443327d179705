// Helpers for the benchmarks and look-at windows that run against the local test servers.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

#include "Kv.Ssh.Session.h"

namespace kv::bench {

// A command's standard output without trailing line ends and blanks.
inline std::string Output(const std::string& ACommand) {
    std::string text;
    FILE* pipe = ::popen(ACommand.c_str(), "r");
    if (!pipe)
        return text;
    char buffer[256];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof(buffer), pipe)) > 0)
        text.append(buffer, n);
    ::pclose(pipe);
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
        text.pop_back();
    return text;
}

// Runs a command line, saying so when it fails.
inline void Shell(const std::string& ACommand) {
    if (std::system(ACommand.c_str()) != 0)
        std::fprintf(stderr, "failed: %s\n", ACommand.c_str());
}

// Prompts that trust every host key and give no password.
class TTrustingUi : public IKvConnectUi {
public:
    bool AskSecret(const std::string&, const std::string&, const IKvCancelToken&,
                   std::string&) override {
        return false;
    }
    bool ConfirmNewHostKey(const std::string&, int, const std::string&, const std::string&,
                           const IKvCancelToken&) override {
        return true;
    }
    void ReportChangedHostKey(const std::string&, int, const std::string&, const std::string&,
                              const std::string&, const std::string&,
                              const IKvCancelToken&) override {}
};

} // namespace kv::bench
