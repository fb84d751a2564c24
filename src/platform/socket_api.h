// The operating system's socket headers, and the conversions between our
// Endpoint and its IPv4 socket address; for the platform files only.
#pragma once

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#endif

#include "platform/net.h"

namespace quilvane::net {

// setsockopt with a 4-byte integer value; false (and lastError set) on failure.
bool setIntOption(Socket s, int level, int name, int value);

sockaddr_in toSockaddr(const Endpoint& e);
Endpoint fromSockaddr(const sockaddr_in& a);

}  // namespace quilvane::net
