// Datagrams sent to an adapter's broadcast addresses, for UDP sockets bound
// to that adapter's own address. Windows hands them to such a socket; Linux
// only to sockets bound to the broadcast address itself or to any address.
// So on Linux each such socket gets companions on its port, bound to the
// subnet's broadcast address and to 255.255.255.255, which keep only what
// arrived on the adapter's own interface. Linux build only.
#pragma once

#include <cstdint>

#include "platform/net.h"

namespace quilvane::net {

// After a successful bind; does nothing for other sockets, for loopback and
// for the any-address.
void addBroadcastReceivers(int fd, std::uint32_t localAddress);
// Before the socket is closed.
void forgetBroadcastReceivers(int fd);
// One datagram from the socket or its companions: its length, -1 with
// errno set (EMSGSIZE when it did not fit), or kWaitTimedOut.
int receiveDatagramWithin(int fd, void* buffer, int capacity, Endpoint* from, int milliseconds);

}  // namespace quilvane::net
