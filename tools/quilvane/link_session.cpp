#include "link_session.h"

#include "report.h"

namespace {

// The library writes a socket's start line before QUILVANE_Open returns;
// this only covers the pipe between it and the thread that reads the line.
constexpr auto kStartLineWait = std::chrono::milliseconds(1000);

}  // namespace

bool LinkSession::open() {
    if (url_.type == QUILVANE_TCP_SERVER && !url_.listenAddress.empty() && url_.listenAddress != "0.0.0.0") {
        report(command_,
               "note: the library listens on every local address, not only on " + url_.listenAddress);
    }
    const OpenParams params = toOpenParams(url_);
    handle_ = QUILVANE_Open(&params);
    if (handle_ < 0) {
        if (url_.type == QUILVANE_TCP_CLIENT) {
            report(command_, "cannot connect to " + url_.remoteIp + ":" + std::to_string(url_.remotePort) +
                                 " (three attempts; the library's messages above say why)");
        } else {
            report(command_, "the library refused to open the connection");
        }
        return false;
    }
    if (!output_.watching()) {
        return true;
    }
    // A listening or UDP socket that could not be set up still gets a handle;
    // only the missing start line tells.
    if (url_.type == QUILVANE_TCP_SERVER &&
        !output_.waitFor([](const LinkEvents& e) { return e.serversStarted > 0; }, kStartLineWait)) {
        report(command_, "cannot listen on port " + std::to_string(url_.localPort) +
                             " (the library's message above says why)");
        return false;
    }
    if (url_.type == QUILVANE_UDP) {
        const std::string bound = (url_.localIp.empty() ? std::string("0.0.0.0") : url_.localIp) + ":" +
                                  std::to_string(url_.localPort);
        if (!output_.waitFor([&bound](const LinkEvents& e) { return e.boundTo.count(bound) > 0; },
                             kStartLineWait)) {
            report(command_,
                   "cannot bind the UDP socket to " + bound + " (the library's message above says why)");
            return false;
        }
    }
    return true;
}

bool LinkSession::waitForDevice(std::chrono::milliseconds timeout) {
    if (url_.type != QUILVANE_TCP_SERVER || !output_.watching()) {
        return true;
    }
    return output_.waitFor([](const LinkEvents& e) { return e.devicesPresent() > 0; }, timeout);
}

bool LinkSession::deviceClosed() const {
    return url_.type == QUILVANE_TCP_CLIENT && output_.events().clientReceiveEnded > 0;
}

int LinkSession::receive(int channel, CanFrame* frames, int maxCount) {
    return QUILVANE_Recv_CAN(url_.type == QUILVANE_UDP ? 0 : handle_, channel, frames, maxCount);
}

bool LinkSession::send(const CanFrame& frame) {
    return QUILVANE_Send_CAN(handle_, &frame) == 0;
}

void LinkSession::end() {
    if (ended_) {
        return;
    }
    ended_ = true;
    if (handle_ >= 0) {
        QUILVANE_Close(handle_);
    }
    QUILVANE_Exit();
}
