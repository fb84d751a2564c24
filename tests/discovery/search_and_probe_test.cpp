// Device searches and probes on a private test network (see
// isolated_network.sh), against the simulator's responders. One process:
// the library's discovery sockets are made once, at its first use.
#include <cstring>
#include <string>
#include <vector>

#include "common/log_lines.h"
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

// The first adapter's devices come first; duplicates are kept up to the
// maximum. (PELIX records apart from JSON ones: BroadcastReplies; their
// bytes: the tool's search --pelix.)
TEST(Search, EveryAdapterInTurnUpToTheMaximum) {
    REQUIRE_NETWORK("two-adapters");
    search();
    Sims sims;
    respond(sims, "qa1", "search-json", {"--name", "a", "--reply-count", "150"});
    respond(sims, "qb1", "search-json", {"--name", "b", "--reply-count", "150"});
    testing::internal::CaptureStderr();
    const auto found = search();
    const std::string err = testing::internal::GetCapturedStderr();
    ASSERT_EQ(found.size(), static_cast<std::size_t>(QUILVANE_MAX_SEARCH_RESULTS));
    EXPECT_NE(err.find(quilvane::log_lines::kSearchRepliesLeftOut), std::string::npos) << err;
    EXPECT_EQ(std::string() + found.front().name[0] + found.back().name[0], "ab");
    for (std::size_t i = 1; i < found.size(); ++i) {
        EXPECT_TRUE(found[i].name[0] == 'a' || found[i].name[0] == 'b') << "only JSON replies, " << i;
        EXPECT_LE(found[i - 1].name[0], found[i].name[0]) << "the first adapter's come first, " << i;
    }
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

// Devices that answer by broadcast, to their subnet's address or to
// 255.255.255.255, out of their own side of the pair. Each adapter on that
// pair hears each reply once: the device side's own address by the system's
// local copy, the library side over the pair (see isolated_network.sh); the
// other pair's adapters never do. So each device is found twice, and the
// first pair's adapters come first.
TEST(BroadcastReplies, HeardOnceByEachAdapterOnTheDevicesPairOnly) {
    REQUIRE_NETWORK("two-adapters");
    const std::string kinds = "search-json,search-pelix,probe-vci,probe-pelix";
    for (const std::string replyTo : {"subnet-broadcast", "broadcast"}) {
        SCOPED_TRACE(replyTo);
        search();
        Sims sims;
        respond(sims, "qa1", kinds, {"--name", "a", "--device-id", kHexA, "--reply-to", replyTo});
        respond(sims, "qb1", kinds, {"--name", "b", "--device-id", kHexB, "--reply-to", replyTo});
        std::string names, ids;
        for (const DeviceInfo& info : search())
            names += info.name;
        std::vector<PelixDeviceRecord> records(QUILVANE_MAX_SEARCH_RESULTS);
        for (int i = 0, n = QUILVANE_SearchPELIX(records.data()); i < n; ++i)
            ids += std::to_string(records[i].bytes[9]);
        EXPECT_EQ(names, "aabb");
        EXPECT_EQ(ids, "1122") << "the last byte of each device identifier";
        EXPECT_EQ(QUILVANE_ProbeVCIDevice(kIdA, kDeviceA, 200), 1);
        EXPECT_EQ(QUILVANE_ProbePELIXDevice(kIdA, kDeviceA, 200), 1);
        EXPECT_EQ(QUILVANE_ProbeVCIDevice(kIdB, kDeviceB, 200), 1);
        EXPECT_EQ(QUILVANE_ProbePELIXDevice(kIdB, kDeviceB, 200), 1);
    }
}

}  // namespace
