// Device connections of the TCP server whose bytes arrive interleaved, cut
// anywhere, some ending mid-packet and their place taken by a new
// connection. The input is a schedule: an operation byte picks one of four
// places and either ends its connection or sends a chunk whose length is
// the next byte (plus one) and whose bytes follow. Each connection files
// its frames under a handle of its own here, so that they can be told apart:
// they must be what its stream gives decoded alone, and no cache may
// outlive its connection.
#include <algorithm>
#include <cstdint>
#include <vector>

#include "codec/packet_decoder.h"
#include "stored_frames.h"
#include "transport/device_stream_caches.h"

namespace {

using namespace quilvane;
using fuzz::check;

constexpr std::size_t kPlaces = 4;
constexpr std::size_t kMaxConnections = 32;
constexpr std::int32_t kFirstHandle = 100;
// Of the 64 values of an operation byte's upper six bits, these end the connection.
constexpr std::uint8_t kEndFrom = 56;

struct Connection {
    std::uint64_t serial = 0;
    std::vector<std::uint8_t> sent;
    bool open = true;
};

void checkConnection(const Connection& c) {
    const std::int32_t handle = kFirstHandle + static_cast<std::int32_t>(c.serial);
    fuzz::checkStored(handle, decodePackets(c.sent.data(), static_cast<std::int32_t>(c.sent.size())));
    ReceiveFrameStore::instance()->clear(handle);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    DeviceStreamCaches caches;
    std::vector<Connection> connections;  // every connection, by serial
    connections.reserve(kMaxConnections);
    std::size_t current[kPlaces];
    // A place whose connection ended gets a new one while there is room;
    // after that it stays silent.
    const auto connect = [&](std::size_t place) {
        if (connections.size() < kMaxConnections) {
            current[place] = connections.size();
            connections.push_back(Connection{connections.size(), {}, true});
        }
    };
    for (std::size_t place = 0; place < kPlaces; ++place)
        connect(place);

    for (std::size_t at = 0; at + 1 < size;) {
        const std::uint8_t operation = data[at++];
        const std::size_t place = operation % kPlaces;
        Connection& c = connections[current[place]];
        if ((operation >> 2) >= kEndFrom) {
            if (c.open) {
                c.open = false;
                caches.end(c.serial);
                connect(place);
            }
            continue;
        }
        const std::size_t wanted = 1 + data[at++];
        const std::size_t length = std::min(wanted, size - at);
        if (length == 0)
            break;  // a connection never hands over an empty chunk
        if (!c.open) {
            at += length;
            continue;
        }
        const std::int32_t handle = kFirstHandle + static_cast<std::int32_t>(c.serial);
        caches.add(c.serial, data + at, length, handle,
                   [] { check(false); });  // inputs stay far below the cache limit
        c.sent.insert(c.sent.end(), data + at, data + at + length);
        at += length;
    }
    for (Connection& c : connections) {
        if (c.open)
            caches.end(c.serial);
    }

    check(caches.size() == 0);
    for (const Connection& c : connections)
        checkConnection(c);
    return 0;
}
