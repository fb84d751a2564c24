#include "sim_process.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>
#include <stdexcept>

namespace {

constexpr int kLineTimeoutMs = 20000;

}  // namespace

SimProcess::SimProcess(const std::vector<std::string>& args) {
    const char* path = std::getenv("QUILVANE_SIM");
    if (path == nullptr) {
        throw std::runtime_error("QUILVANE_SIM is not set");
    }
    int out[2];
    int err[2];
    if (pipe(out) != 0 || pipe(err) != 0) {
        throw std::runtime_error("pipe failed");
    }
    pid_ = fork();
    if (pid_ == 0) {
        dup2(out[1], 1);
        dup2(err[1], 2);
        close(out[0]);
        close(err[0]);
        std::vector<char*> argv{const_cast<char*>(path)};
        for (const std::string& arg : args) {
            argv.push_back(const_cast<char*>(arg.c_str()));
        }
        argv.push_back(nullptr);
        execv(path, argv.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    out_ = out[0];
    err_ = err[0];
}

SimProcess::~SimProcess() {
    if (exitStatus_ < 0 && pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    close(out_);
    close(err_);
}

std::string SimProcess::readLine() {
    while (true) {
        if (size_t end = buffered_.find('\n'); end != std::string::npos) {
            std::string line = buffered_.substr(0, end);
            buffered_.erase(0, end + 1);
            return line;
        }
        pollfd entry{out_, POLLIN, 0};
        char chunk[512];
        ssize_t n = poll(&entry, 1, kLineTimeoutMs) > 0 ? read(out_, chunk, sizeof chunk) : 0;
        if (n <= 0) {
            return "";
        }
        buffered_.append(chunk, static_cast<size_t>(n));
    }
}

std::vector<std::string> SimProcess::ready() {
    if (ready_.empty()) {
        std::istringstream words(readLine());
        std::string word;
        words >> word;
        if (word == "ready") {
            while (words >> word) {
                ready_.push_back(word);
            }
        }
    }
    return ready_;
}

uint16_t SimProcess::readyPort(size_t word) {
    std::vector<std::string> words = ready();
    if (words.size() <= word) {
        return 0;
    }
    return static_cast<uint16_t>(std::stoul(words[word].substr(words[word].rfind(':') + 1)));
}

void SimProcess::terminate() {
    kill(pid_, SIGTERM);
}

std::map<std::string, uint64_t> SimProcess::summary() {
    std::map<std::string, uint64_t> values;
    for (std::string line = readLine(); !line.empty(); line = readLine()) {
        if (line.rfind("summary ", 0) != 0) {
            continue;
        }
        std::istringstream words(line.substr(8));
        for (std::string word; words >> word;) {
            size_t eq = word.find('=');
            values[word.substr(0, eq)] = std::stoull(word.substr(eq + 1));
        }
        break;
    }
    int status = 0;
    if (waitpid(pid_, &status, 0) == pid_) {
        exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128;
    }
    return values;
}

std::string SimProcess::errors() {
    std::string text;
    char chunk[512];
    pollfd entry{err_, POLLIN, 0};
    while (poll(&entry, 1, 0) > 0) {
        ssize_t n = read(err_, chunk, sizeof chunk);
        if (n <= 0) {
            break;
        }
        text.append(chunk, static_cast<size_t>(n));
    }
    return text;
}

int runSim(const std::vector<std::string>& args, std::string& errors) {
    SimProcess sim(args);
    sim.summary();
    errors = sim.errors();
    return sim.exitStatus();
}
