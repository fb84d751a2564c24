#include "codec/stream_reassembly.h"

#include "buffering/receive_frame_store.h"
#include "codec/packet_decoder.h"

namespace quilvane {

bool reassembleChunk(std::vector<std::uint8_t>& cache, const std::uint8_t* chunk, std::size_t length,
                     std::int32_t handle) {
    if (chunk != nullptr)
        cache.insert(cache.end(), chunk, chunk + length);
    if (cache.size() > kMaxReassemblyCache) {
        std::vector<std::uint8_t>().swap(cache);
        return false;
    }

    std::int32_t consumed = -1;
    const FrameList frames = decodePackets(cache.data(), static_cast<std::int32_t>(cache.size()), &consumed);
    if (consumed < 0) {
        cache.clear();
    } else {
        cache.erase(cache.begin(), cache.begin() + consumed);
    }

    if (!frames.empty()) {
        if (ReceiveFrameStore* store = ReceiveFrameStore::instance())
            store->push(handle, frames);
    }
    return true;
}

}  // namespace quilvane
