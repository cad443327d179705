// Pseudo terminals: a program started in a new session on a fresh terminal, and the calls
// its pump needs (wait, read, write, resize, hang up, reap).
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>
#include <vector>

namespace kv {

// No pseudo terminal could be made (the reason is the system's text).
class EKvPtyUnavailable : public std::runtime_error {
    using std::runtime_error::runtime_error;
};
// The terminal exists but the program could not be started in it (the reason is the system's text).
class EKvPtyStartFailed : public std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct TKvPtyProcess {
    int Master = -1; // non-blocking, close-on-exec
    int Pid = -1;    // also the process group of the session
};

// Starts AArgv[0] (an absolute path) with AArgv and AEnv ("NAME=value") in ADir as the leader
// of a new session whose controlling terminal is the new pseudo terminal. Everything the child
// needs is built before fork; the child starts with default signal dispositions, an empty signal
// mask and only descriptors 0 to 2. A failed exec is reported here, not as a quiet exit.
TKvPtyProcess PtyStart(const std::vector<std::string>& AArgv, const std::vector<std::string>& AEnv,
                       const std::string& ADir, int ACols, int ARows);

void PtyResize(int AMaster, int ACols, int ARows);

struct TKvPtyReady {
    bool Readable = false; // data, or the end of output, waits on the master
    bool Writable = false;
    bool Woken = false;
};
// Waits up to ATimeoutMs (-1: no limit) for the master or for AWakeFd to become ready.
TKvPtyReady PtyWait(int AMaster, bool AWantWrite, int AWakeFd, int ATimeoutMs);

// Bytes read (> 0); 0 at the end of output (every holder of the terminal has closed it);
// -1 when nothing is waiting.
long PtyRead(int AMaster, char* ABuffer, size_t ASize);
// Bytes written (>= 0); -1 when the terminal's input queue is full; -2 when it is gone.
long PtyWrite(int AMaster, const char* AData, size_t ALength);
void PtyClose(int& AMaster);

// SIGHUP (or SIGKILL with AKill) to the process group of the session; ignores a group that is gone.
void PtySignalGroup(int APid, bool AKill);
// Waits for the child APid to end and reaps it; returns its wait status.
int PtyReap(int APid);

// A self-pipe that wakes PtyWait from another thread.
class TKvPtyWakeup {
public:
    TKvPtyWakeup();
    ~TKvPtyWakeup();
    TKvPtyWakeup(const TKvPtyWakeup&) = delete;
    TKvPtyWakeup& operator=(const TKvPtyWakeup&) = delete;
    void Wake();
    void Drain();
    int Fd() const { return FRead; }

private:
    int FRead = -1;
    int FWrite = -1;
};

// The environment of this process as "NAME=value" texts.
std::vector<std::string> PtyEnvironment();
// The user's shell: $SHELL when absolute and executable, else the passwd entry, else /bin/sh.
std::string UserShell();
bool IsExecutableFile(const std::string& APath);
std::string HostName();

} // namespace kv
