#include "socketcand_reader.h"

#include <array>
#include <vector>

namespace socketcand {

namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

std::vector<std::string_view> words(std::string_view text) {
    std::vector<std::string_view> result;
    std::size_t at = 0;
    while (at < text.size()) {
        while (at < text.size() && isBlank(text[at]))
            ++at;
        const std::size_t start = at;
        while (at < text.size() && !isBlank(text[at]))
            ++at;
        if (at > start)
            result.push_back(text.substr(start, at - start));
    }
    return result;
}

bool parseHex(std::string_view word, std::size_t maxDigits, std::uint32_t max, std::uint32_t& value) {
    if (word.empty() || word.size() > maxDigits)
        return false;
    std::uint32_t v = 0;
    for (const char c : word) {
        int digit;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        else
            return false;
        v = v * 16 + static_cast<std::uint32_t>(digit);
    }
    value = v;
    return v <= max;
}

bool parseDecimal(std::string_view word, std::uint64_t& value) {
    if (word.empty() || word.size() > 10)
        return false;
    std::uint64_t v = 0;
    for (const char c : word) {
        if (c < '0' || c > '9')
            return false;
        v = v * 10 + static_cast<std::uint64_t>(c - '0');
    }
    value = v;
    return v <= 0xFFFFFFFFu;
}

Command invalid(std::string error) {
    Command command;
    command.error = std::move(error);
    return command;
}

// Keeps only the command the message named.
Command invalid(const Command& named, std::string error) {
    Command command = invalid(std::move(error));
    command.named = named.named;
    return command;
}

// The words of a command after its name, read in order; the first that does
// not fit leaves its reason in `error`.
class Arguments {
  public:
    Arguments(const std::vector<std::string_view>& words) : words_(words) {}

    bool interval(std::uint64_t& micros) {
        std::uint64_t secs = 0, usecs = 0;
        if (!parseDecimal(take(), secs) || !parseDecimal(take(), usecs))
            return fail("bad interval, expected seconds and microseconds in decimal");
        micros = secs * 1000000 + usecs;
        return true;
    }
    bool id(CanFrame& frame) {
        std::uint32_t value = 0;
        if (!parseHex(take(), 8, 0x1FFFFFFF, value))
            return fail("bad can id, expected up to 8 hex digits up to 1FFFFFFF");
        frame.id = value;
        return true;
    }
    // DLC and that many bytes, to the end of the message.
    bool bytes(CanFrame& frame) {
        std::uint32_t dlc = 0;
        if (!parseHex(take(), 2, 8, dlc))
            return fail("bad dlc, expected 0 to 8");
        if (words_.size() - next_ != dlc)
            return fail("the dlc does not match the number of data bytes");
        frame.dataLength = static_cast<std::uint8_t>(dlc);
        for (std::uint32_t i = 0; i < dlc; ++i) {
            std::uint32_t byte = 0;
            if (!parseHex(take(), 2, 0xFF, byte))
                return fail("bad data byte, expected two hex digits");
            frame.data[i] = static_cast<std::uint8_t>(byte);
        }
        return true;
    }
    bool milliseconds(std::uint64_t& micros) {
        std::uint64_t ms = 0;
        if (!parseDecimal(take(), ms))
            return fail("bad period, expected milliseconds in decimal");
        micros = ms * 1000;
        return true;
    }
    bool end() { return next_ == words_.size() || fail("too many words"); }
    const char* error = "";

  private:
    std::string_view take() { return next_ < words_.size() ? words_[next_++] : std::string_view(); }
    bool fail(const char* why) {
        error = why;
        return false;
    }

    const std::vector<std::string_view>& words_;
    std::size_t next_ = 1;
};

struct Syntax {
    std::string_view name;
    CommandKind kind;
    std::size_t minWords;  // with the name
};

constexpr std::array kSyntax = {
    Syntax{"open", CommandKind::Open, 2},
    Syntax{"send", CommandKind::Send, 3},
    Syntax{"add", CommandKind::Add, 5},
    Syntax{"update", CommandKind::Update, 3},
    Syntax{"delete", CommandKind::Delete, 2},
    Syntax{"subscribe", CommandKind::Subscribe, 4},
    Syntax{"unsubscribe", CommandKind::Unsubscribe, 2},
    Syntax{"filter", CommandKind::Filter, 5},
    Syntax{"echo", CommandKind::Echo, 1},
    Syntax{"rawmode", CommandKind::RawMode, 1},
    Syntax{"bcmmode", CommandKind::BcmMode, 1},
    Syntax{"controlmode", CommandKind::ControlMode, 1},
    Syntax{"statistics", CommandKind::Statistics, 2},
};

bool isBusNameChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '-' || c == '.';
}

}  // namespace

Command parseMessage(std::string_view text) {
    const std::vector<std::string_view> all = words(text);
    if (all.empty())
        return invalid("empty message");
    const Syntax* syntax = nullptr;
    for (const Syntax& s : kSyntax) {
        if (s.name == all[0])
            syntax = &s;
    }
    if (syntax == nullptr)
        return invalid("unknown command");
    Command command;
    command.named = syntax->kind;
    if (all.size() < syntax->minWords)
        return invalid(command, std::string(syntax->name) + ": too few words");
    command.kind = syntax->kind;
    Arguments args(all);
    bool ok = true;
    switch (command.kind) {
        case CommandKind::Open:
            if (all.size() > 2)
                return invalid(command, "open: too many words");
            command.bus = std::string(all[1]);
            if (command.bus.size() > kMaxBusName)
                return invalid(command, "open: bus name longer than 16 characters");
            for (const char c : command.bus) {
                if (!isBusNameChar(c))
                    return invalid(command, "open: bad bus name");
            }
            break;
        case CommandKind::Send:
        case CommandKind::Update:
            ok = args.id(command.frame) && args.bytes(command.frame);
            break;
        case CommandKind::Add:
        case CommandKind::Filter:
            ok = args.interval(command.intervalMicros) && args.id(command.frame) && args.bytes(command.frame);
            break;
        case CommandKind::Subscribe:
            ok = args.interval(command.intervalMicros) && args.id(command.frame) && args.end();
            break;
        case CommandKind::Delete:
        case CommandKind::Unsubscribe:
            ok = args.id(command.frame) && args.end();
            break;
        case CommandKind::Statistics:
            ok = args.milliseconds(command.intervalMicros) && args.end();
            break;
        default:
            ok = args.end();
            break;
    }
    if (!ok)
        return invalid(command, std::string(syntax->name) + ": " + std::string(args.error));
    return command;
}

bool Reader::next(Command& command) {
    while (position_ < pending_.size()) {
        const char c = pending_[position_++];
        switch (state_) {
            case State::Outside:
                if (c == '<') {
                    state_ = State::Inside;
                    message_.clear();
                    junkReported_ = false;
                } else if (!isBlank(c) && !junkReported_) {
                    junkReported_ = true;
                    command = invalid("bytes outside a message");
                    return true;
                }
                break;
            case State::Inside:
                if (c == '>') {
                    state_ = State::Outside;
                    command = parseMessage(message_);
                    return true;
                }
                if (c == '<') {
                    message_.clear();
                    command = invalid("message without its closing bracket");
                    return true;
                }
                if (message_.size() >= kMaxMessage) {
                    state_ = State::Skipping;
                    command = invalid("message too long");
                    return true;
                }
                message_ += c;
                break;
            case State::Skipping:
                if (c == '>') {
                    state_ = State::Outside;
                } else if (c == '<') {
                    state_ = State::Inside;
                    message_.clear();
                }
                break;
        }
    }
    pending_.clear();
    position_ = 0;
    return false;
}

}  // namespace socketcand
