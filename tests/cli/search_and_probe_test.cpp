// quilvane search and probe on the private test network that
// isolated_network.sh sets up, against the simulator's responders.
#include <cjson/cJSON.h>
#include <gmock/gmock.h>

#include "../discovery/isolated_network.h"
#include "cli_process.h"

using testing::HasSubstr;

namespace {

TEST(TwoAdapters, SearchListsEveryDeviceAndProbeSaysWhetherItAnswered) {
    REQUIRE_NETWORK("two-adapters");
    Sims sims;
    respond(
        sims, "qa1", "search-json,search-pelix,probe-vci,probe-pelix",
        {"--name", "alpha", "--serial", "S-1", "--mac", "0.26.43.60.77.1", "--device-id", "001A2B3C4D07"});
    respond(sims, "qb1", "search-json", {"--name", "be\"ta", "--ipv4", "198.51.100.130"});

    const CliResult table = runCli({"search"});
    EXPECT_EQ(table.status, 0) << table.err;
    EXPECT_EQ(table.out.rfind("MODEL ", 0), 0u) << table.out;
    EXPECT_THAT(table.out, HasSubstr("alpha"));
    EXPECT_THAT(table.out, HasSubstr("00:1A:2B:3C:4D:01")) << "MAC in hex";
    EXPECT_THAT(table.out, HasSubstr("198.51.100.130"));

    const CliResult json = runCli({"search", "--json"});
    EXPECT_EQ(json.status, 0) << json.err;
    cJSON* devices = cJSON_Parse(json.out.c_str());
    ASSERT_EQ(cJSON_GetArraySize(devices), 2) << json.out;
    EXPECT_STREQ(cJSON_GetObjectItem(cJSON_GetArrayItem(devices, 0), "serialNumber")->valuestring, "S-1");
    EXPECT_STREQ(cJSON_GetObjectItem(cJSON_GetArrayItem(devices, 1), "name")->valuestring, "be\"ta");
    cJSON_Delete(devices);

    const CliResult pelix = runCli({"search", "--pelix"});
    EXPECT_EQ(pelix.status, 0) << pelix.err;
    EXPECT_THAT(pelix.out, HasSubstr("1    00020002001A2B3C4D07"));
    EXPECT_THAT(runCli({"search", "--pelix", "--json"}).out,
                HasSubstr("{\"record\": \"00020002001A2B3C4D07"));

    const CliResult vci = runCli({"probe", "vci", "00:1A:2B:3C:4D:07", "198.51.100.2", "--timeout", "300"});
    EXPECT_EQ(vci.status, 0) << vci.err;
    EXPECT_EQ(vci.out, "001A2B3C4D07 at 198.51.100.2 answered the VCI probe\n");
    EXPECT_EQ(runCli({"probe", "pelix", "001A2B3C4D07", "198.51.100.2", "--timeout", "300"}).status, 0);
    const CliResult other = runCli({"probe", "vci", "001A2B3C4D02", "198.51.100.2", "--timeout", "50"});
    EXPECT_EQ(other.status, 1);
    EXPECT_THAT(other.out, HasSubstr("did not answer the VCI probe within 50 ms"));
}

TEST(NoAdapter, ProbeSaysSoAndSearchFindsNothing) {
    REQUIRE_NETWORK("none");
    const CliResult probe = runCli({"probe", "vci", "001A2B3C4D01", "198.51.100.2", "--timeout", "50"});
    EXPECT_EQ(probe.status, 1);
    EXPECT_THAT(probe.err, HasSubstr("quilvane probe: no usable network adapter or socket failure"));
    const CliResult search = runCli({"search", "--json"});
    EXPECT_EQ(std::tuple(search.status, search.out), std::tuple(0, "[]\n"));
    EXPECT_THAT(search.err, HasSubstr("quilvane search: no device answered"));
}

}  // namespace
