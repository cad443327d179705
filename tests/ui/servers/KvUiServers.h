// The servers the window's integration tests connect to: scripts of tests/servers/ started on a
// free port and stopped by PID, and a fresh sshd per test with its test users.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <unistd.h>

#include "Kv.KnownHosts.h"
#include "KvFtpServers.h"
#include "KvTestSupport.h"

namespace kv::test {

inline const std::string KScripts = KV_SERVERS_DIR;

inline std::map<std::string, std::string> ReadEnv(const std::string& AFile) {
    std::map<std::string, std::string> env;
    std::ifstream in(AFile);
    for (std::string line; std::getline(in, line);)
        if (const size_t equals = line.find('='); equals != std::string::npos)
            env[line.substr(0, equals)] = line.substr(equals + 1);
    return env;
}

inline std::string Trimmed(std::string AText) {
    while (!AText.empty() && (AText.back() == '\n' || AText.back() == ' '))
        AText.pop_back();
    return AText;
}

// A server started by a script of tests/servers/ and stopped by it (by PID) at the end.
class TScriptServer {
public:
    TScriptServer(std::string AScript, std::string ADir, const std::string& AStartArgs)
        : FScript(std::move(AScript)), FDir(std::move(ADir)) {
        int code = 0;
        Output = Trimmed(RunCommand(KScripts + "/" + FScript + " start '" + FDir + "' " + AStartArgs + " 2>&1", &code));
        Started = code == 0;
    }
    ~TScriptServer() { RunCommand(KScripts + "/" + FScript + " stop '" + FDir + "' >/dev/null 2>&1"); }
    // Kills every process serving a connection (the server dies under its clients); the
    // listening server stays.
    void KillConnections() const {
        RunCommand("d() { for c in $(cat /proc/$1/task/*/children 2>/dev/null); do echo $c; d $c; done; }; "
                   "kill -9 $(d $(cat '" + FDir + "/pid')) 2>/dev/null");
    }
    bool Started = false;
    std::string Output;

private:
    std::string FScript, FDir;
};

#define KV_NEED(ACondition, AWhat)                                                                 \
    if (!(ACondition)) {                                                                           \
        if (MustHaveServers())                                                                     \
            FAIL() << AWhat << " did not start (CI=true)";                                         \
        GTEST_SKIP() << AWhat << " did not start";                                                 \
    }

inline std::string SshState() {
    const char* preset = std::getenv("KV_SSH_STATE");
    return preset && *preset ? preset : "/tmp/kolvan-ssh-state-" + std::to_string(::getuid());
}

// The test users made once per binary, a fresh sshd per test (whose new key is asked about), and
// a folder in a test user's home for the test, removed after it.
class SftpServer : public ::testing::Test {
protected:
    void SetUp() override {
        static const int setup = [] {
            int code = 0;
            RunCommand(KScripts + "/ssh-setup.sh '" + SshState() + "' >/dev/null 2>&1", &code);
            return code;
        }();
        KV_NEED(setup == 0, "sshd (ssh-setup.sh)");
        Env = ReadEnv(SshState() + "/ssh.env");
        static int count = 0;
        Sshd = std::make_unique<TScriptServer>("sshd.sh", TestRoot() + "/ui-sshd-" + std::to_string(++count),
                                               "--owner " + std::to_string(::getpid()));
        KV_NEED(Sshd->Started, "sshd");
        ::unlink(KnownHostsFile().c_str());
    }
    void TearDown() override {
        if (!FRemote.empty())
            RunCommand("rm -rf '" + FRemote + "'");
    }
    const std::string& Port() const { return Sshd->Output; }
    std::string RemoteFolder(const std::string& AUser) {
        FRemote = "/home/" + AUser + "/kvui-" + std::to_string(::getpid()) + "-" +
                  ::testing::UnitTest::GetInstance()->current_test_info()->name();
        RunCommand("rm -rf '" + FRemote + "' && mkdir -p '" + FRemote + "' && chown " + AUser + ": '" + FRemote + "'");
        return FRemote;
    }

    std::map<std::string, std::string> Env;
    std::unique_ptr<TScriptServer> Sshd;

private:
    std::string FRemote;
};


} // namespace kv::test
