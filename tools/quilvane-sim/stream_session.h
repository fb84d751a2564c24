// Serves one TCP connection, in either direction of connecting, until the
// peer goes away, a fault ends it, its work is done or the run stops.
#pragma once

#include "frame_log.h"
#include "net.h"
#include "options.h"
#include "run_control.h"
#include "stats.h"

namespace sim {

class StreamSession {
  public:
    StreamSession(Socket socket, const Options& options, RunControl& control, Stats& stats, FrameLog& log);

    void run();

  private:
    // Half-closes and reads what is still coming for a moment, so that
    // closing with unread bytes does not turn into a reset that could destroy
    // data the peer has not read yet.
    void closeGracefully();

    Socket socket_;
    const Options& options_;
    RunControl& control_;
    Stats& stats_;
    FrameLog& log_;
};

}  // namespace sim
