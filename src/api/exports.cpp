// The exported entry points: argument checks, then the process-wide object
// that owns the work. No C++ exception ever crosses into the caller.
#include <chrono>
#include <cstring>
#include <exception>
#include <thread>
#include <vector>

#include "buffering/receive_frame_store.h"
#include "buffering/send_queue.h"
#include "common/log.h"
#include "common/log_lines.h"
#include "discovery/device_probe.h"
#include "quilvane_sdk.h"
#include "registry/connection_registry.h"
#include "registry/frame_sender.h"

using quilvane::ConnectionRegistry;
using quilvane::ReceiveFrameStore;
using quilvane::SendQueue;

namespace {

template <class Result, class Body>
Result guarded(Result onFailure, Body&& body) {
    try {
        return body();
    } catch (const std::exception& e) {
        quilvane::logError(quilvane::log_lines::kInternalError, e.what());
        return onFailure;
    }
}

// The common steps of both searches; the registry's locks are not held
// during the wait.
template <class Record, class Gather>
int search(Record* out, Gather&& gather) {
    if (out == nullptr)
        return 0;
    return guarded(0, [&] {
        auto* registry = ConnectionRegistry::instance();
        if (registry == nullptr)
            return 0;
        registry->clearDiscoveryResults();
        registry->resumeDiscovery();
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        std::vector<Record> records = gather(*registry);
        registry->pauseDiscovery();
        if (records.size() > QUILVANE_MAX_SEARCH_RESULTS) {
            quilvane::logError(quilvane::log_lines::kSearchRepliesLeftOut,
                               records.size() - QUILVANE_MAX_SEARCH_RESULTS);
            records.resize(QUILVANE_MAX_SEARCH_RESULTS);
        }
        if (!records.empty())
            std::memcpy(out, records.data(), records.size() * sizeof(Record));
        return static_cast<int>(records.size());
    });
}

template <class Probe>
int probe(const uint8_t* deviceId, const uint8_t* address, int timeoutMs, Probe&& run) {
    return guarded(-1, [&] {
        // The probe's own sockets rely on the socket layer that the
        // registry's discovery sockets started.
        if (ConnectionRegistry::instance() == nullptr)
            return -1;
        return run(deviceId, address, timeoutMs);
    });
}

}  // namespace

extern "C" {

QUILVANE_API void QUILVANE_CALL QUILVANE_Init(void) {
    guarded(0, [] {
        ConnectionRegistry::instance();
        ReceiveFrameStore::instance();
        SendQueue::instance();
        return 0;
    });
}

QUILVANE_API void QUILVANE_CALL QUILVANE_Exit(void) {
    ConnectionRegistry::destroyInstance();
    ReceiveFrameStore::destroyInstance();
    SendQueue::destroyInstance();
}

QUILVANE_API int QUILVANE_CALL QUILVANE_Search(DeviceInfo* out) {
    return search(out, [](ConnectionRegistry& r) { return r.gatherDeviceInfos(); });
}

QUILVANE_API int QUILVANE_CALL QUILVANE_SearchPELIX(PelixDeviceRecord* out) {
    return search(out, [](ConnectionRegistry& r) { return r.gatherPelixRecords(); });
}

QUILVANE_API int QUILVANE_CALL QUILVANE_ProbePELIXDevice(const uint8_t* deviceId, const uint8_t* address,
                                                         int timeoutMs) {
    return probe(deviceId, address, timeoutMs, quilvane::probePelixDevice);
}

QUILVANE_API int QUILVANE_CALL QUILVANE_ProbeVCIDevice(const uint8_t* deviceId, const uint8_t* address,
                                                       int timeoutMs) {
    return probe(deviceId, address, timeoutMs, quilvane::probeVciDevice);
}

QUILVANE_API int QUILVANE_CALL QUILVANE_Open(const OpenParams* params) {
    if (params == nullptr)
        return -1;
    return guarded(-1, [&] {
        auto* registry = ConnectionRegistry::instance();
        if (registry == nullptr)
            return -1;
        int handle = registry->open(*params);
        return handle < 0 ? -1 : handle;
    });
}

QUILVANE_API int QUILVANE_CALL QUILVANE_Close(int handle) {
    return guarded(-1, [&] {
        auto* registry = ConnectionRegistry::instance();
        return registry != nullptr && registry->close(handle) ? 0 : -1;
    });
}

QUILVANE_API int QUILVANE_CALL QUILVANE_Recv(void) {
    return -1;
}

// One function under two names.
QUILVANE_API int QUILVANE_CALL QUILVANE_Send(void) __attribute__((alias("QUILVANE_Recv"), nothrow));

QUILVANE_API int QUILVANE_CALL QUILVANE_Recv_CAN(int handle, int channel, CanFrame* frames, int maxCount) {
    return guarded(-1, [&] {
        auto* registry = ConnectionRegistry::instance();
        if (registry == nullptr || frames == nullptr || !registry->isOpen(handle))
            return -1;
        auto* store = ReceiveFrameStore::instance();
        return store == nullptr ? -1 : store->pop(handle, channel, frames, maxCount);
    });
}

QUILVANE_API int QUILVANE_CALL QUILVANE_Send_CAN(int handle, const CanFrame* frame) {
    return guarded(-1, [&] {
        auto* registry = ConnectionRegistry::instance();
        if (registry == nullptr || frame == nullptr || !registry->isOpen(handle))
            return -1;
        // The transport's own result shows only in its log lines.
        return quilvane::sendFrame(handle, *frame) == quilvane::FrameSendResult::NoSuchType ? -1 : 0;
    });
}

QUILVANE_API int QUILVANE_CALL QUILVANE_TimerSend_CAN(void) {
    return 0;
}

QUILVANE_API void QUILVANE_CALL QUILVANE_Clear_Buffer(int handle) {
    guarded(0, [&] {
        if (auto* store = ReceiveFrameStore::instance())
            store->clear(handle);
        return 0;
    });
}

QUILVANE_API void QUILVANE_CALL QUILVANE_Clear_Send_Buffer(int handle) {
    guarded(0, [&] {
        if (auto* queue = SendQueue::instance())
            queue->clear(handle);
        return 0;
    });
}

QUILVANE_API uint32_t QUILVANE_CALL QUILVANE_Get_Send_Queue_Size(int handle) {
    return guarded(0u, [&] {
        auto* queue = SendQueue::instance();
        return queue == nullptr ? 0u : queue->size(handle);
    });
}

}  // extern "C"
