// The library prints progress lines on standard output, where the tool's own
// data goes. Before the first library call this keeps the real standard
// output for the tool and gives fd 1 to a pipe; a thread passes each line of
// it on to standard error and notes what it says about the connection.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <mutex>
#include <thread>

#include "link_events.h"

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
