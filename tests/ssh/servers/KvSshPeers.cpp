#include "KvSshPeers.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "Kv.KnownHosts.h"
#include "KvTestSupport.h"

namespace kv::test {

namespace {

const std::string KScripts = KV_TEST_SERVERS;

std::string StateFolder() {
    const char* preset = std::getenv("KV_SSH_STATE");
    if (preset && *preset)
        return preset;
    return "/tmp/kolvan-ssh-state-" + std::to_string(::getuid());
}

std::string EnvValue(const std::string& AText, const std::string& AName) {
    for (const auto& line : Split(AText, '\n'))
        if (line.compare(0, AName.size() + 1, AName + "=") == 0)
            return line.substr(AName.size() + 1);
    return {};
}

std::string Trim(std::string AText) {
    while (!AText.empty() && (AText.back() == '\n' || AText.back() == ' '))
        AText.pop_back();
    return AText;
}

int UniqueCounter() {
    static std::atomic<int> counter{0};
    return ++counter;
}

} // namespace

bool RunningInCi() {
    const char* ci = std::getenv("CI");
    return ci && std::string(ci) == "true";
}

const TSshSetup& SshSetup() {
    static TSshSetup setup = [] {
        TSshSetup result;
        std::string state = StateFolder();
        int code = 0;
        std::string output = RunCommand(KScripts + "/ssh-setup.sh '" + state + "' 2>&1", &code);
        if (code != 0) {
            result.Problem = Trim(output);
            return result;
        }
        std::string env = ReadFile(state + "/ssh.env");
        result.Keys = EnvValue(env, "KV_SSH_KEYS");
        result.PasswordKvpw = EnvValue(env, "KV_SSH_PASSWORD_KVPW");
        result.PasswordKvkbd = EnvValue(env, "KV_SSH_PASSWORD_KVKBD");
        result.Passphrase = EnvValue(env, "KV_SSH_PASSPHRASE");
        result.Ready = !result.Keys.empty();
        if (!result.Ready)
            result.Problem = "ssh-setup.sh wrote no " + state + "/ssh.env";
        return result;
    }();
    return setup;
}

TSshd::TSshd(const std::string& AOptions) {
    FDir = TestRoot() + "/sshd-" + std::to_string(UniqueCounter());
    Start(AOptions);
}

TSshd::~TSshd() {
    Stop();
}

void TSshd::Start(const std::string& AOptions) {
    std::string options = AOptions + " --owner " + std::to_string(::getpid());
    if (FPort)
        options += " --port " + std::to_string(FPort);
    int code = 0;
    std::string output =
        RunCommand(KScripts + "/sshd.sh start '" + FDir + "' " + options + " 2>&1", &code);
    if (code != 0)
        throw std::runtime_error("sshd did not start: " + output);
    const bool new_port = !FPort;
    FPort = std::stoi(Trim(output));
    // A port that an earlier instance of this binary had is a new server with new keys; a
    // restart on the same port keeps what was trusted (tests of changed keys rely on it).
    if (new_port)
        ForgetKnownHostsOnPort(FPort);
}

void TSshd::Stop() {
    RunCommand(KScripts + "/sshd.sh stop '" + FDir + "'");
}

void TSshd::Restart(const std::string& AOptions) {
    Stop();
    Start(AOptions);
}

void TSshd::KillConnections() {
    // Every descendant of the listening sshd, by PID, at once.
    std::string pid = Trim(ReadFile(FDir + "/pid"));
    RunCommand(
        "d() { for c in $(cat /proc/$1/task/*/children 2>/dev/null); do echo $c; d $c; done; }; "
        "kill -9 $(d " +
        pid + ") 2>/dev/null");
}

TFakeSsh::TFakeSsh(long AAbortAfter, const std::vector<std::string>& AOptions) {
    FDir = TestRoot() + "/fakessh-" + std::to_string(UniqueCounter());
    FRoot = FDir + "/root";
    RunCommand("mkdir -p '" + FRoot + "'");
    std::string port_file = FDir + "/port";
    // The argument vector is made before fork: the child of a threaded process only execs.
    std::vector<std::string> args = {"python3",       KScripts + "/fakessh.py",
                                     "--root",        FRoot,
                                     "--port-file",   port_file,
                                     "--host-key",    FDir + "/host_key",
                                     "--user",        KUser,
                                     "--password",    KPassword,
                                     "--abort-after", std::to_string(AAbortAfter)};
    args.insert(args.end(), AOptions.begin(), AOptions.end());
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = ::fork();
    if (pid == 0) {
        ::execv("/usr/bin/python3", argv.data());
        ::_exit(127);
    }
    FPid = pid;
    for (int i = 0; i < 600 && !FPort; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        std::string text = Exists(port_file) ? Trim(ReadFile(port_file)) : "";
        if (!text.empty())
            FPort = std::stoi(text);
        int status = 0;
        if (::waitpid(FPid, &status, WNOHANG) == FPid) {
            FPid = -1;
            throw std::runtime_error("the asyncssh fake ended at start");
        }
    }
    if (!FPort)
        throw std::runtime_error("the asyncssh fake did not start");
    ForgetKnownHostsOnPort(FPort);
}

TFakeSsh::~TFakeSsh() {
    if (FPid > 0) {
        ::kill(FPid, SIGTERM);
        ::waitpid(FPid, nullptr, 0);
    }
}

bool TScriptedUi::AskSecret(const std::string& ATitle, const std::string& APrompt,
                            const IKvCancelToken&, std::string& AValue) {
    std::lock_guard lock(FLock);
    Prompts.push_back({ATitle, APrompt});
    if (Secrets.empty())
        return false;
    AValue = Secrets.front();
    Secrets.pop_front();
    return true;
}

bool TScriptedUi::ConfirmNewHostKey(const std::string&, int, const std::string&, const std::string&,
                                    const IKvCancelToken&) {
    std::lock_guard lock(FLock);
    ++NewKeyQuestions;
    return TrustNewKeys;
}

void TScriptedUi::ReportChangedHostKey(const std::string&, int, const std::string& AKeyType,
                                       const std::string& ANew, const std::string& AOld,
                                       const std::string& AFile, const IKvCancelToken&) {
    std::lock_guard lock(FLock);
    ChangedKeyReports.push_back(AKeyType + " " + ANew + " " + AOld + " " + AFile);
}

TKvConnector PasswordConn(int APort, const std::string& AUser) {
    TKvConnector conn;
    conn.Name = "Test server";
    conn.Host = "127.0.0.1";
    conn.Port = APort;
    conn.User = AUser;
    conn.Auth = amPassword;
    return conn;
}

std::string LoginShellUser(const std::string& AShell) {
    const std::string user = AShell == "bash" ? "kvpw" : "kvsh-" + AShell;
    int code = 0;
    RunCommand("id " + user + " >/dev/null 2>&1", &code);
    return code == 0 ? user : std::string();
}

TKvConnector KeyConn(int APort, const std::string& AKeyName) {
    TKvConnector conn = PasswordConn(APort, "kvkey");
    conn.Auth = amKeyFile;
    conn.KeyFile = SshSetup().Keys + "/" + AKeyName;
    return conn;
}

void ForgetKnownHosts() {
    ::unlink(KnownHostsFile().c_str());
}

void ForgetKnownHostsOnPort(int APort) {
    const std::string file = KnownHostsFile();
    if (!Exists(file))
        return;
    const std::string suffix = "]:" + std::to_string(APort) + " ";
    std::string kept;
    for (const auto& line : Split(ReadFile(file), '\n'))
        if (!line.empty() && (line[0] != '[' || line.find(suffix) == std::string::npos))
            kept += line + "\n";
    WriteFile(file, kept);
}

TRemoteDir::TRemoteDir() {
    FPath =
        "/home/kvkey/kvtest-" + std::to_string(::getpid()) + "-" + std::to_string(UniqueCounter());
    RunCommand("rm -rf '" + FPath + "' && mkdir -p '" + FPath + "' && chown kvkey: '" + FPath +
               "'");
}

TRemoteDir::~TRemoteDir() {
    RunCommand("rm -rf '" + FPath + "'");
}

} // namespace kv::test
