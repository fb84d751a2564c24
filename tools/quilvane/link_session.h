// The one connection a command works on, from QUILVANE_Open to
// QUILVANE_Exit, and what the library's progress lines tell about it.
#pragma once

#include <chrono>
#include <string>

#include "connection_url.h"
#include "library_output.h"
#include "quilvane_sdk.h"

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
    // tcp-listen: waits for a first device to connect, as a send to no
    // device goes nowhere. True at once for the other kinds.
    bool waitForDevice(std::chrono::milliseconds timeout);
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
