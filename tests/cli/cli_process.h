// Runs the quilvane tool (QUILVANE_CLI, else the path it was built at) as a child process and
// collects its standard output and standard error. The child is killed on
// destruction if it still runs.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class CliProcess {
  public:
    // `terminal`: standard error is a pseudo-terminal instead of a pipe.
    // `input`: standard input (else /dev/null).
    explicit CliProcess(const std::vector<std::string>& args, bool terminal = false,
                        const std::string& input = "");
    ~CliProcess();
    CliProcess(const CliProcess&) = delete;
    CliProcess& operator=(const CliProcess&) = delete;

    // Reads both streams until standard error holds `text` or standard
    // output has `lines` lines; false when the child ended or time ran out.
    bool waitForError(const std::string& text, int timeoutMs = 10000);
    bool waitForLines(std::size_t lines, int timeoutMs = 10000);
    void interrupt();
    // Waits for the exit, killing the child after `timeoutMs`; the exit
    // status, or 128 + the signal.
    int finish(int timeoutMs = 30000);

    const std::string& out() const { return out_; }
    const std::string& err() const { return err_; }
    std::vector<std::string> outLines() const;

  private:
    // One poll of both streams; false once both are closed.
    bool pump(int timeoutMs);
    bool waitUntil(const std::function<bool()>& done, int timeoutMs);

    pid_t pid_ = -1;
    int outFd_ = -1;
    int errFd_ = -1;
    std::string out_;
    std::string err_;
    int status_ = -1;
    std::string inputPath_;
};

struct CliResult {
    int status = -1;
    std::string out;
    std::string err;
};
CliResult runCli(const std::vector<std::string>& args);

// A loopback port that was free a moment ago.
std::uint16_t freePort(bool udp);
std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& text);
// A path in the test's temporary folder, unique per process.
std::string tempPath(const std::string& name);
