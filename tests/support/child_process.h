// A program run as a child process, its standard output and error collected.
// Destruction kills and reaps it, so a failed assertion never leaves it running.
//
// Under wine the child, a Linux program, is run by sim_broker instead (found
// by QUILVANE_SIM_BROKER_PORT): only the simulator, without SpawnOptions,
// only its standard output is collected, interrupt() kills it whatever the
// signal, and finish() gives -1.
#pragma once

#include <sys/types.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <functional>
#include <string>
#include <vector>

struct SpawnOptions {
    std::string input = "";      // standard input; empty: /dev/null
    bool errorTerminal = false;  // standard error is a pseudo-terminal, not a pipe
};

class ChildProcess {
  public:
    ChildProcess() = default;
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // args[0] is the program's path. Throws if the child cannot be started.
    void spawn(const std::vector<std::string>& args, const SpawnOptions& options = {});
    // Reads output until `done` holds; false if time ran out, or both streams closed, first.
    bool readUntil(const std::function<bool()>& done, int timeoutMs) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (!done() && streamsOpen() && std::chrono::steady_clock::now() < end)
            collect(50);
        return done();
    }
    bool streamsOpen() const;
    void interrupt(int signal = SIGINT);
    // Collects until the child exits, killing it after `timeoutMs`; its exit
    // status, or 128 + the signal that ended it. Later calls return the same.
    int finish(int timeoutMs = 30000);

    const std::string& out() const { return out_; }
    const std::string& err() const { return err_; }

  private:
    void collect(int waitMs);  // waits up to `waitMs` for output, then reads all there is

#if defined(_WIN32)
    int broker_ = -1;  // the connection to sim_broker: the child's standard output
#else
    pid_t pid_ = -1;
    int fds_[2] = {-1, -1};  // standard output, standard error
#endif
    std::string out_;
    std::string err_;
    int status_ = -1;
};
