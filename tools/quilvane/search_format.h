// Search results as a table for people or as JSON for scripts.
#pragma once

#include <string>
#include <vector>

#include "quilvane_sdk.h"

std::string deviceTable(const std::vector<DeviceInfo>& devices);
std::string deviceJson(const std::vector<DeviceInfo>& devices);
// PELIX records are not interpreted: all 29 bytes in hex.
std::string pelixTable(const std::vector<PelixDeviceRecord>& records);
std::string pelixJson(const std::vector<PelixDeviceRecord>& records);
