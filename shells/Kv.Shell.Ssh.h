// The login shell of an SSH server in a pseudo terminal, behind the shell contract.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include "Kv.Connectors.h"
#include "Kv.Shell.h"
#include "Kv.Ssh.Session.h"
#include "Kv.Worker.h"

namespace kv {

class TKvSshShell final : public IKvSshShell, public std::enable_shared_from_this<TKvSshShell> {
public:
    static std::shared_ptr<TKvSshShell> Create(const TKvConnector& AConn, IKvConnectUiPtr AUi);

    void Start(int ACols, int ARows) override;
    void Write(const std::string& AData) override;
    void Resize(int ACols, int ARows) override;
    void SetEvents(TKvShellDataEvent AOnData, TKvShellEndedEvent AOnEnded,
                   TKvShellStatusEvent AOnStatus) override;
    void Close() override;
    std::string LearnedSecret() override;

private:
    TKvSshShell(const TKvConnector& AConn, IKvConnectUiPtr AUi);
    void Run();
    void Session(TKvSshSession& ASession);

    TKvConnector FConn;
    IKvConnectUiPtr FUi;
    IKvCancelTokenPtr FToken;
    TKvShellEvents FEvents;
    std::mutex FLock; // FSession, FOutgoing, FCols, FRows, FResizePending, FLearned
    TKvSshSession* FSession = nullptr;
    std::string FOutgoing;
    int FCols = 80;
    int FRows = 24;
    bool FResizePending = false;
    std::string FLearned;
    std::atomic<bool> FRunning{false};
};

} // namespace kv
