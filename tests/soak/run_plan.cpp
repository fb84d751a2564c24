#include "run_plan.h"

#include <algorithm>
#include <sstream>

const char* linkName(Link link) {
    switch (link) {
        case Link::TcpClient:
            return "tcp-client";
        case Link::TcpServer:
            return "tcp-server";
        case Link::Udp:
            return "udp";
    }
    return "?";
}

std::vector<std::string> RunPlan::simArgs() const {
    std::string list;
    for (const int c : channels)
        list += (list.empty() ? "" : ",") + std::to_string(c);
    const std::string ids = std::to_string(id);
    // Long enough for the traffic, a flood's pause and a slow start; the
    // simulator ends by itself once it has sent everything.
    const int duration = 20 + (rate > 0 ? count / rate : 0);
    return {"--generate",
            std::to_string(count),
            "--rate",
            std::to_string(rate),
            "--channels",
            list,
            "--ids",
            ids + "-" + ids,
            "--record",
            record,
            "--records-per-packet",
            std::to_string(recordsPerPacket),
            "--data-length",
            std::to_string(dataLength),
            "--fault",
            fault,
            "--fault-at",
            std::to_string(faultAt),
            "--seed",
            std::to_string(seed),
            "--duration",
            std::to_string(duration)};
}

std::string RunPlan::describe() const {
    std::ostringstream text;
    text << linkName(link) << " id=" << id << " count=" << count << " rate=" << rate << " record=" << record
         << " per-packet=" << recordsPerPacket << " fault=" << fault << " at=" << faultAt << " seed=" << seed;
    return text.str();
}

bool RunPlan::mayArrive(int s) const {
    return fault == "flood" || mustArrive(s);
}

bool RunPlan::mustArrive(int s) const {
    const int p = packetOf(s);
    const bool tcp = link != Link::Udp;
    if (fault == "cut" || fault == "byte-at-a-time")
        return tcp;  // a datagram holding part of a packet decodes to nothing
    if (fault == "bad-sync")
        return p != faultAt;
    if (fault == "bad-checksum")
        return tcp ? p < faultAt : p != faultAt;  // on TCP it holds up the rest of the stream
    if (fault == "close")
        return p <= faultAt;
    if (fault == "reset")
        return p < faultAt;
    return true;  // none, flood
}

int RunPlan::intactFrames() const {
    const int inPacket = [&] {
        const int first = (faultAt - 1) * recordsPerPacket;
        return std::clamp(count - first, 0, recordsPerPacket);
    }();
    if (fault == "bad-sync" || fault == "bad-checksum")
        return count - inPacket;
    if (fault == "close")
        return std::min(count, faultAt * recordsPerPacket);
    if (fault == "reset")
        return std::min(count, (faultAt - 1) * recordsPerPacket);
    return count;
}
