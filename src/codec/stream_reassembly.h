// Per-peer reassembly of a received byte stream into frames.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quilvane {

// Most bytes one peer's cache may hold; above it the cache is emptied, which
// bounds the memory a peer sending undecodable bytes can pin.
inline constexpr std::size_t kMaxReassemblyCache = 1048576;

// One received chunk of one peer; the caller holds its cache mutex. Appends
// the chunk to `cache`. If the cache then holds more than
// kMaxReassemblyCache bytes it is emptied (memory released) without decoding
// and false is returned: the caller writes its overflow message, still
// holding its mutex. Otherwise the whole cache is decoded, its undecoded tail
// moves to the front, the frames (if any) are pushed into the receive frame
// store under `handle` (once the store is gone they are dropped), and true
// is returned.
bool reassembleChunk(std::vector<std::uint8_t>& cache, const std::uint8_t* chunk, std::size_t length,
                     std::int32_t handle);

}  // namespace quilvane
