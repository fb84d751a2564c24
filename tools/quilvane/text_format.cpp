#include "text_format.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

namespace {

constexpr char kHex[] = "0123456789ABCDEF";
constexpr std::uint32_t kLargestStandardId = 0x7FF;
constexpr std::uint32_t kLargestExtendedId = 0x1FFFFFFF;

// One hexadecimal digit's value, -1 for any other character.
int hexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

std::string hexBytes(const std::uint8_t* bytes, std::size_t count) {
    std::string text;
    for (std::size_t i = 0; i < count; ++i) {
        text += kHex[bytes[i] >> 4];
        text += kHex[bytes[i] & 0xF];
    }
    return text;
}

bool parseHex(std::string_view text, std::uint32_t& value) {
    value = 0;
    for (char c : text) {
        const int digit = hexDigit(c);
        if (digit < 0) {
            return false;
        }
        value = value * 16 + static_cast<std::uint32_t>(digit);
    }
    return !text.empty();
}

// Pairs of hex digits, optionally with a '.' between bytes as cansend allows.
bool parseData(std::string_view text, std::size_t limit, CanFrame& frame, std::string& error) {
    std::size_t count = 0;
    std::size_t pos = 0;
    while (pos < text.size()) {
        if (count > 0 && text[pos] == '.' && pos + 1 < text.size()) {
            ++pos;
        }
        const int high = hexDigit(text[pos]);
        const int low = pos + 1 < text.size() ? hexDigit(text[pos + 1]) : -1;
        if (high < 0 || low < 0) {
            error = "data \"" + std::string(text) + "\": expected pairs of hex digits like 1122AABB";
            return false;
        }
        if (count == limit) {
            error = limit == 8
                        ? "a classic frame carries at most 8 data bytes; write ID##F followed by the data "
                          "for CAN FD"
                        : "a CAN FD frame carries at most 64 data bytes";
            return false;
        }
        frame.data[count++] = static_cast<std::uint8_t>(high * 16 + low);
        pos += 2;
    }
    frame.dataLength = static_cast<std::uint8_t>(count);
    return true;
}

}  // namespace

// Frames.

bool isFdFrame(const CanFrame& frame) {
    return (frame.flags & kFlagFdf) != 0 || frame.dataLength > 8;
}

std::string formatFrame(const CanFrame& frame) {
    char id[9];
    std::snprintf(id, sizeof id, frame.id > kLargestStandardId ? "%08X" : "%03X", frame.id);
    std::string text = std::string(id) + "#";
    if (isFdFrame(frame)) {
        text += '#';
        text += kHex[(frame.flags & kFdFlagsShown) | kFlagFdf];
    }
    return text + hexBytes(frame.data, std::min<unsigned>(frame.dataLength, 64));
}

bool parseFrame(std::string_view text, CanFrame& frame, std::string& error) {
    frame = CanFrame{};
    const std::size_t hash = text.find('#');
    if (hash == std::string_view::npos) {
        error = "frame \"" + std::string(text) +
                "\": expected ID#DATA, or ID##F followed by the data for CAN FD (like 123#1122, 123##1AABB)";
        return false;
    }
    const std::string_view id = text.substr(0, hash);
    if ((id.size() != 3 && id.size() != 8) || !parseHex(id, frame.id) ||
        frame.id > (id.size() == 3 ? kLargestStandardId : kLargestExtendedId)) {
        error = "frame \"" + std::string(text) +
                "\": the identifier must be 3 hex digits up to 7FF, or 8 hex digits up to 1FFFFFFF";
        return false;
    }
    std::string_view rest = text.substr(hash + 1);
    std::string why;
    bool ok = true;
    if (!rest.empty() && (rest[0] == 'R' || rest[0] == 'r')) {
        why = "remote frames (R) are not supported";
        ok = false;
    } else if (!rest.empty() && rest[0] == '#') {
        const int flags = rest.size() > 1 ? hexDigit(rest[1]) : -1;
        // Only the flags a frame's text is written with, so that it reads back the same.
        if (flags < 0 || flags > kFdFlagsShown) {
            why = "after ## comes one hex digit of CAN FD flags (0 to 7), then the data";
            ok = false;
        } else {
            frame.flags = static_cast<std::uint16_t>(flags | kFlagFdf);
            ok = parseData(rest.substr(2), 64, frame, why);
        }
    } else {
        ok = parseData(rest, 8, frame, why);
    }
    if (!ok) {
        error = "frame \"" + std::string(text) + "\": " + why;
    }
    return ok;
}

// Log lines.

namespace {

bool parseTimestamp(std::string_view text, std::uint64_t& micros) {
    if (text.size() < 4 || text.front() != '(' || text.back() != ')') {
        return false;
    }
    text = text.substr(1, text.size() - 2);
    const std::size_t dot = text.find('.');
    if (dot == std::string_view::npos || dot == 0 || dot > 12 || dot + 1 == text.size()) {
        return false;
    }
    std::uint64_t seconds = 0;
    for (char c : text.substr(0, dot)) {
        if (c < '0' || c > '9')
            return false;
        seconds = seconds * 10 + static_cast<std::uint64_t>(c - '0');
    }
    // Six fraction digits are microseconds; fewer are padded, more cut.
    std::uint64_t fraction = 0;
    std::size_t digits = 0;
    for (char c : text.substr(dot + 1)) {
        if (c < '0' || c > '9')
            return false;
        if (digits < 6) {
            fraction = fraction * 10 + static_cast<std::uint64_t>(c - '0');
            ++digits;
        }
    }
    for (; digits < 6; ++digits) {
        fraction *= 10;
    }
    micros = seconds * 1000000 + fraction;
    return true;
}

// "canN" names channel N; any other interface name stands for channel 0.
std::uint8_t channelOf(std::string_view iface) {
    if (iface.size() < 4 || iface.size() > 6 || iface.substr(0, 3) != "can") {
        return 0;
    }
    unsigned value = 0;
    for (char c : iface.substr(3)) {
        if (c < '0' || c > '9')
            return 0;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    return value > 255 ? 0 : static_cast<std::uint8_t>(value);
}

std::string_view nextField(std::string_view& rest) {
    const std::size_t start = rest.find_first_not_of(" \t");
    if (start == std::string_view::npos) {
        rest = {};
        return {};
    }
    rest.remove_prefix(start);
    const std::size_t end = std::min(rest.find_first_of(" \t"), rest.size());
    std::string_view field = rest.substr(0, end);
    rest.remove_prefix(end);
    return field;
}

}  // namespace

std::string formatLogLine(std::uint64_t micros, const CanFrame& frame) {
    char prefix[48];
    std::snprintf(prefix, sizeof prefix, "(%llu.%06llu) can%u ",
                  static_cast<unsigned long long>(micros / 1000000),
                  static_cast<unsigned long long>(micros % 1000000), static_cast<unsigned>(frame.channel));
    return prefix + formatFrame(frame);
}

bool parseLogLine(std::string_view line, LogRecord& record, std::string& error) {
    std::string_view rest = line;
    while (!rest.empty() && (rest.back() == '\n' || rest.back() == '\r')) {
        rest.remove_suffix(1);
    }
    const std::string_view time = nextField(rest);
    const std::string_view iface = nextField(rest);
    const std::string_view frame = nextField(rest);
    const std::string_view direction = nextField(rest);  // newer candump and python-can may add R or T
    if (!parseTimestamp(time, record.micros)) {
        error = "expected a time like (1700000000.123456) first, got \"" + std::string(time) + "\"";
        return false;
    }
    if (iface.empty() || frame.empty()) {
        error = "expected \"(TIME) INTERFACE FRAME\", like (1700000000.123456) can0 123#1122";
        return false;
    }
    if (!(direction.empty() || direction == "R" || direction == "T") || !nextField(rest).empty()) {
        error = "unexpected text after the frame";
        return false;
    }
    if (!parseFrame(frame, record.frame, error)) {
        return false;
    }
    record.frame.channel = channelOf(iface);
    return true;
}

bool readCandumpLog(std::istream& in, std::vector<LogRecord>& records, LogReadError& error) {
    std::string line;
    for (std::size_t number = 1; std::getline(in, line); ++number) {
        if (line.find_first_not_of(" \t\r") == std::string::npos) {
            continue;
        }
        LogRecord record;
        if (!parseLogLine(line, record, error.message)) {
            error.line = number;
            return false;
        }
        records.push_back(record);
    }
    return true;
}

// Device identifiers and addresses.

bool parseDeviceId(const std::string& text, std::uint8_t out[6]) {
    // Either no separators at all or one after each of the first five pairs.
    const bool separated = text.size() == 17;
    if (text.size() != 12 && !separated) {
        return false;
    }
    const std::size_t stride = separated ? 3 : 2;
    for (std::size_t i = 0; i < 6; ++i) {
        const int high = hexDigit(text[i * stride]);
        const int low = hexDigit(text[i * stride + 1]);
        if (high < 0 || low < 0) {
            return false;
        }
        if (separated && i < 5 && text[i * stride + 2] != ':' && text[i * stride + 2] != '-') {
            return false;
        }
        out[i] = static_cast<std::uint8_t>(high * 16 + low);
    }
    return true;
}

std::string formatDeviceId(const std::uint8_t id[6]) {
    return hexBytes(id, 6);
}

bool parseIpv4(const std::string& text, std::uint8_t out[4]) {
    std::size_t pos = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (pos >= text.size() || text[pos] != '.') {
                return false;
            }
            ++pos;
        }
        const std::size_t start = pos;
        unsigned value = 0;
        while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && pos - start < 3) {
            value = value * 10 + static_cast<unsigned>(text[pos] - '0');
            ++pos;
        }
        const std::size_t digits = pos - start;
        if (digits == 0 || value > 255 || (digits > 1 && text[start] == '0')) {
            return false;
        }
        out[part] = static_cast<std::uint8_t>(value);
    }
    return pos == text.size();
}

bool isIpv4(const std::string& text) {
    std::uint8_t ignored[4];
    return parseIpv4(text, ignored);
}

std::string formatIpv4(const std::uint8_t address[4]) {
    char text[16];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", address[0], address[1], address[2], address[3]);
    return text;
}

// CONNECTION URLs.

namespace {

const char kForms[] =
    "tcp://ADDRESS:PORT, tcp-listen://[ADDRESS]:PORT or udp://REMOTE:PORT[?local=ADDRESS:PORT]";

// "ADDRESS:PORT" within the URL `text`; an empty ADDRESS only where
// `hostOptional`; the port from `minPort` to 65535, as `portRule` says.
bool splitHostPort(const std::string& text, const std::string& part, bool hostOptional, unsigned minPort,
                   const char* portRule, std::string& host, std::uint16_t& port, std::string& error) {
    const std::string quoted = "CONNECTION \"" + text + "\": ";
    const std::size_t colon = part.rfind(':');
    if (colon == std::string::npos) {
        error = quoted + "expected " + (hostOptional ? "[ADDRESS]:PORT" : "ADDRESS:PORT") + ", got \"" +
                part + "\"";
        return false;
    }
    host = part.substr(0, colon);
    const std::string digits = part.substr(colon + 1);
    if (!(host.empty() && hostOptional) && !isIpv4(host)) {
        error = quoted + "\"" + host + "\" is not an IPv4 address like 192.0.2.10";
        return false;
    }
    const bool number =
        !digits.empty() && digits.size() <= 5 && digits.find_first_not_of("0123456789") == std::string::npos;
    const unsigned long value = number ? std::stoul(digits) : 0;
    if (!number || value < minPort || value > 65535) {
        error = quoted + "port \"" + digits + "\": expected " + portRule;
        return false;
    }
    port = static_cast<std::uint16_t>(value);
    return true;
}

void copyText(char (&field)[16], const std::string& text) {
    std::memcpy(field, text.data(), std::min(text.size(), sizeof field - 1));
}

}  // namespace

bool parseConnectionUrl(const std::string& text, ConnectionUrl& url, std::string& error) {
    url = ConnectionUrl{};
    const char* anyPort = "a number from 1 to 65535";
    if (text.rfind("tcp://", 0) == 0) {
        url.type = QUILVANE_TCP_CLIENT;
        return splitHostPort(text, text.substr(6), false, 1, anyPort, url.remoteIp, url.remotePort, error);
    }
    if (text.rfind("tcp-listen://", 0) == 0) {
        // Port 0 would let the system choose, and nothing would tell which.
        url.type = QUILVANE_TCP_SERVER;
        return splitHostPort(text, text.substr(13), true, 1,
                             "a number from 1 to 65535 (the library cannot tell which port the "
                             "system would pick for 0)",
                             url.listenAddress, url.localPort, error);
    }
    if (text.rfind("udp://", 0) != 0) {
        error = std::string("CONNECTION: expected ") + kForms + ", got \"" + text + "\"";
        return false;
    }
    const std::string rest = text.substr(6);
    const std::size_t query = rest.find('?');
    url.type = QUILVANE_UDP;
    if (!splitHostPort(text, rest.substr(0, query), false, 1, anyPort, url.remoteIp, url.remotePort, error)) {
        return false;
    }
    if (query == std::string::npos) {
        return true;
    }
    const std::string option = rest.substr(query + 1);
    if (option.rfind("local=", 0) != 0) {
        error = "CONNECTION \"" + text + "\": expected ?local=ADDRESS:PORT after the remote port, got \"?" +
                option + "\"";
        return false;
    }
    std::string local = option.substr(6);
    if (local.find(':') == std::string::npos) {
        local += ":0";  // an address alone: the system picks the port
    }
    return splitHostPort(text, local, true, 0, "a number from 0 to 65535", url.localIp, url.localPort, error);
}

std::string formatConnectionUrl(const ConnectionUrl& url) {
    const auto hostPort = [](const std::string& host, std::uint16_t port) {
        return host + ":" + std::to_string(port);
    };
    switch (url.type) {
        case QUILVANE_TCP_CLIENT:
            return "tcp://" + hostPort(url.remoteIp, url.remotePort);
        case QUILVANE_TCP_SERVER:
            return "tcp-listen://" + hostPort(url.listenAddress, url.localPort);
        default:
            break;
    }
    std::string text = "udp://" + hostPort(url.remoteIp, url.remotePort);
    if (!url.localIp.empty() || url.localPort != 0) {
        text += "?local=" + hostPort(url.localIp, url.localPort);
    }
    return text;
}

OpenParams toOpenParams(const ConnectionUrl& url) {
    OpenParams params{};
    params.type = url.type;
    copyText(params.localIp, url.localIp);
    params.localPort = url.localPort;
    copyText(params.remoteIp, url.remoteIp);
    params.remotePort = url.remotePort;
    return params;
}

// Search results.

namespace {

// Length of the valid UTF-8 sequence at `pos`, 0 when there is none.
std::size_t utf8Length(std::string_view text, std::size_t pos) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(pos);
    std::size_t length = 0;
    unsigned min = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        min = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        min = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        min = 0x10000;
    } else {
        return 0;
    }
    if (pos + length > text.size()) {
        return 0;
    }
    unsigned code = lead & (0x3F >> (length - 1));
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(pos + i) & 0xC0) != 0x80) {
            return 0;
        }
        code = (code << 6) | (byte(pos + i) & 0x3F);
    }
    const bool surrogate = code >= 0xD800 && code <= 0xDFFF;
    return code < min || code > 0x10FFFF || surrogate ? 0 : length;
}

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

std::string jsonString(std::string_view text) {
    std::string out = "\"";
    for (std::size_t pos = 0; pos < text.size();) {
        const auto c = static_cast<unsigned char>(text[pos]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c < 0x20 || c == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else if (c >= 0x80) {
            const std::size_t length = utf8Length(text, pos);
            if (length == 0) {
                out += "\\ufffd";
                ++pos;
                continue;
            }
            out.append(text.substr(pos, length));
            pos += length;
            continue;
        } else {
            out += static_cast<char>(c);
        }
        ++pos;
    }
    return out + "\"";
}

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
