// IPv4 address texts and socket addresses; the same calls on both platforms.
#include "platform/socket_api.h"

namespace quilvane::net {

sockaddr_in toSockaddr(const Endpoint& e) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(e.port);
    a.sin_addr.s_addr = htonl(e.address);
    return a;
}

Endpoint fromSockaddr(const sockaddr_in& a) {
    return Endpoint{ntohl(a.sin_addr.s_addr), ntohs(a.sin_port)};
}

std::uint32_t socketNumber(Socket s) {
    return static_cast<std::uint32_t>(s);
}

bool parseAddress(const std::string& text, std::uint32_t* address) {
    in_addr a{};
    if (::inet_pton(AF_INET, text.c_str(), &a) != 1)
        return false;
    *address = ntohl(a.s_addr);
    return true;
}

std::uint32_t addressOrNone(const std::string& text) {
    return ntohl(::inet_addr(text.c_str()));
}

std::string formatAddress(std::uint32_t address) {
    in_addr a{};
    a.s_addr = htonl(address);
    char text[22] = {};
    ::inet_ntop(AF_INET, &a, text, sizeof text);
    return text;
}

}  // namespace quilvane::net
