// The bookkeeping gen and replay share: each send counted, the progress
// line, and the closing summary with the exit status it implies.
#pragma once

#include <cstdint>

#include "progress_line.h"
#include "quilvane_sdk.h"
#include "run_summary.h"

class LinkSession;

class SendRun {
  public:
    explicit SendRun(const char* command) : command_(command), progress_(command) {}

    void send(LinkSession& link, const CanFrame& frame);
    // Ends the link and prints the summary. `expected`: frames meant to be
    // sent, 0 for no set number; `status`: the exit status so far.
    int finish(LinkSession& link, std::uint64_t expected, int status);

  private:
    const char* command_;
    RunClock clock_;
    RunTotals totals_{"sent"};
    ProgressLine progress_;
};
