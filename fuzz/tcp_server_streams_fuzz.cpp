// Device connections of the TCP server whose bytes arrive interleaved, cut
// anywhere, decoded whenever the schedule says (by the device's own thread
// or by the processing thread), some ending mid-packet and their place taken
// by a new connection. The input is a schedule: an operation byte picks one
// of four places (its low two bits) and, by its upper six bits, ends its
// connection (56 and up), decodes what it has waiting (48 and up), or sends
// a chunk whose length is the next byte (plus one) and whose bytes follow.
// Each connection files its frames under a handle of its own here, so that
// they can be told apart: they must be what its stream gives decoded alone,
// and no cache may outlive its connection.
#include <algorithm>
#include <memory>

#include "codec/packet_decoder.h"
#include "stored_frames.h"
#include "transport/stream_chunk_queue.h"

namespace {

using namespace quilvane;
using fuzz::check;

constexpr std::size_t kPlaces = 4;
constexpr std::size_t kMaxConnections = 32;  // after that a place whose connection ended stays silent

struct Source {
    std::int32_t handle = 0;
};
using Queue = StreamChunkQueue<Source>;

struct Connection {
    std::shared_ptr<Queue::Stream> stream;
    std::vector<std::uint8_t> sent;
    bool open = true;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Queue queue;
    std::vector<std::uint8_t> taken;
    std::vector<Connection> connections;  // every connection, in the order they came
    connections.reserve(kMaxConnections);
    std::size_t current[kPlaces];
    const auto connect = [&](std::size_t place) {
        if (connections.size() < kMaxConnections) {
            current[place] = connections.size();
            const Source source{100 + static_cast<std::int32_t>(connections.size())};
            connections.push_back(Connection{std::make_shared<Queue::Stream>(source), {}, true});
        }
    };
    // Inputs stay far below the queue's and the caches' bounds.
    const auto decode = [&](Connection& c, bool wait) {
        queue.drain(*c.stream, taken, wait, [] { check(false); });
    };
    const auto end = [&](Connection& c) {
        decode(c, true);
        queue.end(*c.stream);
        c.open = false;
    };
    for (std::size_t place = 0; place < kPlaces; ++place)
        connect(place);

    for (std::size_t at = 0; at + 1 < size;) {
        const std::uint8_t operation = data[at++];
        const std::size_t place = operation % kPlaces;
        Connection& c = connections[current[place]];
        if ((operation >> 2) >= 48) {
            if (c.open && (operation >> 2) >= 56) {
                end(c);
                connect(place);
            } else if (c.open) {
                decode(c, true);
            }
            continue;
        }
        const std::size_t wanted = 1 + data[at++];
        const std::size_t length = std::min(wanted, size - at);
        if (length == 0)
            break;  // a connection never hands over an empty chunk
        // The device's thread decodes its own bytes once they pile up.
        if (c.open && queue.push(c.stream, data + at, length, [] { check(false); }))
            decode(c, false);
        if (c.open)
            c.sent.insert(c.sent.end(), data + at, data + at + length);
        at += length;
    }
    for (Connection& c : connections) {
        if (c.open)
            end(c);
        check(c.stream->cache.capacity() == 0);
        fuzz::checkStored(c.stream->source.handle,
                          decodePackets(c.sent.data(), static_cast<std::int32_t>(c.sent.size())));
        ReceiveFrameStore::instance()->clear(c.stream->source.handle);
    }
    return 0;
}
