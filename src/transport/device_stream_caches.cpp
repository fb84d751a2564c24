#include "transport/device_stream_caches.h"

namespace quilvane {

void DeviceStreamCaches::end(std::uint64_t serial) {
    std::lock_guard lock(mutex);
    caches.erase(serial);
}

void DeviceStreamCaches::clear() {
    std::lock_guard lock(mutex);
    caches.clear();
}

std::size_t DeviceStreamCaches::size() {
    std::lock_guard lock(mutex);
    return caches.size();
}

}  // namespace quilvane
