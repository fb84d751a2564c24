#include "connection.h"

#include <iostream>

#include "command_line.h"
#include "common/log_lines.h"
#include "tool_system.h"

// The library's lines.

namespace {

bool startsWith(std::string_view line, std::string_view prefix) {
    return line.substr(0, prefix.size()) == prefix;
}

}  // namespace

void LinkEvents::note(std::string_view line) {
    using namespace quilvane::log_lines;
    if (startsWith(line, kTcpServerStartedOnPort)) {
        ++serversStarted;
    } else if (startsWith(line, kClientThreadStarted)) {
        ++devicesConnected;
    } else if (startsWith(line, kClientDisconnected)) {
        ++devicesDisconnected;
    } else if (line == kTcpClientRecvThreadStopped) {
        ++clientReceiveEnded;
    } else if (startsWith(line, kBoundTo)) {
        boundTo.emplace(line.substr(std::string_view(kBoundTo).size()));
    }
}

LibraryOutput::LibraryOutput() {
    using namespace tool_system;
    useRawStandardStreams();
    std::fflush(stdout);
    const int kept = duplicateStandardOutput();
    data_ = kept >= 0 ? openWriteStream(kept) : nullptr;
    if (data_ == nullptr) {
        data_ = stdout;  // nothing to keep apart; the library's lines stay mixed in
        return;
    }
    if (isTerminal(kept)) {
        setvbuf(data_, nullptr, _IOLBF, 0);
    }
    int fds[2];
    if (!makePipe(fds)) {
        redirectStandardOutput(2);
        return;
    }
    redirectStandardOutput(fds[1]);
    closeDescriptor(fds[1]);
    watching_ = true;
    forwarder_ = std::thread(&LibraryOutput::forward, this, fds[0]);
}

LibraryOutput::~LibraryOutput() {
    std::cout.flush();
    std::fflush(stdout);
    if (forwarder_.joinable()) {
        tool_system::redirectStandardOutput(2);  // the pipe's last writer goes: the forwarder reads its end
        forwarder_.join();
    }
    if (data_ != stdout) {
        std::fclose(data_);
    }
}

LinkEvents LibraryOutput::events() const {
    std::lock_guard lock(mutex_);
    return events_;
}

bool LibraryOutput::waitFor(const std::function<bool(const LinkEvents&)>& done,
                            std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::unique_lock lock(mutex_);
    while (!done(events_)) {
        if (stopRequested() || std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        // Wakes now and then to notice Ctrl-C.
        changed_.wait_for(lock, std::chrono::milliseconds(20));
    }
    return true;
}

void LibraryOutput::forward(int from) {
    std::string pending;
    char chunk[4096];
    using namespace tool_system;
    while (true) {
        const long n = readSome(from, chunk, sizeof chunk);
        if (n <= 0) {
            break;
        }
        pending.append(chunk, static_cast<std::size_t>(n));
        std::size_t end;
        while ((end = pending.find('\n')) != std::string::npos) {
            writeAll(2, pending.data(), end + 1);
            {
                std::lock_guard lock(mutex_);
                events_.note(std::string_view(pending.data(), end));
            }
            changed_.notify_all();
            pending.erase(0, end + 1);
        }
    }
    writeAll(2, pending.data(), pending.size());
    closeDescriptor(from);
}

// The connection.

namespace {

// The library writes a socket's start line before QUILVANE_Open returns;
// this only covers the pipe between it and the thread that reads the line.
constexpr auto kStartLineWait = std::chrono::milliseconds(1000);

}  // namespace

ConnectionUrl connectionArgument(const std::string& text) {
    ConnectionUrl url;
    std::string error;
    if (!parseConnectionUrl(text, url, error)) {
        throw UsageError{error};
    }
    return url;
}

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

bool LinkSession::waitForDevice(double seconds) {
    if (url_.type != QUILVANE_TCP_SERVER || !output_.watching()) {
        return true;
    }
    const auto timeout = std::chrono::milliseconds(static_cast<long long>(seconds * 1000));
    if (output_.waitFor([](const LinkEvents& e) { return e.devicesPresent() > 0; }, timeout)) {
        return true;
    }
    if (!stopRequested()) {
        report(command_, "no device connected within " + std::to_string(static_cast<long long>(seconds)) +
                             " s; nothing was sent (--wait sets how long to wait)");
    }
    return false;
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

double parseDeviceWait(const std::string& text) {
    return parseDecimal("--wait", text, 0, false, "seconds, more than 0");
}

// The summary.

namespace {

constexpr auto kRedrawEvery = std::chrono::milliseconds(250);

}  // namespace

void printSummary(const char* command, const RunTotals& totals, double seconds) {
    const double rate = seconds > 0 ? static_cast<double>(totals.frames) / seconds : 0.0;
    std::string refused;
    if (std::string(totals.verb) == "sent") {
        refused = ", " + std::to_string(totals.refused) + " refused by the library";
    }
    std::fprintf(stderr,
                 "quilvane %s: %llu frames %s in %.3f s (%.1f frames/s)%s; drops: unknown to the host%s\n",
                 command, static_cast<unsigned long long>(totals.frames), totals.verb, seconds, rate,
                 refused.c_str(), totals.interrupted ? "; interrupted" : "");
}

SendRun::SendRun(const char* command)
    : command_(command),
      terminal_(tool_system::isTerminal(2)),
      lastDrawn_(std::chrono::steady_clock::now()) {}

void SendRun::send(LinkSession& link, const CanFrame& frame) {
    if (link.send(frame)) {
        ++totals_.frames;
    } else {
        ++totals_.refused;
    }
    drawProgress();
}

int SendRun::finish(LinkSession& link, std::uint64_t expected, int status) {
    clearProgress();
    totals_.interrupted = stopRequested();
    const double seconds = clock_.seconds();
    link.end();
    printSummary(command_, totals_, seconds);
    if (totals_.interrupted && expected > 0 && totals_.frames + totals_.refused < expected) {
        return kExitInterrupted;
    }
    return totals_.refused > 0 ? kExitFailed : status;
}

void SendRun::drawProgress() {
    if (!terminal_) {
        return;
    }
    const auto now = std::chrono::steady_clock::now();
    if (now - lastDrawn_ < kRedrawEvery) {
        return;
    }
    const double seconds = std::chrono::duration<double>(now - lastDrawn_).count();
    const double rate = static_cast<double>(totals_.frames - lastFrames_) / seconds;
    // "\x1b[K" erases what a longer earlier line left.
    std::fprintf(stderr, "\rquilvane %s: %llu frames sent, %.0f frames/s\x1b[K", command_,
                 static_cast<unsigned long long>(totals_.frames), rate);
    std::fflush(stderr);
    drawn_ = true;
    lastDrawn_ = now;
    lastFrames_ = totals_.frames;
}

void SendRun::clearProgress() {
    if (drawn_) {
        std::fputs("\r\x1b[K", stderr);
        drawn_ = false;
    }
}
