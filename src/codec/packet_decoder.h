// Turns a buffer of device packets back into frames.
#pragma once

#include <cstdint>
#include "codec/frame_list.h"

namespace quilvane {

// Decodes the packets at the start of `bytes`, one after another, and returns
// their frames in buffer order. Scanning stops at an incomplete packet or at
// one whose checksum fails; *consumed (when given) is then that packet's
// offset, or -1 when every byte was used. There is no search for the next
// sync byte. Packets with a valid checksum but a wrong sync byte, a nonzero
// byte at offset 2 or an unknown type are skipped by their length field.
// Received ids lose their top three bits; a record's dataLength above its
// data room is cut to the room; a partial record at the end of a payload is
// dropped. `data` beyond dataLength holds the rest of the record's data room
// (zeros past the 8 bytes of a classic record). A null `bytes` gives no
// frames and leaves *consumed alone. Once a packet passes, the result is
// allocated for the most frames `length` bytes could hold (80 bytes for
// every 24), so it is written in one pass; it lives only until the caller
// has stored the frames.
FrameList decodePackets(const std::uint8_t* bytes, std::int32_t length, std::int32_t* consumed = nullptr);

}  // namespace quilvane
