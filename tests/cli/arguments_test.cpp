// The tool's command line: help texts, and bad arguments refused with a
// message naming the argument, exit status 2, before the library is used.
#include <gtest/gtest.h>

#include "cli_process.h"

namespace {

TEST(Arguments, EveryCommandHasHelpOnStandardOutput) {
    const CliResult top = runCli({"--help"});
    EXPECT_EQ(top.status, 0);
    for (const char* command : {"search", "probe", "dump", "send", "gen", "replay"}) {
        EXPECT_NE(top.out.find(std::string("\n  ") + command + " "), std::string::npos) << command;
        const CliResult help = runCli({command, "--help"});
        EXPECT_EQ(help.status, 0) << command;
        EXPECT_EQ(help.out.rfind(std::string("Usage: quilvane ") + command, 0), 0u) << help.out;
        EXPECT_EQ(help.err, "") << command;
    }
    EXPECT_EQ(runCli({}).status, 2);
}

TEST(Arguments, BadArgumentsAreNamedAndEndWithStatusTwo) {
    const std::string tcp = "tcp://127.0.0.1:9";
    const struct {
        std::vector<std::string> args;
        const char* message;
    } cases[] = {
        {{"frobnicate"}, "quilvane: unknown command \"frobnicate\""},
        {{"dump"}, "quilvane dump: missing CONNECTION"},
        {{"dump", tcp, "--count", "abc"}, "quilvane dump: --count: expected a positive number, got \"abc\""},
        {{"dump", tcp, "--count", "0"}, "--count: expected a positive number, got \"0\""},
        {{"dump", tcp, "--count"}, "--count: expected a value"},
        {{"dump", tcp, "--channel", "256"},
         "--channel: expected a channel from 0 to 255, or \"all\", got \"256\""},
        {{"dump", tcp, "--duration=0"}, "--duration: expected seconds, more than 0, got \"0\""},
        {{"dump", tcp, "--bogus"}, "unknown option \"--bogus\""},
        {{"dump", tcp, "extra"}, "unexpected argument \"extra\""},
        {{"dump", "tcp://127.0.0.1"}, "CONNECTION \"tcp://127.0.0.1\": expected ADDRESS:PORT"},
        {{"send", tcp}, "quilvane send: missing FRAME"},
        {{"send", tcp, "123#11", "123#R"}, "frame \"123#R\": remote frames (R) are not supported"},
        {{"send", tcp, "123#11", "--channel", "x"}, "--channel: expected a channel from 0 to 255, got \"x\""},
        {{"gen", tcp, "--rate", "-5"}, "--rate: expected frames per second, 0 or more, got \"-5\""},
        {{"gen", tcp, "--channels", "0,,1"}, "--channels: expected channels from 0 to 255"},
        {{"gen", tcp, "--fd=yes"}, "--fd: takes no value, got \"yes\""},
        {{"replay", tcp}, "quilvane replay: missing FILE"},
        {{"replay", tcp, "/nonexistent/log"}, "FILE: cannot read \"/nonexistent/log\""},
        {{"replay", tcp, "-", "--speed", "fast"}, "--speed: expected a factor"},
        {{"probe", "usb", "001A2B3C4D5E", "192.0.2.10"},
         "expected the family \"pelix\" or \"vci\", got \"usb\""},
        {{"probe", "vci", "001A2B3C4D", "192.0.2.10"}, "ID: expected 12 hex digits"},
        {{"probe", "vci", "001A2B3C4D5E", "192.0.2"}, "ADDRESS: expected an IPv4 address"},
        {{"probe", "vci", "001A2B3C4D5E", "192.0.2.10", "--timeout", "0"},
         "--timeout: expected milliseconds"},
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
    EXPECT_NE(runCli({"gen", tcp, "--rate", "x"}).err.find("Try 'quilvane gen --help'."), std::string::npos);
}

}  // namespace
