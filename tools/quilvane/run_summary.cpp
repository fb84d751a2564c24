#include "run_summary.h"

#include <cstdio>
#include <string>

void printSummary(const char* command, const RunTotals& totals, double seconds) {
    const double rate = seconds > 0 ? static_cast<double>(totals.frames) / seconds : 0.0;
    std::string refused;
    if (std::string(totals.verb) == "sent") {
        refused = ", " + std::to_string(totals.refused) + " refused by the library";
    }
    std::fprintf(stderr,
                 "quilvane %s: %llu frames %s in %.3f s (%.1f frames/s)%s; drops: unknown to the host%s\n",
                 command, static_cast<unsigned long long>(totals.frames), totals.verb, seconds, rate,
                 refused.c_str(), totals.interrupted ? "; interrupted" : "");
}
