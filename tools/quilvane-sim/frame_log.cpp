#include "frame_log.h"

#include <cstdio>
#include <string>

namespace sim {

void FrameLog::write(const std::vector<SimFrame>& frames) {
    if (!enabled_ || frames.empty()) {
        return;
    }
    const auto micros =
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start_)
            .count();
    std::lock_guard lock(mutex_);
    for (const SimFrame& frame : frames) {
        // Identifiers above the 11-bit range are printed in the extended form.
        char id[16];
        if (frame.id > 0x7FF) {
            std::snprintf(id, sizeof id, "%08X", frame.id);
        } else {
            std::snprintf(id, sizeof id, "%03X", frame.id);
        }
        std::string data;
        char hex[3];
        for (unsigned i = 0; i < frame.dataLength; ++i) {
            std::snprintf(hex, sizeof hex, "%02X", frame.data[i]);
            data += hex;
        }
        std::fprintf(stderr, "(%lld.%06lld) can%u %s%s%s\n", static_cast<long long>(micros / 1000000),
                     static_cast<long long>(micros % 1000000), static_cast<unsigned>(frame.channel), id,
                     frame.dataLength > 8 ? "##0" : "#", data.c_str());
    }
    std::fflush(stderr);
}

}  // namespace sim
