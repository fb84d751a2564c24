#include "socketcand_messages.h"

#include <cstdio>

namespace socketcand {

namespace {

bool isWordChar(char c) {
    return c > ' ' && c <= '~' && c != '<' && c != '>';
}

}  // namespace

std::string frameMessage(const CanFrame& frame, std::uint64_t micros) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    char head[64];
    const int n = std::snprintf(
        head, sizeof head, frame.id > 0x7FF ? "< frame %08X %llu.%06llu " : "< frame %03X %llu.%06llu ",
        static_cast<unsigned>(frame.id & 0x1FFFFFFF), static_cast<unsigned long long>(micros / 1000000),
        static_cast<unsigned long long>(micros % 1000000));
    std::string message(head, static_cast<std::size_t>(n));
    const unsigned length = frame.dataLength > 64 ? 64 : frame.dataLength;
    for (unsigned i = 0; i < length; ++i) {
        message += kHex[frame.data[i] >> 4];
        message += kHex[frame.data[i] & 0xF];
    }
    message += " >";
    return message;
}

std::string statMessage(std::uint64_t rxBytes, std::uint64_t rxFrames, std::uint64_t txBytes,
                        std::uint64_t txFrames) {
    return "< stat " + std::to_string(rxBytes) + " " + std::to_string(rxFrames) + " " +
           std::to_string(txBytes) + " " + std::to_string(txFrames) + " >";
}

std::string errorMessage(std::string_view text) {
    std::string message = "< error";
    bool inWord = false;
    for (const char c : text) {
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
            inWord = false;
            continue;
        }
        if (!inWord)
            message += ' ';
        inWord = true;
        message += isWordChar(c) ? c : '_';
    }
    return message + " >";
}

bool isWellFormed(std::string_view message) {
    if (message.size() < 5 || message.substr(0, 2) != "< " || message.substr(message.size() - 2) != " >")
        return false;
    const std::string_view inside = message.substr(2, message.size() - 4);
    // A frame without data: its last word is empty.
    const bool emptyData = inside.starts_with("frame ") && inside.ends_with(" ");
    const std::string_view words = emptyData ? inside.substr(0, inside.size() - 1) : inside;
    if (words.empty() || words.front() == ' ' || words.back() == ' ' ||
        words.find("  ") != std::string_view::npos)
        return false;
    for (const char c : words) {
        if (c != ' ' && !isWordChar(c))
            return false;
    }
    return true;
}

bool isWellFormedOutput(std::string_view text, std::size_t* count) {
    std::size_t messages = 0;
    std::size_t at = 0;
    while (at < text.size()) {
        const char c = text[at];
        if (c == ' ' || c == '\n') {
            ++at;
            continue;
        }
        const std::size_t end = text.find('>', at);
        if (c != '<' || end == std::string_view::npos || !isWellFormed(text.substr(at, end + 1 - at)))
            return false;
        ++messages;
        at = end + 1;
    }
    if (count != nullptr)
        *count = messages;
    return true;
}

}  // namespace socketcand
