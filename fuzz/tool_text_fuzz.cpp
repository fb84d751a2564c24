// The texts the quilvane tool takes from its user: frames in cansend's
// syntax, candump log lines and files, connection URLs, device identifiers
// and IPv4 addresses. Whatever parses must write back to a text that parses
// to the same thing. The first input byte picks the reader, the rest is the
// text.
#include <cstdint>
#include <cstring>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "fuzz_check.h"
#include "text_format.h"

namespace {

using quilvane::fuzz::check;

auto fieldsOf(const CanFrame& f) {
    return std::tuple(
        f.timestamp, f.id, f.flags, f.channel, f.dataLength,
        std::string(reinterpret_cast<const char*>(f.data), f.dataLength > 64 ? 64 : f.dataLength));
}

void frameRoundTrip(std::string_view text) {
    CanFrame frame{};
    std::string error;
    if (!parseFrame(text, frame, error))
        return;
    CanFrame again{};
    check(parseFrame(formatFrame(frame), again, error));
    check(fieldsOf(again) == fieldsOf(frame));
}

void logLineRoundTrip(std::string_view text) {
    LogRecord record;
    std::string error;
    if (!parseLogLine(text, record, error))
        return;
    LogRecord again;
    check(parseLogLine(formatLogLine(record.micros, record.frame), again, error));
    check(again.micros == record.micros && fieldsOf(again.frame) == fieldsOf(record.frame));
}

void logFileRoundTrip(const std::string& text) {
    std::istringstream in(text);
    std::vector<LogRecord> records;
    LogReadError error;
    if (!readCandumpLog(in, records, error)) {
        check(error.line >= 1 && !error.message.empty());
        return;
    }
    std::string written;
    for (const LogRecord& r : records)
        written += formatLogLine(r.micros, r.frame) + "\n";
    std::istringstream back(written);
    std::vector<LogRecord> again;
    check(readCandumpLog(back, again, error));
    check(again.size() == records.size());
    for (std::size_t i = 0; i < records.size(); ++i)
        check(again[i].micros == records[i].micros && fieldsOf(again[i].frame) == fieldsOf(records[i].frame));
}

void urlRoundTrip(const std::string& text) {
    ConnectionUrl url;
    std::string error;
    if (!parseConnectionUrl(text, url, error)) {
        check(!error.empty());
        return;
    }
    ConnectionUrl again;
    check(parseConnectionUrl(formatConnectionUrl(url), again, error));
    check(std::tie(again.type, again.localIp, again.localPort, again.remoteIp, again.remotePort,
                   again.listenAddress) ==
          std::tie(url.type, url.localIp, url.localPort, url.remoteIp, url.remotePort, url.listenAddress));
}

void deviceIdAndAddressRoundTrip(const std::string& text) {
    std::uint8_t id[6];
    if (parseDeviceId(text, id)) {
        std::uint8_t again[6];
        check(parseDeviceId(formatDeviceId(id), again) && std::memcmp(id, again, sizeof id) == 0);
    }
    std::uint8_t address[4];
    if (parseIpv4(text, address)) {
        // Only one text is an address: the one the library's conversion takes.
        check(formatIpv4(address) == text && isIpv4(text));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
    switch (data[0] % 5) {
        case 0:
            frameRoundTrip(text);
            break;
        case 1:
            logLineRoundTrip(text);
            break;
        case 2:
            logFileRoundTrip(text);
            break;
        case 3:
            urlRoundTrip(text);
            break;
        default:
            deviceIdAndAddressRoundTrip(text);
            break;
    }
    return 0;
}
