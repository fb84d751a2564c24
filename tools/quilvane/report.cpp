#include "report.h"

#include <cstdio>

void report(const char* command, const std::string& message) {
    std::fprintf(stderr, "quilvane %s: %s\n", command, message.c_str());
}
