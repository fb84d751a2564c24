// An application thread that opens and closes connections of its own as
// fast as it can (a TCP server nobody connects to, UDP towards a port
// nobody reads, a handle without transport), sending, reading and clearing
// on them, while the other lanes' connections carry traffic.
#pragma once

#include "soak_context.h"

void churnLane(const SoakContext& context);
