#include "registry/frame_sender.h"

#include "codec/packet_encoder.h"
#include "registry/connection_registry.h"
#include "transport/quilvane_tcp_client.h"
#include "transport/quilvane_tcp_server.h"
#include "transport/quilvane_udp.h"

namespace quilvane {
namespace {

constexpr int kFdRecordSize = 80;

template <class Transport, class Send>
FrameSendResult sendWith(const std::shared_ptr<Transport>& transport, Send&& send) {
    if (!transport)
        return FrameSendResult::NoTransport;
    return send(*transport) ? FrameSendResult::Sent : FrameSendResult::Failed;
}

}  // namespace

FrameSendResult sendFrame(std::int32_t handle, const CanFrame& frame) {
    auto* registry = ConnectionRegistry::instance();
    if (registry == nullptr)
        return FrameSendResult::NoSuchType;
    const std::uint32_t type = registry->typeOf(handle);

    std::uint8_t packet[1024] = {};
    const int length = encodePacket(packet, frame, kFdRecordSize);

    switch (type) {
        case QUILVANE_TCP_CLIENT:
            return sendWith(registry->tcpClientOf(handle),
                            [&](auto& c) { return c.send(packet, length) != -1; });
        case QUILVANE_TCP_SERVER:
            return sendWith(registry->tcpServerOf(handle), [&](auto& s) {
                s.sendToClients(packet, length);
                return true;
            });
        case QUILVANE_UDP:
            return sendWith(registry->udpOf(handle), [&](auto& u) { return u.send(packet, length); });
        default:
            return FrameSendResult::NoSuchType;
    }
}

}  // namespace quilvane
