// A datagram that answers a probe attempt, against the probe's own reply
// rules written here again from the protocol: the library may accept exactly
// the valid replies for the probed identifier. Input: one byte of options,
// the six identifier bytes, then the reply. The options pick the family and
// let the target repair the header, identifier and check bytes, so that
// the fuzzer reaches the replies that pass the checks and varies one rule.
#include <cstdint>
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

// CRC-8 with polynomial 0x07, nothing reflected, final XOR 0x55, from a table.
std::uint8_t replyCrc(const std::uint8_t* bytes, std::size_t count) {
    static const auto table = [] {
        std::vector<std::uint8_t> t(256);
        for (int i = 0; i < 256; ++i) {
            std::uint8_t c = static_cast<std::uint8_t>(i);
            for (int bit = 0; bit < 8; ++bit)
                c = static_cast<std::uint8_t>((c << 1) ^ ((c & 0x80) ? 0x07 : 0));
            t[i] = c;
        }
        return t;
    }();
    std::uint8_t crc = 0;
    for (std::size_t i = 0; i < count; ++i)
        crc = table[crc ^ bytes[i]];
    return crc ^ 0x55;
}

std::uint8_t xorOf(const std::uint8_t* bytes, std::size_t count) {
    std::uint8_t x = 0;
    for (std::size_t i = 0; i < count; ++i)
        x ^= bytes[i];
    return x;
}

bool validVciReply(const std::uint8_t* r, std::size_t n, const std::uint8_t* id) {
    return n >= 20 && r[0] == 0xAA && r[1] == 0x84 && std::memcmp(r + 2, id, 6) == 0 && r[8] == 0xAA &&
           r[9] == 0xFE && r[12] == 0x01 && r[13] == 0x00 && r[n - 2] == xorOf(r + 8, n - 10) &&
           r[n - 1] == replyCrc(r, n - 1);
}

void repair(std::vector<std::uint8_t>& r, std::uint8_t options, const std::uint8_t* id) {
    const std::size_t n = r.size();
    if ((options & kRepairHeader) && n >= 20) {
        r[0] = 0xAA;
        r[1] = 0x84;
        std::memcpy(r.data() + 2, id, 6);
        r[8] = 0xAA;
        r[9] = 0xFE;
    }
    if ((options & kRepairChecks) && n >= 20) {
        r[n - 2] = xorOf(r.data() + 8, n - 10);
        r[n - 1] = replyCrc(r.data(), n - 1);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 7 || size - 7 > kMaxReply)
        return 0;
    const std::uint8_t options = data[0];
    const std::uint8_t* id = data + 1;
    std::vector<std::uint8_t> reply(data + 7, data + size);
    repair(reply, options, id);
    const int n = static_cast<int>(reply.size());

    const ReplyCheck rule = (options & kPelix) ? checkPelixReply : checkVciReply;
    const bool valid = (options & kPelix) ? n >= 1 : validVciReply(reply.data(), reply.size(), id);
    check(acceptProbeReply(reply.data(), n, rule, id) == valid);
    // A read that brought nothing (time-out, error, empty datagram) never answers.
    check(!acceptProbeReply(reply.data(), 0, rule, id) && !acceptProbeReply(reply.data(), -1, rule, id));
    return 0;
}
