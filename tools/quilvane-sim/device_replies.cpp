#include "device_replies.h"

#include <algorithm>
#include <cstdio>
#include <string>

#include "packet_codec.h"

namespace sim {
namespace {

constexpr std::array<uint8_t, 10> kSearchRequest{0x86, 0x54, 0x08, 0x00, 0x00, 0xFF, 0x64, 0x9E, 0xD6, 0x33};
constexpr std::array<uint8_t, 4> kPelixMagic{0x00, 0x02, 0x00, 0x02};
constexpr size_t kPelixRecordSize = 29;
constexpr size_t kVciMinimum = 20;
constexpr size_t kJsonTextRoom = 1024;  // a receiver's text buffer holds one byte less

std::vector<uint8_t> rotatedLeft(std::vector<uint8_t> bytes) {
    std::transform(bytes.begin(), bytes.end(), bytes.begin(), rotateLeft2);
    return bytes;
}

std::string jsonString(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

std::string jsonText(const Options& options) {
    const std::pair<const char*, const std::string*> fields[] = {{"ProMod", &options.model},
                                                                 {"KerVers", &options.kernelVersion},
                                                                 {"SoftVers", &options.softwareVersion},
                                                                 {"HardVers", &options.hardwareVersion},
                                                                 {"SerialNum", &options.serial},
                                                                 {"ProName", &options.name},
                                                                 {"IPv4", &options.ipv4},
                                                                 {"MAC", &options.mac}};
    std::string text = "{";
    for (const auto& [key, value] : fields) {
        text += (text.size() > 1 ? "," : "") + jsonString(key) + ":" + jsonString(*value);
    }
    text += "}";
    if (options.replyFault == ReplyFault::MalformedJson) {
        text.pop_back();  // an object that never closes
    } else if (options.replyFault == ReplyFault::OversizedJson && text.size() < kJsonTextRoom) {
        text.append(kJsonTextRoom - text.size(), ' ');  // still valid JSON, too long to take
    }
    return text;
}

bool isSearchRequest(const std::vector<uint8_t>& request) {
    return std::equal(request.begin(), request.end(), kSearchRequest.begin(), kSearchRequest.end());
}

bool isPelixProbe(const std::vector<uint8_t>& request, const Options& options) {
    if (request.size() < 10) {
        return false;
    }
    std::vector<uint8_t> plain(request.begin(), request.begin() + 10);
    std::transform(plain.begin(), plain.end(), plain.begin(), rotateRight2);
    return std::equal(kPelixMagic.begin(), kPelixMagic.end(), plain.begin()) &&
           std::equal(options.deviceId.begin(), options.deviceId.end(), plain.begin() + 4);
}

bool isVciRequest(const std::vector<uint8_t>& request, const Options& options) {
    const size_t n = request.size();
    const uint8_t* r = request.data();
    return n >= kVciMinimum && r[0] == 0xAA && r[1] == 0x04 &&
           std::equal(options.deviceId.begin(), options.deviceId.end(), r + 2) && r[8] == 0xAA &&
           r[9] == 0xFE && xorOf(r + 8, n - 10) == r[n - 2] && vciCrc8(r, n - 1) == r[n - 1];
}

std::vector<uint8_t> searchJsonReply(const Options& options) {
    const std::string text = jsonText(options);
    // 4 leading bytes, the text's length, the text, 4 trailing bytes.
    std::vector<uint8_t> reply{0x00, 0x01, 0x00, 0x01};
    reply.push_back(static_cast<uint8_t>(text.size() >> 8));
    reply.push_back(static_cast<uint8_t>(text.size()));
    reply.insert(reply.end(), text.begin(), text.end());
    reply.insert(reply.end(), {0x00, 0x00, 0x00, 0x00});
    return rotatedLeft(std::move(reply));
}

std::vector<uint8_t> pelixRecordReply(const Options& options) {
    std::vector<uint8_t> record(kPelixMagic.begin(), kPelixMagic.end());
    if (options.hasPelixBytes) {
        record.insert(record.end(), options.pelixBytes.begin(), options.pelixBytes.end());
    } else {
        record.insert(record.end(), options.deviceId.begin(), options.deviceId.end());
        for (uint8_t i = 1; record.size() < kPelixRecordSize; ++i) {
            record.push_back(i);
        }
    }
    if (options.replyFault == ReplyFault::Short) {
        record.pop_back();
    }
    return rotatedLeft(std::move(record));
}

std::vector<uint8_t> vciReply(const Options& options) {
    std::vector<uint8_t> reply{0xAA, 0x84};
    reply.insert(reply.end(), options.deviceId.begin(), options.deviceId.end());
    if (options.replyFault == ReplyFault::WrongId) {
        reply[7] ^= 0xFF;
    }
    // Inner block: AA FE, body length, body; a short reply drops the body's last byte.
    std::vector<uint8_t> body{0x01, 0x00, 0x02, 0x00, 0x00, 0x10};
    if (options.replyFault == ReplyFault::Short) {
        body.pop_back();
    }
    reply.insert(reply.end(), {0xAA, 0xFE, static_cast<uint8_t>(body.size()), 0x00});
    reply.insert(reply.end(), body.begin(), body.end());
    uint8_t inner = xorOf(reply.data() + 8, reply.size() - 8);
    reply.push_back(options.replyFault == ReplyFault::BadXor ? inner ^ 0xFF : inner);
    uint8_t crc = vciCrc8(reply.data(), reply.size());
    reply.push_back(options.replyFault == ReplyFault::BadCrc ? crc ^ 0xFF : crc);
    return reply;
}

}  // namespace

uint8_t rotateLeft2(uint8_t byte) {
    return static_cast<uint8_t>((byte << 2) | (byte >> 6));
}

uint8_t rotateRight2(uint8_t byte) {
    return static_cast<uint8_t>((byte >> 2) | (byte << 6));
}

uint8_t vciCrc8(const uint8_t* bytes, size_t count) {
    uint8_t crc = 0;
    for (size_t i = 0; i < count; ++i) {
        crc ^= bytes[i];
        for (int bit = 0; bit < 8; ++bit) {
            crc = static_cast<uint8_t>((crc & 0x80) ? (crc << 1) ^ 0x07 : crc << 1);
        }
    }
    return crc ^ 0x55;
}

std::optional<std::vector<uint8_t>> replyTo(ResponderKind kind, const std::vector<uint8_t>& request,
                                            const Options& options) {
    switch (kind) {
        case ResponderKind::SearchJson:
            return isSearchRequest(request) ? std::optional(searchJsonReply(options)) : std::nullopt;
        case ResponderKind::SearchPelix:
            return isSearchRequest(request) ? std::optional(pelixRecordReply(options)) : std::nullopt;
        case ResponderKind::ProbePelix:
            return isPelixProbe(request, options) ? std::optional(pelixRecordReply(options)) : std::nullopt;
        case ResponderKind::ProbeVci:
            return isVciRequest(request, options) ? std::optional(vciReply(options)) : std::nullopt;
    }
    return std::nullopt;
}

}  // namespace sim
