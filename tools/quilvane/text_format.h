// The texts quilvane reads and writes, kept together as can-utils keeps its
// frame formats in lib.c: frames in cansend's syntax, candump log lines and
// files, device identifiers, IPv4 addresses, CONNECTION URLs, and search
// results as a table or JSON. Nothing here calls the library or keeps state;
// each reader returns false with `error` saying what is wrong and what was
// expected.
#pragma once

#include <cstdint>
#include <istream>
#include <string>
#include <string_view>
#include <vector>

#include "quilvane_sdk.h"

// Frames: cansend's "123#1122", "1F334455#" and "123##1AABB" (CAN FD, one
// hex digit of flags first). The low nibble of CanFrame::flags mirrors
// Linux's CAN FD flags: 0x1 BRS, 0x2 ESI, 0x4 FDF. A frame is written as CAN
// FD when FDF is set or it carries more than 8 bytes; "##F" reads back as
// flags F | FDF. Identifiers above 0x7FF are written with 8 hex digits, the
// others with 3.
constexpr std::uint16_t kFlagFdf = 0x4;
// The flags a frame's text carries: bit rate switch, error state, FD, as
// Linux defines them; readers take the digit as 0 to 7 (python-can reads it
// as a decimal digit).
constexpr std::uint16_t kFdFlagsShown = 0x7;

bool isFdFrame(const CanFrame& frame);
std::string formatFrame(const CanFrame& frame);
bool parseFrame(std::string_view text, CanFrame& frame, std::string& error);

// candump's log line "(1700000000.123456) can0 123#1122".
struct LogRecord {
    std::uint64_t micros = 0;  // the line's time
    CanFrame frame{};          // channel from the interface name "canN", else 0
};

// "(SECONDS.MICROSECONDS) canCHANNEL FRAME", without an end of line.
std::string formatLogLine(std::uint64_t micros, const CanFrame& frame);
bool parseLogLine(std::string_view line, LogRecord& record, std::string& error);

// A whole candump log file, read before anything is sent so that a bad line
// stops a replay before its first frame. Blank lines are skipped; false at
// the first line that does not parse.
struct LogReadError {
    std::size_t line = 0;  // counted from 1
    std::string message;
};
bool readCandumpLog(std::istream& in, std::vector<LogRecord>& records, LogReadError& error);

// A device's 6-byte identifier as typed: 12 hex digits, optionally with ':'
// or '-' between the pairs (001A2B3C4D5E, 00:1A:2B:3C:4D:5E).
bool parseDeviceId(const std::string& text, std::uint8_t out[6]);
std::string formatDeviceId(const std::uint8_t id[6]);

// Four decimal numbers from 0 to 255 without leading zeros, the form the
// library's own address conversion accepts.
bool parseIpv4(const std::string& text, std::uint8_t out[4]);
bool isIpv4(const std::string& text);
std::string formatIpv4(const std::uint8_t address[4]);

// CONNECTION: tcp://ADDRESS:PORT (the library connects to a device),
// tcp-listen://[ADDRESS]:PORT (devices connect to the library) and
// udp://REMOTE:PORT[?local=[ADDRESS]:PORT] (an ADDRESS alone: any port).
struct ConnectionUrl {
    std::uint32_t type = 0;  // QUILVANE_TCP_CLIENT, QUILVANE_TCP_SERVER or QUILVANE_UDP
    std::string localIp;     // empty: any local address
    std::uint16_t localPort = 0;
    std::string remoteIp;
    std::uint16_t remotePort = 0;
    // tcp-listen's address: checked, then unused, as the library listens on
    // every local address.
    std::string listenAddress;
};

// `error` quotes the argument and names the part that is wrong.
bool parseConnectionUrl(const std::string& text, ConnectionUrl& url, std::string& error);
// The text that parses back to `url`; a udp:// local part only where one is set.
std::string formatConnectionUrl(const ConnectionUrl& url);
OpenParams toOpenParams(const ConnectionUrl& url);

// Search results, for people or for scripts. Text as a JSON string literal,
// quotes included: valid UTF-8 passes through, control characters are
// escaped, bytes that are not UTF-8 (a device text cut inside a character)
// become U+FFFD, so the output always parses.
std::string jsonString(std::string_view text);
std::string deviceTable(const std::vector<DeviceInfo>& devices);
std::string deviceJson(const std::vector<DeviceInfo>& devices);
// PELIX records are not interpreted: all 29 bytes in hex.
std::string pelixTable(const std::vector<PelixDeviceRecord>& records);
std::string pelixJson(const std::vector<PelixDeviceRecord>& records);
