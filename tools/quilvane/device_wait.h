// Senders on tcp-listen:// wait for a first device before sending, as the
// library sends to the devices connected at that moment and to no other.
#pragma once

#include <string>

class Arguments;
class LinkSession;

constexpr double kDefaultDeviceWait = 10.0;

double parseDeviceWait(Arguments& args);
// Says so and returns false when no device came within `seconds`.
bool waitForDevice(const char* command, LinkSession& link, double seconds);
