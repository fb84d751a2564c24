// Device searches and probes on a private test network (see
// isolated_network.sh), against the simulator's responders. One process:
// the library's discovery sockets are made once, at its first use.
#include <cstring>
#include <string>
#include <vector>

#include "isolated_network.h"
#include "quilvane_sdk.h"

namespace {

const std::uint8_t kIdA[6] = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x01};
const std::uint8_t kIdB[6] = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x02};
const std::string kHexA = "001A2B3C4D01", kHexB = "001A2B3C4D02";
const std::uint8_t kDeviceA[4] = {198, 51, 100, 2};
const std::uint8_t kDeviceB[4] = {198, 51, 100, 130};

// Replies that came after a search's wait stay in the sockets: each test
// starts with a search that takes them away.
std::vector<DeviceInfo> search() {
    std::vector<DeviceInfo> out(QUILVANE_MAX_SEARCH_RESULTS + 1);
    std::memset(out.data(), 0x5A, out.size() * sizeof(DeviceInfo));
    const int n = QUILVANE_Search(out.data());
    EXPECT_EQ(static_cast<unsigned char>(out[QUILVANE_MAX_SEARCH_RESULTS].model[0]), 0x5A)
        << "wrote past the maximum";
    out.resize(n < 0 ? 0 : static_cast<std::size_t>(n));
    return out;
}

TEST(Search, FindsEveryDeviceBehindEveryAdapterFirstAdapterFirst) {
    REQUIRE_NETWORK("two-adapters");
    search();
    Sims sims;
    for (int i = 0; i < 5; ++i) {
        respond(sims, "qa1", "search-json", {"--name", "a" + std::to_string(i), "--ipv4", "198.51.100.2"});
        respond(sims, "qb1", "search-json",
                {"--name", "b" + std::to_string(i), "--mac", "0.26.43.60.77." + std::to_string(i)});
    }
    const auto found = search();
    ASSERT_EQ(found.size(), 10u);
    for (std::size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(found[i].name[0], 'a');
        EXPECT_EQ(found[i].ipv4[0], 198);
        EXPECT_EQ(found[5 + i].name[0], 'b');
        EXPECT_EQ(found[5 + i].mac[4], 77);
    }
}

TEST(Search, PelixRepliesAreKeptApartFromJsonReplies) {
    REQUIRE_NETWORK("two-adapters");
    search();
    Sims sims;
    respond(sims, "qa1", "search-json,search-pelix", {"--device-id", kHexA});
    std::vector<PelixDeviceRecord> records(QUILVANE_MAX_SEARCH_RESULTS);
    ASSERT_EQ(QUILVANE_SearchPELIX(records.data()), 1);
    EXPECT_EQ(records[0].bytes[1], 0x02);
    EXPECT_EQ(records[0].bytes[3], 0x02);
    EXPECT_EQ(std::memcmp(records[0].bytes + 4, kIdA, 6), 0);
    search();
    EXPECT_EQ(search().size(), 1u) << "only the JSON reply";
}

TEST(Search, DuplicatesAreKeptAndTheMaximumHolds) {
    REQUIRE_NETWORK("two-adapters");
    search();
    Sims sims;
    respond(sims, "qa1", "search-json", {"--reply-count", "150"});
    respond(sims, "qb1", "search-json", {"--reply-count", "150"});
    testing::internal::CaptureStderr();
    EXPECT_EQ(search().size(), static_cast<std::size_t>(QUILVANE_MAX_SEARCH_RESULTS));
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("Search replies beyond the maximum left out: "), std::string::npos) << err;
}

TEST(Probe, DeviceAnswersOnlyWithAGoodReplyAndEveryAdapterIsTriedOffSubnet) {
    REQUIRE_NETWORK("two-adapters");
    Sims sims;
    respond(sims, "qa1", "probe-vci", {"--device-id", kHexA});
    respond(sims, "qb1", "probe-pelix,probe-vci", {"--device-id", kHexB});
    EXPECT_EQ(QUILVANE_ProbeVCIDevice(kIdA, kDeviceA, 200), 1);
    EXPECT_EQ(QUILVANE_ProbeVCIDevice(kIdB, kDeviceA, 50), 0) << "nobody on that subnet has that identifier";
    EXPECT_EQ(QUILVANE_ProbeVCIDevice(kIdA, kDeviceB, 50), 0) << "the other subnet's adapter is not used";
    EXPECT_EQ(QUILVANE_ProbePELIXDevice(kIdB, kDeviceB, 200), 1);
    EXPECT_EQ(QUILVANE_ProbePELIXDevice(kIdA, kDeviceB, 50), 0);
    const std::uint8_t elsewhere[4] = {203, 0, 113, 9};
    EXPECT_EQ(QUILVANE_ProbeVCIDevice(kIdB, elsewhere, 200), 1) << "no adapter on its subnet: all are used";
    sims.clear();
    for (const char* fault : {"wrong-id", "bad-crc", "bad-xor", "short"}) {
        respond(sims, "qa1", "probe-vci", {"--device-id", kHexA, "--reply-fault", fault});
        EXPECT_EQ(QUILVANE_ProbeVCIDevice(kIdA, kDeviceA, 100), 0) << fault;
        sims.clear();
    }
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
