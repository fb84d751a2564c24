// Searches and probes, one after another, against responders on the device
// side of the private network's two adapters (tests/discovery/
// isolated_network.sh), each with a reply fault that changes now and then.
// Only where that network exists: searches broadcast.
#pragma once

#include "soak_context.h"

void discoveryLane(const SoakContext& context);
