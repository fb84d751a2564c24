#include "sim_process.h"

#include <cstdlib>
#include <sstream>
#include <stdexcept>

SimProcess::SimProcess(const std::vector<std::string>& args) {
    const char* path = std::getenv("QUILVANE_SIM");
    if (path == nullptr)
        throw std::runtime_error("QUILVANE_SIM is not set");
    std::vector<std::string> argv{path};
    argv.insert(argv.end(), args.begin(), args.end());
    child_.spawn(argv);
}

std::string SimProcess::readLine() {
    readUntil([this] { return out().find('\n', lineStart_) != std::string::npos; }, 20000);
    const size_t end = out().find('\n', lineStart_);
    if (end == std::string::npos)
        return "";
    std::string line = out().substr(lineStart_, end - lineStart_);
    lineStart_ = end + 1;
    return line;
}

std::vector<std::string> SimProcess::ready() {
    if (ready_.empty()) {
        std::istringstream words(readLine());
        std::string word;
        if (words >> word && word == "ready")
            while (words >> word)
                ready_.push_back(word);
    }
    return ready_;
}

uint16_t SimProcess::readyPort(size_t word) {
    const std::vector<std::string> words = ready();
    return words.size() <= word
               ? 0
               : static_cast<uint16_t>(std::stoul(words[word].substr(words[word].rfind(':') + 1)));
}

std::map<std::string, uint64_t> SimProcess::summary() {
    std::map<std::string, uint64_t> values;
    for (std::string line = readLine(); !line.empty() && values.empty(); line = readLine()) {
        if (line.starts_with("summary ")) {
            std::istringstream words(line.substr(8));
            for (std::string word; words >> word;)
                values[word.substr(0, word.find('='))] = std::stoull(word.substr(word.find('=') + 1));
        }
    }
    finish(60000);  // the simulator always ends by itself; this bounds one that does not
    return values;
}
