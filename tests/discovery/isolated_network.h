// For tests run by isolated_network.sh: the network it set up, and the
// simulator's responders on the device side of its adapters.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>

#include "../tools/sim_process.h"

// Tests for the other network skip.
#define REQUIRE_NETWORK(which)                                                                          \
    if (const char* network = std::getenv("QUILVANE_NETWORK"); !network || std::strcmp(network, which)) \
    GTEST_SKIP() << "runs only inside isolated_network.sh, on its " which " network"

using Sims = std::vector<std::unique_ptr<SimProcess>>;

// A responder on "qa1" or "qb1", the device side of adapter qa0 or qb0.
inline void respond(Sims& sims, const std::string& device, const std::string& kinds,
                    std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {"--respond", kinds, "--device", device, "--duration", "30"};
    args.insert(args.end(), extra.begin(), extra.end());
    sims.push_back(std::make_unique<SimProcess>(args));
    ASSERT_FALSE(sims.back()->ready().empty()) << kinds << " on " << device;
}
