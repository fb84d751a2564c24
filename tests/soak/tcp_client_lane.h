// The application as a TCP client: one simulator after another listens,
// each with its fault; the application connects, sends, reads (sometimes
// clears midway) and closes, then connects to the next.
#pragma once

#include "soak_context.h"

void tcpClientLane(const SoakContext& context);
