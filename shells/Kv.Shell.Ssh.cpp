#include "Kv.Shell.Ssh.h"

#include <algorithm>
#include <poll.h>
#include <thread>

#include "Kv.FileSystem.h"
#include "Kv.Libssh2.h"

namespace kv {

namespace {

constexpr size_t KReadSize = 32768;
// Bytes written per pass before the channel is read again: a program that echoes a large paste
// fills the other direction, and only reading keeps both windows moving.
constexpr size_t KWriteStep = 65536;
constexpr int KIdleWaitMs = 10;
constexpr char KTermType[] = "xterm-256color";

[[noreturn]] void RaiseLost(TKvSshSession& ASession) {
    throw EKvFsError("The connection was lost: " + ASession.LastError());
}

} // namespace

std::shared_ptr<TKvSshShell> TKvSshShell::Create(const TKvConnector& AConn, IKvConnectUiPtr AUi) {
    return std::shared_ptr<TKvSshShell>(new TKvSshShell(AConn, std::move(AUi)));
}

TKvSshShell::TKvSshShell(const TKvConnector& AConn, IKvConnectUiPtr AUi)
    : FConn(AConn), FUi(std::move(AUi)), FToken(NewCancelToken()) {}

void TKvSshShell::SetEvents(TKvShellDataEvent AOnData, TKvShellEndedEvent AOnEnded,
                            TKvShellStatusEvent AOnStatus) {
    FEvents.Set(std::move(AOnData), std::move(AOnEnded), std::move(AOnStatus));
}

void TKvSshShell::Write(const std::string& AData) {
    std::lock_guard lock(FLock);
    FOutgoing += AData;
}

void TKvSshShell::Resize(int ACols, int ARows) {
    std::lock_guard lock(FLock);
    if (ACols == FCols && ARows == FRows)
        return;
    FCols = ACols;
    FRows = ARows;
    FResizePending = true;
}

std::string TKvSshShell::LearnedSecret() {
    std::lock_guard lock(FLock);
    return FLearned;
}

void TKvSshShell::Close() {
    FToken->Cancel();
    {
        std::lock_guard lock(FLock);
        if (FSession)
            FSession->Abort();
    }
    FEvents.Clear();
}

void TKvSshShell::Start(int ACols, int ARows) {
    if (FRunning.exchange(true))
        return;
    {
        std::lock_guard lock(FLock);
        FCols = ACols;
        FRows = ARows;
    }
    auto self = shared_from_this();
    std::thread([self] { self->Run(); }).detach();
}

void TKvSshShell::Run() {
    std::string reason;
    auto session = std::make_unique<TKvSshSession>();
    {
        std::lock_guard lock(FLock);
        FSession = session.get();
    }
    try {
        Session(*session);
    } catch (const EKvCancelled&) {
        // A cancelled login prompt ends like a normal end.
    } catch (const std::exception& e) {
        reason = e.what();
    }
    {
        std::lock_guard lock(FLock);
        FSession = nullptr;
    }
    session.reset(); // the teardown goes to the background closer
    if (!FToken->IsCancelled())
        FEvents.Ended(reason);
}

void TKvSshShell::Session(TKvSshSession& ASession) {
    const auto& api = Ssh2();
    FEvents.Status("Connecting to " + FConn.Host + "...");
    ASession.Connect(FConn, FUi, *FToken);
    CheckCancelled(*FToken);
    int cols, rows;
    {
        std::lock_guard lock(FLock);
        FLearned = ASession.LearnedSecret();
        cols = FCols;
        rows = FRows;
        FResizePending = false;
    }
    LIBSSH2_SESSION* s = ASession.Session();
    LIBSSH2_CHANNEL* ch = api.libssh2_channel_open_ex(s, "session", 7, 2097152, 32768, nullptr, 0);
    if (!ch)
        throw EKvFsError("Could not open a channel: " + ASession.LastError());
    if (api.libssh2_channel_request_pty_ex(ch, KTermType, sizeof KTermType - 1, nullptr, 0, cols,
                                           rows, 0, 0) != 0)
        throw EKvFsError("The server refused a terminal: " + ASession.LastError());
    if (api.libssh2_channel_process_startup(ch, "shell", 5, nullptr, 0) != 0)
        throw EKvFsError("The server refused to start a shell: " + ASession.LastError());
    api.libssh2_session_set_blocking(s, 0);
    FEvents.Status("");

    std::string pending;
    std::string buffer(KReadSize, '\0');
    const int sock = ASession.Socket();
    while (!FToken->IsCancelled()) {
        bool resize;
        {
            std::lock_guard lock(FLock);
            pending += FOutgoing;
            FOutgoing.clear();
            resize = FResizePending;
            FResizePending = false;
            cols = FCols;
            rows = FRows;
        }
        if (resize) {
            int rc;
            while ((rc = api.libssh2_channel_request_pty_size_ex(ch, cols, rows, 0, 0)) ==
                       KSsh2WouldBlock &&
                   !FToken->IsCancelled()) {
                pollfd p{sock, POLLIN | POLLOUT, 0};
                ::poll(&p, 1, KIdleWaitMs);
            }
            if (rc < 0 && rc != KSsh2WouldBlock)
                RaiseLost(ASession);
        }
        // Write a bounded step, then read: never wait on the write alone.
        bool moved = false, writeBlocked = false;
        size_t budget = KWriteStep;
        while (!pending.empty() && budget > 0) {
            const size_t n = std::min({pending.size(), budget, size_t(32768)});
            const ssize_t rc = api.libssh2_channel_write_ex(ch, 0, pending.data(), n);
            if (rc > 0) {
                pending.erase(0, static_cast<size_t>(rc));
                budget -= static_cast<size_t>(rc);
                moved = true;
            } else if (rc == KSsh2WouldBlock || rc == 0) {
                writeBlocked = true;
                break;
            } else
                RaiseLost(ASession);
        }
        for (;;) {
            if (FToken->IsCancelled())
                return;
            const ssize_t rc = api.libssh2_channel_read_ex(ch, 0, buffer.data(), buffer.size());
            if (rc > 0) {
                moved = true;
                FEvents.Data(buffer.substr(0, static_cast<size_t>(rc)));
                continue;
            }
            if (rc < 0 && rc != KSsh2WouldBlock)
                RaiseLost(ASession);
            break;
        }
        if (api.libssh2_channel_eof(ch))
            return; // the shell has ended (the user typed exit)
        if (!moved) {
            // A blocked write waits for the peer's window (which comes in as input) or for room in
            // the socket, which poll cannot tell apart from an always-writable socket: a short
            // wait.
            pollfd p{sock, POLLIN, 0};
            ::poll(&p, 1, writeBlocked ? 1 : KIdleWaitMs);
        }
    }
}

} // namespace kv
