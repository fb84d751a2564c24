// dump, send, gen and replay against the device simulator on loopback, with
// the frames counted on both sides.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <sstream>

#include "candump_format.h"
#include "cli_process.h"
#include "sim_process.h"

namespace {

std::string local(std::uint16_t port) {
    return "127.0.0.1:" + std::to_string(port);
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty())
            result.push_back(line);
    }
    return result;
}

// Every line must be a log line: nothing else may reach the data stream.
std::vector<LogRecord> records(const std::string& text) {
    std::vector<LogRecord> result;
    for (const std::string& line : lines(text)) {
        LogRecord record;
        std::string error;
        EXPECT_TRUE(parseLogLine(line, record, error)) << line << ": " << error;
        result.push_back(record);
    }
    return result;
}

// The simulator's --verbose lines on its stderr: what it received.
std::vector<LogRecord> received(SimProcess& sim) {
    return records(sim.errors());
}

// N from the tool's summary line "quilvane COMMAND: N frames ...".
std::uint64_t summaryFrames(const std::string& err, const std::string& command) {
    const std::string prefix = "quilvane " + command + ": ";
    for (const std::string& line : lines(err)) {
        if (line.rfind(prefix, 0) == 0 && line.find(" frames ") != std::string::npos) {
            return std::stoull(line.substr(prefix.size()));
        }
    }
    ADD_FAILURE() << "no summary in " << err;
    return 0;
}

// The simulator's log writes "##0" for frames of more than 8 bytes and
// shows no flags, so flags are not compared.
void expectSameFrame(const CanFrame& a, const CanFrame& b, std::size_t index) {
    EXPECT_EQ(a.id, b.id) << index;
    EXPECT_EQ(a.channel, b.channel) << index;
    ASSERT_EQ(a.dataLength, b.dataLength) << index;
    EXPECT_EQ(std::memcmp(a.data, b.data, a.dataLength), 0) << index;
}

TEST(Dump, PrintsAndLogsEveryFrameTheDeviceSent) {
    SimProcess sim({"--tcp-listen", "127.0.0.1:0", "--generate", "300", "--record", "mixed", "--data-length",
                    "12", "--channels", "0,1", "--records-per-packet", "3", "--duration", "20"});
    const std::string log = tempPath("dump.log");
    CliProcess dump({"dump", "tcp://" + local(sim.readyPort()), "--log", log, "--device-time"});
    ASSERT_EQ(dump.finish(), 0) << dump.err();
    EXPECT_EQ(sim.summary()["sent_frames"], 300u);
    EXPECT_EQ(readFile(log), dump.out());
    std::remove(log.c_str());

    auto got = records(dump.out());
    ASSERT_EQ(got.size(), 300u);
    // Each channel is its own queue in the library: order holds per channel.
    std::sort(got.begin(), got.end(),
              [](const LogRecord& a, const LogRecord& b) { return a.micros < b.micros; });
    for (std::uint64_t s = 0; s < got.size(); ++s) {
        const CanFrame& f = got[s].frame;
        ASSERT_EQ(got[s].micros, s) << "--device-time prints the device's timestamp";
        EXPECT_EQ(f.id, 0x100 + s % 256);
        EXPECT_EQ(f.channel, s % 2);
        ASSERT_EQ(f.dataLength, s / 3 % 2 == 0 ? 8 : 12) << "classic packets alternate with FD packets";
        EXPECT_EQ(f.data[f.dataLength - 1], static_cast<std::uint8_t>(s + f.dataLength - 1));
    }
    EXPECT_NE(dump.err().find("TCP Client connected to "), std::string::npos)
        << "the library's lines go to stderr";
    EXPECT_NE(dump.err().find("quilvane dump: the device closed the connection"), std::string::npos);
    EXPECT_NE(dump.err().find("quilvane dump: 300 frames received"), std::string::npos) << dump.err();
}

TEST(Dump, ChannelCountDurationAndCtrlCBoundTheRun) {
    {
        SimProcess sim(
            {"--tcp-listen", "127.0.0.1:0", "--generate", "200", "--channels", "0,1", "--duration", "20"});
        const CliResult dump =
            runCli({"dump", "tcp://" + local(sim.readyPort()), "--channel", "1", "--count", "50"});
        EXPECT_EQ(dump.status, 0) << dump.err;
        const auto got = records(dump.out);
        ASSERT_EQ(got.size(), 50u);
        for (const LogRecord& r : got)
            EXPECT_EQ(r.frame.channel, 1);
    }
    for (const bool ctrlC : {false, true}) {
        SimProcess sim(
            {"--tcp-listen", "127.0.0.1:0", "--generate", "100000", "--rate", "200", "--duration", "20"});
        std::vector<std::string> args{"dump", "tcp://" + local(sim.readyPort())};
        if (!ctrlC)
            args.insert(args.end(), {"--duration", "0.5"});
        CliProcess dump(args);
        if (ctrlC) {
            ASSERT_TRUE(dump.waitForLines(5));
            dump.interrupt();
        }
        EXPECT_EQ(dump.finish(), 0) << dump.err();
        EXPECT_GT(dump.outLines().size(), 0u);
        EXPECT_EQ(summaryFrames(dump.err(), "dump"), records(dump.out()).size()) << dump.err();
        EXPECT_NE(dump.err().find("drops: unknown to the host"), std::string::npos);
        EXPECT_EQ(dump.err().find("; interrupted") != std::string::npos, ctrlC) << dump.err();
        EXPECT_NE(dump.err().find("TCP Client disconnected"), std::string::npos)
            << "closed before the summary";
    }
}

TEST(Dump, ListensForDevicesAndReadsUdp) {
    const std::uint16_t tcpPort = freePort(false);
    CliProcess listening(
        {"dump", "tcp-listen://:" + std::to_string(tcpPort), "--count", "100", "--duration", "20"});
    ASSERT_TRUE(listening.waitForError("TCP Server started on port: " + std::to_string(tcpPort)))
        << listening.err();
    SimProcess device({"--tcp-connect", local(tcpPort), "--generate", "100", "--duration", "20"});
    EXPECT_EQ(listening.finish(), 0) << listening.err();
    EXPECT_EQ(device.summary()["sent_frames"], 100u);
    EXPECT_EQ(records(listening.out()).size(), 100u);

    const std::uint16_t udpPort = freePort(true);
    CliProcess udp(
        {"dump", "udp://127.0.0.1:9?local=" + local(udpPort), "--count", "100", "--duration", "20"});
    ASSERT_TRUE(udp.waitForError("Bound to " + local(udpPort))) << udp.err();
    SimProcess sender(
        {"--udp", "127.0.0.1:0", "--peer", local(udpPort), "--generate", "100", "--rate", "2000"});
    EXPECT_EQ(udp.finish(), 0) << udp.err();
    EXPECT_EQ(sender.summary()["sent_frames"], 100u);
    EXPECT_EQ(records(udp.out()).size(), 100u);
}

TEST(Send, FramesArriveAsWrittenOverEachConnectionKind) {
    const std::string fd64 = "123##1" + std::string(128, 'A');
    {
        SimProcess sim({"--tcp-listen", "127.0.0.1:0", "--expect", "4", "--verbose", "--duration", "20"});
        const CliResult send = runCli({"send", "tcp://" + local(sim.readyPort()), "123#1122", "1F334455#",
                                       fd64, "7FF#11.22.33", "--channel", "2"});
        EXPECT_EQ(send.status, 0) << send.err;
        EXPECT_EQ(sim.summary()["received_frames"], 4u);
        const auto got = received(sim);
        ASSERT_EQ(got.size(), 4u);
        const char* sent[] = {"123#1122", "1F334455#", fd64.c_str(), "7FF#112233"};
        for (std::size_t i = 0; i < 4; ++i) {
            LogRecord expected;
            std::string error;
            ASSERT_TRUE(parseLogLine(std::string("(0.0) can2 ") + sent[i], expected, error));
            expectSameFrame(got[i].frame, expected.frame, i);
        }
        EXPECT_NE(send.err.find("quilvane send: 4 frames sent"), std::string::npos) << send.err;
    }
    {
        SimProcess sim({"--udp", "127.0.0.1:0", "--expect", "2", "--duration", "20"});
        EXPECT_EQ(runCli({"send", "udp://" + local(sim.readyPort()), "123#11", fd64}).status, 0);
        EXPECT_EQ(sim.summary()["received_frames"], 2u);
    }
    {
        const std::uint16_t port = freePort(false);
        CliProcess send({"send", "tcp-listen://:" + std::to_string(port), "123#11", "456#22"});
        ASSERT_TRUE(send.waitForError("TCP Server started on port: ")) << send.err();
        SimProcess device({"--tcp-connect", local(port), "--expect", "2", "--duration", "20"});
        EXPECT_EQ(send.finish(), 0) << send.err();
        EXPECT_EQ(device.summary()["received_frames"], 2u) << "sent only once the device was there";
    }
}

TEST(Send, NoDeviceToReachEndsWithStatusOne) {
    const CliResult alone =
        runCli({"send", "tcp-listen://:" + std::to_string(freePort(false)), "123#11", "--wait", "0.3"});
    EXPECT_EQ(alone.status, 1);
    EXPECT_NE(alone.err.find("no device connected within"), std::string::npos) << alone.err;
    const CliResult refused = runCli({"send", "tcp://" + local(freePort(false)), "123#11"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("quilvane send: cannot connect to 127.0.0.1:"), std::string::npos)
        << refused.err;
}

TEST(Gen, CountsMatchOnBothSidesAndFramesFollowThePattern) {
    {
        SimProcess sim({"--tcp-listen", "127.0.0.1:0", "--expect", "2000", "--duration", "30"});
        const CliResult gen =
            runCli({"gen", "tcp://" + local(sim.readyPort()), "--rate", "0", "--count", "2000"});
        EXPECT_EQ(gen.status, 0) << gen.err;
        EXPECT_EQ(sim.summary()["received_frames"], 2000u);
        EXPECT_EQ(summaryFrames(gen.err, "gen"), 2000u);
        EXPECT_EQ(gen.err.find("\rquilvane gen:"), std::string::npos) << "no progress line off a terminal";
    }
    SimProcess sim({"--udp", "127.0.0.1:0", "--expect", "100", "--verbose", "--duration", "30"});
    const CliResult gen = runCli({"gen", "udp://" + local(sim.readyPort()), "--rate", "2000", "--count",
                                  "100", "--fd", "--channels", "0,3"});
    EXPECT_EQ(gen.status, 0) << gen.err;
    EXPECT_EQ(sim.summary()["received_frames"], 100u);
    const auto got = received(sim);
    ASSERT_EQ(got.size(), 100u);
    for (std::uint64_t s = 0; s < got.size(); ++s) {
        EXPECT_EQ(got[s].frame.id, 0x100 + s);
        EXPECT_EQ(got[s].frame.channel, s % 2 == 0 ? 0 : 3);
        ASSERT_EQ(got[s].frame.dataLength, 64);
        EXPECT_EQ(got[s].frame.data[63], static_cast<std::uint8_t>(s + 63));
    }
}

TEST(Gen, ProgressLineOnATerminalAtMostFourTimesASecond) {
    SimProcess sim({"--tcp-listen", "127.0.0.1:0", "--expect", "300", "--duration", "30"});
    const auto start = std::chrono::steady_clock::now();
    CliProcess gen({"gen", "tcp://" + local(sim.readyPort()), "--rate", "300", "--count", "300"}, true);
    EXPECT_EQ(gen.finish(), 0) << gen.err();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(sim.summary()["received_frames"], 300u);
    std::size_t updates = 0;
    for (std::size_t at = gen.err().find("\rquilvane gen: "); at != std::string::npos;
         at = gen.err().find("\rquilvane gen: ", at + 1)) {
        ++updates;
    }
    EXPECT_GE(updates, 1u) << gen.err();
    EXPECT_LE(updates, static_cast<std::size_t>(seconds * 4) + 1) << gen.err();
    EXPECT_NE(gen.err().find("quilvane gen: 300 frames sent"), std::string::npos);
}

TEST(Replay, ABadLineStopsItBeforeAnythingIsSent) {
    const std::string log = tempPath("bad.log");
    writeFile(log,
              "(1.000000) can0 123#11\n(1.100000) can0 456#22\n(1.200000) can0 789#33\n(1.3) can0 123#R\n");
    SimProcess sim({"--tcp-listen", "127.0.0.1:0", "--duration", "1"});
    const CliResult replay = runCli({"replay", "tcp://" + local(sim.readyPort()), log});
    EXPECT_EQ(replay.status, 2);
    EXPECT_NE(replay.err.find(log + ":4: frame \"123#R\": remote frames"), std::string::npos) << replay.err;
    const auto summary = sim.summary();
    EXPECT_EQ(summary.at("connections"), 0u);
    EXPECT_EQ(summary.at("received_frames"), 0u);
    std::remove(log.c_str());
}

// dump's log, replayed, gives the device the frames dump printed.
TEST(LogFile, WhatDumpWritesReplaysAsTheSameFrames) {
    const std::string log = tempPath("roundtrip.log");
    SimProcess source({"--tcp-listen", "127.0.0.1:0", "--generate", "100", "--record", "mixed",
                       "--data-length", "20", "--channels", "3", "--ids", "0x7F0-0x80F", "--duration", "20"});
    const CliResult dump = runCli({"dump", "tcp://" + local(source.readyPort()), "--log", log});
    ASSERT_EQ(dump.status, 0) << dump.err;
    const auto dumped = records(readFile(log));
    std::remove(log.c_str());
    ASSERT_EQ(dumped.size(), 100u);

    SimProcess sink({"--tcp-listen", "127.0.0.1:0", "--expect", "100", "--verbose", "--duration", "20"});
    CliProcess replay({"replay", "tcp://" + local(sink.readyPort()), "-", "--speed", "0"}, false, dump.out);
    EXPECT_EQ(replay.finish(), 0) << replay.err();
    EXPECT_EQ(sink.summary()["received_frames"], 100u);
    const auto replayed = received(sink);
    ASSERT_EQ(replayed.size(), 100u);
    for (std::size_t i = 0; i < replayed.size(); ++i)
        expectSameFrame(replayed[i].frame, dumped[i].frame, i);
}

// python-can's log reader takes what dump writes. The frames come from gen
// and send through the simulator's UDP echo, so that their flags are the
// ones the tools write (python-can reads the flags digit as decimal).
TEST(LogFile, PythonCanReadsWhatDumpWrites) {
    if (std::system("/usr/bin/python3 -c 'import can' 2>/dev/null") != 0) {
        GTEST_SKIP() << "python-can is not installed (Debian package python3-can)";
    }
    const std::string log = tempPath("python.log");
    const std::uint16_t dumpPort = freePort(true);
    CliProcess dump({"dump", "udp://127.0.0.1:9?local=" + local(dumpPort), "--count", "42", "--log", log,
                     "--duration", "20"});
    ASSERT_TRUE(dump.waitForError("Bound to " + local(dumpPort))) << dump.err();
    SimProcess echo({"--udp", "127.0.0.1:0", "--peer", local(dumpPort), "--echo", "--record", "fd",
                     "--expect", "42", "--duration", "20"});
    const std::string device = "udp://" + local(echo.readyPort());
    EXPECT_EQ(runCli({"gen", device, "--count", "20", "--rate", "1000", "--channels", "0,3"}).status, 0);
    EXPECT_EQ(runCli({"gen", device, "--count", "20", "--rate", "1000", "--fd"}).status, 0);
    EXPECT_EQ(runCli({"send", device, "1F334455#11", "123##3AABB"}).status, 0);
    EXPECT_EQ(dump.finish(), 0) << dump.err();
    const auto dumped = records(readFile(log));
    ASSERT_EQ(dumped.size(), 42u);

    const std::string script =
        "import can, sys\n"
        "for m in can.CanutilsLogReader(sys.argv[1]):\n"
        "    print(\"%X %s %d %d %d %s\" % (m.arbitration_id, m.data.hex().upper(), m.is_fd, "
        "m.bitrate_switch,"
        " m.error_state_indicator, m.channel))\n";
    FILE* pipe = popen(("/usr/bin/python3 -c '" + script + "' " + log).c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string text;
    char chunk[4096];
    for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;)
        text.append(chunk, n);
    EXPECT_EQ(pclose(pipe), 0) << text;
    std::remove(log.c_str());
    const auto read = lines(text);
    ASSERT_EQ(read.size(), dumped.size()) << text;
    for (std::size_t i = 0; i < read.size(); ++i) {
        const CanFrame& f = dumped[i].frame;
        const std::string written = formatFrame(f);
        const std::string data = written.substr(written.find('#') + (isFdFrame(f) ? 3 : 1));
        char expected[200];
        std::snprintf(expected, sizeof expected, "%X %s %d %d %d can%u", f.id, data.c_str(),
                      isFdFrame(f) ? 1 : 0, f.flags & 1, (f.flags >> 1) & 1, f.channel);
        EXPECT_EQ(read[i], expected);
    }
}

}  // namespace
