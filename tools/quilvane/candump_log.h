// A whole candump log file, read before anything is sent so that a bad line
// stops a replay before its first frame.
#pragma once

#include <cstddef>
#include <istream>
#include <string>
#include <vector>

#include "candump_format.h"

struct LogReadError {
    std::size_t line = 0;  // counted from 1
    std::string message;
};

// Blank lines are skipped. False at the first line that does not parse.
bool readCandumpLog(std::istream& in, std::vector<LogRecord>& records, LogReadError& error);
