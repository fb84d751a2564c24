// The tool's command line: help; bad arguments and log files refused, named,
// before the library is used; a device that cannot be reached.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include "cli_process.h"
#include "test_wire.h"

namespace {

TEST(Arguments, HelpForEveryCommandOnStandardOutput) {
    for (const std::string command : {"", "search", "probe", "dump", "send", "gen", "replay"}) {
        const CliResult help = runCli(command.empty() ? std::vector<std::string>{"--help"}
                                                      : std::vector<std::string>{command, "--help"});
        EXPECT_EQ(help.status, 0) << command;
        EXPECT_EQ(help.out.rfind("Usage: quilvane " + command, 0), 0u) << help.out;
        EXPECT_EQ(help.err, "") << command;
    }
    EXPECT_EQ(runCli({}).status, 2);
}

// One case for each way an argument is read: command, CONNECTION, number,
// missing value, range, OPTION=VALUE, flag, list, frame, file, identifier.
TEST(Arguments, BadArgumentsAreNamedAndEndWithStatusTwo) {
    const std::string tcp = "tcp://127.0.0.1:9";
    const std::string log = tempPath("bad.log");
    std::ofstream(log) << "(1.000000) can0 123#11\n(1.100000) can0 456#22\n(1.2) can0 123#R\n";
    const struct {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{"frobnicate"}, "quilvane: unknown command \"frobnicate\""},
        {{"dump"}, "quilvane dump: missing CONNECTION"},
        {{"dump", "tcp://127.0.0.1"}, "CONNECTION \"tcp://127.0.0.1\": expected ADDRESS:PORT"},
        {{"dump", tcp, "--count", "abc"}, "quilvane dump: --count: expected a positive number, got \"abc\""},
        {{"dump", tcp, "--count", "0"}, "--count: expected a positive number, got \"0\""},
        {{"dump", tcp, "--count"}, "--count: expected a value"},
        {{"dump", tcp, "--channel", "256"},
         "--channel: expected a channel from 0 to 255, or \"all\", got \"256\""},
        {{"dump", tcp, "--duration=0"}, "--duration: expected seconds, more than 0, got \"0\""},
        {{"dump", tcp, "--bogus"}, "unknown option \"--bogus\""},
        {{"dump", tcp, "extra"}, "unexpected argument \"extra\""},
        {{"send", tcp, "123#11", "123#R"}, "frame \"123#R\": remote frames (R) are not supported"},
        {{"gen", tcp, "--rate", "-5"}, "--rate: expected frames per second, 0 or more, got \"-5\""},
        {{"gen", tcp, "--channels", "0,,1"}, "--channels: expected channels from 0 to 255"},
        {{"replay", tcp, "/nonexistent/log"}, "FILE: cannot read \"/nonexistent/log\""},
        {{"replay", tcp, log}, log + ":3: frame \"123#R\": remote frames"},  // the whole file is read first
        {{"probe", "usb", "001A2B3C4D5E", "192.0.2.10"},
         "expected the family \"pelix\" or \"vci\", got \"usb\""},
        {{"probe", "vci", "001A2B3C4D", "192.0.2.10"}, "ID: expected 12 hex digits"},
        {{"search", "--pelix=1"}, "quilvane search: --pelix: takes no value"},
    };
    for (const auto& c : cases) {
        const CliResult result = runCli(c.args);
        EXPECT_EQ(result.status, 2) << c.message;
        EXPECT_NE(result.err.find(c.message), std::string::npos) << result.err;
        EXPECT_EQ(result.err.find("Bound to"), std::string::npos)
            << "the library was started: " << result.err;
        EXPECT_EQ(result.out, "");
    }
    std::remove(log.c_str());
    EXPECT_NE(runCli({"gen", tcp, "--rate", "x"}).err.find("Try 'quilvane gen --help'."), std::string::npos);
}

TEST(Arguments, NoDeviceToReachEndsWithStatusOne) {
    const std::string port = std::to_string(freePort(false));
    const CliResult alone = runCli({"send", "tcp-listen://:" + port, "123#11", "--wait", "0.3"});
    EXPECT_EQ(alone.status, 1);
    EXPECT_NE(alone.err.find("no device connected within"), std::string::npos) << alone.err;
    const CliResult refused = runCli({"send", "tcp://127.0.0.1:" + port, "123#11"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("quilvane send: cannot connect to 127.0.0.1:" + port), std::string::npos)
        << refused.err;
}

}  // namespace
