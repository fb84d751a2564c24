#pragma once

#include "quilvane_sdk.h"

namespace quilvane {

// Fills the fields of a search reply's record from its JSON text. Keys are
// matched ignoring letter case; a key that is missing or not a string leaves
// its field as it was. Text that does not parse is reported on stderr.
void parseDeviceInfo(const char* text, DeviceInfo& info);

}  // namespace quilvane
