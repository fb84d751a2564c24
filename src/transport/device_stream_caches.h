// The TCP server's reassembly caches, one per device connection, named by
// the connection's serial number: each device's stream is decoded on its
// own, and a connection's undecoded tail goes when the connection ends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <vector>

#include "codec/stream_reassembly.h"

namespace quilvane {

class DeviceStreamCaches {
  public:
    // One received chunk of a connection's stream, reassembled in that
    // connection's cache; frames go to the store under `handle`. When the
    // cache overflows (and is emptied) onOverflow runs with the caches'
    // mutex still held, so its message comes before any later chunk's frames.
    template <class OnOverflow>
    void add(std::uint64_t serial, const std::uint8_t* data, std::size_t length, std::int32_t handle,
             OnOverflow&& onOverflow) {
        std::lock_guard lock(mutex);
        if (!reassembleChunk(caches[serial], data, length, handle))
            onOverflow();
    }

    // The connection ended: whatever it left undecoded is dropped.
    void end(std::uint64_t serial);
    void clear();
    // Connections that hold a cache.
    std::size_t size();

  private:
    std::mutex mutex;
    std::map<std::uint64_t, std::vector<std::uint8_t>> caches;
};

}  // namespace quilvane
