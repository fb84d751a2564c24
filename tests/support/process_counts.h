// What a test program holds, counted to show that nothing is left behind:
// its threads, and its file descriptors (on Windows: its handles).
#pragma once

#include <cstddef>

std::size_t threadCount();
std::size_t descriptorCount();
