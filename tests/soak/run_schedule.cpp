#include "run_schedule.h"

RunSchedule::RunSchedule(std::uint32_t seed, int lane)
    : random_(seed * 7919u + static_cast<std::uint32_t>(lane)),
      // Identifiers apart per lane, so that a frame names its run beyond doubt.
      nextId_(0x100000u * static_cast<std::uint32_t>(lane + 1)) {}

int RunSchedule::between(int low, int high) {
    return std::uniform_int_distribution<int>(low, high)(random_);
}

RunPlan RunSchedule::next(Link link) {
    static const std::vector<std::string> tcpFaults = {
        "none", "none", "cut", "byte-at-a-time", "bad-checksum", "bad-sync", "reset", "close", "flood"};
    static const std::vector<std::string> udpFaults = {"none",         "none",     "cut",  "byte-at-a-time",
                                                       "bad-checksum", "bad-sync", "flood"};
    RunPlan plan;
    plan.link = link;
    plan.id = nextId_++;
    plan.fault = pick(link == Link::Udp ? udpFaults : tcpFaults);
    // A byte at a time costs a write per byte: fewer frames, paced.
    const bool slow = plan.fault == "byte-at-a-time";
    plan.count = slow ? between(20, 200) : between(50, 3000);
    // UDP at once would overrun the socket's buffer: that is not what is tested.
    plan.rate = pick(std::vector<int>{0, 1000, 5000, 20000});
    if (slow || (link == Link::Udp && plan.rate == 0))
        plan.rate = 1000;
    plan.channels.clear();
    for (int c = 0; c < 8; ++c)
        if (between(0, 3) == 0)
            plan.channels.push_back(c);
    if (plan.channels.empty())
        plan.channels.push_back(between(0, 7));
    plan.record = pick(std::vector<std::string>{"classic", "fd", "mixed"});
    plan.recordsPerPacket = pick(std::vector<int>{1, 1, 2, 3, 7});
    plan.dataLength = between(0, 64);
    const int packets = (plan.count + plan.recordsPerPacket - 1) / plan.recordsPerPacket;
    plan.faultAt = between(1, packets);
    plan.seed = static_cast<std::uint32_t>(between(1, 1 << 30));
    plan.clearMidway = link == Link::TcpClient && between(0, 9) == 0;
    return plan;
}
