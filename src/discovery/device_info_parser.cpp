#include "discovery/device_info_parser.h"

#include <cJSON.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/log_lines.h"

namespace quilvane {
namespace {

const char* stringValue(const cJSON* root, const char* key) {
    const cJSON* item = cJSON_GetObjectItem(root, key);
    return cJSON_IsString(item) ? item->valuestring : nullptr;
}

void copyText(char* field, std::size_t size, const char* value) {
    std::strncpy(field, value, size - 1);
    field[size - 1] = '\0';
}

// "192.168.1.10" -> bytes 192 168 1 10: pieces between dots, empty pieces
// skipped, each read as a decimal number and cut to 8 bits.
void copyDottedNumbers(std::uint8_t* out, std::size_t count, const char* value) {
    std::size_t written = 0;
    const char* p = value;
    while (written < count && *p != '\0') {
        if (*p == '.') {
            ++p;
            continue;
        }
        long number = std::strtol(p, nullptr, 10);
        out[written++] = static_cast<std::uint8_t>(number & 0xFF);
        p = std::strchr(p, '.');
        if (p == nullptr)
            break;
    }
}

}  // namespace

void parseDeviceInfo(const char* text, DeviceInfo& info) {
    cJSON* root = cJSON_Parse(text);
    if (root == nullptr) {
        const char* where = cJSON_GetErrorPtr();
        std::fprintf(stderr, "%s%s\n", log_lines::kJsonParseError, where ? where : "");
        return;
    }
    struct TextField {
        const char* key;
        char* field;
        std::size_t size;
    };
    const TextField fields[] = {
        {"ProMod", info.model, sizeof info.model},
        {"KerVers", info.kernelVersion, sizeof info.kernelVersion},
        {"SoftVers", info.softwareVersion, sizeof info.softwareVersion},
        {"HardVers", info.hardwareVersion, sizeof info.hardwareVersion},
        {"SerialNum", info.serialNumber, sizeof info.serialNumber},
        {"ProName", info.name, sizeof info.name},
    };
    for (const auto& f : fields) {
        if (const char* value = stringValue(root, f.key))
            copyText(f.field, f.size, value);
    }
    if (const char* mac = stringValue(root, "MAC"))
        copyDottedNumbers(info.mac, sizeof info.mac, mac);
    if (const char* ipv4 = stringValue(root, "IPv4"))
        copyDottedNumbers(info.ipv4, sizeof info.ipv4, ipv4);
    cJSON_Delete(root);
}

}  // namespace quilvane
