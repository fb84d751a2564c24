// quilvane serve --socketcand with the simulator as the device, on loopback:
// python-can's socketcand client (RAW mode) receives, sends and logs; a
// client written here covers BCM and CONTROL modes, errors and a client that
// does not read. The beacon is checked only inside isolated_network.sh's
// private network.
#include <gmock/gmock.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>

#include "../discovery/isolated_network.h"
#include "cli_process.h"
#include "socketcand_messages.h"
#include "socketcand_reader.h"

using testing::HasSubstr;

namespace {

const std::string kPython = "/usr/bin/python3";

bool havePythonCan() {
    return std::system("/usr/bin/python3 -c 'import can' 2>/dev/null") == 0;
}

std::size_t occurrences(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size()))
        ++n;
    return n;
}

// Reads the child's output until `what` appears `times` times.
bool waitFor(ChildProcess& child, const std::string& what, std::size_t times = 1, bool out = false) {
    return child.readUntil([&] { return occurrences(out ? child.out() : child.err(), what) >= times; },
                           20000);
}

// The port a running serve listens on, from its "socketcand server on" line.
std::string servePort(ChildProcess& serve) {
    const std::string marker = "socketcand server on 127.0.0.1:";
    EXPECT_TRUE(waitFor(serve, marker)) << serve.err();
    const std::size_t at = serve.err().find(marker) + marker.size();
    return serve.err().substr(at, serve.err().find(' ', at) - at);
}

// A socketcand client on loopback that reads whole messages.
class RawClient {
  public:
    explicit RawClient(const std::string& port, int receiveBuffer = 0)
        : fd_(tcpConnect(static_cast<std::uint16_t>(std::stoi(port)))) {
        if (receiveBuffer > 0)
            setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    }
    ~RawClient() { closeSocket(fd_); }

    void send(const std::string& text) { sendBytes(fd_, {text.begin(), text.end()}); }
    // The next message, each checked to be well-formed; "" when the server
    // closed the connection or nothing came within 10 s.
    std::string next() {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (true) {
            const std::size_t start = buffer_.find_first_not_of(" \n", read_);
            const std::size_t close = buffer_.find('>', start == std::string::npos ? read_ : start);
            if (start != std::string::npos && close != std::string::npos) {
                const std::string message = buffer_.substr(start, close + 1 - start);
                read_ = close + 1;
                EXPECT_TRUE(socketcand::isWellFormed(message)) << message;
                return message;
            }
            if (read_ > 1 << 20) {
                buffer_.erase(0, read_);
                read_ = 0;
            }
            pollfd p{fd_, POLLIN, 0};
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            char bytes[65536];
            const ssize_t n = poll(&p, 1, static_cast<int>(std::max<long long>(left.count(), 0))) == 1
                                  ? recv(fd_, bytes, sizeof bytes, 0)
                                  : 0;
            if (n <= 0)
                return "";
            buffer_.append(bytes, static_cast<std::size_t>(n));
        }
    }
    std::string ask(const std::string& message) {
        send(message);
        return next();
    }
    // "127.0.0.1:PORT", as the server names this client.
    std::string name() const {
        sockaddr_in address{};
        socklen_t length = sizeof address;
        getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
        return "127.0.0.1:" + std::to_string(ntohs(address.sin_port));
    }

  private:
    int fd_;
    std::string buffer_;
    std::size_t read_ = 0;
};

// A frame message with its time left out.
std::string withoutTime(const std::string& message) {
    std::istringstream words(message);
    std::string open, kind, id, time;
    words >> open >> kind >> id >> time;
    return kind == "frame" ? "frame " + id + message.substr(message.find(time) + time.size()) : message;
}

TEST(SocketcandReader, CutsMessagesAnywhereAndSaysWhatIsWrong) {
    socketcand::Reader reader;
    std::vector<socketcand::Command> got;
    for (const std::string& piece : std::vector<std::string>{
             " \n< open ca", "n0 >< send 1F3344", "55 2 1 a2 >junk< echo >< send 800 9 >",
             "<" + std::string(300, 'x') + "> < rawmode >< open >< <bcmmode>"}) {
        reader.feed(piece);
        for (socketcand::Command c; reader.next(c);)
            got.push_back(c);
    }
    using K = socketcand::CommandKind;
    std::vector<std::pair<K, std::string>> kinds;
    for (const auto& c : got)
        kinds.emplace_back(c.kind, c.error);
    EXPECT_THAT(kinds,
                testing::ElementsAre(std::pair(K::Open, ""), std::pair(K::Send, ""),
                                     std::pair(K::Invalid, "bytes outside a message"), std::pair(K::Echo, ""),
                                     std::pair(K::Invalid, "send: bad dlc, expected 0 to 8"),
                                     std::pair(K::Invalid, "message too long"), std::pair(K::RawMode, ""),
                                     std::pair(K::Invalid, "open: too few words"),
                                     std::pair(K::Invalid, "message without its closing bracket"),
                                     std::pair(K::BcmMode, "")));
    EXPECT_EQ(got[0].bus, "can0");
    EXPECT_EQ(
        std::tuple(got[1].frame.id, got[1].frame.dataLength, got[1].frame.data[0], got[1].frame.data[1]),
        std::tuple(0x1F334455u, 2, 0x01, 0xA2));
    EXPECT_EQ(got[7].named, K::Open) << "a failed open closes the connection";
}

TEST(Socketcand, ArgumentsAndAPortInUseAreRefusedWithTheirReason) {
    std::uint16_t held = 0;
    const int holder = tcpListen(held);
    const std::string udp = "udp://127.0.0.1:9";
    const struct {
        std::vector<std::string> args;
        std::string message;
        int status = 2;
    } cases[] = {
        {{"serve", udp}, "quilvane serve: missing --socketcand [ADDRESS:]PORT"},
        {{"serve", "--socketcand", "1.2.3:5", udp}, "--socketcand: expected [ADDRESS:]PORT"},
        {{"serve", "--socketcand", "65536", udp}, "--socketcand: expected [ADDRESS:]PORT"},
        {{"serve", "--socketcand", "0", udp, "--bus", "can0"}, "--bus: expected NAME=CHANNEL"},
        {{"serve", "--socketcand", "0", udp, "--bus", "a_name_of_17_char=1"}, "--bus: expected NAME=CHANNEL"},
        {{"serve", "--socketcand", "0", udp, "--bus", "can0=256"}, "--bus: expected a channel from 0 to 255"},
        {{"serve", "--socketcand", "0", udp, "--bus", "a=1", "--bus", "a=2"}, "--bus: \"a\" is given twice"},
        {{"serve", "--socketcand", "127.0.0.1:" + std::to_string(held), udp}, "cannot bind to 127.0.0.1:", 1},
    };
    for (const auto& c : cases) {
        const CliResult result = runCli(c.args);
        EXPECT_EQ(result.status, c.status) << c.message;
        EXPECT_THAT(result.err, HasSubstr(c.message));
    }
    closeSocket(holder);
    const CliResult help = runCli({"serve", "--help"});
    EXPECT_EQ(help.out.rfind("Usage: quilvane serve --socketcand", 0), 0u);
    EXPECT_THAT(runCli({"frobnicate"}).err, HasSubstr("replay or serve"));
}

// The simulator's frame s: id 0x100 + s, data (s + i) & 0xFF, timestamp s,
// flags s; with --record mixed, odd frames carry 12 bytes. Only classic
// frames reach the client: even ones without flag 0x4.
TEST(Socketcand, PythonCanReceivesTheClassicFramesWithTheirTimestamps) {
    if (!havePythonCan())
        GTEST_SKIP() << "python-can is not installed (Debian package python3-can)";
    const std::string device = std::to_string(freePort());
    ChildProcess serve;
    spawnCli(serve, {"serve", "--socketcand", "127.0.0.1:0", "--bus", "vcan1=1", "tcp-listen://:" + device});
    ChildProcess python;
    python.spawn({kPython, QUILVANE_SOCKETCAND_PEER, "receive", servePort(serve), "vcan1", "16"});
    ASSERT_TRUE(waitFor(python, "ready\n", 1, true)) << python.err();
    SimProcess sim({"--tcp-connect", "127.0.0.1:" + device, "--generate", "64", "--channels", "1", "--record",
                    "mixed", "--data-length", "12", "--rate", "2000"});
    EXPECT_EQ(sim.summary()["sent_frames"], 64u);
    EXPECT_EQ(python.finish(), 0) << python.err();
    const auto got = records(python.out().substr(6));
    ASSERT_EQ(got.size(), 16u) << python.out();
    std::size_t i = 0;
    for (std::uint32_t s = 0; s < 64; ++s) {
        if (s % 2 == 1 || (s & 4) != 0)
            continue;
        const LogRecord& r = got[i++];
        EXPECT_EQ(std::tuple(r.frame.id, r.frame.dataLength, r.frame.data[0], r.frame.data[7]),
                  std::tuple(0x100 + s, 8, s, s + 7));
        // The device's clock when it gives one; frame 0 has none: the host's.
        if (s > 0)
            EXPECT_EQ(r.micros, s);
        else
            EXPECT_GT(r.micros, 1'000'000'000'000'000u);
    }
    serve.interrupt();
    EXPECT_EQ(serve.finish(), 0) << serve.err();
    EXPECT_EQ(occurrences(serve.err(), "(vcan1): CAN FD frames are not forwarded"), 1u) << serve.err();
    EXPECT_THAT(serve.err(),
                HasSubstr("(vcan1) left: 16 frames forwarded, 0 dropped, 48 CAN FD frames not forwarded"));
    EXPECT_THAT(serve.err(), HasSubstr("64 frames from the device"));
}

// python-can sends through the bridge; the simulator echoes; can.logger,
// another client of the bus, logs the echoes, a frame without data too.
TEST(Socketcand, PythonCanSendsAndCanLoggerLogsTheEchoes) {
    if (!havePythonCan())
        GTEST_SKIP() << "python-can is not installed (Debian package python3-can)";
    auto [sim, serve] = join("tcp", false, {"serve", "--socketcand", "127.0.0.1:0"},
                             {"--echo", "--verbose", "--duration", "60"});
    const std::string port = servePort(*serve);
    const std::string log = tempPath("socketcand.log");
    ChildProcess logger;
    logger.spawn({kPython, "-u", "-m", "can.logger", "-i", "socketcand", "-c", "can0", "--host=127.0.0.1",
                  "--port=" + port, "-f", log});
    ASSERT_TRUE(waitFor(logger, "Can Logger", 1, true)) << logger.out() << logger.err();
    RawClient watcher(port);  // sees the echoes when the logger does
    EXPECT_EQ(watcher.ask("< open can0 >< rawmode >"), "< hi >");
    EXPECT_EQ(watcher.next(), "< ok >");
    EXPECT_EQ(watcher.next(), "< ok >");
    const std::vector<std::string> frames = {"123#", "1F334455#11223344", "7FF#0102030405060708"};
    std::vector<std::string> args = {kPython, QUILVANE_SOCKETCAND_PEER, "send", port, "can0"};
    args.insert(args.end(), frames.begin(), frames.end());
    ChildProcess sender;
    sender.spawn(args);
    EXPECT_EQ(sender.finish(), 0) << sender.err();
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(watcher.next().rfind("< frame ", 0), 0u);
    EXPECT_TRUE(sim->readUntil([&] { return occurrences(sim->err(), " can0 ") >= 3; }, 10000)) << sim->err();
    logger.readUntil([] { return false; }, 500);  // the logger writes what it read
    logger.interrupt();
    EXPECT_EQ(logger.finish(), 0) << logger.err();
    std::ifstream in(log);
    const std::string logged((std::istreambuf_iterator<char>(in)), {});
    std::remove(log.c_str());
    std::string written;
    for (const std::string& frame : frames)
        written += "(0.0) can0 " + frame + "\n";
    const auto expected = records(written);
    const auto echoed = records(logged);
    const auto received = records(sim->err());
    ASSERT_EQ(echoed.size(), 3u) << logged;
    ASSERT_EQ(received.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
        for (const LogRecord* r : {&echoed[i], &received[i]}) {
            EXPECT_EQ(
                std::tuple(r->frame.id, r->frame.dataLength,
                           std::vector<std::uint8_t>(r->frame.data, r->frame.data + r->frame.dataLength)),
                std::tuple(expected[i].frame.id, expected[i].frame.dataLength,
                           std::vector<std::uint8_t>(expected[i].frame.data,
                                                     expected[i].frame.data + expected[i].frame.dataLength)));
        }
    }
    serve->interrupt();
    EXPECT_EQ(serve->finish(), 0) << serve->err();
    EXPECT_THAT(serve->err(), HasSubstr("quilvane serve: 3 clients served"));
    EXPECT_THAT(serve->err(), HasSubstr("3 sent to it (0 refused by the library)"));
}

// The simulator echoes every frame, so each one a client sends comes back on its bus.
TEST(Socketcand, BcmAndControlModesAndErrorsKeepTheConnection) {
    auto [sim, serve] = join("tcp", false, {"serve", "--socketcand", "127.0.0.1:0", "--bus", "can1=1"},
                             {"--echo", "--verbose", "--duration", "60"});
    const std::string port = servePort(*serve);
    {
        RawClient refused(port);
        EXPECT_EQ(refused.next(), "< hi >");
        EXPECT_EQ(refused.ask("< open can0 >"), "< error open: no such bus >");
        EXPECT_EQ(refused.next(), "") << "closed";
    }
    RawClient c(port);
    EXPECT_EQ(c.next(), "< hi >");
    const std::pair<std::string, std::string> exchanges[] = {
        {"< rawmode >", "< error open a bus first >"},
        {"<echo>", "< echo >"},
        {"< open can1 >", "< ok >"},
        {"< frob >", "< error unknown command >"},
        {"< send 123 2 11 >", "< error send: the dlc does not match the number of data bytes >"},
        {"< send 20000000 0 >", "< error send: bad can id, expected up to 8 hex digits up to 1FFFFFFF >"},
        {"< delete 555 >", "< error delete: no cyclic job for that id >"},
        {"< add 0 500 321 0 >", "< error add: the interval must be at least 1 ms >"},
        {"< open can1 >", "< error open: a bus is open already >"},
        {"< statistics 10 >", "< error statistics: only in control mode >"},
        {"< " + std::string(300, 'x') + " >", "< error message too long >"},
        {"< echo >", "< echo >"},
    };
    for (const auto& [sent, answer] : exchanges)
        EXPECT_EQ(c.ask(sent), answer) << sent;

    // A subscription passes its id; a filter only changes of the masked bits.
    c.send("< subscribe 0 0 111 >< filter 0 0 333 1 F0 >");
    c.send("< send 111 1 AA >< send 222 1 BB >< send 333 1 11 >< send 333 1 12 >< send 333 1 21 >");
    EXPECT_EQ(withoutTime(c.next()), "frame 111 AA >");
    EXPECT_EQ(withoutTime(c.next()), "frame 333 11 >");
    EXPECT_EQ(withoutTime(c.next()), "frame 333 21 >");
    c.send("< unsubscribe 111 >< send 111 1 AB >< send 333 1 31 >");
    EXPECT_EQ(withoutTime(c.next()), "frame 333 31 >");

    // A cyclic job sends at once and then each period; update changes its data,
    // delete and the end of its client end it.
    const auto sent = [&](const std::string& frame) {
        return occurrences(sim->err(), " can1 " + frame + "\n");
    };
    const auto settles = [&](const std::string& frame) {
        const std::size_t before = sent(frame);
        sim->readUntil([] { return false; }, 200);
        return sent(frame) <= before + 1;  // one may have been on its way
    };
    c.send("< add 0 20000 321 2 01 02 >");
    EXPECT_TRUE(sim->readUntil([&] { return sent("321#0102") >= 3; }, 10000));
    c.send("< update 321 2 03 04 >");
    EXPECT_TRUE(sim->readUntil([&] { return sent("321#0304") >= 2; }, 10000));
    EXPECT_EQ(c.ask("< delete 321 >< echo >"), "< echo >");
    EXPECT_TRUE(settles("321#0304"));
    std::string briefName;
    {
        RawClient brief(port);
        briefName = brief.name();
        EXPECT_EQ(brief.next(), "< hi >");
        EXPECT_EQ(brief.ask("< open can1 >< add 0 20000 654 0 >"), "< ok >");
        EXPECT_TRUE(sim->readUntil([&] { return sent("654#") >= 2; }, 10000));
    }
    EXPECT_TRUE(waitFor(*serve, "client " + briefName + " (can1) left"));
    EXPECT_TRUE(settles("654#"));

    // CONTROL mode: the bus's statistics, counting what the device received
    // (the echoes) and was sent.
    EXPECT_EQ(c.ask("< controlmode >"), "< ok >");
    EXPECT_EQ(c.ask("< send 1 0 >"), "< error send: not in control mode >");
    c.send("< statistics 50 >");
    std::vector<std::uint64_t> stats[2];
    for (auto& numbers : stats) {
        std::istringstream words(c.next());
        std::string open, stat;
        words >> open >> stat;
        EXPECT_EQ(stat, "stat");
        for (std::uint64_t n; words >> n;)
            numbers.push_back(n);
        ASSERT_EQ(numbers.size(), 4u);
    }
    EXPECT_GE(stats[0][3], 12u) << "7 sends, 3 + 2 cyclic frames, 2 of the brief client";
    EXPECT_GE(stats[0][1], 7u) << "echoes";
    for (int i = 0; i < 4; ++i)
        EXPECT_GE(stats[1][i], stats[0][i]);
    c.send("< statistics 0 >< rawmode >");
    std::string answer;
    while ((answer = c.next()).starts_with("< stat "))
        ;
    EXPECT_EQ(answer, "< ok >");
    // RAW mode: every frame of the bus; one without data has an empty data word.
    EXPECT_EQ(withoutTime(c.ask("< send 123 0 >")), "frame 123  >");

    serve->interrupt();
    EXPECT_EQ(serve->finish(), 0) << serve->err();
    EXPECT_THAT(serve->err(), HasSubstr("client " + c.name() + " (can1) left: "));
    EXPECT_THAT(serve->err(), HasSubstr("; interrupted"));
}

// A client that does not read loses frames without slowing the device or a
// client that reads; the drops are told when they begin and counted.
TEST(Socketcand, ASlowClientLosesFramesAndHoldsUpNobody) {
    const std::string device = std::to_string(freePort());
    ChildProcess serve;
    spawnCli(serve, {"serve", "--socketcand", "127.0.0.1:0", "tcp-listen://:" + device});
    const std::string port = servePort(serve);
    std::string slowName;
    {
        RawClient slow(port, 4096), fast(port);
        slowName = slow.name();
        for (RawClient* c : {&slow, &fast}) {
            EXPECT_EQ(c->next(), "< hi >");
            EXPECT_EQ(c->ask("< open can0 >"), "< ok >");
            EXPECT_EQ(c->ask("< rawmode >"), "< ok >");
        }
        // Half of them are classic frames: those without flag 0x4.
        SimProcess sim({"--tcp-connect", "127.0.0.1:" + device, "--generate", "60000", "--rate", "30000",
                        "--duration", "30"});
        std::uint64_t got = 0;
        for (std::string m; got < 30000 && !(m = fast.next()).empty(); ++got)
            ASSERT_EQ(m.rfind("< frame ", 0), 0u) << m;
        EXPECT_EQ(got, 30000u);
        EXPECT_EQ(sim.summary()["sent_frames"], 60000u);
        EXPECT_TRUE(waitFor(serve, "client " + slowName + " (can0) reads too slowly")) << serve.err();
    }
    ASSERT_TRUE(waitFor(serve, " left: ", 2));
    serve.interrupt();
    EXPECT_EQ(serve.finish(), 0);
    const std::size_t at = serve.err().find("client " + slowName + " (can0) left: ");
    ASSERT_NE(at, std::string::npos) << serve.err();
    unsigned long forwarded = 0, dropped = 0;
    std::sscanf(serve.err().c_str() + serve.err().find(": ", at) + 2, "%lu frames forwarded, %lu dropped",
                &forwarded, &dropped);
    EXPECT_GT(dropped, 0u);
    EXPECT_LE(forwarded + dropped, 30000u) << "the rest was still queued";
    EXPECT_THAT(serve.err(), HasSubstr("(can0) left: 30000 frames forwarded, 0 dropped"));
    EXPECT_THAT(serve.err(), HasSubstr(std::to_string(dropped) + " dropped for slow clients"));
}

// Inside isolated_network.sh's namespace only: the beacon broadcasts.
TEST(TwoAdapters, SocketcandBeaconAnnouncesTheServerOnEachSubnet) {
    REQUIRE_NETWORK("two-adapters");
    const int listener = socket(AF_INET, SOCK_DGRAM, 0);
    const int on = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_port = htons(42000);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&any), sizeof any), 0);
    ChildProcess serve;
    spawnCli(serve, {"serve", "--socketcand", "0", "udp://127.0.0.1:9", "--beacon", "--bus", "can5=5"});
    std::string beacons;
    // Up to three rounds: under wine the first may come before every adapter is listed.
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(8);
    const auto both = [&] {
        return beacons.find("can://198.51.100.1:") != std::string::npos &&
               beacons.find("can://198.51.100.129:") != std::string::npos;
    };
    while (!both() && std::chrono::steady_clock::now() < end) {
        pollfd p{listener, POLLIN, 0};
        char bytes[2048];
        const ssize_t n = poll(&p, 1, 500) == 1 ? recv(listener, bytes, sizeof bytes, 0) : 0;
        beacons.append(bytes, static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
        serve.readUntil([] { return false; }, 1);
    }
    close(listener);
    serve.interrupt();
    EXPECT_EQ(serve.finish(), 0) << serve.err();
    const std::string at = serve.err().substr(serve.err().find("socketcand server on 0.0.0.0:") + 29);
    const std::string port = at.substr(0, at.find(' '));
    for (const std::string address : {"198.51.100.1", "198.51.100.129"})
        EXPECT_THAT(beacons, HasSubstr("<URL>can://" + address + ":" + port +
                                       "</URL><Bus name=\"can5\"/></CANBeacon>"));
    EXPECT_THAT(beacons, HasSubstr("<CANBeacon name=\""));
    EXPECT_THAT(beacons, HasSubstr("type=\"adapter\" description=\"quilvane bridge to udp://127.0.0.1:9\""));
}

}  // namespace
