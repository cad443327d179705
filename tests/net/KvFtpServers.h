// The real servers the network tests drive, started once per test binary by
// tests/servers/ftp.sh and stopped by PID at the end; and a one-certificate TLS peer.
#pragma once

#include <gtest/gtest.h>
#include <string>

#include "Kv.Connectors.h"
#include "Kv.Ssh.Session.h"

namespace kv::test {

struct TFtpServers {
    std::string Dir;
    int ExplicitPort = 0, ImplicitPort = 0, PlainPort = 0, PinnedPort = 0;
    std::string User, Password;
    std::string VsRoot, PyRoot, PyFault, PinRoot, CaFile;

    std::string Cert(const std::string& AName) const { return Dir + "/" + AName + ".crt"; }
    std::string Key(const std::string& AName) const { return Dir + "/" + AName + ".key"; }
    // Restarts the self-signed server on its port with another certificate.
    void RestartPinned(const std::string& ACertName) const;
    // The next command AVerb of the plain server gets the fault (see tests/servers/pyftpd.py).
    void ArmFault(const std::string& ALines) const;
};

// Null when the servers could not start: the test is skipped, or fails under CI=true.
const TFtpServers* FtpServers();

#define KV_NEED_FTP_SERVERS(AVar)                                                                  \
    const ::kv::test::TFtpServers* AVar = ::kv::test::FtpServers();                                \
    if (!AVar) {                                                                                   \
        if (::kv::test::MustHaveServers())                                                         \
            FAIL() << "the FTP servers did not start (CI=true)";                                   \
        GTEST_SKIP() << "the FTP servers did not start";                                           \
    }

bool MustHaveServers();

// openssl s_server with one certificate, until the object goes away.
class TTlsPeer {
public:
    TTlsPeer(const std::string& ACert, const std::string& AKey);
    ~TTlsPeer();
    int Port() const { return FPort; }

private:
    int FPort = 0;
    int FPid = 0;
};

// Connections to the test servers.
TKvConnector FtpConnector(TKvConnectorKind AKind, int APort, const std::string& AUser,
                          const std::string& APassword);

// Answers questions from a script and records them.
class TScriptedUi : public IKvConnectUi {
public:
    std::vector<std::string> Secrets; // answered in order; none left: cancel
    bool TrustNew = false;
    std::vector<std::string> Asked; // "secret: prompt", "new: fingerprint", "changed: new old"

    bool AskSecret(const std::string& ATitle, const std::string& APrompt, const IKvCancelToken&,
                   std::string& AValue) override;
    bool ConfirmNewHostKey(const std::string& AHost, int APort, const std::string& AKeyType,
                           const std::string& AFingerprint, const IKvCancelToken&) override;
    void ReportChangedHostKey(const std::string& AHost, int APort, const std::string& AKeyType,
                              const std::string& ANewFingerprint,
                              const std::string& AOldFingerprint,
                              const std::string& AKnownHostsFile, const IKvCancelToken&) override;
};

} // namespace kv::test
