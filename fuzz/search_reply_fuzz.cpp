// A datagram on a discovery socket, as the receive thread hands it to the
// classifier. The input is the datagram as the classifier reads it, after its
// bits are rotated back, so seeds and the dictionary are plain JSON; the
// target rotates it the way a device sends it. A JSON reply must give one
// record (none past the text buffer), a PELIX reply one record of its bytes,
// and anything else its frames under handle 0 and no record.
#include <cJSON.h>

#include <cstring>
#include <string>
#include <utility>

#include "codec/packet_decoder.h"
#include "stored_frames.h"
#include "transport/quilvane_udp.h"

namespace {

using namespace quilvane;
using fuzz::check;

constexpr std::size_t kMaxDatagram = 2048;
constexpr std::size_t kJsonTextRoom = 1024;

struct TextField {
    const char* key;
    std::size_t offset;
    std::size_t size;
};
constexpr TextField kTextFields[] = {
    {"ProMod", offsetof(DeviceInfo, model), 16},
    {"KerVers", offsetof(DeviceInfo, kernelVersion), 8},
    {"SoftVers", offsetof(DeviceInfo, softwareVersion), 8},
    {"HardVers", offsetof(DeviceInfo, hardwareVersion), 8},
    {"SerialNum", offsetof(DeviceInfo, serialNumber), 10},
    {"ProName", offsetof(DeviceInfo, name), 16},
};

QuilvaneUdp& endpoint() {
    static QuilvaneUdp udp;  // no socket: only its classifier and result lists are used
    return udp;
}

// Classifies the datagram as a device sends it: each byte rotated left by 2.
std::vector<std::uint8_t> classify(const std::uint8_t* plain, std::size_t size) {
    std::vector<std::uint8_t> datagram(plain, plain + size);
    for (std::uint8_t& b : datagram)
        b = static_cast<std::uint8_t>((b << 2) | (b >> 6));
    endpoint().clearResults();
    endpoint().classify(datagram.data(), static_cast<int>(datagram.size()));
    return datagram;
}

std::string dotted(const std::uint8_t* bytes, std::size_t count) {
    std::string text;
    for (std::size_t i = 0; i < count; ++i)
        text += (i ? "." : "") + std::to_string(bytes[i]);
    return text;
}

// A text field holds the key's string value cut to the field and is zero
// beyond it, or is all zero when the key is missing or not a string. The
// record written back as a reply must read back as the same record.
void checkDeviceInfo(const DeviceInfo& info, const char* text) {
    static const DeviceInfo zero{};
    cJSON* root = cJSON_Parse(text);
    if (root == nullptr)
        return check(std::memcmp(&info, &zero, sizeof info) == 0);
    const auto* bytes = reinterpret_cast<const char*>(&info);
    cJSON* back = cJSON_CreateObject();
    for (const TextField& f : kTextFields) {
        char expected[16] = {};
        const cJSON* item = cJSON_GetObjectItem(root, f.key);
        if (cJSON_IsString(item))
            std::memcpy(expected, item->valuestring, strnlen(item->valuestring, f.size - 1));
        check(std::memcmp(bytes + f.offset, expected, f.size) == 0);
        cJSON_AddStringToObject(back, f.key, expected);
    }
    cJSON_Delete(root);
    cJSON_AddStringToObject(back, "IPv4", dotted(info.ipv4, sizeof info.ipv4).c_str());
    cJSON_AddStringToObject(back, "MAC", dotted(info.mac, sizeof info.mac).c_str());
    char* json = cJSON_PrintUnformatted(back);
    const std::size_t length = std::strlen(json);
    std::vector<std::uint8_t> reply = {
        0, 1, 0, 1, static_cast<std::uint8_t>(length >> 8), static_cast<std::uint8_t>(length)};
    reply.insert(reply.end(), json, json + length);
    reply.insert(reply.end(), 4, 0x00);
    cJSON_free(json);
    cJSON_Delete(back);
    classify(reply.data(), reply.size());
    const auto again = endpoint().deviceInfoResults();
    check(again.size() == 1 && std::memcmp(&again[0], &info, sizeof info) == 0);
}

// Nothing decoded from the datagram may have reached handle 0. Only the
// channels it would fill are asked, once: an empty queue that exists makes pop wait.
void checkNothingStored(const std::vector<std::uint8_t>& datagram) {
    bool asked[256] = {};
    for (const CanFrame& f : decodePackets(datagram.data(), static_cast<std::int32_t>(datagram.size()))) {
        CanFrame out;
        check(std::exchange(asked[f.channel], true) ||
              ReceiveFrameStore::instance()->pop(0, f.channel, &out, 1) == 0);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* plain, std::size_t size) {
    if (size > kMaxDatagram)
        return 0;
    const auto datagram = classify(plain, size);
    const auto infos = endpoint().deviceInfoResults();
    const auto pelix = endpoint().pelixResults();
    const bool json = size > 6 && ((plain[4] << 8) | plain[5]) + 10u == size;
    if (json) {
        check(pelix.empty() && infos.size() == (size - 10 < kJsonTextRoom ? 1u : 0u));
        if (!infos.empty())
            checkDeviceInfo(infos[0],
                            std::string(reinterpret_cast<const char*>(plain) + 6, size - 10).c_str());
        checkNothingStored(datagram);
    } else if (size == sizeof(PelixDeviceRecord) && std::memcmp(plain, "\x00\x02\x00\x02", 4) == 0) {
        check(infos.empty() && pelix.size() == 1 && std::memcmp(pelix[0].bytes, plain, size) == 0);
        checkNothingStored(datagram);
    } else {
        check(infos.empty() && pelix.empty());
        fuzz::checkStored(0, decodePackets(datagram.data(), static_cast<std::int32_t>(size)));
    }
    return 0;
}
