// A datagram that answers a probe attempt, against the probe's own reply
// rules written here again from the protocol: the library may accept exactly
// the valid replies for the probed identifier. Input: one byte of options,
// the six identifier bytes, then the reply. The options pick the family and
// let the target repair the header, identifier and check bytes, so that
// the fuzzer reaches the replies that pass the checks and varies one rule.
#include <cstring>
#include <vector>

#include "discovery/device_probe.h"
#include "fuzz_check.h"

namespace {

using namespace quilvane;
using fuzz::check;

constexpr std::size_t kMaxReply = 2048;  // the attempt's receive buffer
constexpr std::uint8_t kPelix = 0x01;
constexpr std::uint8_t kRepairChecks = 0x02;
constexpr std::uint8_t kRepairHeader = 0x04;
constexpr std::uint8_t kHeader[10] = {0xAA, 0x84, 0, 0, 0, 0, 0, 0, 0xAA, 0xFE};  // identifier in 2 to 7

// CRC-8 with polynomial 0x07, nothing reflected, final XOR 0x55.
std::uint8_t replyCrc(const std::uint8_t* bytes, std::size_t count) {
    std::uint8_t crc = 0;
    for (std::size_t i = 0; i < count; ++i) {
        crc ^= bytes[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = static_cast<std::uint8_t>((crc << 1) ^ ((crc & 0x80) ? 0x07 : 0));
    }
    return crc ^ 0x55;
}

std::uint8_t xorOf(const std::uint8_t* bytes, std::size_t count) {
    std::uint8_t x = 0;
    for (std::size_t i = 0; i < count; ++i)
        x ^= bytes[i];
    return x;
}

bool validVciReply(const std::uint8_t* r, std::size_t n, const std::uint8_t* id) {
    return n >= 20 && std::memcmp(r, kHeader, 2) == 0 && std::memcmp(r + 2, id, 6) == 0 &&
           std::memcmp(r + 8, kHeader + 8, 2) == 0 && r[12] == 0x01 && r[13] == 0x00 &&
           r[n - 2] == xorOf(r + 8, n - 10) && r[n - 1] == replyCrc(r, n - 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 7 || size - 7 > kMaxReply)
        return 0;
    const std::uint8_t options = data[0];
    const std::uint8_t* id = data + 1;
    std::vector<std::uint8_t> reply(data + 7, data + size);
    const std::size_t n = reply.size();
    if ((options & kRepairHeader) && n >= 20) {
        std::memcpy(reply.data(), kHeader, sizeof kHeader);
        std::memcpy(reply.data() + 2, id, 6);
    }
    if ((options & kRepairChecks) && n >= 20) {
        reply[n - 2] = xorOf(reply.data() + 8, n - 10);
        reply[n - 1] = replyCrc(reply.data(), n - 1);
    }
    const ReplyCheck rule = (options & kPelix) ? checkPelixReply : checkVciReply;
    const bool valid = (options & kPelix) ? n >= 1 : validVciReply(reply.data(), n, id);
    check(acceptProbeReply(reply.data(), static_cast<int>(n), rule, id) == valid);
    // A read that brought nothing (time-out, error, empty datagram) never answers.
    check(!acceptProbeReply(reply.data(), 0, rule, id) && !acceptProbeReply(reply.data(), -1, rule, id));
    return 0;
}
