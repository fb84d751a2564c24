// What the socketcand bridge writes to its clients, and the check that it is
// well-formed: "< ", words of printable ASCII without '<' and '>' separated
// by single spaces, " >". Only a frame message may end in an empty word: a
// frame without data bytes ("< frame 123 1.000000  >"), since readers that
// split a frame message into three parts need the data part to be there.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "quilvane_sdk.h"

namespace socketcand {

// "< frame ID SECS.USECS DATA >": ID in hex, 3 digits up to 7FF and 8 above;
// DATA the bytes as one run of hex pairs.
std::string frameMessage(const CanFrame& frame, std::uint64_t micros);
std::string statMessage(std::uint64_t rxBytes, std::uint64_t rxFrames, std::uint64_t txBytes,
                        std::uint64_t txFrames);
// Characters that may not stand in a word become '_'; blanks separate words.
std::string errorMessage(std::string_view text);

bool isWellFormed(std::string_view message);
// Whether `text`, all that a client was sent, is whole messages with at most
// spaces and line feeds between them; `count` gets the number of messages.
bool isWellFormedOutput(std::string_view text, std::size_t* count = nullptr);

}  // namespace socketcand
