// The soak: for a given time, simulators with a seeded random schedule of
// faults against a TCP client, a TCP server with several devices and UDP,
// an application thread that opens and closes connections of its own, and
// searches and probes on the private network. Then the checks: every frame
// accounted for, threads and descriptors back to where they were, and a
// summary. Run by scripts/soak.sh, inside a private network namespace.
//
//   quilvane_soak SECONDS [SEED [LOG]]
//
// Exit status 0 when every check held, 1 on a violation, 2 on bad arguments,
// 3 when the lanes did not stop in time.
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <sstream>
#include <thread>

#include "churn_lane.h"
#include "discovery_lane.h"
#include "drop_lines.h"
#include "open_params.h"
#include "process_counts.h"
#include "tcp_client_lane.h"
#include "tcp_server_lane.h"
#include "udp_lane.h"

namespace {

struct Resources {
    std::size_t threads;
    std::size_t descriptors;
};

Resources resources() {
    return {threadCount(), descriptorCount()};
}

// Threads that were joined or ended can stay listed a moment longer.
Resources settledTo(const Resources& expected) {
    Resources now = resources();
    for (int i = 0; i < 100 && (now.threads != expected.threads || now.descriptors != expected.descriptors);
         ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        now = resources();
    }
    return now;
}

void checkBack(const char* when, const Resources& expected, const Resources& now, SoakTally& tally) {
    if (now.threads != expected.threads || now.descriptors != expected.descriptors)
        tally.violation(std::string(when) + ": " + std::to_string(now.threads) + " threads and " +
                        std::to_string(now.descriptors) + " descriptors, started with " +
                        std::to_string(expected.threads) + " and " + std::to_string(expected.descriptors));
}

// Every drop line of the run, whatever connection it belongs to.
void countDropLines(const LogCapture& log, SoakTally& tally) {
    std::istringstream text(log.read(0, log.position()));
    for (std::string line; std::getline(text, line);)
        if (const auto drop = dropLine(line))
            tally.add(drop->kind == DropKind::QueueFull ? "queue-full lines" : "cache-overflow lines");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || std::atoi(argv[1]) <= 0) {
        std::fprintf(stderr, "usage: %s SECONDS [SEED [LOG]]\n", argv[0]);
        return 2;
    }
    const int seconds = std::atoi(argv[1]);
    const auto seed = static_cast<std::uint32_t>(argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 1);
    const std::string logPath = argc > 3 ? argv[3] : "soak.log";
    setenv("QUILVANE_SIM", QUILVANE_SOAK_SIM, 0);
    const char* network = std::getenv("QUILVANE_NETWORK");
    const bool searches = network != nullptr && std::strcmp(network, "two-adapters") == 0;

    LogCapture log(logPath);
    SoakTally tally;
    // Shown in the summary even when nothing happened to them.
    for (const char* counter :
         {"queue-full lines", "cache-overflow lines", "frames missing, covered by drop lines",
          "frames lost with a reset (end of the stream)"})
        tally.add(counter, 0);
    const SoakContext context{log, tally, seed, SoakClock::now() + std::chrono::seconds(seconds)};
    log.report("soak: seed " + std::to_string(seed) + ", " + std::to_string(seconds) + " s, log " + logPath +
               (searches ? "" : "; no private network: no searches or probes"));

    // A hung lane is a finding too: say so and stop rather than wait forever.
    std::thread([&log, seconds] {
        std::this_thread::sleep_for(std::chrono::seconds(seconds + 300));
        log.report("soak: FAILED: the lanes did not stop within 300 s of the end; see " + log.path());
        _exit(3);
    }).detach();

    const Resources before = resources();
    QUILVANE_Init();
    // Handle 0, without transport, for the whole run: UDP frames are filed
    // under handle 0, so no other connection may have that number.
    const OpenParams placeholder = openParams(0);
    if (QUILVANE_Open(&placeholder) != 0) {
        log.report("soak: FAILED: the first handle is not 0");
        return 1;
    }
    const Resources started = resources();

    std::vector<std::function<void(const SoakContext&)>> lanes = {tcpClientLane, tcpServerLane, udpLane,
                                                                  churnLane};
    if (searches)
        lanes.push_back(discoveryLane);
    std::vector<std::thread> threads;
    for (const auto& lane : lanes)
        threads.emplace_back(lane, std::cref(context));
    for (int minute = 1; SoakClock::now() + std::chrono::seconds(60) <= context.deadline; ++minute) {
        std::this_thread::sleep_for(std::chrono::seconds(60));
        log.report("soak: minute " + std::to_string(minute) + ": " + std::to_string(tally.count("runs")) +
                   " runs, " + std::to_string(tally.count("frames received")) + " frames received, " +
                   std::to_string(tally.violations().size()) + " violations");
    }
    for (std::thread& t : threads)
        t.join();

    const Resources closed = settledTo(started);
    checkBack("after the last close", started, closed, tally);
    QUILVANE_Close(0);
    QUILVANE_Exit();
    const Resources after = settledTo(before);
    checkBack("after exit", before, after, tally);
    countDropLines(log, tally);

    log.report("soak: summary, seed " + std::to_string(seed));
    for (const auto& [name, value] : tally.counts())
        log.report("  " + name + ": " + std::to_string(value));
    log.report("  threads: " + std::to_string(before.threads) + " at the start, " +
               std::to_string(started.threads) + " with the library started, " +
               std::to_string(closed.threads) + " after the last close, " + std::to_string(after.threads) +
               " after exit");
    log.report("  descriptors: " + std::to_string(before.descriptors) + " at the start, " +
               std::to_string(started.descriptors) + " with the library started, " +
               std::to_string(closed.descriptors) + " after the last close, " +
               std::to_string(after.descriptors) + " after exit");
    const std::vector<std::string> violations = tally.violations();
    for (std::size_t i = 0; i < violations.size() && i < 30; ++i)
        log.report("  VIOLATION: " + violations[i]);
    log.report(violations.empty() ? "soak: PASSED"
                                  : "soak: FAILED: " + std::to_string(violations.size()) + " violations");
    log.restore();
    return violations.empty() ? 0 : 1;
}
