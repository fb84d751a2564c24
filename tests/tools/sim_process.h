// Runs quilvane-sim (path from QUILVANE_SIM) as a child process and reads
// its ready and summary lines. The child is always killed on destruction.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "../support/child_process.h"

class SimProcess {
  public:
    explicit SimProcess(const std::vector<std::string>& args);

    // The words of the ready line after "ready"; empty if none came.
    std::vector<std::string> ready();
    // The port of the word-th ADDR:PORT (or KIND=ADDR:PORT) word of the ready line.
    uint16_t readyPort(size_t word = 1);
    // Waits for the summary line and the exit (finish() then tells the
    // status, err() the whole of stderr); key -> value.
    std::map<std::string, uint64_t> summary();

    // As ChildProcess's.
    bool readUntil(const std::function<bool()>& done, int timeoutMs) {
        return child_.readUntil(done, timeoutMs);
    }
    bool streamsOpen() const { return child_.streamsOpen(); }
    void interrupt(int signal = SIGINT) { child_.interrupt(signal); }
    int finish(int timeoutMs = 30000) { return child_.finish(timeoutMs); }
    const std::string& out() const { return child_.out(); }
    const std::string& err() const { return child_.err(); }

  private:
    std::string readLine();

    ChildProcess child_;
    size_t lineStart_ = 0;  // the first byte of standard output not yet returned as a line
    std::vector<std::string> ready_;
};
