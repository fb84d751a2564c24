// The tool as a user runs it: help, and bad arguments and log files refused,
// named, before the library is used; dump, send, gen and replay against the
// device simulator on loopback, with the frames counted on both sides.
#include <gmock/gmock.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>

#include "cli_process.h"

using namespace quilvane::log_lines;
using testing::HasSubstr;
using testing::Not;

namespace {

TEST(Arguments, HelpForEveryCommandOnStandardOutput) {
    for (const std::string command : {"", "search", "probe", "dump", "send", "gen", "replay", "serve"}) {
        const CliResult help = runCli(command.empty() ? std::vector<std::string>{"--help"}
                                                      : std::vector<std::string>{command, "--help"});
        EXPECT_EQ(help.status, 0) << command;
        EXPECT_EQ(help.out.rfind("Usage: quilvane " + command, 0), 0u) << help.out;
        EXPECT_EQ(help.err, "") << command;
    }
    EXPECT_EQ(runCli({}).status, 2);
}

// One case for each way an argument is read: command, CONNECTION, number,
// missing value, range, OPTION=VALUE, flag, list, frame, file, identifier;
// then serve's own options, a port in use and a device that cannot be reached.
TEST(Arguments, BadArgumentsAreNamedAndEndWithStatusTwoAndNoDeviceWithOne) {
    const std::string tcp = "tcp://127.0.0.1:9", udp = "udp://127.0.0.1:9", log = tempPath("bad.log");
    const std::string port = std::to_string(freePort(false));
    std::uint16_t held = 0;
    const int holder = tcpListen(held);
    std::ofstream(log) << "(1.000000) can0 123#11\n(1.100000) can0 456#22\n(1.2) can0 123#R\n";
    const struct {
        std::vector<std::string> args;
        std::string message;
        int status = 2;
    } cases[] = {
        {{"frobnicate"},
         "unknown command \"frobnicate\"; expected search, probe, dump, send, gen, replay or serve"},
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
        {{"serve", udp}, "quilvane serve: missing --socketcand [ADDRESS:]PORT"},
        {{"serve", "--socketcand", "1.2.3:5", udp}, "--socketcand: expected [ADDRESS:]PORT"},
        {{"serve", "--socketcand", "65536", udp}, "--socketcand: expected [ADDRESS:]PORT"},
        {{"serve", "--socketcand", "0", udp, "--bus", "can0"}, "--bus: expected NAME=CHANNEL"},
        {{"serve", "--socketcand", "0", udp, "--bus", "a_name_of_17_char=1"}, "--bus: expected NAME=CHANNEL"},
        {{"serve", "--socketcand", "0", udp, "--bus", "can0=256"}, "--bus: expected a channel from 0 to 255"},
        {{"serve", "--socketcand", "0", udp, "--bus", "a=1", "--bus", "a=2"}, "--bus: \"a\" is given twice"},
        {{"serve", "--socketcand", "127.0.0.1:" + std::to_string(held), udp}, "cannot bind to 127.0.0.1:", 1},
        {{"send", "tcp-listen://:" + port, "123#11", "--wait", "0.3"}, "no device connected within", 1},
        {{"send", "tcp://127.0.0.1:" + port, "123#11"},
         "quilvane send: cannot connect to 127.0.0.1:" + port,
         1},
    };
    for (const auto& c : cases) {
        const CliResult result = runCli(c.args);
        EXPECT_EQ(result.status, c.status) << c.message;
        EXPECT_THAT(result.err, HasSubstr(c.message));
        EXPECT_TRUE(c.status != 2 || result.err.find(kBoundTo) == std::string::npos) << "library started";
        EXPECT_EQ(result.out, "");
    }
    std::remove(log.c_str());
    closeSocket(holder);
    EXPECT_THAT(runCli({"gen", tcp, "--rate", "x"}).err, HasSubstr("Try 'quilvane gen --help'."));
}

TEST(Connections, EveryKindCarriesFramesBothWaysCountedOnBothSides) {
    const std::vector<std::string> sent = {"123#1122", "1F334455#", "123##1" + std::string(128, 'A'),
                                           "7FF#11.22.33"};
    std::string written;
    for (const std::string& frame : sent)
        written += "(0.0) can2 " + frame + "\n";
    const auto expected = records(written);
    for (const std::string kind : {"tcp", "tcp-listen", "udp"}) {
        SCOPED_TRACE(kind);
        // --count counts the frames of --channel; the last one ends the run, not the device.
        auto [source, dump] =
            join(kind, true, {"dump", "--channel", "1", "--count", "100", "--duration", "20"},
                 {"--generate", "200", "--channels", "0,1", "--rate", "2000", "--duration", "20"});
        EXPECT_EQ(dump->finish(), 0) << dump->err();
        EXPECT_EQ(source->summary()["sent_frames"], 200u);
        const auto got = records(dump->out());
        EXPECT_EQ(got.size(), 100u);
        EXPECT_EQ(std::ranges::count_if(got, [](const LogRecord& r) { return r.frame.channel == 1; }), 100);
        EXPECT_THAT(dump->err(), HasSubstr("quilvane dump: 100 frames received"));
        EXPECT_THAT(dump->err(), Not(HasSubstr("the device closed the connection")));

        auto [sink, send] = join(kind, false, {"send", "--channel", "2", sent[0], sent[1], sent[2], sent[3]},
                                 {"--expect", "4", "--verbose", "--duration", "20"});
        EXPECT_EQ(send->finish(), 0) << send->err();
        EXPECT_EQ(sink->summary()["received_frames"], 4u) << "tcp-listen sends once the device is there";
        EXPECT_THAT(send->err(), HasSubstr("quilvane send: 4 frames sent"));
        EXPECT_EQ(framesOf(records(sink->err())), framesOf(expected));
    }
}

// dump prints and logs every frame; its log, replayed, gives a device the same
// frames, and python-can reads it.
TEST(Dump, PrintsAndLogsEveryFrameAndTheLogReadsBack) {
    const std::string log = tempPath("dump.log");
    auto [source, dump] =
        join("tcp", true, {"dump", "--log", log, "--device-time"},
             {"--generate", "300", "--record", "mixed", "--data-length", "12", "--channels", "0,1",
              "--records-per-packet", "3", "--ids", "0x7F0-0x80F", "--duration", "20"});
    ASSERT_EQ(dump->finish(), 0) << dump->err();
    EXPECT_EQ(source->summary()["sent_frames"], 300u);
    std::ifstream logged(log);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(logged), {}), dump->out());
    std::remove(log.c_str());

    const auto dumped = records(dump->out());
    ASSERT_EQ(dumped.size(), 300u);
    auto got = dumped;
    // Each channel is its own queue in the library: order holds per channel.
    std::ranges::sort(got, {}, &LogRecord::micros);
    // --device-time prints the device's timestamp; classic packets alternate with FD packets.
    for (std::uint64_t s = 0; s < got.size(); ++s) {
        const CanFrame& f = got[s].frame;
        const int length = s / 3 % 2 == 0 ? 8 : 12;
        ASSERT_EQ(std::tuple(got[s].micros, f.id, f.channel, f.dataLength, f.data[length - 1]),
                  std::tuple(s, 0x7F0 + s % 32, s % 2, length, static_cast<std::uint8_t>(s + length - 1)));
    }
    EXPECT_THAT(dump->err(), HasSubstr(kTcpClientConnectedTo)) << "library lines on stderr";
    EXPECT_THAT(dump->err(), HasSubstr("quilvane dump: the device closed the connection"));
    EXPECT_THAT(dump->err(), HasSubstr("quilvane dump: 300 frames received"));

    auto [sink, replay] = join("tcp", false, {"replay", "-", "--speed", "0"},
                               {"--expect", "300", "--verbose", "--duration", "20"}, {.input = dump->out()});
    EXPECT_EQ(sink->summary()["received_frames"], 300u);
    EXPECT_EQ(replay->finish(), 0) << replay->err();
    EXPECT_EQ(framesOf(records(sink->err())), framesOf(dumped));

    // python-can reads it too: what it writes back holds the same frames.
    SKIP_WITHOUT_PYTHON_CAN();
    ChildProcess python;
    python.spawn({"/usr/bin/python3", "-c",
                  "import can, sys\nw = can.CanutilsLogWriter(sys.stdout)\n"
                  "for m in can.CanutilsLogReader(sys.argv[1]): w.on_message_received(m)\n",
                  "/dev/stdin"},
                 {.input = dump->out()});
    EXPECT_EQ(python.finish(), 0) << python.err();
    EXPECT_EQ(framesOf(records(python.out()), true), framesOf(dumped, true));
}

TEST(Dump, DurationAndCtrlCEndTheRunWithASummary) {
    for (const bool ctrlC : {false, true}) {
        auto [sim, dump] = join("tcp", true, {"dump", "--duration", ctrlC ? "20" : "0.5"},
                                {"--generate", "100000", "--rate", "200", "--duration", "20"});
        const auto fiveLines = [d = dump.get()] {
            return std::count(d->out().begin(), d->out().end(), '\n') >= 5;
        };
        if (ctrlC) {
            ASSERT_TRUE(dump->readUntil(fiveLines, 10000)) << dump->err();
            dump->interrupt();
        }
        EXPECT_EQ(dump->finish(), 0) << dump->err();
        const std::size_t frames = records(dump->out()).size();
        EXPECT_GT(frames, 0u);
        EXPECT_THAT(dump->err(), HasSubstr("quilvane dump: " + std::to_string(frames) + " frames received"));
        EXPECT_THAT(dump->err(), HasSubstr("drops: unknown to the host"));
        EXPECT_EQ(dump->err().find("; interrupted") != std::string::npos, ctrlC) << dump->err();
        EXPECT_THAT(dump->err(), Not(HasSubstr("the device closed the connection"))) << "the run ended first";
        EXPECT_THAT(dump->err(), HasSubstr(kTcpClientDisconnected)) << "the link is closed";
    }
}

// gen's frame s: identifier 0x100 + s % 256, channel CHANNELS[s % n], data (s + i) & 0xFF.
TEST(Gen, FramesFollowThePatternCountedOnBothSidesWithProgressOnlyOnATerminal) {
    for (const bool terminal : {false, true}) {  // terminal: UDP at 300 frames/s, else TCP at once
        // Under wine a terminal becomes wine's console, which redraws each
        // character with escape codes of its own: Linux checks the progress.
        if (terminal && std::getenv("QUILVANE_UNDER_WINE") != nullptr)
            continue;
        const std::uint64_t frames = terminal ? 300 : 2000;
        const std::string count = std::to_string(frames);
        auto [sim, gen] =
            join(terminal ? "udp" : "tcp", false,
                 {"gen", "--rate", terminal ? "300" : "0", "--count", count, "--fd", "--channels", "0,3"},
                 {"--expect", count, "--verbose", "--duration", "30"}, {.errorTerminal = terminal});
        // The simulator first: its stderr fills with --verbose lines unless read.
        EXPECT_EQ(sim->summary()["received_frames"], frames);
        EXPECT_EQ(gen->finish(), 0) << gen->err();
        EXPECT_THAT(gen->err(), HasSubstr("quilvane gen: " + count + " frames sent"));
        EXPECT_EQ(gen->err().find("\rquilvane gen: ") != std::string::npos, terminal) << gen->err();
        const auto got = records(sim->err());
        ASSERT_EQ(got.size(), frames);
        for (std::uint64_t s = 0; s < got.size(); ++s) {
            const CanFrame& f = got[s].frame;
            ASSERT_EQ(std::tuple(f.id, f.channel, f.dataLength, f.data[63]),
                      std::tuple(0x100 + s % 256, s % 2 == 0 ? 0 : 3, 64, static_cast<std::uint8_t>(s + 63)));
        }
    }
}

}  // namespace
