#include "drop_lines.h"

namespace {

std::optional<long> numberAfter(const std::string& line, const std::string& prefix) {
    if (!line.starts_with(prefix) || line.size() == prefix.size())
        return std::nullopt;
    try {
        return std::stol(line.substr(prefix.size()));
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

}  // namespace

std::optional<DropLine> dropLine(const std::string& line) {
    if (line == "Processing queue full, dropping data")
        return DropLine{DropKind::QueueFull, std::nullopt};
    if (line == "Client cache overflow, clearing cache")
        return DropLine{DropKind::CacheOverflow, std::nullopt};
    if (const auto s = numberAfter(line, "Processing queue full, dropping data from client: "))
        return DropLine{DropKind::QueueFull, s};
    if (const auto s = numberAfter(line, "Client cache overflow, clearing cache for client: "))
        return DropLine{DropKind::CacheOverflow, s};
    return std::nullopt;
}

std::optional<long> clientThreadStarted(const std::string& line) {
    return numberAfter(line, "Client thread started: ");
}
