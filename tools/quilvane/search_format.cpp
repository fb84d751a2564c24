#include "search_format.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

#include "ipv4_text.h"
#include "json_text.h"

namespace {

// Device texts end at their first NUL or at the end of their field.
template <std::size_t N>
std::string fieldText(const char (&field)[N]) {
    return std::string(field, strnlen(field, N));
}

std::string macText(const std::uint8_t (&mac)[6]) {
    char text[18];
    std::snprintf(text, sizeof text, "%02X:%02X:%02X:%02X:%02X:%02X", mac[0], mac[1], mac[2], mac[3], mac[4],
                  mac[5]);
    return text;
}

std::string hexBytes(const std::uint8_t* bytes, std::size_t count) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string text;
    for (std::size_t i = 0; i < count; ++i) {
        text += kHex[bytes[i] >> 4];
        text += kHex[bytes[i] & 0xF];
    }
    return text;
}

// A device could send terminal control sequences; the table shows them as '?'.
std::string printable(std::string text) {
    for (char& c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
            c = '?';
        }
    }
    return text.empty() ? "-" : text;
}

constexpr std::size_t kColumns = 8;
using Row = std::array<std::string, kColumns>;

Row rowOf(const DeviceInfo& device) {
    return {printable(fieldText(device.model)),
            printable(fieldText(device.name)),
            printable(fieldText(device.serialNumber)),
            printable(fieldText(device.kernelVersion)),
            printable(fieldText(device.softwareVersion)),
            printable(fieldText(device.hardwareVersion)),
            formatIpv4(device.ipv4),
            macText(device.mac)};
}

std::string layout(const std::vector<Row>& rows) {
    std::array<std::size_t, kColumns> widths{};
    for (const Row& row : rows) {
        for (std::size_t c = 0; c < kColumns; ++c) {
            widths[c] = std::max(widths[c], row[c].size());
        }
    }
    std::string text;
    for (const Row& row : rows) {
        std::string line;
        for (std::size_t c = 0; c < kColumns; ++c) {
            line += row[c];
            if (c + 1 < kColumns) {
                line.append(widths[c] - row[c].size() + 2, ' ');
            }
        }
        text += line + "\n";
    }
    return text;
}

}  // namespace

std::string deviceTable(const std::vector<DeviceInfo>& devices) {
    std::vector<Row> rows{{"MODEL", "NAME", "SERIAL", "KERNEL", "SOFTWARE", "HARDWARE", "ADDRESS", "MAC"}};
    for (const DeviceInfo& device : devices) {
        rows.push_back(rowOf(device));
    }
    return layout(rows);
}

std::string deviceJson(const std::vector<DeviceInfo>& devices) {
    std::string text = "[";
    for (std::size_t i = 0; i < devices.size(); ++i) {
        const DeviceInfo& d = devices[i];
        text += i == 0 ? "\n" : ",\n";
        text += "  {\"model\": " + jsonString(fieldText(d.model)) +
                ", \"name\": " + jsonString(fieldText(d.name)) +
                ", \"serialNumber\": " + jsonString(fieldText(d.serialNumber)) +
                ", \"kernelVersion\": " + jsonString(fieldText(d.kernelVersion)) +
                ", \"softwareVersion\": " + jsonString(fieldText(d.softwareVersion)) +
                ", \"hardwareVersion\": " + jsonString(fieldText(d.hardwareVersion)) + ", \"ipv4\": \"" +
                formatIpv4(d.ipv4) + "\", \"mac\": \"" + macText(d.mac) + "\"}";
    }
    return text + (devices.empty() ? "]\n" : "\n]\n");
}

std::string pelixTable(const std::vector<PelixDeviceRecord>& records) {
    std::string text = "#    RECORD (29 bytes)\n";
    for (std::size_t i = 0; i < records.size(); ++i) {
        char index[24];
        std::snprintf(index, sizeof index, "%-4zu ", i + 1);
        text += index + hexBytes(records[i].bytes, sizeof records[i].bytes) + "\n";
    }
    return text;
}

std::string pelixJson(const std::vector<PelixDeviceRecord>& records) {
    std::string text = "[";
    for (std::size_t i = 0; i < records.size(); ++i) {
        text += i == 0 ? "\n" : ",\n";
        text += "  {\"record\": \"" + hexBytes(records[i].bytes, sizeof records[i].bytes) + "\"}";
    }
    return text + (records.empty() ? "]\n" : "\n]\n");
}
