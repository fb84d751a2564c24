#include "send_run.h"

#include "commands.h"
#include "link_session.h"
#include "signals.h"

void SendRun::send(LinkSession& link, const CanFrame& frame) {
    if (link.send(frame)) {
        ++totals_.frames;
    } else {
        ++totals_.refused;
    }
    progress_.update(totals_.frames);
}

int SendRun::finish(LinkSession& link, std::uint64_t expected, int status) {
    progress_.clear();
    totals_.interrupted = stopRequested();
    const double seconds = clock_.seconds();
    link.end();
    printSummary(command_, totals_, seconds);
    if (totals_.interrupted && expected > 0 && totals_.frames + totals_.refused < expected) {
        return kExitInterrupted;
    }
    return totals_.refused > 0 ? kExitFailed : status;
}
