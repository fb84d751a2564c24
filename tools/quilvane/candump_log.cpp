#include "candump_log.h"

bool readCandumpLog(std::istream& in, std::vector<LogRecord>& records, LogReadError& error) {
    std::string line;
    for (std::size_t number = 1; std::getline(in, line); ++number) {
        if (line.find_first_not_of(" \t\r") == std::string::npos) {
            continue;
        }
        LogRecord record;
        if (!parseLogLine(line, record, error.message)) {
            error.line = number;
            return false;
        }
        records.push_back(record);
    }
    return true;
}
