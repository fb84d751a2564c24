// The one connection a command works on and what the library says about it.
// The library prints progress lines on standard output, where the tool's own
// data goes, and has no other way to tell that a listening socket is up or
// that a device connected or went away: LibraryOutput moves those lines to
// standard error and reads them as it goes; LinkSession opens, uses and ends
// the connection; the senders' bookkeeping ends in the closing summary.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <thread>

#include "quilvane_sdk.h"
#include "text_format.h"

// What the library's progress lines have told so far.
struct LinkEvents {
    int serversStarted = 0;
    // Counted from the client thread's start, not from the accept: the
    // device is among those a send reaches only once its thread runs.
    int devicesConnected = 0;
    int devicesDisconnected = 0;
    int clientReceiveEnded = 0;     // the device closed, or we did
    std::set<std::string> boundTo;  // "ADDRESS:PORT" of UDP sockets

    void note(std::string_view line);
    int devicesPresent() const { return devicesConnected - devicesDisconnected; }
};

// Before the first library call this keeps the real standard output for the
// tool and gives fd 1 to a pipe; a thread passes each line of it on to
// standard error and notes what it says about the connection.
class LibraryOutput {
  public:
    LibraryOutput();
    // Call after QUILVANE_Exit: no library thread writes any more then.
    ~LibraryOutput();
    LibraryOutput(const LibraryOutput&) = delete;
    LibraryOutput& operator=(const LibraryOutput&) = delete;

    // The tool's standard output.
    FILE* data() const { return data_; }
    // Whether the library's lines are read at all (they are unless a pipe
    // could not be made); without them nothing can be waited for.
    bool watching() const { return watching_; }
    LinkEvents events() const;
    // Waits until `done` holds for the events seen, the time is up or a stop
    // was asked; returns whether it holds.
    bool waitFor(const std::function<bool(const LinkEvents&)>& done, std::chrono::milliseconds timeout);

  private:
    void forward(int from);

    FILE* data_ = nullptr;
    bool watching_ = false;
    std::thread forwarder_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    LinkEvents events_;
};

// The CONNECTION argument; throws UsageError.
ConnectionUrl connectionArgument(const std::string& text);

// From QUILVANE_Open to QUILVANE_Exit.
class LinkSession {
  public:
    LinkSession(const char* command, ConnectionUrl url, LibraryOutput& output)
        : command_(command), url_(std::move(url)), output_(output) {}
    ~LinkSession() { end(); }
    LinkSession(const LinkSession&) = delete;
    LinkSession& operator=(const LinkSession&) = delete;

    // Opens the connection; on failure says why and returns false. A TCP
    // client tries three times, up to 3 s each, inside the library.
    bool open();
    // Senders on tcp-listen:// wait for a first device, as the library sends
    // to the devices connected at that moment and to no other. True at once
    // for the other kinds; says so and returns false when none came within
    // `seconds`.
    bool waitForDevice(double seconds);
    // tcp:// only: the device closed the connection (the library does not
    // connect again).
    bool deviceClosed() const;
    // QUILVANE_Recv_CAN on the handle the frames are filed under: UDP
    // frames always go to handle 0.
    int receive(int channel, CanFrame* frames, int maxCount);
    // False when the library refused the frame. A frame that the transport
    // failed to deliver still counts as sent: the library does not say.
    bool send(const CanFrame& frame);
    // Closes the connection and ends the library, so that its last lines
    // come before the command's summary. Once.
    void end();

  private:
    const char* command_;
    ConnectionUrl url_;
    LibraryOutput& output_;
    int handle_ = -1;
    bool ended_ = false;
};

// --wait S of the senders.
constexpr double kDefaultDeviceWait = 10.0;
double parseDeviceWait(const std::string& text);

// The closing line of dump, send, gen and replay on standard error: frames,
// time, rate, and what the host can know about drops (nothing: the library
// reports neither the frames its receive queues drop nor failed sends).
struct RunTotals {
    const char* verb = "sent";  // "sent" or "received"
    std::uint64_t frames = 0;
    std::uint64_t refused = 0;  // sends the library refused; senders only
    bool interrupted = false;
};

class RunClock {
  public:
    double seconds() const {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    }

  private:
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

void printSummary(const char* command, const RunTotals& totals, double seconds);

// What gen and replay share: each send counted, a one-line progress display
// on standard error (frames so far and the recent rate, redrawn in place at
// most four times a second, only when standard error is a terminal), and
// the closing summary with the exit status it implies.
class SendRun {
  public:
    explicit SendRun(const char* command);
    ~SendRun() { clearProgress(); }
    SendRun(const SendRun&) = delete;
    SendRun& operator=(const SendRun&) = delete;

    void send(LinkSession& link, const CanFrame& frame);
    // Ends the link and prints the summary. `expected`: frames meant to be
    // sent, 0 for no set number; `status`: the exit status so far.
    int finish(LinkSession& link, std::uint64_t expected, int status);

  private:
    void drawProgress();
    // Wipes the progress line, so that the summary takes its place.
    void clearProgress();

    const char* command_;
    RunClock clock_;
    RunTotals totals_{"sent"};
    bool terminal_;
    bool drawn_ = false;
    std::chrono::steady_clock::time_point lastDrawn_;
    std::uint64_t lastFrames_ = 0;
};
