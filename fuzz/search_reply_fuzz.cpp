// A datagram on a discovery socket, as the receive thread hands it to the
// classifier. The input is the datagram as the classifier reads it, after its
// bits are rotated back, so seeds and the dictionary are plain JSON; the
// target rotates it the way a device sends it. A JSON reply must give one
// record (none past the text buffer), a PELIX reply one record of its bytes,
// and anything else its frames under handle 0 and no record.
#include <cJSON.h>

#include <cstdint>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "codec/packet_decoder.h"
#include "stored_frames.h"
#include "transport/quilvane_udp.h"

namespace {

using namespace quilvane;
using fuzz::check;

constexpr std::size_t kMaxDatagram = 2048;
constexpr std::size_t kJsonTextRoom = 1024;

std::uint8_t rotateLeft2(std::uint8_t b) {
    return static_cast<std::uint8_t>((b << 2) | (b >> 6));
}

QuilvaneUdp& endpoint() {
    static QuilvaneUdp udp;  // no socket: only its classifier and result lists are used
    return udp;
}

// The datagram as a device sends it.
std::vector<std::uint8_t> rotated(const std::uint8_t* plain, std::size_t size) {
    std::vector<std::uint8_t> datagram(size);
    for (std::size_t i = 0; i < size; ++i)
        datagram[i] = rotateLeft2(plain[i]);
    return datagram;
}

void classify(const std::vector<std::uint8_t>& datagram) {
    endpoint().clearResults();
    endpoint().classify(datagram.data(), static_cast<int>(datagram.size()));
}

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

std::string dotted(const std::uint8_t* bytes, std::size_t count) {
    std::string text;
    for (std::size_t i = 0; i < count; ++i)
        text += (i ? "." : "") + std::to_string(bytes[i]);
    return text;
}

// The record written back as a reply must read back as the same record.
void checkWrittenBack(const DeviceInfo& info) {
    cJSON* root = cJSON_CreateObject();
    const auto* bytes = reinterpret_cast<const char*>(&info);
    for (const TextField& f : kTextFields)
        cJSON_AddStringToObject(root, f.key,
                                std::string(bytes + f.offset, strnlen(bytes + f.offset, f.size)).c_str());
    cJSON_AddStringToObject(root, "IPv4", dotted(info.ipv4, sizeof info.ipv4).c_str());
    cJSON_AddStringToObject(root, "MAC", dotted(info.mac, sizeof info.mac).c_str());
    char* text = cJSON_PrintUnformatted(root);
    const std::size_t length = std::strlen(text);
    std::vector<std::uint8_t> reply = {
        0x00, 0x01, 0x00, 0x01, static_cast<std::uint8_t>(length >> 8), static_cast<std::uint8_t>(length)};
    reply.insert(reply.end(), text, text + length);
    reply.insert(reply.end(), 4, 0x00);
    cJSON_free(text);
    cJSON_Delete(root);

    classify(rotated(reply.data(), reply.size()));
    const auto again = endpoint().deviceInfoResults();
    check(again.size() == 1 && std::memcmp(&again[0], &info, sizeof info) == 0);
}

// A text field holds the key's string value cut to the field and is zero
// beyond it, or is all zero when the key is missing or not a string.
void checkDeviceInfo(const DeviceInfo& info, const char* text) {
    static const DeviceInfo zero{};
    cJSON* root = cJSON_Parse(text);
    if (root == nullptr) {
        check(std::memcmp(&info, &zero, sizeof info) == 0);
        return;
    }
    const auto* bytes = reinterpret_cast<const char*>(&info);
    for (const TextField& f : kTextFields) {
        char expected[16] = {};
        const cJSON* item = cJSON_GetObjectItem(root, f.key);
        if (cJSON_IsString(item))
            std::memcpy(expected, item->valuestring, strnlen(item->valuestring, f.size - 1));
        check(std::memcmp(bytes + f.offset, expected, f.size) == 0);
    }
    cJSON_Delete(root);
    checkWrittenBack(info);
}

// Nothing decoded from the datagram may have reached handle 0. Only the
// channels it would fill are asked: an empty queue that exists makes pop wait.
void checkNothingStored(const std::uint8_t* datagram, std::size_t size) {
    std::set<std::uint8_t> channels;
    for (const CanFrame& f : decodePackets(datagram, static_cast<std::int32_t>(size)))
        channels.insert(f.channel);
    for (const std::uint8_t channel : channels) {
        CanFrame out;
        check(ReceiveFrameStore::instance()->pop(0, channel, &out, 1) == 0);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* plain, std::size_t size) {
    if (size > kMaxDatagram)
        return 0;
    const auto datagram = rotated(plain, size);
    classify(datagram);
    const auto infos = endpoint().deviceInfoResults();
    const auto pelix = endpoint().pelixResults();

    const bool json = size > 6 && ((plain[4] << 8) | plain[5]) + 10u == size;
    const bool pelixReply = !json && size == sizeof(PelixDeviceRecord) && plain[0] == 0x00 &&
                            plain[1] == 0x02 && plain[2] == 0x00 && plain[3] == 0x02;
    if (json) {
        check(pelix.empty());
        const std::size_t textLength = size - 10;
        if (textLength >= kJsonTextRoom) {
            check(infos.empty());
        } else {
            check(infos.size() == 1);
            const std::string text(reinterpret_cast<const char*>(plain) + 6, textLength);
            checkDeviceInfo(infos[0], text.c_str());
        }
        checkNothingStored(datagram.data(), size);
    } else if (pelixReply) {
        check(infos.empty() && pelix.size() == 1 && std::memcmp(pelix[0].bytes, plain, size) == 0);
        checkNothingStored(datagram.data(), size);
    } else {
        check(infos.empty() && pelix.empty());
        fuzz::checkStored(0, decodePackets(datagram.data(), static_cast<std::int32_t>(size)));
    }
    return 0;
}
