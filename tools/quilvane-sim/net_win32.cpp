// The socket layer on Windows (Winsock 2). It answers as the POSIX one does:
// same error texts, same results, and a device binding made of what Windows
// has (see bindUdp).
#include <winsock2.h>
#include <ws2tcpip.h>
// After winsock2.h, which these need.
#include <fcntl.h>
#include <io.h>
#include <mswsock.h>
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstring>

#include "net.h"

namespace sim {
namespace {

LPFN_WSARECVMSG wsaRecvMsg = nullptr;
void (*stopRequested)() = nullptr;

SOCKET handleOf(const Socket& socket) {
    return static_cast<SOCKET>(socket.handle());
}

// The words glibc's strerror uses, so that messages read the same on both.
std::string errorText(int code) {
    switch (code) {
        case WSAEADDRINUSE:
            return "Address already in use";
        case WSAEADDRNOTAVAIL:
            return "Cannot assign requested address";
        case WSAEACCES:
            return "Permission denied";
        case WSAECONNREFUSED:
            return "Connection refused";
        case WSAECONNRESET:
            return "Connection reset by peer";
        case WSAETIMEDOUT:
            return "Connection timed out";
        case WSAENETUNREACH:
            return "Network is unreachable";
        case WSAEHOSTUNREACH:
            return "No route to host";
        case WSAEMFILE:
            return "Too many open files";
        case WSAENOBUFS:
            return "No buffer space available";
        case WSAEINVAL:
            return "Invalid argument";
        case WSAEAFNOSUPPORT:
            return "Address family not supported by protocol";
    }
    char text[256] = {};
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                   static_cast<DWORD>(code), 0, text, sizeof text, nullptr);
    std::string message(text);
    message.erase(message.find_last_not_of(" .\r\n") + 1);
    return message.empty() ? "Winsock error " + std::to_string(code) : message;
}

BOOL WINAPI onConsoleEvent(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) {
        return FALSE;
    }
    stopRequested();
    return TRUE;
}

}  // namespace

bool startSystem(std::string& error) {
    // Text mode would write "\r\n" for each "\n" that tests compare.
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    WSADATA data;
    if (const int code = WSAStartup(MAKEWORD(2, 2), &data); code != 0) {
        error = "cannot start Windows Sockets: " + errorText(code);
        return false;
    }
    // WSARecvMsg, which tells the arrival interface, exists only as an
    // extension function, asked of some socket.
    const SOCKET probe = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    GUID id = WSAID_WSARECVMSG;
    DWORD size = 0;
    if (probe == INVALID_SOCKET || WSAIoctl(probe, SIO_GET_EXTENSION_FUNCTION_POINTER, &id, sizeof id,
                                            &wsaRecvMsg, sizeof wsaRecvMsg, &size, nullptr, nullptr) != 0) {
        wsaRecvMsg = nullptr;
    }
    closesocket(probe);
    return true;
}

void onStopRequest(void (*stop)()) {
    stopRequested = stop;
    SetConsoleCtrlHandler(nullptr, FALSE);  // a parent may have started us with Ctrl-C ignored
    SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

void Socket::close() {
    if (handle_ != kInvalid) {
        closesocket(static_cast<SOCKET>(handle_));
        handle_ = kInvalid;
    }
}

namespace {

sockaddr_in toSockaddr(const Address& address) {
    sockaddr_in out{};
    out.sin_family = AF_INET;
    out.sin_port = htons(address.port);
    out.sin_addr.s_addr = htonl(address.ip);
    return out;
}

Address fromSockaddr(const sockaddr_in& address) {
    return {ntohl(address.sin_addr.s_addr), ntohs(address.sin_port)};
}

std::string describe(const char* what, const Endpoint& endpoint, int code) {
    return std::string(what) + " " + endpoint.host + ":" + std::to_string(endpoint.port) + ": " +
           errorText(code);
}

void setInt(SOCKET s, int level, int option, int value) {
    setsockopt(s, level, option, reinterpret_cast<const char*>(&value), sizeof value);
}

// Non-blocking and not inherited, as SOCK_NONBLOCK | SOCK_CLOEXEC give on POSIX.
Socket makeSocket(int type, const Endpoint& endpoint, std::string& error) {
    Socket socket(static_cast<Socket::Handle>(
        WSASocketW(AF_INET, type, 0, nullptr, 0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT)));
    u_long nonBlocking = 1;
    if (!socket.valid() || ioctlsocket(handleOf(socket), FIONBIO, &nonBlocking) != 0) {
        error = describe("cannot create a socket for", endpoint, WSAGetLastError());
        return {};
    }
    return socket;
}

Socket bound(int type, const Endpoint& endpoint, const Address& address, std::string& error) {
    Socket socket = makeSocket(type, endpoint, error);
    if (!socket.valid()) {
        return {};
    }
    // Datagram sockets share ports as with SO_REUSEADDR on Linux. A listener
    // must not: Windows' SO_REUSEADDR would let it take a port in use.
    setInt(handleOf(socket), SOL_SOCKET, type == SOCK_STREAM ? SO_EXCLUSIVEADDRUSE : SO_REUSEADDR, 1);
    const sockaddr_in local = toSockaddr(address);
    if (bind(handleOf(socket), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        error = describe("cannot bind", endpoint, WSAGetLastError());
        return {};
    }
    return socket;
}

bool isTransient(int code) {
    return code == WSAEWOULDBLOCK || code == WSAEINTR || code == WSAEINPROGRESS;
}

}  // namespace

std::string localAddress(const Socket& socket) {
    sockaddr_in address{};
    int length = sizeof address;
    getsockname(handleOf(socket), reinterpret_cast<sockaddr*>(&address), &length);
    Address local = fromSockaddr(address);
    local.ip = socket.device().anyAddress ? 0 : local.ip;
    return formatAddress(local);
}

Socket listenTcp(const Endpoint& endpoint, std::string& error) {
    Socket socket = bound(SOCK_STREAM, endpoint, toAddress(endpoint), error);
    if (socket.valid() && listen(handleOf(socket), 64) != 0) {
        error = describe("cannot listen on", endpoint, WSAGetLastError());
        return {};
    }
    return socket;
}

Socket connectTcp(const Endpoint& endpoint, int timeoutMs, std::string& error) {
    Socket socket = makeSocket(SOCK_STREAM, endpoint, error);
    if (!socket.valid()) {
        return {};
    }
    const SOCKET s = handleOf(socket);
    const sockaddr_in address = toSockaddr(toAddress(endpoint));
    if (connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        if (WSAGetLastError() != WSAEWOULDBLOCK) {
            error = describe("cannot connect to", endpoint, WSAGetLastError());
            return {};
        }
        // select, not WSAPoll: before Windows 10 2004 WSAPoll never reports a
        // refused connection. A failed attempt shows in the exception set.
        fd_set writable, failed;
        FD_ZERO(&writable);
        FD_ZERO(&failed);
        FD_SET(s, &writable);
        FD_SET(s, &failed);
        timeval wait{timeoutMs / 1000, timeoutMs % 1000 * 1000};
        if (select(0, nullptr, &writable, &failed, &wait) <= 0) {
            error = describe("cannot connect to", endpoint, WSAETIMEDOUT);
            return {};
        }
        int code = 0;
        int length = sizeof code;
        getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&code), &length);
        if (code != 0 || FD_ISSET(s, &failed)) {
            error = describe("cannot connect to", endpoint, code != 0 ? code : WSAECONNREFUSED);
            return {};
        }
    }
    setInt(s, IPPROTO_TCP, TCP_NODELAY, 1);
    return socket;
}

// Windows has no SO_BINDTODEVICE. A datagram socket bound to one of an
// interface's addresses hears the broadcasts that arrive on that interface
// (wine makes that binding a device binding on Linux), and sends by it; what
// arrives on another interface is dropped by receiveDatagram. Asked for any
// address, it takes the interface's first and still shows 0.0.0.0.
Socket bindUdp(const Endpoint& endpoint, const std::string& device, std::string& error) {
    Address address = toAddress(endpoint);
    const bool anyAddress = address.ip == 0;
    unsigned deviceIndex = 0;
    if (!device.empty()) {
        for (const Adapter& adapter : listAdapters()) {
            if (adapter.name == device && (address.ip != 0 || !adapter.ipv4.empty())) {
                deviceIndex = adapter.index;
                address.ip = address.ip != 0 ? address.ip : adapter.ipv4.front().address;
            }
        }
        if (deviceIndex == 0) {
            error = "cannot listen on interface " + device;
            return {};
        }
    }
    Socket socket = bound(SOCK_DGRAM, endpoint, address, error);
    if (!socket.valid()) {
        return {};
    }
    // Else an ICMP port unreachable for an earlier send fails the next receive.
    BOOL report = FALSE;
    DWORD size = 0;
    WSAIoctl(handleOf(socket), SIO_UDP_CONNRESET, &report, sizeof report, nullptr, 0, &size, nullptr,
             nullptr);
    if (deviceIndex != 0) {
        enableArrivalInterface(socket);
        socket.setDevice({deviceIndex, anyAddress});
    }
    return socket;
}

Socket acceptTcp(const Socket& listener) {
    Socket socket(static_cast<Socket::Handle>(accept(handleOf(listener), nullptr, nullptr)));
    u_long nonBlocking = 1;
    if (socket.valid()) {
        ioctlsocket(handleOf(socket), FIONBIO, &nonBlocking);
        setInt(handleOf(socket), IPPROTO_TCP, TCP_NODELAY, 1);
    }
    return socket;
}

std::vector<bool> waitReadable(const std::vector<const Socket*>& sockets, int timeoutMs) {
    std::vector<WSAPOLLFD> entries;
    for (const Socket* socket : sockets) {
        entries.push_back({handleOf(*socket), POLLRDNORM, 0});
    }
    std::vector<bool> ready(sockets.size());
    if (WSAPoll(entries.data(), static_cast<ULONG>(entries.size()), timeoutMs) > 0) {
        for (size_t i = 0; i < entries.size(); ++i) {
            ready[i] = entries[i].revents != 0;
        }
    }
    return ready;
}

bool waitReadable(const Socket& socket, int timeoutMs) {
    WSAPOLLFD entry{handleOf(socket), POLLRDNORM, 0};
    return WSAPoll(&entry, 1, timeoutMs) > 0;
}

bool waitWritable(const Socket& socket, int timeoutMs) {
    WSAPOLLFD entry{handleOf(socket), POLLWRNORM, 0};
    return WSAPoll(&entry, 1, timeoutMs) > 0;
}

namespace {

// At most INT_MAX bytes a call, which is all Winsock takes.
int chunk(size_t count) {
    return static_cast<int>(count < 0x7FFFFFFF ? count : 0x7FFFFFFF);
}

}  // namespace

long receive(const Socket& socket, uint8_t* bytes, size_t count) {
    const int n = recv(handleOf(socket), reinterpret_cast<char*>(bytes), chunk(count), 0);
    return n >= 0 ? n : isTransient(WSAGetLastError()) ? kWouldWait : kFailed;
}

long sendSome(const Socket& socket, const uint8_t* bytes, size_t count) {
    const int n = send(handleOf(socket), reinterpret_cast<const char*>(bytes), chunk(count), 0);
    const int code = n >= 0 ? 0 : WSAGetLastError();
    return n >= 0 ? n : isTransient(code) || code == WSAENOBUFS ? kWouldWait : kFailed;
}

// The interface is set with IP_UNICAST_IF for the one send; wine passes it
// on to Linux's.
long sendDatagramOnce(const Socket& socket, const uint8_t* bytes, size_t count, const Address& to,
                      unsigned interfaceIndex) {
    const SOCKET s = handleOf(socket);
    const sockaddr_in destination = toSockaddr(to);
    if (interfaceIndex != 0) {
        setInt(s, IPPROTO_IP, IP_UNICAST_IF, static_cast<int>(htonl(interfaceIndex)));
    }
    const int n = sendto(s, reinterpret_cast<const char*>(bytes), chunk(count), 0,
                         reinterpret_cast<const sockaddr*>(&destination), sizeof destination);
    const int code = n >= 0 ? 0 : WSAGetLastError();
    if (interfaceIndex != 0) {
        setInt(s, IPPROTO_IP, IP_UNICAST_IF, 0);
    }
    return n >= 0 ? n : isTransient(code) || code == WSAENOBUFS ? kWouldWait : kFailed;
}

void enableArrivalInterface(const Socket& socket) {
    setInt(handleOf(socket), IPPROTO_IP, IP_PKTINFO, 1);
}

void allowBroadcast(const Socket& socket) {
    setInt(handleOf(socket), SOL_SOCKET, SO_BROADCAST, 1);
}

long receiveDatagram(const Socket& socket, std::vector<uint8_t>& buffer, Address& source,
                     unsigned& interfaceIndex) {
    sockaddr_in from{};
    interfaceIndex = 0;
    int n = SOCKET_ERROR;
    if (wsaRecvMsg == nullptr) {
        int length = sizeof from;
        n = recvfrom(handleOf(socket), reinterpret_cast<char*>(buffer.data()), chunk(buffer.size()), 0,
                     reinterpret_cast<sockaddr*>(&from), &length);
    } else {
        WSABUF data{static_cast<ULONG>(buffer.size()), reinterpret_cast<char*>(buffer.data())};
        alignas(WSACMSGHDR) char control[WSA_CMSG_SPACE(sizeof(IN_PKTINFO))] = {};
        WSAMSG message{};
        message.name = reinterpret_cast<sockaddr*>(&from);
        message.namelen = sizeof from;
        message.lpBuffers = &data;
        message.dwBufferCount = 1;
        message.Control = {sizeof control, control};
        DWORD received = 0;
        if (wsaRecvMsg(handleOf(socket), &message, &received, nullptr, nullptr) == 0) {
            n = static_cast<int>(received);
            for (WSACMSGHDR* header = WSA_CMSG_FIRSTHDR(&message); header != nullptr;
                 header = WSA_CMSG_NXTHDR(&message, header)) {
                if (header->cmsg_level == IPPROTO_IP && header->cmsg_type == IP_PKTINFO) {
                    IN_PKTINFO info{};
                    std::memcpy(&info, WSA_CMSG_DATA(header), sizeof info);
                    interfaceIndex = info.ipi_ifindex;
                }
            }
        }
    }
    if (n < 0) {
        return isTransient(WSAGetLastError()) ? kWouldWait : kFailed;
    }
    const unsigned device = socket.device().index;
    if (device != 0 && interfaceIndex != 0 && interfaceIndex != device) {
        return kWouldWait;  // not for this device: Linux would not have delivered it
    }
    source = fromSockaddr(from);
    return n;
}

void shutdownSending(const Socket& socket) {
    shutdown(handleOf(socket), SD_SEND);
}

void resetConnection(Socket& socket) {
    linger option{1, 0};
    setsockopt(handleOf(socket), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&option),
               sizeof option);
    socket.close();
}

}  // namespace sim
