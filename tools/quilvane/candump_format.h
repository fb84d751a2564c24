// Frames in the text forms of the Linux CAN tools: cansend's "123#1122",
// "1F334455#" and "123##1AABB" (CAN FD, one hex digit of flags first), and
// candump's log line "(1700000000.123456) can0 123#1122".
//
// The low nibble of CanFrame::flags mirrors Linux's CAN FD flags: 0x1 BRS,
// 0x2 ESI, 0x4 FDF. A frame is written as CAN FD when FDF is set or it
// carries more than 8 bytes; "##F" reads back as flags F | FDF. Identifiers
// above 0x7FF are written with 8 hex digits, the others with 3.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "quilvane_sdk.h"

constexpr std::uint16_t kFlagFdf = 0x4;
// The flags a log line carries: bit rate switch, error state, FD, as Linux
// defines them; readers take the digit as 0 to 7.
constexpr std::uint16_t kFdFlagsShown = 0x7;

struct LogRecord {
    std::uint64_t micros = 0;  // the line's time
    CanFrame frame{};          // channel from the interface name "canN", else 0
};

bool isFdFrame(const CanFrame& frame);
std::string formatFrame(const CanFrame& frame);
// "(SECONDS.MICROSECONDS) canCHANNEL FRAME", without an end of line.
std::string formatLogLine(std::uint64_t micros, const CanFrame& frame);

// Each returns false with `error` saying what is wrong and what was expected.
bool parseFrame(std::string_view text, CanFrame& frame, std::string& error);
bool parseLogLine(std::string_view line, LogRecord& record, std::string& error);
