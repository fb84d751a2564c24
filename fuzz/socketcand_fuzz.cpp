// What a socketcand client sends to quilvane serve: bytes cut anywhere, read
// into commands and carried out by a client's session, with device frames
// and the passing of time in between. Whatever comes in, every message the
// client is sent must be well-formed, frames for the device must be classic
// frames of the opened channel, and a command's answer stays small.
// Input bytes below 0x05 steer, the others are what the client sends:
//   01                      the bytes so far arrive as one read
//   02 IDHI IDLO LEN DATA   a device frame: the id's low 12 bits (above 7FF:
//                           extended), flags from IDHI's high nibble, LEN % 9 bytes
//   03 N                    N * 100 us pass, then the timers run
//   04                      one second passes, then the timers run
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_check.h"
#include "socketcand_frame_queue.h"
#include "socketcand_messages.h"
#include "socketcand_reader.h"
#include "socketcand_session.h"

namespace {

using namespace socketcand;
using quilvane::fuzz::check;

struct Client {
    Reader reader;
    Session session{[](std::string_view name) { return name == "can0" ? 0 : name == "vcan9" ? 9 : -1; }};
    FrameQueue queue{4};
    Clock::time_point now{};
    std::string sent = Session::greeting();
    bool closed = false;

    void take(SessionOutput& out) {
        for (const CanFrame& frame : out.toDevice)
            check(frame.dataLength <= 8 && frame.channel == session.channel() && frame.id <= 0x1FFFFFFF);
        sent += out.text;
        closed = closed || out.close;
        queue.setInterest(session.interest());
    }

    void arrive(const std::string& bytes) {
        reader.feed(bytes);
        Command command;
        while (!closed && reader.next(command)) {
            check(command.kind == CommandKind::Invalid || command.frame.dataLength <= 8);
            check(command.bus.size() <= kMaxBusName);
            SessionOutput out;
            session.receive(command, now, out);
            check(out.text.size() <= 2 * kMaxMessage && out.toDevice.size() <= 1);
            take(out);
        }
    }

    void deviceFrame(const CanFrame& frame) {
        const QueuedFrame queued{frame, 1234567};
        queue.push(&queued, 1);
        std::vector<QueuedFrame> batch;
        queue.pop(batch, 4);
        if (!session.takesFrames(now))
            return;
        SessionOutput out;
        for (const QueuedFrame& f : batch)
            session.deviceFrame(f.frame, f.micros, now, out);
        take(out);
    }

    void pass(Clock::duration time) {
        now += time;
        SessionOutput out;
        session.tick(now, BusCounters{1, 2, 3, 4}, true, out);
        check(out.toDevice.size() <= kMaxJobs);
        take(out);
        check(session.nextDue() > now);
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Client client;
    std::string pending;
    for (std::size_t i = 0; i < size && !client.closed; ++i) {
        const std::uint8_t b = data[i];
        if (b >= 0x05) {
            pending += static_cast<char>(b);
            continue;
        }
        client.arrive(pending);
        pending.clear();
        if (b == 0x02 && i + 3 < size) {
            CanFrame frame{};
            frame.id = (static_cast<std::uint32_t>(data[i + 1]) << 8 | data[i + 2]) & 0xFFF;
            frame.id = frame.id > 0x7FF ? frame.id | 0x1F00000 : frame.id;
            frame.flags = data[i + 1] >> 4;  // 0x4 and up: CAN FD, which the queue keeps out
            frame.dataLength = static_cast<std::uint8_t>(data[i + 3] % 9);
            i += 3;
            for (unsigned k = 0; k < frame.dataLength && i + 1 < size; ++k)
                frame.data[k] = data[++i];
            client.deviceFrame(frame);
        } else if (b == 0x03 && i + 1 < size) {
            client.pass(std::chrono::microseconds(100 * data[++i]));
        } else if (b == 0x04) {
            client.pass(std::chrono::seconds(1));
        }
    }
    client.arrive(pending);
    check(isWellFormedOutput(client.sent));
    return 0;
}
