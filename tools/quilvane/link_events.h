// What the library's progress lines tell about the connection: the tool has
// no other way to learn that a listening socket is up or that a device
// connected or went away.
#pragma once

#include <set>
#include <string>
#include <string_view>

struct LinkEvents {
    int serversStarted = 0;  // "TCP Server started on port: "
    // "Client thread started: ", not "New client connected: ": the device
    // is among those a send reaches only once its thread runs.
    int devicesConnected = 0;
    int devicesDisconnected = 0;    // "Client disconnected: "
    int clientReceiveEnded = 0;     // "TCP Client recv thread stopped": the device closed, or we did
    std::set<std::string> boundTo;  // "Bound to ADDRESS:PORT" of UDP sockets

    void note(std::string_view line);
    int devicesPresent() const { return devicesConnected - devicesDisconnected; }
};
