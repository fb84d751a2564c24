// The four ways to run. Each prints its ready line once its sockets are
// bound, runs until the run control says stop or its work is over, and
// returns the exit status (1 when its sockets cannot be set up).
#pragma once

#include "frame_log.h"
#include "options.h"
#include "run_control.h"
#include "stats.h"

namespace sim {

int runTcpListen(const Options& options, RunControl& control, Stats& stats, FrameLog& log);
int runTcpConnect(const Options& options, RunControl& control, Stats& stats, FrameLog& log);
int runUdp(const Options& options, RunControl& control, Stats& stats, FrameLog& log);
int runResponders(const Options& options, RunControl& control, Stats& stats);

// "ready ..." on stdout, flushed.
void printReady(const std::string& text);

}  // namespace sim
