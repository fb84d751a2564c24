// One socketcand client's side of the conversation: which bus it opened,
// its mode (BCM, RAW, CONTROL), its cyclic send jobs, subscriptions and
// filters, and its statistics timer. Commands and device frames go in; text
// for the client and frames for the device come out. No sockets and no
// clock of its own (the caller passes the time), so that tests and the
// fuzzer drive it as the server does.
//
// Answers: "< ok >" to open and to the mode changes, "< echo >" to echo,
// "< error ... >" to what fails; commands that succeed otherwise get none.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "quilvane_sdk.h"
#include "socketcand_reader.h"

namespace socketcand {

using Clock = std::chrono::steady_clock;

// A cyclic job or a subscription's interval below this is refused: each
// cyclic frame is timed by the server's one network thread.
constexpr std::chrono::microseconds kShortestCycle{1000};
// Cyclic jobs, and subscriptions and filters, per client.
constexpr std::size_t kMaxJobs = 256;
// After rawmode's "< ok >" frames wait this long, so that a client that
// reads the answer with one read (python-can does) gets it alone.
constexpr std::chrono::milliseconds kRawModeHold{100};

struct BusCounters {
    std::uint64_t rxBytes = 0;
    std::uint64_t rxFrames = 0;
    std::uint64_t txBytes = 0;
    std::uint64_t txFrames = 0;
};

// The device frames a client wants queued, decided by identifier alone.
struct Interest {
    bool all = false;
    std::vector<std::uint32_t> ids;  // sorted
    bool operator==(const Interest&) const = default;
};

struct SessionOutput {
    std::string text;                // for the client
    std::vector<CanFrame> toDevice;  // channel set
    bool close = false;              // once `text` is written
};

class Session {
  public:
    // `findBus`: the device channel of a bus name, or -1.
    explicit Session(std::function<int(std::string_view)> findBus) : findBus_(std::move(findBus)) {}

    static std::string greeting() { return "< hi >"; }
    void receive(const Command& command, Clock::time_point now, SessionOutput& out);
    // A frame of the client's channel, one that the format can carry.
    void deviceFrame(const CanFrame& frame, std::uint64_t micros, Clock::time_point now, SessionOutput& out);
    // Cyclic frames due by `now`; statistics too, unless the client has no
    // room for more output (they are skipped then).
    void tick(Clock::time_point now, const BusCounters& counters, bool roomForOutput, SessionOutput& out);
    // When tick next has work; max() for never.
    Clock::time_point nextDue() const;
    bool takesFrames(Clock::time_point now) const { return mode_ != Mode::Raw || now >= rawFrom_; }
    Clock::time_point framesFrom() const { return rawFrom_; }

    Interest interest() const;
    int channel() const { return channel_; }
    const std::string& bus() const { return bus_; }
    std::uint64_t framesForwarded() const { return forwarded_; }
    // Cyclic frames skipped because the server fell more than a period behind.
    std::uint64_t lateCycles() const { return lateCycles_; }

  private:
    enum class Mode { Closed, Bcm, Raw, Control };

    struct CyclicJob {
        CanFrame frame{};
        Clock::duration period{};
        Clock::time_point next{};
    };
    struct Subscription {
        Clock::duration interval{};
        std::optional<Clock::time_point> lastSent;
        bool filter = false;
        CanFrame mask{};  // dataLength and mask bytes
        std::optional<CanFrame> lastMasked;
    };

    void open(const Command& command, SessionOutput& out);
    void bcm(const Command& command, Clock::time_point now, SessionOutput& out);
    void sendToDevice(CanFrame frame, SessionOutput& out) const;

    std::function<int(std::string_view)> findBus_;
    Mode mode_ = Mode::Closed;
    int channel_ = -1;
    std::string bus_;
    Clock::time_point rawFrom_{};
    std::map<std::uint32_t, CyclicJob> cyclic_;
    std::map<std::uint32_t, Subscription> subscriptions_;
    Clock::duration statPeriod_{};  // zero: off
    Clock::time_point nextStat_{};
    std::uint64_t forwarded_ = 0;
    std::uint64_t lateCycles_ = 0;
};

}  // namespace socketcand
