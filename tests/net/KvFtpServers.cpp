#include "KvFtpServers.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "Kv.Net.h"
#include "KvTestSupport.h"

namespace kv::test {

namespace {

std::string Servers() {
    return std::string(KV_SERVERS_DIR) + "/ftp.sh";
}

std::unique_ptr<TFtpServers> GServers;
bool GTried = false;

int FreePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

bool WaitForPort(int APort) {
    for (int i = 0; i < 100; ++i) {
        try {
            TKvSocket sock = NetConnect("127.0.0.1", APort, nullptr, 1000);
            NetClose(sock);
            return true;
        } catch (const std::exception&) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
    return false;
}

class TServersEnvironment : public ::testing::Environment {
public:
    void TearDown() override {
        if (GServers)
            RunCommand(Servers() + " stop " + GServers->Dir + " 2>&1");
        GServers.reset();
    }
};

const bool GRegistered = [] {
    ::testing::AddGlobalTestEnvironment(new TServersEnvironment);
    return true;
}();

} // namespace

bool MustHaveServers() {
    const char* ci = std::getenv("CI");
    return ci && std::string(ci) == "true";
}

const TFtpServers* FtpServers() {
    if (GTried)
        return GServers.get();
    GTried = true;
    (void)GRegistered;
    auto servers = std::make_unique<TFtpServers>();
    servers->Dir = TestRoot() + "/ftp-servers";
    int code = 0;
    const std::string output = RunCommand(Servers() + " start " + servers->Dir + " 2>&1", &code);
    if (code != 0) {
        std::fprintf(stderr, "ftp.sh start failed:\n%s\n", output.c_str());
        RunCommand(Servers() + " stop " + servers->Dir + " 2>&1");
        return nullptr;
    }
    std::map<std::string, std::string> env;
    std::ifstream in(servers->Dir + "/servers.env");
    for (std::string line; std::getline(in, line);)
        if (const size_t equals = line.find('='); equals != std::string::npos)
            env[line.substr(0, equals)] = line.substr(equals + 1);
    servers->ExplicitPort = std::stoi(env["VSFTPD_EXPLICIT_PORT"]);
    servers->ImplicitPort = std::stoi(env["VSFTPD_IMPLICIT_PORT"]);
    servers->PlainPort = std::stoi(env["PYFTPD_PORT"]);
    servers->PinnedPort = std::stoi(env["PINNED_PORT"]);
    servers->User = env["VSFTPD_USER"];
    servers->Password = env["VSFTPD_PASSWORD"];
    servers->VsRoot = env["VSFTPD_ROOT"];
    servers->PyRoot = env["PYFTPD_ROOT"];
    servers->PyFault = env["PYFTPD_FAULT"];
    servers->PinRoot = env["PINNED_ROOT"];
    servers->CaFile = env["CA_FILE"];
    // The system trust of every TLS channel in this process is the test CA.
    ::setenv("SSL_CERT_FILE", servers->CaFile.c_str(), 1);
    GServers = std::move(servers);
    return GServers.get();
}

void TFtpServers::RestartPinned(const std::string& ACertName) const {
    int code = 0;
    const std::string output =
        RunCommand(Servers() + " pinned " + Dir + " " + ACertName + " 2>&1", &code);
    if (code != 0)
        throw std::runtime_error("restarting the pinned server failed: " + output);
}

void TFtpServers::ArmFault(const std::string& ALines) const {
    WriteFile(PyFault, ALines + "\n");
}

TTlsPeer::TTlsPeer(const std::string& ACert, const std::string& AKey) {
    FPort = FreePort();
    const std::string command =
        "openssl s_server -quiet -accept 127.0.0.1:" + std::to_string(FPort) + " -cert " + ACert +
        " -key " + AKey + " </dev/null >/dev/null 2>&1 & echo $!";
    FPid = std::atoi(RunCommand(command).c_str());
    if (FPid <= 0 || !WaitForPort(FPort))
        throw std::runtime_error("openssl s_server did not start");
}

TTlsPeer::~TTlsPeer() {
    if (FPid > 0) {
        ::kill(FPid, SIGTERM);
        ::waitpid(FPid, nullptr, 0);
    }
}

TKvConnector FtpConnector(TKvConnectorKind AKind, int APort, const std::string& AUser,
                          const std::string& APassword) {
    TKvConnector conn = NewConnector();
    conn.Name.clear();
    conn.Kind = AKind;
    conn.Host = "127.0.0.1";
    conn.Port = APort;
    conn.User = AUser;
    conn.Secret = APassword;
    return conn;
}

bool TScriptedUi::AskSecret(const std::string&, const std::string& APrompt, const IKvCancelToken&,
                            std::string& AValue) {
    Asked.push_back("secret: " + APrompt);
    if (Secrets.empty())
        return false;
    AValue = Secrets.front();
    Secrets.erase(Secrets.begin());
    return true;
}

bool TScriptedUi::ConfirmNewHostKey(const std::string&, int, const std::string& AKeyType,
                                    const std::string& AFingerprint, const IKvCancelToken&) {
    Asked.push_back("new " + AKeyType + ": " + AFingerprint);
    return TrustNew;
}

void TScriptedUi::ReportChangedHostKey(const std::string&, int, const std::string& AKeyType,
                                       const std::string& ANewFingerprint,
                                       const std::string& AOldFingerprint, const std::string&,
                                       const IKvCancelToken&) {
    Asked.push_back("changed " + AKeyType + ": " + ANewFingerprint + " " + AOldFingerprint);
}

} // namespace kv::test
