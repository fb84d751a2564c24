// The socket options the transports set, the same on both platforms.
#include "platform/socket_api.h"

namespace quilvane::net {

bool setReuseAddress(Socket s) {
    return setIntOption(s, SOL_SOCKET, SO_REUSEADDR, 1);
}
bool setNoDelay(Socket s) {
    return setIntOption(s, IPPROTO_TCP, TCP_NODELAY, 1);
}
bool setSendBufferSize(Socket s, int bytes) {
    return setIntOption(s, SOL_SOCKET, SO_SNDBUF, bytes);
}
bool setBroadcast(Socket s) {
    return setIntOption(s, SOL_SOCKET, SO_BROADCAST, 1);
}

}  // namespace quilvane::net
