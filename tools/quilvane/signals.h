// Ctrl-C and SIGTERM ask the running command to end: it closes the
// connection and prints its summary. A second one ends the process at once.
// SIGPIPE is ignored so that a closed standard output is a write error.
#pragma once

#include <chrono>

void installStopHandlers();
bool stopRequested();
// Sleeps until `deadline`, waking early when a stop is asked; false then.
bool sleepUntil(std::chrono::steady_clock::time_point deadline);
