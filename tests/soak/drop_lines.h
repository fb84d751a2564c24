// The library's lines that tell of lost received bytes, as the soak reads
// them back from its log.
#pragma once

#include <optional>
#include <string>

enum class DropKind { QueueFull, CacheOverflow };

struct DropLine {
    DropKind kind;
    std::optional<long> socket;  // the device's socket, on a TCP server's lines
};

std::optional<DropLine> dropLine(const std::string& line);
// The socket of a TCP server's "Client thread started: " line.
std::optional<long> clientThreadStarted(const std::string& line);
