// Prompts for the benchmarks and look-at windows against the local test servers: every host
// key is trusted, no password is asked for.
#pragma once

#include "Kv.Ssh.Session.h"

namespace kv::bench {

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
