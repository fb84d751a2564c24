// --reply-to: where a responder's reply goes. Broadcast replies leave by the
// interface the request came in on, so that each reaches only the network
// the request came from.
#pragma once

#include <netinet/in.h>

#include <optional>
#include <string>

#include "options.h"

namespace sim {

struct ReplyDestination {
    sockaddr_in to{};
    unsigned interfaceIndex = 0;  // the interface to leave by; 0: as routed
};

// Nothing, with `error` set, when a broadcast reply is asked for and the
// request's interface has no broadcast address (loopback has none).
std::optional<ReplyDestination> replyDestination(ReplyTo replyTo, const sockaddr_in& source,
                                                 unsigned interfaceIndex, std::string& error);

}  // namespace sim
