#include "link_events.h"

namespace {

bool startsWith(std::string_view line, std::string_view prefix) {
    return line.substr(0, prefix.size()) == prefix;
}

}  // namespace

void LinkEvents::note(std::string_view line) {
    if (startsWith(line, "TCP Server started on port: ")) {
        ++serversStarted;
    } else if (startsWith(line, "Client thread started: ")) {
        ++devicesConnected;
    } else if (startsWith(line, "Client disconnected: ")) {
        ++devicesDisconnected;
    } else if (line == "TCP Client recv thread stopped") {
        ++clientReceiveEnded;
    } else if (startsWith(line, "Bound to ")) {
        boundTo.emplace(line.substr(9));
    }
}
