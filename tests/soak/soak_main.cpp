// The soak: the lanes run side by side for a given time; then every frame
// must be accounted for, threads and descriptors back to where they were.
// scripts/soak.sh runs it in a private network namespace:
//
//   quilvane_soak SECONDS SEED LOG 3>&1 >>LOG 2>&1
//
// The report goes to descriptor 3. Exit status 0 when every check held, 1 on
// a violation, 2 on bad arguments.
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <thread>

#include "open_params.h"
#include "process_counts.h"
#include "soak.h"

namespace {

void report(const std::string& line) {
    if (write(3, (line + "\n").data(), line.size() + 1) < 0)
        return;
}

struct Resources {
    std::size_t threads = threadCount();
    std::size_t descriptors = descriptorCount();
    bool operator==(const Resources&) const = default;
};

// Threads that were joined or ended can stay listed a moment longer.
Resources settledTo(const Resources& expected) {
    Resources now;
    for (int i = 0; i < 100 && now != expected; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        now = Resources();
    }
    return now;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4 || std::atoi(argv[1]) <= 0) {
        std::fprintf(stderr, "usage: %s SECONDS SEED LOG 3>&1 >>LOG 2>&1\n", argv[0]);
        return 2;
    }
    const int seconds = std::atoi(argv[1]);
    const auto seed = static_cast<std::uint32_t>(std::strtoul(argv[2], nullptr, 10));
    setenv("QUILVANE_SIM", QUILVANE_SOAK_SIM, 0);
    const char* network = std::getenv("QUILVANE_NETWORK");
    const bool searches = network != nullptr && std::strcmp(network, "two-adapters") == 0;
    const Log log(argv[3]);
    Tally tally;
    // Shown in the summary even when nothing happened to them.
    for (const char* counter :
         {"queue-full lines", "cache-overflow lines", "frames missing, covered by drop lines",
          "frames lost with a reset (end of the stream)"})
        tally.add(counter, 0);
    const Soak soak{log, tally, seed, Clock::now() + std::chrono::seconds(seconds)};
    report("soak: seed " + std::to_string(seed) + ", " + std::to_string(seconds) + " s, log " + argv[3] +
           (searches ? "" : "; no private network: no searches or probes"));

    const Resources before;
    QUILVANE_Init();
    // Handle 0, without transport, for the whole run: UDP frames are filed
    // under handle 0, so no other connection may have that number.
    const OpenParams placeholder = openParams(0);
    if (QUILVANE_Open(&placeholder) != 0) {
        report("soak: FAILED: the first handle is not 0");
        return 1;
    }
    const Resources started;

    std::vector<std::thread> lanes;
    for (const Link link : {Link::TcpClient, Link::TcpServer, Link::Udp})
        lanes.emplace_back(connectionLane, std::cref(soak), link);
    lanes.emplace_back(churnLane, std::cref(soak));
    if (searches)
        lanes.emplace_back(discoveryLane, std::cref(soak));
    for (std::thread& t : lanes)
        t.join();

    const Resources closed = settledTo(started);
    QUILVANE_Close(0);
    QUILVANE_Exit();
    const Resources after = settledTo(before);
    for (const auto& [when, expected, now] :
         {std::tuple("after the last close", started, closed), std::tuple("after exit", before, after)})
        if (now != expected)
            tally.violation(std::string(when) + ": " + std::to_string(now.threads) + " threads and " +
                            std::to_string(now.descriptors) + " descriptors, started with " +
                            std::to_string(expected.threads) + " and " +
                            std::to_string(expected.descriptors));
    long offset = 0;
    for (const std::string& line : log.linesSince(offset))
        if (const auto drop = dropLine(line))
            tally.add(drop->queueFull ? "queue-full lines" : "cache-overflow lines");

    report("soak: summary, seed " + std::to_string(seed));
    for (const auto& [name, value] : tally.counts)
        report("  " + name + ": " + std::to_string(value));
    for (const auto& [what, count] :
         {std::pair("threads", &Resources::threads), std::pair("descriptors", &Resources::descriptors)})
        report("  " + std::string(what) + ": " + std::to_string(before.*count) + " at the start, " +
               std::to_string(started.*count) + " with the library started, " +
               std::to_string(closed.*count) + " after the last close, " + std::to_string(after.*count) +
               " after exit");
    for (std::size_t i = 0; i < tally.violations.size() && i < 30; ++i)
        report("  VIOLATION: " + tally.violations[i]);
    report(tally.violations.empty()
               ? "soak: PASSED"
               : "soak: FAILED: " + std::to_string(tally.violations.size()) + " violations");
    return tally.violations.empty() ? 0 : 1;
}
