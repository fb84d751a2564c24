#include "candump_format.h"

#include <algorithm>
#include <cstdio>

#include "hex_digit.h"

namespace {

constexpr char kHex[] = "0123456789ABCDEF";
constexpr std::uint32_t kLargestStandardId = 0x7FF;
constexpr std::uint32_t kLargestExtendedId = 0x1FFFFFFF;

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

bool isFdFrame(const CanFrame& frame) {
    return (frame.flags & kFlagFdf) != 0 || frame.dataLength > 8;
}

std::string formatFrame(const CanFrame& frame) {
    char text[8 + 3 + 128 + 1];
    int pos = std::snprintf(text, sizeof text, frame.id > kLargestStandardId ? "%08X" : "%03X", frame.id);
    text[pos++] = '#';
    if (isFdFrame(frame)) {
        text[pos++] = '#';
        text[pos++] = kHex[(frame.flags & kFdFlagsShown) | kFlagFdf];
    }
    const unsigned length = frame.dataLength > 64 ? 64 : frame.dataLength;
    for (unsigned i = 0; i < length; ++i) {
        text[pos++] = kHex[frame.data[i] >> 4];
        text[pos++] = kHex[frame.data[i] & 0xF];
    }
    return std::string(text, static_cast<std::size_t>(pos));
}

std::string formatLogLine(std::uint64_t micros, const CanFrame& frame) {
    char prefix[48];
    std::snprintf(prefix, sizeof prefix, "(%llu.%06llu) can%u ",
                  static_cast<unsigned long long>(micros / 1000000),
                  static_cast<unsigned long long>(micros % 1000000), static_cast<unsigned>(frame.channel));
    return prefix + formatFrame(frame);
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
        if (flags < 0) {
            why = "after ## comes one hex digit of CAN FD flags (0 to F), then the data";
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
