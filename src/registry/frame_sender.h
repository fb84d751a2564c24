// One frame, encoded and handed to the transport of its handle: the common
// path of QUILVANE_Send_CAN and of the send queue's sender thread.
#pragma once

#include <cstdint>

#include "quilvane_sdk.h"

namespace quilvane {

enum class FrameSendResult {
    Sent,
    Failed,       // the transport refused or failed
    NoTransport,  // a handle of type 1, 2 or 3 without its transport
    NoSuchType,   // a handle of another type, or no registry
};

FrameSendResult sendFrame(std::int32_t handle, const CanFrame& frame);

}  // namespace quilvane
