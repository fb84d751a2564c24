#include "device_wait.h"

#include <chrono>

#include "arguments.h"
#include "link_session.h"
#include "report.h"
#include "signals.h"

double parseDeviceWait(Arguments& args) {
    return parseDecimal("--wait", args.value(), 0, false, "seconds, more than 0");
}

bool waitForDevice(const char* command, LinkSession& link, double seconds) {
    const auto timeout = std::chrono::milliseconds(static_cast<long long>(seconds * 1000));
    if (link.waitForDevice(timeout)) {
        return true;
    }
    if (!stopRequested()) {
        report(command, "no device connected within " + std::to_string(static_cast<long long>(seconds)) +
                            " s; nothing was sent (--wait sets how long to wait)");
    }
    return false;
}
