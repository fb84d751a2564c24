#include "device_id.h"

#include <cstdio>

#include "hex_digit.h"

bool parseDeviceId(const std::string& text, std::uint8_t out[6]) {
    // Either no separators at all or one after each of the first five pairs.
    const bool separated = text.size() == 17;
    if (text.size() != 12 && !separated) {
        return false;
    }
    const size_t stride = separated ? 3 : 2;
    for (size_t i = 0; i < 6; ++i) {
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
    char text[13];
    std::snprintf(text, sizeof text, "%02X%02X%02X%02X%02X%02X", id[0], id[1], id[2], id[3], id[4], id[5]);
    return text;
}
