#include "socketcand_session.h"

#include <algorithm>

#include "socketcand_messages.h"

namespace socketcand {

namespace {

const std::string kOk = "< ok >";

void error(SessionOutput& out, std::string_view text) {
    out.text += errorMessage(text);
}

// Messages the server sends on its own start with a line feed. A reader
// that skips one character after its last whole message (python-can 4.1
// does) then skips that, not the '<' of a message cut by its read. Answers
// stay bare: some clients compare a whole read with "< ok >".
void unprompted(SessionOutput& out, const std::string& message) {
    out.text += '\n';
    out.text += message;
}

Clock::duration micros(std::uint64_t count) {
    return std::chrono::duration_cast<Clock::duration>(std::chrono::microseconds(count));
}

bool maskedChange(const CanFrame& mask, const CanFrame& frame, const std::optional<CanFrame>& last) {
    if (!last || last->dataLength != frame.dataLength)
        return true;
    const unsigned n = std::min<unsigned>(mask.dataLength, frame.dataLength);
    for (unsigned i = 0; i < n; ++i) {
        if (((frame.data[i] ^ last->data[i]) & mask.data[i]) != 0)
            return true;
    }
    return false;
}

}  // namespace

void Session::receive(const Command& command, Clock::time_point now, SessionOutput& out) {
    if (command.kind == CommandKind::Invalid) {
        error(out, command.error);
        // A failed open ends the connection, as a client waits for nothing else then.
        out.close = mode_ == Mode::Closed && command.named == CommandKind::Open;
        return;
    }
    if (command.kind == CommandKind::Echo) {
        out.text += "< echo >";
        return;
    }
    if (mode_ == Mode::Closed) {
        if (command.kind == CommandKind::Open) {
            open(command, out);
        } else {
            error(out, "open a bus first");
        }
        return;
    }
    switch (command.kind) {
        case CommandKind::Open:
            error(out, "open: a bus is open already");
            return;
        case CommandKind::RawMode:
            mode_ = Mode::Raw;
            rawFrom_ = now + kRawModeHold;
            out.text += kOk;
            return;
        case CommandKind::BcmMode:
            mode_ = Mode::Bcm;
            out.text += kOk;
            return;
        case CommandKind::ControlMode:
            mode_ = Mode::Control;
            out.text += kOk;
            return;
        case CommandKind::Send:
            if (mode_ == Mode::Control) {
                error(out, "send: not in control mode");
            } else {
                sendToDevice(command.frame, out);
            }
            return;
        case CommandKind::Statistics:
            if (mode_ != Mode::Control) {
                error(out, "statistics: only in control mode");
            } else if (command.intervalMicros == 0) {
                statPeriod_ = {};
            } else {
                statPeriod_ = micros(command.intervalMicros);
                nextStat_ = now + statPeriod_;
            }
            return;
        default:
            if (mode_ != Mode::Bcm) {
                error(out, "only in bcm mode");
            } else {
                bcm(command, now, out);
            }
            return;
    }
}

void Session::open(const Command& command, SessionOutput& out) {
    const int channel = findBus_(command.bus);
    if (channel < 0) {
        error(out, "open: no such bus");
        out.close = true;
        return;
    }
    channel_ = channel;
    bus_ = command.bus;
    mode_ = Mode::Bcm;
    out.text += kOk;
}

void Session::bcm(const Command& command, Clock::time_point now, SessionOutput& out) {
    const std::uint32_t id = command.frame.id;
    switch (command.kind) {
        case CommandKind::Add: {
            if (micros(command.intervalMicros) < kShortestCycle) {
                error(out, "add: the interval must be at least 1 ms");
                return;
            }
            if (cyclic_.size() >= kMaxJobs && cyclic_.count(id) == 0) {
                error(out, "add: too many cyclic jobs");
                return;
            }
            // The first frame goes at once, then one each period.
            CyclicJob& job = cyclic_[id];
            job.frame = command.frame;
            job.period = micros(command.intervalMicros);
            job.next = now + job.period;
            sendToDevice(job.frame, out);
            return;
        }
        case CommandKind::Update: {
            const auto job = cyclic_.find(id);
            if (job == cyclic_.end()) {
                error(out, "update: no cyclic job for that id");
                return;
            }
            job->second.frame = command.frame;
            return;
        }
        case CommandKind::Delete:
            if (cyclic_.erase(id) == 0) {
                error(out, "delete: no cyclic job for that id");
                return;
            }
            return;
        case CommandKind::Subscribe:
        case CommandKind::Filter: {
            if (subscriptions_.size() >= kMaxJobs && subscriptions_.count(id) == 0) {
                error(out, "too many subscriptions");
                return;
            }
            Subscription& s = subscriptions_[id];
            s = Subscription{};
            s.interval = micros(command.intervalMicros);
            s.filter = command.kind == CommandKind::Filter;
            s.mask = command.frame;
            return;
        }
        case CommandKind::Unsubscribe:
            if (subscriptions_.erase(id) == 0) {
                error(out, "unsubscribe: no subscription for that id");
                return;
            }
            return;
        default:
            error(out, "unknown command");
            return;
    }
}

void Session::sendToDevice(CanFrame frame, SessionOutput& out) const {
    frame.channel = static_cast<std::uint8_t>(channel_);
    out.toDevice.push_back(frame);
}

void Session::deviceFrame(const CanFrame& frame, std::uint64_t micros, Clock::time_point now,
                          SessionOutput& out) {
    if (mode_ == Mode::Raw) {
        ++forwarded_;
        unprompted(out, frameMessage(frame, micros));
        return;
    }
    if (mode_ != Mode::Bcm)
        return;
    const auto found = subscriptions_.find(frame.id);
    if (found == subscriptions_.end())
        return;
    Subscription& s = found->second;
    if (s.interval.count() > 0 && s.lastSent && now - *s.lastSent < s.interval)
        return;
    if (s.filter) {
        if (!maskedChange(s.mask, frame, s.lastMasked))
            return;
        s.lastMasked = frame;
    }
    s.lastSent = now;
    ++forwarded_;
    unprompted(out, frameMessage(frame, micros));
}

void Session::tick(Clock::time_point now, const BusCounters& counters, bool roomForOutput,
                   SessionOutput& out) {
    for (auto& [id, job] : cyclic_) {
        if (job.next > now)
            continue;
        sendToDevice(job.frame, out);
        job.next += job.period;
        if (job.next <= now) {
            // More than a period behind (the host was busy): no burst to catch up.
            ++lateCycles_;
            job.next = now + job.period;
        }
    }
    if (mode_ == Mode::Control && statPeriod_.count() > 0 && nextStat_ <= now) {
        if (roomForOutput)
            unprompted(out,
                       statMessage(counters.rxBytes, counters.rxFrames, counters.txBytes, counters.txFrames));
        nextStat_ += statPeriod_;
        if (nextStat_ <= now)
            nextStat_ = now + statPeriod_;
    }
}

Clock::time_point Session::nextDue() const {
    Clock::time_point due = Clock::time_point::max();
    for (const auto& [id, job] : cyclic_)
        due = std::min(due, job.next);
    if (mode_ == Mode::Control && statPeriod_.count() > 0)
        due = std::min(due, nextStat_);
    return due;
}

Interest Session::interest() const {
    Interest interest;
    if (mode_ == Mode::Raw) {
        interest.all = true;
    } else if (mode_ == Mode::Bcm) {
        for (const auto& [id, s] : subscriptions_)
            interest.ids.push_back(id);
    }
    return interest;
}

}  // namespace socketcand
