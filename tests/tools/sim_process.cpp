#include "sim_process.h"

#include <cstdlib>
#include <sstream>
#include <stdexcept>

namespace {

constexpr int kLineTimeoutMs = 20000;
// The simulator always ends by itself; this bounds one that does not.
constexpr int kExitTimeoutMs = 60000;

}  // namespace

SimProcess::SimProcess(const std::vector<std::string>& args) {
    const char* path = std::getenv("QUILVANE_SIM");
    if (path == nullptr) {
        throw std::runtime_error("QUILVANE_SIM is not set");
    }
    std::vector<std::string> argv{path};
    argv.insert(argv.end(), args.begin(), args.end());
    child_.spawn(argv);
}

SimProcess::~SimProcess() = default;

std::string SimProcess::readLine() {
    const std::string& out = child_.out();
    child_.readUntil([&] { return out.find('\n', lineStart_) != std::string::npos; }, kLineTimeoutMs);
    const size_t end = out.find('\n', lineStart_);
    if (end == std::string::npos) {
        return "";
    }
    std::string line = out.substr(lineStart_, end - lineStart_);
    lineStart_ = end + 1;
    return line;
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
    child_.interrupt(SIGTERM);
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
    exitStatus_ = child_.finish(kExitTimeoutMs);
    return values;
}

std::string SimProcess::errors() {
    child_.collect(0);
    return child_.err();
}

int runSim(const std::vector<std::string>& args, std::string& errors) {
    SimProcess sim(args);
    sim.summary();
    errors = sim.errors();
    return sim.exitStatus();
}
