// The four ways to run: the three traffic modes, in this file's .cpp, and
// the responders (responders.cpp). Each prints its ready line once its
// sockets are bound, runs until the run control says stop or its work is
// over, and returns the exit status (1 when its sockets cannot be set up).
#pragma once

#include "options.h"
#include "run.h"
#include "traffic.h"

namespace sim {

int runTcpListen(const Options& options, RunControl& control, Stats& stats, FrameLog& log);
int runTcpConnect(const Options& options, RunControl& control, Stats& stats, FrameLog& log);
int runUdp(const Options& options, RunControl& control, Stats& stats, FrameLog& log);
int runResponders(const Options& options, RunControl& control, Stats& stats);

}  // namespace sim
