// The application over UDP: per opening one simulator sends datagrams with
// its fault; the frames arrive under handle 0, which the soak keeps for
// UDP (see soak_main.cpp). Datagrams that the system drops for want of
// buffer space are counted from /proc/net/snmp, per network namespace.
#pragma once

#include "soak_context.h"

void udpLane(const SoakContext& context);
