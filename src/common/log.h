// Log lines: one text, optionally followed by values, then end of line and
// flush. Progress goes to standard output, failures to standard error. Each
// line is written in one piece so that threads never interleave inside it.
#pragma once

#include <ostream>
#include <sstream>

namespace quilvane {

// std::cout and std::cerr, made ready on first use: <iostream> would give
// every file that includes it a constructor run when the library loads.
std::ostream& standardOutput();
std::ostream& standardError();

template <class... Parts>
void writeLine(std::ostream& stream, const Parts&... parts) {
    std::ostringstream line;
    (line << ... << parts) << '\n';
    stream << line.str() << std::flush;
}

template <class... Parts>
void logInfo(const Parts&... parts) {
    writeLine(standardOutput(), parts...);
}

template <class... Parts>
void logError(const Parts&... parts) {
    writeLine(standardError(), parts...);
}

// For the last word of a thread that is short of memory: a line that cannot
// be written is lost rather than thrown.
template <class... Parts>
void logErrorQuietly(const Parts&... parts) noexcept {
    try {
        logError(parts...);
    } catch (...) {
    }
}

}  // namespace quilvane
