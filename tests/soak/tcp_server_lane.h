// The application as a TCP server: per opening, two to four simulators
// connect one after another, each with its fault, and send at the same
// time; the application sends to all, reads and closes, then listens anew.
#pragma once

#include "soak_context.h"

void tcpServerLane(const SoakContext& context);
