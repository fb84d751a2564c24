// quilvane serve --socketcand with the simulator as the device, on loopback:
// python-can's socketcand client (RAW mode) receives and sends; a client
// written here covers BCM and CONTROL modes, errors and a client that does
// not read. The beacon is checked only inside isolated_network.sh's network.
// Refused arguments are in cli_test's table.
#include <gmock/gmock.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>

#include "../discovery/isolated_network.h"
#include "cli_process.h"
#include "socketcand_messages.h"
#include "socketcand_reader.h"

using testing::HasSubstr;

namespace {

std::size_t occurrences(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size()))
        ++n;
    return n;
}

// Reads the child's standard error (`out`: output) until `what` appears `times` times.
template <class Child>
bool waitFor(Child& child, const std::string& what, std::size_t times = 1, bool out = false) {
    return child.readUntil([&] { return occurrences(out ? child.out() : child.err(), what) >= times; },
                           20000);
}

// The port a running serve listens on, from its "socketcand server on" line.
std::string servePort(ChildProcess& serve, const std::string& address = "127.0.0.1") {
    const std::string marker = "socketcand server on " + address + ":";
    EXPECT_TRUE(waitFor(serve, marker)) << serve.err();
    const std::size_t at = serve.err().find(marker) + marker.size();
    return serve.err().substr(at, serve.err().find(' ', at) - at);
}

// Interrupts serve, which must end well; its standard error.
std::string stop(ChildProcess& serve) {
    serve.interrupt();
    EXPECT_EQ(serve.finish(), 0) << serve.err();
    return serve.err();
}

// socketcand_peer.py; "receive" returns once its client is on the bus.
void peer(ChildProcess& python, std::vector<std::string> args) {
    args.insert(args.begin(), {"/usr/bin/python3", QUILVANE_SOCKETCAND_PEER});
    python.spawn(args);
    EXPECT_TRUE(args[2] != "receive" || waitFor(python, "ready\n", 1, true)) << python.err();
}

// A socketcand client on loopback that reads whole messages, each checked
// to be well-formed; the server's greeting is checked on connecting.
class RawClient {
  public:
    explicit RawClient(const std::string& port, int receiveBuffer = 0)
        : fd_(tcpConnect(static_cast<std::uint16_t>(std::stoi(port)))) {
        if (receiveBuffer > 0)
            setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        EXPECT_EQ(next(), "< hi >");
    }
    ~RawClient() { closeSocket(fd_); }

    void send(const std::string& text) { sendBytes(fd_, {text.begin(), text.end()}); }
    // "" when the server closed the connection or nothing came within 10 s
    // (each read also times out after 10 s).
    std::string next() {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        std::size_t close;
        while ((close = buffer_.find('>', read_)) == std::string::npos) {
            char bytes[65536];
            const ssize_t n = std::chrono::steady_clock::now() < end ? recv(fd_, bytes, sizeof bytes, 0) : 0;
            if (n <= 0)
                return "";
            buffer_.append(bytes, static_cast<std::size_t>(n));
        }
        const std::size_t start = buffer_.find_first_not_of(" \n", read_);
        const std::string message = buffer_.substr(start, close + 1 - start);
        read_ = close + 1;
        EXPECT_TRUE(socketcand::isWellFormed(message)) << message;
        return message;
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

// A frame message, whatever its time.
testing::Matcher<std::string> frame(const std::string& id, const std::string& data) {
    return testing::MatchesRegex("< frame " + id + " [0-9]+\\.[0-9]+ " + data + " >");
}

TEST(SocketcandReader, CutsMessagesAnywhereAndSaysWhatIsWrong) {
    socketcand::Reader reader;
    std::vector<socketcand::Command> got;
    for (const std::string& piece : {std::string(" \n< open ca"), std::string("n0 >< send 1F3344"),
                                     std::string("55 2 1 a2 >junk< echo >< send 800 9 >"),
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
    EXPECT_EQ(fieldsOf(got[1].frame), fieldsOf(makeFrame(0x1F334455, {0x01, 0xA2})));
    EXPECT_EQ(got[7].named, K::Open) << "a failed open closes the connection";
}

// The simulator's frame s: id 0x100 + s, data (s + i) & 0xFF, timestamp s,
// flags s; with --record mixed, odd frames carry 12 bytes. Only classic
// frames reach the client: even ones without flag 0x4 (0, 2, 8, 10, 16...).
TEST(Socketcand, PythonCanReceivesTheClassicFramesWithTheirTimestamps) {
    SKIP_WITHOUT_PYTHON_CAN();
    const std::string device = std::to_string(freePort());
    ChildProcess serve, python;
    spawnCli(serve, {"serve", "--socketcand", "127.0.0.1:0", "--bus", "vcan1=1", "tcp-listen://:" + device});
    peer(python, {"receive", servePort(serve), "vcan1", "16"});
    SimProcess sim({"--tcp-connect", "127.0.0.1:" + device, "--generate", "64", "--channels", "1", "--record",
                    "mixed", "--data-length", "12", "--rate", "2000"});
    EXPECT_EQ(sim.summary()["sent_frames"], 64u);
    EXPECT_EQ(python.finish(), 0) << python.err();
    const auto got = records(python.out().substr(6));
    ASSERT_EQ(got.size(), 16u) << python.out();
    for (std::uint32_t i = 0; i < 16; ++i) {
        const std::uint32_t s = i / 2 * 8 + i % 2 * 2;
        const LogRecord& r = got[i];
        // The device's clock when it gives one; frame 0 has none: the host's.
        EXPECT_EQ(std::tuple(r.frame.id, r.frame.dataLength, r.frame.data[0], r.frame.data[7],
                             s > 0 ? r.micros : s),
                  std::tuple(0x100 + s, 8, s, s + 7, s));
    }
    EXPECT_GT(got[0].micros, 1'000'000'000'000'000u);
    const std::string err = stop(serve);
    EXPECT_EQ(occurrences(err, "(vcan1): CAN FD frames are not forwarded"), 1u) << err;
    EXPECT_THAT(err,
                HasSubstr("(vcan1) left: 16 frames forwarded, 0 dropped, 48 CAN FD frames not forwarded"));
    EXPECT_THAT(err, HasSubstr("64 frames from the device"));
}

// python-can sends through the bridge; the simulator echoes; can.logger,
// another client of the bus, logs the echoes, a frame without data too.
TEST(Socketcand, PythonCanSendsAndCanLoggerLogsTheEchoes) {
    SKIP_WITHOUT_PYTHON_CAN();
    auto [sim, serve] = join("tcp", false, {"serve", "--socketcand", "127.0.0.1:0"},
                             {"--echo", "--verbose", "--duration", "60"});
    const std::string port = servePort(*serve);
    const std::vector<std::string> frames = {"123#", "1F334455#11223344", "7FF#0102030405060708"};
    // python-can's own logger, another client of the bus, logs the echoes.
    const std::string log = tempPath("socketcand.log");
    ChildProcess logger, sender;
    logger.spawn({"/usr/bin/python3", "-u", "-m", "can.logger", "-i", "socketcand", "-c", "can0",
                  "--host=127.0.0.1", "--port=" + port, "-f", log});
    ASSERT_TRUE(waitFor(logger, "Can Logger", 1, true)) << logger.out() << logger.err();
    peer(sender, {"send", port, "can0", frames[0], frames[1], frames[2]});
    EXPECT_EQ(sender.finish(), 0) << sender.err();
    const auto expected = framesOf(records("(0.0) can0 " + frames[0] + "\n(0.0) can0 " + frames[1] +
                                           "\n(0.0) can0 " + frames[2] + "\n"));
    EXPECT_TRUE(waitFor(*sim, " can0 ", 3)) << sim->err();
    EXPECT_EQ(framesOf(records(sim->err())), expected) << "what the device received";
    logger.readUntil([] { return false; }, 500);  // the echoes reach the logger's file
    logger.interrupt();
    EXPECT_EQ(logger.finish(), 0) << logger.err();
    std::ifstream in(log);
    EXPECT_EQ(framesOf(records(std::string(std::istreambuf_iterator<char>(in), {}))), expected)
        << "the echoes";
    std::remove(log.c_str());
    const std::string err = stop(*serve);
    EXPECT_THAT(err, HasSubstr("quilvane serve: 2 clients served"));
    EXPECT_THAT(err, HasSubstr("3 sent to it (0 refused by the library)"));
}

// The simulator echoes every frame, so each one a client sends comes back on its bus.
TEST(Socketcand, BcmAndControlModesAndErrorsKeepTheConnection) {
    auto [sim, serve] = join("tcp", false, {"serve", "--socketcand", "127.0.0.1:0", "--bus", "can1=1"},
                             {"--echo", "--verbose", "--duration", "60"});
    const std::string port = servePort(*serve);
    {
        RawClient refused(port);
        EXPECT_EQ(refused.ask("< open can0 >"), "< error open: no such bus >");
        EXPECT_EQ(refused.next(), "") << "closed";
    }
    RawClient c(port);
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
    for (const auto& [id, data] : {std::pair("111", "AA"), {"333", "11"}, {"333", "21"}})
        EXPECT_THAT(c.next(), frame(id, data));
    c.send("< unsubscribe 111 >< send 111 1 AB >< send 333 1 31 >");
    EXPECT_THAT(c.next(), frame("333", "31"));

    // A cyclic job sends at once and then each period; update changes its data,
    // delete and the end of its client end it.
    const auto settles = [&](const std::string& frame) {
        const std::size_t before = occurrences(sim->err(), frame);
        sim->readUntil([] { return false; }, 200);
        return occurrences(sim->err(), frame) <= before + 1;  // one may have been on its way
    };
    c.send("< add 0 20000 321 2 01 02 >");
    EXPECT_TRUE(waitFor(*sim, " can1 321#0102\n", 3));
    c.send("< update 321 2 03 04 >");
    EXPECT_TRUE(waitFor(*sim, " can1 321#0304\n", 2));
    EXPECT_EQ(c.ask("< delete 321 >< echo >"), "< echo >");
    EXPECT_TRUE(settles(" can1 321#0304\n"));
    std::string briefName;
    {
        RawClient brief(port);
        briefName = brief.name();
        EXPECT_EQ(brief.ask("< open can1 >< add 0 20000 654 0 >"), "< ok >");
        EXPECT_TRUE(waitFor(*sim, " can1 654#\n", 2));
    }
    EXPECT_TRUE(waitFor(*serve, "client " + briefName + " (can1) left"));
    EXPECT_TRUE(settles(" can1 654#\n"));

    // CONTROL mode: the bus's statistics, counting what the device received
    // (the echoes) and was sent.
    EXPECT_EQ(c.ask("< controlmode >"), "< ok >");
    EXPECT_EQ(c.ask("< send 1 0 >"), "< error send: not in control mode >");
    c.send("< statistics 50 >");
    unsigned long long stats[2][4];
    for (auto& n : stats) {
        const std::string m = c.next();
        int end = 0;  // set only when all of it matches
        std::sscanf(m.c_str(), "< stat %llu %llu %llu %llu >%n", &n[0], &n[1], &n[2], &n[3], &end);
        ASSERT_EQ(static_cast<std::size_t>(end), m.size()) << m;
    }
    EXPECT_GE(stats[0][3], 12u) << "7 sends, 3 + 2 cyclic frames, 2 of the brief client";
    EXPECT_GE(stats[0][1], 7u) << "echoes";
    for (int i = 0; i < 4; ++i)
        EXPECT_GE(stats[1][i], stats[0][i]);
    c.send("< statistics 0 >< rawmode >");
    std::string answer;
    for (int i = 0; i < 1000 && (answer = c.next()).starts_with("< stat "); ++i)
        ;
    EXPECT_EQ(answer, "< ok >");
    // RAW mode: every frame of the bus; one without data has an empty data word.
    EXPECT_THAT(c.ask("< send 123 0 >"), frame("123", ""));
    const std::string err = stop(*serve);
    EXPECT_THAT(err, HasSubstr("client " + c.name() + " (can1) left: "));
    EXPECT_THAT(err, HasSubstr("; interrupted"));
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
        for (RawClient* c : {&slow, &fast})
            for (const std::string command : {"< open can0 >", "< rawmode >"})
                EXPECT_EQ(c->ask(command), "< ok >");
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
    const std::string err = stop(serve);
    const std::size_t at = err.find("client " + slowName + " (can0) left: ");
    ASSERT_NE(at, std::string::npos) << err;
    unsigned long forwarded = 0, dropped = 0;
    std::sscanf(err.c_str() + err.find(": ", at) + 2, "%lu frames forwarded, %lu dropped", &forwarded,
                &dropped);
    EXPECT_GT(dropped, 0u);
    EXPECT_LE(forwarded + dropped, 30000u) << "the rest was still queued";
    EXPECT_THAT(err, HasSubstr("(can0) left: 30000 frames forwarded, 0 dropped"));
    EXPECT_THAT(err, HasSubstr(std::to_string(dropped) + " dropped for slow clients"));
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
    const std::string port = servePort(serve, "0.0.0.0");
    std::string beacons;
    // For 8 s at most: under wine the first rounds may come before every adapter is listed.
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(8);
    while ((beacons.find("can://198.51.100.1:") == std::string::npos ||
            beacons.find("can://198.51.100.129:") == std::string::npos) &&
           std::chrono::steady_clock::now() < end) {
        const std::vector<std::uint8_t> beacon = receiveDatagram(listener);
        beacons.append(beacon.begin(), beacon.end());
        serve.readUntil([] { return false; }, 1);
    }
    close(listener);
    stop(serve);
    for (const std::string address : {"198.51.100.1", "198.51.100.129"})
        EXPECT_THAT(beacons, HasSubstr("<URL>can://" + address + ":" + port +
                                       "</URL><Bus name=\"can5\"/></CANBeacon>"));
    EXPECT_THAT(beacons, HasSubstr("<CANBeacon name=\""));
    EXPECT_THAT(beacons, HasSubstr("type=\"adapter\" description=\"quilvane bridge to udp://127.0.0.1:9\""));
}

}  // namespace
