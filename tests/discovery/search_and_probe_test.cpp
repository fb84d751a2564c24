// Device searches and probes on a private test network (see
// isolated_network.sh), against the simulator's responders. One process:
// the library's discovery sockets are made once, at its first use.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "quilvane_sdk.h"
#include "sim_process.h"

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

const std::uint8_t kIdA[6] = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x01};
const std::uint8_t kIdB[6] = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x02};
const std::uint8_t kDeviceA[4] = {198, 51, 100, 2};
const std::uint8_t kDeviceB[4] = {198, 51, 100, 130};
const std::uint8_t kElsewhere[4] = {203, 0, 113, 9};

bool onNetwork(const char* which) {
    const char* network = std::getenv("QUILVANE_NETWORK");
    return network != nullptr && std::strcmp(network, which) == 0;
}

#define REQUIRE_NETWORK(which)                                                 \
    if (!onNetwork(which))                                                     \
    GTEST_SKIP() << "runs only inside isolated_network.sh, which sets up the " \
                    "private test network"

using Sims = std::vector<std::unique_ptr<SimProcess>>;

// A responder on the device side of adapter "qa" or "qb".
void respond(Sims& sims, const std::string& side, const std::string& kinds,
             std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {"--respond", kinds, "--device", side + "1", "--duration", "30"};
    args.insert(args.end(), extra.begin(), extra.end());
    sims.push_back(std::make_unique<SimProcess>(args));
    ASSERT_FALSE(sims.back()->ready().empty()) << kinds << " on " << side;
}

std::string hex(const std::uint8_t* id) {
    char text[13];
    std::snprintf(text, sizeof text, "%02X%02X%02X%02X%02X%02X", id[0], id[1], id[2], id[3], id[4], id[5]);
    return text;
}

std::vector<DeviceInfo> search() {
    std::vector<DeviceInfo> out(QUILVANE_MAX_SEARCH_RESULTS + 1);
    std::memset(out.data(), 0x5A, out.size() * sizeof(DeviceInfo));
    const int n = QUILVANE_Search(out.data());
    EXPECT_EQ(static_cast<unsigned char>(out[QUILVANE_MAX_SEARCH_RESULTS].model[0]), 0x5A)
        << "wrote past the maximum";
    out.resize(n < 0 ? 0 : static_cast<std::size_t>(n));
    return out;
}

// Replies that came after the last gathering wait in the sockets; a search
// with nobody answering takes them away before the next test.
void drain() {
    search();
}

TEST(Search, FindsEveryDeviceBehindEveryAdapter) {
    REQUIRE_NETWORK("two-adapters");
    drain();
    Sims sims;
    for (int i = 0; i < 5; ++i) {
        respond(sims, "qa", "search-json", {"--name", "a" + std::to_string(i), "--ipv4", "198.51.100.2"});
        respond(sims, "qb", "search-json",
                {"--name", "b" + std::to_string(i), "--mac", "0.26.43.60.77." + std::to_string(i)});
    }
    const auto start = std::chrono::steady_clock::now();
    const auto found = search();
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    std::printf("search with 2 adapters and 10 devices took %lld ms\n", static_cast<long long>(ms.count()));

    ASSERT_EQ(found.size(), 10u);
    for (std::size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(found[i].name[0], 'a') << "the first adapter's devices come first";
        EXPECT_EQ(found[i].ipv4[0], 198);
        EXPECT_EQ(found[5 + i].name[0], 'b');
        EXPECT_EQ(found[5 + i].mac[4], 77);
    }
}

TEST(Search, PelixRepliesAreKeptApartFromJsonReplies) {
    REQUIRE_NETWORK("two-adapters");
    drain();
    Sims sims;
    respond(sims, "qa", "search-json,search-pelix", {"--device-id", hex(kIdA)});
    std::vector<PelixDeviceRecord> records(QUILVANE_MAX_SEARCH_RESULTS);
    ASSERT_EQ(QUILVANE_SearchPELIX(records.data()), 1);
    EXPECT_EQ(records[0].bytes[1], 0x02);
    EXPECT_EQ(records[0].bytes[3], 0x02);
    EXPECT_EQ(std::memcmp(records[0].bytes + 4, kIdA, 6), 0);
    drain();
    EXPECT_EQ(search().size(), 1u) << "only the JSON reply";
}

TEST(Search, DuplicatesAreKeptAndTheMaximumHolds) {
    REQUIRE_NETWORK("two-adapters");
    drain();
    Sims sims;
    respond(sims, "qa", "search-json", {"--reply-count", "150"});
    respond(sims, "qb", "search-json", {"--reply-count", "150"});
    CaptureStderr();
    const auto found = search();
    const std::string err = GetCapturedStderr();
    EXPECT_EQ(found.size(), static_cast<std::size_t>(QUILVANE_MAX_SEARCH_RESULTS));
    EXPECT_NE(err.find("Search replies beyond the maximum left out: "), std::string::npos) << err;
}

TEST(Probe, VciDeviceAnswersOnlyWithAGoodReply) {
    REQUIRE_NETWORK("two-adapters");
    Sims sims;
    respond(sims, "qa", "probe-vci", {"--device-id", hex(kIdA)});
    EXPECT_EQ(QUILVANE_ProbeVCIDevice(kIdA, kDeviceA, 200), 1);
    EXPECT_EQ(QUILVANE_ProbeVCIDevice(kIdB, kDeviceA, 50), 0) << "nobody has that identifier";
    EXPECT_EQ(QUILVANE_ProbeVCIDevice(kIdA, kDeviceB, 50), 0) << "the other subnet's adapter is not used";
    sims.clear();
    for (const char* fault : {"wrong-id", "bad-crc", "bad-xor", "short"}) {
        respond(sims, "qa", "probe-vci", {"--device-id", hex(kIdA), "--reply-fault", fault});
        EXPECT_EQ(QUILVANE_ProbeVCIDevice(kIdA, kDeviceA, 100), 0) << fault;
        sims.clear();
    }
}

TEST(Probe, PelixDeviceAnswersAndEveryAdapterIsTriedOffSubnet) {
    REQUIRE_NETWORK("two-adapters");
    Sims sims;
    respond(sims, "qb", "probe-pelix,probe-vci", {"--device-id", hex(kIdB)});
    EXPECT_EQ(QUILVANE_ProbePELIXDevice(kIdB, kDeviceB, 200), 1);
    EXPECT_EQ(QUILVANE_ProbePELIXDevice(kIdA, kDeviceB, 50), 0);
    EXPECT_EQ(QUILVANE_ProbeVCIDevice(kIdB, kElsewhere, 200), 1) << "no adapter on its subnet: all are used";
}

TEST(NoAdapter, SearchFindsNothingAndProbesFail) {
    REQUIRE_NETWORK("none");
    DeviceInfo devices[QUILVANE_MAX_SEARCH_RESULTS];
    PelixDeviceRecord records[QUILVANE_MAX_SEARCH_RESULTS];
    EXPECT_EQ(QUILVANE_Search(devices), 0);
    EXPECT_EQ(QUILVANE_SearchPELIX(records), 0);
    EXPECT_EQ(QUILVANE_ProbeVCIDevice(kIdA, kDeviceA, 50), -1);
    EXPECT_EQ(QUILVANE_ProbePELIXDevice(kIdA, kDeviceA, 50), -1);
}

}  // namespace
