// Log lines: one text, optionally followed by values, then end of line and
// flush. Progress goes to standard output, failures to standard error. Each
// line is written in one piece so that threads never interleave inside it.
#pragma once

#include <iostream>
#include <sstream>

namespace quilvane {

template <class... Parts>
void writeLine(std::ostream& stream, const Parts&... parts) {
    std::ostringstream line;
    (line << ... << parts) << '\n';
    stream << line.str() << std::flush;
}

template <class... Parts>
void logInfo(const Parts&... parts) {
    writeLine(std::cout, parts...);
}

template <class... Parts>
void logError(const Parts&... parts) {
    writeLine(std::cerr, parts...);
}

}  // namespace quilvane
