// What a socketcand client writes, read into commands: bytes as they come
// from the network (several messages in one read, one message over several)
// cut into "< ... >" messages, and each message checked and read into a
// Command. No sockets, no state beyond the message being read, so that any
// bytes can be fed to it in tests and by the fuzzer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "quilvane_sdk.h"

namespace socketcand {

// Longer than any valid message (a filter with 8 mask bytes is about 60).
constexpr std::size_t kMaxMessage = 256;
constexpr std::size_t kMaxBusName = 16;

enum class CommandKind {
    Invalid,  // `error` says why
    Open,
    Send,
    Add,
    Update,
    Delete,
    Subscribe,
    Unsubscribe,
    Filter,
    Echo,
    RawMode,
    BcmMode,
    ControlMode,
    Statistics,
};

struct Command {
    CommandKind kind = CommandKind::Invalid;
    // The command the message names, also when its words are wrong.
    CommandKind named = CommandKind::Invalid;
    std::string bus;  // Open
    // Send, Add, Update: id, dataLength (0 to 8) and data; Filter: id,
    // dataLength and the mask bytes in data; Delete, Subscribe, Unsubscribe: id.
    CanFrame frame{};
    // Add, Subscribe, Filter: SECS USECS; Statistics: MS.
    std::uint64_t intervalMicros = 0;
    // Invalid: lower-case words without '<' or '>', ready for "< error ... >".
    std::string error;
};

class Reader {
  public:
    void feed(std::string_view bytes) { pending_.append(bytes); }
    // The next complete message; false when the bytes fed so far hold none.
    // Bytes outside messages: blanks are skipped, anything else is reported
    // once per run of it.
    bool next(Command& command);

  private:
    enum class State { Outside, Inside, Skipping };

    State state_ = State::Outside;
    bool junkReported_ = false;
    std::string pending_;
    std::size_t position_ = 0;
    std::string message_;
};

// One message's text between '<' and '>'.
Command parseMessage(std::string_view text);

}  // namespace socketcand
