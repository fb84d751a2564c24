// The texts the quilvane tool takes from its user: frames in cansend's
// syntax, candump log lines and files, connection URLs, device identifiers
// and IPv4 addresses. Whatever parses must write back to a text that parses
// to the same thing. The first input byte picks the reader, the rest is the
// text.
#include <cstring>
#include <sstream>
#include <tuple>

#include "fuzz_check.h"
#include "text_format.h"

namespace {

using quilvane::fuzz::check;

auto fieldsOf(const LogRecord& r) {
    const CanFrame& f = r.frame;
    return std::tuple(
        r.micros, f.timestamp, f.id, f.flags, f.channel, f.dataLength,
        std::string(reinterpret_cast<const char*>(f.data), f.dataLength > 64 ? 64 : f.dataLength));
}

void frameRoundTrip(const std::string& text) {
    LogRecord record, again;
    std::string error;
    if (parseFrame(text, record.frame, error))
        check(parseFrame(formatFrame(record.frame), again.frame, error) &&
              fieldsOf(again) == fieldsOf(record));
}

// Log lines are read only as files (of one line or more).
void logFileRoundTrip(const std::string& text) {
    std::istringstream in(text);
    std::vector<LogRecord> records, again;
    LogReadError error;
    if (!readCandumpLog(in, records, error))
        return check(error.line >= 1 && !error.message.empty());
    std::string written;
    for (const LogRecord& r : records)
        written += formatLogLine(r.micros, r.frame) + "\n";
    std::istringstream back(written);
    check(readCandumpLog(back, again, error) && again.size() == records.size());
    for (std::size_t i = 0; i < records.size(); ++i)
        check(fieldsOf(again[i]) == fieldsOf(records[i]));
}

void urlRoundTrip(const std::string& text) {
    ConnectionUrl url, again;
    std::string error;
    if (!parseConnectionUrl(text, url, error))
        return check(!error.empty());
    check(parseConnectionUrl(formatConnectionUrl(url), again, error));
    check(std::tie(again.type, again.localIp, again.localPort, again.remoteIp, again.remotePort,
                   again.listenAddress) ==
          std::tie(url.type, url.localIp, url.localPort, url.remoteIp, url.remotePort, url.listenAddress));
}

void deviceIdAndAddressRoundTrip(const std::string& text) {
    std::uint8_t id[6], again[6], address[4];
    if (parseDeviceId(text, id))
        check(parseDeviceId(formatDeviceId(id), again) && std::memcmp(id, again, sizeof id) == 0);
    // Only one text is an address: the one the library's conversion takes.
    if (parseIpv4(text, address))
        check(formatIpv4(address) == text && isIpv4(text));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    void (*const readers[])(const std::string&) = {frameRoundTrip, logFileRoundTrip, urlRoundTrip,
                                                   deviceIdAndAddressRoundTrip};
    if (size > 0)
        readers[data[0] % 4](std::string(reinterpret_cast<const char*>(data) + 1, size - 1));
    return 0;
}
