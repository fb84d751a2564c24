#include <cstdio>
#include <string>

#include "modes.h"

namespace sim {

void printReady(const std::string& text) {
    std::printf("ready %s\n", text.c_str());
    std::fflush(stdout);
}

}  // namespace sim
