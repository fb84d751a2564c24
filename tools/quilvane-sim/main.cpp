// quilvane-sim: a stand-in for CAN interface devices, for tests, benchmarks
// and demos of the library. See --help.
#include <cstdio>

#include "modes.h"
#include "net.h"
#include "options.h"
#include "run.h"
#include "traffic.h"

int main(int argc, char** argv) {
    std::string error;
    if (!sim::startSystem(error)) {
        std::fprintf(stderr, "quilvane-sim: %s\n", error.c_str());
        return 1;
    }
    sim::Options options;
    switch (sim::parseOptions(argc, argv, options, error)) {
        case sim::ParseResult::Help:
            sim::printUsage();
            return 0;
        case sim::ParseResult::Error:
            std::fprintf(stderr, "quilvane-sim: %s\nTry 'quilvane-sim --help'.\n", error.c_str());
            return 2;
        case sim::ParseResult::Run:
            break;
    }

    sim::RunControl::installSignalHandlers();
    sim::Stats stats;
    sim::RunControl control(options, stats);
    sim::FrameLog log(options.verbose, control.start());
    int status = 0;
    switch (options.mode) {
        case sim::Mode::TcpListen:
            status = sim::runTcpListen(options, control, stats, log);
            break;
        case sim::Mode::TcpConnect:
            status = sim::runTcpConnect(options, control, stats, log);
            break;
        case sim::Mode::Udp:
            status = sim::runUdp(options, control, stats, log);
            break;
        case sim::Mode::Respond:
        case sim::Mode::None:
            status = sim::runResponders(options, control, stats);
            break;
    }
    sim::printSummary(stats);
    return status == 0 && control.expectationMissed() ? 1 : status;
}
