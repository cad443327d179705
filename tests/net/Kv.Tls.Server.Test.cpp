// The TLS channel against openssl s_server with certificates the system trusts or does not.
#include "Kv.Tls.h"

#include <gtest/gtest.h>

#include "KvFtpServers.h"
#include "KvTestSupport.h"

namespace kv {
namespace {

TEST(TlsServer, CertificateChecks) {
    KV_NEED_FTP_SERVERS(servers); // for the test CA in SSL_CERT_FILE
    struct TCase {
        const char* Cert;
        const char* Host;
        // Empty: trusted. Otherwise the start of the certificate error.
        std::string Error;
    };
    const std::string untrusted = "The certificate of 127.0.0.1 is not trusted by the system: ";
    const TCase cases[] = {
        {"srv", "127.0.0.1", ""},
        {"srv", "localhost", ""},
        {"srv", "::1", ""},
        {"wrong", "127.0.0.1", untrusted + "IP address mismatch"},
        {"wrong", "localhost",
         "The certificate of localhost is not trusted by the system: hostname mismatch"},
        {"expired", "127.0.0.1", untrusted + "certificate has expired"},
        {"self1", "127.0.0.1", untrusted + "self-signed certificate"},
    };
    for (const auto& item : cases) {
        SCOPED_TRACE(std::string(item.Cert) + " as " + item.Host);
        test::TTlsPeer peer(servers->Cert(item.Cert), servers->Key(item.Cert));
        for (bool manual : {false, true}) {
            TKvSocket sock = NetConnect(std::string(item.Host) == "::1" ? "127.0.0.1" : item.Host,
                                        peer.Port(), nullptr, 2000);
            TKvTlsCredentials credentials(manual);
            TKvTlsChannel channel(sock, nullptr, item.Host, credentials);
            std::string error;
            try {
                channel.Handshake(5000);
            } catch (const EKvTlsCertError& failure) {
                error = failure.what();
                EXPECT_NE(failure.Status(), 0);
            }
            // Manual validation checks nothing: the program pins the fingerprint instead.
            EXPECT_EQ(error, manual ? "" : item.Error);
            if (error.empty()) {
                const std::string hex =
                    test::RunCommand("openssl x509 -in '" + servers->Cert(item.Cert) +
                                     "' -outform DER | sha256sum | cut -c1-64");
                EXPECT_EQ(channel.Fingerprint(), "SHA256:" + hex.substr(0, 64));
                const std::string line = "hello\n";
                channel.Send(line.data(), line.size());
                channel.Shutdown();
            }
            NetClose(sock);
        }
    }
}

} // namespace
} // namespace kv
